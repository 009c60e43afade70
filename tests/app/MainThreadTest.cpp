#include "MainThread.h"
#include "AppTestHelpers.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <future>
#include <stdexcept>

using apptest::logFile;
using apptest::logMessages;
using testsupport::TempDir;

namespace {

// Like the window's pane: a clear empties it. Safe from several job threads.
class RecordingPane : public OutputPane {
public:
    void Clear() override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        ++clears_;
    }
    void AppendLine(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int clears() {
        std::lock_guard<std::mutex> lock(mutex_);
        return clears_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    int clears_ = 0;
};

JobInputs inputsIn(const TempDir& dir, int logLevel = 0) {
    AppState state;
    InitStartDir(state, dir.path().string());
    state.Settings.LogLevel = logLevel;
    SetSettingsText(state.Settings.RemoteAET, "PEER_AE");
    SetSettingsText(state.Settings.RemoteHost, "10.1.2.3");
    SetSettingsText(state.Settings.RemotePort, "11112");
    state.FileName = "/data/image.dcm";
    state.Filter.Modality = "CT";
    return CaptureJobInputs(state);
}

// Runs one job on the calling thread, as the CLI does.
void runJob(MainThread& job, const std::string& kind, JobInputs inputs, OutputPane& pane,
            const JobBodyTable& bodies) {
    job.JobKind = kind;
    job.Pane = &pane;
    job.Inputs = std::move(inputs);
    job.Bodies = &bodies;
    job.Execute();
}

constexpr auto patience = std::chrono::seconds(10);

} // namespace

TEST(Job, StartLineFirstInTheDaysFileOfItsKindAtEveryLevel) {
    for (int level = 0; level <= 3; ++level) {
        SCOPED_TRACE(level);
        TempDir dir;
        JobBodyTable bodies;
        bodies.Register("ECHO", [](JobContext& job) {
            LogMessage("ERROR, Body, level " + std::to_string(CurrentLogLevel.load()));
            job.Pane.AppendLine("body line");
            return JobOutcome::Failed;
        });
        RecordingPane pane;
        pane.AppendLine("left over from before");
        MainThread job;
        runJob(job, "ECHO", inputsIn(dir, level), pane, bodies);

        EXPECT_EQ(LogFileName(), logFile(dir.path(), "ECHO").string());
        EXPECT_EQ(logMessages(logFile(dir.path(), "ECHO")),
                  (std::vector<std::string>{
                      "Starting ECHO Service", "ERROR, Body, level " + std::to_string(level),
                      "ECHO failed to connect to: PEER_AE (10.1.2.3:11112)"}));
        EXPECT_EQ(pane.clears(), 1);
        EXPECT_EQ(pane.lines(),
                  (std::vector<std::string>{
                      "body line", "ECHO failed to connect to: PEER_AE (10.1.2.3:11112)"}));
    }
}

TEST(Job, VerdictFollowsTheBodysOutcome) {
    struct Case {
        std::string kind;
        std::function<JobOutcome(JobContext&)> body; // empty: none registered
        std::vector<std::string> verdict;            // empty: no verdict line
        bool succeeded;
    };
    const std::string failed = " failed to connect to: PEER_AE (10.1.2.3:11112)";
    std::vector<Case> cases = {
        {"FIND", [](JobContext&) { return JobOutcome::Succeeded; }, {"FIND OK"}, true},
        {"STORE", [](JobContext&) { return JobOutcome::Failed; }, {"STORE" + failed}, false},
        {"WORKLIST", nullptr, {"WORKLIST" + failed}, false},
        {"PRINT", [](JobContext&) { return JobOutcome::EndedWithoutVerdict; }, {}, false},
        {"ECHO",
         [](JobContext&) -> JobOutcome { throw std::runtime_error("lost connection"); },
         {},
         false},
        // Not one of the five kinds: no body runs, the failure verdict names the kind.
        {"echo", [](JobContext&) { return JobOutcome::Succeeded; }, {"echo" + failed}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TempDir dir;
        JobBodyTable bodies;
        if (c.body)
            bodies.Register(c.kind == "echo" ? "ECHO" : c.kind, c.body);
        RecordingPane pane;
        MainThread job;
        runJob(job, c.kind, inputsIn(dir), pane, bodies);

        EXPECT_EQ(job.Succeeded, c.succeeded);
        EXPECT_EQ(pane.lines(), c.verdict);
        std::vector<std::string> log = {"Starting " + c.kind + " Service"};
        log.insert(log.end(), c.verdict.begin(), c.verdict.end());
        EXPECT_EQ(logMessages(logFile(dir.path(), c.kind)), log);
    }
}

TEST(Job, EachKindRunsItsOwnBodyWithItsTimeoutAndInputs) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"ECHO", 100}, {"STORE", 120}, {"FIND", 30}, {"WORKLIST", 30}, {"PRINT", 100}};
    std::vector<std::string> calls;
    JobBodyTable bodies;
    for (const auto& [kind, timeout] : expected) {
        bodies.Register(kind, [&calls, kind = kind](JobContext& job) {
            calls.push_back(kind + " ran as " + job.JobKind + " " +
                            std::to_string(job.ReadTimeoutSeconds) + " " + job.Inputs.FileName +
                            " " + job.Inputs.Filter.Modality + " [" + job.TransferSyntaxUID + "]");
            return JobOutcome::Succeeded;
        });
    }
    EXPECT_FALSE(bodies.Register("ECHO2", [](JobContext&) { return JobOutcome::Succeeded; }));

    TempDir dir;
    for (const auto& [kind, timeout] : expected) {
        RecordingPane pane;
        MainThread job;
        job.TransferSyntaxUID = kind == "STORE" ? "1.2.840.10008.1.2.4.70" : "";
        runJob(job, kind, inputsIn(dir), pane, bodies);
        EXPECT_EQ(pane.lines(), std::vector<std::string>{kind + " OK"});
    }
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "ECHO ran as ECHO 100 /data/image.dcm CT []",
                         "STORE ran as STORE 120 /data/image.dcm CT [1.2.840.10008.1.2.4.70]",
                         "FIND ran as FIND 30 /data/image.dcm CT []",
                         "WORKLIST ran as WORKLIST 30 /data/image.dcm CT []",
                         "PRINT ran as PRINT 100 /data/image.dcm CT []"}));
}

TEST(Job, SecondJobTakesOverPaneLogFileAndLevel) {
    TempDir dir;
    std::promise<void> echoWaiting, findWaiting, echoEnded;
    std::shared_future<void> findStarted = findWaiting.get_future().share();
    std::shared_future<void> echoDone = echoEnded.get_future().share();
    int levelSeenByEcho = -1;

    JobBodyTable bodies;
    bodies.Register("ECHO", [&](JobContext& job) {
        job.Pane.AppendLine("echo before");
        echoWaiting.set_value();
        findStarted.wait_for(patience);
        levelSeenByEcho = CurrentLogLevel;
        job.Pane.AppendLine("echo after");
        LogMessage("echo after the second start");
        return JobOutcome::Failed;
    });
    bodies.Register("FIND", [&](JobContext& job) {
        job.Pane.AppendLine("find 1");
        findWaiting.set_value();
        echoDone.wait_for(patience);
        job.Pane.AppendLine("find 2");
        return JobOutcome::Succeeded;
    });

    RecordingPane pane;
    MainThread echo, find;
    echo.JobKind = "ECHO";
    echo.Pane = &pane;
    echo.Inputs = inputsIn(dir, 1);
    echo.Bodies = &bodies;
    find.JobKind = "FIND";
    find.Pane = &pane;
    find.Inputs = inputsIn(dir, 3);
    find.Bodies = &bodies;

    echo.start();
    ASSERT_EQ(echoWaiting.get_future().wait_for(patience), std::future_status::ready);
    find.start();
    ASSERT_TRUE(echo.wait(QDeadlineTimer(10000)));
    echoEnded.set_value();
    ASSERT_TRUE(find.wait(QDeadlineTimer(10000)));

    EXPECT_EQ(levelSeenByEcho, 3);
    const std::string echoFailed = "ECHO failed to connect to: PEER_AE (10.1.2.3:11112)";
    EXPECT_EQ(pane.lines(),
              (std::vector<std::string>{"find 1", "echo after", echoFailed, "find 2", "FIND OK"}));
    EXPECT_EQ(logMessages(logFile(dir.path(), "ECHO")),
              std::vector<std::string>{"Starting ECHO Service"});
    EXPECT_EQ(logMessages(logFile(dir.path(), "FIND")),
              (std::vector<std::string>{"Starting FIND Service", "echo after the second start",
                                        echoFailed, "FIND OK"}));
}

TEST(Job, StartedJobDeletesItselfWhenItEnds) {
    int argc = 1;
    char name[] = "app_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    TempDir dir;
    RecordingPane pane;
    auto* job = new MainThread;
    job->JobKind = "ECHO";
    job->Pane = &pane;
    bool destroyed = false;
    QObject::connect(job, &QObject::destroyed, [&] {
        destroyed = true;
        app.quit();
    });
    QTimer::singleShot(10000, &app, &QCoreApplication::quit);
    StartJob(job, inputsIn(dir));
    app.exec();

    EXPECT_TRUE(destroyed);
    EXPECT_EQ(pane.lines(),
              std::vector<std::string>{"ECHO failed to connect to: PEER_AE (10.1.2.3:11112)"});
}

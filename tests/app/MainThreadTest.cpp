#include "MainThread.h"
#include "AppTestHelpers.h"
#include "DimseScript.h"
#include "JobBodies.h"
#include "JobLines.h"
#include "Log.h"
#include "RecordingPane.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using apptest::logFile;
using apptest::logMessages;
using testsupport::RecordingPane;
using testsupport::TempDir;

namespace {

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
        std::vector<std::string> lines = pane.lines();
        // A success says what was done before its verdict, in the pane and the log alike.
        if (c.succeeded) {
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_TRUE(testsupport::isDoneLine(lines[0])) << lines[0];
            EXPECT_EQ(lines[0].rfind(c.kind + " to PEER_AE (10.1.2.3:11112) at ", 0), 0u);
        }
        EXPECT_EQ(testsupport::withoutDoneLines(lines), c.verdict);
        std::vector<std::string> log = {"Starting " + c.kind + " Service"};
        if (c.succeeded)
            log.push_back(lines[0]);
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
        EXPECT_EQ(testsupport::withoutDoneLines(pane.lines()),
                  std::vector<std::string>{kind + " OK"});
    }
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "ECHO ran as ECHO 100 /data/image.dcm CT []",
                         "STORE ran as STORE 120 /data/image.dcm CT [1.2.840.10008.1.2.4.70]",
                         "FIND ran as FIND 30 /data/image.dcm CT []",
                         "WORKLIST ran as WORKLIST 30 /data/image.dcm CT []",
                         "PRINT ran as PRINT 100 /data/image.dcm CT []"}));
}

// The level is process-wide; the log file is each job's own, so a late line of the first job
// stays in the first job's file.
TEST(Job, SecondJobTakesOverPaneAndLevelButNotTheLogFile) {
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
    EXPECT_EQ(testsupport::withoutDoneLines(pane.lines()),
              (std::vector<std::string>{"find 1", "echo after", echoFailed, "find 2", "FIND OK"}));
    EXPECT_EQ(logMessages(logFile(dir.path(), "ECHO")),
              (std::vector<std::string>{"Starting ECHO Service", "echo after the second start",
                                        echoFailed}));
    EXPECT_EQ(testsupport::withoutDoneLines(logMessages(logFile(dir.path(), "FIND"))),
              (std::vector<std::string>{"Starting FIND Service", "FIND OK"}));
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

// Cancelled while it waits for the association's answer from a peer that never gives one:
// the job ends at once with the reason and its failure verdict, and the peer gets an A-ABORT.
TEST(Job, CancelAbortsTheAssociationAtOnce) {
    TempDir dir;
    ScriptedPeer peer({ScriptedPeer::Expect(dimsescript::associateRequestSize("1.2.840.10008.1.1")),
                       ScriptedPeer::Expect(10), ScriptedPeer::Close()});
    JobBodyTable bodies;
    RegisterServiceJobBodies(bodies);
    RecordingPane pane;
    MainThread job;
    JobInputs inputs = inputsIn(dir);
    SetSettingsText(inputs.Settings.RemoteHost, "127.0.0.1");
    SetSettingsText(inputs.Settings.RemotePort, peer.PortText());
    job.JobKind = "ECHO";
    job.Pane = &pane;
    job.Inputs = inputs;
    job.Bodies = &bodies;
    job.start();
    // Negotiating: the request is out and the answer awaited, as the job's status says.
    for (int i = 0; i < 500 && job.Control.Progress().Step != JobStep::Negotiating; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(JobStatusText("ECHO", job.Control.Progress()).rfind("ECHO: negotiating, ", 0), 0u);
    auto cancelled = std::chrono::steady_clock::now();
    job.Control.Cancel();
    ASSERT_TRUE(job.wait(QDeadlineTimer(5000)));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
    EXPECT_FALSE(job.Succeeded);
    const std::string verdict =
        "ECHO failed to connect to: PEER_AE (127.0.0.1:" + peer.PortText() + ")";
    EXPECT_EQ(pane.lines(), (std::vector<std::string>{"Reason: cancelled by the user", verdict}));
    auto log = logMessages(logFile(dir.path(), "ECHO"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Reason: cancelled by the user");
    EXPECT_EQ(log.back(), verdict);
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    ASSERT_GE(got.size(), 10u);
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()),
              hexBytes("07 00 00000004 00 00 00 00"));
}

TEST(Job, StatusTextNamesStepTimeAndBytes) {
    JobProgress p;
    p.Step = JobStep::Sending;
    p.Elapsed = std::chrono::seconds(10);
    p.BytesSent = 121'000'000;
    p.BytesTotal = 524'000'000;
    EXPECT_EQ(JobStatusText("STORE", p), "STORE: sending, 10.0 s, 121.0 of 524.0 MB, 12.1 MB/s");
    p = {};
    p.Step = JobStep::Receiving;
    p.Records = 3;
    p.Elapsed = std::chrono::milliseconds(1500);
    EXPECT_EQ(JobStatusText("FIND", p), "FIND: receiving records, 1.5 s, 3 records");
    p.Cancelled = true;
    EXPECT_EQ(JobStatusText("FIND", p).rfind("FIND: cancelling, ", 0), 0u);
    p = {};
    p.Step = JobStep::Connecting;
    EXPECT_EQ(JobStatusText("ECHO", p), "ECHO: connecting, 0.0 s");
}

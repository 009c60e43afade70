// Jobs of every kind at once, started as the window starts them (StartJob, each job deleting
// itself on the event loop), against DCMTK peers: one log shared by all at the level where every
// layer writes, one identifier counter. The ThreadSanitizer tree builds this file alone.

#include "AppState.h"
#include "DcmtkPeer.h"
#include "JobBodies.h"
#include "JobLines.h"
#include "MainThread.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;

bool havePeers(std::initializer_list<const char*> programs) {
    for (const char* program : programs) {
        if (testsupport::findProgram(program).empty()) {
            if (testsupport::peersRequired())
                ADD_FAILURE() << program << " is missing";
            return false;
        }
    }
    return true;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Qt delivers posted events under its own futex-based locks, which ThreadSanitizer cannot see;
// these mark the hand-off of an event object from the poster to the receiving thread.
#if defined(__SANITIZE_THREAD__)
void handedOver(void* object) {
    __tsan_release(object);
}
void takenOver(void* object) {
    __tsan_acquire(object);
}
#else
void handedOver(void*) {}
void takenOver(void*) {}
#endif

// One pane request on its way to the receiving thread.
class PaneEvent : public QEvent {
public:
    static inline const QEvent::Type Kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    PaneEvent(bool clear, std::string line) : QEvent(Kind), Clear(clear), Line(std::move(line)) {}
    const bool Clear;
    const std::string Line;
};

// Like the window's pane: every request is posted to the receiving thread in the order the job
// makes it, and the lines live there.
class QueuedPane : public QObject, public OutputPane {
public:
    // Create it on the receiving thread.
    QueuedPane() = default;

    void Clear() override { post(true, {}); }
    void AppendLine(const std::string& line) override { post(false, line); }
    // Read on the receiving thread only.
    const std::vector<std::string>& lines() const { return lines_; }

protected:
    bool event(QEvent* e) override {
        // Before the first look at it: the event may come from a job's thread.
        takenOver(e);
        if (e->type() != PaneEvent::Kind)
            return QObject::event(e);
        auto* request = static_cast<PaneEvent*>(e);
        if (request->Clear)
            lines_.clear();
        else
            lines_.push_back(request->Line);
        return true;
    }

private:
    void post(bool clear, std::string line) {
        auto request = std::make_unique<PaneEvent>(clear, std::move(line));
        handedOver(request.get());
        QCoreApplication::postEvent(this, request.release());
    }

    std::vector<std::string> lines_;
};

struct PlannedJob {
    std::string kind;
    std::string remoteAET;
    int port;
    std::string file;
    std::string transferSyntax;
};

// Storage, query/retrieve and print peers for the suite, the archive filled once.
class ConcurrentJobs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"storescp", "storescu", "dcmqrscp", "dcmprscp"}))
            return;
        peers = std::make_unique<Peers>();
        Peers& p = *peers;
        fs::create_directory(p.storeDir.file("received"));
        p.storage = std::make_unique<DcmtkPeer>(
            "storescp",
            std::vector<std::string>{"--fork", "-od", p.storeDir.file("received").string(), "+xa",
                                     "-pm"},
            p.storeDir.path().string());

        p.archive = testsupport::StartQueryScp(p.archiveDir.path().string());
        if (p.archive->Ready())
            p.archiveFilled =
                runCommand("storescu -aec ARCHIVE 127.0.0.1 " + std::to_string(p.archive->Port()) +
                           " " + shellQuote(samples + "CT_small.dcm") + " " +
                           shellQuote(samples + "MR_small.dcm") + " 2>&1")
                    .exitStatus == 0;

        p.printer = StartPrintScp(p.printerDir.path().string());
    }
    static void TearDownTestSuite() { peers.reset(); }

    void SetUp() override {
        if (!peers)
            GTEST_SKIP();
        ASSERT_TRUE(peers->storage->Ready());
        ASSERT_TRUE(peers->archive->Ready());
        ASSERT_TRUE(peers->archiveFilled);
        ASSERT_TRUE(peers->printer->Ready());
        ASSERT_TRUE(InitStartDir(state, home.path().string()));
        RegisterServiceJobBodies(DefaultJobBodies());
    }

    // Starts every job at once through StartJob and runs the event loop until each has deleted
    // itself. Returns each job's outcome and its pane lines, in the order of the plan.
    void runAll(const std::vector<PlannedJob>& plan) {
        int argc = 1;
        char name[] = "concurrency_tests";
        char* argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        QObject receiver;

        std::vector<std::unique_ptr<QueuedPane>> panes;
        std::size_t left = plan.size();
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const PlannedJob& planned = plan[i];
            panes.push_back(std::make_unique<QueuedPane>());
            auto* job = new MainThread;
            job->JobKind = planned.kind;
            job->Pane = panes.back().get();
            job->TransferSyntaxUID = planned.transferSyntax;
            // The outcome is taken on the job's thread as it ends; the job is gone afterwards.
            QObject::connect(
                job, &QThread::finished, job,
                [this, job, i] {
                    std::lock_guard<std::mutex> lock(outcomeLock);
                    outcomes[i] = job->Outcome;
                },
                Qt::DirectConnection);
            QObject::connect(job, &QObject::destroyed, &receiver, [&] {
                if (--left == 0)
                    app.quit();
            });
            SetSettingsText(state.Settings.RemoteAET, planned.remoteAET);
            SetSettingsText(state.Settings.RemotePort, std::to_string(planned.port));
            state.Settings.LogLevel = 3;
            state.FileName = planned.file;
            StartJob(job, CaptureJobInputs(state));
        }
        // Generous: every job is many times slower under ThreadSanitizer.
        QTimer::singleShot(240000, &app, &QCoreApplication::quit);
        app.exec();
        ASSERT_EQ(left, 0u) << "jobs still running";
        for (const auto& pane : panes)
            paneLines.push_back(testsupport::withoutDoneLines(pane->lines()));
    }

    // Every log file of the start directory, one after the other.
    std::string allLogs() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(state.LogDir))
            text += readText(entry.path());
        return text;
    }

    struct Peers {
        TempDir storeDir, archiveDir, printerDir;
        std::unique_ptr<DcmtkPeer> storage, archive, printer;
        bool archiveFilled = false;
    };
    static inline std::unique_ptr<Peers> peers;

    TempDir home;
    AppState state;
    std::mutex outcomeLock;
    std::map<std::size_t, JobOutcome> outcomes;
    std::vector<std::vector<std::string>> paneLines;
};

} // namespace

TEST_F(ConcurrentJobs, EveryKindAtOnceEndsInItsOwnVerdict) {
    const int storage = peers->storage->Port();
    const int archive = peers->archive->Port();
    const int closed = testsupport::FreeLoopbackPort();
    const std::vector<PlannedJob> plan = {
        {"ECHO", "STORESCP", storage, "", ""},
        {"STORE", "STORESCP", storage, samples + "CT_small.dcm", ""},
        {"FIND", "ARCHIVE", archive, "", ""},
        {"PRINT", "PRINTSCP", peers->printer->Port(), samples + "MR_small.dcm", ""},
        {"STORE", "STORESCP", storage, samples + "MR_small.dcm", "1.2.840.10008.1.2.4.70"},
        {"ECHO", "ARCHIVE", archive, "", ""},
        {"FIND", "ARCHIVE", archive, "", ""},
        {"STORE", "STORESCP", storage, samples + "rtdose.dcm", "1.2.840.10008.1.2.1"},
        {"ECHO", "NOBODY", closed, "", ""},
        {"ECHO", "STORESCP", storage, "", ""},
    };
    runAll(plan);
    ASSERT_EQ(paneLines.size(), plan.size());

    std::map<std::string, int> ok, failed;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const PlannedJob& planned = plan[i];
        SCOPED_TRACE(std::to_string(i) + " " + planned.kind);
        const bool reachable = planned.remoteAET != "NOBODY";
        {
            std::lock_guard<std::mutex> lock(outcomeLock);
            ASSERT_TRUE(outcomes.count(i));
            EXPECT_EQ(outcomes[i], reachable ? JobOutcome::Succeeded : JobOutcome::Failed);
        }
        // Each job has a pane of its own, so its verdict is its last line whatever ran beside it.
        ASSERT_FALSE(paneLines[i].empty());
        const std::string verdict = reachable ? planned.kind + " OK"
                                              : planned.kind +
                                                    " failed to connect to: NOBODY (127.0.0.1:" +
                                                    std::to_string(planned.port) + ")";
        EXPECT_EQ(paneLines[i].back(), verdict);
        ++(reachable ? ok : failed)[planned.kind];
        if (planned.kind == "FIND") {
            // Both sample studies, whichever other association the archive was serving.
            EXPECT_EQ(paneLines[i][paneLines[i].size() - 2], "No studies: 2");
        }
    }

    // The shared log holds every job's start and verdict lines whole.
    const std::string log = allLogs();
    for (const std::string kind : {"ECHO", "STORE", "FIND", "PRINT"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(count(log, ", Starting " + kind + " Service\r\n"), ok[kind] + failed[kind]);
        EXPECT_EQ(count(log, ", " + kind + " OK\r\n"), ok[kind]);
        EXPECT_EQ(count(log, ", " + kind + " failed to connect to: "), failed[kind]);
    }
    // Each job writes to the file of its own kind, whatever started after it.
    for (const auto& entry : fs::directory_iterator(state.LogDir)) {
        const std::string name = entry.path().filename().string();
        const std::string text = readText(entry.path());
        for (const std::string kind : {"ECHO", "STORE", "FIND", "PRINT"}) {
            if (name.find("_" + kind + ".log") == std::string::npos) {
                EXPECT_EQ(text.find(", Starting " + kind + " Service"), std::string::npos)
                    << kind << " in " << name;
            }
        }
    }
    // Socket level: the traffic of every association is in it.
    EXPECT_GE(count(log, " >> "), 20);
    EXPECT_GE(count(log, " << "), 20);

    // The storage peer got each file; the printer printed one film.
    std::size_t received = 0;
    for (auto it = fs::recursive_directory_iterator(peers->storeDir.file("received"));
         it != fs::recursive_directory_iterator(); ++it)
        received += it->is_regular_file();
    EXPECT_EQ(received, 3u);
    std::size_t printed = 0;
    for (const auto& entry : fs::directory_iterator(peers->printerDir.file("db")))
        printed += entry.path().filename().string().rfind("HG_", 0) == 0;
    EXPECT_EQ(printed, 1u);
}

TEST_F(ConcurrentJobs, ManyEchoesShareTheCounterAndTheLog) {
    std::vector<PlannedJob> plan;
    for (int i = 0; i < 12; ++i)
        plan.push_back({"ECHO", i % 2 ? "ARCHIVE" : "STORESCP",
                        i % 2 ? peers->archive->Port() : peers->storage->Port(), "", ""});
    runAll(plan);
    ASSERT_EQ(paneLines.size(), plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(i);
        std::lock_guard<std::mutex> lock(outcomeLock);
        EXPECT_EQ(outcomes[i], JobOutcome::Succeeded);
        EXPECT_EQ(paneLines[i], std::vector<std::string>{"ECHO OK"});
    }
    const std::string log = allLogs();
    EXPECT_EQ(count(log, ", Starting ECHO Service\r\n"), 12);
    EXPECT_EQ(count(log, ", ECHO OK\r\n"), 12);
}

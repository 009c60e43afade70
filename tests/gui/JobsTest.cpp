#include "DcmtkPeer.h"
#include "GuiTestSupport.h"
#include "JobBodies.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QToolButton>

#include <chrono>
#include <future>

using guitest::BlockHeaders;
using guitest::InDirectory;
using guitest::JobsEnded;
using guitest::PaneLines;
using guitest::ResultLines;
using guitest::WaitFor;
using testsupport::DcmtkPeer;
using testsupport::havePeers;
using testsupport::TempDir;

namespace {

constexpr auto patience = std::chrono::seconds(20);

void pointAt(TForm1& window, const std::string& aet, int port) {
    SetSettingsText(window.State.Settings.RemoteAET, aet);
    SetSettingsText(window.State.Settings.RemotePort, std::to_string(port));
}

} // namespace

// The services' own ECHO body, with lines of the test around it so that the order of the two
// jobs' requests is known: the second job starts while the first one waits, then each runs
// a real verification against storescp. Each job's lines stay in its own block.
TEST(WindowJobs, TwoEchoJobsKeepTheirOwnBlocks) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir dir;
    InDirectory in(dir.path());
    DcmtkPeer peer("storescp", {"--aetitle", "ARCHIVE"}, dir.path().string());
    ASSERT_TRUE(peer.Ready());

    JobBodyTable services;
    RegisterServiceJobBodies(services);
    const JobBody echo = *services.Find("ECHO");
    std::promise<void> firstWaiting, secondStarted, secondMayGoOn;
    std::shared_future<void> secondStartedSeen = secondStarted.get_future().share();
    std::shared_future<void> goOn = secondMayGoOn.get_future().share();
    std::atomic<int> calls{0};
    JobBodyTable bodies;
    bodies.Register("ECHO", [&](JobContext& job) {
        if (calls++ == 0) {
            job.Pane.AppendLine("first: before");
            firstWaiting.set_value();
            secondStartedSeen.wait_for(patience);
            JobOutcome outcome = echo(job);
            job.Pane.AppendLine("first: after");
            return outcome;
        }
        job.Pane.AppendLine("second: started");
        secondStarted.set_value();
        goOn.wait_for(patience);
        JobOutcome outcome = echo(job);
        job.Pane.AppendLine("second: after");
        return outcome;
    });

    TForm1 window;
    window.Bodies = &bodies;
    pointAt(window, "ARCHIVE", peer.Port());
    window.Memo1->appendPlainText("left from before");

    window.BitBtn4->click();
    ASSERT_EQ(firstWaiting.get_future().wait_for(patience), std::future_status::ready);
    EXPECT_TRUE(WaitFor([&] { return ResultLines(window) == QStringList{"first: before"}; }));

    window.BitBtn4->click();
    EXPECT_TRUE(WaitFor([&] {
        return ResultLines(window) ==
               QStringList{"first: before", "first: after", "ECHO OK", "second: started"};
    })) << PaneLines(window).join('|').toStdString();
    EXPECT_EQ(BlockHeaders(window), (QStringList{"--- ECHO", "--- ECHO"}));
    secondMayGoOn.set_value();
    EXPECT_TRUE(WaitFor([&] {
        return ResultLines(window) == QStringList{"first: before",   "first: after",  "ECHO OK",
                                                  "second: started", "second: after", "ECHO OK"};
    })) << PaneLines(window).join('|').toStdString();
    EXPECT_EQ(window.StartedJobs(), 2);
    EXPECT_TRUE(JobsEnded());
    // The next job's start clears what has ended.
    window.BitBtn4->click();
    EXPECT_TRUE(WaitFor([&] { return BlockHeaders(window) == QStringList{"--- ECHO"}; }));
    EXPECT_TRUE(JobsEnded());
}

TEST(WindowJobs, WindowStaysResponsiveWhileAJobWaitsOnASilentPeer) {
    TempDir dir;
    InDirectory in(dir.path());
    ScriptedPeer peer(
        {ScriptedPeer::Silent(std::chrono::milliseconds(3000)), ScriptedPeer::Close()});
    TForm1 window;
    JobBodyTable services;
    RegisterServiceJobBodies(services);
    window.Bodies = &services;
    pointAt(window, "QUIET", peer.Port());
    window.Memo1->appendPlainText("left from before");

    QElapsedTimer clock;
    clock.start();
    window.BitBtn4->click();
    EXPECT_LT(clock.elapsed(), 500) << "the click returns at once";

    // The event loop keeps turning: a timer fires many times, and the pane is cleared, while
    // the job still waits for the peer's answer.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    EXPECT_TRUE(WaitFor([&] { return ticks >= 10; }, 5000));
    EXPECT_EQ(TForm1::RunningJobs(), 1);
    EXPECT_TRUE(ResultLines(window).isEmpty());
    EXPECT_LT(clock.elapsed(), 3000);

    EXPECT_TRUE(peer.Finish());
    EXPECT_TRUE(WaitFor([&] {
        return ResultLines(window) ==
               QStringList{"Reason: awaiting the A-ASSOCIATE-AC: the peer closed the connection",
                           "ECHO failed to connect to: QUIET (127.0.0.1:" +
                               QString::number(peer.Port()) + ")"};
    })) << PaneLines(window).join('|').toStdString();
    EXPECT_TRUE(JobsEnded());
}

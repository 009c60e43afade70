// Storage commitment through the CLI: the report on the same association and on a new one to
// our local port (scripted dcmjs-dimse peer), the time-out, and Orthanc as the archive.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "DimsePeer.h"
#include "JobLines.h"
#include "OrthancPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testsupport;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;
const std::string ct = samples + "CT_small.dcm", mr = samples + "MR_small.dcm",
                  plan = samples + "rtplan.dcm";

std::string instanceOf(const std::string& file) {
    DcmObj dataSet;
    DcmObj::Read(dataSet, file);
    return dataSet.GetString(0x0008, 0x0018);
}

class Commitment : public ::testing::Test {
protected:
    void configure(int remotePort, int wait, int local) {
        localPort = local;
        ASSERT_EQ(
            runCommand(cliCommand(work.path(), "setup --log-level 2 --local-aet VESKARO "
                                               "--remote-port " +
                                                   std::to_string(remotePort) + " --local-port " +
                                                   std::to_string(localPort) + " --commit-wait " +
                                                   std::to_string(wait)))
                .exitStatus,
            0);
    }
    // Leaves peer null, or not ready, when it cannot run; the test must then stop.
    void startPeer(std::vector<std::string> options) {
        if (!testsupport::haveDimsePeer())
            GTEST_SKIP();
        int port = FreeLoopbackPort();
        for (std::string& o : options)
            if (o == "@LOCAL@")
                o = std::to_string(port);
        peer = std::make_unique<DimsePeer>(peerDir.path().string(), options);
        ASSERT_TRUE(peer->Ready());
        configure(peer->Port(), 10, port);
    }

    TempDir work, peerDir;
    std::unique_ptr<DimsePeer> peer;
    int localPort = 0;
};

} // namespace

// The report on the same association lists the committed and the failed reference apart.
TEST_F(Commitment, ReportOnTheSameAssociationWithAFailure) {
    startPeer({"--commit", "same", "--fail", instanceOf(mr)});
    if (!peer || !peer->Ready())
        return;
    auto r = runCommand(cliCommand(work.path(), "commit " + shellQuote(ct) + " " + shellQuote(mr)));
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("(report on the same association)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Committed: " + instanceOf(ct) + "\n"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Not committed: " + instanceOf(mr) +
                                                           " (failure reason 0110)\n"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Committed: 1, failed: 1\nReason: 1 of 2 instances were not "
                  "committed\nCOMMIT failed to connect to:"),
              std::string::npos)
        << r.output;
    json action = peer->First("N-ACTION");
    ASSERT_FALSE(action.is_null());
    EXPECT_EQ(action["sopClass"], "1.2.840.10008.1.20.1");
    EXPECT_EQ(action["sopInstance"], "1.2.840.10008.1.20.1.1");
    EXPECT_EQ(action["actionType"], 1);
    ASSERT_EQ(action["dataset"]["ReferencedSOPSequence"].size(), 2u);
    EXPECT_EQ(action["dataset"]["ReferencedSOPSequence"][0]["ReferencedSOPInstanceUID"],
              instanceOf(ct));
    EXPECT_FALSE(action["dataset"].value("TransactionUID", "").empty());
    json answered = peer->First("N-EVENT-REPORT-RSP");
    ASSERT_FALSE(answered.is_null());
    EXPECT_EQ(answered["status"], 0);
}

// The peer opens a new association to our local port for the report.
TEST_F(Commitment, ReportOnANewAssociation) {
    startPeer({"--commit", "new", "--commit-port", "@LOCAL@", "--delay-ms", "300"});
    if (!peer || !peer->Ready())
        return;
    auto r = runCommand(cliCommand(work.path(), "commit " + shellQuote(ct) + " " + shellQuote(mr) +
                                                    " " + shellQuote(plan)));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("(report on the new association)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Committed: 3, failed: 0\nCOMMIT OK\n"),
              std::string::npos);
    json answered = peer->First("N-EVENT-REPORT-RSP");
    ASSERT_FALSE(answered.is_null()) << peer->Received().dump(1);
    EXPECT_EQ(answered["status"], 0);
}

// No report at all: the wait ends after the configured seconds with its reason.
TEST_F(Commitment, NoReportTimesOut) {
    startPeer({"--commit", "none"});
    if (!peer || !peer->Ready())
        return;
    ASSERT_EQ(runCommand(cliCommand(work.path(), "setup --commit-wait 2")).exitStatus, 0);
    auto r = runCommand(cliCommand(work.path(), "commit " + shellQuote(ct)));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Reason: no storage commitment report within 2 s\nCOMMIT failed"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(runCommand(cliCommand(work.path(), "commit")).exitStatus, 2);
}

// Orthanc commits what it stored and refuses what it never received; its report comes on a
// new association to the local port it knows us by.
TEST_F(Commitment, OrthancCommitsWhatItStored) {
    if (!testsupport::havePeers({"Orthanc"}))
        GTEST_SKIP();
    TempDir archive;
    int port = FreeLoopbackPort();
    OrthancPeer orthanc(archive.path().string(), "VESKARO", port);
    ASSERT_TRUE(orthanc.Ready());
    configure(orthanc.Port(), 20, port);
    ASSERT_EQ(runCommand(cliCommand(work.path(), "setup --remote-aet ORTHANC")).exitStatus, 0);
    auto stored =
        runCommand(cliCommand(work.path(), "store " + shellQuote(ct) + " " + shellQuote(mr)));
    ASSERT_EQ(stored.exitStatus, 0) << stored.output;

    auto r = runCommand(cliCommand(work.path(), "commit " + shellQuote(ct) + " " + shellQuote(mr)));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("(report on the new association)"),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Committed: 2, failed: 0\nCOMMIT OK\n"),
              std::string::npos);

    r = runCommand(cliCommand(work.path(), "commit " + shellQuote(ct) + " " + shellQuote(plan)));
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Not committed: " + instanceOf(plan)),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Committed: 1, failed: 1"),
              std::string::npos);
}

// MOVE and GET through the CLI against dcmqrscp (our AE as its move destination on our local
// port) and Orthanc: study, series and image level, both roots, the files kept as they came;
// a move destination the peer does not know, and objects our side cannot write.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "JobLines.h"
#include "OrthancPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

using testsupport::DcmtkPeer;
using testsupport::FreeLoopbackPort;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";
const std::string ctStudy = "1.3.6.1.4.1.5962.1.2.1.20040119072730.12322";
const std::string ctSeries = "1.3.6.1.4.1.5962.1.3.1.1.20040119072730.12322";
const std::string ctImage = "1.3.6.1.4.1.5962.1.1.1.1.1.20040119072730.12322";
const std::string mrStudy = "1.3.6.1.4.1.5962.1.2.4.20040826185059.5457";
const std::string mrSeries = "1.3.6.1.4.1.5962.1.3.4.1.20040826185059.5457";
const std::string mrImage = "1.3.6.1.4.1.5962.1.1.4.1.1.20040826185059.5457";

std::string cli(const fs::path& dir, const std::string& args) {
    return "cd " + shellQuote(dir.string()) + " && " + shellQuote(VESKARO_CLI) + " " + args +
           " 2>&1";
}

// The received file holds the sample's data set after its meta group, as the archive sent it
// (the trailing padding the archive drops aside).
void expectSameDataSet(const fs::path& received, const std::string& sample) {
    DcmObj got, want;
    ASSERT_TRUE(DcmObj::Read(got, received.string())) << received;
    ASSERT_TRUE(DcmObj::Read(want, samples + sample));
    EXPECT_EQ(got.transferSyntax, want.transferSyntax);
    EXPECT_EQ(got.GetString(0x0008, 0x0018), want.GetString(0x0008, 0x0018));
    auto dump = [](const std::string& file) {
        return runCommand("dcmdump -q +L " + shellQuote(file) +
                          " | grep -v '^(0002,' | "
                          "grep -v '^#' | grep -v '^$' | grep -v '^(fffc,fffc)'")
            .output;
    };
    EXPECT_EQ(dump(received.string()), dump(samples + sample));
}

class Retrieve : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testsupport::havePeers({"dcmqrscp", "storescu", "dcmdump"}))
            return;
        db = std::make_unique<TempDir>();
        localPort = FreeLoopbackPort();
        fs::create_directory(db->file("db"));
        std::ofstream(db->file("dcmqrscp.cfg"))
            << "NetworkTCPPort = 104\nMaxPDUSize = 16384\nMaxAssociations = 16\n"
               "HostTable BEGIN\nveskaro = (VESKARO, 127.0.0.1, "
            << localPort
            << ")\nHostTable END\nVendorTable BEGIN\nVendorTable END\n"
               "AETable BEGIN\nARCHIVE "
            << db->file("db").string() << " RW (50, 64mb) ANY\nAETable END\n";
        peer = std::make_unique<DcmtkPeer>(
            "dcmqrscp", std::vector<std::string>{"-c", db->file("dcmqrscp.cfg").string()},
            db->path().string());
        if (!peer->Ready())
            return;
        stored = runCommand("storescu -aec ARCHIVE 127.0.0.1 " + std::to_string(peer->Port()) +
                            " " + shellQuote(samples + "CT_small.dcm") + " " +
                            shellQuote(samples + "MR_small.dcm") + " 2>&1")
                     .exitStatus == 0;
    }
    static void TearDownTestSuite() {
        peer.reset();
        db.reset();
    }
    void SetUp() override {
        if (!db)
            GTEST_SKIP();
        ASSERT_TRUE(peer->Ready());
        ASSERT_TRUE(stored);
        ASSERT_EQ(runCommand(cli(work.path(), "setup --log-level 2 --local-aet VESKARO "
                                              "--remote-aet ARCHIVE --remote-port " +
                                                  std::to_string(peer->Port()) + " --local-port " +
                                                  std::to_string(localPort)))
                      .exitStatus,
                  0);
    }
    std::string received(const std::string& instance) const {
        return (work.path() / "received" / (instance + ".dcm")).string();
    }

    static inline std::unique_ptr<TempDir> db;
    static inline std::unique_ptr<DcmtkPeer> peer;
    static inline int localPort = 0;
    static inline bool stored = false;
    TempDir work;
};

} // namespace

// Each level moves just its objects to our storage side; the files are the stored data sets.
TEST_F(Retrieve, MoveAtEveryLevel) {
    for (const std::string& keys :
         {"--study " + ctStudy, "--study " + ctStudy + " --series " + ctSeries,
          "--study " + ctStudy + " --series " + ctSeries + " --image " + ctImage}) {
        fs::remove_all(work.path() / "received");
        auto r = runCommand(cli(work.path(), "move " + keys));
        std::string out = testsupport::withoutDoneLines(r.output);
        EXPECT_EQ(r.exitStatus, 0) << keys << "\n" << r.output;
        EXPECT_NE(out.find("\nReceived: " + received(ctImage) +
                           "\nCompleted: 1, failed: 0, warning: 0\nFiles received: 1 in " +
                           (work.path() / "received").string() + "\nMOVE OK\n"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(std::distance(fs::directory_iterator(work.path() / "received"),
                                fs::directory_iterator()),
                  1);
    }
    expectSameDataSet(received(ctImage), "CT_small.dcm");
    // Patient Root, by the patient's ID.
    auto r =
        runCommand(cli(work.path(), "move --root patient --patient-id 4MR1 --study " + mrStudy));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    expectSameDataSet(received(mrImage), "MR_small.dcm");
    for (const char* args : {"move", "move --series 1.2", "move --study 1.2 --image 1.3",
                             "get --root patient --study 1.2", "move --study 1.2 extra"})
        EXPECT_EQ(runCommand(cli(work.path(), args)).exitStatus, 2) << args;
}

// C-GET brings the objects on our own association, at study level and at image level.
TEST_F(Retrieve, GetOnTheSameAssociation) {
    auto r = runCommand(cli(work.path(), "get --study " + mrStudy));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Received: " + received(mrImage) + "\nCompleted: 1, failed: 0, warning: 0\n"),
              std::string::npos)
        << r.output;
    expectSameDataSet(received(mrImage), "MR_small.dcm");
    r = runCommand(cli(work.path(),
                       "get --study " + ctStudy + " --series " + ctSeries + " --image " + ctImage));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    expectSameDataSet(received(ctImage), "CT_small.dcm");
    // Nothing matches: no object, and the reason says so.
    r = runCommand(cli(work.path(), "get --study 1.2.3.4"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Completed: 0, failed: 0, warning: 0\nFiles received: 0 in " +
                  (work.path() / "received").string() +
                  "\nReason: C-GET: nothing matched the keys, no object was sent\nGET failed"),
              std::string::npos)
        << r.output;
}

// The queries that find what to retrieve, below the study, in both roots.
TEST_F(Retrieve, FindBelowTheStudy) {
    auto r = runCommand(
        cli(work.path(), "find --level image --study " + ctStudy + " --series " + ctSeries));
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("SOPInstanceUID: " + ctImage + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("No images: 1\nFIND OK\n"),
              std::string::npos)
        << r.output;
    r = runCommand(cli(work.path(), "find --level series --root patient --patient-id 4MR1 "
                                    "--study " +
                                        mrStudy));
    EXPECT_NE(r.output.find("SeriesInstanceUID: " + mrSeries + "\n"), std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("No series: 1\nFIND OK\n"),
              std::string::npos)
        << r.output;
}

// A calling title the archive has no address for: its refusal names what to change.
TEST_F(Retrieve, UnknownMoveDestinationIsRefused) {
    ASSERT_EQ(runCommand(cli(work.path(), "setup --local-aet STRANGER")).exitStatus, 0);
    auto r = runCommand(cli(work.path(), "move --study " + ctStudy));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Reason: C-MOVE refused: 0xA801 move destination unknown - the peer does not "
                  "know STRANGER;"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(work.path() / "received"));
}

// Our side cannot write what arrives (a file where the folder should be): each store is
// answered "out of resources", the peer counts the failed sub-operations.
TEST_F(Retrieve, ObjectsThatCannotBeWrittenFailTheirSubOperations) {
    std::ofstream(work.file("received")) << "in the way";
    for (const char* kind : {"get", "move"}) {
        auto r = runCommand(cli(work.path(), std::string(kind) + " --study " + ctStudy));
        std::string out = testsupport::withoutDoneLines(r.output);
        EXPECT_EQ(r.exitStatus, 1) << r.output;
        EXPECT_NE(out.find("Not written: " + ctImage + ": the folder "), std::string::npos)
            << r.output;
        EXPECT_NE(out.find("Completed: 0, failed: 1, warning: 0\n"), std::string::npos) << r.output;
        EXPECT_NE(out.find("Reason: 1 objects received could not be written, the first: " +
                           ctImage + ": the folder "),
                  std::string::npos)
            << r.output;
    }
}

// Orthanc as the archive: what was stored there comes back by move and by get.
TEST(RetrieveOrthanc, MoveAndGetWhatWasStored) {
    if (!testsupport::havePeers({"Orthanc"}))
        GTEST_SKIP();
    TempDir archive, work;
    int port = FreeLoopbackPort();
    testsupport::OrthancPeer orthanc(archive.path().string(), "VESKARO", port);
    ASSERT_TRUE(orthanc.Ready());
    ASSERT_EQ(runCommand(cli(work.path(), "setup --local-aet VESKARO --remote-aet ORTHANC "
                                          "--remote-port " +
                                              std::to_string(orthanc.Port()) + " --local-port " +
                                              std::to_string(port)))
                  .exitStatus,
              0);
    auto r = runCommand(cli(work.path(), "store " + shellQuote(samples + "CT_small.dcm") + " " +
                                             shellQuote(samples + "MR_small.dcm")));
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    const fs::path ct = work.path() / "received" / (ctImage + ".dcm");
    r = runCommand(cli(work.path(), "move --study " + ctStudy + " --series " + ctSeries));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Completed: 1, failed: 0, warning: 0\n"), std::string::npos)
        << r.output;
    DcmObj moved;
    EXPECT_TRUE(DcmObj::Read(moved, ct.string()));
    EXPECT_EQ(moved.GetString(0x0008, 0x0018), ctImage);
    fs::remove_all(work.path() / "received");
    r = runCommand(cli(work.path(), "get --root patient --patient-id 4MR1 --study " + mrStudy +
                                        " --series " + mrSeries + " --image " + mrImage));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    DcmObj got;
    EXPECT_TRUE(DcmObj::Read(got, (work.path() / "received" / (mrImage + ".dcm")).string()));
    EXPECT_EQ(got.GetString(0x0010, 0x0020), "4MR1");
}

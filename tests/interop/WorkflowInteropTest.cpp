// The whole scheduled workflow through the CLI against Orthanc (worklist plugin, storage,
// storage commitment, query) and the scripted MPPS peer; then the series and image level
// queries on what Orthanc stored, in both query roots.

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
const std::string studyUid = "1.2.826.0.1.3680043.2.1143.881";
const testsupport::WorklistItem item{.number = "881",
                                     .procedure = "CT Chest",
                                     .modality = "CT",
                                     .station = "VESKARO",
                                     .date = "20240305",
                                     .time = "080000",
                                     .step = "Chest",
                                     .priority = "ROUTINE"};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Workflow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::havePeers({"Orthanc", "dump2dcm"}) || !testsupport::haveDimsePeer())
            GTEST_SKIP();
        int localPort = FreeLoopbackPort();
        orthanc = std::make_unique<OrthancPeer>(archive.path().string(), "VESKARO", localPort);
        ASSERT_TRUE(orthanc->Ready());
        ASSERT_TRUE(testsupport::WriteWorklistFiles(orthanc->WorklistDir(), {item.Dump()}));
        mpps = std::make_unique<DimsePeer>(mppsDir.path().string());
        ASSERT_TRUE(mpps->Ready());
        ASSERT_EQ(runCommand(cliCommand(work.path(),
                                        "setup --log-level 2 --local-aet VESKARO --remote-aet "
                                        "ORTHANC --remote-port " +
                                            std::to_string(orthanc->Port()) + " --local-port " +
                                            std::to_string(localPort) + " --commit-wait 30" +
                                            testsupport::mppsOptions(*mpps, "MPPS")))
                      .exitStatus,
                  0);
    }

    TempDir work, archive, mppsDir;
    std::unique_ptr<OrthancPeer> orthanc;
    std::unique_ptr<DimsePeer> mpps;
};

} // namespace

TEST_F(Workflow, RunsEveryStepAgainstOrthancAndTheMppsPeer) {
    auto r = runCommand(cliCommand(work.path(), "workflow --worklist-item 1 " +
                                                    shellQuote(samples + "CT_small.dcm") + " " +
                                                    shellQuote(samples + "MR_small.dcm")));
    std::cout << r.output;
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    for (const char* stepLine : {"\u2713 1 worklist query (", "\u2713 2 MPPS in progress (",
                                 "\u2713 3 store (", "\u2713 4 MPPS completed (",
                                 "\u2713 5 storage commitment (", "\u2713 6 study query back ("})
        EXPECT_EQ(count(r.output, stepLine), 1u) << stepLine;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Committed: 2, failed: 0\n"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("Study " + studyUid + ": 2 instances\n"),
              std::string::npos);
    EXPECT_EQ(r.output.substr(r.output.size() - 12), "WORKFLOW OK\n");

    json create = mpps->First("N-CREATE");
    ASSERT_FALSE(create.is_null());
    EXPECT_EQ(jsonText(create["dataset"]["PatientID"]), "PID881");
    json set = mpps->First("N-SET");
    ASSERT_FALSE(set.is_null());
    EXPECT_EQ(set["sopInstance"], create["sopInstance"]);
    EXPECT_EQ(jsonText(set["dataset"]["PerformedProcedureStepStatus"]), "COMPLETED");
    EXPECT_EQ(set["dataset"]["PerformedSeriesSequence"].size(), 2u);

    // What Orthanc keeps carries the item's identifiers, at every level and in both roots.
    auto study = runCommand(cliCommand(work.path(), "find --accession ACC881"));
    EXPECT_NE(testsupport::withoutDoneLines(study.output)
                  .find("PatientName: Roe^Jane\nPatientID: PID881\n"),
              std::string::npos)
        << study.output;
    EXPECT_NE(
        testsupport::withoutDoneLines(study.output).find("StudyInstanceUID: " + studyUid + "\n"),
        std::string::npos);
    auto series = runCommand(cliCommand(work.path(), "find --level series --study " + studyUid));
    EXPECT_EQ(series.exitStatus, 0) << series.output;
    EXPECT_NE(testsupport::withoutDoneLines(series.output).find("No series: 2\nFIND OK\n"),
              std::string::npos)
        << series.output;
    DcmObj ct;
    ASSERT_TRUE(DcmObj::Read(ct, samples + "CT_small.dcm"));
    auto images =
        runCommand(cliCommand(work.path(), "find --level image --study " + studyUid + " --series " +
                                               ct.GetString(0x0020, 0x000E)));
    EXPECT_NE(testsupport::withoutDoneLines(images.output)
                  .find("SOPInstanceUID: " + ct.GetString(0x0008, 0x0018) + "\n"),
              std::string::npos)
        << images.output;
    EXPECT_NE(testsupport::withoutDoneLines(images.output).find("No images: 1\nFIND OK\n"),
              std::string::npos);
    auto patientRoot = runCommand(cliCommand(work.path(), "find --level image --root patient "
                                                          "--patient-id PID881 --study " +
                                                              studyUid));
    EXPECT_NE(testsupport::withoutDoneLines(patientRoot.output).find("No images: 2\nFIND OK\n"),
              std::string::npos)
        << patientRoot.output;
    for (const char* args : {"find --level series", "find --level patient --study 1.2",
                             "find --root patient --level image --study 1.2"})
        EXPECT_EQ(runCommand(cliCommand(work.path(), args)).exitStatus, 2) << args;
}

// The first failing step ends the run with its reason; nothing after it is attempted.
TEST_F(Workflow, StopsAtTheFirstFailureWithItsReason) {
    auto r = runCommand(cliCommand(work.path(), "workflow --worklist-item 3 " +
                                                    shellQuote(samples + "CT_small.dcm")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("\u2717 1 worklist query ("),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Reason: the worklist has no item 3 (it answered 1)\nWORKFLOW failed "
                  "to connect to: ORTHANC"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(testsupport::withoutDoneLines(r.output).find("2 MPPS"), std::string::npos);
    EXPECT_TRUE(mpps->First("N-CREATE").is_null());
    EXPECT_EQ(
        runCommand(cliCommand(work.path(), "workflow " + shellQuote(samples + "CT_small.dcm")))
            .exitStatus,
        2);
}

// MPPS through the CLI: the worklist item from wlmscpfs, the performed procedure step to the
// scripted dcmjs-dimse peer, checked in what that peer received.

#include "DcmtkPeer.h"
#include "DimsePeer.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testsupport;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;

const testsupport::WorklistItem item{"772",      "MR Knee", "MR",        "MR01",
                                     "20240303", "143000",  "Knee left", "HIGH"};

// One wlmscpfs with one entry, and a fresh scripted peer per test.
class Mpps : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"wlmscpfs", "dump2dcm"}) || !testsupport::haveDimsePeer())
            return;
        worklist = std::make_unique<TempDir>();
        wlm = testsupport::StartWorklistScp(worklist->path().string());
        converted = testsupport::WriteWorklistFiles(worklist->file("WLM").string(), {item.Dump()});
    }
    static void TearDownTestSuite() {
        wlm.reset();
        worklist.reset();
    }
    // Leaves peer null, or not ready, when the peers cannot run; the test must then stop.
    void start(std::vector<std::string> options = {}) {
        if (!worklist)
            GTEST_SKIP();
        ASSERT_TRUE(converted && wlm->Ready());
        peer = std::make_unique<DimsePeer>(peerDir.path().string(), options);
        ASSERT_TRUE(peer->Ready());
        ASSERT_EQ(runCommand(cliCommand(work.path(),
                                        "setup --log-level 2 --local-aet VESKARO --remote-aet WLM "
                                        "--remote-port " +
                                            std::to_string(wlm->Port()) +
                                            testsupport::mppsOptions(*peer, "MPPSSCP")))
                      .exitStatus,
                  0);
    }
    // The instance UID that "mpps start" printed.
    static std::string startedUid(const std::string& output) {
        const std::string key = "MPPS IN PROGRESS: ";
        std::size_t at = output.find(key);
        if (at == std::string::npos)
            return {};
        at += key.size();
        return output.substr(at, output.find('\n', at) - at);
    }

    static inline std::unique_ptr<TempDir> worklist;
    static inline std::unique_ptr<DcmtkPeer> wlm;
    static inline bool converted = false;
    TempDir work, peerDir;
    std::unique_ptr<DimsePeer> peer;
};

} // namespace

// IN PROGRESS from the worklist item, then COMPLETED with the stored files' series: what the
// peer received carries the item's identifiers and the files' references.
TEST_F(Mpps, StartFromTheWorklistItemThenComplete) {
    start();
    if (!peer || !peer->Ready())
        return;
    auto started =
        runCommand(cliCommand(work.path(), "mpps start --worklist-item 1 --accession ACC772"));
    ASSERT_EQ(started.exitStatus, 0) << started.output;
    std::string uid = startedUid(started.output);
    ASSERT_FALSE(uid.empty()) << started.output;
    EXPECT_NE(testsupport::withoutDoneLines(started.output)
                  .find("Item 1: Roe^Jane (PID772), accession ACC772"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(started.output).find("\nMPPS OK\n"), std::string::npos);

    json create = peer->First("N-CREATE");
    ASSERT_FALSE(create.is_null()) << peer->Received().dump(1);
    EXPECT_EQ(create["sopClass"], "1.2.840.10008.3.1.2.3.3");
    EXPECT_EQ(create["sopInstance"], uid);
    const json& ds = create["dataset"];
    EXPECT_EQ(jsonText(ds["PatientName"]), "Roe^Jane");
    EXPECT_EQ(jsonText(ds["PatientID"]), "PID772");
    EXPECT_EQ(jsonText(ds["PatientBirthDate"]), "19851224");
    EXPECT_EQ(jsonText(ds["Modality"]), "MR");
    EXPECT_EQ(jsonText(ds["PerformedProcedureStepStatus"]), "IN PROGRESS");
    EXPECT_EQ(jsonText(ds["PerformedStationAETitle"]), "VESKARO");
    EXPECT_EQ(jsonText(ds["PerformedProcedureStepStartDate"]), today());
    EXPECT_EQ(jsonText(ds["PerformedProcedureStepDescription"]), "Knee left");
    ASSERT_EQ(ds["ScheduledStepAttributesSequence"].size(), 1u) << ds.dump(1);
    const json& step = ds["ScheduledStepAttributesSequence"][0];
    EXPECT_EQ(jsonText(step["AccessionNumber"]), "ACC772");
    EXPECT_EQ(jsonText(step["StudyInstanceUID"]), "1.2.826.0.1.3680043.2.1143.772");
    EXPECT_EQ(jsonText(step["ScheduledProcedureStepID"]), "SPS772");
    EXPECT_EQ(jsonText(step["RequestedProcedureID"]), "RP772");
    EXPECT_TRUE(ds.contains("PerformedSeriesSequence"));

    auto completed = runCommand(cliCommand(
        work.path(), "mpps complete --mpps " + uid + " " + shellQuote(samples + "CT_small.dcm") +
                         " " + shellQuote(samples + "MR_small.dcm") + " " +
                         shellQuote(samples + "rtplan.dcm")));
    ASSERT_EQ(completed.exitStatus, 0) << completed.output;
    EXPECT_NE(testsupport::withoutDoneLines(completed.output)
                  .find("MPPS COMPLETED: " + uid + ", instances: 3\nMPPS OK\n"),
              std::string::npos)
        << completed.output;
    json set = peer->First("N-SET");
    ASSERT_FALSE(set.is_null());
    EXPECT_EQ(set["sopInstance"], uid);
    const json& final = set["dataset"];
    EXPECT_EQ(jsonText(final["PerformedProcedureStepStatus"]), "COMPLETED");
    EXPECT_EQ(jsonText(final["PerformedProcedureStepEndDate"]), today());
    ASSERT_EQ(final["PerformedSeriesSequence"].size(), 3u) << final.dump(1);
    std::size_t images = 0, others = 0;
    for (const json& series : final["PerformedSeriesSequence"]) {
        EXPECT_FALSE(jsonText(series["SeriesInstanceUID"]).empty());
        EXPECT_EQ(jsonText(series["ProtocolName"]), "VESKARO");
        if (series.contains("ReferencedImageSequence"))
            images += series["ReferencedImageSequence"].size();
        if (series.contains("ReferencedNonImageCompositeSOPInstanceSequence"))
            others += series["ReferencedNonImageCompositeSOPInstanceSequence"].size();
    }
    EXPECT_EQ(images, 2u);
    EXPECT_EQ(others, 1u);
    std::string log = testsupport::readText(testsupport::logFile(work.path(), "MPPS"));
    EXPECT_NE(log.find("Starting MPPS Service"), std::string::npos);
}

// A refused N-SET and a missing worklist item end in a Reason line and the failure verdict.
TEST_F(Mpps, FailuresSayWhy) {
    start({"--set-status", "272"});
    if (!peer || !peer->Ready())
        return;
    auto r = runCommand(cliCommand(work.path(), "mpps start --worklist-item 2 --accession ACC772"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Reason: the worklist has no item 2 (it answered 1)\nMPPS failed"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(peer->First("N-CREATE").is_null());

    r = runCommand(cliCommand(work.path(), "mpps discontinue --mpps 1.2.3.4 " +
                                               shellQuote(samples + "CT_small.dcm")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(
        testsupport::withoutDoneLines(r.output).find("Reason: N-SET answered with status 0110"),
        std::string::npos)
        << r.output;
    json set = peer->First("N-SET");
    ASSERT_FALSE(set.is_null());
    EXPECT_EQ(jsonText(set["dataset"]["PerformedProcedureStepStatus"]), "DISCONTINUED");

    for (const char* args :
         {"mpps", "mpps begin", "mpps start extra", "mpps start --worklist-item 0",
          "mpps complete a.dcm", "mpps start --from 2024"})
        EXPECT_EQ(runCommand(cliCommand(work.path(), args)).exitStatus, 2) << args;
}

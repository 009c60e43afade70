// MPPS through the CLI: the worklist item from wlmscpfs, the performed procedure step to the
// scripted dcmjs-dimse peer, checked in what that peer received.

#include "DcmtkPeer.h"
#include "DimsePeer.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <memory>

using testsupport::DcmtkPeer;
using testsupport::DimsePeer;
using testsupport::havePeers;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

const char* const worklistEntry = R"((0008,0005) CS [ISO_IR 100]
(0008,0050) SH [ACC772]
(0010,0010) PN [Roe^Jane]
(0010,0020) LO [PID772]
(0010,0030) DA [19851224]
(0010,0040) CS [F]
(0020,000d) UI [1.2.826.0.1.3680043.2.1143.772]
(0032,1060) LO [MR Knee]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [MR]
(0040,0001) AE [MR01]
(0040,0002) DA [20240303]
(0040,0003) TM [143000]
(0040,0007) LO [Knee left]
(0040,0009) SH [SPS772]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,1001) SH [RP772]
(0040,1003) SH [HIGH]
)";

std::string cli(const fs::path& dir, const std::string& args) {
    return "cd " + shellQuote(dir.string()) + " && " + shellQuote(VESKARO_CLI) + " " + args +
           " 2>&1";
}

std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

// A naturalized person name or text value as one string.
std::string text(const json& value) {
    if (value.is_array() && !value.empty())
        return text(value[0]);
    if (value.is_object())
        return value.value("Alphabetic", "");
    return value.is_string() ? value.get<std::string>() : std::string();
}

// One wlmscpfs with one entry, and a fresh scripted peer per test.
class Mpps : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"wlmscpfs", "dump2dcm"}) || !testsupport::haveDimsePeer())
            return;
        worklist = std::make_unique<TempDir>();
        fs::create_directory(worklist->file("WLM"));
        std::ofstream(worklist->file("WLM") / "lockfile");
        std::ofstream(worklist->file("entry.dump")) << worklistEntry;
        converted =
            runCommand("dump2dcm " + shellQuote(worklist->file("entry.dump").string()) + " " +
                       shellQuote((worklist->file("WLM") / "entry.wl").string()) + " 2>&1")
                .exitStatus == 0;
        wlm = std::make_unique<DcmtkPeer>(
            "wlmscpfs", std::vector<std::string>{"-dfp", worklist->path().string()},
            worklist->path().string());
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
        ASSERT_EQ(
            runCommand(
                cli(work.path(),
                    "setup --log-level 2 --local-aet VESKARO --remote-aet WLM --remote-port " +
                        std::to_string(wlm->Port()) +
                        " --mpps-host 127.0.0.1 --mpps-aet MPPSSCP "
                        "--mpps-port " +
                        std::to_string(peer->Port())))
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
    auto started = runCommand(cli(work.path(), "mpps start --worklist-item 1 --accession ACC772"));
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
    EXPECT_EQ(text(ds["PatientName"]), "Roe^Jane");
    EXPECT_EQ(text(ds["PatientID"]), "PID772");
    EXPECT_EQ(text(ds["PatientBirthDate"]), "19851224");
    EXPECT_EQ(text(ds["Modality"]), "MR");
    EXPECT_EQ(text(ds["PerformedProcedureStepStatus"]), "IN PROGRESS");
    EXPECT_EQ(text(ds["PerformedStationAETitle"]), "VESKARO");
    EXPECT_EQ(text(ds["PerformedProcedureStepStartDate"]), today());
    EXPECT_EQ(text(ds["PerformedProcedureStepDescription"]), "Knee left");
    ASSERT_EQ(ds["ScheduledStepAttributesSequence"].size(), 1u) << ds.dump(1);
    const json& step = ds["ScheduledStepAttributesSequence"][0];
    EXPECT_EQ(text(step["AccessionNumber"]), "ACC772");
    EXPECT_EQ(text(step["StudyInstanceUID"]), "1.2.826.0.1.3680043.2.1143.772");
    EXPECT_EQ(text(step["ScheduledProcedureStepID"]), "SPS772");
    EXPECT_EQ(text(step["RequestedProcedureID"]), "RP772");
    EXPECT_TRUE(ds.contains("PerformedSeriesSequence"));

    auto completed = runCommand(cli(work.path(), "mpps complete --mpps " + uid + " " +
                                                     shellQuote(samples + "CT_small.dcm") + " " +
                                                     shellQuote(samples + "MR_small.dcm") + " " +
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
    EXPECT_EQ(text(final["PerformedProcedureStepStatus"]), "COMPLETED");
    EXPECT_EQ(text(final["PerformedProcedureStepEndDate"]), today());
    ASSERT_EQ(final["PerformedSeriesSequence"].size(), 3u) << final.dump(1);
    std::size_t images = 0, others = 0;
    for (const json& series : final["PerformedSeriesSequence"]) {
        EXPECT_FALSE(text(series["SeriesInstanceUID"]).empty());
        EXPECT_EQ(text(series["ProtocolName"]), "VESKARO");
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
    auto r = runCommand(cli(work.path(), "mpps start --worklist-item 2 --accession ACC772"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Reason: the worklist has no item 2 (it answered 1)\nMPPS failed"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(peer->First("N-CREATE").is_null());

    r = runCommand(cli(work.path(),
                       "mpps discontinue --mpps 1.2.3.4 " + shellQuote(samples + "CT_small.dcm")));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(
        testsupport::withoutDoneLines(r.output).find("Reason: N-SET answered with status 0110"),
        std::string::npos)
        << r.output;
    json set = peer->First("N-SET");
    ASSERT_FALSE(set.is_null());
    EXPECT_EQ(text(set["dataset"]["PerformedProcedureStepStatus"]), "DISCONTINUED");

    for (const char* args :
         {"mpps", "mpps begin", "mpps start extra", "mpps start --worklist-item 0",
          "mpps complete a.dcm", "mpps start --from 2024"})
        EXPECT_EQ(runCommand(cli(work.path(), args)).exitStatus, 2) << args;
}

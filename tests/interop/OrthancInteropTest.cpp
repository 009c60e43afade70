// STORE through the CLI to Orthanc, which takes whichever accepted syntax it likes best: the
// chosen syntax reaches it when proposed alone, a syntax the file cannot be brought to is never
// offered, and known elements kept as UN are sent with their dictionary VR.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace testsupport;

namespace {

const std::string samples = testsupport::SampleFiles;

class OrthancInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"Orthanc"}))
            return;
        server = new TempDir;
        orthanc = testsupport::StartOrthanc(server->path().string()).release();
    }
    static void TearDownTestSuite() {
        delete orthanc;
        orthanc = nullptr;
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        if (!orthanc)
            GTEST_SKIP();
        ASSERT_TRUE(orthanc->Ready());
        ASSERT_EQ(runCommand(cli("setup --remote-aet ORTHANC --log-level 1 --remote-port " +
                                 std::to_string(orthanc->Port())))
                      .exitStatus,
                  0);
    }

    std::string cli(const std::string& args) const {
        return "cd " + shellQuote(work.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " +
               args;
    }
    std::string log() const {
        std::ifstream in(testsupport::logFile(work.path(), "STORE"), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::set<std::filesystem::path> storedFiles() {
        std::set<std::filesystem::path> files;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(server->path() / "storage"))
            if (entry.is_regular_file() &&
                entry.path().filename().string().find('.') == std::string::npos)
                files.insert(entry.path());
        return files;
    }
    // Stores the sample and reads back the one file Orthanc wrote for it.
    void store(const std::string& sample, const std::string& ts, DcmObj& stored) {
        std::set<std::filesystem::path> before = storedFiles();
        auto r = runCommand(cli("store " + shellQuote(samples + sample) + " --ts " + ts));
        ASSERT_EQ(testsupport::withoutDoneLines(r.output), "STORE OK\n") << log();
        ASSERT_EQ(r.exitStatus, 0);
        std::set<std::filesystem::path> after = storedFiles();
        std::vector<std::filesystem::path> added;
        for (const auto& f : after)
            if (!before.count(f))
                added.push_back(f);
        ASSERT_EQ(added.size(), 1u);
        ASSERT_TRUE(DcmObj::Read(stored, added.front().string()));
    }

    static TempDir* server;
    static DcmtkPeer* orthanc;
    TempDir work;
};
TempDir* OrthancInterop::server = nullptr;
DcmtkPeer* OrthancInterop::orthanc = nullptr;

} // namespace

TEST_F(OrthancInterop, ChosenSyntaxIsPreferredWhenAccepted) {
    DcmObj stored;
    store("CT_small.dcm", "3", stored);
    EXPECT_EQ(stored.transferSyntax, "1.2.840.10008.1.2.4.70");
    EXPECT_NE(log().find("INFO, WriteStoreRQ, sending in 1.2.840.10008.1.2.4.70 (JPEG LossLess)"),
              std::string::npos)
        << log();
}

// A 32-bit RT Dose kept all in UN: JPEG is not offered for it, and its elements arrive with
// their dictionary VRs.
TEST_F(OrthancInterop, RtDoseIsNeverOfferedAsJpegAndLosesItsUnknownVRs) {
    DcmObj stored;
    store("rtdose_rle.dcm", "3", stored);
    EXPECT_NE(stored.transferSyntax, "1.2.840.10008.1.2.4.70");
    EXPECT_NE(log().find("WARNING, StoreSCU, the file cannot be sent in 1.2.840.10008.1.2.4.70; "
                         "not proposed"),
              std::string::npos);
    struct Known {
        uint16_t group, element;
        const char* vr;
    };
    for (const Known& k : {Known{0x0008, 0x0016, "UI"}, Known{0x0010, 0x0010, "PN"},
                           Known{0x0020, 0x0013, "IS"}, Known{0x0028, 0x0100, "US"}}) {
        DcmTag* tag = stored.GetTag(k.group, k.element);
        ASSERT_NE(tag, nullptr) << std::hex << k.group << "," << k.element;
        EXPECT_TRUE(tag->IsVR(k.vr)) << std::hex << k.group << "," << k.element << " " << tag->vr;
    }
}

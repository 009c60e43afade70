// STORE of several files and directories to storescp: one association while the classes fit
// in 128 contexts, counts of sent, failed and skipped files, and a cancel between files.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "DicomFileWriter.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "StoreFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;

std::size_t filesIn(const fs::path& dir) {
    std::size_t n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        n += entry.is_regular_file();
    return n;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A small instance of a class of its own, so that every file needs a context of its own.
void writeInstance(const fs::path& file, const std::string& sopClass, int n) {
    DcmObj dataSet;
    dataSet.transferSyntax = ExplicitLittleEndian;
    dataSet.explicitVR = 1;
    dataSet.AddString(0x0008, 0x0016, sopClass);
    dataSet.AddString(0x0008, 0x0018, "1.2.826.0.1.3680043.9.7133.18." + std::to_string(n));
    dataSet.AddString(0x0010, 0x0010, "FILES^MANY");
    dataSet.AddString(0x0010, 0x0020, "FILES1");
    dataSet.AddString(0x0020, 0x000D, "1.2.826.0.1.3680043.9.7133.18.1");
    dataSet.AddString(0x0020, 0x000E, "1.2.826.0.1.3680043.9.7133.18.2");
    testsupport::writeDicomFile(file, dataSet);
}

class StoreFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!havePeers({"storescp"}))
            GTEST_SKIP();
        fs::create_directories(received());
        peer = std::make_unique<DcmtkPeer>(
            "storescp", std::vector<std::string>{"+xa", "-pm", "-od", received().string()},
            work.path().string());
        ASSERT_TRUE(peer->Ready());
        runCommand(cliCommand(work.path(),
                              "setup --log-level 2 --remote-port " + std::to_string(peer->Port())));
    }
    fs::path received() const { return work.path() / "received"; }
    StoreFilesOptions options() const {
        StoreFilesOptions o;
        o.CallingTitle = "VESKARO";
        o.CalledTitle = "ANY-SCP";
        o.Host = "127.0.0.1";
        o.Port = std::to_string(peer->Port());
        o.TransferSyntaxUID = ExplicitLittleEndian;
        o.TimeoutSeconds = 30;
        return o;
    }

    TempDir work, input;
    std::unique_ptr<DcmtkPeer> peer;
};

} // namespace

// A directory tree of several classes and syntaxes, with a file that is not DICOM: one
// association, every DICOM file stored, the text file skipped, one line per file.
TEST_F(StoreFiles, DirectoryGoesOverOneAssociation) {
    fs::create_directories(input.path() / "sub" / "deeper");
    for (const char* name : {"CT_small.dcm", "MR_small.dcm", "MR_small_implicit.dcm"})
        fs::copy_file(samples + name, input.path() / name);
    fs::copy_file(samples + "rtplan.dcm", input.path() / "sub" / "rtplan.dcm");
    fs::copy_file(samples + "MR_small_RLE.dcm", input.path() / "sub" / "deeper" / "rle.dcm");
    fs::copy_file(samples + "README.txt", input.path() / "sub" / "README.txt");

    auto r = runCommand(cliCommand(work.path(), "store " + shellQuote(input.path().string())));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Sent: 5, failed: 0, skipped: 1, associations: 1\nSTORE OK\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(count(r.output, "/6 "), 6u) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("README.txt: skipped: not DICOM"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Skipped (not DICOM): " + (input.path() / "sub" / "README.txt").string()),
              std::string::npos);
    // The three MR files are one instance in three syntaxes, which storescp keeps as one file.
    EXPECT_EQ(filesIn(received()), 3u);
    std::string log = testsupport::readText(testsupport::logFile(work.path(), "STORE"));
    EXPECT_EQ(count(log, "INFO, Connected to:"), 1u);
}

// Files named one by one, one of them missing: the others are sent, the missing one is a
// failure with its reason, and the job fails.
TEST_F(StoreFiles, MissingFileFailsTheJobButNotTheOthers) {
    auto r =
        runCommand(cliCommand(work.path(), "store " + shellQuote(samples + "CT_small.dcm") + " " +
                                               shellQuote(input.file("gone.dcm").string()) + " " +
                                               shellQuote(samples + "MR_small.dcm") + " --ts 1"));
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Failed: " + input.file("gone.dcm").string() + ": no such file"),
              std::string::npos)
        << r.output;
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find(
                  "Sent: 2, failed: 1, skipped: 0, associations: 1"),
              std::string::npos);
    EXPECT_NE(testsupport::withoutDoneLines(r.output).find("STORE failed to connect to:"),
              std::string::npos);
    EXPECT_EQ(filesIn(received()), 2u);
}

// 130 classes need 130 contexts: two associations, 128 and 2, everything stored.
TEST_F(StoreFiles, MoreClassesThanContextsTakeASecondAssociation) {
    for (int i = 0; i < 130; ++i)
        writeInstance(input.file("f" + std::to_string(1000 + i) + ".dcm"),
                      "1.2.826.0.1.3680043.9.7133.99." + std::to_string(i + 1), i);
    StoreFilesResult result = StoreFilesSCU(ExpandStorePaths({input.path().string()}), options());
    EXPECT_EQ(result.Sent.size(), 130u);
    EXPECT_TRUE(result.Failed.empty());
    EXPECT_EQ(result.Associations, 2u);
    EXPECT_EQ(filesIn(received()), 130u);
}

// A cancel after the first file: the association is aborted, nothing more is sent, and what
// was sent is reported.
TEST_F(StoreFiles, CancelAbortsBetweenFiles) {
    for (int i = 0; i < 5; ++i)
        writeInstance(input.file("f" + std::to_string(i) + ".dcm"), "1.2.840.10008.5.1.4.1.1.7", i);
    std::atomic<bool> cancel{false};
    StoreFilesOptions o = options();
    o.Cancel = &cancel;
    std::size_t reports = 0;
    o.Progress = [&](const StoreFilesProgress& p) {
        ++reports;
        EXPECT_EQ(p.FilesTotal, 5u);
        cancel = true;
    };
    StoreFilesResult result = StoreFilesSCU(ExpandStorePaths({input.path().string()}), o);
    EXPECT_TRUE(result.Cancelled);
    EXPECT_EQ(result.Sent.size(), 1u);
    EXPECT_EQ(reports, 1u);
    EXPECT_EQ(filesIn(received()), 1u);
    ASSERT_EQ(result.Sent.size(), 1u);
    EXPECT_EQ(result.Sent[0].SopInstanceUID, "1.2.826.0.1.3680043.9.7133.18.0");
    EXPECT_EQ(result.Sent[0].SeriesInstanceUID, "1.2.826.0.1.3680043.9.7133.18.2");
}

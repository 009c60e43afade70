#include "TestSupport.h"

#include <gtest/gtest.h>

using testsupport::runCommand;
using testsupport::shellQuote;

namespace {

const std::string samples = testsupport::SampleFiles;

std::string cli(const std::string& args) {
    return shellQuote(VESKARO_CLI) + " " + args;
}

} // namespace

TEST(CliDump, PrintsTransferSyntaxThenOneLinePerElement) {
    if (!std::filesystem::exists(samples + "CT_small.dcm"))
        GTEST_SKIP() << "python3-pydicom samples missing";
    auto r = runCommand(cli("dump " + shellQuote(samples + "CT_small.dcm")));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output.rfind("Transfer Syntax: 1.2.840.10008.1.2.1\n"
                             "(0008,0005), 10, CS, Specific Character Set: ISO_IR 100\n",
                             0),
              0u)
        << r.output.substr(0, 200);
    EXPECT_NE(r.output.find("\n(0008,0016), 26, UI, SOP Class UID: 1.2.840.10008.5.1.4.1.1.2 "
                            "(CT Image Storage) \n"),
              std::string::npos);
}

TEST(CliDump, RejectedFileSaysSoOnStandardErrorAndFails) {
    testsupport::TempDir dir;
    testsupport::writeFileBytes(dir.file("x.dcm"), std::vector<uint8_t>(200, 0));
    auto r = runCommand(cli("dump " + shellQuote(dir.file("x.dcm").string()) + " 2>" +
                            shellQuote(dir.file("err").string())));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "");
    auto err = testsupport::readFileBytes(dir.file("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()),
              "Reason: " + dir.file("x.dcm").string() + " is not a DICOM file\n");
    EXPECT_EQ(runCommand(cli("dump " + shellQuote(dir.file("none.dcm").string()))).exitStatus, 1);
}

TEST(CliDump, UsageErrors) {
    EXPECT_EQ(runCommand(cli("2>/dev/null")).exitStatus, 2);
    EXPECT_EQ(runCommand(cli("dump 2>/dev/null")).exitStatus, 2);
    EXPECT_EQ(runCommand(cli("frobnicate x 2>/dev/null")).exitStatus, 2);
}

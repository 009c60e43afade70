#include "AppTestHelpers.h"
#include "DimseScript.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using Peer = ScriptedPeer;
using dimsescript::proposedSyntaxes;
using dimsescript::requestSize;

namespace {

const std::string mrSmall = "/usr/lib/python3/dist-packages/pydicom/data/test_files/MR_small.dcm";
constexpr const char* MrImage = "1.2.840.10008.5.1.4.1.1.4";

testsupport::CommandResult cliIn(const TempDir& dir, const std::string& args) {
    return runCommand("cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) +
                      " " + args + " 2>/dev/null");
}

std::string failureLine(int port) {
    return "STORE failed to connect to: remote (127.0.0.1:" + std::to_string(port) + ")\n";
}

// What the CLI proposes for MR_small (explicit VR little endian) with these arguments; the
// peer reads the request and hangs up.
std::vector<std::string> proposalFor(const std::string& tsArgs,
                                     const std::vector<std::string>& expected) {
    TempDir dir;
    Peer peer({Peer::Expect(requestSize(MrImage, expected)), Peer::Close()});
    cliIn(dir, "setup --remote-port " + peer.PortText());
    auto r = cliIn(dir, "store " + shellQuote(mrSmall) + tsArgs);
    EXPECT_EQ(r.output, "Reason: awaiting the A-ASSOCIATE-AC: the peer closed the connection\n" +
                            failureLine(peer.Port()));
    EXPECT_EQ(r.exitStatus, 1);
    if (!peer.Finish())
        return {peer.Failure()};
    return proposedSyntaxes(peer.Received());
}

} // namespace

TEST(CliStore, UsageErrors) {
    TempDir dir;
    for (const char* args :
         {"store", "store a b", "store a --ts", "store a --ts 7", "store a --ts -2",
          "store a --ts jpeg", "store a --ts 1.2.x", "store a --format 1"})
        EXPECT_EQ(cliIn(dir, args).exitStatus, 2) << args;
}

// --ts INDEX goes through the TransferSyntax dialog's table, --ts UID is taken as given.
TEST(CliStore, TransferSyntaxChoiceReachesTheProposal) {
    const std::string explicitLe = "1.2.840.10008.1.2.1", implicitLe = "1.2.840.10008.1.2";
    std::vector<std::string> nativeOnly = {explicitLe, implicitLe};
    EXPECT_EQ(proposalFor("", nativeOnly), nativeOnly);
    EXPECT_EQ(proposalFor(" --ts 0", nativeOnly), nativeOnly);
    EXPECT_EQ(proposalFor(" --ts 1", nativeOnly), nativeOnly);
    EXPECT_EQ(proposalFor(" --ts -1", nativeOnly), nativeOnly);
    std::vector<std::string> lossless = {"1.2.840.10008.1.2.4.70", explicitLe, implicitLe};
    EXPECT_EQ(proposalFor(" --ts 3", lossless), lossless);
    std::vector<std::string> j2k = {"1.2.840.10008.1.2.4.91", explicitLe, implicitLe};
    EXPECT_EQ(proposalFor(" --ts 6", j2k), j2k);
    std::vector<std::string> byUid = {"1.2.840.10008.1.2.4.90", explicitLe, implicitLe};
    EXPECT_EQ(proposalFor(" --ts 1.2.840.10008.1.2.4.90", byUid), byUid);
}

TEST(CliStore, FileThatIsNotDicomEndsInTheVerdictWithoutAConnection) {
    TempDir dir;
    testsupport::writeFileBytes(dir.file("photo.jpg"),
                                testsupport::hexBytes("FF D8 FF E0 00 10 4A 46 49 46 00 01"));
    cliIn(dir, "setup --remote-port 9");
    auto r = cliIn(dir, "store photo.jpg --ts 4");
    EXPECT_EQ(r.exitStatus, 1);
    const std::string reason = "Reason: file: 'photo.jpg' is not DICOM: neither a DICOM file nor "
                               "a data set could be read from it";
    EXPECT_EQ(r.output, reason + "\n" + failureLine(9));
    std::vector<std::string> log = apptest::logMessages(apptest::logFile(dir.path(), "STORE"));
    EXPECT_EQ(log, (std::vector<std::string>{"Starting STORE Service",
                                             "WARNING, StoreSCU, image is not standard DICOM",
                                             "ERROR: DcmObj::Read, photo.jpg", reason,
                                             "STORE failed to connect to: remote (127.0.0.1:9)"}));
}

// A warning status is no success: the job fails and the status is logged in decimal.
TEST(CliStore, WarningStatusFailsTheJob) {
    TempDir dir;
    auto bytes = [](std::initializer_list<int> list) {
        std::vector<uint8_t> out;
        for (int b : list)
            out.push_back(static_cast<uint8_t>(b));
        return out;
    };
    // A-ASSOCIATE-AC: context 1 accepted with explicit VR little endian, maximum 16384.
    std::vector<uint8_t> accept = bytes({0x02, 0, 0, 0, 0, 0});
    std::vector<uint8_t> body = bytes({0, 1, 0, 0});
    std::string titles = "remote          local           ";
    body.insert(body.end(), titles.begin(), titles.end());
    body.insert(body.end(), 32, 0);
    auto item = [&](uint8_t type, const std::vector<uint8_t>& content) {
        body.push_back(type);
        body.push_back(0);
        body.push_back(static_cast<uint8_t>(content.size() >> 8));
        body.push_back(static_cast<uint8_t>(content.size() & 0xFF));
        body.insert(body.end(), content.begin(), content.end());
    };
    std::string context = "1.2.840.10008.3.1.1.1", ts = "1.2.840.10008.1.2.1";
    item(0x10, {context.begin(), context.end()});
    std::vector<uint8_t> pc = bytes({1, 0, 0, 0, 0x40, 0, 0, static_cast<int>(ts.size())});
    pc.insert(pc.end(), ts.begin(), ts.end());
    item(0x21, pc);
    item(0x50, bytes({0x51, 0, 0, 4, 0, 0, 0x40, 0}));
    accept.insert(accept.end(), body.begin(), body.end());
    accept[5] = static_cast<uint8_t>(body.size());
    // C-STORE-RSP, status 0xB000, implicit VR little endian, in one P-DATA-TF PDU.
    std::vector<uint8_t> response = testsupport::hexBytes(R"(
        04 00 00 00 00 3A  00 00 00 36 01 03
        00 00 00 00 04 00 00 00 28 00 00 00  // group length 40
        00 00 00 01 02 00 00 00 01 80        // C-STORE-RSP
        00 00 20 01 02 00 00 00 03 00        // message ID being responded to
        00 00 00 08 02 00 00 00 01 01
        00 00 00 09 02 00 00 00 00 B0        // status 0xB000
    )");
    std::vector<uint8_t> releaseReply = testsupport::hexBytes("06 00 00 00 00 04 00 00 00 00");
    Peer peer({Peer::Expect(requestSize(MrImage, {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2"})),
               Peer::Send(accept), Peer::SendAfter(std::chrono::milliseconds(300), response),
               Peer::SendAfter(std::chrono::milliseconds(300), releaseReply),
               Peer::Silent(std::chrono::milliseconds(500))});
    cliIn(dir, "setup --remote-port " + peer.PortText());
    auto r = cliIn(dir, "store " + shellQuote(mrSmall));
    peer.Finish();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "Reason: C-STORE answered with a warning: 0xB000 coercion of data "
                        "elements\n" +
                            failureLine(peer.Port()));
    std::vector<std::string> log = apptest::logMessages(apptest::logFile(dir.path(), "STORE"));
    std::string all;
    for (const std::string& line : log)
        all += line + "\n";
    EXPECT_NE(std::find(log.begin(), log.end(), "ERROR, CStore::ReadRSP, status == 45056"),
              log.end())
        << all;
    EXPECT_EQ(log.back(), failureLine(peer.Port()).substr(0, failureLine(peer.Port()).size() - 1));
}

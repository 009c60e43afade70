#include "AppTestHelpers.h"
#include "DicomFileWriter.h"
#include "DimseScript.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using Peer = ScriptedPeer;
using dimsescript::proposedContexts;
using dimsescript::requestSizeOf;
using Contexts = std::vector<std::vector<std::string>>;

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
Contexts proposalFor(const std::string& tsArgs, const Contexts& expected) {
    TempDir dir;
    Peer peer({Peer::Expect(requestSizeOf(MrImage, expected)), Peer::Close()});
    cliIn(dir, "setup --remote-port " + peer.PortText());
    auto r = cliIn(dir, "store " + shellQuote(mrSmall) + tsArgs);
    EXPECT_EQ(r.output, "Reason: awaiting the A-ASSOCIATE-AC: the peer closed the connection\n" +
                            failureLine(peer.Port()));
    EXPECT_EQ(r.exitStatus, 1);
    if (!peer.Finish())
        return {{peer.Failure()}};
    return proposedContexts(peer.Received());
}

} // namespace

TEST(CliStore, UsageErrors) {
    TempDir dir;
    for (const char* args :
         {"store", "store a b --ts", "store a b --tls on", "store a --ts", "store a --ts 7",
          "store a --ts -2", "store a --ts jpeg", "store a --ts 1.2.x", "store a --format 1"})
        EXPECT_EQ(cliIn(dir, args).exitStatus, 2) << args;
}

// A syntax the tool cannot write is refused, not replaced by another behind the user's back.
TEST(CliStore, TransferSyntaxesThatCannotBeProducedAreRefused) {
    TempDir dir;
    for (const char* ts : {"-1", "1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.4.80",
                           "1.2.840.10008.1.2.5", "1.2.840.10008.1.2.4.100", "1.2.3.4"}) {
        auto r =
            runCommand("cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) +
                       " store " + shellQuote(mrSmall) + " --ts " + ts + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2) << ts;
        EXPECT_EQ(r.output.rfind(std::string("veskaro-cli: --ts ") + ts +
                                     ": not a transfer syntax this tool can send in",
                                 0),
                  0u)
            << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir.file("logs"))) << ts;
    }
}

// --ts INDEX goes through the TransferSyntax dialog's table, --ts UID is taken as given; the
// chosen syntax is proposed alone, the file's own (explicit VR) alone, the other fallback last.
TEST(CliStore, TransferSyntaxChoiceReachesTheProposal) {
    const std::string explicitLe = "1.2.840.10008.1.2.1", implicitLe = "1.2.840.10008.1.2";
    Contexts nativeOnly = {{explicitLe}, {implicitLe}};
    EXPECT_EQ(proposalFor("", nativeOnly), nativeOnly);
    EXPECT_EQ(proposalFor(" --ts 0", nativeOnly), nativeOnly);
    EXPECT_EQ(proposalFor(" --ts 1", nativeOnly), nativeOnly);
    Contexts implicitFirst = {{implicitLe}, {explicitLe}};
    EXPECT_EQ(proposalFor(" --ts 1.2.840.10008.1.2", implicitFirst), implicitFirst);
    Contexts bigEndian = {{"1.2.840.10008.1.2.2"}, {explicitLe}, {implicitLe}};
    EXPECT_EQ(proposalFor(" --ts 2", bigEndian), bigEndian);
    Contexts lossless = {{"1.2.840.10008.1.2.4.70"}, {explicitLe}, {implicitLe}};
    EXPECT_EQ(proposalFor(" --ts 3", lossless), lossless);
    Contexts j2k = {{"1.2.840.10008.1.2.4.91"}, {explicitLe}, {implicitLe}};
    EXPECT_EQ(proposalFor(" --ts 6", j2k), j2k);
    Contexts byUid = {{"1.2.840.10008.1.2.4.90"}, {explicitLe}, {implicitLe}};
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
    Peer peer(
        {Peer::Expect(requestSizeOf(MrImage, {{"1.2.840.10008.1.2.1"}, {"1.2.840.10008.1.2"}})),
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

namespace {

// An explicit VR little endian MR image of 48 MiB of pixels, written without holding them.
void writeLargeImage(const std::filesystem::path& file) {
    DcmObj image;
    image.transferSyntax = "1.2.840.10008.1.2.1";
    image.explicitVR = 1;
    image.AddString(0x0008, 0x0016, MrImage);
    image.AddString(0x0008, 0x0018, "1.2.826.0.1.3680043.2.1143.16.1");
    image.AddString(0x0008, 0x0060, "MR");
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0002, uint16_t{1}, "US"));
    image.AddString(0x0028, 0x0004, "MONOCHROME2");
    image.AddString(0x0028, 0x0008, "24");
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t{1024}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t{1024}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0101, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0102, uint16_t{15}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0103, uint16_t{0}, "US"));
    testsupport::writeDicomFile(file, image);
    constexpr uint32_t pixels = 48u << 20;
    std::ofstream out(file, std::ios::binary | std::ios::app);
    const uint8_t header[12] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'W', 0, 0, 0, 0, 0x00, 0x03};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    for (uint32_t done = 0; done < pixels; done += static_cast<uint32_t>(block.size()))
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// The peer takes the association and the first 4 MiB, then changes the file and drains the
// rest until the client closes. The job must fail on the change with a log line and a reason
// naming the file and end as a process, never by a signal (a truncated mapping used to raise
// SIGBUS).
void changeDuringStore(const std::function<void(const std::filesystem::path&)>& change) {
    TempDir dir;
    const std::filesystem::path file = dir.file("large.dcm");
    writeLargeImage(file);
    const std::string explicitLe = "1.2.840.10008.1.2.1";
    Peer peer({Peer::Expect(requestSizeOf(MrImage, {{explicitLe}, {"1.2.840.10008.1.2"}})),
               Peer::Send(dimsescript::acceptPdu(explicitLe)), Peer::Expect(4u << 20),
               Peer::Act([&] { change(file); }), Peer::Silent(std::chrono::seconds(30))});
    cliIn(dir, "setup --remote-port " + peer.PortText());
    auto r = cliIn(dir, "store large.dcm");
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(r.exitStatus, 1);
    const std::string reason = "Reason: sending the C-STORE-RQ: the file large.dcm changed while "
                               "it was being sent; the association was aborted";
    EXPECT_EQ(r.output, reason + "\n" + failureLine(peer.Port()));
    std::vector<std::string> log = apptest::logMessages(apptest::logFile(dir.path(), "STORE"));
    auto at = std::find(log.begin(), log.end(),
                        "ERROR, BufData::WriteObject, file changed while being sent: large.dcm");
    ASSERT_NE(at, log.end());
    EXPECT_EQ(std::vector<std::string>(at + 1, log.end()),
              (std::vector<std::string>{
                  "ERROR, StoreSCU, WriteStoreRQ failed", reason,
                  failureLine(peer.Port()).substr(0, failureLine(peer.Port()).size() - 1)}));
}

} // namespace

TEST(CliStore, FileTruncatedDuringTheStoreFailsTheJob) {
    changeDuringStore(
        [](const std::filesystem::path& file) { std::filesystem::resize_file(file, 1 << 20); });
}

// Same size, and within the same tick of the file system's clock as likely as not.
TEST(CliStore, FileEditedDuringTheStoreFailsTheJob) {
    changeDuringStore([](const std::filesystem::path& file) {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(-100, std::ios::end);
        f.put('x');
    });
}

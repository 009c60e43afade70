// The step-by-step diagnosis and the probe's rounds against scripted peers: which step fails,
// its reason and hint, and how the probe packs its contexts.

#include "ConnectionDiagnosis.h"
#include "DcmtkPeer.h"
#include "DimseScript.h"
#include "Echo.h"
#include "Log.h"
#include "Probe.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>

using namespace dimsescript;
using Peer = ScriptedPeer;

namespace {

constexpr std::size_t EchoRequestSize = 198;
constexpr std::size_t EchoCommandPduSize = 80;

std::vector<uint8_t> echoResponse(uint16_t status) {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, VerificationSopClass)
                                      .UShort(0x0100, 0x8030)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, 0x0101)
                                      .UShort(0x0900, status)
                                      .Build();
    return encode(*rsp);
}

ConnectionSettings settingsFor(const std::string& port, int timeout = 5) {
    return {"local", "remote", "127.0.0.1", port, timeout, false, {}};
}

std::vector<std::string> names(const ConnectionDiagnosis& d) {
    std::vector<std::string> out;
    for (const DiagnosisStep& step : d.Steps)
        out.push_back(std::string(step.Passed ? "+" : "-") + step.Name);
    return out;
}

class ConnectionDiagnosisTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    void SetUp() override {
        SetLogTargets(dir.file("diagnose.log").string());
        CurrentLogLevel = 0;
    }
};

} // namespace

TEST_F(ConnectionDiagnosisTest, EveryStepPassesAgainstAnAnsweringPeer) {
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu()),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(3, echoResponse(0))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    ConnectionDiagnosis d = DiagnoseConnection(settingsFor(peer.PortText()));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_TRUE(d.Passed);
    EXPECT_EQ(names(d),
              (std::vector<std::string>{"+Resolve 127.0.0.1", "+TCP connect",
                                        "+A-ASSOCIATE (Verification)", "+C-ECHO", "+A-RELEASE"}));
    EXPECT_EQ(d.Steps[0].Detail, "127.0.0.1");
    EXPECT_EQ(d.Steps[1].Detail, "127.0.0.1 port " + peer.PortText());
    EXPECT_EQ(d.Steps[2].Detail, "maximum PDU length 16384, implementation class UID (none), "
                                 "version name (none), transfer syntax Little Endian Implicit VR "
                                 "(1.2.840.10008.1.2)");
    std::vector<std::string> lines = DiagnosisLines(d);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3].rfind("\u2713 4. C-ECHO: status 0x0000 success (", 0), 0u) << lines[3];
    EXPECT_EQ(lines.back(), "DIAGNOSE OK");
}

TEST_F(ConnectionDiagnosisTest, FirstFailingStepEndsWithReasonAndHint) {
    {
        Peer peer(
            {Peer::Expect(EchoRequestSize), Peer::Send(hexBytes("03 00 00000004 00 01 01 07"))});
        ConnectionDiagnosis d = DiagnoseConnection(settingsFor(peer.PortText()));
        peer.Finish();
        EXPECT_FALSE(d.Passed);
        EXPECT_EQ(names(d).back(), "-A-ASSOCIATE (Verification)");
        EXPECT_EQ(d.Hint, "the peer does not know the called AE title: Remote AET is 'remote'");
        std::vector<std::string> lines = DiagnosisLines(d);
        EXPECT_EQ(lines[lines.size() - 3],
                  "Reason: association rejected (permanent) by the service user: called AE "
                  "title not recognised - check the Remote AET in Setup (result 1, source 1, "
                  "reason 7)");
        EXPECT_EQ(lines[lines.size() - 2], "Hint: " + d.Hint);
        EXPECT_EQ(lines.back(), "DIAGNOSE failed");
    }
    {
        std::string port = std::to_string(testsupport::FreeLoopbackPort());
        ConnectionDiagnosis d = DiagnoseConnection(settingsFor(port));
        EXPECT_EQ(names(d), (std::vector<std::string>{"+Resolve 127.0.0.1", "-TCP connect"}));
        EXPECT_EQ(d.Hint, "nothing listens there: check the port");
    }
    {
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Silent(std::chrono::milliseconds(3000))});
        ConnectionDiagnosis d = DiagnoseConnection(settingsFor(peer.PortText(), 1));
        peer.Finish();
        EXPECT_EQ(d.Reason, "awaiting the A-ASSOCIATE-AC: no answer within 1 s");
        EXPECT_EQ(d.Hint, "no answer: check host, firewall, or whether the peer expects TLS");
    }
    {
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu()),
                   Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(3, echoResponse(0xA700))),
                   Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
        ConnectionDiagnosis d = DiagnoseConnection(settingsFor(peer.PortText()));
        peer.Finish();
        EXPECT_EQ(names(d).back(), "-C-ECHO");
        EXPECT_EQ(d.Reason, "C-ECHO refused: 0xA700 out of resources");
    }
    {
        // The echo is answered, the release is not.
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu()),
                   Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(3, echoResponse(0))),
                   Peer::Expect(ReleaseSize), Peer::Close()});
        ConnectionDiagnosis d = DiagnoseConnection(settingsFor(peer.PortText()));
        peer.Finish();
        EXPECT_EQ(names(d).back(), "-A-RELEASE");
        EXPECT_EQ(d.Reason, "awaiting the A-RELEASE-RP: the peer closed the connection");
    }
    ConnectionDiagnosis d =
        DiagnoseConnection({"local", "remote", "no-such-host.invalid", "104", 2, false, {}});
    EXPECT_EQ(names(d), (std::vector<std::string>{"-Resolve no-such-host.invalid"}));
    EXPECT_EQ(d.Hint, "the host name is unknown here: check the Remote Host in Setup, or give its "
                      "address");
}

TEST(ProbeClasses, ServiceClassesThenEveryStorageClassOnce) {
    std::vector<ProbeClass> classes = ProbeClasses();
    ASSERT_GT(classes.size(), 12u);
    EXPECT_EQ(classes[0].Uid, "1.2.840.10008.1.1");
    EXPECT_EQ(classes[11].Uid, "1.2.840.10008.5.1.1.18");
    std::set<std::string> seen;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        EXPECT_EQ(classes[i].Storage, i >= 12) << classes[i].Uid;
        EXPECT_TRUE(seen.insert(classes[i].Uid).second) << classes[i].Uid;
    }
    EXPECT_EQ(ProbeTransferSyntaxes().size(), 11u);
}

TEST(ProbeTable, RowsForAcceptedClassesOnlyAndTheSummary) {
    ProbeResult r;
    r.Classes = {{"1.2.840.10008.1.1", "Verification", false, {"1.2.840.10008.1.2"}, 0},
                 {"1.2.3", "A Storage", true, {"1.2.840.10008.1.2", "1.2.840.10008.1.2.5"}, 0},
                 {"1.2.4", "B Storage", true, {}, 3},
                 {"1.2.5", "C Storage", true, {}, 3}};
    std::vector<std::string> lines = ProbeTableLines(r);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "SOP class    IVR-LE EVR-LE EVR-BE Deflate JPEG-B JPEG-E JPEG-LL JLS-LL "
                        "J2K-LL J2K RLE");
    EXPECT_EQ(lines[1], "Verification \u2713");
    // Marks under IVR-LE and RLE: the columns between stay blank, trailing blanks are cut.
    EXPECT_EQ(lines[2], "A Storage    \u2713" + std::string(68, ' ') + "\u2713");
    EXPECT_EQ(lines[3], "1 of 3 storage classes accepted; rejected: B Storage, C Storage");
}

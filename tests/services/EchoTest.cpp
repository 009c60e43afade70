#include "Echo.h"
#include "Association.h"
#include "BufData.h"
#include "Log.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using Peer = ScriptedPeer;

namespace {

constexpr std::size_t EchoRequestSize = 198;
// P-DATA-TF header (6) + PDV header (6) + the 68-byte C-ECHO-RQ command set.
constexpr std::size_t EchoCommandPduSize = 80;
constexpr std::size_t ReleaseSize = 10;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(x >> 8);
    v.push_back(x & 0xFF);
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x >> 16);
    put16(v, x & 0xFFFF);
}
void putItem(std::vector<uint8_t>& v, uint8_t type, const std::vector<uint8_t>& body) {
    v.push_back(type);
    v.push_back(0);
    put16(v, static_cast<uint16_t>(body.size()));
    v.insert(v.end(), body.begin(), body.end());
}
std::vector<uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

struct Accepted {
    uint8_t id;
    uint8_t result;
    std::string transferSyntax;
};

// A-ASSOCIATE-AC with the given accept items and maximum length; extra bytes go into the
// user information item after the maximum length sub-item.
std::vector<uint8_t> acceptPdu(const std::vector<Accepted>& items, uint32_t maximum = 16384,
                               const std::vector<uint8_t>& extraUserInfo = {}) {
    std::vector<uint8_t> body = {0x00, 0x01, 0x00, 0x00};
    std::string called = "remote          ", calling = "local           ";
    body.insert(body.end(), called.begin(), called.end());
    body.insert(body.end(), calling.begin(), calling.end());
    body.insert(body.end(), 32, 0);
    putItem(body, 0x10, bytesOf("1.2.840.10008.3.1.1.1"));
    for (const Accepted& a : items) {
        std::vector<uint8_t> pc = {a.id, 0, a.result, 0};
        putItem(pc, 0x40, bytesOf(a.transferSyntax));
        putItem(body, 0x21, pc);
    }
    std::vector<uint8_t> user;
    std::vector<uint8_t> max;
    put32(max, maximum);
    putItem(user, 0x51, max);
    user.insert(user.end(), extraUserInfo.begin(), extraUserInfo.end());
    putItem(body, 0x50, user);
    std::vector<uint8_t> pdu = {0x02, 0x00};
    put32(pdu, static_cast<uint32_t>(body.size()));
    pdu.insert(pdu.end(), body.begin(), body.end());
    return pdu;
}

std::vector<uint8_t> pdata(uint8_t id, uint8_t control, const std::vector<uint8_t>& fragment) {
    std::vector<uint8_t> pdu = {0x04, 0x00};
    put32(pdu, static_cast<uint32_t>(fragment.size() + 6));
    put32(pdu, static_cast<uint32_t>(fragment.size() + 2));
    pdu.push_back(id);
    pdu.push_back(control);
    pdu.insert(pdu.end(), fragment.begin(), fragment.end());
    return pdu;
}

std::vector<uint8_t> echoResponse(uint16_t status, uint16_t command = 0x8030) {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, VerificationSopClass)
                                      .UShort(0x0100, command)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, 0x0101)
                                      .UShort(0x0900, status)
                                      .Build();
    BufData buf(0);
    buf.WriteObject(*rsp);
    return buf.TakeBytes();
}

const std::vector<uint8_t> releaseReply = hexBytes("06 00 00 00 00 04 00 00 00 00");
const std::vector<uint8_t> releaseRequest = hexBytes("05 00 00 00 00 04 00 00 00 00");
const std::vector<uint8_t> abortPdu = hexBytes("07 00 00 00 00 04 00 00 00 00");
const Accepted implicitOk{1, 0, "1.2.840.10008.1.2"};

class EchoTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    void SetUp() override {
        SetLogTargets(dir.file("echo.log").string());
        CurrentLogLevel = 0;
    }
    void TearDown() override { CurrentLogLevel = 0; }
    std::string log() {
        std::ifstream in(dir.file("echo.log"), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool echo(Peer& peer, int timeout = 5) {
        reason.clear();
        return EchoSCU("local", "remote", "127.0.0.1", peer.PortText(), timeout, false, &reason);
    }
    // Why the last echo failed.
    std::string reason;
};

} // namespace

TEST_F(EchoTest, AcceptedEchoIsByteExact) {
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(1, 3, echoResponse(0))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    EXPECT_TRUE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 6), hexBytes("01 00 00 00 00 C0"));
    std::vector<uint8_t> command(got.begin() + EchoRequestSize, got.begin() + EchoRequestSize + 80);
    EXPECT_EQ(command, hexBytes(R"(
        04 00 00 00 00 4A  00 00 00 46 01 03
        00 00 00 00 04 00 00 00 38 00 00 00                    // group length 56
        00 00 02 00 12 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E 31 2E 31 00
        00 00 00 01 02 00 00 00 30 00                          // C-ECHO-RQ
        00 00 10 01 02 00 00 00 03 00                          // message ID 3
        00 00 00 08 02 00 00 00 01 01                          // no data set
    )"));
    EXPECT_EQ(std::vector<uint8_t>(got.end() - ReleaseSize, got.end()), releaseRequest);
}

// An accepted item counts only for a context proposed, with a syntax proposed in it.
TEST_F(EchoTest, AcceptedItemsAreTakenOnlyAsProposed) {
    Peer peer({Peer::Expect(EchoRequestSize),
               Peer::Send(acceptPdu({{3, 0, "1.2.840.10008.1.2"},
                                     {1, 0, "1.2.840.10008.1.2.4.90"},
                                     {1, 0, "1.2.840.10008.1.2"}})),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(1, 3, echoResponse(0))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    EXPECT_TRUE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(peer.Received()[EchoRequestSize + 10], 1);
    EXPECT_NE(log().find("accepted context ID 3 was never proposed; ignored"), std::string::npos);
    EXPECT_NE(log().find("context ID 1 accepted with 1.2.840.10008.1.2.4.90, which was not "
                         "proposed in it; ignored"),
              std::string::npos);
}

TEST_F(EchoTest, OnlyBigEndianAcceptedFailsBeforeAnyMessage) {
    Peer peer({Peer::Expect(EchoRequestSize),
               Peer::Send(acceptPdu({{1, 0, "1.2.840.10008.1.2.2"}})), Peer::Expect(10),
               Peer::ExpectEnd()});
    EXPECT_FALSE(echo(peer));
    peer.Finish();
    // No message, but an A-ABORT before the close.
    ASSERT_EQ(peer.Received().size(), EchoRequestSize + 10);
    EXPECT_EQ(std::vector<uint8_t>(peer.Received().end() - 10, peer.Received().end()), abortPdu);
    EXPECT_NE(log().find("ERROR, Transfer Syntax is Empty\r\n"), std::string::npos);
    EXPECT_NE(log().find("ERROR, PDU_Service::Connect, InterogateAAssociateAC failed\r\n"),
              std::string::npos);
    EXPECT_NE(log().find("ERROR, EchoSCU, OpenAssoc failed\r\n"), std::string::npos);
    EXPECT_EQ(reason, "presentation context: the peer accepted only Big Endian Explicit VR "
                      "(1.2.840.10008.1.2.2), which this side cannot send");
}

TEST_F(EchoTest, RejectAndCorruptAnswers) {
    {
        Peer peer(
            {Peer::Expect(EchoRequestSize), Peer::Send(hexBytes("03 00 00 00 00 04 00 01 01 01"))});
        EXPECT_FALSE(echo(peer));
        peer.Finish();
        EXPECT_NE(log().find("ERROR, Association Rejected...\r\n"), std::string::npos);
        EXPECT_EQ(reason, "association rejected (permanent) by the service user: no reason given "
                          "(result 1, source 1, reason 1)");
    }
    {
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(hexBytes("09 00 00 00 00 00"))});
        EXPECT_FALSE(echo(peer));
        peer.Finish();
        EXPECT_NE(log().find("ERROR, Corrupt Transmission...\r\n"), std::string::npos);
        EXPECT_EQ(reason,
                  "the peer answered with bytes that are not a DICOM PDU (first byte 0x09)");
    }
}

TEST_F(EchoTest, AbortUnknownPduAndFailureStatus) {
    {
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
                   Peer::Expect(EchoCommandPduSize), Peer::Send(abortPdu)});
        EXPECT_FALSE(echo(peer));
        peer.Finish();
        EXPECT_NE(log().find("WARNING, PDU_Service::Read Abort-RQ\r\n"), std::string::npos);
        EXPECT_EQ(reason, "awaiting the C-ECHO-RSP: association aborted by the service user: the "
                          "peer gave up (source 0, reason 0)");
    }
    {
        Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
                   Peer::Expect(EchoCommandPduSize), Peer::Send(hexBytes("0B 00 00 00 00 00")),
                   Peer::Expect(ReleaseSize)});
        EXPECT_FALSE(echo(peer));
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        // The protocol error is answered with an A-ABORT, source 0, reason 0.
        EXPECT_EQ(std::vector<uint8_t>(peer.Received().end() - 10, peer.Received().end()),
                  abortPdu);
        EXPECT_NE(log().find("ERROR, PDU_Service::Read Protocol Error\r\n"), std::string::npos);
        EXPECT_EQ(reason, "awaiting the C-ECHO-RSP: the peer answered with bytes that are not a "
                          "DICOM PDU (first byte 0x0B)");
    }
    std::string before = log();
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(1, 3, echoResponse(0x0110))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    EXPECT_FALSE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(log(), before);
    EXPECT_EQ(reason, "C-ECHO refused: 0x0110 processing failure");
}

TEST_F(EchoTest, ReleaseRequestFromThePeerIsAnswered) {
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
               Peer::Expect(EchoCommandPduSize), Peer::Send(releaseRequest),
               Peer::Expect(ReleaseSize), Peer::ExpectEnd()});
    CurrentLogLevel = 2;
    EXPECT_FALSE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    // Our A-RELEASE-RP is the last thing sent, and the connection is closed in order.
    ASSERT_EQ(got.size(), EchoRequestSize + EchoCommandPduSize + ReleaseSize);
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()), releaseReply);
    EXPECT_NE(log().find("INFO, PDU_Service::Read Release-RQ\r\n"), std::string::npos);
}

TEST_F(EchoTest, PeerMaximumLengthIsCappedAndLogged) {
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk}, 65536)),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(1, 3, echoResponse(0))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    CurrentLogLevel = 2;
    EXPECT_TRUE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    std::string text = log();
    EXPECT_NE(text.find("INFO, PDU_Service::Write, MaximumLength set to 16384\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("INFO, OpenAssociation, Calling Ap. Title: local           \r\n"),
              std::string::npos);
    EXPECT_NE(
        text.find("Presentation Context Accept ID: 1, Transfer Syntax: 1.2.840.10008.1.2\r\n"),
        std::string::npos);
    // The message dumps: the request as sent and the response as read.
    EXPECT_NE(text.find("local >> remote\r\n"), std::string::npos);
    EXPECT_NE(text.find("(0000,0110),  2, US, Message ID: 3\r\n"), std::string::npos);
    EXPECT_NE(text.find("local << remote\r\n"), std::string::npos);
}

TEST_F(EchoTest, AcceptWithUnknownItemsAndTwoRoleSelections) {
    std::vector<uint8_t> extra = hexBytes(R"(
        54 00 00 0B 00 07 31 2E 32 2E 33 2E 34 01 00     // role selection
        54 00 00 0B 00 07 31 2E 32 2E 33 2E 35 00 01     // and another
        56 00 00 02 AA BB                                // unknown sub-item
    )");
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk}, 16384, extra)),
               Peer::Expect(EchoCommandPduSize), Peer::Send(pdata(1, 3, echoResponse(0))),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    EXPECT_TRUE(echo(peer));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(EchoTest, SilentPeerTimesOut) {
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})),
               Peer::Expect(EchoCommandPduSize), Peer::Silent(std::chrono::milliseconds(3000))});
    EXPECT_FALSE(echo(peer, 1));
    peer.Finish();
    EXPECT_NE(log().find("ERROR, Socket::ReadBinary, Timed out\r\n"), std::string::npos);
    EXPECT_EQ(reason, "awaiting the C-ECHO-RSP: no answer within 1 s");
}

TEST_F(EchoTest, LastCommandFragmentAndDataSetInOnePdu) {
    std::vector<uint8_t> command = echoResponse(0);
    std::vector<uint8_t> dataSet = hexBytes("10 00 10 00 04 00 00 00 41 5E 42 20");
    std::vector<uint8_t> pdu = pdata(1, 3, command);
    std::vector<uint8_t> pdv = {0, 0, 0, static_cast<uint8_t>(dataSet.size() + 2), 1, 2};
    pdv.insert(pdv.end(), dataSet.begin(), dataSet.end());
    pdu.insert(pdu.end(), pdv.begin(), pdv.end());
    uint32_t length = static_cast<uint32_t>(pdu.size() - 6);
    pdu[2] = length >> 24;
    pdu[3] = (length >> 16) & 0xFF;
    pdu[4] = (length >> 8) & 0xFF;
    pdu[5] = length & 0xFF;
    Peer peer({Peer::Expect(EchoRequestSize), Peer::Send(acceptPdu({implicitOk})), Peer::Send(pdu),
               Peer::Expect(ReleaseSize), Peer::Send(releaseReply)});
    PDU_Service service;
    ASSERT_TRUE(OpenAssociation(service, {.callingTitle = "local",
                                          .calledTitle = "remote",
                                          .host = "127.0.0.1",
                                          .port = peer.PortText(),
                                          .abstractSyntax = VerificationSopClass,
                                          .timeoutSeconds = 5}));
    DcmObj first, second;
    ASSERT_TRUE(service.Read(first));
    EXPECT_EQ(first.GetUShort(0x0000, 0x0100), 0x8030);
    ASSERT_TRUE(service.Read(second));
    EXPECT_EQ(second.GetString(0x0010, 0x0010), "A^B");
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(EchoTest, ClosedPortFailsToConnect) {
    int port;
    {
        Peer probe({Peer::Close()});
        port = probe.Port();
    }
    EXPECT_FALSE(EchoSCU("local", "remote", "127.0.0.1", std::to_string(port), 2, false));
    EXPECT_NE(log().find("ERROR, PDU_Service::Connect, Socket Level Error\r\n"), std::string::npos);
}

TEST(ProposedContexts, TransferSyntaxListFollowsThePreferenceRules) {
    auto proposed = [](const std::string& other, const std::string& preferred) {
        PDU_Service service;
        OpenAssociation(service, {.callingTitle = "a",
                                  .calledTitle = "b",
                                  .host = "127.0.0.1",
                                  .port = "1",
                                  .abstractSyntax = "1.2.3",
                                  .otherTransferSyntax = other,
                                  .preferredTransferSyntax = preferred,
                                  .timeoutSeconds = 1});
        std::vector<std::vector<std::string>> out;
        for (const PresentationContext& context : service.request.PresContexts) {
            out.emplace_back();
            for (const UIDitem& ts : context.TrnSyntax)
                out.back().push_back(ts.UID);
        }
        return out;
    };
    using Contexts = std::vector<std::vector<std::string>>;
    EXPECT_EQ(proposed("1.2.840.10008.1.2.1", "1.2.840.10008.1.2.1"),
              (Contexts{{"1.2.840.10008.1.2.1"}, {"1.2.840.10008.1.2"}}));
    EXPECT_EQ(proposed("1.2.840.10008.1.2", ""), (Contexts{{"1.2.840.10008.1.2"}}));
    EXPECT_EQ(
        proposed("1.2.840.10008.1.2.1", "1.2.840.10008.1.2.4.70"),
        (Contexts{{"1.2.840.10008.1.2.4.70"}, {"1.2.840.10008.1.2.1"}, {"1.2.840.10008.1.2"}}));
}

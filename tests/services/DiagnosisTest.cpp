// The reason texts, one family per test, each driven by the bytes a peer sends: the reject,
// abort, presentation context and status codes go over a scripted association and come back
// as the reason of the verification.

#include "Diagnosis.h"
#include "DcmtkPeer.h"
#include "DimseScript.h"
#include "Echo.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace dimsescript;
using Peer = ScriptedPeer;

namespace {

constexpr std::size_t EchoRequestSize = 198;
constexpr std::size_t EchoCommandPduSize = 80;

// A C-ECHO-RSP command with the status, and the extra command elements given as encoded bytes.
std::vector<uint8_t> echoResponse(uint16_t status, const std::string& comment = {},
                                  const std::vector<uint8_t>& attributeList = {}) {
    auto rsp = std::make_unique<DcmObj>();
    rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0002, std::string(VerificationSopClass), "UI"));
    rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0100, uint16_t{0x8030}, "US"));
    rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0120, uint16_t{3}, "US"));
    rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0800, uint16_t{0x0101}, "US"));
    rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0900, status, "US"));
    if (!comment.empty())
        rsp->Append(std::make_unique<DcmTag>(0x0000, 0x0902, comment, "LO"));
    if (!attributeList.empty())
        rsp->Append(std::make_unique<DcmTag>(0x0000, 0x1005,
                                             static_cast<uint32_t>(attributeList.size()),
                                             attributeList.data(), "AT"));
    return encode(*rsp);
}

class DiagnosisTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    void SetUp() override {
        SetLogTargets(dir.file("echo.log").string());
        CurrentLogLevel = 0;
    }

    // The reason of a verification against a peer that plays the steps after the request.
    std::string reasonOf(std::vector<Peer::Step> answer, int timeout = 5) {
        std::vector<Peer::Step> steps = {Peer::Expect(EchoRequestSize)};
        steps.insert(steps.end(), answer.begin(), answer.end());
        Peer peer(std::move(steps));
        std::string reason;
        EXPECT_FALSE(
            EchoSCU("local", "remote", "127.0.0.1", peer.PortText(), timeout, false, &reason));
        peer.Finish();
        return reason;
    }
    std::string reasonOfStatus(const std::vector<uint8_t>& response) {
        return reasonOf({Peer::Send(acceptPdu()), Peer::Expect(EchoCommandPduSize),
                         Peer::Send(pdata(3, response)), Peer::Expect(ReleaseSize),
                         Peer::Send(releaseReply)});
    }
};

} // namespace

TEST_F(DiagnosisTest, AssociateRejectResultSourceAndReason) {
    struct Case {
        const char* pdu;
        const char* reason;
    };
    const Case cases[] = {
        {"03 00 00000004 00 01 01 07",
         "association rejected (permanent) by the service user: called AE title not recognised - "
         "check the Remote AET in Setup (result 1, source 1, reason 7)"},
        {"03 00 00000004 00 01 01 03",
         "association rejected (permanent) by the service user: calling AE title not recognised "
         "- check the Local AET in Setup and the peer's list of known AEs (result 1, source 1, "
         "reason 3)"},
        {"03 00 00000004 00 01 01 02",
         "association rejected (permanent) by the service user: application context name not "
         "supported (result 1, source 1, reason 2)"},
        {"03 00 00000004 00 01 01 01",
         "association rejected (permanent) by the service user: no reason given (result 1, "
         "source 1, reason 1)"},
        {"03 00 00000004 00 01 02 02",
         "association rejected (permanent) by the service provider (ACSE): protocol version not "
         "supported (result 1, source 2, reason 2)"},
        {"03 00 00000004 00 02 03 01",
         "association rejected (transient) by the service provider (presentation): temporary "
         "congestion - try again later (result 2, source 3, reason 1)"},
        {"03 00 00000004 00 02 03 02",
         "association rejected (transient) by the service provider (presentation): local limit "
         "exceeded - the peer has too many associations (result 2, source 3, reason 2)"},
        {"03 00 00000004 00 01 01 05",
         "association rejected (permanent) by the service user: reserved reason (result 1, "
         "source 1, reason 5)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reasonOf({Peer::Send(hexBytes(c.pdu))}), c.reason) << c.pdu;
}

TEST_F(DiagnosisTest, AbortSourceAndReason) {
    struct Case {
        const char* pdu;
        const char* reason;
    };
    const Case cases[] = {
        {"07 00 00000004 00 00 02 02",
         "awaiting the C-ECHO-RSP: association aborted by the service provider: unexpected PDU "
         "(source 2, reason 2)"},
        {"07 00 00000004 00 00 02 06",
         "awaiting the C-ECHO-RSP: association aborted by the service provider: invalid PDU "
         "parameter value (source 2, reason 6)"},
        {"07 00 00000004 00 00 00 00",
         "awaiting the C-ECHO-RSP: association aborted by the service user: the peer gave up "
         "(source 0, reason 0)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reasonOf({Peer::Send(acceptPdu()), Peer::Expect(EchoCommandPduSize),
                            Peer::Send(hexBytes(c.pdu))}),
                  c.reason)
            << c.pdu;
    // An abort instead of the accept.
    EXPECT_EQ(reasonOf({Peer::Send(hexBytes("07 00 00000004 00 00 02 01"))}),
              "association aborted by the service provider: unrecognised PDU (source 2, reason 1)");
}

TEST_F(DiagnosisTest, PresentationContextResults) {
    const char* const verification = "Verification (1.2.840.10008.1.1)";
    for (uint8_t result : {1, 2, 3, 4}) {
        std::string text = Diagnosis::ContextResultText(result);
        EXPECT_EQ(reasonOf({Peer::Send(acceptPdu("1.2.840.10008.1.2", result))}),
                  "presentation context: the peer accepted none of the proposed: " +
                      std::string(verification) + ": " + text + " (context 1, result " +
                      std::to_string(result) + ")");
    }
    EXPECT_EQ(Diagnosis::ContextResultText(1), "user rejection");
    EXPECT_EQ(Diagnosis::ContextResultText(2), "no reason");
    EXPECT_EQ(Diagnosis::ContextResultText(3), "abstract syntax not supported");
    EXPECT_EQ(Diagnosis::ContextResultText(4), "transfer syntaxes not supported");
    // Accepted, but only in a syntax no message can be sent in.
    EXPECT_EQ(reasonOf({Peer::Send(acceptPdu("1.2.840.10008.1.2.2"))}),
              "presentation context: the peer accepted only Big Endian Explicit VR "
              "(1.2.840.10008.1.2.2), which this side cannot send");
}

TEST_F(DiagnosisTest, DimseStatusesWithCommentAndAttributes) {
    EXPECT_EQ(reasonOfStatus(echoResponse(0xA700)), "C-ECHO refused: 0xA700 out of resources");
    EXPECT_EQ(reasonOfStatus(echoResponse(0xA7F3)), "C-ECHO refused: 0xA7F3 out of resources");
    EXPECT_EQ(reasonOfStatus(echoResponse(0xA900)),
              "C-ECHO refused: 0xA900 data set does not match SOP class");
    EXPECT_EQ(reasonOfStatus(echoResponse(0xC123)), "C-ECHO refused: 0xC123 cannot understand");
    EXPECT_EQ(reasonOfStatus(echoResponse(0x0110, "disk full")),
              "C-ECHO refused: 0x0110 processing failure; the peer says: 'disk full'");
    EXPECT_EQ(reasonOfStatus(echoResponse(0xB000)),
              "C-ECHO answered with a warning: 0xB000 coercion of data elements");
    EXPECT_EQ(reasonOfStatus(echoResponse(0xFE00)), "C-ECHO cancelled: 0xFE00 cancel");
    // (2010,0050) Film Size ID and (2010,0040) Film Orientation, as an attribute list.
    EXPECT_EQ(reasonOfStatus(echoResponse(0x0106, "", hexBytes("10 20 50 00 10 20 40 00"))),
              "C-ECHO refused: 0x0106 invalid attribute value (Film Size ID, Film Orientation)");

    const std::pair<int, const char*> table[] = {
        {0xB006, "elements discarded"},      {0xB007, "data set does not match SOP class"},
        {0x0107, "attribute list error"},    {0x0116, "attribute value out of range"},
        {0x0111, "duplicate SOP instance"},  {0x0112, "no such SOP instance"},
        {0x0117, "invalid object instance"}, {0x0118, "no such SOP class"},
        {0x0119, "class-instance conflict"}, {0x0120, "missing attribute"},
        {0x0121, "missing attribute value"}, {0x0122, "SOP class not supported"},
        {0x0124, "not authorized"},          {0x0210, "duplicate invocation"},
        {0x0211, "unrecognised operation"},  {0x0212, "mistyped argument"},
        {0x0213, "resource limitation"},
    };
    for (auto [status, meaning] : table)
        EXPECT_EQ(Diagnosis::StatusMeaning(status), meaning) << std::hex << status;
    for (int warning : {0xB000, 0xB006, 0xB007, 0x0107, 0x0116})
        EXPECT_TRUE(Diagnosis::IsWarningStatus(warning)) << std::hex << warning;
    EXPECT_FALSE(Diagnosis::IsWarningStatus(0x0106));
}

TEST_F(DiagnosisTest, LinkFailuresNameWhatWasAwaited) {
    EXPECT_EQ(reasonOf({Peer::Silent(std::chrono::milliseconds(3000))}, 1),
              "awaiting the A-ASSOCIATE-AC: no answer within 1 s");
    EXPECT_EQ(reasonOf({Peer::Send(acceptPdu()), Peer::Expect(EchoCommandPduSize),
                        Peer::Silent(std::chrono::milliseconds(3000))},
                       1),
              "awaiting the C-ECHO-RSP: no answer within 1 s");
    EXPECT_EQ(reasonOf({Peer::Close()}),
              "awaiting the A-ASSOCIATE-AC: the peer closed the connection");
    std::string http = "HTTP/1.1 400 Bad Request\r\n\r\n";
    EXPECT_EQ(reasonOf({Peer::Send({http.begin(), http.end()})}),
              "the peer answered with bytes that are not a DICOM PDU (first byte 0x48): it looks "
              "like HTTP");
    EXPECT_EQ(reasonOf({Peer::Send(hexBytes("15 03 03 00 02 02 28"))}),
              "the peer answered with bytes that are not a DICOM PDU (first byte 0x15): a TLS "
              "record, the peer expects TLS");
    EXPECT_EQ(reasonOf({Peer::Send(acceptPdu()), Peer::Expect(EchoCommandPduSize),
                        Peer::Send(hexBytes("05 00 00000004 00000000")), Peer::Expect(ReleaseSize),
                        Peer::Expect(ReleaseSize), Peer::Send(releaseReply)}),
              "awaiting the C-ECHO-RSP: the peer released the association instead of answering");
}

TEST_F(DiagnosisTest, NameResolutionAndClosedPort) {
    std::string reason;
    EXPECT_FALSE(EchoSCU("local", "remote", "no-such-host.invalid", "104", 2, false, &reason));
    EXPECT_EQ(reason.rfind("name resolution: the host name 'no-such-host.invalid' could not be "
                           "resolved: ",
                           0),
              0u)
        << reason;
    reason.clear();
    EXPECT_FALSE(EchoSCU("local", "remote", "127.0.0.1", "no-such-service", 2, false, &reason));
    EXPECT_EQ(reason, "name resolution: the port 'no-such-service' is neither a number nor a "
                      "known service name");
    int port = testsupport::FreeLoopbackPort();
    reason.clear();
    EXPECT_FALSE(EchoSCU("local", "remote", "127.0.0.1", std::to_string(port), 2, false, &reason));
    EXPECT_EQ(reason, "TCP connect: connection refused, nothing listens on 127.0.0.1:" +
                          std::to_string(port) + " (errno 111, Connection refused)");
}

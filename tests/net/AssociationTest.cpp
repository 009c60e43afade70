#include "AssociationPDUs.h"
#include "Log.h"
#include "ScriptedPeer.h"

#include "LogFixture.h"
#include "PduVectors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

class AssociationTest : public LogFixture {
protected:
};

std::vector<std::uint8_t> text(const std::string& s) {
    return {s.begin(), s.end()};
}

std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The request of an echo, as the association service fills it before connecting.
AAssociateRQ echoRequest(const std::string& called, const std::string& calling) {
    AAssociateRQ rq;
    rq.SetCalledApTitle(called);
    rq.SetCallingApTitle(calling);
    PresentationContext context(1);
    context.SetAbstractSyntax("1.2.840.10008.1.1");
    context.AddTransferSyntax("1.2.840.10008.1.2");
    rq.AddPresentationContext(std::move(context));
    rq.UserInfo.SetMaximumLength(16384);
    rq.UserInfo.SetImpClass("1.2.999.1.77.4.999");
    rq.UserInfo.SetImpVersion("Mondevalier");
    rq.UserInfo.SetUserIdentity("", "");
    return rq;
}

const std::vector<std::uint8_t> echoUserInformation = cat({
    hexBytes("50 00 00 2D"),                             // user information, length 45
    hexBytes("51 00 00 04 00 00 40 00"),                 // maximum length 16384
    hexBytes("52 00 00 12"), text("1.2.999.1.77.4.999"), // implementation class UID
    hexBytes("55 00 00 0B"), text("Mondevalier"),        // implementation version name
});

std::vector<std::uint8_t> sendToPeer(AAssociateRQ& rq, std::size_t expected) {
    ScriptedPeer peer({ScriptedPeer::Expect(expected)});
    Buffer link;
    link.SetWriteOrder(Buffer::BigEndian);
    EXPECT_TRUE(link.Link().Connect("127.0.0.1", peer.PortText()));
    EXPECT_TRUE(rq.Write(link));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    return peer.Received();
}

TEST_F(AssociationTest, EchoRequestIsByteExact) {
    AAssociateRQ rq = echoRequest("ANY-SCP", "ECHOSCU");
    auto expected = cat({
        hexBytes("01 00 00 00 00 C0"),    // A-ASSOCIATE-RQ, PDU length 192
        hexBytes("00 01 00 00"),          // protocol version 1, reserved
        text("ANY-SCP         "),         // called AE title, blank-padded
        text("ECHOSCU         "),         // calling AE title
        std::vector<std::uint8_t>(32, 0), // reserved
        hexBytes("10 00 00 15"),
        text("1.2.840.10008.3.1.1.1"),       // application context
        hexBytes("20 00 00 2E 01 00 00 00"), // presentation context 1, length 46
        hexBytes("30 00 00 11"),
        text("1.2.840.10008.1.1"), // abstract syntax
        hexBytes("40 00 00 11"),
        text("1.2.840.10008.1.2"), // transfer syntax
        echoUserInformation,
    });
    ASSERT_EQ(expected.size(), 198u);
    EXPECT_EQ(sendToPeer(rq, expected.size()), expected);
    EXPECT_EQ(rq.PDULength, 192u);
    EXPECT_EQ(rq.PresContexts[0].Length, 46u);
    EXPECT_EQ(rq.UserInfo.Length, 45u);
}

TEST_F(AssociationTest, TitlesArePaddedOrCutTo16) {
    AAssociateRQ rq = echoRequest("ABC", "A-CALLING-TITLE-LONGER-THAN-16");
    auto sent = sendToPeer(rq, 198);
    EXPECT_EQ(std::string(sent.begin() + 10, sent.begin() + 26), "ABC             ");
    EXPECT_EQ(std::string(sent.begin() + 26, sent.begin() + 42), "A-CALLING-TITLE-");
}

TEST_F(AssociationTest, UserIdentityIsSentOnlyWithAUserName) {
    AAssociateRQ rq = echoRequest("ANY-SCP", "ECHOSCU");
    rq.UserInfo.SetUserIdentity("bob", "");
    auto sent = sendToPeer(rq, 198 + 13);
    EXPECT_EQ(rq.UserInfo.Length, 58u);
    auto tail = std::vector<std::uint8_t>(sent.end() - 13, sent.end());
    EXPECT_EQ(tail, cat({hexBytes("58 00 00 09 02 01 00 03"), text("bob"), hexBytes("00 00")}));
}

// A C-GET's request: one role selection sub-item per storage class, between the
// implementation class and version, the SCP role only.
TEST_F(AssociationTest, RoleSelectionsAreWrittenInOrder) {
    AAssociateRQ rq = echoRequest("ANY-SCP", "GETSCU");
    rq.UserInfo.AddRoleSelection("1.2.840.10008.5.1.4.1.1.2", false, true);
    rq.UserInfo.AddRoleSelection("1.2.840.10008.5.1.4.1.1.4", false, true);
    auto sent = sendToPeer(rq, 198 + 2 * 33);
    EXPECT_EQ(rq.UserInfo.Length, 45u + 66u);
    auto userInfo = std::vector<std::uint8_t>(sent.end() - (4 + 45 + 66), sent.end());
    EXPECT_EQ(userInfo, cat({hexBytes("50 00 00 6F 51 00 00 04 00 00 40 00 52 00 00 12"),
                             text("1.2.999.1.77.4.999"), hexBytes("54 00 00 1D 00 19"),
                             text("1.2.840.10008.5.1.4.1.1.2"), hexBytes("00 01 54 00 00 1D 00 19"),
                             text("1.2.840.10008.5.1.4.1.1.4"), hexBytes("00 01 55 00 00 0B"),
                             text("Mondevalier")}));
}

TEST_F(AssociationTest, RequestWriteLogsItsFieldsAtPduLevel) {
    CurrentLogLevel = 2;
    AAssociateRQ rq = echoRequest("ANY-SCP", "ECHOSCU");
    sendToPeer(rq, 198);
    EXPECT_TRUE(logged("INFO, AAssociateRQ::Write\r\n"));
    EXPECT_TRUE(logged("Length: 192\r\n"));
    EXPECT_TRUE(logged("CalledApTitle: ANY-SCP         \r\n"));
    EXPECT_TRUE(logged("AbsSyntax: 1.2.840.10008.1.1\r\n"));
    EXPECT_TRUE(logged("TrnSyntax: 1.2.840.10008.1.2\r\n"));
    EXPECT_TRUE(logged("INFO, ImpClass::Size, Length=22, \"1.2.999.1.77.4.999\"\r\n"));
    EXPECT_TRUE(logged("INFO, UserInformation::Size, Length=45\r\n"));
}

// ---- A-ASSOCIATE-AC and -RJ as read (after the type byte) ----

std::vector<std::uint8_t> acceptItem(std::uint8_t id, std::uint8_t result, const std::string& ts) {
    std::vector<std::uint8_t> item;
    pduvectors::putAcceptedContext(item, {id, result, ts});
    return item;
}

// Wraps items into an accept as read after its type byte: reserved, PDU length, the fixed
// fields, the items.
std::vector<std::uint8_t> acceptPdu(const std::vector<std::uint8_t>& items) {
    auto pdu =
        pduvectors::pdu(0x02, cat({pduvectors::associateFields("ANY-SCP", "ECHOSCU"), items}));
    return {pdu.begin() + 1, pdu.end()};
}

const std::vector<std::uint8_t> echoAccept = cat({
    hexBytes("00 00 00 00 B8"), // reserved, PDU length 184
    hexBytes("00 01 00 00"),    // version, reserved
    text("ANY-SCP         "),
    text("ECHOSCU         "),
    std::vector<std::uint8_t>(32, 0),
    hexBytes("10 00 00 15"),
    text("1.2.840.10008.3.1.1.1"),
    hexBytes("21 00 00 19 01 00 00 00"), // accept item, context 1, result 0
    hexBytes("40 00 00 11"),
    text("1.2.840.10008.1.2"),
    hexBytes("50 00 00 3A"),             // user information, length 58
    hexBytes("51 00 00 04 00 00 80 00"), // maximum length 32768
    hexBytes("52 00 00 1B"),
    text("1.2.276.0.7230010.3.0.3.6.7"),
    hexBytes("55 00 00 0F"),
    text("OFFIS_DCMTK_367"),
});

struct ReadOutcome {
    bool ok;
    std::uint8_t next; // the byte after the PDU, to show the read stayed in step
};

ReadOutcome readAccept(AAssociateAC& ac, const std::vector<std::uint8_t>& bytes) {
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(bytes);
    link.Supply(hexBytes("EE"));
    ReadOutcome outcome{ac.Read(link), 0};
    link.ReadU8(outcome.next);
    return outcome;
}

TEST_F(AssociationTest, EchoAcceptIsRead) {
    ASSERT_EQ(echoAccept.size(), 5u + 184u);
    AAssociateAC ac;
    auto outcome = readAccept(ac, echoAccept);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.next, 0xEE);
    EXPECT_EQ(ac.CalledApTitle, "ANY-SCP         ");
    ASSERT_EQ(ac.PresContextAccepts.size(), 1u);
    EXPECT_EQ(ac.PresContextAccepts[0].PresentationContextID, 1);
    EXPECT_EQ(ac.PresContextAccepts[0].Result, 0);
    EXPECT_EQ(ac.PresContextAccepts[0].TrnSyntax.UID, "1.2.840.10008.1.2");
    EXPECT_EQ(ac.UserInfo.MaxSubLength.MaximumLength, 32768u);
    EXPECT_EQ(ac.UserInfo.ImpClass.UID, "1.2.276.0.7230010.3.0.3.6.7");
    EXPECT_EQ(ac.UserInfo.ImpVersion.UID, "OFFIS_DCMTK_367");
}

TEST_F(AssociationTest, EveryTruncationOfTheAcceptFailsCleanly) {
    for (std::size_t n = 0; n < echoAccept.size(); ++n) {
        AAssociateAC ac;
        Buffer link;
        link.SetReadOrder(Buffer::BigEndian);
        link.Supply(echoAccept.data(), static_cast<std::uint32_t>(n));
        EXPECT_FALSE(ac.Read(link)) << n;
    }
}

// A sub-item of the user information put at the top level (0x56) hides nothing after it.
TEST_F(AssociationTest, UnknownItemInThePduIsPassedOverByItsLength) {
    auto items = cat({acceptItem(1, 0, "1.2.840.10008.1.2"), hexBytes("56 00 00 04 01 02 03 04"),
                      acceptItem(3, 0, "1.2.840.10008.1.2.1")});
    AAssociateAC ac;
    auto outcome = readAccept(ac, acceptPdu(items));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.next, 0xEE);
    ASSERT_EQ(ac.PresContextAccepts.size(), 2u);
    EXPECT_EQ(ac.PresContextAccepts[1].PresentationContextID, 3);
    EXPECT_TRUE(logged("WARNING, AssociateHeader::ReadItems, unknown item type 86 passed over"));
    // One whose length runs past the PDU still ends the parse in step.
    AAssociateAC cut;
    outcome = readAccept(cut, acceptPdu(cat({acceptItem(1, 0, "1.2.840.10008.1.2"),
                                             hexBytes("56 00 01 00 01 02 03 04")})));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.next, 0xEE);
    EXPECT_EQ(cut.PresContextAccepts.size(), 1u);
}

TEST_F(AssociationTest, RefusedContextIsStillListed) {
    AAssociateAC ac;
    auto outcome = readAccept(
        ac, acceptPdu(cat({acceptItem(1, 3, ""), acceptItem(3, 0, "1.2.840.10008.1.2")})));
    EXPECT_TRUE(outcome.ok);
    ASSERT_EQ(ac.PresContextAccepts.size(), 2u);
    EXPECT_EQ(ac.PresContextAccepts[0].Result, 3);
}

TEST_F(AssociationTest, UnknownSubItemInUserInformationSkipsTheRestOfThatItem) {
    auto userInfo = cat({hexBytes("50 00 00 14"), hexBytes("51 00 00 04 00 00 10 00"),
                         hexBytes("56 00 00 04 01 02 03 04"), hexBytes("53 00 00 00")});
    AAssociateAC ac;
    auto outcome =
        readAccept(ac, acceptPdu(cat({userInfo, acceptItem(5, 0, "1.2.840.10008.1.2")})));
    EXPECT_EQ(outcome.next, 0xEE);
    EXPECT_TRUE(logged("WARNING, UserInformation::Read Unknown Packet"));
    EXPECT_TRUE(logged("WARNING, UserInformation::Read Count=-1"));
    EXPECT_EQ(ac.UserInfo.MaxSubLength.MaximumLength, 4096u);
    ASSERT_EQ(ac.PresContextAccepts.size(), 1u); // the item after user information is read
    EXPECT_EQ(ac.PresContextAccepts[0].PresentationContextID, 5);
}

// The single record keeps the last role selection; the list keeps each.
TEST_F(AssociationTest, SecondRoleSelectionOverwritesTheFirst) {
    auto role = [](const std::string& uid, std::uint8_t scu, std::uint8_t scp) {
        std::uint8_t n = static_cast<std::uint8_t>(uid.size());
        return cat({hexBytes("54 00 00"),
                    {static_cast<std::uint8_t>(n + 4), 0x00, n},
                    text(uid),
                    {scu, scp}});
    };
    auto subs = cat({role("1.2.840.10008.5.1.4.1.1.2", 1, 0),
                     role("1.2.840.10008.5.1.4.1.1.4", 0, 1), hexBytes("53 00 00 04 00 05 00 06")});
    auto userInfo = cat({hexBytes("50 00 00"), {static_cast<std::uint8_t>(subs.size())}, subs});
    AAssociateAC ac;
    CurrentLogLevel = 2;
    auto outcome = readAccept(ac, acceptPdu(userInfo));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(ac.UserInfo.SCPSCURole.SOPClassUID, "1.2.840.10008.5.1.4.1.1.4");
    EXPECT_EQ(ac.UserInfo.SCPSCURole.SCURole, 0);
    EXPECT_EQ(ac.UserInfo.SCPSCURole.SCPRole, 1);
    ASSERT_EQ(ac.UserInfo.RoleSelections.size(), 2u);
    EXPECT_EQ(ac.UserInfo.RoleSelections[0].SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_EQ(ac.UserInfo.RoleSelections[0].SCURole, 1);
    EXPECT_EQ(ac.UserInfo.AsyncOpWindow.MaxOperationsPerformed, 6);
    EXPECT_TRUE(logged("INFO, SCPSCURole::ReadDynamic, Count=8\r\n"));
    EXPECT_TRUE(logged("INFO, AsyncOpWindow::ReadDynamic, Count=0\r\n"));
}

TEST_F(AssociationTest, OverLongLengthsAreProtocolErrorsThatStayInStep) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> items;
        std::size_t listed;
    };
    std::vector<Case> cases = {
        {"accept item beyond the PDU", hexBytes("21 00 00 40 01 00 00 00 40 00 00 01 31"), 0},
        {"transfer syntax beyond its item",
         cat({hexBytes("21 00 00 08 01 00 00 00 40 00 00 09"),
              acceptItem(3, 0, "1.2.840.10008.1.2")}),
         1},
        {"user information beyond the PDU", hexBytes("50 00 01 00 51 00 00 04 00 00 40 00"), 0},
        {"sub-item beyond user information",
         cat({hexBytes("50 00 00 08 51 00 00 08 00 00 40 00"),
              acceptItem(3, 0, "1.2.840.10008.1.2")}),
         1},
        {"maximum length shorter than its field", hexBytes("50 00 00 06 51 00 00 02 00 00"), 0},
        {"application context beyond the PDU", hexBytes("10 00 00 30 31 32"), 0},
        {"item header cut by the PDU end", hexBytes("21 00"), 0},
    };
    for (const Case& c : cases) {
        AAssociateAC ac;
        auto outcome = readAccept(ac, acceptPdu(c.items));
        EXPECT_FALSE(outcome.ok) << c.what;
        EXPECT_EQ(outcome.next, 0xEE) << c.what;
        EXPECT_EQ(ac.PresContextAccepts.size(), c.listed) << c.what;
    }
    EXPECT_TRUE(logged("ERROR, PresentationContextAccept::Read, length 64 beyond enclosing item"));
    EXPECT_TRUE(logged("ERROR, UserInformation::ReadDynamic, sub-item length 8 beyond item"));
}

TEST_F(AssociationTest, AcceptItemsWithNoneOrSeveralTransferSyntaxesStayInStep) {
    auto none = hexBytes("21 00 00 04 01 00 00 00");
    auto several =
        cat({hexBytes("21 00 00 30 03 00 00 00"), hexBytes("40 00 00 11"),
             text("1.2.840.10008.1.2"), hexBytes("40 00 00 13"), text("1.2.840.10008.1.2.1")});
    AAssociateAC ac;
    auto outcome =
        readAccept(ac, acceptPdu(cat({none, several, acceptItem(5, 0, "1.2.840.10008.1.2.1")})));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.next, 0xEE);
    ASSERT_EQ(ac.PresContextAccepts.size(), 3u);
    EXPECT_EQ(ac.PresContextAccepts[0].TrnSyntax.UID, "");
    EXPECT_EQ(ac.PresContextAccepts[1].TrnSyntax.UID, "1.2.840.10008.1.2");
    EXPECT_EQ(ac.PresContextAccepts[2].PresentationContextID, 5);
}

TEST_F(AssociationTest, LongUidIsCutTo64WhileItsBytesAreConsumed) {
    std::string longUid(100, '7');
    AAssociateAC ac;
    auto outcome =
        readAccept(ac, acceptPdu(cat({acceptItem(1, 0, longUid), acceptItem(3, 0, "1.2")})));
    EXPECT_TRUE(outcome.ok);
    ASSERT_EQ(ac.PresContextAccepts.size(), 2u);
    EXPECT_EQ(ac.PresContextAccepts[0].TrnSyntax.UID, std::string(64, '7'));
    EXPECT_EQ(ac.PresContextAccepts[1].TrnSyntax.UID, "1.2");
}

TEST_F(AssociationTest, PduLengthBelowTheFixedFieldsIsRefused) {
    AAssociateAC ac;
    auto outcome = readAccept(ac, hexBytes("00 00 00 00 02 01 02"));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.next, 0xEE);
}

TEST_F(AssociationTest, RejectIsReadAndEveryTruncationFails) {
    auto reject =
        hexBytes("00 00 00 00 04 00 01 01 07"); // reserved, length 4, -, result, source, reason
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(reject);
    AAssociateRJ rj;
    ASSERT_TRUE(rj.Read(link));
    EXPECT_EQ(rj.Result, 1);
    EXPECT_EQ(rj.Source, 1);
    EXPECT_EQ(rj.Reason, 7);
    for (std::size_t n = 0; n < reject.size(); ++n) {
        Buffer cut;
        cut.SetReadOrder(Buffer::BigEndian);
        cut.Supply(reject.data(), static_cast<std::uint32_t>(n));
        AAssociateRJ partial;
        EXPECT_FALSE(partial.Read(cut)) << n;
    }
}

TEST_F(AssociationTest, RequestReadBackGivesTheProposedContext) {
    // The request as a peer would send it, read through the request reader (type byte taken).
    AAssociateRQ sent = echoRequest("ANY-SCP", "ECHOSCU");
    auto bytes = sendToPeer(sent, 198);
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(bytes.data() + 1, static_cast<std::uint32_t>(bytes.size() - 1));
    AAssociateRQ rq;
    ASSERT_TRUE(rq.Read(link));
    ASSERT_EQ(rq.PresContexts.size(), 1u);
    EXPECT_EQ(rq.PresContexts[0].AbsSyntax.UID, "1.2.840.10008.1.1");
    ASSERT_EQ(rq.PresContexts[0].TrnSyntax.size(), 1u);
    EXPECT_EQ(rq.PresContexts[0].TrnSyntax[0].UID, "1.2.840.10008.1.2");
    EXPECT_EQ(rq.UserInfo.ImpVersion.UID, "Mondevalier");
    EXPECT_EQ(link.Available(), 0u);
}

} // namespace

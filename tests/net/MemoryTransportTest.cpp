#include "Buffer.h"
#include "PDU_Service.h"

#include "LogFixture.h"
#include "MemoryTransport.h"
#include "ScriptedPeer.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using testsupport::MemoryTransport;
using testsupport::UseMemoryTransport;

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    return bytes;
}

class MemoryTransportTest : public LogFixture {};

TEST_F(MemoryTransportTest, ReadsAreCappedAndFollowTheScript) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.readSize = 1;
    link.Supply(counting(5));
    link.Supply(counting(3));
    std::vector<std::uint8_t> got(8);
    ASSERT_TRUE(buffer.Read(got.data(), 8));
    EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 1, 2, 3}));
    EXPECT_EQ(link.Reads(), 8);
    EXPECT_EQ(link.Unread(), 0u);

    // A read never spans two scripted segments, as a socket read never spans two arrivals.
    Buffer whole;
    MemoryTransport& uncapped = UseMemoryTransport(whole);
    uncapped.Supply(counting(5));
    uncapped.Supply(counting(3));
    ASSERT_TRUE(whole.Read(got.data(), 8));
    EXPECT_EQ(uncapped.Reads(), 2);
}

TEST_F(MemoryTransportTest, ExhaustedInputReadsAsATimeOutAndCloses) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.Supply(counting(2));
    std::uint32_t value = 0;
    EXPECT_FALSE(buffer.ReadU32(value));
    EXPECT_FALSE(link.IsConnected());
}

TEST_F(MemoryTransportTest, RemoteCloseIsInputWaitingThenAFailedRead) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.Supply(counting(2));
    link.CloseRemote();
    std::uint16_t value = 0;
    ASSERT_TRUE(buffer.ReadU16(value));
    EXPECT_TRUE(link.InputWaiting());
    EXPECT_FALSE(buffer.ReadU16(value));
    EXPECT_FALSE(link.IsConnected());
    EXPECT_FALSE(link.InputWaiting());
}

TEST_F(MemoryTransportTest, GatedInputWaitsForTheOutput) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.SupplyAfterOutput(4, counting(1));
    EXPECT_FALSE(link.InputWaiting());
    buffer << std::uint16_t{7};
    ASSERT_TRUE(buffer.Flush());
    EXPECT_FALSE(link.InputWaiting());
    buffer << std::uint16_t{8};
    ASSERT_TRUE(buffer.Flush());
    EXPECT_TRUE(link.InputWaiting());
    std::uint8_t value = 0;
    EXPECT_TRUE(buffer.ReadU8(value));
    EXPECT_EQ(value, 1);
}

TEST_F(MemoryTransportTest, WritesAreCutIntoPiecesAndCaptured) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.writeSize = 2;
    buffer.Write(counting(5).data(), 5);
    ASSERT_TRUE(buffer.Flush());
    EXPECT_EQ(link.Output(), counting(5));
    EXPECT_EQ(link.WritePieces(), 3);
    EXPECT_EQ(link.Sends(), std::vector<int>{5});
}

// The first piece that fails fails its send: what went before stays sent, the queue is
// emptied all the same, and the next flush starts on an empty queue.
TEST_F(MemoryTransportTest, FailingWritePieceFailsTheFlushAndEmptiesTheQueue) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.writeSize = 2;
    link.FailOn(2, MemoryTransport::Op::Write);
    buffer.Write(counting(5).data(), 5);
    EXPECT_FALSE(buffer.Flush());
    EXPECT_EQ(link.Output(), counting(2));
    EXPECT_TRUE(link.Sends().empty());
    EXPECT_EQ(buffer.Queued(), 0u);
    EXPECT_TRUE(logged("ERROR, Buffer::Flush, failed socket::SendBinary"));
    EXPECT_TRUE(buffer.Flush());
}

TEST_F(MemoryTransportTest, FailingReadResetsTheLink) {
    Buffer buffer;
    MemoryTransport& link = UseMemoryTransport(buffer);
    link.readSize = 1;
    link.Supply(counting(4));
    link.FailOn(3); // reads and writes counted together
    std::uint32_t value = 0;
    EXPECT_FALSE(buffer.ReadU32(value));
    EXPECT_EQ(link.Reads(), 3);
    EXPECT_FALSE(link.IsConnected());
    EXPECT_TRUE(logged("ERROR, Buffer::ReadBlock, Error from ReadBinary()"));
}

// A-ASSOCIATE-AC for context 1 with explicit VR little endian and a maximum length of 32768.
std::vector<std::uint8_t> explicitAccept() {
    return hexBytes(R"(
        02 00  00 00 00 88        // A-ASSOCIATE-AC, reserved, PDU length 136
        00 01  00 00              // protocol version 1, reserved
        72 65 6d 6f 74 65 20 20 20 20 20 20 20 20 20 20   // called title "remote"
        6c 6f 63 61 6c 20 20 20 20 20 20 20 20 20 20 20   // calling title "local"
        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00   // reserved, 32 bytes
        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
        10 00  00 15  31 2e 32 2e 38 34 30 2e 31 30 30 30 38 2e 33 2e 31 2e 31 2e 31
                                  // application context 1.2.840.10008.3.1.1.1
        21 00  00 1b  01 00 00 00 // presentation context 1, accepted
        40 00  00 13  31 2e 32 2e 38 34 30 2e 31 30 30 30 38 2e 31 2e 32 2e 31
                                  // transfer syntax 1.2.840.10008.1.2.1
        50 00  00 08              // user information
        51 00  00 04  00 00 80 00 // maximum length 32768
    )");
}

void proposeVerification(PDU_Service& service) {
    PresentationContext context(1);
    context.SetAbstractSyntax("1.2.840.10008.1.1");
    context.AddTransferSyntax(ExplicitLittleEndian);
    service.request.AddPresentationContext(std::move(context));
}

TEST_F(MemoryTransportTest, ConnectFillsTheNegotiatedRecord) {
    PDU_Service service;
    MemoryTransport& link = UseMemoryTransport(service.link);
    proposeVerification(service);
    link.SupplyAfterOutput(1, explicitAccept());
    ASSERT_TRUE(service.Connect("somewhere", "104"));
    EXPECT_EQ(link.Host(), "somewhere");
    EXPECT_EQ(link.Output().at(0), PduType::AssociateRQ);
    EXPECT_EQ(link.Sends().size(), 1u);
    EXPECT_EQ(link.DeadlinesStarted(), 1);
    const Negotiated& agreed = service.Negotiation();
    EXPECT_EQ(agreed.contextID, 1);
    EXPECT_EQ(agreed.transferSyntax, ExplicitLittleEndian);
    EXPECT_EQ(agreed.peerMaximumLength, 32768u);
    EXPECT_EQ(service.data.PresentationContextID, 1);

    // A second connect that fails leaves nothing agreed.
    link.connectSucceeds = false;
    EXPECT_FALSE(service.Connect("somewhere", "104"));
    EXPECT_EQ(service.Negotiation().contextID, 0);
    EXPECT_TRUE(service.Negotiation().transferSyntax.empty());
}

} // namespace

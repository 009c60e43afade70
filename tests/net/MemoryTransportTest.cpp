#include "Buffer.h"
#include "ByteOrder.h"
#include "PDU_Service.h"

#include "LogFixture.h"
#include "MemoryTransport.h"
#include "PduVectors.h"
#include "ScriptedPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <optional>

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

std::vector<std::uint8_t> explicitAccept() {
    return pduvectors::associateAC(ExplicitLittleEndian, 0, "remote", 32768);
}

void proposeVerification(PDU_Service& service) {
    PresentationContext context(1);
    context.SetAbstractSyntax("1.2.840.10008.1.1");
    context.AddTransferSyntax(ExplicitLittleEndian);
    context.AddTransferSyntax(ImplicitLittleEndian);
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

// Fault injection, one case per write piece or per offset. Each case runs on a fresh service
// over a fresh transport; what a fault-free run sends is the reference.
class FaultTest : public LogFixture {
protected:
    struct Run {
        PDU_Service service;
        MemoryTransport* link = nullptr;
        bool connected = false;
    };
    // Connects over a memory transport prepared by setUp; the accept comes once the request
    // is out.
    static std::unique_ptr<Run> connect(const std::function<void(MemoryTransport&)>& setUp,
                                        const std::vector<std::uint8_t>& accept) {
        auto run = std::make_unique<Run>();
        run->link = &UseMemoryTransport(run->service.link);
        proposeVerification(run->service);
        run->link->SupplyAfterOutput(1, accept);
        setUp(*run->link);
        run->connected = run->service.Connect("peer", "104");
        return run;
    }
};

// The request goes out in several sends, one per item; a failure in any of them ends the
// attempt before the answer is read, and what went out is the request's beginning.
TEST_F(FaultTest, FailureAtEveryWriteOfTheAssociateRequest) {
    auto reference = connect([](MemoryTransport& t) { t.writeSize = 1; }, explicitAccept());
    ASSERT_TRUE(reference->connected);
    const std::vector<std::uint8_t> request = reference->link->Output();
    ASSERT_EQ(request.size(), 221u);
    for (int k = 1; k <= static_cast<int>(request.size()); ++k) {
        auto run = connect(
            [k](MemoryTransport& t) {
                t.writeSize = 1;
                t.FailOn(k, MemoryTransport::Op::Write);
            },
            explicitAccept());
        const std::vector<std::uint8_t>& sent = run->link->Output();
        EXPECT_FALSE(run->connected) << k;
        ASSERT_EQ(sent.size(), static_cast<std::size_t>(k - 1)) << k;
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), request.begin())) << k;
        EXPECT_EQ(run->service.Negotiation().contextID, 0) << k;
        EXPECT_EQ(run->link->Reads(), 0) << k;
    }
    EXPECT_TRUE(logged("ERROR, Association RQ failed!"));
}

// A data set cut into several PDUs by a small peer maximum; every write piece fails once.
TEST_F(FaultTest, FailureAtEveryWriteOfAStoreDataSet) {
    DcmObj dataSet;
    std::vector<std::uint8_t> pixels(200, 0x5A);
    dataSet.AddValue(0x7FE0, 0x0010, static_cast<std::uint32_t>(pixels.size()), pixels.data());
    auto accept = pduvectors::associateAC(ImplicitLittleEndian, 0, "remote", 64);

    auto reference = connect([](MemoryTransport& t) { t.writeSize = 7; }, accept);
    ASSERT_TRUE(reference->connected);
    const std::size_t requestBytes = reference->link->Output().size();
    const int requestPieces = reference->link->WritePieces();
    ASSERT_TRUE(reference->service.Write(dataSet, 0));
    const std::vector<std::uint8_t> all = reference->link->Output();
    const int pieces = reference->link->WritePieces() - requestPieces;
    // 208 bytes of data set in PDVs of at most 58: four PDUs.
    EXPECT_EQ(all.size() - requestBytes, 208u + 4 * 12);
    ASSERT_GT(pieces, 30);

    for (int k = 1; k <= pieces; ++k) {
        auto run = connect([](MemoryTransport& t) { t.writeSize = 7; }, accept);
        ASSERT_TRUE(run->connected) << k;
        run->link->FailOn(requestPieces + k, MemoryTransport::Op::Write);
        EXPECT_FALSE(run->service.Write(dataSet, 0)) << k;
        // A message cut short leaves nothing to release: the link is closed at once.
        EXPECT_FALSE(run->service.IsConnected()) << k;
        const std::vector<std::uint8_t>& sent = run->link->Output();
        ASSERT_LT(sent.size(), all.size()) << k;
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), all.begin())) << k;
        EXPECT_EQ(run->link->Unread(), 0u) << k;
    }
}

// An accept cut short by a close at any offset says nothing sure of what the peer accepted:
// the connect fails and nothing is agreed.
TEST_F(FaultTest, FarEndClosingAtEveryOffsetOfTheAccept) {
    const std::vector<std::uint8_t> accept = explicitAccept();
    for (std::size_t k = 0; k < accept.size(); ++k) {
        std::vector<std::uint8_t> part(accept.begin(), accept.begin() + static_cast<long>(k));
        auto run = connect([](MemoryTransport& t) { t.CloseRemote(); }, part);
        EXPECT_FALSE(run->connected) << k;
        EXPECT_FALSE(run->link->IsConnected()) << k;
        EXPECT_EQ(run->service.Negotiation().contextID, 0) << k;
        DcmObj command;
        command.AddValue(0x0000, 0x0100, 2, "\x30\x00");
        EXPECT_FALSE(run->service.Write(command, 1)) << k;
    }
}

// Every PDU kind the requesting side reads, delivered one byte per read, ends exactly as when
// it arrives whole: the same result, the same bytes sent back, the same state of the link.
TEST_F(FaultTest, ByteAtATimeReadsOfEveryPduType) {
    struct Outcome {
        bool result = false;
        std::vector<std::uint8_t> sent;
        bool connected = false;
        std::uint16_t command = 0;
        bool operator==(const Outcome&) const = default;
    };
    auto afterConnect = [](const std::vector<std::uint8_t>& accept,
                           const std::vector<std::uint8_t>& next, std::size_t readSize) {
        Outcome outcome;
        PDU_Service service;
        MemoryTransport& link = UseMemoryTransport(service.link);
        link.readSize = readSize;
        proposeVerification(service);
        link.SupplyAfterOutput(1, accept);
        link.Supply(next);
        outcome.result = service.Connect("peer", "104");
        if (outcome.result && !next.empty()) {
            DcmObj message;
            outcome.result = service.Read(message);
            outcome.command = message.GetUShort(0x0000, 0x0100);
        }
        outcome.sent = link.Output();
        outcome.connected = link.IsConnected();
        return outcome;
    };
    const auto accept = pduvectors::associateAC(ImplicitLittleEndian);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> accept;
        std::vector<std::uint8_t> next;
        bool result;
    };
    const std::vector<Case> cases = {
        {"A-ASSOCIATE-AC", accept, {}, true},
        {"A-ASSOCIATE-AC, refused context",
         pduvectors::associateAC(ImplicitLittleEndian, 3),
         {},
         false},
        {"A-ASSOCIATE-RJ", pduvectors::associateRJ(), {}, false},
        {"P-DATA-TF", accept, pduvectors::pdata(3, pduvectors::echoResponseCommand()), true},
        {"A-RELEASE-RQ", accept, pduvectors::releaseRQ(), false},
        {"A-RELEASE-RP", accept, pduvectors::releaseRP(), false},
        {"A-ABORT", accept, pduvectors::abortPdu(), false},
    };
    for (const Case& c : cases) {
        Outcome whole = afterConnect(c.accept, c.next, MemoryTransport::Unlimited);
        Outcome dripped = afterConnect(c.accept, c.next, 1);
        EXPECT_EQ(whole.result, c.result) << c.name;
        EXPECT_TRUE(dripped == whole) << c.name;
    }
    EXPECT_EQ(
        afterConnect(accept, pduvectors::pdata(3, pduvectors::echoResponseCommand()), 1).command,
        0x8030);
}

} // namespace

namespace {

// True when items of type, reserved, 16-bit length and body fill bytes from `at` exactly.
bool itemsFill(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    while (at < bytes.size()) {
        const auto length = ByteOrder::Read16(bytes, at + 2, ByteOrder::Big);
        if (!length || bytes.size() - at - 4 < *length)
            return false;
        at += 4u + *length;
    }
    return at == bytes.size();
}

PresentationContext twoSyntaxContext() {
    PresentationContext context(3);
    context.SetAbstractSyntax("1.2.840.10008.1.1");
    context.AddTransferSyntax(ExplicitLittleEndian);
    context.AddTransferSyntax(ImplicitLittleEndian);
    return context;
}

UserInformation userInformation(const std::string& userName) {
    UserInformation info;
    info.SetMaximumLength(16384);
    info.SetImpClass("1.2.3.45");
    info.SetImpVersion("VERSION_1");
    if (!userName.empty())
        info.SetUserIdentity(userName, "secret");
    return info;
}

std::function<std::uint32_t(Buffer&)> writeUserInformation(const std::string& userName) {
    return [userName](Buffer& link) {
        UserInformation info = userInformation(userName);
        const std::uint32_t size = info.Size();
        info.Write(link);
        return size;
    };
}

// One message of `bytes` bytes in one PDU.
std::function<std::uint32_t(Buffer&)> writeData(std::uint32_t blockSize, std::size_t bytes) {
    return [blockSize, bytes](Buffer& link) {
        PDataTF data;
        data.PresentationContextID = 1;
        data.BlockSize = blockSize;
        data.VRBuffer.Write(counting(bytes).data(), static_cast<std::uint32_t>(bytes));
        data.Write(link);
        return data.PDVItemLength + 4 + 6;
    };
}

template <class Pdu> std::uint32_t writeFixed(Buffer& link) {
    Pdu pdu;
    pdu.Write(link);
    return pdu.PDULength + 6;
}

} // namespace

// Every length this side counts by hand before it writes: the counted size is the bytes that
// went out, the length field agrees, and the sub-items of the body add up to it.
TEST_F(MemoryTransportTest, EveryCountedSizeIsTheBytesWritten) {
    struct Row {
        const char* name;
        std::size_t lengthWidth;                     // 2 for an item, 4 for a PDU
        std::size_t subItemsAt;                      // where a body of sub-items starts; 0 for none
        std::function<std::uint32_t(Buffer&)> write; // writes, returns the counted size
    };
    const std::vector<Row> rows = {
        {"application context", 2, 0,
         [](Buffer& link) {
             UIDitem item(ItemCode::ApplicationContext);
             item.Set("1.2.840.10008.3.1.1.1");
             item.Write(link);
             return item.Size();
         }},
        {"presentation context", 2, 8,
         [](Buffer& link) {
             PresentationContext context = twoSyntaxContext();
             const std::uint32_t size = context.Size();
             context.Write(link);
             return size;
         }},
        {"user information", 2, 4, writeUserInformation("")},
        {"user information with identity", 2, 4, writeUserInformation("someone")},
        {"A-ASSOCIATE-RQ", 4, AssociateHeaderLength + 6,
         [](Buffer& link) {
             AAssociateRQ request;
             request.SetCalledApTitle("CALLED");
             request.SetCallingApTitle("CALLING");
             request.SetApplicationContext("1.2.840.10008.3.1.1.1");
             request.AddPresentationContext(twoSyntaxContext());
             request.AddPresentationContext(twoSyntaxContext());
             request.UserInfo = userInformation("someone");
             request.Write(link);
             return request.PDULength + 6;
         }},
        {"P-DATA-TF", 4, 0, writeData(0, 11)},
        {"P-DATA-TF, peer maximum 0", 4, 0, writeData(0u - 6u, 70000)},
        {"A-RELEASE-RQ", 4, 0, writeFixed<AReleaseRQ>},
        {"A-RELEASE-RP", 4, 0, writeFixed<AReleaseRP>},
        {"A-ABORT", 4, 0, writeFixed<AAbortRQ>},
    };
    for (const Row& row : rows) {
        Buffer link;
        link.SetWriteOrder(Buffer::BigEndian);
        MemoryTransport& transport = UseMemoryTransport(link);
        const std::uint32_t counted = row.write(link);
        const std::vector<std::uint8_t>& out = transport.Output();
        EXPECT_EQ(counted, out.size()) << row.name;
        std::optional<std::uint32_t> field = ByteOrder::Read32(out, 2, ByteOrder::Big);
        if (row.lengthWidth == 2)
            field = ByteOrder::Read16(out, 2, ByteOrder::Big);
        ASSERT_TRUE(field) << row.name;
        EXPECT_EQ(*field + 2 + row.lengthWidth, out.size()) << row.name;
        if (row.subItemsAt != 0) {
            EXPECT_TRUE(itemsFill(out, row.subItemsAt)) << row.name;
        }
    }
}

#include "Log.h"
#include "PDataTF.h"
#include "ReleasePDUs.h"
#include "ScriptedPeer.h"

#include "LogFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

class DataTransferTest : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        link.SetReadOrder(Buffer::BigEndian);
        link.SetWriteOrder(Buffer::BigEndian);
    }
    // Runs a write against a loopback peer that captures the given number of bytes.
    template <class WriteFn> std::vector<std::uint8_t> capture(std::size_t n, WriteFn write) {
        ScriptedPeer peer({ScriptedPeer::Expect(n)});
        EXPECT_TRUE(link.Link().Connect("127.0.0.1", peer.PortText()));
        EXPECT_TRUE(write());
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        link.Link().Close();
        return peer.Received();
    }
    Buffer link;
};

struct Pdu {
    std::uint32_t pduLength, itemLength;
    std::uint8_t context, header;
    std::size_t valueBytes;
};

// Splits P-DATA-TF PDUs of one PDV each, as this side writes them.
std::vector<Pdu> splitPdus(const std::vector<std::uint8_t>& bytes) {
    std::vector<Pdu> pdus;
    auto be32 = [&](std::size_t at) {
        return std::uint32_t{bytes[at]} << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
               bytes[at + 3];
    };
    for (std::size_t at = 0; at + 12 <= bytes.size();) {
        EXPECT_EQ(bytes[at], 0x04);
        Pdu p{be32(at + 2), be32(at + 6), bytes[at + 10], bytes[at + 11], 0};
        p.valueBytes = p.itemLength - 2;
        pdus.push_back(p);
        at += 6 + p.pduLength;
    }
    return pdus;
}

std::vector<std::uint8_t> message(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 253);
    return bytes;
}

TEST_F(DataTransferTest, DataSetIsCutIntoPdusOfTheBlockSize) {
    PDataTF pdata;
    auto data = message(40000);
    pdata.VRBuffer.Write(data.data(), 40000);
    pdata.PresentationContextID = 3;
    pdata.MessageControlHeader = 0;
    pdata.BlockSize = 16378;
    auto sent = capture(40000 + 3 * 12, [&] { return pdata.Write(link); });
    auto pdus = splitPdus(sent);
    ASSERT_EQ(pdus.size(), 3u);
    std::size_t values[] = {16378, 16378, 7244};
    std::uint8_t headers[] = {0x00, 0x00, 0x02};
    std::vector<std::uint8_t> joined;
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pdus[i].valueBytes, values[i]);
        EXPECT_EQ(pdus[i].pduLength, values[i] + 6);
        EXPECT_EQ(pdus[i].context, 3);
        EXPECT_EQ(pdus[i].header, headers[i]);
        joined.insert(joined.end(), sent.begin() + at + 12, sent.begin() + at + 12 + values[i]);
        at += 12 + values[i];
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(pdata.VRBuffer.Queued(), 0u);
    EXPECT_EQ(pdata.PDULength, 0u);
}

TEST_F(DataTransferTest, ShortCommandGoesOutAsOnePdu) {
    PDataTF pdata;
    auto command = message(60);
    pdata.VRBuffer.Write(command.data(), 60);
    pdata.PresentationContextID = 1;
    pdata.MessageControlHeader = 1;
    pdata.BlockSize = 16378;
    auto sent = capture(72, [&] { return pdata.Write(link); });
    auto expectedHeader = hexBytes("04 00 00 00 00 42  00 00 00 3E  01  03");
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.begin() + 12), expectedHeader);
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 12, sent.end()), command);
}

TEST_F(DataTransferTest, PeerMaximumOfZeroWarnsAndSendsOnePdu) {
    PDataTF pdata;
    pdata.VRBuffer.Write(message(20000).data(), 20000);
    pdata.PresentationContextID = 1;
    pdata.BlockSize = 0u - 6u; // a peer maximum of 0, less the PDV header
    auto pdus = splitPdus(capture(20012, [&] { return pdata.Write(link); }));
    EXPECT_TRUE(logged("WARNING, PDataTF::Write, BlockSize is too big: 4294967290"));
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0].header, 0x02);
}

TEST_F(DataTransferTest, EmptyMessageSendsNothingAndZeroBlockSizeMeans4096) {
    PDataTF pdata;
    EXPECT_TRUE(pdata.Write(link)); // not even connected: nothing to send
    pdata.VRBuffer.Write(message(5000).data(), 5000);
    pdata.BlockSize = 0;
    auto pdus = splitPdus(capture(5000 + 24, [&] { return pdata.Write(link); }));
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(pdus[0].valueBytes, 4096u);
    EXPECT_EQ(pdus[1].valueBytes, 904u);
}

TEST_F(DataTransferTest, FailedFragmentIsReported) {
    PDataTF pdata;
    pdata.VRBuffer.Write(message(10).data(), 10);
    EXPECT_FALSE(pdata.Write(link));
    EXPECT_TRUE(logged("ERROR, PDataTF::Write, failed Link.Flush"));
}

// A PDU (type byte taken) with the last command fragment and then the first data-set PDV.
const std::vector<std::uint8_t> twoPdvPdu = hexBytes(R"(
    00 00 00 00 14        // reserved, PDU length 20
    00 00 00 06 01 03     // PDV length 6, context 1, command, last
    AA BB CC DD
    00 00 00 06 01 00     // PDV length 6, context 1, data set, more to come
    11 22 33 44
)");

TEST_F(DataTransferTest, MessageEndingInsideAPduLeavesTheRestForTheNextRead) {
    link.Supply(twoPdvPdu);
    link.Supply(hexBytes("04 00 00 00 00 08 00 00 00 04 03 02 55 66")); // next PDU, data last
    PDataTF pdata;
    ASSERT_TRUE(pdata.ReadDynamic(link));
    EXPECT_EQ(pdata.MsgStatus, 1);
    EXPECT_EQ(pdata.PresentationContextID, 1);
    EXPECT_EQ(pdata.PDULength, 10u);
    std::uint8_t value[4];
    ASSERT_EQ(pdata.VRBuffer.Available(), 4u);
    pdata.VRBuffer.Read(value, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(value, value + 4), hexBytes("AA BB CC DD"));

    ASSERT_TRUE(pdata.ReadDynamic(link)); // continues the PDU without a new header
    EXPECT_EQ(pdata.MsgStatus, 0);
    EXPECT_EQ(pdata.PDULength, 0u);
    std::uint8_t type = 0;
    ASSERT_TRUE(link.ReadU8(type));
    EXPECT_EQ(type, 4);
    ASSERT_TRUE(pdata.ReadDynamic(link));
    EXPECT_EQ(pdata.MsgStatus, 1);
    EXPECT_EQ(pdata.PresentationContextID, 3);
    ASSERT_EQ(pdata.VRBuffer.Available(), 6u);
}

TEST_F(DataTransferTest, PdvLengthsOutOfTheirPduAreProtocolErrors) {
    std::vector<std::vector<std::uint8_t>> bad = {
        hexBytes("00 00 00 00 08  00 00 00 01 01 03 AA BB"), // item length below 2
        hexBytes("00 00 00 00 08  00 00 00 09 01 03 AA BB"), // item beyond the PDU
        hexBytes("00 00 00 00 04  00 00 00 02"),             // PDU too short for a PDV header
        hexBytes("00 00 00 00 0A  00 00 00 02 01 00  FF FF FF FF"), // second PDV header cut
    };
    for (const auto& pdu : bad) {
        Buffer in;
        in.SetReadOrder(Buffer::BigEndian);
        in.Supply(pdu);
        in.Supply(hexBytes("EE"));
        PDataTF pdata;
        EXPECT_FALSE(pdata.ReadDynamic(in));
        EXPECT_EQ(pdata.PDULength, 0u);
        EXPECT_EQ(pdata.VRBuffer.Available(), 0u);
        std::uint8_t next = 0;
        ASSERT_TRUE(in.ReadU8(next));
        EXPECT_EQ(next, 0xEE); // the next PDU type byte is read in step
    }
    EXPECT_TRUE(logged("ERROR, PDataTF::ReadDynamic, PDV item length 1 does not fit the PDU"));
}

TEST_F(DataTransferTest, EveryTruncationOfADataPduFailsCleanly) {
    for (std::size_t n = 0; n < twoPdvPdu.size(); ++n) {
        Buffer in;
        in.SetReadOrder(Buffer::BigEndian);
        in.Supply(twoPdvPdu.data(), static_cast<std::uint32_t>(n));
        PDataTF pdata;
        bool first = pdata.ReadDynamic(in);
        // Cut after the first, complete message: that message still completes; the rest fails.
        if (first)
            EXPECT_FALSE(pdata.ReadDynamic(in)) << n;
        else
            EXPECT_EQ(pdata.MsgStatus, 0) << n;
        EXPECT_TRUE(!first || n >= 15) << n;
    }
}

TEST_F(DataTransferTest, ReleaseAndAbortPdusAreByteExact) {
    AReleaseRQ rq;
    EXPECT_EQ(capture(10, [&] { return rq.Write(link); }),
              hexBytes("05 00 00 00 00 04 00 00 00 00"));
    AReleaseRP rp;
    EXPECT_EQ(capture(10, [&] { return rp.Write(link); }),
              hexBytes("06 00 00 00 00 04 00 00 00 00"));
    AAbortRQ abort;
    EXPECT_EQ(capture(10, [&] { return abort.Write(link); }),
              hexBytes("07 00 00 00 00 04 00 00 00 00")); // source 0 (service user), reason 0
}

TEST_F(DataTransferTest, ReleasePdusAreReadInStepWhateverTheirLength) {
    link.Supply(hexBytes("06 00 00 00 00 04 00 00 00 00"));    // reply, type byte included
    link.Supply(hexBytes("00 00 00 00 06 00 00 00 00 00 00")); // request of length 6, type taken
    link.Supply(hexBytes("EE"));
    AReleaseRP rp;
    EXPECT_TRUE(rp.Read(link));
    AReleaseRQ rq;
    EXPECT_TRUE(rq.Read(link));
    EXPECT_EQ(rq.PDULength, 6u);
    std::uint8_t next = 0;
    ASSERT_TRUE(link.ReadU8(next));
    EXPECT_EQ(next, 0xEE);
    Buffer cut;
    cut.Supply(hexBytes("06 00 00 00"));
    EXPECT_FALSE(rp.Read(cut));
}

} // namespace

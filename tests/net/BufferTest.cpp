#include "Buffer.h"
#include "Log.h"
#include "ScriptedPeer.h"

#include "LogFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// Points the log at a fresh file for one test and reads it back.
class BufferTest : public LogFixture {
protected:
    // Lengths of the blocks sent, from the traffic dump headers.
    std::vector<int> sentBlocks() const {
        std::vector<int> lengths;
        std::string text = logText();
        // Each record starts with the length right-aligned in 6 columns and " >> ".
        for (std::size_t at = text.find(" >> "); at != std::string::npos;
             at = text.find(" >> ", at + 4))
            if (at == 6 || (at >= 10 && text.compare(at - 10, 4, "\r\n\r\n") == 0))
                lengths.push_back(std::stoi(text.substr(at - 6, 6)));
        return lengths;
    }
    // Flushes the buffer to a loopback peer and returns what it received.
    std::vector<std::uint8_t> flushToPeer(Buffer& buffer) {
        ScriptedPeer peer({ScriptedPeer::Expect(buffer.Queued())});
        EXPECT_TRUE(buffer.Link().Connect("127.0.0.1", peer.PortText()));
        EXPECT_TRUE(buffer.Flush());
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        buffer.Link().Close();
        return peer.Received();
    }
};

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

TEST_F(BufferTest, TypedValuesFollowTheChosenByteOrder) {
    Buffer big;
    big.SetWriteOrder(Buffer::BigEndian);
    big << std::uint32_t{0x01020304} << std::uint16_t{0x0506} << std::uint8_t{7};
    EXPECT_EQ(flushToPeer(big), hexBytes("01 02 03 04  05 06  07"));

    Buffer little;
    little << std::uint32_t{0x01020304} << std::uint16_t{0x0506} << std::uint8_t{7};
    EXPECT_EQ(flushToPeer(little), hexBytes("04 03 02 01  06 05  07"));

    Buffer in;
    in.Supply(hexBytes("01 02 03 04 05 06 04 03 02 01 06 05"));
    in.SetReadOrder(Buffer::BigEndian);
    std::uint32_t v32 = 0;
    std::uint16_t v16 = 0;
    in >> v32 >> v16;
    EXPECT_EQ(v32, 0x01020304u);
    EXPECT_EQ(v16, 0x0506u);
    in.SetReadOrder(Buffer::LittleEndian);
    in >> v32 >> v16;
    EXPECT_EQ(v32, 0x01020304u);
    EXPECT_EQ(v16, 0x0506u);
}

TEST_F(BufferTest, ExactlyFullBlockLeavesAnEmptyBlockAndGoesOutInOneSend) {
    Buffer buffer;
    auto bytes = pattern(32600);
    buffer.Write(bytes.data(), 32600);
    EXPECT_EQ(buffer.OutgoingBlockCount(), 2u);
    EXPECT_EQ(buffer.Queued(), 32600u);
    CurrentLogLevel = 3;
    EXPECT_EQ(flushToPeer(buffer), bytes);
    EXPECT_EQ(sentBlocks(), std::vector<int>{32600});
}

TEST_F(BufferTest, LargeWriteIsSentBlockByBlockInOrder) {
    Buffer buffer;
    auto bytes = pattern(70000);
    // Written in uneven pieces so block boundaries fall inside writes.
    buffer.Write(bytes.data(), 1);
    buffer.Write(bytes.data() + 1, 40000);
    buffer.Write(bytes.data() + 40001, 29999);
    CurrentLogLevel = 3;
    EXPECT_EQ(flushToPeer(buffer), bytes);
    EXPECT_EQ(sentBlocks(), (std::vector<int>{32600, 32600, 4800}));
    EXPECT_EQ(buffer.Queued(), 0u);
    EXPECT_EQ(buffer.OutgoingBlockCount(), 0u);
}

TEST_F(BufferTest, FlushWithoutConnectionFailsAndStillEmptiesTheQueue) {
    Buffer buffer;
    buffer.Write(pattern(10).data(), 10);
    EXPECT_FALSE(buffer.Flush());
    EXPECT_EQ(buffer.Queued(), 0u);
    EXPECT_EQ(buffer.OutgoingBlockCount(), 0u);
    // The process's resident size in MB, which is never 0 for a running test.
    const std::string line = "ERROR, Buffer::Flush, failed socket::SendBinary, mem=";
    std::size_t at = logText().find(line);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(logText()[at + line.size()], '1');
    EXPECT_LE(logText()[at + line.size()], '9');
}

TEST_F(BufferTest, ReadAcrossBlocksConsumesFromTheOldestOn) {
    Buffer buffer;
    buffer.Supply(hexBytes("01 02 03"));
    buffer.Supply(hexBytes("04 05 06 07"));
    std::uint8_t area[5] = {};
    ASSERT_TRUE(buffer.Read(area, 5));
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + 5), hexBytes("01 02 03 04 05"));
    EXPECT_EQ(buffer.Available(), 2u);
    EXPECT_EQ(buffer.IncomingBlockCount(), 1u);
    ASSERT_TRUE(buffer.Read(area, 2));
    EXPECT_EQ(area[0], 6);
    EXPECT_EQ(area[1], 7);
    EXPECT_TRUE(buffer.Read(area, 0));
}

TEST_F(BufferTest, ReadBeyondWhatArrivesFailsAndKeepsTheBytes) {
    Buffer buffer;
    buffer.Supply(hexBytes("01 02 03"));
    std::uint8_t area[4];
    EXPECT_FALSE(buffer.Read(area, 4));
    EXPECT_EQ(buffer.Available(), 3u);
    std::string log = logText();
    EXPECT_NE(log.find("ERROR, Buffer::ReadBlock, Error from ReadBinary()"), std::string::npos);
    EXPECT_NE(log.find("ERROR, Buffer::Read, failed ReadBlock"), std::string::npos);
}

TEST_F(BufferTest, MoveOutRefusesMoreThanQueued) {
    Buffer source, target;
    source.Write(pattern(6).data(), 6);
    EXPECT_FALSE(source.MoveOut(target, 10));
    EXPECT_NE(logText().find("ERROR, Buffer::MoveOut, Outsize<Byte"), std::string::npos);
    EXPECT_EQ(source.Queued(), 6u);
    EXPECT_EQ(target.Queued(), 0u);
}

TEST_F(BufferTest, MoveOutTakesTheFrontAndKeepsTheRest) {
    Buffer source, target;
    source.SetWriteOrder(Buffer::BigEndian);
    auto bytes = pattern(40000);
    source.Write(bytes.data(), 40000);
    ASSERT_TRUE(source.MoveOut(target, 16378));
    EXPECT_EQ(source.Queued(), 40000u - 16378u);
    EXPECT_EQ(flushToPeer(target), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 16378));
    ASSERT_TRUE(source.MoveOut(target, 23622));
    EXPECT_EQ(flushToPeer(target), std::vector<std::uint8_t>(bytes.begin() + 16378, bytes.end()));
    EXPECT_EQ(source.Queued(), 0u);
}

TEST_F(BufferTest, MoveInGathersOneBlockOrFailsWithoutKeepingPart) {
    Buffer link, value;
    link.Supply(hexBytes("01 02"));
    link.Supply(hexBytes("03 04 05"));
    ASSERT_TRUE(value.MoveIn(link, 4));
    EXPECT_EQ(value.Available(), 4u);
    EXPECT_EQ(value.IncomingBlockCount(), 1u);
    EXPECT_EQ(link.Available(), 1u);
    EXPECT_FALSE(value.MoveIn(link, 3));
    EXPECT_NE(logText().find("ERROR, Buffer::MoveIn, in->Read"), std::string::npos);
    EXPECT_EQ(value.Available(), 4u);
}

TEST_F(BufferTest, DeclaredLengthAloneDoesNotAllocate) {
    // A peer that announces 4 GB and then closes must fail at once, not reserve 4 GB first.
    ScriptedPeer peer({ScriptedPeer::Send(pattern(100)), ScriptedPeer::Close()});
    Buffer link, value;
    ASSERT_TRUE(link.Link().Connect("127.0.0.1", peer.PortText()));
    EXPECT_FALSE(value.MoveIn(link, 0xFFFFFFF0u));
    EXPECT_FALSE(link.Skip(0xFFFFFFF0u));
    EXPECT_TRUE(peer.Finish());
}

TEST_F(BufferTest, BoundedReaderStopsAtItsLimitWithoutConsuming) {
    Buffer buffer;
    buffer.SetReadOrder(Buffer::BigEndian);
    buffer.Supply(hexBytes("00 05 41 42 43 44 45 99"));
    BoundedReader item(buffer, 7);
    std::uint16_t length = 0;
    ASSERT_TRUE(item.U16(length));
    ASSERT_EQ(length, 5u);
    BoundedReader body = item.Sub(length);
    std::string text;
    EXPECT_TRUE(body.Text(5, text, 3));
    EXPECT_EQ(text, "ABC");
    std::uint8_t byte = 0;
    EXPECT_FALSE(body.U8(byte));
    EXPECT_FALSE(item.U8(byte));
    EXPECT_EQ(buffer.Available(), 1u); // the byte past the limit is still there
    EXPECT_FALSE(item.LinkFailed());
}

} // namespace

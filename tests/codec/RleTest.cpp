#include "Rle.h"
#include "DcmObj.h"
#include "LogFixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

void putLE32(std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// An RLE frame whose segments are given already run-length coded.
std::vector<uint8_t> rleFrame(const std::vector<std::vector<uint8_t>>& codedSegments) {
    std::vector<uint8_t> frame(RleHeaderBytes, 0);
    putLE32(frame, 0, static_cast<uint32_t>(codedSegments.size()));
    for (std::size_t i = 0; i < codedSegments.size(); ++i) {
        putLE32(frame, 4 + 4 * i, static_cast<uint32_t>(frame.size()));
        frame.insert(frame.end(), codedSegments[i].begin(), codedSegments[i].end());
    }
    return frame;
}

// One literal run per segment: control byte n - 1 followed by the n bytes.
std::vector<uint8_t> literal(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> coded{static_cast<uint8_t>(bytes.size() - 1)};
    coded.insert(coded.end(), bytes.begin(), bytes.end());
    return coded;
}

class RleTest : public LogFixture {
protected:
    std::vector<uint8_t> decode(const std::string& photometric, const std::vector<uint8_t>& frame,
                                std::size_t frameSize, int bitsAllocated = 8) {
        DcmObj ds;
        ds.photometric = photometric;
        std::vector<uint8_t> out(frameSize, 0xEE);
        ds.RleDecodeFrame(frame.data(), out.data(), frame.size(), frameSize, bitsAllocated);
        return out;
    }
};

TEST_F(RleTest, ControlByteMinus128IsANoOpAndMinus127WritesOneHundredTwentyEightCopies) {
    // 0x80: nothing; 0x81 0x07: 128 copies of 7; 0x01 0x0A 0x0B: two literals.
    const std::vector<uint8_t> seg{0x80, 0x81, 0x07, 0x80, 0x01, 0x0A, 0x0B};
    std::vector<uint8_t> scratch(130, 0xEE);
    RleDecodeSegment(seg.data(), seg.size(), scratch.data(), 0, seg.size(), 0, 130);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(scratch[i], 7) << i;
    EXPECT_EQ(scratch[128], 0x0A);
    EXPECT_EQ(scratch[129], 0x0B);
    EXPECT_FALSE(logged("overflow"));
}

TEST_F(RleTest, SegmentDecodesIntoItsOwnAreaOfTheScratchBuffer) {
    const std::vector<uint8_t> seg{0xFD, 0x05}; // 4 copies of 5
    std::vector<uint8_t> scratch(12, 0);
    RleDecodeSegment(seg.data(), seg.size(), scratch.data(), 0, seg.size(), 2, 4);
    EXPECT_EQ(scratch, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 5, 5, 5, 5}));
}

TEST_F(RleTest, ReplicateRunPastTheSegmentLengthIsAnOverflow) {
    // The segment is said to be 1 byte long, but its replicate run takes two.
    const std::vector<uint8_t> seg{0xFF, 0x09, 0xFF, 0x03};
    std::vector<uint8_t> scratch(4, 0);
    RleDecodeSegment(seg.data(), seg.size(), scratch.data(), 0, 1, 0, 4);
    EXPECT_EQ(scratch, (std::vector<uint8_t>{9, 9, 0, 0}));
    EXPECT_TRUE(logged("ERROR, overflow decoding RLE"));
}

TEST_F(RleTest, SixteenBitMonochromeTakesTheHighByteFromTheFirstSegment) {
    auto frame = rleFrame({literal({0x12, 0xAB}), literal({0x34, 0xCD})});
    auto out = decode("MONOCHROME2", frame, 4, 16);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x34, 0x12, 0xCD, 0xAB}));
}

TEST_F(RleTest, OneSegmentMonochromeIsCopied) {
    auto frame = rleFrame({literal({1, 2, 3, 4})});
    EXPECT_EQ(decode("MONOCHROME1", frame, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(decode("MONOCHROME2", frame, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(RleTest, ThreeSegmentRgbIsInterleaved) {
    auto frame = rleFrame({literal({1, 2, 3, 4}), literal({5, 6, 7, 8}), literal({9, 10, 11, 12})});
    EXPECT_EQ(decode("RGB", frame, 12),
              (std::vector<uint8_t>{1, 5, 9, 2, 6, 10, 3, 7, 11, 4, 8, 12}));
}

TEST_F(RleTest, WiderSamplesFollowTheMostSignificantSegmentFirst) {
    // 32-bit grey: four segments, most significant byte first.
    auto mono = rleFrame({literal({0x11}), literal({0x22}), literal({0x33}), literal({0x44})});
    EXPECT_EQ(decode("MONOCHROME2", mono, 4, 32), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    // 16-bit RGB: R high, R low, G high, G low, B high, B low.
    auto rgb = rleFrame(
        {literal({1}), literal({2}), literal({3}), literal({4}), literal({5}), literal({6})});
    EXPECT_EQ(decode("RGB", rgb, 6, 16), (std::vector<uint8_t>{2, 1, 4, 3, 6, 5}));
}

TEST_F(RleTest, YbrFullIsConvertedToRgbAndClamped) {
    // Grey (Y=100, Cb=Cr=128), then a pixel whose red goes above 255 and blue below 0.
    auto frame = rleFrame({literal({100, 255}), literal({128, 0}), literal({128, 255})});
    auto out = decode("YBR_FULL", frame, 6);
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 100);
    EXPECT_EQ(out[3], 255); // 255 + 1.402 * 127
    EXPECT_EQ(out[4], 208); // 255 + 0.344136 * 128 - 0.714136 * 127 = 208.35
    EXPECT_EQ(out[5], 28);  // 255 - 1.772 * 128 = 28.18
    auto dark = rleFrame({literal({0}), literal({128}), literal({0})});
    EXPECT_EQ(decode("YBR_FULL", dark, 3)[0], 0); // 0 + 1.402 * -128 clamps to 0
}

TEST_F(RleTest, UnsupportedCombinationsAreRefusedWithTheFormatMessage) {
    auto three = rleFrame({literal({1, 2}), literal({3, 4}), literal({5, 6})});
    EXPECT_EQ(decode("YBR_FULL_422", three, 6), std::vector<uint8_t>(6, 0xEE));
    EXPECT_TRUE(logged("ERROR, format not supported: segment_count=3, bitsa=8, "
                       "PhotometricInterpretation=YBR_FULL_422"));

    auto two = rleFrame({literal({1, 2}), literal({3, 4})});
    EXPECT_EQ(decode("RGB", two, 4, 16), std::vector<uint8_t>(4, 0xEE));
    EXPECT_TRUE(logged(
        "ERROR, format not supported: segment_count=2, bitsa=16, PhotometricInterpretation=RGB"));

    auto mono3 = rleFrame({literal({1}), literal({2}), literal({3})});
    EXPECT_EQ(decode("MONOCHROME2", mono3, 3), std::vector<uint8_t>(3, 0xEE));
}

TEST_F(RleTest, SegmentCountsOutsideTheHeaderAreRefused) {
    for (uint32_t count : {0u, 16u, 0xFFFFFFFFu}) {
        auto frame = rleFrame({literal({1, 2})});
        putLE32(frame, 0, count);
        EXPECT_EQ(decode("MONOCHROME2", frame, 2), std::vector<uint8_t>(2, 0xEE)) << count;
        EXPECT_TRUE(logged("segment_count=" + std::to_string(count)));
    }
}

TEST_F(RleTest, TruncatedFramesStayInsideFragmentAndFrame) {
    auto frame = rleFrame({literal({1, 2, 3, 4}), literal({5, 6, 7, 8}), literal({9, 10, 11, 12})});
    for (std::size_t n = 0; n < frame.size(); ++n) {
        // An exact-size copy so that the sanitizer sees any read past the fragment.
        std::vector<uint8_t> cut(frame.begin(), frame.begin() + n);
        decode("RGB", cut, 12);
    }
    EXPECT_TRUE(logged("fragment shorter than the RLE header"));
    EXPECT_TRUE(logged("offset outside the fragment") || logged("overflow decoding RLE"));
}

TEST_F(RleTest, SegmentOffsetsPointingAnywhereStayInside) {
    auto frame = rleFrame({literal({1, 2}), literal({3, 4})});
    for (uint32_t bad : {0u, 10u, 70u, 1000u, 0xFFFFFFFFu}) {
        auto f = frame;
        putLE32(f, 8, bad);
        decode("MONOCHROME2", f, 4, 16);
    }
    EXPECT_TRUE(logged("offset outside the fragment"));
}

TEST_F(RleTest, BitFlippedFramesNeverLeaveTheirBuffers) {
    std::vector<uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i / 7);
    auto frame = rleFrame({literal(std::vector<uint8_t>(data.begin(), data.begin() + 100)),
                           {0x9D, 0x42, 0x80, 0x7F, 1, 2, 3},
                           literal(std::vector<uint8_t>(data.begin() + 100, data.begin() + 200))});
    std::mt19937 random(6);
    for (int round = 0; round < 500; ++round) {
        auto f = frame;
        for (int k = 0; k < 3; ++k)
            f[random() % f.size()] ^= static_cast<uint8_t>(1 << (random() % 8));
        decode(round % 2 ? "RGB" : "YBR_FULL", f, 300);
    }
}

} // namespace

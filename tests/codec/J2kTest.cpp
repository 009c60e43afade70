#include "J2k.h"
#include "LogFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> picture(int w, int h, int c, int sampleBytes, unsigned mask, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> v(static_cast<std::size_t>(w) * h * c * sampleBytes);
    for (int i = 0; i < w * h * c; ++i) {
        unsigned s = ((i % (w * c)) * 5 + (i / (w * c)) * 3 + random() % 32) & mask;
        std::memcpy(&v[static_cast<std::size_t>(i) * sampleBytes], &s, sampleBytes);
    }
    return v;
}

class J2kTest : public LogFixture {};

TEST_F(J2kTest, LosslessRoundTripsAreExact) {
    struct Case {
        int w, h, c, bits, bytes;
    } cases[] = {{128, 96, 1, 8, 1}, {64, 64, 1, 16, 2}, {50, 40, 3, 8, 1}, {70, 30, 1, 12, 2}};
    for (const Case& k : cases) {
        auto pic = picture(k.w, k.h, k.c, k.bytes, (1u << k.bits) - 1, k.w);
        std::vector<uint8_t> stream;
        ASSERT_TRUE(J2kEncode(pic.data(), stream, k.w, k.h, k.c, k.bits, 0)) << k.w;
        // A raw codestream: start of codestream, then the image and tile size marker.
        ASSERT_GE(stream.size(), 4u);
        EXPECT_EQ(stream[0], 0xFF);
        EXPECT_EQ(stream[1], 0x4F);
        EXPECT_EQ(stream[2], 0xFF);
        EXPECT_EQ(stream[3], 0x51);
        std::vector<uint8_t> back(pic.size(), 0xEE);
        ASSERT_TRUE(J2kDecode(stream.data(), back.data(), stream.size(), back.size()));
        EXPECT_EQ(back, pic) << k.w << "x" << k.h << "x" << k.c << " bits " << k.bits;
    }
}

TEST_F(J2kTest, CodestreamCarriesTheComment) {
    auto pic = picture(32, 32, 1, 1, 255, 1);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(J2kEncode(pic.data(), stream, 32, 32, 1, 8, 0));
    const std::string text(stream.begin(), stream.end());
    EXPECT_NE(text.find("Created by OpenJPEG version 1.3"), std::string::npos);
}

TEST_F(J2kTest, RateTenGivesAboutATenthOfTheRawSize) {
    auto pic = picture(256, 256, 1, 2, 0xFFF, 3);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(J2kEncode(pic.data(), stream, 256, 256, 1, 16, 10));
    const double ratio = double(pic.size()) / stream.size();
    EXPECT_GT(ratio, 8.0);
    EXPECT_LT(ratio, 12.0);
    std::vector<uint8_t> back(pic.size());
    EXPECT_TRUE(J2kDecode(stream.data(), back.data(), stream.size(), back.size()));
}

TEST_F(J2kTest, TinyFramesEncode) {
    for (int side : {1, 2, 3, 17}) {
        auto pic = picture(side, side, 3, 1, 255, side);
        std::vector<uint8_t> stream;
        ASSERT_TRUE(J2kEncode(pic.data(), stream, side, side, 3, 8, 0)) << side;
        std::vector<uint8_t> back(pic.size());
        ASSERT_TRUE(J2kDecode(stream.data(), back.data(), stream.size(), back.size()));
        EXPECT_EQ(back, pic) << side;
    }
}

TEST_F(J2kTest, ImageThatCannotBeBuiltIsRefused) {
    std::vector<uint8_t> stream{1};
    uint8_t sample = 0;
    EXPECT_FALSE(J2kEncode(&sample, stream, 0, 1, 1, 8, 0));
    EXPECT_TRUE(stream.empty());
    EXPECT_FALSE(J2kEncode(&sample, stream, 1, 1, 1, 33, 0));
    EXPECT_TRUE(logged("ERROR, J2kEncode, cannot create the image"));
}

TEST_F(J2kTest, ImageLargerThanTheFrameIsRefusedAndTheFrameUntouched) {
    auto pic = picture(40, 40, 1, 1, 255, 4);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(J2kEncode(pic.data(), stream, 40, 40, 1, 8, 0));
    std::vector<uint8_t> small(40 * 39, 0xEE);
    EXPECT_FALSE(J2kDecode(stream.data(), small.data(), stream.size(), small.size()));
    EXPECT_EQ(small, std::vector<uint8_t>(40 * 39, 0xEE));
    EXPECT_TRUE(
        logged("ERROR, J2kDecode, image of 1600 bytes larger than the frame of 1560 bytes"));
}

TEST_F(J2kTest, TruncatedAndBitFlippedCodestreamsFailCleanly) {
    auto pic = picture(64, 48, 3, 1, 255, 5);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(J2kEncode(pic.data(), stream, 64, 48, 3, 8, 0));
    std::vector<uint8_t> out(pic.size());
    int failures = 0;
    for (std::size_t n = 0; n < stream.size(); n += 1 + n / 4) {
        std::vector<uint8_t> cut(stream.begin(), stream.begin() + n);
        failures += !J2kDecode(cut.data(), out.data(), cut.size(), out.size());
    }
    EXPECT_GT(failures, 5);
    EXPECT_TRUE(logged("ERROR, J2kDecode, "));
    std::mt19937 random(7);
    for (int round = 0; round < 150; ++round) {
        auto f = stream;
        for (int k = 0; k < 3; ++k)
            f[random() % f.size()] ^= static_cast<uint8_t>(1 << (random() % 8));
        J2kDecode(f.data(), out.data(), f.size(), out.size());
    }
}

} // namespace

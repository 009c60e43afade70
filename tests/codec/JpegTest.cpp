#include "Jpeg.h"
#include "JpegFrameHeader.h"
#include "LogFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

// A smooth gradient with some noise: compresses like a picture, not like a flat field.
std::vector<uint8_t> picture8(int w, int h, int c, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::vector<uint8_t> v(static_cast<std::size_t>(w) * h * c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < c; ++k)
                v[(static_cast<std::size_t>(y) * w + x) * c + k] =
                    static_cast<uint8_t>((x * (k + 1) + y * 2) / 3 % 200 + random() % 16);
    return v;
}

std::vector<uint8_t> picture16(int w, int h, int bits, unsigned seed = 2) {
    std::mt19937 random(seed);
    std::vector<uint8_t> v(static_cast<std::size_t>(w) * h * 2);
    const unsigned mask = (1u << bits) - 1;
    for (int i = 0; i < w * h; ++i) {
        uint16_t s = static_cast<uint16_t>(((i % w) * 37 + (i / w) * 11 + random() % 64) & mask);
        std::memcpy(&v[2 * i], &s, 2);
    }
    return v;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, double peak) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(peak * peak / (sum / a.size()));
}

double psnr16(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, double peak) {
    double sum = 0;
    std::size_t n = a.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        uint16_t x, y;
        std::memcpy(&x, &a[2 * i], 2);
        std::memcpy(&y, &b[2 * i], 2);
        sum += (double(x) - y) * (double(x) - y);
    }
    return sum == 0 ? 99 : 10 * std::log10(peak * peak / (sum / n));
}

// Rewrites the component identifiers of the frame and scan headers to 1, 2, 3 and drops the
// APP14 (Adobe) segment, leaving the decoder nothing but its guess about the colour space.
std::vector<uint8_t> withoutColourHints(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(in.begin(), in.begin() + 2);
    std::size_t i = 2;
    while (i + 4 <= in.size()) {
        uint8_t m = in[i + 1];
        std::size_t len = (std::size_t(in[i + 2]) << 8) | in[i + 3];
        std::vector<uint8_t> seg(in.begin() + i, in.begin() + i + 2 + len);
        if (m == 0xEE) {
            i += 2 + len;
            continue;
        }
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC)
            for (int k = 0; k < seg[9]; ++k)
                seg[10 + 3 * k] = static_cast<uint8_t>(k + 1);
        if (m == 0xDA) {
            for (int k = 0; k < seg[4]; ++k)
                seg[5 + 2 * k] = static_cast<uint8_t>(k + 1);
            out.insert(out.end(), seg.begin(), seg.end());
            out.insert(out.end(), in.begin() + i + 2 + len, in.end());
            return out;
        }
        out.insert(out.end(), seg.begin(), seg.end());
        i += 2 + len;
    }
    return out;
}

class JpegTest : public LogFixture {};

TEST_F(JpegTest, EncodeModesOtherThanLossyAndLosslessAreRefused) {
    auto pic = picture8(8, 8, 1);
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_EQ(JpegEncode8(8, 8, 1, pic.data(), out, 2), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(JpegEncode8(8, 8, 1, pic.data(), out, 1), -1);
    EXPECT_EQ(JpegEncode8(8, 8, 2, pic.data(), out, 0), -1);
    EXPECT_EQ(JpegEncode8(0, 8, 1, pic.data(), out, 0), -1);
}

TEST_F(JpegTest, EightBitGreyLossyDiffersOnlyByQuantisationAndLosslessIsExact) {
    auto pic = picture8(512, 512, 1);
    std::vector<uint8_t> lossy, lossless;
    ASSERT_EQ(JpegEncode8(512, 512, 1, pic.data(), lossy, EncoderLossy), 0);
    ASSERT_EQ(JpegEncode8(512, 512, 1, pic.data(), lossless, EncoderLossless), 0);
    // Both go through the staging buffer several times.
    EXPECT_GT(lossy.size(), 16384u);
    EXPECT_GT(lossless.size(), 3 * 16384u);
    EXPECT_EQ(lossy[0], 0xFF);
    EXPECT_EQ(lossy[1], 0xD8);
    EXPECT_EQ(lossy[lossy.size() - 2], 0xFF);
    EXPECT_EQ(lossy.back(), 0xD9);

    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode8(lossy.data(), back.data(), lossy.size(), back.size()), 0);
    EXPECT_NE(back, pic);
    EXPECT_GT(psnr(back, pic, 255), 30.0);
    ASSERT_EQ(JpegDecode8(lossless.data(), back.data(), lossless.size(), back.size()), 0);
    EXPECT_EQ(back, pic);
}

TEST_F(JpegTest, ColourLosslessIsExactAndCodedWithoutTransform) {
    auto pic = picture8(97, 61, 3);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(97, 61, 3, pic.data(), stream, EncoderLossless), 0);
    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode8(stream.data(), back.data(), stream.size(), back.size()), 0);
    EXPECT_EQ(back, pic);
}

TEST_F(JpegTest, ThreeComponentLosslessWithoutMarkersIsNotColourTransformed) {
    auto pic = picture8(40, 30, 3);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(40, 30, 3, pic.data(), stream, EncoderLossless), 0);
    auto bare = withoutColourHints(stream);
    ASSERT_LT(bare.size(), stream.size()); // the Adobe segment is gone
    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode8(bare.data(), back.data(), bare.size(), back.size()), 0);
    EXPECT_EQ(back, pic);
}

TEST_F(JpegTest, ThreeComponentLossyIsTransformedBackToRgbByTheLibrary) {
    auto pic = picture8(64, 48, 3);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(64, 48, 3, pic.data(), stream, EncoderLossy), 0);
    auto bare = withoutColourHints(stream);
    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode8(bare.data(), back.data(), bare.size(), back.size()), 0);
    // Coded as YCbCr: only the library's transform brings back values close to R, G, B.
    EXPECT_GT(psnr(back, pic, 255), 28.0);
}

TEST_F(JpegTest, NoChromaSubsamplingInColourLossy) {
    auto pic = picture8(16, 16, 3);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(16, 16, 3, pic.data(), stream, EncoderLossy), 0);
    // Baseline frame header SOF0: three components, each with sampling byte 0x11.
    const uint8_t marker[2] = {0xFF, 0xC0};
    auto sof = std::search(stream.begin(), stream.end(), marker, marker + 2);
    ASSERT_NE(sof, stream.end());
    EXPECT_EQ(sof[9], 3);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(sof[11 + 3 * k], 0x11) << k;
}

TEST_F(JpegTest, SixteenBitLosslessRoundTripIsExact) {
    auto pic = picture16(300, 200, 16);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode16(300, 200, 1, pic.data(), stream), 0);
    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode16(stream.data(), back.data(), stream.size(), back.size()), 0);
    EXPECT_EQ(back, pic);
    // The 12-bit entry point reads the same stream the same way.
    std::vector<uint8_t> again(pic.size());
    ASSERT_EQ(JpegDecode12(stream.data(), again.data(), stream.size(), again.size()), 0);
    EXPECT_EQ(again, pic);
}

TEST_F(JpegTest, TwelveBitLossyRoundTripIsClose) {
    auto pic = picture16(256, 128, 12);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode12(256, 128, 1, pic.data(), stream), 0);
    std::vector<uint8_t> back(pic.size());
    ASSERT_EQ(JpegDecode12(stream.data(), back.data(), stream.size(), back.size()), 0);
    EXPECT_GT(psnr16(back, pic, 4095), 35.0);
    // An 8-bit frame cannot hold it.
    std::vector<uint8_t> narrow(256 * 128);
    EXPECT_EQ(JpegDecode8(stream.data(), narrow.data(), stream.size(), narrow.size()), -1);
    EXPECT_TRUE(logged("ERROR, JpegDecode8, sample precision above 8 bits"));
}

TEST_F(JpegTest, EightBitStreamWidensIntoSixteenBitFrame) {
    auto pic = picture8(20, 10, 1);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(20, 10, 1, pic.data(), stream, EncoderLossless), 0);
    std::vector<uint8_t> wide(400);
    ASSERT_EQ(JpegDecode12(stream.data(), wide.data(), stream.size(), wide.size()), 0);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(wide[2 * i], pic[i]);
        ASSERT_EQ(wide[2 * i + 1], 0);
    }
}

TEST_F(JpegTest, ImageLargerThanTheFrameIsCutAtTheFrameEnd) {
    auto pic = picture8(64, 64, 1);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(64, 64, 1, pic.data(), stream, EncoderLossless), 0);
    // Exactly sized so that the sanitizer catches a write past it.
    std::vector<uint8_t> small(64 * 10 + 5);
    EXPECT_EQ(JpegDecode8(stream.data(), small.data(), stream.size(), small.size()), -1);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), pic.begin()));
    EXPECT_TRUE(logged("ERROR, JpegDecode8, image larger than the frame of 645 bytes, cut"));
}

TEST_F(JpegTest, TablesOnlyAndEmptyStreamsFail) {
    const std::vector<uint8_t> tablesOnly{0xFF, 0xD8, 0xFF, 0xD9};
    std::vector<uint8_t> out(16);
    EXPECT_EQ(JpegDecode8(tablesOnly.data(), out.data(), tablesOnly.size(), out.size()), -1);
    EXPECT_EQ(JpegDecode8(nullptr, out.data(), 0, out.size()), -1);
    EXPECT_TRUE(logged("ERROR, JpegDecode8, "));
}

TEST_F(JpegTest, TruncatedAndBitFlippedStreamsFailCleanly) {
    auto pic = picture8(48, 32, 3);
    std::vector<uint8_t> lossy, lossless;
    ASSERT_EQ(JpegEncode8(48, 32, 3, pic.data(), lossy, EncoderLossy), 0);
    ASSERT_EQ(JpegEncode8(48, 32, 3, pic.data(), lossless, EncoderLossless), 0);
    std::vector<uint8_t> out(pic.size());
    int failures = 0;
    for (const auto* s : {&lossy, &lossless}) {
        for (std::size_t n = 0; n < s->size(); n += 1 + n / 8) {
            std::vector<uint8_t> cut(s->begin(), s->begin() + n);
            failures += JpegDecode8(cut.data(), out.data(), cut.size(), out.size()) != 0;
        }
    }
    EXPECT_GT(failures, 20);
    EXPECT_TRUE(logged("WARNING, JpegDecode8, ") || logged("ERROR, JpegDecode8, "));

    std::mt19937 random(12);
    for (int round = 0; round < 300; ++round) {
        auto f = round % 2 ? lossy : lossless;
        for (int k = 0; k < 4; ++k)
            f[random() % f.size()] ^= static_cast<uint8_t>(1 << (random() % 8));
        JpegDecode8(f.data(), out.data(), f.size(), out.size());
        std::vector<uint8_t> wide(pic.size() * 2);
        JpegDecode16(f.data(), wide.data(), f.size(), wide.size());
    }
}

} // namespace

// The walker before the decoder: the fields of real streams of both processes, nothing from any
// cut short before the end of its frame header, and nothing from hostile segment lengths.
TEST(JpegFrameHeaderTest, ReadsRealStreamsAndRefusesCutOrHostileOnes) {
    std::vector<uint8_t> lossy, lossless;
    ASSERT_EQ(JpegEncode8(24, 10, 3, picture8(24, 10, 3).data(), lossy, EncoderLossy), 0);
    ASSERT_EQ(JpegEncode8(7, 5, 1, picture8(7, 5, 1).data(), lossless, EncoderLossless), 0);
    const auto a = ReadJpegFrameHeader(lossy);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->marker, 0xC0);
    EXPECT_EQ(a->precision, 8);
    EXPECT_EQ(a->rows, 10);
    EXPECT_EQ(a->columns, 24);
    EXPECT_EQ(a->components, 3);
    EXPECT_FALSE(a->lossless);
    const auto b = ReadJpegFrameHeader(lossless);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->marker, 0xC3);
    EXPECT_TRUE(b->lossless);
    EXPECT_EQ(b->rows * 100 + b->columns, 507);

    std::size_t sof = 2;
    while (!(lossy[sof] == 0xFF && lossy[sof + 1] == 0xC0))
        ++sof;
    const std::size_t end = sof + 2 + (lossy[sof + 2] << 8 | lossy[sof + 3]);
    for (std::size_t n = 0; n < end; ++n)
        EXPECT_FALSE(ReadJpegFrameHeader({lossy.data(), n})) << n;
    EXPECT_TRUE(ReadJpegFrameHeader({lossy.data(), end}));

    const std::vector<std::vector<uint8_t>> hostile = {
        {0xFF, 0xE0, 0xFF, 0xC0, 0x00, 0x0B},                         // no SOI
        {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xC0},             // length 0
        {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xC0},             // length 1
        {0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFF, 0x00},                   // past the end
        {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x07, 8, 0, 1, 0, 1, 1},       // SOF too short
        {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xC0, 0x00, 0x0B}, // scan first
    };
    for (const auto& stream : hostile)
        EXPECT_FALSE(ReadJpegFrameHeader(stream));
    std::vector<uint8_t> fill(64, 0xFF);
    fill[1] = 0xD8;
    EXPECT_FALSE(ReadJpegFrameHeader(fill));
}

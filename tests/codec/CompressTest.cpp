// DcmObj::Comp and the sample reductions: item layout, ratios, refusals, padding and failures.

#include "Compress.h"
#include "DcmObj.h"
#include "J2k.h"
#include "Jpeg.h"
#include "LogFixture.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using testsupport::littleEndianWords;

namespace {

int wordAt(const std::vector<uint8_t>& bytes, std::size_t i) {
    return bytes[2 * i] | bytes[2 * i + 1] << 8;
}

std::vector<uint8_t> gradient(std::size_t count, int seed) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed * 31 + (i / 13) * 3) & 0xFF);
    return bytes;
}

// A data set holding only a native pixel data element; returns its index.
int pixelDataSet(DcmObj& ds, std::size_t bytes) {
    ds.Append(std::make_unique<DcmTag>(0x0008, 0x0060, std::string("OT"), nullptr));
    ds.Append(
        std::make_unique<DcmTag>(0x7FE0, 0x0010, static_cast<uint32_t>(bytes), nullptr, "OW"));
    return 1;
}

class CompressTest : public LogFixture {};

// The reduction is chosen from the samples: values that fit stay, others lose the smallest
// value and the fewest low bits; the new rescale gives the modality values back.
TEST_F(CompressTest, ReductionFollowsTheSamples) {
    // CT: stored 0..3000, slope 1, intercept -1024: shift 4, the rescale becomes 16 and -1024.
    const std::vector<uint8_t> ct = littleEndianWords({0, 3000, 1500});
    SampleReduction r = ChooseReduction(ct.data(), ct.size(), 0, 1.0f, -1024.0f, 8);
    EXPECT_TRUE(r.applied);
    EXPECT_EQ(r.shift, 4);
    EXPECT_EQ(r.offset, 0);
    EXPECT_DOUBLE_EQ(r.slope, 16.0);
    EXPECT_DOUBLE_EQ(r.intercept, -1024.0);
    std::vector<uint8_t> out(3);
    ReduceTo8Bit(out.data(), ct.data(), 0, ct.size(), r);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 187, 93}));

    // An MR of 127..2145 without a rescale: offset 127, shift 3 (2018 / 8 fits 0..255).
    const std::vector<uint8_t> mr = littleEndianWords({127, 2145, 1000});
    r = ChooseReduction(mr.data(), mr.size(), 0, 1.0f, 0.0f, 8);
    EXPECT_EQ(r.shift, 3);
    EXPECT_EQ(r.offset, 127);
    EXPECT_DOUBLE_EQ(r.slope, 8.0);
    EXPECT_DOUBLE_EQ(r.intercept, 127.0);
    ReduceTo8Bit(out.data(), mr.data(), 0, mr.size(), r);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 252, 109}));

    // Signed values keep their sign through the offset; a slope scales the new rescale.
    const std::vector<uint8_t> phase = littleEndianWords({0xF000 /* -4096 */, 4095});
    r = ChooseReduction(phase.data(), phase.size(), 1, 0.5f, 10.0f, 12);
    EXPECT_EQ(r.shift, 1);
    EXPECT_EQ(r.offset, -4096);
    EXPECT_DOUBLE_EQ(r.slope, 1.0);
    EXPECT_DOUBLE_EQ(r.intercept, 10.0 - 2048.0);
    std::vector<uint8_t> words = phase;
    ReduceTo12Bit(words.data(), 1, words.size(), r);
    EXPECT_EQ(wordAt(words, 0), 0);
    EXPECT_EQ(wordAt(words, 1), 4095);

    // Values already in range are left alone.
    const std::vector<uint8_t> small = littleEndianWords({3, 200});
    EXPECT_FALSE(ChooseReduction(small.data(), small.size(), 0, 2.0f, 1.0f, 8).applied);
}

TEST_F(CompressTest, OneGreyFrameToJpegLossless) {
    DcmObj ds;
    const uint16_t rows = 16, columns = 16;
    std::vector<uint8_t> samples = gradient(rows * columns, 1);
    int index = pixelDataSet(ds, samples.size());
    float ratio = 0;
    ASSERT_TRUE(DcmObj::Comp(ds, index, samples.data(), false, columns, rows, 8, 8, 0, 0, 1, 0,
                             ratio, 1, "1.2.840.10008.1.2.4.70", "OT"));
    ASSERT_EQ(ds.Count(), 5);
    const DcmTag& pixel = *ds.TagAt(1);
    EXPECT_EQ(pixel.length, UndefinedLength);
    EXPECT_TRUE(pixel.IsVR("OB"));
    EXPECT_FALSE(pixel.data);
    EXPECT_TRUE(ds.TagAt(2)->Is(0xFFFE, 0xE000));
    EXPECT_EQ(ds.TagAt(2)->length, 0u);
    EXPECT_TRUE(ds.TagAt(3)->Is(0xFFFE, 0xE000));
    EXPECT_GT(ds.TagAt(3)->length, 0u);
    EXPECT_TRUE(ds.TagAt(3)->IsVR("DL"));
    EXPECT_TRUE(ds.TagAt(4)->Is(0xFFFE, 0xE0DD));
    EXPECT_EQ(index, 4);
    EXPECT_EQ(ratio, 0) << "lossless writes no ratio";

    std::vector<uint8_t> decoded(samples.size());
    ASSERT_EQ(
        JpegDecode8(ds.TagAt(3)->data.get(), decoded.data(), ds.TagAt(3)->length, decoded.size()),
        0);
    EXPECT_EQ(decoded, samples);
}

TEST_F(CompressTest, ThreeColourFramesToJpegBaseline) {
    DcmObj ds;
    const uint16_t rows = 8, columns = 12;
    const std::size_t frameBytes = rows * columns * 3;
    std::vector<uint8_t> samples;
    for (int f = 0; f < 3; ++f) {
        std::vector<uint8_t> frame(frameBytes, static_cast<uint8_t>(40 + 80 * f));
        samples.insert(samples.end(), frame.begin(), frame.end());
    }
    int index = pixelDataSet(ds, samples.size());
    float ratio = 0;
    ASSERT_TRUE(DcmObj::Comp(ds, index, samples.data(), true, columns, rows, 8, 8, 0, 0, 1, 0,
                             ratio, 3, "1.2.840.10008.1.2.4.50", "OT"));
    ASSERT_EQ(ds.Count(), 2 + 5);
    EXPECT_EQ(index, 6);
    uint64_t sum = 0;
    for (int f = 0; f < 3; ++f) {
        const DcmTag& item = *ds.TagAt(3 + f);
        sum += item.length;
        std::vector<uint8_t> decoded(frameBytes);
        ASSERT_EQ(JpegDecode8(item.data.get(), decoded.data(), item.length, decoded.size()), 0);
        EXPECT_NEAR(decoded[frameBytes / 2], 40 + 80 * f, 2) << "frame " << f << " in order";
    }
    EXPECT_FLOAT_EQ(ratio, static_cast<float>(3.0 * frameBytes / sum));
}

TEST_F(CompressTest, EveryFragmentHasEvenLength) {
    // Search a frame whose raw JPEG stream has odd length; the item gets one zero byte more.
    for (int seed = 0; seed < 64; ++seed) {
        std::vector<uint8_t> samples = gradient(10 * 10, seed);
        std::vector<uint8_t> raw;
        ASSERT_EQ(JpegEncode8(10, 10, 1, samples.data(), raw, EncoderLossless), 0);
        if (raw.size() % 2 == 0)
            continue;
        DcmObj ds;
        int index = pixelDataSet(ds, samples.size());
        float ratio = 0;
        ASSERT_TRUE(DcmObj::Comp(ds, index, samples.data(), false, 10, 10, 8, 8, 0, 0, 1, 0, ratio,
                                 1, "1.2.840.10008.1.2.4.70", "OT"));
        const DcmTag& item = *ds.TagAt(3);
        ASSERT_EQ(item.length, raw.size() + 1);
        EXPECT_EQ(std::memcmp(item.data.get(), raw.data(), raw.size()), 0);
        EXPECT_EQ(item.data[raw.size()], 0);
        return;
    }
    FAIL() << "no odd-length stream found";
}

TEST_F(CompressTest, EightBitImageToJpegExtendedIsRefused) {
    DcmObj ds;
    std::vector<uint8_t> samples = gradient(4 * 4, 2);
    const std::vector<uint8_t> before = samples;
    int index = pixelDataSet(ds, samples.size());
    float ratio = 0;
    EXPECT_FALSE(DcmObj::Comp(ds, index, samples.data(), false, 4, 4, 8, 8, 0, 0, 1, 0, ratio, 1,
                              "1.2.840.10008.1.2.4.51", "OT"));
    EXPECT_TRUE(logged("ERROR, DcmObj::Comp, Using Lossy 12 bit compression for 8 bit image"));
    EXPECT_EQ(ds.Count(), 2);
    EXPECT_EQ(ds.TagAt(1)->length, 16u);
    EXPECT_EQ(samples, before);
}

TEST_F(CompressTest, TwelveBitDxToJpegExtendedKeepsSamples) {
    DcmObj ds;
    std::vector<uint8_t> samples = littleEndianWords({0, 100, 4095, 2048});
    const std::vector<uint8_t> before = samples;
    int index = pixelDataSet(ds, samples.size());
    float ratio = 0;
    ASSERT_TRUE(DcmObj::Comp(ds, index, samples.data(), false, 2, 2, 12, 16, 0, 0, 1, 0, ratio, 1,
                             "1.2.840.10008.1.2.4.51", "DX"));
    EXPECT_EQ(samples, before);
    EXPECT_GT(ratio, 0);
}

// JPEG 2000 codes the stored values as they are: signed components, precision = bits stored.
TEST_F(CompressTest, Jpeg2000KeepsSignedStoredValues) {
    for (const char* target : {"1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91"}) {
        DcmObj ds;
        const std::vector<uint8_t> original = littleEndianWords({0xFF00, 5, 0x8000, 700});
        std::vector<uint8_t> samples = original;
        int index = pixelDataSet(ds, samples.size());
        float ratio = 0;
        ASSERT_TRUE(DcmObj::Comp(ds, index, samples.data(), false, 2, 2, 16, 16, 1, 0, 1, 0, ratio,
                                 1, target, "MR"));
        EXPECT_EQ(samples, original);
        const DcmTag* fragment = ds.TagAt(index - 1);
        std::vector<uint8_t> decoded(original.size());
        ASSERT_TRUE(
            J2kDecode(fragment->data.get(), decoded.data(), fragment->length, decoded.size()));
        if (std::string(target).ends_with("90")) {
            EXPECT_EQ(decoded, original);
        }
    }
}

TEST_F(CompressTest, NativeTargetsCopyWithVrByBitsStored) {
    std::vector<uint8_t> grey = gradient(3 * 3, 4); // odd length
    DcmObj ob;
    int index = pixelDataSet(ob, 0);
    float ratio = 0;
    ASSERT_TRUE(DcmObj::Comp(ob, index, grey.data(), false, 3, 3, 8, 8, 0, 0, 1, 0, ratio, 1,
                             "1.2.840.10008.1.2.1", "OT"));
    const DcmTag& a = *ob.TagAt(1);
    EXPECT_TRUE(a.IsVR("OB"));
    ASSERT_EQ(a.length, 10u) << "padded to even length";
    EXPECT_EQ(std::memcmp(a.data.get(), grey.data(), 9), 0);
    EXPECT_EQ(a.data[9], 0);

    std::vector<uint8_t> twelve = littleEndianWords({1, 2, 3, 4});
    DcmObj ow;
    index = pixelDataSet(ow, 0);
    ASSERT_TRUE(DcmObj::Comp(ow, index, twelve.data(), false, 2, 2, 12, 16, 0, 0, 1, 0, ratio, 1,
                             "1.2.840.10008.1.2", "MR"));
    EXPECT_TRUE(ow.TagAt(1)->IsVR("OW"));
    EXPECT_EQ(ow.TagAt(1)->length, 8u);
    EXPECT_EQ(ow.Count(), 2);
}

TEST_F(CompressTest, EncoderFailureInsertsNothing) {
    // JPEG cannot code more than 65500 columns.
    const uint16_t columns = 65535;
    std::vector<uint8_t> samples(columns * 2u, 9);
    for (const char* target : {"1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.70"}) {
        DcmObj ds;
        int index = pixelDataSet(ds, samples.size());
        float ratio = 0;
        EXPECT_FALSE(DcmObj::Comp(ds, index, samples.data(), false, columns, 2, 8, 8, 0, 0, 1, 0,
                                  ratio, 1, target, "OT"))
            << target;
        EXPECT_EQ(ds.Count(), 2);
        EXPECT_EQ(ds.TagAt(1)->length, samples.size());
        EXPECT_EQ(index, 1);
    }
    EXPECT_TRUE(logged("ERROR, DcmObj::Comp, encoding frame 0 failed"));
}

} // namespace

#include "DcmObj.h"
#include "Jpeg.h"
#include "LogFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string SampleDir = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

std::unique_ptr<DcmTag> element(uint16_t g, uint16_t e, const std::vector<uint8_t>& bytes) {
    auto t = std::make_unique<DcmTag>();
    t->group = g;
    t->element = e;
    t->length = static_cast<uint32_t>(bytes.size());
    if (!bytes.empty()) {
        t->data = NewValueBlock(bytes.size());
        std::memcpy(t->data.get(), bytes.data(), bytes.size());
    }
    return t;
}

// Pixel data of undefined length, the offset table, the fragments and (optionally) the
// delimiter, followed by one more element that must survive.
void encapsulate(DcmObj& ds, const std::vector<std::vector<uint8_t>>& fragments,
                 const std::vector<uint8_t>& offsetTable = {}, bool delimiter = true) {
    auto pixel = element(0x7FE0, 0x0010, {});
    pixel->length = UndefinedLength;
    ds.Append(std::move(pixel));
    ds.Append(element(0xFFFE, 0xE000, offsetTable));
    for (const auto& f : fragments)
        ds.Append(element(0xFFFE, 0xE000, f));
    if (delimiter)
        ds.Append(element(0xFFFE, 0xE0DD, {}));
    ds.Append(element(0xFFFA, 0xFFFA, {1, 2}));
}

std::vector<uint8_t> grey(int w, int h, int seed) {
    std::vector<uint8_t> v(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>((i * 7 + seed * 40) % 251);
    return v;
}

std::vector<uint8_t> lossless8(const std::vector<uint8_t>& pic, int w, int h) {
    std::vector<uint8_t> s;
    EXPECT_EQ(JpegEncode8(w, h, 1, pic.data(), s, EncoderLossless), 0);
    return s;
}

class DecompressTest : public LogFixture {};

TEST_F(DecompressTest, SingleFrameRleLosesItsThreeItemEntries) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.5";
    ds.photometric = "MONOCHROME2";
    std::vector<uint8_t> frame(64, 0);
    frame[0] = 1;
    frame[4] = 64;
    frame.insert(frame.end(), {0x03, 9, 8, 7, 6});
    encapsulate(ds, {frame});
    std::vector<uint8_t> out(4);
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_EQ(out, (std::vector<uint8_t>{9, 8, 7, 6}));
    ASSERT_EQ(ds.Count(), 2);
    EXPECT_TRUE(ds.TagAt(1)->Is(0xFFFA, 0xFFFA));
}

TEST_F(DecompressTest, ThreeFramesLandAtTheirFrameOffsets) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.50";
    std::vector<std::vector<uint8_t>> pics, fragments;
    for (int f = 0; f < 3; ++f) {
        pics.push_back(grey(16, 8, f));
        std::vector<uint8_t> s;
        ASSERT_EQ(JpegEncode8(16, 8, 1, pics[f].data(), s, EncoderLossy), 0);
        fragments.push_back(s);
    }
    encapsulate(ds, fragments);
    std::vector<uint8_t> out(3 * 128);
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 3, 8));
    for (int f = 0; f < 3; ++f) {
        double worst = 0;
        for (int i = 0; i < 128; ++i)
            worst = std::max(worst, std::abs(double(out[f * 128 + i]) - pics[f][i]));
        EXPECT_LT(worst, 40) << f;
    }
    EXPECT_EQ(ds.Count(), 2);
}

TEST_F(DecompressTest, LosslessSixteenBitFragmentAsLongAsThePixelDataIsTakenAsBigEndianWords) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.70";
    encapsulate(ds, {{0x12, 0x34, 0xAB, 0xCD}});
    std::vector<uint8_t> out(4);
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 1, 16));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x34, 0x12, 0xCD, 0xAB}));

    // One byte shorter: a JPEG stream, which this is not.
    DcmObj other;
    other.transferSyntax = "1.2.840.10008.1.2.4.70";
    encapsulate(other, {{0x12, 0x34, 0xAB}});
    std::vector<uint8_t> untouched(4, 0xEE);
    EXPECT_FALSE(other.Decomp(0, untouched.data(), untouched.size(), 1, 16));
    EXPECT_EQ(untouched, std::vector<uint8_t>(4, 0xEE));
    EXPECT_TRUE(logged("ERROR, JpegDecode16, "));
    EXPECT_TRUE(
        logged("ERROR, DcmObj::Decomp, frame 1 of 1: JPEG lossless stream does not decode"));
}

TEST_F(DecompressTest, BaselineWithoutDelimiterLogsAndStillDeliversItsFrames) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.50";
    auto pic = grey(8, 8, 1);
    std::vector<uint8_t> s;
    ASSERT_EQ(JpegEncode8(8, 8, 1, pic.data(), s, EncoderLossy), 0);
    encapsulate(ds, {s}, {}, false);
    std::vector<uint8_t> out(64, 0);
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_TRUE(logged("ERROR, Decompressing image, end of stream"));
    EXPECT_NE(out, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(ds.Count(), 2);

    DcmObj j2k;
    j2k.transferSyntax = "1.2.840.10008.1.2.4.90";
    encapsulate(j2k, {{1, 2}}, {}, false);
    EXPECT_FALSE(j2k.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_TRUE(logged("ERROR, DcmObj::Decomp, no sequence delimitation item"));
}

TEST_F(DecompressTest, OtherSyntaxLosesOnlyItsOffsetTable) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.80";
    encapsulate(ds, {{1, 2}});
    std::vector<uint8_t> out(2, 0xEE);
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_EQ(ds.Count(), 4); // pixel data, fragment, delimiter, the last element
    EXPECT_EQ(out, std::vector<uint8_t>(2, 0xEE));
}

TEST_F(DecompressTest, MissingOffsetTableIsAFailure) {
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.50";
    auto pixel = element(0x7FE0, 0x0010, {});
    pixel->length = UndefinedLength;
    ds.Append(std::move(pixel));
    std::vector<uint8_t> out(4);
    EXPECT_FALSE(ds.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_TRUE(logged("ERROR, DcmObj::Decomp, no offset table item after the pixel data"));
}

TEST_F(DecompressTest, OneFrameSpreadOverFragmentsIsJoined) {
    auto pic = grey(32, 32, 2);
    auto s = lossless8(pic, 32, 32);
    const std::size_t a = s.size() / 3, b = 2 * s.size() / 3;
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.70";
    encapsulate(
        ds, {{s.begin(), s.begin() + a}, {s.begin() + a, s.begin() + b}, {s.begin() + b, s.end()}});
    std::vector<uint8_t> out(pic.size());
    EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 1, 8));
    EXPECT_EQ(out, pic);
    EXPECT_EQ(ds.Count(), 2);
}

std::vector<uint8_t> le32(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> v;
    for (uint32_t x : values)
        for (int i = 0; i < 4; ++i)
            v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    return v;
}

TEST_F(DecompressTest, FramesSpreadOverFragmentsFollowTheOffsetTableOrTheEndOfImage) {
    auto p0 = grey(16, 16, 3), p1 = grey(16, 16, 4);
    auto s0 = lossless8(p0, 16, 16), s1 = lossless8(p1, 16, 16);
    // Frame 0 in two fragments, frame 1 in one.
    std::vector<uint8_t> h0(s0.begin(), s0.begin() + 20), t0(s0.begin() + 20, s0.end());
    // An odd fragment gets its padding byte, as a writer would store it.
    if (t0.size() % 2)
        t0.push_back(0);
    const uint32_t second = static_cast<uint32_t>(8 + h0.size() + 8 + t0.size());
    for (bool withTable : {true, false}) {
        DcmObj ds;
        ds.transferSyntax = "1.2.840.10008.1.2.4.70";
        encapsulate(ds, {h0, t0, s1}, withTable ? le32({0, second}) : std::vector<uint8_t>{});
        std::vector<uint8_t> out(512);
        EXPECT_TRUE(ds.Decomp(0, out.data(), out.size(), 2, 8));
        EXPECT_TRUE(std::equal(p0.begin(), p0.end(), out.begin())) << withTable;
        EXPECT_TRUE(std::equal(p1.begin(), p1.end(), out.begin() + 256)) << withTable;
        EXPECT_EQ(ds.Count(), 2);
    }
}

TEST_F(DecompressTest, FewerFragmentsThanFramesIsAFailureWithoutWritingPastTheBuffer) {
    auto pic = grey(8, 8, 5);
    DcmObj ds;
    ds.transferSyntax = "1.2.840.10008.1.2.4.70";
    encapsulate(ds, {lossless8(pic, 8, 8), lossless8(pic, 8, 8)});
    std::vector<uint8_t> out(3 * 64);
    EXPECT_FALSE(ds.Decomp(0, out.data(), out.size(), 3, 8));
    EXPECT_TRUE(logged("ERROR, DcmObj::Decomp, 2 fragments for 3 frames"));
    EXPECT_EQ(ds.Count(), 2);
}

TEST_F(DecompressTest, FragmentsLargerThanTheFrameStayInsideIt) {
    // Each stream holds 64 x 64 pixels, the frames only 64 x 16: nothing may pass a frame's end.
    auto pic = grey(64, 64, 6);
    auto s = lossless8(pic, 64, 64);
    for (const char* syntax : {"1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50"}) {
        DcmObj ds;
        ds.transferSyntax = syntax;
        encapsulate(ds, {s, s});
        // A stream that does not fit its frame is not the frame: the decoding fails.
        std::vector<uint8_t> out(2 * 64 * 16);
        EXPECT_FALSE(ds.Decomp(0, out.data(), out.size(), 2, 8));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 1024, pic.begin()));
    }
    // A raw-word fragment longer than one frame of a multi-frame image.
    DcmObj raw;
    raw.transferSyntax = "1.2.840.10008.1.2.4.70";
    encapsulate(raw, {std::vector<uint8_t>(8, 1), std::vector<uint8_t>(8, 2)});
    std::vector<uint8_t> out(8);
    raw.Decomp(0, out.data(), out.size(), 2, 16);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2}));
}

// ---- the sample files ------------------------------------------------------------------------

struct Decoded {
    bool ok = false;
    int rows = 0, columns = 0, samples = 1, bits = 8, frames = 1;
    std::vector<uint8_t> pixels;
};

Decoded decodeFile(const std::string& name) {
    Decoded d;
    DcmObj ds;
    if (!DcmObj::Read(ds, SampleDir + name))
        return d;
    d.rows = ds.GetUShort(0x0028, 0x0010);
    d.columns = ds.GetUShort(0x0028, 0x0011);
    d.samples = ds.GetUShort(0x0028, 0x0002);
    d.bits = ds.GetUShort(0x0028, 0x0100);
    d.frames = std::max(1, std::atoi(ds.GetString(0x0028, 0x0008).c_str()));
    ds.photometric = ds.GetString(0x0028, 0x0004);
    const std::size_t total = std::size_t(d.rows) * d.columns * d.samples * (d.bits / 8) * d.frames;
    d.pixels.assign(total, 0);
    for (int i = 0; i < ds.Count(); ++i) {
        DcmTag* t = ds.TagAt(i);
        if (t == nullptr || !t->Is(0x7FE0, 0x0010))
            continue;
        if (t->length == UndefinedLength) {
            d.ok = ds.Decomp(i, d.pixels.data(), total, d.frames, d.bits);
        } else if (t->HasValue() && t->length >= total) {
            std::memcpy(d.pixels.data(), t->data.get(), total);
            d.ok = true;
        }
        break;
    }
    return d;
}

double psnr8(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sum / a.size()));
}

class SampleFileTest : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        if (!std::ifstream(SampleDir + "MR_small.dcm"))
            GTEST_SKIP() << "python3-pydicom sample files are not installed";
    }
};

TEST_F(SampleFileTest, LosslessFilesDecodeToTheirNativeTwinExactly) {
    const std::pair<const char*, const char*> twins[] = {
        {"MR_small_RLE.dcm", "MR_small.dcm"},
        {"MR_small_jp2klossless.dcm", "MR_small.dcm"},
        {"rtdose_rle.dcm", "rtdose.dcm"},
        {"rtdose_rle_1frame.dcm", "rtdose_1frame.dcm"},
        // No uncompressed SC_rgb is shipped; its RLE version is the lossless reference.
        {"SC_rgb_jpeg_gdcm.dcm", "SC_rgb_rle.dcm"},
    };
    for (const auto& [compressed, native] : twins) {
        Decoded c = decodeFile(compressed), n = decodeFile(native);
        ASSERT_TRUE(c.ok) << compressed;
        ASSERT_TRUE(n.ok) << native;
        ASSERT_EQ(c.pixels.size(), n.pixels.size()) << compressed;
        EXPECT_TRUE(c.pixels == n.pixels) << compressed;
    }
}

TEST_F(SampleFileTest, MultiFrameAndWideRgbRleMatchTheEightBitImage) {
    Decoded ref = decodeFile("SC_rgb_rle.dcm");
    ASSERT_TRUE(ref.ok);
    Decoded two = decodeFile("SC_rgb_rle_2frame.dcm");
    ASSERT_TRUE(two.ok);
    ASSERT_EQ(two.pixels.size(), 2 * ref.pixels.size());
    EXPECT_TRUE(std::equal(ref.pixels.begin(), ref.pixels.end(), two.pixels.begin()));
    // The wider versions hold each 8-bit value v as v * 257 (16-bit) or v * 16843009 (32-bit).
    for (const char* name : {"SC_rgb_rle_16bit.dcm", "SC_rgb_rle_16bit_2frame.dcm",
                             "SC_rgb_rle_32bit.dcm", "SC_rgb_rle_32bit_2frame.dcm"}) {
        Decoded w = decodeFile(name);
        ASSERT_TRUE(w.ok) << name;
        const Decoded& eight = w.frames == 2 ? two : ref;
        const int bytes = w.bits / 8;
        ASSERT_EQ(w.pixels.size(), eight.pixels.size() * bytes) << name;
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < eight.pixels.size(); ++i)
            for (int j = 0; j < bytes; ++j)
                mismatches += w.pixels[i * bytes + j] != eight.pixels[i];
        EXPECT_EQ(mismatches, 0u) << name;
    }
}

TEST_F(SampleFileTest, LossyFilesDecodeCloseToTheirTwin) {
    // PSNR bounds in dB against the lossless image, a few dB under what each file gives
    // (28 to 57 dB; SC_rgb_gdcm_KY is coded losslessly under the lossy syntax).
    const struct {
        const char* compressed;
        const char* reference;
        double minPsnr;
    } cases[] = {
        {"SC_rgb_jpeg_dcmtk.dcm", "SC_rgb_rle.dcm", 30},
        {"SC_rgb_dcmtk_+eb+cr.dcm", "SC_rgb_rle.dcm", 30},
        {"SC_rgb_dcmtk_+eb+cy+n1.dcm", "SC_rgb_rle.dcm", 25},
        {"SC_rgb_dcmtk_+eb+cy+n2.dcm", "SC_rgb_rle.dcm", 30},
        {"SC_rgb_dcmtk_+eb+cy+np.dcm", "SC_rgb_rle.dcm", 25},
        {"SC_rgb_dcmtk_+eb+cy+s2.dcm", "SC_rgb_rle.dcm", 25},
        {"SC_rgb_dcmtk_+eb+cy+s4.dcm", "SC_rgb_rle.dcm", 30},
        {"SC_rgb_jpeg_lossy_gdcm.dcm", "SC_rgb_rle.dcm", 25},
        {"SC_rgb_gdcm_KY.dcm", "SC_rgb_rle.dcm", 30},
        {"SC_rgb_small_odd_jpeg.dcm", "SC_rgb_small_odd.dcm", 30},
    };
    for (const auto& k : cases) {
        Decoded c = decodeFile(k.compressed), r = decodeFile(k.reference);
        ASSERT_TRUE(c.ok) << k.compressed;
        ASSERT_TRUE(r.ok) << k.reference;
        ASSERT_EQ(c.pixels.size(), r.pixels.size()) << k.compressed;
        const double p = psnr8(c.pixels, r.pixels);
        EXPECT_GT(p, k.minPsnr) << k.compressed;
    }
}

TEST_F(SampleFileTest, FilesWithoutTwinDecodeCleanly) {
    for (const char* name :
         {"JPGExtended.dcm", "JPEG-lossy.dcm", "JPEG2000.dcm", "693_J2KI.dcm",
          "GDCMJ2K_TextGBR.dcm", "J2K_pixelrep_mismatch.dcm", "SC_rgb_jpeg_dcmd.dcm",
          "SC_rgb_jpeg_app14_dcmd.dcm", "SC_jpeg_no_color_transform.dcm",
          "SC_jpeg_no_color_transform_2.dcm"}) {
        Decoded d = decodeFile(name);
        EXPECT_TRUE(d.ok) << name;
        std::size_t nonZero = 0;
        for (uint8_t b : d.pixels)
            nonZero += b != 0;
        EXPECT_GT(nonZero, d.pixels.size() / 4) << name;
    }
}

TEST_F(SampleFileTest, DamagedCodestreamFailsWithALogLine) {
    // Four bytes of the codestream overwritten with a sequence delimiter.
    Decoded d = decodeFile("JPEG2000-embedded-sequence-delimiter.dcm");
    EXPECT_TRUE(logged("ERROR, J2kDecode, "));
    EXPECT_EQ(d.pixels, std::vector<uint8_t>(d.pixels.size(), 0));
}

} // namespace

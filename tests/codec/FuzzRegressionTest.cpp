// Inputs the fuzz targets in fuzz/ once crashed on, kept byte for byte.
#include "BufData.h"
#include "DcmObj.h"
#include "LogFixture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testsupport::hexBytes;

class CodecFuzzRegressionTest : public LogFixture {};

// Four segments of a 32-bit monochrome frame: the frame size of 0 left no room for any of
// them, and the interleaving loop stepped a null output pointer.
TEST_F(CodecFuzzRegressionTest, RleFrameTooSmallForItsSegmentsIsRefused) {
    const std::vector<uint8_t> fragment =
        hexBytes("04 00 00 00 40 ad 00 00 54 00 00 00 70 00 00 00 de 00 00 00 00 00 00 00"
                 "00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                 "00 00 00 00 00 00 88 b8 28 f8 10 28 09 38 20 f0 f0 20 50 c0 90 a8 d8 09"
                 "e8 b8 88 a0 b8 e8 70 40 58 a0 09 50 20 d8 d8 f0 38 c0 90 a8 f0 09 88 40"
                 "10 f8 10 58 e0 b0 e0 28 01 78 30 fe 00 04 30 d0 b8 e8 30");
    DcmObj ds;
    ds.photometric = "MONOCHROME2";
    ds.RleDecodeFrame(fragment.data(), nullptr, fragment.size(), 0, 32);
    EXPECT_TRUE(logged("ERROR, DcmObj::RleDecodeFrame, frame of 0 bytes too small for 4 segments"));

    // Three bytes for four segments: nothing may be written.
    std::vector<uint8_t> out(3, 0xEE);
    ds.RleDecodeFrame(fragment.data(), out.data(), fragment.size(), out.size(), 32);
    EXPECT_EQ(out, std::vector<uint8_t>(3, 0xEE));
    EXPECT_TRUE(logged("ERROR, DcmObj::RleDecodeFrame, frame of 3 bytes too small for 4 segments"));
}

// A bit-packed segmentation (bits allocated 1): every encoder read two bytes per pixel out of a
// buffer of one bit per pixel. Encapsulating targets refuse it, native ones still take it.
TEST_F(CodecFuzzRegressionTest, OneBitPixelsAreNotHandedToTheEncoders) {
    const std::vector<uint8_t> bytes =
        hexBytes("28 00 02 00 55 53 02 00 01 00"
                 "28 00 04 00 43 53 0c 00 4d 4f 4e 4f 43 48 52 4f 4d 45 32 20"
                 "28 00 10 00 55 53 02 00 04 00 28 00 11 00 55 53 02 00 10 00"
                 "28 00 00 01 55 53 02 00 01 00 28 00 01 01 55 53 02 00 01 00"
                 "28 00 02 01 55 53 02 00 00 00 28 00 03 01 55 53 02 00 00 00"
                 "e0 7f 10 00 4f 57 00 00 08 00 00 00 0f f0 55 aa 00 ff 81 7e");
    auto read = [&bytes](DcmObj& ds) {
        ds.explicitVR = 1;
        ds.transferSyntax = ExplicitLittleEndian;
        BufData buf(0, bytes.data(), bytes.size());
        return buf.ReadObject(ds);
    };
    for (const std::string target :
         {"1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51",
          "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91"}) {
        SCOPED_TRACE(target);
        DcmObj ds;
        ASSERT_TRUE(read(ds));
        EXPECT_FALSE(DcmObj::ConvertTransferSyntax(ds, target));
        EXPECT_TRUE(logged("ERROR, DcmObj::Comp, 1 bits allocated cannot be encoded as " + target));
        ASSERT_NE(ds.GetTag(0x7FE0, 0x0010), nullptr);
        EXPECT_EQ(ds.GetTag(0x7FE0, 0x0010)->length, 8u);
    }
    DcmObj ds;
    ASSERT_TRUE(read(ds));
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(ds, ImplicitLittleEndian));
    EXPECT_EQ(ds.GetTag(0x7FE0, 0x0010)->length, 8u);
}

} // namespace

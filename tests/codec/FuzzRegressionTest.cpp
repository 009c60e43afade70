// Inputs the fuzz targets in fuzz/ once crashed on, kept byte for byte.
#include "DcmObj.h"
#include "LogFixture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using testsupport::hexBytes;

class CodecFuzzRegressionTest : public LogFixture {};

// Four segments of a 32-bit monochrome frame: the frame size of 0 left no room for any of
// them, and the interleaving loop stepped a null output pointer.
TEST_F(CodecFuzzRegressionTest, RleFrameTooSmallForItsSegmentsIsRefused) {
    const std::vector<uint8_t> fragment = hexBytes(
        "04 00 00 00 40 ad 00 00 54 00 00 00 70 00 00 00 de 00 00 00 00 00 00 00"
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

} // namespace

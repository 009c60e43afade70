// Inputs the fuzz targets in fuzz/ once crashed on or allocated too much for, kept byte for byte
// (data sets in explicit VR little endian, without meta header).
#include "BufData.h"
#include "DcmObj.h"
#include "Images.h"
#include "LogFixture.h"
#include "Presentation.h"
#include "TestSupport.h"

#include <QImage>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using testsupport::hexBytes;

class RenderFuzzRegressionTest : public LogFixture {
protected:
    static bool read(DcmObj& ds, const std::vector<uint8_t>& bytes) {
        ds.explicitVR = 1;
        ds.transferSyntax = ExplicitLittleEndian;
        BufData buf(0, bytes.data(), bytes.size());
        return buf.ReadObject(ds);
    }
};

// A lone RGB frame of 65535 x 65535 with two bytes of pixel data: the short last frame that is
// tolerated made it a 12 GB allocation.
TEST_F(RenderFuzzRegressionTest, LoneColourFrameFromTwoBytesIsRefused) {
    const std::vector<uint8_t> bytes =
        hexBytes("28 00 02 00 55 53 02 00 03 00 28 00 04 00 43 53 04 00 52 47 42 20"
                 "28 00 10 00 55 53 02 00 ff ff 28 00 11 00 55 53 02 00 ff ff"
                 "28 00 00 01 55 53 02 00 08 00 e0 7f 10 00 4f 42 00 00 02 00 00 00 01 02");
    DcmObj ds;
    ASSERT_TRUE(read(ds, bytes));
    TImages im;
    TImages::Read(im, ds);
    EXPECT_TRUE(im.data.empty());
    EXPECT_TRUE(logged("ERROR, Image Size (12884508678) <> Tag Length (2)"));
    QImage bitmap;
    EXPECT_FALSE(RenderToBitmap(bitmap, ds));
    EXPECT_TRUE(bitmap.isNull());
}

// Two 1 x 2 RGB frames, the second cut short by three bytes, are still taken, zero-filled.
TEST_F(RenderFuzzRegressionTest, ShortLastColourFrameIsStillTaken) {
    const std::vector<uint8_t> bytes =
        hexBytes("28 00 02 00 55 53 02 00 03 00 28 00 04 00 43 53 04 00 52 47 42 20"
                 "28 00 08 00 49 53 02 00 32 20"
                 "28 00 10 00 55 53 02 00 01 00 28 00 11 00 55 53 02 00 02 00"
                 "28 00 00 01 55 53 02 00 08 00"
                 "e0 7f 10 00 4f 42 00 00 0a 00 00 00 01 02 03 04 05 06 07 08 09 0a");
    DcmObj ds;
    ASSERT_TRUE(read(ds, bytes));
    TImages im;
    TImages::Read(im, ds);
    EXPECT_EQ(im.frames, 2);
    EXPECT_EQ(im.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
}

// Zero rows with pixel data present: the empty sample buffer has no storage, and the copy into
// it was a memcpy to a null pointer.
TEST_F(RenderFuzzRegressionTest, ImageOfNoSizeCopiesNothing) {
    const char* const monochrome2 = "4d 4f 4e 4f 43 48 52 4f 4d 45 32 20";
    const char* const rgb = "52 47 42 20 20 20 20 20 20 20 20 20";
    for (const char* photometric : {monochrome2, rgb}) {
        SCOPED_TRACE(photometric);
        const std::vector<uint8_t> bytes = hexBytes(
            std::string("28 00 04 00 43 53 0c 00 ") + photometric +
            "28 00 10 00 55 53 02 00 00 00 28 00 11 00 55 53 02 00 04 00"
            "28 00 00 01 55 53 02 00 08 00 e0 7f 10 00 4f 42 00 00 04 00 00 00 01 02 03 04");
        DcmObj ds;
        ASSERT_TRUE(read(ds, bytes));
        TImages im;
        TImages::Read(im, ds);
        EXPECT_TRUE(im.data.empty());
        QImage bitmap;
        EXPECT_FALSE(RenderToBitmap(bitmap, ds));
    }
}

} // namespace

#include "Presentation.h"

#include "LogFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr QRgb Background = 0xFF4D4D4D; // grey level 77, seen nowhere in the samples below

// An 8-bit grey image whose sample (c, r) is 10 * r + c + 1.
TImages grey8(int columns, int rows) {
    TImages im;
    im.columns = static_cast<uint16_t>(columns);
    im.rows = static_cast<uint16_t>(rows);
    im.bitsAllocated = 8;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            im.data.push_back(static_cast<uint8_t>(10 * r + c + 1));
    return im;
}

TImages grey16(int columns, int rows, const std::vector<int16_t>& samples, bool isSigned) {
    TImages im;
    im.columns = static_cast<uint16_t>(columns);
    im.rows = static_cast<uint16_t>(rows);
    im.bitsAllocated = 16;
    im.signedSamples = isSigned;
    for (int16_t s : samples) {
        im.data.push_back(static_cast<uint8_t>(s & 0xFF));
        im.data.push_back(static_cast<uint8_t>((static_cast<uint16_t>(s) >> 8) & 0xFF));
    }
    return im;
}

QImage drawn(TImages& im, bool colourBitmap, int width, int center, double zoom = 1.0) {
    DCMPresentation p;
    p.images = &im;
    p.zoom = zoom;
    p.windowWidth = width;
    p.windowCenter = center;
    p.background = Background;
    QImage bitmap;
    if (colourBitmap)
        CreateRgbBitmap(bitmap, im.columns, im.rows, qRgb(0, 0, 0));
    else
        CreateGrayBitmap(bitmap, im.columns, im.rows, qRgb(0, 0, 0));
    DCMPresentation::Zoom(p, bitmap, 0, 0, 0, 0, 0);
    return bitmap;
}

int level(const QImage& bitmap, int c, int r) {
    return bitmap.constScanLine(r)[c];
}

void addUShort(DcmObj& ds, uint16_t g, uint16_t e, uint16_t v) {
    ds.Add(std::make_unique<DcmTag>(g, e, v, "US"));
}

} // namespace

TEST(Bitmaps, GreyIsIndexedWithAGreyPaletteAndColourIsBlueGreenRed) {
    QImage grey;
    CreateGrayBitmap(grey, 4, 3, qRgb(9, 9, 9));
    EXPECT_EQ(grey.format(), QImage::Format_Indexed8);
    ASSERT_EQ(grey.colorCount(), 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(grey.color(i), qRgb(i, i, i));
    EXPECT_EQ(level(grey, 3, 2), 9);

    QImage colour;
    CreateRgbBitmap(colour, 2, 2, qRgb(1, 2, 3));
    EXPECT_EQ(colour.format(), QImage::Format_BGR888);
    EXPECT_EQ(colour.size(), QSize(2, 2));
    const uint8_t* row = colour.constScanLine(1);
    EXPECT_EQ(row[3], 3);
    EXPECT_EQ(row[4], 2);
    EXPECT_EQ(row[5], 1);
}

TEST(Presentation, ZoomOneIsTheIdentityInsideABackgroundBorder) {
    TImages im = grey8(6, 5);
    QImage bitmap = drawn(im, false, 255, 127);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 6; ++c) {
            bool border = r == 0 || c == 0 || r == 4 || c == 5;
            ASSERT_EQ(level(bitmap, c, r), border ? 77 : 10 * r + c + 1) << c << "," << r;
        }
}

TEST(Presentation, ColourImageKeepsTheOnePixelBorderAndItsByteOrder) {
    TImages im;
    im.columns = 4;
    im.rows = 3;
    im.bitsAllocated = 8;
    im.colour = true;
    for (int k = 0; k < 12; ++k) {
        im.data.push_back(static_cast<uint8_t>(10 + k));
        im.data.push_back(static_cast<uint8_t>(100 + k));
        im.data.push_back(static_cast<uint8_t>(200 + k));
    }
    QImage colour = drawn(im, true, 255, 127);
    const uint8_t* row = colour.constScanLine(1);
    EXPECT_EQ(row[3 * 1 + 0], 200 + 5); // blue
    EXPECT_EQ(row[3 * 1 + 1], 100 + 5);
    EXPECT_EQ(row[3 * 1 + 2], 10 + 5); // red
    EXPECT_EQ(row[3 * 3], 77);         // last column
    EXPECT_EQ(colour.constScanLine(0)[3], 77);
    EXPECT_EQ(colour.constScanLine(2)[3], 77);

    // Into a grey bitmap a colour pixel becomes the integer mean of its three levels.
    QImage grey = drawn(im, false, 255, 127);
    EXPECT_EQ(level(grey, 2, 1), (16 + 106 + 206) / 3);
    EXPECT_EQ(level(grey, 0, 1), 77);
}

TEST(Presentation, SixteenBitsLeavesTwoColumnsAndRowsAtTheEnd) {
    std::vector<int16_t> samples(6 * 6, 40);
    TImages im = grey16(6, 6, samples, false);
    QImage bitmap = drawn(im, false, 400, 40);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) {
            bool drawnPixel = r >= 1 && r <= 3 && c >= 1 && c <= 3;
            ASSERT_EQ(level(bitmap, c, r), drawnPixel ? 127 : 77) << c << "," << r;
        }
}

TEST(Presentation, EightBitWindowAndMonochromeOne) {
    TImages im = grey8(5, 3);
    im.data[1 * 5 + 1] = 0;
    im.data[1 * 5 + 2] = 255;
    QImage plain = drawn(im, false, 255, 127);
    EXPECT_EQ(level(plain, 1, 1), 0);
    EXPECT_EQ(level(plain, 2, 1), 255);
    EXPECT_EQ(level(plain, 3, 1), 14);
    im.monochrome1 = true;
    QImage inverted = drawn(im, false, 255, 127);
    EXPECT_EQ(level(inverted, 1, 1), 255);
    EXPECT_EQ(level(inverted, 2, 1), 0);
    EXPECT_EQ(level(inverted, 3, 1), 255 - 14);
}

TEST(Presentation, SixteenBitWindowLimits) {
    const std::vector<int16_t> values = {-161, -160, -159, 40, 240, 241, 242};
    const std::vector<int> expected = {0, 0, 1, 127, 254, 255, 255};
    // One value per image row, in column 1 of a 4 x 4 frame (the only drawn column range).
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::vector<int16_t> s(16, values[i]);
        TImages im = grey16(4, 4, s, true);
        QImage bitmap = drawn(im, false, 400, 40);
        EXPECT_EQ(level(bitmap, 1, 1), expected[i]) << values[i];
    }
    std::vector<int16_t> s(16, 100);
    TImages im = grey16(4, 4, s, true);
    im.monochrome1 = true;
    EXPECT_EQ(level(drawn(im, false, 400, 40), 1, 1), (40 - 100) * 255 / 400 + 127);
}

TEST(Presentation, ZoomZeroIsOneAndHalfZoomInterpolates) {
    TImages im = grey8(6, 5);
    QImage one = drawn(im, false, 255, 127, 1.0);
    QImage zero = drawn(im, false, 255, 127, 0.0);
    EXPECT_EQ(one, zero);

    // Twice the size: x0 = y0 = 0, step 128; bitmap column 3 lies half way between samples 1, 2.
    TImages small = grey8(4, 4);
    DCMPresentation p;
    p.images = &small;
    p.zoom = 0.5;
    p.windowWidth = 255;
    p.windowCenter = 127;
    QImage bitmap;
    CreateGrayBitmap(bitmap, 8, 8, qRgb(0, 0, 0));
    DCMPresentation::Zoom(p, bitmap, 0, 0, 0, 0, 0);
    const int s11 = 10 * 1 + 1 + 1, s12 = s11 + 1, s21 = s11 + 10, s22 = s21 + 1;
    EXPECT_EQ(level(bitmap, 3, 2), (s11 + s12) / 2);
    EXPECT_EQ(level(bitmap, 3, 3), (s11 + s12 + s21 + s22) / 4);
}

class PresentationLog : public LogFixture {};

TEST_F(PresentationLog, ZeroWidthAndMissingFrameDrawNothing) {
    TImages im = grey8(4, 4);
    DCMPresentation p;
    p.images = &im;
    QImage bitmap;
    CreateGrayBitmap(bitmap, 4, 4, qRgb(5, 5, 5));
    DCMPresentation::ZoomData8(p, bitmap, 0, 0, 0, 0, 0, im.data);
    EXPECT_TRUE(logged("ERROR, DCMPresentation::ZoomData8, w==0"));
    EXPECT_EQ(level(bitmap, 1, 1), 5);

    p.windowWidth = 255;
    p.windowCenter = 127;
    DCMPresentation::Zoom(p, bitmap, 0, 0, 0, 0, 1);
    EXPECT_EQ(level(bitmap, 1, 1), 0);
    EXPECT_TRUE(logged("frame 1 is not in the pixel data"));
}

// Without a window or VOI LUT the frame's range is shown: centre 1, width 9 for -3..5.
TEST(RenderToBitmap, SixteenBitsWithoutWindowShowTheirWholeRange) {
    DcmObj ds;
    addUShort(ds, 0x0028, 0x0002, 1);
    ds.Add(std::make_unique<DcmTag>(0x0028, 0x0004, std::string("MONOCHROME2"), "CS"));
    addUShort(ds, 0x0028, 0x0010, 5);
    addUShort(ds, 0x0028, 0x0011, 5);
    addUShort(ds, 0x0028, 0x0100, 16);
    addUShort(ds, 0x0028, 0x0101, 16);
    addUShort(ds, 0x0028, 0x0103, 1);
    // 16-bit frames are drawn from (1, 1) to (2, 2) at this size.
    std::vector<int16_t> samples(25, 0);
    samples[1 * 5 + 2] = 5;
    samples[2 * 5 + 1] = -3;
    ds.Add(std::make_unique<DcmTag>(0x7FE0, 0x0010, 50u, samples.data(), "OW"));
    QImage bitmap;
    ASSERT_TRUE(RenderToBitmap(bitmap, ds));
    EXPECT_EQ(bitmap.format(), QImage::Format_Indexed8);
    EXPECT_EQ(bitmap.size(), QSize(5, 5));
    EXPECT_EQ(level(bitmap, 1, 1), 99);  // (0 - 1) * 255 / 9 + 127
    EXPECT_EQ(level(bitmap, 2, 1), 240); // (5 - 1) * 255 / 9 + 127
    EXPECT_EQ(level(bitmap, 1, 2), 14);  // (-3 - 1) * 255 / 9 + 127
    EXPECT_EQ(level(bitmap, 0, 0), 0);   // black background
}

TEST(RenderToBitmap, RgbGivesAColourBitmapAndNoPixelDataLeavesTheBitmap) {
    DcmObj ds;
    addUShort(ds, 0x0028, 0x0002, 3);
    ds.Add(std::make_unique<DcmTag>(0x0028, 0x0004, std::string("RGB"), "CS"));
    addUShort(ds, 0x0028, 0x0010, 3);
    addUShort(ds, 0x0028, 0x0011, 3);
    addUShort(ds, 0x0028, 0x0100, 8);
    std::vector<uint8_t> rgb(28);
    rgb[12] = 200; // centre pixel: red 200, green 20, blue 2
    rgb[13] = 20;
    rgb[14] = 2;
    ds.Add(std::make_unique<DcmTag>(0x7FE0, 0x0010, 28u, rgb.data(), "OB"));
    QImage bitmap;
    ASSERT_TRUE(RenderToBitmap(bitmap, ds));
    EXPECT_EQ(bitmap.format(), QImage::Format_BGR888);
    EXPECT_EQ(bitmap.pixel(1, 1), qRgb(200, 20, 2));

    DcmObj empty;
    addUShort(empty, 0x0028, 0x0010, 3);
    QImage untouched;
    CreateGrayBitmap(untouched, 2, 2, qRgb(9, 9, 9));
    EXPECT_FALSE(RenderToBitmap(untouched, empty));
    EXPECT_EQ(untouched.size(), QSize(2, 2));
    EXPECT_EQ(level(untouched, 0, 0), 9);
}

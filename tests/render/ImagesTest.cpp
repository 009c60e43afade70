// TImages: attributes, pixel layout, LUT and rescale, the imager spacing warnings.

#include "Images.h"
#include "LogFixture.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using testsupport::littleEndianWords;

namespace {

void addText(DcmObj& ds, uint16_t g, uint16_t e, const std::string& text) {
    ds.Append(std::make_unique<DcmTag>(g, e, text, nullptr));
}

void addUShort(DcmObj& ds, uint16_t g, uint16_t e, uint16_t v) {
    ds.Append(std::make_unique<DcmTag>(g, e, v, "US"));
}

void addBytes(DcmObj& ds, uint16_t g, uint16_t e, const std::vector<uint8_t>& bytes,
              const char* vr) {
    ds.Append(
        std::make_unique<DcmTag>(g, e, static_cast<uint32_t>(bytes.size()), bytes.data(), vr));
}

int wordAt(const std::vector<uint8_t>& data, std::size_t i) {
    return static_cast<int16_t>(data[2 * i] | data[2 * i + 1] << 8);
}

// A grey image header, appended in tag order up to the pixel data (not included).
void greyHeader(DcmObj& ds, const std::string& modality, uint16_t rows, uint16_t columns,
                uint16_t bits, const std::string& frames = "") {
    addText(ds, 0x0008, 0x0060, modality);
    addText(ds, 0x0028, 0x0004, "MONOCHROME2");
    if (!frames.empty())
        addText(ds, 0x0028, 0x0008, frames);
    addUShort(ds, 0x0028, 0x0010, rows);
    addUShort(ds, 0x0028, 0x0011, columns);
    addUShort(ds, 0x0028, 0x0100, bits);
}

class ImagesTest : public LogFixture {};

// A CR image header: modality, optional manufacturer, imager and pixel spacing.
void crImage(DcmObj& ds, const std::string& manufacturer, const std::string& imager,
             const std::string& pixel) {
    addText(ds, 0x0008, 0x0060, "CR");
    if (!manufacturer.empty())
        addText(ds, 0x0008, 0x0070, manufacturer);
    if (!imager.empty())
        addText(ds, 0x0018, 0x1164, imager);
    addText(ds, 0x0028, 0x0030, pixel);
}

// Imager spacing is kept; a differing or missing one is logged, a missing one taken from
// pixel spacing.
TEST_F(ImagesTest, ImagerSpacingAgainstPixelSpacing) {
    const struct {
        const char* imager;
        const char* pixel;
        const char* warning; // empty: nothing is logged
        float spacing[2];
    } cases[] = {
        {"0.1\\0.1", "0.1\\0.1", "", {0.1f, 0.1f}},
        {"0.1\\0.1",
         "0.15\\0.15",
         "WARNING, Imager PixelSpacing (0.1)!= PixelSpacing ((0.15)\r\n",
         {0.1f, 0.1f}},
        {"",
         "0.15\\0.2",
         "WARNING, Imager PixelSpacing is empty, Using Pixel Spacing from (0028, 0030)\r\n",
         {0.15f, 0.2f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pixel);
        DcmObj ds;
        crImage(ds, "", c.imager, c.pixel);
        const std::size_t before = logText().size();
        TImages im;
        TImages::Read(im, ds);
        const std::string added = logText().substr(before);
        if (*c.warning)
            EXPECT_NE(added.find(c.warning), std::string::npos) << added;
        else
            EXPECT_EQ(added, "");
        EXPECT_FLOAT_EQ(im.imagerSpacing[0], c.spacing[0]);
        EXPECT_FLOAT_EQ(im.imagerSpacing[1], c.spacing[1]);
    }
}

TEST_F(ImagesTest, VendorMarkSuppressesSpacingCheck) {
    for (const char* maker : {"Instrumentarium Dental", "SOREDEX OY", "iNsTrUmEnTaRiUm"}) {
        DcmObj ds;
        crImage(ds, maker, "", "0.15\\0.15");
        TImages im;
        TImages::Read(im, ds);
        EXPECT_FALSE(im.vendorMark.empty()) << maker;
    }
    EXPECT_EQ(logText(), "");
    DcmObj mr;
    addText(mr, 0x0008, 0x0060, "MR");
    addText(mr, 0x0028, 0x0030, "0.15\\0.15");
    TImages im;
    TImages::Read(im, mr);
    EXPECT_EQ(logText(), "") << "only projection modalities are checked";
}

TEST_F(ImagesTest, AttributesAndDefaults) {
    TImages fresh;
    EXPECT_EQ(fresh.frames, 1);
    EXPECT_FALSE(fresh.voiLut);

    DcmObj ds;
    addText(ds, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
    greyHeader(ds, "CT", 2, 3, 16, "not a number");
    addText(ds, 0x0028, 0x1050, "40\\400");
    addText(ds, 0x0028, 0x1051, "400");
    addText(ds, 0x0028, 0x1052, "-1024");
    addText(ds, 0x0028, 0x1053, "1");
    TImages im;
    im.windowWidth = 7;
    TImages::Read(im, ds);
    EXPECT_EQ(im.sopClass, "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_EQ(im.frames, 1);
    EXPECT_EQ(im.rows, 2);
    EXPECT_EQ(im.columns, 3);
    EXPECT_FLOAT_EQ(im.windowCenter, 40);
    EXPECT_FLOAT_EQ(im.windowWidth, 400);
    EXPECT_FLOAT_EQ(im.intercept, -1024);
    EXPECT_FALSE(im.colour);
    EXPECT_TRUE(im.data.empty());
}

TEST_F(ImagesTest, PlanarRgbIsHeldInterleaved) {
    DcmObj ds;
    addText(ds, 0x0028, 0x0004, "RGB");
    addUShort(ds, 0x0028, 0x0006, 1);
    addUShort(ds, 0x0028, 0x0010, 1);
    addUShort(ds, 0x0028, 0x0011, 2);
    addUShort(ds, 0x0028, 0x0100, 8);
    addBytes(ds, 0x7FE0, 0x0010, {1, 2, 3, 4, 5, 6}, "OB");
    TImages im;
    TImages::Read(im, ds);
    ASSERT_TRUE(im.colour);
    EXPECT_EQ(im.data, (std::vector<uint8_t>{1, 3, 5, 2, 4, 6}));
}

TEST_F(ImagesTest, ShortGreyPixelDataIsRefused) {
    DcmObj ds;
    greyHeader(ds, "OT", 2, 2, 8);
    addBytes(ds, 0x7FE0, 0x0010, {1, 2}, "OB");
    TImages im;
    TImages::Read(im, ds);
    EXPECT_TRUE(im.data.empty());
    EXPECT_TRUE(logged("ERROR, Image Size (4) <> Tag Length (2)"));

    // One byte short is the odd-length pad and is accepted; longer data is cut.
    DcmObj odd;
    greyHeader(odd, "OT", 1, 3, 8);
    addBytes(odd, 0x7FE0, 0x0010, {1, 2, 3, 4, 5, 6}, "OB");
    TImages cut;
    TImages::Read(cut, odd);
    EXPECT_EQ(cut.data, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(ImagesTest, HugeFrameCountDoesNotAllocate) {
    DcmObj ds;
    addText(ds, 0x0028, 0x0004, "RGB");
    addText(ds, 0x0028, 0x0008, "2000000000");
    addUShort(ds, 0x0028, 0x0010, 512);
    addUShort(ds, 0x0028, 0x0011, 512);
    addUShort(ds, 0x0028, 0x0100, 8);
    addBytes(ds, 0x7FE0, 0x0010, std::vector<uint8_t>(12), "OB");
    TImages im;
    TImages::Read(im, ds);
    EXPECT_TRUE(im.data.empty());
    EXPECT_TRUE(logged("ERROR, Image Size ("));
}

TEST_F(ImagesTest, EightBitWindowDefaults) {
    DcmObj ds;
    greyHeader(ds, "OT", 1, 2, 8);
    addBytes(ds, 0x7FE0, 0x0010, {10, 20}, "OB");
    TImages im;
    TImages::Read(im, ds);
    TImages::ApplyLut(im);
    EXPECT_FLOAT_EQ(im.windowWidth, 255);
    EXPECT_FLOAT_EQ(im.windowCenter, 127);
    EXPECT_EQ(im.data, (std::vector<uint8_t>{10, 20})) << "no slope, no change";
}

TEST_F(ImagesTest, CtRescaleMarksSignedSamples) {
    DcmObj ds;
    greyHeader(ds, "CT", 1, 3, 16);
    addText(ds, 0x0028, 0x1052, "-1024");
    addText(ds, 0x0028, 0x1053, "1");
    addBytes(ds, 0x7FE0, 0x0010, littleEndianWords({0, 1024, 3000}), "OW");
    TImages im;
    TImages::Read(im, ds);
    TImages::ApplyLut(im);
    EXPECT_EQ(wordAt(im.data, 0), -1024);
    EXPECT_EQ(wordAt(im.data, 1), 0);
    EXPECT_EQ(wordAt(im.data, 2), 1976);
    EXPECT_TRUE(im.signedSamples);

    DcmObj positive;
    greyHeader(positive, "CT", 1, 1, 16);
    addText(positive, 0x0028, 0x1052, "-1024");
    addText(positive, 0x0028, 0x1053, "1");
    addBytes(positive, 0x7FE0, 0x0010, littleEndianWords({2000}), "OW");
    TImages p;
    TImages::Read(p, positive);
    TImages::ApplyLut(p);
    EXPECT_FALSE(p.signedSamples);
}

TEST_F(ImagesTest, EveryFrameIsRescaledInItsPlace) {
    DcmObj ds;
    greyHeader(ds, "OT", 1, 2, 8, "3");
    addText(ds, 0x0028, 0x1053, "2");
    addBytes(ds, 0x7FE0, 0x0010, {1, 2, 3, 4, 200, 6}, "OB");
    TImages im;
    TImages::Read(im, ds);
    ASSERT_EQ(im.frames, 3);
    TImages::ApplyLut(im);
    // 200 * 2 keeps its low 8 bits.
    EXPECT_EQ(im.data, (std::vector<uint8_t>{2, 4, 6, 8, 144, 12}));
}

std::unique_ptr<DcmObj> lutSequence(const std::vector<int>& descriptor,
                                    const std::vector<int>& table) {
    auto item = std::make_unique<DcmObj>();
    item->itemTag.group = 0xFFFE;
    item->itemTag.element = 0xE000;
    addBytes(*item, 0x0028, 0x3002, littleEndianWords(descriptor), "US");
    addBytes(*item, 0x0028, 0x3006, littleEndianWords(table), "OW");
    auto sequence = std::make_unique<DcmObj>();
    sequence->AppendObj(std::move(item));
    return sequence;
}

TEST_F(ImagesTest, VoiLutClampsBelowFirstMappedAndBeyondTable) {
    DcmObj ds;
    greyHeader(ds, "CR", 1, 5, 16);
    addText(ds, 0x0018, 0x1164, "0.1\\0.1");
    addText(ds, 0x0028, 0x0030, "0.1\\0.1");
    ds.AddSequence(0x0028, 0x3010, lutSequence({4, 100, 16}, {10, 20, 30, 4000}));
    addBytes(ds, 0x7FE0, 0x0010, littleEndianWords({0, 99, 100, 102, 60000}), "OW");
    TImages im;
    TImages::Read(im, ds);
    ASSERT_TRUE(im.hasVoiLut);
    TImages::ApplyLut(im);
    EXPECT_EQ(wordAt(im.data, 0), 10);
    EXPECT_EQ(wordAt(im.data, 1), 10);
    EXPECT_EQ(wordAt(im.data, 2), 10);
    EXPECT_EQ(wordAt(im.data, 3), 30);
    EXPECT_EQ(wordAt(im.data, 4), 4000);
    EXPECT_FLOAT_EQ(im.windowWidth, 4000);
    EXPECT_FLOAT_EQ(im.windowCenter, 2000);
}

TEST_F(ImagesTest, VoiLutOfWrongLength) {
    // Nested form: not found.
    DcmObj nested;
    greyHeader(nested, "CR", 1, 2, 16);
    nested.AddSequence(0x0028, 0x3010, lutSequence({4, 0, 16}, {1, 2, 3}));
    TImages a;
    TImages::Read(a, nested);
    EXPECT_FALSE(a.hasVoiLut);

    // Flat form: flagged all the same, but an empty table maps nothing.
    DcmObj flat;
    greyHeader(flat, "CR", 1, 2, 16);
    addText(flat, 0x0028, 0x1053, "1");
    flat.Append(std::make_unique<DcmTag>(0x0028, 0x3010, UndefinedLength, nullptr, "SQ"));
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, UndefinedLength, nullptr, "DL"));
    addBytes(flat, 0x0028, 0x3002, littleEndianWords({4, 0, 16}), "US");
    addBytes(flat, 0x0028, 0x3006, littleEndianWords({1, 2, 3}), "OW");
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE00D, 0u, nullptr, "DL"));
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"));
    addBytes(flat, 0x7FE0, 0x0010, littleEndianWords({5, 6}), "OW");
    TImages b;
    TImages::Read(b, flat);
    EXPECT_TRUE(b.hasVoiLut);
    EXPECT_EQ(b.lutBytes, 8);
    ASSERT_EQ(b.data.size(), 4u) << "pixel data after the flat sequence is read at depth 0";
    TImages::ApplyLut(b);
    EXPECT_EQ(wordAt(b.data, 0), 5);
}

TEST_F(ImagesTest, FlatVoiLutIsRead) {
    DcmObj flat;
    greyHeader(flat, "CR", 1, 2, 16);
    flat.Append(std::make_unique<DcmTag>(0x0028, 0x3010, UndefinedLength, nullptr, "SQ"));
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, UndefinedLength, nullptr, "DL"));
    addBytes(flat, 0x0028, 0x3002, littleEndianWords({2, 0, 16}), "US");
    addBytes(flat, 0x0028, 0x3006, littleEndianWords({7, 9}), "OW");
    // Elements inside the sequence are not the image's own.
    addUShort(flat, 0x0028, 0x0010, 99);
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE00D, 0u, nullptr, "DL"));
    flat.Append(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"));
    addBytes(flat, 0x7FE0, 0x0010, littleEndianWords({0, 1}), "OW");
    TImages im;
    TImages::Read(im, flat);
    EXPECT_EQ(im.rows, 1);
    ASSERT_TRUE(im.hasVoiLut);
    TImages::ApplyLut(im);
    EXPECT_EQ(wordAt(im.data, 0), 7);
    EXPECT_EQ(wordAt(im.data, 1), 9);
}

} // namespace

#include "BufData.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

using testsupport::hexBytes;

namespace {

std::string line(DcmTag&& t, int depth = 0) {
    return t.DumpLine(depth);
}

std::vector<std::string> dump(const std::vector<uint8_t>& bytes, bool explicitVR,
                              bool bigEndian = false) {
    BufData buf(bigEndian);
    buf.WriteBytes(bytes.data(), bytes.size());
    buf.Seek(0);
    DcmObj obj;
    obj.explicitVR = explicitVR;
    obj.bigEndian = bigEndian;
    EXPECT_TRUE(buf.ReadObject(obj));
    std::vector<std::string> lines;
    obj.Dump(lines, 0);
    return lines;
}

} // namespace

TEST(Dump, SampleLines) {
    EXPECT_EQ(line(DcmTag(0x0010, 0x0010, std::string("DOE^JOHN"), nullptr)),
              "(0010,0010),  8, PN, Patient's Name: DOE^JOHN");
    EXPECT_EQ(line(DcmTag(0x0028, 0x0010, uint16_t(512), nullptr)),
              "(0028,0010),  2, US, Rows: 512");
    EXPECT_EQ(line(DcmTag(0x0008, 0x0016, std::string("1.2.840.10008.5.1.4.1.1.2"), nullptr)),
              "(0008,0016), 26, UI, SOP Class UID: 1.2.840.10008.5.1.4.1.1.2 (CT Image Storage) ");
    EXPECT_EQ(line(DcmTag(0x0008, 0x0018, std::string("1.2.3.4"), nullptr)),
              "(0008,0018),  8, UI, SOP Instance UID: 1.2.3.4");
    EXPECT_EQ(line(DcmTag(0x0010, 0x0010, std::string("A^B"), nullptr), 2),
              "...(0010,0010),  4, PN, Patient's Name: A^B ");
    EXPECT_EQ(line(DcmTag(0x0010, 0x0010, std::string("A^B"), nullptr), 3),
              "......(0010,0010),  4, PN, Patient's Name: A^B ");
    EXPECT_EQ(line(DcmTag(0x0010, 0x0010, std::string("A^B"), nullptr), 1),
              "(0010,0010),  4, PN, Patient's Name: A^B ");
}

TEST(Dump, NumbersFloatsAndVectors) {
    float half = 0.5f;
    EXPECT_EQ(line(DcmTag(0x0010, 0x9431, 4, &half, "FL")),
              "(0010,9431),  4, FL, Examined Body Thickness:  0.50");
    EXPECT_EQ(line(DcmTag(0x0028, 0x0010, 6, "\1\0\2\0\3\0", "US")),
              "(0028,0010),  6, US, Rows: Vector!!");
    EXPECT_EQ(line(DcmTag(0x0028, 0x0010, 2, "\xFF\xFF", "US")),
              "(0028,0010),  2, US, Rows: 65535");
    EXPECT_EQ(line(DcmTag(0x0009, 0x1027, 4, "\0\0\0\x80", "SL")),
              "(0009,1027),  4, SL, *** Unidentified ***: -2147483648");
    EXPECT_EQ(line(DcmTag(0x0018, 0x9087, 8, "\0\0\0\0\0\0\x10\x40", "FD")),
              "(0018,9087),  8, FD, Diffusion b-value:  4.00");
}

TEST(Dump, LongValuesSequencesAndUnknownTags) {
    EXPECT_EQ(line(DcmTag(0x0008, 0x1030, std::string(255, 'x'), "LO")),
              "(0008,1030), 256, LO, Study Description: ");
    EXPECT_EQ(line(DcmTag(0x6002, 0x3000, 2, "\1\2", "OW")),
              "(6002,3000),  2, OW, *** Unidentified ***: \x01\x02");
    EXPECT_EQ(line(DcmTag(0x0009, 0x0010, std::string("GEMS"), "LO")),
              "(0009,0010),  4, LO, *** Unidentified ***: GEMS");
}

TEST(Dump, FlatSequencesAndDelimitersInExplicitVR) {
    std::vector<std::string> lines = dump(hexBytes(R"(
        08 00 15 11 53 51 00 00 FF FF FF FF
          FE FF 00 E0 FF FF FF FF
            09 00 10 00 4C 4F 04 00 47 45 4D 53
            08 00 40 11 53 51 00 00 12 00 00 00
              FE FF 00 E0 0A 00 00 00
                20 00 0E 00 55 49 02 00 31 00
          FE FF 0D E0 00 00 00 00
        FE FF DD E0 00 00 00 00)"),
                                          true);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "(0008,1115), -1, SQ, Referenced Series Sequence: ",
                  "(FFFE,E000), -1, DL, Item: ", "(0009,0010),  4, LO, *** Unidentified ***: GEMS",
                  "(0008,1140), 18, SQ, Referenced Image Sequence: ", "(FFFE,E000), 10, DL, Item: ",
                  "...(0020,000E),  2, UI, Series Instance UID: 1",
                  "(FFFE,E00D),  0, DL, Item Delimitation Item: ",
                  "(FFFE,E0DD),  0, DL, Sequence Delimitation Item: "}));
}

TEST(Dump, ImplicitPrivateTagShowsUN) {
    EXPECT_EQ(dump(hexBytes("09 00 10 00 04 00 00 00 47 45 4D 53"), false),
              (std::vector<std::string>{"(0009,0010),  4, UN, *** Unidentified ***: GEMS"}));
}

TEST(Dump, BigEndianNumbersMatchTheirLittleEndianTwin) {
    auto be = dump(hexBytes("00 28 00 10 55 53 00 02 02 00  00 28 01 07 53 4C 00 04 FF FF FF FE"),
                   true, true);
    auto le =
        dump(hexBytes("28 00 10 00 55 53 02 00 00 02  28 00 07 01 53 4C 04 00 FE FF FF FF"), true);
    EXPECT_EQ(be, le);
    EXPECT_EQ(be[0], "(0028,0010),  2, US, Rows: 512");
}

TEST(Dump, CommandElementsGetTheirVR) {
    std::vector<std::string> lines = dump(hexBytes("00 00 00 01 02 00 00 00 30 00"), true);
    EXPECT_EQ(lines, (std::vector<std::string>{"(0000,0100),  2, US, Command Field: 48"}));
}

namespace {

// The element's bytes in its own byte order: value by value, width bytes each.
std::vector<uint8_t> inOrder(const void* values, std::size_t length, std::size_t width, bool big) {
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(values),
                               static_cast<const uint8_t*>(values) + length);
    for (std::size_t at = 0; big && at + width <= length; at += width)
        std::reverse(bytes.begin() + at, bytes.begin() + at + width);
    return bytes;
}

std::string dumpedValue(uint16_t element, const void* values, uint32_t length, const char* vr,
                        std::size_t width, bool big) {
    std::vector<uint8_t> bytes = inOrder(values, length, width, big);
    DcmTag tag(0x0009, element, length, bytes.data(), vr);
    tag.bigEndian = big;
    std::string text = tag.DumpLine(0);
    return text.substr(text.find(": ") + 2);
}

// What C's "%5.2f" prints, however long.
std::string printed(double value) {
    std::string text(512, '\0');
    text.resize(static_cast<std::size_t>(std::snprintf(text.data(), text.size(), "%5.2f", value)));
    return text;
}

} // namespace

// Every magnitude and kind prints in full, never past a buffer, in either byte order.
TEST(Dump, FloatsOfEveryMagnitudeAndKindInBothByteOrders) {
    const float floats[] = {1e29f,
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(),
                            -0.0f,
                            1234.567f};
    const double doubles[] = {1e29,
                              std::numeric_limits<double>::max(),
                              -std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::denorm_min(),
                              0.125};
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big endian" : "little endian");
        for (float f : floats) {
            EXPECT_EQ(dumpedValue(0x1000, &f, 4, "FL", 4, big), printed(f));
            // An FD of four bytes is read as one FL.
            EXPECT_EQ(dumpedValue(0x1000, &f, 4, "FD", 4, big), printed(f));
        }
        for (double d : doubles)
            EXPECT_EQ(dumpedValue(0x1000, &d, 8, "FD", 8, big), printed(d));
    }
    EXPECT_EQ(printed(-std::numeric_limits<double>::max()).size(), 313u);
}

TEST(Dump, MultipleValuesReadEachInItsOwnByteOrder) {
    const uint16_t shorts[] = {1, 2};
    const uint32_t longs[] = {0x01020304};
    const float floats[] = {1.5f, -2.0f, 1e30f};
    const double doubles[] = {0.5, -1e300};
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big endian" : "little endian");
        // Two 16-bit values lie in one 32-bit number low byte first, as in little endian.
        EXPECT_EQ(dumpedValue(0x1000, shorts, 4, "US", 2, big), "131073");
        EXPECT_EQ(dumpedValue(0x1000, shorts, 4, "SS", 2, big), "131073");
        EXPECT_EQ(dumpedValue(0x1000, longs, 4, "UL", 4, big), "16909060");
        EXPECT_EQ(dumpedValue(0x1000, floats, 12, "FL", 4, big), " 1.50\\-2.00\\" + printed(1e30f));
        EXPECT_EQ(dumpedValue(0x1000, doubles, 16, "FD", 8, big), " 0.50\\" + printed(-1e300));
        // Bytes short of a whole value show nothing.
        EXPECT_EQ(dumpedValue(0x1000, floats, 6, "FL", 4, big), " 1.50");
    }

    // The same through the decoder: a big-endian data set dumps as its little-endian twin.
    auto be = dump(hexBytes("00 18 92 19 53 53 00 04 00 01 00 02 // SS 1\\2\n"
                            "00 18 90 87 46 44 00 08 3F E0 00 00 00 00 00 00 // FD 0.5\n"),
                   true, true);
    auto le = dump(hexBytes("18 00 19 92 53 53 04 00 01 00 02 00\n"
                            "18 00 87 90 46 44 08 00 00 00 00 00 00 00 E0 3F\n"),
                   true);
    EXPECT_EQ(be, le);
    EXPECT_EQ(le, (std::vector<std::string>{"(0018,9219),  4, SS, Tag Angle Second Axis: 131073",
                                            "(0018,9087),  8, FD, Diffusion b-value:  0.50"}));
}

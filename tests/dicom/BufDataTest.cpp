#include "BufData.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using testsupport::hexBytes;

namespace {

bool decode(const std::vector<uint8_t>& bytes, DcmObj& obj, bool explicitVR,
            bool bigEndian = false) {
    BufData buf(bigEndian);
    buf.WriteBytes(bytes.data(), bytes.size());
    buf.Seek(0);
    obj.explicitVR = explicitVR;
    obj.bigEndian = bigEndian;
    return buf.ReadObject(obj);
}

std::vector<uint8_t> encode(DcmObj& obj) {
    BufData buf(0);
    buf.WriteObject(obj);
    return buf.TakeBytes();
}

std::vector<uint8_t> valueBytes(const DcmTag& t) {
    return t.HasValue() ? std::vector<uint8_t>(t.data.get(), t.data.get() + t.length)
                        : std::vector<uint8_t>();
}

// An explicit little endian sequence of undefined length holding one undefined-length item
// with a nested defined-length sequence, then encapsulated pixel data.
const char* const explicitNested = R"(
    08 00 05 00 43 53 0A 00  49 53 4F 5F 49 52 20 31 30 30   // (0008,0005) CS "ISO_IR 100"
    08 00 15 11 53 51 00 00  FF FF FF FF                     // (0008,1115) SQ undefined
      FE FF 00 E0 FF FF FF FF                                // item, undefined
        08 00 40 11 53 51 00 00  1A 00 00 00                 // (0008,1140) SQ, 26 bytes
          FE FF 00 E0 12 00 00 00                            // item, 18 bytes
            20 00 0E 00 55 49 0A 00 31 2E 32 2E 33 2E 34 35 36 00  // (0020,000E) UI
        FE FF 0D E0 00 00 00 00                              // item delimiter
      FE FF DD E0 00 00 00 00                                // sequence delimiter
    10 00 10 00 50 4E 08 00  44 4F 45 5E 4A 4F 48 4E          // (0010,0010) PN "DOE^JOHN"
    E0 7F 10 00 4F 42 00 00  FF FF FF FF                     // (7FE0,0010) OB undefined
      FE FF 00 E0 00 00 00 00                                // empty offset table
      FE FF 00 E0 04 00 00 00 01 02 03 04                    // one fragment
      FE FF DD E0 00 00 00 00                                // sequence delimiter
)";

} // namespace

TEST(BufDataDecode, ImplicitTakesDictionaryVR) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes("10 00 10 00 08 00 00 00 44 4F 45 5E 4A 4F 48 4E"), obj, false));
    ASSERT_EQ(obj.Count(), 1);
    EXPECT_EQ(obj.KeyAt(0), "(0010,0010)");
    EXPECT_STREQ(obj.TagAt(0)->vr, "PN");
    EXPECT_EQ(obj.TagAt(0)->length, 8u);
}

TEST(BufDataDecode, ExplicitHeaderForms) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes(R"(
        28 00 10 00 55 53 02 00 00 02              // (0028,0010) US 2
        28 00 34 00 4F 46 04 00 01 02 03 04        // OF uses the 16-bit length form
        00 00 00 09 04 00 00 00 00 00 00 00        // group 0000: 32-bit length, no VR
        08 00 60 00 0A 00 00 00 43 54 20 20 20 20 20 20 20 20  // implicit element, explicit stream
        08 00 16 00 53 51 00 00 00 00 00 00        // SQ of length 0 stays an element
        02 00 10 00 55 49 02 00 31 00              // group 0002 in a data set is dropped
    )"),
                       obj, true));
    ASSERT_EQ(obj.Count(), 5);
    EXPECT_STREQ(obj.TagAt(0)->vr, "US");
    EXPECT_EQ(valueBytes(*obj.TagAt(0)), hexBytes("00 02"));
    EXPECT_EQ(obj.TagAt(1)->length, 4u);
    EXPECT_EQ(obj.TagAt(2)->length, 4u);
    EXPECT_EQ(obj.TagAt(2)->vr[0], 0);
    EXPECT_EQ(obj.TagAt(3)->length, 10u);
    EXPECT_STREQ(obj.TagAt(3)->vr, "CS");
    EXPECT_STREQ(obj.ClassNameAt(4), "DcmTag");
    EXPECT_EQ(obj.TagAt(4)->length, 0u);
}

TEST(BufDataDecode, BigEndianHeadersAndFlags) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes(R"(
        00 28 00 10 55 53 00 02 02 00
        00 08 11 10 53 51 00 00 00 00 00 12
          FF FE E0 00 00 00 00 0A
            00 28 00 11 55 53 00 02 01 00
    )"),
                       obj, true, true));
    ASSERT_EQ(obj.Count(), 2);
    EXPECT_EQ(obj.KeyAt(0), "(0028,0010)");
    EXPECT_EQ(obj.TagAt(0)->bigEndian, 1);
    EXPECT_EQ(obj.TagAt(0)->GetUShort(), 0x0200);
    const DcmTag* inner = obj.ObjAt(1)->ObjAt(0)->TagAt(0);
    EXPECT_EQ(inner->bigEndian, 1);
    EXPECT_EQ(inner->GetUShort(), 0x0100);
}

TEST(BufDataDecode, NestingShapesAndEncapsulatedPixels) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes(explicitNested), obj, true));
    std::vector<std::string> shape;
    for (int i = 0; i < obj.Count(); ++i)
        shape.push_back(obj.KeyAt(i) + obj.ClassNameAt(i) +
                        std::to_string(int32_t(obj.HeaderAt(i).length)));
    EXPECT_EQ(shape, (std::vector<std::string>{
                         "(0008,0005)DcmTag10", "(0008,1115)DcmTag-1", "(FFFE,E000)DcmTag-1",
                         "(0008,1140)DcmObj26", "(FFFE,E00D)DcmTag0", "(FFFE,E0DD)DcmTag0",
                         "(0010,0010)DcmTag8", "(7FE0,0010)DcmTag-1", "(FFFE,E000)DcmTag0",
                         "(FFFE,E000)DcmTag4", "(FFFE,E0DD)DcmTag0"}));
    const DcmObj* seq = obj.ObjAt(3);
    EXPECT_STREQ(seq->itemTag.vr, "SQ");
    ASSERT_EQ(seq->Count(), 1);
    EXPECT_STREQ(seq->ClassNameAt(0), "DcmObj");
    EXPECT_EQ(seq->ObjAt(0)->itemTag.vr[0], 0);
    EXPECT_EQ(seq->ObjAt(0)->TagAt(0)->GetString(), "1.2.3.456");
    EXPECT_EQ(valueBytes(*obj.TagAt(9)), hexBytes("01 02 03 04"));
}

TEST(BufDataDecode, TrailingZerosEndTheDataSet) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes("10 00 10 00 02 00 00 00 41 20  00 00 00 00 00 00 00 00  AA BB"),
                       obj, false));
    EXPECT_EQ(obj.Count(), 1);
}

TEST(BufDataDecode, ShortValueKeepsWhatIsThereAndWarns) {
    testsupport::TempDir dir;
    SetLogTargets(dir.file("t.log").string());
    std::vector<uint8_t> bytes = hexBytes("10 00 10 00 64 00 00 00");
    bytes.resize(8 + 60, 'A');
    DcmObj obj;
    ASSERT_TRUE(decode(bytes, obj, false));
    ASSERT_EQ(obj.Count(), 1);
    EXPECT_EQ(obj.TagAt(0)->length, 60u);
    std::ifstream log(dir.file("t.log"));
    std::string line;
    std::getline(log, line);
    EXPECT_NE(line.find(", WARNING, BufData::ReadTag, read bytes!=tag->length (0010,0010) "
                        "count=60, tag->length=100\r"),
              std::string::npos)
        << line;
}

TEST(BufDataDecode, AbsurdLengthsAllocateOnlyWhatIsThere) {
    DcmObj obj;
    ASSERT_TRUE(decode(hexBytes("E0 7F 10 00 4F 57 00 00 F0 FF FF FF 01 02"), obj, true));
    EXPECT_EQ(obj.TagAt(0)->length, 2u);
    DcmObj nested;
    // A defined-length sequence whose content claims far more than it holds.
    EXPECT_TRUE(
        decode(hexBytes("08 00 15 11 53 51 00 00 10 00 00 00 FE FF 00 E0 F0 FF FF FF 00 00"),
               nested, true));
}

TEST(BufDataDecode, HeaderFragmentsReadAsZero) {
    BufData buf(0);
    buf.WriteBytes("\x10\x00\x10", 3);
    buf.Seek(0);
    DcmTag t;
    EXPECT_TRUE(buf.ReadTag(t, false, false));
    EXPECT_EQ(t.group, 0x0010);
    EXPECT_EQ(t.element, 0x0010);
    EXPECT_EQ(t.length, 0u);
}

TEST(BufDataDecode, DeepNestingFailsInsteadOfExhaustingTheStack) {
    // 200 sequences, each holding one item holding the next sequence.
    std::vector<uint8_t> body;
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> item = hexBytes("FE FF 00 E0 00 00 00 00");
        uint32_t n = static_cast<uint32_t>(body.size());
        std::memcpy(&item[4], &n, 4);
        item.insert(item.end(), body.begin(), body.end());
        std::vector<uint8_t> seq = hexBytes("08 00 15 11 00 00 00 00");
        n = static_cast<uint32_t>(item.size());
        std::memcpy(&seq[4], &n, 4);
        seq.insert(seq.end(), item.begin(), item.end());
        body = seq;
    }
    DcmObj obj;
    EXPECT_FALSE(decode(body, obj, false));
}

TEST(BufDataEncode, CommandSetsAreImplicit) {
    DcmObj cmd;
    cmd.Append(std::make_unique<DcmTag>(0x0000, 0x0002, 18, "1.2.840.10008.1.1\0", "UI"));
    EXPECT_EQ(encode(cmd), hexBytes("00 00 02 00 12 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 "
                                    "30 38 2E 31 2E 31 00"));
}

TEST(BufDataEncode, ExplicitHeaderFormsAndBigEndian) {
    DcmObj obj;
    obj.explicitVR = 1;
    obj.Append(std::make_unique<DcmTag>(0x0010, 0x0010, std::string("DOE^JOHN"), nullptr));
    obj.Append(std::make_unique<DcmTag>(0x0009, 0x0010, 4, "\1\2\3\4", "OB"));
    obj.Append(std::make_unique<DcmTag>(0x0028, 0x0034, 4, "\1\2\3\4", "OF"));
    obj.Append(std::make_unique<DcmTag>(0x0010, 0x0020, 0, nullptr, "LO"));
    EXPECT_EQ(encode(obj), hexBytes(R"(
        10 00 10 00 50 4E 08 00 44 4F 45 5E 4A 4F 48 4E
        09 00 10 00 4F 42 00 00 04 00 00 00 01 02 03 04
        28 00 34 00 4F 46 04 00 01 02 03 04
        10 00 20 00 4C 4F 00 00)"));

    DcmObj be;
    be.explicitVR = 1;
    be.transferSyntax = ExplicitBigEndian;
    be.Append(std::make_unique<DcmTag>(0x0028, 0x0010, 2, "\x02\x00", "US"));
    EXPECT_EQ(encode(be), hexBytes("00 28 00 10 55 53 00 02 02 00"));
}

TEST(BufDataEncode, LongValueInShortFormGoesOutAsUN) {
    DcmObj obj;
    obj.explicitVR = 1;
    std::string big(70000, 'x');
    obj.Append(std::make_unique<DcmTag>(0x0018, 0x1030, big, "LO"));
    std::vector<uint8_t> bytes = encode(obj);
    ASSERT_EQ(bytes.size(), 12u + 70000);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12),
              hexBytes("18 00 30 10 55 4E 00 00 70 11 01 00"));
    DcmObj back;
    ASSERT_TRUE(decode(bytes, back, true));
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(back.TagAt(0)->length, 70000u);
}

TEST(BufDataEncode, SequenceLengthsAreComputed) {
    auto item = std::make_unique<DcmObj>();
    item->Append(std::make_unique<DcmTag>(0x0008, 0x0050, std::string("ACC123"), nullptr));
    auto seq = std::make_unique<DcmObj>();
    seq->AddSequence(0xFFFE, 0xE000, std::move(item));
    DcmObj obj;
    obj.AddSequence(0x0040, 0x0100, std::move(seq));
    std::vector<uint8_t> bytes = encode(obj);
    EXPECT_EQ(bytes, hexBytes(R"(
        40 00 00 01 16 00 00 00      // sequence, 22 bytes
        FE FF 00 E0 0E 00 00 00      // item, 14 bytes
        08 00 50 00 06 00 00 00 41 43 43 31 32 33)"));
    // Encoding twice gives the same bytes; the computed lengths hold no value block in between.
    EXPECT_EQ(obj.ObjAt(0)->itemTag.length, 22u);
    EXPECT_EQ(obj.ObjAt(0)->itemTag.data, nullptr);
    EXPECT_EQ(encode(obj), bytes);
}

TEST(BufDataRoundTrip, UndefinedLengthsComeBackByteForByte) {
    std::vector<uint8_t> bytes = hexBytes(explicitNested);
    DcmObj obj;
    ASSERT_TRUE(decode(bytes, obj, true));
    EXPECT_EQ(encode(obj), bytes);
}

TEST(BufDataRoundTrip, DefinedLengthsAreRecomputed) {
    std::vector<uint8_t> in = hexBytes(R"(
        08 00 40 11 1A 00 00 00
          FE FF 00 E0 12 00 00 00
            20 00 0E 00 0A 00 00 00 31 2E 32 2E 33 2E 34 35 36 00)");
    DcmObj obj;
    ASSERT_TRUE(decode(in, obj, false));
    EXPECT_EQ(encode(obj), in);
    // A longer value inside the item grows the item and the sequence when written.
    obj.ObjAt(0)->ObjAt(0)->AddString(0x0020, 0x000E, "1.2.3.456.78");
    EXPECT_EQ(encode(obj), hexBytes(R"(
        08 00 40 11 1C 00 00 00
          FE FF 00 E0 14 00 00 00
            20 00 0E 00 0C 00 00 00 31 2E 32 2E 33 2E 34 35 36 2E 37 38)"));
}

TEST(BufDataRoundTrip, BigEndianDataSetsKeepTheirBytes) {
    std::vector<uint8_t> in = hexBytes(R"(
        00 08 00 60 43 53 00 02 43 54
        00 08 11 10 53 51 00 00 00 00 00 12
          FF FE E0 00 00 00 00 0A
            00 28 00 11 55 53 00 02 01 00
        7F E0 00 10 4F 57 00 00 00 00 00 04 12 34 56 78)");
    DcmObj obj;
    ASSERT_TRUE(decode(in, obj, true, true));
    obj.transferSyntax = ExplicitBigEndian;
    BufData out(0);
    out.WriteObject(obj);
    EXPECT_EQ(out.TakeBytes(), in);
}

TEST(BufDataRoundTrip, ImplicitWithNestedSequences) {
    std::vector<uint8_t> in = hexBytes(R"(
        08 00 05 00 0A 00 00 00 49 53 4F 5F 49 52 20 31 30 30
        08 00 15 11 FF FF FF FF
          FE FF 00 E0 FF FF FF FF
            08 00 40 11 12 00 00 00
              FE FF 00 E0 0A 00 00 00
                20 00 0E 00 02 00 00 00 31 00
            FE FF 0D E0 00 00 00 00
          FE FF 00 E0 0A 00 00 00
            08 00 60 00 02 00 00 00 43 54
        FE FF DD E0 00 00 00 00
        10 00 10 00 04 00 00 00 41 5E 42 20)");
    DcmObj obj;
    ASSERT_TRUE(decode(in, obj, false));
    EXPECT_EQ(encode(obj), in);
    EXPECT_STREQ(obj.ClassNameAt(3), "DcmObj");
    EXPECT_STREQ(obj.ClassNameAt(5), "DcmObj");
}

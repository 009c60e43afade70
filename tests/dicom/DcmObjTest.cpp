#include "DcmObj.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string valueOf(const DcmTag& t) {
    return t.HasValue() ? std::string(reinterpret_cast<const char*>(t.data.get()), t.length)
                        : std::string();
}

std::unique_ptr<DcmTag> text(uint16_t g, uint16_t e, const std::string& s,
                             const char* vr = nullptr) {
    return std::make_unique<DcmTag>(g, e, s, vr);
}

std::vector<std::string> keys(const DcmObj& obj) {
    std::vector<std::string> out;
    for (int i = 0; i < obj.Count(); ++i)
        out.push_back(obj.KeyAt(i));
    return out;
}

std::unique_ptr<DcmTag> undefinedSequence(uint16_t g, uint16_t e) {
    auto t = std::make_unique<DcmTag>();
    t->group = g;
    t->element = e;
    t->SetVR("SQ");
    t->length = UndefinedLength;
    return t;
}

std::unique_ptr<DcmTag> marker(uint16_t e, uint32_t length) {
    auto t = std::make_unique<DcmTag>();
    t->group = 0xFFFE;
    t->element = e;
    t->length = length;
    return t;
}

} // namespace

TEST(DcmTag, TextConstructorsPadOddLengthsByVR) {
    DcmTag uid(0x0008, 0x0018, std::string("1.2.3"), nullptr);
    EXPECT_STREQ(uid.vr, "UI");
    EXPECT_EQ(uid.length, 6u);
    EXPECT_EQ(valueOf(uid), std::string("1.2.3\0", 6));

    DcmTag lo(0x0008, 0x0018, std::string("1.2.3"), "LO");
    EXPECT_EQ(valueOf(lo), "1.2.3 ");
    DcmTag ob(0x0009, 0x0010, 3, "abc", "OB");
    EXPECT_EQ(valueOf(ob), "abc ");

    DcmTag even(0x0008, 0x0018, std::string("1.2.34"), nullptr);
    EXPECT_EQ(valueOf(even), "1.2.34");

    DcmTag empty(0x0010, 0x0010, 0, nullptr, nullptr);
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.GetString(), "");
}

TEST(DcmTag, UnknownTagOfUndefinedLengthBecomesSequence) {
    DcmTag t(0x0009, 0x1001, UndefinedLength, nullptr, nullptr);
    EXPECT_STREQ(t.vr, "SQ");
    EXPECT_EQ(t.data, nullptr);
    DcmTag u(0x0009, 0x1001, 2, "ab", nullptr);
    EXPECT_STREQ(u.vr, "UN");
}

TEST(DcmTag, NumericGettersHonourLengthAndByteOrder) {
    DcmTag s(0x0028, 0x0010, uint16_t(0x1234), nullptr);
    EXPECT_EQ(s.data[0], 0x34);
    EXPECT_EQ(s.data[1], 0x12);
    EXPECT_EQ(s.GetUShort(), 0x1234);
    EXPECT_EQ(s.GetULong(), 0u);
    s.bigEndian = 1;
    EXPECT_EQ(s.GetUShort(), 0x3412);

    DcmTag l(0x0000, 0x0000, uint32_t(0x11223344), nullptr);
    EXPECT_EQ(l.GetULong(), 0x11223344u);
    EXPECT_EQ(l.GetUShort(), 0);
    l.bigEndian = 1;
    EXPECT_EQ(l.GetULong(), 0x44332211u);
}

TEST(DcmTag, StringAndFloatGetters) {
    DcmTag a(0x0010, 0x0010, 6, "  ABC\0", "LO");
    EXPECT_EQ(a.GetString(), "ABC");
    DcmTag b(0x0008, 0x0008, 4, "A\\B ", "CS");
    EXPECT_EQ(b.GetString(), "A\\B");

    DcmTag f(0x0028, 0x0030, std::string("0.5\\1.25"), "DS");
    EXPECT_FLOAT_EQ(f.GetFloatAt(0), 0.5f);
    EXPECT_FLOAT_EQ(f.GetFloatAt(1), 1.25f);
    EXPECT_FLOAT_EQ(f.GetFloatAt(2), 0.0f);
    EXPECT_FLOAT_EQ(DcmTag(0x0018, 0x0050, std::string(" -2.5e1mm"), "DS").GetFloat(), -25.0f);
    EXPECT_FLOAT_EQ(DcmTag(0x0018, 0x0050, std::string("x"), "DS").GetFloat(), 0.0f);
    EXPECT_FLOAT_EQ(TextToFloat(" +1.5"), 1.5f);
    EXPECT_FLOAT_EQ(TextToFloat("+-1"), 0.0f);
    EXPECT_FLOAT_EQ(TextToFloat(""), 0.0f);
}

TEST(DcmTag, GetFieldCountsFromOne) {
    EXPECT_EQ(GetField(1, "\\", "a\\b\\c"), "a");
    EXPECT_EQ(GetField(3, "\\", "a\\b\\c"), "c");
    EXPECT_EQ(GetField(4, "\\", "a\\b\\c"), "");
    EXPECT_EQ(GetField(2, "\\", "a\\b\\c"), "b");
    EXPECT_EQ(GetField(1, "\\", ""), "");
}

TEST(DcmObj, AddKeepsTagOrderAndReplacesValueButNotVR) {
    DcmObj obj;
    obj.Append(text(0x0008, 0x0060, "CT"));
    obj.Append(text(0x0010, 0x0030, "19700101"));
    obj.Add(text(0x0010, 0x0020, "ID1 "));
    EXPECT_EQ(keys(obj), (std::vector<std::string>{"(0008,0060)", "(0010,0020)", "(0010,0030)"}));

    obj.Add(text(0x0010, 0x0020, "OTHER1", "SH"));
    ASSERT_EQ(obj.Count(), 3);
    EXPECT_EQ(obj.GetString(0x0010, 0x0020), "OTHER1");
    EXPECT_STREQ(obj.GetTag(0x0010, 0x0020)->vr, "LO");

    obj.Add(text(0x0002, 0x0010, "1.2"));
    obj.Add(text(0x7FE0, 0x0010, "xx"));
    EXPECT_EQ(obj.KeyAt(0), "(0002,0010)");
    EXPECT_EQ(obj.KeyAt(obj.Count() - 1), "(7FE0,0010)");
}

TEST(DcmObj, AddAndGetTagSkipUndefinedSequences) {
    DcmObj obj;
    obj.Append(undefinedSequence(0x0008, 0x1115));
    obj.Append(marker(0xE000, UndefinedLength));
    obj.Append(text(0x0010, 0x0020, "IN"));
    obj.Append(marker(0xE00D, 0));
    obj.Append(marker(0xE0DD, 0));
    EXPECT_EQ(obj.GetTag(0x0010, 0x0020), nullptr);
    EXPECT_EQ(obj.GetTag(0x0008, 0x1115), nullptr);

    obj.Add(text(0x0010, 0x0020, "OUT1"));
    ASSERT_EQ(obj.Count(), 6);
    EXPECT_EQ(obj.TagAt(2)->GetString(), "IN");
    EXPECT_EQ(obj.TagAt(5)->GetString(), "OUT1");
    EXPECT_EQ(obj.GetString(0x0010, 0x0020), "OUT1");
}

TEST(DcmObj, NothingAfterEncapsulatedPixelDataIsFound) {
    DcmObj obj;
    auto pixels = std::make_unique<DcmTag>();
    pixels->group = 0x7FE0;
    pixels->element = 0x0010;
    pixels->SetVR("OB");
    pixels->length = UndefinedLength;
    obj.Append(std::move(pixels));
    obj.Append(marker(0xE000, 0));
    obj.Append(marker(0xE0DD, 0));
    obj.Append(text(0xFFFA, 0xFFFA, "zz", "SQ"));
    EXPECT_EQ(obj.GetTag(0xFFFA, 0xFFFA), nullptr);
    obj.Add(text(0x0008, 0x0060, "MR"));
    EXPECT_EQ(obj.KeyAt(obj.Count() - 1), "(0008,0060)");
}

TEST(DcmObj, NestedSequencesAreNotElementsAndRemoveFreesThem) {
    DcmObj obj;
    auto seq = std::make_unique<DcmObj>();
    auto item = std::make_unique<DcmObj>();
    item->Append(text(0x0008, 0x0050, "ACC123"));
    seq->AddSequence(0xFFFE, 0xE000, std::move(item));
    obj.Append(text(0x0008, 0x0005, "ISO_IR 100"));
    obj.Append(text(0x0010, 0x0010, "DOE"));
    obj.AddSequence(0x0008, 0x1110, std::move(seq));
    EXPECT_EQ(keys(obj), (std::vector<std::string>{"(0008,0005)", "(0008,1110)", "(0010,0010)"}));
    EXPECT_STREQ(obj.ClassNameAt(1), "DcmObj");
    EXPECT_STREQ(obj.ObjAt(1)->itemTag.vr, "SQ");
    EXPECT_EQ(obj.ObjAt(1)->ObjAt(0)->itemTag.vr[0], 0);
    EXPECT_EQ(obj.TagAt(1), nullptr);
    EXPECT_EQ(obj.GetTag(0x0008, 0x1110), nullptr);
    obj.Remove(1);
    EXPECT_EQ(obj.Count(), 2);
}

TEST(DcmObj, AddKeepsGroupLengthInStep) {
    DcmObj obj;
    obj.Append(text(0x0008, 0x0005, "ISO_IR 100"));
    obj.Append(std::make_unique<DcmTag>(0x0010, 0x0000, uint32_t(10), nullptr));
    obj.Append(text(0x0010, 0x0010, "DOE^JOHN"));
    obj.Append(text(0x0010, 0x0030, "19700101"));
    // Insert before (0010,0030): grows by 8 + the displaced entry's length.
    obj.Add(text(0x0010, 0x0020, "ID"));
    EXPECT_EQ(obj.TagAt(1)->GetULong(), 10u + 8 + 8);
    obj.Add(text(0x0010, 0x0020, "LONGID"));
    EXPECT_EQ(obj.TagAt(1)->GetULong(), 26u + 8 + 6);
}

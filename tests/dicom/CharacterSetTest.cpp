#include "CharacterSet.h"
#include "DcmObj.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string bytes(const char* hex) {
    std::vector<uint8_t> b = testsupport::hexBytes(hex);
    return {b.begin(), b.end()};
}

} // namespace

// One name per set, the bytes as the set encodes them.
TEST(CharacterSet, SingleByteSetsAndTheWholeTextOnes) {
    struct Case {
        const char* set;
        const char* hex;
        const char* utf8;
    };
    const Case cases[] = {
        {"ISO_IR 100", "4D DC 4C 4C 45 52 5E 48 41 4E 53", "MÜLLER^HANS"},
        {"ISO_IR 101", "57 61 B3 EA 73 61", "Wałęsa"},
        {"ISO_IR 109", "C6 75 F8", "Ĉuĝ"},
        {"ISO_IR 110", "D3 E0", "Ķā"},
        {"ISO_IR 144", "BB EE DA E1 D5 DC D1 E3 E0 D3", "Люксембург"},
        {"ISO_IR 127", "E2 C8 C7 E6 EA 5E E4 E6 D2 C7 D1", "قباني^لنزار"},
        {"ISO_IR 126", "C4 E9 EF ED F5 F3 E9 EF F2", "Διονυσιος"},
        {"ISO_IR 138", "F9 F8 E5 EF 5E E3 E1 E5 F8 E4", "שרון^דבורה"},
        {"ISO_IR 148", "DD FE F0", "İşğ"},
        {"ISO_IR 166", "BB C3 D0 E0 B7 C8 E4 B7 C2", "ประเทศไทย"},
        {"ISO_IR 13", "D4 CF C0 DE", "ﾔﾏﾀﾞ"},
        {"ISO_IR 192", "E5 B1 B1 E7 94 B0 5E E5 A4 AA E9 83 8E", "山田^太郎"},
        {"GB18030", "CD F5 5E D0 A1 B6 AB", "王^小东"},
        // Undeclared: UTF-8 when it is, else Latin-1, so nothing is lost.
        {"", "4D DC 4C 4C 45 52", "MÜLLER"},
        {"ISO_IR 6", "4D C3 9C 4C 4C 45 52", "MÜLLER"},
        {"NO SUCH SET", "4D DC", "MÜ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        EXPECT_EQ(DecodeText(bytes(c.hex), c.set), c.utf8);
    }
    EXPECT_EQ(DecodeText("PLAIN^ASCII", "ISO_IR 144"), "PLAIN^ASCII");
}

// Code extensions: the Japanese and Korean person names of the standard's examples.
TEST(CharacterSet, Iso2022FormsFollowTheirEscapes) {
    EXPECT_EQ(DecodeText(bytes("59 61 6D 61 64 61 5E 54 61 72 6F 75 3D"
                               "1B 24 42 3B 33 45 44 1B 28 42 5E 1B 24 42 42 40 4F 3A 1B 28 42 3D"
                               "1B 24 42 24 64 24 5E 24 40 1B 28 42 5E 1B 24 42 24 3F 24 6D 24 26"
                               "1B 28 42"),
                         "\\ISO 2022 IR 87"),
              "Yamada^Tarou=山田^太郎=やまだ^たろう");
    EXPECT_EQ(DecodeText(bytes("D4 CF C0 DE 5E C0 DB B3 3D"
                               "1B 24 42 3B 33 45 44 1B 28 4A 5E 1B 24 42 42 40 4F 3A 1B 28 4A 3D"
                               "1B 24 42 24 64 24 5E 24 40 1B 28 4A 5E 1B 24 42 24 3F 24 6D 24 26"
                               "1B 28 4A"),
                         "ISO 2022 IR 13\\ISO 2022 IR 87"),
              "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう");
    EXPECT_EQ(DecodeText(bytes("48 6F 6E 67 5E 47 69 6C 64 6F 6E 67 3D"
                               "1B 24 29 43 FB F3 5E 1B 24 29 43 D1 CE D4 D7 3D"
                               "1B 24 29 43 C8 AB 5E 1B 24 29 43 B1 E6 B5 BF"),
                         "\\ISO 2022 IR 149"),
              "Hong^Gildong=洪^吉洞=홍^길동");
    EXPECT_EQ(DecodeText(bytes("1B 2D 41 4D DC 4C 4C 45 52"), "ISO 2022 IR 100"), "MÜLLER");
    EXPECT_EQ(DecodeText(bytes("1B 2D 4C BB EE DA"), "ISO 2022 IR 6\\ISO 2022 IR 144"), "Люк");
}

TEST(CharacterSet, QueriesDeclareLatin1WhenItFitsAndUtf8Otherwise) {
    EXPECT_EQ(QueryCharacterSet("MULLER*"), "");
    EXPECT_EQ(QueryCharacterSet("MÜLLER*"), "ISO_IR 100");
    EXPECT_EQ(QueryCharacterSet("山田*"), "ISO_IR 192");
    EXPECT_EQ(QueryCharacterSet(bytes("4D DC")), "ISO_IR 100") << "Latin-1 already";
    EXPECT_EQ(EncodeText("MÜLLER*", "ISO_IR 100"), bytes("4D DC 4C 4C 45 52 2A"));
    EXPECT_EQ(EncodeText("山田*", "ISO_IR 192"), "山田*");

    struct Case {
        std::string name;
        const char* declared; // nullptr: no (0008,0005)
        std::string sent;
    };
    const Case cases[] = {{"DOE*", nullptr, "DOE*"},
                          {"MÜLLER*", "ISO_IR 100", bytes("4D DC 4C 4C 45 52 2A")},
                          {"山田*", "ISO_IR 192", "山田*"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DcmObj identifier;
        identifier.Append(std::make_unique<DcmTag>(0x0008, 0x0052, std::string("STUDY"), "CS"));
        identifier.Append(std::make_unique<DcmTag>(0x0010, 0x0010, c.name, "PN"));
        DeclareQueryCharacterSet(identifier);
        if (c.declared) {
            ASSERT_EQ(identifier.Count(), 3);
            EXPECT_TRUE(identifier.TagAt(0)->Is(0x0008, 0x0005));
            EXPECT_EQ(identifier.GetString(0x0008, 0x0005), c.declared);
        } else {
            EXPECT_EQ(identifier.Count(), 2);
        }
        EXPECT_EQ(identifier.GetString(0x0010, 0x0010), c.sent);
    }
}

// The dump's lines are UTF-8: names in the data set's set, tags of AT values as tags.
TEST(CharacterSet, DumpShowsDecodedNamesAndTags) {
    DcmObj dataSet;
    dataSet.Append(std::make_unique<DcmTag>(0x0008, 0x0005, std::string("ISO_IR 100"), "CS"));
    dataSet.Append(std::make_unique<DcmTag>(0x0010, 0x0010, bytes("4D DC 4C 4C 45 52"), "PN"));
    const uint8_t pointers[] = {0x20, 0x00, 0x13, 0x00, 0x28, 0x00, 0x10, 0x00};
    dataSet.Append(std::make_unique<DcmTag>(0x0020, 0x9165, 8u, pointers, "AT"));
    std::vector<std::string> lines;
    dataSet.Dump(lines, 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find(": MÜLLER"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(": (0020,0013)\\(0028,0010)"), std::string::npos) << lines[2];
}

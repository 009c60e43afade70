#include "DataDictionary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Tag = std::pair<uint16_t, uint16_t>;

// The reference behaviour: first row from the top with both numbers equal.
const DictEntry* linearFind(uint16_t group, uint16_t element) {
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        if (DataDictionary[i].group == group && DataDictionary[i].element == element) {
            return &DataDictionary[i];
        }
    }
    return nullptr;
}

std::string vrOf(const DictEntry& entry) {
    return std::string(entry.vr, strnlen(entry.vr, 4));
}

void expectRow(uint16_t group, uint16_t element, const std::string& vr, const std::string& name) {
    SCOPED_TRACE(testing::Message() << std::hex << group << "," << element);
    const DictEntry* entry = FindDictEntry(group, element);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(vrOf(*entry), vr);
    EXPECT_STREQ(entry->name, name.c_str());
}

void expectVr(uint16_t group, uint16_t element, const std::string& vr) {
    SCOPED_TRACE(testing::Message() << std::hex << group << "," << element);
    const DictEntry* entry = FindDictEntry(group, element);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(vrOf(*entry), vr);
}

TEST(DataDictionaryShape, RowsAreWellFormedAndTerminated) {
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        const DictEntry& entry = DataDictionary[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(entry.vr[0] >= 'A' && entry.vr[0] <= 'Z');
        EXPECT_TRUE(entry.vr[1] >= 'A' && entry.vr[1] <= 'Z');
        EXPECT_EQ(entry.vr[2], '\0');
        EXPECT_EQ(entry.vr[3], '\0');
        ASSERT_NE(entry.name, nullptr);
        EXPECT_GT(std::strlen(entry.name), 0u);
    }
    const DictEntry& last = DataDictionary[DataDictionaryRows];
    EXPECT_EQ(last.group, 0);
    EXPECT_EQ(last.element, 0);
    EXPECT_EQ(std::memcmp(last.vr, "\0\0\0\0", 4), 0);
    ASSERT_NE(last.name, nullptr);
    EXPECT_STREQ(last.name, "");
}

TEST(DataDictionaryShape, NoRepeatingGroupCopiesOrLaterModules) {
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        const uint16_t group = DataDictionary[i].group;
        SCOPED_TRACE(testing::Message() << std::hex << group << "," << DataDictionary[i].element);
        // Curves and overlays live under their base groups only.
        if ((group & 0xFF00) == 0x5000 || (group & 0xFF00) == 0x6000) {
            EXPECT_TRUE(group == 0x5000 || group == 0x6000);
        }
        EXPECT_NE(group, 0x0062);
        EXPECT_NE(group, 0x0064);
        EXPECT_NE(group, 0x0066);
        // The veterinary patient block (0010,2201) to (0010,22FF) came later.
        EXPECT_FALSE(group == 0x0010 && (DataDictionary[i].element & 0xFF00) == 0x2200 &&
                     DataDictionary[i].element > 0x2200);
    }
    // Present: elements that date the table to the mid-2000s editions.
    expectVr(0x300A, 0x0302, "IS");
    expectVr(0x300A, 0x0314, "SQ");
    expectVr(0x0042, 0x0011, "OB");
    expectVr(0x0012, 0x0062, "CS");
    expectVr(0x0012, 0x0063, "LO");
    expectVr(0x0012, 0x0064, "SQ");
    expectRow(0x0028, 0x7FE0, "UT", "Pixel Data Provider URL");
}

TEST(DataDictionaryContent, CommandGroup) {
    struct Row {
        uint16_t element;
        const char* vr;
        const char* name;
    };
    const Row rows[] = {
        {0x0000, "UL", "Group Length"},
        {0x0002, "UI", "Affected SOP Class UID"},
        {0x0003, "UI", "Requested SOP Class UID"},
        {0x0100, "US", "Command Field"},
        {0x0110, "US", "Message ID"},
        {0x0120, "US", "Message ID Being Responded To"},
        {0x0600, "AE", "Move Destination"},
        {0x0700, "US", "Priority"},
        {0x0800, "US", "Data Set Type"},
        {0x0900, "US", "Status"},
        {0x0901, "AT", "Offending Element"},
        {0x0902, "LO", "Error Comment"},
        {0x0903, "US", "Error ID"},
        {0x1000, "UI", "Affected SOP Instance UID"},
        {0x1001, "UI", "Requested SOP Instance UID"},
        {0x1002, "US", "Event Type ID"},
        {0x1005, "AT", "Attribute Identifier List"},
        {0x1008, "US", "Action Type ID"},
        {0x1020, "US", "Number of Remaining Sub-Operations"},
        {0x1021, "US", "Number of Completed Sub-Operations"},
        {0x1022, "US", "Number of Failed Sub-Operations"},
        {0x1023, "US", "Number of Warning Sub-Operations"},
        {0x1030, "AE", "Move Originator AET"},
        {0x1031, "US", "Move Originator Message ID"},
    };
    std::vector<uint16_t> actual;
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        if (DataDictionary[i].group == 0x0000) {
            actual.push_back(DataDictionary[i].element);
        }
    }
    std::vector<uint16_t> expected;
    for (const Row& row : rows) {
        expected.push_back(row.element);
        expectRow(0x0000, row.element, row.vr, row.name);
    }
    EXPECT_EQ(actual, expected);
}

TEST(DataDictionaryContent, FileMetaGroup) {
    const std::vector<std::pair<uint16_t, std::string>> expected = {
        {0x0000, "UL"}, {0x0001, "OB"}, {0x0002, "UI"}, {0x0003, "UI"}, {0x0010, "UI"},
        {0x0012, "UI"}, {0x0013, "SH"}, {0x0016, "AE"}, {0x0100, "UI"}, {0x0102, "OB"},
    };
    std::vector<std::pair<uint16_t, std::string>> actual;
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        if (DataDictionary[i].group == 0x0002) {
            actual.emplace_back(DataDictionary[i].element, vrOf(DataDictionary[i]));
        }
    }
    EXPECT_EQ(actual, expected);
    expectRow(0x0002, 0x0010, "UI", "Transfer Syntax UID");
}

TEST(DataDictionaryContent, GroupLengthRows) {
    std::map<uint16_t, bool> groups;
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        groups[DataDictionary[i].group] = true;
    }
    for (const auto& [group, unused] : groups) {
        SCOPED_TRACE(testing::Message() << std::hex << group);
        const DictEntry* entry = FindDictEntry(group, 0x0000);
        if (group == 0x4FFE || group == 0xFFFA || group == 0xFFFC || group == 0xFFFE) {
            EXPECT_EQ(entry, nullptr);
            continue;
        }
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(vrOf(*entry), "UL");
        EXPECT_STREQ(entry->name, group == 0x7FE0 ? "Group 7FE0 Length" : "Group Length");
    }
    // The group length names belong to element 0000 only.
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        const std::string name = DataDictionary[i].name;
        if (name == "Group Length" || name == "Group 7FE0 Length") {
            EXPECT_EQ(DataDictionary[i].element, 0x0000) << std::hex << DataDictionary[i].group;
        }
    }
}

TEST(DataDictionaryContent, RetiredRows) {
    int retired = 0;
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        const std::string name = DataDictionary[i].name;
        if (name.size() >= 6 && name.compare(name.size() - 6, 6, " (RET)") == 0) {
            ++retired;
        } else {
            // A retired marker anywhere else would be a malformed name.
            EXPECT_EQ(name.find("RET)"), std::string::npos) << name;
        }
    }
    EXPECT_EQ(retired, 227);
    expectRow(0x0008, 0x0010, "CS", "Recognition Code (RET)");
}

TEST(DataDictionaryContent, NamesAreLatin1WithMicroSign) {
    // The two micro signs are single 0xB5 bytes, not UTF-8 pairs; the byte after them must not
    // have been swallowed into the escape.
    expectRow(0x0018, 0x8150, "DS",
              "Exposure Time in \xB5"
              "S");
    expectRow(0x0018, 0x8151, "DS",
              "X-Ray Tube Current in \xB5"
              "A");
    EXPECT_EQ(std::strlen(FindDictEntry(0x0018, 0x8151)->name), 24u);

    int nonAscii = 0;
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        for (const char* p = DataDictionary[i].name; *p != '\0'; ++p) {
            const auto byte = static_cast<unsigned char>(*p);
            if (byte < 0x20 || byte > 0x7E) {
                ++nonAscii;
                EXPECT_EQ(byte, 0xB5) << DataDictionary[i].name;
            }
        }
    }
    EXPECT_EQ(nonAscii, 2);
}

TEST(DataDictionaryContent, ItemAndDelimiterRows) {
    expectRow(0xFFFE, 0xE000, "DL", "Item");
    expectRow(0xFFFE, 0xE00D, "DL", "Item Delimitation Item");
    expectRow(0xFFFE, 0xE0DD, "DL", "Sequence Delimitation Item");
}

TEST(DataDictionaryContent, SampleNamesUsedInDumps) {
    expectRow(0x0010, 0x0010, "PN", "Patient's Name");
    expectRow(0x0028, 0x0010, "US", "Rows");
    expectRow(0x0008, 0x0016, "UI", "SOP Class UID");
    expectRow(0x0008, 0x1115, "SQ", "Referenced Series Sequence");
    expectRow(0x7FE0, 0x0010, "OW", "Pixel Data");
}

TEST(DataDictionaryContent, ChosenVrForMultiVrElements) {
    const Tag signedShort[] = {
        {0x0028, 0x0104}, {0x0028, 0x0105}, {0x0028, 0x0106}, {0x0028, 0x0107}, {0x0028, 0x0108},
        {0x0028, 0x0109}, {0x0028, 0x0110}, {0x0028, 0x0111}, {0x0028, 0x0120}, {0x0028, 0x1100},
        {0x0028, 0x1101}, {0x0028, 0x1102}, {0x0028, 0x1103}, {0x0040, 0x9211}, {0x0040, 0x9216},
        {0x0060, 0x3004}, {0x0060, 0x3006}};
    for (const auto& [group, element] : signedShort) {
        expectVr(group, element, "SS");
    }
    for (const auto& [group, element] : {Tag{0x5000, 0x200C}, Tag{0x5000, 0x3000}}) {
        expectVr(group, element, "OB");
    }
    const Tag otherWord[] = {{0x5400, 0x0110}, {0x5400, 0x0112}, {0x5400, 0x100A},
                             {0x5400, 0x1010}, {0x6000, 0x3000}, {0x7FE0, 0x0010},
                             {0x0028, 0x1201}, {0x0028, 0x1202}, {0x0028, 0x1203},
                             {0x0028, 0x1221}, {0x0028, 0x1222}, {0x0028, 0x1223}};
    for (const auto& [group, element] : otherWord) {
        expectVr(group, element, "OW");
    }
    for (const auto& [group, element] :
         {Tag{0x0028, 0x1200}, Tag{0x0028, 0x3002}, Tag{0x0028, 0x3006}}) {
        expectVr(group, element, "US");
    }
}

TEST(FindDictEntry, AgreesWithLinearScanOnEveryRowAndItsNeighbours) {
    for (std::size_t i = 0; i < DataDictionaryRows; ++i) {
        const uint16_t group = DataDictionary[i].group;
        const uint16_t element = DataDictionary[i].element;
        ASSERT_EQ(FindDictEntry(group, element), &DataDictionary[i]) << i;
        // Tags next to a real one probe both edges of every search interval.
        for (const Tag& near :
             {Tag{group, uint16_t(element - 1)}, Tag{group, uint16_t(element + 1)},
              Tag{uint16_t(group - 1), element}, Tag{uint16_t(group + 1), element}}) {
            ASSERT_EQ(FindDictEntry(near.first, near.second), linearFind(near.first, near.second))
                << std::hex << near.first << "," << near.second;
        }
    }
}

TEST(FindDictEntry, AbsentTags) {
    const Tag absent[] = {
        {0x0009, 0x0010}, // private creator
        {0x6002, 0x3000}, // second overlay's data: repeating groups are not expanded
        {0x6002, 0x0010}, {0x5002, 0x3000}, {0x0010, 0x2201}, {0x0062, 0x0002}, {0x0000, 0x0001},
        {0xFFFE, 0x0000}, {0xFFFF, 0xFFFF}, {0x7FE1, 0x0010}, {0x0029, 0x1010}, {0x0008, 0xFFFF},
    };
    for (const auto& [group, element] : absent) {
        EXPECT_EQ(FindDictEntry(group, element), nullptr) << std::hex << group << "," << element;
        EXPECT_EQ(linearFind(group, element), nullptr);
    }
    // (0000,0000) is a real row; the terminator is never returned.
    EXPECT_EQ(FindDictEntry(0x0000, 0x0000), &DataDictionary[0]);
}

} // namespace

#include "UidTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>

namespace {

using namespace std::string_literals;

std::set<std::string> asSet(std::span<const std::string_view> list) {
    return {list.begin(), list.end()};
}

// Every UID any table mentions, plus near misses of each, to probe the membership functions.
std::set<std::string> probeUids() {
    std::set<std::string> uids;
    for (const UidNameRow& row : UidNameRows()) {
        uids.emplace(row.uid);
    }
    for (auto list :
         {WaveformSopClasses(), NonImageSopClasses(), ImageSopClasses(), KnownTransferSyntaxes()}) {
        uids.insert(list.begin(), list.end());
    }
    std::set<std::string> probes = uids;
    for (const std::string& uid : uids) {
        probes.insert(uid + " ");
        probes.insert(uid + '\0');
        probes.insert(uid + ".1");
        probes.insert(uid.substr(0, uid.size() - 1));
        probes.insert(" " + uid);
    }
    probes.insert("");
    return probes;
}

TEST(UidName, NamesKeptAsTheyStand) {
    EXPECT_EQ(UidName("1.2.840.10008.1.2"), "Little Endian Implicit VR");
    EXPECT_EQ(UidName("1.2.840.10008.1.2.4.50"), "JPEG BaseLine Lossy ");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.4.1.1.11.3"),
              "Pseudo Color Softcopy Presentation StateStorage");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.1.30"), "Hardcopy Color Image StorageSOP Class (Retired)");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.4.1.1.2"), "CT Image Storage");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.4.1.1.1.2"),
              "Digital Mammography X-ray Image Storage - For Presentation");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.4.1.1.12.2"), "X-Ray Radiofluoroscopic Image Storage");
}

TEST(UidName, ExactTextOnly) {
    EXPECT_EQ(UidName("1.2.840.10008.1.2 "), "");
    EXPECT_EQ(UidName("1.2.840.10008.1.2\0"s), "");
    EXPECT_EQ(UidName(" 1.2.840.10008.1.2"), "");
    EXPECT_EQ(UidName("1.2.840.10008.1."), "");
    EXPECT_EQ(UidName("1.2.840.10008.5.1.4.1.1.2.1.1"), "");
    EXPECT_EQ(UidName(""), "");
    // Known transfer syntaxes without a name row.
    EXPECT_EQ(UidName("1.2.840.10008.1.2.4.57"), "");
    EXPECT_EQ(UidName("1.2.840.10008.1.2.4.100"), "");
}

TEST(UidName, EveryRowIsFoundByItsLookup) {
    const auto rows = UidNameRows();
    ASSERT_EQ(rows.size(), 103u);
    std::set<std::string_view> seen;
    for (const UidNameRow& row : rows) {
        EXPECT_TRUE(seen.insert(row.uid).second) << "duplicate " << row.uid;
        EXPECT_FALSE(row.name.empty()) << row.uid;
        EXPECT_EQ(UidName(std::string(row.uid)), row.name) << row.uid;
    }
    EXPECT_EQ(rows.front().uid, "1.2.840.10008.1.2");
    EXPECT_EQ(rows[5].name, "JPEG BaseLine Lossy ");
    EXPECT_EQ(rows.back().uid, "1.2.840.10008.5.1.4.1.1.12.2");
}

// The waveform and transfer syntax lists are compared whole below; the two long ones by size,
// so that a lost row shows.
TEST(UidLists, DistinctEntriesAndNoLostRows) {
    for (auto list :
         {WaveformSopClasses(), NonImageSopClasses(), ImageSopClasses(), KnownTransferSyntaxes()})
        EXPECT_EQ(asSet(list).size(), list.size());
    EXPECT_EQ(NonImageSopClasses().size(), 14u);
    EXPECT_EQ(ImageSopClasses().size(), 41u);
}

TEST(UidLists, MembershipMatchesListsExactly) {
    const auto waveform = asSet(WaveformSopClasses());
    const auto nonImage = asSet(NonImageSopClasses());
    const auto image = asSet(ImageSopClasses());
    const auto transfer = asSet(KnownTransferSyntaxes());
    for (const std::string& uid : probeUids()) {
        SCOPED_TRACE("[" + uid + "]");
        EXPECT_EQ(IsWaveformSopClass(uid), waveform.count(uid) == 1);
        EXPECT_EQ(IsNonImageSopClass(uid), nonImage.count(uid) == 1);
        EXPECT_EQ(IsImageSopClass(uid), image.count(uid) == 1);
        EXPECT_EQ(IsKnownTransferSyntax(uid), transfer.count(uid) == 1);
    }
}

TEST(UidLists, WaveformsAndTransferSyntaxes) {
    EXPECT_EQ(
        asSet(WaveformSopClasses()),
        (std::set<std::string>{"1.2.840.10008.5.1.4.1.1.9.1.1", "1.2.840.10008.5.1.4.1.1.9.1.2",
                               "1.2.840.10008.5.1.4.1.1.9.1.3"}));
    EXPECT_EQ(asSet(KnownTransferSyntaxes()),
              (std::set<std::string>{
                  "1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
                  "1.2.840.10008.1.2.5", "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50",
                  "1.2.840.10008.1.2.4.51", "1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.90",
                  "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.100"}));
    // Hemodynamic and cardiac electrophysiology waveforms are not drawn as ECG pages.
    EXPECT_FALSE(IsWaveformSopClass("1.2.840.10008.5.1.4.1.1.9.2.1"));
    EXPECT_FALSE(IsWaveformSopClass("1.2.840.10008.5.1.4.1.1.9.3.1"));
    // Deflate and the JPEG-LS syntaxes are not convertible.
    EXPECT_FALSE(IsKnownTransferSyntax("1.2.840.10008.1.2.1.99"));
    EXPECT_FALSE(IsKnownTransferSyntax("1.2.840.10008.1.2.4.80"));
}

TEST(UidLists, ImageAndNonImageExamples) {
    EXPECT_FALSE(IsImageSopClass("1.2.840.10008.5.1.4.1.1.88.22"));
    EXPECT_TRUE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.88.22"));
    EXPECT_FALSE(IsImageSopClass("1.2.840.10008.5.1.4.1.1.66"));
    EXPECT_FALSE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.66"));
    EXPECT_TRUE(IsImageSopClass("1.2.840.10008.5.1.4.1.1.2"));
    EXPECT_FALSE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.2"));
    EXPECT_TRUE(IsImageSopClass("1.2.392.200036.9125.1.1.2"));
    EXPECT_TRUE(IsImageSopClass("1.2.840.10008.5.1.4.1.1.13.1.3"));
    EXPECT_TRUE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.104.1"));
    EXPECT_TRUE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.88.67"));
    EXPECT_FALSE(IsImageSopClass("1.2.840.10008.5.1.4.1.1.2 "));
    EXPECT_FALSE(IsNonImageSopClass("1.2.840.10008.5.1.4.1.1.88.22\0"s));
}

TEST(UidLists, RelationsBetweenTables) {
    const auto nonImage = asSet(NonImageSopClasses());
    for (std::string_view uid : WaveformSopClasses()) {
        EXPECT_EQ(nonImage.count(std::string(uid)), 1u) << uid;
    }
    for (std::string_view uid : ImageSopClasses()) {
        EXPECT_EQ(nonImage.count(std::string(uid)), 0u) << uid;
    }
    for (std::string_view uid : NonImageSopClasses()) {
        EXPECT_NE(UidName(std::string(uid)), "") << uid;
    }

    std::set<std::string> unnamedImages;
    for (std::string_view uid : ImageSopClasses()) {
        if (UidName(std::string(uid)).empty()) {
            unnamedImages.emplace(uid);
        }
    }
    EXPECT_EQ(unnamedImages, (std::set<std::string>{"1.2.840.10008.5.1.4.1.1.13.1.2",
                                                    "1.2.840.10008.5.1.4.1.1.13.1.3",
                                                    "1.2.392.200036.9125.1.1.2"}));

    std::set<std::string> unnamedSyntaxes;
    for (std::string_view uid : KnownTransferSyntaxes()) {
        if (UidName(std::string(uid)).empty()) {
            unnamedSyntaxes.emplace(uid);
        }
    }
    EXPECT_EQ(unnamedSyntaxes,
              (std::set<std::string>{"1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.100"}));
}

} // namespace

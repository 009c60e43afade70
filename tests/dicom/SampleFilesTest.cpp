// Every sample file that pydicom ships is read; the top-level entries we build are checked
// against DCMTK's dcmdump of the same file, an independent parser run as a black box.

#include "DcmObj.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::findProgram;
using testsupport::peersRequired;
using testsupport::runCommand;
using testsupport::shellQuote;

namespace {

const fs::path SampleRoot = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

enum class Outcome {
    // DcmObj::Read succeeds and the top-level entries equal dcmdump's (the default).
    Agrees,
    // DcmObj::Read returns false.
    Rejected,
    // Read succeeds; the last value is cut short by the end of the file: we keep the bytes that
    // are there, dcmdump prints the declared length. All entries before it agree.
    TruncatedAtEnd,
    // Read succeeds, but our rules and dcmdump's reading part ways (reason given).
    ReadDiffers,
    // Read succeeds; the data set is implicit VR under an explicit transfer syntax. Our reader
    // falls back to implicit VR per element; dcmdump only reads such bytes when told, so it is
    // given the data set alone (after the meta group) as implicit VR. The entries agree up to
    // the first one of undefined length: the fallback keeps only the low 16 bits of FFFFFFFF,
    // and that value of FFFF bytes runs to the end of the file.
    ImplicitDataSet,
};

struct Expectation {
    const char* file; // relative to SampleRoot
    Outcome outcome;
    const char* reason;
};

const Expectation Expectations[] = {
    // Not DICOM files with a preamble: nothing or no "DICM" at offset 128.
    {"ExplVR_BigEndNoMeta.dcm", Outcome::Rejected, "data set without preamble and meta header"},
    {"ExplVR_LitEndNoMeta.dcm", Outcome::Rejected, "data set without preamble and meta header"},
    {"no_meta.dcm", Outcome::Rejected, "data set without preamble and meta header"},
    {"rtstruct.dcm", Outcome::Rejected, "data set without preamble and meta header"},
    {"README.txt", Outcome::Rejected, "not DICOM (text)"},
    {"rtplan.dump", Outcome::Rejected, "not DICOM (text dump)"},
    {"rtstruct.dump", Outcome::Rejected, "not DICOM (text dump)"},
    {"test1.json", Outcome::Rejected, "not DICOM (JSON)"},
    {"test_PN.json", Outcome::Rejected, "not DICOM (JSON)"},
    {"zipMR.gz", Outcome::Rejected, "not DICOM (gzip archive)"},
    {"dicomdirtests/README.txt", Outcome::Rejected, "not DICOM (text)"},
    {"dicomdirtests/TINY_ALPHA/README", Outcome::Rejected, "not DICOM (text)"},

    {"MR_truncated.dcm", Outcome::TruncatedAtEnd, "Pixel Data declares 8192 bytes, fewer follow"},
    {"rtplan_truncated.dcm", Outcome::TruncatedAtEnd,
     "the last top-level sequence declares more bytes than the file holds"},

    {"image_dfl.dcm", Outcome::ReadDiffers,
     "deflated transfer syntax: we read the compressed bytes as explicit VR little endian, "
     "dcmdump inflates them"},
    // Both start their data set with group 0001. The meta header is read until an element of a
    // group above 0002, so (0001,0001) is taken as a meta element in explicit VR: its length
    // FFFFFFFF fails the VR letter test, the implicit fallback keeps the 16-bit FFFF, the value
    // runs to the end of the file and the data set is empty. dcmdump starts the data set there.
    {"meta_missing_tsyntax.dcm", Outcome::ReadDiffers,
     "data set starts with group 0001, consumed by the meta header reading"},
    {"nested_priv_SQ.dcm", Outcome::ReadDiffers,
     "data set starts with group 0001, consumed by the meta header reading"},
    {"UN_sequence.dcm", Outcome::ReadDiffers,
     "UN of undefined length holding implicit VR items: dcmdump decodes the content as implicit "
     "VR; our explicit reader takes the implicit fallback for the inner sequence, whose length "
     "FFFFFFFF becomes the 16-bit FFFF and swallows the rest of the file"},
    {"SC_rgb_jpeg.dcm", Outcome::ImplicitDataSet,
     "implicit VR data set under the JPEG baseline transfer syntax"},
};

const Expectation* expectationFor(const std::string& relative) {
    for (const Expectation& e : Expectations) {
        if (relative == e.file) {
            return &e;
        }
    }
    return nullptr;
}

struct Entry {
    uint16_t group;
    uint16_t element;
    int64_t length; // -1 for undefined length

    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* out);

std::string describe(const Entry& e) {
    char text[40];
    std::snprintf(text, sizeof text, "(%04X,%04X) %lld", e.group, e.element,
                  static_cast<long long>(e.length));
    return text;
}

void PrintTo(const Entry& e, std::ostream* out) {
    *out << describe(e);
}

std::vector<Entry> topLevelEntries(const DcmObj& dataSet) {
    std::vector<Entry> entries;
    for (int i = 0; i < dataSet.Count(); ++i) {
        const DcmTag& h = dataSet.TagAt(i) ? *dataSet.TagAt(i) : dataSet.ObjAt(i)->itemTag;
        entries.push_back(
            {h.group, h.element, h.length == UndefinedLength ? -1 : int64_t{h.length}});
    }
    return entries;
}

// One line of dcmdump's indented output: two spaces per level, "(gggg,eeee) VR value", and at
// the end "# length, multiplicity name". Returns false for lines that are no element.
bool parseDumpLine(const std::string& line, int& depth, Entry& entry, bool& reencodingMark) {
    std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos || line[indent] != '(' || line.size() < indent + 11) {
        return false;
    }
    unsigned group = 0, element = 0;
    if (std::sscanf(line.c_str() + indent, "(%4x,%4x)", &group, &element) != 2) {
        return false;
    }
    // The name after the last '#' holds no '#'; values may.
    std::size_t hash = line.rfind('#');
    if (hash == std::string::npos || hash < indent + 11) {
        return false;
    }
    std::size_t pos = line.find_first_not_of(' ', hash + 1);
    if (pos == std::string::npos) {
        return false;
    }
    if (line.compare(pos, 3, "u/l") == 0) {
        entry.length = -1;
    } else {
        entry.length = std::stoll(line.substr(pos));
    }
    depth = static_cast<int>(indent / 2);
    entry.group = static_cast<uint16_t>(group);
    entry.element = static_cast<uint16_t>(element);
    // Delimiters dcmdump adds after defined-length sequences and items; not in the file.
    reencodingMark = line.find("for re-encod") != std::string::npos;
    return true;
}

// dcmdump's tree flattened the way our decoder keeps it: an entry of defined length stands
// for its whole subtree, one of undefined length is followed by its content and delimiter.
// Group 0002 never enters our data set, wherever it stands in the flat list.
std::vector<Entry> peerEntries(const std::string& dump) {
    std::vector<Entry> entries;
    std::istringstream lines(dump);
    std::string line;
    bool inDataSet = false;
    int skipDeeperThan = -1;
    while (std::getline(lines, line)) {
        if (line.rfind("# Dicom-Data-Set", 0) == 0) {
            inDataSet = true;
            continue;
        }
        int depth;
        Entry entry;
        bool mark;
        if (!inDataSet || !parseDumpLine(line, depth, entry, mark)) {
            continue;
        }
        if (skipDeeperThan >= 0 && depth > skipDeeperThan) {
            continue;
        }
        skipDeeperThan = -1;
        if (mark || entry.group == 0x0002) {
            continue;
        }
        entries.push_back(entry);
        if (entry.length >= 0) {
            skipDeeperThan = depth;
        }
    }
    return entries;
}

std::string listDifference(const std::vector<Entry>& ours, const std::vector<Entry>& peer) {
    std::size_t first = 0;
    while (first < ours.size() && first < peer.size() && ours[first] == peer[first]) {
        ++first;
    }
    std::ostringstream text;
    text << "ours " << ours.size() << " entries, dcmdump " << peer.size()
         << "; first difference at index " << first << ":\n";
    std::size_t from = first >= 3 ? first - 3 : 0;
    for (std::size_t i = from; i < first + 4 && (i < ours.size() || i < peer.size()); ++i) {
        text << "  [" << i << "] ours " << (i < ours.size() ? describe(ours[i]) : "-")
             << "   dcmdump " << (i < peer.size() ? describe(peer[i]) : "-") << "\n";
    }
    return text.str();
}

std::vector<std::string> sampleFiles() {
    std::vector<std::string> files;
    std::error_code error;
    if (!fs::is_directory(SampleRoot, error)) {
        return files;
    }
    for (const auto& item : fs::recursive_directory_iterator(SampleRoot, error)) {
        if (item.is_regular_file()) {
            files.push_back(fs::relative(item.path(), SampleRoot).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

// Skips, or fails under VESKARO_REQUIRE_PEERS, when dcmdump is not installed.
#define REQUIRE_DCMDUMP(path)                                                                      \
    std::string path = findProgram("dcmdump");                                                     \
    if (path.empty()) {                                                                            \
        if (peersRequired()) {                                                                     \
            FAIL() << "dcmdump not found on PATH and VESKARO_REQUIRE_PEERS is set";                \
        }                                                                                          \
        GTEST_SKIP() << "dcmdump not found on PATH";                                               \
    }

class PydicomFile : public testing::TestWithParam<std::string> {};

TEST_P(PydicomFile, ReadsAsListedAndAgreesWithDcmdump) {
    const std::string relative = GetParam();
    const fs::path file = SampleRoot / relative;
    const Expectation* expected = expectationFor(relative);
    const Outcome outcome = expected ? expected->outcome : Outcome::Agrees;
    if (expected) {
        RecordProperty("expectation", expected->reason);
    }

    DcmObj dataSet;
    bool read = DcmObj::Read(dataSet, file.string());
    if (outcome == Outcome::Rejected) {
        EXPECT_FALSE(read) << relative << " was expected to be rejected: " << expected->reason;
        return;
    }
    ASSERT_TRUE(read) << relative << " was expected to read";

    REQUIRE_DCMDUMP(dcmdump);
    // +E: print what was parsed even when the file is damaged (dcmdump then exits with 1);
    // -M: skip loading long values; +Qo: control characters in values cannot break lines.
    auto peer = runCommand(dcmdump + " -q +E -M +Qo " + shellQuote(file.string()));
    ASSERT_TRUE(peer.exitStatus == 0 || (outcome != Outcome::Agrees && peer.exitStatus == 1))
        << "dcmdump exit status " << peer.exitStatus << " on " << relative;
    ASSERT_NE(peer.output.find("# Dicom-Data-Set"), std::string::npos) << peer.output;
    std::vector<Entry> theirs = peerEntries(peer.output);
    std::vector<Entry> ours = topLevelEntries(dataSet);

    switch (outcome) {
    case Outcome::Agrees:
        EXPECT_EQ(ours, theirs) << listDifference(ours, theirs);
        break;
    case Outcome::ReadDiffers:
        // A listing that no longer differs is stale and must go.
        EXPECT_NE(ours, theirs) << relative
                                << " now agrees with dcmdump; listed as: " << expected->reason;
        break;
    case Outcome::TruncatedAtEnd: {
        ASSERT_FALSE(ours.empty());
        ASSERT_EQ(ours.size(), theirs.size()) << listDifference(ours, theirs);
        Entry last = ours.back();
        Entry declared = theirs.back();
        ours.pop_back();
        theirs.pop_back();
        EXPECT_EQ(ours, theirs) << listDifference(ours, theirs);
        EXPECT_EQ(last.group, declared.group);
        EXPECT_EQ(last.element, declared.element);
        EXPECT_LT(last.length, declared.length) << "the cut value keeps the bytes present";
        EXPECT_LE(last.length, static_cast<int64_t>(fs::file_size(file)));
        break;
    }
    case Outcome::ImplicitDataSet: {
        // The data set starts after "DICM", the 12-byte (0002,0000) element and its value.
        std::size_t at = peer.output.find("(0002,0000) UL ");
        ASSERT_NE(at, std::string::npos) << "no meta group length in " << relative;
        std::size_t offset = 128 + 4 + 12 + std::stoul(peer.output.substr(at + 15));
        std::vector<uint8_t> bytes = testsupport::readFileBytes(file);
        ASSERT_LT(offset, bytes.size());
        testsupport::TempDir dir;
        testsupport::writeFileBytes(dir.file("dataset"), bytes.data() + offset,
                                    bytes.size() - offset);
        auto implicit =
            runCommand(dcmdump + " -q -f -ti -M +Qo " + shellQuote(dir.file("dataset").string()));
        ASSERT_EQ(implicit.exitStatus, 0) << "dcmdump -f -ti failed on " << relative;
        theirs = peerEntries(implicit.output);
        auto undefined =
            std::find_if(theirs.begin(), theirs.end(), [](const Entry& e) { return e.length < 0; });
        ASSERT_NE(undefined, theirs.end()) << relative;
        std::size_t cut = static_cast<std::size_t>(undefined - theirs.begin());
        ASSERT_EQ(ours.size(), cut + 1) << listDifference(ours, theirs);
        EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + cut, theirs.begin()))
            << listDifference(ours, theirs);
        EXPECT_EQ(ours.back().group, undefined->group);
        EXPECT_EQ(ours.back().element, undefined->element);
        EXPECT_LE(ours.back().length, 0xFFFF);
        break;
    }
    case Outcome::Rejected:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(SampleFiles, PydicomFile, testing::ValuesIn(sampleFiles()), testName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PydicomFile);

TEST(SampleFiles, EveryListedFileIsPresent) {
    if (!fs::is_directory(SampleRoot)) {
        if (peersRequired()) {
            FAIL() << SampleRoot << " missing (python3-pydicom not installed)";
        }
        GTEST_SKIP() << SampleRoot << " missing (python3-pydicom not installed)";
    }
    for (const Expectation& e : Expectations) {
        EXPECT_TRUE(fs::is_regular_file(SampleRoot / e.file))
            << "listed sample " << e.file << " is missing (" << e.reason << ")";
    }
}

int entryCount(const DcmObj& dataSet) {
    int count = 0;
    for (int i = 0; i < dataSet.Count(); ++i) {
        count += 1 + (dataSet.ObjAt(i) ? entryCount(*dataSet.ObjAt(i)) : 0);
    }
    return count;
}

// One line per entry of the whole tree, and the dump leaves the structure as it was read.
TEST(SampleFiles, DumpShowsEveryEntryOnce) {
    for (const std::string& relative : sampleFiles()) {
        const Expectation* expected = expectationFor(relative);
        if (expected && expected->outcome == Outcome::Rejected) {
            continue;
        }
        DcmObj dataSet;
        ASSERT_TRUE(DcmObj::Read(dataSet, (SampleRoot / relative).string())) << relative;
        std::vector<Entry> before = topLevelEntries(dataSet);
        std::vector<std::string> lines;
        dataSet.Dump(lines, 0);
        EXPECT_EQ(static_cast<int>(lines.size()), entryCount(dataSet)) << relative;
        EXPECT_EQ(topLevelEntries(dataSet), before) << relative;
    }
}

} // namespace

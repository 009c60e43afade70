// Truncated and corrupted files: every read ends without a crash, without touching bytes past
// the input (AddressSanitizer watches), and without an allocation the input size does not
// justify. What is read stays consistent: no length exceeds the bytes that could hold it, and
// every value block holds its length.

#include "DcmObj.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::hexBytes;

// Allocation watch. Under AddressSanitizer the sanitizer's own allocation hook reports every
// block (replacing operator new there would blind its new/delete mismatch checks for the whole
// test program); without it a forwarding replacement of operator new does the counting.
namespace {

std::atomic<bool> watching{false};
std::atomic<std::size_t> largestBlock{0};

void noteAllocation(std::size_t size) {
    if (!watching.load(std::memory_order_relaxed)) {
        return;
    }
    std::size_t seen = largestBlock.load(std::memory_order_relaxed);
    while (size > seen && !largestBlock.compare_exchange_weak(seen, size)) {
    }
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {
void mallocHook(const volatile void*, std::size_t size) {
    noteAllocation(size);
}
void freeHook(const volatile void*) {}
const bool hooksInstalled = __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook) != 0;
} // namespace
#else
namespace {
const bool hooksInstalled = true;
void* allocate(std::size_t size) {
    noteAllocation(size);
    if (void* block = std::malloc(size ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
#endif

namespace {

const fs::path SampleRoot = "/usr/lib/python3/dist-packages/pydicom/data/test_files";

// The largest block a read of `size` input bytes may need: the file in memory, or the table of
// entries (16 bytes for each element, which takes at least 8 input bytes, doubled by growth),
// plus small fixed buffers. A length taken from the input on trust blows far past it.
std::size_t allocationLimit(std::size_t size) {
    return 4 * size + 64 * 1024;
}

struct ReadResult {
    bool read = false;
    std::size_t largestBlock = 0;
    int entries = 0;
    std::string problem; // first inconsistency found in what was read
};

// Every length is bounded by the bytes of its enclosing value (the file for the top level),
// value blocks exist exactly when there is a length, and all of their bytes are readable.
void checkTree(const DcmObj& obj, uint64_t bound, std::string& problem, uint64_t& checksum) {
    for (int i = 0; i < obj.Count() && problem.empty(); ++i) {
        const DcmTag& h = obj.TagAt(i) ? *obj.TagAt(i) : obj.ObjAt(i)->itemTag;
        const bool defined = h.length != UndefinedLength;
        if (defined && h.length > bound) {
            problem = h.Key() + " length " + std::to_string(h.length) + " exceeds " +
                      std::to_string(bound) + " available bytes";
            return;
        }
        if (const DcmTag* tag = obj.TagAt(i)) {
            const bool hasLength = defined && tag->length != 0;
            if (hasLength != (tag->data != nullptr)) {
                problem = tag->Key() + " length " + std::to_string(tag->length) +
                          (tag->data ? " with" : " without") + " a value block";
                return;
            }
            for (uint32_t k = 0; hasLength && k < tag->length; ++k) {
                checksum += tag->data[k];
            }
        } else {
            checkTree(*obj.ObjAt(i), defined ? std::min<uint64_t>(bound, h.length) : bound, problem,
                      checksum);
        }
    }
}

ReadResult readAndDump(const fs::path& file) {
    ReadResult result;
    const std::size_t size = fs::file_size(file);
    DcmObj dataSet;
    largestBlock = 0;
    watching = true;
    result.read = DcmObj::Read(dataSet, file.string());
    watching = false;
    result.largestBlock = largestBlock;
    // The dump reads the values just decoded; AddressSanitizer checks each block's extent.
    std::vector<std::string> lines;
    dataSet.Dump(lines, 0);
    result.entries = dataSet.Count();
    uint64_t checksum = 0;
    checkTree(dataSet, size, result.problem, checksum);
    // Keeps the loads over every value byte from being optimised away.
    volatile uint64_t sink = checksum;
    (void)sink;
    return result;
}

void expectSound(const ReadResult& result, std::size_t size) {
    EXPECT_LE(result.largestBlock, allocationLimit(size))
        << "allocation for a " << size << "-byte input";
    EXPECT_EQ(result.problem, "");
}

// ---- Building DICOM files ---------------------------------------------------------------

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void putU16(std::vector<uint8_t>& out, uint16_t v, bool big = false) {
    out.push_back(static_cast<uint8_t>(big ? v >> 8 : v));
    out.push_back(static_cast<uint8_t>(big ? v : v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v, bool big = false) {
    putU16(out, static_cast<uint16_t>(big ? v >> 16 : v), big);
    putU16(out, static_cast<uint16_t>(big ? v : v >> 16), big);
}

// Preamble, "DICM" and a meta header holding the transfer syntax, then extraMeta, then data.
std::vector<uint8_t> part10(const std::string& transferSyntax, const std::vector<uint8_t>& data,
                            const std::vector<uint8_t>& extraMeta = {}) {
    std::vector<uint8_t> file(128, 0);
    file.insert(file.end(), {'D', 'I', 'C', 'M'});
    std::string uid = transferSyntax;
    if (uid.size() % 2) {
        uid += '\0';
    }
    file.insert(file.end(), {0x02, 0x00, 0x10, 0x00, 'U', 'I'});
    putU16(file, static_cast<uint16_t>(uid.size()));
    file.insert(file.end(), uid.begin(), uid.end());
    return file + extraMeta + data;
}

const std::string ExplicitLE = "1.2.840.10008.1.2.1";
const std::string ImplicitLE = "1.2.840.10008.1.2";
const std::string ExplicitBE = "1.2.840.10008.1.2.2";
const std::string JpegBaseline = "1.2.840.10008.1.2.4.50";

struct CorruptCase {
    const char* name;
    std::string transferSyntax;
    const char* meta; // extra meta elements after (0002,0010), hex
    const char* data; // data set, hex
    int entries;      // expected top-level entries after a successful read
};

// A declared length beyond the end of the input is no error: the value keeps the bytes there.
const CorruptCase Cases[] = {
    {"meta element of absurd length", ExplicitLE,
     "02 00 01 00 4F 42 00 00 F0 FF FF FF // (0002,0001) OB, length FFFFFFF0\n"
     "00 01",
     "10 00 10 00 50 4E 04 00 41 42 43 44 // (0010,0010) PN 4, inside the meta value\n", 0},
    {"meta group length of absurd value", ExplicitLE,
     "02 00 00 00 55 4C 04 00 F0 FF FF FF // (0002,0000) UL FFFFFFF0, not used for reading\n",
     "10 00 10 00 50 4E 04 00 41 42 43 44 // (0010,0010) PN 4\n", 1},
    {"meta element of the largest 16-bit length", ExplicitLE,
     "02 00 12 00 55 49 FF FF 31 2E 32 00 // (0002,0012) UI, length FFFF, 4 bytes there\n", "", 0},
    {"explicit OB of absurd length", ExplicitLE, "",
     "10 00 10 00 50 4E 04 00 41 42 43 44 // (0010,0010) PN 4\n"
     "11 00 10 10 4F 42 00 00 F0 FF FF FF // (0011,1010) OB, length FFFFFFF0\n"
     "01 02 03 04",
     2},
    {"implicit element of absurd length", ImplicitLE, "",
     "10 00 10 00 F0 FF FF FF // (0010,0010), length FFFFFFF0\n"
     "41 42 43 44 45 46 47 48",
     1},
    {"big endian pixel data of absurd length", ExplicitBE, "",
     "00 28 00 10 55 53 00 02 00 04 // (0028,0010) US 2\n"
     "7F E0 00 10 4F 57 00 00 FF FF FF F0 // (7FE0,0010) OW, length FFFFFFF0\n"
     "00 01 00 02",
     2},
    {"implicit first element whose length reads as a VR", ImplicitLE, "",
     "09 00 10 00 4F 42 00 00 // (0009,0010), length 0x424F: \"OB\" to the meta pre-read\n"
     "F0 FF FF FF 41 42 // which takes these bytes as a 32-bit length FFFFFFF0\n",
     1},
    {"sequence of absurd length", ExplicitLE, "",
     "08 00 15 11 53 51 00 00 F0 FF FF FF // (0008,1115) SQ, length FFFFFFF0\n"
     "FE FF 00 E0 0C 00 00 00 // item, length 12\n"
     "20 00 0E 00 55 49 04 00 31 2E 32 00 // (0020,000E) UI 4\n",
     1},
    {"item of absurd length inside a sequence of defined length", ExplicitLE, "",
     "08 00 15 11 53 51 00 00 14 00 00 00 // (0008,1115) SQ, length 20\n"
     "FE FF 00 E0 F0 FF FF FF // item, length FFFFFFF0\n"
     "20 00 0E 00 55 49 04 00 31 2E 32 00 // (0020,000E) UI 4\n"
     "10 00 20 00 4C 4F 02 00 41 42 // (0010,0020) LO 2, after the sequence\n",
     2},
    {"element reaching past its item", ExplicitLE, "",
     "08 00 15 11 53 51 00 00 14 00 00 00 // (0008,1115) SQ, length 20\n"
     "FE FF 00 E0 0C 00 00 00 // item, length 12\n"
     "20 00 0E 00 55 49 40 00 31 2E 32 00 // (0020,000E) UI 64, only 4 in the item\n"
     "10 00 20 00 4C 4F 02 00 41 42 // (0010,0020) LO 2, after the sequence\n",
     2},
    {"item of absurd length inside a sequence of undefined length", ExplicitLE, "",
     "08 00 15 11 53 51 00 00 FF FF FF FF // (0008,1115) SQ, undefined length\n"
     "FE FF 00 E0 F0 FF FF FF // item, length FFFFFFF0\n"
     "20 00 0E 00 55 49 04 00 31 2E 32 00 // (0020,000E) UI 4\n",
     2},
    {"element of absurd length inside an item of undefined length", ExplicitLE, "",
     "08 00 15 11 53 51 00 00 FF FF FF FF // (0008,1115) SQ, undefined length\n"
     "FE FF 00 E0 FF FF FF FF // item, undefined length\n"
     "09 00 00 10 55 4E 00 00 F0 FF FF FF // (0009,1000) UN, length FFFFFFF0\n"
     "FE FF 0D E0 00 00 00 00 // item delimiter, now part of the value\n",
     3},
    {"implicit sequence of absurd length", ImplicitLE, "",
     "08 00 15 11 F0 FF FF FF // (0008,1115), length FFFFFFF0\n"
     "FE FF 00 E0 0C 00 00 00 // item, length 12\n"
     "20 00 0E 00 04 00 00 00 31 2E 32 00 // (0020,000E) 4\n",
     1},
    {"item of absurd length at the top level", ExplicitLE, "",
     "FE FF 00 E0 F0 FF FF FF // item, length FFFFFFF0\n"
     "20 00 0E 00 55 49 04 00 31 2E 32 00 // (0020,000E) UI 4\n",
     1},
    {"fragment of absurd length", JpegBaseline, "",
     "E0 7F 10 00 4F 42 00 00 FF FF FF FF // (7FE0,0010) OB, undefined length\n"
     "FE FF 00 E0 00 00 00 00 // basic offset table, empty\n"
     "FE FF 00 E0 F0 FF FF FF // fragment, length FFFFFFF0\n"
     "FF D8 FF E0 00 10 4A 46 // 8 bytes there\n",
     3},
    {"fragment after an odd fragment", JpegBaseline, "",
     "E0 7F 10 00 4F 42 00 00 FF FF FF FF // (7FE0,0010) OB, undefined length\n"
     "FE FF 00 E0 03 00 00 00 FF D8 FF // fragment, odd length 3\n"
     "FE FF 00 E0 F0 FF FF // a header cut short\n",
     3},
};

class Corrupt : public testing::Test {
protected:
    testsupport::TempDir dir;
};

TEST_F(Corrupt, AbsurdLengthsReadTheBytesThatAreThere) {
    ASSERT_TRUE(hooksInstalled);
    for (const CorruptCase& c : Cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = part10(c.transferSyntax, hexBytes(c.data), hexBytes(c.meta));
        fs::path file = dir.file("case.dcm");
        testsupport::writeFileBytes(file, bytes);
        ReadResult result = readAndDump(file);
        EXPECT_TRUE(result.read);
        EXPECT_EQ(result.entries, c.entries);
        expectSound(result, bytes.size());
    }
}

std::vector<uint8_t> nestedSequences(int levels) {
    std::vector<uint8_t> content = hexBytes("10 00 20 00 4C 4F 02 00 41 42"); // (0010,0020) LO 2
    for (int level = 0; level < levels; ++level) {
        std::vector<uint8_t> item = hexBytes("FE FF 00 E0");
        putU32(item, static_cast<uint32_t>(content.size()));
        std::vector<uint8_t> sequence = hexBytes("08 00 15 11 53 51 00 00");
        putU32(sequence, static_cast<uint32_t>(item.size() + content.size()));
        content = sequence + item + content;
    }
    return part10(ExplicitLE, content);
}

// Sequences and items of defined length nest by recursion: hostile nesting ends cleanly (read
// or refused) without exhausting the stack, while the nesting real files use still reads.
TEST_F(Corrupt, DeeplyNestedDefinedLengthSequences) {
    std::vector<uint8_t> bytes = nestedSequences(5000);
    fs::path file = dir.file("hostile.dcm");
    testsupport::writeFileBytes(file, bytes);
    expectSound(readAndDump(file), bytes.size());

    const int levels = 20; // a sequence and an item each: 40 nested data sets
    bytes = nestedSequences(levels);
    file = dir.file("nested.dcm");
    testsupport::writeFileBytes(file, bytes);
    DcmObj dataSet;
    ASSERT_TRUE(DcmObj::Read(dataSet, file.string()));
    const DcmObj* at = &dataSet;
    for (int depth = 0; depth < 2 * levels; ++depth) {
        ASSERT_EQ(at->Count(), 1) << "at depth " << depth;
        ASSERT_NE(at->ObjAt(0), nullptr) << "at depth " << depth;
        at = at->ObjAt(0);
    }
    ASSERT_EQ(at->Count(), 1);
    ASSERT_NE(at->TagAt(0), nullptr);
    EXPECT_EQ(at->TagAt(0)->GetString(), "AB");
}

// Undefined lengths stay flat, so any depth reads, and nothing closes what the file leaves open.
TEST_F(Corrupt, DeeplyNestedUndefinedLengthSequencesStayFlat) {
    const std::vector<uint8_t> level = hexBytes("08 00 15 11 53 51 00 00 FF FF FF FF // SQ\n"
                                                "FE FF 00 E0 FF FF FF FF // item\n");
    const int levels = 20000;
    std::vector<uint8_t> data;
    for (int i = 0; i < levels; ++i) {
        data.insert(data.end(), level.begin(), level.end());
    }
    std::vector<uint8_t> bytes = part10(ExplicitLE, data);
    fs::path file = dir.file("flat.dcm");
    testsupport::writeFileBytes(file, bytes);
    ReadResult result = readAndDump(file);
    EXPECT_TRUE(result.read);
    EXPECT_EQ(result.entries, 2 * levels);
    expectSound(result, bytes.size());
}

// Every prefix of real files: implicit, explicit little and big endian, nested sequences of
// defined and undefined length, encapsulated pixel data. Past the first 4 KiB the prefixes step
// by a prime so that the cuts still fall at every alignment of headers and values.
TEST_F(Corrupt, EveryPrefixOfRealFiles) {
    const char* samples[] = {
        "rtplan.dcm",             // implicit VR, nested sequences of defined length
        "rtdose_expb_1frame.dcm", // explicit VR big endian, sequences
        "JPEG2000.dcm",           // sequences of undefined length, encapsulated pixel data
        "reportsi.dcm",           // structured report: items of undefined length, deep nesting
        "liver_expb_1frame.dcm",  // big endian segmentation, 32 sequences, 36 KB
    };
    if (!fs::is_directory(SampleRoot)) {
        GTEST_SKIP() << SampleRoot << " missing (python3-pydicom not installed)";
    }
    for (const char* name : samples) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> whole = testsupport::readFileBytes(SampleRoot / name);
        int failures = 0;
        for (std::size_t size = 0; size <= whole.size() && failures < 5;
             size += size < 4096 ? 1 : 61) {
            SCOPED_TRACE("prefix of " + std::to_string(size) + " bytes");
            // A fresh file each time: truncating and rewriting one file makes ext4 flush it.
            fs::path file = dir.file("prefix-" + std::to_string(size) + ".dcm");
            testsupport::writeFileBytes(file, whole.data(), size);
            ReadResult result = readAndDump(file);
            fs::remove(file);
            // Without "DICM" at 128 nothing is read; after it, a cut is no error.
            const bool sound = result.read == (size >= 132) &&
                               result.largestBlock <= allocationLimit(size) &&
                               result.problem.empty();
            if (!sound) {
                ++failures;
                EXPECT_EQ(result.read, size >= 132);
                expectSound(result, size);
            }
        }
    }
}

} // namespace

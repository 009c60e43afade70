#include "BufData.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::hexBytes;
using testsupport::TempDir;
using testsupport::writeFileBytes;

namespace {

std::vector<uint8_t> implicitElement(uint16_t g, uint16_t e, const std::string& value) {
    DcmObj obj;
    obj.Append(std::make_unique<DcmTag>(g, e, value, nullptr));
    BufData buf(0);
    buf.WriteObject(obj);
    return buf.TakeBytes();
}

std::vector<uint8_t> part10(const std::vector<uint8_t>& meta, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> file(128, 0);
    file.insert(file.end(), {'D', 'I', 'C', 'M'});
    file.insert(file.end(), meta.begin(), meta.end());
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

const std::vector<uint8_t> metaExplicitLE =
    hexBytes("02 00 10 00 55 49 14 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E 31 2E 32 2E 31 00");

std::vector<std::string> logLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(", ") + 2));
    return lines;
}

class FileRead : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        SetLogTargets(dir.file("read.log").string());
        std::filesystem::remove(dir.file("read.log"));
    }
    std::vector<std::string> log() { return logLines(dir.file("read.log")); }
};

} // namespace

TEST_F(FileRead, MissingShortAndUnmarkedFiles) {
    DcmObj obj;
    std::string missing = dir.file("nothing.dcm").string();
    EXPECT_FALSE(DcmObj::Read(obj, missing));
    EXPECT_FALSE(DcmObj::ReadRaw(obj, missing));
    writeFileBytes(dir.file("empty.dcm"), {});
    EXPECT_FALSE(DcmObj::Read(obj, dir.file("empty.dcm").string()));
    writeFileBytes(dir.file("short.dcm"), std::vector<uint8_t>(131, 0));
    EXPECT_FALSE(DcmObj::Read(obj, dir.file("short.dcm").string()));
    std::vector<uint8_t> noMarker = part10(metaExplicitLE, {});
    noMarker[128] = 'X';
    writeFileBytes(dir.file("nomarker.dcm"), noMarker);
    EXPECT_FALSE(DcmObj::Read(obj, dir.file("nomarker.dcm").string()));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "ERROR, DcmObj::Read, File does not exist: " + missing + "\r",
                         "ERROR, BufData::LoadFromFile, ms->Size==0\r"}));
}

TEST_F(FileRead, MetaHeaderOnly) {
    writeFileBytes(dir.file("meta.dcm"), part10(metaExplicitLE, {}));
    DcmObj obj;
    ASSERT_TRUE(DcmObj::Read(obj, dir.file("meta.dcm").string()));
    EXPECT_EQ(obj.Count(), 0);
    EXPECT_EQ(obj.transferSyntax, ExplicitLittleEndian);
    EXPECT_EQ(obj.explicitVR, 1);
}

TEST_F(FileRead, MissingTransferSyntaxReadsExplicit) {
    std::vector<uint8_t> meta = hexBytes("02 00 13 00 53 48 04 00 56 31 2E 30");
    std::vector<uint8_t> body = hexBytes("10 00 10 00 50 4E 04 00 41 5E 42 20");
    writeFileBytes(dir.file("nots.dcm"), part10(meta, body));
    DcmObj obj;
    ASSERT_TRUE(DcmObj::Read(obj, dir.file("nots.dcm").string()));
    EXPECT_EQ(obj.transferSyntax, "");
    EXPECT_EQ(obj.explicitVR, 1);
    ASSERT_EQ(obj.Count(), 1);
    EXPECT_EQ(obj.GetString(0x0010, 0x0010), "A^B");
}

TEST_F(FileRead, ImplicitAndBigEndianDataSets) {
    std::vector<uint8_t> implicitMeta =
        hexBytes("02 00 10 00 55 49 12 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E 31 2E 32 00");
    std::vector<uint8_t> body = implicitElement(0x0008, 0x0060, "CT");
    auto more = implicitElement(0x0028, 0x0010, std::string("\x00\x02", 2));
    body.insert(body.end(), more.begin(), more.end());
    writeFileBytes(dir.file("implicit.dcm"), part10(implicitMeta, body));
    DcmObj obj;
    ASSERT_TRUE(DcmObj::Read(obj, dir.file("implicit.dcm").string()));
    EXPECT_EQ(obj.explicitVR, 0);
    EXPECT_EQ(obj.GetString(0x0008, 0x0060), "CT");
    EXPECT_EQ(obj.GetUShort(0x0028, 0x0010), 512);

    std::vector<uint8_t> beMeta = hexBytes(
        "02 00 10 00 55 49 14 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E 31 2E 32 2E 32 00");
    writeFileBytes(dir.file("be.dcm"), part10(beMeta, hexBytes("00 28 00 10 55 53 00 02 02 00")));
    DcmObj be;
    ASSERT_TRUE(DcmObj::Read(be, dir.file("be.dcm").string()));
    EXPECT_EQ(be.bigEndian, 1);
    EXPECT_EQ(be.TagAt(0)->bigEndian, 1);
    EXPECT_EQ(be.GetUShort(0x0028, 0x0010), 512);
}

TEST_F(FileRead, RawFileMustStartWithGroup0008) {
    writeFileBytes(dir.file("raw10.dcm"), implicitElement(0x0010, 0x0010, "DOE"));
    DcmObj obj;
    std::string name = dir.file("raw10.dcm").string();
    EXPECT_FALSE(DcmObj::ReadRaw(obj, name));
    EXPECT_EQ(log(), (std::vector<std::string>{"ERROR: DcmObj::Read, " + name + "\r"}));
}

TEST_F(FileRead, RawFileIsRepairedWithGeneratedUids) {
    std::vector<uint8_t> bytes;
    auto add = [&](uint16_t g, uint16_t e, const std::string& v) {
        auto b = implicitElement(g, e, v);
        bytes.insert(bytes.end(), b.begin(), b.end());
    };
    add(0x0008, 0x0020, "1998.03.04");
    add(0x0008, 0x0030, "10:15:30");
    add(0x0008, 0x0032, "10:20:00");
    add(0x0008, 0x0060, "CT");
    add(0x0010, 0x0020, "-AB");
    add(0x0020, 0x0011, "");
    add(0x0020, 0x0013, "7");
    writeFileBytes(dir.file("raw.dcm"), bytes);
    DcmObj obj;
    ASSERT_TRUE(DcmObj::ReadRaw(obj, dir.file("raw.dcm").string()));
    EXPECT_EQ(obj.GetString(0x0008, 0x0020), "19980304");
    EXPECT_EQ(obj.GetTag(0x0008, 0x0020)->length, 8u);
    EXPECT_EQ(obj.GetString(0x0008, 0x0030), "101530");
    EXPECT_EQ(obj.GetString(0x0020, 0x000D), "9999.19980304.101530.123");
    EXPECT_EQ(obj.GetString(0x0020, 0x000E), "9999.19980304.101530.123.1");
    EXPECT_EQ(obj.GetString(0x0008, 0x0018), "9999.19980304.101530.123.1020007");
    EXPECT_EQ(obj.GetString(0x0008, 0x0016), "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_STREQ(obj.GetTag(0x0020, 0x000D)->vr, "UI");
    EXPECT_EQ(obj.GetTag(0x0020, 0x000D)->length % 2, 0u);
    EXPECT_EQ(obj.transferSyntax, ImplicitLittleEndian);
}

TEST_F(FileRead, RawRepairLeavesOtherFormsAlone) {
    std::vector<uint8_t> bytes;
    auto add = [&](uint16_t g, uint16_t e, const std::string& v) {
        auto b = implicitElement(g, e, v);
        bytes.insert(bytes.end(), b.begin(), b.end());
    };
    add(0x0008, 0x0020, "19980304  "); // length 10, not dotted
    add(0x0008, 0x0030, "101530");     // already HHMMSS
    add(0x0008, 0x0060, "MR");
    add(0x0020, 0x000D, "1.2.3");
    writeFileBytes(dir.file("raw.dcm"), bytes);
    DcmObj obj;
    ASSERT_TRUE(DcmObj::ReadRaw(obj, dir.file("raw.dcm").string()));
    EXPECT_EQ(obj.GetString(0x0008, 0x0020), "19980304");
    EXPECT_EQ(obj.GetTag(0x0008, 0x0020)->length, 10u);
    EXPECT_EQ(obj.GetString(0x0008, 0x0030), "101530");
    EXPECT_EQ(obj.GetString(0x0020, 0x000D), "1.2.3");
    EXPECT_EQ(obj.GetTag(0x0008, 0x0016), nullptr);
    // The SOP instance UID is still generated; the series number is absent.
    EXPECT_EQ(obj.GetString(0x0008, 0x0018), "9999.19980304.101530..");
    EXPECT_EQ(obj.GetString(0x0020, 0x000E), "9999.19980304.101530..");
}

// A named pipe, a device, a socket or a directory is refused before anything is read from it:
// a pipe without a writer would otherwise block the reader for good.
TEST_F(FileRead, OnlyRegularFilesAreRead) {
    const std::string pipe = dir.file("pipe").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string socketName = dir.file("socket").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketName.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::filesystem::create_directory(dir.file("folder"));
    const std::vector<std::string> names = {pipe, socketName, dir.file("folder").string(),
                                            "/dev/null"};

    auto reads = std::async(std::launch::async, [&] {
        int refused = 0;
        for (const std::string& name : names) {
            DcmObj obj;
            refused += !DcmObj::Read(obj, name);
            refused += !DcmObj::ReadRaw(obj, name);
        }
        return refused;
    });
    if (reads.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        // A writer that closes at once ends the blocked read.
        ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "reading the named pipe blocked";
    }
    EXPECT_EQ(reads.get(), 8);
    ::close(listener);
    std::vector<std::string> expected;
    for (const std::string& name : names)
        for (int reader = 0; reader < 2; ++reader)
            expected.push_back("ERROR, BufData::LoadFromFile, not a regular file: " + name + "\r");
    EXPECT_EQ(log(), expected);
}

// Sequences of defined length nest up to 32 levels; one more fails and says why.
TEST_F(FileRead, NestingDeeperThanTheBoundIsNamedInTheLog) {
    auto nested = [](int levels) {
        std::vector<uint8_t> content = hexBytes("10 00 20 00 4C 4F 02 00 41 42"); // LO "AB"
        for (int level = 0; level < levels; ++level) {
            std::vector<uint8_t> sequence = hexBytes("08 00 15 11 53 51 00 00 00 00 00 00 "
                                                     "FE FF 00 E0 00 00 00 00");
            uint32_t itemLength = static_cast<uint32_t>(content.size());
            uint32_t sequenceLength = itemLength + 8;
            std::memcpy(&sequence[8], &sequenceLength, 4);
            std::memcpy(&sequence[16], &itemLength, 4);
            sequence.insert(sequence.end(), content.begin(), content.end());
            content = sequence;
        }
        return part10(metaExplicitLE, content);
    };
    writeFileBytes(dir.file("deepest.dcm"), nested(32));
    DcmObj deepest;
    EXPECT_TRUE(DcmObj::Read(deepest, dir.file("deepest.dcm").string()));
    EXPECT_TRUE(log().empty());

    const std::string tooDeep = dir.file("too-deep.dcm").string();
    writeFileBytes(tooDeep, nested(33));
    DcmObj obj;
    EXPECT_FALSE(DcmObj::Read(obj, tooDeep));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "ERROR, DcmObj::AddNested, data set nested deeper than 32 sequence "
                         "levels\r",
                         "ERROR: DcmObj::Read, " + tooDeep + "\r"}));
}

TEST(PrivateCt, UnpackExample) {
    std::vector<uint8_t> in = hexBytes("5A 00 10 02 FE A5 02 01");
    std::vector<uint8_t> out(2 * 8, 0xEE);
    EXPECT_EQ(UnpackPrivateRle(in.data(), in.size(), out.data(), 8), 6u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12),
              hexBytes("00 10 02 10 00 10 01 10 02 10 03 10"));
    EXPECT_EQ(out[12], 0xEE);
}

TEST(PrivateCt, UnpackStopsAtSampleLimitAndAtTruncatedEscapes) {
    std::vector<uint8_t> run = hexBytes("A5 FF 01"); // 256 differences of +1
    std::vector<uint8_t> out(2 * 10, 0);
    EXPECT_EQ(UnpackPrivateRle(run.data(), run.size(), out.data(), 10), 10u);
    EXPECT_EQ(out[18], 10);
    for (const char* cut : {"5A", "5A 01", "01 A5", "01 A5 03"}) {
        std::vector<uint8_t> in = hexBytes(cut);
        EXPECT_EQ(UnpackPrivateRle(in.data(), in.size(), out.data(), 10), 1u * (in[0] == 1)) << cut;
    }
}

TEST(PrivateCt, PixelsReplaceGroup07A1) {
    DcmObj obj;
    obj.Append(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t(1), nullptr));
    obj.Append(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t(4), nullptr));
    obj.Append(std::make_unique<DcmTag>(0x07A1, 0x0010, std::string("ELSCINT1"), "LO"));
    std::vector<uint8_t> packed = hexBytes("5A 00 10 02 FE 01");
    obj.Append(std::make_unique<DcmTag>(0x07A1, 0x100A, 6, packed.data(), "OW"));
    obj.Append(std::make_unique<DcmTag>(0x07A1, 0x1011, std::string("PMSCT_RLE1"), "CS"));
    DcmObj::UnpackPrivatePixels(obj);
    ASSERT_EQ(obj.Count(), 3);
    const DcmTag* pixels = obj.TagAt(2);
    ASSERT_TRUE(pixels->Is(0x7FE0, 0x0010));
    EXPECT_STREQ(pixels->vr, "OW");
    EXPECT_EQ(std::vector<uint8_t>(pixels->data.get(), pixels->data.get() + pixels->length),
              hexBytes("00 10 02 10 00 10 01 10"));

    DcmObj plain;
    plain.Append(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t(1), nullptr));
    plain.Append(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t(2), nullptr));
    plain.Append(std::make_unique<DcmTag>(0x07A1, 0x100A, 4, "\x5A\x01\x02\x03", "OW"));
    DcmObj::UnpackPrivatePixels(plain);
    ASSERT_EQ(plain.Count(), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain.TagAt(2)->data.get()), 4),
              "\x5A\x01\x02\x03");
}

namespace {

std::unique_ptr<DcmObj> privateCt(uint16_t rows, uint16_t columns,
                                  const std::vector<uint8_t>& stream) {
    auto obj = std::make_unique<DcmObj>();
    obj->Append(std::make_unique<DcmTag>(0x0028, 0x0010, rows, nullptr));
    obj->Append(std::make_unique<DcmTag>(0x0028, 0x0011, columns, nullptr));
    obj->Append(std::make_unique<DcmTag>(0x07A1, 0x100A, static_cast<uint32_t>(stream.size()),
                                         stream.data(), "OW"));
    obj->Append(std::make_unique<DcmTag>(0x07A1, 0x1011, std::string("PMSCT_RLE1"), "CS"));
    return obj;
}

// An explicit VR little endian file with a 300000-byte OB value between small elements, and
// the data set it holds.
std::vector<uint8_t> fileWithLargeValue() {
    DcmObj obj;
    obj.explicitVR = 1;
    obj.Append(std::make_unique<DcmTag>(0x0008, 0x0060, std::string("OT"), "CS"));
    std::vector<uint8_t> large(300000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 13 + 7);
    obj.Append(std::make_unique<DcmTag>(0x0009, 0x1010, static_cast<uint32_t>(large.size()),
                                        large.data(), "OB"));
    obj.Append(std::make_unique<DcmTag>(0x0010, 0x0010, std::string("Snap^Shot"), "PN"));
    BufData body(0);
    body.WriteObject(obj);
    return part10(metaExplicitLE, body.TakeBytes());
}

std::vector<uint8_t> encoded(DcmObj& obj, bool& ok) {
    BufData out(0);
    ok = out.WriteObject(obj);
    return out.TakeBytes();
}

} // namespace

// Three bytes can stand for at most 256 samples; a header asking for more pixels than the stream
// could ever fill is refused before anything is allocated for them.
TEST_F(FileRead, PrivatePixelsNoMoreThanTheStreamCanFill) {
    // 256 differences of +1, then one of 0 (element values have even lengths).
    const std::vector<uint8_t> run = hexBytes("A5 FF 01 00");
    auto full = privateCt(16, 16, run);
    ASSERT_TRUE(DcmObj::UnpackPrivatePixels(*full));
    const DcmTag* pixels = full->GetTag(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(pixels->length, 512u);
    EXPECT_EQ(pixels->data[0], 1);
    EXPECT_EQ(pixels->data[510], 0x00);
    EXPECT_EQ(pixels->data[511], 0x01);
    EXPECT_TRUE(log().empty());

    // A short stream within the bound leaves the remaining pixels zero.
    auto partial = privateCt(4, 4, hexBytes("05 05 A5 01 05 00")); // 5 samples, up to 259
    ASSERT_TRUE(DcmObj::UnpackPrivatePixels(*partial));
    pixels = partial->GetTag(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(pixels->data.get(), pixels->data.get() + 12),
              hexBytes("05 00 0A 00 0F 00 14 00 14 00 00 00"));
    EXPECT_EQ(std::count(pixels->data.get(), pixels->data.get() + 32, 0), 27);

    struct Case {
        uint16_t rows, columns;
        std::vector<uint8_t> stream;
        const char* line;
    };
    const Case cases[] = {
        {16, 17, run, "16 x 17 pixels cannot come from 4 bytes"},
        {8192, 8192, std::vector<uint8_t>(20, 0x01),
         "8192 x 8192 pixels cannot come from 20 bytes"},
        // Its size does not fit an element length at all.
        {65535, 65535, std::vector<uint8_t>(20, 0x01),
         "65535 x 65535 pixels cannot come from 20 bytes"},
        {2, 2, {}, "2 x 2 pixels cannot come from 0 bytes"},
    };
    for (const Case& c : cases) {
        auto obj = privateCt(c.rows, c.columns, c.stream);
        EXPECT_FALSE(DcmObj::UnpackPrivatePixels(*obj)) << c.line;
        EXPECT_EQ(obj->GetTag(0x7FE0, 0x0010), nullptr) << c.line;
        EXPECT_EQ(log(), (std::vector<std::string>{"ERROR, DcmObj::UnpackPrivatePixels, " +
                                                   std::string(c.line) + "\r"}));
        std::filesystem::remove(dir.file("read.log"));
    }
}

// Left in the file, a large value is read only when encoded, and encodes to the same bytes.
TEST_F(FileRead, LargeValuesLeftInTheFileEncodeAsCopiedOnes) {
    writeFileBytes(dir.file("large.dcm"), fileWithLargeValue());
    DcmObj copied, inFile;
    ASSERT_TRUE(DcmObj::Read(copied, dir.file("large.dcm").string()));
    ASSERT_TRUE(DcmObj::Read(inFile, dir.file("large.dcm").string(), FileValues::InFile));
    ASSERT_EQ(inFile.Count(), 3);
    EXPECT_TRUE(inFile.TagAt(1)->InFile());
    EXPECT_FALSE(inFile.TagAt(1)->HasValue());
    EXPECT_EQ(inFile.TagAt(1)->length, 300000u);
    EXPECT_FALSE(inFile.TagAt(0)->InFile());
    EXPECT_FALSE(copied.TagAt(1)->InFile());
    std::vector<std::string> a, b;
    copied.Dump(a, 0);
    inFile.Dump(b, 0);
    EXPECT_EQ(a, b);
    bool okCopied = false, okInFile = false;
    EXPECT_EQ(encoded(inFile, okInFile), encoded(copied, okCopied));
    EXPECT_TRUE(okCopied && okInFile);
    ASSERT_TRUE(DcmObj::LoadValues(inFile));
    EXPECT_FALSE(inFile.TagAt(1)->InFile());
    EXPECT_EQ(std::memcmp(inFile.TagAt(1)->data.get(), copied.TagAt(1)->data.get(), 300000), 0);
    EXPECT_TRUE(log().empty());
}

// Truncated, or rewritten in place within the same clock tick (size and time unchanged): the
// encoding and the loading both refuse, naming the file, and the encoding is left incomplete.
TEST_F(FileRead, FileChangedAfterTheReadIsRefused) {
    const std::string name = dir.file("large.dcm").string();
    const std::string line = "ERROR, BufData::WriteObject, file changed while being sent: " + name;
    const std::vector<uint8_t> original = fileWithLargeValue();
    auto change = [&](bool truncate) {
        writeFileBytes(name, original);
        DcmObj obj;
        EXPECT_TRUE(DcmObj::Read(obj, name, FileValues::InFile));
        if (truncate) {
            std::filesystem::resize_file(name, 4000);
        } else {
            std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(original.size() - 5000));
            f.put('x');
        }
        bool ok = true;
        std::vector<uint8_t> bytes = encoded(obj, ok);
        EXPECT_FALSE(ok);
        EXPECT_LT(bytes.size(), original.size() - 132);
        EXPECT_FALSE(DcmObj::LoadValues(obj));
    };
    change(true);
    change(false);
    EXPECT_EQ(
        log(),
        (std::vector<std::string>{
            line + "\r", "ERROR, DcmObj::LoadValues, file changed while being sent: " + name + "\r",
            line + "\r",
            "ERROR, DcmObj::LoadValues, file changed while being sent: " + name + "\r"}));
}

// A file of small values only is held whole, yet an edit after the read still fails the
// encoding, at its end; a read that copies the values does not look at the file again.
TEST_F(FileRead, SmallFileChangedAfterTheReadIsRefused) {
    const std::string name = dir.file("small.dcm").string();
    writeFileBytes(name, part10(metaExplicitLE, implicitElement(0x0010, 0x0010, "Before^Edit")));
    DcmObj inFile, copied;
    ASSERT_TRUE(DcmObj::Read(inFile, name, FileValues::InFile));
    ASSERT_TRUE(DcmObj::Read(copied, name));
    writeFileBytes(name, part10(metaExplicitLE, implicitElement(0x0010, 0x0010, "After^Edit")));
    bool ok = true;
    encoded(inFile, ok);
    EXPECT_FALSE(ok);
    encoded(copied, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(log(),
              (std::vector<std::string>{
                  "ERROR, BufData::WriteObject, file changed while being sent: " + name + "\r"}));
}

// STORE through the CLI to real storescp peers: every sample in every dialog choice, checked
// with independent tools (DCMTK, GDCM, dciodvfy) on the files the peer wrote.

#include "BufData.h"
#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "DicomFileWriter.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;

// The TransferSyntax dialog's choices, by index.
const char* const choices[] = {"1.2.840.10008.1.2.1",    "1.2.840.10008.1.2",
                               "1.2.840.10008.1.2.2",    "1.2.840.10008.1.2.4.70",
                               "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.90",
                               "1.2.840.10008.1.2.4.91"};

bool isLossy(const std::string& uid) {
    return uid == "1.2.840.10008.1.2.4.50" || uid == "1.2.840.10008.1.2.4.51" ||
           uid == "1.2.840.10008.1.2.4.91";
}

std::string cli(const fs::path& dir, const std::string& args) {
    return "cd " + shellQuote(dir.string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

std::string storeLog(const fs::path& dir) {
    return readText(testsupport::logFile(dir, "STORE"));
}

// The transfer syntax the data set was last sent in, as the log names it.
std::string lastAccepted(const std::string& log) {
    const std::string key = "INFO, WriteStoreRQ, sending in ";
    std::size_t at = log.rfind(key);
    if (at == std::string::npos)
        return {};
    at += key.size();
    return log.substr(at, log.find(' ', at) - at);
}

// The file's pixels as native little-endian, interleaved samples, decoded by DCMTK or GDCM.
struct Pixels {
    std::vector<double> values; // modality values (slope and intercept applied)
    std::vector<uint8_t> bytes; // the stored samples as little-endian words or bytes
    std::string photometric;
    bool ok = false;
};

Pixels nativePixels(const fs::path& file, const fs::path& scratch) {
    Pixels out;
    DcmObj probe;
    if (!DcmObj::Read(probe, file.string()))
        return out;
    std::string ts = probe.transferSyntax;
    fs::path native = file;
    std::string tool;
    if (ts == "1.2.840.10008.1.2.5")
        tool = "dcmdrle";
    else if (ts.rfind("1.2.840.10008.1.2.4.9", 0) == 0)
        tool = "gdcmconv --raw";
    else if (ts.rfind("1.2.840.10008.1.2.4.", 0) == 0)
        tool = "dcmdjpeg";
    if (!tool.empty()) {
        native = scratch / (file.filename().string() + ".native");
        if (runCommand(tool + " " + shellQuote(file.string()) + " " + shellQuote(native.string()) +
                       " 2>&1")
                .exitStatus != 0)
            return out;
    }
    DcmObj image;
    if (!DcmObj::Read(image, native.string()))
        return out;
    DcmTag* pixelData = image.GetTag(0x7FE0, 0x0010);
    if (!pixelData || !pixelData->HasValue())
        return out;
    int bits = image.GetUShort(0x0028, 0x0100);
    int samples = std::max<int>(1, image.GetUShort(0x0028, 0x0002));
    bool planar = image.GetUShort(0x0028, 0x0006) == 1;
    bool isSigned = image.GetUShort(0x0028, 0x0103) == 1;
    int bytesPerSample = bits > 8 ? 2 : 1;
    std::size_t count = pixelData->length / bytesPerSample;
    std::size_t rows = image.GetUShort(0x0028, 0x0010), columns = image.GetUShort(0x0028, 0x0011);
    std::size_t frameSamples = rows * columns * samples;
    if (frameSamples == 0)
        return out;
    count -= count % frameSamples;
    DcmTag* slopeTag = image.GetTag(0x0028, 0x1053);
    DcmTag* interceptTag = image.GetTag(0x0028, 0x1052);
    double slope = slopeTag ? slopeTag->GetFloat() : 1.0;
    double intercept = interceptTag ? interceptTag->GetFloat() : 0.0;
    out.photometric = image.GetString(0x0028, 0x0004);
    const uint8_t* p = pixelData->data.get();
    for (std::size_t i = 0; i < count; ++i) {
        // Planar frames are read plane by plane into interleaved order.
        std::size_t frame = i / frameSamples, k = i % frameSamples;
        std::size_t source = i;
        if (planar && samples == 3) {
            std::size_t pixel = k / 3, plane = k % 3;
            source = frame * frameSamples + plane * (frameSamples / 3) + pixel;
        }
        int v;
        if (bytesPerSample == 2) {
            const uint8_t* w = p + 2 * source;
            uint16_t u = image.bigEndian ? (w[0] << 8 | w[1]) : (w[1] << 8 | w[0]);
            v = isSigned ? static_cast<int16_t>(u) : u;
            out.bytes.push_back(u & 0xFF);
            out.bytes.push_back(u >> 8);
        } else {
            v = p[source];
            out.bytes.push_back(p[source]);
        }
        out.values.push_back(slope * v + intercept);
    }
    out.ok = true;
    return out;
}

// Lossy targets are measured against the source's modality values over its own range.
constexpr double LossyPsnrBound = 25.0;
constexpr double DecoderPsnrBound = 40.0;
constexpr double ReducedPsnrBound = 15.0;

double psnr(const std::vector<double>& a, const std::vector<double>& b) {
    auto [lo, hi] = std::minmax_element(a.begin(), a.end());
    double peak = std::max(1.0, *hi - *lo);
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 999.0 : 10 * std::log10(peak * peak / mse);
}

// dcmdump lines of the data set up to the pixel data, without the attributes that a
// conversion rewrites.
std::vector<std::string> attributes(const fs::path& file) {
    static const std::set<std::string> rewritten = {
        "(0028,0004)", "(0028,0006)", "(0028,0100)", "(0028,0101)", "(0028,0102)", "(0028,0103)",
        "(0028,0106)", "(0028,0107)", "(0028,0108)", "(0028,0109)", "(0028,0120)", "(0028,0121)",
        "(0028,1052)", "(0028,1053)", "(0028,2110)", "(0028,2112)", "(0028,2114)"};
    std::istringstream dump(runCommand("dcmdump -q -dc " + shellQuote(file.string())).output);
    std::vector<std::string> out;
    for (std::string line; std::getline(dump, line);) {
        std::size_t at = line.find_first_not_of(' ');
        if (at == std::string::npos || line[at] != '(')
            continue;
        std::string tag = line.substr(at, 11);
        std::transform(tag.begin(), tag.end(), tag.begin(), ::toupper);
        if (tag == "(7FE0,0010)")
            break;
        if (tag.rfind("(0002,", 0) == 0 || rewritten.count(tag) || tag.rfind("(FFFE,", 0) == 0)
            continue;
        // Sequences and items may change between defined and undefined length.
        bool sequence = line.compare(at + 12, 2, "SQ") == 0;
        out.push_back(sequence ? line.substr(0, at + 14) : line);
    }
    return out;
}

// The lines only one side has, for a readable failure message.
std::string difference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::string out;
    for (const std::string& line : a)
        if (std::find(b.begin(), b.end(), line) == b.end())
            out += "\n  source only: " + line;
    for (const std::string& line : b)
        if (std::find(a.begin(), a.end(), line) == a.end())
            out += "\n  stored only: " + line;
    return out;
}

std::set<std::string> validatorErrors(const fs::path& file) {
    std::istringstream text(runCommand("dciodvfy " + shellQuote(file.string()) + " 2>&1").output);
    std::set<std::string> errors;
    for (std::string line; std::getline(text, line);)
        if (line.rfind("Error", 0) == 0)
            errors.insert(line);
    return errors;
}

struct SampleFacts {
    Pixels pixels;
    std::vector<std::string> attributes;
    std::set<std::string> errors;
    std::string transferSyntax;
    int bitsStored = 0;
};

// Two storescp peers for the whole suite: one that takes every storage class and transfer
// syntax it knows, one that takes only implicit VR little endian.
class StorePeers : public ::testing::Test {
protected:
    struct Target {
        std::unique_ptr<DcmtkPeer> peer;
        fs::path work; // the CLI's start directory
        fs::path received;
    };

    static void SetUpTestSuite() {
        if (!havePeers({"storescp", "dcmdump", "dcmdjpeg", "dcmdrle", "gdcmconv", "dciodvfy"}))
            return;
        root = std::make_unique<TempDir>();
        auto start = [](const std::string& name, std::vector<std::string> options) {
            auto t = std::make_unique<Target>();
            t->work = root->path() / name;
            t->received = t->work / "received";
            fs::create_directories(t->received);
            options.insert(options.begin(), {"-od", t->received.string()});
            t->peer = std::make_unique<DcmtkPeer>("storescp", options, t->work.string());
            runCommand(cli(t->work,
                           "setup --log-level 2 --remote-port " + std::to_string(t->peer->Port())));
            return t;
        };
        everything = start("all", {"+xa", "-pm"});
        implicitOnly = start("implicit", {"+xi", "-pm"});
    }
    static void TearDownTestSuite() {
        everything.reset();
        implicitOnly.reset();
        root.reset();
    }
    void SetUp() override {
        if (!root)
            GTEST_SKIP();
        ASSERT_TRUE(everything->peer->Ready() && implicitOnly->peer->Ready());
    }

    // Stores the file with the dialog's choice and moves what the peer wrote to `kept`; the
    // CLI's output.
    static std::string store(Target& target, const std::string& file, int choice,
                             const fs::path& kept) {
        auto r = runCommand(
            cli(target.work, "store " + shellQuote(file) + " --ts " + std::to_string(choice)));
        for (const auto& entry : fs::directory_iterator(target.received))
            fs::rename(entry.path(), kept);
        return testsupport::withoutDoneLines(r.output);
    }

    static std::unique_ptr<TempDir> root;
    static std::unique_ptr<Target> everything;
    static std::unique_ptr<Target> implicitOnly;
};

std::unique_ptr<TempDir> StorePeers::root;
std::unique_ptr<StorePeers::Target> StorePeers::everything;
std::unique_ptr<StorePeers::Target> StorePeers::implicitOnly;

// JPEG baseline of a grey image of more than 8 bits.
bool reducedTo8Bits(const std::string& accepted, const SampleFacts& facts) {
    return accepted == "1.2.840.10008.1.2.4.50" && facts.bitsStored > 8;
}

std::vector<double> normalised(const std::vector<double>& values) {
    auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    double range = std::max(1e-9, *hi - *lo);
    std::vector<double> out;
    for (double v : values)
        out.push_back((v - *lo) / range * 255.0);
    return out;
}

class StoreInterop : public StorePeers, public ::testing::WithParamInterface<const char*> {};

} // namespace

TEST_P(StoreInterop, EveryChoiceToBothPeers) {
    const std::string source = samples + GetParam() + ".dcm";
    TempDir scratch;
    SampleFacts facts;
    facts.pixels = nativePixels(source, scratch.path());
    ASSERT_TRUE(facts.pixels.ok) << "source pixels";
    facts.attributes = attributes(source);
    facts.errors = validatorErrors(source);
    {
        DcmObj probe;
        ASSERT_TRUE(DcmObj::Read(probe, source));
        facts.transferSyntax = probe.transferSyntax;
        facts.bitsStored = probe.GetUShort(0x0028, 0x0101);
    }

    for (Target* target : {everything.get(), implicitOnly.get()}) {
        for (int choice = 0; choice < 7; ++choice) {
            std::string where = target == everything.get() ? "all" : "implicit";
            SCOPED_TRACE(where + " peer, choice " + std::to_string(choice));
            fs::path kept = scratch.file(where + "_" + std::to_string(choice) + ".dcm");
            ASSERT_EQ(store(*target, source, choice, kept), "STORE OK\n");
            std::string accepted = lastAccepted(storeLog(target->work));
            if (target == implicitOnly.get()) {
                EXPECT_EQ(accepted, "1.2.840.10008.1.2");
            }
            ASSERT_TRUE(fs::exists(kept));
            DcmObj stored;
            ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
            EXPECT_EQ(stored.transferSyntax, accepted);

            Pixels got = nativePixels(kept, scratch.path());
            ASSERT_TRUE(got.ok) << "stored pixels";
            ASSERT_EQ(got.values.size(), facts.pixels.values.size());
            if (accepted == facts.transferSyntax) {
                EXPECT_TRUE(got.bytes == facts.pixels.bytes) << "pixels differ";
            } else if (isLossy(accepted)) {
                EXPECT_EQ(stored.GetString(0x0028, 0x2110), "01");
                std::string ratio = stored.GetString(0x0028, 0x2112);
                EXPECT_TRUE(ratio.size() >= 4 && ratio[ratio.size() - 3] == '.') << ratio;
                // Only the shape survives an 8-bit reduction: the samples lose their low bits,
                // and without a Rescale Slope element in the source nothing records the scale.
                bool reduced = reducedTo8Bits(accepted, facts);
                double quality = reduced
                                     ? psnr(normalised(facts.pixels.values), normalised(got.values))
                                     : psnr(facts.pixels.values, got.values);
                EXPECT_GE(quality, reduced ? ReducedPsnrBound : LossyPsnrBound);
                std::printf("[   psnr   ] %s %s choice %d: %.1f dB, ratio %s\n", GetParam(),
                            where.c_str(), choice, quality, ratio.c_str());
            } else if (isLossy(facts.transferSyntax)) {
                // Our decoder against DCMTK's or GDCM's: rounding may differ.
                EXPECT_GE(psnr(facts.pixels.values, got.values), DecoderPsnrBound);
            } else {
                EXPECT_TRUE(got.bytes == facts.pixels.bytes) << "pixels differ";
            }
            std::vector<std::string> storedAttributes = attributes(kept);
            EXPECT_TRUE(storedAttributes == facts.attributes)
                << difference(facts.attributes, storedAttributes);
            if (facts.errors.empty()) {
                std::set<std::string> errors = validatorErrors(kept);
                // An 8-bit baseline image no longer fits the CT and MR modules' pixel rules.
                if (reducedTo8Bits(accepted, facts))
                    std::erase_if(errors, [](const std::string& e) {
                        return e.find("<Bits Allocated>") != std::string::npos ||
                               e.find("<Bits Stored>") != std::string::npos ||
                               e.find("<High Bit>") != std::string::npos;
                    });
                EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : *errors.begin());
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, StoreInterop,
                         ::testing::Values("CT_small", "MR_small", "MR_small_implicit",
                                           "MR_small_bigendian", "MR_small_RLE",
                                           "MR_small_jp2klossless", "SC_rgb_small_odd",
                                           "SC_rgb_rle_2frame", "SC_rgb_jpeg_dcmtk", "JPEG2000"));

namespace {

std::vector<uint8_t> encodedSet(DcmObj& dataSet) {
    BufData buf(0);
    buf.WriteObject(dataSet);
    return buf.TakeBytes();
}

void addImagePixelModule(DcmObj& image, uint16_t rows, uint16_t columns) {
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0002, uint16_t{1}, "US"));
    image.AddString(0x0028, 0x0004, "MONOCHROME2");
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0010, rows, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0011, columns, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0101, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0102, uint16_t{15}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0103, uint16_t{0}, "US"));
}

std::string dumped(const fs::path& file) {
    return runCommand("dcmdump -q " + shellQuote(file.string()) + " 2>&1").output;
}

std::vector<uint8_t> storedPixels(const fs::path& file) {
    DcmObj stored;
    if (!DcmObj::Read(stored, file.string()))
        return {};
    DcmTag* pixels = stored.GetTag(0x7FE0, 0x0010);
    if (!pixels || !pixels->HasValue())
        return {};
    return std::vector<uint8_t>(pixels->data.get(), pixels->data.get() + pixels->length);
}

} // namespace

TEST_F(StorePeers, RawCtFileIsRepairedAndStoredWithGeneratedUids) {
    TempDir dir;
    DcmObj raw; // implicit VR little endian, no preamble, no UIDs
    raw.AddString(0x0008, 0x0020, "1998.03.04");
    raw.AddString(0x0008, 0x0030, "10:15:30");
    raw.AddString(0x0008, 0x0032, "10:20:00");
    raw.AddString(0x0008, 0x0060, "CT");
    raw.AddString(0x0010, 0x0020, "-AB");
    raw.AddString(0x0020, 0x0011, "2");
    raw.AddString(0x0020, 0x0013, "7");
    addImagePixelModule(raw, 2, 2);
    const uint8_t pixels[8] = {1, 0, 2, 0, 3, 0, 4, 0};
    raw.AddValue(0x7FE0, 0x0010, sizeof pixels, pixels);
    testsupport::writeFileBytes(dir.file("raw.ct"), encodedSet(raw));

    fs::path kept = dir.file("stored.dcm");
    EXPECT_EQ(store(*implicitOnly, dir.file("raw.ct").string(), 1, kept), "STORE OK\n");
    EXPECT_NE(storeLog(implicitOnly->work).find("WARNING, StoreSCU, image is not standard DICOM"),
              std::string::npos);
    DcmObj stored;
    ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
    const std::string base = "9999.19980304.101530.123";
    EXPECT_EQ(stored.GetString(0x0008, 0x0016), "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_EQ(stored.GetString(0x0008, 0x0018), base + ".1020007");
    EXPECT_EQ(stored.GetString(0x0020, 0x000D), base);
    EXPECT_EQ(stored.GetString(0x0020, 0x000E), base + ".2");
    EXPECT_EQ(stored.GetString(0x0008, 0x0020), "19980304");
    EXPECT_EQ(stored.GetString(0x0008, 0x0030), "101530");
    EXPECT_EQ(storedPixels(kept), std::vector<uint8_t>(pixels, pixels + 8));
}

TEST_F(StorePeers, PrivateCompressedCtIsStoredUnpacked) {
    TempDir dir;
    DcmObj ct;
    ct.transferSyntax = "1.2.840.10008.1.2.1";
    ct.explicitVR = 1;
    ct.AddString(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
    ct.AddString(0x0008, 0x0018, "1.2.826.0.1.3680043.2.1143.77.1");
    ct.AddString(0x0008, 0x0060, "CT");
    addImagePixelModule(ct, 2, 3);
    ct.Add(std::make_unique<DcmTag>(0x07A1, 0x0010, std::string("ELSCINT1"), "LO"));
    const auto packed = testsupport::hexBytes("5A 00 10 02 FE A5 02 01");
    ct.Add(std::make_unique<DcmTag>(0x07A1, 0x100A, static_cast<uint32_t>(packed.size()),
                                    packed.data(), "OB"));
    ct.Add(std::make_unique<DcmTag>(0x07A1, 0x1011, std::string("PMSCT_RLE1"), "CS"));
    writeDicomFile(dir.file("elscint.dcm"), ct);

    for (Target* target : {everything.get(), implicitOnly.get()}) {
        fs::path kept = dir.file(target == everything.get() ? "all.dcm" : "implicit.dcm");
        EXPECT_EQ(store(*target, dir.file("elscint.dcm").string(), 0, kept), "STORE OK\n");
        EXPECT_EQ(storedPixels(kept), testsupport::hexBytes("00 10 02 10 00 10 01 10 02 10 03 10"));
        std::string dump = dumped(kept);
        EXPECT_EQ(dump.find("(07a1,"), std::string::npos) << dump;
    }
}

// An RT Dose is no image class, yet its RLE pixels must arrive decoded on an implicit context.
TEST_F(StorePeers, RleRtDoseIsDecodedForTheImplicitPeer) {
    TempDir dir;
    const std::string source = samples + "rtdose_rle.dcm";
    fs::path native = dir.file("native.dcm");
    ASSERT_EQ(
        runCommand("dcmdrle " + shellQuote(source) + " " + shellQuote(native.string())).exitStatus,
        0);
    fs::path kept = dir.file("stored.dcm");
    EXPECT_EQ(store(*implicitOnly, source, 1, kept), "STORE OK\n");
    DcmObj stored;
    ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
    EXPECT_EQ(stored.transferSyntax, "1.2.840.10008.1.2");
    std::vector<uint8_t> expected = storedPixels(native);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(storedPixels(kept) == expected);
}

TEST_F(StorePeers, ReportIsRelabelledForTheImplicitPeer) {
    TempDir dir;
    const std::string source = samples + "test-SR.dcm";
    for (int choice : {0, 3}) {
        fs::path kept = dir.file("sr" + std::to_string(choice) + ".dcm");
        EXPECT_EQ(store(*implicitOnly, source, choice, kept), "STORE OK\n");
        DcmObj stored;
        ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
        EXPECT_EQ(stored.transferSyntax, "1.2.840.10008.1.2");
        std::vector<std::string> got = attributes(kept), want = attributes(source);
        EXPECT_TRUE(got == want) << difference(want, got);
        EXPECT_EQ(validatorErrors(kept), validatorErrors(source));
    }
}

namespace {

// The storescp option that makes the peer prefer each dialog choice.
const char* const preferring[] = {"+xe", "+xi", "+xb", "+xs", "+xy", "+xv", "+xw"};

double nrmse(const std::vector<double>& reference, const std::vector<double>& got) {
    auto [lo, hi] = std::minmax_element(reference.begin(), reference.end());
    double range = std::max(1.0, *hi - *lo);
    double sum = 0;
    for (std::size_t i = 0; i < reference.size(); ++i)
        sum += (reference[i] - got[i]) * (reference[i] - got[i]);
    return std::sqrt(sum / static_cast<double>(reference.size())) / range;
}

double maxDifference(const std::vector<double>& a, const std::vector<double>& b) {
    double out = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        out = std::max(out, std::abs(a[i] - b[i]));
    return out;
}

// The RGB samples dcm2pnm makes of a colour file (YBR photometrics included), as values.
std::vector<double> renderedColour(const fs::path& file, const fs::path& scratch) {
    fs::path ppm = scratch / (file.filename().string() + ".ppm");
    if (runCommand("dcm2pnm --write-raw-pnm " + shellQuote(file.string()) + " " +
                   shellQuote(ppm.string()) + " 2>&1")
            .exitStatus != 0)
        return {};
    std::vector<uint8_t> bytes = testsupport::readFileBytes(ppm);
    // "P6\n<w> <h>\n255\n" then the samples.
    std::size_t at = 0;
    for (int fields = 0; fields < 4 && at < bytes.size(); ++at)
        if (bytes[at] == '\n' || bytes[at] == ' ')
            ++fields;
    return std::vector<double>(bytes.begin() + static_cast<long>(at), bytes.end());
}

struct Reference {
    Pixels pixels;
    bool lossy = false;           // the source was already lossy
    bool colourConverted = false; // YBR source: the reference is dcm2pnm's RGB
    int bitsStored = 0;
    bool colour = false;
};

} // namespace

// Every dialog choice against a peer that prefers it: the file arrives in the chosen syntax,
// lossless targets give back every value, lossy ones stay within 3 % of the source's range.
class StoredSyntax : public StorePeers {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"storescp", "dcmdjpeg", "dcmdrle", "gdcmconv", "dcm2pnm"}))
            return;
        root = std::make_unique<TempDir>();
        for (int choice = 0; choice < 7; ++choice) {
            auto t = std::make_unique<Target>();
            t->work = root->path() / ("prefers" + std::to_string(choice));
            t->received = t->work / "received";
            fs::create_directories(t->received);
            t->peer = std::make_unique<DcmtkPeer>(
                "storescp",
                std::vector<std::string>{"-od", t->received.string(), "-pm", preferring[choice]},
                t->work.string());
            runCommand(cli(t->work,
                           "setup --log-level 2 --remote-port " + std::to_string(t->peer->Port())));
            peers[choice] = std::move(t);
        }
    }
    static void TearDownTestSuite() {
        for (auto& p : peers)
            p.reset();
        root.reset();
    }
    void SetUp() override {
        if (!root)
            GTEST_SKIP();
        for (auto& p : peers)
            ASSERT_TRUE(p->peer->Ready());
    }
    static std::unique_ptr<TempDir> root;
    static std::unique_ptr<Target> peers[7];
};

std::unique_ptr<TempDir> StoredSyntax::root;
std::unique_ptr<StorePeers::Target> StoredSyntax::peers[7];

TEST_F(StoredSyntax, EveryChoiceIsStoredAsChosenAndFaithful) {
    const char* const files[] = {"CT_small",           "MR_small",          "MR_small_implicit",
                                 "MR_small_bigendian", "MR_small_RLE",      "MR_small_jp2klossless",
                                 "ExplVR_BigEnd",      "JPEG-lossy",        "JPGExtended",
                                 "SC_rgb_rle",         "SC_rgb_rle_2frame", "SC_rgb_rle_16bit"};
    TempDir scratch;
    int checked = 0;
    for (const char* name : files) {
        const std::string source = samples + name + ".dcm";
        Reference ref;
        {
            DcmObj probe;
            ASSERT_TRUE(DcmObj::Read(probe, source)) << name;
            ref.lossy = isLossy(probe.transferSyntax) || probe.GetString(0x0028, 0x2110) == "01";
            ref.bitsStored = probe.GetUShort(0x0028, 0x0101);
            const std::string photometric = probe.GetString(0x0028, 0x0004);
            ref.colour = photometric != "MONOCHROME1" && photometric != "MONOCHROME2";
            ref.colourConverted = photometric.rfind("YBR", 0) == 0 &&
                                  probe.transferSyntax.rfind("1.2.840.10008.1.2.4.", 0) != 0;
        }
        ref.pixels = nativePixels(source, scratch.path());
        if (ref.colourConverted)
            ref.pixels.values = renderedColour(source, scratch.path());
        ASSERT_FALSE(ref.pixels.values.empty()) << name;

        for (int choice = 0; choice < 7; ++choice) {
            SCOPED_TRACE(std::string(name) + ", choice " + std::to_string(choice));
            Target& target = *peers[choice];
            fs::path kept = scratch.file(std::string(name) + "_" + std::to_string(choice));
            ASSERT_EQ(store(target, source, choice, kept), "STORE OK\n");
            DcmObj stored;
            ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
            const std::string chosen = choice == 1 ? "1.2.840.10008.1.2" : choices[choice];
            EXPECT_EQ(stored.transferSyntax, chosen);

            Pixels got = nativePixels(kept, scratch.path());
            ASSERT_TRUE(got.ok);
            ASSERT_EQ(got.values.size(), ref.pixels.values.size());
            // Colour narrowed to 8 bits carries no rescale: its samples are compared at scale.
            const int gotBits = stored.GetUShort(0x0028, 0x0101);
            if (ref.colour && gotBits < ref.bitsStored)
                for (double& v : got.values)
                    v *= std::pow(2.0, ref.bitsStored - gotBits);
            const double error = nrmse(ref.pixels.values, got.values);
            const double most = maxDifference(ref.pixels.values, got.values);
            std::printf("[ fidelity ] %-28s choice %d: nrmse %.5f, max diff %.0f\n", name, choice,
                        error, most);
            if (isLossy(chosen)) {
                EXPECT_LE(error, 0.03);
                EXPECT_EQ(stored.GetString(0x0028, 0x2110), "01");
                std::string method = stored.GetString(0x0028, 0x2114);
                EXPECT_TRUE(method.ends_with(chosen == "1.2.840.10008.1.2.4.91" ? "ISO_15444_1"
                                                                                : "ISO_10918_1"))
                    << method;
            } else if (ref.lossy || ref.colourConverted) {
                // Our decoder or colour transform against DCMTK's or GDCM's: rounding only.
                EXPECT_LE(error, 0.01);
            } else {
                EXPECT_EQ(most, 0.0);
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 7 * static_cast<int>(std::size(files)));
}

// Big endian chosen and refused: the fallback is said in the log, the data set goes in what the
// peer took.
TEST_F(StoredSyntax, RefusedChoiceIsLoggedAndTheAcceptedOneIsUsed) {
    TempDir dir;
    Target& implicitPeer = *peers[1];
    fs::path kept = dir.file("stored.dcm");
    ASSERT_EQ(store(implicitPeer, samples + "MR_small.dcm", 2, kept), "STORE OK\n");
    DcmObj stored;
    ASSERT_TRUE(DcmObj::Read(stored, kept.string()));
    EXPECT_EQ(stored.transferSyntax, "1.2.840.10008.1.2");
    EXPECT_NE(storeLog(implicitPeer.work)
                  .find("INFO, StoreSCU, the peer refused 1.2.840.10008.1.2.2, sending in "
                        "1.2.840.10008.1.2"),
              std::string::npos);
}

// Pixel data that does not decode fails the job: nothing reaches the peer, and the log names
// the frame and the codec.
TEST_F(StoredSyntax, UndecodablePixelDataIsNeverSent) {
    struct Case {
        const char* file;
        const char* codec;
        bool truncate; // else one byte in the middle of the stream is flipped
    };
    const Case cases[] = {{"MR_small_RLE", "RLE", true},
                          {"JPEG-lossy", "JPEG extended", true},
                          {"SC_rgb_jpeg_dcmtk", "JPEG baseline", false},
                          {"MR_small_jp2klossless", "JPEG 2000", true}};
    TempDir dir;
    Target& peer = *peers[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        DcmObj ds;
        ASSERT_TRUE(DcmObj::Read(ds, samples + c.file + ".dcm"));
        int pixelData = -1;
        for (int i = 0; i < ds.Count(); ++i)
            if (ds.TagAt(i) && ds.TagAt(i)->Is(0x7FE0, 0x0010))
                pixelData = i;
        ASSERT_GE(pixelData, 0);
        DcmTag* fragment = ds.TagAt(pixelData + 2); // after the offset table
        ASSERT_TRUE(fragment && fragment->Is(0xFFFE, 0xE000) && fragment->HasValue());
        std::vector<uint8_t> bytes(fragment->data.get(), fragment->data.get() + fragment->length);
        if (c.truncate)
            bytes.resize(bytes.size() / 2 & ~std::size_t{1});
        else
            for (std::size_t k = bytes.size() / 3; k < bytes.size() / 3 + 64; ++k)
                bytes[k] ^= 0x5A;
        fragment->SetValue(bytes.data(), static_cast<uint32_t>(bytes.size()));
        const fs::path broken = dir.file(std::string(c.file) + ".dcm");
        writeDicomFile(broken, ds);

        fs::path kept = dir.file(std::string(c.file) + "_stored.dcm");
        EXPECT_NE(store(peer, broken.string(), 0, kept), "STORE OK\n");
        EXPECT_FALSE(fs::exists(kept));
        EXPECT_NE(storeLog(peer.work).find(std::string("frame 1 of 1: ") + c.codec +
                                           " stream does not decode"),
                  std::string::npos);
    }
}

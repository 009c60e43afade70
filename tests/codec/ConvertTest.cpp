// DcmObj::ConvertTransferSyntax: early outcomes, attribute rewrites, byte order, VOI LUT, corrupt
// input, and every source x target conversion checked through our decoder and an independent
// one (DCMTK dcmdjpeg for JPEG, GDCM gdcmconv for JPEG 2000, dcmdump for big endian).

#include "BufData.h"
#include "DcmObj.h"
#include "DicomFileWriter.h"
#include "LogFixture.h"
#include "TestSupport.h"
#include "Words.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::findProgram;
using testsupport::littleEndianWords;
using testsupport::peersRequired;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

constexpr const char* Implicit = "1.2.840.10008.1.2";
constexpr const char* Explicit = "1.2.840.10008.1.2.1";
constexpr const char* BigEndian = "1.2.840.10008.1.2.2";
constexpr const char* Rle = "1.2.840.10008.1.2.5";
constexpr const char* Lossless = "1.2.840.10008.1.2.4.70";
constexpr const char* Lossless57 = "1.2.840.10008.1.2.4.57";
constexpr const char* Baseline = "1.2.840.10008.1.2.4.50";
constexpr const char* Extended = "1.2.840.10008.1.2.4.51";
constexpr const char* J2k = "1.2.840.10008.1.2.4.90";
constexpr const char* J2kLossy = "1.2.840.10008.1.2.4.91";

bool isLossy(const std::string& ts) {
    return ts == Baseline || ts == Extended || ts == J2kLossy;
}

bool isEncapsulated(const std::string& ts) {
    return ts != Implicit && ts != Explicit && ts != BigEndian;
}

// --- samples ----------------------------------------------------------------------------------

struct Sample {
    std::string name;
    std::string modality;
    uint16_t rows, columns;
    int frames;
    uint16_t bitsAllocated, bitsStored, pixelRepresentation;
    bool colour;
    std::string intercept, slope; // empty: element absent
    std::function<int(int f, int x, int y, int c)> value;
};

const std::vector<Sample>& samples() {
    static const std::vector<Sample> all = {
        {"grey8", "OT", 44, 60, 1, 8, 8, 0, false, "", "",
         [](int, int x, int y, int) { return 20 + 2 * x + 2 * y + (x * y) % 7; }},
        {"ct16signed", "CT", 44, 60, 1, 16, 16, 1, false, "0", "1",
         [](int, int x, int y, int) { return -1000 + 30 * x + 20 * y + (7 * x + 13 * y) % 23; }},
        {"mr12unsigned", "MR", 44, 60, 1, 16, 12, 0, false, "0", "1",
         [](int, int x, int y, int) { return 40 * x + 30 * y + (x * y) % 17; }},
        {"rgb", "OT", 44, 60, 1, 8, 8, 0, true, "", "",
         [](int, int x, int y, int c) {
             return c == 0 ? 3 * x + 20 : c == 1 ? 4 * y + 10 : 2 * (x + y) + (x % 5);
         }},
        {"mr16multiframe", "MR", 24, 32, 3, 16, 12, 0, false, "0", "1",
         [](int f, int x, int y, int) { return 300 * f + 60 * x + 50 * y + (x * y) % 11; }},
    };
    return all;
}

void appendText(DcmObj& ds, uint16_t g, uint16_t e, const std::string& text) {
    ds.Append(std::make_unique<DcmTag>(g, e, text, nullptr));
}

void appendUShort(DcmObj& ds, uint16_t g, uint16_t e, uint16_t v) {
    ds.Append(std::make_unique<DcmTag>(g, e, v, "US"));
}

std::vector<uint8_t> nativePixels(const Sample& s) {
    std::vector<uint8_t> bytes;
    const int components = s.colour ? 3 : 1;
    for (int f = 0; f < s.frames; ++f)
        for (int y = 0; y < s.rows; ++y)
            for (int x = 0; x < s.columns; ++x)
                for (int c = 0; c < components; ++c) {
                    const int v = s.value(f, x, y, c);
                    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
                    if (s.bitsAllocated == 16)
                        bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
                }
    return bytes;
}

// Modality values of the sample (stored values for colour).
std::vector<double> sampleValues(const Sample& s) {
    std::vector<double> values;
    const int components = s.colour ? 3 : 1;
    for (int f = 0; f < s.frames; ++f)
        for (int y = 0; y < s.rows; ++y)
            for (int x = 0; x < s.columns; ++x)
                for (int c = 0; c < components; ++c)
                    values.push_back(s.value(f, x, y, c));
    return values;
}

std::unique_ptr<DcmObj> nativeDataSet(const Sample& s) {
    auto ds = std::make_unique<DcmObj>();
    ds->transferSyntax = Explicit;
    ds->explicitVR = 1;
    appendText(*ds, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
    appendText(*ds, 0x0008, 0x0018, "1.2.826.0.1.3680043.9.7133.1." + std::to_string(s.rows));
    appendText(*ds, 0x0008, 0x0060, s.modality);
    appendUShort(*ds, 0x0028, 0x0002, s.colour ? 3 : 1);
    appendText(*ds, 0x0028, 0x0004, s.colour ? "RGB" : "MONOCHROME2");
    if (s.colour)
        appendUShort(*ds, 0x0028, 0x0006, 0);
    if (s.frames > 1)
        appendText(*ds, 0x0028, 0x0008, std::to_string(s.frames));
    appendUShort(*ds, 0x0028, 0x0010, s.rows);
    appendUShort(*ds, 0x0028, 0x0011, s.columns);
    appendUShort(*ds, 0x0028, 0x0100, s.bitsAllocated);
    appendUShort(*ds, 0x0028, 0x0101, s.bitsStored);
    appendUShort(*ds, 0x0028, 0x0102, static_cast<uint16_t>(s.bitsStored - 1));
    appendUShort(*ds, 0x0028, 0x0103, s.pixelRepresentation);
    if (!s.intercept.empty())
        appendText(*ds, 0x0028, 0x1052, s.intercept);
    if (!s.slope.empty())
        appendText(*ds, 0x0028, 0x1053, s.slope);
    const std::vector<uint8_t> pixels = nativePixels(s);
    ds->Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()),
                                        pixels.data(), s.bitsAllocated == 8 ? "OB" : "OW"));
    return ds;
}

// PackBits with literal runs only, plus one replicate run where bytes repeat.
void packBits(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t same = 1;
        while (i + same < in.size() && same < 128 && in[i + same] == in[i])
            ++same;
        if (same >= 3) {
            out.push_back(static_cast<uint8_t>(1 - static_cast<int>(same)));
            out.push_back(in[i]);
            i += same;
            continue;
        }
        const std::size_t n = std::min<std::size_t>(128, in.size() - i);
        out.push_back(static_cast<uint8_t>(n - 1));
        out.insert(out.end(), in.begin() + static_cast<long>(i),
                   in.begin() + static_cast<long>(i + n));
        i += n;
    }
    if (out.size() & 1)
        out.push_back(0x80); // no-op control byte keeps the segment even
}

// The sample's pixel data as RLE Lossless fragments, one per frame.
std::unique_ptr<DcmObj> rleDataSet(const Sample& s) {
    auto ds = nativeDataSet(s);
    const int last = ds->Count() - 1;
    const DcmTag& pixel = *ds->TagAt(last);
    const int components = s.colour ? 3 : 1;
    const std::size_t pixels = std::size_t(s.rows) * s.columns;
    const std::size_t frameBytes = pixels * components * s.bitsAllocated / 8;
    std::vector<std::vector<uint8_t>> fragments;
    for (int f = 0; f < s.frames; ++f) {
        const uint8_t* frame = pixel.data.get() + f * frameBytes;
        std::vector<std::vector<uint8_t>> planes;
        if (s.bitsAllocated == 16) {
            std::vector<uint8_t> high, low;
            for (std::size_t k = 0; k < pixels; ++k) {
                low.push_back(frame[2 * k]);
                high.push_back(frame[2 * k + 1]);
            }
            planes = {high, low};
        } else {
            for (int c = 0; c < components; ++c) {
                std::vector<uint8_t> plane;
                for (std::size_t k = 0; k < pixels; ++k)
                    plane.push_back(frame[k * components + c]);
                planes.push_back(plane);
            }
        }
        std::vector<uint8_t> fragment(64, 0);
        fragment[0] = static_cast<uint8_t>(planes.size());
        for (std::size_t p = 0; p < planes.size(); ++p) {
            const uint32_t offset = static_cast<uint32_t>(fragment.size());
            std::memcpy(fragment.data() + 4 + 4 * p, &offset, 4);
            packBits(planes[p], fragment);
        }
        fragments.push_back(fragment);
    }
    ds->Remove(last);
    ds->Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, UndefinedLength, nullptr, "OB"));
    ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, 0u, nullptr, "DL"));
    for (const auto& fragment : fragments)
        ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, static_cast<uint32_t>(fragment.size()),
                                            fragment.data(), "DL"));
    ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"));
    ds->transferSyntax = Rle;
    return ds;
}

// The sample held in `ts`, made by our own conversion (RLE by the encoder above); null when
// the conversion to that syntax is refused for this sample.
std::unique_ptr<DcmObj> sourceDataSet(const Sample& s, const std::string& ts) {
    if (ts == Rle)
        return rleDataSet(s);
    auto ds = nativeDataSet(s);
    if (!DcmObj::ConvertTransferSyntax(*ds, ts))
        return nullptr;
    return ds;
}

// --- reading pixels back ----------------------------------------------------------------------

struct Pixels {
    std::vector<double> values;
    std::string error;
};

// Modality values (stored values for colour) of a data set with native pixel data.
Pixels modalityValues(const DcmObj& ds) {
    Pixels out;
    const DcmTag* pixel = ds.GetTag(0x7FE0, 0x0010);
    if (!pixel || pixel->length == UndefinedLength || !pixel->HasValue()) {
        out.error = "no native pixel data";
        return out;
    }
    const std::string photometric = ds.GetString(0x0028, 0x0004);
    const bool colour = photometric.rfind("MONO", 0) != 0 && photometric.rfind("PAL", 0) != 0;
    if (colour && photometric != "RGB") {
        out.error = "photometric " + photometric;
        return out;
    }
    const int components = colour ? 3 : 1;
    const uint16_t rows = ds.GetUShort(0x0028, 0x0010);
    const uint16_t columns = ds.GetUShort(0x0028, 0x0011);
    const uint16_t bits = ds.GetUShort(0x0028, 0x0100);
    const bool isSigned = ds.GetUShort(0x0028, 0x0103) == 1;
    const int frames = std::max(1, std::atoi(ds.GetString(0x0028, 0x0008).c_str()));
    const DcmTag* slopeTag = ds.GetTag(0x0028, 0x1053);
    const double slope = slopeTag ? slopeTag->GetFloat() : 1.0;
    const double intercept = ds.GetTag(0x0028, 0x1052) ? ds.GetTag(0x0028, 0x1052)->GetFloat() : 0;
    const std::size_t perFrame = std::size_t(rows) * columns * components;
    const std::size_t count = perFrame * frames;
    const std::size_t width = bits == 16 ? 2 : 1;
    if (pixel->length < count * width) {
        out.error = "pixel data of " + std::to_string(pixel->length) + " bytes";
        return out;
    }
    const bool planar = colour && ds.GetUShort(0x0028, 0x0006) == 1;
    const uint8_t* p = pixel->data.get();
    out.values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = i;
        if (planar) {
            const std::size_t f = i / perFrame, k = (i % perFrame) / 3, c = i % 3;
            at = f * perFrame + c * (perFrame / 3) + k;
        }
        double v;
        if (width == 1) {
            v = p[at];
        } else {
            const uint8_t* w = p + 2 * at;
            const uint16_t word =
                pixel->bigEndian ? uint16_t(w[0] << 8 | w[1]) : uint16_t(w[1] << 8 | w[0]);
            v = isSigned ? static_cast<int16_t>(word) : word;
        }
        out.values[i] = colour ? v : v * slope + intercept;
    }
    return out;
}

double psnr(const std::vector<double>& reference, const std::vector<double>& test) {
    double lo = reference[0], hi = reference[0], sum = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        lo = std::min(lo, reference[i]);
        hi = std::max(hi, reference[i]);
        const double d = reference[i] - test[i];
        sum += d * d;
    }
    if (sum == 0)
        return 1000;
    const double mse = sum / static_cast<double>(reference.size());
    return 10 * std::log10((hi - lo) * (hi - lo) / mse);
}

// Identical for lossless chains, else above the PSNR bound (dB) over the sample's range.
// Lowest PSNR seen per target, for the summary line of the matrix.
std::map<std::string, double> worstPsnr;
std::string currentTarget;

void expectPixels(const std::vector<double>& expected, const Pixels& got, bool lossy,
                  double bound) {
    ASSERT_TRUE(got.error.empty()) << got.error;
    ASSERT_EQ(got.values.size(), expected.size());
    if (!lossy) {
        std::size_t differing = 0, first = 0;
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (std::abs(expected[i] - got.values[i]) > 1e-3 && differing++ == 0)
                first = i;
        EXPECT_EQ(differing, 0u) << "first at " << first << ": " << expected[first] << " vs "
                                 << got.values[first];
    } else {
        const double db = psnr(expected, got.values);
        EXPECT_GE(db, bound);
        auto [at, fresh] = worstPsnr.emplace(currentTarget, db);
        if (!fresh)
            at->second = std::min(at->second, db);
    }
}

// --- the independent tools ------------------------------------------------------------------

// A tool's path, or empty; a missing tool fails the test when peers are required.
std::string tool(const std::string& name) {
    std::string path = findProgram(name);
    if (path.empty() && peersRequired())
        ADD_FAILURE() << name << " is required";
    return path;
}

// Decodes `file` with the independent tool for its syntax and reads the native result.
Pixels independentDecode(const TempDir& dir, const fs::path& file, const std::string& ts) {
    Pixels out;
    const bool j2k = ts == J2k || ts == J2kLossy;
    const std::string program = tool(j2k ? "gdcmconv" : ts == Rle ? "dcmdrle" : "dcmdjpeg");
    if (program.empty()) {
        out.error = "skip";
        return out;
    }
    const fs::path native = dir.file(file.stem().string() + "_native.dcm");
    const std::string command = shellQuote(program) + (j2k ? " --raw " : " ") +
                                shellQuote(file.string()) + " " + shellQuote(native.string()) +
                                " 2>&1";
    const auto result = runCommand(command);
    if (result.exitStatus != 0) {
        out.error = program + " failed: " + result.output;
        return out;
    }
    DcmObj decoded;
    if (!DcmObj::Read(decoded, native.string())) {
        out.error = "cannot read the tool's output";
        return out;
    }
    return modalityValues(decoded);
}

class ConvertTest : public LogFixture {};

// --- the matrix ---------------------------------------------------------------------------------

TEST_F(ConvertTest, EverySourceToEveryTarget) {
    const std::vector<std::string> sources = {Implicit,   Explicit, BigEndian, Rle, Lossless,
                                              Lossless57, Baseline, Extended,  J2k, J2kLossy};
    const std::vector<std::string> targets = {Implicit,   Explicit, BigEndian, Rle, Lossless,
                                              Lossless57, Baseline, Extended,  J2k, J2kLossy};
    TempDir dir;
    int converted = 0, independent = 0;
    for (const Sample& s : samples()) {
        const std::vector<double> original = sampleValues(s);
        for (const std::string& source : sources) {
            auto probe = sourceDataSet(s, source);
            if (!probe) {
                // Only JPEG extended refuses, and only 8-bit samples.
                EXPECT_TRUE(source == Extended && s.bitsStored == 8) << s.name << " " << source;
                continue;
            }
            for (const std::string& target : targets) {
                SCOPED_TRACE(s.name + ": " + source + " -> " + target);
                currentTarget = target;
                auto ds = sourceDataSet(s, source);
                const int entries = ds->Count();
                const bool refused = (target == Rle && source != Rle) ||
                                     (target == Extended && ds->GetUShort(0x0028, 0x0101) == 8 &&
                                      ds->GetUShort(0x0028, 0x0100) != 16);
                const bool ok = DcmObj::ConvertTransferSyntax(*ds, target);
                if (refused) {
                    EXPECT_FALSE(ok);
                    if (target == Rle) {
                        EXPECT_EQ(ds->transferSyntax, source);
                        EXPECT_EQ(ds->Count(), entries);
                    }
                    continue;
                }
                ASSERT_TRUE(ok);
                ASSERT_EQ(ds->transferSyntax, target);
                ++converted;
                const bool lossy = isLossy(source) || isLossy(target);
                const double bound = isLossy(source) && isLossy(target) ? 32 : 34;

                // Independent decoders, once per sample and target, from a native source.
                if (source == Explicit && (isEncapsulated(target) || target == BigEndian)) {
                    const fs::path file = dir.file(s.name + "_" + target + ".dcm");
                    testsupport::writeDicomFile(file, *ds);
                    if (target == BigEndian) {
                        DcmObj back;
                        ASSERT_TRUE(DcmObj::Read(back, file.string()));
                        expectPixels(original, modalityValues(back), false, 0);
                    } else {
                        Pixels tool = independentDecode(dir, file, target);
                        if (tool.error != "skip") {
                            expectPixels(original, tool, lossy, bound);
                            ++independent;
                        }
                    }
                }

                // Our own decoder.
                ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Explicit));
                const Pixels got = modalityValues(*ds);
                expectPixels(original, got, lossy, bound);
                // A lossless target keeps exactly what the lossy source decodes to.
                if (isLossy(source) && !isLossy(target)) {
                    auto reference = sourceDataSet(s, source);
                    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*reference, Explicit));
                    expectPixels(modalityValues(*reference).values, got, false, 0);
                }
            }
        }
    }
    EXPECT_GT(converted, 300);
    std::cout << "[ note ] " << converted << " conversions; lowest PSNR by target:";
    for (const auto& [ts, db] : worstPsnr)
        std::cout << " " << ts << " " << std::fixed << std::setprecision(1) << db << " dB";
    std::cout << "\n";
    if (!findProgram("dcmdjpeg").empty() && !findProgram("gdcmconv").empty()) {
        // Six encapsulating targets for five samples; two 8-bit samples refuse JPEG extended.
        EXPECT_EQ(independent, 5 * 6 - 2);
    }
}

TEST_F(ConvertTest, RleSourcesAgreeWithDcmdrle) {
    TempDir dir;
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        auto ds = rleDataSet(s);
        const fs::path file = dir.file(s.name + "_rle.dcm");
        testsupport::writeDicomFile(file, *ds);
        Pixels tool = independentDecode(dir, file, Rle);
        if (tool.error == "skip")
            return;
        expectPixels(sampleValues(s), tool, false, 0);
    }
}

TEST_F(ConvertTest, BigEndianFilesAgreeWithDcmdump) {
    const std::string dcmdump = tool("dcmdump");
    if (dcmdump.empty())
        GTEST_SKIP();
    TempDir dir;
    const Sample& s = samples()[1]; // signed 16-bit
    auto ds = nativeDataSet(s);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, BigEndian));
    EXPECT_EQ(ds->bigEndian, 1);
    EXPECT_EQ(ds->GetTag(0x0028, 0x0010)->bigEndian, 1);
    const fs::path file = dir.file("be.dcm");
    testsupport::writeDicomFile(file, *ds);
    const auto dump = runCommand(shellQuote(dcmdump) + " " + shellQuote(file.string()));
    ASSERT_EQ(dump.exitStatus, 0) << dump.output;
    EXPECT_NE(dump.output.find("(0028,0010) US 44 "), std::string::npos) << dump.output;
    EXPECT_NE(dump.output.find("(0028,0011) US 60 "), std::string::npos);
    // -1000 and -1000 + 30 + 7 as 16-bit words.
    EXPECT_NE(dump.output.find("(7fe0,0010) OW fc18\\fc3d\\"), std::string::npos) << dump.output;

    // And back: the little-endian result equals the sample.
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Explicit));
    EXPECT_EQ(ds->bigEndian, 0);
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0010), 44);
    expectPixels(sampleValues(s), modalityValues(*ds), false, 0);
}

TEST_F(ConvertTest, BigEndianSwapsNumbersByTheirWidth) {
    auto ds = nativeDataSet(samples()[2]);
    const uint8_t numbers[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Private {
        uint16_t element;
        const char* vr;
        uint32_t length;
        std::vector<uint8_t> swapped;
    } privates[] = {
        {0x1001, "FL", 4, {4, 3, 2, 1}}, {0x1002, "FD", 8, {8, 7, 6, 5, 4, 3, 2, 1}},
        {0x1003, "AT", 4, {2, 1, 4, 3}}, {0x1004, "UL", 4, {4, 3, 2, 1}},
        {0x1005, "SS", 2, {2, 1}},       {0x1006, "SL", 4, {4, 3, 2, 1}},
        {0x1007, "OB", 4, {1, 2, 3, 4}}, {0x1008, "LO", 4, {1, 2, 3, 4}},
    };
    for (const Private& p : privates)
        ds->Add(std::make_unique<DcmTag>(0x0009, p.element, p.length, numbers, p.vr));
    auto item = std::make_unique<DcmObj>();
    item->itemTag.group = 0xFFFE;
    item->itemTag.element = 0xE000;
    item->Append(std::make_unique<DcmTag>(0x0018, 0x6012, uint16_t(0x0102), "US"));
    auto sequence = std::make_unique<DcmObj>();
    sequence->AppendObj(std::move(item));
    ds->AddSequence(0x0018, 0x6011, std::move(sequence));

    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, BigEndian));
    for (const Private& p : privates) {
        SCOPED_TRACE(p.vr);
        const DcmTag* e = ds->GetTag(0x0009, p.element);
        ASSERT_TRUE(e);
        EXPECT_EQ(std::vector<uint8_t>(e->data.get(), e->data.get() + p.length), p.swapped);
        EXPECT_EQ(e->bigEndian, 1);
    }
    EXPECT_EQ(ds->GetTag(0x0009, 0x1004)->GetULong(), 0x04030201u) << "the value stays the same";
    const DcmObj* nested = nullptr;
    for (int i = 0; i < ds->Count(); ++i)
        if (ds->ObjAt(i))
            nested = ds->ObjAt(i)->ObjAt(0);
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->bigEndian, 1);
    EXPECT_EQ(nested->TagAt(0)->data[0], 0x01);
    EXPECT_EQ(nested->TagAt(0)->GetUShort(), 0x0102);

    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Implicit));
    EXPECT_EQ(ds->bigEndian, 0);
    for (const Private& p : privates) {
        const DcmTag* e = ds->GetTag(0x0009, p.element);
        EXPECT_EQ(std::memcmp(e->data.get(), numbers, p.length), 0) << p.vr;
    }
    EXPECT_EQ(nested->TagAt(0)->data[0], 0x02);
}

TEST_F(ConvertTest, PydicomSamplesConvert) {
    const fs::path root = "/usr/lib/python3/dist-packages/pydicom/data/test_files";
    struct Case {
        const char* compressed;
        const char* native;
    } cases[] = {{"MR_small_RLE.dcm", "MR_small.dcm"},
                 {"MR_small_jp2klossless.dcm", "MR_small.dcm"},
                 {"MR_small_bigendian.dcm", "MR_small.dcm"},
                 {"SC_rgb_small_odd_jpeg.dcm", "SC_rgb_small_odd.dcm"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.compressed);
        if (!fs::exists(root / c.compressed))
            GTEST_SKIP() << "pydicom samples are not installed";
        DcmObj compressed, native;
        ASSERT_TRUE(DcmObj::Read(compressed, (root / c.compressed).string()));
        ASSERT_TRUE(DcmObj::Read(native, (root / c.native).string()));
        ASSERT_TRUE(DcmObj::ConvertTransferSyntax(native, Explicit));
        const Pixels reference = modalityValues(native);
        ASSERT_TRUE(DcmObj::ConvertTransferSyntax(compressed, Lossless));
        ASSERT_TRUE(DcmObj::ConvertTransferSyntax(compressed, Explicit));
        const bool lossy = std::string(c.compressed).find("jpeg") != std::string::npos;
        expectPixels(reference.values, modalityValues(compressed), lossy, 30);
    }
}

// --- early outcomes and attribute rewrites -----------------------------------------------------

TEST_F(ConvertTest, EarlyOutcomes) {
    auto ds = nativeDataSet(samples()[0]);
    const int entries = ds->Count();
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(*ds, ""));
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Explicit));
    EXPECT_EQ(ds->Count(), entries);
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, Rle));
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, "1.2.840.10008.1.2.4.100"));
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, "1.2.840.10008.1.2.4.80"));
    EXPECT_EQ(ds->transferSyntax, Explicit);
    EXPECT_EQ(ds->Count(), entries);

    DcmObj video;
    video.transferSyntax = "1.2.840.10008.1.2.4.100";
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(video, Explicit));
    DcmObj unknown;
    unknown.transferSyntax = "1.2.840.10008.1.2.4.80";
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(unknown, Explicit));

    DcmObj noPixels;
    appendText(noPixels, 0x0008, 0x0060, "OT");
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(noPixels, Explicit));
    EXPECT_EQ(noPixels.transferSyntax, Explicit);
    EXPECT_EQ(noPixels.explicitVR, 1);
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(noPixels, Implicit));
    EXPECT_EQ(noPixels.explicitVR, 0);
}

TEST_F(ConvertTest, PlanarColourComesOutInterleaved) {
    for (const char* target : {Explicit, Baseline}) {
        SCOPED_TRACE(target);
        DcmObj ds;
        ds.transferSyntax = Implicit;
        appendText(ds, 0x0028, 0x0004, "RGB");
        appendUShort(ds, 0x0028, 0x0006, 1);
        appendUShort(ds, 0x0028, 0x0010, 1);
        appendUShort(ds, 0x0028, 0x0011, 2);
        appendUShort(ds, 0x0028, 0x0100, 8);
        appendUShort(ds, 0x0028, 0x0101, 8);
        const uint8_t planes[] = {1, 2, 3, 4, 5, 6};
        ds.Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, 6u, planes, "OB"));
        ASSERT_TRUE(DcmObj::ConvertTransferSyntax(ds, target));
        EXPECT_EQ(ds.GetUShort(0x0028, 0x0006), 0);
        const DcmTag* photometric = ds.GetTag(0x0028, 0x0004);
        if (target == Explicit) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(photometric->data.get()), 4), "RGB ");
            const DcmTag* pixel = ds.GetTag(0x7FE0, 0x0010);
            EXPECT_EQ(std::vector<uint8_t>(pixel->data.get(), pixel->data.get() + 6),
                      (std::vector<uint8_t>{1, 3, 5, 2, 4, 6}));
        } else {
            EXPECT_EQ(photometric->GetString(), "YBR_FULL");
        }
    }
}

TEST_F(ConvertTest, SixteenBitCtToJpegBaselineRewritesAttributes) {
    Sample ct = samples()[1];
    ct.intercept = "-1024";
    auto ds = nativeDataSet(ct);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Baseline));
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0100), 8);
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0101), 8);
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0102), 7);
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0103), 0);
    // The new rescale: the smallest stored value becomes 0, the shift is a power of two.
    const float slope = ds->GetTag(0x0028, 0x1053)->GetFloat();
    EXPECT_TRUE(slope >= 1 && std::log2(slope) == std::floor(std::log2(slope))) << slope;
    EXPECT_NE(ds->GetTag(0x0028, 0x1052), nullptr);
    EXPECT_EQ(ds->GetString(0x0028, 0x2110), "01");
    EXPECT_EQ(ds->GetString(0x0028, 0x2114), "ISO_10918_1");
    const std::string ratio = ds->GetString(0x0028, 0x2112);
    ASSERT_GE(ratio.size(), 4u);
    EXPECT_EQ(ratio[ratio.size() - 3], '.') << ratio;
    EXPECT_GT(std::stod(ratio), 1.0);
}

// The rescale follows the shift applied to the values (0..3666 need 4 bits less), whatever the
// bits stored say, and is written where the source had none.
TEST_F(ConvertTest, MrSlopeFollowsTheValues) {
    Sample mr = samples()[2];
    for (uint16_t bitsStored : {12, 16}) {
        mr.bitsStored = bitsStored;
        auto ds = nativeDataSet(mr);
        ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Baseline));
        EXPECT_EQ(ds->GetString(0x0028, 0x1053), "16") << bitsStored;
        EXPECT_EQ(ds->GetString(0x0028, 0x1052), "0") << bitsStored;
    }
    mr.slope.clear();
    mr.intercept.clear();
    auto bare = nativeDataSet(mr);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*bare, Baseline));
    EXPECT_EQ(bare->GetString(0x0028, 0x1053), "16");
    EXPECT_EQ(bare->GetString(0x0028, 0x1052), "0");
}

TEST_F(ConvertTest, RatioUsesFullStopInAnyLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = true;
            break;
        }
    auto ds = nativeDataSet(samples()[0]);
    const bool ok = DcmObj::ConvertTransferSyntax(*ds, J2kLossy);
    const std::string ratio = ds->GetString(0x0028, 0x2112);
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ratio.find(','), std::string::npos) << ratio;
    EXPECT_EQ(ratio[ratio.size() - 3], '.') << ratio;
    if (!comma)
        std::cout << "[ note ] no comma locale installed; checked in the C locale\n";
}

TEST_F(ConvertTest, NativeDataOneByteLongerIsAccepted) {
    Sample odd = samples()[0];
    odd.rows = 3;
    odd.columns = 3;
    auto ds = nativeDataSet(odd); // 9 bytes, padded to 10
    ASSERT_EQ(ds->GetTag(0x7FE0, 0x0010)->length, 10u);
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Lossless));

    ds = nativeDataSet(samples()[0]);
    ds->GetTag(0x7FE0, 0x0010)->length -= 2;
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, Lossless));
    EXPECT_TRUE(logged("ERROR, DcmObj::ConvertTransferSyntax, tag->length!=size"));
}

TEST_F(ConvertTest, IconImageKeepsItsPixelData) {
    auto ds = std::make_unique<DcmObj>();
    ds->transferSyntax = Explicit;
    ds->explicitVR = 1;
    appendText(*ds, 0x0008, 0x0060, "MR");
    ds->Append(std::make_unique<DcmTag>(0x0088, 0x0200, UndefinedLength, nullptr, "SQ"));
    ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, UndefinedLength, nullptr, "DL"));
    appendUShort(*ds, 0x0028, 0x0010, 2);
    appendUShort(*ds, 0x0028, 0x0011, 2);
    appendUShort(*ds, 0x0028, 0x0100, 16);
    appendUShort(*ds, 0x0028, 0x0101, 12);
    const uint8_t icon[4] = {1, 2, 3, 4};
    ds->Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, 4u, icon, "OB"));
    ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE00D, 0u, nullptr, "DL"));
    ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"));
    const Sample& mr = samples()[2];
    auto image = nativeDataSet(mr);
    for (int i = 0; i < image->Count(); ++i)
        if (image->TagAt(i)->group >= 0x0028)
            ds->Append(std::move(image->items[static_cast<std::size_t>(i)].tag));
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Baseline));
    // The icon's pixel data is untouched; its group 0028 is rewritten all the same.
    EXPECT_EQ(ds->TagAt(7)->length, 4u);
    EXPECT_EQ(ds->TagAt(7)->data[3], 4);
    EXPECT_TRUE(ds->TagAt(5)->Is(0x0028, 0x0100));
    EXPECT_EQ(ds->TagAt(5)->GetUShort(), 8);
    EXPECT_EQ(ds->GetTag(0x7FE0, 0x0010)->length, UndefinedLength);
    EXPECT_EQ(ds->GetUShort(0x0028, 0x0010), mr.rows);
}

TEST_F(ConvertTest, NativeYbrFullBecomesClampedRgb) {
    DcmObj ds;
    ds.transferSyntax = Explicit;
    ds.explicitVR = 1;
    appendText(ds, 0x0028, 0x0004, "YBR_FULL");
    appendUShort(ds, 0x0028, 0x0010, 1);
    appendUShort(ds, 0x0028, 0x0011, 2);
    appendUShort(ds, 0x0028, 0x0100, 8);
    appendUShort(ds, 0x0028, 0x0101, 8);
    // Y 128 with Cr 255 gives R = 306, G = 37, B = 128; Y 0 with Cb 0 gives B = -227.
    const uint8_t ybr[] = {128, 128, 255, 0, 0, 128};
    ds.Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, 6u, ybr, "OB"));
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(ds, Implicit));
    EXPECT_EQ(ds.GetString(0x0028, 0x0004), "RGB");
    const DcmTag* pixel = ds.GetTag(0x7FE0, 0x0010);
    EXPECT_EQ(std::vector<uint8_t>(pixel->data.get(), pixel->data.get() + 6),
              (std::vector<uint8_t>{255, 37, 128, 0, 44, 0}));
}

TEST_F(ConvertTest, Process14TargetIsCodedLosslessly) {
    auto ds = nativeDataSet(samples()[2]);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*ds, Lossless57));
    const DcmTag* pixel = ds->GetTag(0x7FE0, 0x0010);
    ASSERT_EQ(pixel->length, UndefinedLength);
    int index = 0;
    while (ds->TagAt(index) != pixel)
        ++index;
    const DcmTag& fragment = *ds->TagAt(index + 2);
    // A lossless frame header (SOF3) in the stream.
    bool sof3 = false;
    for (uint32_t i = 0; i + 1 < fragment.length; ++i)
        sof3 = sof3 || (fragment.data[i] == 0xFF && fragment.data[i + 1] == 0xC3);
    EXPECT_TRUE(sof3);
}

TEST_F(ConvertTest, EncoderFailureFailsTheConversion) {
    Sample wide = samples()[0];
    wide.rows = 1;
    wide.columns = 65535;
    auto ds = nativeDataSet(wide);
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, Baseline));
    const DcmTag* pixel = ds->GetTag(0x7FE0, 0x0010);
    EXPECT_NE(pixel->length, UndefinedLength) << "no encapsulated items for a failed frame";
}

// --- VOI LUT ------------------------------------------------------------------------------------

std::unique_ptr<DcmObj> crWithLut(bool flat) {
    auto ds = std::make_unique<DcmObj>();
    ds->transferSyntax = Explicit;
    ds->explicitVR = 1;
    appendText(*ds, 0x0008, 0x0060, "CR");
    appendUShort(*ds, 0x0028, 0x0010, 1);
    appendUShort(*ds, 0x0028, 0x0011, 4);
    appendUShort(*ds, 0x0028, 0x0100, 16);
    appendUShort(*ds, 0x0028, 0x0101, 14);
    appendText(*ds, 0x0028, 0x0030, "0.1\\0.1");
    const std::vector<uint8_t> descriptor = littleEndianWords({3, 10, 16});
    const std::vector<uint8_t> table = littleEndianWords({100, 2000, 4000});
    if (flat) {
        ds->Append(std::make_unique<DcmTag>(0x0028, 0x3010, UndefinedLength, nullptr, "SQ"));
        ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE000, UndefinedLength, nullptr, "DL"));
        ds->Append(std::make_unique<DcmTag>(0x0028, 0x3002, 6u, descriptor.data(), "US"));
        ds->Append(std::make_unique<DcmTag>(0x0028, 0x3006, 6u, table.data(), "OW"));
        ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE00D, 0u, nullptr, "DL"));
        ds->Append(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"));
    } else {
        auto item = std::make_unique<DcmObj>();
        item->itemTag.group = 0xFFFE;
        item->itemTag.element = 0xE000;
        item->Append(std::make_unique<DcmTag>(0x0028, 0x3002, 6u, descriptor.data(), "US"));
        item->Append(std::make_unique<DcmTag>(0x0028, 0x3006, 6u, table.data(), "OW"));
        auto sequence = std::make_unique<DcmObj>();
        sequence->AppendObj(std::move(item));
        ds->AddSequence(0x0028, 0x3010, std::move(sequence));
    }
    const std::vector<uint8_t> pixels = littleEndianWords({0, 10, 11, 500});
    ds->Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, 8u, pixels.data(), "OW"));
    return ds;
}

TEST_F(ConvertTest, VoiLutIsAppliedAndRemoved) {
    for (bool flat : {false, true}) {
        SCOPED_TRACE(flat ? "flat" : "nested");
        auto ds = crWithLut(flat);
        const int entries = ds->Count();
        EXPECT_EQ(DcmObj::ApplyVoiLut(*ds), flat ? 6 : 1);
        EXPECT_EQ(ds->Count(), entries - (flat ? 6 : 1));
        const DcmTag* pixel = ds->GetTag(0x7FE0, 0x0010);
        EXPECT_EQ(std::vector<uint8_t>(pixel->data.get(), pixel->data.get() + 8),
                  littleEndianWords({100, 100, 2000, 4000}));
    }
    // Without a LUT nothing changes; the conversion applies it before JPEG extended.
    auto plain = crWithLut(false);
    plain->Remove(6);
    EXPECT_EQ(DcmObj::ApplyVoiLut(*plain), 0);
    auto cr = crWithLut(false);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(*cr, Extended));
    EXPECT_EQ(cr->GetTag(0x0028, 0x3010), nullptr);
    for (int i = 0; i < cr->Count(); ++i)
        EXPECT_FALSE(cr->ObjAt(i)) << "the nested LUT sequence is gone";
}

// --- corrupt input
// --------------------------------------------------------------------------------

TEST_F(ConvertTest, CorruptFragmentsDoNotCrash) {
    const Sample& s = samples()[2];
    for (const char* source : {Lossless, Baseline, Extended, J2k, Rle}) {
        for (int damage = 0; damage < 4; ++damage) {
            SCOPED_TRACE(std::string(source) + " damage " + std::to_string(damage));
            auto ds = sourceDataSet(s, source);
            ASSERT_TRUE(ds);
            int index = 0;
            while (!ds->TagAt(index) || !ds->TagAt(index)->Is(0x7FE0, 0x0010))
                ++index;
            DcmTag& fragment = *ds->TagAt(index + 2);
            auto copy = NewValueBlock(fragment.length);
            std::memcpy(copy.get(), fragment.data.get(), fragment.length);
            if (damage == 0) {
                fragment.length /= 3; // truncated
            } else if (damage == 1) {
                for (uint32_t i = 20; i < fragment.length; i += 37)
                    copy[i] ^= 0x5A; // bit flips
            } else if (damage == 2) {
                fragment.length = 0; // empty fragment
            } else {
                std::memset(copy.get(), 0xFF, std::min<uint32_t>(fragment.length, 80));
            }
            fragment.data = copy;
            // Whatever decodes is encoded again; the point is staying inside the buffers.
            DcmObj::ConvertTransferSyntax(*ds, Explicit);
        }
    }
}

TEST_F(ConvertTest, WrongFrameCountsAreRefused) {
    for (const char* source : {Explicit, Lossless, J2k}) {
        SCOPED_TRACE(source);
        auto ds = sourceDataSet(samples()[2], source);
        ds->AddString(0x0028, 0x0008, "3");
        EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*ds, Baseline));
    }
    EXPECT_TRUE(logged("ERROR, DcmObj::ConvertTransferSyntax, frames=3, fragments=1"));
    EXPECT_TRUE(logged("ERROR, DcmObj::ConvertTransferSyntax, tag->length!=size"));

    // A frame count the data cannot hold is refused before anything is allocated.
    auto huge = sourceDataSet(samples()[2], J2k);
    huge->AddString(0x0028, 0x0008, "2000000");
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*huge, Explicit));
    auto zero = nativeDataSet(samples()[0]);
    zero->GetTag(0x0028, 0x0010)->SetValue("\0\0", 2);
    EXPECT_FALSE(DcmObj::ConvertTransferSyntax(*zero, Lossless));
    EXPECT_TRUE(logged("ERROR, DcmObj::ConvertTransferSyntax, size=0"));
}

} // namespace

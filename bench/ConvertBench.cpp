// Transfer syntax conversion against DCMTK's dcmcjpeg/dcmdjpeg and GDCM's gdcmconv.
//
// Each side is timed as a whole process that reads a DICOM file, converts it and writes the
// result: this program re-runs itself as "convert IN OUT UID" for our side. Inputs are made up
// here: a 512 x 512 16-bit CT and a 1024 x 1024 RGB image, one frame and twenty frames. Every
// case runs the tools on the same input file in the same run, and the table shows the fastest
// wall time of the repetitions and the ratio tool / ours (above 1: we are faster). The codec
// time per frame (the median) is measured inside this process (read done, around
// ConvertTransferSyntax).
//
// usage: veskaro_convert_bench [--reps N] [--dir DIR] [--quick] [--keep] [--results FILE]
//        veskaro_convert_bench convert IN OUT TRANSFER_SYNTAX_UID [--phases]

#include "BenchSupport.h"
#include "BufData.h"
#include "DcmObj.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* Explicit = "1.2.840.10008.1.2.1";
constexpr const char* Baseline = "1.2.840.10008.1.2.4.50";
constexpr const char* Lossless = "1.2.840.10008.1.2.4.70";

bool writeDicomFile(const std::string& fileName, DcmObj& ds) {
    std::vector<std::unique_ptr<DcmTag>> meta;
    const uint8_t version[2] = {0, 1};
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0001, 2u, version, "OB"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0002, ds.GetString(0x0008, 0x0016), "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0003, ds.GetString(0x0008, 0x0018), "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0010, ds.transferSyntax, "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0012,
                                            std::string("1.2.826.0.1.3680043.10.1234.1"), "UI"));
    BufData body(0);
    for (const auto& e : meta)
        body.WriteTag(*e, true);
    const std::vector<uint8_t> metaBytes = body.TakeBytes();
    BufData head(0);
    head.WriteTag(DcmTag(0x0002, 0x0000, static_cast<uint32_t>(metaBytes.size()), "UL"), true);
    const std::vector<uint8_t> headBytes = head.TakeBytes();
    BufData data(ds.bigEndian);
    data.WriteObject(ds);
    const std::vector<uint8_t> dataBytes = data.TakeBytes();

    std::ofstream out(fileName, std::ios::binary);
    static const char preamble[128] = {};
    out.write(preamble, 128);
    out.write("DICM", 4);
    out.write(reinterpret_cast<const char*>(headBytes.data()),
              static_cast<std::streamsize>(headBytes.size()));
    out.write(reinterpret_cast<const char*>(metaBytes.data()),
              static_cast<std::streamsize>(metaBytes.size()));
    out.write(reinterpret_cast<const char*>(dataBytes.data()),
              static_cast<std::streamsize>(dataBytes.size()));
    return static_cast<bool>(out);
}

int convertMain(const std::string& in, const std::string& out, const std::string& ts,
                bool phases = false) {
    const auto t0 = Clock::now();
    DcmObj ds;
    if (!DcmObj::Read(ds, in)) {
        std::fprintf(stderr, "cannot read %s\n", in.c_str());
        return 1;
    }
    const auto t1 = Clock::now();
    if (!DcmObj::ConvertTransferSyntax(ds, ts)) {
        std::fprintf(stderr, "conversion to %s failed\n", ts.c_str());
        return 1;
    }
    const auto t2 = Clock::now();
    const bool written = writeDicomFile(out, ds);
    const auto t3 = Clock::now();
    if (phases) {
        auto ms = [](auto a, auto b) {
            return std::chrono::duration<double, std::milli>(b - a).count();
        };
        std::fprintf(stderr, "read %.1f ms, convert %.1f ms, write %.1f ms\n", ms(t0, t1),
                     ms(t1, t2), ms(t2, t3));
    }
    return written ? 0 : 1;
}

// --- inputs ---------------------------------------------------------------------------------

void appendText(DcmObj& ds, uint16_t g, uint16_t e, const std::string& text) {
    ds.Append(std::make_unique<DcmTag>(g, e, text, nullptr));
}

void appendUShort(DcmObj& ds, uint16_t g, uint16_t e, uint16_t v) {
    ds.Append(std::make_unique<DcmTag>(g, e, v, "US"));
}

// Smooth anatomy-like content with a little texture, so that codecs do real work.
void makeInput(const std::string& fileName, bool colour, int frames) {
    const uint16_t size = colour ? 1024 : 512;
    DcmObj ds;
    ds.transferSyntax = Explicit;
    ds.explicitVR = 1;
    appendText(ds, 0x0008, 0x0016,
               colour ? "1.2.840.10008.5.1.4.1.1.7" : "1.2.840.10008.5.1.4.1.1.2");
    appendText(ds, 0x0008, 0x0018, "1.2.826.0.1.3680043.10.1234.9." + std::to_string(frames));
    appendText(ds, 0x0008, 0x0060, colour ? "OT" : "CT");
    appendUShort(ds, 0x0028, 0x0002, colour ? 3 : 1);
    appendText(ds, 0x0028, 0x0004, colour ? "RGB" : "MONOCHROME2");
    if (colour)
        appendUShort(ds, 0x0028, 0x0006, 0);
    if (frames > 1)
        appendText(ds, 0x0028, 0x0008, std::to_string(frames));
    appendUShort(ds, 0x0028, 0x0010, size);
    appendUShort(ds, 0x0028, 0x0011, size);
    appendUShort(ds, 0x0028, 0x0100, colour ? 8 : 16);
    appendUShort(ds, 0x0028, 0x0101, colour ? 8 : 16);
    appendUShort(ds, 0x0028, 0x0102, colour ? 7 : 15);
    appendUShort(ds, 0x0028, 0x0103, 0);
    if (!colour) {
        appendText(ds, 0x0028, 0x1052, "-1024");
        appendText(ds, 0x0028, 0x1053, "1");
    }
    const std::size_t samples = std::size_t(size) * size * (colour ? 3 : 1);
    std::vector<uint8_t> pixels(samples * (colour ? 1 : 2) * frames);
    uint32_t noise = 12345;
    std::size_t at = 0;
    for (int f = 0; f < frames; ++f) {
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const double dx = x - size / 2.0, dy = y - size / 2.0;
                const double r = std::sqrt(dx * dx + dy * dy) / size;
                noise = noise * 1103515245u + 12345u;
                const int jitter = static_cast<int>((noise >> 16) % 9) - 4;
                if (colour) {
                    pixels[at++] = static_cast<uint8_t>(
                        std::clamp(static_cast<int>(200 * (1 - r)) + jitter + f, 0, 255));
                    pixels[at++] = static_cast<uint8_t>((x / 4 + y / 8 + f) & 0xFF);
                    pixels[at++] = static_cast<uint8_t>(
                        std::clamp(static_cast<int>(128 + 100 * std::sin(x / 40.0)), 0, 255));
                } else {
                    const int v =
                        r < 0.45 ? 1024 + 40 + static_cast<int>(600 * (0.45 - r)) + jitter * 4 + f
                                 : 24 + jitter;
                    pixels[at++] = static_cast<uint8_t>(v & 0xFF);
                    pixels[at++] = static_cast<uint8_t>(v >> 8);
                }
            }
        }
    }
    ds.Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()),
                                       pixels.data(), colour ? "OB" : "OW"));
    writeDicomFile(fileName, ds);
}

// --- timing ---------------------------------------------------------------------------------

// Wall seconds of one child process with its output sent to /dev/null; negative on failure.
double runTimed(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

struct Timing {
    double fastest = -1;
    double median = -1;
};

// Both negative when any run fails.
Timing timeRuns(const std::vector<std::string>& args, int reps) {
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        const double t = runTimed(args);
        if (t < 0)
            return {};
        times.push_back(t);
    }
    return {*std::min_element(times.begin(), times.end()), bench::median(times)};
}

// Codec milliseconds per frame inside this process: the file is read first, untimed.
double codecMsPerFrame(const std::string& in, const std::string& ts, int frames, int reps) {
    std::vector<double> times;
    for (int i = 0; i < reps; ++i) {
        DcmObj ds;
        if (!DcmObj::Read(ds, in))
            return -1;
        const auto start = Clock::now();
        const bool ok = DcmObj::ConvertTransferSyntax(ds, ts);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!ok)
            return -1;
        times.push_back(ms);
    }
    return bench::median(times) / frames;
}

struct Case {
    std::string label;
    std::string input;  // file name in the work directory
    std::string target; // our conversion
    std::string tool;   // program name
    std::vector<std::string> toolOptions;
    std::string toolName; // as shown
};

} // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 6) && std::string(argv[1]) == "convert")
        return convertMain(argv[2], argv[3], argv[4], argc == 6);

    int reps = 3;
    bool quick = false;
    bool keep = false;
    bench::ResultRows rows;
    fs::path dir =
        fs::temp_directory_path() / ("veskaro_convert_bench_" + std::to_string(getpid()));
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc)
            reps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--quick")
            quick = true;
        else if (a == "--keep")
            keep = true;
        else if (a == "--results" && i + 1 < argc)
            rows.Open(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--reps N] [--dir DIR] [--quick] [--keep] [--results FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    fs::create_directories(dir);
    std::error_code error;
    const std::string self = fs::read_symlink("/proc/self/exe", error).string();

    struct Input {
        std::string name;
        bool colour;
        int frames;
    };
    std::vector<Input> inputs = {{"ct1", false, 1}, {"rgb1", true, 1}};
    if (!quick) {
        inputs.push_back({"ct20", false, 20});
        inputs.push_back({"rgb20", true, 20});
    }
    std::printf("making inputs in %s\n", dir.c_str());
    for (const Input& in : inputs) {
        const std::string native = (dir / (in.name + ".dcm")).string();
        makeInput(native, in.colour, in.frames);
        // Compressed twins made by us, the common input of both decoders.
        for (const char* ts : {Baseline, Lossless, J2kLossless}) {
            if (!in.colour && std::string(ts) == Baseline)
                continue;
            const std::string suffix = ts == std::string(Baseline)   ? "_jpb"
                                       : ts == std::string(Lossless) ? "_jpl"
                                                                     : "_j2k";
            convertMain(native, (dir / (in.name + suffix + ".dcm")).string(), ts);
        }
    }

    std::vector<Case> cases;
    for (const Input& in : inputs) {
        const std::string n = in.name;
        if (in.colour)
            cases.push_back({"JPEG baseline encode",
                             n + ".dcm",
                             Baseline,
                             "dcmcjpeg",
                             {"+eb", "+q", "85", "+s4"},
                             "dcmcjpeg +eb +q 85 +s4"});
        cases.push_back(
            {"JPEG lossless encode", n + ".dcm", Lossless, "dcmcjpeg", {"+e1"}, "dcmcjpeg +e1"});
        if (in.colour)
            cases.push_back(
                {"JPEG baseline decode", n + "_jpb.dcm", Explicit, "dcmdjpeg", {}, "dcmdjpeg"});
        cases.push_back(
            {"JPEG lossless decode", n + "_jpl.dcm", Explicit, "dcmdjpeg", {}, "dcmdjpeg"});
        cases.push_back({"J2K lossless encode",
                         n + ".dcm",
                         J2kLossless,
                         "gdcmconv",
                         {"--j2k"},
                         "gdcmconv --j2k"});
        cases.push_back(
            {"J2K decode", n + "_j2k.dcm", Explicit, "gdcmconv", {"--raw"}, "gdcmconv --raw"});
    }

    std::printf("\n%-22s %-6s %-24s %10s %10s %8s %14s\n", "conversion", "input", "tool", "ours s",
                "tool s", "ratio", "codec ms/frm");
    for (const Case& c : cases) {
        const std::string in = (dir / c.input).string();
        const std::string ours = (dir / "out_ours.dcm").string();
        const std::string theirs = (dir / "out_tool.dcm").string();
        const int frames = c.input.find("20") != std::string::npos ? 20 : 1;
        const Timing mine = timeRuns({self, "convert", in, ours, c.target}, reps);
        const double t1 = mine.fastest;
        Timing tools;
        const std::string tool = bench::findOnPath(c.tool);
        if (!tool.empty()) {
            std::vector<std::string> args = {tool};
            args.insert(args.end(), c.toolOptions.begin(), c.toolOptions.end());
            args.push_back(in);
            args.push_back(theirs);
            tools = timeRuns(args, reps);
        }
        const double t2 = tools.fastest;
        const double codec = codecMsPerFrame(in, c.target, frames, std::min(reps, 2));
        const std::string name = c.input.substr(0, c.input.find_first_of("_."));
        char ratio[32] = "n/a";
        if (t1 > 0 && t2 > 0)
            std::snprintf(ratio, sizeof ratio, "%.2f", t2 / t1);
        std::printf("%-22s %-6s %-24s %10.3f %10.3f %8s %14.2f\n", c.label.c_str(), name.c_str(),
                    c.toolName.c_str(), t1, t2, ratio, codec);
        std::fflush(stdout);
        rows.Row("convert", c.label + " " + name, mine.median, tools.median, c.toolName, "s");
        rows.Row("convert", c.label + " " + name + ", codec", codec, -1, "", "ms/frame");
    }
    if (!keep)
        fs::remove_all(dir, error);
    return 0;
}

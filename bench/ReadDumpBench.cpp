// Read + dump throughput against DCMTK's dcmdump on two synthetic DICOM files: 10^5 small
// elements with nested sequences (per-element cost: decoding, dictionary lookups, line
// formatting), and 512 MB of native pixel data (bulk copies, peak memory).
//
// Each tool runs as a whole child process with its output sent to /dev/null, several times;
// the table shows median and fastest wall times, their ratio, and each child's peak resident
// set (wait4's ru_maxrss) as a multiple of the file size. A fork child counts its parent's
// resident pages until exec, so this program keeps its own footprint small until the children
// are done; the in-process split into read and dump runs last.
//
// usage: veskaro_read_dump_bench [--cli PATH] [--dcmdump PATH] [--reps N] [--dir DIR]
//                                [--small-only] [--results FILE]

#include "BenchSupport.h"
#include "DcmObj.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---- Writing explicit VR little endian DICOM files -------------------------------------

class Writer {
public:
    std::vector<uint8_t> bytes;

    void u16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void raw(const void* data, std::size_t count) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + count);
    }
    // An element with a 16-bit length; text is padded to even length with pad.
    void element(uint16_t group, uint16_t elem, const char* vr, std::string value, char pad = ' ') {
        if (value.size() % 2) {
            value += pad;
        }
        u16(group);
        u16(elem);
        raw(vr, 2);
        u16(static_cast<uint16_t>(value.size()));
        raw(value.data(), value.size());
    }
    void uid(uint16_t group, uint16_t elem, const std::string& value) {
        element(group, elem, "UI", value, '\0');
    }
    void us(uint16_t group, uint16_t elem, uint16_t value) {
        u16(group);
        u16(elem);
        raw("US", 2);
        u16(2);
        u16(value);
    }
    void ul(uint16_t group, uint16_t elem, uint32_t value) {
        u16(group);
        u16(elem);
        raw("UL", 2);
        u16(4);
        u32(value);
    }
    // Header of an element with a 32-bit length (OB, OW, SQ, UN, UT).
    void longHeader(uint16_t group, uint16_t elem, const char* vr, uint32_t length) {
        u16(group);
        u16(elem);
        raw(vr, 2);
        u16(0);
        u32(length);
    }
    void itemHeader(uint16_t elem, uint32_t length) {
        u16(0xFFFE);
        u16(elem);
        u32(length);
    }
    std::size_t mark() const { return bytes.size(); }
    // Writes the length of everything after the 32-bit length field that ends at `at`.
    void patchLength(std::size_t at) {
        uint32_t length = static_cast<uint32_t>(bytes.size() - at);
        for (int i = 0; i < 4; ++i) {
            bytes[at - 4 + i] = static_cast<uint8_t>(length >> (8 * i));
        }
    }
};

const char* SopClassSc = "1.2.840.10008.5.1.4.1.1.7";
const char* SopClassCt = "1.2.840.10008.5.1.4.1.1.2";

std::vector<uint8_t> metaHeader(const std::string& sopClass, const std::string& sopInstance) {
    Writer group;
    static const uint8_t version[] = {0, 1};
    group.longHeader(0x0002, 0x0001, "OB", 2);
    group.raw(version, 2);
    group.uid(0x0002, 0x0002, sopClass);
    group.uid(0x0002, 0x0003, sopInstance);
    group.uid(0x0002, 0x0010, "1.2.840.10008.1.2.1");
    group.uid(0x0002, 0x0012, "1.2.826.0.1.3680043.10.1234.1");
    group.element(0x0002, 0x0013, "SH", "VESKARO_BENCH");

    Writer file;
    file.bytes.assign(128, 0);
    file.raw("DICM", 4);
    file.ul(0x0002, 0x0000, static_cast<uint32_t>(group.bytes.size()));
    file.raw(group.bytes.data(), group.bytes.size());
    return file.bytes;
}

void itemElements(Writer& w, int n) {
    w.uid(0x0008, 0x1150, SopClassCt);
    w.uid(0x0008, 0x1155, "1.2.826.0.1.3680043.10.1234.2." + std::to_string(n));
}

// 10^5 elements: a standard header, four sequences (defined and undefined lengths, nested
// two deep), then private blocks of short values in mixed VRs.
std::vector<uint8_t> manyElementsFile(int& elementCount) {
    const std::string instance = "1.2.826.0.1.3680043.10.1234.3.1";
    Writer w;
    w.bytes = metaHeader(SopClassSc, instance);
    int count = 0;
    w.element(0x0008, 0x0005, "CS", "ISO_IR 100");
    w.element(0x0008, 0x0008, "CS", "DERIVED\\SECONDARY");
    w.uid(0x0008, 0x0016, SopClassSc);
    w.uid(0x0008, 0x0018, instance);
    w.element(0x0008, 0x0020, "DA", "20240101");
    w.element(0x0008, 0x0060, "CS", "OT");
    count += 6;

    // (0008,1110): defined length, 20 items.
    w.longHeader(0x0008, 0x1110, "SQ", 0);
    std::size_t seq = w.mark();
    for (int i = 0; i < 20; ++i) {
        w.itemHeader(0xE000, 0);
        std::size_t item = w.mark();
        itemElements(w, i);
        w.patchLength(item);
        count += 3;
    }
    w.patchLength(seq);
    ++count;

    // (0008,1115): undefined length, items of undefined length, each holding a defined-length
    // (0008,114A) with one item.
    w.longHeader(0x0008, 0x1115, "SQ", UndefinedLength);
    for (int i = 0; i < 10; ++i) {
        w.itemHeader(0xE000, UndefinedLength);
        w.uid(0x0020, 0x000E, "1.2.826.0.1.3680043.10.1234.4." + std::to_string(i));
        w.longHeader(0x0008, 0x114A, "SQ", 0);
        std::size_t inner = w.mark();
        w.itemHeader(0xE000, 0);
        std::size_t item = w.mark();
        itemElements(w, 100 + i);
        w.patchLength(item);
        w.patchLength(inner);
        w.itemHeader(0xE00D, 0);
        count += 7;
    }
    w.itemHeader(0xE0DD, 0);
    count += 2;

    // (0008,1140): defined length, 200 items.
    w.longHeader(0x0008, 0x1140, "SQ", 0);
    seq = w.mark();
    for (int i = 0; i < 200; ++i) {
        w.itemHeader(0xE000, 0);
        std::size_t item = w.mark();
        itemElements(w, 1000 + i);
        w.patchLength(item);
        count += 3;
    }
    w.patchLength(seq);
    ++count;

    // (0008,9092): undefined length, 5 items of defined length.
    w.longHeader(0x0008, 0x9092, "SQ", UndefinedLength);
    for (int i = 0; i < 5; ++i) {
        w.itemHeader(0xE000, 0);
        std::size_t item = w.mark();
        itemElements(w, 2000 + i);
        w.patchLength(item);
        count += 3;
    }
    w.itemHeader(0xE0DD, 0);
    count += 2;

    // Private blocks: creator (gggg,00bb), then (gggg,bbxx) for xx 00..FF.
    const int target = 100000;
    for (uint16_t group : {0x0009, 0x000B, 0x000D}) {
        int blocks = std::min(0xF0, (target - count) / 257 + 1);
        for (int b = 0; b < blocks; ++b) {
            w.element(group, static_cast<uint16_t>(0x10 + b), "LO", "VESKARO BENCH");
        }
        count += blocks;
        for (int b = 0; b < blocks && count < target; ++b) {
            uint16_t base = static_cast<uint16_t>((0x10 + b) << 8);
            for (int x = 0; x < 256 && count < target; ++x, ++count) {
                uint16_t elem = static_cast<uint16_t>(base | x);
                switch (x % 4) {
                case 0:
                    w.element(group, elem, "LO", "VALUE" + std::to_string(x));
                    break;
                case 1:
                    w.us(group, elem, static_cast<uint16_t>(x));
                    break;
                case 2:
                    w.ul(group, elem, 100000u + x);
                    break;
                default:
                    w.element(group, elem, "DS", std::to_string(x) + ".25");
                    break;
                }
            }
        }
        if (count >= target) {
            break;
        }
    }
    elementCount = count;
    return w.bytes;
}

// A 16384 x 16384 16-bit CT image: 512 MiB of Pixel Data, written in chunks.
bool writePixelFile(const fs::path& file, uint64_t& size) {
    const uint16_t rows = 16384, columns = 16384;
    const uint32_t pixelBytes = uint32_t{rows} * columns * 2;
    const std::string instance = "1.2.826.0.1.3680043.10.1234.5.1";
    Writer w;
    w.bytes = metaHeader(SopClassCt, instance);
    w.element(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
    w.uid(0x0008, 0x0016, SopClassCt);
    w.uid(0x0008, 0x0018, instance);
    w.element(0x0008, 0x0060, "CS", "CT");
    w.element(0x0010, 0x0010, "PN", "BENCH^PIXELS");
    w.us(0x0028, 0x0002, 1);
    w.element(0x0028, 0x0004, "CS", "MONOCHROME2");
    w.us(0x0028, 0x0010, rows);
    w.us(0x0028, 0x0011, columns);
    w.us(0x0028, 0x0100, 16);
    w.us(0x0028, 0x0101, 12);
    w.us(0x0028, 0x0102, 11);
    w.us(0x0028, 0x0103, 0);
    w.longHeader(0x7FE0, 0x0010, "OW", pixelBytes);

    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(w.bytes.data()),
              static_cast<std::streamsize>(w.bytes.size()));
    std::vector<uint8_t> chunk(16u << 20);
    for (std::size_t i = 0; i < chunk.size(); i += 2) {
        uint16_t v = static_cast<uint16_t>((i / 2) % 4096);
        chunk[i] = static_cast<uint8_t>(v);
        chunk[i + 1] = static_cast<uint8_t>(v >> 8);
    }
    for (uint32_t written = 0; written < pixelBytes; written += chunk.size()) {
        out.write(reinterpret_cast<const char*>(chunk.data()),
                  static_cast<std::streamsize>(chunk.size()));
    }
    out.close();
    size = w.bytes.size() + uint64_t{pixelBytes};
    return static_cast<bool>(out);
}

// ---- Running children -----------------------------------------------------------------------

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int exitStatus = -1;
};

Run runChild(const std::vector<std::string>& argv, const fs::path& workDir) {
    Run run;
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0 || dup2(devNull, STDERR_FILENO) < 0 ||
            chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        return run;
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return run;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxRssKiB = usage.ru_maxrss;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct Summary {
    double median = 0;
    double fastest = 0;
    long maxRssKiB = 0;
    bool allOk = true;
};

Summary measure(const std::vector<std::string>& argv, const fs::path& workDir, int reps) {
    std::vector<double> times;
    Summary s;
    for (int i = 0; i < reps; ++i) {
        Run r = runChild(argv, workDir);
        s.allOk = s.allOk && r.exitStatus == 0;
        s.maxRssKiB = std::max(s.maxRssKiB, r.maxRssKiB);
        times.push_back(r.seconds);
    }
    std::sort(times.begin(), times.end());
    s.median = times.size() % 2 ? times[times.size() / 2]
                                : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    s.fastest = times.front();
    return s;
}

long ownRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

struct Subject {
    std::string label;
    fs::path file;
    uint64_t size = 0;
    int reps = 0;
};

void printRow(const char* tool, const Summary& s, uint64_t fileSize) {
    double rss = static_cast<double>(s.maxRssKiB) * 1024.0;
    std::printf("  %-10s %10.3f %10.3f %12.1f %9.2fx%s\n", tool, s.median, s.fastest,
                rss / 1048576.0, rss / static_cast<double>(fileSize),
                s.allOk ? "" : "  (nonzero exit)");
}

// Our read and dump in this process, split, to see which one a slow child spends its time in.
void inProcessSplit(const Subject& subject) {
    auto t0 = Clock::now();
    DcmObj dataSet;
    bool read = DcmObj::Read(dataSet, subject.file.string());
    auto t1 = Clock::now();
    std::vector<std::string> lines;
    dataSet.Dump(lines, 0);
    FILE* devNull = std::fopen("/dev/null", "w");
    for (const std::string& line : lines) {
        std::fputs(line.c_str(), devNull);
        std::fputc('\n', devNull);
    }
    std::fclose(devNull);
    auto t2 = Clock::now();
    std::printf("  %-28s read %8.3f s   dump %8.3f s   %zu lines%s\n", subject.label.c_str(),
                std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count(), lines.size(),
                read ? "" : "  (read failed)");
}

} // namespace

int main(int argc, char** argv) {
    std::string cli, dcmdump, dirArg;
    int reps = 5;
    bool smallOnly = false;
    bench::ResultRows rows;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--cli" && i + 1 < argc) {
            cli = argv[++i];
        } else if (a == "--dcmdump" && i + 1 < argc) {
            dcmdump = argv[++i];
        } else if (a == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            dirArg = argv[++i];
        } else if (a == "--results" && i + 1 < argc) {
            rows.Open(argv[++i]);
        } else if (a == "--small-only") {
            smallOnly = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--cli PATH] [--dcmdump PATH] [--reps N] [--dir DIR] "
                         "[--small-only] [--results FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    if (cli.empty())
        cli = bench::siblingCli();
    if (access(cli.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "veskaro-cli not found at %s (use --cli PATH)\n", cli.c_str());
        return 1;
    }
    if (dcmdump.empty()) {
        dcmdump = bench::findOnPath("dcmdump");
    }
    if (dcmdump.empty()) {
        std::fprintf(stderr, "dcmdump not found on PATH (use --dcmdump PATH)\n");
        return 1;
    }

    fs::path base = dirArg.empty() ? fs::temp_directory_path() : fs::path(dirArg);
    std::string pattern = (base / "veskaro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const fs::path workDir = dir / "work"; // veskaro-cli's start directory (settings, logs)
    fs::create_directories(workDir);

    std::vector<Subject> subjects;
    {
        int elements = 0;
        std::vector<uint8_t> bytes = manyElementsFile(elements);
        Subject s{"1e5 small elements", dir / "elements.dcm", bytes.size(), reps};
        std::ofstream(s.file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        std::printf("%s: %d elements, %.1f MB\n", s.file.c_str(), elements, bytes.size() / 1e6);
        subjects.push_back(s);
    }
    if (!smallOnly) {
        Subject s{"512 MiB native pixels", dir / "pixels.dcm", 0, std::max(1, (reps + 1) / 2)};
        if (!writePixelFile(s.file, s.size)) {
            std::fprintf(stderr, "cannot write %s\n", s.file.c_str());
            fs::remove_all(dir);
            return 1;
        }
        std::printf("%s: %.1f MB\n", s.file.c_str(), s.size / 1e6);
        subjects.push_back(s);
    }

    std::printf("\nbench process resident before the runs: %.1f MB (counted into each child's "
                "peak until exec)\n\n",
                ownRssKiB() / 1024.0);
    std::printf("  %-10s %10s %10s %12s %10s\n", "tool", "median s", "fastest s", "peak RSS MB",
                "RSS/size");
    for (const Subject& s : subjects) {
        std::printf("%s (%.1f MB, %d runs each)\n", s.label.c_str(), s.size / 1e6, s.reps);
        // One untimed run of each warms the page cache and the dynamic loader.
        runChild({cli, "dump", s.file.string()}, workDir);
        runChild({dcmdump, s.file.string()}, workDir);
        Summary ours = measure({cli, "dump", s.file.string()}, workDir, s.reps);
        Summary theirs = measure({dcmdump, s.file.string()}, workDir, s.reps);
        printRow("veskaro", ours, s.size);
        printRow("dcmdump", theirs, s.size);
        std::printf("  ratio veskaro/dcmdump: %.2f (median), %.2f (fastest)\n\n",
                    ours.median / theirs.median, ours.fastest / theirs.fastest);
        rows.Row("read+dump", s.label, ours.median, theirs.median, "dcmdump", "s");
        rows.Row("read+dump", s.label + ", peak RSS", ours.maxRssKiB / 1024.0,
                 theirs.maxRssKiB / 1024.0, "dcmdump", "MiB");
    }

    std::printf("in-process, one run each:\n");
    for (const Subject& s : subjects) {
        inProcessSplit(s);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}

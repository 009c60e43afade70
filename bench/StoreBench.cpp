// C-STORE throughput and memory against DCMTK's storescp on a loopback port, in one run:
//   1. a 256 MB native multi-frame image (explicit VR little endian, so nothing is converted)
//      stored by whole `veskaro-cli store` processes and by whole `storescu` processes,
//      alternating, several repetitions each;
//   2. the raw loopback TCP rate for the same byte count (a plain socket copy between two
//      threads of this process) as the ceiling;
//   3. the same alternating runs for a 1 GB file (three of each at most).
// Each size starts with one untimed call of each program, after the new file has been written
// back to disk, so that neither side pays for the other's page cache or for writeback. The
// peak resident size is the largest of the runs.
// storescp runs with --ignore (it receives everything but writes nothing), so the disk takes
// no part in the figures. The table shows the median of each row and the ratios.
//
// usage: veskaro_store_bench [--runs N] [--cli PATH] [--storescp PATH] [--storescu PATH]
//                            [--dir PATH] [--skip-large] [--results FILE]

#include "BenchSupport.h"
#include "BufData.h"
#include "DcmObj.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench::ChildRun;
using bench::freeLoopbackPort;
using bench::loopback;
using bench::median;
using bench::Peer;
using bench::runChild;

namespace {

constexpr std::size_t MiB = 1024 * 1024;

// A DICOM file of one 16-bit grey multi-frame image of frames 512 x 512 frames; the pixel
// bytes are streamed to the file, never held.
bool writeImage(const fs::path& file, int frames) {
    DcmObj meta;
    meta.explicitVR = 1;
    const uint8_t version[2] = {0, 1};
    const std::string sopClass = "1.2.840.10008.5.1.4.1.1.7.3";
    const std::string instance = "1.2.826.0.1.3680043.2.1143.9." + std::to_string(frames);
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0001, 2, version, "OB"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0002, sopClass, "UI"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0003, instance, "UI"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0010, std::string(ExplicitLittleEndian), "UI"));
    DcmObj image;
    image.transferSyntax = ExplicitLittleEndian;
    image.explicitVR = 1;
    image.AddString(0x0008, 0x0016, sopClass);
    image.AddString(0x0008, 0x0018, instance);
    image.AddString(0x0008, 0x0060, "OT");
    image.AddString(0x0010, 0x0010, "Bench^Store");
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0002, uint16_t{1}, "US"));
    image.AddString(0x0028, 0x0004, "MONOCHROME2");
    image.AddString(0x0028, 0x0008, std::to_string(frames));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t{512}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t{512}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0101, uint16_t{16}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0102, uint16_t{15}, "US"));
    image.Add(std::make_unique<DcmTag>(0x0028, 0x0103, uint16_t{0}, "US"));
    BufData head(0), body(0);
    head.WriteObject(meta);
    body.WriteObject(image);
    std::vector<uint8_t> h = head.TakeBytes(), b = body.TakeBytes();
    const uint64_t frameBytes = 512 * 512 * 2;
    const uint64_t pixelBytes = frameBytes * static_cast<uint64_t>(frames);
    std::ofstream out(file, std::ios::binary);
    std::vector<char> preamble(128, 0);
    out.write(preamble.data(), 128);
    out.write("DICM", 4);
    out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    const uint32_t length = static_cast<uint32_t>(pixelBytes);
    const uint8_t pixelHeader[12] = {0xE0,
                                     0x7F,
                                     0x10,
                                     0x00,
                                     'O',
                                     'W',
                                     0,
                                     0,
                                     static_cast<uint8_t>(length),
                                     static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length >> 16),
                                     static_cast<uint8_t>(length >> 24)};
    out.write(reinterpret_cast<const char*>(pixelHeader), sizeof pixelHeader);
    std::vector<char> frame(frameBytes);
    for (int f = 0; f < frames; ++f) {
        for (std::size_t i = 0; i < frame.size(); ++i)
            frame[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(f)) & 0xFF);
        out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
    return static_cast<bool>(out);
}

// Seconds to move `bytes` through one loopback TCP connection, 64 KiB per write.
double socketCopySeconds(std::size_t bytes) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        listen(listener, 1) != 0)
        return -1;
    std::thread reader([listener, bytes] {
        int fd = accept(listener, nullptr, nullptr);
        std::vector<char> buffer(256 * 1024);
        std::size_t got = 0;
        while (got < bytes) {
            ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    auto t0 = Clock::now();
    double seconds = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::vector<char> block(64 * 1024, 1);
        std::size_t sent = 0;
        while (sent < bytes) {
            ssize_t n = write(fd, block.data(), std::min(block.size(), bytes - sent));
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        shutdown(fd, SHUT_WR);
    }
    reader.join();
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    close(listener);
    return seconds;
}

struct Timings {
    double ours = 0, theirs = 0;
    long ourPeakKiB = 0, theirPeakKiB = 0;
    int failures = 0;
};

// Alternating runs of both programs on one file, after an untimed call of each; medians.
Timings storeBoth(const fs::path& file, int runs, const std::string& cli,
                  const std::string& storescu, int port, const fs::path& dir,
                  std::vector<double>* socketTimes = nullptr) {
    std::vector<std::string> ours = {cli, "store", file.string(), "--ts", "0"};
    std::vector<std::string> theirs = {
        storescu, "-aec", "ANY", "127.0.0.1", std::to_string(port), file.string()};
    sync();
    runChild(ours, dir);
    runChild(theirs, dir);
    Timings t;
    std::vector<double> ourTimes, theirTimes;
    for (int r = 0; r < runs; ++r) {
        ChildRun a = runChild(ours, dir);
        ChildRun b = runChild(theirs, dir);
        t.failures += !a.ok + !b.ok;
        t.ourPeakKiB = std::max(t.ourPeakKiB, a.peakKiB);
        t.theirPeakKiB = std::max(t.theirPeakKiB, b.peakKiB);
        ourTimes.push_back(a.seconds);
        theirTimes.push_back(b.seconds);
        if (socketTimes)
            socketTimes->push_back(
                socketCopySeconds(static_cast<std::size_t>(fs::file_size(file))));
    }
    t.ours = median(ourTimes);
    t.theirs = median(theirTimes);
    return t;
}

} // namespace

int main(int argc, char** argv) {
    std::string cli = bench::siblingCli(), storescp = bench::findOnPath("storescp"),
                storescu = bench::findOnPath("storescu");
    fs::path dir;
    int runs = 5;
    bool large = true;
    bench::ResultRows rows;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--cli" && i + 1 < argc)
            cli = argv[++i];
        else if (a == "--storescp" && i + 1 < argc)
            storescp = argv[++i];
        else if (a == "--storescu" && i + 1 < argc)
            storescu = argv[++i];
        else if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--results" && i + 1 < argc)
            rows.Open(argv[++i]);
        else if (a == "--skip-large")
            large = false;
        else {
            std::fprintf(stderr,
                         "usage: %s [--runs N] [--cli PATH] [--storescp PATH] [--storescu PATH] "
                         "[--dir PATH] [--skip-large] [--results FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    if (storescp.empty() || storescu.empty() || access(cli.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "needs storescp, storescu and %s\n", cli.c_str());
        return 2;
    }
    bool ownDir = dir.empty();
    if (ownDir)
        dir = fs::temp_directory_path() / ("veskaro_store_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);

    int port = freeLoopbackPort();
    Peer peer;
    if (port < 0 || !peer.start({storescp, "--ignore", "-pm"}, port, dir)) {
        std::fprintf(stderr, "storescp did not start\n");
        return 1;
    }
    if (!runChild({cli, "setup", "--remote-port", std::to_string(port), "--remote-aet", "ANY"}, dir)
             .ok) {
        std::fprintf(stderr, "veskaro-cli setup failed\n");
        return 1;
    }

    const fs::path image = dir / "image256.dcm";
    if (!writeImage(image, 512)) {
        std::fprintf(stderr, "cannot write %s\n", image.c_str());
        return 1;
    }
    const double fileBytes = static_cast<double>(fs::file_size(image));
    std::vector<double> socketTimes;
    Timings small = storeBoth(image, runs, cli, storescu, port, dir, &socketTimes);
    int failures = small.failures;
    double ourMedian = small.ours, theirMedian = small.theirs, socketMedian = median(socketTimes);
    long ourPeakKiB = small.ourPeakKiB, theirPeakKiB = small.theirPeakKiB;
    auto rate = [&](double seconds) { return fileBytes / MiB / seconds; };
    std::printf("STORE of %.0f MiB, %d runs each, medians (storescp --ignore on loopback)\n",
                fileBytes / MiB, runs);
    std::printf("  %-28s %8.3f s %9.1f MiB/s\n", "veskaro-cli store", ourMedian, rate(ourMedian));
    std::printf("  %-28s %8.3f s %9.1f MiB/s\n", "storescu", theirMedian, rate(theirMedian));
    std::printf("  %-28s %8.3f s %9.1f MiB/s\n", "loopback socket copy", socketMedian,
                rate(socketMedian));
    std::printf("  ours / storescu throughput:  %.2f\n", theirMedian / ourMedian);
    std::printf("  ours / loopback ceiling:     %.2f\n", socketMedian / ourMedian);
    std::printf("  peak resident size: ours %.0f MiB, storescu %.0f MiB\n", ourPeakKiB / 1024.0,
                theirPeakKiB / 1024.0);
    std::printf("  failed runs: %d\n", failures);
    const std::string size = std::to_string(static_cast<long>(fileBytes / MiB)) + " MiB";
    rows.Row("store", "veskaro-cli store " + size, ourMedian, theirMedian, "storescu", "s");
    rows.Row("store", "veskaro-cli store " + size + " vs socket", ourMedian, socketMedian,
             "loopback copy", "s");
    rows.Row("store", "peak RSS, store " + size, ourPeakKiB / 1024.0, theirPeakKiB / 1024.0,
             "storescu", "MiB");
    fs::remove(image);

    if (large) {
        const fs::path big = dir / "image1g.dcm";
        if (!writeImage(big, 2048)) {
            std::fprintf(stderr, "cannot write %s\n", big.c_str());
            return 1;
        }
        double bigBytes = static_cast<double>(fs::file_size(big));
        const int bigRuns = std::min(runs, 3);
        Timings t = storeBoth(big, bigRuns, cli, storescu, port, dir);
        std::printf("STORE of %.0f MiB, %d runs each, medians; peak resident size\n",
                    bigBytes / MiB, bigRuns);
        std::printf("  %-28s %8.3f s %8.0f MiB  %.2f x file\n", "veskaro-cli store", t.ours,
                    t.ourPeakKiB / 1024.0, t.ourPeakKiB * 1024.0 / bigBytes);
        std::printf("  %-28s %8.3f s %8.0f MiB  %.2f x file\n", "storescu", t.theirs,
                    t.theirPeakKiB / 1024.0, t.theirPeakKiB * 1024.0 / bigBytes);
        fs::remove(big);
        failures += t.failures;
        const std::string bigSize = std::to_string(static_cast<long>(bigBytes / MiB)) + " MiB";
        rows.Row("store", "veskaro-cli store " + bigSize, t.ours, t.theirs, "storescu", "s");
        rows.Row("store", "peak RSS, store " + bigSize, t.ourPeakKiB / 1024.0,
                 t.theirPeakKiB / 1024.0, "storescu", "MiB");
    }
    peer.stop();
    if (ownDir)
        fs::remove_all(dir);
    return failures == 0 ? 0 : 1;
}

// Association rate for C-ECHO against DCMTK's storescp on a loopback port, three ways in one
// run: EchoSCU called N times in this process (open, echo, release, nothing else), N whole
// `veskaro-cli echo` processes (adds process start, settings load, job setup and logging), and
// N whole `echoscu` processes as the reference for the second.
//
// storescp runs in a temporary directory on a port the kernel picked for a throwaway socket;
// it is stopped by its PID at the end. Each way gets one untimed warm-up call first. The table
// shows total time, associations per second, the median and fastest single call, and each
// row's ratio to echoscu; every call has to succeed, failures are counted and reported.
//
// usage: veskaro_echo_bench [--count N] [--cli PATH] [--storescp PATH] [--echoscu PATH]
//                           [--results FILE]

#include "BenchSupport.h"
#include "Echo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench::freeLoopbackPort;
using bench::Peer;
using bench::runChild;

namespace {

// The timeout the CLI's echo job uses, so both of our rows run the same call.
constexpr int EchoTimeoutSeconds = 100;

struct Result {
    const char* label = "";
    double total = 0;
    double median = 0;
    double fastest = 0;
    int failures = 0;
    int count = 0;
};

// One untimed call, then count timed ones; call returns false for a failed association.
Result measure(const char* label, int count, const std::function<bool()>& call) {
    Result r;
    r.label = label;
    r.count = count;
    if (!call()) {
        ++r.failures;
    }
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        bool ok = call();
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        if (!ok) {
            ++r.failures;
        }
    }
    r.total = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(times.begin(), times.end());
    std::size_t n = times.size();
    r.median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    r.fastest = times.front();
    return r;
}

void printRow(const Result& r, const Result& reference) {
    std::string failed = r.failures ? "  " + std::to_string(r.failures) + " FAILED" : "";
    std::printf("  %-22s %9.3f %10.1f %10.3f %10.3f %8.2fx %8.2fx %s\n", r.label, r.total,
                r.count / r.total, r.median * 1e3, r.fastest * 1e3, r.total / reference.total,
                r.median / reference.median, failed.c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::string cli, storescp, echoscu;
    int count = 200;
    bench::ResultRows rows;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--count" && i + 1 < argc) {
            count = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--cli" && i + 1 < argc) {
            cli = argv[++i];
        } else if (a == "--storescp" && i + 1 < argc) {
            storescp = argv[++i];
        } else if (a == "--echoscu" && i + 1 < argc) {
            echoscu = argv[++i];
        } else if (a == "--results" && i + 1 < argc) {
            rows.Open(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--count N] [--cli PATH] [--storescp PATH] [--echoscu PATH] "
                         "[--results FILE]\n",
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
    if (storescp.empty()) {
        storescp = bench::findOnPath("storescp");
    }
    if (storescp.empty() || access(storescp.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "storescp not found (install DCMTK or use --storescp PATH)\n");
        return 1;
    }
    if (echoscu.empty()) {
        echoscu = bench::findOnPath("echoscu");
    }
    if (echoscu.empty() || access(echoscu.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "echoscu not found (install DCMTK or use --echoscu PATH)\n");
        return 1;
    }

    std::string pattern = (fs::temp_directory_path() / "veskaro-echo-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const fs::path peerDir = dir / "storescp";
    const fs::path cliDir = dir / "cli"; // veskaro-cli's start directory (settings, logs)
    fs::create_directories(peerDir);
    fs::create_directories(cliDir);
    auto cleanUp = [&] {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    };

    int port = freeLoopbackPort();
    if (port <= 0) {
        std::fprintf(stderr, "cannot find a free loopback port\n");
        cleanUp();
        return 1;
    }
    Peer peer;
    if (!peer.start({storescp}, port, peerDir)) {
        std::fprintf(stderr, "storescp did not start accepting on port %d (log: %s)\n", port,
                     peer.log().c_str());
        peer.stop();
        return 1;
    }
    const std::string portText = std::to_string(port);
    if (!runChild({cli, "setup", "--remote-port", portText}, cliDir).ok) {
        std::fprintf(stderr, "veskaro-cli setup --remote-port %d failed\n", port);
        peer.stop();
        cleanUp();
        return 1;
    }

    std::printf("storescp %s on 127.0.0.1:%d, %d associations per way (+1 warm-up)\n\n",
                storescp.c_str(), port, count);

    Result inProcess = measure("EchoSCU in-process", count, [&] {
        return EchoSCU("local", "remote", "127.0.0.1", portText, EchoTimeoutSeconds, false);
    });
    Result ours = measure("veskaro-cli echo", count, [&] {
        return runChild({cli, "echo"}, cliDir).ok;
    });
    Result theirs = measure("echoscu", count, [&] {
        return runChild({echoscu, "127.0.0.1", portText}, dir).ok;
    });
    bool peerAlive = peer.running();
    peer.stop();

    std::printf("  %-22s %9s %10s %10s %10s %9s %9s\n", "way", "total s", "assoc/s", "median ms",
                "fastest ms", "total/ec", "median/ec");
    printRow(inProcess, theirs);
    printRow(ours, theirs);
    printRow(theirs, theirs);
    std::printf("\n  ours CLI / echoscu: %.2f (total), %.2f (median)\n", ours.total / theirs.total,
                ours.median / theirs.median);
    rows.Row("echo", "EchoSCU in-process, per association", inProcess.median * 1e3,
             theirs.median * 1e3, "echoscu", "ms");
    rows.Row("echo", "veskaro-cli echo, per process", ours.median * 1e3, theirs.median * 1e3,
             "echoscu", "ms");

    int failures = inProcess.failures + ours.failures + theirs.failures;
    if (failures) {
        std::printf("\n%d failed association(s) (counts include the warm-up call); storescp log: "
                    "%s\n",
                    failures, peer.log().c_str());
    }
    if (!peerAlive) {
        std::printf("storescp exited before the end of the run (log: %s)\n", peer.log().c_str());
    }
    if (failures || !peerAlive) {
        return 1; // keep the directory for the log
    }
    cleanUp();
    return 0;
}

// Association rate for C-ECHO against DCMTK's storescp on a loopback port, three ways in one
// run: EchoSCU called N times in this process (open, echo, release, nothing else), N whole
// `veskaro-cli echo` processes (adds process start, settings load, job setup and logging), and
// N whole `echoscu` processes as the reference for the second. A fourth way calls EchoSCU
// against a scripted peer of this process that writes every answer in two parts with Nagle's
// algorithm on, as many peers do: a client that delays its acknowledgements pays the delayed-ACK
// timer on each answer there.
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
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The scripted peer: accepts associations one after the other on a loopback port and answers
// the A-ASSOCIATE-RQ, the C-ECHO-RQ and the A-RELEASE-RQ, each answer in two writes (the first
// bytes, then the rest) on a socket with Nagle's algorithm left on, so the rest leaves only
// when the first part is acknowledged.
class TwoPartPeer {
public:
    TwoPartPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = bench::loopback(0);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            listen(listener_, 4) != 0)
            return;
        port_ = ntohs(address.sin_port);
        worker_ = std::thread([this] { serve(); });
    }
    ~TwoPartPeer() {
        shutdown(listener_, SHUT_RDWR);
        if (worker_.joinable())
            worker_.join();
        close(listener_);
    }
    TwoPartPeer(const TwoPartPeer&) = delete;
    TwoPartPeer& operator=(const TwoPartPeer&) = delete;

    int port() const { return port_; }

private:
    static bool readAll(int fd, uint8_t* area, std::size_t n) {
        while (n > 0) {
            ssize_t got = read(fd, area, n);
            if (got <= 0)
                return false;
            area += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    static void writeInTwo(int fd, const std::vector<uint8_t>& pdu, std::size_t first) {
        ssize_t ignored = write(fd, pdu.data(), first);
        ignored = write(fd, pdu.data() + first, pdu.size() - first);
        (void)ignored;
    }
    static void put16(std::vector<uint8_t>& v, uint16_t x) {
        v.push_back(static_cast<uint8_t>(x >> 8));
        v.push_back(static_cast<uint8_t>(x));
    }
    static void put32(std::vector<uint8_t>& v, uint32_t x) {
        put16(v, static_cast<uint16_t>(x >> 16));
        put16(v, static_cast<uint16_t>(x));
    }
    static void item(std::vector<uint8_t>& v, uint8_t type, const std::vector<uint8_t>& body) {
        v.push_back(type);
        v.push_back(0);
        put16(v, static_cast<uint16_t>(body.size()));
        v.insert(v.end(), body.begin(), body.end());
    }
    static std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

    // Verification accepted on presentation context 1 with implicit VR little endian.
    static std::vector<uint8_t> acceptPdu() {
        std::vector<uint8_t> body = {0x00, 0x01, 0x00, 0x00};
        std::string titles = "remote          local           ";
        body.insert(body.end(), titles.begin(), titles.end());
        body.resize(body.size() + 32, 0); // reserved
        item(body, 0x10, text("1.2.840.10008.3.1.1.1"));
        std::vector<uint8_t> context = {1, 0, 0, 0};
        item(context, 0x40, text("1.2.840.10008.1.2"));
        item(body, 0x21, context);
        std::vector<uint8_t> maximum;
        put32(maximum, 16384);
        std::vector<uint8_t> user;
        item(user, 0x51, maximum);
        item(body, 0x50, user);
        std::vector<uint8_t> pdu = {0x02, 0x00};
        put32(pdu, static_cast<uint32_t>(body.size()));
        pdu.insert(pdu.end(), body.begin(), body.end());
        return pdu;
    }

    // C-ECHO-RSP, status 0, in implicit VR little endian, as one P-DATA-TF PDU.
    static std::vector<uint8_t> echoResponsePdu() {
        std::vector<uint8_t> elements;
        auto element = [&](uint16_t e, const std::vector<uint8_t>& value) {
            const uint8_t head[8] = {0,
                                     0,
                                     static_cast<uint8_t>(e),
                                     static_cast<uint8_t>(e >> 8),
                                     static_cast<uint8_t>(value.size()),
                                     0,
                                     0,
                                     0};
            elements.insert(elements.end(), head, head + 8);
            elements.insert(elements.end(), value.begin(), value.end());
        };
        auto word = [](uint16_t v) {
            return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        };
        std::vector<uint8_t> sop = text("1.2.840.10008.1.1");
        sop.push_back(0);
        element(0x0002, sop);
        element(0x0100, word(0x8030));
        element(0x0120, word(1));
        element(0x0800, word(0x0101));
        element(0x0900, word(0));
        const auto n = static_cast<uint32_t>(elements.size());
        std::vector<uint8_t> command = {
            0, 0, 0, 0, 4, 0, 0, 0, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0};
        command.insert(command.end(), elements.begin(), elements.end());
        std::vector<uint8_t> pdu = {0x04, 0x00};
        put32(pdu, static_cast<uint32_t>(command.size() + 6));
        put32(pdu, static_cast<uint32_t>(command.size() + 2));
        pdu.push_back(1);
        pdu.push_back(0x03);
        pdu.insert(pdu.end(), command.begin(), command.end());
        return pdu;
    }

    void serve() {
        const std::vector<uint8_t> accept = acceptPdu(), echo = echoResponsePdu();
        const std::vector<uint8_t> releaseReply = {0x06, 0, 0, 0, 0, 4, 0, 0, 0, 0};
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            for (;;) {
                uint8_t header[6];
                if (!readAll(fd, header, 6))
                    break;
                uint32_t length = uint32_t(header[2]) << 24 | uint32_t(header[3]) << 16 |
                                  uint32_t(header[4]) << 8 | header[5];
                std::vector<uint8_t> body(length);
                if (!readAll(fd, body.data(), body.size()))
                    break;
                if (header[0] == 0x01)
                    writeInTwo(fd, accept, 6);
                else if (header[0] == 0x04)
                    writeInTwo(fd, echo, 12);
                else if (header[0] == 0x05)
                    writeInTwo(fd, releaseReply, 6);
                else
                    break;
            }
            close(fd);
        }
    }

    int listener_ = -1;
    int port_ = -1;
    std::thread worker_;
};

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
    TwoPartPeer twoPart;
    const std::string twoPartPort = std::to_string(twoPart.port());
    Result scripted = measure("EchoSCU two-part peer", count, [&] {
        return twoPart.port() > 0 &&
               EchoSCU("local", "remote", "127.0.0.1", twoPartPort, EchoTimeoutSeconds, false);
    });
    bool peerAlive = peer.running();
    peer.stop();

    std::printf("  %-22s %9s %10s %10s %10s %9s %9s\n", "way", "total s", "assoc/s", "median ms",
                "fastest ms", "total/ec", "median/ec");
    printRow(inProcess, theirs);
    printRow(ours, theirs);
    printRow(theirs, theirs);
    printRow(scripted, theirs);
    std::printf("\n  ours CLI / echoscu: %.2f (total), %.2f (median)\n", ours.total / theirs.total,
                ours.median / theirs.median);
    rows.Row("echo", "EchoSCU in-process, per association", inProcess.median * 1e3,
             theirs.median * 1e3, "echoscu", "ms");
    rows.Row("echo", "veskaro-cli echo, per process", ours.median * 1e3, theirs.median * 1e3,
             "echoscu", "ms");
    rows.Row("echo", "EchoSCU in-process, two-part peer", scripted.median * 1e3, -1, "", "ms");

    int failures = inProcess.failures + ours.failures + theirs.failures + scripted.failures;
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

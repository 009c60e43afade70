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
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The timeout the CLI's echo job uses, so both of our rows run the same call.
constexpr int EchoTimeoutSeconds = 100;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nobody listens on right now: bind 127.0.0.1:0, read back what the kernel chose, close.
int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool acceptsConnections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address = loopback(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Starts argv in workDir with stdout and stderr sent to outputFile (or /dev/null when empty).
pid_t spawn(const std::vector<std::string>& argv, const fs::path& workDir,
            const std::string& outputFile = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const char* output = outputFile.empty() ? "/dev/null" : outputFile.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0 ||
            chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Runs argv to completion; true when it exited with status 0.
bool runChild(const std::vector<std::string>& argv, const fs::path& workDir) {
    pid_t pid = spawn(argv, workDir);
    if (pid < 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Peer {
public:
    ~Peer() { stop(); }

    // Starts storescp on port and waits up to ten seconds for it to accept a connection.
    bool start(const std::string& storescp, int port, const fs::path& dir) {
        log_ = (dir / "storescp.log").string();
        pid_ = spawn({storescp, std::to_string(port)}, dir, log_);
        if (pid_ < 0) {
            return false;
        }
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (acceptsConnections(port)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ > 0;
    }

    void stop() {
        if (pid_ <= 0) {
            return;
        }
        // SIGTERM first; after two seconds without an exit, SIGKILL.
        kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }

    const std::string& log() const { return log_; }

private:
    pid_t pid_ = -1;
    std::string log_;
};

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
    if (!peer.start(storescp, port, peerDir)) {
        std::fprintf(stderr, "storescp did not start accepting on port %d (log: %s)\n", port,
                     peer.log().c_str());
        peer.stop();
        return 1;
    }
    const std::string portText = std::to_string(port);
    if (!runChild({cli, "setup", "--remote-port", portText}, cliDir)) {
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
        return runChild({cli, "echo"}, cliDir);
    });
    Result theirs = measure("echoscu", count, [&] {
        return runChild({echoscu, "127.0.0.1", portText}, dir);
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

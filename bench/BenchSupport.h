#pragma once
// Helpers shared by the benchmark programs.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

// Full path of an executable on PATH; empty when there is none.
inline std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "";
    std::size_t from = 0;
    while (from <= rest.size()) {
        std::size_t colon = rest.find(':', from);
        std::string dir = rest.substr(from, colon == std::string::npos ? colon : colon - from);
        std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    return {};
}

// The veskaro-cli of the build tree this program belongs to: build/<dir>/bench/<this> gives
// build/<dir>/src/app/veskaro-cli.
inline std::string siblingCli() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path().parent_path() / "src" / "app" / "veskaro-cli").string();
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nobody listens on right now: bind 127.0.0.1:0, read back what the kernel chose, close.
inline int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

inline bool acceptsConnections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = loopback(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Starts argv in workDir with stdout and stderr sent to outputFile (or /dev/null when empty).
inline pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                   const std::string& outputFile = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const char* output = outputFile.empty() ? "/dev/null" : outputFile.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0 ||
            chdir(workDir.c_str()) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

// Runs argv to completion, timing it and taking its peak resident size from wait4.
inline ChildRun runChild(const std::vector<std::string>& argv,
                         const std::filesystem::path& workDir) {
    ChildRun run;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = spawn(argv, workDir);
    if (pid < 0)
        return run;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR)
            return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// A server program, such as storescp, stopped by its PID when the benchmark ends.
class Peer {
public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { stop(); }

    // Starts argv with the port appended in dir, its output in dir/<program>.log, and waits up
    // to ten seconds for it to accept a connection.
    bool start(std::vector<std::string> argv, int port, const std::filesystem::path& dir) {
        using Clock = std::chrono::steady_clock;
        log_ = (dir / (std::filesystem::path(argv[0]).filename().string() + ".log")).string();
        argv.push_back(std::to_string(port));
        pid_ = spawn(argv, dir, log_);
        if (pid_ < 0)
            return false;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (acceptsConnections(port))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ > 0;
    }

    // SIGTERM first; after two seconds without an exit, SIGKILL.
    void stop() {
        using Clock = std::chrono::steady_clock;
        if (pid_ <= 0)
            return;
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

inline double median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What bench/run.sh gathers: with "--results FILE" a program appends one tab-separated row
// per measurement (benchmark, case, our median, the reference's median or -1 for none, the
// reference's name, unit). Every unit is lower-is-better, so reference / ours above 1 means
// we are ahead. Without a file the rows go nowhere.
class ResultRows {
public:
    void Open(const std::string& fileName) { out_.open(fileName, std::ios::app); }
    void Row(const std::string& benchmark, const std::string& name, double ours, double reference,
             const std::string& referenceName, const std::string& unit) {
        if (out_.is_open())
            out_ << benchmark << '\t' << name << '\t' << ours << '\t' << reference << '\t'
                 << (referenceName.empty() ? "-" : referenceName) << '\t' << unit << '\n'
                 << std::flush;
    }

private:
    std::ofstream out_;
};

} // namespace bench

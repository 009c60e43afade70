#include "DcmtkPeer.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool havePeers(std::initializer_list<const char*> programs) {
    bool all = true;
    for (const char* program : programs)
        if (findProgram(program).empty()) {
            if (peersRequired())
                ADD_FAILURE() << program << " is missing";
            all = false;
        }
    return all;
}

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(fd);
    return ntohs(a.sin_port);
}

DcmtkPeer::DcmtkPeer(const std::string& program, std::vector<std::string> args,
                     const std::string& workingDir) {
    port_ = FreeLoopbackPort();
    args.insert(args.begin(), program);
    args.push_back(std::to_string(port_));
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workingDir.c_str()) != 0)
            ::_exit(127);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 100 && pid_ > 0; ++i) {
        if (accepts(port_)) {
            ready_ = true;
            break;
        }
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

DcmtkPeer::~DcmtkPeer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
}

} // namespace testsupport

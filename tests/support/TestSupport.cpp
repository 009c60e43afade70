#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return result;
    }
    char chunk[65536];
    std::size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        result.output.append(chunk, count);
    }
    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

std::string cliCommand(const std::filesystem::path& dir, const std::string& args) {
    return "cd " + shellQuote(dir.string()) + " && " + shellQuote(VESKARO_CLI) + " " + args +
           " 2>&1";
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) {
        return {};
    }
    std::string_view rest = path;
    while (!rest.empty()) {
        std::size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) {
            return candidate;
        }
    }
    return {};
}

bool peersRequired() {
    const char* value = std::getenv("VESKARO_REQUIRE_PEERS");
    return value && *value;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veskaro-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::vector<uint8_t> hexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        }
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            std::size_t end = text.find('\n', i);
            if (end == std::string_view::npos) {
                break;
            }
            i = end;
            continue;
        }
        int value = hexValue(c);
        if (value < 0) {
            throw std::invalid_argument("hexBytes: unexpected character '" + std::string(1, c) +
                                        "' at offset " + std::to_string(i));
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0) {
        throw std::invalid_argument("hexBytes: odd number of hex digits");
    }
    return bytes;
}

std::vector<uint8_t> readFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + file.string());
    }
    std::vector<uint8_t> bytes(std::filesystem::file_size(file));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() != static_cast<std::streamsize>(bytes.size())) {
        throw std::runtime_error("short read from " + file.string());
    }
    return bytes;
}

void writeFileBytes(const std::filesystem::path& file, const uint8_t* bytes, std::size_t count) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

std::string closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return std::to_string(ntohs(address.sin_port));
}

} // namespace testsupport

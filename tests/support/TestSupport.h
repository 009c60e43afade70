#pragma once
// Helpers shared by the test programs: child processes, temporary directories, byte files and
// hex literals. C++ standard library and POSIX only, so any layer's tests can use them.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct CommandResult {
    // The exit status of the shell, or -1 when it could not be started or was killed.
    int exitStatus = -1;
    std::string output;
};

// Runs command through /bin/sh and captures its standard output; standard error is inherited.
CommandResult runCommand(const std::string& command);

// text in single quotes, safe to paste into a shell command line.
std::string shellQuote(const std::string& text);

// The sample files pydicom ships, read by the interop tests; the path ends in a slash.
inline const std::string SampleFiles = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

// The shell command that runs veskaro-cli with args in dir, standard error folded into the
// output.
std::string cliCommand(const std::filesystem::path& dir, const std::string& args);

// Full path of an executable found on PATH; empty when there is none.
std::string findProgram(const std::string& name);

// VESKARO_REQUIRE_PEERS is set: a missing peer program is a failure, not a skip.
bool peersRequired();

// A fresh directory under the system temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Bytes written as hex pairs; whitespace is ignored and "//" starts a comment
// that runs to the end of the line. Throws std::invalid_argument on anything else.
std::vector<uint8_t> hexBytes(std::string_view text);

// A loopback port that refuses connections: bound once, then closed again.
std::string closedPort();

// Throws std::runtime_error when the file cannot be read or written.
std::vector<uint8_t> readFileBytes(const std::filesystem::path& file);
void writeFileBytes(const std::filesystem::path& file, const uint8_t* bytes, std::size_t count);
inline void writeFileBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    writeFileBytes(file, bytes.data(), bytes.size());
}

} // namespace testsupport

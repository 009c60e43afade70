#pragma once
// The day's job logs a program run writes below the folder it started in, and files read whole.

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

inline std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

inline std::filesystem::path logFile(const std::filesystem::path& startDir,
                                     const std::string& kind) {
    return startDir / "logs" / (today() + "_" + kind + ".log");
}

// The file's bytes as text; empty when it cannot be read.
inline std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace testsupport

#pragma once
// Shared by the app tests: log file names and contents, a pane that behaves like the window's.

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace apptest {

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

// The messages of a log file without their time stamps; "!" marks a line of the wrong shape.
inline std::vector<std::string> logMessages(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    std::vector<std::string> messages;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            messages.push_back("!" + text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        bool stamped =
            line.size() >= 10 && line[2] == ':' && line[5] == ':' && line.compare(8, 2, ", ") == 0;
        messages.push_back(stamped ? line.substr(10) : "!" + line);
        start = end + 2;
    }
    return messages;
}

} // namespace apptest

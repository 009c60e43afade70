#pragma once
// Shared by the app tests: log file names and contents, a pane that behaves like the window's.

#include "LogFiles.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace apptest {

using testsupport::logFile;
using testsupport::today;

// The messages of a log file without their time stamps; "!" marks a line of the wrong shape.
inline std::vector<std::string> logMessages(const std::filesystem::path& file) {
    std::string text = testsupport::readText(file);
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

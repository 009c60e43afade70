#pragma once
// The line a succeeded job writes before its verdict ("ECHO to ARCHIVE (127.0.0.1:104) at
// 14:03:22 in 0.12 s"), which holds the time: tests that compare whole outputs leave it out
// after checking its shape.

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline bool isDoneLine(const std::string& line) {
    static const std::regex shape(
        "^(ECHO|STORE|FIND|WORKLIST|PRINT) to .* \\(.*:.*\\) at [0-9]{2}:[0-9]{2}:[0-9]{2} in "
        "[0-9]+\\.[0-9]{2} s.*$");
    return std::regex_match(line, shape);
}

inline std::vector<std::string> withoutDoneLines(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (!isDoneLine(line))
            kept.push_back(line);
    return kept;
}

// The same for text of lines each ending in "\n".
inline std::string withoutDoneLines(const std::string& text) {
    std::string kept;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!isDoneLine(line))
            kept += line + "\n";
    return kept;
}

} // namespace testsupport

#pragma once
// The line a succeeded job writes before its verdict ("ECHO to ARCHIVE (127.0.0.1:104) at
// 14:03:22 in 0.12 s"), which holds the time: tests that compare whole outputs leave it out
// after checking its shape.

#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline bool isDoneLine(const std::string& line) {
    // kind " to " peer " (" host ":" port ") at " HH:MM:SS " in " seconds " s" [detail]; the
    // kind is the job's, in capitals.
    std::size_t kind = 0;
    while (kind < line.size() && line[kind] >= 'A' && line[kind] <= 'Z')
        ++kind;
    if (kind == 0 || line.compare(kind, 4, " to ") != 0)
        return false;
    std::size_t at = kind + 4;
    std::size_t time = line.find(") at ", at);
    if (time == std::string::npos || line.find(" (", at) > time)
        return false;
    time += 5;
    auto digits = [&](std::size_t from, std::size_t count) {
        for (std::size_t i = from; i < from + count; ++i)
            if (i >= line.size() || line[i] < '0' || line[i] > '9')
                return false;
        return true;
    };
    if (!digits(time, 2) || line.compare(time + 2, 1, ":") != 0 || !digits(time + 3, 2) ||
        line.compare(time + 5, 1, ":") != 0 || !digits(time + 6, 2) ||
        line.compare(time + 8, 4, " in ") != 0)
        return false;
    std::size_t seconds = time + 12, dot = line.find('.', seconds);
    return dot != std::string::npos && dot > seconds && digits(seconds, dot - seconds) &&
           digits(dot + 1, 2) && line.compare(dot + 3, 2, " s") == 0;
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

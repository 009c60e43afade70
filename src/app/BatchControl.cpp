#include "BatchControl.h"

#include <cmath>
#include <cstdio>

namespace {

std::string minutesAndSeconds(double seconds) {
    long total = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace

std::string ProgressText(const BatchProgress& p) {
    constexpr double MB = 1024.0 * 1024.0;
    double rate =
        p.SecondsElapsed > 0 ? static_cast<double>(p.BytesDone) / MB / p.SecondsElapsed : 0.0;
    std::string left = "-:--";
    if (p.BytesDone >= p.BytesTotal)
        left = "0:00";
    else if (rate > 0)
        left = minutesAndSeconds(static_cast<double>(p.BytesTotal - p.BytesDone) / MB / rate);
    char text[160];
    std::snprintf(text, sizeof text, "%zu/%zu files, %.1f/%.1f MB, %.1f MB/s, %s left", p.FilesDone,
                  p.FilesTotal, static_cast<double>(p.BytesDone) / MB,
                  static_cast<double>(p.BytesTotal) / MB, rate, left.c_str());
    return text;
}

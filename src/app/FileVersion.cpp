#include "FileVersion.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#ifndef VESKARO_VERSION_MAJOR
#error "the build passes the project version as VESKARO_VERSION_MAJOR/_MINOR/_PATCH"
#endif

std::string RunningProgramPath() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

std::string FileVersionText(const std::string& path) {
    std::string self = RunningProgramPath();
    std::error_code error;
    if (self.empty() || path.empty() || !std::filesystem::equivalent(path, self, error) || error)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%d.%d.%d", VESKARO_VERSION_MAJOR, VESKARO_VERSION_MINOR,
                  VESKARO_VERSION_PATCH);
    return text;
}

std::string AboutText(const std::string& version) {
    return "Veskaro V" + version + "\n\rDICOM SCU for many services";
}

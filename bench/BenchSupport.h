#pragma once
// Helpers shared by the benchmark programs.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace bench {

// Full path of an executable on PATH; empty when there is none.
inline std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "";
    std::size_t from = 0;
    while (from <= rest.size()) {
        std::size_t colon = rest.find(':', from);
        std::string dir = rest.substr(from, colon == std::string::npos ? colon : colon - from);
        std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    return {};
}

// The veskaro-cli of the build tree this program belongs to: build/<dir>/bench/<this> gives
// build/<dir>/src/app/veskaro-cli.
inline std::string siblingCli() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path().parent_path() / "src" / "app" / "veskaro-cli").string();
}

} // namespace bench

#pragma once
// Helpers shared by the benchmark programs.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

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

inline double median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What bench/run.sh gathers: with "--results FILE" a program appends one tab-separated row
// per measurement (benchmark, case, our median, the reference's median or -1 for none, the
// reference's name, unit). Every unit is lower-is-better, so reference / ours above 1 means
// we are ahead. Without a file the rows go nowhere.
class ResultRows {
public:
    void Open(const std::string& fileName) { out_.open(fileName, std::ios::app); }
    void Row(const std::string& benchmark, const std::string& name, double ours, double reference,
             const std::string& referenceName, const std::string& unit) {
        if (out_.is_open())
            out_ << benchmark << '\t' << name << '\t' << ours << '\t' << reference << '\t'
                 << (referenceName.empty() ? "-" : referenceName) << '\t' << unit << '\n'
                 << std::flush;
    }

private:
    std::ofstream out_;
};

} // namespace bench

#include "AppState.h"

#include <filesystem>
#include <system_error>

std::string CurrentStartDirectory() {
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    if (error || current.empty() || !std::filesystem::is_directory(current, error))
        return {};
    return current.string();
}

std::string StartDirectoryGoneText(const std::string& program) {
    return program + ": the current directory no longer exists; it is the start directory, "
                     "which holds veskaro.cfg and logs/: change to an existing directory\n";
}

std::string StartDirFor(const std::string& currentDir) {
    if (!currentDir.empty() && currentDir.back() == '/')
        return currentDir;
    return currentDir + '/';
}

bool InitStartDir(AppState& state, const std::string& currentDir) {
    state.StartDir = StartDirFor(currentDir);
    state.LogDir = state.StartDir + "logs/";
    std::error_code error;
    std::filesystem::create_directories(state.LogDir, error);
    return !error && std::filesystem::is_directory(state.LogDir, error);
}

std::string_view ItemText(std::span<const std::string_view> items, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= items.size())
        return {};
    return items[static_cast<std::size_t>(index)];
}

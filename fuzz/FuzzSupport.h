#pragma once
// Helpers shared by the fuzz targets: a scratch file for the entry points that read a path, a
// scratch working directory, and the little-endian header fields some targets take from the
// front of their input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace fuzzsupport {

// One file per process, rewritten for every input and removed at exit.
class ScratchFile {
public:
    ScratchFile() {
        std::filesystem::path dir = std::filesystem::exists("/dev/shm")
                                        ? std::filesystem::path("/dev/shm")
                                        : std::filesystem::temp_directory_path();
        path_ = (dir / ("veskaro-fuzz-" + std::to_string(getpid()) + ".dcm")).string();
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& Write(const uint8_t* data, std::size_t size) {
        if (FILE* f = std::fopen(path_.c_str(), "wb")) {
            if (size > 0)
                std::fwrite(data, 1, size, f);
            std::fclose(f);
        }
        return path_;
    }

private:
    std::string path_;
};

// A working directory of the process's own, removed at exit: some entry points leave files in
// the current directory (a waveform read as an image saves its drawing there).
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::filesystem::path dir = std::filesystem::exists("/dev/shm")
                                        ? std::filesystem::path("/dev/shm")
                                        : std::filesystem::temp_directory_path();
        path_ = dir / ("veskaro-fuzz-" + std::to_string(getpid()) + ".d");
        std::error_code ignored;
        std::filesystem::create_directories(path_, ignored);
        std::filesystem::current_path(path_, ignored);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(path_.parent_path(), ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

private:
    std::filesystem::path path_;
};

// Takes a little-endian field of `bytes` bytes off the front of the input; missing bytes are 0.
inline std::size_t TakeLE(const uint8_t*& data, std::size_t& size, int bytes) {
    std::size_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        if (size > 0) {
            value |= static_cast<std::size_t>(*data) << (8 * i);
            ++data;
            --size;
        }
    }
    return value;
}

} // namespace fuzzsupport

#pragma once
// A file opened for reading, and the state it was in when it was opened. Values that are read
// from it later (a large value is read only when it is sent) are either the bytes of that state
// or are refused: every read can be followed by Unchanged(), which turns false once the file
// has been written to or truncated, or its size or modification time differ from the first.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class FileSnapshot {
public:
    // Opens a regular file; null with the reason in error when it cannot be opened or is
    // anything else (a directory, a pipe, a device), which is never waited for.
    static std::shared_ptr<FileSnapshot> Open(const std::string& fileName, std::string& error);
    ~FileSnapshot();
    FileSnapshot(const FileSnapshot&) = delete;
    FileSnapshot& operator=(const FileSnapshot&) = delete;

    const std::string& Name() const { return name; }
    std::uint64_t Size() const { return size; }
    // Reads up to count bytes from offset; the number read, fewer at the end of the file or
    // on a read error.
    std::size_t ReadAt(std::uint64_t offset, void* area, std::size_t count) const;
    // False from the moment a change to the file is seen; never true again.
    bool Unchanged() const;

private:
    FileSnapshot() = default;

    std::string name;
    int fd = -1;
    // An inotify descriptor watching the file for writes, -1 when the system gave none; it
    // sees a write even when the modification time does not move (its clock is coarse).
    int watch = -1;
    std::uint64_t size = 0;
    timespec modified{};
    mutable bool changed = false;
};

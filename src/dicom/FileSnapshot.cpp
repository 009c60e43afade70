#include "FileSnapshot.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

std::shared_ptr<FileSnapshot> FileSnapshot::Open(const std::string& fileName, std::string& error) {
    // Without O_NONBLOCK, opening a pipe with no writer would wait for one.
    int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        // A socket cannot be opened at all.
        struct stat state {};
        if (::stat(fileName.c_str(), &state) == 0 && !S_ISREG(state.st_mode))
            error = "not a regular file: " + fileName;
        return nullptr;
    }
    std::shared_ptr<FileSnapshot> file(new FileSnapshot);
    file->fd = fd;
    file->name = fileName;
    // The watch goes on the very file that is open (a rename or a new file under the name
    // does not matter), and before the state is taken, so no write after it goes unseen.
    file->watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (file->watch >= 0 &&
        ::inotify_add_watch(file->watch, ("/proc/self/fd/" + std::to_string(fd)).c_str(),
                            IN_MODIFY) < 0) {
        ::close(file->watch);
        file->watch = -1;
    }
    struct stat state {};
    if (::fstat(fd, &state) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(state.st_mode)) {
        error = "not a regular file: " + fileName;
        return nullptr;
    }
    file->size = static_cast<std::uint64_t>(state.st_size);
    file->modified = state.st_mtim;
    return file;
}

FileSnapshot::~FileSnapshot() {
    if (watch >= 0)
        ::close(watch);
    if (fd >= 0)
        ::close(fd);
}

std::size_t FileSnapshot::ReadAt(std::uint64_t offset, void* area, std::size_t count) const {
    auto* out = static_cast<std::uint8_t*>(area);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool FileSnapshot::Unchanged() const {
    if (changed)
        return false;
    alignas(inotify_event) char events[sizeof(inotify_event) + 256];
    if (watch >= 0 && ::read(watch, events, sizeof events) > 0)
        changed = true;
    struct stat state {};
    if (::fstat(fd, &state) != 0 || static_cast<std::uint64_t>(state.st_size) != size ||
        state.st_mtim.tv_sec != modified.tv_sec || state.st_mtim.tv_nsec != modified.tv_nsec)
        changed = true;
    return !changed;
}

#include "Setup.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Any fixed non-zero byte; changing it makes every existing settings file unreadable.
constexpr std::uint8_t settingsMask = 0xA5;

void applyMask(std::uint8_t* bytes) {
    for (std::size_t i = 0; i < SettingsRecordSize; ++i)
        bytes[i] ^= settingsMask;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Unique per process and call, so two saves never share a temporary file.
std::string temporaryName(const std::string& fileName) {
    static std::atomic<unsigned> counter{0};
    return fileName + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
}

// The file a chain of symbolic links ends at, which need not exist yet; fileName itself when
// it is no link or the chain does not end.
std::string linkTarget(const std::string& fileName) {
    std::filesystem::path path = fileName;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!std::filesystem::is_symlink(path, error))
            return path.string();
        std::filesystem::path next = std::filesystem::read_symlink(path, error);
        if (error)
            return fileName;
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return fileName;
}

} // namespace

SettingsRecord DefaultSettings() {
    SettingsRecord record;
    SetSettingsText(record.RemoteHost, "127.0.0.1");
    SetSettingsText(record.RemotePort, "104");
    SetSettingsText(record.LocalAET, "local");
    SetSettingsText(record.RemoteAET, "remote");
    return record;
}

std::string SettingsFileName(const std::string& startDir) {
    return startDir + "veskaro.cfg";
}

bool LoadSettings(const std::string& fileName, SettingsRecord& record) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return false;
    std::uint8_t bytes[SettingsRecordSize];
    in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (in.gcount() != static_cast<std::streamsize>(sizeof bytes))
        return false;
    applyMask(bytes);
    std::memcpy(&record, bytes, sizeof bytes);
    record.RemoteHost[sizeof record.RemoteHost - 1] = 0;
    record.RemotePort[sizeof record.RemotePort - 1] = 0;
    record.LocalAET[sizeof record.LocalAET - 1] = 0;
    record.RemoteAET[sizeof record.RemoteAET - 1] = 0;
    return true;
}

bool SaveSettings(const std::string& fileName, const SettingsRecord& record) {
    std::uint8_t bytes[SettingsRecordSize];
    std::memcpy(bytes, &record, sizeof bytes);
    applyMask(bytes);

    // A link stays a link: the file it leads to gets the new settings.
    const std::string target = linkTarget(fileName);
    std::string temporary = temporaryName(target);
    // 0666 lets the umask decide the permissions, as for any newly created file.
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes, sizeof bytes);
    struct stat old {};
    if (ok && ::stat(target.c_str(), &old) == 0)
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

SettingsRecord LoadSettingsOrDefaults(const std::string& fileName) {
    SettingsRecord record;
    if (!LoadSettings(fileName, record))
        record = DefaultSettings();
    return record;
}

std::string PortProblem(std::string_view port) {
    bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    long value = digits ? std::stol(std::string(port)) : 0;
    if (value < 1 || value > 65535)
        return "a port number from 1 to 65535";
    return {};
}

std::string AETitleProblem(std::string_view title) {
    if (title.empty() || title.size() > 16)
        return "1 to 16 characters";
    for (char c : title)
        if (c < 0x20 || c > 0x7E || c == '\\')
            return "characters of the DICOM default repertoire, no backslash";
    if (title.find_first_not_of(' ') == std::string_view::npos)
        return "not only spaces";
    return {};
}

std::string HostProblem(std::string_view host) {
    if (host.empty())
        return "a host name or address";
    if (host.size() >= sizeof(SettingsRecord{}.RemoteHost))
        return "at most 127 characters";
    for (char c : host)
        if (c <= 0x20 || c > 0x7E)
            return "a host name or address without spaces";
    return {};
}

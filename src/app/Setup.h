#pragma once
// The settings record and its file "veskaro.cfg": 440 bytes of fixed layout, each byte masked.
// Plain C++ so the CLI, the tests and the Setup dialog share one implementation.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

// The record is its own file image (integers little-endian), so it is copied, not serialised.
//
//  offset size field                 encoding
//       0  128 RemoteHost            text, zero-terminated
//     128   32 RemotePort            port number in decimal digits, zero-terminated
//     160  128 LocalAET              text, zero-terminated
//     288  128 RemoteAET             text, zero-terminated
//     416    4 LogLevel              0 not chosen, 1 "No Log", 2 "PDU Level", 3 "Socket Level"
//     420    4 FilmDestinationIndex  item index in the Setup dialog's list, -1 none selected
//     424    4 FilmOrientationIndex  likewise
//     428    4 FilmSizeIndex         likewise
//     432    4 MagnificationIndex    likewise
//     436    1 PlanarConfiguration   1 ticked, 0 not (stored and shown only)
//     437    1 UseTls                1 ticked, 0 not
//     438    2 padding               zero
struct SettingsRecord {
    char RemoteHost[128] = {};
    char RemotePort[32] = {};
    char LocalAET[128] = {};
    char RemoteAET[128] = {};
    std::int32_t LogLevel = 0;
    std::int32_t FilmDestinationIndex = 0;
    std::int32_t FilmOrientationIndex = 0;
    std::int32_t FilmSizeIndex = 0;
    std::int32_t MagnificationIndex = 0;
    std::uint8_t PlanarConfiguration = 0;
    std::uint8_t UseTls = 0;
    std::uint8_t Padding[2] = {};
};

inline constexpr std::size_t SettingsRecordSize = 440;

static_assert(std::endian::native == std::endian::little,
              "the record is copied byte for byte to a little-endian file");
static_assert(std::is_trivially_copyable_v<SettingsRecord> &&
              std::is_standard_layout_v<SettingsRecord>);
static_assert(sizeof(SettingsRecord) == SettingsRecordSize);
static_assert(offsetof(SettingsRecord, RemotePort) == 128);
static_assert(offsetof(SettingsRecord, LocalAET) == 160);
static_assert(offsetof(SettingsRecord, RemoteAET) == 288);
static_assert(offsetof(SettingsRecord, LogLevel) == 416);
static_assert(offsetof(SettingsRecord, FilmDestinationIndex) == 420);
static_assert(offsetof(SettingsRecord, MagnificationIndex) == 432);
static_assert(offsetof(SettingsRecord, PlanarConfiguration) == 436);
static_assert(offsetof(SettingsRecord, UseTls) == 437);

// Stores at most N - 1 characters of text and zero-fills the rest of the field: longer texts
// are cut, never written past the field.
template <std::size_t N> void SetSettingsText(char (&field)[N], std::string_view text) {
    std::size_t count = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), count);
    std::memset(field + count, 0, N - count);
}

// The field's text up to its first zero byte, never reading past the field.
template <std::size_t N> std::string SettingsText(const char (&field)[N]) {
    return std::string(field, std::find(field, field + N, '\0'));
}

// The values used when no settings file can be loaded: the Setup dialog's design-time texts
// "127.0.0.1", "104", "local", "remote"; level, film indexes and both flags 0.
SettingsRecord DefaultSettings();

// startDir (ending in a separator) + "veskaro.cfg".
std::string SettingsFileName(const std::string& startDir);

// Reads the 440 masked bytes into record. False, with record untouched, when the file cannot
// be opened or holds fewer than 440 bytes. Each text field's last byte is forced to zero, so
// a damaged file cannot produce an unterminated text.
bool LoadSettings(const std::string& fileName, SettingsRecord& record);

// Writes the masked record to a temporary file beside fileName, flushes it to disk and renames
// it over fileName, so a crash or a full disk leaves either the old file or the new one. False,
// with the old file untouched and no temporary file left, when any step fails.
bool SaveSettings(const std::string& fileName, const SettingsRecord& record);

// What the Setup dialog holds after its creation: the file's record, else the defaults.
SettingsRecord LoadSettingsOrDefaults(const std::string& fileName);

// Why a value cannot be stored, or an empty text when it can. The CLI's setup and the Setup
// dialog refuse what these refuse, so no stored setting is silently cut, wrapped or empty.
// Port: decimal digits only, 1 to 65535.
std::string PortProblem(std::string_view port);
// AE title: 1 to 16 characters of the DICOM default repertoire (printable ASCII), no
// backslash, not all spaces.
std::string AETitleProblem(std::string_view title);
// Host: a name or address, not empty, without spaces, and short enough for its field.
std::string HostProblem(std::string_view host);

#pragma once
// Program-wide state of the shell, owned by the front end (window or CLI) on its own thread,
// and the item lists of the Setup dialog that the record's indexes refer to. Qt-free so the
// CLI and the window share it; jobs never read it directly but get a copy (JobInputs).

#include "ExtraSettings.h"
#include "Setup.h"

#include <array>
#include <span>
#include <string>
#include <string_view>

// The filter of the FIND and WORKLIST jobs, as the Query Filter dialog leaves it.
struct QueryFilter {
    std::string PatientName;
    std::string DateRange; // "D1-", "-D2", "D1-D2" (yyyymmdd) or empty
    std::string AccessionNumber;
    std::string Modality; // empty for "ALL"
};

struct AppState {
    // The current directory at start with "/" appended; captured once, so later changes of
    // the current directory move neither the settings file nor the logs.
    std::string StartDir;
    std::string LogDir; // StartDir + "logs/"
    SettingsRecord Settings = DefaultSettings();
    ExtraSettings Extra;
    QueryFilter Filter;
    std::string FileName; // the file last chosen in the file dialog (STORE, PRINT)
};

// The current directory, where a run keeps its settings and logs; empty when it no longer exists
// (deleted while a shell stood in it). Both programs then refuse to start.
std::string CurrentStartDirectory();
// The reason given on standard error, with exit status 2, when CurrentStartDirectory is empty.
std::string StartDirectoryGoneText(const std::string& program);

// currentDir with "/" appended (not doubled).
std::string StartDirFor(const std::string& currentDir);

// Sets StartDir and LogDir from currentDir and creates LogDir with its missing parents. False
// when LogDir could not be created; the names are set anyway and log lines are then dropped.
bool InitStartDir(AppState& state, const std::string& currentDir);

// The Setup dialog's lists; the record stores the log level as index + 1 and the film
// settings as plain indexes into these.
inline constexpr std::array<std::string_view, 3> LogLevelItems = {"No Log", "PDU Level",
                                                                  "Socket Level"};
inline constexpr std::array<std::string_view, 5> FilmDestinationItems = {"MAGAZINE", "PROCESSOR",
                                                                         "BIN_1", "BIN_2", "BIN_3"};
// The third item is an empty text on purpose: "no orientation".
inline constexpr std::array<std::string_view, 3> FilmOrientationItems = {"PORTRAIT", "LANDSCAPE",
                                                                         ""};
inline constexpr std::array<std::string_view, 5> FilmSizeItems = {
    "14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN", "8_5INX11IN"};
inline constexpr std::array<std::string_view, 4> MagnificationItems = {"REPLICATE", "BILINEAR",
                                                                       "CUBIC", "NONE"};

// The item at index, or an empty text for -1 (nothing selected) and any other index outside
// the list, which only a hand-edited or foreign settings file can hold.
std::string_view ItemText(std::span<const std::string_view> items, int index);

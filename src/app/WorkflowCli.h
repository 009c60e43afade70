#pragma once
// The CLI's commands beyond the five services, kept out of the main dispatcher.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Lines of `veskaro-cli help` for these commands.
extern const char* const WorkflowUsageText;

// True when store's arguments name one regular file (with or without --ts): the one-file
// STORE job, unchanged.
bool IsSingleFileStore(const std::vector<std::string_view>& args);
// store FILE|DIR... [--ts INDEX|UID]; transferSyntaxUid already parsed from --ts. Exit 0 when
// every file was sent, 130 after Ctrl-C, 1 otherwise.
int StoreFilesCommand(const std::vector<std::string>& paths, const std::string& transferSyntaxUid);

// mpps, and the other workflow commands by name; false for a name that is none of them.
bool IsWorkflowCommand(std::string_view command);
// Exit 0 when the job ended OK, 1 when it failed, 2 for a usage error.
int WorkflowCommand(std::string_view command, const std::vector<std::string_view>& args);

// The options of setup that go to veskaro-extra.cfg.
struct ExtraSetupChanges {
    std::optional<int> LocalPort;
    std::optional<std::string> MppsHost, MppsPort, MppsAETitle;
    std::optional<int> CommitWaitSeconds;
    bool Empty() const {
        return !LocalPort && !MppsHost && !MppsPort && !MppsAETitle && !CommitWaitSeconds;
    }
};
// Removes them (name and value) from args; false for a bad value or a missing one.
bool TakeExtraSetupOptions(std::vector<std::string_view>& args, ExtraSetupChanges& changes);
// Writes the changes into the start directory's file; true when there were none.
bool SaveExtraSetup(const ExtraSetupChanges& changes);
// "local-port: 11112" and the other extra settings, one per line, when the file exists.
void PrintExtraSettings();

// find with --level series|image or --root patient: the level query. "--level study" alone is
// taken out of args, which then go to the study query as before.
bool IsLevelFind(std::vector<std::string_view>& args);
int LevelFindCommand(const std::vector<std::string_view>& args);

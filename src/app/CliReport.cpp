#include "CliReport.h"

#include "Setup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

bool JsonOutput = false;

std::string CliCurrentDir() {
    return CurrentStartDirectory();
}

AppState CliStartState() {
    AppState state;
    InitStartDir(state, CliCurrentDir());
    state.Settings = LoadSettingsOrDefaults(SettingsFileName(state.StartDir));
    state.Extra = LoadExtraSettings(ExtraSettingsFileName(state.StartDir));
    return state;
}

void PrintJson(const nlohmann::json& object) {
    std::string text = object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

nlohmann::json PaneRecords(const std::vector<std::string>& lines) {
    nlohmann::json records = nlohmann::json::array();
    nlohmann::json record = nlohmann::json::object();
    for (const std::string& line : lines) {
        std::size_t colon = line.find(": ");
        if (line.empty()) {
            if (!record.empty())
                records.push_back(record);
            record = nlohmann::json::object();
        } else if (colon != std::string::npos) {
            record[line.substr(0, colon)] = line.substr(colon + 2);
        } else {
            record = nlohmann::json::object();
        }
    }
    return records;
}

long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

int ReportJob(const std::string& kind, const MainThread& job, const std::vector<std::string>& lines,
              long ms) {
    if (!JsonOutput)
        return job.Succeeded ? 0 : 1;
    nlohmann::json object;
    std::string command = kind;
    std::transform(command.begin(), command.end(), command.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    object["command"] = command;
    object["succeeded"] = job.Succeeded;
    object["verdict"] = lines.empty() || job.Outcome == JobOutcome::EndedWithoutVerdict
                            ? std::string()
                            : lines.back();
    // The workflow's jobs write their "Reason: " line themselves, between their step lines.
    std::string reason = job.Reason;
    if (reason.empty() && !job.Succeeded) {
        const std::string prefix = "Reason: ";
        auto line = std::find_if(lines.rbegin(), lines.rend(), [&](const std::string& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        });
        if (line != lines.rend())
            reason = line->substr(prefix.size());
    }
    object["reason"] = reason;
    object["timings"] = {{"total_ms", ms}};
    object["lines"] = lines;
    if (kind == "FIND" || kind == "WORKLIST")
        object["records"] = PaneRecords(lines);
    PrintJson(object);
    return job.Succeeded ? 0 : 1;
}

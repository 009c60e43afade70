#include "Job.h"

#include <algorithm>
#include <cstdio>

JobInputs CaptureJobInputs(const AppState& state) {
    JobInputs inputs;
    inputs.Settings = state.Settings;
    inputs.Extra = state.Extra;
    inputs.Filter = state.Filter;
    inputs.FileName = state.FileName;
    inputs.LogDir = state.LogDir;
    inputs.Workflow.ReceiveDir = state.StartDir + "received";
    return inputs;
}

int JobKindIndex(std::string_view kind) {
    for (std::size_t i = 0; i < JobKinds.size(); ++i)
        if (kind == JobKinds[i])
            return static_cast<int>(i);
    for (std::size_t i = 0; i < WorkflowJobKinds.size(); ++i)
        if (kind == WorkflowJobKinds[i])
            return static_cast<int>(JobKinds.size() + i);
    return -1;
}

int JobReadTimeoutSeconds(std::string_view kind) {
    constexpr std::array<int, JobKinds.size() + WorkflowJobKinds.size()> seconds = {
        100, 120, 30, 30, 100, 30, 30, 120, 120, 120};
    int index = JobKindIndex(kind);
    return index < 0 ? 0 : seconds[static_cast<std::size_t>(index)];
}

bool JobBodyTable::Register(std::string_view kind, JobBody body) {
    int index = JobKindIndex(kind);
    if (index < 0)
        return false;
    bodies_[static_cast<std::size_t>(index)] = std::move(body);
    return true;
}

const JobBody* JobBodyTable::Find(std::string_view kind) const {
    int index = JobKindIndex(kind);
    if (index < 0 || !bodies_[static_cast<std::size_t>(index)])
        return nullptr;
    return &bodies_[static_cast<std::size_t>(index)];
}

JobBodyTable& DefaultJobBodies() {
    static JobBodyTable table;
    return table;
}

std::string JobStatusText(std::string_view kind, const JobProgress& progress) {
    static constexpr const char* steps[] = {
        "starting",         "connecting", "negotiating", "sending", "waiting for the answer",
        "receiving records"};
    const double seconds = std::chrono::duration<double>(progress.Elapsed).count();
    std::string text(kind);
    text += ": ";
    text += progress.Cancelled ? "cancelling" : steps[static_cast<int>(progress.Step)];
    char number[96];
    std::snprintf(number, sizeof number, ", %.1f s", seconds);
    text += number;
    if (progress.Step == JobStep::Receiving) {
        text += ", " + std::to_string(progress.Records) +
                (progress.Records == 1 ? " record" : " records");
    }
    if (progress.BytesSent > 0 || (progress.Step == JobStep::Sending && progress.BytesTotal > 0)) {
        const double mb = 1e6;
        const double sent = static_cast<double>(progress.BytesSent) / mb;
        const double rate = seconds > 0 ? sent / seconds : 0.0;
        if (progress.BytesTotal > 0)
            std::snprintf(number, sizeof number, ", %.1f of %.1f MB, %.1f MB/s",
                          std::min(sent, static_cast<double>(progress.BytesTotal) / mb),
                          static_cast<double>(progress.BytesTotal) / mb, rate);
        else
            std::snprintf(number, sizeof number, ", %.1f MB, %.1f MB/s", sent, rate);
        text += number;
    }
    return text;
}

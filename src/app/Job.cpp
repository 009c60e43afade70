#include "Job.h"

JobInputs CaptureJobInputs(const AppState& state) {
    JobInputs inputs;
    inputs.Settings = state.Settings;
    inputs.Extra = state.Extra;
    inputs.Filter = state.Filter;
    inputs.FileName = state.FileName;
    inputs.LogDir = state.LogDir;
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

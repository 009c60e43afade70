// The MOVE and GET jobs: the objects of a study, series or image retrieved into the start
// directory's "received", the files listed, then the sub-operation counts.

#include "Log.h"
#include "Retrieve.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"

#include <algorithm>
#include <chrono>

namespace {

JobOutcome retrieveJob(JobContext& job, bool move) {
    const WorkflowInputs& w = job.Inputs.Workflow;
    BatchControl* control = job.Inputs.Control.get();
    RetrieveOptions options;
    options.Keys.Level = w.Level.empty() ? "STUDY" : w.Level;
    options.Keys.PatientRoot = w.PatientRoot;
    options.Keys.PatientID = w.PatientID;
    options.Keys.StudyInstanceUID = w.StudyInstanceUID;
    options.Keys.SeriesInstanceUID = w.SeriesInstanceUID;
    options.Keys.SOPInstanceUID = w.SOPInstanceUID;
    options.ReceiveDir = w.ReceiveDir;
    options.LocalPort = job.Inputs.Extra.LocalPort;
    options.Cancel = control ? &control->Cancelled : nullptr;
    const auto start = std::chrono::steady_clock::now();
    std::size_t received = 0;
    options.Received = [&](const std::string& file, const std::string& result, int remaining) {
        if (!control || !control->Progress)
            return;
        BatchProgress report;
        report.FilesDone = ++received;
        report.FilesTotal = std::max(received, received - 1 + static_cast<std::size_t>(remaining));
        report.SecondsElapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        report.FileName = file;
        report.Result = result;
        control->Progress(report);
    };

    ServicePeer peer = SettingsPeer(job);
    RetrieveOutcome outcome = move ? MoveSCU(peer, options) : GetSCU(peer, options);
    job.Pane.AppendLine("");
    for (const std::string& file : outcome.Files)
        job.Pane.AppendLine("Received: " + file);
    for (const auto& [instance, why] : outcome.NotWritten)
        job.Pane.AppendLine("Not written: " + instance + ": " + why);
    for (const std::string& instance : outcome.FailedInstances)
        job.Pane.AppendLine("Not sent: " + instance);
    std::string counts = "Completed: " + std::to_string(outcome.Completed) +
                         ", failed: " + std::to_string(outcome.Failed) +
                         ", warning: " + std::to_string(outcome.Warning);
    if (outcome.Status < 0 && outcome.Remaining > 0)
        counts += ", remaining: " + std::to_string(outcome.Remaining);
    job.Pane.AppendLine(counts);
    job.Pane.AppendLine("Files received: " + std::to_string(outcome.Files.size()) + " in " +
                        options.ReceiveDir);
    LogMessage("INFO, " + job.JobKind + "Job, " + counts + ", files " +
               std::to_string(outcome.Files.size()));
    if (!outcome.Reason.empty()) {
        job.Reason = outcome.Reason;
        return JobOutcome::Failed;
    }
    job.ResultDetail = ", " + std::to_string(outcome.Files.size()) + " files";
    return JobOutcome::Succeeded;
}

} // namespace

JobOutcome MoveJob(JobContext& job) {
    return retrieveJob(job, true);
}

JobOutcome GetJob(JobContext& job) {
    return retrieveJob(job, false);
}

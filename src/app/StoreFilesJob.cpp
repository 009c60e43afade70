// STORE of several files and directories: one association per peer while the classes fit,
// a progress report after each file, a summary of sent, failed and skipped files.

#include "JobBodies.h"
#include "Log.h"
#include "Setup.h"
#include "StoreFiles.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"

#include <chrono>

bool StoreFilesStep(JobContext& job, const std::vector<std::string>& paths,
                    const std::function<void(DcmObj&)>& modify, StoreFilesResult& result,
                    std::string& reason) {
    const SettingsRecord& s = job.Inputs.Settings;
    BatchControl* control = job.Inputs.Control.get();
    StoreFilesOptions options;
    options.CallingTitle = SettingsText(s.LocalAET);
    options.CalledTitle = SettingsText(s.RemoteAET);
    options.Host = SettingsText(s.RemoteHost);
    options.Port = SettingsText(s.RemotePort);
    options.TransferSyntaxUID = job.TransferSyntaxUID;
    options.TimeoutSeconds = job.ReadTimeoutSeconds;
    options.Tls = JobTlsOptions(job.Inputs);
    options.Cancel = control ? &control->Cancelled : nullptr;
    options.Modify = modify;
    const auto start = std::chrono::steady_clock::now();
    options.Progress = [&](const StoreFilesProgress& p) {
        if (CurrentLogLevel >= 2)
            LogMessage("INFO, StoreFilesJob, " + p.FileName + ": " + p.Result);
        if (!control || !control->Progress)
            return;
        BatchProgress report;
        report.FilesDone = p.FilesDone;
        report.FilesTotal = p.FilesTotal;
        report.BytesDone = p.BytesDone;
        report.BytesTotal = p.BytesTotal;
        report.SecondsElapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        report.FileName = p.FileName;
        report.Result = p.Result;
        control->Progress(report);
    };

    result = StoreFilesSCU(ExpandStorePaths(paths), options);
    for (const auto& [file, why] : result.Failed)
        job.Pane.AppendLine("Failed: " + file + ": " + why);
    for (const std::string& file : result.Skipped)
        job.Pane.AppendLine("Skipped (not DICOM): " + file);
    if (result.Cancelled)
        job.Pane.AppendLine("Cancelled");
    std::string summary = "Sent: " + std::to_string(result.Sent.size()) +
                          ", failed: " + std::to_string(result.Failed.size()) +
                          ", skipped: " + std::to_string(result.Skipped.size()) +
                          ", associations: " + std::to_string(result.Associations);
    LogMessage("INFO, StoreFilesJob, " + summary);
    job.Pane.AppendLine(summary);
    if (result.Cancelled)
        reason = "cancelled after " + std::to_string(result.Sent.size()) + " files";
    else if (!result.Failed.empty())
        reason = std::to_string(result.Failed.size()) +
                 " files not stored, the first: " + result.Failed.front().first + ": " +
                 result.Failed.front().second;
    else if (result.Sent.empty())
        reason = "no DICOM file to store";
    else
        return true;
    return false;
}

JobOutcome StoreFilesJob(JobContext& job) {
    StoreFilesResult result;
    std::string reason;
    if (StoreFilesStep(job, job.Inputs.FileNames, {}, result, reason))
        return JobOutcome::Succeeded;
    ReportReason(job, reason);
    return JobOutcome::Failed;
}

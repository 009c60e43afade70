// The COMMIT job and the commitment step of the WORKFLOW job.

#include "Commitment.h"
#include "Log.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"

#include <cstdio>

namespace {

std::string hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value) & 0xFFFF);
    return text;
}

} // namespace

bool CommitmentStep(JobContext& job, const std::vector<StoredInstance>& instances,
                    std::string& reason) {
    const ExtraSettings& extra = job.Inputs.Extra;
    BatchControl* control = job.Inputs.Control.get();
    CommitmentOutcome outcome =
        RequestStorageCommitment(SettingsPeer(job), instances, extra.LocalPort,
                                 extra.CommitWaitSeconds, control ? &control->Cancelled : nullptr);
    if (!outcome.Reported) {
        reason = outcome.Reason;
        return false;
    }
    job.Pane.AppendLine("Commitment transaction: " + outcome.TransactionUID + " (report on the " +
                        outcome.ReportedOn + ")");
    for (const CommitmentReference& r : outcome.Committed)
        job.Pane.AppendLine("Committed: " + r.SopInstanceUID);
    for (const CommitmentReference& r : outcome.Failed)
        job.Pane.AppendLine("Not committed: " + r.SopInstanceUID + " (failure reason " +
                            hex4(r.FailureReason) + ")");
    job.Pane.AppendLine("Committed: " + std::to_string(outcome.Committed.size()) +
                        ", failed: " + std::to_string(outcome.Failed.size()));
    LogMessage("INFO, CommitmentStep, committed " + std::to_string(outcome.Committed.size()) +
               ", failed " + std::to_string(outcome.Failed.size()));
    if (!outcome.Failed.empty()) {
        reason = std::to_string(outcome.Failed.size()) + " of " + std::to_string(instances.size()) +
                 " instances were not committed";
        return false;
    }
    if (outcome.Committed.size() != instances.size()) {
        reason = "the report names " + std::to_string(outcome.Committed.size()) + " of " +
                 std::to_string(instances.size()) + " instances";
        return false;
    }
    return true;
}

JobOutcome CommitJob(JobContext& job) {
    std::vector<StoredInstance> instances;
    std::string reason;
    bool ok = InstancesOfFiles(job.Inputs.FileNames, instances, reason);
    if (ok && instances.empty()) {
        reason = "no files to commit";
        ok = false;
    }
    ok = ok && CommitmentStep(job, instances, reason);
    if (!ok)
        ReportReason(job, reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

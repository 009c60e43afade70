// The WORKFLOW job: a modality's scheduled procedure as one checked sequence, each step shown
// with its mark and time, stopping at the first failure with its reason.

#include "LevelQuery.h"
#include "Log.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

// The worklist item's identifiers replace the file's: patient name and ID, accession number,
// study instance UID, and the requested procedure and step IDs in the request attributes.
void applyWorklistItem(DcmObj& dataSet, const TWorklistItem& item) {
    dataSet.AddString(0x0008, 0x0050, item.AccessionNumber);
    dataSet.AddString(0x0010, 0x0010, item.PatientsName);
    dataSet.AddString(0x0010, 0x0020, item.PatientID);
    dataSet.AddString(0x0020, 0x000D, item.StudyInstanceUID);
    for (int i = 0; i < dataSet.Count(); ++i) {
        const DcmTag& header = dataSet.HeaderAt(i);
        if (!header.Is(0x0040, 0x0275))
            continue;
        DcmObj* sequence = dataSet.ObjAt(i);
        DcmObj* first = sequence && sequence->Count() > 0 ? sequence->ObjAt(0) : nullptr;
        if (first) {
            first->AddString(0x0040, 0x0009, item.ScheduledProcedureStepID);
            first->AddString(0x0040, 0x1001, item.RequestedProcedureID);
        } else {
            LogMessage("WARNING, WorkflowJob, request attributes of undefined length kept");
        }
        return;
    }
    auto request = std::make_unique<DcmObj>();
    request->AddString(0x0040, 0x0007, item.ScheduledProcedureStepDescription);
    request->AddString(0x0040, 0x0009, item.ScheduledProcedureStepID);
    request->AddString(0x0040, 0x1001, item.RequestedProcedureID);
    auto sequence = std::make_unique<DcmObj>();
    sequence->AddSequence(0xFFFE, 0xE000, std::move(request));
    dataSet.AddSequence(0x0040, 0x0275, std::move(sequence));
}

bool queryBackStep(JobContext& job, const std::string& studyUid, std::size_t expected,
                   std::string& reason) {
    int found = CountStudyInstances(SettingsPeer(job), studyUid, reason);
    if (found < 0)
        return false;
    job.Pane.AppendLine("Study " + studyUid + ": " + std::to_string(found) + " instances");
    if (static_cast<std::size_t>(found) == expected)
        return true;
    reason = "the study holds " + std::to_string(found) + " instances, " +
             std::to_string(expected) + " were stored";
    return false;
}

} // namespace

JobOutcome WorkflowJob(JobContext& job) {
    std::string reason;
    auto step = [&](int n, const char* name, const std::function<bool()>& body) {
        const auto start = std::chrono::steady_clock::now();
        bool ok = body();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char line[128];
        std::snprintf(line, sizeof line, "%s %d %s (%.2f s)", ok ? "\u2713" : "\u2717", n, name,
                      seconds);
        LogMessage(std::string("INFO, WorkflowJob, ") + line);
        job.Pane.AppendLine(line);
        return ok;
    };
    TWorklistItem item;
    std::string mpps;
    StoreFilesResult stored;
    bool started = false;
    bool ok =
        step(1, "worklist query", [&] { return WorklistItemStep(job, item, reason); }) &&
        step(2, "MPPS in progress",
             [&] { return started = MppsStartStep(job, item, mpps, reason); }) &&
        step(3, "store",
             [&] {
                 return StoreFilesStep(
                     job, job.Inputs.FileNames,
                     [&item](DcmObj& dataSet) { applyWorklistItem(dataSet, item); }, stored,
                     reason);
             }) &&
        step(4, "MPPS completed",
             [&] { return MppsFinalStep(job, mpps, "COMPLETED", stored.Sent, reason); }) &&
        step(5, "storage commitment", [&] { return CommitmentStep(job, stored.Sent, reason); }) &&
        step(6, "study query back",
             [&] { return queryBackStep(job, item.StudyInstanceUID, stored.Sent.size(), reason); });
    if (!ok) {
        ReportReason(job, reason);
        // A step left in progress by a failed store is not left open at the manager.
        if (started && !stored.Failed.empty()) {
            std::string ignored;
            MppsFinalStep(job, mpps, "DISCONTINUED", stored.Sent, ignored);
        }
    }
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

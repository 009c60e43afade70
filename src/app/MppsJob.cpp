// The MPPS job (start, complete, discontinue) and the worklist and MPPS steps it shares with
// the WORKFLOW job.

#include "JobBodies.h"
#include "Log.h"
#include "Setup.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"
#include "WorklistQuery.h"

ServicePeer SettingsPeer(const JobContext& job) {
    const SettingsRecord& s = job.Inputs.Settings;
    ServicePeer peer;
    peer.CallingTitle = SettingsText(s.LocalAET);
    peer.CalledTitle = SettingsText(s.RemoteAET);
    peer.Host = SettingsText(s.RemoteHost);
    peer.Port = SettingsText(s.RemotePort);
    peer.TimeoutSeconds = job.ReadTimeoutSeconds;
    peer.Tls = JobTlsOptions(job.Inputs);
    return peer;
}

ServicePeer MppsPeer(const JobContext& job) {
    ServicePeer peer = SettingsPeer(job);
    const ExtraSettings& extra = job.Inputs.Extra;
    if (!extra.MppsHost.empty())
        peer.Host = extra.MppsHost;
    if (!extra.MppsPort.empty())
        peer.Port = extra.MppsPort;
    if (!extra.MppsAETitle.empty())
        peer.CalledTitle = extra.MppsAETitle;
    return peer;
}

void ReportReason(JobContext& job, const std::string& reason) {
    LogMessage("Reason: " + reason);
    job.Pane.AppendLine("Reason: " + reason);
}

bool WorklistItemStep(JobContext& job, TWorklistItem& item, std::string& reason) {
    const QueryFilter& filter = job.Inputs.Filter;
    TWorklistItem query;
    query.PatientsName = filter.PatientName;
    query.ScheduledProcedureStepStartDate = filter.DateRange;
    query.AccessionNumber = filter.AccessionNumber;
    query.Modality = filter.Modality;
    std::vector<TWorklistItem> items;
    if (!QueryWorklistItems(SettingsPeer(job), query, items, reason))
        return false;
    job.Pane.AppendLine("Worklist items: " + std::to_string(items.size()));
    int n = job.Inputs.Workflow.WorklistItem;
    if (n < 1 || static_cast<std::size_t>(n) > items.size()) {
        reason = "the worklist has no item " + std::to_string(n) + " (it answered " +
                 std::to_string(items.size()) + ")";
        return false;
    }
    item = items[static_cast<std::size_t>(n - 1)];
    job.Pane.AppendLine("Item " + std::to_string(n) + ": " + item.PatientsName + " (" +
                        item.PatientID + "), accession " + item.AccessionNumber + ", study " +
                        item.StudyInstanceUID);
    return true;
}

bool MppsStartStep(JobContext& job, const TWorklistItem& item, std::string& instanceUid,
                   std::string& reason) {
    MppsStart start;
    start.PerformedStationAETitle = SettingsText(job.Inputs.Settings.LocalAET);
    start.StartDate = DicomDate();
    start.StartTime = DicomTime();
    // At most 16 characters; unique enough for one station's day.
    start.PerformedProcedureStepID =
        "PPS" + start.StartDate.substr(2) + start.StartTime.substr(0, 4);
    DcmObj dataSet;
    BuildMppsInProgress(item, start, dataSet);
    MppsResult r = MppsCreate(MppsPeer(job), dataSet);
    if (!r.Ok) {
        reason = r.Reason;
        return false;
    }
    instanceUid = r.InstanceUID;
    if (!r.Warning.empty())
        job.Pane.AppendLine("Warning: " + r.Warning);
    job.Pane.AppendLine("MPPS IN PROGRESS: " + instanceUid);
    return true;
}

bool MppsFinalStep(JobContext& job, const std::string& instanceUid, const std::string& status,
                   const std::vector<StoredInstance>& instances, std::string& reason) {
    DcmObj dataSet;
    BuildMppsFinal(status, DicomDate(), DicomTime(), instances, dataSet);
    MppsResult r = MppsSet(MppsPeer(job), instanceUid, dataSet);
    if (!r.Ok) {
        reason = r.Reason;
        return false;
    }
    if (!r.Warning.empty())
        job.Pane.AppendLine("Warning: " + r.Warning);
    job.Pane.AppendLine("MPPS " + status + ": " + instanceUid +
                        ", instances: " + std::to_string(instances.size()));
    return true;
}

bool InstancesOfFiles(const std::vector<std::string>& files, std::vector<StoredInstance>& out,
                      std::string& reason) {
    out.clear();
    for (const std::string& file : ExpandStorePaths(files)) {
        StoredInstance instance;
        if (!ReadStoredInstance(file, instance)) {
            reason = file + " is not a DICOM file";
            return false;
        }
        out.push_back(instance);
    }
    return true;
}

JobOutcome MppsJob(JobContext& job) {
    const WorkflowInputs& w = job.Inputs.Workflow;
    std::string reason;
    bool ok = false;
    if (w.Action == "start") {
        TWorklistItem item;
        std::string uid;
        ok = WorklistItemStep(job, item, reason) && MppsStartStep(job, item, uid, reason);
    } else if (w.Action == "complete" || w.Action == "discontinue") {
        std::vector<StoredInstance> instances;
        ok =
            InstancesOfFiles(job.Inputs.FileNames, instances, reason) &&
            MppsFinalStep(job, w.MppsInstanceUID,
                          w.Action == "complete" ? "COMPLETED" : "DISCONTINUED", instances, reason);
    } else {
        reason = "no MPPS action " + w.Action;
    }
    if (!ok)
        ReportReason(job, reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

#pragma once
// The steps a modality's workflow is made of, each usable as a job of its own and as one step
// of the WORKFLOW job. Each writes its pane lines and, when it fails, says why in reason.

#include "Job.h"
#include "Mpps.h"
#include "StoreFiles.h"

#include <functional>
#include <string>
#include <vector>

// The peer of the settings, with the job's time-out.
ServicePeer SettingsPeer(const JobContext& job);
// The performed procedure step manager: the extra settings' fields, else the remote AE's.
ServicePeer MppsPeer(const JobContext& job);

// The worklist query with the job's filter; item receives the inputs' item number N.
bool WorklistItemStep(JobContext& job, TWorklistItem& item, std::string& reason);
// N-CREATE IN PROGRESS for the item; instanceUid receives the step's UID.
bool MppsStartStep(JobContext& job, const TWorklistItem& item, std::string& instanceUid,
                   std::string& reason);
// N-SET to status ("COMPLETED" or "DISCONTINUED") with the instances as its series.
bool MppsFinalStep(JobContext& job, const std::string& instanceUid, const std::string& status,
                   const std::vector<StoredInstance>& instances, std::string& reason);
// STORE of the files and directories, each data set passed through modify first; the pane
// gets the failed and skipped files and the summary. True when every DICOM file was sent.
bool StoreFilesStep(JobContext& job, const std::vector<std::string>& paths,
                    const std::function<void(DcmObj&)>& modify, StoreFilesResult& result,
                    std::string& reason);
// Storage commitment of the instances, waiting for the report as the extra settings say;
// true when every instance was committed.
bool CommitmentStep(JobContext& job, const std::vector<StoredInstance>& instances,
                    std::string& reason);
// The references of the inputs' files; false when one is not DICOM.
bool InstancesOfFiles(const std::vector<std::string>& files, std::vector<StoredInstance>& out,
                      std::string& reason);

// "Reason: " + reason, in the log and the pane, before the failure verdict.
void ReportReason(JobContext& job, const std::string& reason);

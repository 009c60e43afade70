// FIND at series and image level (and study level of the Patient Root): one block of lines
// per match, then their count.

#include "LevelQuery.h"
#include "WorkflowJobs.h"
#include "WorkflowSteps.h"

namespace {

void appendRecord(OutputPane& pane, const FindRecord& record) {
    if (const auto* series = std::get_if<SeriesInfo>(&record)) {
        pane.AppendLine("SeriesInstanceUID: " + series->SeriesInstanceUID);
        pane.AppendLine("SeriesNumber: " + series->SeriesNumber);
        pane.AppendLine("Modality: " + series->Modality);
        pane.AppendLine("SeriesDescription: " + series->SeriesDescription);
        pane.AppendLine("StudyInstanceUID: " + series->StudyInstanceUID);
    } else if (const auto* image = std::get_if<ImageInfo>(&record)) {
        pane.AppendLine("SOPInstanceUID: " + image->SOPInstanceUID);
        pane.AppendLine("SOPClassUID: " + image->SOPClassUID);
        pane.AppendLine("InstanceNumber: " + image->InstanceNumber);
        pane.AppendLine("SeriesInstanceUID: " + image->SeriesInstanceUID);
        pane.AppendLine("StudyInstanceUID: " + image->StudyInstanceUID);
    } else if (const auto* study = std::get_if<StudyInfo>(&record)) {
        pane.AppendLine("PatientName: " + study->PatientsName);
        pane.AppendLine("PatientID: " + study->PatientID);
        pane.AppendLine("StudyInstanceUID: " + study->StudyInstanceUID);
        pane.AppendLine("StudyDate: " + study->StudyDate);
        pane.AppendLine("AccessionNumber: " + study->AccessionNumber);
    }
    pane.AppendLine("");
}

} // namespace

JobOutcome FindLevelJob(JobContext& job) {
    const WorkflowInputs& w = job.Inputs.Workflow;
    LevelQuery query;
    query.Level = w.Level;
    query.PatientRoot = w.PatientRoot;
    query.PatientID = w.PatientID;
    query.StudyInstanceUID = w.StudyInstanceUID;
    query.SeriesInstanceUID = w.SeriesInstanceUID;
    query.SOPInstanceUID = w.SOPInstanceUID;
    FindList results;
    std::string reason;
    bool ok = QueryAtLevel(SettingsPeer(job), query, results, reason);
    job.Pane.AppendLine("");
    for (const FindRecord& record : results)
        appendRecord(job.Pane, record);
    const char* noun = query.Level == "SERIES"  ? "No series: "
                       : query.Level == "IMAGE" ? "No images: "
                                                : "No studies: ";
    job.Pane.AppendLine(noun + std::to_string(results.size()));
    if (!ok)
        ReportReason(job, reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

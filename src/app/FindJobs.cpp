#include "FindJobs.h"

#include "Association.h"
#include "Diagnosis.h"
#include "Find.h"
#include "JobBodies.h"
#include "JobControl.h"
#include "Setup.h"
#include "WorkflowJobs.h"
#include "Worklist.h"

#include <string>

namespace {

bool openAssociation(PDU_Service& service, const JobContext& job, const char* sopClass) {
    const SettingsRecord& s = job.Inputs.Settings;
    service.dumpMessages = s.LogLevel > 1;
    service.SetTls(JobTlsOptions(job.Inputs));
    return OpenAssociation(service, {.callingTitle = SettingsText(s.LocalAET),
                                     .calledTitle = SettingsText(s.RemoteAET),
                                     .host = SettingsText(s.RemoteHost),
                                     .port = SettingsText(s.RemotePort),
                                     .abstractSyntax = sopClass,
                                     .timeoutSeconds = job.ReadTimeoutSeconds});
}

void countRecord() {
    if (JobControl* control = CurrentJobControl()) {
        control->AddRecord();
        control->SetStep(JobStep::Receiving);
    }
}

void appendStudy(OutputPane& pane, const StudyInfo& study) {
    pane.AppendLine("PatientName: " + study.PatientsName);
    pane.AppendLine("PatientID: " + study.PatientID);
    pane.AppendLine("PatientSex: " + study.PatientsSex);
    pane.AppendLine("PatientBD: " + study.PatientsBirthDate);
    pane.AppendLine("StudyID: " + study.StudyID);
    pane.AppendLine("ModalitiesInStudy: " + study.ModalitiesInStudy);
    pane.AppendLine("StudyInstanceUID: " + study.StudyInstanceUID);
    pane.AppendLine("StudyDate: " + study.StudyDate);
    pane.AppendLine("StudyTime: " + study.StudyTime);
    pane.AppendLine("StudyDescription: " + study.StudyDescription);
    pane.AppendLine("AccessionNumber: " + study.AccessionNumber);
    pane.AppendLine("InstitutionName: " + study.InstitutionName);
    pane.AppendLine("");
}

void appendWorklistItem(OutputPane& pane, const TWorklistItem& item) {
    pane.AppendLine("PatientName: " + item.PatientsName);
    pane.AppendLine("PatientID: " + item.PatientID);
    pane.AppendLine("PatientBD: " + item.PatientsBirthDate);
    pane.AppendLine("PatientSex: " + item.PatientsSex);
    pane.AppendLine("AccessionNumber: " + item.AccessionNumber);
    pane.AppendLine("Referring Physician: " + item.ReferringPhysiciansName);
    pane.AppendLine("Requested Procedure Description: " + item.RequestedProcedureDescription);
    pane.AppendLine("Modality: " + item.Modality);
    pane.AppendLine("Scheduled Station AET: " + item.ScheduledStationAETitle);
    pane.AppendLine("Scheduled Procedure Step Start Date: " + item.ScheduledProcedureStepStartDate);
    pane.AppendLine("Scheduled Procedure Step Start Time: " + item.ScheduledProcedureStepStartTime);
    pane.AppendLine("Scheduled Performing Physician: " + item.ScheduledPerformingPhysiciansName);
    pane.AppendLine("");
}

} // namespace

JobOutcome FindJob(JobContext& job) {
    if (!job.Inputs.Workflow.Level.empty())
        return FindLevelJob(job);
    const QueryFilter& filter = job.Inputs.Filter;
    StudyInfo query;
    query.PatientsName = filter.PatientName;
    query.StudyDate = filter.DateRange;
    query.AccessionNumber = filter.AccessionNumber;
    query.ModalitiesInStudy = filter.Modality;
    FindList list;
    list.emplace_back(std::move(query));

    PDU_Service service;
    int result = -1;
    if (!openAssociation(service, job, StudyRootFindSopClass)) {
        job.Reason = Diagnosis::LinkReason(service);
        job.Pane.AppendLine("Association Failed!");
    } else {
        bool sent = WriteFindRQ(service, list, StudyRootFindSopClass, "STUDY");
        // The query record is not a result, whether the request went out or not.
        list.clear();
        // Only a pending status promises another response; anything else is final.
        if (sent)
            do {
                result = ReadFindRSP(service, list, "STUDY", &job.Reason);
                if (IsFindPending(result))
                    countRecord();
            } while (IsFindPending(result));
        else
            job.Reason = Diagnosis::LinkReason(service, "sending the C-FIND-RQ");
        job.Pane.AppendLine("");
        for (const FindRecord& record : list)
            appendStudy(job.Pane, std::get<StudyInfo>(record));
        job.Pane.AppendLine("No studies: " + std::to_string(list.size()));
    }
    service.Close();
    return result == 0 ? JobOutcome::Succeeded : JobOutcome::Failed;
}

JobOutcome WorklistJob(JobContext& job) {
    const QueryFilter& filter = job.Inputs.Filter;
    TWorklistItem query;
    query.PatientsName = filter.PatientName;
    query.ScheduledProcedureStepStartDate = filter.DateRange;
    query.AccessionNumber = filter.AccessionNumber;
    query.Modality = filter.Modality;

    PDU_Service service;
    int result = -1;
    std::size_t items = 0;
    if (!openAssociation(service, job, WorklistFindSopClass)) {
        job.Reason = Diagnosis::LinkReason(service);
        job.Pane.AppendLine("Association Failed!");
    } else {
        DcmObj identifier;
        BuildWorklistQuery(query, identifier);
        if (!CFind::WriteRQ(service, identifier, WorklistFindSopClass))
            job.Reason = Diagnosis::LinkReason(service, "sending the C-FIND-RQ");
        else {
            for (;;) {
                identifier.Clear();
                result = CFind::ReadRSP(service, identifier, &job.Reason);
                // A failure status is final and carries no item.
                if (!IsFindPending(result))
                    break;
                TWorklistItem item;
                ReadWorklistItem(item, identifier);
                appendWorklistItem(job.Pane, item);
                countRecord();
                ++items;
            }
        }
        job.Pane.AppendLine("No items: " + std::to_string(items));
    }
    service.Close();
    return result == 0 ? JobOutcome::Succeeded : JobOutcome::Failed;
}

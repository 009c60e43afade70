#include "Mpps.h"

#include "Diagnosis.h"
#include "Log.h"
#include "UidTables.h"

#include <algorithm>
#include <memory>

namespace {

// Inside the step's items the VRs are the dictionary's; empty texts are type 2 attributes.
void text(DcmObj& target, uint16_t group, uint16_t element, const std::string& value) {
    target.AddString(group, element, value);
}

void emptySequence(DcmObj& target, uint16_t group, uint16_t element) {
    target.AddSequence(group, element, std::make_unique<DcmObj>());
}

std::unique_ptr<DcmObj> sequenceOf(std::vector<std::unique_ptr<DcmObj>> items) {
    auto sequence = std::make_unique<DcmObj>();
    for (auto& item : items)
        sequence->AddSequence(0xFFFE, 0xE000, std::move(item));
    return sequence;
}

std::unique_ptr<DcmObj> reference(const StoredInstance& instance) {
    auto item = std::make_unique<DcmObj>();
    text(*item, 0x0008, 0x1150, instance.SopClassUID);
    text(*item, 0x0008, 0x1155, instance.SopInstanceUID);
    return item;
}

MppsResult request(const ServicePeer& peer, const std::string& instanceUid, DcmObj& dataSet,
                   bool create) {
    MppsResult result;
    result.InstanceUID = instanceUid;
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, MppsSopClass)) {
        LogMessage("ERROR, MppsSCU, OpenAssoc failed");
        result.Reason = Diagnosis::LinkReason(service);
        service.Close();
        return result;
    }
    bool written = create ? NCommand::WriteCreateRQ(service, MppsSopClass, instanceUid, dataSet)
                          : NCommand::WriteSetRQ(service, MppsSopClass, instanceUid, dataSet);
    if (!written) {
        result.Reason = create ? "the N-CREATE request could not be sent"
                               : "the N-SET request could not be sent";
    } else {
        NCommand::Response r =
            NCommand::ReadRSP(service, create ? NCommand::CreateRSP : NCommand::SetRSP);
        // A warning (attribute list error, value out of range, ...): the peer took the request
        // and says what it made of it.
        const bool warning = Diagnosis::IsWarningStatus(r.Status);
        result.Ok = r.Status == 0 || warning;
        if (create && !r.AffectedInstance.empty())
            result.InstanceUID = r.AffectedInstance;
        const std::string answer =
            std::string(create ? "N-CREATE" : "N-SET") + " answered with " + NCommand::Describe(r);
        if (warning)
            result.Warning = answer;
        else if (!result.Ok)
            result.Reason = answer;
    }
    service.Close();
    return result;
}

} // namespace

void BuildMppsInProgress(const TWorklistItem& item, const MppsStart& start, DcmObj& dataSet) {
    text(dataSet, 0x0008, 0x0060, item.Modality);
    emptySequence(dataSet, 0x0008, 0x1120);
    text(dataSet, 0x0010, 0x0010, item.PatientsName);
    text(dataSet, 0x0010, 0x0020, item.PatientID);
    text(dataSet, 0x0010, 0x0030, item.PatientsBirthDate);
    text(dataSet, 0x0010, 0x0040, item.PatientsSex);
    text(dataSet, 0x0020, 0x0010, "");
    text(dataSet, 0x0040, 0x0241, start.PerformedStationAETitle);
    text(dataSet, 0x0040, 0x0242, "");
    text(dataSet, 0x0040, 0x0243, "");
    text(dataSet, 0x0040, 0x0244, start.StartDate);
    text(dataSet, 0x0040, 0x0245, start.StartTime);
    text(dataSet, 0x0040, 0x0250, "");
    text(dataSet, 0x0040, 0x0251, "");
    text(dataSet, 0x0040, 0x0252, "IN PROGRESS");
    text(dataSet, 0x0040, 0x0253, start.PerformedProcedureStepID);
    text(dataSet, 0x0040, 0x0254, item.ScheduledProcedureStepDescription);
    text(dataSet, 0x0040, 0x0255, "");
    emptySequence(dataSet, 0x0040, 0x0260);

    auto step = std::make_unique<DcmObj>();
    text(*step, 0x0008, 0x0050, item.AccessionNumber);
    emptySequence(*step, 0x0008, 0x1110);
    text(*step, 0x0020, 0x000D, item.StudyInstanceUID);
    text(*step, 0x0032, 0x1060, item.RequestedProcedureDescription);
    text(*step, 0x0040, 0x0007, item.ScheduledProcedureStepDescription);
    emptySequence(*step, 0x0040, 0x0008);
    text(*step, 0x0040, 0x0009, item.ScheduledProcedureStepID);
    text(*step, 0x0040, 0x1001, item.RequestedProcedureID);
    std::vector<std::unique_ptr<DcmObj>> items;
    items.push_back(std::move(step));
    dataSet.AddSequence(0x0040, 0x0270, sequenceOf(std::move(items)));

    emptySequence(dataSet, 0x0040, 0x0340);
}

void BuildMppsFinal(const std::string& status, const std::string& endDate,
                    const std::string& endTime, const std::vector<StoredInstance>& instances,
                    DcmObj& dataSet) {
    text(dataSet, 0x0040, 0x0250, endDate);
    text(dataSet, 0x0040, 0x0251, endTime);
    text(dataSet, 0x0040, 0x0252, status);

    std::vector<std::string> seriesUids;
    for (const StoredInstance& instance : instances)
        if (std::find(seriesUids.begin(), seriesUids.end(), instance.SeriesInstanceUID) ==
            seriesUids.end())
            seriesUids.push_back(instance.SeriesInstanceUID);
    std::vector<std::unique_ptr<DcmObj>> series;
    for (const std::string& uid : seriesUids) {
        std::vector<std::unique_ptr<DcmObj>> images, others;
        for (const StoredInstance& instance : instances)
            if (instance.SeriesInstanceUID == uid)
                (IsImageSopClass(instance.SopClassUID) ? images : others)
                    .push_back(reference(instance));
        auto item = std::make_unique<DcmObj>();
        text(*item, 0x0008, 0x0054, "");
        text(*item, 0x0008, 0x103E, "");
        text(*item, 0x0008, 0x1050, "");
        text(*item, 0x0008, 0x1070, "");
        item->AddSequence(0x0008, 0x1140, sequenceOf(std::move(images)));
        // Type 1 in the series item; the files do not say which protocol ran.
        text(*item, 0x0018, 0x1030, "VESKARO");
        text(*item, 0x0020, 0x000E, uid);
        item->AddSequence(0x0040, 0x0220, sequenceOf(std::move(others)));
        series.push_back(std::move(item));
    }
    dataSet.AddSequence(0x0040, 0x0340, sequenceOf(std::move(series)));
}

MppsResult MppsCreate(const ServicePeer& peer, DcmObj& dataSet) {
    return request(peer, NewUid(), dataSet, true);
}

MppsResult MppsSet(const ServicePeer& peer, const std::string& instanceUid, DcmObj& dataSet) {
    return request(peer, instanceUid, dataSet, false);
}

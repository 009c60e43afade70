#include "Worklist.h"

#include "CharacterSet.h"

#include <memory>

namespace {

struct ItemField {
    uint16_t group;
    uint16_t element;
    std::string TWorklistItem::*field;
};

const ItemField itemFields[] = {
    {0x0010, 0x0010, &TWorklistItem::PatientsName},
    {0x0010, 0x0020, &TWorklistItem::PatientID},
    {0x0010, 0x0030, &TWorklistItem::PatientsBirthDate},
    {0x0010, 0x0040, &TWorklistItem::PatientsSex},
    {0x0008, 0x0050, &TWorklistItem::AccessionNumber},
    {0x0008, 0x0090, &TWorklistItem::ReferringPhysiciansName},
    {0x0032, 0x1032, &TWorklistItem::RequestingPhysician},
    {0x0010, 0x2110, &TWorklistItem::ContrastAllergies},
    {0x0020, 0x000D, &TWorklistItem::StudyInstanceUID},
    {0x0032, 0x1060, &TWorklistItem::RequestedProcedureDescription},
    {0x0040, 0x0003, &TWorklistItem::ScheduledProcedureStepStartTime},
    {0x0040, 0x0002, &TWorklistItem::ScheduledProcedureStepStartDate},
    {0x0008, 0x0060, &TWorklistItem::Modality},
    {0x0040, 0x0001, &TWorklistItem::ScheduledStationAETitle},
    {0x0040, 0x0006, &TWorklistItem::ScheduledPerformingPhysiciansName},
    {0x0032, 0x1070, &TWorklistItem::RequestedContrastAgent},
    {0x0040, 0x0009, &TWorklistItem::ScheduledProcedureStepID},
    {0x0040, 0x0007, &TWorklistItem::ScheduledProcedureStepDescription},
    {0x0040, 0x0010, &TWorklistItem::ScheduledStationName},
    {0x0040, 0x0011, &TWorklistItem::ScheduledProcedureStepLocation},
    {0x0040, 0x0012, &TWorklistItem::PreMedication},
    {0x0040, 0x0020, &TWorklistItem::ScheduledProcedureStepStatus},
    {0x0040, 0x1001, &TWorklistItem::RequestedProcedureID},
    {0x0040, 0x1003, &TWorklistItem::RequestedProcedurePriority},
};

void appendKey(DcmObj& identifier, uint16_t group, uint16_t element, const std::string& value) {
    identifier.Append(std::make_unique<DcmTag>(group, element, value, nullptr));
}

} // namespace

void BuildWorklistQuery(const TWorklistItem& q, DcmObj& identifier) {
    appendKey(identifier, 0x0008, 0x0050, q.AccessionNumber);
    appendKey(identifier, 0x0008, 0x0090, q.ReferringPhysiciansName);
    appendKey(identifier, 0x0010, 0x0010, q.PatientsName);
    appendKey(identifier, 0x0010, 0x0020, q.PatientID);
    appendKey(identifier, 0x0010, 0x0030, q.PatientsBirthDate);
    appendKey(identifier, 0x0010, 0x0040, q.PatientsSex);
    appendKey(identifier, 0x0020, 0x000D, q.StudyInstanceUID);
    appendKey(identifier, 0x0032, 0x1060, q.RequestedProcedureDescription);

    auto step = std::make_unique<DcmObj>();
    step->AddString(0x0008, 0x0060, q.Modality);
    step->AddString(0x0040, 0x0001, q.ScheduledStationAETitle);
    step->AddString(0x0040, 0x0002, q.ScheduledProcedureStepStartDate);
    step->AddString(0x0040, 0x0003, q.ScheduledProcedureStepStartTime);
    step->AddString(0x0040, 0x0006, q.ScheduledPerformingPhysiciansName);
    step->AddString(0x0040, 0x0007, q.ScheduledProcedureStepDescription);
    step->AddString(0x0040, 0x0009, q.ScheduledProcedureStepID);
    step->AddString(0x0040, 0x0010, q.ScheduledStationName);
    step->AddString(0x0040, 0x0011, q.ScheduledProcedureStepLocation);
    step->AddString(0x0040, 0x0012, q.PreMedication);
    step->AddString(0x0040, 0x0020, q.ScheduledProcedureStepStatus);
    step->AddValue(0x0032, 0x1070, 0, nullptr);

    auto sequence = std::make_unique<DcmObj>();
    sequence->AddSequence(0xFFFE, 0xE000, std::move(step));
    identifier.AddSequence(0x0040, 0x0100, std::move(sequence));

    appendKey(identifier, 0x0040, 0x1001, "");
    appendKey(identifier, 0x0040, 0x1003, "");
    DeclareQueryCharacterSet(identifier);
}

namespace {

void readItem(TWorklistItem& item, DcmObj& identifier, const std::string& characterSet) {
    for (int i = 0; i < identifier.Count(); ++i) {
        if (DcmObj* nested = identifier.ObjAt(i)) {
            nested->explicitVR = identifier.explicitVR;
            readItem(item, *nested, characterSet);
            continue;
        }
        const DcmTag& tag = *identifier.TagAt(i);
        if (tag.length == 0 || tag.length == UndefinedLength)
            continue;
        for (const ItemField& f : itemFields)
            if (tag.Is(f.group, f.element))
                item.*f.field = DecodeText(tag.GetString(), characterSet);
    }
}

} // namespace

void ReadWorklistItem(TWorklistItem& item, DcmObj& identifier) {
    readItem(item, identifier, SpecificCharacterSet(identifier));
}

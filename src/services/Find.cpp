#include "Find.h"

#include "Association.h"
#include "CharacterSet.h"
#include "Diagnosis.h"
#include "IdentifierCounter.h"
#include "Log.h"

#include <cstdlib>
#include <memory>

namespace {

struct TextKey {
    uint16_t group;
    uint16_t element;
    const char* vr;
};

void appendText(DcmObj& identifier, const TextKey& key, const std::string& value) {
    identifier.Append(std::make_unique<DcmTag>(key.group, key.element, value, key.vr));
}

// Hands each usable element of the identifier's top level to use: element entries outside
// undefined-length sequences, with a value. Nested data sets (sequences of defined length)
// are passed over. The image reader never lets a stray delimiter push the depth below 0.
template <typename Use>
void forEachTopLevelValue(const DcmObj& identifier, bool clampDepth, Use&& use) {
    int depth = 0;
    for (int i = 0; i < identifier.Count(); ++i) {
        const DcmTag* tag = identifier.TagAt(i);
        if (!tag)
            continue;
        if (tag->IsVR("SQ") && tag->length == UndefinedLength)
            ++depth;
        if (depth == 0 && tag->length != 0 && tag->length != UndefinedLength)
            use(*tag);
        if (tag->Is(0xFFFE, 0xE0DD) && (!clampDepth || depth > 0))
            --depth;
    }
}

template <typename Record> struct FieldOf {
    uint16_t group;
    uint16_t element;
    std::string Record::*field;
};

template <typename Record, std::size_t N>
void storeText(Record& record, const FieldOf<Record> (&fields)[N], const DcmTag& tag,
               const std::string& text) {
    for (const FieldOf<Record>& f : fields)
        if (tag.Is(f.group, f.element))
            record.*f.field = text;
}

const FieldOf<StudyInfo> studyFields[] = {
    {0x0020, 0x000D, &StudyInfo::StudyInstanceUID},
    {0x0008, 0x0020, &StudyInfo::StudyDate},
    {0x0008, 0x0030, &StudyInfo::StudyTime},
    {0x0020, 0x0010, &StudyInfo::StudyID},
    {0x0008, 0x1030, &StudyInfo::StudyDescription},
    {0x0008, 0x0050, &StudyInfo::AccessionNumber},
    {0x0008, 0x0080, &StudyInfo::InstitutionName},
    {0x0008, 0x0090, &StudyInfo::ReferringPhysiciansName},
    {0x0008, 0x0061, &StudyInfo::ModalitiesInStudy},
    {0x0008, 0x0060, &StudyInfo::ModalitiesInStudy},
    {0x0008, 0x1070, &StudyInfo::OperatorsName},
    {0x0010, 0x0020, &StudyInfo::PatientID},
    {0x0010, 0x0010, &StudyInfo::PatientsName},
    {0x0010, 0x0030, &StudyInfo::PatientsBirthDate},
    {0x0010, 0x0040, &StudyInfo::PatientsSex},
    {0x0010, 0x1010, &StudyInfo::PatientsAge},
    {0x0010, 0x1030, &StudyInfo::PatientsWeight},
    {0x0010, 0x4000, &StudyInfo::PatientComments},
};

const FieldOf<SeriesInfo> seriesFields[] = {
    {0x0020, 0x000E, &SeriesInfo::SeriesInstanceUID},
    {0x0020, 0x0011, &SeriesInfo::SeriesNumber},
    {0x0008, 0x0021, &SeriesInfo::SeriesDate},
    {0x0008, 0x0031, &SeriesInfo::SeriesTime},
    {0x0008, 0x103E, &SeriesInfo::SeriesDescription},
    {0x0008, 0x0060, &SeriesInfo::Modality},
    {0x0018, 0x5100, &SeriesInfo::PatientPosition},
    {0x0008, 0x0080, &SeriesInfo::InstitutionName},
    {0x0008, 0x1070, &SeriesInfo::OperatorsName},
    {0x0018, 0x0015, &SeriesInfo::BodyPartExamined},
    {0x0018, 0x1030, &SeriesInfo::ProtocolName},
    {0x0020, 0x0052, &SeriesInfo::FrameOfReferenceUID},
    {0x0020, 0x000D, &SeriesInfo::StudyInstanceUID},
};

const FieldOf<ImageInfo> imageTextFields[] = {
    {0x0008, 0x0018, &ImageInfo::SOPInstanceUID},
    {0x0008, 0x0016, &ImageInfo::SOPClassUID},
    {0x0020, 0x0013, &ImageInfo::InstanceNumber},
    {0x0008, 0x0023, &ImageInfo::ContentDate},
    {0x0008, 0x0033, &ImageInfo::ContentTime},
    {0x0028, 0x0008, &ImageInfo::NumberOfFrames},
    {0x0008, 0x0022, &ImageInfo::AcquisitionDate},
    {0x0008, 0x0032, &ImageInfo::AcquisitionTime},
    {0x0020, 0x0012, &ImageInfo::AcquisitionNumber},
    {0x0020, 0x1041, &ImageInfo::SliceLocation},
    {0x0028, 0x0004, &ImageInfo::PhotometricInterpretation},
    {0x0008, 0x0008, &ImageInfo::ImageType},
    {0x0008, 0x0068, &ImageInfo::PresentationIntentType},
    {0x0020, 0x0037, &ImageInfo::ImageOrientationPatient},
    {0x0020, 0x0032, &ImageInfo::ImagePositionPatient},
    {0x0020, 0x000E, &ImageInfo::SeriesInstanceUID},
    {0x0020, 0x000D, &ImageInfo::StudyInstanceUID},
    {0x0018, 0x1210, &ImageInfo::ConvolutionKernel},
};

struct NumberOf {
    uint16_t group;
    uint16_t element;
    uint16_t ImageInfo::*field;
};

const NumberOf imageNumberFields[] = {
    {0x0028, 0x0002, &ImageInfo::SamplesPerPixel},
    {0x0028, 0x0010, &ImageInfo::Rows},
    {0x0028, 0x0011, &ImageInfo::Columns},
    {0x0028, 0x0101, &ImageInfo::BitsAllocated},
};

// The leading decimal number of text, as atoi reads it; 0 when there is none.
uint16_t decimalValue(const std::string& text) {
    return static_cast<uint16_t>(std::strtol(text.c_str(), nullptr, 10));
}

void limit(std::string& field, std::size_t maximum, const char* warning) {
    if (field.size() <= maximum)
        return;
    if (warning)
        LogMessage(std::string(warning) + field);
    field.resize(maximum);
}

template <typename Record>
void appendMatch(FindList& list, const DcmObj& identifier, void (*read)(Record&, const DcmObj&)) {
    Record record;
    read(record, identifier);
    list.emplace_back(std::move(record));
}

} // namespace

void BuildStudyQuery(const StudyInfo& r, DcmObj& identifier) {
    appendText(identifier, {0x0008, 0x0020, "DA"}, r.StudyDate);
    appendText(identifier, {0x0008, 0x0030, "TM"}, r.StudyTime);
    appendText(identifier, {0x0008, 0x0050, "SH"}, r.AccessionNumber);
    appendText(identifier, {0x0008, 0x0052, "CS"}, "STUDY");
    appendText(identifier, {0x0008, 0x0061, "CS"}, r.ModalitiesInStudy);
    appendText(identifier, {0x0008, 0x0080, "LO"}, r.InstitutionName);
    appendText(identifier, {0x0008, 0x0090, "PN"}, r.ReferringPhysiciansName);
    appendText(identifier, {0x0008, 0x1030, "LO"}, r.StudyDescription);
    appendText(identifier, {0x0010, 0x0010, "PN"}, r.PatientsName);
    appendText(identifier, {0x0010, 0x0020, "LO"}, r.PatientID);
    appendText(identifier, {0x0010, 0x0030, "DA"}, r.PatientsBirthDate);
    appendText(identifier, {0x0010, 0x0040, "CS"}, r.PatientsSex);
    appendText(identifier, {0x0010, 0x4000, "LT"}, r.PatientComments);
    appendText(identifier, {0x0020, 0x000D, "UI"}, r.StudyInstanceUID);
    appendText(identifier, {0x0020, 0x0010, "SH"}, r.StudyID);
    DeclareQueryCharacterSet(identifier);
}

void BuildSeriesQuery(const SeriesInfo& r, DcmObj& identifier) {
    appendText(identifier, {0x0008, 0x0021, "DA"}, r.SeriesDate);
    appendText(identifier, {0x0008, 0x0031, "TM"}, r.SeriesTime);
    appendText(identifier, {0x0008, 0x0052, "CS"}, "SERIES");
    appendText(identifier, {0x0008, 0x0060, "CS"}, r.Modality);
    appendText(identifier, {0x0008, 0x0080, "CS"}, r.InstitutionName);
    appendText(identifier, {0x0008, 0x103E, "LO"}, r.SeriesDescription);
    appendText(identifier, {0x0008, 0x1070, "PN"}, r.OperatorsName);
    appendText(identifier, {0x0018, 0x0015, "CS"}, r.BodyPartExamined);
    appendText(identifier, {0x0018, 0x1030, "LO"}, r.ProtocolName);
    appendText(identifier, {0x0018, 0x5100, "CS"}, r.PatientPosition);
    appendText(identifier, {0x0020, 0x000D, "UI"}, r.StudyInstanceUID);
    appendText(identifier, {0x0020, 0x000E, "UI"}, r.SeriesInstanceUID);
    appendText(identifier, {0x0020, 0x0011, "IS"}, r.SeriesNumber);
}

void BuildImageQuery(const ImageInfo& r, DcmObj& identifier) {
    appendText(identifier, {0x0008, 0x0016, "UI"}, r.SOPClassUID);
    appendText(identifier, {0x0008, 0x0018, "UI"}, r.SOPInstanceUID);
    appendText(identifier, {0x0008, 0x0022, "DA"}, r.AcquisitionDate);
    appendText(identifier, {0x0008, 0x0023, "DA"}, r.ContentDate);
    appendText(identifier, {0x0008, 0x0032, "TM"}, r.AcquisitionTime);
    appendText(identifier, {0x0008, 0x0033, "TM"}, r.ContentTime);
    appendText(identifier, {0x0008, 0x0052, "CS"}, "IMAGE");
    appendText(identifier, {0x0020, 0x000D, "UI"}, r.StudyInstanceUID);
    appendText(identifier, {0x0020, 0x000E, "UI"}, r.SeriesInstanceUID);
    appendText(identifier, {0x0020, 0x0012, "IS"}, r.AcquisitionNumber);
    appendText(identifier, {0x0020, 0x0013, "IS"}, r.InstanceNumber);
    // Return keys only: the record's numbers are results, never matching values.
    appendText(identifier, {0x0028, 0x0010, "US"}, "");
    appendText(identifier, {0x0028, 0x0011, "US"}, "");
}

void ReadStudyInfo(StudyInfo& record, const DcmObj& identifier) {
    const std::string characterSet = SpecificCharacterSet(identifier);
    forEachTopLevelValue(identifier, false, [&](const DcmTag& tag) {
        storeText(record, studyFields, tag, DecodeText(tag.GetString(), characterSet));
    });
    limit(record.PatientsName, 64, "WARNING, PatientName length>64, ");
    limit(record.AccessionNumber, 16, "WARNING, Accession number length>16, ");
    limit(record.InstitutionName, 64, "WARNING, InstitutionName length>64, ");
    limit(record.StudyDescription, 64, "WARNING, StudyDescription length>64, ");
    limit(record.OperatorsName, 64, "WARNING, Operators Name length>64, ");
    limit(record.StudyID, 16, nullptr);
}

void ReadSeriesInfo(SeriesInfo& record, const DcmObj& identifier) {
    forEachTopLevelValue(identifier, false, [&](const DcmTag& tag) {
        storeText(record, seriesFields, tag, tag.GetString());
    });
}

void ReadImageInfo(ImageInfo& record, const DcmObj& identifier) {
    forEachTopLevelValue(identifier, true, [&](const DcmTag& tag) {
        std::string text = tag.IsVR("US") ? std::to_string(tag.GetUShort()) : tag.GetString();
        storeText(record, imageTextFields, tag, text);
        for (const NumberOf& n : imageNumberFields)
            if (tag.Is(n.group, n.element))
                record.*n.field = decimalValue(text);
    });
}

bool CFind::WriteRQ(PDU_Service& service, DcmObj& identifier, const std::string& sopClassUid) {
    std::unique_ptr<DcmObj> command = CommandSet()
                                          .Uid(0x0002, sopClassUid)
                                          .UShort(0x0100, 0x0020)
                                          .UShort(0x0110, NextMessageID())
                                          .UShort(0x0700, 0)
                                          .UShort(0x0800, 0x0102)
                                          .Build();
    if (!service.Write(*command, 1)) {
        LogMessage("ERROR, CFind::WriteRQ, PDU->Write failed!");
        return false;
    }
    if (identifier.Count() == 0)
        return true;
    return service.Write(identifier, 0);
}

int CFind::ReadRSP(PDU_Service& service, DcmObj& identifier, std::string* reason) {
    DcmObj command;
    if (!service.Read(command)) {
        LogMessage("ERROR, CFind::ReadRSP, PDU->Read Failed!");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "awaiting the C-FIND-RSP"));
        return -1;
    }
    if (command.GetUShort(0x0000, 0x0100) != 0x8020) {
        LogMessage("ERROR, CFind::ReadRSP, DCO not C-Find");
        Diagnosis::NoteReason(reason,
                              "C-FIND: the peer answered with another message than a C-FIND-RSP");
        return -1;
    }
    if (command.GetUShort(0x0000, 0x0800) != 0x0101 && !service.Read(identifier)) {
        Diagnosis::NoteReason(reason,
                              Diagnosis::LinkReason(service, "awaiting the C-FIND-RSP's data set"));
        return -1;
    }
    // A response without a status must not pass for a success (a missing element reads as 0).
    const DcmTag* status = command.GetTag(0x0000, 0x0900);
    if (!status || status->length != 2) {
        LogMessage("ERROR, CFind::ReadRSP, no Status");
        Diagnosis::NoteReason(reason, "C-FIND: the C-FIND-RSP holds no status");
        return -1;
    }
    int value = status->GetUShort();
    if (value != 0 && !IsFindPending(value))
        Diagnosis::NoteReason(reason, Diagnosis::StatusReason("C-FIND", ReadDimseStatus(command)));
    return value;
}

bool WriteFindRQ(PDU_Service& service, const FindList& list, const std::string& sopClassUid,
                 const std::string& level) {
    DcmObj identifier;
    if (!list.empty()) {
        const FindRecord& query = list.front();
        if (level == "STUDY" && std::holds_alternative<StudyInfo>(query))
            BuildStudyQuery(std::get<StudyInfo>(query), identifier);
        else if (level == "SERIES" && std::holds_alternative<SeriesInfo>(query))
            BuildSeriesQuery(std::get<SeriesInfo>(query), identifier);
        else if (level == "IMAGE" && std::holds_alternative<ImageInfo>(query))
            BuildImageQuery(std::get<ImageInfo>(query), identifier);
    }
    return CFind::WriteRQ(service, identifier, sopClassUid);
}

int ReadFindRSP(PDU_Service& service, FindList& list, const std::string& level,
                std::string* reason) {
    DcmObj identifier;
    int status = CFind::ReadRSP(service, identifier, reason);
    // Only a pending response carries a match; a failure status is final and carries none.
    if (!IsFindPending(status))
        return status;
    if (level == "STUDY")
        appendMatch(list, identifier, ReadStudyInfo);
    else if (level == "SERIES")
        appendMatch(list, identifier, ReadSeriesInfo);
    else if (level == "IMAGE")
        appendMatch(list, identifier, ReadImageInfo);
    return status;
}

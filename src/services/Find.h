#pragma once
// C-FIND as a service class user, Study Root: one request carries the query identifier of one
// level, built from a record that holds the matching keys; each pending response carries one
// match, read into a new record of the same kind. The worklist query uses CFind as well.

#include "PDU_Service.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

inline constexpr const char* StudyRootFindSopClass = "1.2.840.10008.5.1.4.1.2.2.1";

// C-FIND response statuses that promise another response.
inline constexpr int FindPending = 0xFF00;
inline constexpr int FindPendingWarning = 0xFF01;
inline bool IsFindPending(int status) {
    return status == FindPending || status == FindPendingWarning;
}

struct StudyInfo {
    std::string StudyInstanceUID;        // (0020,000D)
    std::string StudyDate;               // (0008,0020)
    std::string StudyTime;               // (0008,0030)
    std::string StudyID;                 // (0020,0010), at most 16
    std::string StudyDescription;        // (0008,1030), at most 64
    std::string AccessionNumber;         // (0008,0050), at most 16
    std::string InstitutionName;         // (0008,0080), at most 64
    std::string ReferringPhysiciansName; // (0008,0090)
    std::string ModalitiesInStudy;       // (0008,0061); a response's (0008,0060) as well
    std::string OperatorsName;           // (0008,1070), at most 64
    std::string PatientID;               // (0010,0020)
    std::string PatientsName;            // (0010,0010), at most 64
    std::string PatientsBirthDate;       // (0010,0030)
    std::string PatientsSex;             // (0010,0040)
    std::string PatientsAge;             // (0010,1010)
    std::string PatientsWeight;          // (0010,1030)
    std::string PatientComments;         // (0010,4000)
};

struct SeriesInfo {
    std::string SeriesInstanceUID;   // (0020,000E)
    std::string SeriesNumber;        // (0020,0011)
    std::string SeriesDate;          // (0008,0021)
    std::string SeriesTime;          // (0008,0031)
    std::string SeriesDescription;   // (0008,103E)
    std::string Modality;            // (0008,0060)
    std::string PatientPosition;     // (0018,5100)
    std::string InstitutionName;     // (0008,0080)
    std::string OperatorsName;       // (0008,1070)
    std::string BodyPartExamined;    // (0018,0015)
    std::string ProtocolName;        // (0018,1030)
    std::string FrameOfReferenceUID; // (0020,0052)
    std::string StudyInstanceUID;    // (0020,000D)
};

struct ImageInfo {
    std::string SOPInstanceUID;            // (0008,0018)
    std::string SOPClassUID;               // (0008,0016)
    std::string InstanceNumber;            // (0020,0013)
    std::string ContentDate;               // (0008,0023)
    std::string ContentTime;               // (0008,0033)
    std::string NumberOfFrames;            // (0028,0008)
    std::string AcquisitionDate;           // (0008,0022)
    std::string AcquisitionTime;           // (0008,0032)
    std::string AcquisitionNumber;         // (0020,0012)
    std::string SliceLocation;             // (0020,1041)
    uint16_t SamplesPerPixel = 0;          // (0028,0002)
    std::string PhotometricInterpretation; // (0028,0004)
    uint16_t Rows = 0;                     // (0028,0010)
    uint16_t Columns = 0;                  // (0028,0011)
    uint16_t BitsAllocated = 0;            // (0028,0101)
    std::string ImageType;                 // (0008,0008)
    std::string PresentationIntentType;    // (0008,0068)
    std::string ImageOrientationPatient;   // (0020,0037)
    std::string ImagePositionPatient;      // (0020,0032)
    std::string SeriesInstanceUID;         // (0020,000E)
    std::string StudyInstanceUID;          // (0020,000D)
    std::string ConvolutionKernel;         // (0018,1210)
};

using FindRecord = std::variant<StudyInfo, SeriesInfo, ImageInfo>;
// Query records first, then one result per pending response, in arrival order.
using FindList = std::vector<FindRecord>;

// The query identifiers: elements appended in a fixed order, an empty field as a length-0
// element (universal matching or a return key), the level as (0008,0052).
void BuildStudyQuery(const StudyInfo& record, DcmObj& identifier);
void BuildSeriesQuery(const SeriesInfo& record, DcmObj& identifier);
void BuildImageQuery(const ImageInfo& record, DcmObj& identifier);

// Fill a record from a response identifier: top-level elements only, skipping everything
// inside sequences; values trimmed. The study reader cuts over-long values (with a WARNING
// line for all but the Study ID).
void ReadStudyInfo(StudyInfo& record, const DcmObj& identifier);
void ReadSeriesInfo(SeriesInfo& record, const DcmObj& identifier);
void ReadImageInfo(ImageInfo& record, const DcmObj& identifier);

namespace CFind {
// Sends the C-FIND-RQ command set, then the identifier unless it is empty.
bool WriteRQ(PDU_Service& service, DcmObj& identifier, const std::string& sopClassUid);
// Reads one C-FIND-RSP and, when it says a data set follows, that data set into identifier.
// The status (0 to 65535), or -1 when no response could be read. reason, when given, is set
// to why the query failed: no response, or a status other than success and pending.
int ReadRSP(PDU_Service& service, DcmObj& identifier, std::string* reason = nullptr);
} // namespace CFind

// Builds the identifier of level ("STUDY", "SERIES", "IMAGE") from the list's first entry,
// which must be of the level's kind, and sends the request. The entry stays in the list for
// the caller to drop. An unknown level, an empty list or a record of another kind sends an
// empty identifier.
bool WriteFindRQ(PDU_Service& service, const FindList& list, const std::string& sopClassUid,
                 const std::string& level);

// Reads one response. For a pending status a record of the level's kind, filled from the
// response identifier, is appended to the list; success (0), failure statuses and -1 (nothing
// read) add nothing. Returns the status or -1.
int ReadFindRSP(PDU_Service& service, FindList& list, const std::string& level,
                std::string* reason = nullptr);

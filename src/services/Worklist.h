#pragma once
// The modality worklist query: a C-FIND whose identifier holds patient and requested-procedure
// keys at the top level and the scheduled procedure step keys inside the one item of the
// Scheduled Procedure Step Sequence (0040,0100).

#include "DcmObj.h"

#include <string>

inline constexpr const char* WorklistFindSopClass = "1.2.840.10008.5.1.4.31";

// Each field is filled from its element wherever it occurs in a response, and is the matching
// key of that element when the item serves as a query.
struct TWorklistItem {
    std::string PatientsName;                      // (0010,0010)
    std::string PatientID;                         // (0010,0020)
    std::string PatientsBirthDate;                 // (0010,0030)
    std::string PatientsSex;                       // (0010,0040)
    std::string AccessionNumber;                   // (0008,0050)
    std::string ReferringPhysiciansName;           // (0008,0090)
    std::string RequestingPhysician;               // (0032,1032), read but not requested
    std::string ContrastAllergies;                 // (0010,2110), read but not requested
    std::string StudyInstanceUID;                  // (0020,000D)
    std::string RequestedProcedureDescription;     // (0032,1060)
    std::string ScheduledProcedureStepStartTime;   // (0040,0003)
    std::string ScheduledProcedureStepStartDate;   // (0040,0002)
    std::string Modality;                          // (0008,0060)
    std::string ScheduledStationAETitle;           // (0040,0001)
    std::string ScheduledPerformingPhysiciansName; // (0040,0006)
    std::string RequestedContrastAgent;            // (0032,1070)
    std::string ScheduledProcedureStepID;          // (0040,0009)
    std::string ScheduledProcedureStepDescription; // (0040,0007)
    std::string ScheduledStationName;              // (0040,0010)
    std::string ScheduledProcedureStepLocation;    // (0040,0011)
    std::string PreMedication;                     // (0040,0012)
    std::string ScheduledProcedureStepStatus;      // (0040,0020)
    std::string RequestedProcedureID;              // (0040,1001)
    std::string RequestedProcedurePriority;        // (0040,1003)
};

// Appends the query to the (empty) identifier: eight top-level keys, the step sequence with one
// item whose keys stand in tag order, then (0040,1001) and (0040,1003) as return keys. VRs are
// the dictionary's; an empty field is a length-0 element.
void BuildWorklistQuery(const TWorklistItem& query, DcmObj& identifier);

// Fills item from a response identifier, walking into every nested item: the keys inside the
// step sequence fill the same fields as top-level ones, and the last occurrence of a tag wins.
void ReadWorklistItem(TWorklistItem& item, DcmObj& identifier);

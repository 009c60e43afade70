#pragma once
// Modality Performed Procedure Step, service class user: N-CREATE of the step IN PROGRESS from
// a worklist item, N-SET to COMPLETED or DISCONTINUED with the series it produced.

#include "NormalizedCommands.h"
#include "StoreFiles.h"
#include "Worklist.h"

#include <string>
#include <vector>

inline constexpr const char* MppsSopClass = "1.2.840.10008.3.1.2.3.3";

// What the step starts with beside the worklist item.
struct MppsStart {
    std::string PerformedStationAETitle;
    std::string StartDate; // YYYYMMDD
    std::string StartTime; // HHMMSS
    std::string PerformedProcedureStepID;
};

// The N-CREATE attributes: patient and study identifiers, the scheduled step attributes
// sequence (one item), station, start, status "IN PROGRESS", and the type 2 attributes empty.
void BuildMppsInProgress(const TWorklistItem& item, const MppsStart& start, DcmObj& dataSet);

// The N-SET attributes: end date and time, status ("COMPLETED" or "DISCONTINUED") and the
// performed series sequence, one item per series of the instances (images in the referenced
// image sequence, other classes in the non-image sequence).
void BuildMppsFinal(const std::string& status, const std::string& endDate,
                    const std::string& endTime, const std::vector<StoredInstance>& instances,
                    DcmObj& dataSet);

// The outcome of one request: the step's instance UID (ours, or the one the peer chose) and,
// when it failed, why.
struct MppsResult {
    bool Ok = false;
    std::string InstanceUID;
    std::string Reason;
    // A warning status (0001, 0107, 0116): the step was created or set, with this said of it.
    std::string Warning;
};

// N-CREATE with a new instance UID.
MppsResult MppsCreate(const ServicePeer& peer, DcmObj& dataSet);
MppsResult MppsSet(const ServicePeer& peer, const std::string& instanceUid, DcmObj& dataSet);

#pragma once
// C-FIND at study, series and image level, Study Root or Patient Root, returning the records;
// and the count of a study's instances for the workflow's query back.

#include "Find.h"
#include "NormalizedCommands.h"

#include <string>

inline constexpr const char* PatientRootFindSopClass = "1.2.840.10008.5.1.4.1.2.1.1";

struct LevelQuery {
    // "STUDY", "SERIES" or "IMAGE".
    std::string Level = "STUDY";
    bool PatientRoot = false;
    // The unique keys above the level (and at it, to match one).
    std::string PatientID;
    std::string StudyInstanceUID;
    std::string SeriesInstanceUID;
    std::string SOPInstanceUID;
};

// results receives one record of the level's kind per match; false with reason when the
// query did not end with status 0.
bool QueryAtLevel(const ServicePeer& peer, const LevelQuery& query, FindList& results,
                  std::string& reason);

// The study's instances: its Number of Study Related Instances when the peer gives it, else
// the matches of an image-level query. -1 with reason when the study was not found.
int CountStudyInstances(const ServicePeer& peer, const std::string& studyInstanceUid,
                        std::string& reason);

#include "LevelQuery.h"

#include "Diagnosis.h"
#include "Log.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string statusText(const char* what, int status) {
    if (status < 0)
        return std::string(what) + " got no answer";
    char text[96];
    std::snprintf(text, sizeof text, "%s ended with status %04X", what,
                  static_cast<unsigned>(status));
    return text;
}

void buildIdentifier(const LevelQuery& q, DcmObj& identifier) {
    if (q.Level == "SERIES") {
        SeriesInfo series;
        series.StudyInstanceUID = q.StudyInstanceUID;
        series.SeriesInstanceUID = q.SeriesInstanceUID;
        BuildSeriesQuery(series, identifier);
    } else if (q.Level == "IMAGE") {
        ImageInfo image;
        image.StudyInstanceUID = q.StudyInstanceUID;
        image.SeriesInstanceUID = q.SeriesInstanceUID;
        image.SOPInstanceUID = q.SOPInstanceUID;
        BuildImageQuery(image, identifier);
    } else {
        StudyInfo study;
        study.StudyInstanceUID = q.StudyInstanceUID;
        BuildStudyQuery(study, identifier);
    }
    if (q.PatientRoot)
        identifier.AddString(0x0010, 0x0020, q.PatientID);
}

} // namespace

bool QueryAtLevel(const ServicePeer& peer, const LevelQuery& query, FindList& results,
                  std::string& reason) {
    results.clear();
    const char* sopClass = query.PatientRoot ? PatientRootFindSopClass : StudyRootFindSopClass;
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, sopClass)) {
        reason = Diagnosis::LinkReason(service);
        service.Close();
        return false;
    }
    DcmObj identifier;
    buildIdentifier(query, identifier);
    int status = -1;
    if (CFind::WriteRQ(service, identifier, sopClass))
        do
            status = ReadFindRSP(service, results, query.Level);
        while (IsFindPending(status));
    service.Close();
    if (status == 0)
        return true;
    reason = statusText("the query", status);
    return false;
}

int CountStudyInstances(const ServicePeer& peer, const std::string& studyInstanceUid,
                        std::string& reason) {
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, StudyRootFindSopClass)) {
        reason = Diagnosis::LinkReason(service);
        service.Close();
        return -1;
    }
    DcmObj identifier;
    identifier.AddString(0x0008, 0x0052, "STUDY");
    identifier.AddString(0x0020, 0x000D, studyInstanceUid);
    identifier.AddString(0x0020, 0x1208, "");
    int status = -1, studies = 0;
    std::string related;
    if (CFind::WriteRQ(service, identifier, StudyRootFindSopClass)) {
        for (;;) {
            DcmObj answer;
            status = CFind::ReadRSP(service, answer);
            if (!IsFindPending(status))
                break;
            ++studies;
            related = answer.GetString(0x0020, 0x1208);
        }
    }
    service.Close();
    if (status != 0) {
        reason = statusText("the study query", status);
        return -1;
    }
    if (studies == 0) {
        reason = "the study " + studyInstanceUid + " was not found";
        return -1;
    }
    if (!related.empty())
        return std::atoi(related.c_str());
    LevelQuery images;
    images.Level = "IMAGE";
    images.StudyInstanceUID = studyInstanceUid;
    FindList found;
    if (!QueryAtLevel(peer, images, found, reason))
        return -1;
    return static_cast<int>(found.size());
}

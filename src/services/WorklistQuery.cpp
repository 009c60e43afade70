#include "WorklistQuery.h"

#include "Diagnosis.h"
#include "Find.h"

#include <cstdio>

bool QueryWorklistItems(const ServicePeer& peer, const TWorklistItem& query,
                        std::vector<TWorklistItem>& items, std::string& reason) {
    items.clear();
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, WorklistFindSopClass)) {
        reason = Diagnosis::LinkReason(service);
        service.Close();
        return false;
    }
    DcmObj identifier;
    BuildWorklistQuery(query, identifier);
    int status = -1;
    if (CFind::WriteRQ(service, identifier, WorklistFindSopClass)) {
        for (;;) {
            identifier.Clear();
            status = CFind::ReadRSP(service, identifier);
            if (!IsFindPending(status))
                break;
            TWorklistItem item;
            ReadWorklistItem(item, identifier);
            items.push_back(item);
        }
    }
    service.Close();
    if (status == 0)
        return true;
    char text[64];
    std::snprintf(text, sizeof text, "the worklist query ended with status %04X",
                  static_cast<unsigned>(status));
    reason = status < 0 ? "the worklist query got no answer" : text;
    return false;
}

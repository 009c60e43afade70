#pragma once
// The modality worklist query as a step of the workflow: the items themselves, not pane lines.

#include "NormalizedCommands.h"
#include "Worklist.h"

#include <string>
#include <vector>

// True when the query ended with status 0; items receives every pending response's item,
// reason why it failed otherwise.
bool QueryWorklistItems(const ServicePeer& peer, const TWorklistItem& query,
                        std::vector<TWorklistItem>& items, std::string& reason);

#pragma once
// Plugs the services' job bodies into the job table.

#include "Job.h"

void RegisterServiceJobBodies(JobBodyTable& table);

// The bodies kept in files of their own.
JobOutcome StoreJob(JobContext& job);
JobOutcome PrintJob(JobContext& job);

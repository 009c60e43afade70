#pragma once
// Plugs the services' job bodies into the job table.

#include "Job.h"
#include "Socket.h"

void RegisterServiceJobBodies(JobBodyTable& table);

// The bodies kept in files of their own.
JobOutcome StoreJob(JobContext& job);
JobOutcome PrintJob(JobContext& job);

// The TLS session a job asks for: the record's check box, the extra settings' trust and
// client certificate.
TlsOptions JobTlsOptions(const JobInputs& inputs);

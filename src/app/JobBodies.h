#pragma once
// Plugs the services' job bodies into the job table.

#include "Job.h"
#include "Socket.h"

// Every service's body. The print body draws with Qt Gui, so it lives with PrintJob: a program
// that registers only the network bodies does not load Qt Gui at all.
void RegisterServiceJobBodies(JobBodyTable& table);
void RegisterNetworkJobBodies(JobBodyTable& table);

// The bodies kept in files of their own.
JobOutcome StoreJob(JobContext& job);
JobOutcome PrintJob(JobContext& job);

// The TLS session a job asks for: the record's check box, the extra settings' trust and
// client certificate.
TlsOptions JobTlsOptions(const JobInputs& inputs);

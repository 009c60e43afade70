#pragma once
// Plugs the services' job bodies into the job table.

#include "Job.h"

void RegisterServiceJobBodies(JobBodyTable& table);

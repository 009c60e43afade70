#pragma once
// The bodies of the FIND (study query) and WORKLIST (modality worklist) jobs.

#include "Job.h"

JobOutcome FindJob(JobContext& job);
JobOutcome WorklistJob(JobContext& job);

#pragma once
// The bodies of the jobs beyond the five services: STORE of several files, and the steps of
// a modality's scheduled workflow.

#include "Job.h"

// STORE of the files and directories in the inputs' FileNames.
JobOutcome StoreFilesJob(JobContext& job);

// MPPS start (N-CREATE from worklist item N), complete or discontinue (N-SET with the files).
JobOutcome MppsJob(JobContext& job);

// COMMIT: storage commitment of the inputs' files.
JobOutcome CommitJob(JobContext& job);

// FIND at the inputs' level (series, image; study with Patient Root), Study or Patient Root.
JobOutcome FindLevelJob(JobContext& job);

// MOVE (to our own AE title, received on the local port) and GET (on the same association)
// at the inputs' level; the objects are written to the inputs' receive directory.
JobOutcome MoveJob(JobContext& job);
JobOutcome GetJob(JobContext& job);

// WORKFLOW: worklist item, MPPS in progress, store under the item's identifiers, MPPS
// completed, storage commitment, study query back.
JobOutcome WorkflowJob(JobContext& job);

// Plugs the workflow kinds' bodies into the table.
void RegisterWorkflowJobBodies(JobBodyTable& table);

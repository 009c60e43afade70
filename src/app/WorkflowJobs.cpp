#include "WorkflowJobs.h"

void RegisterWorkflowJobBodies(JobBodyTable& table) {
    table.Register("MPPS", MppsJob);
    table.Register("COMMIT", CommitJob);
    table.Register("MOVE", MoveJob);
    table.Register("GET", GetJob);
    table.Register("WORKFLOW", WorkflowJob);
}

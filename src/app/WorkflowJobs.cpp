#include "WorkflowJobs.h"

void RegisterWorkflowJobBodies(JobBodyTable& table) {
    table.Register("MPPS", MppsJob);
    table.Register("COMMIT", CommitJob);
    table.Register("WORKFLOW", WorkflowJob);
}

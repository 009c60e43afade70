// The STORE job's body: one file to the remote AE, converted to the accepted transfer syntax.

#include "JobBodies.h"
#include "JobControl.h"
#include "Setup.h"
#include "Store.h"
#include "WorkflowJobs.h"

JobOutcome StoreJob(JobContext& job) {
    if (!job.Inputs.FileNames.empty())
        return StoreFilesJob(job);
    const SettingsRecord& s = job.Inputs.Settings;
    bool ok =
        StoreSCU(SettingsText(s.LocalAET), SettingsText(s.RemoteAET), SettingsText(s.RemoteHost),
                 SettingsText(s.RemotePort), job.Inputs.FileName, job.TransferSyntaxUID,
                 job.ReadTimeoutSeconds, JobTlsOptions(job.Inputs), &job.Reason);
    if (ok) {
        job.ResultDetail = ", file " + job.Inputs.FileName;
        if (const JobControl* control = CurrentJobControl())
            job.ResultDetail += ", sent as " + control->TransferSyntaxSent;
    }
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

// The STORE job's body: one file to the remote AE, converted to the accepted transfer syntax.

#include "JobBodies.h"
#include "Setup.h"
#include "Store.h"

JobOutcome StoreJob(JobContext& job) {
    const SettingsRecord& s = job.Inputs.Settings;
    bool ok = StoreSCU(SettingsText(s.LocalAET), SettingsText(s.RemoteAET),
                       SettingsText(s.RemoteHost), SettingsText(s.RemotePort), job.Inputs.FileName,
                       job.TransferSyntaxUID, job.ReadTimeoutSeconds, s.UseTls != 0, &job.Reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

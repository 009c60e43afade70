#include "JobBodies.h"

#include "Echo.h"
#include "FindJobs.h"
#include "Setup.h"

namespace {

JobOutcome echoJob(JobContext& job) {
    const SettingsRecord& s = job.Inputs.Settings;
    bool ok =
        EchoSCU(SettingsText(s.LocalAET), SettingsText(s.RemoteAET), SettingsText(s.RemoteHost),
                SettingsText(s.RemotePort), job.ReadTimeoutSeconds, s.UseTls != 0, &job.Reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

} // namespace

void RegisterServiceJobBodies(JobBodyTable& table) {
    table.Register("ECHO", echoJob);
    table.Register("STORE", StoreJob);
    table.Register("PRINT", PrintJob);
    table.Register("FIND", FindJob);
    table.Register("WORKLIST", WorklistJob);
}

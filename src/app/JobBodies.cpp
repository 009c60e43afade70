#include "JobBodies.h"

#include "Echo.h"
#include "FindJobs.h"
#include "Setup.h"
#include "WorkflowJobs.h"

TlsOptions JobTlsOptions(const JobInputs& inputs) {
    TlsOptions tls(inputs.Settings.UseTls != 0);
    tls.caFile = inputs.Extra.TlsCaFile;
    tls.certificateFile = inputs.Extra.TlsCertificateFile;
    tls.keyFile = inputs.Extra.TlsKeyFile;
    tls.acceptAnyServer = inputs.Extra.TlsAcceptAnyServer;
    tls.pinVersion12 = inputs.Extra.TlsPin12;
    return tls;
}

namespace {

JobOutcome echoJob(JobContext& job) {
    const SettingsRecord& s = job.Inputs.Settings;
    bool ok = EchoSCU(SettingsText(s.LocalAET), SettingsText(s.RemoteAET),
                      SettingsText(s.RemoteHost), SettingsText(s.RemotePort),
                      job.ReadTimeoutSeconds, JobTlsOptions(job.Inputs), &job.Reason);
    return ok ? JobOutcome::Succeeded : JobOutcome::Failed;
}

} // namespace

void RegisterNetworkJobBodies(JobBodyTable& table) {
    table.Register("ECHO", echoJob);
    table.Register("STORE", StoreJob);
    table.Register("FIND", FindJob);
    table.Register("WORKLIST", WorklistJob);
    RegisterWorkflowJobBodies(table);
}

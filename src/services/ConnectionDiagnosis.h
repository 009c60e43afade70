#pragma once
// The connection to the remote AE, step by step: resolve, TCP connect, TLS, A-ASSOCIATE with
// Verification, C-ECHO, A-RELEASE. Each step is timed; the first that fails ends the run with
// its reason and one hint about the likely cause.

#include "Transport.h"
#include <string>
#include <vector>

struct DiagnosisStep {
    // "Resolve", "TCP connect", "TLS", "A-ASSOCIATE", "C-ECHO", "A-RELEASE".
    std::string Name;
    bool Passed = false;
    long Milliseconds = 0;
    // What the step found: the addresses, the peer's parameters, the status.
    std::string Detail;
};

struct ConnectionDiagnosis {
    // The steps run, in order; the last one failed unless Passed.
    std::vector<DiagnosisStep> Steps;
    bool Passed = false;
    // The failed step's reason (as a job's "Reason: " line) and the hint; empty after a pass.
    std::string Reason;
    std::string Hint;
};

struct ConnectionSettings {
    std::string CallingTitle;
    std::string CalledTitle;
    std::string Host;
    std::string Port;
    int TimeoutSeconds = 30;
    bool UseTls = false;
    // Trust, client certificate and versions when UseTls is set.
    TlsOptions Tls;
};

ConnectionDiagnosis DiagnoseConnection(const ConnectionSettings& settings);

// The lines shown for a diagnosis: one per step, "✓" or "✗", its name, detail and time; after
// a failure "Reason: " and "Hint: " lines; a closing verdict line.
std::vector<std::string> DiagnosisLines(const ConnectionDiagnosis& diagnosis);

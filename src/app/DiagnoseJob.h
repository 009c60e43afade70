#pragma once
// The connection diagnosis and the probe as the window and the CLI run them: with the
// settings record, the log of the day for their kind, the lines to a pane.

#include "ConnectionDiagnosis.h"
#include "Job.h"
#include "Setup.h"

#include <string>

// The record's titles, host, port and TLS flag with the extra file's TLS options, and the ECHO
// job's time-out.
ConnectionSettings ConnectionSettingsFor(const SettingsRecord& settings,
                                         const ExtraSettings& extra = {});

// Takes the record's log level and makes the day's log file of kind (DIAGNOSE, PROBE) in
// logDir the current one, as a job does; logs "Starting " + kind.
void StartDiagnosticLog(const std::string& kind, const SettingsRecord& settings,
                        const std::string& logDir);

// Clears the pane, runs the diagnosis and writes its lines to the log and the pane.
ConnectionDiagnosis RunDiagnosis(const SettingsRecord& settings, const std::string& logDir,
                                 OutputPane& pane, const ExtraSettings& extra = {});

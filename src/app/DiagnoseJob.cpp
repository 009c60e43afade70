#include "DiagnoseJob.h"

#include "JobBodies.h"
#include "Log.h"

#include <ctime>

namespace {

std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

} // namespace

ConnectionSettings ConnectionSettingsFor(const SettingsRecord& s, const ExtraSettings& extra) {
    JobInputs inputs;
    inputs.Settings = s;
    inputs.Extra = extra;
    return {SettingsText(s.LocalAET),   SettingsText(s.RemoteAET),     SettingsText(s.RemoteHost),
            SettingsText(s.RemotePort), JobReadTimeoutSeconds("ECHO"), s.UseTls != 0,
            JobTlsOptions(inputs)};
}

void StartDiagnosticLog(const std::string& kind, const SettingsRecord& settings,
                        const std::string& logDir) {
    CurrentLogLevel = settings.LogLevel;
    SetLogTargets(logDir + today() + "_" + kind + ".log");
    LogMessage("Starting " + kind);
}

ConnectionDiagnosis RunDiagnosis(const SettingsRecord& settings, const std::string& logDir,
                                 OutputPane& pane, const ExtraSettings& extra) {
    StartDiagnosticLog("DIAGNOSE", settings, logDir);
    pane.Clear();
    ConnectionDiagnosis diagnosis = DiagnoseConnection(ConnectionSettingsFor(settings, extra));
    for (const std::string& line : DiagnosisLines(diagnosis)) {
        LogMessage(line);
        pane.AppendLine(line);
    }
    return diagnosis;
}

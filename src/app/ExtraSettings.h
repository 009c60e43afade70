#pragma once
// The settings beyond the fixed settings record, in the INI file "veskaro-extra.cfg" beside
// "veskaro.cfg". A missing file or key gives the default; the record's file is never touched.

#include <string>

struct ExtraSettings {
    // The listening side (storage commitment reports, C-MOVE's storage); 0 for none.
    int LocalPort = 11112;
    // The performed procedure step manager; empty fields take the remote AE's values.
    std::string MppsHost;
    std::string MppsPort;
    std::string MppsAETitle;
    // How long a storage commitment request waits for its report.
    int CommitWaitSeconds = 30;
};

std::string ExtraSettingsFileName(const std::string& startDir);
ExtraSettings LoadExtraSettings(const std::string& fileName);
// False when the file could not be written.
bool SaveExtraSettings(const std::string& fileName, const ExtraSettings& settings);

#pragma once
// Settings that do not fit the fixed 440-byte record: one INI file "veskaro-extra.cfg" beside
// "veskaro.cfg". Only the front end reads and writes it; jobs get a copy of the plain struct
// and hand its values down as plain parameters. The record's file is never touched.
//
// Keys (QSettings INI):
//   [tls] ca_file      PEM file of extra trusted CAs, besides the system's store; empty: none
//   [tls] cert_file    PEM client certificate for peers that require mutual TLS; empty: none
//   [tls] key_file     PEM private key of the client certificate
//   [tls] accept_any   true: the server's certificate is not verified (default false)
//   [tls] pin_tls12    true: TLS 1.2 only; false: 1.2 up to the highest both ends offer
//   [Network] LocalPort       the listening side (commitment reports); 0 for none
//   [Mpps] Host, Port, AETitle the performed procedure step manager; empty: the remote AE's
//   [Commitment] WaitSeconds  how long a commitment request waits for its report
// A key missing from the file keeps its default, so files of older versions load as they are.

#include <string>

struct ExtraSettings {
    std::string TlsCaFile;
    std::string TlsCertificateFile;
    std::string TlsKeyFile;
    bool TlsAcceptAnyServer = false;
    bool TlsPin12 = false;

    int LocalPort = 11112;
    std::string MppsHost;
    std::string MppsPort;
    std::string MppsAETitle;
    int CommitWaitSeconds = 30;
};

// startDir (ending in a separator) + "veskaro-extra.cfg".
std::string ExtraSettingsFileName(const std::string& startDir);

// The file's values; the defaults for every key it lacks, and for all when there is no file.
ExtraSettings LoadExtraSettings(const std::string& fileName);
// False when the file could not be written.
bool SaveExtraSettings(const std::string& fileName, const ExtraSettings& settings);

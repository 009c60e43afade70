#pragma once
// Verification (C-ECHO).

#include "PDU_Service.h"

#include <string>

inline constexpr const char* VerificationSopClass = "1.2.840.10008.1.1";

namespace CEcho {
bool WriteRQ(PDU_Service& service, const std::string& sopClassUid);
// True only for a C-ECHO-RSP with status 0. reason, when given, says why not.
bool ReadRSP(PDU_Service& service, std::string* reason = nullptr);
} // namespace CEcho

bool WriteEchoRQ(PDU_Service& service, const std::string& sopClassUid);
bool ReadEchoRSP(PDU_Service& service);

// True when a C-ECHO-RSP with status 0 was received; the association is released in any case.
// reason, when given, is set to why it failed.
bool EchoSCU(const std::string& callingTitle, const std::string& calledTitle,
             const std::string& host, const std::string& port, int timeoutSeconds,
             const TlsOptions& tls, std::string* reason = nullptr);

#pragma once
// Storage (C-STORE) of one file.

#include "Diagnosis.h"
#include "PDU_Service.h"

#include <string>
#include <vector>

namespace CStore {
// Sends the C-STORE-RQ command set, then the data set when there is one.
bool WriteRQ(PDU_Service& service, DcmObj* dataSet, const std::string& sopClassUid);
// The response's status (0 success), -1 when none could be read, -2 for another kind.
// status, when given, gets the response's status, error comment and attributes.
int ReadRSP(PDU_Service& service, DimseStatus* status = nullptr);
} // namespace CStore

// Results of WriteStoreRQ.
namespace StoreResult {
constexpr int Sent = 0;
constexpr int NoPresentationContext = -1;
constexpr int UnknownTransferSyntax = -2;
constexpr int ConversionFailed = -3;
constexpr int NotWritten = -4;
} // namespace StoreResult

// Brings the data set into the transfer syntax of the chosen presentation context and sends
// it. A data set is never sent in a syntax other than the accepted one: when it cannot be
// brought there the result is ConversionFailed and nothing is sent.
int WriteStoreRQ(PDU_Service& service, DcmObj& dataSet, const std::string& sopClassUid);
int ReadStoreRSP(PDU_Service& service);

// True when the data set can be sent in target: as it is, relabelled between the uncompressed
// syntaxes, or converted. Deflate, JPEG-LS, MPEG and the like are only ever sent as they are.
bool CanSendIn(const DcmObj& dataSet, const std::string& sopClassUid, const std::string& target);
// The presentation contexts proposed for the data set, in the order they are preferred: the
// chosen syntax alone, the data set's own alone, then the fallbacks (explicit and implicit VR
// little endian) in one context. Only syntaxes the data set can be sent in are proposed.
std::vector<std::vector<std::string>> StoreProposals(const DcmObj& dataSet,
                                                     const std::string& sopClassUid,
                                                     const std::string& chosenTransferSyntax);
// Known elements stored as UN get their dictionary VR, for a data set about to be sent with
// explicit VR; the values are kept as they are, in the data set's byte order. Sequences and
// values too long for a short VR's length field stay UN.
void ResolveUnknownVRs(DcmObj& dataSet);

// True only when a C-STORE-RSP with status 0 was received; the association is released in
// every case once it was attempted. reason, when given, is set to why it failed.
bool StoreSCU(const std::string& callingTitle, const std::string& calledTitle,
              const std::string& host, const std::string& port, const std::string& fileName,
              const std::string& transferSyntaxUid, int timeoutSeconds, const TlsOptions& tls,
              std::string* reason = nullptr);

#pragma once
// Storage (C-STORE) of one file.

#include "Diagnosis.h"
#include "PDU_Service.h"

#include <string>

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

// The transfer syntax proposed first: the chosen one, unless the class is never converted, the
// conversion cannot write the chosen syntax, or no context accepted with it could be used
// (then empty).
std::string StorePreferredTransferSyntax(const std::string& sopClassUid,
                                         const std::string& chosenTransferSyntax);
// The data set's own syntax when a context accepted with it could be used, else empty: a
// peer that picks it (RLE, big endian) would leave the association without a usable context.
std::string StoreOtherTransferSyntax(const std::string& dataSetTransferSyntax);

// True only when a C-STORE-RSP with status 0 was received; the association is released in
// every case once it was attempted. reason, when given, is set to why it failed.
bool StoreSCU(const std::string& callingTitle, const std::string& calledTitle,
              const std::string& host, const std::string& port, const std::string& fileName,
              const std::string& transferSyntaxUid, int timeoutSeconds, bool useTls,
              std::string* reason = nullptr);

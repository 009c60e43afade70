#pragma once
// Why a job failed, in plain words for the engineer: the standard's meanings of the codes a
// peer answers with (association reject and abort, presentation context results, DIMSE
// statuses) and of the link's failures, put together into one reason text per failure. Every
// decoding table of the program is here.

#include "DcmObj.h"
#include "LinkFailure.h"
#include "PDU_Service.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The status part of a DIMSE response.
struct DimseStatus {
    // 0..65535; -1 when no response was read.
    int Status = -1;
    // (0000,0902) Error Comment, trimmed; empty when the peer sent none.
    std::string ErrorComment;
    // (0000,0901) Offending Element and (0000,1005) Attribute Identifier List, in that order.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> Attributes;
};

// The status, error comment and named attributes of a response command set.
DimseStatus ReadDimseStatus(const DcmObj& response);

namespace Diagnosis {

// "permanent" or "transient" (result 1, 2).
std::string RejectResultText(std::uint8_t result);
// "the service user", "the service provider (ACSE)", "the service provider (presentation)".
std::string RejectSourceText(std::uint8_t source);
// The meaning of reason for that source, with what to check where there is something.
std::string RejectReasonText(std::uint8_t source, std::uint8_t reason);
// "association rejected (permanent) by the service user: called AE title not recognised -
// check the Remote AET in Setup (result 1, source 1, reason 7)".
std::string RejectText(std::uint8_t result, std::uint8_t source, std::uint8_t reason);

// "the service user", "the service provider".
std::string AbortSourceText(std::uint8_t source);
std::string AbortReasonText(std::uint8_t reason);
// "association aborted by the service provider: unexpected PDU (source 2, reason 2)".
std::string AbortText(std::uint8_t source, std::uint8_t reason);

// The result of one presentation context: "accepted", "user rejection", "no reason",
// "abstract syntax not supported", "transfer syntaxes not supported".
std::string ContextResultText(std::uint8_t result);

// The standard's meaning of a DIMSE status: "out of resources" for 0xA700.
std::string StatusMeaning(int status);
// "0xA700 out of resources".
std::string StatusText(int status);
// Warnings: 0x0001, 0x0107, 0x0116, 0xBxxx.
bool IsWarningStatus(int status);

// The cause of a link failure; during names what was going on ("awaiting the C-ECHO-RSP")
// and is used when the failure does not name the awaited answer itself. Empty without a
// failure. A failure without a usable presentation context gets only a general text: the
// association knows more, see ContextReason.
std::string LinkText(const LinkFailure& failure, const std::string& during = {});

// Why no presentation context of the association could be used: the result of every context
// the peer answered, or the syntaxes it accepted that cannot carry a message.
std::string ContextReason(const PDU_Service& service);

// The failure of the association: LinkText, with ContextReason for a missing context. A
// general text when nothing was recorded.
std::string LinkReason(const PDU_Service& service, const std::string& during = {});

// "Film Box N-CREATE refused: 0x0106 invalid attribute value (Film Size ID 14INX17IN); the
// peer says: 'unknown film size'". request, when given, supplies the values of the attributes
// the peer named.
std::string StatusReason(const std::string& operation, const DimseStatus& status,
                         const DcmObj* request = nullptr);

// A file that could not be read: "file: 'x' not found", "... is not a regular file", or
// "file: 'x' " and cannotRead.
std::string FileReason(const std::string& fileName, const std::string& cannotRead);
inline constexpr const char* NotDicom =
    "is not DICOM: neither a DICOM file nor a data set could be read from it";

// "CT Image Storage (1.2.840.10008.5.1.4.1.1.2)", or the bare UID when it has no name.
std::string UidWithName(const std::string& uid);

// Keeps the first reason of a job: what fails after it is a consequence.
inline void NoteReason(std::string* out, std::string text) {
    if (out && out->empty())
        *out = std::move(text);
}

} // namespace Diagnosis

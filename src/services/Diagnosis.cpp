#include "Diagnosis.h"

#include "ByteOrder.h"
#include "DataDictionary.h"
#include "UidTables.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <netdb.h>
#include <openssl/sslerr.h>
#include <openssl/x509_vfy.h>

namespace {

std::string hex4(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value) & 0xFFFF);
    return text;
}

std::string hex2(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value) & 0xFF);
    return text;
}

std::string num(int value) {
    return std::to_string(value);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    std::size_t begin = text.find_first_not_of(' ');
    return begin == std::string::npos ? std::string() : text.substr(begin);
}

std::string errnoText(int error) {
    return "errno " + num(error) + ", " + std::strerror(error);
}

struct StatusRow {
    int status;
    const char* meaning;
};

// DIMSE statuses of the standard's service classes used here (verification, storage, query,
// worklist, print management), exact codes first; the ranges follow in statusMeaning.
constexpr StatusRow statusRows[] = {
    {0x0000, "success"},
    {0x0001, "requested optional attributes are not supported"},
    {0x0105, "no such attribute"},
    {0x0106, "invalid attribute value"},
    {0x0107, "attribute list error"},
    {0x0110, "processing failure"},
    {0x0111, "duplicate SOP instance"},
    {0x0112, "no such SOP instance"},
    {0x0113, "no such event type"},
    {0x0114, "no such argument"},
    {0x0115, "invalid argument value"},
    {0x0116, "attribute value out of range"},
    {0x0117, "invalid object instance"},
    {0x0118, "no such SOP class"},
    {0x0119, "class-instance conflict"},
    {0x0120, "missing attribute"},
    {0x0121, "missing attribute value"},
    {0x0122, "SOP class not supported"},
    {0x0123, "no such action type"},
    {0x0124, "not authorized"},
    {0x0210, "duplicate invocation"},
    {0x0211, "unrecognised operation"},
    {0x0212, "mistyped argument"},
    {0x0213, "resource limitation"},
    {0xB000, "coercion of data elements"},
    {0xB006, "elements discarded"},
    {0xB007, "data set does not match SOP class"},
    {0xB600, "memory allocation not supported"},
    {0xB601, "film session printing (collation) not supported"},
    {0xB602, "film session contains no image box with an image (empty page)"},
    {0xB603, "film box contains no image box with an image (empty page)"},
    {0xB604, "image size larger than image box size, the image was demagnified"},
    {0xB605, "requested density outside the printer's range"},
    {0xB609, "image size larger than image box size, the image was cropped"},
    {0xB60A, "image size larger than image box size, the image was decimated"},
    {0xC600, "film session contains no film box"},
    {0xC601, "print job not created: print queue full"},
    {0xC602, "print job not created: image larger than image box"},
    {0xC603, "image position collision"},
    {0xC613, "not enough memory in the printer to store the image"},
    {0xC616, "more than one VOI LUT box"},
    {0xFE00, "cancel"},
    {0xFF00, "pending"},
    {0xFF01, "pending, some optional keys not supported"},
};

std::string tagText(std::uint16_t group, std::uint16_t element) {
    char text[16];
    std::snprintf(text, sizeof text, "(%04X,%04X)", group, element);
    const DictEntry* entry = FindDictEntry(group, element);
    return entry && entry->name && *entry->name ? std::string(entry->name) : std::string(text);
}

// OpenSSL's verdicts on a certificate, said as the engineer would check them.
std::string verifyText(long verify) {
    switch (verify) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "the peer's certificate is self-signed";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "the peer's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "the peer's certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
        return "the certificate's name does not match the host";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        return "the certificate's issuer is not trusted here";
    default:
        return X509_verify_cert_error_string(verify);
    }
}

std::string tlsText(const LinkFailure& f) {
    std::string raw = " (SSL error " + num(f.Code);
    if (!f.Text.empty())
        raw += ", " + f.Text;
    raw += ")";
    const std::string step = "TLS handshake: ";
    switch (f.Detail) {
    case SSL_R_CERTIFICATE_VERIFY_FAILED:
        return step + "certificate verify failed: " + verifyText(f.Verify) + " (verify result " +
               num(static_cast<int>(f.Verify)) + ", " + f.Text + ")";
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return step + "the peer speaks no TLS: its answer is not a TLS record" + raw;
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return step + "no common protocol version: this side speaks TLS 1.2 only" + raw;
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_NO_SHARED_CIPHER:
        return step +
               "the peer refused the handshake: no common cipher, or it wants a client "
               "certificate" +
               raw;
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
        return step + "the peer refused this side's certificate" + raw;
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return step + "the peer closed the connection during the handshake; it may not speak TLS" +
               raw;
    default:
        break;
    }
    if (f.Code == SSL_ERROR_WANT_READ || f.Code == SSL_ERROR_WANT_WRITE)
        return step + "no TLS answer within " + num(f.Seconds) + " s; the peer may not speak TLS" +
               raw;
    if (f.Code == SSL_ERROR_SYSCALL) {
        if (f.Detail < 0)
            return step + "the link failed during the handshake (" + errnoText(-f.Detail) + ")";
        return step + "the peer closed the connection during the handshake; it may not speak TLS" +
               raw;
    }
    return step + "the handshake failed" + raw;
}

std::string pduName(int type) {
    switch (type) {
    case 1:
        return "A-ASSOCIATE-RQ";
    case 2:
        return "A-ASSOCIATE-AC";
    case 3:
        return "A-ASSOCIATE-RJ";
    case 4:
        return "P-DATA-TF";
    case 5:
        return "A-RELEASE-RQ";
    case 6:
        return "A-RELEASE-RP";
    case 7:
        return "A-ABORT";
    default:
        return {};
    }
}

std::string unexpectedPduText(int type) {
    std::string name = pduName(type);
    if (!name.empty())
        return "the peer sent an " + name + " out of turn (PDU type " + hex2(type) + ")";
    std::string text =
        "the peer answered with bytes that are not a DICOM PDU (first byte " + hex2(type) + ")";
    // 0x15 is a TLS alert, 0x16 a TLS handshake record.
    if (type == 0x15 || type == 0x16)
        text += ": a TLS record, the peer expects TLS";
    else if (type == 'H')
        text += ": it looks like HTTP";
    return text;
}

} // namespace

DimseStatus ReadDimseStatus(const DcmObj& response) {
    DimseStatus result;
    if (const DcmTag* status = response.GetTag(0x0000, 0x0900))
        result.Status = status->GetUShort();
    result.ErrorComment = trimmed(response.GetString(0x0000, 0x0902));
    for (std::uint16_t element : {std::uint16_t{0x0901}, std::uint16_t{0x1005}}) {
        const DcmTag* list = response.GetTag(0x0000, element);
        if (!list || !list->HasValue())
            continue;
        for (std::uint32_t at = 0; at + 4 <= list->length; at += 4) {
            const std::uint8_t* b = list->data.get() + at;
            result.Attributes.emplace_back(ByteOrder::Load16(b, ByteOrder::Little),
                                           ByteOrder::Load16(b + 2, ByteOrder::Little));
        }
    }
    return result;
}

namespace Diagnosis {

std::string RejectResultText(std::uint8_t result) {
    switch (result) {
    case 1:
        return "permanent";
    case 2:
        return "transient";
    default:
        return "result unknown";
    }
}

std::string RejectSourceText(std::uint8_t source) {
    switch (source) {
    case 1:
        return "the service user";
    case 2:
        return "the service provider (ACSE)";
    case 3:
        return "the service provider (presentation)";
    default:
        return "an unknown source";
    }
}

std::string RejectReasonText(std::uint8_t source, std::uint8_t reason) {
    if (source == 1) {
        switch (reason) {
        case 1:
            return "no reason given";
        case 2:
            return "application context name not supported";
        case 3:
            return "calling AE title not recognised - check the Local AET in Setup and the "
                   "peer's list of known AEs";
        case 7:
            return "called AE title not recognised - check the Remote AET in Setup";
        default:
            return "reserved reason";
        }
    }
    if (source == 2) {
        switch (reason) {
        case 1:
            return "no reason given";
        case 2:
            return "protocol version not supported";
        default:
            return "reserved reason";
        }
    }
    if (source == 3) {
        switch (reason) {
        case 1:
            return "temporary congestion - try again later";
        case 2:
            return "local limit exceeded - the peer has too many associations";
        default:
            return "reserved reason";
        }
    }
    return "reserved reason";
}

std::string RejectText(std::uint8_t result, std::uint8_t source, std::uint8_t reason) {
    return "association rejected (" + RejectResultText(result) + ") by " +
           RejectSourceText(source) + ": " + RejectReasonText(source, reason) + " (result " +
           num(result) + ", source " + num(source) + ", reason " + num(reason) + ")";
}

std::string AbortSourceText(std::uint8_t source) {
    switch (source) {
    case 0:
        return "the service user";
    case 2:
        return "the service provider";
    default:
        return "a reserved source";
    }
}

std::string AbortReasonText(std::uint8_t reason) {
    switch (reason) {
    case 0:
        return "reason not specified";
    case 1:
        return "unrecognised PDU";
    case 2:
        return "unexpected PDU";
    case 4:
        return "unrecognised PDU parameter";
    case 5:
        return "unexpected PDU parameter";
    case 6:
        return "invalid PDU parameter value";
    default:
        return "reserved reason";
    }
}

std::string AbortText(std::uint8_t source, std::uint8_t reason) {
    // A user's abort carries no significant reason.
    std::string why = source == 0 ? "the peer gave up" : AbortReasonText(reason);
    return "association aborted by " + AbortSourceText(source) + ": " + why + " (source " +
           num(source) + ", reason " + num(reason) + ")";
}

std::string ContextResultText(std::uint8_t result) {
    switch (result) {
    case 0:
        return "accepted";
    case 1:
        return "user rejection";
    case 2:
        return "no reason";
    case 3:
        return "abstract syntax not supported";
    case 4:
        return "transfer syntaxes not supported";
    default:
        return "unknown result";
    }
}

std::string StatusMeaning(int status) {
    for (const StatusRow& row : statusRows)
        if (row.status == status)
            return row.meaning;
    if ((status & 0xFF00) == 0xA700)
        return "out of resources";
    if ((status & 0xFF00) == 0xA900)
        return "data set does not match SOP class";
    if ((status & 0xF000) == 0xC000)
        return "cannot understand";
    if ((status & 0xF000) == 0xB000)
        return "warning";
    return "unknown status";
}

std::string StatusText(int status) {
    return hex4(status) + " " + StatusMeaning(status);
}

bool IsWarningStatus(int status) {
    return status == 0x0001 || status == 0x0107 || status == 0x0116 || (status & 0xF000) == 0xB000;
}

std::string LinkText(const LinkFailure& f, const std::string& during) {
    std::string step = !f.Awaited.empty() ? "awaiting the " + f.Awaited : during;
    std::string prefix = step.empty() ? std::string() : step + ": ";
    switch (f.Fault) {
    case LinkFault::None:
        return {};
    case LinkFault::UnknownPort:
        return "name resolution: the port '" + f.Text +
               "' is neither a number nor a known service name";
    case LinkFault::ResolveFailed:
        return "name resolution: the host name '" + f.Text +
               "' could not be resolved: " + gai_strerror(f.Code) + " (resolver error " +
               num(f.Code) + ")";
    case LinkFault::Refused:
        return "TCP connect: connection refused, nothing listens on " + f.Text + " (" +
               errnoText(f.Code) + ")";
    case LinkFault::ConnectTimedOut:
        return "TCP connect: no answer from " + f.Text +
               (f.Seconds > 0 ? " within " + num(f.Seconds) + " s" : std::string()) +
               ", a firewall or a wrong address is suspected (" + errnoText(f.Code) + ")";
    case LinkFault::ConnectFailed:
        return "TCP connect: " + f.Text + " cannot be reached (" + errnoText(f.Code) + ")";
    case LinkFault::TlsSetup:
        return "TLS: could not load " + f.Text;
    case LinkFault::TlsHandshake:
        return tlsText(f);
    case LinkFault::SendTimedOut:
        return prefix + "the peer took nothing for " + num(f.Seconds) + " s";
    case LinkFault::ReceiveTimedOut:
        return prefix + "no answer within " + num(f.Seconds) + " s";
    case LinkFault::Reset:
        return prefix + "connection reset by the peer (" + errnoText(f.Code) + ")";
    case LinkFault::Closed:
        return prefix + "the peer closed the connection";
    case LinkFault::Rejected:
        return RejectText(f.Result, f.Source, f.Reason);
    case LinkFault::Aborted:
        return prefix + AbortText(f.Source, f.Reason);
    case LinkFault::UnexpectedPdu:
        return prefix + unexpectedPduText(f.Code);
    case LinkFault::Malformed:
        return prefix + "the peer sent " + f.Text +
               " that breaks the protocol; the association was aborted";
    case LinkFault::PeerReleased:
        return prefix + "the peer released the association instead of answering";
    case LinkFault::NoUsableContext:
        return "presentation context: none of the proposed contexts can be used";
    case LinkFault::SourceChanged:
        return prefix + "the file " + f.Text +
               " changed while it was being sent; the association was aborted";
    }
    return {};
}

std::string FileReason(const std::string& fileName, const std::string& cannotRead) {
    if (fileName.empty())
        return "file: no file was chosen";
    std::error_code error;
    std::filesystem::file_status state = std::filesystem::status(fileName, error);
    if (!std::filesystem::exists(state))
        return "file: '" + fileName + "' not found";
    if (!std::filesystem::is_regular_file(state))
        return "file: '" + fileName + "' is not a regular file";
    return "file: '" + fileName + "' " + cannotRead;
}

std::string UidWithName(const std::string& uid) {
    std::string name = UidName(uid);
    return name.empty() ? uid : name + " (" + uid + ")";
}

std::string ContextReason(const PDU_Service& service) {
    const std::vector<PresentationContextAccept>& answers = service.accept.PresContextAccepts;
    if (answers.empty())
        return "presentation context: the peer's A-ASSOCIATE-AC holds no presentation context";
    auto proposed = [&](std::uint8_t id) -> std::string {
        for (const PresentationContext& pc : service.request.PresContexts)
            if (pc.PresentationContextID == id)
                return UidWithName(pc.AbsSyntax.UID);
        return "context " + num(id);
    };
    auto wasProposed = [&](std::uint8_t id) {
        for (const PresentationContext& pc : service.request.PresContexts)
            if (pc.PresentationContextID == id)
                return true;
        return false;
    };
    std::string rejected, unusable, unknown;
    for (const PresentationContextAccept& a : answers) {
        if (!wasProposed(a.PresentationContextID)) {
            unknown += (unknown.empty() ? "" : ", ") + num(a.PresentationContextID);
            continue;
        }
        if (a.Result == 0) {
            unusable += (unusable.empty() ? "" : ", ") + UidWithName(a.TrnSyntax.UID);
            continue;
        }
        rejected += (rejected.empty() ? "" : "; ") + proposed(a.PresentationContextID) + ": " +
                    ContextResultText(a.Result) + " (context " + num(a.PresentationContextID) +
                    ", result " + num(a.Result) + ")";
    }
    if (!unusable.empty())
        return "presentation context: the peer accepted only " + unusable +
               ", which this side cannot send";
    // An answer for a context ID that was never proposed carries nothing usable.
    if (!unknown.empty() && rejected.empty())
        return "presentation context: the peer answered for context ID " + unknown +
               ", which was never proposed";
    return "presentation context: the peer accepted none of the proposed: " + rejected;
}

std::string LinkReason(const PDU_Service& service, const std::string& during) {
    LinkFailure failure = service.Failure();
    if (failure.Fault == LinkFault::NoUsableContext)
        return ContextReason(service);
    std::string text = LinkText(failure, during);
    if (!text.empty())
        return text;
    return (during.empty() ? std::string("association") : during) + ": the link failed";
}

std::string StatusReason(const std::string& operation, const DimseStatus& status,
                         const DcmObj* request) {
    if (status.Status < 0)
        return operation + ": no response";
    std::string verdict = status.Status == 0xFE00          ? " cancelled: "
                          : IsWarningStatus(status.Status) ? " answered with a warning: "
                                                           : " refused: ";
    std::string text = operation + verdict + StatusText(status.Status);
    std::string named;
    for (auto [group, element] : status.Attributes) {
        std::string one = tagText(group, element);
        if (request)
            if (const DcmTag* e = request->GetTag(group, element); e && e->HasValue())
                one += " " + trimmed(std::string(reinterpret_cast<const char*>(e->data.get()),
                                                 e->length));
        named += (named.empty() ? "" : ", ") + one;
    }
    if (!named.empty())
        text += " (" + named + ")";
    if (!status.ErrorComment.empty())
        text += "; the peer says: '" + status.ErrorComment + "'";
    return text;
}

} // namespace Diagnosis

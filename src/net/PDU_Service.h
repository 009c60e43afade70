#pragma once
// One association, requesting side: connect and negotiate, write and read DIMSE messages as
// P-DATA-TF PDUs, release.

#include "AssociationPDUs.h"
#include "Buffer.h"
#include "DcmObj.h"
#include "LinkFailure.h"
#include "PDataTF.h"
#include "ReleasePDUs.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// True for the transfer syntaxes a message can be carried in.
bool IsSelectableTransferSyntax(const std::string& uid);

// What the association agreed on, as Connect found it in the A-ASSOCIATE-AC; all zero and empty
// until then and after a failed Connect.
struct Negotiated {
    // The context every message is written on.
    std::uint8_t contextID = 0;
    std::string transferSyntax;
    // The largest PDU the peer takes, as it announced it (0: no limit announced).
    std::uint32_t peerMaximumLength = 0;
};

class PDU_Service {
public:
    // Every message written or read is listed in the log when set.
    std::uint8_t dumpMessages = 0;
    std::uint8_t useTLS = 0;
    std::string userName;
    std::string passcode;
    // Trust, client certificate and versions of the TLS session; useTLS decides whether
    // there is one.
    TlsOptions tlsOptions;
    // Indices into accept.PresContextAccepts of the items with result 0, in the order read.
    std::vector<std::size_t> AcceptedContexts;
    // Set: an accepted association stays up even when no context can carry a message, so that
    // it can be released (for a peer's capabilities only the answer counts).
    bool keepUnusable = false;

    // When the steps of the last Connect ended; unset for a step not reached.
    struct ConnectTimes {
        std::chrono::steady_clock::time_point Start;
        std::optional<std::chrono::steady_clock::time_point> Tcp, Tls, Answer;
    };
    ConnectTimes Times;

    Buffer link;
    AAssociateRQ request;
    AAssociateAC accept;
    AAssociateRJ reject;
    AReleaseRQ releaseRequest;
    AReleaseRP releaseReply;
    AAbortRQ abort;
    PDataTF data;

    PDU_Service();
    void SetTls(const TlsOptions& options) {
        useTLS = options.enabled ? 1 : 0;
        tlsOptions = options;
    }
    virtual ~PDU_Service() = default;
    PDU_Service(const PDU_Service&) = delete;
    PDU_Service& operator=(const PDU_Service&) = delete;

    bool Connect(const std::string& host, const std::string& port);
    // Chooses the presentation context, and so the transfer syntax, of every later message.
    bool InterogateAAssociateAC();
    // mode 1 for a command set, 0 for a data set.
    bool Write(DcmObj& message, std::uint8_t mode);
    // Reads the next complete message, adding its elements to target.
    bool Read(DcmObj& target);
    // The next complete message as it came, undecoded (a data set to be kept as a file); its
    // context is data.PresentationContextID.
    bool ReadRaw(std::vector<std::uint8_t>& bytes);
    // Releases the association when still connected. Always true.
    bool Close();
    const Negotiated& Negotiation() const { return negotiated; }
    // The transfer syntax of an accepted context, for the messages that arrive on it.
    bool GetTransferSyntaxUID(std::uint8_t presentationContextID, std::string& uid) const;
    bool ParseRawVRIntoDCM(Buffer& buffer, DcmObj& target, std::uint8_t presentationContextID);
    bool ParseDCMIntoRawVR(DcmObj& message, Buffer& buffer);

    bool IsConnected() { return link.Link().IsConnected(); }
    // A message can be read without waiting: read ahead into the buffer behind the last one, or
    // arrived on the link.
    bool MessageWaiting() {
        return link.Available() > 0 || data.PDULength != 0 || link.Link().InputWaiting();
    }
    // The peer answered while a message was still going out; its answer waits for Read.
    bool ResponsePending() const { return earlyResponse; }

    // The wait for the A-RELEASE-RP, whatever the job's time-out.
    static constexpr int ReleaseTimeoutSeconds = 10;

    // The first failure of this association, the link's included; empty while none.
    LinkFailure Failure() const;

private:
    void noteFailure(LinkFailure what);
    // Names the answer that was awaited when the link underneath failed.
    void awaiting(const char* answer);
    Negotiated negotiated;
    // What the association can still do: a message cut short leaves it out of step, and an
    // association the peer released or aborted takes nothing more.
    bool earlyResponse = false;
    bool outOfStep = false;

    bool connect(const std::string& host, const std::string& port);
    // Gathers the next message into data.VRBuffer, answering a release or abort on the way.
    bool readMessage();
    void abortAndClose();
    // Sends the A-RELEASE-RQ and waits, bounded by the release time-out, for the reply.
    void release();
    void abortOutOfStep();
    // Reads what the peer sent in the middle of a message being written, and closes.
    void interruptedWrite();
    // Ends a write that failed; always false.
    bool failedWrite();
    bool encodeInto(DcmObj& message, Buffer& buffer);
    void logMessage(DcmObj& message, const char* direction);

    LinkFailure failure;
    std::string awaited;
};

#include "PDU_Service.h"

#include "BufData.h"
#include "IdentifierCounter.h"
#include "JobControl.h"
#include "Log.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>

namespace {

constexpr std::uint32_t OurMaximumLength = 16384;

std::string trimmed(const std::string& text) {
    std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

bool detailLogging() {
    return CurrentLogLevel >= 2;
}

// The whole answer must arrive within the time-out, not only each of its bytes.
class AnswerDeadline {
public:
    explicit AnswerDeadline(Transport& socket) : socket(socket) { socket.StartDeadline(); }
    ~AnswerDeadline() { socket.ClearDeadline(); }
    AnswerDeadline(const AnswerDeadline&) = delete;
    AnswerDeadline& operator=(const AnswerDeadline&) = delete;

private:
    Transport& socket;
};

// The transfer syntaxes a message can be carried in.
const char* const usableTransferSyntaxes[] = {
    J2kLossless,          JpegLossless, Mpeg2,        Mpeg2High,         ExplicitLittleEndian,
    ImplicitLittleEndian, J2kLossy,     JpegBaseline, ExplicitBigEndian,
};

} // namespace

PDU_Service::PDU_Service() {
    link.SetReadOrder(Buffer::BigEndian);
    link.SetWriteOrder(Buffer::BigEndian);
    data.PresentationContextID = 0;
}

bool PDU_Service::Connect(const std::string& host, const std::string& port) {
    try {
        return connect(host, port);
    } catch (...) {
        LogMessage("ERROR, PDU_Service::Connect, indeterminate error");
        link.Link().Close();
        return false;
    }
}

void PDU_Service::noteFailure(LinkFailure what) {
    // An abort is the peer's own word on why the link ended; it outranks what the link saw.
    bool outranks = what.Fault == LinkFault::Aborted;
    if (!failure && (outranks || !link.Link().Failure()))
        failure = std::move(what);
}

void PDU_Service::awaiting(const char* answer) {
    if (awaited.empty() && !failure && link.Link().Failure())
        awaited = answer;
}

LinkFailure PDU_Service::Failure() const {
    LinkFailure result = failure ? failure : link.Link().Failure();
    if (result.Awaited.empty())
        result.Awaited = awaited;
    return result;
}

bool PDU_Service::connect(const std::string& host, const std::string& port) {
    failure = {};
    awaited.clear();
    Times = {std::chrono::steady_clock::now(), {}, {}, {}};
    data.PDULength = 0;
    data.MaximumPDULength = OurMaximumLength;
    earlyResponse = outOfStep = false;
    AcceptedContexts.clear();
    negotiated = {};
    request.UserInfo.SetMaximumLength(OurMaximumLength);
    request.UserInfo.SetImpClass("1.2.999.1.77.4.999");
    request.UserInfo.SetImpVersion("Mondevalier");
    request.UserInfo.SetUserIdentity(userName, passcode);

    Transport& socket = link.Link();
    socket.SetUseTLS(useTLS != 0);
    ReportJobStep(JobStep::Connecting);
    if (!socket.Connect(host, port)) {
        LogMessage("ERROR, PDU_Service::Connect, Socket Level Error");
        return false;
    }
    Times.Tcp = std::chrono::steady_clock::now();
    if (useTLS && !socket.SetupTLS(tlsOptions, host)) {
        socket.Close();
        return false;
    }
    if (useTLS)
        Times.Tls = std::chrono::steady_clock::now();
    if (detailLogging())
        LogMessage("INFO, Connected to: " + host + ":" + port);
    ReportJobStep(JobStep::Negotiating);
    if (!request.Write(link)) {
        LogMessage("ERROR, Association RQ failed!");
        return false;
    }
    AnswerDeadline answer(socket);
    std::uint8_t type = 0;
    if (!link.ReadU8(type)) {
        awaiting("A-ASSOCIATE-AC");
        return false;
    }
    Times.Answer = std::chrono::steady_clock::now();
    if (detailLogging())
        LogMessage("INFO, PDU_Service::Connect, Item Type: " + std::to_string(type));
    switch (type) {
    case PduType::AssociateAC:
        if (detailLogging())
            LogMessage("INFO, Association Accept::ReadDynamic");
        if (!accept.Read(link) && !socket.IsConnected()) {
            // Cut short: whatever was read of it says nothing about what the peer accepted.
            awaiting("A-ASSOCIATE-AC");
            LogMessage(socket.TimedOut()
                           ? "ERROR, PDU_Service::Connect, timed out reading the A-ASSOCIATE-AC"
                           : "ERROR, PDU_Service::Connect, connection lost reading the "
                             "A-ASSOCIATE-AC");
            return false;
        }
        for (std::size_t i = 0; i < accept.PresContextAccepts.size(); ++i)
            NextAcceptID();
        if (InterogateAAssociateAC())
            return true;
        noteFailure({.Fault = LinkFault::NoUsableContext});
        if (keepUnusable)
            return true;
        abortAndClose();
        LogMessage("ERROR, PDU_Service::Connect, InterogateAAssociateAC failed");
        return false;
    case PduType::AssociateRJ:
        LogMessage("ERROR, Association Rejected...");
        if (reject.Read(link))
            noteFailure({.Fault = LinkFault::Rejected,
                         .Result = reject.Result,
                         .Source = reject.Source,
                         .Reason = reject.Reason});
        awaiting("A-ASSOCIATE-AC");
        socket.Close();
        return false;
    case PduType::Abort: {
        LogMessage("ERROR, Corrupt Transmission...");
        AAbortRQ received;
        if (received.Read(link))
            noteFailure({.Fault = LinkFault::Aborted,
                         .Source = received.Source,
                         .Reason = received.Reason});
        socket.Close();
        return false;
    }
    default:
        LogMessage("ERROR, Corrupt Transmission...");
        noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
        abortAndClose();
        return false;
    }
}

bool IsSelectableTransferSyntax(const std::string& uid) {
    return std::find(std::begin(usableTransferSyntaxes), std::end(usableTransferSyntaxes), uid) !=
           std::end(usableTransferSyntaxes);
}

bool PDU_Service::InterogateAAssociateAC() {
    AcceptedContexts.clear();
    if (accept.PresContextAccepts.empty())
        LogMessage("WARNING, assocAC.PresContextAccepts Count==0");
    auto proposed = [this](std::uint8_t id) -> const PresentationContext* {
        for (const PresentationContext& context : request.PresContexts)
            if (context.PresentationContextID == id)
                return &context;
        return nullptr;
    };
    for (std::size_t i = 0; i < accept.PresContextAccepts.size(); ++i) {
        const PresentationContextAccept& item = accept.PresContextAccepts[i];
        if (item.Result != 0)
            continue;
        const std::string& uid = item.TrnSyntax.UID;
        const PresentationContext* context = proposed(item.PresentationContextID);
        if (!context) {
            LogMessage("WARNING, PDU_Service::InterogateAAssociateAC, accepted context ID " +
                       std::to_string(item.PresentationContextID) + " was never proposed; ignored");
            continue;
        }
        bool offered = std::any_of(context->TrnSyntax.begin(), context->TrnSyntax.end(),
                                   [&](const UIDitem& ts) { return ts.UID == uid; });
        if (!offered) {
            LogMessage("WARNING, PDU_Service::InterogateAAssociateAC, context ID " +
                       std::to_string(item.PresentationContextID) + " accepted with " + uid +
                       ", which was not proposed in it; ignored");
            continue;
        }
        AcceptedContexts.push_back(i);
        if (detailLogging())
            LogMessage("Presentation Context Accept ID: " +
                       std::to_string(item.PresentationContextID) + ", Transfer Syntax: " + uid);
    }
    // The contexts were proposed in the order they are preferred: the first accepted one
    // carries every message.
    for (const PresentationContext& context : request.PresContexts) {
        for (std::size_t index : AcceptedContexts) {
            if (accept.PresContextAccepts[index].PresentationContextID ==
                context.PresentationContextID) {
                data.PresentationContextID = context.PresentationContextID;
                negotiated = {context.PresentationContextID,
                              accept.PresContextAccepts[index].TrnSyntax.UID,
                              accept.UserInfo.MaxSubLength.MaximumLength};
                return true;
            }
        }
    }
    LogMessage("ERROR, Transfer Syntax is Empty");
    return false;
}

bool PDU_Service::GetTransferSyntaxUID(std::uint8_t id, std::string& uid) const {
    for (std::size_t index : AcceptedContexts) {
        const PresentationContextAccept& item = accept.PresContextAccepts[index];
        if (item.PresentationContextID == id) {
            uid = item.TrnSyntax.UID;
            return true;
        }
    }
    return false;
}

namespace {

// The VRs of every element and nested header, in walk order: dumping replaces them by the
// dictionary's, which must not change what is sent.
void collectVRs(DcmObj& message, std::vector<char*>& vrs) {
    for (DcmObj::Entry& entry : message.items) {
        if (entry.tag) {
            vrs.push_back(entry.tag->vr);
        } else {
            vrs.push_back(entry.obj->itemTag.vr);
            collectVRs(*entry.obj, vrs);
        }
    }
}

} // namespace

void PDU_Service::logMessage(DcmObj& message, const char* direction) {
    LogMessage(trimmed(accept.CallingApTitle) + direction + trimmed(accept.CalledApTitle));
    std::vector<char*> vrs;
    collectVRs(message, vrs);
    std::vector<std::array<char, 3>> saved;
    saved.reserve(vrs.size());
    for (const char* vr : vrs)
        saved.push_back({vr[0], vr[1], vr[2]});
    std::vector<std::string> lines;
    message.Dump(lines, 0);
    for (std::size_t i = 0; i < vrs.size(); ++i)
        std::copy(saved[i].begin(), saved[i].end(), vrs[i]);
    for (const std::string& line : lines)
        LogMessage(line);
    LogMessage("");
}

bool PDU_Service::ParseDCMIntoRawVR(DcmObj& message, Buffer& buffer) {
    if (dumpMessages)
        logMessage(message, " >> ");
    return encodeInto(message, buffer);
}

bool PDU_Service::encodeInto(DcmObj& message, Buffer& buffer) {
    BufData encoder(0);
    if (!encoder.WriteObject(message))
        return false;
    std::vector<std::uint8_t> bytes = encoder.TakeBytes();
    buffer.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return true;
}

bool PDU_Service::Write(DcmObj& message, std::uint8_t mode) {
    if (data.PresentationContextID == 0) {
        LogMessage("ERROR, PDU_Service::Write, pdata.PresentationContextID is 0");
        return false;
    }
    if (dumpMessages)
        logMessage(message, " >> ");
    ReportJobStep(JobStep::Sending);
    data.MessageControlHeader = mode;
    std::uint32_t& maximum = accept.UserInfo.MaxSubLength.MaximumLength;
    if (maximum > OurMaximumLength) {
        maximum = OurMaximumLength;
        if (detailLogging())
            LogMessage("INFO, PDU_Service::Write, MaximumLength set to 16384");
    }
    data.BlockSize = maximum - 6;
    if (data.BlockSize > PDataTF::LargestBlockSize) {
        // One PDU for the whole message: it has to be complete before its length is known.
        if (!encodeInto(message, data.VRBuffer)) {
            abortAndClose();
            return false;
        }
        return data.Write(link) || failedWrite();
    }
    // The message goes out while it is encoded, so a large data set is never held twice.
    BufData encoder(0);
    data.BeginStream();
    encoder.SetSink([this, mode](const std::uint8_t* bytes, std::size_t count) {
        // Nothing is due from the peer while a message goes out: whatever it sends (an
        // A-ABORT, a close) ends the message at once rather than after the rest is sent.
        constexpr std::size_t Step = 4 * OurMaximumLength;
        JobControl* control = CurrentJobControl();
        while (count > 0) {
            if (earlyResponse)
                return false;
            if (link.Link().InputWaiting()) {
                interruptedWrite();
                return false;
            }
            // Between PDUs: the abort that failedWrite sends is understood by the peer.
            if (control && control->IsCancelled())
                return false;
            std::size_t n = std::min(count, Step);
            if (!data.StreamBytes(link, bytes, n))
                return false;
            if (control && mode == 0)
                control->AddBytesSent(n);
            bytes += n;
            count -= n;
        }
        return true;
    });
    if (!encoder.WriteObject(message)) {
        // The file behind the data set changed: the peer must drop what it has of the message.
        noteFailure({.Fault = LinkFault::SourceChanged, .Text = encoder.ChangedFile()});
        if (link.Link().IsConnected())
            abortAndClose();
        return false;
    }
    return (encoder.FlushSink() && data.FinishStream(link)) || failedWrite();
}

bool PDU_Service::failedWrite() {
    if (!link.Link().IsConnected() || earlyResponse)
        return false;
    if (CurrentJobCancelled()) {
        abortAndClose();
        return false;
    }
    // The peer may have said why it stopped taking the message; otherwise a message cut
    // short leaves nothing to release, and a release could only wait out the time-out.
    if (link.Link().InputWaiting())
        interruptedWrite();
    else
        link.Link().Close();
    return false;
}

void PDU_Service::abortAndClose() {
    abort.Write(link);
    link.Link().Close();
}

void PDU_Service::interruptedWrite() {
    std::uint8_t type = 0;
    if (!link.ReadU8(type)) {
        LogMessage("ERROR, PDU_Service::Write, connection lost");
        link.Link().Close();
    } else if (type == PduType::Abort) {
        AAbortRQ received;
        if (received.Read(link))
            noteFailure({.Fault = LinkFault::Aborted,
                         .Source = received.Source,
                         .Reason = received.Reason});
        link.Link().Close();
        LogMessage("WARNING, PDU_Service::Write, Abort-RQ");
    } else if (type == PduType::DataTF) {
        // An answer before the end of the request (a C-STORE-RSP refusing the data set, say):
        // nothing more of the message is sent, and the answer is read as the response.
        earlyResponse = true;
        outOfStep = true;
        data.PDULength = 0;
        LogMessage("WARNING, PDU_Service::Write, the peer answered before the message was "
                   "complete");
    } else {
        noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
        abortAndClose();
        LogMessage("ERROR, PDU_Service::Write, unexpected PDU type " + std::to_string(type));
    }
}

bool PDU_Service::Read(DcmObj& target) {
    if (!readMessage())
        return false;
    if (ParseRawVRIntoDCM(data.VRBuffer, target, data.PresentationContextID))
        return true;
    LogMessage("ERROR, PDU_Service::Read ParseRawVRIntoDCM()");
    noteFailure({.Fault = LinkFault::Malformed, .Text = "a message that could not be decoded"});
    abortAndClose();
    return false;
}

bool PDU_Service::ReadRaw(std::vector<std::uint8_t>& bytes) {
    if (!readMessage())
        return false;
    bytes.resize(data.VRBuffer.Available());
    if (!bytes.empty())
        data.VRBuffer.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    data.VRBuffer.Clear();
    return true;
}

bool PDU_Service::readMessage() {
    if (!link.Link().IsConnected())
        return false;
    AnswerDeadline answer(link.Link());
    // A query that is receiving its records stays in that step between the records.
    if (JobControl* control = CurrentJobControl();
        control && control->Progress().Step != JobStep::Receiving)
        control->SetStep(JobStep::Waiting);
    data.MsgStatus = 0;
    bool complete = false;
    if (earlyResponse) {
        // Its type byte was taken when it interrupted the write.
        earlyResponse = false;
        data.PDULength = 0;
        if (!data.ReadDynamic(link)) {
            LogMessage("ERROR, PDU_Service::Read, pdata.ReadDynamic(Link)");
            abortOutOfStep();
            return false;
        }
        complete = data.MsgStatus == 1;
    } else if (data.PDULength != 0) {
        if (!data.ReadDynamic(link)) {
            LogMessage("ERROR, PDU_Service::Read, pdata.ReadDynamic(Link)");
            noteFailure({.Fault = LinkFault::Malformed, .Text = "a P-DATA-TF PDU"});
            abortOutOfStep();
            return false;
        }
        complete = data.MsgStatus == 1;
    }
    while (!complete) {
        std::uint8_t type = 0;
        if (!link.ReadU8(type))
            return false;
        switch (type) {
        case PduType::AssociateRQ:
            noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
            request.Read(link);
            abortAndClose();
            LogMessage("ERROR, PDU_Service::Read Associate-RQ");
            return false;
        case PduType::AssociateAC:
            noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
            accept.Read(link);
            abortAndClose();
            LogMessage("ERROR, PDU_Service::Read Associate-AC");
            return false;
        case PduType::AssociateRJ:
            noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
            abortAndClose();
            LogMessage("ERROR, PDU_Service::Read Associate-RJ");
            return false;
        case PduType::DataTF:
            if (!data.ReadDynamic(link)) {
                LogMessage("ERROR, PDU_Service::Read, pdata.ReadDynamic(Link)");
                noteFailure({.Fault = LinkFault::Malformed, .Text = "a P-DATA-TF PDU"});
                abortOutOfStep();
                return false;
            }
            complete = data.MsgStatus == 1;
            break;
        case PduType::ReleaseRQ:
            // The peer ends the association: after the reply nothing more is sent.
            noteFailure({.Fault = LinkFault::PeerReleased});
            releaseRequest.Read(link);
            releaseReply.Write(link);
            link.Link().Close();
            if (detailLogging())
                LogMessage("INFO, PDU_Service::Read Release-RQ");
            return false;
        case PduType::ReleaseRP:
            noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
            link.Link().Close();
            LogMessage("WARNING, PDU_Service::Read Release-RSP");
            return false;
        case PduType::Abort: {
            AAbortRQ received;
            if (received.Read(link))
                noteFailure({.Fault = LinkFault::Aborted,
                             .Source = received.Source,
                             .Reason = received.Reason});
            link.Link().Close();
            LogMessage("WARNING, PDU_Service::Read Abort-RQ");
            return false;
        }
        default:
            noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
            abortAndClose();
            LogMessage("ERROR, PDU_Service::Read Protocol Error");
            return false;
        }
    }
    return true;
}

bool PDU_Service::ParseRawVRIntoDCM(Buffer& buffer, DcmObj& target, std::uint8_t id) {
    buffer.SetReadOrder(Buffer::LittleEndian);
    std::string uid;
    if (!GetTransferSyntaxUID(id, uid)) {
        LogMessage("ERROR, PDU_Service::ParseRawVRIntoDCM GetTransferSyntaxUID()");
        buffer.Clear();
        return false;
    }
    target.transferSyntax = uid;
    if (detailLogging())
        LogMessage("INFO, PDU_Service::ParseRawVRIntoDCM, Transfer Syntax: " + uid);
    target.explicitVR = uid == ImplicitLittleEndian ? 0 : 1;

    std::vector<std::uint8_t> bytes(buffer.Available());
    if (!bytes.empty())
        buffer.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    BufData decoder(0, bytes.data(), bytes.size());
    if (!decoder.ReadObject(target)) {
        LogMessage("ERROR, PDU_Service::ParseRawVRIntoDCM buf.ReadOjb()");
        return false;
    }
    if (dumpMessages)
        logMessage(target, " << ");
    return true;
}

void PDU_Service::abortOutOfStep() {
    // A malformed PDU leaves the link connected but the message lost; a release would wait
    // for an answer the peer may never give.
    if (link.Link().IsConnected())
        abortAndClose();
}

bool PDU_Service::Close() {
    if (link.Link().IsConnected()) {
        if (CurrentJobCancelled()) {
            // The user stopped the job: no release handshake, whatever was in progress.
            LogMessage("WARNING, PDU_Service::Close, cancelled, sending A-ABORT");
            abortAndClose();
        } else if (outOfStep) {
            abortAndClose();
        } else {
            release();
        }
    }
    data.PDULength = 0;
    earlyResponse = false;
    return true;
}

void PDU_Service::release() {
    Transport& socket = link.Link();
    const int jobTimeout = socket.Timeout();
    socket.SetTimeout(jobTimeout > 0 ? std::min(jobTimeout, ReleaseTimeoutSeconds)
                                     : ReleaseTimeoutSeconds);
    AnswerDeadline answer(socket);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(ReleaseTimeoutSeconds);
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
    };
    // The rest of a PDU whose last PDV ended the response is no answer to the release.
    bool ok = data.PDULength == 0 || link.Skip(data.PDULength);
    data.PDULength = 0;
    ok = ok && releaseRequest.Write(link);
    bool released = false;
    while (ok && !released) {
        if (link.Available() == 0 && !socket.WaitForInput(left())) {
            LogMessage("WARNING, PDU_Service::Close, no A-RELEASE-RP within " +
                       std::to_string(ReleaseTimeoutSeconds) + " s; the association is aborted");
            abortAndClose();
            break;
        }
        std::uint8_t type = 0;
        std::uint8_t reserved = 0;
        std::uint32_t length = 0;
        if (!link.ReadU8(type) || !link.ReadU8(reserved) || !link.ReadU32(length))
            break;
        if (type == PduType::ReleaseRP || type == PduType::DataTF || type == PduType::ReleaseRQ) {
            // Leftover PDVs of the last response are drained; a release request that crossed
            // ours is answered, and ours still waits for its reply.
            if (length > OurMaximumLength) {
                abortAndClose();
                LogMessage("ERROR, PDU_Service::Close, PDU length " + std::to_string(length) +
                           " above the maximum");
                break;
            }
            ok = link.Skip(length);
            released = ok && type == PduType::ReleaseRP;
            if (ok && type == PduType::ReleaseRQ)
                ok = releaseReply.Write(link);
        } else if (type == PduType::Abort) {
            socket.Close();
            LogMessage("WARNING, PDU_Service::Close, Abort-RQ");
            break;
        } else {
            abortAndClose();
            LogMessage("ERROR, PDU_Service::Close, unexpected PDU type " + std::to_string(type));
            break;
        }
    }
    if (!released)
        awaiting("A-RELEASE-RP");
    socket.SetTimeout(jobTimeout);
    socket.Close();
}

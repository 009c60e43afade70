#include "PDU_Service.h"

#include "BufData.h"
#include "IdentifierCounter.h"
#include "Log.h"

#include <algorithm>
#include <array>
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
    explicit AnswerDeadline(Socket& socket) : socket(socket) { socket.StartDeadline(); }
    ~AnswerDeadline() { socket.ClearDeadline(); }
    AnswerDeadline(const AnswerDeadline&) = delete;
    AnswerDeadline& operator=(const AnswerDeadline&) = delete;

private:
    Socket& socket;
};

// The first accepted context with one of these, in the accept's order, carries every message.
const char* const usableTransferSyntaxes[] = {
    "1.2.840.10008.1.2.4.90",  "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.100",
    "1.2.840.10008.1.2.4.102", "1.2.840.10008.1.2.1",    "1.2.840.10008.1.2",
    "1.2.840.10008.1.2.4.91",  "1.2.840.10008.1.2.4.50",
};

} // namespace

bool IsSelectableTransferSyntax(const std::string& uid) {
    return std::find(std::begin(usableTransferSyntaxes), std::end(usableTransferSyntaxes), uid) !=
           std::end(usableTransferSyntaxes);
}

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
    AcceptedContexts.clear();
    request.UserInfo.SetMaximumLength(OurMaximumLength);
    request.UserInfo.SetImpClass("1.2.999.1.77.4.999");
    request.UserInfo.SetImpVersion("Mondevalier");
    request.UserInfo.SetUserIdentity(userName, passcode);

    Socket& socket = link.Link();
    socket.SetUseTLS(useTLS != 0);
    if (!socket.Connect(host, port)) {
        LogMessage("ERROR, PDU_Service::Connect, Socket Level Error");
        return false;
    }
    Times.Tcp = std::chrono::steady_clock::now();
    if (useTLS && !socket.SetupTLS(certificateFile, keyFile)) {
        socket.Close();
        return false;
    }
    if (useTLS)
        Times.Tls = std::chrono::steady_clock::now();
    if (detailLogging())
        LogMessage("INFO, Connected to: " + host + ":" + port);
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
        accept.Read(link);
        awaiting("A-ASSOCIATE-AC");
        for (std::size_t i = 0; i < accept.PresContextAccepts.size(); ++i)
            NextAcceptID();
        if (InterogateAAssociateAC())
            return true;
        noteFailure({.Fault = LinkFault::NoUsableContext});
        if (keepUnusable)
            return true;
        socket.Close();
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
        socket.Close();
        return false;
    }
}

bool PDU_Service::InterogateAAssociateAC() {
    std::string chosen;
    std::uint8_t chosenID = 0;
    if (accept.PresContextAccepts.empty())
        LogMessage("WARNING, assocAC.PresContextAccepts Count==0");
    for (std::size_t i = 0; i < accept.PresContextAccepts.size(); ++i) {
        const PresentationContextAccept& item = accept.PresContextAccepts[i];
        if (item.Result != 0)
            continue;
        AcceptedContexts.push_back(i);
        const std::string& uid = item.TrnSyntax.UID;
        if (detailLogging())
            LogMessage("Presentation Context Accept ID: " +
                       std::to_string(item.PresentationContextID) + ", Transfer Syntax: " + uid);
        if (!chosen.empty())
            continue;
        for (const char* usable : usableTransferSyntaxes) {
            if (uid == usable) {
                chosen = uid;
                chosenID = item.PresentationContextID;
                break;
            }
        }
    }
    if (chosen.empty()) {
        LogMessage("ERROR, Transfer Syntax is Empty");
        return false;
    }
    data.PresentationContextID = chosenID;
    return true;
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
    encodeInto(message, buffer);
    return true;
}

void PDU_Service::encodeInto(DcmObj& message, Buffer& buffer) {
    BufData encoder(0);
    encoder.WriteObject(message);
    std::vector<std::uint8_t> bytes = encoder.TakeBytes();
    buffer.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool PDU_Service::Write(DcmObj& message, std::uint8_t mode) {
    if (data.PresentationContextID == 0) {
        LogMessage("ERROR, PDU_Service::Write, pdata.PresentationContextID is 0");
        return false;
    }
    if (dumpMessages)
        logMessage(message, " >> ");
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
        encodeInto(message, data.VRBuffer);
        return data.Write(link) || failedWrite();
    }
    // The message goes out while it is encoded, so a large data set is never held twice.
    BufData encoder(0);
    data.BeginStream();
    encoder.SetSink([this](const std::uint8_t* bytes, std::size_t count) {
        // Nothing is due from the peer while a message goes out: whatever it sends (an
        // A-ABORT, a close) ends the message at once rather than after the rest is sent.
        constexpr std::size_t Step = 4 * OurMaximumLength;
        while (count > 0) {
            if (link.Link().InputWaiting()) {
                interruptedWrite();
                return false;
            }
            std::size_t n = std::min(count, Step);
            if (!data.StreamBytes(link, bytes, n))
                return false;
            bytes += n;
            count -= n;
        }
        return true;
    });
    encoder.WriteObject(message);
    return (encoder.FlushSink() && data.FinishStream(link)) || failedWrite();
}

bool PDU_Service::failedWrite() {
    if (!link.Link().IsConnected())
        return false;
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
    } else {
        noteFailure({.Fault = LinkFault::UnexpectedPdu, .Code = type});
        abortAndClose();
        LogMessage("ERROR, PDU_Service::Write, unexpected PDU type " + std::to_string(type));
    }
}

bool PDU_Service::Read(DcmObj& target) {
    if (!link.Link().IsConnected())
        return false;
    AnswerDeadline answer(link.Link());
    data.MsgStatus = 0;
    bool complete = false;
    if (data.PDULength != 0) {
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
            noteFailure({.Fault = LinkFault::PeerReleased});
            releaseRequest.Read(link);
            releaseReply.Write(link);
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
    if (ParseRawVRIntoDCM(data.VRBuffer, target, data.PresentationContextID))
        return true;
    LogMessage("ERROR, PDU_Service::Read ParseRawVRIntoDCM()");
    noteFailure({.Fault = LinkFault::Malformed, .Text = "a message that could not be decoded"});
    abortAndClose();
    return false;
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
    data.PDULength = 0;
    if (link.Link().IsConnected()) {
        AnswerDeadline answer(link.Link());
        releaseRequest.Write(link);
        releaseReply.Read(link);
        awaiting("A-RELEASE-RP");
        link.Link().Close();
    }
    return true;
}

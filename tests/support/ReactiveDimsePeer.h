#pragma once
// A DIMSE peer on loopback that answers each request through a handler for its command
// (N-CREATE, N-SET, N-ACTION, N-DELETE, N-GET, C-ECHO, ...), for the exchanges a fixed script
// cannot follow: UIDs the client must take from the answers, a refusal at one step of many.
// Header only: it needs the DICOM and service layers, which the support library does not link.

#include "DcmObj.h"
#include "DimseScript.h"
#include "ReactivePeer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dimsescript {

// One request as the peer received it.
struct DimseMessage {
    std::uint8_t context = 1;
    std::unique_ptr<DcmObj> command;
    std::unique_ptr<DcmObj> dataSet; // null when none followed
    std::uint16_t field() const { return command->GetUShort(0x0000, 0x0100); }
    // The affected SOP class (0000,0002), or the requested one (0000,0003).
    std::string sopClass() const {
        for (std::uint16_t element : {0x0002, 0x0003})
            for (int i = 0; i < command->Count(); ++i)
                if (const DcmTag* t = command->TagAt(i); t && t->Is(0x0000, element))
                    return t->GetString();
        return "";
    }
};

// The peer's answer to one request; the response's command field, SOP class and message ID
// follow from the request.
struct DimseReply {
    std::uint16_t status = 0;
    std::string errorComment;                // (0000,0902) when not empty
    std::vector<std::uint8_t> attributeList; // (0000,1005) when not empty
    std::string affectedInstance;            // (0000,1000) when not empty
    std::unique_ptr<DcmObj> dataSet;
    // PDUs sent right behind the response, in the same write (a request of the peer's own).
    std::vector<std::vector<std::uint8_t>> then;
};

using DimseHandler = std::function<DimseReply(const DimseMessage&)>;
// Handlers by request command field; a command without one is answered with success, a
// response (from the client to a request in `then`) is kept and not answered.
using DimseHandlers = std::map<std::uint16_t, DimseHandler>;
// The result for a proposed abstract syntax: 0 acceptance, 3 abstract syntax not supported.
using ContextPolicy = std::function<std::uint8_t(const std::string& abstractSyntax)>;

class ReactiveDimsePeer {
public:
    explicit ReactiveDimsePeer(DimseHandlers handlers, ContextPolicy contexts = nullptr,
                               int associations = 1, std::string calledTitle = "remote")
        : handlers_(std::move(handlers)), contexts_(std::move(contexts)),
          calledTitle_(std::move(calledTitle)),
          peer_({[this](const Bytes& rq) { return associate(rq); },
                 [this](std::uint8_t context, const Bytes& command, const Bytes& data) {
                     return answer(context, command, data);
                 }},
                associations) {}

    std::string PortText() const { return peer_.PortText(); }
    // Waits for the last association to end; the requests received, in order.
    const std::vector<DimseMessage>& Finish() {
        peer_.Finish();
        return messages_;
    }
    // The abstract syntax of each association's first context, in order; call after Finish.
    const std::vector<std::string>& AbstractSyntaxes() const { return abstractSyntaxes_; }
    bool Released() const { return peer_.Releases() > 0; }

private:
    using Bytes = testsupport::ReactivePeer::Bytes;

    Bytes associate(const Bytes& request) {
        std::vector<AcceptedContext> answers;
        // Items after the fixed part: each presentation context's ID and abstract syntax.
        for (std::size_t at = 74; at + 4 <= request.size();) {
            std::uint8_t type = request[at];
            std::size_t length = std::size_t(request[at + 2]) << 8 | request[at + 3];
            if (type == 0x20 && at + 12 <= request.size()) {
                std::size_t sub = at + 8;
                std::size_t subLength = std::size_t(request[sub + 2]) << 8 | request[sub + 3];
                std::string syntax(request.begin() + static_cast<std::ptrdiff_t>(sub + 4),
                                   request.begin() +
                                       static_cast<std::ptrdiff_t>(sub + 4 + subLength));
                if (answers.empty())
                    abstractSyntaxes_.push_back(syntax);
                answers.push_back({request[at + 4], contexts_ ? contexts_(syntax) : uint8_t(0),
                                   "1.2.840.10008.1.2"});
            }
            at += 4 + length;
        }
        return acceptPduOf(answers, 16384, {}, calledTitle_);
    }

    std::vector<Bytes> answer(std::uint8_t context, const Bytes& command, const Bytes& data) {
        DimseMessage m{context, decoded(command), data.empty() ? nullptr : decoded(data)};
        if (m.field() & 0x8000) { // the client's answer to a request of ours
            messages_.push_back(std::move(m));
            return {};
        }
        auto handler = handlers_.find(m.field());
        DimseReply reply = handler != handlers_.end() ? handler->second(m) : DimseReply{};
        CommandSet rsp;
        rsp.Uid(0x0002, m.sopClass())
            .UShort(0x0100, m.field() | 0x8000)
            .UShort(0x0120, m.command->GetUShort(0x0000, 0x0110))
            .UShort(0x0800, reply.dataSet ? 0x0102 : 0x0101)
            .UShort(0x0900, reply.status);
        if (!reply.errorComment.empty())
            rsp.Element(std::make_unique<DcmTag>(0x0000, 0x0902, reply.errorComment, "LO"));
        if (!reply.affectedInstance.empty())
            rsp.Uid(0x1000, reply.affectedInstance);
        if (!reply.attributeList.empty())
            rsp.Element(std::make_unique<DcmTag>(
                0x0000, 0x1005, static_cast<std::uint32_t>(reply.attributeList.size()),
                reply.attributeList.data(), "AT"));
        std::vector<Bytes> pdus{pdata(3, encode(*rsp.Build()), context)};
        if (reply.dataSet)
            pdus.push_back(pdata(2, encode(*reply.dataSet), context));
        pdus.insert(pdus.end(), reply.then.begin(), reply.then.end());
        messages_.push_back(std::move(m));
        return pdus;
    }

    DimseHandlers handlers_;
    ContextPolicy contexts_;
    std::string calledTitle_;
    std::vector<DimseMessage> messages_;
    std::vector<std::string> abstractSyntaxes_;
    // Last, so its thread starts when everything it calls is in place.
    testsupport::ReactivePeer peer_;
};

} // namespace dimsescript

#pragma once
// Pieces of a scripted association for the service tests: the A-ASSOCIATE-AC, P-DATA-TF PDUs,
// C-FIND responses and encoded identifiers, the sizes and syntaxes of what the client sends. Header
// only: it needs the DICOM and service layers, which the support library does not link.

#include "Association.h"
#include "BufData.h"
#include "DcmObj.h"
#include "PduVectors.h"
#include "ScriptedPeer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dimsescript {

using pduvectors::pdata;
using pduvectors::put16;
using pduvectors::put32;
using pduvectors::putItem;

using pduvectors::AcceptedContext;
using pduvectors::acceptPduOf;

// A-ASSOCIATE-AC answering as calledTitle for presentation context 1: this transfer syntax,
// and the result (0 acceptance, 3 abstract syntax not supported).
inline std::vector<uint8_t> acceptPdu(const std::string& transferSyntax = "1.2.840.10008.1.2",
                                      uint8_t result = 0,
                                      const std::string& calledTitle = "remote") {
    return pduvectors::associateAC(transferSyntax, result, calledTitle);
}

inline std::vector<uint8_t> encode(DcmObj& dataSet) {
    BufData buf(0);
    buf.WriteObject(dataSet);
    return buf.TakeBytes();
}

// The elements of an implicit VR little endian encoding, flat (sequences as their markers).
inline std::unique_ptr<DcmObj> decoded(const std::vector<uint8_t>& bytes) {
    auto obj = std::make_unique<DcmObj>();
    BufData buf(0, bytes.data(), bytes.size());
    buf.ReadObject(*obj);
    return obj;
}

inline std::vector<uint8_t> findResponseCommand(const std::string& sopClass, uint16_t status,
                                                bool dataSetFollows) {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, sopClass)
                                      .UShort(0x0100, 0x8020)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, dataSetFollows ? 0x0102 : 0x0101)
                                      .UShort(0x0900, status)
                                      .Build();
    return encode(*rsp);
}

// A C-FIND-RSP as the peer sends it: the command PDU, then the identifier's PDU when given.
inline std::vector<ScriptedPeer::Step> findResponse(const std::string& sopClass, uint16_t status,
                                                    const std::vector<uint8_t>* identifier) {
    std::vector<ScriptedPeer::Step> steps;
    steps.push_back(
        ScriptedPeer::Send(pdata(3, findResponseCommand(sopClass, status, identifier != nullptr))));
    if (identifier)
        steps.push_back(ScriptedPeer::Send(pdata(2, *identifier)));
    return steps;
}

// An identifier of text elements, encoded in implicit VR little endian.
struct Text {
    uint16_t group;
    uint16_t element;
    std::string value;
};
inline std::vector<uint8_t> identifierOf(const std::vector<Text>& elements) {
    DcmObj dataSet;
    for (const Text& t : elements)
        dataSet.Append(std::make_unique<DcmTag>(t.group, t.element, t.value, nullptr));
    return encode(dataSet);
}

// The A-ASSOCIATE-RQ for one abstract syntax: 181 bytes and the UID (198 for C-ECHO's 17).
inline std::size_t associateRequestSize(const std::string& abstractSyntax) {
    return 181 + abstractSyntax.size();
}
// The C-FIND-RQ command PDU: PDU and PDV headers, the group length element and 48 + the
// padded SOP class UID.
inline std::size_t findCommandPduSize(const std::string& sopClass) {
    return 12 + 12 + 48 + (sopClass.size() + 1) / 2 * 2;
}
// The A-ASSOCIATE-RQ of one context: 160 bytes around the abstract syntax and the items.
inline std::size_t requestSize(const std::string& abstractSyntax,
                               const std::vector<std::string>& transferSyntaxes) {
    std::size_t size = 160 + abstractSyntax.size();
    for (const std::string& ts : transferSyntaxes)
        size += 4 + ts.size();
    return size;
}

// The A-ASSOCIATE-RQ of several contexts for one abstract syntax, each with its syntaxes.
inline std::size_t requestSizeOf(const std::string& abstractSyntax,
                                 const std::vector<std::vector<std::string>>& contexts) {
    std::size_t size = 148;
    for (const std::vector<std::string>& context : contexts) {
        size += 12 + abstractSyntax.size();
        for (const std::string& ts : context)
            size += 4 + ts.size();
    }
    return size;
}

// The transfer syntaxes of each presentation context of an A-ASSOCIATE-RQ, in order.
inline std::vector<std::vector<std::string>> proposedContexts(const std::vector<uint8_t>& request) {
    std::vector<std::vector<std::string>> out;
    std::size_t at = 74;
    while (at + 4 <= request.size()) {
        uint8_t type = request[at];
        std::size_t length = static_cast<std::size_t>(request[at + 2] << 8 | request[at + 3]);
        if (type == 0x20) {
            out.emplace_back();
            at += 8;
            continue;
        }
        if (type == 0x40 && !out.empty())
            out.back().emplace_back(request.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                    request.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        if (type == 0x50)
            break;
        at += 4 + length;
    }
    return out;
}

// The transfer syntax items of an A-ASSOCIATE-RQ's presentation contexts, in order.
inline std::vector<std::string> proposedSyntaxes(const std::vector<uint8_t>& request) {
    std::vector<std::string> out;
    std::size_t at = 74;
    while (at + 4 <= request.size()) {
        uint8_t type = request[at];
        std::size_t length = static_cast<std::size_t>(request[at + 2] << 8 | request[at + 3]);
        if (type == 0x20) {
            at += 8;
            continue;
        }
        if (type == 0x40)
            out.emplace_back(request.begin() + static_cast<std::ptrdiff_t>(at + 4),
                             request.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        if (type == 0x50)
            break;
        at += 4 + length;
    }
    return out;
}
inline constexpr std::size_t ReleaseSize = 10;
inline const std::vector<uint8_t> releaseReply = hexBytes("06 00 00 00 00 04 00 00 00 00");

// The peer's side of one query: association, the request (command and identifier of the
// given encoded size), the responses, the release.
inline std::vector<ScriptedPeer::Step> queryScript(const std::string& sopClass,
                                                   std::size_t identifierSize,
                                                   const std::vector<ScriptedPeer::Step>& responses,
                                                   bool released = true) {
    std::vector<ScriptedPeer::Step> steps = {ScriptedPeer::Expect(associateRequestSize(sopClass)),
                                             ScriptedPeer::Send(acceptPdu()),
                                             ScriptedPeer::Expect(findCommandPduSize(sopClass)),
                                             ScriptedPeer::Expect(12 + identifierSize)};
    steps.insert(steps.end(), responses.begin(), responses.end());
    if (released) {
        steps.push_back(ScriptedPeer::Expect(ReleaseSize));
        steps.push_back(ScriptedPeer::Send(releaseReply));
    }
    return steps;
}

template <typename... Lists> std::vector<ScriptedPeer::Step> concat(const Lists&... lists) {
    std::vector<ScriptedPeer::Step> all;
    (all.insert(all.end(), lists.begin(), lists.end()), ...);
    return all;
}

} // namespace dimsescript

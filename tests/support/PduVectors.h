#pragma once
// Encoded PDUs as a peer sends them, one field per line, for decoding, round trips and every
// truncation. Header only and free of the program's layers, so any test can use them.

#include "TestSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pduvectors {

inline void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x & 0xFF));
}
inline void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, static_cast<std::uint16_t>(x >> 16));
    put16(v, static_cast<std::uint16_t>(x & 0xFFFF));
}
// An item: type, reserved byte, 16-bit length, body.
inline void putItem(std::vector<std::uint8_t>& v, std::uint8_t type,
                    const std::vector<std::uint8_t>& body) {
    v.push_back(type);
    v.push_back(0);
    put16(v, static_cast<std::uint16_t>(body.size()));
    v.insert(v.end(), body.begin(), body.end());
}
inline void putItem(std::vector<std::uint8_t>& v, std::uint8_t type, const std::string& body) {
    putItem(v, type, std::vector<std::uint8_t>(body.begin(), body.end()));
}
// A PDU: type, reserved byte, 32-bit length, body.
inline std::vector<std::uint8_t> pdu(std::uint8_t type, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out = {type, 0x00};
    put32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The fixed fields of an A-ASSOCIATE-AC's body:
//   00 01 00 00 (version, reserved) | called (16) | calling (16) | reserved (32)
inline std::vector<std::uint8_t> associateFields(const std::string& calledTitle,
                                                 const std::string& callingTitle) {
    std::vector<std::uint8_t> body = {0x00, 0x01, 0x00, 0x00};
    for (const std::string& title : {calledTitle, callingTitle}) {
        std::string padded = (title + std::string(16, ' ')).substr(0, 16);
        body.insert(body.end(), padded.begin(), padded.end());
    }
    body.insert(body.end(), 32, 0);
    return body;
}

// One presentation context item of an A-ASSOCIATE-AC:
//   21 | id, reserved, result, reserved | 40 transfer syntax
struct AcceptedContext {
    std::uint8_t id = 1;
    // 0 acceptance, 3 abstract syntax not supported, 4 transfer syntaxes not supported.
    std::uint8_t result = 0;
    std::string transferSyntax = "1.2.840.10008.1.2";
};
inline void putAcceptedContext(std::vector<std::uint8_t>& v, const AcceptedContext& c) {
    std::vector<std::uint8_t> item = {c.id, 0, c.result, 0};
    putItem(item, 0x40, c.transferSyntax);
    putItem(v, 0x21, item);
}

// A-ASSOCIATE-AC answering "local" as calledTitle with these contexts, announcing maximumLength;
// extra bytes (a stray item, say) go between the contexts and the user information:
//   02 00 | length | fixed fields
//   10 application context 1.2.840.10008.3.1.1.1
//   21 presentation context, one per accepted context
//   50 user information: 51 maximum length
inline std::vector<std::uint8_t> acceptPduOf(const std::vector<AcceptedContext>& contexts,
                                             std::uint32_t maximumLength = 16384,
                                             const std::vector<std::uint8_t>& beforeUserInfo = {},
                                             const std::string& calledTitle = "remote") {
    std::vector<std::uint8_t> body = associateFields(calledTitle, "local");
    putItem(body, 0x10, std::string("1.2.840.10008.3.1.1.1"));
    for (const AcceptedContext& c : contexts)
        putAcceptedContext(body, c);
    body.insert(body.end(), beforeUserInfo.begin(), beforeUserInfo.end());
    std::vector<std::uint8_t> maximum;
    put32(maximum, maximumLength);
    std::vector<std::uint8_t> user;
    putItem(user, 0x51, maximum);
    putItem(body, 0x50, user);
    return pdu(0x02, body);
}

// The same for presentation context 1 alone, with this transfer syntax and result.
inline std::vector<std::uint8_t>
associateAC(const std::string& transferSyntax = "1.2.840.10008.1.2", std::uint8_t result = 0,
            const std::string& calledTitle = "remote", std::uint32_t maximumLength = 16384) {
    return acceptPduOf({{1, result, transferSyntax}}, maximumLength, {}, calledTitle);
}

// A-ASSOCIATE-RJ: reserved, result 1 (permanent), source 1 (service user), reason 1.
inline std::vector<std::uint8_t> associateRJ() {
    return testsupport::hexBytes("03 00  00 00 00 04  00 01 01 01");
}
inline std::vector<std::uint8_t> releaseRQ() {
    return testsupport::hexBytes("05 00  00 00 00 04  00 00 00 00");
}
inline std::vector<std::uint8_t> releaseRP() {
    return testsupport::hexBytes("06 00  00 00 00 04  00 00 00 00");
}
// A-ABORT: reserved, reserved, source 2 (service provider), reason 0.
inline std::vector<std::uint8_t> abortPdu() {
    return testsupport::hexBytes("07 00  00 00 00 04  00 00 02 00");
}

// One P-DATA-TF with one PDV; control 3 = last command fragment, 2 = last data
// set fragment, 0 = a data set fragment with more to come.
//   04 00 | PDU length | PDV length | context | control | fragment
inline std::vector<std::uint8_t>
pdata(std::uint8_t control, const std::vector<std::uint8_t>& fragment, std::uint8_t context = 1) {
    std::vector<std::uint8_t> body;
    put32(body, static_cast<std::uint32_t>(fragment.size() + 2));
    body.push_back(context);
    body.push_back(control);
    body.insert(body.end(), fragment.begin(), fragment.end());
    return pdu(0x04, body);
}

// A C-ECHO-RSP command in implicit VR little endian, status 0.
inline std::vector<std::uint8_t> echoResponseCommand() {
    return testsupport::hexBytes(R"(
        00 00 00 00  04 00 00 00  42 00 00 00   // (0000,0000) group length 66
        00 00 02 00  12 00 00 00                // (0000,0002) affected SOP class, 18 bytes
        31 2e 32 2e 38 34 30 2e 31 30 30 30 38 2e 31 2e 31 00   // "1.2.840.10008.1.1\0"
        00 00 00 01  02 00 00 00  30 80         // (0000,0100) command field C-ECHO-RSP
        00 00 20 01  02 00 00 00  01 00         // (0000,0120) message ID responded to 1
        00 00 00 08  02 00 00 00  01 01         // (0000,0800) no data set
        00 00 00 09  02 00 00 00  00 00         // (0000,0900) status 0
    )");
}

} // namespace pduvectors

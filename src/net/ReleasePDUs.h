#pragma once
// The fixed 10-byte PDUs after establishment. Reads start after the type byte except
// AReleaseRP's, which takes its own (not compared).
//   0  1  PDU type: 5 release request, 6 release reply, 7 abort
//   1  1  reserved
//   2  4  PDU length, 4
//   6  4  reserved (release); abort: reserved, reserved, source, reason

#include "Buffer.h"

#include <cstdint>

namespace PduType {
constexpr std::uint8_t ReleaseRQ = 5;
constexpr std::uint8_t ReleaseRP = 6;
constexpr std::uint8_t Abort = 7;
} // namespace PduType

class AReleaseRQ {
public:
    virtual ~AReleaseRQ() = default;
    // Sets the length to 4; the flush result.
    bool Write(Buffer& link);
    // A length other than 4 is honoured, so the stream stays in step.
    bool Read(Buffer& link);

    std::uint8_t PDUType = PduType::ReleaseRQ;
    std::uint8_t Reserved1 = 0;
    std::uint32_t PDULength = 4;
    std::uint32_t Reserved2 = 0;
};

class AReleaseRP {
public:
    virtual ~AReleaseRP() = default;
    bool Write(Buffer& link);
    // Reads the type byte too.
    bool Read(Buffer& link);

    std::uint8_t PDUType = PduType::ReleaseRP;
    std::uint8_t Reserved1 = 0;
    std::uint32_t PDULength = 4;
    std::uint32_t Reserved2 = 0;
};

class AAbortRQ {
public:
    virtual ~AAbortRQ() = default;
    bool Write(Buffer& link);
    // After the type byte; a longer PDU is passed over in full.
    bool Read(Buffer& link);

    std::uint8_t PDUType = PduType::Abort;
    std::uint8_t Reserved1 = 0;
    std::uint32_t PDULength = 4;
    std::uint8_t Reserved2 = 0;
    std::uint8_t Reserved3 = 0;
    // 0: the service user, this application, aborts; the reason is then not significant.
    std::uint8_t Source = 0;
    std::uint8_t Reason = 0;
};

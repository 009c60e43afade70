#pragma once
// P-DATA-TF: one encoded DIMSE message (command or data set) cut into PDUs of one PDV each on
// writing, and gathered from PDVs until its last fragment on reading.
//
// As written:
//   0   1  PDU type 4
//   1   1  reserved
//   2   4  PDU length = n + 6
//   6   4  PDV item length = n + 2
//   10  1  presentation context ID
//   11  1  message control header: bit 0 command, bit 1 last fragment
//   12  n  the next n bytes of the message
// As read: any number of PDVs per PDU, and PDVs of several PDUs form one message.

#include "Buffer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace PduType {
constexpr std::uint8_t DataTF = 4;
} // namespace PduType

class PDataTF {
public:
    static constexpr std::uint8_t CommandBit = 0x01;
    static constexpr std::uint8_t LastFragmentBit = 0x02;
    static constexpr std::uint32_t DefaultBlockSize = 4096;
    // Value bytes of a PDV that fills a PDU of 16384 bytes.
    static constexpr std::uint32_t LargestBlockSize = 16378;

    virtual ~PDataTF() = default;

    // Sends the whole message waiting in VRBuffer's outgoing queue through the stream below;
    // nothing for 0 bytes.
    bool Write(Buffer& link);
    // The one cutter of messages into PDVs, for a message handed over in pieces while it is
    // encoded, so it never has to be held whole: PDVs of the block size leave as soon as a
    // byte after them is known, the rest leaves with the last fragment on FinishStream.
    void BeginStream();
    bool StreamBytes(Buffer& link, const std::uint8_t* bytes, std::size_t count);
    bool FinishStream(Buffer& link);
    // Reads PDVs into VRBuffer until the end of the PDU or a last fragment. With PDULength 0
    // a new PDU starts (its type byte already taken); otherwise the current one goes on.
    bool ReadDynamic(Buffer& link);

    std::uint8_t PDUType = PduType::DataTF;
    std::uint8_t Reserved1 = 0;
    // Reading: bytes of the current PDU not yet consumed, 0 between PDUs.
    std::uint32_t PDULength = 0;
    std::uint32_t BlockSize = 0;
    // The longest PDU accepted (PDU length field, the 6-byte header not counted): the maximum
    // length this side announced. A longer one is a protocol error, refused before its body.
    std::uint32_t MaximumPDULength = 16384;
    Buffer VRBuffer;
    // 1 once the last fragment of a message has been read.
    std::int32_t MsgStatus = 0;
    std::uint32_t PDVItemLength = 0;
    std::uint8_t PDVPresentationContextID = 0;
    std::uint8_t PDVMessageControlHeader = 0;
    std::uint8_t PresentationContextID = 0;
    std::uint8_t MessageControlHeader = 0;

private:
    bool sendPdv(Buffer& link, const std::uint8_t* bytes, std::uint32_t n, bool last);
    // Streaming: bytes of the message not yet sent, at most one block.
    std::vector<std::uint8_t> pending;
};

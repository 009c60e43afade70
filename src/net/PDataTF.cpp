#include "PDataTF.h"

#include "Log.h"

#include <algorithm>

namespace {

constexpr std::uint32_t PdvHeaderLength = 6; // item length, context ID, control header

// The PDU and PDV headers of a PDU that carries one PDV of n bytes; PDULength is the caller's
// to restore.
void putPdvHeader(PDataTF& pdu, Buffer& link, std::uint32_t n, bool last) {
    pdu.PDVPresentationContextID = pdu.PresentationContextID;
    pdu.PDVMessageControlHeader = static_cast<std::uint8_t>(
        (pdu.MessageControlHeader & PDataTF::CommandBit) | (last ? PDataTF::LastFragmentBit : 0));
    pdu.PDVItemLength = n + 2;
    pdu.PDULength = pdu.PDVItemLength + 4;
    link << pdu.PDUType << pdu.Reserved1 << pdu.PDULength << pdu.PDVItemLength
         << pdu.PDVPresentationContextID << pdu.PDVMessageControlHeader;
}

} // namespace

bool PDataTF::Write(Buffer& link) {
    const std::uint32_t blockSize = BlockSize == 0 ? DefaultBlockSize : BlockSize;
    if (blockSize > LargestBlockSize)
        LogMessage("WARNING, PDataTF::Write, BlockSize is too big: " + std::to_string(blockSize));
    // The queue is handed to the stream a piece at a time, so it is never held twice whole.
    constexpr std::uint32_t Piece = 4 * LargestBlockSize;
    std::vector<std::uint8_t> piece;
    BeginStream();
    while (VRBuffer.Queued() > 0) {
        piece.resize(std::min(VRBuffer.Queued(), Piece));
        const auto n = static_cast<std::uint32_t>(piece.size());
        if (!VRBuffer.TakeOut(piece.data(), n) || !StreamBytes(link, piece.data(), n))
            return false;
    }
    return FinishStream(link);
}

void PDataTF::BeginStream() {
    pending.clear();
}

bool PDataTF::StreamBytes(Buffer& link, const std::uint8_t* bytes, std::size_t count) {
    const std::uint32_t blockSize = BlockSize == 0 ? DefaultBlockSize : BlockSize;
    // A full PDV leaves only once a byte after it is known: the last one carries the flag.
    if (!pending.empty() && pending.size() + count > blockSize) {
        std::size_t n = blockSize - pending.size();
        pending.insert(pending.end(), bytes, bytes + n);
        bytes += n;
        count -= n;
        if (!sendPdv(link, pending.data(), blockSize, false))
            return false;
        pending.clear();
    }
    while (count > blockSize) {
        if (!sendPdv(link, bytes, blockSize, false))
            return false;
        bytes += blockSize;
        count -= blockSize;
    }
    pending.insert(pending.end(), bytes, bytes + count);
    return true;
}

bool PDataTF::FinishStream(Buffer& link) {
    bool ok = pending.empty() ||
              sendPdv(link, pending.data(), static_cast<std::uint32_t>(pending.size()), true);
    pending.clear();
    return ok;
}

bool PDataTF::sendPdv(Buffer& link, const std::uint8_t* bytes, std::uint32_t n, bool last) {
    std::uint32_t savedLength = PDULength;
    putPdvHeader(*this, link, n, last);
    link.Write(bytes, n);
    bool ok = link.Flush();
    if (!ok)
        LogMessage("ERROR, PDataTF::Write, failed Link.Flush");
    PDULength = savedLength;
    return ok;
}

bool PDataTF::ReadDynamic(Buffer& link) {
    if (PDULength == 0) {
        if (!link.ReadU8(Reserved1) || !link.ReadU32(PDULength))
            return false;
        if (PDULength > MaximumPDULength) {
            LogMessage("ERROR, PDataTF::ReadDynamic, PDU length " + std::to_string(PDULength) +
                       " above the maximum " + std::to_string(MaximumPDULength));
            PDULength = 0;
            VRBuffer.Clear();
            return false;
        }
    }
    MsgStatus = 0;
    while (PDULength > 0) {
        std::uint32_t itemLength = 0;
        bool headerRead = PDULength >= PdvHeaderLength && link.ReadU32(itemLength) &&
                          link.ReadU8(PDVPresentationContextID) &&
                          link.ReadU8(PDVMessageControlHeader);
        if (PDULength < PdvHeaderLength ||
            (headerRead && (itemLength < 2 || itemLength - 2 > PDULength - PdvHeaderLength))) {
            LogMessage("ERROR, PDataTF::ReadDynamic, PDV item length " +
                       std::to_string(itemLength) + " does not fit the PDU");
            // Pass over the rest of the PDU so the next PDU type byte is read in step; the
            // fragments gathered so far belong to a message that cannot be completed.
            std::uint32_t rest = headerRead ? PDULength - PdvHeaderLength : PDULength;
            PDULength = 0;
            VRBuffer.Clear();
            link.Skip(rest);
            return false;
        }
        if (!headerRead)
            return false;
        PDVItemLength = itemLength;
        if (!VRBuffer.MoveIn(link, itemLength - 2)) {
            LogMessage("ERROR, PDataTF::ReadDynamic, VRBuffer.MoveIn");
            return false;
        }
        PDULength -= itemLength + 4;
        PresentationContextID = PDVPresentationContextID;
        if (PDVMessageControlHeader & LastFragmentBit) {
            MsgStatus = 1;
            return true;
        }
    }
    return true;
}

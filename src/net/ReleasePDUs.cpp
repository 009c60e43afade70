#include "ReleasePDUs.h"

namespace {

bool readBody(Buffer& link, std::uint8_t& reserved, std::uint32_t& length, std::uint32_t& trailer) {
    if (!link.ReadU8(reserved) || !link.ReadU32(length))
        return false;
    if (length != 4) {
        trailer = 0;
        return link.Skip(length);
    }
    return link.ReadU32(trailer);
}

} // namespace

bool AReleaseRQ::Write(Buffer& link) {
    PDULength = 4;
    link << PDUType << Reserved1 << PDULength << Reserved2;
    return link.Flush();
}

bool AReleaseRQ::Read(Buffer& link) {
    return readBody(link, Reserved1, PDULength, Reserved2);
}

bool AReleaseRP::Write(Buffer& link) {
    PDULength = 4;
    link << PDUType << Reserved1 << PDULength << Reserved2;
    return link.Flush();
}

bool AReleaseRP::Read(Buffer& link) {
    std::uint8_t type = 0;
    return link.ReadU8(type) && readBody(link, Reserved1, PDULength, Reserved2);
}

bool AAbortRQ::Write(Buffer& link) {
    PDULength = 4;
    link << PDUType << Reserved1 << PDULength << Reserved2 << Reserved3 << Source << Reason;
    return link.Flush();
}

bool AAbortRQ::Read(Buffer& link) {
    if (!link.ReadU8(Reserved1) || !link.ReadU32(PDULength))
        return false;
    if (PDULength < 4)
        return link.Skip(PDULength);
    return link.ReadU8(Reserved2) && link.ReadU8(Reserved3) && link.ReadU8(Source) &&
           link.ReadU8(Reason) && link.Skip(PDULength - 4);
}

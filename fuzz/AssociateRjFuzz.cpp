// AAssociateRJ::Read on the bytes after the PDU type, from an in-memory link.
#include "AssociationPDUs.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(data, static_cast<std::uint32_t>(size));
    AAssociateRJ rj;
    rj.Read(link);
    return 0;
}

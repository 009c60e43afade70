// PDataTF::ReadDynamic over a stream of PDUs from an in-memory link, as the service reads
// them: a type byte starts each PDU, a message ends at its last fragment.
#include "FuzzSupport.h"
#include "PDataTF.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(data, static_cast<std::uint32_t>(size));
    PDataTF pdata;
    // Each round consumes at least one byte, so the input bounds the loop.
    for (std::size_t round = 0; round <= size; ++round) {
        if (pdata.PDULength == 0) {
            std::uint8_t type = 0;
            if (!link.ReadU8(type) || type != PduType::DataTF)
                break;
        }
        pdata.MsgStatus = 0;
        if (!pdata.ReadDynamic(link))
            break;
        if (pdata.MsgStatus == 1)
            pdata.VRBuffer.Clear();
    }
    return 0;
}

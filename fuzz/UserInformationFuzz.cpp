// UserInformation::ReadDynamic on the bytes after the 0x50 type, bounded as if they were the
// rest of an A-ASSOCIATE-AC. The first 2 bytes set that bound (0xFFFF: the whole input).
#include "FuzzSupport.h"
#include "UserInformation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::size_t limit = fuzzsupport::TakeLE(data, size, 2);
    if (limit == 0xFFFF)
        limit = size;
    Buffer link;
    link.SetReadOrder(Buffer::BigEndian);
    link.Supply(data, static_cast<std::uint32_t>(size));
    BoundedReader in(link, static_cast<std::uint32_t>(limit));
    UserInformation info;
    info.ReadDynamic(in);
    return 0;
}

// BufData::ReadObject on a data set without meta header. First byte: bits 0-1 the encoding
// (0 implicit little endian, 1 explicit little endian, 2 explicit big endian), bit 2 whether
// the bytes are handed over as a shared block (large values then share it).
#include "BufData.h"
#include "FuzzSupport.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t mode = fuzzsupport::TakeLE(data, size, 1);
    const int encoding = static_cast<int>(mode & 3) % 3;
    const bool shared = (mode & 4) != 0;

    DcmObj dataSet;
    dataSet.explicitVR = encoding == 0 ? 0 : 1;
    dataSet.bigEndian = encoding == 2 ? 1 : 0;
    dataSet.transferSyntax = encoding == 0   ? ImplicitLittleEndian
                             : encoding == 1 ? ExplicitLittleEndian
                                             : ExplicitBigEndian;

    auto owner = std::make_shared<uint8_t[]>(size + 1);
    if (size > 0)
        std::memcpy(owner.get(), data, size);
    BufData buf(dataSet.bigEndian, owner.get(), size, shared ? owner : nullptr);
    if (buf.ReadObject(dataSet)) {
        std::vector<std::string> lines;
        dataSet.Dump(lines, 0);
    }
    return 0;
}

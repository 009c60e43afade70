// JpegDecode16. Input: output size (3 bytes LE, at most 16 MiB), then the JPEG stream.
#include "FuzzSupport.h"
#include "Jpeg.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t outputBytes = fuzzsupport::TakeLE(data, size, 3);
    std::vector<uint8_t> stream(data, data + size);
    std::vector<uint8_t> output(outputBytes);
    JpegDecode16(stream.data(), output.data(), stream.size(), output.size());
    return 0;
}

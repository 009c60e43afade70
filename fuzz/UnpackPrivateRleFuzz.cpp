// UnpackPrivateRle. Input: maximum sample count (3 bytes LE, at most 2^21), then the stream.
#include "DcmObj.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t maxSamples = fuzzsupport::TakeLE(data, size, 3) & ((1u << 21) - 1);
    std::vector<uint8_t> stream(data, data + size);
    std::vector<uint8_t> samples(maxSamples * 2);
    const std::size_t written =
        UnpackPrivateRle(stream.data(), stream.size(), samples.data(), maxSamples);
    if (written > maxSamples)
        std::abort();
    return 0;
}

// DcmObj::RleDecodeFrame. Input: frame size (3 bytes LE, at most 4 MiB), photometric selector
// (1 byte), bits allocated (1 byte), then the fragment.
#include "DcmObj.h"
#include "FuzzSupport.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const char* const photometrics[] = {"MONOCHROME2",  "MONOCHROME1 ",  "RGB", "YBR_FULL",
                                               "YBR_FULL_422", "PALETTE COLOR", "",    " RGB "};
    const std::size_t frameSize = fuzzsupport::TakeLE(data, size, 3) & ((1u << 22) - 1);
    const std::size_t photometric = fuzzsupport::TakeLE(data, size, 1);
    const int bitsAllocated = static_cast<int>(fuzzsupport::TakeLE(data, size, 1));

    DcmObj dataSet;
    dataSet.photometric = photometrics[photometric % 8];
    std::vector<uint8_t> fragment(data, data + size); // exact extent, so ASan sees overreads
    std::vector<uint8_t> output(frameSize);
    dataSet.RleDecodeFrame(fragment.data(), output.data(), fragment.size(), output.size(),
                           bitsAllocated);
    return 0;
}

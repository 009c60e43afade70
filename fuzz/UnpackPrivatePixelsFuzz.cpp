// DcmObj::UnpackPrivatePixels on a data set of Rows, Columns and the private group. Input: rows
// (2 bytes LE), columns (2 bytes LE), then the value of (07A1,100A).
#include "DcmObj.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto rows = static_cast<uint16_t>(fuzzsupport::TakeLE(data, size, 2));
    const auto columns = static_cast<uint16_t>(fuzzsupport::TakeLE(data, size, 2));
    DcmObj dataSet;
    dataSet.Append(std::make_unique<DcmTag>(0x0028, 0x0010, rows, nullptr));
    dataSet.Append(std::make_unique<DcmTag>(0x0028, 0x0011, columns, nullptr));
    dataSet.Append(std::make_unique<DcmTag>(0x07A1, 0x0010, std::string("ELSCINT1"), "LO"));
    dataSet.Append(
        std::make_unique<DcmTag>(0x07A1, 0x100A, static_cast<uint32_t>(size), data, "OW"));
    dataSet.Append(std::make_unique<DcmTag>(0x07A1, 0x1011, std::string("PMSCT_RLE1"), "CS"));

    const bool unpacked = DcmObj::UnpackPrivatePixels(dataSet);
    const DcmTag* pixels = dataSet.GetTag(0x7FE0, 0x0010);
    if (unpacked) {
        // Pixel Data of exactly Rows x Columns samples, no more than the stream could give,
        // and nothing of the private group left.
        // The element keeps an odd stream with a pad byte, which the unpacking reads too.
        const uint64_t count = size + (size & 1);
        const uint64_t expected = uint64_t(rows) * columns * 2;
        const uint64_t most = 2 * (count / 3 * 256 + count % 3);
        if (!pixels || pixels->length != expected || (expected != count && expected > most) ||
            dataSet.GetTag(0x07A1, 0x100A) || dataSet.GetTag(0x07A1, 0x1011))
            std::abort();
        uint64_t sum = 0;
        for (uint32_t i = 0; i < pixels->length; ++i)
            sum += pixels->data[i];
        volatile uint64_t sink = sum;
        (void)sink;
    } else if (pixels) {
        std::abort();
    }
    std::vector<std::string> lines;
    dataSet.Dump(lines, 0);
    return 0;
}

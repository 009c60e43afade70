// Unpacking of the private CT pixel format marked "PMSCT_RLE1" in group 07A1.

#include "ByteOrder.h"
#include "DcmObj.h"
#include "Log.h"

#include <cstdint>
#include <cstring>
#include <string>

std::size_t UnpackPrivateRle(const uint8_t* bytes, std::size_t count, uint8_t* samples,
                             std::size_t maxSamples) {
    // Layer 1 (0xA5 n v = v repeated n + 1 times) is expanded lazily into layer 2's input.
    std::size_t in = 0;
    unsigned runLeft = 0;
    uint8_t runValue = 0;
    auto next = [&](uint8_t& out) -> bool {
        if (runLeft > 0) {
            --runLeft;
            out = runValue;
            return true;
        }
        if (in >= count)
            return false;
        uint8_t b = bytes[in++];
        if (b != 0xA5) {
            out = b;
            return true;
        }
        if (in + 2 > count) {
            in = count;
            return false;
        }
        runLeft = bytes[in++];
        runValue = bytes[in++];
        out = runValue;
        return true;
    };

    std::size_t written = 0;
    uint16_t previous = 0;
    uint8_t b = 0;
    while (written < maxSamples && next(b)) {
        uint16_t sample;
        if (b == 0x5A) {
            uint8_t lo = 0, hi = 0;
            if (!next(lo) || !next(hi))
                break;
            sample = static_cast<uint16_t>(hi << 8 | lo);
        } else {
            sample = static_cast<uint16_t>(previous + static_cast<int8_t>(b));
        }
        ByteOrder::Store16(samples + 2 * written, sample, ByteOrder::Little);
        previous = sample;
        ++written;
    }
    return written;
}

namespace {

// The most samples a stream of count bytes can produce: a run of three bytes stands for at most
// 256 bytes, each of which is at most one sample.
uint64_t mostSamplesFrom(uint64_t count) {
    return count / 3 * 256 + count % 3;
}

} // namespace

bool DcmObj::UnpackPrivatePixels(DcmObj& dataSet) {
    uint16_t rows = 0, columns = 0;
    for (int i = 0; i < dataSet.Count();) {
        DcmTag* e = dataSet.TagAt(i);
        if (!e) {
            ++i;
            continue;
        }
        if (e->Is(0x0028, 0x0010))
            rows = e->GetUShort();
        else if (e->Is(0x0028, 0x0011))
            columns = e->GetUShort();
        if (e->Is(0x07A1, 0x100A)) {
            const uint64_t pixels = uint64_t(rows) * columns;
            const uint64_t size = pixels * 2;
            const uint64_t count = e->HasValue() ? e->length : 0;
            // A length of 0xFFFFFFFF would read as undefined.
            if (size > UINT32_MAX - 1 || (count != size && pixels > mostSamplesFrom(count))) {
                LogMessage("ERROR, DcmObj::UnpackPrivatePixels, " + std::to_string(rows) + " x " +
                           std::to_string(columns) + " pixels cannot come from " +
                           std::to_string(count) + " bytes");
                return false;
            }
            if (count == size) {
                dataSet.AddValue(0x7FE0, 0x0010, static_cast<uint32_t>(size), e->data.get());
            } else {
                auto pixelData = std::make_unique<DcmTag>(
                    0x7FE0, 0x0010, static_cast<uint32_t>(size), nullptr, nullptr);
                if (size > 0) {
                    uint8_t* samples = pixelData->data.get();
                    std::size_t written =
                        UnpackPrivateRle(e->data.get(), count, samples, std::size_t(pixels));
                    std::memset(samples + 2 * written, 0, std::size_t(size) - 2 * written);
                }
                dataSet.Add(std::move(pixelData));
            }
        }
        if (dataSet.TagAt(i) && dataSet.TagAt(i)->group == 0x07A1)
            dataSet.Remove(i);
        else
            ++i;
    }
    return true;
}

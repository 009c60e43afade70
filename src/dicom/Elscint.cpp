// Unpacking of the private CT pixel format marked "PMSCT_RLE1" in group 07A1.

#include "DcmObj.h"

#include <vector>

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
        samples[2 * written] = sample & 0xFF;
        samples[2 * written + 1] = sample >> 8;
        previous = sample;
        ++written;
    }
    return written;
}

void DcmObj::UnpackPrivatePixels(DcmObj& dataSet) {
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
            std::size_t pixels = static_cast<std::size_t>(rows) * columns;
            uint32_t size = static_cast<uint32_t>(pixels * 2);
            if (e->length == size) {
                dataSet.AddValue(0x7FE0, 0x0010, size, e->data.get());
            } else {
                std::vector<uint8_t> samples(pixels * 2, 0);
                UnpackPrivateRle(e->data.get(), e->HasValue() ? e->length : 0, samples.data(),
                                 pixels);
                dataSet.AddValue(0x7FE0, 0x0010, size, samples.data());
            }
        }
        if (dataSet.TagAt(i) && dataSet.TagAt(i)->group == 0x07A1)
            dataSet.Remove(i);
        else
            ++i;
    }
}

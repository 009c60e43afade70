#include "Ybr.h"

#include <algorithm>

namespace {

// Truncation toward zero first, as the integer conversion would do, then saturation so that
// out-of-gamut pixels do not wrap round to the opposite end of the scale.
uint8_t clampByte(double v) {
    const long x = static_cast<long>(v);
    return static_cast<uint8_t>(std::clamp(x, 0L, 255L));
}

void toRgb(double y, double cb, double cr, uint8_t* rgb) {
    cb -= 128.0;
    cr -= 128.0;
    rgb[0] = clampByte(y + 1.402 * cr);
    rgb[1] = clampByte(y - 0.344136 * cb - 0.714136 * cr);
    rgb[2] = clampByte(y + 1.772 * cb);
}

} // namespace

void YbrFullToRgb(uint8_t* samples, std::size_t bytes) {
    for (std::size_t k = 0; k + 2 < bytes; k += 3)
        toRgb(samples[k], samples[k + 1], samples[k + 2], samples + k);
}

void YbrPlanesToRgb(const uint8_t* planes, uint8_t* out, std::size_t pixels) {
    for (std::size_t p = 0; p < pixels; ++p)
        toRgb(planes[p], planes[pixels + p], planes[2 * pixels + p], out + 3 * p);
}

void Ybr422ToRgb(const uint8_t* in, uint8_t* out, std::size_t pixels) {
    for (std::size_t p = 0; p < pixels; ++p) {
        const uint8_t* pair = in + (p / 2) * 4;
        toRgb(pair[p % 2], pair[2], pair[3], out + 3 * p);
    }
}

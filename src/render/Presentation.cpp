#include "Presentation.h"

#include "ByteOrder.h"
#include "Log.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <string>

namespace {

// Far beyond any bitmap or image size, small enough that the 8.8 arithmetic cannot overflow.
constexpr double PositionLimit = 1e12;

int64_t truncated(double value) {
    if (std::isnan(value))
        return 0;
    return static_cast<int64_t>(std::clamp(value, -PositionLimit, PositionLimit));
}

int32_t truncated32(float value) {
    if (std::isnan(value))
        return 0;
    return static_cast<int32_t>(
        std::clamp(static_cast<double>(value), -2147483648.0, 2147483647.0));
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

uint8_t limited(int64_t level) {
    return static_cast<uint8_t>(std::clamp<int64_t>(level, 0, 255));
}

// Where bitmap pixel (0, 0) falls in the frame, and the source advance per bitmap pixel, 8.8.
struct Placement {
    int64_t x0 = 0;
    int64_t y0 = 0;
    int64_t step = 256;
};

Placement place(const DCMPresentation& p, const QImage& bitmap, int panX, int panY) {
    const TImages& im = *p.images;
    double f = p.zoom;
    Placement at;
    at.x0 = truncated((im.columns - bitmap.width() * f) * 0.5 - panX * f);
    at.y0 = truncated((im.rows - bitmap.height() * f) * 0.5 - panY * f);
    // A zoom below 1/256 has no 8.8 step; the smallest one keeps the ranges finite.
    at.step = std::max<int64_t>(1, truncated(f * 256));
    return at;
}

// The frame's first byte, or nullptr (with a log line) when the pixel data does not hold it.
const uint8_t* frameStart(const std::vector<uint8_t>& data, std::size_t frameBytes, int frameIndex,
                          const char* place) {
    if (frameBytes == 0 || frameIndex < 0 ||
        (static_cast<std::size_t>(frameIndex) + 1) > data.size() / frameBytes) {
        LogMessage(std::string("ERROR, ") + place + ", frame " + std::to_string(frameIndex) +
                   " is not in the pixel data");
        return nullptr;
    }
    return data.data() + static_cast<std::size_t>(frameIndex) * frameBytes;
}

void fillBackground(QImage& bitmap, QRgb background) {
    if (IsGrayBitmap(bitmap))
        bitmap.fill(static_cast<uint>(qGray(background)));
    else
        bitmap.fill(QColor(background));
}

// Stores one grey level or one colour pixel into a row of either bitmap form.
inline void storeLevel(uint8_t* row, int c, bool grey, uint8_t level) {
    if (grey) {
        row[c] = level;
    } else {
        row[3 * c] = level;
        row[3 * c + 1] = level;
        row[3 * c + 2] = level;
    }
}

inline int interpolate8(int fx, int fy, int s00, int s01, int s10, int s11) {
    return ((256 - fx) * (256 - fy) * s00 + fx * (256 - fy) * s01 + (256 - fx) * fy * s10 +
            fx * fy * s11) >>
           16;
}

// Draws a frame of 8-bit samples, `samples` to a pixel, through the window. pixel() gets the
// top-left neighbour s (the next row `stride` bytes on) and the 8.8 fractions, and stores it.
template <typename Pixel>
void zoomBytes(const DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
               int marginY, int frameIndex, const std::vector<uint8_t>& data, int samples,
               const char* where, Pixel&& pixel) {
    if (p.windowWidth == 0) {
        LogMessage(std::string("ERROR, ") + where + ", w==0");
        return;
    }
    fillBackground(bitmap, p.background);
    const TImages& im = *p.images;
    const int64_t C = im.columns, R = im.rows;
    const uint8_t* frame =
        frameStart(data, static_cast<std::size_t>(C * R * samples), frameIndex, where);
    if (!frame)
        return;
    const std::array<uint8_t, 256> lut = p.WindowLut();
    const Placement at = place(p, bitmap, panX, panY);
    const bool grey = IsGrayBitmap(bitmap);
    const int W = bitmap.width(), H = bitmap.height();
    const int64_t stride = C * samples;
    for (int r = marginY; r < H - marginY - 1; ++r) {
        int64_t sy = r * at.step + at.y0 * 256;
        if (!(0 < sy && sy < (R - 1) * 256))
            continue;
        const uint8_t* line = frame + (sy >> 8) * stride;
        const int fy = static_cast<int>(sy & 255);
        uint8_t* row = bitmap.scanLine(r);
        for (int c = marginX; c < W - marginX - 1; ++c) {
            int64_t sx = c * at.step + at.x0 * 256;
            if (!(0 < sx && sx < (C - 1) * 256))
                continue;
            pixel(row, c, grey, lut, line + (sx >> 8) * samples, stride, static_cast<int>(sx & 255),
                  fy);
        }
    }
}

std::string decimal(double value) {
    char text[32];
    auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::general);
    return std::string(text, r.ptr);
}

// Without a window or a VOI LUT the frame's own range is shown: centre and width from its
// smallest and largest modality value, read as the 16-bit drawing reads them.
void windowFromValues(TImages& im) {
    const std::size_t n =
        std::min<std::size_t>(std::size_t(im.columns) * im.rows, im.data.size() / 2);
    if (n == 0)
        return;
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::size_t k = 0; k < n; ++k) {
        const uint16_t word = ByteOrder::Load16(im.data.data() + 2 * k, ByteOrder::Little);
        const int64_t v = im.signedSamples ? static_cast<int16_t>(word) : word;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    im.windowCenter = static_cast<float>(lo + hi) / 2;
    im.windowWidth = static_cast<float>(hi - lo + 1);
    if (CurrentLogLevel >= 2)
        LogMessage("INFO, RenderToBitmap, no window: centre " + decimal((lo + hi) / 2.0) +
                   ", width " + std::to_string(hi - lo + 1) + " from the frame's values " +
                   std::to_string(lo) + " to " + std::to_string(hi));
}

} // namespace

std::array<uint8_t, 256> DCMPresentation::WindowLut() const {
    std::array<uint8_t, 256> lut{};
    bool invert = images && images->monochrome1;
    int64_t width = windowWidth == 0 ? 1 : windowWidth;
    for (int i = 0; i < 256; ++i) {
        uint8_t entry = limited((static_cast<int64_t>(i) - windowCenter) * 255 / width + 127);
        lut[i] = invert ? static_cast<uint8_t>(255 - entry) : entry;
    }
    return lut;
}

void DCMPresentation::Zoom(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                           int marginY, int frameIndex) {
    if (!p.images || bitmap.isNull())
        return;
    if (p.windowWidth == 0)
        p.windowWidth = 1;
    if (!(p.zoom >= 0.001))
        p.zoom = 1.0;
    if (!IsGrayBitmap(bitmap) && bitmap.format() != QImage::Format_BGR888)
        bitmap = bitmap.convertToFormat(QImage::Format_BGR888);
    const TImages& im = *p.images;
    if (im.colour)
        ZoomDataRGB(p, bitmap, panX, panY, marginX, marginY, frameIndex, im.data);
    else if (im.bitsAllocated == 8)
        ZoomData8(p, bitmap, panX, panY, marginX, marginY, frameIndex, im.data);
    else
        ZoomData16(p, bitmap, panX, panY, marginX, marginY, frameIndex, im.data);
}

void DCMPresentation::ZoomData8(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                                int marginY, int frameIndex, const std::vector<uint8_t>& data) {
    zoomBytes(p, bitmap, panX, panY, marginX, marginY, frameIndex, data, 1,
              "DCMPresentation::ZoomData8",
              [](uint8_t* row, int c, bool grey, const std::array<uint8_t, 256>& lut,
                 const uint8_t* s, int64_t stride, int fx, int fy) {
                  storeLevel(row, c, grey,
                             lut[interpolate8(fx, fy, s[0], s[1], s[stride], s[stride + 1])]);
              });
}

void DCMPresentation::ZoomDataRGB(DCMPresentation& p, QImage& bitmap, int panX, int panY,
                                  int marginX, int marginY, int frameIndex,
                                  const std::vector<uint8_t>& data) {
    zoomBytes(
        p, bitmap, panX, panY, marginX, marginY, frameIndex, data, 3,
        "DCMPresentation::ZoomDataRGB",
        [](uint8_t* row, int c, bool grey, const std::array<uint8_t, 256>& lut, const uint8_t* s,
           int64_t stride, int fx, int fy) {
            uint8_t rgb[3];
            for (int k = 0; k < 3; ++k)
                rgb[k] =
                    lut[interpolate8(fx, fy, s[k], s[3 + k], s[stride + k], s[stride + 3 + k])];
            if (grey) {
                row[c] = static_cast<uint8_t>((rgb[0] + rgb[1] + rgb[2]) / 3);
            } else {
                row[3 * c] = rgb[2];
                row[3 * c + 1] = rgb[1];
                row[3 * c + 2] = rgb[0];
            }
        });
}

void DCMPresentation::ZoomData16(DCMPresentation& p, QImage& bitmap, int panX, int panY,
                                 int marginX, int marginY, int frameIndex,
                                 const std::vector<uint8_t>& data) {
    if (p.windowWidth == 0) {
        LogMessage("ERROR, DCMPresentation::ZoomData16, w==0");
        return;
    }
    fillBackground(bitmap, p.background);
    const TImages& im = *p.images;
    const int64_t C = im.columns, R = im.rows;
    const int bytesPerSample = std::max(1, im.bitsAllocated / 8);
    const uint8_t* frame = frameStart(data, static_cast<std::size_t>(C * R * bytesPerSample),
                                      frameIndex, "DCMPresentation::ZoomData16");
    if (!frame || bytesPerSample < 2)
        return;
    const Placement at = place(p, bitmap, panX, panY);
    const bool grey = IsGrayBitmap(bitmap);
    const bool invert = im.monochrome1;
    const bool isSigned = im.signedSamples;
    const int64_t centre = p.windowCenter, width = p.windowWidth;
    const int W = bitmap.width(), H = bitmap.height();

    const int64_t lastRow =
        std::min<int64_t>((R * 256 - at.y0 * 256 - 256) / at.step, H - marginY - 1);
    const int64_t firstRow = std::max<int64_t>(-(at.y0 * 256) / at.step, marginY);
    const int64_t lastColumn =
        std::min<int64_t>((C * 256 - at.x0 * 256 - 256) / at.step, W - marginX - 1);
    const int64_t firstColumn = std::max<int64_t>(-(at.x0 * 256) / at.step, marginX);

    // The word at sample index k of the frame, little-endian, whatever the machine order.
    auto sample = [&](int64_t k) -> int64_t {
        const uint8_t* b = frame + k * bytesPerSample;
        uint16_t word = ByteOrder::Load16(b, ByteOrder::Little);
        return isSigned ? static_cast<int64_t>(static_cast<int16_t>(word)) : word;
    };

    for (int64_t r = firstRow + 1; r < lastRow - 1; ++r) {
        int64_t sy = r * at.step + at.y0 * 256;
        int64_t iy = floorDiv(sy, 256), fy = sy - iy * 256;
        // The range above keeps inside the frame; this holds whatever the arithmetic did.
        if (iy < 0 || iy + 1 >= R || r < 0 || r >= H)
            continue;
        uint8_t* row = bitmap.scanLine(static_cast<int>(r));
        for (int64_t c = firstColumn + 1; c < lastColumn - 1; ++c) {
            int64_t sx = c * at.step + at.x0 * 256;
            int64_t ix = floorDiv(sx, 256), fx = sx - ix * 256;
            if (ix < 0 || ix + 1 >= C || c < 0 || c >= W)
                continue;
            int64_t k = iy * C + ix;
            int64_t s00 = sample(k), s01 = sample(k + 1), s10 = sample(k + C),
                    s11 = sample(k + C + 1);
            int64_t v = (s00 * 65536 + 256 * (fx * (s01 - s00) + fy * (s10 - s00)) +
                         fx * fy * (s00 + s11 - s01 - s10)) >>
                        16;
            int64_t level =
                invert ? (centre - v) * 255 / width + 127 : (v - centre) * 255 / width + 127;
            storeLevel(row, static_cast<int>(c), grey, limited(level));
        }
    }
}

bool RenderToBitmap(QImage& bitmap, const DcmObj& dataSet) {
    bool result = false;
    try {
        DCMPresentation presentation;
        TImages images;
        TImages::Read(images, dataSet);
        if (images.data.empty())
            return false;
        if (!images.colour && images.bitsAllocated != 8 && images.bitsAllocated != 16) {
            LogMessage("ERROR, RenderToBitmap, " + std::to_string(images.bitsAllocated) +
                       " bits allocated cannot be drawn");
            return false;
        }
        presentation.images = &images;
        presentation.zoom = 1.0;
        if (images.colour) {
            CreateRgbBitmap(bitmap, images.columns, images.rows, qRgb(0, 0, 0));
            images.windowWidth = 255;
            images.windowCenter = 127;
        } else {
            CreateGrayBitmap(bitmap, images.columns, images.rows, qRgb(0, 0, 0));
            TImages::ApplyLut(images);
            if (images.windowWidth == 0 && images.bitsAllocated == 16)
                windowFromValues(images);
        }
        presentation.windowWidth = truncated32(images.windowWidth);
        presentation.windowCenter = truncated32(images.windowCenter);
        DCMPresentation::Zoom(presentation, bitmap, 0, 0, 0, 0, 0);
        result = true;
    } catch (...) {
        result = false;
    }
    return result;
}

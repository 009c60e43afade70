#pragma once
// Drawing one frame of a TImages onto a bitmap with zoom, pan and margins, by bilinear
// interpolation in 8.8 fixed point, and the window (centre, width) that maps samples to grey.

#include "Bitmaps.h"
#include "DcmObj.h"
#include "Images.h"

#include <QImage>
#include <QRgb>

#include <array>
#include <cstdint>

class DCMPresentation {
public:
    // Lent by the caller, who keeps it alive while the presentation draws.
    TImages* images = nullptr;
    // Source pixels per bitmap pixel.
    double zoom = 1.0;
    int32_t windowWidth = 0;
    int32_t windowCenter = 0;
    QRgb background = qRgb(0, 0, 0);

    // Fills the bitmap with the background, then draws frame `frameIndex` with ZoomDataRGB,
    // ZoomData8 or ZoomData16. A window width of 0 becomes 1, a zoom below 0.001 becomes 1.0.
    static void Zoom(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                     int marginY, int frameIndex);
    static void ZoomData8(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                          int marginY, int frameIndex, const std::vector<uint8_t>& data);
    static void ZoomData16(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                           int marginY, int frameIndex, const std::vector<uint8_t>& data);
    static void ZoomDataRGB(DCMPresentation& p, QImage& bitmap, int panX, int panY, int marginX,
                            int marginY, int frameIndex, const std::vector<uint8_t>& data);

    // 256 entries: (i - centre) * 255 / width + 127, limited to 0..255; complemented for
    // MONOCHROME1 images.
    std::array<uint8_t, 256> WindowLut() const;
};

// Draws the first frame of a data set holding native pixel data at its natural size: a colour
// bitmap for "RGB", else a grey one through the image's LUT and window. False when the data
// set has no pixel data (the bitmap is then untouched) or the drawing failed.
bool RenderToBitmap(QImage& bitmap, const DcmObj& dataSet);

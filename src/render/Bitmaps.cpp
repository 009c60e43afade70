#include "Bitmaps.h"

#include <QList>

namespace {

const QList<QRgb>& greyPalette() {
    static const QList<QRgb> palette = [] {
        QList<QRgb> p(256);
        for (int i = 0; i < 256; ++i)
            p[i] = qRgb(i, i, i);
        return p;
    }();
    return palette;
}

} // namespace

void CreateGrayBitmap(QImage& bitmap, int width, int height, QRgb fill) {
    bitmap = QImage(width, height, QImage::Format_Indexed8);
    bitmap.setColorTable(greyPalette());
    if (!bitmap.isNull())
        bitmap.fill(static_cast<uint>(qGray(fill)));
}

void CreateRgbBitmap(QImage& bitmap, int width, int height, QRgb fill) {
    bitmap = QImage(width, height, QImage::Format_BGR888);
    if (!bitmap.isNull())
        bitmap.fill(QColor(fill));
}

bool IsGrayBitmap(const QImage& bitmap) {
    return bitmap.format() == QImage::Format_Indexed8 ||
           bitmap.format() == QImage::Format_Grayscale8;
}

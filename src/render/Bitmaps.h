#pragma once
// The two bitmap forms the renderer draws into, on QImage:
//   grey:   QImage::Format_Indexed8, palette entry i = (i, i, i), a pixel byte is its grey level;
//   colour: QImage::Format_BGR888, the bytes of a pixel are blue, green, red.
// Rows are addressed top to bottom through scanLine().

#include <QImage>
#include <QRgb>

// Makes bitmap a width x height grey bitmap filled with the grey level of fill.
void CreateGrayBitmap(QImage& bitmap, int width, int height, QRgb fill);
// Makes bitmap a width x height colour bitmap filled with fill.
void CreateRgbBitmap(QImage& bitmap, int width, int height, QRgb fill);

// True for the grey form (any 8-bit format whose byte is the level).
bool IsGrayBitmap(const QImage& bitmap);

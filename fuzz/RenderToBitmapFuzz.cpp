// TImages::Read and RenderToBitmap on the input as a whole file, then the last frame drawn
// again zoomed, panned and with margins onto a small bitmap of the image's kind.
#include "Bitmaps.h"
#include "DcmObj.h"
#include "FuzzSupport.h"
#include "Images.h"
#include "Presentation.h"

#include <QImage>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzzsupport::ScratchDirectory directory;
    static fuzzsupport::ScratchFile file;
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, file.Write(data, size)))
        return 0;
    QImage bitmap;
    RenderToBitmap(bitmap, dataSet);

    TImages images;
    TImages::Read(images, dataSet);
    if (images.data.empty())
        return 0;
    TImages::ApplyLut(images);
    DCMPresentation presentation;
    presentation.images = &images;
    presentation.zoom = 0.7;
    presentation.windowCenter = static_cast<int32_t>(images.windowCenter);
    presentation.windowWidth = static_cast<int32_t>(images.windowWidth);
    QImage small;
    if (images.colour)
        CreateRgbBitmap(small, 37, 23, qRgb(0, 0, 0));
    else
        CreateGrayBitmap(small, 37, 23, qRgb(0, 0, 0));
    DCMPresentation::Zoom(presentation, small, 3, -5, 2, 1, images.frames - 1);
    return 0;
}

// TStudy::Read and WaveformToBitmap on the input as a whole file (a GUI application on the
// offscreen platform, so that the page's texts are drawn too), then every further waveform's
// channels set up and drawn on a canvas that draws nothing.
#include "DcmObj.h"
#include "FuzzSupport.h"
#include "Waveform.h"

#include <QGuiApplication>
#include <QImage>

#include <memory>

namespace {

class NullCanvas : public WaveformCanvas {
public:
    void SetPenColor(QRgb) override {}
    void MoveTo(int, int) override {}
    void LineTo(int, int) override {}
    void Rectangle(int, int, int, int) override {}
    void SetFont(const std::string&, int, bool) override {}
    int TextWidth(const std::string& text) override { return static_cast<int>(text.size()) * 7; }
    void TextOut(int, int, const std::string&) override {}
};

int appArgc = 1;
char appName[] = "fuzz_waveform_to_bitmap";
char* appArgv[] = {appName, nullptr};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Lives until exit; Qt must not be torn down while the fuzzer may still call in.
    static QGuiApplication app(appArgc, appArgv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzzsupport::ScratchFile file;
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, file.Write(data, size)))
        return 0;
    QImage bitmap;
    WaveformToBitmap(dataSet, bitmap);

    TStudy study;
    TStudy::Read(study, dataSet);
    NullCanvas canvas;
    for (std::size_t i = 1; i < study.waveforms.size(); ++i) {
        TWaveform& waveform = *study.waveforms[i];
        SetupChannels(waveform, 40);
        for (const auto& channel : waveform.channelList)
            DrawChannel(*channel, canvas, 0);
    }
    return 0;
}

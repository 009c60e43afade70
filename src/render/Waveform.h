#pragma once
// Waveform data sets (ECG, haemodynamic, audio) drawn as a chart page: a paper grid, a header
// with patient and study data and free text, and one trace per channel of the first waveform.
//
// Page geometry in pixels: a small square is 20 (200 ms, 0.5 mV or 50 mm Hg); coarse lines every
// 40 horizontally and every 100 vertically; 1 mV is 40 pixels and 1 second 100 pixels.

#include "DcmObj.h"
#include "Images.h"

#include <QImage>
#include <QRgb>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TChannel {
    std::string label;
    int32_t left = 0;
    int32_t baseline = 0;
    float samplesPerPixel = 0;
    float divisor = 1;
    int32_t count = 0;
    float pulseHeight = 40;
    float frequency = 0;
    std::vector<int16_t> samples;
    std::string source;
    float sensitivity = 0;
    std::string units;
    float correction = 0;
    float zero = 0;
    uint16_t bitsStored = 0;
};

struct TWaveform {
    float pulseHeight = 0;
    std::string originality;
    uint16_t channels = 0;
    uint32_t samples = 0;
    float frequency = 0;
    uint16_t bitsAllocated = 0;
    // Channel-interleaved 16-bit samples as encoded; bigEndian tells their byte order.
    std::vector<uint8_t> data;
    uint8_t bigEndian = 0;
    std::vector<std::unique_ptr<TChannel>> channelList;
};

class TStudy {
public:
    std::string sopClass;
    std::string patientName;
    std::string patientID;
    std::string birthDate;
    std::string sex;
    std::string studyDate;
    std::string studyTime;
    std::string modality;
    std::string institution;
    // Every Unformatted Text Value, each followed by "\r\n".
    std::string freeText;
    std::vector<std::unique_ptr<TWaveform>> waveforms;

    static void Read(TStudy& study, const DcmObj& dataSet);

private:
    // Where the walk through a flat (undefined length) Waveform Sequence stands.
    bool waveformMode = false;
    bool channelMode = false;
    bool sourceExpected = false;
    bool unitsExpected = false;
    std::unique_ptr<TWaveform> pendingWaveform;
    std::unique_ptr<TChannel> pendingChannel;

    void readFlatWaveformElement(const DcmTag& e);
};

void ReadWaveformItems(std::vector<std::unique_ptr<TWaveform>>& list, const DcmObj& nested);
void ReadChannelDefinitions(std::vector<std::unique_ptr<TChannel>>& list, const DcmObj& nested);

// Splits the waveform's samples into its channels and sets their geometry and scale.
void SetupChannels(TWaveform& waveform, float pulseHeight);

// What the page is drawn on. Text is placed by its top-left corner; font sizes are points at
// 96 pixels per inch.
class WaveformCanvas {
public:
    virtual ~WaveformCanvas() = default;
    virtual void SetPenColor(QRgb colour) = 0;
    virtual void MoveTo(int x, int y) = 0;
    virtual void LineTo(int x, int y) = 0;
    // Outline in the pen colour, inside in white, covering x in [left, right), y in [top, bottom).
    virtual void Rectangle(int left, int top, int right, int bottom) = 0;
    virtual void SetFont(const std::string& name, int size, bool bold) = 0;
    virtual int TextWidth(const std::string& text) = 0;
    virtual void TextOut(int x, int y, const std::string& text) = 0;
};

// A canvas painting on a QImage. Text needs a QGuiApplication; without one it is left out.
class PainterCanvas : public WaveformCanvas {
public:
    explicit PainterCanvas(QImage& image);
    ~PainterCanvas() override;
    PainterCanvas(const PainterCanvas&) = delete;
    PainterCanvas& operator=(const PainterCanvas&) = delete;

    void SetPenColor(QRgb colour) override;
    void MoveTo(int x, int y) override;
    void LineTo(int x, int y) override;
    void Rectangle(int left, int top, int right, int bottom) override;
    void SetFont(const std::string& name, int size, bool bold) override;
    int TextWidth(const std::string& text) override;
    void TextOut(int x, int y, const std::string& text) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

void DrawChannel(const TChannel& channel, WaveformCanvas& canvas, double timeOffsetMs);
void DrawWaveformPage(const TStudy& study, WaveformCanvas& canvas, int width, int height,
                      double gridStep, double timeOffsetMs);

// For modality "ECG", "HD" or "AU": bitmap becomes a colour drawing of channels x 100 by
// samples / 10 pixels with the first waveform's page; true when drawn. Otherwise the bitmap
// stays as it is and the result is false.
bool WaveformToBitmap(const DcmObj& dataSet, QImage& bitmap);

// The image becomes one 850 x 1100 colour frame holding the drawn page (white outside the
// drawing); the drawing is also saved as "test.bmp" in the current directory.
void WaveformToImage(TImages& images, const DcmObj& dataSet);

// yyyymmdd as mm/dd/yyyy for "United States", dd/mm/yyyy for any other country; empty stays
// empty. The one-argument form asks DefaultCountryName().
std::string FormatDicomDate(const std::string& date, const std::string& country);
std::string FormatDicomDate(const std::string& date);

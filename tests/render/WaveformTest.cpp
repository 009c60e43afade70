#include "Waveform.h"

#include "Bitmaps.h"
#include "DcmObj.h"
#include "Images.h"
#include "Locale.h"
#include "TestSupport.h"

#include <QGuiApplication>
#include <QLocale>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

// Text on a QPainter needs a GUI application; this program's tests share one, offscreen.
class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance())
            return;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "render_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QGuiApplication> app_;
};

// GoogleTest owns registered environments.
[[maybe_unused]] ::testing::Environment* const guiEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

const std::string SampleDir = testsupport::SampleFiles;

// Records what is drawn, for checks on texts and geometry.
class RecordingCanvas : public WaveformCanvas {
public:
    struct Text {
        int x, y;
        std::string text;
        std::string font;
        int size;
        bool bold;
    };
    std::vector<Text> texts;
    std::vector<std::pair<QPoint, QPoint>> lines;
    std::vector<QRgb> lineColours;
    QRgb pen = 0xFF000000;
    std::string font;
    int size = 0;
    bool bold = false;
    QPoint at;

    void SetPenColor(QRgb colour) override { pen = colour; }
    void MoveTo(int x, int y) override { at = QPoint(x, y); }
    void LineTo(int x, int y) override {
        lines.emplace_back(at, QPoint(x, y));
        lineColours.push_back(pen);
        at = QPoint(x, y);
    }
    void Rectangle(int, int, int, int) override {}
    void SetFont(const std::string& name, int s, bool b) override {
        font = name;
        size = s;
        bold = b;
    }
    int TextWidth(const std::string& text) override { return static_cast<int>(text.size()) * 10; }
    void TextOut(int x, int y, const std::string& text) override {
        texts.push_back({x, y, text, font, size, bold});
    }
    const Text* find(const std::string& text) const {
        for (const Text& t : texts)
            if (t.text == text)
                return &t;
        return nullptr;
    }
};

std::unique_ptr<DcmTag> text(uint16_t g, uint16_t e, const std::string& value, const char* vr) {
    return std::make_unique<DcmTag>(g, e, value, vr);
}

std::unique_ptr<DcmObj> nested(uint16_t g, uint16_t e) {
    auto obj = std::make_unique<DcmObj>();
    obj->itemTag.group = g;
    obj->itemTag.element = e;
    obj->itemTag.SetVR(g == 0xFFFE ? "  " : "SQ");
    return obj;
}

std::unique_ptr<DcmObj> codeSequence(uint16_t element, uint16_t codeElement,
                                     const std::string& value) {
    auto sequence = nested(0x003A, element);
    auto item = nested(0xFFFE, 0xE000);
    item->Append(text(0x0008, codeElement, value, "SH"));
    sequence->AppendObj(std::move(item));
    return sequence;
}

// A waveform data set with defined-length sequences: `leads` channels of `samples` samples at
// `frequency`, every sample of channel i equal to values[i].
std::unique_ptr<DcmObj> nestedEcg(int leads, uint32_t samples, int frequency,
                                  const std::string& units, const std::vector<int16_t>& values) {
    auto owned = std::make_unique<DcmObj>();
    DcmObj& ds = *owned;
    ds.Append(text(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.9.1.1", "UI"));
    ds.Append(text(0x0008, 0x0020, "20240131", "DA"));
    ds.Append(text(0x0008, 0x0030, "093015", "TM"));
    ds.Append(text(0x0008, 0x0060, "ECG", "CS"));
    ds.Append(text(0x0008, 0x0080, "Clinic", "LO"));
    ds.Append(text(0x0010, 0x0010, "Doe^Jane", "PN"));
    auto waveformSequence = nested(0x5400, 0x0100);
    auto waveform = nested(0xFFFE, 0xE000);
    waveform->Append(text(0x003A, 0x0004, "ORIGINAL", "CS"));
    waveform->Append(std::make_unique<DcmTag>(0x003A, 0x0005, uint16_t(leads), "US"));
    waveform->Append(std::make_unique<DcmTag>(0x003A, 0x0010, samples, "UL"));
    waveform->Append(text(0x003A, 0x001A, std::to_string(frequency), "DS"));
    auto channels = nested(0x003A, 0x0200);
    for (int i = 0; i < leads; ++i) {
        auto item = nested(0xFFFE, 0xE000);
        auto source = nested(0x003A, 0x0208);
        auto sourceItem = nested(0xFFFE, 0xE000);
        sourceItem->Append(text(0x0008, 0x0100, "code", "SH"));
        sourceItem->Append(text(0x0008, 0x0104, "Lead " + std::to_string(i + 1), "LO"));
        source->AppendObj(std::move(sourceItem));
        item->AppendObj(std::move(source));
        item->Append(text(0x003A, 0x0210, "1", "DS"));
        item->AppendObj(codeSequence(0x0211, 0x0100, units));
        item->Append(text(0x003A, 0x0212, "1", "DS"));
        item->Append(text(0x003A, 0x0213, "0", "DS"));
        channels->AppendObj(std::move(item));
    }
    waveform->AppendObj(std::move(channels));
    waveform->Append(std::make_unique<DcmTag>(0x5400, 0x1004, uint16_t(16), "US"));
    std::vector<int16_t> data(std::size_t(leads) * samples);
    for (std::size_t k = 0; k < data.size(); ++k)
        data[k] = values[k % leads];
    waveform->Append(std::make_unique<DcmTag>(
        0x5400, 0x1010, static_cast<uint32_t>(data.size() * 2), data.data(), "OW"));
    waveformSequence->AppendObj(std::move(waveform));
    ds.AppendObj(std::move(waveformSequence));
    DcmObj::EncodeToTag(*ds.ObjAt(ds.Count() - 1), ds.ObjAt(ds.Count() - 1)->itemTag);
    return owned;
}

int darkPixels(const QImage& image, int x0, int x1, int y0, int y1) {
    int count = 0;
    for (int y = std::max(0, y0); y < std::min(image.height(), y1); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x1); ++x)
            if (qGray(image.pixel(x, y)) < 64)
                ++count;
    return count;
}

class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::filesystem::path& to)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(to);
    }
    ~CurrentDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

} // namespace

TEST(Waveform, SampleEcgIsDrawnWithTwelveTraces) {
    DcmObj ds;
    ASSERT_TRUE(DcmObj::Read(ds, SampleDir + "waveform_ecg.dcm"));
    TStudy study;
    TStudy::Read(study, ds);
    EXPECT_EQ(study.modality, "ECG");
    EXPECT_EQ(study.patientName, "Anonymous");
    EXPECT_EQ(study.institution, "E. O. Ospedali Galliera");
    EXPECT_EQ(study.freeText.rfind("RITMO SINUSALE\r\nECG NORMALE\r\n", 0), 0u);
    ASSERT_EQ(study.waveforms.size(), 2u); // rhythm and median beat
    TWaveform& first = *study.waveforms[0];
    EXPECT_EQ(first.channels, 12);
    EXPECT_EQ(first.samples, 10000u);
    ASSERT_EQ(first.channelList.size(), 12u);
    EXPECT_EQ(first.channelList[0]->source, "Lead I (Einthoven)");
    EXPECT_EQ(first.channelList[0]->units, "uV");
    EXPECT_FLOAT_EQ(first.channelList[0]->sensitivity, 1.25f);
    SetupChannels(first, 40);
    EXPECT_EQ(first.channelList[0]->label, "Lead I (Einthoven) 0.5 mV/div");
    EXPECT_FLOAT_EQ(first.channelList[0]->divisor, 20.0f);
    EXPECT_FLOAT_EQ(first.channelList[0]->samplesPerPixel, 10.0f);
    EXPECT_EQ(first.channelList[0]->samples[0], 0x0050);
    EXPECT_EQ(first.channelList[3]->samples[0], static_cast<int16_t>(0xFFAB));

    QImage bitmap;
    ASSERT_TRUE(WaveformToBitmap(ds, bitmap));
    EXPECT_EQ(bitmap.size(), QSize(1000, 1200));
    for (int i = 0; i < 12; ++i) {
        int baseline = 190 + 90 * i;
        // Beyond the calibration pulse, within the channel's band.
        EXPECT_GT(darkPixels(bitmap, 40, 1000, baseline - 45, baseline + 45), 100) << i;
    }
    EXPECT_GT(darkPixels(bitmap, 30, 200, 10, 110), 50) << "no header text";
    EXPECT_EQ(bitmap.pixel(20, 3), qRgb(192, 192, 192)) << "silver grid";
    EXPECT_EQ(bitmap.pixel(100, 7), qRgb(128, 128, 128)) << "grey coarse line";
    EXPECT_EQ(bitmap.pixel(15, 15), qRgb(255, 255, 255)) << "paper";
}

TEST(Waveform, ImagesReadGivesThePageFrameAndWritesTestBmp) {
    testsupport::TempDir dir;
    DcmObj ds;
    ASSERT_TRUE(DcmObj::Read(ds, SampleDir + "waveform_ecg.dcm"));
    TImages images;
    {
        CurrentDirectory inside(dir.path());
        TImages::Read(images, ds);
    }
    EXPECT_EQ(images.columns, 850);
    EXPECT_EQ(images.rows, 1100);
    EXPECT_TRUE(images.colour);
    EXPECT_EQ(images.photometricText, "RGB");
    EXPECT_EQ(images.bitsAllocated, 8);
    ASSERT_EQ(images.data.size(), 850u * 1100u * 3u);
    QImage saved(QString::fromStdString(dir.file("test.bmp").string()));
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), QSize(850, 1100));
    // The frame is the page saved: the whole drawing scaled to it.
    for (int y : {1, 190, 500, 1099})
        for (int x : {1, 37, 400, 849}) {
            const uint8_t* p = images.data.data() + (std::size_t(y) * 850 + x) * 3;
            ASSERT_EQ(qRgb(p[2], p[1], p[0]), saved.pixel(x, y)) << x << "," << y;
        }
}

TEST(Waveform, TwelveLeadsOfTenSecondsAt500) {
    std::vector<int16_t> values(12, 0);
    values[0] = 1000; // 1 mV: 40 pixels up
    auto owned = nestedEcg(12, 5000, 500, "uV", values);
    DcmObj& ds = *owned;
    TStudy study;
    TStudy::Read(study, ds);
    ASSERT_EQ(study.waveforms.size(), 1u);
    TWaveform& w = *study.waveforms[0];
    ASSERT_EQ(w.channelList.size(), 12u);
    EXPECT_EQ(w.channelList[11]->source, "Lead 12");
    SetupChannels(w, 40);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(w.channelList[i]->baseline, 190 + 90 * i);
    EXPECT_FLOAT_EQ(w.channelList[0]->samplesPerPixel, 5.0f);
    EXPECT_FLOAT_EQ(w.channelList[0]->divisor, 25.0f); // 25 uV per pixel

    QImage bitmap;
    ASSERT_TRUE(WaveformToBitmap(ds, bitmap));
    EXPECT_EQ(bitmap.size(), QSize(500, 1200));

    RecordingCanvas canvas;
    DrawChannel(*w.channelList[0], canvas, 0);
    ASSERT_GE(canvas.lines.size(), 6u);
    // The calibration pulse, then the first sample drawn as 0, then 1 mV above the baseline.
    EXPECT_EQ(canvas.lines[0].first, QPoint(0, 190));
    EXPECT_EQ(canvas.lines[2].second, QPoint(22, 150));
    EXPECT_EQ(canvas.lines[4].second, QPoint(30, 190));
    EXPECT_EQ(canvas.lines[5].second, QPoint(30, 190));
    EXPECT_EQ(canvas.lines[6].second, QPoint(30, 150));
    EXPECT_EQ(canvas.lines.size(), 5u + 5000u);
    ASSERT_NE(canvas.find("Lead 1 0.5 mV/div"), nullptr);
    EXPECT_EQ(canvas.find("Lead 1 0.5 mV/div")->y, 120);
}

TEST(Waveform, PressureAndMillivoltScales) {
    // fullScale: the value 40 pixels stand for; 0 where the unit has no scale (divisor 1).
    const struct {
        const char* units;
        int16_t value;
        const char* label;
        float fullScale;
    } cases[] = {
        {"mm[Hg]", 100, "Lead 1 50 mm Hg/div", 100.0f},
        {"mV", 1, "Lead 1 0.5 mV/div", 1.0f},
        {"Pa", 1, "", 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        auto ds = nestedEcg(1, 100, 250, c.units, {c.value});
        TStudy study;
        TStudy::Read(study, *ds);
        ASSERT_EQ(study.waveforms.size(), 1u);
        SetupChannels(*study.waveforms[0], 40);
        const TChannel& channel = *study.waveforms[0]->channelList[0];
        EXPECT_EQ(channel.label, c.label);
        if (c.fullScale > 0)
            EXPECT_FLOAT_EQ(c.fullScale / channel.divisor, 40.0f);
        else
            EXPECT_FLOAT_EQ(channel.divisor, 1.0f);
    }
}

TEST(Waveform, HeaderTextsAndSevenLinesOfFreeText) {
    TStudy study;
    study.institution = "Clinic";
    study.studyDate = "20240131";
    study.studyTime = "093015";
    study.patientName = "Doe^Jane";
    study.patientID = "42";
    study.birthDate = "19700102";
    study.sex = "F";
    for (int i = 1; i <= 10; ++i)
        study.freeText += "line " + std::to_string(i) + "\r\n";
    RecordingCanvas canvas;
    DrawWaveformPage(study, canvas, 1000, 1200, 20, 0);

    const auto* title = canvas.find("Clinic");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->x, (1000 - 60) / 2);
    EXPECT_EQ(title->y, 5);
    EXPECT_EQ(title->font, "Tahoma");
    EXPECT_EQ(title->size, 18);
    EXPECT_TRUE(title->bold);
    const std::string date = FormatDicomDate("20240131");
    const auto* dateLine = canvas.find("Date: " + date + ", 09:30");
    ASSERT_NE(dateLine, nullptr);
    EXPECT_EQ(dateLine->size, 10);
    EXPECT_EQ(dateLine->y, 10);
    ASSERT_NE(canvas.find("Name: Doe^Jane"), nullptr);
    EXPECT_EQ(canvas.find("ID: 42")->y, 50);
    EXPECT_EQ(canvas.find("DOB: " + FormatDicomDate("19700102"))->y, 70);
    EXPECT_EQ(canvas.find("Sex: F")->y, 90);
    EXPECT_EQ(canvas.find("200 mS/div")->x, 175);
    for (int i = 1; i <= 7; ++i) {
        const auto* line = canvas.find("line " + std::to_string(i));
        ASSERT_NE(line, nullptr) << i;
        EXPECT_EQ(line->x, 300);
        EXPECT_EQ(line->y, 10 + 20 * (i - 1));
        EXPECT_FALSE(line->bold);
    }
    EXPECT_EQ(canvas.find("line 8"), nullptr);

    // 50 fine and 20 + 10 coarse lines on a 1000 x 1200 page: 60 + 50, 30 + 10.
    int silver = 0, grey = 0;
    for (QRgb c : canvas.lineColours)
        (c == qRgb(192, 192, 192) ? silver : grey) += 1;
    EXPECT_EQ(silver, 60 + 50);
    EXPECT_EQ(grey, 30 + 10);
}

TEST(Waveform, DatesInBothCountryForms) {
    EXPECT_EQ(FormatDicomDate("20240131", "United States"), "01/31/2024");
    EXPECT_EQ(FormatDicomDate("20240131", "Germany"), "31/01/2024");
    EXPECT_EQ(FormatDicomDate("20240131", ""), "31/01/2024");
    EXPECT_EQ(FormatDicomDate("", "United States"), "");
    QLocale previous;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(DefaultCountryName(), "United States");
    EXPECT_EQ(FormatDicomDate("20240131"), "01/31/2024");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(DefaultCountryName(), "Germany");
    EXPECT_EQ(FormatDicomDate("20240131"), "31/01/2024");
    QLocale::setDefault(previous);
}

TEST(Waveform, OtherModalitiesAndBrokenCountsDrawNothing) {
    auto dsOwned = nestedEcg(2, 100, 250, "uV", {1, 2});
    DcmObj& ds = *dsOwned;
    ds.TagAt(3)->SetValue("MR", 2);
    QImage bitmap;
    CreateRgbBitmap(bitmap, 850, 1100, qRgb(255, 255, 255));
    EXPECT_FALSE(WaveformToBitmap(ds, bitmap));
    EXPECT_EQ(bitmap.size(), QSize(850, 1100));

    // A sample count far beyond the data is held to what the data holds.
    auto bigOwned = nestedEcg(2, 100, 250, "uV", {1, 2});
    DcmObj& big = *bigOwned;
    DcmObj& waveform = *big.ObjAt(big.Count() - 1)->ObjAt(0);
    uint32_t huge = 0xFFFFFFF0;
    waveform.TagAt(2)->SetValue(&huge, 4);
    ASSERT_TRUE(WaveformToBitmap(big, bitmap));
    EXPECT_EQ(bitmap.size(), QSize(10, 200));
}

// A title wider than the gap above the free text moves aside (or shrinks) rather than being
// written over the header or the free text.
TEST(Waveform, TitleOverlapsNoOtherText) {
    auto overlapping = [](const RecordingCanvas::Text& a, const RecordingCanvas::Text& b) {
        auto extent = [](const RecordingCanvas::Text& t) {
            return QRect(t.x, t.y, static_cast<int>(t.text.size()) * 10, t.size * 2);
        };
        return extent(a).intersects(extent(b));
    };
    for (const std::string& institution :
         {std::string("E. O. Ospedali Galliera"), std::string(40, 'W'), std::string(70, 'M')}) {
        SCOPED_TRACE(institution);
        TStudy study;
        study.institution = institution;
        study.studyDate = "20240131";
        study.studyTime = "093015";
        study.patientName = "Rossi^Mario";
        study.freeText = "RITMO SINUSALE\r\nECG NORMALE\r\n";
        RecordingCanvas canvas;
        DrawWaveformPage(study, canvas, 850, 1100, 20, 0);
        const auto* title = canvas.find(institution);
        ASSERT_NE(title, nullptr);
        EXPECT_GE(title->x, 0);
        for (const RecordingCanvas::Text& t : canvas.texts)
            if (&t != title) {
                EXPECT_FALSE(overlapping(*title, t)) << t.text;
            }
    }
}

// The drawing of a 10 s recording is wider and taller than the page: it is scaled to fit, so
// the last lead and the end of the strip are on the page.
TEST(Waveform, WholeDrawingIsOnThePage) {
    DcmObj ds;
    ASSERT_TRUE(DcmObj::Read(ds, SampleDir + "waveform_ecg.dcm"));
    TImages images;
    TImages::Read(images, ds);
    ASSERT_EQ(images.columns, 850);
    ASSERT_EQ(images.rows, 1100);
    // Traces are black; the grid is grey. Black must reach the lowest twelfth of the drawing
    // (the twelfth lead, scaled by 0.85 to 1020 rows) and the right fifth of the page.
    auto blackIn = [&](int top, int bottom, int left, int right) {
        int n = 0;
        for (int r = top; r < bottom; ++r)
            for (int c = left; c < right; ++c) {
                const uint8_t* p = images.data.data() + (std::size_t(r) * 850 + c) * 3;
                n += p[0] < 64 && p[1] < 64 && p[2] < 64;
            }
        return n;
    };
    EXPECT_GT(blackIn(935, 1020, 0, 850), 100);
    EXPECT_GT(blackIn(150, 1020, 680, 850), 100);
    EXPECT_EQ(blackIn(1021, 1100, 0, 850), 0);
}

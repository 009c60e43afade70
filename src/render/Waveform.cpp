#include "Waveform.h"

#include "Bitmaps.h"
#include "ByteOrder.h"
#include "Locale.h"
#include "Log.h"
#include "UidTables.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr QRgb Black = 0xFF000000;
constexpr QRgb White = 0xFFFFFFFF;
constexpr QRgb Silver = 0xFFC0C0C0;
constexpr QRgb Grey = 0xFF808080;
constexpr int PageColumns = 850;
constexpr int PageRows = 1100;
constexpr int FreeTextLines = 7;

// Pixel coordinates from arithmetic on values a file supplies: NaN and infinities must not
// reach an integer conversion.
int pixel(double value) {
    if (std::isnan(value))
        return 0;
    return static_cast<int>(std::clamp(value, -1e6, 1e6));
}

std::string part(const std::string& text, std::size_t from, std::size_t count) {
    return from < text.size() ? text.substr(from, count) : std::string();
}

bool isDefinedNested(const DcmTag& header) {
    return header.length != 0 && header.length != UndefinedLength;
}

void copyValue(const DcmTag& e, TWaveform& waveform) {
    if (e.HasValue())
        waveform.data.assign(e.data.get(), e.data.get() + e.length);
    else
        waveform.data.clear();
    waveform.bigEndian = e.bigEndian;
}

// The first element with this tag anywhere inside obj, depth first.
const DcmTag* findFirst(const DcmObj& obj, uint16_t group, uint16_t element) {
    for (int i = 0; i < obj.Count(); ++i) {
        if (const DcmTag* tag = obj.TagAt(i)) {
            if (tag->Is(group, element))
                return tag;
        } else if (const DcmObj* nested = obj.ObjAt(i)) {
            if (const DcmTag* found = findFirst(*nested, group, element))
                return found;
        }
    }
    return nullptr;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '\r' || ch == '\n') {
            lines.push_back(line);
            line.clear();
            if (ch == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += ch;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

} // namespace

// --- reading ---------------------------------------------------------------------------------

void TStudy::readFlatWaveformElement(const DcmTag& e) {
    if (e.Is(0x003A, 0x0004)) {
        pendingWaveform = std::make_unique<TWaveform>();
        pendingWaveform->originality = e.GetString();
        channelMode = false;
        return;
    }
    TWaveform* w = pendingWaveform.get();
    if (!w)
        return;
    if (e.Is(0x003A, 0x0005)) {
        w->channels = e.GetUShort();
    } else if (e.Is(0x003A, 0x0010)) {
        w->samples = e.GetULong();
    } else if (e.Is(0x003A, 0x001A)) {
        w->frequency = e.GetFloat();
    } else if (e.Is(0x5400, 0x1004)) {
        w->bitsAllocated = e.GetUShort();
    } else if (e.Is(0x003A, 0x0200)) {
        w->channelList.clear();
        channelMode = true;
    } else if (e.Is(0x5400, 0x1010)) {
        copyValue(e, *w);
        waveforms.push_back(std::move(pendingWaveform));
        channelMode = false;
    } else if (channelMode) {
        if (e.Is(0x003A, 0x0208)) {
            pendingChannel = std::make_unique<TChannel>();
            sourceExpected = true;
            unitsExpected = false;
        }
        TChannel* c = pendingChannel.get();
        if (!c)
            return;
        if (e.Is(0x0008, 0x0104) && sourceExpected) {
            c->source = e.GetString();
            sourceExpected = false;
        } else if (e.Is(0x003A, 0x0211)) {
            unitsExpected = true;
        } else if (e.Is(0x0008, 0x0100) && unitsExpected) {
            c->units = e.GetString();
            unitsExpected = false;
        } else if (e.Is(0x003A, 0x0210)) {
            c->sensitivity = e.GetFloat();
        } else if (e.Is(0x003A, 0x0212)) {
            c->correction = e.GetFloat();
        } else if (e.Is(0x003A, 0x0213)) {
            c->zero = e.GetFloat();
        } else if (e.Is(0x003A, 0x021A)) {
            c->bitsStored = e.GetUShort();
            w->channelList.push_back(std::move(pendingChannel));
        }
    }
}

void TStudy::Read(TStudy& study, const DcmObj& dataSet) {
    for (int i = 0; i < dataSet.Count(); ++i) {
        if (const DcmObj* nested = dataSet.ObjAt(i)) {
            const DcmTag& h = nested->itemTag;
            if (!isDefinedNested(h))
                continue;
            if ((h.group == 0x0040 || h.group == 0x5400) && h.element == 0x0100)
                ReadWaveformItems(study.waveforms, *nested);
            else if (h.Is(0x0040, 0xB020) || (h.group != 0x0040 && h.group != 0x5400))
                Read(study, *nested);
            continue;
        }
        const DcmTag* e = dataSet.TagAt(i);
        if (!e)
            continue;
        switch ((static_cast<uint32_t>(e->group) << 16) | e->element) {
        case 0x00080016:
            study.sopClass = e->GetString();
            break;
        case 0x00100010:
            study.patientName = e->GetString();
            break;
        case 0x00100020:
            study.patientID = e->GetString();
            break;
        case 0x00100030:
            study.birthDate = e->GetString();
            break;
        case 0x00100040:
            study.sex = e->GetString();
            break;
        case 0x00080020:
            study.studyDate = e->GetString();
            break;
        case 0x00080030:
            study.studyTime = e->GetString();
            break;
        case 0x00080060:
            study.modality = e->GetString();
            break;
        case 0x00080080:
            study.institution = e->GetString();
            break;
        case 0x00700006:
            study.freeText += e->GetString() + "\r\n";
            break;
        case 0x54000100:
            if (e->length == UndefinedLength)
                study.waveformMode = true;
            break;
        default:
            break;
        }
        if (study.waveformMode)
            study.readFlatWaveformElement(*e);
    }
}

void ReadWaveformItems(std::vector<std::unique_ptr<TWaveform>>& list, const DcmObj& nested) {
    std::unique_ptr<TWaveform> waveform;
    for (int i = 0; i < nested.Count(); ++i) {
        if (const DcmObj* obj = nested.ObjAt(i)) {
            if (obj->itemTag.Is(0x003A, 0x0200)) {
                if (waveform) {
                    waveform->channelList.clear();
                    ReadChannelDefinitions(waveform->channelList, *obj);
                }
            } else {
                ReadWaveformItems(list, *obj);
            }
            continue;
        }
        const DcmTag* e = nested.TagAt(i);
        if (!e)
            continue;
        if (e->Is(0x003A, 0x0004)) {
            waveform = std::make_unique<TWaveform>();
            waveform->originality = e->GetString();
        } else if (!waveform) {
            continue;
        } else if (e->Is(0x003A, 0x0005)) {
            waveform->channels = e->GetUShort();
        } else if (e->Is(0x003A, 0x0010)) {
            waveform->samples = e->GetULong();
        } else if (e->Is(0x003A, 0x001A)) {
            waveform->frequency = e->GetFloat();
        } else if (e->Is(0x5400, 0x1004)) {
            waveform->bitsAllocated = e->GetUShort();
        } else if (e->Is(0x5400, 0x1010)) {
            copyValue(*e, *waveform);
            list.push_back(std::exchange(waveform, nullptr));
        }
    }
}

void ReadChannelDefinitions(std::vector<std::unique_ptr<TChannel>>& list, const DcmObj& nested) {
    std::unique_ptr<TChannel> channel;
    for (int i = 0; i < nested.Count(); ++i) {
        if (const DcmObj* obj = nested.ObjAt(i)) {
            const DcmTag& h = obj->itemTag;
            if (h.Is(0x003A, 0x0208)) {
                channel = std::make_unique<TChannel>();
                if (const DcmTag* meaning = findFirst(*obj, 0x0008, 0x0104))
                    channel->source = meaning->GetString();
            } else if (h.Is(0x003A, 0x0211)) {
                if (channel)
                    if (const DcmTag* code = findFirst(*obj, 0x0008, 0x0100))
                        channel->units = code->GetString();
            } else if (h.group != 0x003A) {
                ReadChannelDefinitions(list, *obj);
            }
            continue;
        }
        const DcmTag* e = nested.TagAt(i);
        if (!e || !channel)
            continue;
        if (e->Is(0x003A, 0x0210))
            channel->sensitivity = e->GetFloat();
        else if (e->Is(0x003A, 0x0212))
            channel->correction = e->GetFloat();
        else if (e->Is(0x003A, 0x0213))
            channel->zero = e->GetFloat();
        else if (e->Is(0x003A, 0x021A))
            channel->bitsStored = e->GetUShort();
    }
    if (channel)
        list.push_back(std::move(channel));
}

// --- channels --------------------------------------------------------------------------------

void SetupChannels(TWaveform& waveform, float pulseHeight) {
    waveform.pulseHeight = pulseHeight;
    const std::size_t channelCount = waveform.channelList.size();
    const std::size_t words = waveform.data.size() / 2;
    for (std::size_t i = 0; i < channelCount; ++i) {
        TChannel& c = *waveform.channelList[i];
        // A sample count beyond the data takes only the samples really there.
        std::size_t held = i < words ? (words - i + channelCount - 1) / channelCount : 0;
        std::size_t n = std::min<std::size_t>(waveform.samples, held);
        c.samples.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            const uint8_t* b = waveform.data.data() + 2 * (i + k * channelCount);
            c.samples[k] = static_cast<int16_t>(ByteOrder::Load16(b, waveform.bigEndian != 0));
        }
        c.left = 0;
        c.baseline = static_cast<int32_t>(190 + 90 * i);
        c.count = static_cast<int32_t>(n);
        c.pulseHeight = pulseHeight;
        c.frequency = waveform.frequency;
        c.samplesPerPixel = waveform.frequency * 400 / (pulseHeight * 1000);
        c.divisor = 1;
        c.label.clear();
        float scale = c.sensitivity * pulseHeight * c.correction;
        if (c.units == "uV") {
            c.divisor = 1000 / scale;
            c.label = c.source + " 0.5 mV/div";
        } else if (c.units == "mV") {
            c.divisor = 1 / scale;
            c.label = c.source + " 0.5 mV/div";
        } else if (c.units.find("mm") != std::string::npos) {
            c.divisor = 100 / scale;
            c.label = c.source + " 50 mm Hg/div";
        }
    }
}

// --- drawing ---------------------------------------------------------------------------------

struct PainterCanvas::State {
    QPainter painter;
    QPoint position;
    bool canDrawText = false;
};

PainterCanvas::PainterCanvas(QImage& image) : state_(std::make_unique<State>()) {
    state_->painter.begin(&image);
    state_->painter.setRenderHint(QPainter::Antialiasing, false);
    state_->painter.setPen(QPen(QColor(Black), 1));
    state_->painter.setBrush(QColor(White));
    // Fonts belong to the GUI application; a program without one gets the lines only.
    state_->canDrawText = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

PainterCanvas::~PainterCanvas() {
    state_->painter.end();
}

void PainterCanvas::SetPenColor(QRgb colour) {
    state_->painter.setPen(QPen(QColor(colour), 1));
}

void PainterCanvas::MoveTo(int x, int y) {
    state_->position = QPoint(x, y);
}

void PainterCanvas::LineTo(int x, int y) {
    QPoint to(x, y);
    state_->painter.drawLine(state_->position, to);
    state_->position = to;
}

void PainterCanvas::Rectangle(int left, int top, int right, int bottom) {
    if (right > left && bottom > top)
        state_->painter.drawRect(left, top, right - left - 1, bottom - top - 1);
}

void PainterCanvas::SetFont(const std::string& name, int size, bool bold) {
    if (!state_->canDrawText)
        return;
    QFont font(QString::fromStdString(name));
    font.setPixelSize(std::max(1, (size * 96 + 36) / 72));
    font.setBold(bold);
    state_->painter.setFont(font);
}

int PainterCanvas::TextWidth(const std::string& text) {
    if (!state_->canDrawText)
        return 0;
    return state_->painter.fontMetrics().horizontalAdvance(QString::fromLatin1(text));
}

void PainterCanvas::TextOut(int x, int y, const std::string& text) {
    if (!state_->canDrawText)
        return;
    QPainter& p = state_->painter;
    p.drawText(QPoint(x, y + p.fontMetrics().ascent()), QString::fromLatin1(text));
}

void DrawChannel(const TChannel& channel, WaveformCanvas& canvas, double timeOffsetMs) {
    const int x0 = channel.left, y0 = channel.baseline;
    canvas.SetPenColor(Black);
    canvas.TextOut(x0 + 5, y0 - 70, channel.label);
    canvas.MoveTo(x0, y0);
    canvas.LineTo(x0 + 7, y0);
    canvas.LineTo(x0 + 7, y0 - 40);
    canvas.LineTo(x0 + 22, y0 - 40);
    canvas.LineTo(x0 + 22, y0);
    canvas.LineTo(x0 + 30, y0);

    const double perPixel = channel.samplesPerPixel;
    if (!(perPixel > 0))
        return;
    double wanted = std::floor((channel.count - 50.0) * perPixel * 0.5);
    const int64_t n =
        wanted < 0 ? 0 : static_cast<int64_t>(std::min<double>(wanted, channel.count));
    const int64_t first = pixel(timeOffsetMs * channel.frequency * 0.001);
    const int64_t held = static_cast<int64_t>(channel.samples.size());
    for (int64_t k = 0; k < n; ++k) {
        int x = pixel(x0 + 30 + k / perPixel);
        int64_t j = k + first;
        double value = (j > 0 && j < channel.count && j < held) ? channel.samples[j] : 0;
        int y = pixel(y0 - value / channel.divisor);
        canvas.LineTo(x, y);
    }
}

namespace {

// The title goes centred at the top where it meets no other text: the header block (x from 30
// to headerRight, y 10 to 120) and the free text (x from 300 to freeRight, y 10 to freeBottom).
// Failing that, right of them in the largest size that fits, or else under the free text.
void drawTitle(WaveformCanvas& canvas, const std::string& title, int width, int headerRight,
               int freeRight, int freeBottom) {
    if (title.empty())
        return;
    constexpr int Top = 5, Gap = 15;
    auto clear = [&](int x, int w, int h) {
        const bool hitsHeader = x < headerRight + Gap && x + w + Gap > 30 && Top < 120;
        const bool hitsFree = freeRight > 0 && x < freeRight + Gap && x + w + Gap > 300 &&
                              Top < freeBottom && Top + h > 10;
        return x >= 0 && x + w <= width && !hitsHeader && !hitsFree;
    };
    const int right = std::max(headerRight, freeRight) + Gap;
    for (int size = 18; size >= 10; size -= 2) {
        canvas.SetFont("Tahoma", size, true);
        const int w = canvas.TextWidth(title), h = size * 2;
        for (int x : {(width - w) / 2, std::max((width - w) / 2, right)}) {
            if (clear(x, w, h)) {
                canvas.TextOut(x, Top, title);
                return;
            }
        }
    }
    canvas.SetFont("Tahoma", 10, true);
    canvas.TextOut(300, freeBottom + 5, title);
}

} // namespace

void DrawWaveformPage(const TStudy& study, WaveformCanvas& canvas, int width, int height,
                      double gridStep, double timeOffsetMs) {
    canvas.Rectangle(0, 0, width, height);
    auto grid = [&](double stepY, double stepX) {
        if (!(stepY > 0) || !(stepX > 0))
            return;
        for (double y = 0; y < height; y += stepY) {
            canvas.MoveTo(0, pixel(y));
            canvas.LineTo(width, pixel(y));
        }
        for (double x = 0; x < width; x += stepX) {
            canvas.MoveTo(pixel(x), 0);
            canvas.LineTo(pixel(x), height);
        }
    };
    canvas.SetPenColor(Silver);
    grid(gridStep, gridStep);
    canvas.SetPenColor(Grey);
    grid(gridStep * 2, gridStep * 5);

    canvas.SetPenColor(Black);
    canvas.SetFont("Tahoma", 10, true);
    const std::string header[] = {"Date: " + FormatDicomDate(study.studyDate) + ", " +
                                      part(study.studyTime, 0, 2) + ":" +
                                      part(study.studyTime, 2, 2),
                                  "Name: " + study.patientName, "ID: " + study.patientID,
                                  "DOB: " + FormatDicomDate(study.birthDate), "Sex: " + study.sex};
    int headerRight = 175 + canvas.TextWidth("200 mS/div");
    for (std::size_t i = 0; i < std::size(header); ++i) {
        canvas.TextOut(30, static_cast<int>(10 + 20 * i), header[i]);
        headerRight = std::max(headerRight, 30 + canvas.TextWidth(header[i]));
    }
    canvas.TextOut(175, 100, "200 mS/div");

    canvas.SetFont("Tahoma", 10, false);
    std::vector<std::string> lines = splitLines(study.freeText);
    int freeRight = 0;
    const std::size_t shown = std::min<std::size_t>(lines.size(), FreeTextLines);
    for (std::size_t i = 0; i < shown; ++i) {
        canvas.TextOut(300, static_cast<int>(10 + 20 * i), lines[i]);
        freeRight = std::max(freeRight, 300 + canvas.TextWidth(lines[i]));
    }
    drawTitle(canvas, study.institution, width, headerRight, freeRight,
              static_cast<int>(10 + 20 * shown));

    if (study.waveforms.empty())
        return;
    const TWaveform& first = *study.waveforms.front();
    for (const std::unique_ptr<TChannel>& channel : first.channelList)
        DrawChannel(*channel, canvas, timeOffsetMs);
}

bool WaveformToBitmap(const DcmObj& dataSet, QImage& bitmap) {
    TStudy study;
    TStudy::Read(study, dataSet);
    if (study.modality != "ECG" && study.modality != "HD" && study.modality != "AU")
        return false;
    if (study.waveforms.empty())
        return false;
    TWaveform& waveform = *study.waveforms.front();
    // The drawing's size comes from the header; it is held to what the data can fill, so a
    // hostile count cannot ask for a bitmap the file does not justify.
    const std::size_t words = waveform.data.size() / 2;
    const std::size_t held = waveform.channels ? words / waveform.channels : 0;
    const int width = static_cast<int>(std::min<std::size_t>(waveform.samples, held) / 10);
    const int height = waveform.channels * 100;
    if (width <= 0 || height <= 0)
        return false;
    SetupChannels(waveform, 40);
    CreateRgbBitmap(bitmap, width, height, White);
    if (bitmap.isNull())
        return false;
    const double timeOffset = waveform.frequency != 0 ? 0 * 400 / waveform.frequency : 0;
    PainterCanvas canvas(bitmap);
    DrawWaveformPage(study, canvas, width, height, 20, timeOffset);
    return true;
}

void WaveformToImage(TImages& images, const DcmObj& dataSet) {
    images.columns = PageColumns;
    images.rows = PageRows;
    images.bitsAllocated = 8;
    images.windowCenter = 127;
    images.windowWidth = 255;
    images.photometricText = "RGB";
    images.colour = true;
    images.monochrome1 = false;
    images.planar = 0;
    images.frames = 1;

    QImage drawing;
    CreateRgbBitmap(drawing, PageColumns, PageRows, White);
    WaveformToBitmap(dataSet, drawing);
    // The whole drawing goes on the page, scaled alike in both directions so that the grid
    // keeps its squares and the per-division labels stay true.
    QImage bitmap = drawing;
    if (drawing.width() > PageColumns || drawing.height() > PageRows) {
        const QImage scaled =
            drawing.scaled(PageColumns, PageRows, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        CreateRgbBitmap(bitmap, PageColumns, PageRows, White);
        QPainter painter(&bitmap);
        painter.drawImage((PageColumns - scaled.width()) / 2, 0, scaled);
    }

    const std::size_t rowBytes = PageColumns * 3;
    images.data.assign(rowBytes * PageRows, 0xFF);
    const int rows = std::min(PageRows, bitmap.height());
    const std::size_t copied = std::min<std::size_t>(PageColumns, bitmap.width()) * 3;
    for (int r = 0; r < rows; ++r)
        std::memcpy(images.data.data() + r * rowBytes, bitmap.constScanLine(r), copied);
    if (!bitmap.save("test.bmp", "BMP"))
        LogMessage("WARNING, WaveformToImage, test.bmp not written");
}

// --- dates -----------------------------------------------------------------------------------

std::string FormatDicomDate(const std::string& date, const std::string& country) {
    if (date.empty())
        return date;
    if (country == "United States")
        return part(date, 4, 2) + "/" + part(date, 6, 2) + "/" + part(date, 0, 4);
    return part(date, 6, 2) + "/" + part(date, 4, 2) + "/" + part(date, 0, 4);
}

std::string FormatDicomDate(const std::string& date) {
    return FormatDicomDate(date, DefaultCountryName());
}

void TImages::Read(TImages& im, const DcmObj& dataSet) {
    // The drawn waveform page stands in for the image.
    if (ReadAttributes(im, dataSet) && IsWaveformSopClass(im.sopClass))
        WaveformToImage(im, dataSet);
}

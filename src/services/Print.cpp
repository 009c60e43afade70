#include "Print.h"

#include "Association.h"
#include "Bitmaps.h"
#include "Diagnosis.h"
#include "IdentifierCounter.h"
#include "Jpeg.h"
#include "JpegFrameHeader.h"
#include "Log.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace {

constexpr std::size_t UidLimit = 64;

std::mutex lutLock;
PrintLutTable sharedLut = [] {
    PrintLutTable t{};
    for (int v = 0; v < 256; ++v)
        t[v] = v;
    return t;
}();

void appendUShort(DcmObj& obj, uint16_t group, uint16_t element, uint16_t value) {
    obj.Append(std::make_unique<DcmTag>(group, element, value, "US"));
}

void appendText(DcmObj& obj, uint16_t group, uint16_t element, const std::string& text,
                const char* vr) {
    obj.Append(std::make_unique<DcmTag>(group, element, text, vr));
}

void appendMarker(DcmObj& obj, uint16_t group, uint16_t element, uint32_t length, const char* vr) {
    obj.Append(std::make_unique<DcmTag>(group, element, length, nullptr, vr));
}

// A new element with the same header, sharing the value block.
std::unique_ptr<DcmTag> copyOf(const DcmTag& e) {
    auto copy = std::make_unique<DcmTag>();
    copy->group = e.group;
    copy->element = e.element;
    copy->SetVR(e.vr);
    copy->length = e.length;
    copy->data = e.data;
    copy->bigEndian = e.bigEndian;
    return copy;
}

std::string uidText(const DcmTag& e) {
    std::string text = e.GetString();
    return text.size() > UidLimit ? text.substr(0, UidLimit) : text;
}

// Walks one data set of the film box response; inside: the data set belongs to the Referenced
// Image Box Sequence. Boxes beyond the film box's own are not kept.
void collectImageBoxes(const DcmObj& obj, bool inside, FilmBox& filmBox, std::size_t& next) {
    std::string classUid;
    bool counting = inside;
    for (int i = 0; i < obj.Count(); ++i) {
        if (const DcmObj* nested = obj.ObjAt(i)) {
            if (inside || nested->itemTag.Is(0x2010, 0x0510))
                collectImageBoxes(*nested, true, filmBox, next);
            continue;
        }
        const DcmTag* e = obj.TagAt(i);
        if (!e)
            continue;
        if (e->Is(0x2010, 0x0510)) {
            counting = true;
        } else if (!counting) {
            continue;
        } else if (e->Is(0x0008, 0x1150)) {
            classUid = uidText(*e);
        } else if (e->Is(0x0008, 0x1155)) {
            if (next < filmBox.ImageBoxes.size()) {
                filmBox.ImageBoxes[next].SOPInstanceUID = uidText(*e);
                filmBox.ImageBoxes[next].SOPClassUID = classUid;
            }
            ++next;
        }
    }
}

// The bitmap in one of the three forms the pixel module is made from: 8 bits (the byte is the
// level), 24 bits blue-green-red, or 32 bits blue-green-red-x.
QImage pixelForm(const QImage& bitmap) {
    switch (bitmap.format()) {
    case QImage::Format_Indexed8:
    case QImage::Format_Grayscale8:
    case QImage::Format_BGR888:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return bitmap;
    default:
        return bitmap.convertToFormat(QImage::Format_BGR888);
    }
}

} // namespace

ImageBox::ImageBox() {
    CreateGrayBitmap(Picture, 100, 100, qRgb(0, 0, 0));
}

// --- print LUT -------------------------------------------------------------------------------

void BuildPrintLut(float gamma) {
    const double g = gamma > 0 ? gamma : 1.0;
    PrintLutTable t{};
    for (int v = 0; v < 256; ++v) {
        double u = std::trunc(255.0 * std::pow(v / 255.0, 1.0 / g) + 0.05);
        t[v] = std::clamp(static_cast<int>(std::trunc(u * 255.0 / 256.0)), 0, 255);
    }
    std::lock_guard<std::mutex> hold(lutLock);
    sharedLut = t;
}

PrintLutTable PrintLut() {
    std::lock_guard<std::mutex> hold(lutLock);
    return sharedLut;
}

// --- normalized messages ---------------------------------------------------------------------

std::unique_ptr<DcmObj> NRequestCommand(uint16_t commandField, const std::string& sopClassUid,
                                        const std::string& instanceUid, bool hasDataSet,
                                        int actionType) {
    const bool create = commandField == NCreateRQ;
    uint16_t dataSetType = 0x0102;
    if (commandField == NDeleteRQ)
        dataSetType = 0x0101;
    else if (commandField == NActionRQ)
        dataSetType = hasDataSet ? 0x0102 : 0x0101;
    CommandSet command;
    command.Uid(create ? 0x0002 : 0x0003, sopClassUid)
        .UShort(0x0100, commandField)
        .UShort(0x0110, NextMessageID())
        .UShort(0x0800, dataSetType);
    // An empty Affected SOP Instance UID is taken by printers as the UID to use (DCMTK answers
    // with an empty one, and the film box can then not refer to its session): the printer is
    // left to choose it.
    if (!create)
        command.Uid(0x1001, instanceUid);
    else if (!instanceUid.empty())
        command.Uid(0x1000, instanceUid);
    if (actionType >= 0)
        command.UShort(0x1008, static_cast<uint16_t>(actionType));
    return command.Build();
}

bool WriteNRequest(PDU_Service& service, uint16_t commandField, const std::string& sopClassUid,
                   const std::string& instanceUid, DcmObj* dataSet, int actionType) {
    const bool hasDataSet = dataSet && dataSet->Count() > 0;
    std::unique_ptr<DcmObj> command =
        NRequestCommand(commandField, sopClassUid, instanceUid, hasDataSet, actionType);
    if (!service.Write(*command, 1))
        return false;
    if (hasDataSet && !service.Write(*dataSet, 0))
        return false;
    return true;
}

bool ReadNResponse(PDU_Service& service, uint16_t expectedCommand, DcmObj* dataSet,
                   std::string& instanceUid, std::string* reason, const std::string& operation,
                   const DcmObj* request) {
    instanceUid.clear();
    const std::string what = operation.empty() ? std::string("N-service") : operation;
    DcmObj response;
    if (!service.Read(response)) {
        Diagnosis::NoteReason(reason,
                              Diagnosis::LinkReason(service, "awaiting the " + what + " response"));
        return false;
    }
    if (response.GetUShort(0x0000, 0x0100) != expectedCommand) {
        Diagnosis::NoteReason(reason, what + ": the peer answered with another message (command " +
                                          std::to_string(response.GetUShort(0x0000, 0x0100)) + ")");
        return false;
    }
    // A response without a status is as good as a failed one.
    DimseStatus status = ReadDimseStatus(response);
    if (status.Status != 0) {
        Diagnosis::NoteReason(reason, status.Status < 0
                                          ? what + ": the response holds no status"
                                          : Diagnosis::StatusReason(what, status, request));
        return false;
    }
    if (const DcmTag* affected = response.GetTag(0x0000, 0x1000))
        instanceUid = uidText(*affected);
    if (response.GetUShort(0x0000, 0x0800) == 0x0101)
        return true;
    if (dataSet && !service.Read(*dataSet)) {
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "awaiting the " + what +
                                                                         " response's data set"));
        return false;
    }
    return true;
}

namespace {

// The request of one print step, with the reason when it cannot be sent.
bool sendStep(PDU_Service& service, uint16_t commandField, const std::string& sopClassUid,
              const std::string& instanceUid, DcmObj* dataSet, int actionType,
              const std::string& operation, std::string* reason) {
    if (WriteNRequest(service, commandField, sopClassUid, instanceUid, dataSet, actionType))
        return true;
    Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "sending the " + operation));
    return false;
}

} // namespace

// --- the print steps -------------------------------------------------------------------------

bool CreateFilmSession(PDU_Service& service, FilmBox& filmBox, const FilmSessioncfg& config,
                       std::string* reason) {
    DcmObj dataSet;
    appendText(dataSet, 0x2000, 0x0010, config.NumberOfCopies, "IS");
    appendText(dataSet, 0x2000, 0x0020, config.PrintPriority, "CS");
    appendText(dataSet, 0x2000, 0x0030, config.MediumType, "CS");
    appendText(dataSet, 0x2000, 0x0040, config.FilmDestination, "CS");
    appendText(dataSet, 0x2000, 0x0050, config.FilmSessionLabel, "LO");
    const char* operation = "Film Session N-CREATE";
    if (!sendStep(service, NCreateRQ, FilmSessionSopClass, "", &dataSet, -1, operation, reason))
        return false;
    std::string instance;
    DcmObj answer;
    if (!ReadNResponse(service, NCreateRSP, &answer, instance, reason, operation, &dataSet))
        return false;
    filmBox.FilmSessionUID = instance;
    return true;
}

bool CreateFilmBox(PDU_Service& service, FilmBox& filmBox, std::string* reason) {
    DcmObj dataSet;
    appendText(dataSet, 0x2010, 0x0010, filmBox.ImageDisplayFormat, "ST");
    appendText(dataSet, 0x2010, 0x0040, filmBox.FilmOrientation, "CS");
    appendText(dataSet, 0x2010, 0x0050, filmBox.FilmSizeID, "CS");
    appendText(dataSet, 0x2010, 0x0060, filmBox.MagnificationType, "CS");
    appendMarker(dataSet, 0x2010, 0x0150, 0, "ST");
    appendMarker(dataSet, 0x2010, 0x0500, UndefinedLength, "SQ");
    appendMarker(dataSet, 0xFFFE, 0xE000, UndefinedLength, nullptr);
    appendText(dataSet, 0x0008, 0x1150, FilmSessionSopClass, "UI");
    appendText(dataSet, 0x0008, 0x1155, filmBox.FilmSessionUID, "UI");
    appendMarker(dataSet, 0xFFFE, 0xE00D, 0, nullptr);
    appendMarker(dataSet, 0xFFFE, 0xE0DD, 0, nullptr);
    const char* operation = "Film Box N-CREATE";
    if (!sendStep(service, NCreateRQ, FilmBoxSopClass, "", &dataSet, -1, operation, reason))
        return false;
    std::string instance;
    DcmObj answer;
    if (!ReadNResponse(service, NCreateRSP, &answer, instance, reason, operation, &dataSet))
        return false;
    filmBox.FilmBoxUID = instance;
    std::size_t next = 0;
    collectImageBoxes(answer, false, filmBox, next);
    return true;
}

bool SetImageBox(PDU_Service& service, ImageBox& imageBox, uint16_t position, std::string* reason) {
    const bool colour = imageBox.SOPClassUID == ColorImageBoxSopClass;
    DcmObj dataSet;
    appendUShort(dataSet, 0x2020, 0x0010, position);
    appendText(dataSet, 0x2020, 0x0020, "NORMAL", "CS");
    if (imageBox.RequestedWidth > 0) {
        appendText(dataSet, 0x2020, 0x0030, FormatRequestedSize(imageBox.RequestedWidth), "DS");
        appendText(dataSet, 0x2020, 0x0040, "CROP", "CS");
    }
    appendMarker(dataSet, 0x2020, colour ? 0x0111 : 0x0110, UndefinedLength, "SQ");
    const std::string operation = colour ? "Color Image Box N-SET" : "Grayscale Image Box N-SET";
    DcmObj pixels;
    if (!BitmapToPixelData(imageBox.Picture, pixels, colour)) {
        Diagnosis::NoteReason(reason, operation +
                                          ": the picture cannot be sent, it is empty or wider "
                                          "or higher than 65535 pixels");
        return false;
    }
    appendMarker(dataSet, 0xFFFE, 0xE000, UndefinedLength, nullptr);
    for (int i = 0; i < pixels.Count(); ++i)
        if (const DcmTag* e = pixels.TagAt(i))
            dataSet.Append(copyOf(*e));
    appendMarker(dataSet, 0xFFFE, 0xE00D, 0, nullptr);
    appendMarker(dataSet, 0xFFFE, 0xE0DD, 0, nullptr);
    if (!sendStep(service, NSetRQ, imageBox.SOPClassUID, imageBox.SOPInstanceUID, &dataSet, -1,
                  operation, reason))
        return false;
    std::string instance;
    DcmObj answer;
    return ReadNResponse(service, NSetRSP, &answer, instance, reason, operation, &dataSet);
}

bool SetImages(PDU_Service& service, FilmBox& filmBox, std::string* reason) {
    const int64_t wanted = int64_t(std::max(0, filmBox.Columns)) * std::max(0, filmBox.Rows);
    const int64_t held = static_cast<int64_t>(filmBox.ImageBoxes.size());
    bool ok = wanted <= held;
    for (int64_t i = 0; i < std::min(wanted, held); ++i) {
        if (!SetImageBox(service, filmBox.ImageBoxes[i], static_cast<uint16_t>(i + 1), reason)) {
            LogMessage("Set Image Box: Failed!");
            ok = false;
        }
    }
    return ok;
}

bool PrintFilmBox(PDU_Service& service, FilmBox& filmBox, std::string* reason) {
    const char* operation = "Film Box N-ACTION";
    DcmObj empty;
    if (!sendStep(service, NActionRQ, FilmBoxSopClass, filmBox.FilmBoxUID, &empty, 1, operation,
                  reason))
        return false;
    std::string instance;
    return ReadNResponse(service, NActionRSP, &empty, instance, reason, operation);
}

bool DeleteFilmSession(PDU_Service& service, FilmBox& filmBox, std::string* reason) {
    const char* operation = "Film Session N-DELETE";
    if (!sendStep(service, NDeleteRQ, FilmSessionSopClass, filmBox.FilmSessionUID, nullptr, -1,
                  operation, reason))
        return false;
    std::string instance;
    return ReadNResponse(service, NDeleteRSP, nullptr, instance, reason, operation);
}

bool BitmapToPixelData(const QImage& bitmap, DcmObj& dataSet, bool colour) {
    if (bitmap.isNull() || bitmap.width() > 0xFFFF || bitmap.height() > 0xFFFF)
        return false;
    const QImage image = pixelForm(bitmap);
    const std::size_t w = static_cast<std::size_t>(image.width());
    const std::size_t h = static_cast<std::size_t>(image.height());
    if (colour) {
        appendUShort(dataSet, 0x0028, 0x0002, 3);
        appendText(dataSet, 0x0028, 0x0004, "RGB", "CS");
        appendUShort(dataSet, 0x0028, 0x0006, 1);
    } else {
        appendUShort(dataSet, 0x0028, 0x0002, 1);
        appendText(dataSet, 0x0028, 0x0004, "MONOCHROME2", "CS");
    }
    appendUShort(dataSet, 0x0028, 0x0010, static_cast<uint16_t>(h));
    appendUShort(dataSet, 0x0028, 0x0011, static_cast<uint16_t>(w));
    appendUShort(dataSet, 0x0028, 0x0100, 8);
    appendUShort(dataSet, 0x0028, 0x0101, 8);
    appendUShort(dataSet, 0x0028, 0x0102, 7);
    appendUShort(dataSet, 0x0028, 0x0103, 0);

    const PrintLutTable t = PrintLut();
    const std::size_t n = w * h;
    const std::size_t count = colour ? 3 * n : n;
    const std::size_t even = count + (count & 1);
    std::shared_ptr<uint8_t[]> block = NewValueBlock(even);
    uint8_t* out = block.get();
    if (even != count)
        out[count] = 0;
    const int depth = image.depth();
    for (std::size_t r = 0; r < h; ++r) {
        const uint8_t* row = image.constScanLine(static_cast<int>(r));
        for (std::size_t c = 0; c < w; ++c) {
            const std::size_t k = r * w + c;
            int red, green, blue;
            if (depth == 8) {
                red = green = blue = t[row[c]];
            } else {
                const uint8_t* px = row + c * (depth == 24 ? 3 : 4);
                blue = t[px[0]];
                green = t[px[1]];
                red = t[px[2]];
            }
            if (colour) {
                out[k] = static_cast<uint8_t>(red);
                out[n + k] = static_cast<uint8_t>(green);
                out[2 * n + k] = static_cast<uint8_t>(blue);
            } else {
                out[k] = depth == 8 ? static_cast<uint8_t>(red)
                                    : static_cast<uint8_t>((blue + green + red) / 3);
            }
        }
    }
    auto pixelData = std::make_unique<DcmTag>();
    pixelData->group = 0x7FE0;
    pixelData->element = 0x0010;
    pixelData->SetVR("OB");
    pixelData->length = static_cast<uint32_t>(even);
    pixelData->data = std::move(block);
    dataSet.Append(std::move(pixelData));
    return true;
}

std::string FormatRequestedSize(float millimetres) {
    double tenths = std::round(std::clamp(static_cast<double>(millimetres), 0.0, 1e12) * 10);
    auto value = static_cast<int64_t>(tenths);
    std::string text = value >= 10 ? std::to_string(value / 10) : std::string();
    if (value % 10 != 0) {
        text += '.';
        text += static_cast<char>('0' + value % 10);
    }
    return text;
}

namespace {

// The printer answered the request (accepted without a usable context, or rejected): it is
// there, but does not take this meta SOP class.
bool answered(const PDU_Service& service) {
    return !service.accept.PresContextAccepts.empty() || service.reject.PDULength != 0;
}

// Pictures for a grey film: colour ones become their luminance.
void toGreyFilm(FilmBox& filmBox) {
    for (ImageBox& box : filmBox.ImageBoxes)
        if (!box.Picture.isNull() && box.Picture.depth() != 8)
            box.Picture = box.Picture.convertToFormat(QImage::Format_Grayscale8);
}

} // namespace

int PrintSCU(FilmBox& filmBox, const std::string& localAET, const std::string& remoteAET,
             const std::string& host, const std::string& port, bool colour, std::string* reason) {
    const FilmSessioncfg config{"1", "MED", filmBox.MediumType, filmBox.FilmDestination,
                                filmBox.FilmSessionLabel};
    filmBox.ImageDisplayFormat =
        "STANDARD\\" + std::to_string(filmBox.Columns) + "," + std::to_string(filmBox.Rows);
    BuildPrintLut(filmBox.Gamma);
    const bool detail = CurrentLogLevel > 0;
    auto open = [&](std::unique_ptr<PDU_Service>& service, bool inColour) {
        service = std::make_unique<PDU_Service>();
        service->dumpMessages = CurrentLogLevel > 1;
        service->useTLS = 0;
        return OpenAssociation(*service, {.callingTitle = localAET,
                                          .calledTitle = remoteAET,
                                          .host = host,
                                          .port = port,
                                          .abstractSyntax = inColour ? ColorPrintMetaSopClass
                                                                     : GrayscalePrintMetaSopClass,
                                          .timeoutSeconds = PrintReadTimeoutSeconds});
    };

    int result = PrintFailed;
    std::unique_ptr<PDU_Service> owned;
    bool opened = open(owned, colour);
    if (!opened && colour && answered(*owned)) {
        owned->Close();
        LogMessage("INFO, PrintSCU, the printer takes no colour: the picture is printed as "
                   "grey levels");
        toGreyFilm(filmBox);
        opened = open(owned, false);
    }
    PDU_Service& service = *owned;
    if (!opened) {
        LogMessage("Connection Failed!");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service));
    } else if (!CreateFilmSession(service, filmBox, config, reason)) {
        LogMessage("Create Film Session: Failed!");
    } else {
        if (detail)
            LogMessage("Create Film Session: OK!");
        if (!CreateFilmBox(service, filmBox, reason)) {
            // The film session is left to the printer.
            LogMessage("Create Film Box: Failed!");
        } else {
            if (detail)
                LogMessage("Create Film Box: OK!");
            if (!SetImages(service, filmBox, reason)) {
                LogMessage("ERROR, SetImages failed");
            } else {
                if (detail)
                    LogMessage("Set Images OK");
                if (!PrintFilmBox(service, filmBox, reason)) {
                    LogMessage("Film Box Action: Failed!");
                } else {
                    if (detail)
                        LogMessage("FilmBox Action: OK!");
                    result = 0;
                }
            }
            if (DeleteFilmSession(service, filmBox)) {
                if (detail)
                    LogMessage("FilmSession Delete: OK!");
            } else {
                LogMessage("FilmSession Delete: Failed!");
            }
        }
    }
    service.Close();
    return result;
}

// --- picture files ---------------------------------------------------------------------------

bool LoadJpegPicture(const std::string& fileName, QImage& picture) {
    std::ifstream in(fileName, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        LogMessage("ERROR, LoadJpegPicture, cannot read " + fileName);
        return false;
    }
    const auto header = ReadJpegFrameHeader(bytes);
    if (!header || header->precision != 8 || header->rows == 0 || header->columns == 0 ||
        (header->components != 1 && header->components != 3)) {
        LogMessage("ERROR, LoadJpegPicture, no 8-bit grey or colour JPEG frame in " + fileName);
        return false;
    }
    const int width = header->columns, height = header->rows, components = header->components;
    // Even a blank picture costs the coder some bits per block: a header promising far more
    // pixels than the stream could carry is refused before anything is allocated.
    const std::size_t outputBytes = std::size_t(width) * height * components;
    if (outputBytes / 4096 > bytes.size()) {
        LogMessage("ERROR, LoadJpegPicture, frame too large for the stream in " + fileName);
        return false;
    }
    std::vector<uint8_t> samples(outputBytes);
    if (JpegDecode8(bytes.data(), samples.data(), bytes.size(), samples.size()) != 0) {
        LogMessage("ERROR, LoadJpegPicture, JPEG decoding failed for " + fileName);
        return false;
    }
    if (components == 1) {
        CreateGrayBitmap(picture, width, height, qRgb(0, 0, 0));
        for (int r = 0; r < height; ++r)
            std::copy_n(samples.data() + std::size_t(r) * width, width, picture.scanLine(r));
    } else {
        CreateRgbBitmap(picture, width, height, qRgb(0, 0, 0));
        for (int r = 0; r < height; ++r) {
            const uint8_t* from = samples.data() + std::size_t(r) * width * 3;
            uint8_t* to = picture.scanLine(r);
            for (int c = 0; c < width; ++c) {
                to[3 * c] = from[3 * c + 2];
                to[3 * c + 1] = from[3 * c + 1];
                to[3 * c + 2] = from[3 * c];
            }
        }
    }
    return !picture.isNull();
}

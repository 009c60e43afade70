#include "Images.h"

#include "ByteOrder.h"
#include "Log.h"
#include "UidTables.h"
#include "Waveform.h"
#include "Ybr.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

bool isUndefinedSequence(const DcmTag& e) {
    return e.IsVR("SQ") && e.length == UndefinedLength;
}

bool isUndefinedItem(const DcmTag& e) {
    return e.Is(0xFFFE, 0xE000) && e.length == UndefinedLength;
}

bool isDelimiter(const DcmTag& e) {
    return e.Is(0xFFFE, 0xE00D) || e.Is(0xFFFE, 0xE0DD);
}

// Word `index` of a value in the element's byte order; 0 past its end.
uint16_t wordAt(const DcmTag& e, uint32_t index) {
    if (!e.HasValue() || 2u * index + 1 >= e.length)
        return 0;
    return ByteOrder::Load16(e.data.get() + 2u * index, e.bigEndian != 0);
}

// Shortest decimal form that reads back as the same float; the locale never changes it.
std::string shortNumber(float value) {
    char text[32];
    // The shortest form of any float takes at most 15 characters; a failure shows nothing
    // rather than the buffer.
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string();
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A frame count as text; anything that is not a positive number counts as one frame.
int32_t frameCount(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || value < 1 || value > INT32_MAX)
        return 1;
    return static_cast<int32_t>(value);
}

// Colour held as 16-bit words (narrowed to bytes by the stored depth) or as native
// YBR_FULL_422 (two pixels share one Cb, Cr pair): both become 8-bit interleaved R, G, B.
void takeOtherColour(TImages& im, const DcmTag& e) {
    const uint64_t pixels = uint64_t(im.columns) * im.rows * uint64_t(im.frames);
    const bool words = im.bitsAllocated == 16;
    if (!words && (im.bitsAllocated != 8 || im.planar != 0 || im.columns % 2 != 0)) {
        LogMessage("ERROR, TImages::Read, " + im.photometricText + " with " +
                   std::to_string(im.bitsAllocated) + " bits allocated is not supported");
        return;
    }
    const uint64_t needed = words ? pixels * 6 : pixels * 2;
    if (!e.HasValue() || e.length < needed) {
        LogMessage("ERROR, Image Size (" + std::to_string(needed) + ") <> Tag Length (" +
                   std::to_string(e.length) + ")");
        return;
    }
    im.data.assign(pixels * 3, 0);
    const uint8_t* source = e.data.get();
    if (!words) {
        Ybr422ToRgb(source, im.data.data(), pixels);
        return;
    }
    const int shift = std::clamp<int>(im.bitsStored - 8, 0, 8);
    const uint64_t n = uint64_t(im.columns) * im.rows;
    for (uint64_t i = 0; i < pixels * 3; ++i) {
        // Planar frames are read plane by plane into interleaved order.
        uint64_t from = i;
        if (im.planar == 1) {
            const uint64_t frame = i / (3 * n), k = i % (3 * n);
            from = frame * 3 * n + (k % 3) * n + k / 3;
        }
        const uint16_t v = wordAt(e, static_cast<uint32_t>(from));
        im.data[i] = static_cast<uint8_t>(std::min(v >> shift, 255));
    }
    if (im.photometricText == "YBR_FULL")
        YbrFullToRgb(im.data.data(), im.data.size());
}

void takePixelData(TImages& im, const DcmTag& e) {
    if (e.length == UndefinedLength)
        return;
    uint64_t size = uint64_t(im.columns) * im.rows * im.bitsAllocated / 8 * uint64_t(im.frames);
    if (size & 1)
        ++size;
    const uint64_t available = e.HasValue() ? e.length : 0;
    const uint8_t* source = e.HasValue() ? e.data.get() : nullptr;
    if (im.colour && (im.bitsAllocated == 16 || im.photometricText == "YBR_FULL_422")) {
        takeOtherColour(im, e);
        return;
    }
    if (im.colour) {
        const uint64_t bytes = size * 3;
        // Tolerate a short last frame, but never allocate far beyond what the file holds: the
        // part missing may be no larger than the part there (a lone frame of a few bytes
        // would otherwise claim up to 12 GB).
        const uint64_t frameBytes = uint64_t(im.columns) * im.rows * 3;
        if (bytes > available + std::min(frameBytes, available) + 1) {
            LogMessage("ERROR, Image Size (" + std::to_string(bytes) + ") <> Tag Length (" +
                       std::to_string(e.length) + ")");
            return;
        }
        im.data.assign(bytes, 0);
        if (im.planar == 1) {
            const uint64_t n = uint64_t(im.columns) * im.rows;
            for (int32_t f = 0; f < im.frames; ++f) {
                const uint64_t base = uint64_t(f) * 3 * n;
                for (uint64_t k = 0; k < n; ++k) {
                    for (uint64_t c = 0; c < 3; ++c) {
                        uint64_t from = base + c * n + k;
                        uint64_t to = base + 3 * k + c;
                        if (from < available && to < bytes)
                            im.data[to] = source[from];
                    }
                }
            }
        } else if (source && bytes > 0) {
            std::memcpy(im.data.data(), source, std::min(bytes, available));
        }
        if (im.photometricText == "YBR_FULL")
            YbrFullToRgb(im.data.data(), im.data.size());
        return;
    }
    if (size > available + 1) {
        LogMessage("ERROR, Image Size (" + std::to_string(size) + ") <> Tag Length (" +
                   std::to_string(e.length) + ")");
        return;
    }
    im.data.assign(size, 0);
    // An image of no size leaves no buffer to copy into.
    if (source && size > 0)
        std::memcpy(im.data.data(), source, std::min(size, available));
}

void checkImagerSpacing(TImages& im) {
    if (im.modality != "CR" && im.modality != "DX" && im.modality != "MG" && im.modality != "IO")
        return;
    if (!im.vendorMark.empty())
        return;
    const float i1 = im.imagerSpacing[0];
    const float i2 = im.imagerSpacing[1];
    const float p1 = im.pixelSpacing[0];
    if (i1 != 0 && p1 != 0) {
        if (i1 != p1)
            LogMessage("WARNING, Imager PixelSpacing (" + shortNumber(i1) + ")!= PixelSpacing ((" +
                       shortNumber(p1) + ")");
        return;
    }
    if (i1 != 0 && i2 != 0)
        return;
    im.imagerSpacing[0] = im.pixelSpacing[0];
    im.imagerSpacing[1] = im.pixelSpacing[1];
    LogMessage("WARNING, Imager PixelSpacing is empty, Using Pixel Spacing from (0028, 0030)");
}

void readLutItems(VoiLut& lut, const DcmObj& set, bool& found) {
    for (int i = 0; i < set.Count(); ++i) {
        if (const DcmObj* nested = set.ObjAt(i)) {
            readLutItems(lut, *nested, found);
            continue;
        }
        const DcmTag& e = *set.TagAt(i);
        if (e.Is(0x0028, 0x3002)) {
            lut.SetDescriptor(e);
        } else if (e.Is(0x0028, 0x3006) && e.HasValue() && lut.DataSize() != 0 &&
                   e.length == lut.DataSize()) {
            lut.table.assign(e.data.get(), e.data.get() + e.length);
            found = true;
        }
    }
}

// Float to an integer toward zero, kept inside the range where the conversion is defined.
long truncated(float x) {
    if (!(x > -2147483648.0f))
        return INT32_MIN;
    if (x >= 2147483648.0f)
        return INT32_MAX;
    return static_cast<long>(x);
}

} // namespace

bool VoiLut::SetDescriptor(const DcmTag& descriptor) {
    if (descriptor.length != 6 || !descriptor.HasValue())
        return false;
    entries = wordAt(descriptor, 0);
    firstMapped = wordAt(descriptor, 1);
    bitsPerEntry = wordAt(descriptor, 2);
    // The table is only held once LUT Data of the announced size arrives; an all-zero table
    // would map the whole image to black.
    table.clear();
    return true;
}

bool ReadLutSequence(VoiLut& lut, const DcmObj& sequence) {
    bool found = false;
    readLutItems(lut, sequence, found);
    return found;
}

void TImages::ReadTag(TImages& im, const DcmTag& e) {
    if (e.group == 0x0008) {
        if (e.element == 0x0016) {
            im.sopClass = e.GetString();
        } else if (e.element == 0x0060) {
            im.modality = e.GetString();
        } else if (e.element == 0x0070) {
            im.manufacturer = e.GetString();
            const std::string lower = lowerCase(im.manufacturer);
            if (lower.find("instrumentarium") != std::string::npos)
                im.vendorMark = "INSTRUMENTARIUM";
            if (lower.find("soredex") != std::string::npos)
                im.vendorMark = "SOREDEX";
        }
        return;
    }
    if (e.Is(0x0018, 0x1164)) {
        im.imagerSpacing[0] = e.GetFloatAt(0);
        im.imagerSpacing[1] = e.GetFloatAt(1);
        return;
    }
    if (e.Is(0x7FE0, 0x0010)) {
        takePixelData(im, e);
        return;
    }
    if (e.group != 0x0028)
        return;
    switch (e.element) {
    case 0x0004:
        im.photometricText = e.GetString();
        im.colour = im.photometricText == "RGB" || im.photometricText == "YBR_FULL" ||
                    im.photometricText == "YBR_FULL_422";
        im.monochrome1 = im.photometricText == "MONOCHROME1";
        break;
    case 0x0006:
        im.planar = e.GetUShort();
        break;
    case 0x0008:
        im.frames = frameCount(e.GetString());
        break;
    case 0x0010:
        im.rows = e.GetUShort();
        break;
    case 0x0011:
        im.columns = e.GetUShort();
        break;
    case 0x0030:
        im.pixelSpacing[0] = e.GetFloatAt(0);
        im.pixelSpacing[1] = e.GetFloatAt(1);
        break;
    case 0x0100:
        im.bitsAllocated = e.GetUShort();
        break;
    case 0x0101:
        im.bitsStored = e.GetUShort();
        break;
    case 0x0103:
        im.pixelRepresentation = e.GetUShort();
        break;
    case 0x0402:
        im.vendorMark = e.GetString();
        break;
    case 0x1041:
        im.intensitySign = e.GetUShort();
        break;
    case 0x1050:
        im.windowCenter = e.GetFloat();
        break;
    case 0x1051:
        im.windowWidth = e.GetFloat();
        break;
    case 0x1052:
        im.intercept = e.GetFloat();
        break;
    case 0x1053:
        im.slope = e.GetFloat();
        break;
    default:
        break;
    }
}

bool TImages::ReadAttributes(TImages& im, const DcmObj& dataSet) {
    im.windowWidth = 0;
    im.slope = 0;
    im.frames = 1;
    int depth = 0;
    for (int i = 0; i < dataSet.Count(); ++i) {
        if (const DcmObj* nested = dataSet.ObjAt(i)) {
            if (nested->itemTag.Is(0x0028, 0x3010) && !im.voiLut) {
                im.voiLut = std::make_unique<VoiLut>();
                im.hasVoiLut = ReadLutSequence(*im.voiLut, *nested);
            }
            continue;
        }
        const DcmTag& e = *dataSet.TagAt(i);
        if (isUndefinedSequence(e) || isUndefinedItem(e))
            ++depth;
        if (depth == 0) {
            try {
                ReadTag(im, e);
            } catch (const std::exception& ex) {
                LogMessage(std::string("ERROR, TImages::Read, ") + ex.what());
                return false;
            }
        } else if (e.Is(0x0028, 0x3010)) {
            im.voiLut = std::make_unique<VoiLut>();
        } else if (e.Is(0x0028, 0x3002) && im.voiLut) {
            im.voiLut->SetDescriptor(e);
        } else if (e.Is(0x0028, 0x3006) && im.voiLut) {
            im.lutBytes = static_cast<int32_t>(im.voiLut->DataSize());
            if (e.HasValue() && e.length == im.voiLut->DataSize())
                im.voiLut->table.assign(e.data.get(), e.data.get() + e.length);
            im.hasVoiLut = true;
        }
        // The encapsulated fragments' closing delimiter has no opener; depth stays at 0.
        if (isDelimiter(e) && depth > 0)
            --depth;
    }

    checkImagerSpacing(im);
    return true;
}

void TImages::ApplyLut(TImages& im) {
    const uint64_t n = uint64_t(im.columns) * im.rows;
    if (im.bitsAllocated == 8) {
        if (im.windowWidth == 0)
            im.windowWidth = 255;
        if (im.windowCenter == 0)
            im.windowCenter = 127;
        im.hasVoiLut = false;
    }

    // A table that did not arrive whole is not used (the flat form flags it all the same).
    const VoiLut* lut = im.voiLut.get();
    const bool byteEntries = lut && lut->bitsPerEntry == 8;
    const uint32_t usable =
        lut ? std::min<uint32_t>(lut->entries,
                                 static_cast<uint32_t>(lut->table.size() / (byteEntries ? 1 : 2)))
            : 0;
    if (im.hasVoiLut && usable > 0) {
        auto entry = [&](uint32_t i) -> uint16_t {
            if (byteEntries)
                return lut->table[i];
            return ByteOrder::Load16(lut->table.data() + 2 * i, ByteOrder::Little);
        };
        const uint64_t samples = std::min<uint64_t>(n, im.data.size() / 2);
        for (uint64_t k = 0; k < samples; ++k) {
            uint8_t* p = im.data.data() + 2 * k;
            const long v = ByteOrder::Load16(p, ByteOrder::Little);
            const long i = std::clamp<long>(v - lut->firstMapped, 0, long(usable) - 1);
            const uint16_t mapped = entry(static_cast<uint32_t>(i));
            ByteOrder::Store16(p, mapped, ByteOrder::Little);
        }
        uint16_t largest = 0;
        for (uint32_t i = 0; i < usable; ++i)
            largest = std::max(largest, entry(i));
        im.windowWidth = largest;
        im.windowCenter = im.windowWidth * 0.5f;
        return;
    }

    // Colour samples carry no rescale.
    if (im.slope != 0 && !im.colour) {
        const uint64_t bytesPerSample = im.bitsAllocated == 8 ? 1 : 2;
        const uint64_t total =
            std::min<uint64_t>(n * uint64_t(im.frames), im.data.size() / bytesPerSample);
        for (uint64_t k = 0; k < total; ++k) {
            if (bytesPerSample == 1) {
                const long x = truncated(im.data[k] * im.slope + im.intercept);
                im.data[k] = static_cast<uint8_t>(x & 0xFF);
                continue;
            }
            uint8_t* p = im.data.data() + 2 * k;
            const int16_t v = static_cast<int16_t>(ByteOrder::Load16(p, ByteOrder::Little));
            float x = v * im.slope + im.intercept;
            if (x > 65535)
                x = 65535;
            const uint16_t word = static_cast<uint16_t>(truncated(x) & 0xFFFF);
            ByteOrder::Store16(p, word, ByteOrder::Little);
            if (im.intensitySign == 0 && (im.intercept < 0 || im.pixelRepresentation == 1) &&
                static_cast<int16_t>(word) < 0)
                im.signedSamples = true;
        }
    } else if (im.pixelRepresentation == 1) {
        im.signedSamples = true;
    }
}

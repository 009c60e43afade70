#include "ByteOrder.h"
#include "DcmObj.h"
#include "Images.h"
#include "Log.h"
#include "TransferSyntaxUids.h"
#include "UidTables.h"
#include "Ybr.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

// The largest value a defined-length element can carry.
constexpr uint64_t MaxValueBytes = 0xFFFFFFFEu;

// Values collected by the pass, each the last one met at the top level outside an icon image.
struct Working {
    std::string modality;
    uint16_t planar = 0;
    int frames = 0;
    uint16_t rows = 1;
    uint16_t columns = 1;
    uint16_t bitsAllocated = 1;
    uint16_t bitsStored = 1;
    uint16_t pixelRepresentation = 0;
    float intercept = 0.0f;
    float slope = 1.0f;
    bool colour = false;
    bool icon = false;
};

void log(const std::string& text) {
    LogMessage("ERROR, DcmObj::ConvertTransferSyntax, " + text);
}

int textToInt(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<int>(value);
}

bool beginsWith(const DcmTag& e, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return e.HasValue() && e.length >= n && std::memcmp(e.data.get(), prefix, n) == 0;
}

void setText(DcmTag& e, const char* text) {
    e.SetValue(text, static_cast<uint32_t>(std::strlen(text)));
}

void setUShort(DcmTag& e, uint16_t value) {
    uint8_t bytes[2];
    ByteOrder::Store16(bytes, value, ByteOrder::Little);
    e.SetValue(bytes, 2);
    e.bigEndian = 0;
}

void readAttribute(DcmObj& ds, DcmTag& e, Working& w, const std::string& target) {
    switch (e.element) {
    case 0x0004: {
        ds.photometric = e.GetString();
        if (!beginsWith(e, "MON") && !beginsWith(e, "PAL")) {
            w.colour = true;
            setText(e, target == JpegBaseline ? "YBR_FULL" : "RGB ");
        }
        if (ds.photometric == "YBR_FULL" && ds.transferSyntax == ImplicitLittleEndian)
            setText(e, "RGB ");
        break;
    }
    case 0x0006:
        w.planar = e.GetUShort();
        if (w.planar == 1)
            setUShort(e, 0);
        break;
    case 0x0008:
        w.frames = textToInt(e.GetString());
        break;
    case 0x0010:
        w.rows = e.GetUShort();
        break;
    case 0x0011:
        w.columns = e.GetUShort();
        break;
    case 0x0100:
        w.bitsAllocated = e.GetUShort();
        break;
    case 0x0101:
        w.bitsStored = e.GetUShort();
        break;
    case 0x0103:
        w.pixelRepresentation = e.GetUShort();
        break;
    case 0x1052:
        w.intercept = e.GetFloat();
        break;
    case 0x1053:
        w.slope = e.GetFloat();
        break;
    default:
        break;
    }
}

// The lossy targets store narrowed samples; the attributes must describe what was stored.
// The rescale of narrowed samples is written after the pass, once the reduction is known.
void rewriteForLossy(DcmTag& e, const Working& w, const std::string& target) {
    if (target == JpegBaseline && w.bitsStored != 8) {
        switch (e.element) {
        case 0x0100:
        case 0x0101:
            setUShort(e, 8);
            break;
        case 0x0102:
            setUShort(e, 7);
            break;
        case 0x0103:
            setUShort(e, 0);
            break;
        default:
            break;
        }
    } else if (target == JpegExtended && w.bitsStored != 12) {
        switch (e.element) {
        case 0x0101:
            setUShort(e, 12);
            break;
        case 0x0102:
            setUShort(e, 11);
            break;
        case 0x0103:
            setUShort(e, 0);
            break;
        default:
            break;
        }
    }
}

void planarToInterleaved(std::vector<uint8_t>& buffer, uint64_t frameBytes, int frames,
                         int sampleBytes) {
    std::vector<uint8_t> frame(frameBytes);
    const uint64_t third = frameBytes / 3;
    const uint64_t samples = third / sampleBytes;
    for (int f = 0; f < frames; ++f) {
        uint8_t* base = buffer.data() + uint64_t(f) * frameBytes;
        std::memcpy(frame.data(), base, frameBytes);
        for (uint64_t k = 0; k < samples; ++k)
            for (uint64_t c = 0; c < 3; ++c)
                std::memcpy(base + (3 * k + c) * sampleBytes,
                            frame.data() + c * third + k * sampleBytes, sampleBytes);
    }
}

// Fragments after the pixel data element at index (the offset table not counted) and their
// bytes; -1 when the delimiter is missing.
int countFragments(const DcmObj& ds, int index, uint64_t& bytes) {
    bytes = 0;
    int count = -1;
    for (int i = index + 1; i < ds.Count(); ++i) {
        const DcmTag* e = ds.TagAt(i);
        if (!e)
            return -1;
        if (e->Is(0xFFFE, 0xE0DD))
            return std::max(count, 0);
        if (!e->Is(0xFFFE, 0xE000))
            return -1;
        if (count >= 0 && e->length != UndefinedLength)
            bytes += e->length;
        ++count;
    }
    return -1;
}

enum class Step { Continue, Fail };

Step convertPixelData(DcmObj& ds, int& index, const Working& w, const std::string& target,
                      float& ratio, bool& result, SampleReduction& reduction) {
    const int frames = w.frames >= 1 ? w.frames : 1;
    uint64_t total = uint64_t(w.columns) * w.rows * w.bitsAllocated / 8;
    if (w.colour)
        total *= 3;
    total *= uint64_t(frames);
    if (total == 0) {
        log("size=0");
        return Step::Fail;
    }
    DcmTag& e = *ds.TagAt(index);
    const bool encapsulated = e.length == UndefinedLength;
    // Native YBR_FULL_422 shares one Cb, Cr pair between two pixels: two thirds of the size.
    const bool ybr422 = !encapsulated && w.colour && ds.photometric == "YBR_FULL_422" &&
                        w.bitsAllocated == 8 && w.planar == 0 && w.columns % 2 == 0;
    const uint64_t nativeTotal = ybr422 ? total / 3 * 2 : total;
    if (total > MaxValueBytes) {
        log("size=" + std::to_string(total) + " is too large");
        return Step::Fail;
    }
    if (encapsulated) {
        uint64_t compressed = 0;
        const int fragments = countFragments(ds, index, compressed);
        // Every frame needs a fragment of its own. A large image claimed from less than a
        // two-thousandth of its size in compressed bytes is refused rather than allocated.
        if (fragments >= 0 && fragments < frames) {
            log("frames=" + std::to_string(frames) + ", fragments=" + std::to_string(fragments));
            return Step::Fail;
        }
        if (total > (64u << 20) && total / std::max<uint64_t>(compressed, 1) > 2048) {
            log("size=" + std::to_string(total) + " for " + std::to_string(compressed) +
                " compressed bytes");
            return Step::Fail;
        }
    } else if (e.length != nativeTotal && e.length != nativeTotal + 1) {
        log("tag->length!=size");
        return Step::Fail;
    }

    std::vector<uint8_t> buffer;
    try {
        buffer.assign(total, 0);
    } catch (const std::bad_alloc&) {
        log("allocating " + std::to_string(total) + " bytes");
        return Step::Fail;
    }

    if (encapsulated) {
        bool decoded = false;
        try {
            decoded = ds.Decomp(index, buffer.data(), total, frames, w.bitsAllocated);
        } catch (const std::exception&) {
            decoded = false;
        }
        if (!decoded) {
            log("Exception on Decomp");
            return Step::Fail;
        }
    } else if (ybr422) {
        // Rows of an odd width would split a pair; the length test above holds them out.
        if (e.HasValue())
            Ybr422ToRgb(e.data.get(), buffer.data(), total / 3);
    } else {
        if (e.HasValue())
            std::memcpy(buffer.data(), e.data.get(), std::min<uint64_t>(total, e.length));
        const uint64_t frameBytes = total / frames;
        if (w.colour && w.planar == 1 && w.bitsAllocated >= 8)
            planarToInterleaved(buffer, frameBytes, frames, w.bitsAllocated / 8);
        // The attribute is rewritten to say RGB (YBR_FULL for JPEG baseline, whose encoder
        // takes RGB and transforms it itself).
        if (w.colour && ds.photometric == "YBR_FULL" && w.bitsAllocated == 8)
            YbrFullToRgb(buffer.data(), buffer.size());
    }
    const uint16_t planar = encapsulated ? w.planar : 0;

    try {
        result = DcmObj::Comp(ds, index, buffer.data(), w.colour, w.columns, w.rows, w.bitsStored,
                              w.bitsAllocated, w.pixelRepresentation, planar, w.slope, w.intercept,
                              ratio, frames, target, w.modality, &reduction);
    } catch (const std::exception&) {
        log("Exception on Comp");
    }
    return Step::Continue;
}

// "0.00" whatever the locale: decimal strings need a full stop.
std::string ratioText(float ratio) {
    char text[64];
    auto r = std::to_chars(text, text + sizeof text, static_cast<double>(ratio),
                           std::chars_format::fixed, 2);
    return r.ec == std::errc() ? std::string(text, r.ptr) : std::string("0.00");
}

// Puts a text element in tag order at depth 0, replacing the value of an equal tag. Unlike
// DcmObj::Add it also stops in front of encapsulated pixel data, which Add passes over and
// appends after, leaving the element behind the pixel data where no decoder expects it.
void putText(DcmObj& ds, uint16_t group, uint16_t element, const std::string& text) {
    auto n = std::make_unique<DcmTag>(group, element, text, nullptr);
    int depth = 0;
    for (int i = 0; i < ds.Count(); ++i) {
        const DcmTag& e = ds.HeaderAt(i);
        if ((e.IsVR("SQ") || e.Is(0xFFFE, 0xE000)) && e.length == UndefinedLength)
            ++depth;
        if (depth == 0) {
            if (e.group == group && e.element == element && ds.TagAt(i)) {
                ds.TagAt(i)->SetValue(n->data.get(), n->length);
                return;
            }
            if (e.group > group || (e.group == group && e.element > element)) {
                ds.Insert(std::move(n), i);
                return;
            }
        }
        if ((e.Is(0xFFFE, 0xE00D) || e.Is(0xFFFE, 0xE0DD)) && depth > 0)
            --depth;
    }
    ds.Append(std::move(n));
}

// A decimal string of at most 16 characters, with a full stop whatever the locale.
std::string decimalText(double value) {
    char text[64];
    for (int digits = 12; digits > 0; --digits) {
        auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
        if (r.ec == std::errc() && r.ptr - text <= 16)
            return std::string(text, r.ptr);
    }
    return "0";
}

// Elements at depth 0 that no longer hold after the samples were narrowed: their values are
// in the old range (and VR) of the samples.
void removeOldRangeValues(DcmObj& ds) {
    static constexpr uint16_t elements[] = {0x0106, 0x0107, 0x0108, 0x0109, 0x0120, 0x0121};
    int depth = 0;
    for (int i = 0; i < ds.Count(); ++i) {
        const DcmTag& e = ds.HeaderAt(i);
        if ((e.IsVR("SQ") || e.Is(0xFFFE, 0xE000)) && e.length == UndefinedLength)
            ++depth;
        if (depth == 0 && e.group == 0x0028 && ds.TagAt(i) &&
            std::find(std::begin(elements), std::end(elements), e.element) != std::end(elements)) {
            ds.Remove(i--);
            continue;
        }
        if ((e.Is(0xFFFE, 0xE00D) || e.Is(0xFFFE, 0xE0DD)) && depth > 0)
            --depth;
    }
}

// The rescale that turns the narrowed grey samples back into modality values.
void describeReduction(DcmObj& ds, const SampleReduction& r) {
    removeOldRangeValues(ds);
    if (!r.grey)
        return;
    putText(ds, 0x0028, 0x1052, decimalText(r.intercept));
    putText(ds, 0x0028, 0x1053, decimalText(r.slope));
}

} // namespace

bool DcmObj::ConvertTransferSyntax(DcmObj& ds, const std::string& target) {
    if (target.empty() || target == ds.transferSyntax)
        return true;
    if (ds.transferSyntax == Mpeg2 || ds.transferSyntax == Mpeg2High)
        return true;
    const bool explicitVR = target != ImplicitLittleEndian;
    if (!IsKnownTransferSyntax(ds.transferSyntax)) {
        log("source transfer syntax not supported: " + ds.transferSyntax);
        return false;
    }
    if (!IsKnownTransferSyntax(target) || target == Rle || target == Mpeg2) {
        log("target transfer syntax not supported: " + target);
        return false;
    }
    if (ds.GetString(0x0008, 0x0060) == "CR" && target == JpegExtended)
        ApplyVoiLut(ds);

    // Values are worked on in little-endian order and put into the target's order at the end;
    // a data set left in its old syntax gets its old byte order back.
    const bool sourceBig = ds.transferSyntax == ExplicitBigEndian;
    if (sourceBig)
        DcmObj::SetByteOrder(ds, false);

    Working w;
    bool result = false;
    float ratio = 0.0f;
    SampleReduction reduction;
    // Values of a source that was already lossy, to which this compression's are appended.
    const bool wasLossy = ds.GetString(0x0028, 0x2110) == "01";
    const std::string oldMethod = wasLossy ? ds.GetString(0x0028, 0x2114) : std::string();
    const std::string oldRatio = wasLossy ? ds.GetString(0x0028, 0x2112) : std::string();
    for (int i = 0; i < ds.Count(); ++i) {
        if (!ds.TagAt(i))
            continue;
        DcmTag& e = *ds.TagAt(i);
        if (e.Is(0x0008, 0x0060))
            w.modality = e.GetString();
        if (e.group == 0x0028 && !w.icon)
            readAttribute(ds, e, w, target);
        if ((e.Is(0x0088, 0x0200) || e.Is(0x6003, 0x1010)) && e.length == UndefinedLength)
            w.icon = true;
        if (e.Is(0x7FE0, 0x0010)) {
            if (w.icon) {
                w.icon = false;
            } else if (convertPixelData(ds, i, w, target, ratio, result, reduction) == Step::Fail) {
                if (sourceBig)
                    DcmObj::SetByteOrder(ds, true);
                return false;
            }
            continue;
        }
        if (e.group == 0x0028)
            rewriteForLossy(e, w, target);
    }

    if (reduction.applied)
        describeReduction(ds, reduction);
    else if ((target == JpegBaseline && w.bitsStored != 8) ||
             (target == JpegExtended && w.bitsStored != 12))
        removeOldRangeValues(ds); // written in the old VR beside the new pixel representation
    if (target == JpegBaseline || target == JpegExtended || target == J2kLossy) {
        const std::string method = target == J2kLossy ? "ISO_15444_1" : "ISO_10918_1";
        putText(ds, 0x0028, 0x2110, "01");
        putText(ds, 0x0028, 0x2112,
                oldRatio.empty() ? ratioText(ratio) : oldRatio + "\\" + ratioText(ratio));
        putText(ds, 0x0028, 0x2114, oldMethod.empty() ? method : oldMethod + "\\" + method);
    }
    if (target == ExplicitBigEndian)
        DcmObj::SetByteOrder(ds, true);
    ds.transferSyntax = target;
    ds.explicitVR = explicitVR ? 1 : 0;
    return result;
}

int DcmObj::ApplyVoiLut(DcmObj& ds) {
    TImages images;
    TImages::ReadAttributes(images, ds);
    if (!images.hasVoiLut)
        return 0;
    TImages::ApplyLut(images);
    const uint64_t frameBytes = uint64_t(images.columns) * images.rows * images.bitsAllocated / 8;
    DcmTag* pixels = ds.GetTag(0x7FE0, 0x0010);
    // Encapsulated pixel data is not mapped, so its LUT must stay with it.
    if (!pixels || pixels->length == UndefinedLength || frameBytes == 0 ||
        images.data.size() < frameBytes)
        return 0;
    pixels->SetValue(images.data.data(), static_cast<uint32_t>(frameBytes));

    int removed = 0;
    for (int i = 0; i < ds.Count(); ++i) {
        if (!ds.HeaderAt(i).Is(0x0028, 0x3010))
            continue;
        if (ds.ObjAt(i)) {
            ds.Remove(i);
            return 1;
        }
        while (i < ds.Count()) {
            const bool last = ds.HeaderAt(i).Is(0xFFFE, 0xE0DD);
            ds.Remove(i);
            ++removed;
            if (last)
                break;
        }
        break;
    }
    return removed;
}

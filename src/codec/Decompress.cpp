// DcmObj::Decomp: encapsulated pixel data into one native buffer of every frame.

#include "ByteOrder.h"
#include "DcmObj.h"
#include "J2k.h"
#include "Jpeg.h"
#include "Log.h"
#include "TransferSyntaxUids.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Decoder { None, Rle, JpegLossless, JpegBaseline, JpegExtended, Jpeg2000 };

Decoder decoderFor(const std::string& syntax) {
    if (syntax == Rle)
        return Decoder::Rle;
    if (syntax == JpegLossless || syntax == JpegLosslessProcess14)
        return Decoder::JpegLossless;
    if (syntax == JpegBaseline)
        return Decoder::JpegBaseline;
    if (syntax == JpegExtended)
        return Decoder::JpegExtended;
    if (syntax == J2kLossless || syntax == J2kLossy)
        return Decoder::Jpeg2000;
    return Decoder::None;
}

bool isJpeg(Decoder d) {
    return d == Decoder::JpegLossless || d == Decoder::JpegBaseline || d == Decoder::JpegExtended;
}

struct Fragment {
    const uint8_t* bytes;
    std::size_t length;
};

// Fragments [first, first + count) make up one frame.
struct FrameSpan {
    std::size_t first;
    std::size_t count;
};

// The stream ends with the end-of-image marker, possibly followed by the one padding byte
// that makes an item even.
bool endsWithEoi(const Fragment& f) {
    std::size_t n = f.length;
    if (n > 0 && f.bytes[n - 1] == 0x00)
        --n;
    return n >= 2 && f.bytes[n - 2] == 0xFF && f.bytes[n - 1] == 0xD9;
}

// Frames by the basic offset table: each offset must name the start of a fragment item,
// counted from the first fragment's item header. Empty when the table cannot be used.
std::vector<FrameSpan> spansByOffsetTable(const DcmTag& table,
                                          const std::vector<Fragment>& fragments,
                                          std::size_t frames) {
    if (!table.HasValue() || table.length / 4 < frames)
        return {};
    std::vector<uint64_t> starts(fragments.size());
    uint64_t position = 0;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        starts[i] = position;
        position += 8 + static_cast<uint64_t>(fragments[i].length);
    }
    std::vector<FrameSpan> spans;
    for (std::size_t f = 0; f < frames; ++f) {
        const auto offset =
            ByteOrder::Read32({table.data.get(), table.length}, 4 * f, table.bigEndian != 0);
        if (!offset)
            return {};
        auto it = std::lower_bound(starts.begin(), starts.end(), *offset);
        if (it == starts.end() || *it != *offset)
            return {};
        const std::size_t first = static_cast<std::size_t>(it - starts.begin());
        if ((f == 0 && first != 0) || (!spans.empty() && first <= spans.back().first))
            return {};
        if (!spans.empty())
            spans.back().count = first - spans.back().first;
        spans.push_back({first, 0});
    }
    spans.back().count = fragments.size() - spans.back().first;
    return spans;
}

std::vector<FrameSpan> spansByEndOfImage(const std::vector<Fragment>& fragments) {
    std::vector<FrameSpan> spans;
    std::size_t first = 0;
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        if (endsWithEoi(fragments[i])) {
            spans.push_back({first, i + 1 - first});
            first = i + 1;
        }
    }
    if (first < fragments.size())
        spans.push_back({first, fragments.size() - first});
    return spans;
}

std::vector<FrameSpan> frameSpans(const DcmTag& table, const std::vector<Fragment>& fragments,
                                  std::size_t frames, Decoder decoder) {
    if (fragments.empty())
        return {};
    if (frames == 1)
        return {{0, fragments.size()}};
    if (fragments.size() > frames) {
        std::vector<FrameSpan> spans = spansByOffsetTable(table, fragments, frames);
        if (spans.empty() && isJpeg(decoder)) {
            spans = spansByEndOfImage(fragments);
            if (spans.size() != frames)
                spans.clear();
        }
        if (!spans.empty())
            return spans;
    }
    std::vector<FrameSpan> spans;
    for (std::size_t i = 0; i < std::min(frames, fragments.size()); ++i)
        spans.push_back({i, 1});
    return spans;
}

const char* codecName(Decoder d) {
    switch (d) {
    case Decoder::Rle:
        return "RLE";
    case Decoder::JpegLossless:
        return "JPEG lossless";
    case Decoder::JpegBaseline:
        return "JPEG baseline";
    case Decoder::JpegExtended:
        return "JPEG extended";
    case Decoder::Jpeg2000:
        return "JPEG 2000";
    case Decoder::None:
        break;
    }
    return "none";
}

// True when the frame was decoded whole.
bool decodeFrame(DcmObj& dataSet, Decoder decoder, const uint8_t* bytes, std::size_t length,
                 uint8_t* out, std::size_t frameSize, std::size_t totalSize, int bitsAllocated,
                 bool rgb) {
    switch (decoder) {
    case Decoder::Rle:
        return dataSet.RleDecodeFrame(bytes, out, length, frameSize, bitsAllocated);
    case Decoder::JpegLossless:
        if (bitsAllocated == 8)
            return JpegDecode8(bytes, out, length, frameSize, rgb) == 0;
        if (length == totalSize) {
            // Some writers store the samples unencoded, as big-endian words.
            const std::size_t n = std::min(length, frameSize) & ~static_cast<std::size_t>(1);
            for (std::size_t i = 0; i < n; i += 2) {
                out[i] = bytes[i + 1];
                out[i + 1] = bytes[i];
            }
            return true;
        }
        return JpegDecode16(bytes, out, length, frameSize) == 0;
    case Decoder::JpegBaseline:
    case Decoder::JpegExtended:
        // An 8-bit frame takes one byte per sample whatever the process.
        if (bitsAllocated == 8)
            return JpegDecode8(bytes, out, length, frameSize, rgb) == 0;
        return JpegDecode12(bytes, out, length, frameSize, rgb) == 0;
    case Decoder::Jpeg2000:
        return J2kDecode(bytes, out, length, frameSize);
    case Decoder::None:
        break;
    }
    return true;
}

std::string trimmedText(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool isItem(const DcmTag* t) {
    return t != nullptr && t->Is(0xFFFE, 0xE000);
}

bool isDelimiter(const DcmTag* t) {
    return t != nullptr && t->Is(0xFFFE, 0xE0DD);
}

} // namespace

bool DcmObj::Decomp(int index, uint8_t* output, std::size_t totalSize, int frames,
                    int bitsAllocated) {
    const int p = index + 1;
    if (index < 0 || p >= Count() || !isItem(TagAt(p))) {
        LogMessage("ERROR, DcmObj::Decomp, no offset table item after the pixel data");
        return false;
    }
    const Decoder decoder = decoderFor(transferSyntax);
    if (decoder == Decoder::None) {
        Remove(p);
        return true;
    }

    std::vector<Fragment> fragments;
    int end = p + 1;
    for (; end < Count() && isItem(TagAt(end)); ++end) {
        const DcmTag* t = TagAt(end);
        fragments.push_back({t->HasValue() ? t->data.get() : nullptr,
                             t->HasValue() ? static_cast<std::size_t>(t->length) : 0});
    }
    const bool delimited = end < Count() && isDelimiter(TagAt(end));

    const std::size_t frameCount = frames < 1 ? 1 : static_cast<std::size_t>(frames);
    const std::size_t frameSize = totalSize / frameCount;
    const std::vector<FrameSpan> spans = frameSpans(*TagAt(p), fragments, frameCount, decoder);
    const bool rgb = trimmedText(photometric) == "RGB";
    std::vector<uint8_t> joined;
    bool whole = true;
    for (std::size_t f = 0; f < spans.size() && whole; ++f) {
        const FrameSpan& span = spans[f];
        const uint8_t* bytes = fragments[span.first].bytes;
        std::size_t length = fragments[span.first].length;
        if (span.count > 1) {
            joined.clear();
            for (std::size_t i = span.first; i < span.first + span.count; ++i)
                if (fragments[i].bytes != nullptr)
                    joined.insert(joined.end(), fragments[i].bytes,
                                  fragments[i].bytes + fragments[i].length);
            bytes = joined.data();
            length = joined.size();
        }
        if (!decodeFrame(*this, decoder, bytes, length, output + f * frameSize, frameSize,
                         totalSize, bitsAllocated, rgb)) {
            // A partly decoded picture must never pass for the image.
            LogMessage("ERROR, DcmObj::Decomp, frame " + std::to_string(f + 1) + " of " +
                       std::to_string(frameCount) + ": " + codecName(decoder) +
                       " stream does not decode");
            whole = false;
        }
    }

    const std::size_t used = spans.empty() ? 0 : spans.back().first + spans.back().count;
    items.erase(items.begin() + p, items.begin() + (delimited ? end + 1 : end));

    if (spans.size() < frameCount) {
        LogMessage("ERROR, DcmObj::Decomp, " + std::to_string(spans.size()) + " fragments for " +
                   std::to_string(frameCount) + " frames");
        return false;
    }
    if (used < fragments.size())
        LogMessage("WARNING, DcmObj::Decomp, " + std::to_string(fragments.size() - used) +
                   " fragments after the last frame ignored");
    if (!delimited) {
        if (decoder == Decoder::JpegBaseline) {
            LogMessage("ERROR, Decompressing image, end of stream");
            return whole;
        }
        LogMessage("ERROR, DcmObj::Decomp, no sequence delimitation item");
        return false;
    }
    return whole;
}

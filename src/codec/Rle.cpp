#include "Rle.h"

#include "ByteOrder.h"
#include "DcmObj.h"
#include "Log.h"
#include "Ybr.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How the segments of a frame map onto its sample bytes; samples == 0 means refused.
struct RleLayout {
    int samples = 0;     // samples per pixel: 1 or 3
    int sampleBytes = 0; // 1, 2 or 4; segment order is most significant byte first
    bool ybrFull = false;
};

RleLayout layoutFor(const std::string& photometric, uint32_t segments) {
    RleLayout layout;
    auto bytesFor = [](uint32_t n) { return n == 1 || n == 2 || n == 4 ? static_cast<int>(n) : 0; };
    if (photometric.find("MONO") != std::string::npos) {
        layout.sampleBytes = bytesFor(segments);
        layout.samples = layout.sampleBytes ? 1 : 0;
    } else if (photometric == "YBR_FULL") {
        if (segments == 3) {
            layout = {3, 1, true};
        }
    } else if (photometric == "RGB") {
        layout.sampleBytes = segments % 3 == 0 ? bytesFor(segments / 3) : 0;
        layout.samples = layout.sampleBytes ? 3 : 0;
    }
    return layout;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

bool RleDecodeSegment(const uint8_t* fragment, std::size_t fragmentLength, uint8_t* scratch,
                      std::size_t start, std::size_t length, int segmentIndex,
                      std::size_t segmentSize) {
    uint8_t* out = scratch + static_cast<std::size_t>(segmentIndex) * segmentSize;
    std::size_t produced = 0;
    std::size_t in = start;
    while (produced < segmentSize) {
        if (in >= fragmentLength) {
            LogMessage("ERROR, overflow decoding RLE");
            return false;
        }
        // The header byte is a signed count.
        const uint8_t header = fragment[in++];
        const int n = header < 128 ? header : header - 256;
        if (n >= 0) {
            std::size_t count = static_cast<std::size_t>(n) + 1;
            std::size_t available = fragmentLength - in;
            std::size_t copied = std::min({count, available, segmentSize - produced});
            std::memcpy(out + produced, fragment + in, copied);
            produced += copied;
            if (count > available) {
                LogMessage("ERROR, overflow decoding RLE");
                return false;
            }
            in += count;
        } else if (n != -128) {
            if (in >= fragmentLength) {
                LogMessage("ERROR, overflow decoding RLE");
                return false;
            }
            std::size_t count = std::min(static_cast<std::size_t>(1 - n), segmentSize - produced);
            std::memset(out + produced, fragment[in++], count);
            produced += count;
            if (in - start > length) {
                LogMessage("ERROR, overflow decoding RLE");
                return false;
            }
        }
    }
    return true;
}

bool DcmObj::RleDecodeFrame(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                            std::size_t frameSize, int bitsAllocated) {
    if (fragment == nullptr || fragmentLength < RleHeaderBytes) {
        LogMessage("ERROR, DcmObj::RleDecodeFrame, fragment shorter than the RLE header: " +
                   std::to_string(fragmentLength));
        return false;
    }
    const std::span<const uint8_t> header(fragment, RleHeaderBytes);
    const uint32_t segments = ByteOrder::Read32(header, 0, ByteOrder::Little).value_or(0);
    const std::string photo = trimmed(photometric);
    const RleLayout layout =
        segments >= 1 && segments <= RleMaxSegments ? layoutFor(photo, segments) : RleLayout{};
    if (layout.samples == 0) {
        LogMessage("ERROR, format not supported: segment_count=" + std::to_string(segments) +
                   ", bitsa=" + std::to_string(bitsAllocated) +
                   ", PhotometricInterpretation=" + photometric);
        return false;
    }

    std::size_t offsets[RleMaxSegments + 1];
    for (uint32_t i = 0; i < segments; ++i)
        offsets[i] = ByteOrder::Read32(header, 4 + 4 * i, ByteOrder::Little).value_or(0);
    offsets[segments] = fragmentLength;

    const std::size_t segmentSize = frameSize / segments;
    // An empty frame (rows or columns 0) may come with no output area at all.
    if (output == nullptr || segmentSize == 0) {
        LogMessage("ERROR, DcmObj::RleDecodeFrame, frame of " + std::to_string(frameSize) +
                   " bytes too small for " + std::to_string(segments) + " segments");
        return false;
    }
    std::vector<uint8_t> scratch(frameSize, 0);
    bool whole = true;
    for (uint32_t i = 0; i < segments; ++i) {
        const std::size_t start = offsets[i];
        const std::size_t end = std::min(offsets[i + 1], fragmentLength);
        if (start < RleHeaderBytes || start >= fragmentLength || end < start) {
            LogMessage("ERROR, DcmObj::RleDecodeFrame, segment " + std::to_string(i + 1) +
                       " offset outside the fragment: " + std::to_string(start));
            whole = false;
            continue;
        }
        whole = RleDecodeSegment(fragment, fragmentLength, scratch.data(), start, end - start,
                                 static_cast<int>(i), segmentSize) &&
                whole;
    }

    const uint8_t* seg = scratch.data();
    if (layout.ybrFull) {
        YbrPlanesToRgb(seg, output, segmentSize);
        return whole;
    }
    if (segments == 1) {
        std::memcpy(output, seg, segmentSize);
        return whole;
    }
    // Sample byte j (little-endian in the output) of component c comes from segment
    // c * sampleBytes + (sampleBytes - 1 - j): the segments run from the most significant byte.
    const int b = layout.sampleBytes;
    const std::size_t pixelBytes = static_cast<std::size_t>(layout.samples) * b;
    for (int c = 0; c < layout.samples; ++c) {
        for (int j = 0; j < b; ++j) {
            const uint8_t* from = seg + static_cast<std::size_t>(c * b + (b - 1 - j)) * segmentSize;
            uint8_t* to = output + static_cast<std::size_t>(c * b + j);
            for (std::size_t k = 0; k < segmentSize; ++k)
                to[k * pixelBytes] = from[k];
        }
    }
    return whole;
}

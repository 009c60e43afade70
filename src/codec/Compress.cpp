#include "Compress.h"

#include "ByteOrder.h"
#include "DcmObj.h"
#include "J2k.h"
#include "Jpeg.h"
#include "Log.h"
#include "TransferSyntaxUids.h"
#include "WorkerPool.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

int32_t sampleAt(const uint8_t* p, uint16_t pixelRepresentation) {
    const uint16_t word = ByteOrder::Load16(p, ByteOrder::Little);
    return pixelRepresentation != 0 ? static_cast<int16_t>(word) : word;
}

void storeWord(uint8_t* p, uint16_t word) {
    ByteOrder::Store16(p, word, ByteOrder::Little);
}

// Little-endian words for the 12-bit coder, which must never see wider samples: bits above
// 12 are dropped (signed values keep their low 12 bits); bytes are widened.
std::vector<uint8_t> twelveBitWords(const uint8_t* bytes, std::size_t count, bool widen) {
    const std::size_t samples = widen ? count : count / 2;
    std::vector<uint8_t> words(samples * 2);
    for (std::size_t i = 0; i < samples; ++i) {
        words[2 * i] = widen ? bytes[i] : bytes[2 * i];
        words[2 * i + 1] = widen ? 0 : bytes[2 * i + 1] & 0x0F;
    }
    return words;
}

// An item's value must have even length; the decoders ignore the trailing zero.
void padToEven(std::vector<uint8_t>& bytes) {
    if (bytes.size() & 1)
        bytes.push_back(0);
}

bool writeNative(DcmObj& dataSet, DcmTag& e, const uint8_t* samples, uint64_t total,
                 uint16_t bitsStored, uint16_t bitsAllocated) {
    (void)dataSet;
    // Words must be marked OW so that a change of byte order swaps them.
    e.SetVR(bitsStored == 8 && bitsAllocated <= 8 ? "OB" : "OW");
    const uint64_t stored = total + (total & 1);
    if (stored > 0xFFFFFFFEu) {
        LogMessage("ERROR, DcmObj::Comp, allocating memory: " + std::to_string(total));
        e.data.reset();
        e.length = 0;
        return false;
    }
    try {
        auto block = NewValueBlock(stored);
        std::memcpy(block.get(), samples, total);
        if (stored != total)
            block[total] = 0;
        e.data = std::move(block);
        e.length = static_cast<uint32_t>(stored);
    } catch (const std::bad_alloc&) {
        LogMessage("ERROR, DcmObj::Comp, allocating memory: " + std::to_string(total));
        e.data.reset();
        e.length = 0;
        return false;
    }
    return true;
}

} // namespace

SampleReduction ChooseReduction(const uint8_t* input, std::size_t inputBytes,
                                uint16_t pixelRepresentation, float slope, float intercept,
                                int outputBits) {
    SampleReduction r;
    r.slope = slope;
    r.intercept = intercept;
    const std::size_t count = inputBytes / 2;
    if (count == 0)
        return r;
    int32_t lo = sampleAt(input, pixelRepresentation), hi = lo;
    for (std::size_t i = 1; i < count; ++i) {
        const int32_t v = sampleAt(input + 2 * i, pixelRepresentation);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    const int32_t top = (1 << outputBits) - 1;
    if (lo >= 0 && hi <= top)
        return r;
    r.applied = true;
    r.offset = lo;
    while (((static_cast<int64_t>(hi) - lo) >> r.shift) > top)
        ++r.shift;
    r.slope = static_cast<double>(slope) * static_cast<double>(int64_t{1} << r.shift);
    r.intercept = static_cast<double>(intercept) + static_cast<double>(slope) * lo;
    return r;
}

void ReduceTo8Bit(uint8_t* output, const uint8_t* input, uint16_t pixelRepresentation,
                  std::size_t inputBytes, const SampleReduction& reduction) {
    for (std::size_t i = 0; i < inputBytes / 2; ++i) {
        const int64_t x =
            (sampleAt(input + 2 * i, pixelRepresentation) - int64_t{reduction.offset}) >>
            reduction.shift;
        output[i] = static_cast<uint8_t>(std::clamp<int64_t>(x, 0, 255));
    }
}

void ReduceTo12Bit(uint8_t* samples, uint16_t pixelRepresentation, std::size_t bytes,
                   const SampleReduction& reduction) {
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const int64_t x =
            (sampleAt(samples + i, pixelRepresentation) - int64_t{reduction.offset}) >>
            reduction.shift;
        storeWord(samples + i, static_cast<uint16_t>(std::clamp<int64_t>(x, 0, 4095)));
    }
}

bool DcmObj::Comp(DcmObj& dataSet, int& index, uint8_t* samples, bool colour, uint16_t columns,
                  uint16_t rows, uint16_t bitsStored, uint16_t bitsAllocated,
                  uint16_t pixelRepresentation, uint16_t planar, float slope, float intercept,
                  float& ratio, int frames, const std::string& target, const std::string& modality,
                  SampleReduction* reduction) {
    (void)planar;
    (void)modality;
    if (frames < 1)
        frames = 1;
    DcmTag& e = *dataSet.TagAt(index);
    const int components = colour ? 3 : 1;
    const uint64_t pixels = uint64_t(columns) * rows;
    const uint64_t frameBytes = pixels * bitsAllocated / 8 * components;
    const uint64_t total = frameBytes * uint64_t(frames);

    const bool lossless = target == JpegLossless || target == JpegLosslessProcess14;
    const bool baseline = target == JpegBaseline;
    const bool extended = target == JpegExtended;
    const bool j2k = target == J2kLossless || target == J2kLossy;
    if (!lossless && !baseline && !extended && !j2k)
        return writeNative(dataSet, e, samples, total, bitsStored, bitsAllocated);

    // The encoders take one or two bytes per sample; a frame of any other width (bit-packed
    // segmentations, 12-bit packing, 32-bit doses) is shorter or longer than what they read.
    if (bitsAllocated != 8 && bitsAllocated != 16) {
        LogMessage("ERROR, DcmObj::Comp, " + std::to_string(bitsAllocated) +
                   " bits allocated cannot be encoded as " + target);
        return false;
    }
    if (extended && bitsStored == 8 && bitsAllocated != 16) {
        LogMessage("ERROR, DcmObj::Comp, Using Lossy 12 bit compression for 8 bit image");
        return false;
    }

    // Lossy grey words are narrowed by one rule for all frames, so that one rescale describes
    // them all; lossless targets take the stored values as they are.
    SampleReduction narrowed;
    narrowed.slope = slope;
    narrowed.intercept = intercept;
    const bool greyWords = !colour && bitsAllocated == 16;
    if (baseline && greyWords)
        narrowed = ChooseReduction(samples, total, pixelRepresentation, slope, intercept, 8);
    else if (extended && greyWords && bitsStored != 12)
        narrowed = ChooseReduction(samples, total, pixelRepresentation, slope, intercept, 12);
    // 16-bit colour for the 8-bit process: each sample loses its low bits.
    const int colourShift =
        baseline && colour && bitsAllocated == 16 ? std::clamp(bitsStored - 8, 0, 8) : 0;
    if (baseline && colour && bitsAllocated == 16) {
        narrowed.grey = false;
        narrowed.applied = true;
        narrowed.shift = colourShift;
    }
    // JPEG 2000 codes the stored bits; a 16-bit word needs a precision above 8.
    const int j2kBits = std::clamp<int>(bitsStored, bitsAllocated == 16 ? 9 : 1, bitsAllocated);

    // Frames are independent: they are encoded side by side, each into its own fragment and
    // each rescaled in its own part of the buffer. Every frame is encoded before the data set
    // is touched, so that a failure leaves no partial pixel data behind.
    auto encodeFrame = [&](int f, std::vector<uint8_t>& out) -> bool {
        uint8_t* frame = samples + uint64_t(f) * frameBytes;
        if (lossless) {
            if (bitsAllocated == 8)
                return JpegEncode8(columns, rows, components, frame, out, EncoderLossless) == 0;
            return JpegEncode16(columns, rows, components, frame, out) == 0;
        }
        if (baseline) {
            if (bitsAllocated == 8)
                return JpegEncode8(columns, rows, components, frame, out, EncoderLossy) == 0;
            std::vector<uint8_t> reduced(frameBytes / 2);
            if (colour) {
                for (std::size_t i = 0; i < reduced.size(); ++i)
                    reduced[i] = static_cast<uint8_t>(std::min<int>(
                        ByteOrder::Load16(frame + 2 * i, ByteOrder::Little) >> colourShift, 255));
            } else {
                ReduceTo8Bit(reduced.data(), frame, pixelRepresentation, frameBytes, narrowed);
            }
            return JpegEncode8(columns, rows, components, reduced.data(), out, EncoderLossy) == 0;
        }
        if (extended) {
            const bool narrow = bitsAllocated <= 8;
            if (narrowed.applied)
                ReduceTo12Bit(frame, pixelRepresentation, frameBytes, narrowed);
            std::vector<uint8_t> words = twelveBitWords(frame, frameBytes, narrow);
            return JpegEncode12(columns, rows, components, words.data(), out) == 0;
        }
        return J2kEncode(frame, out, columns, rows, components, j2kBits,
                         target == J2kLossy ? 10 : 0, pixelRepresentation != 0);
    };
    std::vector<std::vector<uint8_t>> fragments(static_cast<std::size_t>(frames));
    std::vector<char> encoded(static_cast<std::size_t>(frames), 0);
    WorkerPool::Shared().Run(frames, [&](int f) {
        std::vector<uint8_t>& out = fragments[static_cast<std::size_t>(f)];
        try {
            encoded[static_cast<std::size_t>(f)] = encodeFrame(f, out) && !out.empty();
        } catch (...) {
            // A piece must not throw: on a helper thread that would end the process.
            out.clear();
        }
    });
    for (int f = 0; f < frames; ++f) {
        if (!encoded[static_cast<std::size_t>(f)]) {
            LogMessage("ERROR, DcmObj::Comp, encoding frame " + std::to_string(f) + " failed");
            return false;
        }
        padToEven(fragments[static_cast<std::size_t>(f)]);
    }

    e.SetVR("OB");
    e.data.reset();
    e.length = UndefinedLength;
    int k = index;
    dataSet.Insert(std::make_unique<DcmTag>(0xFFFE, 0xE000, 0u, nullptr, "DL"), ++k);
    uint64_t compressed = 0;
    for (std::vector<uint8_t>& out : fragments) {
        compressed += out.size();
        auto item = std::make_unique<DcmTag>(0xFFFE, 0xE000, static_cast<uint32_t>(out.size()),
                                             out.data(), "DL");
        std::vector<uint8_t>().swap(out);
        dataSet.Insert(std::move(item), ++k);
    }
    dataSet.Insert(std::make_unique<DcmTag>(0xFFFE, 0xE0DD, 0u, nullptr, "DL"), ++k);
    index = k;
    if (reduction)
        *reduction = narrowed;
    if ((baseline || extended || target == J2kLossy) && compressed > 0)
        ratio = static_cast<float>(static_cast<double>(total) / static_cast<double>(compressed));
    return true;
}

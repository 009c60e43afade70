#pragma once
// The frame header (SOFn) of a JPEG stream, found by walking its marker segments without
// decoding anything. The library does not say which process a stream uses before decoding
// starts, and a caller may want a picture's size before it reserves memory for it.

#include <cstdint>
#include <optional>
#include <span>

// SOFn segment after its length field:
//   0  1  sample precision in bits
//   1  2  number of lines (rows)
//   3  2  samples per line (columns)
//   5  1  number of image components
struct JpegFrameHeader {
    std::uint8_t marker = 0; // the SOFn marker's second byte, 0xC0 to 0xCF
    int precision = 0;
    int rows = 0;
    int columns = 0;
    int components = 0;
    bool lossless = false; // SOF3, SOF7, SOF11 or SOF15
};

// The first frame header of a stream that begins with SOI. Bytes between segments that are no
// marker are passed over, as the decoder passes them over. Nothing when the stream reaches a
// scan or its end before a whole frame header, or a segment length runs past the stream.
std::optional<JpegFrameHeader> ReadJpegFrameHeader(std::span<const std::uint8_t> stream);

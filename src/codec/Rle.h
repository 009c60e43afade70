#pragma once
// RLE Lossless (PackBits segments) decoding of one encapsulated frame.
//
// Frame header, all words 32-bit unsigned little-endian:
//   offset 0   segment count (1..15)
//   offset 4   fifteen segment offsets, each counted from the start of the fragment
// Segment i runs from offset[i] to offset[i+1]; the last one ends at the fragment's end.
// The frame decoder itself is DcmObj::RleDecodeFrame (declared in DcmObj.h).

#include <cstddef>
#include <cstdint>

inline constexpr int RleHeaderBytes = 64;
inline constexpr int RleMaxSegments = 15;

// Decodes the segment that starts at `start` and is `length` bytes long into bytes
// segmentIndex * segmentSize .. (segmentIndex + 1) * segmentSize of `scratch`. Never reads past
// fragmentLength bytes of `fragment` nor writes outside that area of `scratch`. False (with a
// log line) when the stream ends before the segment is whole.
bool RleDecodeSegment(const uint8_t* fragment, std::size_t fragmentLength, uint8_t* scratch,
                      std::size_t start, std::size_t length, int segmentIndex,
                      std::size_t segmentSize);

#pragma once
// YCbCr (full range, ITU-R BT.601 as the YBR_FULL photometric defines it) to RGB, 8-bit samples.

#include <cstddef>
#include <cstdint>

// In place over interleaved Y, Cb, Cr triples; a trailing partial triple is left alone.
void YbrFullToRgb(uint8_t* samples, std::size_t bytes);

// YBR_FULL_422 holds two pixels in four bytes (Y1 Y2 Cb Cr). `in` holds (pixels + 1) / 2 * 4
// bytes; `pixels` pixels are written to `out` as R, G, B.
void Ybr422ToRgb(const uint8_t* in, uint8_t* out, std::size_t pixels);

// Three planes of `pixels` bytes each in `planes` (all Y, then all Cb, then all Cr) to `pixels`
// interleaved R, G, B triples in `out`.
void YbrPlanesToRgb(const uint8_t* planes, uint8_t* out, std::size_t pixels);

#pragma once
// Sample reductions applied before encoding 16-bit grey frames for the lossy JPEG processes.
//
// Input words are little-endian; they are signed when pixelRepresentation is not 0.

#include <cstddef>
#include <cstdint>
#include <string>

struct SampleReduction;

// The reduction of stored grey words (all frames) to `outputBits` unsigned bits: samples keep
// their values when they already fit; otherwise the smallest value becomes 0 and the smallest
// shift that brings the rest into range is taken. Slope and intercept are those of the new
// samples, so that modality values survive within the shift's error.
SampleReduction ChooseReduction(const uint8_t* input, std::size_t inputBytes,
                                uint16_t pixelRepresentation, float slope, float intercept,
                                int outputBits);
// One output byte per input word: (v - offset) >> shift, clamped to 0..255.
void ReduceTo8Bit(uint8_t* output, const uint8_t* input, uint16_t pixelRepresentation,
                  std::size_t inputBytes, const SampleReduction& reduction);
// In place: (v - offset) >> shift, clamped to 0..4095, as little-endian words.
void ReduceTo12Bit(uint8_t* samples, uint16_t pixelRepresentation, std::size_t bytes,
                   const SampleReduction& reduction);

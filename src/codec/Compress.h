#pragma once
// Sample reductions applied before encoding 16-bit grey frames.
//
// Input words are little-endian; they are signed when pixelRepresentation is not 0. Modality
// tests are exact comparisons ("CT" adds 1024 after rescaling so that air lands near 0).

#include <cstddef>
#include <cstdint>
#include <string>

// One output byte per input word: rescaled, shifted by the stored depth and clamped to 0..255.
void ReduceTo8Bit(uint8_t* output, const uint8_t* input, uint16_t pixelRepresentation,
                  uint16_t bitsStored, float slope, float intercept, std::size_t inputBytes,
                  const std::string& modality);
// In place: rescaled, shifted by 3 for "DX" and "CR", clamped to 0..4095. `bits` is unused.
void ReduceTo12Bit(uint8_t* samples, uint16_t pixelRepresentation, uint16_t bits, float slope,
                   float intercept, std::size_t bytes, const std::string& modality);
// In place: rescaled, negative values set to 0, the low 16 bits kept.
void RescaleInPlace(uint8_t* samples, uint16_t pixelRepresentation, float slope, float intercept,
                    std::size_t bytes, const std::string& modality);

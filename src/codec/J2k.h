#pragma once
// In-memory adapters to OpenJPEG for raw J2K codestreams (no JP2 wrapper).
//
// Samples are interleaved, one byte each for precision up to 8, a 16-bit word for 9 to 16 and
// a 32-bit word for 17 to 32, in machine order.

#include <cstddef>
#include <cstdint>
#include <vector>

struct opj_image;
struct opj_cparameters;

// Rate 0 codes losslessly; any other rate is a compression ratio (10 gives about 10:1).
// On true `out` holds exactly the codestream; on false it is empty and a log line is written.
// isSigned codes signed components (samples read as two's complement of `bits` bits).
bool J2kEncode(const uint8_t* samples, std::vector<uint8_t>& out, int width, int height,
               int components, int bits, int rate, bool isSigned = false);

// Decodes into `output` of `outputBytes` bytes, never past its end. Returns false (with a log
// line) when the codestream does not decode; the output then keeps what it held.
bool J2kDecode(const uint8_t* codestream, uint8_t* output, std::size_t codestreamLength,
               std::size_t outputBytes);

// One component (grey) or three (sRGB), 1x1 sampling, precision = bits; null when the library
// cannot create the image. The caller releases it with opj_image_destroy.
opj_image* J2kImageFromRaw(const uint8_t* samples, const opj_cparameters* parameters, int width,
                           int height, int components, int bits, int isSigned);

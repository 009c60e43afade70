#pragma once
// In-memory adapters to libjpeg-turbo's 8-, 12- and 16-bit builds.
//
// Native frame layout: rows top to bottom, samples of a pixel interleaved, no gap between rows;
// one byte per sample for the 8-bit build, one 16-bit word in machine order for the others.
// No library error or exception leaves these functions: every failure is a result.

#include <cstddef>
#include <cstdint>
#include <vector>

// The mode argument of JpegEncode8; any other value is refused.
enum EncoderMode : int { EncoderLossy = 0, EncoderLossless = 4 };

// Decode one JPEG stream into `output`, which holds `outputBytes` bytes (the frame the caller
// reserved). Returns 0, or -1 when the stream does not decode. Rows that do not fit into
// outputBytes are dropped; rows decoded before a failure stay in the output.
// photometricRgb: the data set labels the frame RGB, so three components are decoded without a
// colour transform unless the stream has a JFIF marker or an Adobe marker with a transform.
int JpegDecode8(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                std::size_t outputBytes, bool photometricRgb = false);
int JpegDecode12(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                 std::size_t outputBytes, bool photometricRgb = false);
int JpegDecode16(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                 std::size_t outputBytes);

// Encoders: on 0 `out` holds exactly the whole stream; on -1 `out` is empty.
// JpegEncode8: mode 0 quality 85 baseline, mode 4 lossless (predictor 1, point transform 0).
int JpegEncode8(int width, int height, int components, const uint8_t* samples,
                std::vector<uint8_t>& out, int mode);
// 12-bit lossy, quality 75 baseline; samples are 16-bit words holding 12-bit values.
// Returns 0, or -1 (with a log line) when the library fails.
int JpegEncode12(int width, int height, int components, const uint8_t* samples,
                 std::vector<uint8_t>& out);
// 16-bit lossless, predictor 1, point transform 0. Returns 0, or -1 with a log line.
int JpegEncode16(int width, int height, int components, const uint8_t* samples,
                 std::vector<uint8_t>& out);

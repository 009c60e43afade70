// Codec time per frame through the adapters, for the frame shapes the conversions meet most.
// Run by hand from a Release tree: veskaro_codec_bench [repetitions]

#include "J2k.h"
#include "Jpeg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> picture(int w, int h, int c, int sampleBytes, unsigned mask) {
    std::mt19937 random(1);
    std::vector<uint8_t> v(static_cast<std::size_t>(w) * h * c * sampleBytes);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * c; ++x) {
            unsigned s = ((x * 3 + y * 5) / 4 + random() % 24) & mask;
            std::memcpy(&v[(static_cast<std::size_t>(y) * w * c + x) * sampleBytes], &s,
                        sampleBytes);
        }
    return v;
}

double msPerRun(int repetitions, const std::function<void()>& run) {
    run(); // warm-up
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i)
        run();
    std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - start;
    return d.count() / repetitions;
}

void report(const char* name, std::size_t raw, std::size_t coded, double enc, double dec) {
    std::printf("%-34s raw %8zu  coded %8zu  ratio %5.2f  encode %7.2f ms  decode %7.2f ms\n", name,
                raw, coded, double(raw) / coded, enc, dec);
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<uint8_t> out;

    auto ct = picture(512, 512, 1, 2, 0xFFF);
    std::vector<uint8_t> back(ct.size());
    double enc = msPerRun(n, [&] { JpegEncode16(512, 512, 1, ct.data(), out); });
    double dec =
        msPerRun(n, [&] { JpegDecode16(out.data(), back.data(), out.size(), back.size()); });
    report("JPEG lossless 512x512 16-bit", ct.size(), out.size(), enc, dec);

    auto rgb = picture(1024, 1024, 3, 1, 0xFF);
    std::vector<uint8_t> rgbBack(rgb.size());
    enc = msPerRun(n, [&] { JpegEncode8(1024, 1024, 3, rgb.data(), out, EncoderLossy); });
    dec = msPerRun(n, [&] { JpegDecode8(out.data(), rgbBack.data(), out.size(), rgbBack.size()); });
    report("JPEG baseline 1024x1024 RGB 8-bit", rgb.size(), out.size(), enc, dec);

    enc = msPerRun(n, [&] { JpegEncode8(1024, 1024, 3, rgb.data(), out, EncoderLossless); });
    dec = msPerRun(n, [&] { JpegDecode8(out.data(), rgbBack.data(), out.size(), rgbBack.size()); });
    report("JPEG lossless 1024x1024 RGB 8-bit", rgb.size(), out.size(), enc, dec);

    enc = msPerRun(n, [&] { J2kEncode(ct.data(), out, 512, 512, 1, 16, 0); });
    dec = msPerRun(n, [&] { J2kDecode(out.data(), back.data(), out.size(), back.size()); });
    report("J2K lossless 512x512 16-bit", ct.size(), out.size(), enc, dec);

    enc = msPerRun(n, [&] { J2kEncode(rgb.data(), out, 1024, 1024, 3, 8, 0); });
    dec = msPerRun(n, [&] { J2kDecode(out.data(), rgbBack.data(), out.size(), rgbBack.size()); });
    report("J2K lossless 1024x1024 RGB 8-bit", rgb.size(), out.size(), enc, dec);
    return 0;
}

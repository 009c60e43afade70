// Codec time per frame through the adapters, for the frame shapes the conversions meet most.
// Run by hand from a Release tree: veskaro_codec_bench [repetitions] [--results FILE]

#include "BenchSupport.h"
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

// The median of the runs, so one run slowed by a neighbour on the machine does not count.
double msPerRun(int repetitions, const std::function<void()>& run) {
    run(); // warm-up
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - start;
        times.push_back(d.count());
    }
    return bench::median(times);
}

bench::ResultRows rows;

void report(const char* name, std::size_t raw, std::size_t coded, double enc, double dec) {
    rows.Row("codec", std::string(name) + ", encode", enc, -1, "", "ms/frame");
    rows.Row("codec", std::string(name) + ", decode", dec, -1, "", "ms/frame");
    std::printf("%-34s raw %8zu  coded %8zu  ratio %5.2f  encode %7.2f ms  decode %7.2f ms\n", name,
                raw, coded, double(raw) / coded, enc, dec);
}

} // namespace

int main(int argc, char** argv) {
    int n = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--results" && i + 1 < argc)
            rows.Open(argv[++i]);
        else
            n = std::max(1, std::atoi(argv[i]));
    }
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

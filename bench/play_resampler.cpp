// Benchmark: the library's audio resampler (cycle tables, one kernel row a
// sample) against a plain loop over the same kernels that works out each
// output sample's source point by division, for 44.1 -> 48 kHz at each
// order with taps, as host time per second of output and as a share of
// real time; the two loops' outputs are checked to be the same.
//
//   play_resampler [seconds]

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "bench/bench_host.h"
#include "lib/play/zar_audio_interp.h"
#include "lib/play/zar_audio_kernels.h"

namespace {

constexpr uint32_t kSourceRate = 44100, kOutputRate = 48000;
constexpr int64_t kMargin = 16;

// The plain loop: each output sample's point as u x 147 / 160, rounded to
// 1/64 sample, then the kernel row of its phase.
void PlainLoop(const int16_t* source, int64_t u0, uint32_t count, uint32_t order, int16_t* out)
{
    for (uint32_t n = 0; n < count; ++n) {
        const uint64_t at = (uint64_t(u0 + n) * 147 * 128 + 160) / 320;
        out[n] = CAudioInterp::Filter(source + int64_t(at / 64), uint32_t(at % 64), order);
    }
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("play_resampler");
    const uint32_t seconds = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 10;
    const uint32_t count = seconds * kOutputRate;
    // The source with its margins, a 1 kHz sine.
    std::vector<int16_t> source(size_t(seconds) * kSourceRate + 2 * kMargin + 64);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = int16_t(std::lround(16000 * std::sin(2 * std::numbers::pi * 1000.0 * double(i) / kSourceRate)));
    const int16_t* origin = source.data() + kMargin;
    std::vector<int16_t> a(count), b(count);
    std::printf("%-6s %-5s %14s %14s %7s %12s\n", "order", "taps", "resampler ms/s", "plain ms/s", "ratio",
                "share of RT");
    for (uint32_t order = 1; order <= kAudioMaxOrder; ++order) {
        CAudioInterp interp;
        interp.Setup(int32_t(kSourceRate), kOutputRate, order);
        const auto t0 = std::chrono::steady_clock::now();
        interp.Run(0, count, 1, origin - kMargin, -kMargin, int64_t(source.size()), 0,
                   int64_t(source.size()) - 2 * kMargin, a.data(), 1);
        const auto t1 = std::chrono::steady_clock::now();
        PlainLoop(origin, 0, count, order, b.data());
        const auto t2 = std::chrono::steady_clock::now();
        for (uint32_t n = 0; n < count; ++n) {
            if (a[n] != b[n]) {
                std::printf("outputs differ at %u (order %u): %d vs %d\n", n, order, a[n], b[n]);
                return 1;
            }
        }
        const double resampler = Seconds(t1 - t0) * 1000 / seconds, plain = Seconds(t2 - t1) * 1000 / seconds;
        std::printf("%-6u %-5u %14.3f %14.3f %7.2f %11.3f%%\n", order, AudioKernelTaps(order), resampler, plain,
                    resampler / plain, resampler / 10.0);
    }
    return 0;
}

// Windowed-sinc kernels (Blackman window over the taps), made once a
// process. The half-sample rows of the two short kernels are set values
// (sharper at that point than the window makes them); every other row
// follows the window.

#include "zar_audio_kernels.h"

#include <cmath>
#include <mutex>
#include <numbers>

namespace {

constexpr int16_t kHalf4[4] = {-10124, 26508, 26508, -10124};
constexpr int16_t kHalf8[8] = {-1822, 3035, -6427, 21599, 21599, -6427, 3035, -1822};

struct Kernels {
    // [order - 1][phase][tap], rows of 32 with the shorter kernels in front.
    int16_t rows[kAudioMaxOrder][kAudioKernelPhases][32];
};

double Sinc(double x)
{
    if (std::fabs(x) < 1e-12) return 1.0;
    return std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
}

void MakeRow(uint32_t taps, uint32_t phase, int16_t* row)
{
    const double t = phase / double(kAudioKernelPhases);
    const double half = taps / 2.0;
    double c[32];
    double sum = 0.0;
    for (uint32_t k = 0; k < taps; ++k) {
        const double x = double(k) - (half - 1.0) - t;  // distance from the point
        const double w = 0.42 + 0.5 * std::cos(std::numbers::pi * x / half) + 0.08 * std::cos(2 * std::numbers::pi * x / half);
        c[k] = Sinc(x) * w;
        sum += c[k];
    }
    int32_t total = 0;
    for (uint32_t k = 0; k < taps; ++k) {
        row[k] = int16_t(std::lround(c[k] / sum * 32768.0));
        total += row[k];
    }
    // The rounding's remainder goes to the tap nearest the point, keeping
    // the gain exact; the half-sample row keeps its symmetry instead.
    if (phase != kAudioKernelPhases / 2) row[taps / 2 - 1] += int16_t(32768 - total);
}

const Kernels& Build()
{
    static Kernels kernels;
    static std::once_flag once;
    std::call_once(once, [] {
        for (uint32_t order = 1; order <= kAudioMaxOrder; ++order) {
            const uint32_t taps = AudioKernelTaps(order);
            auto& rows = kernels.rows[order - 1];
            for (uint32_t p = 1; p <= kAudioKernelPhases / 2; ++p) MakeRow(taps, p, rows[p]);
            if (order == 1)
                for (uint32_t k = 0; k < 4; ++k) rows[32][k] = kHalf4[k];
            if (order == 2)
                for (uint32_t k = 0; k < 8; ++k) rows[32][k] = kHalf8[k];
            // The far half is the near half seen from the next sample.
            for (uint32_t p = kAudioKernelPhases / 2 + 1; p < kAudioKernelPhases; ++p)
                for (uint32_t k = 0; k < taps; ++k) rows[p][k] = rows[kAudioKernelPhases - p][taps - 1 - k];
        }
    });
    return kernels;
}

}  // namespace

const int16_t* AudioKernelRow(uint32_t order, uint32_t phase)
{
    return Build().rows[order - 1][phase];
}

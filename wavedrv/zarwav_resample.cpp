// The converter's tables and filters. The filters are windowed sinc
// interpolators (Catmull-Rom at 4 taps) cut off at the lower of the two
// rates, each phase's taps scaled to sum to unity in Q15.
#include "zarwav_resample.h"

#include <cmath>
#include <cstring>
#include <numeric>

namespace {

double Sinc(double x) { return x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

double CatmullRom(double x)
{
    x = std::fabs(x);
    if (x < 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
    if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
    return 0;
}

}  // namespace

ZarWavConverter::ZarWavConverter(ULONG inRate, ULONG outRate, ULONG channels, ULONG bytesPerSample, ULONG quality)
    : channels_(channels), bytesPerSample_(bytesPerSample), quality_(quality > 3 ? 3 : quality)
{
    constexpr ULONG kHalfTaps[4] = {1, 2, 4, 8};
    half_ = kHalfTaps[quality_];
    const ULONG g = std::gcd(inRate, outRate);
    const ULONG outSteps = outRate / g, inSteps = inRate / g;
    phase_.resize(outSteps);
    advance_.resize(outSteps);
    for (ULONG j = 0; j < outSteps; ++j) {
        const ULONGLONG x = ULONGLONG(j) * inSteps, next = ULONGLONG(j + 1) * inSteps;
        phase_[j] = UCHAR((x % outSteps) * 64 / outSteps);
        advance_[j] = UCHAR(next / outSteps - x / outSteps);
    }
    // Down-sampling cuts off below the output's Nyquist frequency.
    const double cutoff = inRate > outRate ? double(outRate) / inRate : 1.0;
    coefficients_.assign(64, std::vector<LONG>(2 * half_, 0));
    for (ULONG ph = 0; ph < 64; ++ph) {
        std::vector<double> c(2 * half_);
        double sum = 0;
        for (ULONG k = 0; k < 2 * half_; ++k) {
            const double x = double(LONG(k) - LONG(half_ - 1)) - ph / 64.0;
            if (quality_ <= 1) {
                c[k] = quality_ == 0 ? (k == half_ - 1) : CatmullRom(x);
            } else {
                const double w = 0.42 + 0.5 * std::cos(M_PI * x / half_) + 0.08 * std::cos(2 * M_PI * x / half_);
                c[k] = std::fabs(x) >= half_ ? 0 : cutoff * Sinc(cutoff * x) * w;
            }
            sum += c[k];
        }
        for (ULONG k = 0; k < 2 * half_; ++k) coefficients_[ph][k] = LONG(std::lround(c[k] / sum * 32768));
    }
    Restart();
}

void ZarWavConverter::Restart()
{
    // Silence before the stream's first frame fills the taps behind it.
    state_ = State{};
    state_.history.assign(2 * (half_ - 1), 0);
    state_.position = half_ - 1;
    provisional_ = 0;
}

LONG ZarWavConverter::Tap(const State& s, size_t channel) const
{
    const ULONG phase = phase_[s.entry];
    const LONG* at = &s.history[2 * (s.position - (half_ - 1)) + channel];
    if (phase == 0 || quality_ == 0) return at[2 * (half_ - 1)];
    const std::vector<LONG>& c = coefficients_[phase];
    LONGLONG sum = 0;
    for (ULONG k = 0; k < 2 * half_; ++k) sum += LONGLONG(at[2 * k]) * c[k];
    LONG v = LONG(sum >> 15);
    return v < -32768 ? -32768 : v > 32767 ? 32767 : v;
}

// Every output whose taps are all present; then the history consumed is dropped.
void ZarWavConverter::Run(State& s, std::vector<SHORT>& out) const
{
    const size_t frames = s.history.size() / 2;
    while (s.position + half_ < frames) {
        out.push_back(SHORT(Tap(s, 0)));
        out.push_back(SHORT(Tap(s, 1)));
        s.position += advance_[s.entry];
        s.entry = s.entry + 1 == phase_.size() ? 0 : s.entry + 1;
    }
    const size_t keep = s.position - (half_ - 1);
    if (keep > 0) {
        s.history.erase(s.history.begin(), s.history.begin() + 2 * keep);
        s.position -= keep;
    }
}

void ZarWavConverter::Convert(const BYTE* in, ULONG frames, bool flush, std::vector<SHORT>& out,
                              std::vector<SHORT>& substitute)
{
    // A flush left provisional frames: start again from before it.
    const size_t redo = provisional_;
    if (redo != 0) state_ = rollback_;
    provisional_ = 0;
    std::vector<LONG>& h = state_.history;
    const ULONG frameBytes = channels_ * bytesPerSample_;
    for (ULONG i = 0; i < frames; ++i) {
        const BYTE* f = in + i * frameBytes;
        LONG v[2];
        for (ULONG c = 0; c < channels_; ++c) {
            if (bytesPerSample_ == 2) {
                SHORT s;
                std::memcpy(&s, f + 2 * c, 2);
                v[c] = s;
            } else {
                v[c] = (LONG(f[c]) - 128) * 256;
            }
        }
        h.push_back(v[0]);
        h.push_back(channels_ == 2 ? v[1] : v[0]);
    }
    std::vector<SHORT> all;
    Run(state_, all);
    const size_t fixed = redo * 2 < all.size() ? redo * 2 : all.size();
    substitute.assign(all.begin(), all.begin() + fixed);
    out.insert(out.end(), all.begin() + fixed, all.end());
    if (flush) {
        rollback_ = state_;
        state_.history.resize(state_.history.size() + 2 * half_, 0);
        const size_t before = out.size();
        Run(state_, out);
        provisional_ = (out.size() - before) / 2;
    }
}

// The resampler's tables and its inner loop. The tables are built for one
// cycle, so the per-sample work is a table step and the kernel's taps.

#include "zar_audio_interp.h"

#include <algorithm>
#include <numeric>

#include "zar_audio_kernels.h"

bool CAudioInterp::Setup(int32_t step, uint32_t outputRate, uint32_t order)
{
    if (step == 0 || outputRate == 0) return false;
    const uint32_t magnitude = step < 0 ? uint32_t(-int64_t(step)) : uint32_t(step);
    const uint32_t g = std::gcd(magnitude, outputRate);
    m_step = step;
    m_outputRate = outputRate;
    m_reverse = step < 0;
    m_up = magnitude / g;
    m_down = outputRate / g;
    m_order = std::min(order, kAudioMaxOrder);
    m_phase.assign(m_down, 0);
    m_whole.assign(m_down, 0);
    m_advance.assign(m_down, 0);
    for (uint32_t i = 0; i < m_down; ++i) {
        // i x up / down in 1/64 of a sample, rounded.
        const uint64_t at = (uint64_t(i) * m_up * kAudioKernelPhases * 2 + m_down) / (2ull * m_down);
        m_phase[i] = uint8_t(at & (kAudioKernelPhases - 1));
        m_whole[i] = uint32_t(at / kAudioKernelPhases);
    }
    for (uint32_t i = 0; i + 1 < m_down; ++i) m_advance[i] = m_whole[i + 1] - m_whole[i];
    m_advance[m_down - 1] = m_up - m_whole[m_down - 1];  // on to the next cycle
    m_built = true;
    return true;
}

void CAudioInterp::Locate(int64_t u, int64_t* whole, uint32_t* phase) const
{
    int64_t cycle = u / m_down;
    int64_t i = u % m_down;
    if (i < 0) {
        i += m_down;
        --cycle;
    }
    *whole = cycle * int64_t(m_up) + m_whole[size_t(i)];
    *phase = m_phase[size_t(i)];
}

int16_t CAudioInterp::Filter(const int16_t* src, uint32_t phase, uint32_t order)
{
    if (phase == 0) return src[0];
    if (order == 0) return phase < kAudioKernelPhases / 2 ? src[0] : src[1];
    const uint32_t taps = AudioKernelTaps(order);
    const int16_t* row = AudioKernelRow(order, phase);
    const int16_t* x = src - (taps / 2 - 1);
    int32_t sum = 0;
    for (uint32_t k = 0; k < taps; ++k) sum += int32_t(row[k]) * x[k];
    sum >>= 15;
    return int16_t(std::clamp(sum, -32768, 32767));
}

void CAudioInterp::Run(int64_t u, uint32_t count, int direction, const int16_t* src, int64_t first, int64_t frames,
                       int64_t validFirst, int64_t validEnd, int16_t* out, uint32_t stride) const
{
    int64_t whole;
    uint32_t phase;
    Locate(u, &whole, &phase);
    int64_t i = u % m_down;
    if (i < 0) i += m_down;
    const uint32_t taps = AudioKernelTaps(std::max<uint32_t>(m_order, 1));
    const int64_t reach = int64_t(taps / 2);
    // Row 0 of the kernel: the rows follow it 32 coefficients apart.
    const int16_t* rows = m_order != 0 ? AudioKernelRow(m_order, 1) - 32 : nullptr;
    for (uint32_t n = 0; n < count; ++n, out += stride) {
        // A point past the last sample, or one whose taps fall outside what
        // was read, is silence.
        const bool inside = whole >= validFirst && (whole < validEnd - 1 || (whole == validEnd - 1 && phase == 0));
        const int16_t* x = src + (whole - first);
        if (!inside || whole - reach < first || whole + reach >= first + frames) {
            *out = 0;
        } else if (phase == 0 || m_order == 0) {
            *out = Filter(x, phase, m_order);
        } else {
            const int16_t* row = rows + phase * 32;
            x -= reach - 1;
            int32_t sum = 0;
            for (uint32_t k = 0; k < taps; ++k) sum += int32_t(row[k]) * x[k];
            *out = int16_t(std::clamp(sum >> 15, -32768, 32767));
        }
        if (direction > 0) {
            whole += m_advance[size_t(i)];
            if (++i == m_down) i = 0;
        } else {
            i = i == 0 ? m_down - 1 : i - 1;
            whole -= m_advance[size_t(i)];
        }
        phase = m_phase[size_t(i)];
    }
}

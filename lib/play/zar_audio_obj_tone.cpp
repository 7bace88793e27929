// The tone's table holds R / gcd(R, F) samples, the shortest run that ends
// on a whole cycle, so a read at any position is a copy with wrap-around.

#include "zar_audio_obj_tone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

int32_t CAudioObjTone::Open(ZAR_AUDIO_SOURCE_FORMAT* format)
{
    *format = ZAR_AUDIO_SOURCE_FORMAT{0, 0, 2, 1, 0};
    return 0;
}

const std::vector<int16_t>& CAudioObjTone::Table(uint32_t outputRate)
{
    if (outputRate == m_tableRate) return m_table;
    m_tableRate = outputRate;
    m_table.clear();
    const uint32_t r = outputRate, f = m_frequency;
    if (r == 0 || f == 0 || m_amplitude == 0 || r / f < 2) return m_table;
    uint32_t length = r / std::gcd(r, f);
    // A short table is repeated, so that a copy moves more than a few samples at a time.
    if (length < 1000) length = (1000 / length) * length;
    m_table.resize(length);
    const double amplitude = std::min<double>(m_amplitude, 32767.0);
    for (uint32_t i = 0; i < length; ++i) {
        const double x = std::sin(2 * std::numbers::pi * double(f) * double(i) / double(r)) * amplitude;
        m_table[i] = int16_t(std::lround(x));  // half away from zero
    }
    return m_table;
}

int32_t CAudioObjTone::Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate)
{
    const std::vector<int16_t>& table = Table(outputRate);
    auto* out = static_cast<int16_t*>(buffer);
    frames = std::min(frames, bytes / 2);
    if (table.empty()) {
        std::fill(out, out + frames, int16_t(0));
        return 0;
    }
    const int64_t length = int64_t(table.size());
    int64_t at = position % length;
    if (at < 0) at += length;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = uint32_t(std::min<int64_t>(frames - done, length - at));
        std::memcpy(out + done, table.data() + at, n * sizeof(int16_t));
        done += n;
        at = 0;
    }
    return 0;
}

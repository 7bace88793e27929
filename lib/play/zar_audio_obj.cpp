// The audio source base: step, order, resampler and sample range are worked
// out again whenever the output rate (or anything they depend on) changes;
// a read then fetches the source frames its output samples need, with the
// resampler's margin, in one source read, and builds the output from them.

#include "zar_audio_obj.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "zar_audio_kernels.h"

namespace {

// Source frames read on each side of a block for the widest kernel.
constexpr int64_t kMargin = 16;
// Output samples built from one source read; fewer when an output sample
// spans many source frames, so that a read stays near this many frames.
constexpr uint32_t kBlockSamples = 4096;
constexpr uint64_t kBlockFrames = 65536;

}  // namespace

bool IsUsablePcmFormat(uint32_t channels, uint32_t rate, uint32_t bits)
{
    return (channels == 1 || channels == 2) && rate >= CAudioObj::kMinRate && rate <= CAudioObj::kMaxRate &&
           (bits == 8 || bits == 16);
}

int32_t CAudioObj::ComputeStep(uint32_t sourceRate, double speed, bool exact)
{
    const double s = double(sourceRate);
    double step;
    if (exact)
        step = speed < 0 ? -s : s;
    else if (speed == 1.0)
        step = s;
    else
        step = std::trunc(s * speed + (speed > 0 ? 0.1 : -0.1));
    if (!(std::fabs(step) < double(std::numeric_limits<int32_t>::max()))) return 0;
    return int32_t(step);
}

uint32_t CAudioObj::ComputeOrder(uint32_t quality, uint32_t step, uint32_t outputRate)
{
    const double r = double(step) / double(outputRate);
    const int k = r < 1 ? 1 : r < 2 ? 0 : r < 4 ? -1 : r < 8 ? -2 : r < 12 ? -3 : -4;
    const int64_t order = 2 * int64_t(std::min<uint32_t>(quality, 4)) + k;
    return uint32_t(std::clamp<int64_t>(order, 0, kAudioMaxOrder));
}

int32_t CAudioObj::Prepare(double framesPerSecond)
{
    if (!m_open) {
        ZAR_AUDIO_SOURCE_FORMAT format;
        if (int32_t result = Open(&format); result != 0) return result;
        m_format = format;
        m_open = true;
    }
    m_frameRate = framesPerSecond;
    m_rateFollowsOutput = m_format.rate == 0;
    m_endless = m_format.length == 0;
    if (m_out.IsZero()) {
        const double frames = m_rateFollowsOutput || m_endless
                                  ? kEndlessOutFrames
                                  : double(m_format.length) / m_format.rate * framesPerSecond;
        m_out = CFrameTime::FromDouble(frames);
    }
    m_outputRate = 0;
    return 0;
}

void CAudioObj::Unprepare()
{
    if (m_open) Close();
    m_open = false;
}

int32_t CAudioObj::SetReverse(uint32_t reverse)
{
    if (reverse > 1) return -2;
    m_reverse = reverse;
    return 0;
}

void CAudioObj::SetQuality(uint32_t quality)
{
    m_quality = quality;
    m_outputRate = 0;
}

int32_t CAudioObj::SetSpeed(double speed)
{
    if (speed == 0.0 || std::isnan(speed)) return -2;
    // A speed so slow that its step truncates to nothing would divide by
    // zero in every length and ratio; it is refused while the rate is known,
    // and a read that finds it later answers -2.
    const uint32_t rate = m_rateFollowsOutput ? m_outputRate : m_format.rate;
    if (m_open && rate != 0 && ComputeStep(rate, speed, m_exactSpeed != 0) == 0) return -2;
    m_speed = speed;
    m_outputRate = 0;
    return 0;
}

void CAudioObj::SetInPoint(CFrameTime in)
{
    m_in = in;
    m_outputRate = 0;
}

void CAudioObj::SetOutPoint(CFrameTime out)
{
    m_out = out;
    m_outputRate = 0;
}

bool CAudioObj::Recompute(uint32_t outputRate)
{
    const uint32_t sourceRate = m_rateFollowsOutput ? outputRate : m_format.rate;
    const int32_t step = ComputeStep(sourceRate, m_speed, m_exactSpeed != 0);
    if (step == 0) return false;
    const uint32_t magnitude = step < 0 ? uint32_t(-int64_t(step)) : uint32_t(step);
    m_step = step;
    m_order = ComputeOrder(m_quality, magnitude, outputRate);
    m_interp.Setup(step, outputRate, m_order);
    m_length = m_endless ? std::numeric_limits<int64_t>::max()
                         : int64_t(uint64_t(m_format.length) * outputRate / magnitude);
    // The points are times of the source; at this speed a second of the
    // source is R / |step| seconds of output.
    const double perFrame = double(sourceRate) * outputRate / magnitude;
    m_inSample = m_in.ToSamples(m_frameRate, perFrame, 0.5);
    m_outSample = m_out.ToSamples(m_frameRate, perFrame, 0.5);
    m_outputRate = outputRate;
    return true;
}

void CAudioObj::Decode(const uint8_t* bytes, uint32_t frames, int16_t* out) const
{
    const uint32_t align = m_format.blockAlign;
    const uint32_t channel = m_format.stereo && m_right ? (m_format.is16 ? 2 : 1) : 0;
    const uint8_t* p = bytes + channel;
    if (m_format.is16) {
        for (uint32_t i = 0; i < frames; ++i, p += align) out[i] = int16_t(uint16_t(p[0] | p[1] << 8));
    } else {
        for (uint32_t i = 0; i < frames; ++i, p += align) out[i] = int16_t((int32_t(p[0]) - 128) * 256);
    }
}

int32_t CAudioObj::ReadRun(int64_t u, uint32_t count, int direction, int16_t* out, uint32_t stride)
{
    int64_t a, b;
    uint32_t phase;
    m_interp.Locate(u, &a, &phase);
    m_interp.Locate(u + direction * int64_t(count - 1), &b, &phase);
    const int64_t lo = std::min(a, b) - kMargin;
    const int64_t hi = std::max(a, b) + kMargin + 1;  // exclusive
    const int64_t validEnd = m_endless ? std::numeric_limits<int64_t>::max() : m_format.length;
    const int64_t readFirst = std::max<int64_t>(lo, 0);
    const int64_t readEnd = std::min(hi, validEnd);
    m_decoded.assign(size_t(hi - lo), 0);
    if (readEnd > readFirst) {
        const uint32_t frames = uint32_t(readEnd - readFirst);
        const uint32_t bytes = frames * m_format.blockAlign;
        m_raw.resize(bytes);
        if (int32_t result = Read(readFirst, frames, bytes, m_raw.data(), m_outputRate); result != 0) return result;
        Decode(m_raw.data(), frames, m_decoded.data() + (readFirst - lo));
    }
    m_interp.Run(u, count, direction, m_decoded.data(), lo, hi - lo, 0, validEnd, out, stride);
    return 0;
}

void CAudioObj::ApplyFades(int64_t position, uint32_t count, int16_t* buffer, uint32_t stride) const
{
    // The item plays from its in point to the smaller of its out point and
    // the source's end, counted here from the in point.
    const int64_t end = std::min(m_outSample, m_length) - m_inSample;
    for (uint32_t k = 0; k < count; ++k) {
        const int64_t p = position + k;
        int16_t& s = buffer[size_t(k) * stride];
        if (p < 0 || p >= end) {
            s = 0;
            continue;
        }
        // 64-bit products: a long fade times a full-scale sample does not fit 32 bits.
        if (p < int64_t(m_fadeIn)) s = int16_t(int64_t(s) * p / m_fadeIn);
        if (m_fadeOut != 0 && end - p <= int64_t(m_fadeOut)) s = int16_t(int64_t(s) * (end - p - 1) / m_fadeOut);
    }
}

int32_t CAudioObj::ReadSamples(int64_t position, uint32_t count, uint32_t outputRate, int16_t* buffer, uint32_t stride)
{
    if (m_exactSpeed && std::fabs(m_speed) != 1.0) return -1;
    if (!buffer || stride == 0 || outputRate < kMinRate || outputRate > kMaxRate) return -2;
    auto silence = [&] {
        for (uint32_t k = 0; k < count; ++k) buffer[size_t(k) * stride] = 0;
    };
    if (!m_open) {
        silence();
        return -1;
    }
    if (outputRate != m_outputRate && !Recompute(outputRate)) {
        silence();
        return -2;
    }
    const int direction = (m_step < 0) != (m_reverse != 0) ? -1 : 1;
    const int64_t start = direction > 0 ? m_inSample + position : m_outSample - 1 - position;
    const uint64_t perBlock = kBlockFrames * m_interp.Down() / m_interp.Up();
    const uint32_t block = uint32_t(std::clamp<uint64_t>(perBlock, 1, kBlockSamples));
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(block, count - done);
        const int32_t result = ReadRun(start + direction * int64_t(done), n, direction, buffer + size_t(done) * stride, stride);
        if (result != 0) {
            silence();
            return result;
        }
        done += n;
    }
    if (m_filter.IsSet()) m_filter.callback(m_filter.context, buffer, stride, count, position);
    ApplyFades(position, count, buffer, stride);
    return 0;
}

// WAVE files: the "fmt " chunk decides whether the file can play, the
// "data" chunk's place and size give the samples.

#include "zar_audio_obj_wav.h"

bool WaveFormatToSource(const ZAR_WAVE_FORMAT& f, ZAR_AUDIO_SOURCE_FORMAT* source)
{
    if (f.formatTag != 1 || !IsUsablePcmFormat(f.channels, f.samplesPerSec, f.bitsPerSample)) return false;
    // The frame size is computed, not taken from the header: a block
    // alignment of 0 would divide by zero, a wrong one read out of step.
    const uint32_t align = f.channels * (f.bitsPerSample / 8);
    *source = ZAR_AUDIO_SOURCE_FORMAT{f.samplesPerSec, 0, align, f.bitsPerSample == 16 ? 1u : 0u,
                                      f.channels == 2 ? 1u : 0u};
    return true;
}

int32_t CAudioObjWav::Open(ZAR_AUDIO_SOURCE_FORMAT* format)
{
    if (m_path.empty() || m_path.size() >= kMaxPath) return ZAR_E_AUDIO_OPEN;
    if (!m_riff.Open(m_path, RiffId("WAVE"))) return ZAR_E_AUDIO_OPEN;
    RiffChunk fmt, data;
    ZAR_WAVE_FORMAT wave{};
    ZAR_AUDIO_SOURCE_FORMAT source;
    if (!m_riff.FindChunk(m_riff.Outer(), RiffId("fmt "), &fmt) || fmt.size < sizeof wave ||
        !m_riff.ReadAt(fmt.body, &wave, sizeof wave) || !WaveFormatToSource(wave, &source) ||
        !m_riff.FindChunk(m_riff.Outer(), RiffId("data"), &data) || data.size / source.blockAlign == 0) {
        m_riff.Close();
        return ZAR_E_AUDIO_FORMAT;
    }
    m_dataOffset = data.body;
    m_blockAlign = source.blockAlign;
    m_frames = data.size / source.blockAlign;
    source.length = m_frames;
    *format = source;
    return 0;
}

int32_t CAudioObjWav::Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t)
{
    if (position < 0 || position + frames > m_frames || uint64_t(frames) * m_blockAlign > bytes)
        return ZAR_E_AUDIO_READ;
    return m_riff.ReadAt(m_dataOffset + uint64_t(position) * m_blockAlign, buffer, frames * m_blockAlign)
               ? 0
               : ZAR_E_AUDIO_READ;
}

int32_t CAudioObjWav::Close()
{
    m_riff.Close();
    return 0;
}

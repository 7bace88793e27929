// Callback sources: the application's answers are checked as a WAVE
// file's header would be.

#include "zar_audio_obj_user.h"

#include <cstdint>

int32_t CAudioObjUser::Open(ZAR_AUDIO_SOURCE_FORMAT* format)
{
    if (!m_params.set || !m_params.open || !m_params.read) return ZAR_E_AUDIO_OPEN;
    uint32_t rate = 0, bits = 0, channels = 0, dataBytes = 0;
    if (m_params.open(m_params.context, &rate, &bits, &channels, &dataBytes) == 0) return ZAR_E_AUDIO_OPEN;
    m_opened = true;
    const uint32_t align = channels * (bits / 8);
    if (!IsUsablePcmFormat(channels, rate, bits) || dataBytes / align == 0) {
        Close();
        return ZAR_E_AUDIO_FORMAT;
    }
    m_blockAlign = align;
    m_frames = dataBytes / align;
    *format = ZAR_AUDIO_SOURCE_FORMAT{rate, m_frames, align, bits == 16 ? 1u : 0u, channels == 2 ? 1u : 0u};
    return 0;
}

int32_t CAudioObjUser::Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t)
{
    // The callback's offset is 32 bits; the source's size (from a 32-bit
    // byte count) keeps every valid read inside it.
    if (!m_opened || position < 0 || position + frames > m_frames || uint64_t(frames) * m_blockAlign > bytes)
        return ZAR_E_AUDIO_READ;
    const uint32_t offset = uint32_t(position) * m_blockAlign;
    return m_params.read(m_params.context, buffer, offset, frames * m_blockAlign) != 0 ? 0 : ZAR_E_AUDIO_READ;
}

int32_t CAudioObjUser::Close()
{
    if (m_opened && m_params.close) m_params.close(m_params.context);
    m_opened = false;
    return 0;
}

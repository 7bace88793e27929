// Shared-memory WAVE images. The whole image is mapped at open: mapping
// exactly the header plus the ring size the header claims is also the
// check that the section really is that large.

#include "zar_audio_obj_mem_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

uint32_t Word(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t Half(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

int32_t CAudioObjMemFile::Open(ZAR_AUDIO_SOURCE_FORMAT* format)
{
    if (m_section.empty()) return ZAR_E_AUDIO_OPEN;
    m_mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, m_section.c_str());
    if (!m_mapping) return ZAR_E_AUDIO_OPEN;
    auto fail = [this](int32_t code) {
        Close();
        return code;
    };
    auto* head = static_cast<const uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, kHeaderBytes));
    if (!head) return fail(ZAR_E_AUDIO_OPEN);
    const bool tagged = std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0 &&
                        std::memcmp(head + 12, "fmt ", 4) == 0;
    const uint32_t channels = Half(head + 22), rate = Word(head + 24), bits = Half(head + 34);
    const uint32_t ringBytes = Word(head + kRingSizeOffset);
    UnmapViewOfFile(head);
    if (!tagged || !IsUsablePcmFormat(channels, rate, bits)) return fail(ZAR_E_AUDIO_FORMAT);
    m_blockAlign = channels * (bits / 8);
    m_ringFrames = ringBytes / m_blockAlign;
    // A ring larger than its section would read past the mapping.
    if (m_ringFrames == 0 || ringBytes > 0xFFFFFFFFu - kHeaderBytes) return fail(ZAR_E_AUDIO_FORMAT);
    m_view = static_cast<const uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, kHeaderBytes + ringBytes));
    if (!m_view) return fail(ZAR_E_AUDIO_FORMAT);
    m_silence = bits == 8 ? 128 : 0;
    *format = ZAR_AUDIO_SOURCE_FORMAT{rate, m_live ? 0 : int64_t(m_ringFrames), m_blockAlign, bits == 16 ? 1u : 0u,
                                      channels == 2 ? 1u : 0u};
    return 0;
}

int64_t CAudioObjMemFile::WriterPosition() const
{
    if (!m_view) return 0;
    // Written by another process while it records.
    int64_t position;
    std::memcpy(&position, m_view + kWriterPositionOffset, sizeof position);
    std::atomic_thread_fence(std::memory_order_acquire);
    return position;
}

int32_t CAudioObjMemFile::Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t)
{
    if (!m_view || uint64_t(frames) * m_blockAlign > bytes) return ZAR_E_AUDIO_READ;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint8_t* ring = m_view + kHeaderBytes;
    const int64_t ringFrames = m_ringFrames;
    int64_t first = 0, end = ringFrames;  // what the ring holds
    if (m_live) {
        const int64_t written = WriterPosition();
        first = std::max<int64_t>(written - ringFrames, 0);
        end = std::max<int64_t>(written, 0);
    } else if (position < 0 || position + frames > ringFrames) {
        return ZAR_E_AUDIO_READ;
    }
    const int64_t from = std::clamp(position, first, std::max(first, end));
    const int64_t to = std::clamp(position + int64_t(frames), from, std::max(from, end));
    std::memset(out, m_silence, size_t(frames) * m_blockAlign);
    for (int64_t at = from; at < to;) {
        const int64_t slot = at % ringFrames;
        const int64_t n = std::min(to - at, ringFrames - slot);  // up to the ring's end, then from its start
        std::memcpy(out + (at - position) * m_blockAlign, ring + slot * m_blockAlign, size_t(n) * m_blockAlign);
        at += n;
    }
    return 0;
}

int32_t CAudioObjMemFile::Close()
{
    if (m_view) UnmapViewOfFile(m_view);
    m_view = nullptr;
    if (m_mapping) CloseHandle(m_mapping);
    m_mapping = nullptr;
    return 0;
}

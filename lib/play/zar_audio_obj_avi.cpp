// AVI audio: "hdrl" holds a "strl" list per stream ("strh": type and
// length; "strf": the WAVE format); the samples lie in "movi" in chunks
// named by the stream's number and "wb", possibly inside "rec " lists.

#include "zar_audio_obj_avi.h"

#include <algorithm>

#include "zar_audio_obj_wav.h"

namespace {

// The stream header's words the reader needs.
struct StreamHeader {
    uint32_t type;
    uint32_t handler;
    uint32_t flags;
    uint16_t priority;
    uint16_t language;
    uint32_t initialFrames;
    uint32_t scale;
    uint32_t rate;
    uint32_t start;
    uint32_t length;
};
static_assert(sizeof(StreamHeader) == 36);

uint32_t ChunkIdOfStream(uint32_t number)
{
    return uint32_t('0' + number / 10) | uint32_t('0' + number % 10) << 8 | uint32_t('w') << 16 |
           uint32_t('b') << 24;
}

}  // namespace

bool CAudioObjAvi::FindStream(uint32_t* number, ZAR_AUDIO_SOURCE_FORMAT* format, uint32_t* length)
{
    RiffChunk hdrl, c;
    if (!m_riff.FindChunk(m_riff.Outer(), RiffId("LIST"), &hdrl, RiffId("hdrl"))) return false;
    uint32_t stream = 0, audio = 0;
    for (uint64_t at = hdrl.body + 4; m_riff.ChunkAt(hdrl, at, &c); at = c.End()) {
        if (c.id != RiffId("LIST") || c.form != RiffId("strl")) continue;
        RiffChunk strh, strf;
        StreamHeader header{};
        ZAR_WAVE_FORMAT wave{};
        const bool isAudio = m_riff.FindChunk(c, RiffId("strh"), &strh) && strh.size >= sizeof header &&
                             m_riff.ReadAt(strh.body, &header, sizeof header) && header.type == RiffId("auds");
        if (isAudio && audio++ == m_stream) {
            if (stream > 99 || !m_riff.FindChunk(c, RiffId("strf"), &strf) || strf.size < sizeof wave ||
                !m_riff.ReadAt(strf.body, &wave, sizeof wave) || !WaveFormatToSource(wave, format))
                return false;
            *number = stream;
            *length = header.length;
            return true;
        }
        ++stream;
    }
    return false;
}

void CAudioObjAvi::IndexChunks(const RiffChunk& list, uint32_t id)
{
    RiffChunk c;
    for (uint64_t at = list.body + 4; m_riff.ChunkAt(list, at, &c); at = c.End()) {
        if (c.id == RiffId("LIST")) {
            IndexChunks(c, id);
        } else if (c.id == id && c.size >= m_blockAlign) {
            const uint32_t frames = c.size / m_blockAlign;
            m_pieces.push_back(Piece{m_frames, c.body, frames});
            m_frames += frames;
        }
    }
}

int32_t CAudioObjAvi::Open(ZAR_AUDIO_SOURCE_FORMAT* format)
{
    if (m_path.empty() || !m_riff.Open(m_path, RiffId("AVI "))) return ZAR_E_AUDIO_OPEN;
    uint32_t number = 0, length = 0;
    ZAR_AUDIO_SOURCE_FORMAT source;
    RiffChunk movi;
    m_pieces.clear();
    m_frames = 0;
    if (FindStream(&number, &source, &length) &&
        m_riff.FindChunk(m_riff.Outer(), RiffId("LIST"), &movi, RiffId("movi"))) {
        m_blockAlign = source.blockAlign;
        IndexChunks(movi, ChunkIdOfStream(number));
    }
    // The header's length, as far as the file holds samples for it.
    m_frames = std::min<int64_t>(m_frames, length);
    if (m_frames <= 0) {
        m_riff.Close();
        return ZAR_E_AUDIO_FORMAT;
    }
    source.length = m_frames;
    *format = source;
    return 0;
}

int32_t CAudioObjAvi::Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t)
{
    if (position < 0 || position + frames > m_frames || uint64_t(frames) * m_blockAlign > bytes)
        return ZAR_E_AUDIO_READ;
    auto* out = static_cast<uint8_t*>(buffer);
    // The last piece that starts at or before the position.
    auto piece = std::upper_bound(m_pieces.begin(), m_pieces.end(), position,
                                  [](int64_t p, const Piece& x) { return p < x.first; });
    --piece;
    while (frames > 0 && piece != m_pieces.end()) {
        const uint32_t skip = uint32_t(position - piece->first);
        const uint32_t n = std::min(frames, piece->frames - skip);
        if (!m_riff.ReadAt(piece->offset + uint64_t(skip) * m_blockAlign, out, n * m_blockAlign))
            return ZAR_E_AUDIO_READ;
        out += n * m_blockAlign;
        position += n;
        frames -= n;
        ++piece;
    }
    return frames == 0 ? 0 : ZAR_E_AUDIO_READ;
}

int32_t CAudioObjAvi::Close()
{
    m_riff.Close();
    m_pieces.clear();
    return 0;
}

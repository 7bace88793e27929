// A RIFF WAVE file as an audio source: PCM, 1 or 2 channels, 8 or 16 bits,
// 1,000 to 384,000 samples a second. The file is opened for shared reading,
// so a file another program is still writing can be played.
#pragma once

#include <string>

#include "zar_audio_obj.h"
#include "zar_riff_reader.h"

class CAudioObjWav : public CAudioObj {
public:
    static constexpr size_t kMaxPath = 260;

    explicit CAudioObjWav(std::u16string path) : m_path(std::move(path)) {}
    ~CAudioObjWav() override { Close(); }

    int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) override;
    int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) override;
    int32_t Close() override;
    const std::u16string& Path() const { return m_path; }

private:
    std::u16string m_path;
    CRiffReader m_riff;
    uint64_t m_dataOffset = 0;
    uint32_t m_blockAlign = 0;
    int64_t m_frames = 0;
};

// The WAVEFORMAT head of a "fmt " chunk: the PCM fields every reader checks.
#pragma pack(push, 1)
struct ZAR_WAVE_FORMAT {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_WAVE_FORMAT) == 16);

// A format an audio source can play: its source format (the block
// alignment that its channels and width make), else false.
bool WaveFormatToSource(const ZAR_WAVE_FORMAT& format, ZAR_AUDIO_SOURCE_FORMAT* source);

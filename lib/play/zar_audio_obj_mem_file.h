// A WAVE image in a named shared-memory section as an audio source: the
// layout a wave record item writes (an 84-byte header with the "mrec"
// live-ring block, the samples from byte 84). A live section is an endless
// ring that another process is writing: a read takes the samples at its
// position in the writer's count, and what the ring no longer holds or the
// writer has not yet written is silence.
#pragma once

#include <string>

#include "platform/win32/win32.h"
#include "zar_audio_obj.h"

class CAudioObjMemFile : public CAudioObj {
public:
    static constexpr uint32_t kHeaderBytes = 84;
    static constexpr uint32_t kWriterPositionOffset = 48;  // i64 sample frames written
    static constexpr uint32_t kRingSizeOffset = 80;

    CAudioObjMemFile(std::string section, bool live) : m_section(std::move(section)), m_live(live) {}
    ~CAudioObjMemFile() override { Close(); }

    int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) override;
    int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) override;
    int32_t Close() override;

    // The writer's position, sample frames written since it started.
    int64_t WriterPosition() const;
    uint32_t RingFrames() const { return m_ringFrames; }

private:
    std::string m_section;
    bool m_live;
    HANDLE m_mapping = nullptr;
    const uint8_t* m_view = nullptr;
    uint32_t m_blockAlign = 0;
    uint32_t m_ringFrames = 0;
    uint8_t m_silence = 0;
};

// Samples supplied by the application: its open callback reports the
// format and size, its read callback fills a buffer at a byte offset, its
// close callback ends the source.
#pragma once

#include "zar_audio_obj.h"

using ZarAudioOpenCallback = uint32_t (*)(uint32_t context, uint32_t* rate, uint32_t* bits, uint32_t* channels,
                                          uint32_t* dataBytes);
using ZarAudioReadCallback = uint32_t (*)(uint32_t context, void* buffer, uint32_t byteOffset, uint32_t bytes);
using ZarAudioCloseCallback = void (*)(uint32_t context);

// The application's record (16 bytes) and whether it was given.
struct CAudioUserClipParams {
    uint32_t context = 0;
    ZarAudioOpenCallback open = nullptr;
    ZarAudioReadCallback read = nullptr;
    ZarAudioCloseCallback close = nullptr;
    bool set = false;
};

class CAudioObjUser : public CAudioObj {
public:
    explicit CAudioObjUser(const CAudioUserClipParams& params) : m_params(params) {}
    ~CAudioObjUser() override { Close(); }

    int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) override;
    int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) override;
    int32_t Close() override;

private:
    CAudioUserClipParams m_params;
    bool m_opened = false;
    uint32_t m_blockAlign = 0;
    int64_t m_frames = 0;
};

// The audio stream of an AVI file as an audio source: the index-th stream
// of type "auds" (0 the first), PCM as for WAVE files. Its sample data are
// found by walking the file's "movi" list once at open, so a read goes
// straight to the chunks that hold its samples.
#pragma once

#include <string>
#include <vector>

#include "zar_audio_obj.h"
#include "zar_riff_reader.h"

class CAudioObjAvi : public CAudioObj {
public:
    CAudioObjAvi(std::u16string path, uint32_t stream) : m_path(std::move(path)), m_stream(stream) {}
    ~CAudioObjAvi() override { Close(); }

    int32_t Open(ZAR_AUDIO_SOURCE_FORMAT* format) override;
    int32_t Read(int64_t position, uint32_t frames, uint32_t bytes, void* buffer, uint32_t outputRate) override;
    int32_t Close() override;

private:
    struct Piece {
        int64_t first;    // the first sample frame it holds
        uint64_t offset;  // in the file
        uint32_t frames;
    };
    bool FindStream(uint32_t* number, ZAR_AUDIO_SOURCE_FORMAT* format, uint32_t* length);
    void IndexChunks(const RiffChunk& list, uint32_t id);

    std::u16string m_path;
    uint32_t m_stream;
    CRiffReader m_riff;
    uint32_t m_blockAlign = 0;
    int64_t m_frames = 0;
    std::vector<Piece> m_pieces;
};

// Reading RIFF files (WAVE, AVI) through the Win32 file layer: the file's
// form, the chunks inside a range of it, and bytes at 64-bit offsets. A
// chunk whose size runs past its parent or the file is refused, so a
// damaged header never sends a reader outside the file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32/win32.h"

constexpr uint32_t RiffId(const char (&id)[5])
{
    return uint32_t(uint8_t(id[0])) | uint32_t(uint8_t(id[1])) << 8 | uint32_t(uint8_t(id[2])) << 16 |
           uint32_t(uint8_t(id[3])) << 24;
}

struct RiffChunk {
    uint32_t id = 0;
    uint32_t size = 0;    // of the body
    uint64_t body = 0;    // file offset of the body
    uint32_t form = 0;    // "RIFF" and "LIST" chunks: the form or list type
    uint64_t End() const { return body + size + (size & 1); }  // bodies are padded to even
};

class CRiffReader {
public:
    CRiffReader() = default;
    ~CRiffReader();
    CRiffReader(const CRiffReader&) = delete;
    CRiffReader& operator=(const CRiffReader&) = delete;

    // Opens the file for shared reading and reads its outer chunk: true when
    // it is a RIFF chunk of the given form that fits the file.
    bool Open(const std::u16string& path, uint32_t form);
    void Close();
    bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
    const RiffChunk& Outer() const { return m_outer; }

    // The first chunk of the id (for "LIST", of the list type 'form') among
    // the direct children of 'parent'.
    bool FindChunk(const RiffChunk& parent, uint32_t id, RiffChunk* found, uint32_t form = 0);
    // The child chunk at 'at' inside 'parent'; false at the end or when it
    // does not fit.
    bool ChunkAt(const RiffChunk& parent, uint64_t at, RiffChunk* chunk);
    // Exactly 'bytes' bytes at 'offset', else false.
    bool ReadAt(uint64_t offset, void* buffer, uint32_t bytes);

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    uint64_t m_fileSize = 0;
    RiffChunk m_outer;
};

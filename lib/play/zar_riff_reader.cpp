// The RIFF walk: chunks are {id, size, body}; "RIFF" and "LIST" chunks
// carry their type in the first four bytes of the body, their children
// after it.

#include "zar_riff_reader.h"

CRiffReader::~CRiffReader()
{
    Close();
}

void CRiffReader::Close()
{
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool CRiffReader::ReadAt(uint64_t offset, void* buffer, uint32_t bytes)
{
    if (m_file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    if (!SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN)) return false;
    DWORD read = 0;
    return ReadFile(m_file, buffer, bytes, &read, nullptr) && read == bytes;
}

bool CRiffReader::Open(const std::u16string& path, uint32_t form)
{
    Close();
    m_file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file, &size)) {
        Close();
        return false;
    }
    m_fileSize = uint64_t(size.QuadPart);
    uint32_t head[3];
    if (!ReadAt(0, head, sizeof head) || head[0] != RiffId("RIFF") || head[2] != form || head[1] < 4 ||
        8 + uint64_t(head[1]) > m_fileSize) {
        Close();
        return false;
    }
    m_outer = RiffChunk{head[0], head[1], 8, head[2]};
    return true;
}

bool CRiffReader::ChunkAt(const RiffChunk& parent, uint64_t at, RiffChunk* chunk)
{
    const uint64_t end = parent.body + parent.size;
    if (at + 8 > end) return false;
    uint32_t head[2];
    if (!ReadAt(at, head, sizeof head)) return false;
    RiffChunk c{head[0], head[1], at + 8, 0};
    if (c.body + c.size > end) return false;
    if (c.id == RiffId("LIST") || c.id == RiffId("RIFF")) {
        if (c.size < 4 || !ReadAt(c.body, &c.form, 4)) return false;
    }
    *chunk = c;
    return true;
}

bool CRiffReader::FindChunk(const RiffChunk& parent, uint32_t id, RiffChunk* found, uint32_t form)
{
    // The children of a list or form start after its type.
    const bool typed = parent.id == RiffId("RIFF") || parent.id == RiffId("LIST");
    RiffChunk c;
    for (uint64_t at = parent.body + (typed ? 4 : 0); ChunkAt(parent, at, &c); at = c.End()) {
        if (c.id == id && (form == 0 || c.form == form)) {
            *found = c;
            return true;
        }
    }
    return false;
}

// The black pictures are made once a process and shared by every black
// file: the two uncompressed ones in memory a disk request may name (a
// client of a machine host shares VirtualAlloc's memory with the host),
// large enough for a 625-line field; a 525-line field uses their start.

#include "zar_virtual_black_file.h"

#include <algorithm>
#include <mutex>

#include "zar_empty_field.h"

namespace {

const uint8_t* UncompressedPicture(bool key)
{
    static uint8_t* pictures[2] = {nullptr, nullptr};
    static std::once_flag once[2];
    std::call_once(once[key ? 1 : 0], [key] {
        auto* words = static_cast<uint32_t*>(
            VirtualAlloc(nullptr, CZarVirtualBlackFile::kUncompressedBytes625, MEM_COMMIT, PAGE_READWRITE));
        if (!words) return;
        const uint32_t word = key ? CZarVirtualBlackFile::kKeyWord : CZarVirtualBlackFile::kBlackWord;
        for (uint32_t i = 0; i < CZarVirtualBlackFile::kUncompressedBytes625 / 4; ++i) words[i] = word;
        pictures[key ? 1 : 0] = reinterpret_cast<uint8_t*>(words);
    });
    return pictures[key ? 1 : 0];
}

}  // namespace

CZarVirtualBlackFile::CZarVirtualBlackFile(CBoardConnection* connection, uint32_t frames, uint32_t sectorsPerField,
                                           bool key)
    : CZarVirtualFile(connection, frames), m_sectorsPerField(sectorsPerField)
{
    const bool is625 = m_standard == 625;
    m_uncompressed = sectorsPerField == (is625 ? kUncompressedSectors625 : kUncompressedSectors525);
    if (m_uncompressed) {
        m_image = UncompressedPicture(key);
        m_imageSize = is625 ? kUncompressedBytes625 : kUncompressedBytes525;
    } else {
        const EmptyFieldImage empty = GetEmptyFieldImage(key, is625);
        m_image = empty.bytes;
        m_imageSize = empty.length;
    }
    const uint32_t used = m_imageSize / 512;
    m_location.used = uint16_t(used);
    // A field space smaller than the picture (a tiny data rate) leaves no
    // padding, never a negative count that would wrap to 65,000 sectors.
    m_location.padding = uint16_t(sectorsPerField > used ? std::min<uint32_t>(sectorsPerField - used, 0xFFFF) : 0);
}

int32_t CZarVirtualBlackFile::GetFieldData(const uint8_t** data, uint32_t* bytes)
{
    if (!m_image) return ZAR_E_NO_MEMORY;
    *data = m_image;
    *bytes = m_imageSize;
    return ZAR_OK;
}

int32_t CZarVirtualBlackFile::GetFillNode(uint32_t, ZAR_FIELD_LOCATION** node)
{
    *node = &m_location;
    return ZAR_OK;
}

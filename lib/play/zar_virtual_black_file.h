// A clip of black: every field is the same empty field, so a clip item can
// play black for any length. At the uncompressed field size of the
// standard (684 sectors a field at 525 lines, 810 at 625) the field is an
// uncompressed black picture (or a fully opaque key); at any other size it
// is the built-in JFIF picture of an empty field, placed in a field space
// of the given sectors.
#pragma once

#include "zar_virtual_file.h"

class CZarVirtualBlackFile : public CZarVirtualFile {
public:
    static constexpr uint32_t kUncompressedSectors525 = 684;
    static constexpr uint32_t kUncompressedSectors625 = 810;
    static constexpr uint32_t kUncompressedBytes525 = 350208;
    static constexpr uint32_t kUncompressedBytes625 = 414720;
    // One 4:2:2 sample pair (Cb, Y, Cr, Y) of each picture.
    static constexpr uint32_t kBlackWord = 0x10801080;  // studio-range black
    static constexpr uint32_t kKeyWord = 0xEB80EB80;    // studio-range white: fully opaque

    // The standard is the board's; 'key' chooses the key picture.
    CZarVirtualBlackFile(CBoardConnection* connection, uint32_t frames, uint32_t sectorsPerField, bool key);

    int32_t GetFieldData(const uint8_t** data, uint32_t* bytes) override;
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override;
    uint32_t IsFillUncompressed() override { return m_uncompressed ? 1 : 0; }

    // The picture's bytes or null when its memory could not be had.
    const uint8_t* Image() const { return m_image; }
    uint32_t ImageSize() const { return m_imageSize; }

private:
    bool m_uncompressed;
    uint32_t m_sectorsPerField;
    ZAR_FIELD_LOCATION m_location{};
    const uint8_t* m_image = nullptr;
    uint32_t m_imageSize = 0;
};

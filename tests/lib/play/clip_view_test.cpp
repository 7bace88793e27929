// The library's reading of the clip file format against the media file
// system's view of a media clip read through P:: one format, read the same.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/play/zar_clip_format.h"
#include "tests/drivers/mediafs/mediafs_drive.h"

namespace {

using ClipView = MediaDrive;

std::vector<uint8_t> ReadAll(const char* path)
{
    std::vector<uint8_t> out;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (h == INVALID_HANDLE_VALUE) return out;
    std::vector<uint8_t> buffer(65536);
    DWORD got = 0;
    while (ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got > 0)
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    CloseHandle(h);
    return out;
}

}  // namespace

TEST_F(ClipView, AMediaClipReadThroughTheDriveIsAClipFileTheLibraryReads)
{
    for (bool pal : {true, false}) {
        SCOPED_TRACE(pal ? "625 lines" : "525 lines");
        const uint32_t frames = 3;
        std::vector<UCHAR> data = WriteClip(pal ? u"pal.kiv" : u"ntsc.kiv", frames, pal);
        std::vector<uint8_t> view = ReadAll(pal ? "P:\\KIV\\Media\\Clips\\pal.kiv" : "P:\\KIV\\Media\\Clips\\ntsc.kiv");
        ASSERT_FALSE(view.empty());

        kiv::Clip clip;
        ASSERT_EQ(kiv::ReadClip(
                      [&](uint64_t offset, void* buffer, uint32_t n) {
                          if (offset > view.size() || view.size() - offset < n) return false;
                          std::memcpy(buffer, &view[offset], n);
                          return true;
                      },
                      &clip),
                  ZAR_OK);
        EXPECT_EQ(clip.frames, frames);
        EXPECT_EQ(clip.is625, pal);
        EXPECT_FALSE(clip.keyChunks);
        EXPECT_EQ(clip.fillSectors * kiv::kSector, data.size());
        kiv::Layout layout = kiv::ComputeLayout(false, frames, clip.fillSectors, 0);
        EXPECT_EQ(layout.end, view.size());
        EXPECT_EQ(clip.fillData, layout.fillData);

        // The format chunk the library writes is the one the drive shows, byte for byte.
        uint8_t chunk[kiv::kFormatChunkBytes];
        kiv::WriteFormatChunk(chunk, 0, pal, 0, frames);
        EXPECT_EQ(std::memcmp(chunk, &view[kiv::kFillFormatOffset], sizeof chunk), 0);

        // Every field the index places holds that field's bytes.
        size_t at = 0;
        for (uint32_t k = 0; k < 2 * frames; ++k) {
            const ZAR_FIELD_LOCATION& l = clip.fill[k];
            const size_t bytes = size_t(l.used + l.padding) * kiv::kSector;
            EXPECT_EQ(l.used + l.padding, FieldBlocks(k)) << k;
            ASSERT_LE(kiv::FieldOffset(l) + bytes, view.size());
            EXPECT_EQ(std::memcmp(&view[kiv::FieldOffset(l)], &data[at], bytes), 0) << "field " << k;
            at += bytes;
        }
    }
}

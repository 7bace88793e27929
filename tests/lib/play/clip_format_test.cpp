// The clip file format: the layout of the golden clip, a reader that finds
// its fields where the layout puts them, the files it must refuse, and the
// info block's start time code.
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "lib/play/zar_clip_format.h"

namespace {

// 10 frames with key: fill fields of 4 used + 1 padding sectors (100 in
// all), key fields of 1 sector (20), written as the library lays them out.
struct GoldenClip {
    std::vector<uint8_t> bytes;
    kiv::Layout layout;

    explicit GoldenClip(bool withKey = true, bool is625 = false)
    {
        const uint32_t frames = 10;
        layout = kiv::ComputeLayout(true, frames, 100, withKey ? 20 : 0);
        bytes.assign(size_t(withKey ? layout.end : layout.keyDataHeader), 0);
        uint8_t* b = bytes.data();
        std::memcpy(b, "KIV0", 4);
        Put32(4, 16);
        Put32(8, kiv::kLibraryChunkCount);
        Put32(12, uint32_t(layout.fillDataHeader));
        kiv::WriteChunkHeader(b + 16, kiv::kInfoChunkBytes, kiv::kInfo, 0);
        kiv::WriteFormatChunk(b + kiv::kFillFormatOffset, 0, is625, 0, frames);
        kiv::WriteFormatChunk(b + kiv::kKeyFormatOffset, 1, is625, 0, withKey ? frames : 0);
        kiv::WriteChunkHeader(b + layout.fillIndexHeader, 16 + layout.indexBytes, kiv::kIndex, 0);
        kiv::WriteChunkHeader(b + layout.keyIndexHeader, 16 + layout.indexBytes, kiv::kIndex, 1);
        for (uint32_t f = 0; f < 2 * frames; ++f) {
            Put16(layout.fillIndexHeader + 16 + 4 * f, 4);
            Put16(layout.fillIndexHeader + 18 + 4 * f, 1);
            Put16(layout.keyIndexHeader + 16 + 4 * f, withKey ? 1 : 0);
        }
        kiv::WriteChunkHeader(b + layout.fillDataHeader, 16 + 100 * 512, kiv::kData, 0);
        if (withKey) kiv::WriteChunkHeader(b + layout.keyDataHeader, 16 + 20 * 512, kiv::kData, 1);
    }
    void Put16(uint64_t at, uint16_t v) { std::memcpy(&bytes[at], &v, 2); }
    void Put32(uint64_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
    void Put64(uint64_t at, uint64_t v) { std::memcpy(&bytes[at], &v, 8); }
    kiv::ReadAt Reader() const
    {
        return [this](uint64_t offset, void* buffer, uint32_t n) {
            if (offset > bytes.size() || bytes.size() - offset < n) return false;
            std::memcpy(buffer, &bytes[offset], n);
            return true;
        };
    }
    int32_t Read(kiv::Clip* clip) const { return kiv::ReadClip(Reader(), clip); }
};

}  // namespace

TEST(ClipFormat, TheGoldenClipsChunksLieWhereTheLayoutSays)
{
    kiv::Layout l = kiv::ComputeLayout(true, 10, 100, 20);
    EXPECT_EQ(l.indexBytes, 512u);
    EXPECT_EQ(l.fillDataHeader, 1424u);
    EXPECT_EQ(l.fillData, 1440u);
    EXPECT_EQ(l.keyDataHeader, 52640u);
    EXPECT_EQ(l.keyData, 52656u);
    EXPECT_EQ(l.end, 62896u);
    EXPECT_EQ(kiv::IndexBytes(64), 512u);
    EXPECT_EQ(kiv::IndexBytes(65), 1024u);
    EXPECT_EQ(kiv::IndexBytes(0), 0u);
    kiv::Layout plain = kiv::ComputeLayout(false, 65, 7, 0);
    EXPECT_EQ(plain.fillDataHeader, 344u + 1024);
    EXPECT_EQ(plain.end, 360u + 1024 + 7 * 512);
}

TEST(ClipFormat, TheReaderPlacesEveryFieldOfBothStreams)
{
    GoldenClip golden;
    kiv::Clip clip;
    ASSERT_EQ(golden.Read(&clip), ZAR_OK);
    EXPECT_EQ(clip.frames, 10u);
    EXPECT_FALSE(clip.is625);
    EXPECT_TRUE(clip.keyPresent);
    EXPECT_EQ(clip.fillData, 1440u);
    EXPECT_EQ(clip.fillSectors, 100u);
    EXPECT_EQ(clip.keyData, 52656u);
    EXPECT_EQ(clip.keySectors, 20u);
    ASSERT_EQ(clip.fill.size(), 20u);
    ASSERT_EQ(clip.key.size(), 20u);
    for (uint32_t f = 0; f < 20; ++f) {
        EXPECT_EQ(kiv::FieldOffset(clip.fill[f]), 1440u + f * 5 * 512) << f;
        EXPECT_EQ(clip.fill[f].used, 4u);
        EXPECT_EQ(clip.fill[f].padding, 1u);
        EXPECT_EQ(kiv::FieldOffset(clip.key[f]), 52656u + f * 512) << f;
    }
    // A chunk walker that skips each body reaches the key data header right after the fill data.
    uint64_t at = golden.layout.fillDataHeader;
    uint64_t size;
    std::memcpy(&size, &golden.bytes[at], 8);
    EXPECT_EQ(at + size, golden.layout.keyDataHeader);

    // Key chunks without a recorded key stream, and a 625-line clip that omits the 29.97 bit.
    GoldenClip noKey(false, true);
    kiv::Clip plain;
    ASSERT_EQ(noKey.Read(&plain), ZAR_OK);
    EXPECT_FALSE(plain.keyPresent);
    EXPECT_TRUE(plain.is625);
    EXPECT_TRUE(plain.key.empty());
    // Kind 15 is read, as a stream the library moves without its own compression.
    GoldenClip kind15;
    kind15.Put32(kiv::kFillFormatOffset + 28, 15);
    kiv::Clip c15;
    EXPECT_EQ(kind15.Read(&c15), ZAR_OK);
    EXPECT_TRUE(kiv::CodingKindUncompressed(c15.fillKind));
}

TEST(ClipFormat, FilesThatBreakARuleAreRefused)
{
    struct Case {
        const char* what;
        std::function<void(GoldenClip&)> damage;
    } cases[] = {
        {"magic", [](GoldenClip& g) { g.bytes[3] = '1'; }},
        {"info chunk of 271", [](GoldenClip& g) { g.Put64(16, 271); }},
        {"info chunk of 288", [](GoldenClip& g) { g.Put64(16, 288); }},
        {"rate 30 without the 29.97 bit", [](GoldenClip& g) { g.Put32(kiv::kFillFormatOffset + 36, 0); }},
        {"progressive", [](GoldenClip& g) { g.Put32(kiv::kFillFormatOffset + 36, 5); }},
        {"coding kind 2", [](GoldenClip& g) { g.Put32(kiv::kFillFormatOffset + 28, 2); }},
        {"coding kind 16", [](GoldenClip& g) { g.Put32(kiv::kFillFormatOffset + 28, 16); }},
        {"width 704", [](GoldenClip& g) { g.Put16(kiv::kFillFormatOffset + 16, 704); }},
        {"the 8/4/3 words", [](GoldenClip& g) { g.Put16(kiv::kFillFormatOffset + 22, 5); }},
        {"a fill format with the key bit", [](GoldenClip& g) { g.Put32(kiv::kFillFormatOffset + 36, 6); }},
        {"key frame count neither the fill's nor 0", [](GoldenClip& g) { g.Put32(kiv::kKeyFormatOffset + 32, 9); }},
        {"interleaved key", [](GoldenClip& g) { g.Put32(kiv::kKeyFormatOffset + 36, 14); }},
        {"fill index shorter than 8 bytes a frame", [](GoldenClip& g) { g.Put64(g.layout.fillIndexHeader, 16 + 79); }},
        {"key index shorter than 8 bytes a frame",
         [](GoldenClip& g) {
             g.Put64(g.layout.keyIndexHeader, 16 + 79);
         }},
        {"fill fields past the data chunk", [](GoldenClip& g) { g.Put64(g.layout.fillDataHeader, 16 + 99 * 512); }},
        {"key fields past the data chunk", [](GoldenClip& g) { g.Put16(g.layout.keyIndexHeader + 16, 2); }},
        {"a data chunk of the wrong stream", [](GoldenClip& g) { g.Put32(g.layout.fillDataHeader + 12, 1); }},
        {"a chunk size below its header", [](GoldenClip& g) { g.Put64(g.layout.fillIndexHeader, 8); }},
        {"a frame count no clip holds", [](GoldenClip& g) {
             g.Put32(kiv::kFillFormatOffset + 32, 0xFFFFFFFF);
             g.Put32(kiv::kKeyFormatOffset + 32, 0);
         }},
        {"cut short in the key data", [](GoldenClip& g) { g.bytes.resize(g.layout.keyDataHeader + 8); }},
    };
    for (const Case& c : cases) {
        GoldenClip golden;
        c.damage(golden);
        kiv::Clip clip;
        EXPECT_EQ(golden.Read(&clip), ZAR_E_DRIVER) << c.what;
    }
}

TEST(ClipFormat, TheStartTimeCodeRoundTripsThroughTheInfoBlocksRecord)
{
    const kiv::TimeCode codes[] = {{0, 0, 0, 0, false}, {23, 59, 59, 29, true}, {10, 7, 30, 24, false},
                                   {1, 2, 3, 4, true}};
    for (const kiv::TimeCode& tc : codes) {
        kiv::TimeCode back = kiv::DecodeTimeCode(kiv::EncodeTimeCode(tc));
        EXPECT_EQ(back.hours, tc.hours);
        EXPECT_EQ(back.minutes, tc.minutes);
        EXPECT_EQ(back.seconds, tc.seconds);
        EXPECT_EQ(back.frames, tc.frames);
        EXPECT_EQ(back.dropFrame, tc.dropFrame);
    }
    EXPECT_EQ(kiv::EncodeTimeCode({23, 59, 59, 29, true}), 0x23595969u);

    uint8_t block[kiv::kInfoBlockBytes];
    std::memset(block, 0xEE, sizeof block);  // no form: cleared and made
    ASSERT_TRUE(kiv::SetStartTimeCode(block, {1, 2, 3, 4, false}));
    EXPECT_EQ(std::memcmp(block, "RIFF", 4), 0);
    EXPECT_EQ(std::memcmp(block + 8, "ZAR KIVV", 8), 0);
    EXPECT_EQ(block[20 + 28], 128);
    EXPECT_EQ(block[200], 0);
    kiv::TimeCode read;
    ASSERT_TRUE(kiv::GetStartTimeCode(block, &read));
    EXPECT_EQ(read.seconds, 3u);

    // A form another program placed further in is found there; a KIVV chunk of another size is refused.
    uint8_t moved[kiv::kInfoBlockBytes] = {};
    std::memcpy(moved + 40, block, 136);
    ASSERT_TRUE(kiv::GetStartTimeCode(moved, &read));
    EXPECT_EQ(read.frames, 4u);
    moved[40 + 16] = 100;
    EXPECT_FALSE(kiv::GetStartTimeCode(moved, &read));
    EXPECT_FALSE(kiv::SetStartTimeCode(moved, {1, 2, 3, 4, false}));
}

// Clip files written into the native folder through WriteFile on P:: they
// read back byte for byte whatever the chunk size, with and without a key
// part, and survive a restart; malformed headers, a full volume, writes out
// of order, over a stored clip and a writer that stops halfway each leave
// the volume as it was.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/drivers/mediafs/mediafs_drive.h"

namespace {

class ClipWriteTest : public MediaDrive {
protected:
    static void Put16(std::vector<UCHAR>& b, size_t o, uint16_t v) { std::memcpy(&b[o], &v, 2); }
    static void Put32(std::vector<UCHAR>& b, size_t o, uint32_t v) { std::memcpy(&b[o], &v, 4); }
    static void Put64(std::vector<UCHAR>& b, size_t o, uint64_t v) { std::memcpy(&b[o], &v, 8); }
    static void Chunk(std::vector<UCHAR>& b, size_t o, uint64_t size, uint32_t type, uint32_t stream)
    {
        Put64(b, o, size);
        Put32(b, o + 8, type);
        Put32(b, o + 12, stream);
    }
    static void Format(std::vector<UCHAR>& b, size_t o, ULONG frames, bool pal, uint32_t stream, uint32_t coding,
                       uint32_t flags)
    {
        Chunk(b, o, 40, 0, stream);
        Put16(b, o + 16, 720);
        Put16(b, o + 18, pal ? 576 : 486);
        Put16(b, o + 20, 8);
        Put16(b, o + 22, 4);
        Put16(b, o + 24, 3);
        Put16(b, o + 26, pal ? 25 : 30);
        Put32(b, o + 28, coding);
        Put32(b, o + 32, frames);
        Put32(b, o + 36, flags | (pal ? 0 : 4));
    }
    static ULONG KeyBlocks(ULONG k) { return k % 3 + 1; }

    // A clip file in the layout the drive reads a clip as: field k of the
    // fill takes FieldBlocks(k) blocks (or 'bigField' blocks each), of the
    // key KeyBlocks(k).
    static std::vector<UCHAR> BuildClip(ULONG frames, bool pal, bool alpha, ULONG bigField = 0)
    {
        const size_t index = ZarFsHwGetBodyTableSize(frames);
        const size_t formatEnd = alpha ? 368 : 328;
        const size_t dataHeader = formatEnd + 16 + index + (alpha ? 16 + index : 0);
        std::vector<UCHAR> b(dataHeader + 16);
        std::memcpy(b.data(), "KIV0", 4);
        Put32(b, 4, 16);
        Put32(b, 8, alpha ? 7 : 4);
        Put32(b, 12, uint32_t(dataHeader));
        Chunk(b, 16, 272, 1, 0);
        for (int i = 0; i < 256; ++i) b[32 + i] = UCHAR(i * 3);
        Format(b, 288, frames, pal, 0, 5, 0);
        if (alpha) Format(b, 328, frames, pal, 1, 0, 2);
        Chunk(b, formatEnd, 16 + index, 2, 0);
        if (alpha) Chunk(b, formatEnd + 16 + index, 16 + index, 2, 1);
        std::vector<UCHAR> video, key;
        for (ULONG k = 0; k < frames * 2; ++k) {
            ULONG blocks = bigField != 0 ? bigField : FieldBlocks(k);
            Put32(b, formatEnd + 16 + 4 * k, 1 | ((blocks - 1) << 16));
            for (ULONG i = 0; i < blocks * kBlock; ++i) video.push_back(FieldByte(k, i / kBlock, i % kBlock));
            if (!alpha) continue;
            Put32(b, formatEnd + 32 + index + 4 * k, (KeyBlocks(k) - 1) | (1 << 16));
            for (ULONG i = 0; i < KeyBlocks(k) * kBlock; ++i) key.push_back(UCHAR(k * 31 + i * 3 + 1));
        }
        Chunk(b, dataHeader, 16 + video.size(), 3, 0);
        b.insert(b.end(), video.begin(), video.end());
        if (alpha) {
            std::vector<UCHAR> header(16);
            Chunk(header, 0, 16 + key.size(), 3, 1);
            b.insert(b.end(), header.begin(), header.end());
            b.insert(b.end(), key.begin(), key.end());
        }
        return b;
    }

    static std::string PathOf(const std::string& name) { return "P:\\KIV\\Media\\Clips\\" + name; }

    static std::vector<UCHAR> ReadBack(const std::string& name)
    {
        std::vector<UCHAR> out;
        HANDLE h = CreateFileA(PathOf(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        if (h == INVALID_HANDLE_VALUE) return out;
        std::vector<UCHAR> buffer(65536);
        DWORD got = 0;
        while (ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got > 0)
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
        CloseHandle(h);
        return out;
    }

    // Writes 'bytes' from 'from' on in chunks of 'chunk' through one handle;
    // stops at the first refused write and returns its error (0: all taken).
    static DWORD WriteChunks(HANDLE h, const std::vector<UCHAR>& bytes, size_t chunk, size_t from = 0,
                             size_t to = SIZE_MAX)
    {
        to = std::min(to, bytes.size());
        for (size_t at = from; at < to; at += chunk) {
            DWORD length = DWORD(std::min(chunk, to - at)), done = 0;
            if (!WriteFile(h, bytes.data() + at, length, &done, nullptr)) return GetLastError();
            EXPECT_EQ(done, length);
        }
        return 0;
    }
    static HANDLE CreateNew(const std::string& name)
    {
        HANDLE h = CreateFileA(PathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        return h;
    }
    static DWORD WriteNew(const std::string& name, const std::vector<UCHAR>& bytes, size_t chunk)
    {
        HANDLE h = CreateNew(name);
        DWORD error = WriteChunks(h, bytes, chunk);
        CloseHandle(h);
        return error;
    }

    ULONGLONG FreeBlocks()
    {
        ULONGLONG total = 0, free = 0;
        ZarFsHwGetVolumeSpaceInfo(MediaVolume(), &total, &free);
        return free;
    }
    // The stored entry of a file of folder slot 0.
    ZAR_FILE_INFO EntryOf(const std::u16string& name)
    {
        ZARFS_DIR_ENTRY folder;
        ZAR_FILE_INFO entry{};
        EXPECT_EQ(ZarFsHwReadDirEntry(Hw(), MediaVolume(), 0, &folder), STATUS_SUCCESS);
        for (ULONG slot = 0; slot < ZARFS_FILES_PER_FOLDER; ++slot) {
            if (folder.FileSlots[slot] == 0) continue;
            EXPECT_EQ(ZarFsHwReadFileEntry(Hw(), MediaVolume(), folder.FileSlots[slot], &entry), STATUS_SUCCESS);
            if (ZarFsHwNameEquals(entry.Name, name.data(), ULONG(name.size()))) return entry;
        }
        ADD_FAILURE() << "no entry";
        return {};
    }
    // An empty file: nothing to read, no space named.
    void ExpectEmpty(const std::u16string& name)
    {
        ZAR_FILE_INFO e = EntryOf(name);
        EXPECT_EQ(e.MediaKind, ZARFS_MEDIA_NONE);
        EXPECT_EQ(e.VideoFirstBlock | e.VideoBlocksPerDrive | e.VideoBodyTableFirst | e.VideoBodyTableBlocks, 0u);
        EXPECT_EQ(e.Flags & (ZARFS_FILE_VIDEO_RESERVED | ZARFS_FILE_ALPHA_RESERVED | ZARFS_FILE_HAS_ALPHA), 0u);
    }
};

TEST_F(ClipWriteTest, ARecordedClipCopiedInChunksReadsBackIdentical)
{
    WriteClip(u"take.kiv", 3);
    std::vector<UCHAR> view = ReadBack("take.kiv");
    ASSERT_EQ(view.size(), 360 + 512 + 27 * 512u);
    struct Row {
        const char* name;
        size_t chunk;
    } rows[] = {{"whole.kiv", view.size()}, {"big.kiv", 65536}, {"odd.kiv", 4093}, {"tiny.kiv", 100}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ULONGLONG before = FreeBlocks();
        ASSERT_EQ(WriteNew(row.name, view, row.chunk), 0u);
        EXPECT_EQ(ReadBack(row.name), view);
        std::u16string wide(row.name, row.name + std::strlen(row.name));
        ZAR_FILE_INFO e = EntryOf(wide);
        EXPECT_EQ(e.MediaKind, ZARFS_MEDIA_FRAMES);
        EXPECT_EQ(e.FrameCount, 3u);
        EXPECT_EQ(e.VideoStreamValue[0], 27u);
        EXPECT_EQ(e.VideoBlocksPerDrive, 15u);  // fields 1, 3, 5 on the second drive: 3 + 5 + 7
        EXPECT_EQ(e.VideoBodyTableBlocks, 1u);
        EXPECT_EQ(e.Flags, 0u);
        // The data run, the body table and the 2-block entry, counted on both drives.
        EXPECT_EQ(before - FreeBlocks(), 2 * (15u + 1u + 2u));
    }
}

TEST_F(ClipWriteTest, ClipsWithAKeyPartAndBothStandardsSurviveARestart)
{
    struct Row {
        const char* name;
        ULONG frames;
        bool pal, alpha;
    } rows[] = {{"fill.kiv", 5, true, false}, {"ntsc.kiv", 4, false, false}, {"key.kiv", 3, true, true},
                {"keyntsc.kiv", 70, false, true}};
    std::vector<std::vector<UCHAR>> clips;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clips.push_back(BuildClip(row.frames, row.pal, row.alpha));
        ASSERT_EQ(WriteNew(row.name, clips.back(), 4093), 0u);
        EXPECT_EQ(ReadBack(row.name), clips.back());
    }
    ZAR_FILE_INFO e = EntryOf(u"key.kiv");
    EXPECT_EQ(e.Flags, ZARFS_FILE_HAS_ALPHA | ZARFS_FILE_VIDEO_SDTI);
    EXPECT_EQ(e.VideoSdtiType, 3u);  // coding kind 5
    EXPECT_EQ(e.AlphaStreamValue[0], 12u);  // key fields of 1, 2 and 3 blocks
    ULONGLONG free = FreeBlocks();
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(FreeBlocks(), free);  // discovery claims what the entries name, no more
    for (size_t i = 0; i < clips.size(); ++i) EXPECT_EQ(ReadBack(rows[i].name), clips[i]) << rows[i].name;
}

TEST_F(ClipWriteTest, KeyChunksWithoutAKeyStreamStoreTheVideoPartAlone)
{
    // A clip with key chunks whose key format counts 0 frames and no key
    // data follows (as a clip recorded without key is written): the video
    // part is stored and reads back as the same fields.
    std::vector<UCHAR> clip = BuildClip(3, true, true);
    const size_t index = ZarFsHwGetBodyTableSize(3);
    const size_t dataHeader = 368 + 16 + index + 16 + index;
    Put32(clip, 8, 6);
    Put32(clip, 328 + 32, 0);
    uint64_t videoChunk;
    std::memcpy(&videoChunk, &clip[dataHeader], 8);
    clip.resize(dataHeader + videoChunk);
    ASSERT_EQ(WriteNew("nokey.kiv", clip, 4096), 0u);
    ZAR_FILE_INFO e = EntryOf(u"nokey.kiv");
    EXPECT_EQ(e.FrameCount, 3u);
    EXPECT_EQ(e.Flags & ZARFS_FILE_HAS_ALPHA, 0u);
    std::vector<UCHAR> view = ReadBack("nokey.kiv");
    const size_t viewData = 328 + 16 + index + 16;
    ASSERT_EQ(view.size(), viewData + (videoChunk - 16));
    EXPECT_TRUE(std::equal(view.begin() + viewData, view.end(), clip.begin() + dataHeader + 16));

    // A key format of another frame count than the fill's is still refused.
    std::vector<UCHAR> odd = BuildClip(3, true, true);
    Put32(odd, 328 + 32, 2);
    EXPECT_EQ(WriteNew("oddkey.kiv", odd, 4096), DWORD(ERROR_FILE_INVALID));
}

TEST_F(ClipWriteTest, MalformedHeadersAreRefusedAndKeepNothing)
{
    const std::vector<UCHAR> good = BuildClip(3, true, false);
    const size_t I = 512;
    struct Row {
        const char* what;
        size_t offset;
        int width;
        uint64_t value;
    } rows[] = {
        {"magic", 0, 4, 0x31564B49},          {"header size", 4, 4, 20},
        {"info size", 16, 8, 256},            {"info type", 24, 4, 0},
        {"format size", 288, 8, 24},          {"format type", 296, 4, 1},
        {"format stream", 300, 4, 1},         {"width", 304, 2, 640},
        {"lines", 306, 2, 480},               {"+20", 308, 2, 10},
        {"+22", 310, 2, 2},                   {"+24", 312, 2, 4},
        {"rate", 314, 2, 24},                 {"coding 2", 316, 4, 2},
        {"coding 16", 316, 4, 16},            {"no frames", 320, 4, 0},
        {"key-stream flag", 324, 4, 2},       {"flag bit 0", 324, 4, 1},
        {"525 flag at 25", 324, 4, 4},        {"index type", 336, 4, 3},
        {"index too short", 328, 8, 16 + 20}, {"index too long", 328, 8, 16 + 1024},
        {"data offset", 12, 4, 344 + I + 16}, {"data size", 344 + I, 8, 16 + 26 * 512},
        {"data type", 352 + I, 4, 2},         {"data stream", 356 + I, 4, 1},
    };
    // Writes 'bytes' into a new file, which must stay empty and hold no space.
    auto refused = [&](const std::string& name, const std::vector<UCHAR>& bytes) {
        HANDLE h = CreateNew(name);
        ULONGLONG free = FreeBlocks();
        EXPECT_EQ(WriteChunks(h, bytes, 4096), DWORD(ERROR_FILE_INVALID));
        EXPECT_EQ(FreeBlocks(), free);
        CloseHandle(h);
        ExpectEmpty(std::u16string(name.begin(), name.end()));
        EXPECT_EQ(FreeBlocks(), free);
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<UCHAR> bad = good;
        std::memcpy(&bad[row.offset], &row.value, row.width);
        refused("bad" + std::to_string(n++) + ".kiv", bad);
    }
    // 60 lines at 30 frames a second must say so.
    std::vector<UCHAR> ntsc = BuildClip(3, false, false);
    Put32(ntsc, 324, 0);
    refused("ntsc.kiv", ntsc);
    // Bytes past the clip's end are no part of it.
    std::vector<UCHAR> longer = good;
    longer.resize(good.size() + 1);
    refused("longer.kiv", longer);
}

TEST_F(ClipWriteTest, AClipLargerThanTheFreeSpaceGivesDiskFull)
{
    // Two fields a drive of 8000 blocks each: more than a drive's area.
    std::vector<UCHAR> clip = BuildClip(2, true, false, 8000);
    HANDLE h = CreateNew("huge.kiv");
    ULONGLONG free = FreeBlocks();
    EXPECT_EQ(WriteChunks(h, clip, 1 << 20, 0, 4096), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(FreeBlocks(), free);
    // The writer stays refused rather than taking the data as something else.
    EXPECT_EQ(WriteChunks(h, clip, 1 << 20, 4096, 8192), DWORD(ERROR_DISK_FULL));
    CloseHandle(h);
    ExpectEmpty(u"huge.kiv");
    EXPECT_EQ(FreeBlocks(), free);
}

TEST_F(ClipWriteTest, WritesOutOfOrderOrOverAStoredClipAreRefused)
{
    std::vector<UCHAR> clip = BuildClip(3, true, true);
    HANDLE h = CreateNew("order.kiv");
    ASSERT_EQ(WriteChunks(h, clip, 1000, 0, 5000), 0u);
    // A gap, then a step back: both refused, and the writer goes on from 5000.
    for (LONG at : {6000, 4000, 0}) {
        SCOPED_TRACE(at);
        SetFilePointer(h, at, nullptr, FILE_BEGIN);
        DWORD done = 0;
        EXPECT_FALSE(WriteFile(h, clip.data() + at, 1000, &done, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    SetFilePointer(h, 5000, nullptr, FILE_BEGIN);
    ASSERT_EQ(WriteChunks(h, clip, 1000, 5000), 0u);
    CloseHandle(h);
    EXPECT_EQ(ReadBack("order.kiv"), clip);
    // Opened again, the stored clip takes no writes.
    h = CreateFileA(PathOf("order.kiv").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteChunks(h, clip, clip.size()), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_EQ(ReadBack("order.kiv"), clip);
}

TEST_F(ClipWriteTest, AWriterThatStopsHalfwayLeavesAnEmptyFileAndItsSpaceFree)
{
    std::vector<UCHAR> clip = BuildClip(40, false, true);
    HANDLE h = CreateNew("half.kiv");
    ULONGLONG free = FreeBlocks();
    ASSERT_EQ(WriteChunks(h, clip, 4096, 0, clip.size() / 2), 0u);
    EXPECT_LT(FreeBlocks(), free);  // reserved while it writes
    CloseHandle(h);
    ExpectEmpty(u"half.kiv");
    EXPECT_EQ(FreeBlocks(), free);
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(FreeBlocks(), free);
    ExpectEmpty(u"half.kiv");
    // The empty file takes the whole clip afresh.
    h = CreateFileA(PathOf("half.kiv").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(WriteChunks(h, clip, 65536), 0u);
    CloseHandle(h);
    EXPECT_EQ(ReadBack("half.kiv"), clip);
}

}  // namespace

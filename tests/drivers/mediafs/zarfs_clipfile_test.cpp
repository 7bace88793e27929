// Media files read as clip files through ReadFile on P:: the synthesised
// header byte for byte, the frame data striped over two drives, sizes,
// reads across region borders and at the end; and directory records of
// the four classes as a query returns them.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/drivers/mediafs/mediafs_drive.h"

namespace {

using ClipFileTest = MediaDrive;

uint32_t U32(const std::vector<UCHAR>& b, size_t o) { uint32_t v; std::memcpy(&v, &b[o], 4); return v; }
uint16_t U16(const std::vector<UCHAR>& b, size_t o) { uint16_t v; std::memcpy(&v, &b[o], 2); return v; }
uint64_t U64(const std::vector<UCHAR>& b, size_t o) { uint64_t v; std::memcpy(&v, &b[o], 8); return v; }

std::vector<UCHAR> ReadAll(const char* path, DWORD chunk)
{
    std::vector<UCHAR> out;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (h == INVALID_HANDLE_VALUE) return out;
    std::vector<UCHAR> buffer(chunk);
    DWORD got = 0;
    while (ReadFile(h, buffer.data(), chunk, &got, nullptr) && got > 0) out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    CloseHandle(h);
    return out;
}

TEST_F(ClipFileTest, ReadsTheSynthesisedViewOfAClip)
{
    for (bool pal : {true, false}) {
        SCOPED_TRACE(pal ? "625 lines" : "525 lines");
        const char16_t* name = pal ? u"pal.kiv" : u"ntsc.kiv";
        std::vector<UCHAR> data = WriteClip(name, 3, pal);
        std::string path = pal ? "P:\\KIV\\Media\\Clips\\pal.kiv" : "P:\\KIV\\Media\\Clips\\ntsc.kiv";
        // Chunks of one odd size cross every border of the view.
        std::vector<UCHAR> view = ReadAll(path.c_str(), 1000);
        const size_t I = 512;  // one body-table block for 3 frames
        ASSERT_EQ(view.size(), 360 + I + data.size());

        EXPECT_EQ(std::memcmp(view.data(), "KIV0", 4), 0);
        EXPECT_EQ(U32(view, 4), 16u);
        EXPECT_EQ(U32(view, 8), 4u);
        EXPECT_EQ(U32(view, 12), 344 + I);
        EXPECT_EQ(U64(view, 16), 272u);
        EXPECT_EQ(U32(view, 24), 1u);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(view[32 + i], UCHAR(255 - i));
        EXPECT_EQ(U64(view, 288), 40u);
        EXPECT_EQ(U32(view, 296), 0u);
        EXPECT_EQ(U16(view, 304), 720);
        EXPECT_EQ(U16(view, 306), pal ? 576 : 486);
        EXPECT_EQ(U16(view, 308), 8);
        EXPECT_EQ(U16(view, 310), 4);
        EXPECT_EQ(U16(view, 312), 3);
        EXPECT_EQ(U16(view, 314), pal ? 25 : 30);
        EXPECT_EQ(U32(view, 316), 0u);  // not SDTI
        EXPECT_EQ(U32(view, 320), 3u);
        EXPECT_EQ(U32(view, 324), pal ? 0u : 4u);
        EXPECT_EQ(U64(view, 328), 16 + I);
        EXPECT_EQ(U32(view, 336), 2u);
        for (ULONG k = 0; k < 6; ++k) EXPECT_EQ(U32(view, 344 + 4 * k), 1 | ((FieldBlocks(k) - 1) << 16));
        EXPECT_EQ(U64(view, 344 + I), 16 + data.size());
        EXPECT_EQ(U32(view, 352 + I), 3u);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), view.begin() + 360 + I));
    }
}

struct ConcurrentRead {
    const char* path;
    DWORD chunk;
    std::vector<UCHAR> view;
};

DWORD WINAPI ReadConcurrently(LPVOID parameter)
{
    auto* read = static_cast<ConcurrentRead*>(parameter);
    read->view = ReadAll(read->path, read->chunk);
    return 0;
}

TEST_F(ClipFileTest, ReadersOfOneClipReadSideBySide)
{
    // Readers share the drive and the clip's view: each read must still
    // get its own bytes, also where both cut blocks at once.
    std::vector<UCHAR> data = WriteClip(u"take.kiv", 3);
    const char* path = "P:\\KIV\\Media\\Clips\\take.kiv";
    const std::vector<UCHAR> alone = ReadAll(path, 4096);
    ASSERT_EQ(alone.size(), 360 + 512 + data.size());
    ConcurrentRead reads[] = {{path, 1000, {}}, {path, 777, {}}, {path, 4096, {}}};
    HANDLE threads[std::size(reads)];
    for (size_t i = 0; i < std::size(reads); ++i)
        threads[i] = CreateThread(nullptr, 0, ReadConcurrently, &reads[i], 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(DWORD(std::size(threads)), threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    for (const ConcurrentRead& read : reads) EXPECT_EQ(read.view, alone) << read.chunk << "-byte reads";
}

TEST_F(ClipFileTest, ReadsAtOffsetsAndAtTheEnd)
{
    std::vector<UCHAR> data = WriteClip(u"take.kiv", 2);
    HANDLE h = CreateFileA("P:\\KIV\\Media\\Clips\\take.kiv", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(uint64_t(size.QuadPart), 360 + 512 + data.size());
    // A read in the middle of the third field, starting inside a block.
    const size_t base = 360 + 512;
    const size_t at = (FieldBlocks(0) + FieldBlocks(1)) * 512 + 700;
    ASSERT_NE(SetFilePointer(h, LONG(base + at), nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    std::vector<UCHAR> part(1500);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, part.data(), DWORD(part.size()), &got, nullptr));
    ASSERT_EQ(got, part.size());
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin() + at));
    // Past the end: nothing; at the end, the rest only.
    SetFilePointer(h, LONG(size.QuadPart - 10), nullptr, FILE_BEGIN);
    ASSERT_TRUE(ReadFile(h, part.data(), 100, &got, nullptr));
    EXPECT_EQ(got, 10u);
    ASSERT_TRUE(ReadFile(h, part.data(), 100, &got, nullptr));
    EXPECT_EQ(got, 0u);
    CloseHandle(h);

    // A file without media data has no view to read.
    h = CreateFileA("P:\\KIV\\Media\\Clips\\empty", GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(h, part.data(), 100, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
}

TEST_F(ClipFileTest, EachDrivesFieldsGoAsOneCommandOfUpTo256Blocks)
{
    // 40 fields of 2..41 blocks striped over two drives: drive 0 holds 420
    // blocks of them one after another, drive 1 440. Read in one call, each
    // drive's run goes in two commands (256 blocks and the rest), not one a
    // field, and every field lands in its place between the other drive's.
    std::vector<UCHAR> data = WriteClip(u"long.kiv", 20);
    HANDLE h = CreateFileA("P:\\KIV\\Media\\Clips\\long.kiv", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const size_t base = 360 + 512;
    std::vector<UCHAR> view(base + data.size() + 100);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, view.data(), 1, &got, nullptr));  // builds the view
    const LONG before = Hw()->RequestsSent;
    ASSERT_TRUE(ReadFile(h, view.data() + 1, DWORD(view.size() - 1), &got, nullptr));
    EXPECT_EQ(got, base + data.size() - 1);
    EXPECT_EQ(Hw()->RequestsSent - before, 4);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), view.begin() + base));

    // From inside a block of field 3 to inside field 30: the cut blocks on
    // their own, the whole ones gathered as before.
    const size_t at = (FieldBlocks(0) + FieldBlocks(1) + FieldBlocks(2)) * 512 + 300;
    const size_t length = data.size() - at - 20 * 512 - 77;
    ASSERT_NE(SetFilePointer(h, LONG(base + at), nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    std::vector<UCHAR> part(length);
    ASSERT_TRUE(ReadFile(h, part.data(), DWORD(length), &got, nullptr));
    ASSERT_EQ(got, length);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin() + at));
    CloseHandle(h);
}

// One query's records on the volume folder; returns the status and
// fills the buffer and Information.
NTSTATUS Query(HANDLE dir, ULONG infoClass, std::vector<UCHAR>* buffer, ULONG_PTR* information, bool restart = false,
               bool single = false, const char16_t* pattern = nullptr)
{
    IO_STATUS_BLOCK iosb{};
    std::u16string p = pattern ? pattern : u"";
    UNICODE_STRING name{USHORT(p.size() * 2), USHORT(p.size() * 2), p.data()};
    NTSTATUS status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer->data(), ULONG(buffer->size()),
                                           FILE_INFORMATION_CLASS(infoClass), single, pattern ? &name : nullptr,
                                           restart);
    *information = iosb.Information;
    return status;
}

TEST_F(ClipFileTest, DirectoryRecordsOfTheFourClasses)
{
    ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Second", nullptr));
    HANDLE dir;
    ASSERT_EQ(Open(u"\\KIV\\Media", FILE_OPEN, FILE_DIRECTORY_FILE, &dir), STATUS_SUCCESS);
    const ULONGLONG time = MediaVolume()->CreationTime;
    (void)time;
    struct Row {
        ULONG infoClass, fixed;
    } rows[] = {{FileDirectoryInformation, 64}, {FileFullDirectoryInformation, 68},
                {FileBothDirectoryInformation, 94}, {FileNamesInformation, 12}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.infoClass);
        std::vector<UCHAR> b(4096, 0xCC);
        ULONG_PTR information = 0;
        ASSERT_EQ(Query(dir, row.infoClass, &b, &information, true), STATUS_SUCCESS);
        // "Clips" (slot 0) then "Second" (slot 1), the second at an 8-byte boundary.
        const ULONG second = (row.fixed + 10 + 7) & ~7u;
        EXPECT_EQ(U32(b, 0), second);
        EXPECT_EQ(U32(b, 4), 0u);
        EXPECT_EQ(U32(b, second), 0u);
        EXPECT_EQ(U32(b, second + 4), 1u);
        EXPECT_EQ(information, second + row.fixed + 12);
        ULONG nameLength = row.infoClass == FileNamesInformation ? 8 : 60;
        EXPECT_EQ(U32(b, nameLength), 10u);
        EXPECT_EQ(std::memcmp(&b[row.fixed], u"Clips", 10), 0);
        EXPECT_EQ(std::memcmp(&b[second + row.fixed], u"Second", 12), 0);
        if (row.infoClass != FileNamesInformation) {
            EXPECT_EQ(U32(b, 56), 0x90u);                     // directory, normal
            EXPECT_EQ(U64(b, 8), U64(b, 24));                 // creation = last write
            EXPECT_NE(U64(b, 8), 0u);
            EXPECT_EQ(U64(b, 16), 0u);                        // last access
            EXPECT_EQ(U64(b, 40), 0u);                        // end of file
        }
        if (row.infoClass == FileBothDirectoryInformation) {
            EXPECT_EQ(b[68], 0);  // no short name
        }
    }
    std::vector<UCHAR> b(4096);
    ULONG_PTR information = 0;
    // Single entries, then the end, which stays the end; a restart lists from the first.
    EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information, true, true), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&b[12], u"Clips", 10), 0);
    EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information, false, true), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&b[12], u"Second", 12), 0);
    EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information), STATUS_NO_MORE_FILES);
    EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information), STATUS_NO_MORE_FILES);
    EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information, true, true), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&b[12], u"Clips", 10), 0);
    // An over-long first record: the name cut to the buffer.
    std::vector<UCHAR> small(12 + 4);
    EXPECT_EQ(Query(dir, FileNamesInformation, &small, &information, true), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 16u);
    EXPECT_EQ(U32(small, 8), 10u);
    // A second record that does not fit waits for the next query.
    std::vector<UCHAR> one(24);
    EXPECT_EQ(Query(dir, FileNamesInformation, &one, &information, true), STATUS_SUCCESS);
    EXPECT_EQ(information, 22u);
    EXPECT_EQ(Query(dir, FileNamesInformation, &one, &information), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&one[12], u"Second", 12), 0);
    EXPECT_EQ(Query(dir, 37 /* FileIdBothDirectoryInformation */, &b, &information), STATUS_INVALID_INFO_CLASS);
    NtClose(dir);

    // The search name of a handle's first query; a missing name finds nothing.
    for (auto [pattern, status] : {std::pair{u"SEC*", STATUS_SUCCESS}, std::pair{u"clips", STATUS_SUCCESS},
                                   std::pair{u"nothing", STATUS_NO_SUCH_FILE}}) {
        ASSERT_EQ(Open(u"\\KIV\\Media", FILE_OPEN, FILE_DIRECTORY_FILE, &dir), STATUS_SUCCESS);
        EXPECT_EQ(Query(dir, FileNamesInformation, &b, &information, false, false, pattern), status);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(U32(b, 0), 0u);  // one record
        }
        NtClose(dir);
    }
    // A file handle is no directory.
    WriteClip(u"take.kiv", 1);
    HANDLE file;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(Query(file, FileNamesInformation, &b, &information), STATUS_INVALID_PARAMETER);
    NtClose(file);
}

TEST_F(ClipFileTest, RenamesMovesAndDeletesThatARescanFinds)
{
    ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Other", nullptr));
    std::vector<UCHAR> data = WriteClip(u"take.kiv", 2);
    const uint64_t size = 360 + 512 + data.size();
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips\\take.kiv", "P:\\KIV\\Media\\Clips\\renamed.kiv")) << GetLastError();
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips\\renamed.kiv", "P:\\KIV\\Media\\Other\\moved.kiv")) << GetLastError();
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips", "P:\\KIV\\Media\\Empty")) << GetLastError();
    // Refusals: a name taken, another volume's folder, bad names, a type folder.
    HANDLE h = CreateFileA("P:\\KIV\\Media\\Other\\x.kiv", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    CloseHandle(h);
    EXPECT_FALSE(MoveFileA("P:\\KIV\\Media\\Other\\x.kiv", "P:\\KIV\\Media\\Other\\MOVED.kiv"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFileA("P:\\KIV\\Media\\Other\\x.kiv", "P:\\KIV\\Media\\Other\\bad:name"));
    EXPECT_FALSE(MoveFileA("P:\\KIV\\Media\\Other\\x.kiv", "P:\\KIV\\Media\\x.kiv"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(MoveFileA("P:\\KIV", "P:\\ABC"));
    EXPECT_TRUE(DeleteFileA("P:\\KIV\\Media\\Other\\x.kiv"));
    EXPECT_FALSE(RemoveDirectoryA("P:\\KIV\\Media\\Other"));  // holds a file
    EXPECT_TRUE(RemoveDirectoryA("P:\\KIV\\Media\\Empty"));

    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(List("P:\\KIV\\Media\\*"), (std::vector<Found>{{"Other", 0, true}}));
    EXPECT_EQ(List("P:\\KIV\\Media\\Other\\*"), (std::vector<Found>{{"moved.kiv", size, false}}));
    EXPECT_EQ(ReadAll("P:\\KIV\\Media\\Other\\moved.kiv", 4096).size(), size);
}

TEST_F(ClipFileTest, VolumeInformation)
{
    HANDLE h;
    ASSERT_EQ(Open(u"\\", FILE_OPEN, 0, &h), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    std::vector<UCHAR> b(256);
    ASSERT_EQ(NtQueryVolumeInformationFile(h, &iosb, b.data(), ULONG(b.size()), FileFsVolumeInformation), STATUS_SUCCESS);
    EXPECT_EQ(U32(b, 12), 14u);
    EXPECT_EQ(std::memcmp(&b[18], u"KIV_VFS", 14), 0);
    ASSERT_EQ(NtQueryVolumeInformationFile(h, &iosb, b.data(), 24, FileFsVolumeInformation), STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(NtQueryVolumeInformationFile(h, &iosb, b.data(), ULONG(b.size()), FileFsSizeInformation), STATUS_SUCCESS);
    ULONGLONG total = 0, free = 0;
    ZarFsHwGetTotalVolumeSpaceInfo(Hw(), &total, &free);
    EXPECT_EQ(U64(b, 0), total);
    EXPECT_EQ(U64(b, 8), std::max<ULONGLONG>(free, 409600));  // never below 409,600 units
    EXPECT_EQ(U32(b, 16), 1u);
    EXPECT_EQ(U32(b, 20), 512u);
    ASSERT_EQ(NtQueryVolumeInformationFile(h, &iosb, b.data(), ULONG(b.size()), FileFsAttributeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(U32(b, 0), 6u);
    EXPECT_EQ(U32(b, 4), 255u);
    NtClose(h);
}

TEST_F(ClipFileTest, FrameFileNames)
{
    ZARFS_FILE_TYPE dotted{};
    std::memcpy(dotted.Extension, u"TGA", 6);
    dotted.DotBeforeNumber = 1;
    ZARFS_FILE_TYPE plain = dotted;
    plain.DotBeforeNumber = 0;
    const std::u16string longName(250, u'n');
    struct Row {
        std::u16string clip;
        const ZARFS_FILE_TYPE* type;
        ULONG frames, frame, base, minDigits;
        std::u16string name;
    } rows[] = {
        {u"take.kiv", &dotted, 3, 0, 0, 4, u"take.0000.TGA"},
        {u"take.KiV", &plain, 3, 2, 0, 4, u"take0002.TGA"},           // the native extension in any case
        {u"take", &dotted, 3, 1, 0, 4, u"take.0001.TGA"},
        {u"take.kivx", &dotted, 3, 1, 0, 4, u"take.kivx.0001.TGA"},   // only a whole ".kiv" ending goes
        {u"a.kiv", &dotted, 3, 123456, 0, 4, u"a.123456.TGA"},        // wider than the minimum
        {u"a.kiv", &dotted, 3, 5, 100, 4, u"a.0105.TGA"},
        {u"a.kiv", &dotted, 100, 5, 0, 0, u"a.05.TGA"},               // no minimum: the last frame's width
        {u"a.kiv", &dotted, 1000, 5, 1, 0, u"a.0006.TGA"},
        {u"a.kiv", &dotted, 10, 0, 0, 0, u"a.0.TGA"},
        {u"a.kiv", &dotted, 3, 7, 0, 12, u"a.0000000007.TGA"},        // the minimum held at 10 digits
        {u"a.kiv", &dotted, 3, 5, 0xFFFFFFFF, 4, u"a.4294967300.TGA"}, // the number does not wrap
        {longName + u".kiv", &dotted, 3, 1, 0, 4, (longName + u".0001.TGA").substr(0, 255)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
        WCHAR name[ZARFS_NAME_CHARS];
        ULONG chars = ZarFsConstructFileFrameName(row.clip.data(), ULONG(row.clip.size()), row.type, row.frames,
                                                  row.frame, row.base, row.minDigits, name);
        EXPECT_EQ(std::u16string(name, chars), row.name);
    }
}

TEST_F(ClipFileTest, FrameFileSizeFollowsAlphaAndSdtiTypes)
{
    ZARFS_FILE_TYPE type{};
    type.FrameSize = 16;
    type.FrameSizeAlpha = 20;
    type.FrameSizeSdti = 28;
    type.FrameSizeSdtiAlpha = 32;
    type.FrameSizeSdtiHigh = 36;
    type.FrameSizeSdtiHighAlpha = 40;
    constexpr ULONG V = ZARFS_FILE_VIDEO_SDTI, A = ZARFS_FILE_ALPHA_SDTI, K = ZARFS_FILE_HAS_ALPHA;
    struct Row {
        ULONG flags, videoType, alphaType, size;
    } rows[] = {
        {0, 5, 0, 16},         // not SDTI: the type number does not count
        {V, 0, 0, 16},  {V, 1, 0, 28},  {V, 11, 0, 28}, {V, 12, 0, 36}, {V, 13, 0, 36}, {V, 14, 0, 0},
        {K, 0, 0, 20},         {K | V, 3, 0, 20},      // only one part SDTI
        {K | V | A, 0, 0, 20}, {K | V | A, 3, 3, 32}, {K | V | A, 12, 12, 40}, {K | V | A, 14, 14, 0},
        {K | V | A, 3, 4, 20},  // parts of different types
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "flags " << row.flags << " types " << row.videoType << "/" << row.alphaType);
        ZAR_FILE_INFO entry{};
        entry.Flags = row.flags;
        entry.VideoSdtiType = row.videoType;
        entry.AlphaSdtiType = row.alphaType;
        EXPECT_EQ(ZarFsFrameFileSize(&entry, &type), row.size);
    }
}

}  // namespace

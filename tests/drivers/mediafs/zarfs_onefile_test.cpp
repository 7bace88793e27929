// One media file reached more than once: a reader on one handle while
// another rewrites the entry, a delete through a second file-type folder
// while a handle holds reserved space, moving parts that are reserved and
// not yet settled, and entry writes that fail. Whatever happens, the
// allocator's free runs stay apart, its free count matches them, and each
// block is given back once.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <vector>

#include "tests/drivers/mediafs/mediafs_control.h"

namespace {

constexpr ACCESS_MASK kWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | DELETE;
constexpr const char16_t* kTake = u"\\KIV\\Media\\Clips\\take.kiv";
constexpr const char16_t* kNew = u"\\KIV\\Media\\Clips\\new.kiv";

class OneFileTest : public ControlDrive {
protected:
    ZARFS_ALLOC_OBJECT* Alloc() { return &MediaVolume()->Alloc; }
    ULONGLONG AllocFree() { return ZarFsVolAllocGetFreeBlocks(Alloc()); }

    // The free runs of both regions: in order, apart, on the right side of
    // the boundary, inside the area, and adding up to the free count.
    void ExpectAllocatorSound()
    {
        ZARFS_ALLOC_OBJECT* a = Alloc();
        ULONGLONG sum = 0;
        ULONG end = a->FirstBlock;
        for (const ZARFS_FREE_LIST* list : {&a->Lower, &a->Upper}) {
            for (ZARFS_FREE_SEGMENT* s = list->FirstPos; s != nullptr; s = s->NextPos) {
                EXPECT_GE(s->FirstBlock, end) << "free runs overlap at " << s->FirstBlock;
                EXPECT_LE(ULONGLONG(s->FirstBlock) + s->Length, ULONGLONG(a->LastBlock) + 1);
                if (list == &a->Lower) {
                    EXPECT_LE(s->FirstBlock + s->Length, a->Boundary);
                } else {
                    EXPECT_GE(s->FirstBlock, a->Boundary);
                }
                end = s->FirstBlock + s->Length;
                sum += s->Length;
            }
        }
        EXPECT_EQ(sum, a->FreeBlocks);
    }

    NTSTATUS Allocate(HANDLE file, ULONG data, ULONG table, ULONG flags, ZARFS_ALLOCATE_VIDEO_SPACE* out)
    {
        *out = {};
        out->DataBlocks = data;
        out->TableBlocks = table;
        out->Flags = flags;
        return FileControl(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, file, out);
    }

    // A foreign file type with the given presentation, under "TGA".
    void RegisterType(ULONG presentation)
    {
        UCHAR in[4 + sizeof(ZARFS_FILE_TYPE)] = {};
        ZARFS_FILE_TYPE type{};
        type.Presentation = presentation;
        std::memcpy(type.Extension, u"TGA", 6);
        ULONG count = 1;
        std::memcpy(in, &count, 4);
        std::memcpy(in + 4, &type, sizeof type);
        ASSERT_EQ(Control(IOCTL_ZARFS_REGISTER_FILE_TYPES, in, sizeof in, nullptr, 0), STATUS_SUCCESS);
    }

    static NTSTATUS SetDisposition(HANDLE file, bool remove)
    {
        FILE_DISPOSITION_INFORMATION d{};
        d.DeleteFile = remove ? TRUE : FALSE;
        IO_STATUS_BLOCK iosb{};
        return NtSetInformationFile(file, &iosb, &d, sizeof d, FileDispositionInformation);
    }

    static std::vector<UCHAR> ReadAll(HANDLE file, size_t room)
    {
        std::vector<UCHAR> out(room);
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at{};
        NTSTATUS status = NtReadFile(file, nullptr, nullptr, nullptr, &iosb, out.data(), ULONG(out.size()), &at, nullptr);
        EXPECT_EQ(status, STATUS_SUCCESS);
        out.resize(NT_SUCCESS(status) ? iosb.Information : 0);
        return out;
    }
};

// Reads the whole clip again and again on a thread of its own until told
// to stop; counts reads that did not give 'expected'.
class Reader {
public:
    Reader(HANDLE file, std::vector<UCHAR> expected) : file_(file), expected_(std::move(expected))
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        EXPECT_NE(thread_, nullptr);
    }
    // Returns the number of reads that went wrong.
    int Stop()
    {
        stop_ = true;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        EXPECT_GT(reads_.load(), 0);
        return wrong_;
    }

private:
    static DWORD WINAPI Run(LPVOID context)
    {
        auto* r = static_cast<Reader*>(context);
        std::vector<UCHAR> buffer(r->expected_.size() + 4096);
        while (!r->stop_) {
            IO_STATUS_BLOCK iosb{};
            LARGE_INTEGER at{};
            NTSTATUS status = NtReadFile(r->file_, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                         ULONG(buffer.size()), &at, nullptr);
            if (!NT_SUCCESS(status) || iosb.Information != r->expected_.size() ||
                std::memcmp(buffer.data(), r->expected_.data(), r->expected_.size()) != 0)
                ++r->wrong_;
            ++r->reads_;
        }
        return 0;
    }
    HANDLE file_;
    std::vector<UCHAR> expected_;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> reads_{0};
    int wrong_ = 0;
};

TEST_F(OneFileTest, ARewriteOfTheEntryNeverPullsTheClipViewFromUnderAReader)
{
    WriteClip(u"take.kiv", 6);
    HANDLE reading, writing;
    ASSERT_EQ(Open(kTake, FILE_OPEN, 0, &reading), STATUS_SUCCESS);
    ASSERT_EQ(Open(kTake, FILE_OPEN, 0, &writing, nullptr, kWrite), STATUS_SUCCESS);
    const std::vector<UCHAR> clip = ReadAll(reading, 256 * 1024);
    ASSERT_GT(clip.size(), 4096u);

    // Each code rewrites the entry with what it already holds, so every
    // read must give the same bytes.
    ZARFS_SET_APP_FILE_ENTRY_INFO app{};
    std::memcpy(app.AppData, Entry(writing).AppData, sizeof app.AppData);
    struct Rewrite {
        const char* code;
        std::function<NTSTATUS()> send;
    } rewrites[] = {
        {"application data", [&] { return FileControl(IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, writing, &app); }},
        {"SDTI types", [&] {
             ZARFS_SET_SDTI_TYPE sdti{};
             return FileControl(IOCTL_ZARFS_SET_SDTI_TYPE, writing, &sdti);
         }},
    };
    for (Rewrite& r : rewrites) {
        SCOPED_TRACE(r.code);
        Reader reader(reading, clip);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(r.send(), STATUS_SUCCESS);
        EXPECT_EQ(reader.Stop(), 0);
    }

    // Reserving and settling an alpha part changes what the clip reads as;
    // every read still finishes on one whole view.
    Reader reader(reading, clip);
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(writing, 8, 1, ZARFS_ALLOCATE_ALPHA | ZARFS_ALLOCATE_625, &a), STATUS_SUCCESS);
    ZARFS_UPDATE_VIDEO_FILE u{};
    u.FrameCount = 6;
    u.Alpha = {1, 8, 1, 8, 8, 0};
    u.Parts = ZARFS_UPDATE_ALPHA;
    ASSERT_EQ(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, writing, &u), STATUS_SUCCESS);
    reader.Stop();
    EXPECT_EQ(ReadAll(reading, 256 * 1024).size(), clip.size() + 72 + 9 * kBlock) << "the view follows the entry";
    NtClose(reading);
    NtClose(writing);
    ExpectAllocatorSound();
}

// The optimiser moves a clip that another folder shows too: a reader there
// keeps reading the same bytes, from the new places, and that folder's
// handle writes the entry where it now lies.
TEST_F(OneFileTest, EveryFolderOfAFileFollowsItsPiecesWhenTheyMove)
{
    WriteClip(u"take.kiv", 6);
    CloseHandle(control_);
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);  // discovery claims the clip's runs
    control_ = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    RegisterType(0);
    HANDLE reading, moving;
    ASSERT_EQ(Open(u"\\TGA\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &reading, nullptr, kWrite), STATUS_SUCCESS);
    ASSERT_EQ(Open(kTake, FILE_OPEN, 0, &moving, nullptr, kWrite, 0), STATUS_SUCCESS);
    const std::vector<UCHAR> clip = ReadAll(reading, 256 * 1024);
    ASSERT_GT(clip.size(), 4096u);
    ZAR_FILE_LOCATION before{};
    ASSERT_EQ(FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, moving, &before), STATUS_SUCCESS);

    ULONG dataTarget = 0, entryTarget = 0, tableTarget = 0;
    ASSERT_TRUE(ZarFsVolAllocAllocateLowerSpace(Alloc(), before.VideoDataBlocks, &dataTarget));
    ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(Alloc(), 2, &entryTarget), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(Alloc(), before.VideoTableBlocks, &tableTarget), STATUS_SUCCESS);
    ZarFsVolAllocReleaseSpace(Alloc(), dataTarget, before.VideoDataBlocks);
    ZarFsVolAllocReleaseSpace(Alloc(), entryTarget, 2);
    ZarFsVolAllocReleaseSpace(Alloc(), tableTarget, before.VideoTableBlocks);
    ULONG progress = 0;
    ZARFS_MOVE_FILE_SEGMENTS move{};
    move.ProgressAddress = ULONG(reinterpret_cast<ULONG_PTR>(&progress));
    move.Target[0] = entryTarget;
    move.Target[1] = dataTarget;
    move.Target[2] = tableTarget;
    {
        Reader reader(reading, clip);
        ASSERT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, moving, &move), STATUS_SUCCESS);
        EXPECT_EQ(reader.Stop(), 0);
    }
    for (ULONG piece = 0; piece < 3; ++piece) EXPECT_EQ(move.Result[piece], ZARFS_MOVE_OK) << piece;

    // The old places hold nothing of the clip any more; it reads the same.
    std::vector<UCHAR> zeros(size_t(before.VideoDataBlocks) * kBlock, 0);
    for (int drive : {0, 1}) WriteImageBlocks(drive, before.VideoDataFirst, zeros.data(), zeros.size());
    WriteImageBlocks(0, before.VideoTableFirst, zeros.data(), size_t(before.VideoTableBlocks) * kBlock);
    EXPECT_EQ(ReadAll(reading, 256 * 1024), clip);

    // A new file may take the entry's old blocks; the other folder's handle
    // still writes the clip's own entry.
    HANDLE next;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\next.kiv", FILE_CREATE, FILE_NON_DIRECTORY_FILE, &next, nullptr,
                   kWrite),
              STATUS_SUCCESS);
    ZARFS_SET_APP_FILE_ENTRY_INFO app{};
    std::memset(app.AppData, 0x5A, sizeof app.AppData);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, reading, &app), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(Entry(moving).AppData, app.AppData, sizeof app.AppData), 0);
    ZAR_FILE_INFO nextEntry = Entry(next);
    EXPECT_TRUE(ZarFsHwNameEquals(nextEntry.Name, u"next.kiv", 8));
    EXPECT_NE(nextEntry.AppData[0], 0x5A);
    NtClose(next);
    NtClose(moving);
    NtClose(reading);
    ExpectAllocatorSound();
}

TEST_F(OneFileTest, AMediaFileIsDeletedOnlyThroughItsNativeTypeAndItsReservationGoesBackOnce)
{
    CloseHandle(CreateFileA("P:\\KIV\\Media\\Clips\\new.kiv", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    const ULONGLONG free0 = AllocFree();
    const ULONGLONG total = ZarFsVolAllocGetTotalBlocks(Alloc());

    // Through a type that shows it as a directory of frames it is a view.
    RegisterType(ZARFS_PRESENT_FRAMES);
    HANDLE reserving, frames;
    ASSERT_EQ(Open(kNew, FILE_OPEN, 0, &reserving, nullptr, kWrite), STATUS_SUCCESS);
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(reserving, 200, 2, 0, &a), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\TGA\\Media\\Clips\\new.kiv", FILE_OPEN, 0, &frames, nullptr, kWrite), STATUS_SUCCESS);
    EXPECT_EQ(SetDisposition(frames, true), STATUS_CANNOT_DELETE);
    NtClose(frames);
    NtClose(reserving);
    EXPECT_EQ(AllocFree(), free0);

    // A type that shows it as a file may delete it; the reservation another
    // handle holds went with the entry and is not given back again.
    ASSERT_EQ(Control(IOCTL_ZARFS_UNREGISTER_FILE_TYPES, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    RegisterType(0);
    HANDLE other;
    ASSERT_EQ(Open(kNew, FILE_OPEN, 0, &reserving, nullptr, kWrite), STATUS_SUCCESS);
    ASSERT_EQ(Allocate(reserving, 200, 2, 0, &a), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\TGA\\Media\\Clips\\new.kiv", FILE_OPEN, 0, &other, nullptr, kWrite), STATUS_SUCCESS);
    ASSERT_EQ(SetDisposition(other, true), STATUS_SUCCESS);
    NtClose(other);
    EXPECT_EQ(AllocFree(), free0 + 2) << "the entry's own blocks went too";
    ZARFS_SET_APP_FILE_ENTRY_INFO app{};
    EXPECT_EQ(FileControl(IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, reserving, &app), STATUS_DELETE_PENDING);
    ZAR_FILE_INFO gone{};
    ULONG handle = ULONG(reinterpret_cast<ULONG_PTR>(reserving));
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &handle, 4, &gone, sizeof gone), STATUS_DELETE_PENDING);
    // What the handle holds it may still give back.
    ZARFS_BODY_TABLE_DEREFERENCE deref{handle, 0};
    EXPECT_EQ(Control(IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, &deref, sizeof deref, nullptr, 0), STATUS_SUCCESS);
    NtClose(reserving);
    EXPECT_EQ(AllocFree(), free0 + 2);
    EXPECT_LE(AllocFree(), total);
    ExpectAllocatorSound();

    // Space is had again where it was, and the drive starts up as it was left.
    CloseHandle(CreateFileA("P:\\KIV\\Media\\Clips\\next.kiv", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(AllocFree(), free0);
    ExpectAllocatorSound();
}

TEST_F(OneFileTest, AReservationFollowsItsPiecesWhenTheyMove)
{
    HANDLE file;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, nullptr, kWrite, 0), STATUS_SUCCESS);
    const ULONGLONG free0 = AllocFree();
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(file, 100, 2, 0, &a), STATUS_SUCCESS);
    ASSERT_EQ(Allocate(file, 50, 1, ZARFS_ALLOCATE_ALPHA, &a), STATUS_SUCCESS);

    // Free places above everything reserved so far, one for each piece.
    ULONG targets[ZARFS_MOVE_PIECES] = {};
    ULONG lengths[ZARFS_MOVE_PIECES] = {0, 100, 2, 50, 1};
    ULONG probe = 0;
    ASSERT_TRUE(ZarFsVolAllocAllocateLowerSpace(Alloc(), 1000, &probe));
    targets[1] = probe + 300;
    targets[3] = probe + 600;
    ZarFsVolAllocReleaseSpace(Alloc(), probe, 1000);
    for (ULONG piece : {2u, 4u}) {
        ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(Alloc(), 8, &probe), STATUS_SUCCESS);
        targets[piece] = probe;
    }
    for (ULONG piece : {2u, 4u}) ZarFsVolAllocReleaseSpace(Alloc(), targets[piece], 8);

    ULONG progress = 0;
    ZARFS_MOVE_FILE_SEGMENTS move{};
    move.ProgressAddress = ULONG(reinterpret_cast<ULONG_PTR>(&progress));
    std::memcpy(move.Target, targets, sizeof targets);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, file, &move), STATUS_SUCCESS);
    for (ULONG piece = 1; piece < ZARFS_MOVE_PIECES; ++piece) EXPECT_EQ(move.Result[piece], ZARFS_MOVE_OK) << piece;
    EXPECT_EQ(AllocFree(), free0 - 153);
    ExpectAllocatorSound();

    // Closed without settling: the new runs go back, and only they.
    NtClose(file);
    EXPECT_EQ(AllocFree(), free0);
    ExpectAllocatorSound();
    for (ULONG piece = 1; piece < ZARFS_MOVE_PIECES; ++piece) {
        SCOPED_TRACE(piece);
        NTSTATUS taken = targets[piece] >= Alloc()->Boundary
                             ? ZarFsVolAllocAllocateSpecificUpperSpace(Alloc(), targets[piece], lengths[piece])
                             : ZarFsVolAllocAllocateSpecificLowerSpace(Alloc(), targets[piece], lengths[piece]);
        EXPECT_EQ(taken, STATUS_SUCCESS) << "the moved run is free again";
        ZarFsVolAllocReleaseSpace(Alloc(), targets[piece], lengths[piece]);
    }
    ExpectAllocatorSound();
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(AllocFree(), free0);
}

TEST_F(OneFileTest, AFailedEntryWriteKeepsTheSpaceClaimed)
{
    HANDLE file;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, nullptr, kWrite), STATUS_SUCCESS);
    const ULONGLONG free0 = AllocFree();
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(file, 100, 2, 0, &a), STATUS_SUCCESS);
    ZAR_FILE_LOCATION where{};
    ASSERT_EQ(FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, file, &where), STATUS_SUCCESS);
    Card()->ScsiPrefs.RetryCount = 0;
    Hw()->ScsiPrefs.RetryCount = 0;

    // An update whose entry cannot be written gives nothing back.
    Disk(0)->Faults().badBlock = where.EntryBlock;
    ZARFS_UPDATE_VIDEO_FILE u{};
    u.FrameCount = 2;
    u.Video = {2, 100, 1, 40, 40, 0};
    u.Parts = ZARFS_UPDATE_VIDEO;
    EXPECT_NE(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &u), STATUS_SUCCESS);
    EXPECT_EQ(AllocFree(), free0 - 102);

    // Nor does the last cleanup: the disk still names the space.
    NtClose(file);
    EXPECT_EQ(AllocFree(), free0 - 102);
    HANDLE next;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\next.kiv", FILE_CREATE, FILE_NON_DIRECTORY_FILE, &next, nullptr, kWrite),
              STATUS_SUCCESS);
    ZARFS_ALLOCATE_VIDEO_SPACE b;
    ASSERT_EQ(Allocate(next, 100, 2, 0, &b), STATUS_SUCCESS);
    EXPECT_TRUE(b.DataFirstOut >= a.DataFirstOut + 100 || b.DataFirstOut + 100 <= a.DataFirstOut)
        << "another clip was given the reserved blocks";
    NtClose(next);
    ExpectAllocatorSound();

    // With the drive well again the next start-up finds the volume whole.
    Disk(0)->Faults().badBlock = -1;
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    ASSERT_EQ(Volumes().size(), 1u);
    EXPECT_TRUE(ZarFsHwVolumeUsable(MediaVolume()));
    ExpectAllocatorSound();
}

}  // namespace

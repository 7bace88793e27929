// The control codes on one media file, from user mode: reserving and
// settling its space, what a handle leaves behind when it goes with space
// unsettled, the entry's fields, its body tables by name, and moving its
// pieces while it still reads the same.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/drivers/mediafs/mediafs_control.h"

namespace {

class FileCodesTest : public ControlDrive {
protected:
    static constexpr const char16_t* kNew = u"\\KIV\\Media\\Clips\\new.kiv";
    static constexpr ACCESS_MASK kWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

    ULONGLONG AllocFree() { return ZarFsVolAllocGetFreeBlocks(&MediaVolume()->Alloc); }

    NTSTATUS Allocate(HANDLE file, ULONG data, ULONG table, ULONG flags, ZARFS_ALLOCATE_VIDEO_SPACE* out,
                      ULONG_PTR* information = nullptr)
    {
        *out = {};
        out->DataBlocks = data;
        out->TableBlocks = table;
        out->Flags = flags;
        return FileControl(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, file, out, information);
    }

    static ZARFS_UPDATE_VIDEO_FILE VideoUpdate(ULONG frames, ULONG tableReserved, ULONG dataReserved, ULONG tableUsed,
                                               ULONG dataUsed)
    {
        ZARFS_UPDATE_VIDEO_FILE u{};
        u.FrameCount = frames;
        u.Video = {tableReserved, dataReserved, tableUsed, dataUsed, dataUsed, 7};
        u.Parts = ZARFS_UPDATE_VIDEO;
        return u;
    }

    static std::u16string Wide(const WCHAR* text) { return std::u16string(text); }
};

TEST_F(FileCodesTest, AllocateReservesAndUpdateSettles)
{
    HANDLE file;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, nullptr, kWrite), STATUS_SUCCESS);
    const ULONGLONG free0 = AllocFree();

    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ULONG_PTR information = 0;
    ASSERT_EQ(Allocate(file, 100, 2, ZARFS_ALLOCATE_625 | ZARFS_ALLOCATE_SDTI, &a, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof a);
    EXPECT_EQ(a.Result, 0);
    EXPECT_EQ(a.DataBlocksOut, 100u);
    EXPECT_EQ(a.TableBlocksOut, 2u);
    EXPECT_GT(a.TableFirstOut, a.DataFirstOut);  // data from below, tables from above
    EXPECT_EQ(Wide(a.Volume.Name), u"Media");
    EXPECT_EQ(a.Volume.DriveCount, 2u);
    EXPECT_EQ(AllocFree(), free0 - 102);
    ZAR_FILE_INFO e = Entry(file);
    EXPECT_EQ(e.MediaKind, ZARFS_MEDIA_FRAMES);
    EXPECT_EQ(e.VideoStandard, 625u);
    EXPECT_EQ(e.VideoFirstBlock, a.DataFirstOut);
    EXPECT_EQ(e.VideoBlocksPerDrive, 100u);
    EXPECT_EQ(e.VideoBodyTableFirst, a.TableFirstOut);
    EXPECT_EQ(e.VideoBodyTableBlocks, 2u);
    EXPECT_EQ(e.Flags, ZARFS_FILE_VIDEO_RESERVED | ZARFS_FILE_VIDEO_SDTI);

    // A part is reserved once; more than the volume holds is a result, not a failure.
    ZARFS_ALLOCATE_VIDEO_SPACE again;
    EXPECT_EQ(Allocate(file, 10, 1, 0, &again), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Allocate(file, ULONG(kDriveBlocks), 1, ZARFS_ALLOCATE_ALPHA, &again, &information), STATUS_SUCCESS);
    EXPECT_EQ(again.Result, ZARFS_ALLOCATE_E_NO_SPACE);
    EXPECT_EQ(information, sizeof again);
    ZAR_FILE_INFO unchanged = Entry(file);
    EXPECT_EQ(std::memcmp(&unchanged, &e, sizeof e), 0);
    EXPECT_EQ(AllocFree(), free0 - 102);

    // Updates that would cut outside the entry's own runs, or settle a part
    // that was never reserved, change nothing.
    struct BadUpdate {
        const char* what;
        ZARFS_UPDATE_VIDEO_FILE update;
    } bad[] = {
        {"more data used than reserved", VideoUpdate(3, 2, 100, 1, 101)},
        {"more table used than reserved", VideoUpdate(3, 2, 100, 3, 40)},
        {"alpha never reserved", [] {
             ZARFS_UPDATE_VIDEO_FILE u = VideoUpdate(3, 2, 100, 1, 40);
             u.Parts = ZARFS_UPDATE_ALPHA;
             return u;
         }()},
    };
    for (BadUpdate& b : bad) {
        SCOPED_TRACE(b.what);
        EXPECT_EQ(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &b.update), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(AllocFree(), free0 - 102);
    }

    // The reserved counts the caller claims do not matter: the entry's runs are cut.
    ZARFS_UPDATE_VIDEO_FILE u = VideoUpdate(3, 50, 5000, 1, 40);
    u.Result = 99;
    ASSERT_EQ(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &u, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof u);
    EXPECT_EQ(u.Result, 0u);
    EXPECT_EQ(AllocFree(), free0 - 41);
    e = Entry(file);
    EXPECT_EQ(e.VideoBlocksPerDrive, 40u);
    EXPECT_EQ(e.VideoBodyTableBlocks, 1u);
    EXPECT_EQ(e.VideoStreamValue[0], 40u);
    EXPECT_EQ(e.VideoStreamValue[1], 7u);
    EXPECT_EQ(e.FrameCount, 3u);
    EXPECT_EQ(e.Flags, ZARFS_FILE_VIDEO_SDTI);
    EXPECT_EQ(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &u), STATUS_INVALID_PARAMETER);  // settled already

    // Settled space stays with the file when its handle goes.
    NtClose(file);
    EXPECT_EQ(AllocFree(), free0 - 41);
}

TEST_F(FileCodesTest, UnsettledSpaceGoesBackWithTheLastHandle)
{
    HANDLE file;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, nullptr, kWrite), STATUS_SUCCESS);
    const ULONGLONG free0 = AllocFree();
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(file, 100, 2, 0, &a), STATUS_SUCCESS);
    HANDLE reader;
    ASSERT_EQ(Open(kNew, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
    NtClose(file);
    EXPECT_EQ(AllocFree(), free0 - 102) << "another handle is still open";
    NtClose(reader);  // the last handle, though only a reader
    EXPECT_EQ(AllocFree(), free0);
    // The entry no longer names the blocks it gave back.
    ASSERT_EQ(Open(kNew, FILE_OPEN, 0, &file), STATUS_SUCCESS);
    ZAR_FILE_INFO e = Entry(file);
    EXPECT_EQ(e.VideoFirstBlock, 0u);
    EXPECT_EQ(e.VideoBlocksPerDrive, 0u);
    EXPECT_EQ(e.VideoBodyTableBlocks, 0u);
    EXPECT_EQ(e.Flags & ZARFS_FILE_VIDEO_RESERVED, 0u);
    EXPECT_EQ(e.MediaKind, ZARFS_MEDIA_NONE);
    NtClose(file);

    // Used = reserved gives nothing back; a frame count of 0 leaves the file empty.
    ASSERT_EQ(Open(kNew, FILE_OPEN, 0, &file, nullptr, kWrite), STATUS_SUCCESS);
    ASSERT_EQ(Allocate(file, 100, 2, 0, &a), STATUS_SUCCESS);
    ZARFS_UPDATE_VIDEO_FILE u = VideoUpdate(0, 2, 100, 2, 100);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_UPDATE_VIDEO_FILE, file, &u), STATUS_SUCCESS);
    EXPECT_EQ(AllocFree(), free0 - 102);
    EXPECT_EQ(Entry(file).MediaKind, ZARFS_MEDIA_NONE);
    NtClose(file);
    EXPECT_EQ(AllocFree(), free0 - 102);
}

TEST_F(FileCodesTest, EntryFieldsByHandle)
{
    WriteClip(u"take.kiv", 2);
    HANDLE clip;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &clip, nullptr, kWrite), STATUS_SUCCESS);

    // Fields of an absent part keep what the caller sent.
    ZARFS_GET_FILE_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_GET_FILE_INFO, clip, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.MediaKind, ZARFS_MEDIA_FRAMES);
    EXPECT_EQ(info.VideoStandard, 625u);
    EXPECT_EQ(info.VideoDataFirst, kVideoFirst);
    EXPECT_EQ(info.VideoTableFirst, kTableFirst);
    EXPECT_EQ(info.VideoTableBlocks, 1u);
    EXPECT_EQ(info.FrameCount, 2u);
    EXPECT_EQ(info.Flags, 0u);
    EXPECT_EQ(info.Result, 0u);
    EXPECT_EQ(Wide(info.Volume.Name), u"Media");
    EXPECT_EQ(info.Unused28, 0xEEEEEEEEu);
    EXPECT_EQ(info.AlphaDataFirst, 0xEEEEEEEEu);
    EXPECT_EQ(info.AlphaValueB, 0xEEEEEEEEu);

    ZAR_FILE_LOCATION where;
    std::memset(&where, 0xEE, sizeof where);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, clip, &where), STATUS_SUCCESS);
    EXPECT_NE(where.EntryBlock, 0u);
    EXPECT_EQ(where.EntryBlocks, 2u);
    EXPECT_EQ(where.VideoDataFirst, kVideoFirst);
    EXPECT_EQ(where.VideoTableFirst, kTableFirst);
    EXPECT_EQ(where.AlphaDataFirst, 0u);
    EXPECT_EQ(where.AlphaTableBlocks, 0u);

    ZARFS_SET_APP_FILE_ENTRY_INFO app;
    for (int i = 0; i < 256; ++i) app.AppData[i] = UCHAR(i);
    ASSERT_EQ(FileControl(IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, clip, &app), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(Entry(clip).AppData, app.AppData, 256), 0);
    // On the disk too, not only in the caches: the volumes are read again,
    // with the file closed, as the caches may go only with no file open.
    NtClose(clip);
    ZarFsHwFlushVolumeCache(Hw());
    ASSERT_EQ(ZarFsHwRebuildVolumeCache(Hw()), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &clip, nullptr, kWrite), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(Entry(clip).AppData, app.AppData, 256), 0);

    // SDTI types stick only to a part reserved as SDTI; 0 always clears.
    HANDLE sdti;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &sdti, nullptr, kWrite), STATUS_SUCCESS);
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(sdti, 10, 1, ZARFS_ALLOCATE_SDTI, &a), STATUS_SUCCESS);
    ASSERT_EQ(Allocate(sdti, 10, 1, ZARFS_ALLOCATE_ALPHA, &a), STATUS_SUCCESS);
    struct Case {
        HANDLE file;
        ULONG video, alpha;
        ULONG wantVideo, wantAlpha;
    } cases[] = {
        {clip, 5, 6, 0, 0},     // neither part is SDTI; no alpha part at all
        {sdti, 7, 9, 7, 0},     // video is SDTI, alpha is not
        {sdti, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ZARFS_SET_SDTI_TYPE set{0, c.video, c.alpha};
        set.Handle = ULONG(reinterpret_cast<ULONG_PTR>(c.file));
        ASSERT_EQ(Control(IOCTL_ZARFS_SET_SDTI_TYPE, &set, sizeof set, nullptr, 0), STATUS_SUCCESS);
        ZAR_FILE_INFO e = Entry(c.file);
        EXPECT_EQ(e.VideoSdtiType, c.wantVideo) << c.video;
        EXPECT_EQ(e.AlphaSdtiType, c.wantAlpha) << c.alpha;
    }
    NtClose(sdti);
    NtClose(clip);
}

TEST_F(FileCodesTest, BodyTablesAreSectionsNamedAfterTheFile)
{
    WriteClip(u"take.kiv", 2);
    HANDLE clip;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &clip, nullptr, kWrite), STATUS_SUCCESS);
    ZARFS_BT_HANDLER* tables = &Card()->BodyTables;
    ZARFS_BODY_TABLE_REFERENCE ref{};
    ref.Handle = ULONG(reinterpret_cast<ULONG_PTR>(clip));
    WCHAR name[128] = {};
    ASSERT_EQ(Control(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &ref, sizeof ref, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(Wide(name), u"P:/KIV/MEDIA/CLIPS/TAKE.KIV");
    EXPECT_EQ(tables->ReferencedCount, 1u);
    // Asking twice on one handle counts one writer.
    ASSERT_EQ(Control(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &ref, sizeof ref, name, sizeof name), STATUS_SUCCESS);
    auto* object = CONTAINING_RECORD(tables->Referenced.Flink, ZARFS_BT_OBJECT, Link);
    EXPECT_EQ(object->WriteAccessCount, 1u);
    EXPECT_EQ(Control(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &ref, sizeof ref, name, 8), STATUS_BUFFER_TOO_SMALL);
    ref.Table = 1;  // the clip has no alpha table
    EXPECT_EQ(Control(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &ref, sizeof ref, name, sizeof name), STATUS_UNSUCCESSFUL);
    ZARFS_BODY_TABLE_DEREFERENCE deref{ref.Handle, 0};
    ASSERT_EQ(Control(IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, &deref, sizeof deref, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(object->WriteAccessCount, 0u);
    // The reference lasts as long as the file is open.
    NtClose(clip);
    EXPECT_EQ(tables->ReferencedCount, 0u);
    EXPECT_EQ(tables->UnreferencedCount, 1u);

    // A new file: the object is made by create and grows by the runs allocation gave.
    HANDLE file;
    ASSERT_EQ(Open(kNew, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &file, nullptr, kWrite), STATUS_SUCCESS);
    ZARFS_BODY_TABLE_ADD_NODES add{};
    add.Handle = ULONG(reinterpret_cast<ULONG_PTR>(file));
    std::memset(name, 0x55, sizeof name);
    ASSERT_EQ(Control(IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, &add, sizeof add, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(name[0], 0x5555) << "no object yet: nothing to name";
    ZARFS_ALLOCATE_VIDEO_SPACE a;
    ASSERT_EQ(Allocate(file, 40, 1, 0, &a), STATUS_SUCCESS);
    ZARFS_BODY_TABLE_REFERENCE create{};
    create.Handle = add.Handle;
    create.FrameCount = 4;
    ASSERT_EQ(Control(IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, &create, sizeof create, nullptr, 0), STATUS_SUCCESS);
    add.TableFirst = a.TableFirstOut;
    add.TableBlocks = a.TableBlocksOut;
    ASSERT_EQ(Control(IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, &add, sizeof add, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(Wide(name), u"P:/KIV/MEDIA/CLIPS/NEW.KIV");
    ASSERT_EQ(Control(IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, &add, sizeof add, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(Wide(name), u"P:/KIV/MEDIA/CLIPS/NEW.KIV_A");
    EXPECT_EQ(tables->ReferencedCount, 1u);
    NtClose(file);
    EXPECT_EQ(tables->ReferencedCount, 0u);
}

TEST_F(FileCodesTest, MovingPiecesKeepsTheClipReadingTheSame)
{
    WriteClip(u"take.kiv", 2);
    CloseHandle(control_);
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);  // discovery claims the clip's runs
    control_ = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    auto read = [] {
        std::vector<UCHAR> out(64 * 1024);
        HANDLE h = CreateFileA("P:\\KIV\\Media\\Clips\\take.kiv", GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, out.data(), DWORD(out.size()), &got, nullptr));
        out.resize(got);
        CloseHandle(h);
        return out;
    };
    const std::vector<UCHAR> before = read();
    ASSERT_GT(before.size(), 1000u);

    // Free places to move to: the lowest free data run, a free upper place.
    ZARFS_ALLOC_OBJECT* alloc = &MediaVolume()->Alloc;
    const ULONGLONG free0 = AllocFree();
    ULONG dataTarget = 0, entryTarget = 0, tableTarget = 0;
    ASSERT_TRUE(ZarFsVolAllocAllocateLowerSpace(alloc, 64, &dataTarget));
    ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(alloc, 2, &entryTarget), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(alloc, 1, &tableTarget), STATUS_SUCCESS);
    ZarFsVolAllocReleaseSpace(alloc, dataTarget, 64);
    ZarFsVolAllocReleaseSpace(alloc, entryTarget, 2);
    ZarFsVolAllocReleaseSpace(alloc, tableTarget, 1);

    HANDLE shared, file;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &shared, nullptr, kWrite), STATUS_SUCCESS);
    ULONG progress = 0;
    ZARFS_MOVE_FILE_SEGMENTS move{};
    move.ProgressAddress = ULONG(reinterpret_cast<ULONG_PTR>(&progress));
    EXPECT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, shared, &move), STATUS_ACCESS_DENIED) << "shared handle";
    NtClose(shared);
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &file, nullptr, kWrite, 0), STATUS_SUCCESS);
    move.ProgressAddress = 0x10;
    EXPECT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, file, &move), STATUS_ACCESS_DENIED) << "no progress word";

    ULONG_PTR information = 0;
    move.ProgressAddress = ULONG(reinterpret_cast<ULONG_PTR>(&progress));
    ASSERT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, file, &move, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof move);
    for (LONG r : move.Result) EXPECT_EQ(r, ZARFS_MOVE_OK);
    // The handle's body-table object must follow the move, or what it
    // flushes later would never reach the table's new place.
    ZARFS_BODY_TABLE_REFERENCE ref{};
    ref.Handle = ULONG(reinterpret_cast<ULONG_PTR>(file));
    WCHAR tableName[128] = {};
    ASSERT_EQ(Control(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &ref, sizeof ref, tableName, sizeof tableName),
              STATUS_SUCCESS);
    ZARFS_BT_HANDLER* tables = &Card()->BodyTables;
    auto* object = CONTAINING_RECORD(tables->Referenced.Flink, ZARFS_BT_OBJECT, Link);

    move.Target[0] = entryTarget;
    move.Target[1] = dataTarget;
    move.Target[2] = tableTarget;
    move.Target[3] = 5;  // the clip has no alpha part
    ASSERT_EQ(FileControl(IOCTL_ZARFS_MOVE_FILE_SEGMENTS, file, &move, &information), STATUS_SUCCESS);
    EXPECT_EQ(move.Result[0], ZARFS_MOVE_OK);
    EXPECT_EQ(move.Result[1], ZARFS_MOVE_OK);
    EXPECT_EQ(move.Result[2], ZARFS_MOVE_OK);
    EXPECT_EQ(move.Result[3], ZARFS_MOVE_E_NO_PART);
    EXPECT_EQ(move.Result[4], ZARFS_MOVE_OK);
    EXPECT_EQ(progress, 100u);
    ZAR_FILE_LOCATION where{};
    ASSERT_EQ(FileControl(IOCTL_ZARFS_GET_FILE_LOCATION_INFO, file, &where), STATUS_SUCCESS);
    EXPECT_EQ(where.EntryBlock, entryTarget);
    EXPECT_EQ(where.VideoDataFirst, dataTarget);
    EXPECT_EQ(where.VideoTableFirst, tableTarget);
    EXPECT_EQ(object->EntryBlock, entryTarget);
    EXPECT_EQ(object->VideoTableFirst, tableTarget);
    EXPECT_EQ(AllocFree(), free0) << "the old runs are free again";
    NtClose(file);

    EXPECT_EQ(read(), before);
    // The folder points at the moved entry on the disk as well.
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(read(), before);
    EXPECT_EQ(AllocFree(), free0);
}

}  // namespace

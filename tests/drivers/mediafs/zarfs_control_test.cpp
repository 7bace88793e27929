// The control device's codes from user mode: the length table with its
// refusals and Information values, preferences with a drive-letter move,
// disk-access preferences, a media file's entry and its volume's space by
// handle, and the volume lock that belongs to one handle.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tests/drivers/mediafs/mediafs_control.h"

namespace {

using ControlTest = ControlDrive;

TEST_F(ControlTest, TheTableNamesEachCodeAndItsRecords)
{
    // Each code's least lengths are its records' sizes, and its method the
    // one its code carries.
    struct Row {
        ULONG code, in, out, method;
    } const rows[] = {
        {IOCTL_ZARFS_DISMOUNT_VOLUME, 4, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_FORMAT_VOLUME, 584, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_QUERY_VOLUME_INFO, 4, 4, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, 620, 620, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_UPDATE_VIDEO_FILE, 64, 64, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_GET_FILE_INFO, 664, 664, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_REGISTER_FILE_TYPES, 48, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_UNREGISTER_FILE_TYPES, 0, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SEND_SERVICE_REQUEST, 0, 1568, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SEND_SERVICE_RESPONSE, 56, 0, ZARFS_METHOD_OUT_DIRECT},
        {IOCTL_ZARFS_GET_PREFERENCES, 0, 41, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SET_PREFERENCES, 41, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_GET_FILE_ENTRY, 4, 1024, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, 260, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, 36, 36, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_REFERENCE_BODY_TABLE, 12, 0, ZARFS_METHOD_OUT_DIRECT},
        {IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, 8, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, 12, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, 16, 0, ZARFS_METHOD_OUT_DIRECT},
        {IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, 16, 0, ZARFS_METHOD_OUT_DIRECT},
        {IOCTL_ZARFS_GET_FILE_LOCATION_INFO, 44, 44, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_MOVE_FILE_SEGMENTS, 56, 56, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND, 0, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME, 0, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_GET_SCSI_PREFS, 0, 8, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SET_SCSI_PREFS, 8, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_SET_SDTI_TYPE, 12, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_REGISTER_SDTI_FLAGS, 4, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_LOCK_FILE_SYSTEM, 4, 0, ZARFS_METHOD_BUFFERED},
        {IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, 0, 0, ZARFS_METHOD_BUFFERED},
    };
    ASSERT_EQ(std::size(rows), ZarFsIoctlCount);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const ZARFS_IOCTL_ENTRY& e = ZarFsIoctlTable[i];
        SCOPED_TRACE(e.Name);
        EXPECT_EQ(e.Code, rows[i].code);
        EXPECT_EQ(e.InputLength, rows[i].in);
        EXPECT_EQ(e.OutputLength, rows[i].out);
        EXPECT_EQ(e.Method, rows[i].method);
        EXPECT_EQ(ZarFsFindIoctl(e.Code), &e);
    }
    EXPECT_EQ(ZarFsFindIoctl(0x222078), nullptr);
    EXPECT_EQ(ZarFsFindIoctl(0x22200E), nullptr);
}

TEST_F(ControlTest, LengthTable)
{
    // Every code of the table, at its least lengths from the table: one
    // byte short of either is refused, and the call at those lengths gives
    // its status and returns the table's output length (nothing on an
    // error). What a code needs beyond that: its status where it is not
    // success, 'words' to fill its record after the handle, 'give' for the
    // output length where it needs more than its least to do its work, and
    // 'pends' for a code that stays pending (no success call).
    struct Case {
        ULONG code;
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<ULONG> words = {};
        ULONG give = 0;
        bool pends = false;
    };
    ULONG progress = 0;
    const ULONG progressAddress = ULONG(reinterpret_cast<ULONG_PTR>(&progress));
    const Case cases[] = {
        {IOCTL_ZARFS_DISMOUNT_VOLUME, STATUS_UNSUCCESSFUL},  // the clip is open
        {IOCTL_ZARFS_FORMAT_VOLUME, NTSTATUS(ZARFS_FORMAT_E_DRIVE_COUNT)},
        {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, STATUS_SUCCESS, {1, 10, ZARFS_ALLOCATE_ALPHA}},
        {IOCTL_ZARFS_UPDATE_VIDEO_FILE, STATUS_SUCCESS, {2, 0, 0, 0, 0, 0, 0, 1, 10, 1, 10, 0, 0, ZARFS_UPDATE_ALPHA}},
        {IOCTL_ZARFS_SEND_SERVICE_REQUEST, STATUS_SUCCESS, {}, 0, true},
        {IOCTL_ZARFS_SEND_SERVICE_RESPONSE, STATUS_SUCCESS, {}, 0, true},
        {IOCTL_ZARFS_REFERENCE_BODY_TABLE, STATUS_SUCCESS, {}, 512},
        {IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, STATUS_SUCCESS, {2}},
        {IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, STATUS_SUCCESS, {kTableFirst, 1}, 512},
        {IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, STATUS_SUCCESS, {kTableFirst + 1, 1}, 512},
        {IOCTL_ZARFS_MOVE_FILE_SEGMENTS, STATUS_SUCCESS, {0, 0, 0, 0, 0, progressAddress}},
        {IOCTL_ZARFS_LOCK_FILE_SYSTEM, STATUS_ACCESS_DENIED},  // the clip is open
    };
    auto caseOf = [&](ULONG code) {
        for (const Case& c : cases)
            if (c.code == code) return c;
        return Case{code};
    };
    // Codes whose record begins with a file's handle.
    const ULONG kPerFile[] = {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, IOCTL_ZARFS_UPDATE_VIDEO_FILE,
                              IOCTL_ZARFS_GET_FILE_INFO, IOCTL_ZARFS_GET_FILE_ENTRY,
                              IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, IOCTL_ZARFS_GET_VOLUME_SPACE_INFO,
                              IOCTL_ZARFS_REFERENCE_BODY_TABLE, IOCTL_ZARFS_DEREFERENCE_BODY_TABLE,
                              IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE,
                              IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, IOCTL_ZARFS_GET_FILE_LOCATION_INFO,
                              IOCTL_ZARFS_MOVE_FILE_SEGMENTS, IOCTL_ZARFS_SET_SDTI_TYPE};
    WriteClip(u"take.kiv", 2);
    HANDLE file;
    // No sharing: the optimiser's move wants the file to itself.
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &file, nullptr,
                   GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0),
              STATUS_SUCCESS);
    std::vector<UCHAR> buffer(2048);
    for (const ZARFS_IOCTL_ENTRY& entry : ZarFsIoctlTable) {
        SCOPED_TRACE(entry.Name);
        const Case row = caseOf(entry.Code);
        const ULONG in = entry.InputLength, out = entry.OutputLength;
        auto fill = [&] {
            std::fill(buffer.begin(), buffer.end(), 0);
            ULONG h = ULONG(reinterpret_cast<ULONG_PTR>(file));
            if (std::find(std::begin(kPerFile), std::end(kPerFile), row.code) != std::end(kPerFile))
                std::memcpy(buffer.data(), &h, 4);
            std::memcpy(buffer.data() + 4, row.words.data(), row.words.size() * 4);
            if (row.code == IOCTL_ZARFS_SET_PREFERENCES || row.code == IOCTL_ZARFS_SET_SCSI_PREFS) {
                // What the driver holds, given back unchanged.
                ULONG get = row.code == IOCTL_ZARFS_SET_PREFERENCES ? IOCTL_ZARFS_GET_PREFERENCES : IOCTL_ZARFS_GET_SCSI_PREFS;
                ASSERT_EQ(Control(get, nullptr, 0, buffer.data(), 64), STATUS_SUCCESS);
            }
        };
        ULONG_PTR information = 99;
        if (in > 0) {
            fill();
            EXPECT_EQ(Control(row.code, buffer.data(), in - 1, buffer.data(), out, &information),
                      STATUS_BUFFER_TOO_SMALL);
        }
        if (out > 0) {
            fill();
            EXPECT_EQ(Control(row.code, buffer.data(), in, buffer.data(), out - 1, &information),
                      STATUS_BUFFER_TOO_SMALL);
        }
        if (row.pends) continue;
        fill();
        ULONG give = row.give != 0 ? row.give : out;
        EXPECT_EQ(Control(row.code, buffer.data(), in, buffer.data(), give, &information), row.status);
        EXPECT_EQ(information, NT_SUCCESS(row.status) ? out : 0);
    }
    EXPECT_EQ(Control(0x222078, nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
    // The media drive itself takes no control code.
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, buffer.data(), 41, nullptr, file),
              STATUS_INVALID_DEVICE_REQUEST);
    NtClose(file);
}

TEST_F(ControlTest, PreferencesMoveTheDriveLetter)
{
    ZAR_FILE_SYSTEM_PREFS prefs;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    EXPECT_EQ(prefs.MinFrameDigits, 4u);
    EXPECT_EQ(prefs.RAMFileMaxSize, 0x200000u);
    EXPECT_EQ(prefs.TotalRAMFiles, 10u);
    EXPECT_EQ(prefs.DriveLetter, 'P');

    // M: taken by another link: the drive moves on to N:.
    UNICODE_STRING taken = RTL_CONSTANT_STRING(u"\\DosDevices\\M:"), target = RTL_CONSTANT_STRING(u"\\Device\\ZarFsDevice0");
    ASSERT_EQ(IoCreateSymbolicLink(&taken, &target), STATUS_SUCCESS);
    prefs.DriveLetter = 'm';
    prefs.MinFrameDigits = 12;
    std::memset(prefs.Reserved, 0xAB, sizeof prefs.Reserved);
    ASSERT_EQ(Control(IOCTL_ZARFS_SET_PREFERENCES, &prefs, sizeof prefs, nullptr, 0), STATUS_SUCCESS);
    ZAR_FILE_SYSTEM_PREFS now;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &now, sizeof now), STATUS_SUCCESS);
    EXPECT_EQ(now.DriveLetter, 'N');
    EXPECT_EQ(now.MinFrameDigits, 10u);
    EXPECT_EQ(now.Reserved[7], 0xAB);
    EXPECT_EQ(List("N:\\KIV\\*"), (std::vector<Found>{{"Media", 0, true}}));
    EXPECT_TRUE(List("P:\\*").empty());
    IoDeleteSymbolicLink(&taken);

    // Written to the registry; a restart reads it back.
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    control_ = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(control_, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &now, sizeof now), STATUS_SUCCESS);
    EXPECT_EQ(now.DriveLetter, 'N');
    EXPECT_EQ(now.MinFrameDigits, 10u);
}

TEST_F(ControlTest, AnUnloadUnderAnOpenHandleWaitsForItsClose)
{
    ASSERT_EQ(nt::IoUnloadDriver(u"ZARFSKD"), STATUS_SUCCESS);
    // The driver still serves the handle it has, and takes no new one.
    ZAR_FILE_SYSTEM_PREFS prefs;
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_PREFERENCES, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    EXPECT_EQ(CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(LoadFs(), STATUS_OBJECT_NAME_COLLISION);
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Card(), nullptr);
    ASSERT_EQ(LoadFs(), STATUS_SUCCESS);
    EXPECT_NE(Card(), nullptr);
}

TEST_F(ControlTest, ScsiPreferencesReachTheRegistry)
{
    ZAR_SCSI_PREFS prefs;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_SCSI_PREFS, nullptr, 0, &prefs, sizeof prefs), STATUS_SUCCESS);
    EXPECT_EQ(prefs.RetryCount, 4u);
    EXPECT_EQ(prefs.VerifyWrite, 1u);
    prefs = {2, 0};
    ASSERT_EQ(Control(IOCTL_ZARFS_SET_SCSI_PREFS, &prefs, sizeof prefs, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Hw()->ScsiPrefs.RetryCount, 2u);
    EXPECT_EQ(Hw()->ScsiPrefs.VerifyWrite, 0u);
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    EXPECT_EQ(Hw()->ScsiPrefs.RetryCount, 2u);
    EXPECT_EQ(Hw()->ScsiPrefs.VerifyWrite, 0u);
}

TEST_F(ControlTest, FileEntryAndVolumeSpaceByHandle)
{
    WriteClip(u"take.kiv", 2);
    HANDLE file, folder, volume;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &file), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips", FILE_OPEN, 0, &folder), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"", FILE_OPEN, 0, &volume), STATUS_SUCCESS);
    struct {
        ULONG handle;
        UCHAR entry[1024 - 4];
    } in{};
    ZAR_FILE_INFO entry;
    in.handle = ULONG(reinterpret_cast<ULONG_PTR>(file));
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &in, 4, &entry, sizeof entry), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(entry.Magic, "FIL0", 4), 0);
    EXPECT_EQ(entry.FrameCount, 2u);
    in.handle = ULONG(reinterpret_cast<ULONG_PTR>(folder));
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &in, 4, &entry, sizeof entry), STATUS_UNSUCCESSFUL);
    in.handle = ULONG(reinterpret_cast<ULONG_PTR>(volume));
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &in, 4, &entry, sizeof entry), STATUS_UNSUCCESSFUL);
    in.handle = ULONG(reinterpret_cast<ULONG_PTR>(control_));
    EXPECT_EQ(Control(IOCTL_ZARFS_GET_FILE_ENTRY, &in, 4, &entry, sizeof entry), STATUS_UNSUCCESSFUL);

    ULONGLONG total = 0, free = 0;
    ZarFsHwGetVolumeSpaceInfo(MediaVolume(), &total, &free);
    ZAR_VOLUME_SPACE_INFO space{};
    space.Handle = ULONG(reinterpret_cast<ULONG_PTR>(folder));
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, &space, sizeof space, &space, sizeof space), STATUS_SUCCESS);
    EXPECT_EQ(space.Frames, 0u);
    EXPECT_EQ(space.FreeBlocks[0], ULONG(free));
    EXPECT_EQ(space.TotalBlocks[0], ULONG(total));
    // Frames of 100 blocks a field: two drives take fields in turn, and the
    // trial allocations are all given back.
    space.VideoBlocksPerField = 100;
    ASSERT_EQ(Control(IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, &space, sizeof space, &space, sizeof space), STATUS_SUCCESS);
    ULONG perDrive = ULONG(free / 2);
    EXPECT_GT(space.Frames, 0u);
    EXPECT_LE(space.Frames, perDrive / 100);
    EXPECT_GE(space.Frames + 2, (perDrive - 10) / 100);
    ULONGLONG after = 0;
    ZarFsHwGetVolumeSpaceInfo(MediaVolume(), &total, &after);
    EXPECT_EQ(after, free);
    // Block counts of any u32 are answered, never wrapped into a bogus
    // (or a zero) divisor: fields that large fit nowhere.
    struct Huge {
        ULONG video, alpha;
    } huge[] = {{0x80000000u, 0x80000000u}, {0xFFFFFFFFu, 1}, {1, 0xFFFFFFFFu}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const Huge& h : huge) {
        SCOPED_TRACE(std::to_string(h.video) + " " + std::to_string(h.alpha));
        space.VideoBlocksPerField = h.video;
        space.AlphaBlocksPerField = h.alpha;
        space.Frames = 99;
        ASSERT_EQ(Control(IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, &space, sizeof space, &space, sizeof space),
                  STATUS_SUCCESS);
        EXPECT_EQ(space.Frames, 0u);
        ZarFsHwGetVolumeSpaceInfo(MediaVolume(), &total, &after);
        EXPECT_EQ(after, free);
    }
    NtClose(file);
    NtClose(folder);
    NtClose(volume);
}

TEST_F(ControlTest, TheVolumeLockBelongsToItsHandle)
{
    ULONG flush = 0;
    HANDLE other = CreateFileA("\\\\.\\ZarFsDevice0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    HANDLE h;
    ASSERT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_ZARFS_LOCK_FILE_SYSTEM, &flush, 4, nullptr, 0), STATUS_ACCESS_DENIED);  // a folder is open
    NtClose(h);
    ASSERT_EQ(Control(IOCTL_ZARFS_LOCK_FILE_SYSTEM, &flush, 4, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_ZARFS_LOCK_FILE_SYSTEM, &flush, 4, nullptr, 0, nullptr, other), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_ACCESS_DENIED);
    // Another handle's unlock does nothing.
    EXPECT_EQ(Control(IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, nullptr, 0, nullptr, 0, nullptr, other), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_ACCESS_DENIED);
    // Closing the locking handle unlocks.
    CloseHandle(control_);
    control_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_SUCCESS);
    NtClose(h);
    CloseHandle(other);
}

}  // namespace

// The media drive P: through the Win32 and NT calls: listing the name
// space, the create table, directory records, clip files read back, and
// renaming, moving and deleting that the control device and a rescan see;
// change notification on folders.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/w32_client.h"
#include "tests/drivers/mediafs/mediafs_drive.h"

namespace {

using DriveTest = MediaDrive;

TEST_F(DriveTest, ListsTypesVolumesFoldersAndFiles)
{
    EXPECT_EQ(List("P:\\*"), (std::vector<Found>{{"KIV", 0, true}}));
    EXPECT_EQ(List("P:\\KIV\\*"), (std::vector<Found>{{"Media", 0, true}}));
    EXPECT_EQ(List("P:\\KIV\\Media\\*"), (std::vector<Found>{{"Clips", 0, true}}));
    // An empty folder: nothing found.
    EXPECT_TRUE(List("P:\\KIV\\Media\\Clips\\*").empty());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    std::vector<UCHAR> data = WriteClip(u"take1.kiv", 3);
    HANDLE h = CreateFileA("P:\\KIV\\Media\\Clips\\note.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
    EXPECT_EQ(List("P:\\KIV\\Media\\Clips\\*"),
              (std::vector<Found>{{"take1.kiv", data.size() + 512 + 360, false}, {"note.txt", 0, false}}));
    EXPECT_EQ(List("P:\\KIV\\Media\\Clips\\*.kiv"), (std::vector<Found>{{"take1.kiv", data.size() + 512 + 360, false}}));
}

TEST_F(DriveTest, CreateTable)
{
    WriteClip(u"take1.kiv", 1);
    struct Row {
        std::u16string path;
        ULONG disposition, options;
        NTSTATUS status;
        ULONG_PTR information;
    } rows[] = {
        {u"", FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED},
        {u"", FILE_CREATE, 0, STATUS_ACCESS_DENIED, 0},
        {u"", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY, 0},
        {u"\\", FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED},
        {u"\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY, 0},
        {u"\\", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED, 0},
        {u"\\", FILE_OPEN, FILE_DELETE_ON_CLOSE, STATUS_CANNOT_DELETE, 0},
        {u"\\\\KIV", FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED},
        {u"\\\\\\KIV", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\kiv\\MEDIA\\clips\\", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_SUCCESS, FILE_OPENED},
        {u"\\KIV\\Media\\Clips", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY, 0},
        {u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OPEN, 0, STATUS_SUCCESS, FILE_OPENED},
        {u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY, 0},
        {u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OVERWRITE_IF, 0, STATUS_OBJECT_NAME_COLLISION, 0},
        {u"\\KIV\\Media\\Clips\\take1.kiv\\x", FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {u"\\KIV\\Media\\Nowhere\\x", FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {u"\\KIV\\Media\\Clips\\missing", FILE_OPEN, 0, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {u"\\KIV\\Media\\Clips\\bad?name", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\KIV\\Media\\Clips\\a\\\\b", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\KIV\\Media\\Clips\\" + std::u16string(256, u'n'), FILE_OPEN_IF, 0, STATUS_OBJECT_NAME_INVALID, 0},
        {u"\\KIV\\Media\\Clips\\" + std::u16string(255, u'n'), FILE_CREATE, 0, STATUS_SUCCESS, FILE_CREATED},
        // Folders exist only in volumes, files only in folders.
        {u"\\NEW", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED, 0},
        {u"\\KIV\\New", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED, 0},
        {u"\\KIV\\Media\\Clips\\Sub", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED, 0},
        {u"\\KIV\\Media\\file", FILE_CREATE, 0, STATUS_ACCESS_DENIED, 0},
        {u"\\KIV\\Media\\More", FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_SUCCESS, FILE_CREATED},
        {u"\\KIV\\Media\\More", FILE_OPEN_IF, FILE_DIRECTORY_FILE, STATUS_SUCCESS, FILE_OPENED},
        {u"\\KIV\\Media\\More", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_OBJECT_NAME_COLLISION, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path.begin(), row.path.end()) + " disposition " + std::to_string(row.disposition));
        HANDLE h = nullptr;
        ULONG_PTR information = 99;
        NTSTATUS status = Open(row.path, row.disposition, row.options, &h, &information);
        EXPECT_EQ(status, row.status) << NtStatusName(status);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(information, row.information);
            NtClose(h);
        }
    }
}

TEST_F(DriveTest, DeletePendingAndLockedVolume)
{
    WriteClip(u"take1.kiv", 1);
    HANDLE h;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OPEN, 0, &h, nullptr, DELETE | SYNCHRONIZE),
              STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(NtSetInformationFile(h, &iosb, &disposition, sizeof disposition, FileDispositionInformation),
              STATUS_SUCCESS);
    HANDLE again;
    EXPECT_EQ(Open(u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OPEN, 0, &again), STATUS_DELETE_PENDING);
    NtClose(h);
    EXPECT_EQ(Open(u"\\KIV\\Media\\Clips\\take1.kiv", FILE_OPEN, 0, &again), STATUS_OBJECT_NAME_NOT_FOUND);

    // Volumes and type folders cannot be deleted; a folder only when empty.
    for (const char16_t* path : {u"\\KIV", u"\\KIV\\Media"}) {
        ASSERT_EQ(Open(path, FILE_OPEN, 0, &h, nullptr, DELETE | SYNCHRONIZE), STATUS_SUCCESS);
        EXPECT_EQ(NtSetInformationFile(h, &iosb, &disposition, sizeof disposition, FileDispositionInformation),
                  NTSTATUS(0xC0000121));
        NtClose(h);
    }

    ZARFS_VCB* vcb = &Card()->Vcb;
    EXPECT_EQ(ZarFsVCBLockVolume(vcb, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_ACCESS_DENIED);
    ZarFsVCBUnlockVolume(vcb);
    ASSERT_EQ(Open(u"\\KIV", FILE_OPEN, 0, &h), STATUS_SUCCESS);
    EXPECT_EQ(ZarFsVCBLockVolume(vcb, nullptr), STATUS_ACCESS_DENIED);  // a file is open
    NtClose(h);
}

TEST_F(DriveTest, DiskFreeSpaceOfTheDrive)
{
    DWORD perCluster = 0, bytes = 0, free = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("P:\\", &perCluster, &bytes, &free, &total)) << GetLastError();
    ULONGLONG volumeTotal = 0, volumeFree = 0;
    ZarFsHwGetTotalVolumeSpaceInfo(Hw(), &volumeTotal, &volumeFree);
    EXPECT_EQ(perCluster, 1u);
    EXPECT_EQ(bytes, 512u);
    EXPECT_EQ(total, volumeTotal);
    // Small drives still show room enough for a program that checks before it records.
    EXPECT_EQ(free, std::max<ULONGLONG>(volumeFree, 409600));
    EXPECT_FALSE(GetDiskFreeSpaceA("P:\\KIV\\Nowhere\\", &perCluster, &bytes, &free, &total));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// A folder handle without synchronous I/O and one change notification on
// it, whose completion sets the handle's event.
// File-system control on the drive: the oplock requests and the question
// whether the volume is mounted are answered yes; everything else (the
// volume lock and dismount requests included) is no request of this drive.
TEST_F(DriveTest, FileSystemControlAnswersOplocksAndTheMountQuestionOnly)
{
    WriteClip(u"take.kiv", 1);
    HANDLE clip, folder;
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips\\take.kiv", FILE_OPEN, 0, &clip), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\KIV\\Media\\Clips", FILE_OPEN, FILE_DIRECTORY_FILE, &folder), STATUS_SUCCESS);
    struct Case {
        ULONG code;
        NTSTATUS want;
    } cases[] = {
        {0x90000, STATUS_SUCCESS},  // request oplock level 1
        {0x90004, STATUS_SUCCESS},  // level 2
        {0x90008, STATUS_SUCCESS},  // batch
        {0x9000C, STATUS_SUCCESS},  // break acknowledge
        {0x90010, STATUS_SUCCESS},  // opportunistic lock break acknowledge
        {0x90014, STATUS_SUCCESS},  // oplock break notify
        {0x90050, STATUS_SUCCESS},  // filter oplock
        {0x90028, STATUS_SUCCESS},  // is the volume mounted
        {0x90018, STATUS_INVALID_DEVICE_REQUEST},  // lock volume
        {0x90020, STATUS_INVALID_DEVICE_REQUEST},  // dismount volume
        {0x900A8, STATUS_INVALID_DEVICE_REQUEST},
        {IOCTL_ZARFS_GET_PREFERENCES, STATUS_INVALID_DEVICE_REQUEST},  // the control device's, not the drive's
    };
    for (HANDLE h : {clip, folder}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.code);
            IO_STATUS_BLOCK iosb{};
            UCHAR out[64] = {};
            EXPECT_EQ(NtFsControlFile(h, nullptr, nullptr, nullptr, &iosb, c.code, nullptr, 0, out, sizeof out),
                      c.want);
            EXPECT_EQ(iosb.Information, 0u);
        }
    }
    NtClose(folder);
    NtClose(clip);
}

class Watch {
public:
    Watch(const std::u16string& path, bool tree) : tree_(tree)
    {
        std::u16string full = u"\\??\\P:" + path;
        UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), full.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(NtCreateFile(&dir_, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_DIRECTORY_FILE,
                               nullptr, 0),
                  STATUS_SUCCESS);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Watch()
    {
        if (dir_ != nullptr) CloseHandle(dir_);
        CloseHandle(event_);
    }
    NTSTATUS Arm()
    {
        ResetEvent(event_);
        iosb_ = {};
        iosb_.Status = STATUS_PENDING;
        return NtNotifyChangeDirectoryFile(dir_, event_, nullptr, nullptr, &iosb_, nullptr, 0,
                                           FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                               FILE_NOTIFY_CHANGE_SIZE,
                                           tree_);
    }
    // The completion status, or STATUS_PENDING while it waits.
    NTSTATUS Status() { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0 ? iosb_.Status : STATUS_PENDING; }
    void Cancel()
    {
        IO_STATUS_BLOCK iosb;
        EXPECT_EQ(NtCancelIoFile(dir_, &iosb), STATUS_SUCCESS);
    }
    void Close()
    {
        CloseHandle(dir_);
        dir_ = nullptr;
    }

private:
    HANDLE dir_ = nullptr;
    HANDLE event_ = nullptr;
    IO_STATUS_BLOCK iosb_{};
    bool tree_;
};

TEST_F(DriveTest, ChangeNotificationWaitsForAChangeInTheFolder)
{
    Watch media(u"\\KIV\\Media", false), tree(u"\\KIV\\Media", true), clips(u"\\KIV\\Media\\Clips", false);
    for (Watch* w : {&media, &tree, &clips}) ASSERT_EQ(w->Arm(), STATUS_PENDING);
    EXPECT_EQ(media.Status(), STATUS_PENDING);

    // A file made in Clips: its folder's watch and the tree's, not the volume's.
    HANDLE h = CreateFileA("P:\\KIV\\Media\\Clips\\Take", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(clips.Status(), STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(tree.Status(), STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(media.Status(), STATUS_PENDING);

    // A change while no request waits is kept for the handle's next one.
    ASSERT_TRUE(MoveFileA("P:\\KIV\\Media\\Clips\\Take", "P:\\KIV\\Media\\Clips\\Take 2"));
    clips.Arm();
    EXPECT_EQ(clips.Status(), STATUS_NOTIFY_ENUM_DIR);
    clips.Arm();
    EXPECT_EQ(clips.Status(), STATUS_PENDING);
    ASSERT_TRUE(DeleteFileA("P:\\KIV\\Media\\Clips\\Take 2"));
    EXPECT_EQ(clips.Status(), STATUS_NOTIFY_ENUM_DIR);

    // A folder made in the volume.
    ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\More", nullptr));
    EXPECT_EQ(media.Status(), STATUS_NOTIFY_ENUM_DIR);

    // Cancelled, and ended by the handle's cleanup.
    ASSERT_EQ(media.Arm(), STATUS_PENDING);
    media.Cancel();
    EXPECT_EQ(media.Status(), STATUS_CANCELLED);
    ASSERT_EQ(clips.Arm(), STATUS_PENDING);
    clips.Close();
    EXPECT_EQ(clips.Status(), STATUS_NOTIFY_CLEANUP);
}

// Names in a folder of many files, looked up by the folder's name index
// once the first create built it: every name found, an existing one (in any
// case) refused to a create, and renames, moves and deletes leaving each
// name where it is.
TEST_F(DriveTest, NamesInAFolderOfManyFilesAreFoundRefusedAndFollowed)
{
    constexpr int kFiles = 150;
    const std::string clips = "P:\\KIV\\Media\\Clips\\", other = "P:\\KIV\\Media\\Other\\";
    ASSERT_TRUE(CreateDirectoryA("P:\\KIV\\Media\\Other", nullptr));
    auto create = [](const std::string& path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        CloseHandle(h);
        return DWORD(ERROR_SUCCESS);
    };
    auto exists = [](const std::string& path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    };
    for (int i = 0; i < kFiles; ++i) ASSERT_EQ(create(clips + "clip" + std::to_string(i)), DWORD(ERROR_SUCCESS)) << i;

    ASSERT_TRUE(MoveFileA((clips + "clip7").c_str(), (clips + "Renamed").c_str())) << GetLastError();
    ASSERT_TRUE(DeleteFileA((clips + "clip9").c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileA((clips + "clip11").c_str(), (other + "clip11").c_str())) << GetLastError();
    EXPECT_FALSE(MoveFileA((clips + "clip12").c_str(), (clips + "CLIP13").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

    struct Row {
        std::string path;
        bool there;
        DWORD create;  // what a CREATE_NEW of the name gives
    } rows[] = {
        {clips + "clip0", true, ERROR_FILE_EXISTS},
        {clips + "CLIP149", true, ERROR_FILE_EXISTS},
        {clips + "Clip75", true, ERROR_FILE_EXISTS},
        {clips + "clip150", false, ERROR_SUCCESS},
        {clips + "renamed", true, ERROR_FILE_EXISTS},
        {clips + "clip7", false, ERROR_SUCCESS},
        {clips + "clip9", false, ERROR_SUCCESS},
        {clips + "clip11", false, ERROR_SUCCESS},
        {other + "CLIP11", true, ERROR_FILE_EXISTS},
        {clips + "clip12", true, ERROR_FILE_EXISTS},
        {clips + "clip1", true, ERROR_FILE_EXISTS},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(exists(row.path), row.there);
        EXPECT_EQ(create(row.path), row.create);
        EXPECT_TRUE(exists(row.path));
    }

    // The folder lists every name once: the 150 made, one renamed, one
    // deleted, one moved out, and those the table made again.
    std::vector<std::string> listed, expected;
    for (const Found& f : List((clips + "*").c_str())) listed.push_back(f.name);
    for (int i = 0; i <= kFiles; ++i) expected.push_back("clip" + std::to_string(i));
    expected.push_back("Renamed");
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

}  // namespace

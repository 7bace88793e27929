// Format and rescan over the simulated drives: a format found again byte for
// byte, the format's refusals, name conflicts with a volume's own drives,
// entries made, renamed, moved and removed and found again with their
// space, and the format and listing codes of the control device.

#include <gtest/gtest.h>

#include "mediafs_machine.h"

namespace {

class ZarFsVolume : public MediaFsMachine {};

TEST_F(ZarFsVolume, FormatThenRescanFindsTheSameVolume)
{
    ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
    auto volumes = Volumes();
    ASSERT_EQ(volumes.size(), 1u);
    ZAR_VOLUME_INFO before;
    ZarFsHwGetVolumeInfo(volumes[0], &before);
    ULONGLONG total, free;
    ZarFsHwGetVolumeSpaceInfo(volumes[0], &total, &free);
    const ULONG n = kDriveBlocks - 1;
    EXPECT_EQ(volumes[0]->FolderAreaFirst, n - 4607);
    EXPECT_EQ(total, 2 * ULONGLONG(n - 4608 + 1));
    EXPECT_EQ(free, 2 * ULONGLONG(n - 4608 - 1023));
    auto entry0 = ImageBlocks(0, 0, 2), entry1 = ImageBlocks(1, 0, 2);

    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    volumes = Volumes();
    ASSERT_EQ(volumes.size(), 1u);
    ZAR_VOLUME_INFO after;
    ZarFsHwGetVolumeInfo(volumes[0], &after);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_TRUE(ZarFsHwVolumeUsable(volumes[0]));
    EXPECT_EQ(ImageBlocks(0, 0, 2), entry0);
    EXPECT_EQ(ImageBlocks(1, 0, 2), entry1);
    // The two entries differ only in the drive index and the checksum.
    auto* e0 = reinterpret_cast<ZARFS_VOLUME_ENTRY*>(entry0.data());
    auto* e1 = reinterpret_cast<ZARFS_VOLUME_ENTRY*>(entry1.data());
    EXPECT_EQ(e0->DriveIndex, 0u);
    EXPECT_EQ(e1->DriveIndex, 1u);
    EXPECT_EQ(e0->CreationTime, e1->CreationTime);
    EXPECT_EQ(std::memcmp(e0->Magic, "VOL0", 4), 0);
    EXPECT_EQ(e0->Version, ZARFS_VOLUME_VERSION);
}

TEST_F(ZarFsVolume, FormatChecksTheRequestAndChangesNothingOnRefusal)
{
    std::u16string tooLong(257, u'n');
    struct Row {
        const char* name;
        std::u16string volume;
        std::vector<ULONG> ids;
        ULONG countOverride;
        LONG result;
    } rows[] = {
        {"no drives", u"V", {}, 0, ZARFS_FORMAT_E_DRIVE_COUNT},
        {"three drives", u"V", {0, 1, 2}, 0, ZARFS_FORMAT_E_DRIVE_COUNT},
        {"sixteen drives", u"V", {0, 1}, 16, ZARFS_FORMAT_E_DRIVE_COUNT},
        {"a missing drive", u"V", {0, 5}, 0, ZARFS_FORMAT_E_DRIVE_UNUSABLE},
        {"the host adapter's id", u"V", {0, 7}, 0, ZARFS_FORMAT_E_DRIVE_UNUSABLE},
        {"an id beyond the bus", u"V", {0, 16}, 0, ZARFS_FORMAT_E_DRIVE_UNUSABLE},
        {"a drive listed twice", u"V", {0, 0}, 0, ZARFS_FORMAT_E_DRIVE_UNUSABLE},
        {"an empty name", u"", {0}, 0, ZARFS_FORMAT_E_BAD_NAME},
        {"a colon in the name", u"a:b", {0}, 0, ZARFS_FORMAT_E_BAD_NAME},
    };
    auto image = ImageBlocks(0, 0, 2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ZAR_VOLUME_INFO r = VolumeRequest(row.volume, row.ids);
        if (row.countOverride) r.DriveCount = row.countOverride;
        LONG result = 1;
        EXPECT_EQ(ZarFsHwFormatVolume(Hw(), &r, &result), STATUS_SUCCESS);
        EXPECT_EQ(result, row.result);
    }
    EXPECT_TRUE(Volumes().empty());
    EXPECT_EQ(ImageBlocks(0, 0, 2), image);
}

TEST_F(ZarFsVolume, ReformattingAVolumesOwnDrivesUnderItsNameIsNoConflict)
{
    ASSERT_EQ(Format(u"Media", {0}), ZARFS_FORMAT_OK);
    EXPECT_EQ(Format(u"MEDIA", {1}), ZARFS_FORMAT_E_NAME_CONFLICT);
    EXPECT_EQ(Format(u"media", {0, 1}), ZARFS_FORMAT_OK);
    auto volumes = Volumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]->DriveCount, 2u);
    // An open volume's drives cannot be formatted.
    ASSERT_NE(ZarFsHwOpenVolume(Hw(), u"MEDIA", 5), nullptr);
    EXPECT_EQ(Format(u"Other", {1}), ZARFS_FORMAT_E_VOLUME_IN_USE);
    ZarFsHwCloseVolume(volumes[0]);
    EXPECT_EQ(Format(u"Other", {1}), ZARFS_FORMAT_OK);
    // Taking drive 1 away left the first volume incomplete: not shown.
    volumes = Volumes();
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_FALSE(ZarFsHwVolumeUsable(volumes[0]));
    EXPECT_EQ(ZarFsHwOpenVolume(Hw(), u"Media", 5), nullptr);
}

// Folders and files made, renamed, moved and removed, then found again by a
// rescan: the same names and counts, the same entry bytes, and the same
// free space, since discovery claims exactly what the entries hold.
TEST_F(ZarFsVolume, EntriesSurviveARescanWithTheirSpace)
{
    ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
    ZARFS_HW_VOLUME* v = Volumes().at(0);
    ULONG a = 0, b = 0;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"Takes", 5, &a), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"Stills", 6, &b), STATUS_SUCCESS);
    EXPECT_EQ(b, 1u);
    ULONG blocks[3];
    for (ULONG i = 0; i < 3; ++i) {
        ZARFS_DUAL_ALLOCATION space{};
        ASSERT_EQ(ZarFsVolAllocAllocateDualSpace(&v->Alloc, 1000 * (i + 1), 2, &space), STATUS_SUCCESS);
        ZAR_FILE_INFO clip{};
        clip.CreationTime = 100 + i;
        clip.MediaKind = ZARFS_MEDIA_FRAMES;
        clip.VideoStandard = 525;
        clip.FrameCount = 100;
        clip.VideoFirstBlock = space.LowerFirstBlock;
        clip.VideoBlocksPerDrive = space.LowerLength;
        clip.VideoBodyTableFirst = space.UpperFirstBlock;
        clip.VideoBodyTableBlocks = space.UpperLength;
        clip.AppData[0] = UCHAR(0xA0 + i);
        std::u16string name = u"take" + std::u16string(1, char16_t(u'1' + i)) + u".kiv";
        ZarFsHwStoreName(clip.Name, name.data(), ULONG(name.size()));
        ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), v, a, &clip, &blocks[i]), STATUS_SUCCESS);
    }
    ASSERT_EQ(ZarFsHwRenameFolder(Hw(), v, a, u"Good takes", 10), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsHwRenameFile(Hw(), v, blocks[0], u"best.kiv", 8), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsHwMoveFile(Hw(), v, a, 1, b, u"still.kiv", 9), STATUS_SUCCESS);
    ASSERT_EQ(ZarFsHwRemoveFile(Hw(), v, a, 2), STATUS_SUCCESS);
    ULONGLONG total, free;
    ZarFsHwGetVolumeSpaceInfo(v, &total, &free);
    auto entry = ImageBlocks(0, blocks[0], 2);

    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    v = Volumes().at(0);
    EXPECT_EQ(v->FolderCount, 2u);
    ULONGLONG totalAfter, freeAfter;
    ZarFsHwGetVolumeSpaceInfo(v, &totalAfter, &freeAfter);
    EXPECT_EQ(freeAfter, free);
    EXPECT_EQ(totalAfter, total);
    auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
    ASSERT_EQ(ZarFsHwReadDirEntry(Hw(), v, a, folder.get()), STATUS_SUCCESS);
    EXPECT_TRUE(ZarFsHwNameEquals(folder->Name, u"Good takes", 10));
    EXPECT_EQ(folder->FileCount, 1u);
    EXPECT_EQ(folder->FileSlots[0], blocks[0]);
    ASSERT_EQ(ZarFsHwReadDirEntry(Hw(), v, b, folder.get()), STATUS_SUCCESS);
    EXPECT_EQ(folder->FileCount, 1u);
    EXPECT_EQ(folder->FileSlots[0], blocks[1]);
    ZAR_FILE_INFO file;
    ASSERT_EQ(ZarFsHwReadFileEntry(Hw(), v, blocks[1], &file), STATUS_SUCCESS);
    EXPECT_TRUE(ZarFsHwNameEquals(file.Name, u"still.kiv", 9));
    EXPECT_EQ(file.AppData[0], 0xA1);
    EXPECT_EQ(ImageBlocks(0, blocks[0], 2), entry);
    // A removed folder frees its slot for the next one.
    ASSERT_EQ(ZarFsHwRemoveFolder(Hw(), v, a), STATUS_SUCCESS);
    ULONG again = 9;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"New", 3, &again), STATUS_SUCCESS);
    EXPECT_EQ(again, a);
}

// The control device: format and list through its codes.
TEST_F(ZarFsVolume, ControlDeviceFormatsAndLists)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\ZarFsDevice0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    auto send = [&](ULONG code, void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* info) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, FALSE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        NTSTATUS status = IoCallDriver(device, irp);
        *info = iosb.Information;
        return status;
    };
    ZAR_VOLUME_INFO request = VolumeRequest(u"Striped", {0, 1});
    ULONG result = 99;
    ULONG_PTR info = 0;
    std::vector<UCHAR> buffer(sizeof request);
    std::memcpy(buffer.data(), &request, sizeof request);
    EXPECT_EQ(send(IOCTL_ZARFS_FORMAT_VOLUME, buffer.data(), sizeof request, buffer.data(), 4, &info), STATUS_SUCCESS);
    std::memcpy(&result, buffer.data(), 4);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(info, 4u);
    request.DriveCount = 3;
    EXPECT_EQ(send(IOCTL_ZARFS_FORMAT_VOLUME, &request, sizeof request, nullptr, 0, &info),
              NTSTATUS(ZARFS_FORMAT_E_DRIVE_COUNT));
    EXPECT_EQ(send(IOCTL_ZARFS_FORMAT_VOLUME, &request, 583, nullptr, 0, &info), STATUS_BUFFER_TOO_SMALL);

    // Exactly 4 bytes out: only the count.
    ULONG count = 0;
    EXPECT_EQ(send(IOCTL_ZARFS_QUERY_VOLUME_INFO, &count, 4, &count, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(info, 4u);
    std::vector<UCHAR> list(4 + 2 * sizeof(ZAR_VOLUME_INFO));
    EXPECT_EQ(send(IOCTL_ZARFS_QUERY_VOLUME_INFO, list.data(), 4, list.data(), ULONG(list.size()), &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, list.size());
    ZAR_VOLUME_INFO listed;
    std::memcpy(&listed, list.data() + 4, sizeof listed);
    EXPECT_TRUE(ZarFsHwNameEquals(listed.Name, u"Striped", 7));
    EXPECT_EQ(listed.DriveCount, 2u);
    EXPECT_EQ(listed.ScsiIds[0], 0u);
    EXPECT_EQ(listed.ScsiIds[1], 1u);
    EXPECT_EQ(listed.ScsiIds[2], ZARFS_NO_DRIVE);
    EXPECT_EQ(listed.Flags, 0u);
    EXPECT_EQ(send(0x222078, nullptr, 0, nullptr, 0, &info), STATUS_INVALID_DEVICE_REQUEST);  // no such code
    ObfDereferenceObject(file);
}

}  // namespace

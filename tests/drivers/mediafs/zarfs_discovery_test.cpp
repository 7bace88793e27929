// Discovery over the simulated drives: which drives make a volume (counts,
// indexes, names and creation times that agree), volumes hidden behind a
// name already taken, drives too small for the fixed regions, folder slots
// that repeat a file, and the body-table backup restored into its clip at
// the next discovery.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "mediafs_machine.h"

namespace {

class ZarFsDiscovery : public MediaFsMachine {
protected:
    // Ids 0-6 and 8-15 (7 is the host adapter), and a small drive at 15.
    std::vector<sim::DriveConfig> Drives() override
    {
        std::vector<sim::DriveConfig> drives;
        for (int id = 0; id < 15; ++id)
            if (id != 7) drives.push_back(Drive(id, 8192));
        drives.push_back(Drive(15, ZARFS_MIN_DRIVE_BLOCKS - 1));
        return drives;
    }

    ZARFS_VOLUME_ENTRY Entry(int id)
    {
        ZARFS_VOLUME_ENTRY e;
        auto bytes = ImageBlocks(id, 0, 2);
        std::memcpy(&e, bytes.data(), sizeof e);
        return e;
    }
    void PutEntry(int id, ZARFS_VOLUME_ENTRY e)
    {
        ZarFsHwSetChecksum(&e, ZarFsEntryVolume);
        WriteImageBlocks(id, 0, &e, sizeof e);
    }
    static ZARFS_VOLUME_ENTRY NewEntry(const std::u16string& name, ULONG count, ULONG index, ULONGLONG time = 1000)
    {
        ZARFS_VOLUME_ENTRY e{};
        std::memcpy(e.Magic, "VOL0", 4);
        e.Version = ZARFS_VOLUME_VERSION;
        e.CreationTime = time;
        e.DriveCount = count;
        e.DriveIndex = index;
        ZarFsHwStoreName(e.Name, name.data(), ULONG(name.size()));
        return e;
    }
    std::vector<ZARFS_HW_VOLUME*> Usable()
    {
        std::vector<ZARFS_HW_VOLUME*> out;
        for (ZARFS_HW_VOLUME* v : Volumes())
            if (ZarFsHwVolumeUsable(v)) out.push_back(v);
        return out;
    }
};

TEST_F(ZarFsDiscovery, FourteenDrivesMakeOneStripedVolume)
{
    ASSERT_EQ(Format(u"Wide", {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14}), ZARFS_FORMAT_OK);
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    auto volumes = Usable();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]->DriveCount, 14u);
    EXPECT_EQ(volumes[0]->ScsiIds[7], 8u);
    EXPECT_EQ(volumes[0]->ScsiIds[13], 14u);
    ULONGLONG total, free;
    ZarFsHwGetVolumeSpaceInfo(volumes[0], &total, &free);
    EXPECT_EQ(free, 14ull * (8191 - 4608 - 1023));
}

TEST_F(ZarFsDiscovery, DriveCountsAndIndexesOnDisk)
{
    struct Row {
        const char* name;
        std::vector<std::pair<int, ZARFS_VOLUME_ENTRY>> entries;
        size_t usable, listed;
    } rows[] = {
        {"one drive", {{0, NewEntry(u"A", 1, 0)}}, 1, 1},
        {"two drives", {{0, NewEntry(u"A", 2, 0)}, {1, NewEntry(u"A", 2, 1)}}, 1, 1},
        {"second drive missing", {{0, NewEntry(u"A", 2, 0)}}, 0, 1},
        {"odd count", {{0, NewEntry(u"A", 3, 0)}, {1, NewEntry(u"A", 3, 1)}, {2, NewEntry(u"A", 3, 2)}}, 0, 0},
        {"count zero", {{0, NewEntry(u"A", 0, 0)}}, 0, 0},
        {"count sixteen", {{0, NewEntry(u"A", 16, 0)}}, 0, 0},
        {"index beyond the count", {{0, NewEntry(u"A", 1, 1)}}, 0, 0},
        {"different times", {{0, NewEntry(u"A", 2, 0, 1)}, {1, NewEntry(u"A", 2, 1, 2)}}, 0, 2},
        {"two drives claim one index", {{0, NewEntry(u"A", 2, 0)}, {1, NewEntry(u"A", 2, 0)}, {2, NewEntry(u"A", 2, 1)}},
         1, 2},
        {"a drive too small", {{15, NewEntry(u"A", 1, 0)}}, 0, 0},
        // A rename cut short between the drives: one volume all the same.
        {"names apart, time and count agree", {{0, NewEntry(u"New", 2, 0)}, {1, NewEntry(u"Old", 2, 1)}}, 1, 1},
        {"names and times apart", {{0, NewEntry(u"New", 2, 0, 1)}, {1, NewEntry(u"Old", 2, 1, 2)}}, 0, 2},
        {"names and counts apart", {{0, NewEntry(u"New", 2, 0)}, {1, NewEntry(u"Old", 4, 1)}}, 0, 2},
    };
    const ZARFS_VOLUME_ENTRY blank{};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (int id : {0, 1, 2, 15}) WriteImageBlocks(id, 0, &blank, sizeof blank);
        for (const auto& [id, entry] : row.entries) PutEntry(id, entry);
        ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
        EXPECT_EQ(Usable().size(), row.usable);
        EXPECT_EQ(Volumes().size(), row.listed);
    }
}

TEST_F(ZarFsDiscovery, TheSecondVolumeOfANameIsHiddenUntilTheFirstGoes)
{
    ASSERT_EQ(Format(u"Media", {0}), ZARFS_FORMAT_OK);
    ZARFS_VOLUME_ENTRY copy = Entry(0);
    copy.CreationTime += 1;
    PutEntry(3, copy);
    ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
    auto volumes = Volumes();
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0]->ScsiIds[0], 0u);
    EXPECT_EQ(volumes[0]->Flags, 0u);
    EXPECT_EQ(volumes[1]->ScsiIds[0], 3u);
    EXPECT_EQ(volumes[1]->Flags, ZARFS_VOLUME_NAME_CONFLICT);
    EXPECT_EQ(ZarFsHwOpenVolume(Hw(), u"media", 5), volumes[0]);
    ZarFsHwCloseVolume(volumes[0]);
    ULONGLONG total, free;
    ZarFsHwGetVolumeSpaceInfo(volumes[1], &total, &free);
    EXPECT_EQ(total, 0u);

    // Its drive taken out, the first volume goes and the second takes the name.
    ZarFsHwRemoveDeviceFromVolume(Hw(), volumes[0], 0);
    volumes = Volumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]->Flags, 0u);
    EXPECT_NE(ZarFsHwOpenVolume(Hw(), u"MEDIA", 5), nullptr);
}

TEST_F(ZarFsDiscovery, FormatRefusesASmallDrive)
{
    EXPECT_EQ(Format(u"Small", {15}), ZARFS_FORMAT_E_DRIVE_UNUSABLE);
}

// Two slots name one file entry: the first in walk order (folders by slot,
// then file slots) keeps it; the other is cleared on disk and logged, and
// the rest of the volume mounts.
TEST_F(ZarFsDiscovery, ASlotRepeatingAFileIsClearedAndTheVolumeStillMounts)
{
    struct Row {
        const char* what;
        ULONG folder, slot;  // where the repeat is written
    } rows[] = {
        {"in a later folder", 1, 3},
        {"later in the same folder", 0, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Format(u"Media", {0}), ZARFS_FORMAT_OK);
        ZARFS_HW_VOLUME* v = Usable().at(0);
        ULONG a = 0, b = 0, one = 0, two = 0;
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"A", 1, &a), STATUS_SUCCESS);
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"B", 1, &b), STATUS_SUCCESS);
        for (auto [folder, name, block] : {std::tuple{a, u"one.kiv", &one}, std::tuple{b, u"two.kiv", &two}}) {
            ZAR_FILE_INFO clip{};
            clip.CreationTime = 5;
            ZarFsHwStoreName(clip.Name, name, 7);
            ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), v, folder, &clip, block), STATUS_SUCCESS);
        }
        // The repeat, written behind the driver's back.
        const ULONG at = ZarFsHwFolderBlock(v->FolderAreaFirst, row.folder);
        ZARFS_DIR_ENTRY folder;
        auto bytes = ImageBlocks(0, at, ZARFS_DIR_ENTRY_BLOCKS);
        std::memcpy(&folder, bytes.data(), sizeof folder);
        folder.FileSlots[row.slot] = one;
        ++folder.FileCount;
        ZarFsHwSetChecksum(&folder, ZarFsEntryDir);
        WriteImageBlocks(0, at, &folder, sizeof folder);
        nt::EventLogClear();

        ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
        ASSERT_EQ(Usable().size(), 1u);
        v = Usable()[0];
        ZARFS_DIR_ENTRY read;
        ASSERT_EQ(ZarFsHwReadDirEntry(Hw(), v, a, &read), STATUS_SUCCESS);
        EXPECT_EQ(read.FileSlots[0], one);
        EXPECT_EQ(read.FileCount, 1u);
        ASSERT_EQ(ZarFsHwReadDirEntry(Hw(), v, b, &read), STATUS_SUCCESS);
        EXPECT_EQ(read.FileSlots[0], two);
        EXPECT_EQ(read.FileCount, 1u);
        // Gone from the disk too, not just from the cache.
        bytes = ImageBlocks(0, at, ZARFS_DIR_ENTRY_BLOCKS);
        std::memcpy(&folder, bytes.data(), sizeof folder);
        EXPECT_EQ(folder.FileSlots[row.slot], 0u);
        EXPECT_TRUE(ZarFsHwVerifyChecksum(&folder, ZarFsEntryDir, FALSE));

        auto events = FsEvents(ZARFS_MSG_FILE_ERROR);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(events[0].data.size(), sizeof(ZARFS_REPEATED_SLOT));
        ZARFS_REPEATED_SLOT record;
        std::memcpy(&record, events[0].data.data(), sizeof record);
        EXPECT_EQ(record.Card, 0u);
        EXPECT_EQ(record.ScsiId, 0u);
        EXPECT_EQ(record.FolderSlot, row.folder);
        EXPECT_EQ(record.FileSlot, row.slot);
        EXPECT_EQ(record.EntryBlock, one);
        EXPECT_EQ(record.KeptFolderSlot, a);
        EXPECT_EQ(record.KeptFileSlot, 0u);

        // A second start finds nothing more to drop.
        nt::EventLogClear();
        ASSERT_EQ(RestartFs(), STATUS_SUCCESS);
        EXPECT_EQ(Usable().size(), 1u);
        EXPECT_TRUE(FsEvents(ZARFS_MSG_FILE_ERROR).empty());
    }
}

// A recorder's backup names the clip; discovery writes its nodes over the
// clip's body table (zero-padded to the table's length) and deletes the file.
// Only this board's file is read, and only when it names this card's drive
// letter and volume; another board's file is left as it is.
TEST_F(ZarFsDiscovery, TheBodyTableBackupIsRestoredIntoItsClipByItsOwnCardOnly)
{
    ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
    ZARFS_HW_VOLUME* v = Usable().at(0);
    ULONG folder = 0;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"Clips", 5, &folder), STATUS_SUCCESS);
    ULONG table = 0;
    ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(&v->Alloc, 2, &table), STATUS_SUCCESS);
    // Two clips of four frames in the folder; only take.kiv has a body table.
    for (const char16_t* name : {u"other.kiv", u"take.kiv"}) {
        bool take = name[0] == u't';
        ZAR_FILE_INFO clip{};
        clip.CreationTime = 5;
        clip.MediaKind = ZARFS_MEDIA_FRAMES;
        clip.FrameCount = 4;
        clip.VideoBodyTableFirst = take ? table : 0;
        clip.VideoBodyTableBlocks = take ? 2 : 0;
        ZarFsHwStoreName(clip.Name, name, ULONG(std::char_traits<char16_t>::length(name)));
        ULONG block = 0;
        ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), v, folder, &clip, &block), STATUS_SUCCESS);
    }
    const ULONG garbage[256] = {0xDEAD, 0xBEEF};
    std::vector<UCHAR> restoredTable(1024, 0);
    for (ULONG i = 0; i < 8; ++i) {
        ULONG node = 100 + i;
        std::memcpy(restoredTable.data() + i * 4, &node, 4);
    }
    const auto drivers = std::filesystem::path(Folder()) / "drives/C/WINNT/system32/drivers";
    WCHAR own[ZARFS_BACKUP_NAME_CHARS];
    ZarFsBTBackupFileName(0, own);
    EXPECT_EQ(std::u16string(own), u"\\SystemRoot\\system32\\drivers\\!KIVBKUP.!BT");
    WCHAR board3[ZARFS_BACKUP_NAME_CHARS];
    ZarFsBTBackupFileName(3, board3);
    EXPECT_EQ(std::u16string(board3), u"\\SystemRoot\\system32\\drivers\\!KIVBKUP3.!BT");

    struct Case {
        const char* file;
        const char16_t* path;
        bool restored;
        bool remains;
    } cases[] = {
        {"!KIVBKUP.!BT", u"P:\\KIV\\Media\\Clips\\take.kiv", true, false},
        {"!KIVBKUP1.!BT", u"P:\\KIV\\Media\\Clips\\take.kiv", false, true},   // board 1's
        {"!KIVBKUP.!BT", u"Q:\\KIV\\Media\\Clips\\take.kiv", false, false},   // another drive
        {"!KIVBKUP.!BT", u"P:\\KIV\\Other\\Clips\\take.kiv", false, false},   // another volume
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.path[0]));
        WriteImageBlocks(0, table, garbage, sizeof garbage);
        // Header: the path, the node count at 1032, the alpha byte at 1038.
        std::vector<UCHAR> file(ZARFS_BACKUP_HEADER_BYTES + 8 * 4);
        std::u16string path = c.path;
        std::memcpy(file.data(), path.data(), path.size() * 2);
        ULONG count = 8;
        std::memcpy(file.data() + ZARFS_BACKUP_COUNT_OFFSET, &count, 4);
        std::memcpy(file.data() + ZARFS_BACKUP_HEADER_BYTES, restoredTable.data(), 8 * 4);
        auto backup = drivers / c.file;
        std::ofstream(backup, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
        nt::EventLogClear();
        ASSERT_EQ(RestartFs(), STATUS_SUCCESS);

        auto now = ImageBlocks(0, table, 2);
        if (c.restored) {
            EXPECT_EQ(now, restoredTable);
        } else {
            EXPECT_EQ(std::memcmp(now.data(), garbage, sizeof garbage), 0);
        }
        EXPECT_EQ(std::filesystem::exists(backup), c.remains);
        auto recovered = FsEvents(ZARFS_MSG_BODY_TABLE_RECOVERED);
        ASSERT_EQ(recovered.size(), c.restored ? 1u : 0u);
        if (c.restored) {
            EXPECT_EQ(recovered[0].data.size(), 16u);  // "take.kiv" in UTF-16
        }
        std::filesystem::remove(backup);
    }
}

TEST_F(ZarFsDiscovery, ABackupNeedsNodeDataForItsWholeCount)
{
    ASSERT_EQ(Format(u"Media", {0}), ZARFS_FORMAT_OK);
    std::vector<UCHAR> file(ZARFS_BACKUP_HEADER_BYTES + 7 * 4);
    std::u16string path = u"P:\\KIV\\Media\\Clips\\take.kiv";
    std::memcpy(file.data(), path.data(), path.size() * 2);
    ULONG count = 8;
    std::memcpy(file.data() + ZARFS_BACKUP_COUNT_OFFSET, &count, 4);
    ZARFS_BT_BACKUP* parsed = nullptr;
    EXPECT_FALSE(ZarFsParseBTBackup(file.data(), ULONG(file.size()), &parsed));
    file.resize(file.size() + 4);
    ASSERT_TRUE(ZarFsParseBTBackup(file.data(), ULONG(file.size()), &parsed));
    EXPECT_TRUE(ZarFsHwNameEquals(parsed->Volume, u"Media", 5));
    EXPECT_TRUE(ZarFsHwNameEquals(parsed->Folder, u"Clips", 5));
    EXPECT_TRUE(ZarFsHwNameEquals(parsed->File, u"take.kiv", 8));
    EXPECT_EQ(parsed->DriveLetter, u'P');
    ZarFsFreeBTBackup(parsed);
}

}  // namespace

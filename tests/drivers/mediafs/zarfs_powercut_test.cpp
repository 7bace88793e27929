// Power cuts: the drives stop writing at a random point during a format and
// during entry writes and body-table flushes, and at every write of a folder
// move and of a volume rename; after a restart of the machine discovery
// still comes up, every entry written before the cut is there, and no two
// files claim the same blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "mediafs_machine.h"

namespace {

class ZarFsPowerCut : public MediaFsMachine {
protected:
    void CutAfter(int64_t bytes)
    {
        for (int id : {0, 1}) Disk(id)->Faults().writeBytesLeft = bytes;
    }
    // The power comes back: the drives write again and the machine boots.
    void PowerCycle()
    {
        for (int id : {0, 1}) Disk(id)->Faults().writeBytesLeft = -1;
        Reboot();
        ASSERT_EQ(LoadDriver(u"ZARKD"), STATUS_SUCCESS);
        nt::ClockRunUntilIdle();
        ASSERT_EQ(LoadFs(), STATUS_SUCCESS);
    }
    ZARFS_HW_VOLUME* UsableVolume()
    {
        for (ZARFS_HW_VOLUME* v : Volumes())
            if (ZarFsHwVolumeUsable(v)) return v;
        return nullptr;
    }
    std::vector<std::u16string> FileNames(ZARFS_HW_VOLUME* v, ULONG folderSlot)
    {
        auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
        std::vector<std::u16string> names;
        EXPECT_EQ(ZarFsHwReadDirEntry(Hw(), v, folderSlot, folder.get()), STATUS_SUCCESS);
        for (ULONG block : folder->FileSlots) {
            if (block == 0) continue;
            ZAR_FILE_INFO entry;
            EXPECT_EQ(ZarFsHwReadFileEntry(Hw(), v, block, &entry), STATUS_SUCCESS);
            names.emplace_back(entry.Name, ZarFsHwNameLength(entry.Name));
        }
        return names;
    }
    static std::u16string ClipName(int i)
    {
        std::string digits = "clip" + std::to_string(i) + ".kiv";
        return std::u16string(digits.begin(), digits.end());
    }
    NTSTATUS CreateClip(ZARFS_HW_VOLUME* v, ULONG folder, int i, ULONG frames, ULONG* tableFirst, ULONG* entryBlock)
    {
        ULONG blocks = ZarFsHwGetBodyTableSize(frames) / kBlock;
        NTSTATUS status = ZarFsVolAllocAllocateUpperSpace(&v->Alloc, blocks, tableFirst);
        if (!NT_SUCCESS(status)) return status;
        ZAR_FILE_INFO clip{};
        clip.CreationTime = 9;
        clip.MediaKind = ZARFS_MEDIA_FRAMES;
        clip.FrameCount = frames;
        clip.VideoBodyTableFirst = *tableFirst;
        clip.VideoBodyTableBlocks = blocks;
        std::u16string name = ClipName(i);
        ZarFsHwStoreName(clip.Name, name.data(), ULONG(name.size()));
        return ZarFsHwCreateFileEntry(Hw(), v, folder, &clip, entryBlock);
    }
};

TEST_F(ZarFsPowerCut, DuringAFormat)
{
    // A volume with a folder first, so a cut format leaves old metadata too.
    ASSERT_EQ(Format(u"Old", {0, 1}), ZARFS_FORMAT_OK);
    ULONG slot = 0;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), UsableVolume(), u"Kept", 4, &slot), STATUS_SUCCESS);
    std::mt19937 gen(7);
    const int64_t formatBytes = 2 * 1024 + 256 * int64_t(sizeof(ZARFS_DIR_ENTRY));
    for (int round = 0; round < 3; ++round) {
        int64_t cut = int64_t(gen() % uint32_t(formatBytes));
        SCOPED_TRACE(cut);
        CutAfter(cut);
        NTSTATUS status;
        Format(u"New", {0, 1}, &status);
        ASSERT_NO_FATAL_FAILURE(PowerCycle());
        // Whatever the cut left, discovery comes up, and a usable volume is
        // whole; its drives can always be formatted again.
        for (ZARFS_HW_VOLUME* v : Volumes()) {
            if (!ZarFsHwVolumeUsable(v)) continue;
            ULONGLONG total, free;
            ZarFsHwGetVolumeSpaceInfo(v, &total, &free);
            EXPECT_GT(free, 0u);
        }
        EXPECT_EQ(Format(u"Again", {0, 1}), ZARFS_FORMAT_OK);
        ASSERT_NO_FATAL_FAILURE(PowerCycle());
        ASSERT_NE(UsableVolume(), nullptr);
        EXPECT_TRUE(ZarFsHwNameEquals(UsableVolume()->Name, u"Again", 5));
        EXPECT_EQ(UsableVolume()->FolderCount, 0u);
    }
}

TEST_F(ZarFsPowerCut, DuringEntryWritesAndBodyTableFlushes)
{
    ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
    ULONG folder = 0;
    ASSERT_EQ(ZarFsHwCreateFolder(Hw(), UsableVolume(), u"Clips", 5, &folder), STATUS_SUCCESS);
    std::mt19937 gen(11);
    int created = 0;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ZARFS_HW_VOLUME* v = UsableVolume();
        ASSERT_NE(v, nullptr);
        // Two clips written whole before the cut.
        ULONG table = 0, entry = 0;
        for (int i = 0; i < 2; ++i) ASSERT_EQ(CreateClip(v, folder, created++, 3000, &table, &entry), STATUS_SUCCESS);
        std::vector<std::u16string> before = FileNames(v, folder);

        // The last clip's body table is being flushed and another clip made
        // when the power goes.
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\KIV\\Media\\Clips\\last.kiv");
        ZAR_FILE_INFO info;
        ASSERT_EQ(ZarFsHwReadFileEntry(Hw(), v, entry, &info), STATUS_SUCCESS);
        ZARFS_BT_OBJECT* o = nullptr;
        ASSERT_EQ(ZarFsBTReferenceObject(&Card()->BodyTables, &name, v, entry, &info, &o), STATUS_SUCCESS);
        ZarFsBTWriteAccessReference(&Card()->BodyTables, o);
        auto* nodes = static_cast<ZARFS_BODY_TABLE_NODE*>(o->VideoView);
        for (ULONG k = 0; k < 6000; ++k) nodes[k].Counts = k + round;
        CutAfter(int64_t(gen() % 40000));
        ZarFsBTFlushObjectByName(&Card()->BodyTables, &name);
        ULONG spare = 0;
        CreateClip(v, folder, 1000 + round, 10, &table, &spare);
        ZarFsBTDereferenceObject(&Card()->BodyTables, o);
        ASSERT_NO_FATAL_FAILURE(PowerCycle());

        v = UsableVolume();
        ASSERT_NE(v, nullptr);
        std::vector<std::u16string> after = FileNames(v, folder);
        for (const auto& n : before)
            EXPECT_NE(std::find(after.begin(), after.end(), n), after.end()) << std::string(n.begin(), n.end());
    }
}

}  // namespace

// Clips with data and body tables in two folders of a two-drive volume, and
// what a restart must find of them.
class ZarFsCutLayout : public ZarFsPowerCut {
protected:
    struct Clip {
        ZAR_FILE_INFO entry;
        std::vector<UCHAR> table;
    };
    struct Extent {
        ULONG first, length;
        std::string what;
    };

    void SetUp() override
    {
        ZarFsPowerCut::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Format(u"Media", {0, 1}), ZARFS_FORMAT_OK);
        ZARFS_HW_VOLUME* v = UsableVolume();
        ULONG slot = 0;
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"A", 1, &slot), STATUS_SUCCESS);
        ASSERT_EQ(slot, 0u);
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), v, u"B", 1, &slot), STATUS_SUCCESS);
        ASSERT_EQ(slot, 1u);
        for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(MakeClip(v, 0, i));
        ASSERT_NO_FATAL_FAILURE(MakeClip(v, 1, 3));
    }

    // A clip of 'frames' frames: its data in the lower region, its body table
    // (a pattern of its own) in the upper one, its entry in 'folder'.
    void MakeClip(ZARFS_HW_VOLUME* v, ULONG folder, int i, ULONG frames = 100)
    {
        ZAR_FILE_INFO clip{};
        clip.CreationTime = 9;
        clip.MediaKind = ZARFS_MEDIA_FRAMES;
        clip.FrameCount = frames;
        clip.VideoBlocksPerDrive = frames * 4;
        ASSERT_TRUE(ZarFsVolAllocAllocateLowerSpace(&v->Alloc, clip.VideoBlocksPerDrive, &clip.VideoFirstBlock));
        clip.VideoBodyTableBlocks = ZarFsHwGetBodyTableSize(frames) / kBlock;
        ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(&v->Alloc, clip.VideoBodyTableBlocks, &clip.VideoBodyTableFirst),
                  STATUS_SUCCESS);
        std::vector<UCHAR> table(size_t(clip.VideoBodyTableBlocks) * kBlock);
        for (size_t k = 0; k < table.size(); ++k) table[k] = UCHAR(k * 7 + i);
        ASSERT_EQ(ZarFsHwSCSIWrite(Hw(), 0, clip.VideoBodyTableFirst, clip.VideoBodyTableBlocks, table.data(), 0),
                  STATUS_SUCCESS);
        std::u16string name = ClipName(i);
        ZarFsHwStoreName(clip.Name, name.data(), ULONG(name.size()));
        ULONG block = 0;
        ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), v, folder, &clip, &block), STATUS_SUCCESS);
        clips_[name] = {clip, table};
    }

    // Folder slot and file slot of every file of the volume, by name.
    std::multimap<std::u16string, std::pair<ULONG, ULONG>> Places(ZARFS_HW_VOLUME* v)
    {
        std::multimap<std::u16string, std::pair<ULONG, ULONG>> places;
        auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
        for (ULONG slot = 0; slot < ZARFS_FOLDER_SLOTS; ++slot) {
            if (!((v->FolderBitmap[slot / 32] >> (slot % 32)) & 1)) continue;
            EXPECT_EQ(ZarFsHwReadDirEntry(Hw(), v, slot, folder.get()), STATUS_SUCCESS);
            for (ULONG f = 0; f < ZARFS_FILES_PER_FOLDER; ++f) {
                if (folder->FileSlots[f] == 0) continue;
                ZAR_FILE_INFO entry;
                EXPECT_EQ(ZarFsHwReadFileEntry(Hw(), v, folder->FileSlots[f], &entry), STATUS_SUCCESS);
                places.emplace(std::u16string(entry.Name, ZarFsHwNameLength(entry.Name)), std::make_pair(slot, f));
            }
        }
        return places;
    }

    // Every clip is in exactly one folder, its entry and body table read back
    // as written, and no two extents of the volume share a block; the
    // allocator's free count is what the extents leave.
    void ExpectEveryClipWhole(ZARFS_HW_VOLUME* v)
    {
        auto places = Places(v);
        auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
        std::vector<Extent> extents;
        for (const auto& [name, clip] : clips_) {
            SCOPED_TRACE(std::string(name.begin(), name.end()));
            ASSERT_EQ(places.count(name), 1u);
            auto [folderSlot, fileSlot] = places.find(name)->second;
            ASSERT_EQ(ZarFsHwReadDirEntry(Hw(), v, folderSlot, folder.get()), STATUS_SUCCESS);
            ULONG block = folder->FileSlots[fileSlot];
            ZAR_FILE_INFO entry;
            ASSERT_EQ(ZarFsHwReadFileEntry(Hw(), v, block, &entry), STATUS_SUCCESS);
            EXPECT_EQ(entry.VideoFirstBlock, clip.entry.VideoFirstBlock);
            EXPECT_EQ(entry.VideoBlocksPerDrive, clip.entry.VideoBlocksPerDrive);
            EXPECT_EQ(entry.VideoBodyTableFirst, clip.entry.VideoBodyTableFirst);
            EXPECT_EQ(entry.FrameCount, clip.entry.FrameCount);
            EXPECT_EQ(ImageBlocks(0, entry.VideoBodyTableFirst, entry.VideoBodyTableBlocks), clip.table);
            std::string n(name.begin(), name.end());
            extents.push_back({block, ZARFS_FILE_ENTRY_BLOCKS, n + " entry"});
            extents.push_back({entry.VideoFirstBlock, entry.VideoBlocksPerDrive, n + " data"});
            extents.push_back({entry.VideoBodyTableFirst, entry.VideoBodyTableBlocks, n + " body table"});
        }
        EXPECT_EQ(places.size(), clips_.size());
        std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.first < b.first; });
        ULONGLONG used = 0;
        for (size_t i = 0; i < extents.size(); ++i) {
            used += extents[i].length;
            if (i > 0) {
                EXPECT_LE(extents[i - 1].first + extents[i - 1].length, extents[i].first)
                    << extents[i - 1].what << " overlaps " << extents[i].what;
            }
        }
        // The total counts from block 0; the area starts above the volume
        // entry's reserve.
        EXPECT_EQ(ZarFsVolAllocGetFreeBlocks(&v->Alloc),
                  ZarFsVolAllocGetTotalBlocks(&v->Alloc) - ZARFS_ALLOC_FIRST_BLOCK - used);
    }

    std::map<std::u16string, Clip> clips_;
};

// The move writes, on drive 0: the file entry (1,024 bytes), the slot in
// the new folder (one folder entry, 9,216 bytes), then the cleared slot in
// the old one. The cut comes before each of them, inside the entry (rewritten
// unchanged, so any part of it is as good as the whole) and after the last.
TEST_F(ZarFsCutLayout, AFolderMoveCutAtAnyWriteLeavesEveryClipInOneFolder)
{
    constexpr int64_t kEntry = sizeof(ZAR_FILE_INFO), kFolder = sizeof(ZARFS_DIR_ENTRY);
    struct Row {
        const char* what;
        ULONG from, to;
        int64_t cut;
        ULONG expectedFolder;  // where the clip is after the restart
    } rows[] = {
        {"A to B, before the entry", 0, 1, 0, 0},
        {"A to B, inside the entry", 0, 1, kEntry / 2 + 3, 0},
        {"A to B, before the new slot", 0, 1, kEntry, 0},
        {"A to B, before the old slot is cleared", 0, 1, kEntry + kFolder, 0},
        {"A to B, after the last write", 0, 1, kEntry + 2 * kFolder, 1},
        {"B to A, before the new slot", 1, 0, kEntry, 1},
        {"B to A, before the old slot is cleared", 1, 0, kEntry + kFolder, 0},
        {"B to A, after the last write", 1, 0, kEntry + 2 * kFolder, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZARFS_HW_VOLUME* v = UsableVolume();
        ASSERT_NE(v, nullptr);
        // The clip to move: made here in the row's source folder.
        ASSERT_NO_FATAL_FAILURE(MakeClip(v, row.from, 10));
        auto places = Places(v);
        ASSERT_EQ(places.count(ClipName(10)), 1u);
        ULONG fileSlot = places.find(ClipName(10))->second.second;
        std::u16string name = ClipName(10);

        Disk(0)->Faults().writeBytesLeft = row.cut;
        ZarFsHwMoveFile(Hw(), v, row.from, fileSlot, row.to, name.data(), ULONG(name.size()));
        ASSERT_NO_FATAL_FAILURE(PowerCycle());

        v = UsableVolume();
        ASSERT_NE(v, nullptr);
        ASSERT_NO_FATAL_FAILURE(ExpectEveryClipWhole(v));
        places = Places(v);
        EXPECT_EQ(places.find(name)->second.first, row.expectedFolder);

        // The next row starts from a clean disk: the clip goes.
        auto it = places.find(name);
        ASSERT_EQ(ZarFsHwRemoveFile(Hw(), v, it->second.first, it->second.second), STATUS_SUCCESS);
        clips_.erase(name);
        ASSERT_NO_FATAL_FAILURE(PowerCycle());
        ASSERT_NO_FATAL_FAILURE(ExpectEveryClipWhole(UsableVolume()));
    }
}

// The rename writes blocks 0-1 of drive 0, then of drive 1. Whatever was
// written when the power went, the restart finds the volume whole under one
// of its two names, with every clip.
TEST_F(ZarFsCutLayout, AVolumeRenameCutAtAnyWriteKeepsTheVolume)
{
    constexpr int64_t kVolumeEntry = sizeof(ZARFS_VOLUME_ENTRY);
    struct Row {
        const char* what;
        int64_t cut;  // bytes written in all, drive 0's entry first
        const char16_t* name;
    } rows[] = {
        {"before drive 0", 0, u"Media"},
        {"between the drives", kVolumeEntry, u"Renamed"},
        {"after drive 1", 2 * kVolumeEntry, u"Renamed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZARFS_HW_VOLUME* v = UsableVolume();
        ASSERT_NE(v, nullptr);
        // Back to the first name, whatever the last row left.
        if (!ZarFsHwNameEquals(v->Name, u"Media", 5)) {
            ASSERT_EQ(ZarFsHwRenameVolume(Hw(), v, u"Media", 5), STATUS_SUCCESS);
        }

        // Nothing reaches a drive after the cut, on either drive.
        Disk(0)->Faults().writeBytesLeft = std::min(row.cut, kVolumeEntry);
        Disk(1)->Faults().writeBytesLeft = std::max<int64_t>(row.cut - kVolumeEntry, 0);
        ZarFsHwRenameVolume(Hw(), v, u"Renamed", 7);
        ASSERT_NO_FATAL_FAILURE(PowerCycle());

        std::vector<ZARFS_HW_VOLUME*> volumes = Volumes();
        ASSERT_EQ(volumes.size(), 1u);
        v = volumes[0];
        ASSERT_TRUE(ZarFsHwVolumeUsable(v));
        EXPECT_EQ(v->ScsiIds[0], 0u);
        EXPECT_EQ(v->ScsiIds[1], 1u);
        std::u16string expected = row.name;
        EXPECT_TRUE(ZarFsHwNameEquals(v->Name, expected.data(), ULONG(expected.size())));
        ASSERT_NO_FATAL_FAILURE(ExpectEveryClipWhole(v));
    }
}

// A move or a rename that fails part-way (a write refused, the power on)
// reports the failure and leaves the clip and the volume as they were, in
// memory and, after a restart, on disk.
TEST_F(ZarFsCutLayout, AMoveOrRenameThatFailsPartWayPutsBackWhatItWrote)
{
    ZARFS_HW_VOLUME* v = UsableVolume();
    ASSERT_NO_FATAL_FAILURE(MakeClip(v, 0, 10));
    const std::u16string name = ClipName(10), moved = u"moved.kiv";
    ULONG fileSlot = Places(v).find(name)->second.second;
    // The old folder's slot cannot be cleared.
    Disk(0)->Faults().badBlock = ZarFsHwFolderBlock(v->FolderAreaFirst, 0);
    EXPECT_FALSE(NT_SUCCESS(ZarFsHwMoveFile(Hw(), v, 0, fileSlot, 1, moved.data(), ULONG(moved.size()))));
    // The volume's drive 1 takes no new entry.
    Disk(1)->Faults().badBlock = 0;
    EXPECT_FALSE(NT_SUCCESS(ZarFsHwRenameVolume(Hw(), v, u"Renamed", 7)));
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "in memory" : "after a restart");
        v = UsableVolume();
        ASSERT_NE(v, nullptr);
        EXPECT_TRUE(ZarFsHwNameEquals(v->Name, u"Media", 5));
        auto places = Places(v);
        EXPECT_EQ(places.count(moved), 0u);
        ASSERT_EQ(places.count(name), 1u);
        EXPECT_EQ(places.find(name)->second, std::make_pair(ULONG(0), fileSlot));
        ASSERT_NO_FATAL_FAILURE(ExpectEveryClipWhole(v));
        for (int id : {0, 1}) Disk(id)->Faults().badBlock = -1;
        if (pass == 0) {
            ASSERT_NO_FATAL_FAILURE(PowerCycle());
        }
    }
}

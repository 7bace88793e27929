// Power cuts: the drives stop writing at a random point during a format and
// during entry writes and body-table flushes; after a restart of the machine
// discovery still comes up, and every entry written before the cut is there.

#include <gtest/gtest.h>

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

// Body-table objects over a formatted one-drive volume, on the virtual
// clock: section names and shared memory, the nodes read from disk, the
// 32 objects kept after release, the flush thread's timing, objects that
// were only read, flush suspension per handle, and writes bounded by the
// run the file entry records now.

#include <gtest/gtest.h>

#include "mediafs_machine.h"

namespace {

constexpr uint64_t kSecond = 1000000000ull;

class ZarFsBodyTable : public MediaFsMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0)}; }

    void SetUp() override
    {
        MediaFsMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Format(u"Media", {0}), ZARFS_FORMAT_OK);
        volume_ = Volumes().at(0);
        ASSERT_EQ(ZarFsHwCreateFolder(Hw(), volume_, u"Clips", 5, &folder_), STATUS_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(MakeClip(u"take.kiv", 100));
    }

    // A clip of 'frames' frames whose field k takes k + 1 blocks.
    void MakeClip(const std::u16string& name, ULONG frames)
    {
        ULONG blocks = ZarFsHwGetBodyTableSize(frames) / kBlock;
        ASSERT_EQ(ZarFsVolAllocAllocateUpperSpace(&volume_->Alloc, blocks, &tableFirst_), STATUS_SUCCESS);
        table_.assign(blocks * kBlock / 4, 0);
        for (ULONG k = 0; k < frames * 2; ++k) table_[k] = k + 1;
        WriteImageBlocks(0, tableFirst_, table_.data(), table_.size() * 4);
        entry_ = {};
        entry_.CreationTime = 7;
        entry_.MediaKind = ZARFS_MEDIA_FRAMES;
        entry_.FrameCount = frames;
        entry_.VideoFirstBlock = 2000;
        entry_.VideoBlocksPerDrive = frames * (frames * 2 + 1);
        entry_.VideoBodyTableFirst = tableFirst_;
        entry_.VideoBodyTableBlocks = blocks;
        ZarFsHwStoreName(entry_.Name, name.data(), ULONG(name.size()));
        ASSERT_EQ(ZarFsHwCreateFileEntry(Hw(), volume_, folder_, &entry_, &entryBlock_), STATUS_SUCCESS);
    }

    ZARFS_BT_HANDLER* Handler() { return &Card()->BodyTables; }
    ZARFS_BT_OBJECT* Reference(const std::u16string& name)
    {
        UNICODE_STRING s{USHORT(name.size() * 2), USHORT(name.size() * 2), const_cast<PWCHAR>(name.data())};
        ZARFS_BT_OBJECT* object = nullptr;
        EXPECT_EQ(ZarFsBTReferenceObject(Handler(), &s, volume_, entryBlock_, &entry_, &object), STATUS_SUCCESS);
        return object;
    }
    std::vector<ULONG> DiskTable()
    {
        auto bytes = ImageBlocks(0, tableFirst_, ULONG(table_.size() * 4 / kBlock));
        std::vector<ULONG> out(bytes.size() / 4);
        std::memcpy(out.data(), bytes.data(), bytes.size());
        return out;
    }
    static ZARFS_BODY_TABLE_NODE* Nodes(ZARFS_BT_OBJECT* o) { return static_cast<ZARFS_BODY_TABLE_NODE*>(o->VideoView); }

    ZARFS_HW_VOLUME* volume_ = nullptr;
    ULONG folder_ = 0, tableFirst_ = 0, entryBlock_ = 0;
    std::vector<ULONG> table_;
    ZAR_FILE_INFO entry_{};
};

TEST_F(ZarFsBodyTable, SectionsAreNamedAfterTheFileAndShared)
{
    entry_.Flags |= ZARFS_FILE_HAS_ALPHA;
    ZARFS_BT_OBJECT* o = Reference(u"\\KIV\\Media\\Clips\\take.kiv");
    ASSERT_NE(o, nullptr);
    WCHAR name[64];
    ASSERT_EQ(ZarFsBTGetVideoName(o, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"P:/KIV/MEDIA/CLIPS/TAKE.KIV");
    ASSERT_EQ(ZarFsBTGetAlphaName(o, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"P:/KIV/MEDIA/CLIPS/TAKE.KIV_A");
    EXPECT_EQ(ZarFsBTGetVideoName(o, name, 27 * 2), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZarFsBTGetVideoName(o, name, 28 * 2), STATUS_SUCCESS);

    // The nodes as the striping gives them, seen through a second open of
    // the section by its full name.
    UNICODE_STRING full;
    RtlInitUnicodeString(&full, u"\\BaseNamedObjects\\P:/KIV/MEDIA/CLIPS/TAKE.KIV");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &full, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE section = nullptr;
    ASSERT_EQ(ZwOpenSection(&section, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    PVOID view = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &view, 0, 0, nullptr, &size, ViewUnmap, 0,
                                 PAGE_READWRITE),
              STATUS_SUCCESS);
    auto* nodes = static_cast<ZARFS_BODY_TABLE_NODE*>(view);
    EXPECT_EQ(nodes[0].ScsiId, 0u);
    EXPECT_EQ(nodes[0].FirstBlock, 2000u);
    EXPECT_EQ(nodes[1].FirstBlock, 2001u);
    EXPECT_EQ(nodes[2].FirstBlock, 2003u);
    EXPECT_EQ(nodes[199].Counts, 200u);
    nodes[5].Counts = 0xABCD;
    EXPECT_EQ(Nodes(o)[5].Counts, 0xABCDu);
    ZwUnmapViewOfSection(NtCurrentProcess(), view);
    ZwClose(section);
    ZarFsBTDereferenceObject(Handler(), o);
}

TEST_F(ZarFsBodyTable, ThirtyThreeReleasesLeaveThirtyTwoObjects)
{
    std::vector<std::u16string> names;
    for (int i = 0; i < 33; ++i) {
        std::string digits = std::to_string(i);
        names.push_back(u"\\KIV\\Media\\Clips\\c" + std::u16string(digits.begin(), digits.end()) + u".kiv");
    }
    for (const auto& name : names) {
        ZARFS_BT_OBJECT* o = Reference(name);
        ASSERT_NE(o, nullptr);
        ZarFsBTDereferenceObject(Handler(), o);
    }
    EXPECT_EQ(Handler()->UnreferencedCount, 32u);
    EXPECT_EQ(Handler()->ReferencedCount, 0u);
    // The first released is gone; the most recent release is at the head.
    bool firstThere = false;
    for (PLIST_ENTRY e = Handler()->Unreferenced.Flink; e != &Handler()->Unreferenced; e = e->Flink) {
        auto* o = CONTAINING_RECORD(e, ZARFS_BT_OBJECT, Link);
        std::u16string name(o->Name.Buffer, o->Name.Length / 2);
        if (name == names[0]) firstThere = true;
    }
    EXPECT_FALSE(firstThere);
    auto* head = CONTAINING_RECORD(Handler()->Unreferenced.Flink, ZARFS_BT_OBJECT, Link);
    EXPECT_EQ(std::u16string(head->Name.Buffer, head->Name.Length / 2), names[32]);
    // Referenced again, an object comes back from the unreferenced list.
    ZARFS_BT_OBJECT* again = Reference(names[32]);
    EXPECT_EQ(again, head);
    EXPECT_EQ(Handler()->UnreferencedCount, 31u);
}

TEST_F(ZarFsBodyTable, AnObjectOnlyReadIsNeverWritten)
{
    ZARFS_BT_OBJECT* o = Reference(u"\\KIV\\Media\\Clips\\take.kiv");
    Nodes(o)[0].Counts = 0x7777;  // changed in memory, but no write access
    nt::ClockRunFor(30 * kSecond);
    EXPECT_EQ(DiskTable(), table_);
    ZarFsBTDereferenceObject(Handler(), o);
    for (int i = 0; i < 32; ++i) ZarFsBTDereferenceObject(Handler(), Reference(u"x" + std::u16string(1, u'0' + i)));
    EXPECT_EQ(Handler()->UnreferencedCount, 32u);
    EXPECT_EQ(DiskTable(), table_);
}

TEST_F(ZarFsBodyTable, AWrittenObjectIsFlushedTenSecondsAfterItsLastWrite)
{
    ZARFS_BT_OBJECT* o = Reference(u"\\KIV\\Media\\Clips\\take.kiv");
    ZarFsBTWriteAccessReference(Handler(), o);
    Nodes(o)[0].Counts = 0x1111;
    nt::ClockRunFor(9 * kSecond);
    EXPECT_EQ(DiskTable()[0], 1u);
    nt::ClockRunFor(3 * kSecond + kSecond / 2);  // the pass after the 10 s mark
    EXPECT_EQ(DiskTable()[0], 0x1111u);
    // Kept dirty while referenced: written again some 10 s later.
    Nodes(o)[0].Counts = 0x2222;
    nt::ClockRunFor(7 * kSecond);
    EXPECT_EQ(DiskTable()[0], 0x1111u);
    nt::ClockRunFor(5 * kSecond);
    EXPECT_EQ(DiskTable()[0], 0x2222u);
    ZarFsBTWriteAccessDereference(Handler(), o);
    ZarFsBTDereferenceObject(Handler(), o);
}

TEST_F(ZarFsBodyTable, ASuspensionHoldsFlushingOffUntilItsHandleGoes)
{
    ZARFS_BT_OBJECT* o = Reference(u"\\KIV\\Media\\Clips\\take.kiv");
    ZarFsBTWriteAccessReference(Handler(), o);
    Nodes(o)[3].Counts = 0x3333;
    ZARFS_HANDLE_CONTEXT* handle = ZarFsHCAllocateContext();
    ASSERT_EQ(ZarFsHCGetContext(handle), handle);
    ZarFsHCBodyTableFlushSuspend(handle);
    ZarFsBTRequestFlushSuspend(Handler());
    nt::ClockRunFor(30 * kSecond);
    EXPECT_EQ(DiskTable()[3], 4u);
    // The handle closes without resuming: its suspension is taken back.
    ZarFsHCBodyTableFlushSync(handle, Handler());
    EXPECT_EQ(Handler()->SuspendCount, 0u);
    nt::ClockRunFor(3 * kSecond);
    EXPECT_EQ(DiskTable()[3], 0x3333u);
    ZarFsHCFreeContext(handle);
    ZarFsBTDereferenceObject(Handler(), o);
}

TEST_F(ZarFsBodyTable, WritesStayInsideTheRunTheEntryRecordsNow)
{
    ASSERT_EQ(table_.size(), 256u);  // two blocks
    ZARFS_BT_OBJECT* o = Reference(u"\\KIV\\Media\\Clips\\take.kiv");
    ZarFsBTWriteAccessReference(Handler(), o);
    for (ULONG k = 0; k < 200; ++k) Nodes(o)[k].Counts = 0x5000 + k;
    // The writer's update cut the table to one block and gave the other back.
    entry_.VideoBodyTableBlocks = 1;
    ASSERT_EQ(ZarFsHwWriteFileEntry(Hw(), volume_, entryBlock_, &entry_), STATUS_SUCCESS);
    const std::vector<UCHAR> other(kBlock, 0xEE);
    WriteImageBlocks(0, tableFirst_ + 1, other.data(), other.size());
    ASSERT_EQ(ZarFsBTFlushObjectByName(Handler(), &o->Name), STATUS_SUCCESS);
    auto disk = DiskTable();
    EXPECT_EQ(disk[0], 0x5000u);
    EXPECT_EQ(disk[127], 0x5000u + 127);
    EXPECT_EQ(ImageBlocks(0, tableFirst_ + 1, 1), other);
    ZarFsBTDereferenceObject(Handler(), o);
}

}  // namespace

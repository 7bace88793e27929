// The on-disk format's pure routines: the checksum over its vectors, entry
// checks of each kind, names, body-table sizes, striping of fields over one
// and two drives, and the stand-in entries for unreadable blocks.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/mediafs/zarfs_format.h"

namespace {

TEST(ZarFsChecksum, Vectors)
{
    struct Row {
        const char* name;
        std::vector<UCHAR> bytes;
        ULONG sum;
    } rows[] = {
        {"no bytes", {}, 0x00000001},
        {"abc", {'a', 'b', 'c'}, 0x024D0127},
        {"1024 zero bytes", std::vector<UCHAR>(1024, 0), 0x04000001},
        {"0xFF counts as -1", {0xFF}, 0x00000000},
        {"0x80 counts as -128, no modulus", {0x80}, 0xFF80FF81},
        // b wraps past 32 bits: 70,000 x 0x7F (a = 1 + 127n; b = n + 127n(n+1)/2).
        {"wrapping sums", std::vector<UCHAR>(70000, 0x7F),
         ULONG((uint64_t(70000) + 127ull * 70000 * 70001 / 2) << 16) + ULONG(1 + 127ull * 70000)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ZarFsHwCalcChecksum(row.bytes.data(), ULONG(row.bytes.size())), row.sum);
    }
}

// Each kind with its own size and checksum offset: stored, checked, and
// caught when one byte changes or the kind is wrong.
TEST(ZarFsChecksum, EntriesOfEachKindRoundTrip)
{
    ZARFS_VOLUME_ENTRY volume{};
    std::memcpy(volume.Magic, "VOL0", 4);
    volume.Version = ZARFS_VOLUME_VERSION;
    volume.CreationTime = 0x01D0123456789ABCull;
    volume.DriveCount = 2;
    volume.DriveIndex = 1;
    ZarFsHwStoreName(volume.Name, u"Media", 5);

    static ZARFS_DIR_ENTRY folder{};
    std::memcpy(folder.Magic, "FOL0", 4);
    folder.InUse = 1;
    folder.FileCount = 1;
    folder.FileSlots[2047] = 0x12345;
    ZarFsHwStoreName(folder.Name, u"Clips", 5);

    ZAR_FILE_INFO file{};
    std::memcpy(file.Magic, "FIL0", 4);
    file.FrameCount = 300;
    file.AppData[255] = 0xEE;
    ZarFsHwStoreName(file.Name, u"take1.kiv", 9);

    struct Row {
        const char* name;
        void* entry;
        ULONG size, kind, checksumOffset;
    } rows[] = {
        {"volume", &volume, sizeof volume, ZarFsEntryVolume, 16},
        {"folder", &folder, sizeof folder, ZarFsEntryDir, 4},
        {"file", &file, sizeof file, ZarFsEntryFile, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* bytes = static_cast<UCHAR*>(row.entry);
        ZarFsHwSetChecksum(row.entry, row.kind);
        ULONG stored;
        std::memcpy(&stored, bytes + row.checksumOffset, 4);
        std::vector<UCHAR> zeroed(bytes, bytes + row.size);
        std::memset(zeroed.data() + row.checksumOffset, 0, 4);
        EXPECT_EQ(stored, ZarFsHwCalcChecksum(zeroed.data(), row.size));
        EXPECT_TRUE(ZarFsHwVerifyChecksum(row.entry, row.kind, FALSE));
        EXPECT_FALSE(ZarFsHwVerifyChecksum(row.entry, ZarFsEntryBodyTable, FALSE));
        bytes[row.size - 1] ^= 1;
        EXPECT_FALSE(ZarFsHwVerifyChecksum(row.entry, row.kind, FALSE));
        bytes[row.size - 1] ^= 1;
    }
}

TEST(ZarFsChecksum, BlankEntriesPassOnlyWhenAllowed)
{
    // Blocks never written: the volume check always fails (sum 0x04000001,
    // field 0); a blank folder passes only with the switch on.
    ZARFS_VOLUME_ENTRY volume{};
    EXPECT_FALSE(ZarFsHwVerifyChecksum(&volume, ZarFsEntryVolume, FALSE));
    static ZARFS_DIR_ENTRY folder{};
    EXPECT_TRUE(ZarFsHwVerifyChecksum(&folder, ZarFsEntryDir, TRUE));
    EXPECT_FALSE(ZarFsHwVerifyChecksum(&folder, ZarFsEntryDir, FALSE));
    // Blank means the first four bytes: a zero magic with content still passes.
    folder.FileCount = 3;
    EXPECT_TRUE(ZarFsHwVerifyChecksum(&folder, ZarFsEntryDir, TRUE));
}

TEST(ZarFsNames, ValidityRules)
{
    std::u16string longest(256, u'x'), tooLong(257, u'x');
    struct Row {
        std::u16string name;
        bool valid;
    } rows[] = {
        {u"Clip 1.kiv", true}, {longest, true}, {tooLong, false}, {u"", false},
        {u"a\\b", false},      {u"a/b", false}, {u"a:b", false},  {u"a*", false},
        {u"a?", false},        {u"\"a\"", false}, {u"<a", false}, {u"a>", false},
        {u"a|b", false},       {u"ÄÖÜ é", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name.begin(), row.name.end()));
        EXPECT_EQ(bool(ZarFsHwIsValidFilename(row.name.data(), ULONG(row.name.size()))), row.valid);
    }
    // Stored names end at their first zero or the field's end; comparisons
    // ignore case.
    WCHAR field[ZARFS_NAME_CHARS];
    ZarFsHwStoreName(field, longest.data(), 256);
    EXPECT_EQ(ZarFsHwNameLength(field), 256u);
    ZarFsHwStoreName(field, u"MeDia", 5);
    EXPECT_EQ(ZarFsHwNameLength(field), 5u);
    EXPECT_TRUE(ZarFsHwNameEquals(field, u"media", 5));
    EXPECT_FALSE(ZarFsHwNameEquals(field, u"medias", 6));
}

TEST(ZarFsBodyTable, Sizes)
{
    struct Row {
        ULONG frames, tableBytes, nodeBytes;
    } rows[] = {{0, 0, 0}, {1, 512, 24}, {64, 512, 1536}, {65, 1024, 1560}, {216000, 1728000, 5184000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frames);
        EXPECT_EQ(ZarFsHwGetBodyTableSize(row.frames), row.tableBytes);
        EXPECT_EQ(ZarFsHwGetBodyTableNodesSize(row.frames), row.nodeBytes);
    }
}

// Field k lies on drive k mod D; each drive's fields follow one another
// from the stream's first block. Block counts are two u16 halves.
TEST(ZarFsBodyTable, StripingOverOneAndTwoDrives)
{
    const ULONG table[] = {10, 7, (2u << 16) | 3, 4, 1, 1};
    const ULONG ids[] = {3, 5};
    struct Row {
        ULONG drives;
        std::vector<ZARFS_BODY_TABLE_NODE> nodes;
    } rows[] = {
        {1, {{3, 2000, 10}, {3, 2010, 7}, {3, 2017, (2u << 16) | 3}, {3, 2022, 4}, {3, 2026, 1}, {3, 2027, 1}}},
        {2, {{3, 2000, 10}, {5, 2000, 7}, {3, 2010, (2u << 16) | 3}, {5, 2007, 4}, {3, 2015, 1}, {5, 2011, 1}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.drives);
        ZARFS_BODY_TABLE_NODE nodes[6];
        ZarFsHwBuildBodyTableNodes(table, 6, ids, row.drives, 2000, nodes);
        for (int k = 0; k < 6; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(nodes[k].ScsiId, row.nodes[k].ScsiId);
            EXPECT_EQ(nodes[k].FirstBlock, row.nodes[k].FirstBlock);
            EXPECT_EQ(nodes[k].Counts, row.nodes[k].Counts);
        }
        ULONG packed[6];
        ZarFsHwPackBodyTableNodes(nodes, 6, packed);
        EXPECT_EQ(std::memcmp(packed, table, sizeof table), 0);
    }
}

TEST(ZarFsReplacementEntries, NameTheBlockAndPassTheirChecks)
{
    static ZARFS_DIR_ENTRY folder;
    std::memset(&folder, 0xAB, sizeof folder);
    ZarFsHwMakeReplacementEntry(&folder, ZarFsEntryDir, 12345);
    EXPECT_EQ(std::memcmp(folder.Magic, "FOL0", 4), 0);
    EXPECT_EQ(folder.InUse, 1u);
    EXPECT_EQ(folder.FileCount, 0u);
    EXPECT_EQ(folder.FileSlots[0], 0u);
    EXPECT_TRUE(ZarFsHwNameEquals(folder.Name, u"BAD_DIR_12345", 13));
    EXPECT_TRUE(ZarFsHwVerifyChecksum(&folder, ZarFsEntryDir, FALSE));

    ZAR_FILE_INFO file;
    std::memset(&file, 0xAB, sizeof file);
    ZarFsHwMakeReplacementEntry(&file, ZarFsEntryFile, 7);
    EXPECT_EQ(std::memcmp(file.Magic, "FIL0", 4), 0);
    EXPECT_EQ(file.VideoFirstBlock, 0u);
    EXPECT_TRUE(ZarFsHwNameEquals(file.Name, u"BAD_FILE_7", 10));
}

}  // namespace

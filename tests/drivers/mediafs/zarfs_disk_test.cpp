// Disk access through the board driver against the simulated drives:
// retries of a failing drive with one log entry, stand-in entries for
// folders and files that cannot be read, the 20-entry limit of the disk-
// error log, block moves through the board's staging memory.

#include <gtest/gtest.h>

#include <random>

#include "mediafs_machine.h"

namespace {

class ZarFsDisk : public MediaFsMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0)}; }

    static std::vector<UCHAR> RandomBytes(size_t count, uint32_t seed)
    {
        std::mt19937 gen(seed);
        std::vector<UCHAR> bytes(count);
        for (UCHAR& b : bytes) b = UCHAR(gen());
        return bytes;
    }
};

TEST_F(ZarFsDisk, AFailingDriveIsTriedFiveTimesAndLoggedOnce)
{
    nt::EventLogClear();
    Disk(0)->Faults().badBlock = 3000;
    auto folder = std::make_unique<ZARFS_DIR_ENTRY>();
    EXPECT_EQ(ZarFsHwSCSIReadEx(Hw(), 0, 2990, ZARFS_DIR_ENTRY_BLOCKS, folder.get(), 0, ZarFsEntryDir, TRUE),
              STATUS_SUCCESS);
    auto failed = FsEvents(ZARFS_MSG_SCSI_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings, (std::vector<std::u16string>{u"read", u"0", u"2990", u"DirEntry", u"4"}));
    EXPECT_TRUE(FsEvents(ZARFS_MSG_SCSI_RETRY).empty());
    // The reader carries on with a stand-in that names the block.
    EXPECT_EQ(std::memcmp(folder->Magic, "FOL0", 4), 0);
    EXPECT_EQ(folder->InUse, 1u);
    EXPECT_TRUE(ZarFsHwNameEquals(folder->Name, u"BAD_DIR_2990", 12));

    // A plain read of the same blocks fails: the record showed it.
    EXPECT_FALSE(NT_SUCCESS(ZarFsHwSCSIRead(Hw(), 0, 2990, 18, folder.get(), 0)));
    EXPECT_EQ(ZarFsHwSCSIRead(Hw(), 0, 3001, 18, folder.get(), 0), STATUS_SUCCESS);
}

TEST_F(ZarFsDisk, AFileEntryThatFailsItsChecksumBecomesABadFileEntry)
{
    nt::EventLogClear();
    ZAR_FILE_INFO garbage{};
    std::memcpy(garbage.Magic, "FIL0", 4);
    garbage.Checksum = 12345;
    WriteImageBlocks(0, 4000, &garbage, sizeof garbage);
    ZAR_FILE_INFO entry;
    EXPECT_EQ(ZarFsHwSCSIReadEx(Hw(), 0, 4000, 2, &entry, 0, ZarFsEntryFile, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(ZarFsHwNameEquals(entry.Name, u"BAD_FILE_4000", 13));
    auto failed = FsEvents(ZARFS_MSG_CHECKSUM_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings, (std::vector<std::u16string>{u"0", u"4000", u"FileEntry", u"4"}));
    // The dump is the first 40 bytes that were read.
    ASSERT_EQ(failed[0].data.size(), 40u);
    EXPECT_EQ(std::memcmp(failed[0].data.data(), &garbage, 40), 0);
}

TEST_F(ZarFsDisk, AtMostTwentyDiskErrorEntriesPerCard)
{
    nt::EventLogClear();
    Hw()->ScsiPrefs.RetryCount = 0;
    ZAR_FILE_INFO entry;
    for (int i = 0; i < 21; ++i) ZarFsHwSCSIReadEx(Hw(), 0, 5000, 2, &entry, 0, ZarFsEntryFile, FALSE);
    EXPECT_EQ(FsEvents(ZARFS_MSG_CHECKSUM_FAILED).size(), 20u);
    EXPECT_EQ(Hw()->DiskErrorEntries, 20);
}

TEST_F(ZarFsDisk, AVerifiedWriteReadsBackWhatItWrote)
{
    auto data = RandomBytes(300 * kBlock, 5);
    EXPECT_EQ(ZarFsHwSCSIWriteEx(Hw(), 0, 2000, 300, data.data(), 0, ZarFsEntryBodyTable), STATUS_SUCCESS);
    EXPECT_EQ(ImageBlocks(0, 2000, 300), data);
    // A drive that stops answering: every try fails, one entry says so.
    nt::EventLogClear();
    Disk(0)->Faults().badBlock = 2100;
    EXPECT_FALSE(NT_SUCCESS(ZarFsHwSCSIWriteEx(Hw(), 0, 2000, 256, data.data(), 0, ZarFsEntryBodyTable)));
    auto failed = FsEvents(ZARFS_MSG_SCSI_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings[0], u"write");
}

// 600 blocks one block upward: three chunks (256, 256, 88) from the top
// down, so the overlapping run arrives intact.
TEST_F(ZarFsDisk, MovingAnOverlappingRunUpByOneBlock)
{
    auto data = RandomBytes(600 * kBlock, 9);
    WriteImageBlocks(0, 2000, data.data(), data.size());
    ULONGLONG progress = 0;
    ULONG percentage = 0;
    EXPECT_EQ(ZarFsHwMoveBlocks(Hw(), 0, 2000, 600, 2001, &progress, 1, 6, &percentage), STATUS_SUCCESS);
    EXPECT_EQ(ImageBlocks(0, 2001, 600), data);
    EXPECT_EQ(progress, 600u);
    EXPECT_EQ(percentage, 100u);
    // Downward the same way, from the start.
    EXPECT_EQ(ZarFsHwMoveBlocks(Hw(), 0, 2001, 600, 1990, nullptr, 0, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ImageBlocks(0, 1990, 600), data);
    EXPECT_EQ(ZarFsHwMoveBlocks(Hw(), 0, 1990, 0, 3000, nullptr, 0, 0, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ZarFsHwMoveBlocks(Hw(), 0, 1990, 600, 1990, nullptr, 0, 0, nullptr), STATUS_SUCCESS);
}

TEST_F(ZarFsDisk, AMoveWhoseReadFailsLeavesTheDestinationUntouched)
{
    auto source = RandomBytes(300 * kBlock, 1), target = RandomBytes(300 * kBlock, 2);
    WriteImageBlocks(0, 2000, source.data(), source.size());
    WriteImageBlocks(0, 6000, target.data(), target.size());
    // Upward: the top chunk (blocks 2044-2299) goes first and its read fails.
    Disk(0)->Faults().badBlock = 2200;
    EXPECT_FALSE(NT_SUCCESS(ZarFsHwMoveBlocks(Hw(), 0, 2000, 300, 6000, nullptr, 0, 0, nullptr)));
    EXPECT_EQ(ImageBlocks(0, 6000, 300), target);
}

}  // namespace

namespace {

// An entry is at most 152 bytes: a 48-byte head, the dump data, then the
// insertion strings in UTF-16 (starting one word before the head's end);
// what would not fit is dropped whole and refused, never cut.
TEST_F(ZarFsDisk, EventEntriesUpTo152BytesAreWrittenWholeAndLargerOnesRefused)
{
    const UCHAR dump[ZARFS_EVENT_ENTRY_MAX] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct Case {
        USHORT dumpBytes;
        const char* text;       // one insertion string, or none
        NTSTATUS want;
    } cases[] = {
        {0, "SCSI device query failed", STATUS_SUCCESS},
        {12, "abc", STATUS_SUCCESS},
        {104, nullptr, STATUS_SUCCESS},                 // 48 + 104 = 152
        {96, "abc", STATUS_SUCCESS},                    // 48 + 96 + 8 = 152
        {105, nullptr, STATUS_UNSUCCESSFUL},
        {98, "abc", STATUS_UNSUCCESSFUL},
        {0, "an insertion string far too long to fit into one entry of the log", STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dumpBytes) + (c.text ? c.text : ""));
        nt::EventLogClear();
        EXPECT_EQ(ZarFsGlobLogEvent(Hw()->LogObject, ZARFS_MSG_FILE_ERROR, STATUS_DISK_FULL, dump, c.dumpBytes,
                                    c.text, static_cast<const char*>(nullptr)),
                  c.want);
        std::vector<nt::EventLogRecord> written = FsEvents(ZARFS_MSG_FILE_ERROR);
        if (c.want != STATUS_SUCCESS) {
            EXPECT_TRUE(written.empty());
            continue;
        }
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0].finalStatus, STATUS_DISK_FULL);
        EXPECT_EQ(written[0].data, std::vector<UCHAR>(dump, dump + c.dumpBytes));
        if (c.text == nullptr) {
            EXPECT_TRUE(written[0].strings.empty());
        } else {
            ASSERT_EQ(written[0].strings.size(), 1u);
            EXPECT_EQ(written[0].strings[0], std::u16string(c.text, c.text + std::strlen(c.text)));
        }
    }
}

}  // namespace

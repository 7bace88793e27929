// The disk request engine against the simulated drives, on the virtual
// clock: staged transfers in sub-commands and passes, the bounce path,
// direct drive-to-SDRAM transfers and the ring, the SDRAM copies, the
// sequential operations and their status code, the JPEG field operations,
// and the bus ownership a disk request waits for.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "zarkd_scsi_machine.h"

namespace {

class ZarkdScsiRequest : public ZarkdReadyDriveMachine<12288> {
protected:
    // 'count' bytes in a page-aligned block of memory, starting 'skew' bytes in.
    struct Buffer {
        std::vector<UCHAR> storage;
        UCHAR* data;
        Buffer(size_t count, size_t skew) : storage(count + skew + 4096)
        {
            auto base = reinterpret_cast<ULONG_PTR>(storage.data());
            data = reinterpret_cast<UCHAR*>((base + 4095) & ~ULONG_PTR(4095)) + skew;
        }
    };
};

// ---- staged transfers ----

TEST_F(ZarkdScsiRequest, RandomDataRoundTripsThroughTheImage)
{
    // Aligned buffers go straight through DEBI; a start off a 4-byte
    // boundary goes through the driver's own page.
    struct Row {
        const char* name;
        size_t skew;
        ULONG first, blocks;
    } rows[] = {
        {"one block", 0, 0, 1},
        {"aligned, several commands", 0, 100, 300},
        {"mid-page start", 512, 1000, 40},
        {"misaligned start", 2, 2000, 17},
    };
    uint32_t seed = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ULONG bytes = row.blocks * kBlock;
        std::vector<UCHAR> data = RandomBytes(bytes, seed++);
        Buffer out(bytes, row.skew);
        std::memcpy(out.data, data.data(), bytes);
        ZAR_DISK_REQUEST w = Run(Request(ZAR_DISK_OP_WRITE, 0, row.first, row.blocks), out.data, bytes);
        EXPECT_EQ(w.ScsiStatus, 0u);
        EXPECT_EQ(w.FirstBlock, row.first + row.blocks);
        EXPECT_EQ(ImageBlocks(0, row.first, row.blocks), data);

        Buffer in(bytes, row.skew);
        ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, 0, row.first, row.blocks), in.data, bytes);
        EXPECT_EQ(r.ScsiStatus, 0u);
        EXPECT_EQ(std::memcmp(in.data, data.data(), bytes), 0);
    }
}

TEST_F(ZarkdScsiRequest, StagedReadRunsInCommandsOf256Blocks)
{
    std::vector<UCHAR> data = RandomBytes(600 * kBlock, 7);
    WriteImageBlocks(0, 50, data);
    Buffer in(data.size(), 0);
    ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, 0, 50, 600), in.data, ULONG(data.size()));
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(r.FirstBlock, 650u);
    EXPECT_EQ(r.BlockCount, 88u);  // the last of 256, 256, 88
    EXPECT_EQ(r.DataDirection, ZAR_DISK_DIRECTION_IN);
    EXPECT_EQ(r.CdbLength, 10u);
    EXPECT_EQ(std::memcmp(in.data, data.data(), data.size()), 0);

    // A bad block in the second command: the first command's blocks arrive,
    // the record stops at the failing command and says so.
    Disk(0)->Faults().badBlock = 50 + 300;
    std::memset(in.data, 0, data.size());
    r = Run(Request(ZAR_DISK_OP_READ, 0, 50, 600), in.data, ULONG(data.size()));
    EXPECT_EQ(r.ScsiStatus, 2u);
    EXPECT_EQ(r.SenseKey, 3u);
    EXPECT_EQ(r.AdditionalSenseCode, 0x11u);
    EXPECT_EQ(r.FirstBlock, 50u + 256);
    EXPECT_EQ(r.BlockCount, 256u);
    EXPECT_EQ(std::memcmp(in.data, data.data(), 256 * kBlock), 0);
}

TEST_F(ZarkdScsiRequest, RangesPastTheLastBlockRunNoCommand)
{
    // Last block 12287.
    struct Row {
        ULONG first, count;
        ULONG status, endFirst;
    } rows[] = {
        {12287, 1, 0, 12288},     // the last block itself
        {12288, 1, 0x55, 12288},  // beyond: nothing runs, the status stays the caller's
        {12000, 400, 0, 12256},   // the second command would cross the end: [8] shows where it stopped
        {0xFFFFFFF0, 32, 0x55, 0xFFFFFFF0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.first);
        ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ, 0, row.first, row.count);
        q.ScsiStatus = 0x55;
        std::vector<UCHAR> in(size_t(row.count) * kBlock);
        ZAR_DISK_REQUEST r = Run(q, in.data(), ULONG(in.size()));
        EXPECT_EQ(r.FirstBlock, row.endFirst);
        EXPECT_EQ(r.ScsiStatus, row.status);
    }
}

TEST_F(ZarkdScsiRequest, LargeBufferStartingMidPageRunsInPassesOfAPageTable)
{
    // 4 MB and a bit from 512 bytes into a page: the first pass is what 1,024
    // page-table entries reach, cut to whole blocks; the request completes once.
    const ULONG bytes = 0x400000 + 64 * 1024;
    const ULONG blocks = bytes / kBlock;
    std::vector<UCHAR> data = RandomBytes(bytes, 11);
    WriteImageBlocks(0, 10, data);
    Buffer in(bytes, 512);
    ZAR_DISK_REQUEST r = Run(Request(ZAR_DISK_OP_READ, 0, 10, blocks), in.data, bytes);
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(r.FirstBlock, 10 + blocks);
    // The second pass is the 65,536 + 512 bytes the first could not take.
    EXPECT_EQ(r.BlockCount, (64u * 1024 + 512) / kBlock);
    EXPECT_EQ(std::memcmp(in.data, data.data(), bytes), 0);
    EXPECT_EQ(ext_->ScsiDcb.CurrentEntry, nullptr);
}

TEST_F(ZarkdScsiRequest, AFailedPassEndsTheRequestWithItsStatus)
{
    // The same 4 MB-and-a-bit buffer, a bad block in the first pass's second
    // command past the blocks a second pass would cover: that pass must not
    // run from where the first stopped, which would put its blocks on the
    // wrong ones (or read the wrong ones) and report GOOD.
    const ULONG bytes = 0x400000 + 64 * 1024;
    const ULONG blocks = bytes / kBlock;
    const ULONG tail = (bytes - (0x400000 - 512)) / kBlock;  // the second pass
    const ULONG first = 10, stop = first + 256, bad = stop + 200;
    for (bool write : {true, false}) {
        SCOPED_TRACE(write ? "write" : "read");
        std::vector<UCHAR> before = RandomBytes(bytes, 61);
        WriteImageBlocks(0, first, before);
        std::vector<UCHAR> data = RandomBytes(bytes, 62);
        Buffer buffer(bytes, 512);
        if (write) std::memcpy(buffer.data, data.data(), bytes);
        else std::memset(buffer.data, 0, bytes);
        Disk(0)->Faults().badBlock = bad;
        ZAR_DISK_REQUEST r =
            Run(Request(write ? ZAR_DISK_OP_WRITE : ZAR_DISK_OP_READ, 0, first, blocks), buffer.data, bytes);
        Disk(0)->Faults().badBlock = -1;
        EXPECT_EQ(r.ScsiStatus, 2u);
        EXPECT_EQ(r.SenseKey, 3u);
        EXPECT_EQ(r.FirstBlock, stop);
        EXPECT_EQ(ext_->ScsiDcb.CurrentEntry, nullptr);
        if (write) {
            std::vector<UCHAR> tailData(data.end() - tail * kBlock, data.end());
            EXPECT_NE(ImageBlocks(0, stop, tail), tailData) << "the second pass wrote over the first's blocks";
            EXPECT_EQ(ImageBlocks(0, bad, blocks - (bad - first)),
                      std::vector<UCHAR>(before.begin() + (bad - first) * kBlock, before.end()));
        } else {
            std::vector<UCHAR> zeros(tail * kBlock, 0);
            EXPECT_EQ(std::memcmp(buffer.data + bytes - zeros.size(), zeros.data(), zeros.size()), 0)
                << "the second pass filled the buffer's tail";
        }
    }
}

TEST_F(ZarkdScsiRequest, BadBuffersCompleteAtOnceWithAFailedStatus)
{
    // A direct transfer cannot bounce a misaligned start; no buffer length
    // may break the 4-byte rule.
    struct Row {
        const char* name;
        ULONG mode;
        size_t skew;
        ULONG length;
    } rows[] = {
        {"direct, misaligned", ZAR_DISK_ACCESS_1, 2, 512},
        {"staged, odd length", ZAR_DISK_ACCESS_STAGED, 0, 510},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Buffer in(row.length, row.skew);
        ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ, 0, 0, 1);
        q.AccessMode = row.mode;
        ZAR_DISK_REQUEST r = Run(q, in.data, row.length);
        EXPECT_EQ(r.ScsiStatus, 0xFFu);
        EXPECT_EQ(r.FirstBlock, 0u);
    }
}

// ---- direct transfers and the SDRAM copies ----

TEST_F(ZarkdScsiRequest, DirectReadFillsTheRingAndWrapsAtItsEnd)
{
    std::vector<UCHAR> data = RandomBytes(16 * kBlock, 21);
    WriteImageBlocks(0, 300, data);
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ, 0, 300, 16);
    q.AccessMode = ZAR_DISK_ACCESS_2;
    q.SdramAddress = 7930 * kBlock;
    ZAR_DISK_REQUEST r = Run(q);
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(r.SdramAddress, 7930 * kBlock);
    const UCHAR* sdram = TheBoard().Memory().Raw();
    EXPECT_EQ(std::memcmp(sdram + 7930 * kBlock, data.data(), 6 * kBlock), 0);
    EXPECT_EQ(std::memcmp(sdram, data.data() + 6 * kBlock, 10 * kBlock), 0);

    // The same ring read back to the host wraps the same way.
    std::vector<UCHAR> back(16 * kBlock);
    q = Request(ZAR_DISK_OP_SDRAM_READ);
    q.AccessMode = ZAR_DISK_ACCESS_2;
    q.SdramAddress = 7930 * kBlock;
    r = Run(q, back.data(), ULONG(back.size()));
    EXPECT_EQ(r.ScsiStatus, 0u);
    EXPECT_EQ(back, data);
}

TEST_F(ZarkdScsiRequest, DirectWriteTakesItsBlocksFromSdram)
{
    std::vector<UCHAR> data = RandomBytes(8 * kBlock, 31);
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_SDRAM_WRITE);
    q.AccessMode = ZAR_DISK_ACCESS_1;
    q.SdramAddress = 0x100000;
    EXPECT_EQ(Run(q, data.data(), ULONG(data.size())).ScsiStatus, 0u);
    EXPECT_EQ(std::memcmp(TheBoard().Memory().Raw() + 0x100000, data.data(), data.size()), 0);

    q = Request(ZAR_DISK_OP_WRITE, 0, 4000, 8);
    q.AccessMode = ZAR_DISK_ACCESS_1;
    q.SdramAddress = 0x100000;
    EXPECT_EQ(Run(q).ScsiStatus, 0u);
    EXPECT_EQ(ImageBlocks(0, 4000, 8), data);
}

// A count whose range end wraps 32 bits back to a low block is past the end
// all the same; its low 16 bits, all the command carries, are a plain 16
// blocks that the drive has.
class ZarkdScsiLargeDrive : public ZarkdReadyDriveMachine<0x20000> {};

TEST_F(ZarkdScsiLargeDrive, DirectReadWhoseCountWrapsRunsNoCommand)
{
    WriteImageBlocks(0, 0x10000, RandomBytes(16 * kBlock, 51));
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ, 0, 0x10000, 0xFFFF0010);
    q.AccessMode = ZAR_DISK_ACCESS_1;
    q.SdramAddress = 0x200000;
    q.ScsiStatus = 0x55;
    std::memset(TheBoard().Memory().Raw() + 0x200000, 0xA5, 16 * kBlock);
    ZAR_DISK_REQUEST r = Run(q);
    EXPECT_EQ(r.ScsiStatus, 0x55u);
    std::vector<UCHAR> untouched(16 * kBlock, 0xA5);
    EXPECT_EQ(std::memcmp(TheBoard().Memory().Raw() + 0x200000, untouched.data(), untouched.size()), 0);
}

TEST_F(ZarkdScsiLargeDrive, ADirectCountTheCommandCannotCarryIsRefused)
{
    // READ(10) carries 16 bits of count: 65,537 blocks would move 1 and
    // pass as whole. Sequences of such commands are refused as well. The
    // drive has every block of these ranges.
    struct Row {
        const char* name;
        ULONG operation;
        ULONG count;
        ULONG status;
    } rows[] = {
        {"read of 65,537", ZAR_DISK_OP_READ, 0x10001, 0xFF},
        {"write of 65,537", ZAR_DISK_OP_WRITE, 0x10001, 0xFF},
        {"sequential read of 65,537", ZAR_DISK_OP_READ_SEQ, 0x10001, 0xFF},
        {"field read of 65,537", ZAR_DISK_OP_JPEG_FIELD_READ, 0x10001, 0xFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ZAR_DISK_REQUEST q = Request(row.operation, 0, 0, row.count);
        q.AccessMode = ZAR_DISK_ACCESS_1;
        q.SdramAddress = 0;
        q.EndBlock = 0x20000;
        ZAR_DISK_REQUEST r = Run(q);
        EXPECT_EQ(r.ScsiStatus, row.status);
        if (row.operation == ZAR_DISK_OP_READ_SEQ) {
            ZAR_SCSI_SEQ_STATUS status{};
            ASSERT_EQ(Send(IOCTL_ZAR_SCSI_SEQ_STATUS, &status, 12, &status, 12).status, STATUS_SUCCESS);
            EXPECT_EQ(status.CommandsDone, 0u);
            EXPECT_EQ(status.Finished, 1u);
        }
    }
}

TEST_F(ZarkdScsiRequest, JpegFieldReadNeedsAChannelTheBoardHas)
{
    std::vector<UCHAR> data = RandomBytes(4 * kBlock, 41);
    WriteImageBlocks(0, 500, data);
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_JPEG_FIELD_READ, 0, 500, 4);
    q.AccessMode = ZAR_DISK_ACCESS_2;
    q.JpegChannel = ZAR_JPEG_CHANNEL_COUNT;
    q.SdramAddress = 0x1234 * kBlock;
    ZAR_DISK_REQUEST r = Run(q);
    EXPECT_EQ(r.ScsiStatus, 0xFFu);
    EXPECT_EQ(r.SdramAddress, 0x1234 * kBlock);
    EXPECT_EQ(r.FirstBlock, 500u);

    // A channel the board has: its field area plus the offset, in the ring.
    q.JpegChannel = 0;
    q.FieldOffset = 7936 + 20;
    r = Run(q);
    EXPECT_EQ(r.ScsiStatus, 0u);
    ULONG block = (ZarJpegSafeGetSdlAddress(ext_, 0) + 20) % 7936;
    EXPECT_EQ(r.SdramAddress, block * kBlock);
    std::vector<UCHAR> back(4 * kBlock);
    TheBoard().Memory().Read(block, sim::Sdram::kModeRing, 0, back.data(), ULONG(back.size()));
    EXPECT_EQ(back, data);
}

// ---- sequential operations ----

TEST_F(ZarkdScsiRequest, SequentialReadCountsItsCommandsAndFinishes)
{
    struct Row {
        const char* name;
        ULONG first, end, count;
        ULONG done;
    } rows[] = {
        {"whole range", 0, 64, 16, 4},
        {"last command partly past the end", 0, 40, 16, 3},
        {"empty range", 64, 64, 16, 0},
        {"count of zero", 0, 64, 0, 0},
        {"range that would wrap", 0xFFFFFF00, 0xFFFFFFFF, 512, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ_SEQ, 0, row.first, row.count);
        q.AccessMode = ZAR_DISK_ACCESS_1;
        q.SdramAddress = 0x200000;
        q.EndBlock = row.end;
        Run(q);
        ZAR_SCSI_SEQ_STATUS status{};
        ASSERT_EQ(Send(IOCTL_ZAR_SCSI_SEQ_STATUS, &status, 12, &status, 12).status, STATUS_SUCCESS);
        EXPECT_EQ(status.CommandsDone, row.done);
        EXPECT_EQ(status.Finished, 1u);
    }
}

TEST_F(ZarkdScsiRequest, SequentialReadStopsAfterTheCommandInProgress)
{
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ_SEQ, 0, 0, 1);
    q.AccessMode = ZAR_DISK_ACCESS_1;
    q.SdramAddress = 0x200000;
    q.EndBlock = 10000;
    ZAR_DISK_REQUEST out{};
    ASSERT_EQ(Send(IOCTL_ZAR_DISK_REQUEST, &q, sizeof(q), &out, sizeof(out), false).status, STATUS_PENDING);
    nt::ClockRunFor(2'000'000);  // a few commands in
    ZAR_SCSI_SEQ_STATUS status{};
    status.StopRequest = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_SCSI_SEQ_STATUS, &status, 12, &status, 12).status, STATUS_SUCCESS);
    EXPECT_GT(status.CommandsDone, 0u);
    EXPECT_EQ(status.Finished, 0u);
    ZAR_SCSI_SEQ_STATUS after{};
    for (int i = 0; i < 100 && after.Finished == 0; ++i) {
        nt::ClockRunFor(1'000'000);
        Send(IOCTL_ZAR_SCSI_SEQ_STATUS, &after, 12, &after, 12);
    }
    EXPECT_EQ(after.Finished, 1u);
    EXPECT_LE(after.CommandsDone, status.CommandsDone + 1);
    EXPECT_LT(after.CommandsDone, 10000u);
}

// ---- bus ownership ----

TEST_F(ZarkdScsiRequest, RequestOfANonHolderWaitsASecondForTheBus)
{
    ASSERT_EQ(SendLengths(IOCTL_ZAR_ACQUIRE_SCSI, 0, 0).status, STATUS_SUCCESS);
    std::vector<UCHAR> in(kBlock);
    ZAR_DISK_REQUEST q = Request(ZAR_DISK_OP_READ, 0, 0, 1);
    uint64_t start = nt::ClockNow();
    EXPECT_EQ(Run(q, in.data(), kBlock).ScsiStatus, 0u);
    EXPECT_LT(Seconds(nt::ClockNow() - start), 0.1) << "the holder's own request";
    q.OwnsScsi = 0;
    start = nt::ClockNow();
    EXPECT_EQ(Run(q, in.data(), kBlock).ScsiStatus, 0u);
    double waited = Seconds(nt::ClockNow() - start);
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 1.1);
}

}  // namespace

namespace {

// A copy of more than one 4 KB block runs block by block on the DEBI done
// interrupt. When that interrupt never comes the request waits 1 s, then
// ends with the status byte saying the data never arrived; the next copy
// is whole.
TEST_F(ZarkdScsiRequest, AnInterruptDrivenSdramCopyWhoseDoneNeverComesGivesUpAfterOneSecond)
{
    for (ULONG operation : {ULONG(ZAR_DISK_OP_SDRAM_READ), ULONG(ZAR_DISK_OP_SDRAM_WRITE)}) {
        SCOPED_TRACE(operation);
        std::vector<UCHAR> data = RandomBytes(6 * 4096, operation);
        UCHAR* sdram = TheBoard().Memory().Raw() + 0x180000;
        if (operation == ZAR_DISK_OP_SDRAM_READ) std::memcpy(sdram, data.data(), data.size());
        std::vector<UCHAR> buffer = operation == ZAR_DISK_OP_SDRAM_READ ? std::vector<UCHAR>(data.size()) : data;
        ZAR_DISK_REQUEST q = Request(operation);
        q.AccessMode = ZAR_DISK_ACCESS_1;
        q.SdramAddress = 0x180000;

        TheBoard().DebiUnit().LoseBlockDoneStatus(1);
        uint64_t start = nt::ClockNow();
        EXPECT_EQ(Run(q, buffer.data(), ULONG(buffer.size())).ScsiStatus, ZAR_SCSI_STATUS_NOT_REACHED);
        double waited = Seconds(nt::ClockNow() - start);
        EXPECT_GE(waited, 1.0);
        EXPECT_LT(waited, 1.5);

        if (operation == ZAR_DISK_OP_SDRAM_WRITE) std::memset(sdram, 0, data.size());
        else std::fill(buffer.begin(), buffer.end(), 0);
        EXPECT_EQ(Run(q, buffer.data(), ULONG(buffer.size())).ScsiStatus, 0u);
        EXPECT_EQ(buffer, data);
        EXPECT_EQ(std::memcmp(sdram, data.data(), data.size()), 0);
    }
}

}  // namespace

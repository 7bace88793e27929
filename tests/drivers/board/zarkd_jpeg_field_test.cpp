// The JPEG channels' SDRAM field ring and record descriptors, and the
// bit-rate control's choices, driven field by field on a loaded board with
// the field interrupt off (the test plays the interrupt routine's part).

#include <gtest/gtest.h>

#include "drivers/board/zar_driver.h"
#include "include/zar_jpeg_tables.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

class ZarkdJpegField : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ZarSetIntMode(ext_, ZAR_INT_FIELD, FALSE);
    }

    ZAR_JPEG_CHANNEL& Ch(ULONG c = 0) { return ext_->Jpeg.Channel[c]; }
    PZAR_NODE_QUEUE Ring() { return ZarPlyNodeQueue(ext_, ZAR_JPEG_RECORD_CHANNEL); }

    // Channel 0 recording from position 0 with the given hard limit.
    void StartRecord(ULONG hard)
    {
        ZAR_JPEG_COMMAND c = {};
        c.Command = ZAR_JPEG_CMD_RECORD;
        c.RateMode = 1;
        c.UpperSize[0] = c.UpperSize[1] = 100;
        c.HardLimit[0] = c.HardLimit[1] = hard;
        ZarJpegCommandSetBitRateControl(ext_, 0, &c);
        ZarJpegPlaylistInit(ext_, ZAR_JPEG_RECORD_CHANNEL);
        ZAR_VIDEO_CHANNEL_STATE& s = Ch().State;
        s.StateWord = ZAR_VIDEO_RECORD;
        s.ModeWord = 64;
        s.Position = 0;
        s.EndPosition = ZAR_JPEG_NO_OUT_POINT;
        ext_->Jpeg.QueuedBlocks[0] = ext_->Jpeg.QueuedBlocks[1] = 0;
        ext_->Jpeg.RecordedBlocks[0] = ext_->Jpeg.RecordedBlocks[1] = 0;
    }
    // One field of the record path, on a field of 'parity'.
    void Field(ULONG parity)
    {
        Ch().State.Parity = parity;
        ZarPlyJpegProcessNode(ext_);
        ++Ch().State.Position;
    }
    void Fields(ULONG count)
    {
        for (ULONG i = 0; i < count; ++i) Field((Ch().State.Position + 1) & 1);
    }
    NTSTATUS Next(ZAR_JPEG_FIELD_DESCRIPTOR* d) { return ZarJpegGetNextEntry(ext_, ZAR_JPEG_RECORD_CHANNEL, d); }
    bool Realtime() const { return (ext_->Jpeg.CodecControl & 1) != 0; }
};

TEST_F(ZarkdJpegField, HeadAndWrapArithmeticOfTheFieldRing)
{
    struct Case {
        ULONG head, first, second;
        ULONG wraps, newHead, secondAddress;
    } cases[] = {
        {0, 30, 20, 0, 50, 30},
        {7900, 30, 20, 1, 14, 7930},
        {7920, 16, 20, 1, 20, 0},      // second field starts exactly at the wrap
        {7935, 1, 0, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        Ch(1).State.SdramHead = c.head;
        ZAR_JPEG_COMMAND cmd = {};
        cmd.Channel = 1;
        cmd.FirstFieldSize = c.first;
        cmd.SecondFieldSize = c.second;
        cmd.FramePosition = 40;
        ZAR_JPEG_DISPLAY d = {};
        EXPECT_EQ(ZarScrubJpegSetNode(ext_, &cmd, &d), c.wraps);
        EXPECT_EQ(Ch(1).State.SdramHead, c.newHead);
        EXPECT_EQ(ZarJpegSafeGetSdlAddress(ext_, 1), c.newHead);
        EXPECT_EQ(d.Address, c.head);
        EXPECT_EQ(Ch(1).State.LastAddress[1], c.secondAddress);
    }

    // The head moves on from the last played field of a parity, wrapping.
    Ch(0).State.LastAddress[1] = 7930;
    ZAR_JPEG_SDL_HEAD_REQUEST r = {};
    r.Channel = 0;
    r.Blocks = 20;
    r.Parity = 1;
    EXPECT_EQ(Send(IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR, &r, sizeof(r), &r, sizeof(r)).status, STATUS_SUCCESS);
    EXPECT_EQ(Ch(0).State.SdramHead, 14u);
    // Channel and parity are indices: anything above 1 is refused, the head stays.
    for (auto [channel, parity] : {std::pair<ULONG, ULONG>{2, 0}, {0, 2}, {0xFFFFFFFF, 1}}) {
        r.Channel = channel;
        r.Parity = parity;
        EXPECT_EQ(Send(IOCTL_ZAR_JPEG_ADVANCE_SDL_HEAD_ADDR, &r, sizeof(r), &r, sizeof(r)).status, STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(Ch(0).State.SdramHead, 14u);
}

// A field of exactly the maximum size is passed through uncompressed: bit 15
// of the codec's address and, for codec 0, bit 2 of the preference word.
TEST_F(ZarkdJpegField, RawSizeFieldsAreSentUncompressed)
{
    sim::Board& board = *built_.boards[0];
    const ULONG max = ext_->UncompressedFieldBlocks;
    ASSERT_EQ(max, 684u);
    struct Case {
        ULONG channel, first, second, mode;
        bool raw;
    } cases[] = {
        {0, max, 30, 0, true},    // frame whose first field is raw
        {0, 0, max, 2, true},     // one field, raw
        {0, 30, max, 0, false},   // the first field decides
        {1, max, max, 0, true},
        {1, max - 1, 0, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channel << " " << c.first << "/" << c.second);
        ZAR_VIDEO_CHANNEL_STATE& s = Ch(c.channel).State;
        s.Display = {7000, c.first, c.second, c.mode, 10};
        s.Parity = 1;
        ZarJpegSetDisplayBuffer(ext_, c.channel);
        const uint16_t reg = board.Regs().Peek(c.channel == 0 ? 0xA800 : 0xA810);
        EXPECT_EQ((reg & 0x8000) != 0, c.raw);
        EXPECT_EQ(reg & 0x1FFF, 7000);
        if (c.channel == 0) { EXPECT_EQ((ext_->SystemPrefs & 0x4) != 0, c.raw); }
        EXPECT_EQ(s.ReportedPosition[0], 10u);
    }
}

// Room of a parity: 4096 blocks less what the library has not released.
TEST_F(ZarkdJpegField, AFieldBeyondTheRoomOfItsParityIsDropped)
{
    struct Case {
        ULONG queued, hard;
        bool overflow;
    } cases[] = {{4000, 200, true}, {3800, 296, false}, {3800, 297, true}, {4200, 1, true}, {0, 684, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.queued << " + " << c.hard);
        StartRecord(c.hard);
        ext_->Jpeg.QueuedBlocks[0] = c.queued;   // the field prepared on a parity-1 field is parity 0
        Field(1);
        EXPECT_EQ(Ch().State.OverflowOrRepeat != 0, c.overflow);
        EXPECT_EQ(Realtime(), !c.overflow);
        EXPECT_EQ(Ch().PreparedCount, c.overflow ? 0u : 1u) << "an overflowed field gets no descriptor";
        EXPECT_EQ(Ch().State.DroppedFields, c.overflow ? 1u : 0u);
    }
}

TEST_F(ZarkdJpegField, DescriptorsBecomeVisibleOnceMeasuredAndComeOutInOrder)
{
    StartRecord(100);
    ZAR_JPEG_FIELD_DESCRIPTOR d;
    Fields(2);
    EXPECT_EQ(Ring()->WriteCount, 0u) << "nothing measured yet";
    EXPECT_EQ(Next(&d), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ring()->ReadIndex, 0u) << "a failed fetch leaves the read index";
    Fields(6);
    EXPECT_EQ(Ring()->WriteCount, 6u);
    ULONG expectedAddress[2] = {0, 0};
    for (ULONG i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Next(&d), STATUS_SUCCESS);
        EXPECT_EQ(d.Position, i);
        EXPECT_EQ(d.Parity, i & 1) << "the position's low bit is its field's parity";
        EXPECT_EQ(d.Dropped, 0u);
        EXPECT_GE(d.Size, 1u);
        // Each parity runs on in its own bank by the size of its previous field.
        EXPECT_EQ(d.Address, expectedAddress[d.Parity]);
        if (i >= 2) expectedAddress[d.Parity] += d.Size;
        if (i < 2) expectedAddress[d.Parity] = d.Address + d.Size;
    }
    EXPECT_EQ(Next(&d), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ring()->ReadIndex, 6u);
    EXPECT_EQ(ext_->Jpeg.QueuedBlocks[0] + ext_->Jpeg.QueuedBlocks[1],
              ext_->Jpeg.RecordedBlocks[0] + ext_->Jpeg.RecordedBlocks[1]);
    // Only channel 10 hands out descriptors.
    EXPECT_EQ(ZarJpegGetNextEntry(ext_, 20, &d), STATUS_INVALID_DEVICE_REQUEST);
}

// The library not fetching: the ring fills, further fields are dropped and
// counted, and no unread descriptor is overwritten; with no hard limit as
// well, where a field may be as large as an uncompressed one and the
// queued blocks must still stay within a parity's bank.
TEST_F(ZarkdJpegField, AFullDescriptorRingDropsFieldsInsteadOfOverwriting)
{
    for (ULONG hard : {100u, 0u}) {
        SCOPED_TRACE(hard);
        StartRecord(100);
        Ch().Rate.Hard[0] = Ch().Rate.Hard[1] = hard;
        ext_->Jpeg.DescriptorOverflows = 0;
        Ch().State.DroppedFields = 0;
        for (ULONG i = 0; i < ZAR_JPEG_DESCRIPTOR_RING + 44; ++i) {
            Fields(1);
            ASSERT_LE(Ch().PreparedCount - Ring()->ReadIndex, ZAR_JPEG_DESCRIPTOR_RING) << "field " << i;
            ASSERT_LE(ext_->Jpeg.QueuedBlocks[0], ZAR_JPEG_RECORD_BANK_BLOCKS);
            ASSERT_LE(ext_->Jpeg.QueuedBlocks[1], ZAR_JPEG_RECORD_BANK_BLOCKS);
        }
        EXPECT_GT(ext_->Jpeg.DescriptorOverflows, 0u);
        EXPECT_GT(Ch().State.DroppedFields, 0u);
        EXPECT_LE(Ring()->WriteCount - Ring()->ReadIndex, ZAR_JPEG_DESCRIPTOR_RING);
        ZAR_JPEG_FIELD_DESCRIPTOR d;
        ASSERT_EQ(Next(&d), STATUS_SUCCESS);
        EXPECT_EQ(d.Position, 0u) << "the oldest unread descriptor is intact";
        // Room again: recording resumes on a parity-1 field.
        for (int i = 0; i < 20; ++i) Next(&d);
        ext_->Jpeg.QueuedBlocks[0] = ext_->Jpeg.QueuedBlocks[1] = 0;
        Fields(4);
        EXPECT_TRUE(Realtime());
        EXPECT_EQ(Ch().State.OverflowOrRepeat, 0u);
    }
}

// A parity-0 field that overflows drops the descriptor prepared one field
// before (when its position is even): it shows size 0 and the dropped flag
// and its blocks do not count as queued.
TEST_F(ZarkdJpegField, ADroppedFieldShowsSizeZeroAndLeavesTheQueuedTotal)
{
    StartRecord(100);
    Fields(5);   // positions 0-4 prepared, 0-2 measured
    ext_->Jpeg.QueuedBlocks[1] = 4000;   // a parity-0 field prepares parity 1
    ASSERT_EQ(Ch().State.Position & 1, 1u);
    const ULONG queuedBefore = ext_->Jpeg.QueuedBlocks[0];
    Field(0);
    ext_->Jpeg.QueuedBlocks[1] = 0;
    Fields(6);
    ZAR_JPEG_FIELD_DESCRIPTOR d;
    bool sawDropped = false;
    while (Next(&d) == STATUS_SUCCESS) {
        if (!d.Dropped) continue;
        sawDropped = true;
        EXPECT_EQ(d.Size, 0u);
        EXPECT_EQ(d.Position & 1, 0u);
    }
    EXPECT_TRUE(sawDropped);
    EXPECT_GE(Ch().State.DroppedFields, 1u);
    EXPECT_GE(ext_->Jpeg.QueuedBlocks[0], queuedBefore);
}

TEST_F(ZarkdJpegField, ReleaseTakesBlocksBackDownToZeroAndRefusesABadParity)
{
    ext_->Jpeg.QueuedBlocks[0] = 10;
    ext_->Jpeg.QueuedBlocks[1] = 300;
    struct Case {
        ULONG parity, blocks;
        NTSTATUS status;
        ULONG queued0, queued1;
    } cases[] = {
        {1, 100, STATUS_SUCCESS, 10, 200},
        {0, 25, STATUS_SUCCESS, 0, 200},   // more than queued: down to 0
        {2, 5, STATUS_UNSUCCESSFUL, 0, 200},
        {0xFFFFFFFF, 5, STATUS_UNSUCCESSFUL, 0, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parity);
        ZAR_JPEG_RELEASE_FIELD r{c.parity, c.blocks};
        EXPECT_EQ(Send(IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, &r, sizeof(r), &r, sizeof(r)).status, c.status);
        EXPECT_EQ(ext_->Jpeg.QueuedBlocks[0], c.queued0);
        EXPECT_EQ(ext_->Jpeg.QueuedBlocks[1], c.queued1);
    }
}

TEST_F(ZarkdJpegField, RateSettingsDeriveTheLimitsOfEachParity)
{
    const ULONG max = ext_->UncompressedFieldBlocks;
    struct Case {
        ULONG mode, upper, hard;
        ULONG wantHard, wantLower, wantRow;
    } cases[] = {
        {1, 100, 0, 150, 75, 20},
        {1, max, 0, max, max * 3 / 4, max / 5},   // the maximum is its own limit
        {1, 600, 0, max, 450, 120},                // never above the maximum
        {1, 100, 120, 120, 75, 20},
        {3, 100, 0, max, 75, 0},                   // unconstrained
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mode << " " << c.upper << " " << c.hard);
        ZAR_JPEG_COMMAND cmd = {};
        cmd.RateMode = c.mode;
        cmd.UpperSize[0] = cmd.UpperSize[1] = c.upper;
        cmd.HardLimit[0] = cmd.HardLimit[1] = c.hard;
        ZarJpegCommandSetBitRateControl(ext_, 0, &cmd);
        for (ULONG f = 0; f < 2; ++f) {
            EXPECT_EQ(Ch().Rate.Hard[f], c.wantHard);
            EXPECT_EQ(Ch().Rate.Lower[f], c.wantLower);
            EXPECT_EQ(Ch().Rate.Row[f], c.wantRow);
        }
    }
}

// Feedback (record to measure): the quantiser of a parity moves from the
// size its last field came out at; index 0 is the coarsest.
TEST_F(ZarkdJpegField, FeedbackStepsTheQuantiserTowardsTheBand)
{
    ZAR_JPEG_COMMAND cmd = {};
    cmd.RateMode = 1;
    cmd.UpperSize[0] = cmd.UpperSize[1] = 100;   // lower 75, middle 87
    ZarJpegCommandSetBitRateControl(ext_, 0, &cmd);
    struct Case {
        ULONG position, lastSize, lastQ;
        ULONG want;
        bool keep;
    } cases[] = {
        {10, 75, 12, 12, true},    // at the lower size
        {10, 100, 12, 12, true},   // at the upper size
        {10, 50, 31, 31, true},    // finest index and still small
        {10, 300, 0, 0, true},     // coarsest index and still big
        {10, 174, 20, 10, false},  // too big: (87 x 20) / 174
        {10, 101, 20, 17, false},  // just too big
        {10, 60, 1, 2, false},     // too small at a coarse index: at least one step
        {10, 74, 20, 23, false},   // too small: (87 x 20) / 74
        {10, 70, 30, 31, false},
        {10, 8, 20, 31, false},    // tiny sizes count as 16, clamped
        {36, 300, 20, 20, true},   // past the feedback fields the index stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lastSize << " at " << c.lastQ);
        ZAR_VIDEO_CHANNEL_STATE& s = Ch().State;
        s.ModeWord = 65;
        s.Position = c.position;
        s.Parity = 0;   // preparing parity 1
        Ch().Rate.Keep[1] = FALSE;
        Ch().Rate.LastSize[1] = c.lastSize;
        Ch().Rate.LastQuantiser[1] = c.lastQ;
        ZAR_JPEG_FIELD_DESCRIPTOR d = {};
        EXPECT_EQ(ZarJpegCalculateQFactor(ext_, 0, &d, nullptr), c.want);
        EXPECT_EQ(Ch().Rate.Keep[1] != 0, c.keep);
    }
}

// The table: the finest index whose expected activity still covers the
// field's; targets up to 1000 are a nearly flat field.
TEST_F(ZarkdJpegField, TheTableChoosesFinerIndicesForCalmerFieldsAndLargerSizes)
{
    ZAR_JPEG_COMMAND cmd = {};
    cmd.RateMode = 1;
    cmd.UpperSize[0] = cmd.UpperSize[1] = 60;
    ZarJpegCommandSetBitRateControl(ext_, 0, &cmd);
    ZAR_VIDEO_CHANNEL_STATE& s = Ch().State;
    s.ModeWord = 64;
    s.Parity = 1;
    auto choose = [&](ULONG activity) {
        ZAR_JPEG_FIELD_DESCRIPTOR d = {};
        d.Reference = activity;
        return ZarJpegCalculateQFactor(ext_, 0, &d, nullptr);
    };
    ULONG previous = 32;
    for (ULONG activity : {0u, 1000u, 5000u, 11000u, 20000u, 40000u, 65535u}) {
        ULONG q = choose(activity);
        EXPECT_LE(q, previous) << activity;
        previous = q;
    }
    EXPECT_EQ(choose(0), choose(1000));
    // A larger upper size never chooses a coarser index.
    const ULONG at60 = choose(11000);
    cmd.UpperSize[0] = cmd.UpperSize[1] = 120;
    ZarJpegCommandSetBitRateControl(ext_, 0, &cmd);
    EXPECT_GE(choose(11000), at60);
}

// The driver's copy of the expected-size and scale tables is the one the
// board's codec answers to.
TEST(ZarkdJpegTables, DriverTablesAreTheCodecsTables)
{
    const auto& table = sim::jpeg::ExpectedSizeTable();
    for (int row = 0; row < ZAR_JPEG_TABLE_ROWS; ++row)
        for (int q = 0; q < ZAR_JPEG_QUANTISERS; ++q)
            ASSERT_EQ(ZarJpegExpectedSize[row][q], table[size_t(row)][size_t(q)]) << row << "/" << q;
    for (int q = 0; q < ZAR_JPEG_QUANTISERS; ++q) EXPECT_EQ(ZarJpegQuantiserScale[q], sim::jpeg::kQuantiserScale[q]);
}

}  // namespace

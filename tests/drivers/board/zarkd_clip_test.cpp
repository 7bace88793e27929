// A clip through the whole board path, from user mode: codec 0 records a
// moving picture into the SDRAM field ring, each field goes from the ring to
// the drive with a direct disk write and its blocks are handed back; then
// the fields come back from the drive into video channel 0's field area and
// play through the channel's node queue. The played pictures must match the
// source, in order, and the record must keep near the rate it was given.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>

#include "tests/drivers/board/zarkd_scsi_machine.h"

namespace {

constexpr ULONG kPlayChannel = 20;
constexpr ULONG kQueueReadIndex = 1;
constexpr ULONG kFirstBlock = 1000;
constexpr uint64_t kRecordFields = 40;
constexpr ULONG kPlayAhead = 6;
constexpr int kPatternFrames = 30;

struct ClipField {
    ULONG position, block, size;
};

ULONG UserAddress(const void* p) { return ULONG(reinterpret_cast<ULONG_PTR>(p)); }

class ZarkdClip : public ZarkdScsiMachine {
protected:
    std::vector<sim::DriveConfig> Drives() override { return {Drive(0, 16384)}; }

    void SetUp() override
    {
        ZarkdScsiMachine::SetUp();
        if (HasFatalFailure()) return;
        ext_->Standard = ULONG(TheBoard().Options().standard);
        ZarSetLineCounts(ext_);
        Scan();
        ASSERT_EQ(Device(0).State, ZAR_SCSI_DEVICE_READY);
        TheBoard().VideoIn().UseMovingTestPattern(kPatternFrames, 24);
    }

    void RunFields(uint64_t fields)
    {
        const uint64_t target = TheBoard().Clock().FieldCount() + fields;
        while (TheBoard().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }

    NTSTATUS Command(ZAR_JPEG_COMMAND c) { return Send(IOCTL_ZAR_JPEG_COMMAND, &c, sizeof c, &c, sizeof c).status; }

    ZAR_CHANNEL_STATUS Query(ULONG channel)
    {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = channel;
        EXPECT_EQ(Send(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, &status, sizeof status, &status, sizeof status).status,
                  STATUS_SUCCESS);
        return status;
    }

    void ResetPlaylist(ULONG channel)
    {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = channel;
        ASSERT_EQ(Send(IOCTL_ZAR_PLY_RESET_PLAYLIST, &status, sizeof status, &status, sizeof status).status,
                  STATUS_SUCCESS);
    }

    static LONG StateWord(const ZAR_CHANNEL_STATUS& status)
    {
        LONG state;
        std::memcpy(&state, status.VideoState + offsetof(ZAR_VIDEO_CHANNEL_STATE, StateWord), sizeof state);
        return state;
    }

    // Every published descriptor: its field to the drive, its blocks back.
    void Drain()
    {
        const ULONG written = Query(ZAR_JPEG_RECORD_CHANNEL).Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE];
        while (fetched_ != written) {
            ZAR_JPEG_FIELD_DESCRIPTOR d = NextEntry();
            ++fetched_;
            ASSERT_EQ(d.Dropped, 0u) << "position " << d.Position;
            ASSERT_NO_FATAL_FAILURE(Save(d));
        }
    }

    // A recorded field in its parity's bank, as a disk request reaches it.
    ZAR_DISK_REQUEST FieldRequest(ULONG operation, const ZAR_JPEG_FIELD_DESCRIPTOR& d, ULONG block = 0)
    {
        ZAR_DISK_REQUEST r = Request(operation, 0, block, d.Size);
        r.AccessMode = d.Parity ? ZAR_DISK_ACCESS_102 : ZAR_DISK_ACCESS_101;
        r.SdramAddress = d.Address * ZAR_JPEG_BLOCK_BYTES;
        return r;
    }

    // The field to the drive, its blocks back to the board.
    void Save(const ZAR_JPEG_FIELD_DESCRIPTOR& d)
    {
        ASSERT_EQ(Run(FieldRequest(ZAR_DISK_OP_WRITE, d, nextBlock_)).ScsiStatus, 0u);
        ZAR_JPEG_RELEASE_FIELD release{d.Parity, d.Size};
        ASSERT_EQ(Send(IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, &release, sizeof release, nullptr, 0).status,
                  STATUS_SUCCESS);
        clip_.push_back({d.Position, nextBlock_, d.Size});
        nextBlock_ += d.Size;
    }

    ZAR_JPEG_FIELD_DESCRIPTOR NextEntry()
    {
        ZAR_JPEG_FIELD_DESCRIPTOR d{};
        ZAR_NODE_COMMAND command{ZAR_JPEG_RECORD_CHANNEL, 0, UserAddress(&d)};
        EXPECT_EQ(Send(IOCTL_ZAR_JPEG_GET_NEXT_ENTRY, nullptr, 0, &command, sizeof command).status, STATUS_SUCCESS);
        return d;
    }

    void StartRecord(ULONG upper0, ULONG upper1)
    {
        ASSERT_NO_FATAL_FAILURE(ResetPlaylist(ZAR_JPEG_RECORD_CHANNEL));
        ZAR_JPEG_COMMAND c{};
        c.Command = ZAR_JPEG_CMD_RESET;
        c.Channel = 2;
        ASSERT_TRUE(NT_SUCCESS(Command(c)));
        c = {};
        c.Command = ZAR_JPEG_CMD_RECORD;
        c.RateMode = 1;
        c.UpperSize[0] = upper0;
        c.UpperSize[1] = upper1;
        c.End = ZAR_JPEG_NO_OUT_POINT;
        ASSERT_EQ(Command(c), STATUS_SUCCESS);
    }

    // Field i from the drive into channel 0's field area, queued as a node.
    void Load(size_t i)
    {
        const ClipField& f = clip_[i];
        ZAR_DISK_REQUEST read = Request(ZAR_DISK_OP_JPEG_FIELD_READ, 0, f.block, f.size);
        read.AccessMode = ZAR_DISK_ACCESS_2;
        read.JpegChannel = 0;
        read.FieldOffset = offset_;
        read = Run(read);
        ASSERT_EQ(read.ScsiStatus, 0u);
        offset_ = (offset_ + f.size) % ZAR_JPEG_RING_BLOCKS;
        ZAR_JPEG_PLAY_NODE node{{sizeof(ZAR_JPEG_PLAY_NODE), 0, 0, 0, f.position}, read.SdramAddress / ZAR_JPEG_BLOCK_BYTES, f.size};
        ZAR_NODE_SUBMIT submit{kPlayChannel, 1, UserAddress(&node)};
        ASSERT_EQ(Send(IOCTL_ZAR_PLY_NODE_INSERT, &submit, sizeof submit, nullptr, 0).status, STATUS_SUCCESS);
    }

    // The source field closest to a played one (luminance, every fourth line).
    uint64_t SourceOf(const sim::VideoField& played)
    {
        const sim::VideoFeed& feed = TheBoard().VideoIn();
        uint64_t best = 0, bestSad = ~0ull;
        for (uint64_t f = 1; f <= 2 * feed.FrameCount(); ++f) {
            uint64_t sad = 0;
            for (int line = 0; line < played.Geometry().activeLines; line += 4)
                for (int x = 0; x < 720; ++x)
                    sad += uint64_t(std::abs(int(played.Y()[line * 720 + x]) - int(feed.Field(f).Y()[line * 720 + x])));
            if (sad < bestSad) bestSad = sad, best = f;
        }
        return best;
    }

    std::vector<ClipField> clip_;
    ULONG fetched_ = 0;
    ULONG nextBlock_ = kFirstBlock;
    ULONG offset_ = 0;
};

// Recorded to the drive at two rates and played back from it: every field
// written and read back decodes, shows the source field it was recorded
// from at a stated quality, and the fields play in the order they were
// recorded; the record's average size keeps within a band of its target.
TEST_F(ZarkdClip, RecordedToDiskAndPlayedBackMatchesTheSourceAtTheTargetRate)
{
    const double kMinPsnr = 30.0;
    const double kRateBand[2] = {0.6, 1.1};  // average size / upper size
    struct Row {
        ULONG upperSize;
    } rows[] = {{30}, {60}};
    for (const Row& row : rows) {
        SCOPED_TRACE("upper size " + std::to_string(row.upperSize));
        clip_.clear();
        fetched_ = 0;
        offset_ = 0;
        ASSERT_NO_FATAL_FAILURE(StartRecord(row.upperSize, row.upperSize));
        for (uint64_t f = 0; f < kRecordFields; ++f) {
            RunFields(1);
            ASSERT_NO_FATAL_FAILURE(Drain());
        }
        ZAR_JPEG_COMMAND c{};
        ULONG stop = 0;
        ASSERT_EQ(Send(IOCTL_ZAR_JPEG_PLAYLIST_STOP, &stop, 4, &stop, 4).status, STATUS_SUCCESS);
        RunFields(4);
        ASSERT_NO_FATAL_FAILURE(Drain());
        ASSERT_EQ(StateWord(Query(ZAR_JPEG_RECORD_CHANNEL)), ZAR_VIDEO_IDLE);
        ASSERT_GE(clip_.size(), kRecordFields - 4);

        // The rate: the first fields settle the quantiser and are left out.
        double blocks = 0;
        for (size_t i = 4; i < clip_.size(); ++i) {
            EXPECT_LE(clip_[i].size, row.upperSize * 3 / 2) << "the hard limit, field " << i;
            blocks += clip_[i].size;
        }
        const double average = blocks / double(clip_.size() - 4);
        EXPECT_GE(average, kRateBand[0] * row.upperSize);
        EXPECT_LE(average, kRateBand[1] * row.upperSize);

        // As a player does: a fresh play list, which also clears the stop
        // request the record ended with.
        ASSERT_NO_FATAL_FAILURE(ResetPlaylist(kPlayChannel));
        size_t loaded = 0;
        for (; loaded < kPlayAhead; ++loaded) ASSERT_NO_FATAL_FAILURE(Load(loaded));
        c = {};
        c.Command = ZAR_JPEG_CMD_PLAY;
        c.Start = clip_.front().position;
        c.End = clip_.back().position + 1;
        const uint64_t errorsBefore = TheBoard().Jpeg().Codec(0).DecodeErrors();
        ASSERT_EQ(Command(c), STATUS_SUCCESS);

        // Field by field: the parity just decoded against its source.
        std::vector<uint64_t> sources;
        double lowest = 99;
        bool playing = false;
        for (uint64_t f = 0; f < clip_.size() + 8; ++f) {
            RunFields(1);
            const ZAR_CHANNEL_STATUS status = Query(kPlayChannel);
            if (StateWord(status) != ZAR_VIDEO_PLAY) {
                if (playing) break;
                continue;
            }
            playing = true;
            const ULONG taken = status.Queue[kQueueReadIndex];
            while (loaded < clip_.size() && loaded - taken < kPlayAhead) ASSERT_NO_FATAL_FAILURE(Load(loaded++));
            if (taken < 3) continue;  // the first fields are still on their way to the output
            const sim::VideoField& shown = TheBoard().VideoOut().Field(0, 1 - TheBoard().Clock().Parity());
            const uint64_t source = SourceOf(shown);
            lowest = std::min(lowest, sim::Psnr(shown, TheBoard().VideoIn().Field(source)));
            sources.push_back(source);
        }
        EXPECT_EQ(StateWord(Query(kPlayChannel)), ZAR_VIDEO_HOLD) << "the play ran to its end";
        EXPECT_EQ(loaded, clip_.size());
        EXPECT_EQ(TheBoard().Jpeg().Codec(0).DecodeErrors(), errorsBefore);
        ASSERT_GE(sources.size(), clip_.size() - 8);
        EXPECT_GE(lowest, kMinPsnr);
        const uint64_t cycle = 2 * kPatternFrames;
        for (size_t i = 1; i < sources.size(); ++i)
            EXPECT_EQ((sources[i] + cycle - sources[i - 1]) % cycle, 1u) << "played field " << i;
    }
}

// A ring of 8 one-field captures started while the clip plays, paced with
// the play from a position ahead: the bridge carries the played clip, and
// every buffer holds a field of the clip from the ring's start position on,
// one frame after the other (the first buffer was once filled before the
// play reached the start, with a frame from before it).
TEST_F(ZarkdClip, ARingPacedWithThePlayHoldsTheClipFromItsStartPosition)
{
    constexpr ULONG kRing = 8;
    constexpr ULONG kStartIndex = 12;  // the clip field the ring starts at
    ASSERT_NO_FATAL_FAILURE(StartRecord(60, 60));
    for (uint64_t f = 0; f < kRecordFields; ++f) {
        RunFields(1);
        ASSERT_NO_FATAL_FAILURE(Drain());
    }
    ULONG stop = 0;
    ASSERT_EQ(Send(IOCTL_ZAR_JPEG_PLAYLIST_STOP, &stop, 4, &stop, 4).status, STATUS_SUCCESS);
    RunFields(4);
    ASSERT_NO_FATAL_FAILURE(Drain());
    ASSERT_GE(clip_.size(), kStartIndex + 2 * kRing + 4);

    ASSERT_NO_FATAL_FAILURE(ResetPlaylist(kPlayChannel));
    size_t loaded = 0;
    for (; loaded < kPlayAhead; ++loaded) ASSERT_NO_FATAL_FAILURE(Load(loaded));
    ZAR_JPEG_COMMAND c{};
    c.Command = ZAR_JPEG_CMD_PLAY;
    c.Start = clip_.front().position;
    c.End = clip_.back().position + 1;
    ASSERT_EQ(Command(c), STATUS_SUCCESS);
    RunFields(4);
    ASSERT_EQ(StateWord(Query(kPlayChannel)), ZAR_VIDEO_PLAY);

    // The parity-1 field of each frame, 720 x 243 in Cb Y Cr Y: the
    // luminance comes through unscaled.
    constexpr ULONG kBytes = 720 * 243 * 2;
    std::vector<std::vector<uint8_t>> buffers(kRing, std::vector<uint8_t>(kBytes, 0));
    ULONG addresses[kRing];
    for (ULONG i = 0; i < kRing; ++i) addresses[i] = UserAddress(buffers[i].data());
    volatile LONG ring[4] = {};
    ZAR_HPS_CAPTURE_REQUEST r{};
    r.Fields = 1;
    r.FieldOrder = 2;
    r.PixelFormat = 2;
    r.Width = 720;
    r.Height = 243;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    r.BufferSize = kBytes;
    r.RingCount = kRing;
    r.RingAddresses = UserAddress(addresses);
    r.RingStatus = UserAddress(const_cast<LONG*>(ring));
    r.StartPosition = clip_[kStartIndex].position;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &r, sizeof r, &r, sizeof r).status, STATUS_SUCCESS);

    // Field by field: what the codec showed, and what the caller finds in
    // each buffer as it is filled (it takes them as they come).
    std::vector<uint64_t> shownSinceGo, captured;
    sim::VideoField field;
    bool going = false;
    for (uint64_t f = 0; f < clip_.size() + 16 && captured.size() < kRing; ++f) {
        RunFields(1);
        // The field that just ended began with the go when the ring had left its wait by then.
        if (going) shownSinceGo.push_back(SourceOf(TheBoard().VideoOut().Field(0, 1 - TheBoard().Clock().Parity())));
        going = ULONG(ext_->CaptureState) != ZAR_HPS_RING_WAIT_GO;
        const ULONG taken = Query(kPlayChannel).Queue[kQueueReadIndex];
        while (loaded < clip_.size() && loaded - taken < kPlayAhead) ASSERT_NO_FATAL_FAILURE(Load(loaded++));
        for (LONG next = ring[1]; next < ring[0]; ++next) {
            const std::vector<uint8_t>& b = buffers[ULONG(next) % kRing];
            for (int i = 0; i < 720 * 243; ++i) field.Y()[i] = b[2 * i + 1];
            captured.push_back(SourceOf(field));
            ring[1] = next + 1;
        }
    }
    ASSERT_EQ(captured.size(), kRing);
    ASSERT_FALSE(shownSinceGo.empty());
    // Each buffer a frame's parity-1 field (odd source fields), from the
    // first frame shown since the go, with none skipped.
    const uint64_t first = shownSinceGo[0] % 2 == 1 ? shownSinceGo[0] : shownSinceGo.at(1);
    const uint64_t cycle = 2 * kPatternFrames;
    for (ULONG i = 0; i < kRing; ++i)
        EXPECT_EQ(captured[i], (first - 1 + 2 * i) % cycle + 1) << "buffer " << i;

    ZAR_HPS_CAPTURE_REQUEST end = r;
    end.Kind = 4;
    ASSERT_EQ(Send(IOCTL_ZAR_HPS_CAPTURE, &end, sizeof end, &end, sizeof end).status, STATUS_SUCCESS);
    EXPECT_EQ(ring[0], -1);
}

// The library three fields behind, as it drains while it records, and the
// parities of very different sizes: every field it saves is the field the
// codec recorded, however far one parity's fields run ahead of the other's.
TEST_F(ZarkdClip, ALateLibrarySavesEveryFieldWholeWhenTheParitiesDiffer)
{
    constexpr uint64_t kFields = 240;
    constexpr ULONG kBehind = 3;
    ASSERT_NO_FATAL_FAILURE(StartRecord(150, 15));
    // Each published field as it stood then, to be compared with what reaches the drive.
    std::deque<std::pair<ZAR_JPEG_FIELD_DESCRIPTOR, std::vector<UCHAR>>> waiting;
    ULONG saved = 0, blocks[2] = {};
    for (uint64_t f = 0; f < kFields; ++f) {
        RunFields(1);
        const ULONG written = Query(ZAR_JPEG_RECORD_CHANNEL).Queue[ZAR_CHANNEL_STATUS_QUEUE_WRITE];
        for (; fetched_ != written; ++fetched_) {
            ZAR_JPEG_FIELD_DESCRIPTOR d = NextEntry();
            ASSERT_EQ(d.Dropped, 0u) << "position " << d.Position;
            std::vector<UCHAR> field(size_t(d.Size) * kBlock);
            ASSERT_EQ(Run(FieldRequest(ZAR_DISK_OP_SDRAM_READ, d), field.data(), ULONG(field.size())).ScsiStatus, 0u);
            ASSERT_EQ(field[0], 0xFF);
            ASSERT_EQ(field[1], 0xD8) << "a whole field starts with its SOI, position " << d.Position;
            waiting.emplace_back(d, std::move(field));
        }
        while (waiting.size() > kBehind) {
            const auto& [d, field] = waiting.front();
            ASSERT_NO_FATAL_FAILURE(Save(d));
            EXPECT_EQ(ImageBlocks(0, clip_.back().block, d.Size), field)
                << "field at position " << d.Position << ", parity " << d.Parity << ", overwritten before it was saved";
            blocks[d.Parity] += d.Size;
            ++saved;
            waiting.pop_front();
        }
        if (HasFailure()) break;
    }
    EXPECT_GE(saved, kFields - 8);
    // The parities differed enough that one bank went round while the other did not.
    EXPECT_GT(blocks[0], ZAR_JPEG_RECORD_BANK_BLOCKS + blocks[1]);
}

}  // namespace

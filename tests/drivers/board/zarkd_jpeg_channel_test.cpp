// The JPEG video channels' commands and states from user mode, on a loaded
// board whose field clock runs: what each command does to its channel, the
// playlist status blocks, and the commands that reach modules not written
// yet, which must fail and change nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "drivers/board/zar_driver.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

class ZarkdJpegChannel : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(NT_SUCCESS(Command(ZAR_JPEG_CMD_RESET, 2)));
    }

    ZAR_VIDEO_CHANNEL_STATE& State(ULONG c) { return ext_->Jpeg.Channel[c].State; }

    NTSTATUS Command(ZAR_JPEG_COMMAND& c) { return Send(IOCTL_ZAR_JPEG_COMMAND, &c, sizeof c, &c, sizeof c).status; }
    NTSTATUS Command(ULONG command, ULONG channel)
    {
        ZAR_JPEG_COMMAND c{};
        c.Command = command;
        c.Channel = channel;
        return Command(c);
    }
    NTSTATUS Status(ULONG kind, ULONG index, ZAR_PLAYLIST_STATUS* out)
    {
        *out = {};
        out->Kind = kind;
        out->Index = index;
        return Send(IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS, out, sizeof *out, out, sizeof *out).status;
    }
    void RunFields(uint64_t fields)
    {
        const uint64_t target = Board().Clock().FieldCount() + fields;
        while (Board().Clock().FieldCount() < target) nt::ClockRunFor(1000000);
        nt::ClockRunUntilIdle();
    }
    // Until the field just begun has the parity: the next one has the other.
    void RunToParity(int parity)
    {
        do RunFields(1);
        while (Board().Clock().Parity() != parity);
    }
    // A state request made as the interrupt would see it, without waiting.
    void RequestState(ULONG channel, ULONG state)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ZarJpegSetState(ext_, channel, state);
        KeLowerIrql(old);
    }
    NTSTATUS Stop(ULONG channel)
    {
        ULONG block = channel;
        return Send(IOCTL_ZAR_JPEG_PLAYLIST_STOP, &block, 4, &block, 4).status;
    }
    // Play from 'start' to 'end' (far away unless given), not waited for.
    ZAR_JPEG_COMMAND Play(ULONG start, ULONG end = 100000, ULONG pullDown = 0, ULONG loop = 0)
    {
        ZAR_JPEG_COMMAND c{};
        c.Command = ZAR_JPEG_CMD_PLAY;
        c.Channel = 0;
        c.Start = start;
        c.End = end;
        c.Loop = loop;
        c.PullDown = pullDown;
        return c;
    }
};

// ---- commands into modules not written yet ----

TEST_F(ZarkdJpegChannel, CommandsThatNeedAModuleNotWrittenYetFailAndChangeNothing)
{
    ASSERT_EQ(Command(ZAR_JPEG_CMD_HOLD, 0), STATUS_SUCCESS);
    RunFields(2);
    ASSERT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD);

    // A frame for a channel in hold goes through the scrub list.
    EXPECT_EQ(Command(ZAR_JPEG_CMD_SCRUB_FRAME, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD);

    // A render needs the graphics store's read mode.
    const ULONG pathControl = ext_->Jpeg.PathControl;
    ZAR_JPEG_COMMAND render{};
    render.Command = ZAR_JPEG_CMD_RENDER;
    render.Channel = 0;
    render.RenderBuffer = 1;
    EXPECT_EQ(Command(render), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ext_->Jpeg.PathControl, pathControl);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD);

    // The audio status block and a record with interleaved audio are the
    // audio engine's: its state and its record ring exist.
    ZAR_PLAYLIST_STATUS status;
    EXPECT_EQ(Status(2, 0, &status), STATUS_SUCCESS);
    EXPECT_EQ(Status(1, 0, &status), STATUS_SUCCESS);
    ZAR_JPEG_COMMAND record{};
    record.Command = ZAR_JPEG_CMD_RECORD_AUDIO;
    record.RateMode = 1;
    record.UpperSize[0] = record.UpperSize[1] = 60;
    record.End = ZAR_JPEG_NO_OUT_POINT;
    EXPECT_EQ(Command(record), STATUS_SUCCESS);
    RunFields(2);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_RECORD);
}

// ---- state changes and their waiters ----

// A state signal still armed for an earlier request when the next one is
// made (its DPC not yet run) must not release the next waiter: the waiter
// returns only once its own change has happened.
TEST_F(ZarkdJpegChannel, AWaiterIsReleasedByItsOwnChangeNotAnEarlierSignal)
{
    ASSERT_EQ(Command(ZAR_JPEG_CMD_IDLE, 0), STATUS_SUCCESS);
    // Right after a parity-1 field: hold takes effect a field later.
    do RunFields(1);
    while (Board().Clock().Parity() != 1);
    ZarArmFieldSignal(ext_, ext_->Jpeg.Channel[0].FieldSlotState);
    EXPECT_EQ(ZarJpegSetState(ext_, 0, ZAR_VIDEO_HOLD), STATUS_SUCCESS);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD) << "released before the change";
}

// A request for idle takes effect at the next field of either parity, the
// state word reading 255 until then; stop, hold and play take effect only
// at a parity-1 field.
TEST_F(ZarkdJpegChannel, StateRequestsTakeEffectAtTheFieldTheirParityAllows)
{
    struct Row {
        ULONG state;
        int32_t right, afterParity0, afterParity1;
    } rows[] = {
        {ZAR_VIDEO_IDLE, ZAR_VIDEO_PENDING_IDLE, ZAR_VIDEO_IDLE, ZAR_VIDEO_IDLE},
        {ZAR_VIDEO_HOLD, ZAR_VIDEO_IDLE, ZAR_VIDEO_IDLE, ZAR_VIDEO_HOLD},
        {ZAR_VIDEO_STOPPED, ZAR_VIDEO_HOLD, ZAR_VIDEO_HOLD, ZAR_VIDEO_STOPPED},
        {ZAR_VIDEO_PLAY, ZAR_VIDEO_STOPPED, ZAR_VIDEO_STOPPED, ZAR_VIDEO_PLAY},
    };
    ASSERT_EQ(Command(ZAR_JPEG_CMD_IDLE, 0), STATUS_SUCCESS);
    State(0).EndPosition = 100000;  // play runs on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        RunToParity(1);
        RequestState(0, row.state);
        EXPECT_EQ(State(0).StateWord, row.right);
        RunFields(1);
        EXPECT_EQ(State(0).Parity, 0u);
        EXPECT_EQ(State(0).StateWord, row.afterParity0);
        RunFields(1);
        EXPECT_EQ(State(0).Parity, 1u);
        EXPECT_EQ(State(0).StateWord, row.afterParity1);
        EXPECT_EQ(State(0).RequestPending, 0u);
    }
}

// In pull-down mode the position steps 1, 1, 1, 1, 1, -1, 3, -1, 3, -1:
// ten fields advance it by eight. Without it, two fields advance it by two.
TEST_F(ZarkdJpegChannel, PlayAdvancesByThePullDownCadence)
{
    const int kCadence[10] = {1, 1, 1, 1, 1, -1, 3, -1, 3, -1};
    for (ULONG pullDown : {1u, 0u}) {
        SCOPED_TRACE(pullDown);
        ZAR_JPEG_COMMAND play = Play(100, 100000, pullDown);
        ASSERT_EQ(Command(play), STATUS_SUCCESS);
        ASSERT_EQ(State(0).StateWord, ZAR_VIDEO_PLAY);
        EXPECT_EQ(State(0).PullDown, pullDown);
        uint32_t first = State(0).Position;
        for (int field = 0; field < 20; ++field) {
            uint32_t before = State(0).Position;
            uint32_t index = State(0).Cadence;
            RunFields(1);
            if (pullDown) EXPECT_EQ(int(State(0).Position - before), kCadence[index]) << field;
            else EXPECT_EQ(State(0).Position & 1, State(0).Parity) << field;
        }
        EXPECT_EQ(State(0).Position - first, pullDown ? 16u : 20u);
        ASSERT_EQ(Command(ZAR_JPEG_CMD_IDLE, 0), STATUS_SUCCESS);
    }
}

// Without the loop flag play stops at the end position and holds the last
// frame; with it the position wraps to the loop start and play goes on.
TEST_F(ZarkdJpegChannel, PlayHoldsAtItsEndUnlessItLoops)
{
    ZAR_JPEG_COMMAND once = Play(10, 20);
    ASSERT_EQ(Command(once), STATUS_SUCCESS);
    RunFields(14);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD);
    EXPECT_EQ(State(0).Position, 20u);

    // The hold request stays until the play list is reset, as the library
    // does before each play.
    ZarJpegPlaylistInit(ext_, 20);
    ZAR_JPEG_COMMAND loop = Play(10, 20, 0, 1);
    loop.LoopStart = 12;
    ASSERT_EQ(Command(loop), STATUS_SUCCESS);
    uint32_t highest = 0, lowestAfterWrap = 100;
    for (int field = 0; field < 30; ++field) {
        RunFields(1);
        ASSERT_EQ(State(0).StateWord, ZAR_VIDEO_PLAY) << field;
        highest = std::max(highest, State(0).Position);
        if (field > 12) lowestAfterWrap = std::min(lowestAfterWrap, State(0).Position);
    }
    EXPECT_LE(highest, 20u);
    EXPECT_GE(lowestAfterWrap, 12u);
    EXPECT_LT(lowestAfterWrap, 15u) << "the loop went round";
}

// A stop sets the channel's stop request; a channel stopped or holding has
// nothing to run down to, so its hold request is set as well.
TEST_F(ZarkdJpegChannel, StopRequestsAndTheHoldOfAChannelStoppedOrHolding)
{
    struct Row {
        ULONG state;
        uint32_t hold;
    } rows[] = {
        {ZAR_VIDEO_STOPPED, 1}, {ZAR_VIDEO_HOLD, 1}, {ZAR_VIDEO_IDLE, 0}, {ZAR_VIDEO_PLAY, 0},
    };
    State(0).EndPosition = State(1).EndPosition = 100000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        ASSERT_TRUE(NT_SUCCESS(ZarJpegSetState(ext_, 2, row.state)));
        ASSERT_EQ(State(0).StateWord, int32_t(row.state));
        for (ULONG target : {0u, 1u, 2u, 3u}) {
            SCOPED_TRACE(target);
            for (ULONG c : {0u, 1u}) State(c).StopRequest = State(c).HoldRequest = 0;
            EXPECT_EQ(Stop(target), STATUS_SUCCESS);
            for (ULONG c : {0u, 1u}) {
                bool addressed = target == c || target == 2;
                EXPECT_EQ(State(c).StopRequest, addressed ? 1u : 0u) << c;
                EXPECT_EQ(State(c).HoldRequest, addressed ? row.hold : 0u) << c;
            }
        }
    }
}

// The next command to a channel in error first resets both codecs; the
// command then runs as on a healthy board.
TEST_F(ZarkdJpegChannel, ACommandToAChannelInErrorResetsTheCodecsFirst)
{
    struct Row {
        ULONG inError;
        ULONG addressed;
        bool reset;
    } rows[] = {{0, 0, true}, {1, 1, true}, {1, 2, true}, {0, 2, true}, {1, 0, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.inError << " " << row.addressed);
        ASSERT_EQ(Command(ZAR_JPEG_CMD_RESET, 2), STATUS_SUCCESS);
        State(row.inError).StateWord = ZAR_VIDEO_ERROR;
        EXPECT_EQ(Command(ZAR_JPEG_CMD_HOLD, row.addressed), STATUS_SUCCESS);
        RunFields(2);
        for (ULONG c : {0u, 1u}) {
            bool addressed = row.addressed == c || row.addressed == 2;
            int32_t expected = addressed ? ZAR_VIDEO_HOLD : (c == row.inError && !row.reset ? ZAR_VIDEO_ERROR : ZAR_VIDEO_IDLE);
            EXPECT_EQ(State(c).StateWord, expected) << c;
        }
    }
}

// A waited command registers a completion event; a hold never ends on its
// own, so the wait runs out after 1 s and says so, while a record to an out
// point ends and returns.
TEST_F(ZarkdJpegChannel, AWaitedCommandReturnsWhenItEndsOrTimesOutAfterOneSecond)
{
    ZAR_JPEG_COMMAND c{};
    c.Command = ZAR_JPEG_CMD_HOLD;
    c.Wait = 1;
    uint64_t start = nt::ClockNow();
    EXPECT_EQ(Command(c), STATUS_IO_TIMEOUT);
    double waited = double(nt::ClockNow() - start) / 1e9;
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 1.6);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_HOLD);

    // A record to an out point ends on its own (three fields past it) and
    // releases its waiter, with the measured field sizes written back.
    ZAR_JPEG_COMMAND record{};
    record.Command = ZAR_JPEG_CMD_RECORD;
    record.RateMode = 1;
    record.UpperSize[0] = record.UpperSize[1] = 60;
    record.LoopStart = 0;
    record.End = 6;
    record.Wait = 1;
    record.MeasuredSize[0] = record.MeasuredSize[1] = 0xDEAD;
    start = nt::ClockNow();
    EXPECT_EQ(Command(record), STATUS_SUCCESS);
    EXPECT_LT(double(nt::ClockNow() - start) / 1e9, 1.0);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_IDLE);
    EXPECT_EQ(State(0).Position, 9u);
    EXPECT_NE(record.MeasuredSize[0], 0xDEADu);
    EXPECT_NE(record.MeasuredSize[1], 0xDEADu);
}

// The command block through IOCTL_ZAR_JPEG_CONTROL (selector 4: the
// block's address in the request) does what IOCTL_ZAR_JPEG_COMMAND does.
TEST_F(ZarkdJpegChannel, TheControlCodeRunsTheCommandBlockItPointsTo)
{
    ZAR_JPEG_COMMAND hold{};
    hold.Command = ZAR_JPEG_CMD_HOLD;
    hold.Channel = 1;
    ZAR_JPEG_CONTROL_REQUEST r{4, ULONG(reinterpret_cast<ULONG_PTR>(&hold)), 0};
    EXPECT_EQ(Send(IOCTL_ZAR_JPEG_CONTROL, &r, sizeof r, &r, sizeof r).status, STATUS_SUCCESS);
    RunFields(2);
    EXPECT_EQ(State(1).StateWord, ZAR_VIDEO_HOLD);
    EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_IDLE);

    ZAR_JPEG_COMMAND badChannel{};
    badChannel.Command = ZAR_JPEG_CMD_HOLD;
    badChannel.Channel = 3;
    r.Argument = ULONG(reinterpret_cast<ULONG_PTR>(&badChannel));
    EXPECT_EQ(Send(IOCTL_ZAR_JPEG_CONTROL, &r, sizeof r, &r, sizeof r).status, STATUS_UNSUCCESSFUL);
}

// Status kind 1 (and 9) copies a video channel's state as it stands; an
// index or kind with nothing behind it leaves the block as it was.
TEST_F(ZarkdJpegChannel, PlaylistStatusCopiesTheAddressedStateOrNothing)
{
    ASSERT_EQ(Command(ZAR_JPEG_CMD_HOLD, 1), STATUS_SUCCESS);
    State(1).Position = 4321;
    struct Row {
        ULONG kind, index;
        int channel;  // -1: block unchanged
    } rows[] = {{1, 0, 0}, {1, 1, 1}, {9, 1, 1}, {1, 3, -1}, {3, 2, -1}, {0, 0, -1}, {13, 0, -1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.kind << "/" << row.index);
        ZAR_PLAYLIST_STATUS status{};
        status.Kind = row.kind;
        status.Index = row.index;
        std::memset(status.State, 0xA5, sizeof status.State);
        EXPECT_EQ(Send(IOCTL_ZAR_JPEG_GET_PLAYLIST_STATUS, &status, sizeof status, &status, sizeof status).status,
                  STATUS_SUCCESS);
        if (row.channel < 0) {
            EXPECT_TRUE(std::all_of(std::begin(status.State), std::end(status.State),
                                    [](uint8_t b) { return b == 0xA5; }));
        } else {
            EXPECT_EQ(std::memcmp(status.State, &State(row.channel), sizeof status.State), 0);
        }
    }
}

// The refusals of a render come before anything is touched.
TEST_F(ZarkdJpegChannel, ARenderIsRefusedForChannelOneOrWithAStartOrLoopStart)
{
    struct Row {
        const char* what;
        ULONG channel, start, loopStart;
    } rows[] = {{"channel 1", 1, 0, 0}, {"start 1", 0, 1, 0}, {"loop start 2", 0, 0, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZAR_JPEG_COMMAND render{};
        render.Command = ZAR_JPEG_CMD_RENDER;
        render.Channel = row.channel;
        render.Start = row.start;
        render.LoopStart = row.loopStart;
        const ULONG pathControl = ext_->Jpeg.PathControl;
        EXPECT_EQ(Command(render), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(ext_->Jpeg.PathControl, pathControl);
        RunFields(2);
        EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_IDLE);
        EXPECT_EQ(State(1).StateWord, ZAR_VIDEO_IDLE);
    }
}

// The render's own sequence once it runs (its set-up of the graphics store
// is another unit's): the play half shows 1 or 3 frames, the hand-over
// ends at position 2 or 4, back to idle with the render flag cleared.
TEST_F(ZarkdJpegChannel, TheRenderSequencePlaysThenHandsOverThenEnds)
{
    struct Row {
        ULONG source, word160, word164;
        uint32_t lastPlayed, handoverEnd;
    } rows[] = {
        {0, 0, 0, 1, 2}, {1, 0, 0, 3, 2}, {0, 0, 1, 3, 2}, {0, 1, 0, 1, 4}, {0, 1, 1, 3, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.source << " " << row.word160 << " " << row.word164);
        ASSERT_EQ(Command(ZAR_JPEG_CMD_IDLE, 0), STATUS_SUCCESS);
        ZarJpegPlaylistInit(ext_, 20);
        ZAR_VIDEO_CHANNEL_STATE& s = State(0);
        s.StartPosition = 0;
        s.EndPosition = 100;
        s.RenderSource = row.source;
        s.RenderWord[0] = 0;  // no render record
        s.RenderWord[1] = row.word164;
        s.RenderWord[2] = row.word160;
        RequestState(0, ZAR_VIDEO_RENDER);
        uint32_t playedUpTo = 0, handedOverTo = 0;
        bool sawPlay = false, sawHandover = false;
        for (int field = 0; field < 16 && !(sawHandover && s.StateWord == ZAR_VIDEO_IDLE); ++field) {
            RunFields(1);
            if (s.StateWord == ZAR_VIDEO_PLAY) {
                sawPlay = true;
                EXPECT_EQ(s.RenderFlag, 1u);
                playedUpTo = s.Position;
            } else if (s.StateWord == ZAR_VIDEO_RENDER_HANDOVER) {
                sawHandover = true;
                handedOverTo = s.Position;
            }
        }
        EXPECT_TRUE(sawPlay);
        EXPECT_TRUE(sawHandover);
        EXPECT_EQ(playedUpTo, row.lastPlayed);
        EXPECT_EQ(handedOverTo + 1, row.handoverEnd);
        EXPECT_EQ(s.StateWord, ZAR_VIDEO_IDLE);
        EXPECT_EQ(s.Position, row.handoverEnd);
        EXPECT_EQ(s.RenderFlag, 0u);
    }
}

// A record start waits for a parity-1 field; in the 24 fps mode with the
// digital-I/O option's hold flag up (no option driver: always) it never
// comes, and the start is forced after 12 fields.
TEST_F(ZarkdJpegChannel, ARecordStartThatNeverMeetsItsFieldIsForcedAfterTwelveFields)
{
    struct Row {
        ULONG hdcamMode;
        uint64_t atLeast, atMost;
    } rows[] = {{0, 1, 4}, {2, 12, 15}};  // the codec set-up before the request takes a field or two
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hdcamMode);
        ASSERT_EQ(Command(ZAR_JPEG_CMD_IDLE, 0), STATUS_SUCCESS);
        ext_->Hdcam24FpsMode = row.hdcamMode;
        ZAR_JPEG_COMMAND record{};
        record.Command = ZAR_JPEG_CMD_RECORD;
        record.RateMode = 1;
        record.UpperSize[0] = record.UpperSize[1] = 60;
        record.End = ZAR_JPEG_NO_OUT_POINT;
        RunToParity(0);
        const uint64_t start = Board().Clock().FieldCount();
        EXPECT_EQ(Command(record), STATUS_SUCCESS);
        EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_RECORD);
        const uint64_t fields = Board().Clock().FieldCount() - start;
        EXPECT_GE(fields, row.atLeast);
        EXPECT_LE(fields, row.atMost);
        EXPECT_EQ(Stop(0), STATUS_SUCCESS);
        RunFields(2);
        EXPECT_EQ(State(0).StateWord, ZAR_VIDEO_IDLE);
        ext_->Hdcam24FpsMode = 0;
    }
}

// With audio, the audio record starts at a parity-0 field and video follows
// once the lead has run out at parity-0 fields: one field later with a lead
// of 1, three fields later with a lead of 2.
TEST_F(ZarkdJpegChannel, RecordWithAudioStartsVideoAfterTheAudioLead)
{
    struct Row {
        uint32_t lead;
        uint64_t videoAfterAudio;
    } rows[] = {{1, 1}, {2, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lead);
        // A record set up by its command, then stopped: the codec is ready.
        ZAR_JPEG_COMMAND record{};
        record.Command = ZAR_JPEG_CMD_RECORD;
        record.RateMode = 1;
        record.UpperSize[0] = record.UpperSize[1] = 60;
        record.End = ZAR_JPEG_NO_OUT_POINT;
        ASSERT_EQ(Command(record), STATUS_SUCCESS);
        ASSERT_EQ(Stop(0), STATUS_SUCCESS);
        RunFields(2);
        ASSERT_EQ(State(0).StateWord, ZAR_VIDEO_IDLE);
        ZarJpegPlaylistInit(ext_, 10);

        RunToParity(0);
        State(0).RecordWithAudio = 1;
        State(0).AudioLead = row.lead;
        RequestState(0, ZAR_VIDEO_RECORD);
        int64_t audioAt = -1, videoAt = -1;
        for (int64_t field = 0; field < 12 && videoAt < 0; ++field) {
            RunFields(1);
            if (audioAt < 0 && State(0).RecordWithAudio == 0) {
                audioAt = field;
                EXPECT_EQ(State(0).Parity, 0u) << "audio starts at a parity-0 field";
            }
            if (State(0).StateWord == ZAR_VIDEO_RECORD) {
                videoAt = field;
                EXPECT_EQ(State(0).Parity, 1u);
            }
        }
        ASSERT_GE(audioAt, 0);
        ASSERT_GE(videoAt, 0);
        EXPECT_EQ(uint64_t(videoAt - audioAt), row.videoAfterAudio);
        EXPECT_EQ(State(0).AudioLead, 0u);
        ASSERT_EQ(Stop(0), STATUS_SUCCESS);
        RunFields(2);
    }
}

}  // namespace

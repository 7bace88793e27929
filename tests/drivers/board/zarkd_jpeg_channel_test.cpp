// The JPEG video channels' commands and states from user mode, on a loaded
// board whose field clock runs: what each command does to its channel, the
// playlist status blocks, and the commands that reach modules not written
// yet, which must fail and change nothing.

#include <gtest/gtest.h>

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

    // A record with interleaved audio needs the audio record ring.
    ZAR_JPEG_COMMAND record{};
    record.Command = ZAR_JPEG_CMD_RECORD_AUDIO;
    record.RateMode = 1;
    record.UpperSize[0] = record.UpperSize[1] = 60;
    record.End = ZAR_JPEG_NO_OUT_POINT;
    EXPECT_EQ(Command(record), STATUS_NOT_IMPLEMENTED);
    RunFields(2);
    EXPECT_NE(State(0).StateWord, ZAR_VIDEO_RECORD);

    // The audio status block, while no audio state is kept.
    ZAR_PLAYLIST_STATUS status;
    EXPECT_EQ(Status(2, 0, &status), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(Status(1, 0, &status), STATUS_SUCCESS);
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

}  // namespace

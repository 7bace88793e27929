// ZARKD's audio play DMA as the bridge's page register receives it: the
// page table's address and the bits that make the channel loop over its
// buffer (play list) or run it once and stop (one-shot play).

#include <gtest/gtest.h>

#include <vector>

#include "include/zar_audio_hw.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

class ZarkdAudioPages : public ZarkdIoctlMachine {
protected:
    void SetUp() override
    {
        ZarkdIoctlMachine::SetUp();
        if (HasFatalFailure()) return;
        ULONG io[4] = {0, 0, 0, 0};
        ASSERT_EQ(Send(IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof(io), io, sizeof(io)).status, STATUS_SUCCESS);
        ASSERT_EQ(Send(IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        for (HANDLE& e : events_) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        for (HANDLE e : events_)
            if (e != nullptr) CloseHandle(e);
        ZarkdIoctlMachine::TearDown();
    }
    uint32_t PlayAPage() { return built_.boards[0]->Bridge().Active(zar_audio_hw::kPlayAPage); }
    ULONG PageTable() { return ext_->AudioEngine.Play[0].PageTableLogical.LowPart & ~ULONG(0xFFF); }

    HANDLE events_[6] = {};
};

TEST_F(ZarkdAudioPages, PlayListPlayLoopsAndOneShotPlayStopsAtTheEnd)
{
    ULONG mask[4] = {0x03, 0, 0, 0};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_SET_ACTIVE_TRACK_MASK, mask, sizeof(mask), nullptr, 0).status, STATUS_SUCCESS);
    ULONG handles[6];
    for (int i = 0; i < 6; ++i) handles[i] = ULONG(reinterpret_cast<ULONG_PTR>(events_[i]));
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_REGISTER_EVENTS, handles, sizeof(handles), nullptr, 0).status, STATUS_SUCCESS);

    // Play list: mapping on, a progress interrupt every 4 KB, wrapping to the base.
    ZAR_AUDIO_PLAY_COMMAND play{};
    play.State = ZAR_AUDIO_PLAYING;
    play.Wait = 1;
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_PLAY_COMMAND, &play, sizeof(play), &play, sizeof(play)).status, STATUS_SUCCESS);
    EXPECT_EQ(PlayAPage(), PageTable() | 0x870);
    ZAR_AUDIO_PLAY_COMMAND stop{};
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_PLAY_COMMAND, &stop, sizeof(stop), &stop, sizeof(stop)).status, STATUS_SUCCESS);

    // One-shot: mapping on, the interrupt only at the end, and a stop there.
    ASSERT_EQ(Send(IOCTL_ZAR_AUD_PLAY_DMA_BUFFER, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(PlayAPage(), PageTable() | 0x8F8);
}

}  // namespace

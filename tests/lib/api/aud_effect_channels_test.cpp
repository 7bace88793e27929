// The per-channel tables of the audio effect streams: their objects made at
// the first use, and a start that waits for the channel's lock only so long.
#include <gtest/gtest.h>

#include <string>

#include "lib/api/zar_aud_effect_channels.h"
#include "tests/platform/win32/w32_machine.h"

namespace {

TEST(AudioEffectChannels, EachStreamKindHasItsOwnTableOfEightChannelsABoard)
{
    EXPECT_EQ(AudLevelEffectChannels().EffectKind(), 10u);
    EXPECT_EQ(AudPanEffectChannels().EffectKind(), 11u);
    EXPECT_EQ(AudEqEffectChannels().EffectKind(), 12u);
    CAudEffectChannels& level = AudLevelEffectChannels();
    EXPECT_EQ(level.ChannelCount(), 8u);
    HANDLE busy = level.BusyEvent(2, 7);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(level.BusyEvent(2, 7), busy);
    EXPECT_NE(AudPanEffectChannels().BusyEvent(2, 7), busy);
    EXPECT_EQ(WaitForSingleObject(busy, 0), WAIT_OBJECT_0) << "made signalled";
    EXPECT_EQ(WaitForSingleObject(busy, 0), WAIT_OBJECT_0) << "manual reset";
    EXPECT_EQ(level.BusyEvent(ZAR_DLL_MAX_BOARDS, 0), nullptr);
    EXPECT_EQ(level.BusyEvent(0, 8), nullptr);
    EXPECT_EQ(level.Start(0, 8), ZAR_E_DRIVER);
}

TEST(AudioEffectChannels, AStartGivesUpOnAChannelLockThatStaysTakenAndSaysWhichChannel)
{
    CAudEffectChannels channels(11, 200);
    HANDLE lock = channels.ChannelLock(1, 3);
    ASSERT_NE(lock, nullptr);
    struct Holder {
        HANDLE lock;
        HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } holder{lock};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* h = static_cast<Holder*>(p);
            WaitForSingleObject(h->lock, INFINITE);
            SetEvent(h->taken);
            WaitForSingleObject(h->release, INFINITE);
            ReleaseMutex(h->lock);
            return 0;
        },
        &holder, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder.taken, 10000), WAIT_OBJECT_0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(channels.Start(1, 3), ZAR_E_DRIVER);
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_NE(line.find("board 1 channel 3"), std::string::npos) << line;

    SetEvent(holder.release);
    WaitForSingleObject(thread, INFINITE);
    SetEvent(channels.StopEvent(1, 3));
    EXPECT_EQ(channels.Start(1, 3), ZAR_OK);
    EXPECT_EQ(WaitForSingleObject(channels.StopEvent(1, 3), 0), WAIT_TIMEOUT) << "a start resets the stop event";
    ReleaseMutex(lock);
    channels.Stop(1, 3);
    EXPECT_EQ(WaitForSingleObject(channels.StopEvent(1, 3), 0), WAIT_OBJECT_0);
    for (HANDLE h : {thread, holder.taken, holder.release}) CloseHandle(h);
}

}  // namespace

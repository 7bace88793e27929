// The machine clock: event order, virtual time that moves only when every
// machine thread waits, time queries derived from it, and real mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/nt/kernel.h"
#include "platform/nt/nt_syscall.h"

namespace {

constexpr uint64_t kMs = 1000000;  // ns

class VirtualClock : public ::testing::Test {
protected:
    void SetUp() override { nt::ClockStart(nt::ClockMode::Virtual); }
    void TearDown() override { nt::ClockStop(); }
};

TEST_F(VirtualClock, EventsRunInTimeOrderThenSchedulingOrderAtTheirTime)
{
    std::vector<std::pair<int, uint64_t>> ran;
    auto record = [&](int n) { return [&ran, n] { ran.push_back({n, nt::ClockNow()}); }; };
    nt::ClockSchedule(30 * kMs, record(3));
    nt::ClockSchedule(10 * kMs, record(1));
    nt::ClockSchedule(10 * kMs, [&] {
        ran.push_back({2, nt::ClockNow()});
        nt::ClockSchedule(10 * kMs, record(5));  // same time, scheduled from an event: runs after
        nt::ClockSchedule(0, record(4));         // in the past: first, and time does not go back
    });
    nt::ClockEventId cancelled = nt::ClockSchedule(20 * kMs, record(99));
    EXPECT_TRUE(nt::ClockCancel(cancelled));
    EXPECT_FALSE(nt::ClockCancel(cancelled));

    nt::ClockRunFor(50 * kMs);
    std::vector<std::pair<int, uint64_t>> expected = {
        {1, 10 * kMs}, {2, 10 * kMs}, {4, 10 * kMs}, {5, 10 * kMs}, {3, 30 * kMs}};
    EXPECT_EQ(ran, expected);
    EXPECT_EQ(nt::ClockNow(), 50 * kMs);
}

TEST_F(VirtualClock, TimeStandsStillWhileAMachineThreadRuns)
{
    bool ran = false;
    nt::ClockSchedule(kMs, [&] { ran = true; });
    // The thread that started the clock counts as running: however long it
    // takes in real time, the event stays in the future.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(nt::ClockNow(), 0u);
    nt::ClockRunUntilIdle();
    EXPECT_FALSE(ran) << "idle does not move time";
    EXPECT_EQ(nt::ClockNow(), 0u);

    // A host thread that leaves the machine lets time move without it.
    nt::ClockLeave();
    for (int i = 0; i < 1000 && !ran; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ran);
    nt::ClockEnter();
}

TEST_F(VirtualClock, TimeQueriesReadTheMachineClock)
{
    LARGE_INTEGER boot, later, frequency;
    KeQuerySystemTime(&boot);
    EXPECT_EQ(boot.QuadPart, 125911584000000000LL) << "virtual machines boot on 2000-01-01";
    LARGE_INTEGER counter0 = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);

    KeStallExecutionProcessor(250);
    EXPECT_EQ(nt::ClockNow(), 250000u);
    nt::ClockRunFor(1000 * kMs - 250000);

    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart - boot.QuadPart, 10000000);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - counter0.QuadPart, 10000000);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 64) << "15.625 ms ticks";
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    EXPECT_EQ(KeQueryInterruptTime(), 10000000u);
    EXPECT_EQ(NtGetTickCount(), 1000u);
}

// A thread that stalls while nothing else can run moves time itself and
// runs the board's events that fall due, at their times; an event that is
// not the hardware's (it may take a driver's lock) is left to the interrupt
// context, which then carries on from there.
TEST_F(VirtualClock, AStallAloneRunsTheBoardsEventsItselfAtTheirTimes)
{
    struct Ran {
        int n;
        uint64_t at;
        bool onStaller;
    };
    std::vector<Ran> ran;
    const auto staller = std::this_thread::get_id();
    auto record = [&](int n) {
        return [&ran, n, staller] { ran.push_back({n, nt::ClockNow(), std::this_thread::get_id() == staller}); };
    };
    const uint64_t start = nt::ClockNow();
    nt::ClockScheduleHardware(start + 100'000, record(1));
    nt::ClockSchedule(start + 200'000, record(2));
    nt::ClockScheduleHardware(start + 300'000, record(3));
    nt::ClockScheduleHardware(start + 500'000, record(4));
    nt::ClockRunUntilIdle();  // the context is idle too

    KeStallExecutionProcessor(400);
    EXPECT_EQ(nt::ClockNow(), start + 400'000);
    ASSERT_EQ(ran.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ran[i].n, i + 1);
        EXPECT_EQ(ran[i].at, start + uint64_t(i + 1) * 100'000);
    }
    EXPECT_TRUE(ran[0].onStaller) << "a board event in the stall's span costs no hand-over";
    EXPECT_FALSE(ran[1].onStaller) << "any other event runs on the interrupt context";

    // Alone again: the next stall runs event 4 itself and ends on time.
    nt::ClockRunUntilIdle();
    KeStallExecutionProcessor(200);
    EXPECT_EQ(nt::ClockNow(), start + 600'000);
    ASSERT_EQ(ran.size(), 4u);
    EXPECT_EQ(ran[3].at, start + 500'000);
    EXPECT_TRUE(ran[3].onStaller);
}

// Another thread's wait that ends inside a stall ends at its time, and the
// stall at its own: the staller does not run ahead of a thread due first.
TEST_F(VirtualClock, AStallGivesWayToAWaitThatEndsInsideIt)
{
    const uint64_t start = nt::ClockNow();
    std::atomic<uint64_t> woke{0};
    std::atomic<bool> entered{false};
    std::thread sleeper([&] {
        nt::ClockEnter();
        entered = true;
        LARGE_INTEGER delay;
        delay.QuadPart = -1000;  // 100 us
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        woke = nt::ClockNow();
        nt::ClockLeave();
    });
    while (!entered) std::this_thread::yield();
    nt::ClockRunUntilIdle();  // the sleeper is in its wait
    KeStallExecutionProcessor(400);
    EXPECT_EQ(nt::ClockNow(), start + 400'000);
    sleeper.join();
    EXPECT_EQ(woke.load(), start + 100'000);
}

TEST(RealClock, FollowsHostTime)
{
    nt::ClockStart(nt::ClockMode::Real);
    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    auto unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count() / 100;
    EXPECT_NEAR(static_cast<double>(systemTime.QuadPart - 116444736000000000LL), static_cast<double>(unix100ns),
                1e7);

    uint64_t eventAt = 0;
    const uint64_t eventDue = nt::ClockNow() + 10 * kMs;
    nt::ClockSchedule(eventDue, [&] { eventAt = nt::ClockNow(); });
    auto start = std::chrono::steady_clock::now();
    uint64_t clockStart = nt::ClockNow();
    nt::ClockRunFor(20 * kMs);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(20));
    EXPECT_GE(nt::ClockNow() - clockStart, 20 * kMs);
    // Against the time it was due, not a reading taken after scheduling: a
    // loaded host may take that reading late.
    EXPECT_GE(eventAt, eventDue);
    nt::ClockStop();
}

// A thread that stalls while it holds a spin lock the interrupt context is
// spinning on: only the context can end the stall, so it must do so while it
// spins, or neither ever goes on.
TEST(RealClock, StallUnderALockTheContextSpinsOnEnds)
{
    nt::ClockStart(nt::ClockMode::Real);
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done.load()) {
            std::fprintf(stderr, "the stalled lock holder and the spinning context never went on\n");
            std::abort();
        }
    });
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<bool> contextTook{false};
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    nt::ClockSchedule(nt::ClockNow(), [&] {
        KeAcquireSpinLockAtDpcLevel(&lock);
        contextTook.store(true);
        KeReleaseSpinLockFromDpcLevel(&lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the context is spinning by now
    KeStallExecutionProcessor(2000);
    KeReleaseSpinLock(&lock, old);
    done.store(true);
    watchdog.join();
    for (int i = 0; i < 100 && !contextTook.load(); ++i) nt::ClockRunFor(kMs);
    EXPECT_TRUE(contextTook.load());
    nt::ClockStop();
}

// On the host's clock a stall is a stall: the thread spends the time itself.
TEST(RealClock, AStallTakesItsTime)
{
    nt::ClockStart(nt::ClockMode::Real);
    const auto start = std::chrono::steady_clock::now();
    const uint64_t clockStart = nt::ClockNow();
    KeStallExecutionProcessor(3000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(3000));
    EXPECT_GE(nt::ClockNow() - clockStart, 3'000'000u);
    nt::ClockStop();
}

}  // namespace

// Time queries and processor stalls, all on the machine clock: system time
// counts from the boot date (fixed in virtual mode, the host's in real
// mode), ticks are 15.625 ms, the performance counter runs at 10 MHz.
#include "ke_internal.h"
#include "nt_ex.h"

using namespace ki;

namespace {
constexpr ULONG TimeIncrement = 156250;  // 100 ns units per tick
constexpr LONGLONG PerformanceFrequency = 10000000;
}  // namespace

void KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = BootSystemTime.load(std::memory_order_relaxed) +
                            static_cast<LONGLONG>(nt::ClockNow() / 100);
}

void KeQueryTickCount(PLARGE_INTEGER tickCount)
{
    tickCount->QuadPart = static_cast<LONGLONG>(nt::ClockNow() / 100 / TimeIncrement);
}

ULONG KeQueryTimeIncrement() { return TimeIncrement; }

ULONGLONG KeQueryInterruptTime() { return nt::ClockNow() / 100; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    if (frequency) frequency->QuadPart = PerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(nt::ClockNow() / 100);
    return counter;
}

void KeStallExecutionProcessor(ULONG microseconds)
{
    if (microseconds == 0) return;
    uint64_t ns = static_cast<uint64_t>(microseconds) * 1000;
    if (OnInterruptContext) {
        StallOnContext(ns);
        return;
    }
    // The stalling thread may hold spin locks and be at device IRQL: time
    // passes all the same, as it would on a real processor.
    StallThread(Current(), ns);
}

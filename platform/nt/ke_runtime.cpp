// Run-time accounting of the interrupt context: for each interrupt vector,
// how often its service routines ran and for how long, and the DPCs they
// queued (and the DPCs those queued in turn) with their time. What a driver
// costs per interrupt is then a reading of the kernel, taken by any process
// of the machine through NtQuerySystemInformation, instead of a look into
// the driver.
//
// Times are host nanoseconds, not machine time (on the virtual clock a
// routine takes no machine time at all): the steady clock's, and the
// running thread's CPU time beside it, so that a busy host, which preempts
// the interrupt context, does not charge its time to the driver.
#include <time.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ke_internal.h"

namespace {

struct VectorCounters {
    ULONGLONG interrupts = 0, interruptNs = 0, interruptCpuNs = 0, dpcs = 0, dpcNs = 0, dpcCpuNs = 0;
};

std::mutex g_lock;
// Key 0 holds the DPCs that no interrupt caused (timers, threads).
std::map<ULONG, VectorCounters>& Counters()
{
    static auto* counters = new std::map<ULONG, VectorCounters>;
    return *counters;
}

}  // namespace

thread_local USHORT ki::RunTimeSource = 0;

ki::RunTimeStamp ki::RunTimeNow()
{
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    const auto wall = std::chrono::steady_clock::now().time_since_epoch();
    return {static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count()),
            static_cast<uint64_t>(cpu.tv_sec) * 1000000000ULL + static_cast<uint64_t>(cpu.tv_nsec)};
}

void ki::AccountInterrupt(ULONG vector, const RunTimeStamp& started)
{
    const RunTimeStamp now = RunTimeNow();
    std::lock_guard<std::mutex> lock(g_lock);
    VectorCounters& c = Counters()[vector];
    c.interrupts++;
    c.interruptNs += now.wallNs - started.wallNs;
    c.interruptCpuNs += now.cpuNs - started.cpuNs;
}

void ki::AccountDpc(USHORT source, const RunTimeStamp& started)
{
    const RunTimeStamp now = RunTimeNow();
    std::lock_guard<std::mutex> lock(g_lock);
    VectorCounters& c = Counters()[source];
    c.dpcs++;
    c.dpcNs += now.wallNs - started.wallNs;
    c.dpcCpuNs += now.cpuNs - started.cpuNs;
}

void ki::ResetRunTimes()
{
    std::lock_guard<std::mutex> lock(g_lock);
    Counters().clear();
}

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returnLength)
{
    if (infoClass != SystemInterruptRunTimeInformation) return STATUS_INVALID_INFO_CLASS;
    std::vector<SYSTEM_INTERRUPT_RUN_TIME> records;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& [vector, c] : Counters())
            records.push_back({vector, 0, c.interrupts, c.interruptNs, c.dpcs, c.dpcNs, c.interruptCpuNs, c.dpcCpuNs});
    }
    ULONG needed = static_cast<ULONG>(records.size() * sizeof(SYSTEM_INTERRUPT_RUN_TIME));
    if (returnLength) *returnLength = needed;
    if (length < needed || (needed && !info)) return STATUS_INFO_LENGTH_MISMATCH;
    if (needed) std::memcpy(info, records.data(), needed);
    return STATUS_SUCCESS;
}

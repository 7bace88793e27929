// Run-time accounting of the interrupt context: for each interrupt vector,
// how often its service routines ran and for how long, and the DPCs they
// queued (and the DPCs those queued in turn) with their time. What a driver
// costs per interrupt is then a reading of the kernel, taken by any process
// of the machine through NtQuerySystemInformation, instead of a look into
// the driver.
//
// Times are host nanoseconds (the steady clock), not machine time: on the
// virtual clock a routine takes no machine time at all.
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ke_internal.h"

namespace {

struct VectorCounters {
    ULONGLONG interrupts = 0, interruptNs = 0, dpcs = 0, dpcNs = 0;
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

uint64_t ki::RunTimeNow()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void ki::AccountInterrupt(ULONG vector, uint64_t ns)
{
    std::lock_guard<std::mutex> lock(g_lock);
    VectorCounters& c = Counters()[vector];
    c.interrupts++;
    c.interruptNs += ns;
}

void ki::AccountDpc(USHORT source, uint64_t ns)
{
    std::lock_guard<std::mutex> lock(g_lock);
    VectorCounters& c = Counters()[source];
    c.dpcs++;
    c.dpcNs += ns;
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
            records.push_back({vector, 0, c.interrupts, c.interruptNs, c.dpcs, c.dpcNs});
    }
    ULONG needed = static_cast<ULONG>(records.size() * sizeof(SYSTEM_INTERRUPT_RUN_TIME));
    if (returnLength) *returnLength = needed;
    if (length < needed || (needed && !info)) return STATUS_INFO_LENGTH_MISMATCH;
    if (needed) std::memcpy(info, records.data(), needed);
    return STATUS_SUCCESS;
}

#include "machine_inspect.h"

#include "w32_internal.h"

bool machineinspect::ReadInterruptRunTimes(std::vector<InterruptRunTime>* runTimes)
{
    // The list can grow between the length asked and the read: ask again.
    std::vector<SYSTEM_INTERRUPT_RUN_TIME> records(8);
    for (;;) {
        ULONG length = static_cast<ULONG>(records.size() * sizeof(records[0])), needed = 0;
        NTSTATUS status = NtQuerySystemInformation(SystemInterruptRunTimeInformation, records.data(), length, &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH && needed > length) {
            records.resize(needed / sizeof(records[0]) + 4);
            continue;
        }
        if (!NT_SUCCESS(status)) {
            w32::SetLastNtError(status);
            return false;
        }
        records.resize(needed / sizeof(records[0]));
        break;
    }
    runTimes->clear();
    for (const SYSTEM_INTERRUPT_RUN_TIME& r : records)
        runTimes->push_back({r.Vector, r.Interrupts, r.InterruptNs, r.Dpcs, r.DpcNs, r.InterruptCpuNs, r.DpcCpuNs});
    return true;
}

std::vector<machineinspect::InterruptRunTime> machineinspect::RunTimesBetween(
    const std::vector<InterruptRunTime>& before, const std::vector<InterruptRunTime>& after)
{
    std::vector<InterruptRunTime> between;
    for (const InterruptRunTime& a : after) {
        InterruptRunTime d = a;
        for (const InterruptRunTime& b : before) {
            if (b.vector != a.vector) continue;
            d.interrupts -= b.interrupts;
            d.interruptNs -= b.interruptNs;
            d.dpcs -= b.dpcs;
            d.dpcNs -= b.dpcNs;
            d.interruptCpuNs -= b.interruptCpuNs;
            d.dpcCpuNs -= b.dpcCpuNs;
        }
        if (d.interrupts || d.dpcs) between.push_back(d);
    }
    return between;
}

// A look at the machine's own accounts, for measuring tools (the
// benchmarks): what the kernel keeps of the time its interrupt context
// spends, per interrupt vector. It works the same in an embedded machine and
// in a client of a machine host, and shows nothing of any driver's records:
// a driver's cost is read from the kernel, not from the driver.
#pragma once

#include <cstdint>
#include <vector>

namespace machineinspect {

// One interrupt vector's account since the machine booted. Vector 0 holds
// the DPCs that no interrupt caused (timers, threads). Times are the host's
// nanoseconds: wall time, and the CPU time of the threads that ran the
// routines (what a busy host's preemption does not inflate).
struct InterruptRunTime {
    uint32_t vector = 0;
    uint64_t interrupts = 0;  // deliveries to the vector's service routines
    uint64_t interruptNs = 0;
    uint64_t dpcs = 0;  // DPCs the vector's routines queued (and those these queued)
    uint64_t dpcNs = 0;
    uint64_t interruptCpuNs = 0;
    uint64_t dpcCpuNs = 0;
};

// Every vector that has run, in vector order; false (GetLastError set) when
// the machine could not be asked.
bool ReadInterruptRunTimes(std::vector<InterruptRunTime>* runTimes);

// What ran between two readings, vector by vector.
std::vector<InterruptRunTime> RunTimesBetween(const std::vector<InterruptRunTime>& before,
                                              const std::vector<InterruptRunTime>& after);

}  // namespace machineinspect

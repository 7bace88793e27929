// Benchmark: the cost of one idle field on a board (ZarIsr's per-field
// sequence with every play list idle, plus the VBI DPC), as a share of the
// field period at 525 lines (16.68 ms).
//
// The figure is the kernel's account of the board's interrupt: the time in
// its service routine and in the DPCs it queued, per field. (The host time a
// field is mostly the simulated board's own work, which is why the driver's
// share is not taken as a difference of host times.) A client of a machine
// host runs fewer fields by default: they take real time there.

#include <cstdio>
#include <cstdlib>

#include "bench/bench_board.h"
#include "bench/bench_host.h"

int main(int argc, char** argv)
{
    PrintHowRun("idle_field");
    BenchMachine machine("zar-bench");
    if (!machine.Start("idle_field")) return 1;
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : machine.Client() ? 600 : 5000;

    if (!machine.NextField()) return 1;
    RunFields(machine.Client() ? 10 : 200);
    const FieldsCost withDriver = RunFields(fields);

    std::printf("idle field: %.0f fields, %llu interrupts on vector 0x%lx, %llu DPCs\n", withDriver.fields,
                (unsigned long long)withDriver.board.interrupts, (unsigned long)withDriver.board.vector,
                (unsigned long long)withDriver.board.dpcs);
    std::printf("  kernel's account: ZarIsr %.3f us + DPCs %.3f us = %.3f us per field; baseline, the %.2f ms field "
                "period: ratio %.5f (%.4f%%)\n",
                withDriver.IsrMicroseconds(), withDriver.DpcMicroseconds(), withDriver.DriverMicroseconds(),
                kFieldPeriod * 1e3, withDriver.DriverMicroseconds() / (kFieldPeriod * 1e6),
                100.0 * withDriver.DriverMicroseconds() / (kFieldPeriod * 1e6));
    if (!machine.Client())
        std::printf("  host time a field, the simulated board included: %.3f us\n", withDriver.HostMicroseconds());
    return 0;
}

// Benchmark: the cost of one idle field on a board (ZarIsr's per-field
// sequence with every play list idle, plus the VBI DPC), as a share of the
// field period at 525 lines (16.68 ms).
//
// A machine on the virtual clock runs the same number of fields twice: once
// with the field interrupt disabled (the baseline: the clock, the simulated
// bridge latching its status, nothing of the driver), once enabled. The
// difference of host time per field is what the driver spends per field.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "drivers/board/zar_driver.h"
#include "bench/bench_machine.h"
#include "platform/nt/machine.h"
#include "sim/pci_layouts.h"
#include "bench/bench_host.h"

namespace {

double SecondsFor(sim::Board& board, uint64_t fields)
{
    auto start = std::chrono::steady_clock::now();
    uint64_t target = board.Clock().FieldCount() + fields;
    nt::ClockRunFor(sim::FieldClock::FieldsToNs(525, fields));
    while (board.Clock().FieldCount() < target) nt::ClockRunFor(1000000);
    nt::ClockRunUntilIdle();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("idle_field");
    uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
    BenchMachine machine("zar-bench");
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    sim::Board& board = machine.Board();

    SecondsFor(board, 200);  // warm up
    double baseline = SecondsFor(board, fields);
    ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    ULONG counted = ext->FieldCounter;
    double withDriver = SecondsFor(board, fields);
    counted = ext->FieldCounter - counted;
    ZarSetIntMode(ext, ZAR_INT_FIELD, FALSE);

    const double period = 1001.0 / 60000.0;
    double perFieldBase = baseline / double(fields);
    double perFieldDriver = withDriver / double(fields);
    double cost = perFieldDriver - perFieldBase;
    std::printf("idle field: %llu fields, %lu counted by the driver\n", (unsigned long long)fields,
                (unsigned long)counted);
    std::printf("  baseline (interrupt disabled): %8.3f us per field\n", perFieldBase * 1e6);
    std::printf("  with ZarIsr and the VBI DPC:   %8.3f us per field (ratio %.2f to the baseline)\n",
                perFieldDriver * 1e6, perFieldDriver / perFieldBase);
    std::printf("  driver's share: %.3f us per field = %.4f%% of the %.2f ms field period\n", cost * 1e6,
                100.0 * cost / period, period * 1e3);

    return 0;
}

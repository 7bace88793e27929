// Benchmark: the per-field cost of the time-code chip and a continuous
// scaled capture, against the same board's fields without the capture.
//
// The board is set up as the media drive's driver does at its start (FPGA
// download, then the set-up after it: the time-code chip initialised, its
// interrupt and the field interrupt on). The fields are run twice: once so,
// once with a continuous 360 x 243 BGRA capture running (the simulated
// bridge scaling and writing every field into the benchmark's memory). The
// figures are the kernel's account of the board's interrupt (its service
// routine and the DPCs it queued) per field, and the host time a field,
// which holds the simulated scaler's per-pixel work. No time-code client is
// bound to the chip's streams: the clients are kernel drivers, and the
// time-code driver is not part of the system yet.

#include <cstdio>
#include <cstdlib>

#include "bench/bench_board.h"
#include "bench/bench_host.h"

namespace {

void Report(const char* what, const FieldsCost& cost, bool hostTime)
{
    std::printf("  %-30s ZarIsr %7.2f us + DPCs %7.2f us = %7.2f us a field (%.3f%% of the period); %llu interrupts, "
                "%llu DPCs",
                what, cost.IsrMicroseconds(), cost.DpcMicroseconds(), cost.DriverMicroseconds(),
                100.0 * cost.DriverMicroseconds() / (kFieldPeriod * 1e6), (unsigned long long)cost.board.interrupts,
                (unsigned long long)cost.board.dpcs);
    if (hostTime) std::printf("; host time %.2f us a field", cost.HostMicroseconds());
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("timecode_capture");
    BenchMachine machine("zar-bench-tc");
    if (!machine.Start("timecode_capture")) return 1;
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : machine.Client() ? 300 : 3000;
    if (!machine.SetUpBoard()) return 1;

    RunFields(machine.Client() ? 10 : 200);  // warm up
    const FieldsCost idle = RunFields(fields);

    // The capture's buffer comes from VirtualAlloc: in a client of a machine
    // host that memory is shared with the host, so the bridge can write it.
    const ULONG bytes = 360 * 243 * 4;
    void* preview = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (preview == nullptr) return 1;
    ZAR_HPS_CAPTURE_REQUEST r{};
    r.Kind = 1;
    r.Fields = 1;
    r.Width = 360;
    r.Height = 243;
    r.Pitch = 360 * 4;
    r.BufferSize = bytes;
    r.BufferAddress = ULONG(reinterpret_cast<ULONG_PTR>(preview));
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    if (!machine.Control(IOCTL_ZAR_HPS_CAPTURE, "the continuous capture", &r, sizeof r, &r, sizeof r)) return 1;
    RunFields(machine.Client() ? 10 : 200);
    const FieldsCost busy = RunFields(fields);
    ZAR_HPS_CAPTURE_REQUEST stop{};
    stop.Kind = 2;
    machine.Control(IOCTL_ZAR_HPS_CAPTURE, "the capture's stop", &stop, sizeof stop, &stop, sizeof stop);
    // A capture that never reached the buffer would make the figure a lie.
    bool written = false;
    for (ULONG i = 0; i < bytes && !written; ++i) written = static_cast<const UCHAR*>(preview)[i] != 0;
    VirtualFree(preview, 0, MEM_RELEASE);
    if (!written) {
        std::fprintf(stderr, "timecode_capture: the capture wrote nothing into its buffer\n");
        return 1;
    }

    std::printf("time-code chip and capture: %.0f fields a run, 525 lines\n", busy.fields);
    Report("time-code chip:", idle, !machine.Client());
    Report("and a continuous capture:", busy, !machine.Client());
    if (!machine.Client())
        std::printf("  the capture's extra host time a field: %.2f us (%.1fx the field without it)\n",
                    busy.HostMicroseconds() - idle.HostMicroseconds(), busy.HostMicroseconds() / idle.HostMicroseconds());
    return 0;
}

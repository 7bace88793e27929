// Benchmark: the JPEG channels in the field interrupt with both running,
// channel 0 recording (rate control, upper size 60 blocks) and channel 1
// playing back what channel 0 recorded a few fields before, as a share of
// the field period at 525 lines (16.68 ms) and against an idle field.
//
// The benchmark reaches the board only through its control codes
// (bench_jpeg.h does the library's share between fields), so it runs as a
// client of a machine host too. The driver's per-field work is the kernel's
// account of the board's interrupt: its service routine and the DPCs it
// queued (the codecs' own work runs in the board's field event, outside
// both; bench/codec_throughput measures the codecs). The library's share
// runs on the benchmark's thread between fields and is timed apart.

#include <cstdio>
#include <cstdlib>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_jpeg.h"

int main(int argc, char** argv)
{
    PrintHowRun("jpeg_fields");
    BenchMachine machine("zar-bench");
    if (!machine.Start("jpeg_fields")) return 1;
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;

    // An idle field first: the interrupt with every channel idle.
    BenchJpegChannels jpeg(machine);
    FieldsCost idle;
    if (!MeasureIdleThenStart(machine, jpeg, fields, "jpeg_fields", &idle)) return 1;
    bool ok = true;
    int32_t recordState = 0, playState = 0;
    uint32_t recordDropped = 0, lateBefore = 0, late = 0;
    if (!jpeg.ChannelState(1, &playState, &lateBefore)) return 1;
    jpeg.Clear();
    const FieldsCost busy = RunServedFields(machine, fields, &jpeg, &ok);
    if (!ok || !jpeg.ChannelState(0, &recordState, &recordDropped) || !jpeg.ChannelState(1, &playState, &late))
        return 1;
    late -= lateBefore;
    jpeg.Stop();

    const double period = kFieldPeriod * 1e6;
    std::printf("jpeg fields: %llu fields a run, 525 lines\n", static_cast<unsigned long long>(fields));
    std::printf("  channel 0 recording (upper size %u blocks): %u fields fetched, average %.1f blocks, %u dropped, "
                "state %d\n",
                BenchJpegChannels::kUpperSize, jpeg.measured,
                jpeg.measured ? double(jpeg.blocks) / jpeg.measured : 0.0, jpeg.dropped, recordState);
    std::printf("  channel 1 playing them back: %u late, state %d\n", late, playState);
    std::printf("  driver per field (ZarIsr + the DPCs it queued, the kernel's account), %llu interrupts:\n",
                static_cast<unsigned long long>(busy.board.interrupts));
    std::printf("    idle field:            %7.2f us = %.4f%% of the %.2f ms field period\n",
                idle.DriverMicroseconds(), 100.0 * idle.DriverMicroseconds() / period, period / 1e3);
    std::printf("    both channels running: %7.2f us = %.4f%% of the field period (%.1fx the idle field)\n",
                busy.DriverMicroseconds(), 100.0 * busy.DriverMicroseconds() / period,
                idle.DriverMicroseconds() > 0 ? busy.DriverMicroseconds() / idle.DriverMicroseconds() : 0.0);
    std::printf("  library's share (descriptors, field copies, releases, nodes through control codes): %.2f us per "
                "field of host time\n",
                jpeg.seconds / double(fields) * 1e6);
    if (recordState < 0 || playState < 0)
        std::printf("  a channel went into error: a codec missed a field%s\n",
                    machine.Client() ? " (on the real clock: the host fell behind real time)" : "");
    return jpeg.measured != 0 && playState == ZAR_VIDEO_PLAY ? 0 : 1;
}

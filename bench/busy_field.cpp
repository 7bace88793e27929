// Benchmark: one field with every unit of the board busy at once, the
// driver's share of the field period at 525 lines (16.68 ms): both JPEG
// channels (0 recording, 1 playing back what it recorded), eight audio
// tracks from the data server at 1.9x with the 16-tap filter on every frame,
// every effect channel taking a node a field (a scrub entry committed now
// and then), the time-code chip's interrupt, and a continuous 360 x 243
// BGRA capture. The baseline is the field period itself (the ratio is the
// share), with an idle field of the same board beside it.
//
// The board is reached only through its control codes (bench_jpeg.h,
// bench_audio.h, bench_effects.h), so it runs as a client of a machine host
// too. The driver's work is the kernel's account of the board's interrupt:
// its service routine and the DPCs it queued.
//
//   busy_field [chunks of 200 fields]

#include <cstdio>
#include <cstdlib>

#include "bench/bench_audio.h"
#include "bench/bench_board.h"
#include "bench/bench_effects.h"
#include "bench/bench_host.h"
#include "bench/bench_jpeg.h"

namespace {

constexpr LONG kSpeed = 91200;  // 1.9x: the filter runs on every output frame

// A continuous capture into 'buffer' (360 x 243 BGRA), or its stop.
bool Capture(BenchMachine& machine, void* buffer, bool start)
{
    ZAR_HPS_CAPTURE_REQUEST r{};
    if (start) {
        r.Kind = 1;
        r.Fields = 1;
        r.Width = 360;
        r.Height = 243;
        r.Pitch = 360 * 4;
        r.BufferSize = 360 * 243 * 4;
        r.BufferAddress = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
        r.Contrast = 64;
        r.Brightness = 128;
        r.Saturation = 64;
    } else {
        r.Kind = 2;
    }
    return machine.Control(IOCTL_ZAR_HPS_CAPTURE, start ? "the continuous capture" : "the capture's stop", &r,
                           sizeof r, &r, sizeof r);
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("busy_field");
    const uint32_t chunks = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 2;
    const uint64_t fields = uint64_t(chunks) * benchfx::kChunk;
    BenchMachine machine("zar-bench-busy");
    if (!machine.Start("busy_field", benchfx::BoardWithDve())) return 1;
    HANDLE device = machine.Board();

    // The idle field, then the JPEG channels (they set the board up: FPGA
    // download, time-code chip and field interrupt on).
    BenchJpegChannels jpeg(machine);
    FieldsCost idle;
    if (!MeasureIdleThenStart(machine, jpeg, fields, "busy_field", &idle)) return 1;
    AudioFeed audio;
    if (!audio.Start(device, kSpeed)) return 1;
    void* preview = VirtualAlloc(nullptr, 360 * 243 * 4, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (preview == nullptr || !Capture(machine, preview, true)) return 1;
    BenchEffects effects(machine);
    if (!effects.Start()) return 1;

    // The effect channels take their first nodes with the measured fields.
    bool ok = true;
    for (uint32_t f = 0; f < 60 && ok; ++f) ok = machine.NextField() && jpeg.Service();
    const FieldsCost busy = MeasureFields([&] {
        for (uint32_t c = 0; c < chunks && ok; ++c) {
            ok = effects.Refill();
            for (uint32_t f = 0; f < benchfx::kChunk && ok; ++f) ok = machine.NextField() && jpeg.Service();
        }
    });
    LONG speed = 0;
    const bool audioRunning = ok && audio.Status(device, &speed);
    int32_t recordState = 0, playState = 0;
    uint32_t dropped = 0;
    const bool states = jpeg.ChannelState(0, &recordState, &dropped) && jpeg.ChannelState(1, &playState, &dropped);
    effects.Stop();
    audio.Stop(device);
    Capture(machine, preview, false);
    jpeg.Stop();
    VirtualFree(preview, 0, MEM_RELEASE);
    if (!ok || !states) return 1;

    const double period = kFieldPeriod * 1e6;
    std::printf("every unit busy: %llu fields a run, 525 lines; JPEG channel 0 recording, 1 playing; eight tracks at "
                "%.2fx (%s); every effect channel (%u scrub entries); time code; continuous capture\n",
                static_cast<unsigned long long>(fields), speed / 48000.0, audioRunning ? "running" : "NOT running",
                effects.scrubs);
    // CPU time of the threads that ran the driver's routines: a busy host's
    // preemption is not charged to the driver; wall time stays beside it.
    std::printf("  the driver a field, CPU time (ZarIsr %.2f us + DPCs %.2f us, the kernel's account): %.2f us; "
                "baseline, the field period %.2f ms: ratio %.4f (%.3f%%); wall time %.2f us\n",
                busy.IsrCpuMicroseconds(), busy.DpcCpuMicroseconds(), busy.DriverCpuMicroseconds(), period / 1e3,
                busy.DriverCpuMicroseconds() / period, 100.0 * busy.DriverCpuMicroseconds() / period,
                busy.DriverMicroseconds());
    std::printf("  an idle field of the same board: %.2f us CPU (%.1fx)\n", idle.DriverCpuMicroseconds(),
                idle.DriverCpuMicroseconds() > 0 ? busy.DriverCpuMicroseconds() / idle.DriverCpuMicroseconds() : 0.0);
    if (!machine.Client())
        std::printf("  host time a field, the simulated board's work included: %.0f us busy, %.0f us idle\n",
                    busy.HostMicroseconds(), idle.HostMicroseconds());
    if (recordState < 0 || playState < 0)
        std::printf("  a JPEG channel went into error: a codec missed a field%s\n",
                    machine.Client() ? " (on the real clock: the host fell behind real time)" : "");
    return audioRunning ? 0 : 1;
}

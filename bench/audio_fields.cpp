// Benchmark: one field of the board with eight audio tracks playing through
// the data server at 1.9x (the 16-tap filter on every output frame, both
// banks) beside the JPEG channels (channel 0 recording, channel 1 playing
// back what it recorded), as a share of the field period at 525 lines
// (16.68 ms), against an idle field and the JPEG channels alone.
//
// Like bench/jpeg_fields.cpp, the benchmark reaches the board only through
// its control codes, so it runs as a client of a machine host too: the
// audio is set up as the library would, and the JPEG channels run through
// bench_jpeg.h. The driver's per-field work is the kernel's account of the
// board's interrupt: its service routine and the DPCs it queued (the VBI
// DPC, the data server's fill, the play and DSP DPCs).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_audio.h"
#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_jpeg.h"
#include "include/zarkd.h"
#include "include/zarkd_audio.h"

int main(int argc, char** argv)
{
    PrintHowRun("audio_fields");
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
    BenchMachine machine("zar-bench");
    if (!machine.Start("audio_fields")) return 1;
    HANDLE device = machine.Board();

    BenchJpegChannels jpeg(machine);
    FieldsCost idle;
    if (!MeasureIdleThenStart(machine, jpeg, fields, "audio_fields", &idle)) return 1;
    bool ok = true;
    const FieldsCost jpegOnly = RunServedFields(machine, fields, &jpeg, &ok);
    if (!ok) return 1;

    AudioFeed audio;
    if (!audio.Start(device, 91200)) return 1;
    RunServedFields(machine, 60, &jpeg, &ok);
    const FieldsCost busy = RunServedFields(machine, fields, &jpeg, &ok);
    LONG speed = 0;
    const bool running = ok && audio.Status(device, &speed);
    audio.Stop(device);
    int32_t recordState = 0, playState = 0;
    uint32_t dropped = 0;
    if (!jpeg.ChannelState(0, &recordState, &dropped) || !jpeg.ChannelState(1, &playState, &dropped)) return 1;
    jpeg.Stop();

    const double period = kFieldPeriod * 1e6;
    const double idleField = idle.DriverMicroseconds(), jpegField = jpegOnly.DriverMicroseconds(),
                 busyField = busy.DriverMicroseconds();
    const double idleCpu = idle.DriverCpuMicroseconds(), jpegCpu = jpegOnly.DriverCpuMicroseconds(),
                 busyCpu = busy.DriverCpuMicroseconds();
    std::printf("audio fields: %llu fields a run, 525 lines\n", static_cast<unsigned long long>(fields));
    std::printf("  eight tracks from the data server at %.2fx (%s), both banks; JPEG channel 0 recording, 1 playing\n",
                speed / 48000.0, running ? "running" : "NOT running");
    std::printf("  driver per field (ZarIsr and the DPCs it queued: VBI, data server, play and DSP; the kernel's "
                "account):\n");
    std::printf("    idle field:                %7.2f us = %.4f%% of the %.2f ms field period\n", idleField,
                100.0 * idleField / period, period / 1e3);
    std::printf("    JPEG channels:             %7.2f us = %.4f%% of the field period\n", jpegField,
                100.0 * jpegField / period);
    std::printf("    JPEG and eight tracks:     %7.2f us = %.4f%% of the field period (%.1fx the idle field)\n",
                busyField, 100.0 * busyField / period, idleField > 0 ? busyField / idleField : 0.0);
    std::printf("  the same in the CPU time of the threads that ran them (a busy host's preemption left out):\n");
    std::printf("    idle field:                %7.2f us = %.4f%% of the field period\n", idleCpu, 100.0 * idleCpu / period);
    std::printf("    JPEG channels:             %7.2f us = %.4f%% of the field period\n", jpegCpu, 100.0 * jpegCpu / period);
    std::printf("    JPEG and eight tracks:     %7.2f us = %.4f%% of the field period (%.1fx the idle field)\n", busyCpu,
                100.0 * busyCpu / period, idleCpu > 0 ? busyCpu / idleCpu : 0.0);
    if (recordState < 0 || playState < 0)
        std::printf("  a JPEG channel went into error: a codec missed a field%s\n",
                    machine.Client() ? " (on the real clock: the host fell behind real time)" : "");
    return running ? 0 : 1;
}

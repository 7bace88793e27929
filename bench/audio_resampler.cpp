// Benchmark: the audio data server's fill of the play DMA (the work its DPC
// does each half) for eight tracks, both banks, at 2x and at 1.9x with the
// 16-tap filter, as a share of real time at 48,000 frames a second; the
// baseline is the same eight tracks at 1x, which copies the samples.
//
// The data server is driven through the board's control codes alone, as the
// library drives it, so the benchmark also runs as a client of a machine
// host. What the fill costs is the kernel's account of the board's
// interrupt (its service routine and the DPCs it queued, the data server's
// fill among them), less that of an idle field.
//
//   audio_resampler [fields]

#include <cstdio>
#include <cstdlib>

#include "bench/bench_audio.h"
#include "bench/bench_board.h"
#include "bench/bench_host.h"

namespace {

// The board's fields with 'speed', after some to settle; 'ok' false when
// the speed or a field wait failed.
FieldsCost Measure(BenchMachine& machine, AudioFeed* audio, LONG speed, uint64_t fields, bool* ok)
{
    if (audio != nullptr && !audio->SetSpeed(machine.Board(), speed)) {
        *ok = false;
        return FieldsCost{};
    }
    WaitFields(machine, 30, ok);
    return WaitFields(machine, fields, ok);
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("audio_resampler");
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    BenchMachine machine("zar-bench-resampler");
    if (!machine.Start("audio_resampler")) return 1;
    if (!machine.Client() && !machine.SetUpBoard()) return 1;

    bool ok = true, running = true;
    const FieldsCost idle = Measure(machine, nullptr, 0, fields, &ok);
    AudioFeed audio;
    if (!ok || !audio.Start(machine.Board(), AudioFeed::kNormalSpeed)) return 1;
    const FieldsCost copy = Measure(machine, &audio, AudioFeed::kNormalSpeed, fields, &ok);
    running = running && ok;
    // At exactly 2x every output frame lands on a source frame (phase 0, a
    // copy); 1.9x puts the 16 taps to work on every frame.
    const FieldsCost twice = Measure(machine, &audio, 2 * AudioFeed::kNormalSpeed, fields, &ok);
    running = running && ok;
    const FieldsCost near = Measure(machine, &audio, AudioFeed::kNormalSpeed * 19 / 10, fields, &ok);
    running = running && ok;
    LONG speed = 0;
    running = running && audio.Status(machine.Board(), &speed);
    audio.Stop(machine.Board());
    if (!running) {
        std::fprintf(stderr, "audio_resampler: the data server did not keep playing\n");
        return 1;
    }

    // Driver time a second of audio beyond an idle field's, in ms.
    const double idleField = idle.DriverMicroseconds();
    auto perSecond = [&](const FieldsCost& c) { return (c.DriverMicroseconds() - idleField) / kFieldPeriod / 1e3; };
    const double base = perSecond(copy), fast = perSecond(twice), interpolated = perSecond(near);
    std::printf("eight tracks from the data server, both banks, %llu fields a speed; the driver's time beyond an idle "
                "field (%.1f us), the kernel's account of the board's interrupt, per second of audio:\n",
                static_cast<unsigned long long>(fields), idleField);
    std::printf("  1x copy (baseline):           %8.2f ms, %.2f %% of real time\n", base, base / 10);
    std::printf("  2x (16-tap filter chosen):    %8.2f ms, %.2f %% of real time (%.1f x the baseline)\n", fast,
                fast / 10, base > 0 ? fast / base : 0.0);
    std::printf("  1.9x, 16 taps on every frame: %8.2f ms, %.2f %% of real time (%.1f x the baseline)\n",
                interpolated, interpolated / 10, base > 0 ? interpolated / base : 0.0);
    // On the real clock of a host a field takes its period, whatever it costs.
    if (!machine.Client())
        std::printf("  host time a field: idle %.0f us, 1x %.0f us, 2x %.0f us, 1.9x %.0f us\n",
                    idle.HostMicroseconds(), copy.HostMicroseconds(), twice.HostMicroseconds(), near.HostMicroseconds());
    return 0;
}

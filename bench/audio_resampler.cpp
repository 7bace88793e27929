// Benchmark: the audio data server's fill of the play DMA (the work its DPC
// does each half) for eight tracks at 2x speed with the 16-tap filter, as a
// fraction of real time at 48,000 frames a second.
//
// The baseline is the same fill at 1x, which copies the samples without
// interpolation; both run in this process on the same slot data. One fill
// writes both banks' halves, four tracks each.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_host.h"
#include "drivers/board/zar_driver.h"

namespace {

constexpr ULONG kSlots = 8, kSlotFrames = 8192, kTracks = 4, kHalf = 1024;

struct Fixture {
    std::unique_ptr<ZAR_DEVICE_EXTENSION> ext{new ZAR_DEVICE_EXTENSION()};
    std::vector<UCHAR> control = std::vector<UCHAR>(ZAR_DSRV_CONTROL_BYTES);
    std::vector<std::vector<SHORT>> slots;
    std::vector<SHORT> outA = std::vector<SHORT>(kHalf * kTracks), outB = std::vector<SHORT>(kHalf * kTracks);

    Fixture(LONG speed, ULONG filter)
    {
        ZAR_DSRV_STATE_BLOCK& s = ext->AudioDSrv;
        s.Prep.Slots = kSlots;
        s.Prep.Sources = 1;
        s.Prep.BankATracks = kTracks;
        s.Prep.BankBTracks = kTracks;
        s.Prep.BankBBytes = kSlotFrames * kTracks * 2;
        s.Prep.BankBOffset = kSlotFrames * kTracks;
        s.Prep.LoopStart = 0;
        s.Prep.LoopEnd = LONGLONG(kSlots) * kSlotFrames;
        s.Prep.Loop = 1;
        s.Prep.NormalSpeed = 48000;
        s.Prep.VariSpeed = 1;
        s.SlotFrames = kSlotFrames;
        s.Control = control.data();
        for (ULONG i = 0; i < kSlots; ++i) {
            slots.emplace_back(2 * kSlotFrames * kTracks);
            for (ULONG f = 0; f < 2 * kSlotFrames * kTracks; ++f)
                slots[i][f] = SHORT(10000 * std::sin(0.01 * double(i * kSlotFrames * kTracks + f)));
            s.Slot[i] = reinterpret_cast<PUCHAR>(slots[i].data());
            LONGLONG position = LONGLONG(i) * kSlotFrames;
            std::memcpy(control.data() + 288 + 8 * i, &position, 8);
        }
        s.Speed = speed;
        s.Ratio = ZarAudDSrvReduceRatio(48000, speed);
        s.Filter = filter;
        s.RampStep = ZAR_DSRV_RAMP_FILLS;
    }

    // Seconds of host time for 'seconds' of eight tracks' output.
    double Run(double seconds)
    {
        const LONG slot[8] = {0, 1, 2, 3, 0, 1, 2, 3};
        SHORT* const out[2] = {outA.data(), outB.data()};
        const ULONG stride[2] = {kTracks, kTracks};
        ULONG halves = ULONG(seconds * 48000 / kHalf);
        auto start = std::chrono::steady_clock::now();
        for (ULONG h = 0; h < halves; ++h) ZarAudDSrvFill(ext.get(), out, kHalf, stride, slot);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("audio_resampler");
    double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    // At exactly 2x every output frame lands on a source frame (phase 0, a
    // copy); 1.9x puts the 16 taps to work on every frame.
    Fixture copy(48000, 0), twice(96000, 3), near(91200, 3);
    copy.Run(1.0);  // warm up
    twice.Run(1.0);
    near.Run(1.0);
    double base = copy.Run(seconds);
    double fast = twice.Run(seconds);
    double interpolated = near.Run(seconds);
    std::printf("eight tracks, %.0f s of audio each:\n", seconds);
    std::printf("  1x copy (baseline):           %.4f s host, %.2f %% of real time\n", base, 100 * base / seconds);
    std::printf("  2x (16-tap filter chosen):    %.4f s host, %.2f %% of real time (%.1f x the baseline)\n", fast,
                100 * fast / seconds, fast / base);
    std::printf("  1.9x, 16 taps on every frame: %.4f s host, %.2f %% of real time (%.1f x the baseline)\n",
                interpolated, 100 * interpolated / seconds, interpolated / base);
    return 0;
}

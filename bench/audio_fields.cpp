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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_jpeg.h"
#include "include/zarkd.h"
#include "include/zarkd_audio.h"

namespace {

constexpr ULONG kSlots = 8, kSlotFrames = 8192, kBankTracks = 4;

bool Control(HANDLE board, ULONG code, void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0)
{
    DWORD bytes = 0;
    if (DeviceIoControl(board, code, in, inLength, out, outLength, &bytes, nullptr)) return true;
    std::fprintf(stderr, "audio_fields: control code 0x%lx failed: error %lu\n", static_cast<unsigned long>(code),
                 static_cast<unsigned long>(GetLastError()));
    return false;
}

ULONG Address(const void* p) { return ULONG(reinterpret_cast<uintptr_t>(p)); }

// Eight tracks from the data server: eight slots of a tone per track in both
// banks, looped, played at 1.9x.
// The control block and the slots are VirtualAlloc memory: the driver reads
// them, and a client of a machine host shares that memory with the host.
struct AudioFeed {
    static constexpr size_t kSlotSamples = 2 * kSlotFrames * kBankTracks;
    static constexpr size_t kBytes = ZAR_DSRV_CONTROL_BYTES + kSlots * kSlotSamples * sizeof(SHORT);
    void* memory = VirtualAlloc(nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE);
    ULONG* control = static_cast<ULONG*>(memory);
    HANDLE events[6] = {};
    HANDLE semaphore = nullptr;

    ~AudioFeed()
    {
        if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
    }
    SHORT* Slot(ULONG s) const
    {
        return reinterpret_cast<SHORT*>(static_cast<uint8_t*>(memory) + ZAR_DSRV_CONTROL_BYTES) + s * kSlotSamples;
    }

    bool Start(HANDLE board)
    {
        if (memory == nullptr) return false;
        std::memset(memory, 0, kBytes);
        for (HANDLE& e : events) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        semaphore = CreateSemaphoreA(nullptr, 0, 1 << 20, nullptr);
        ULONG handles[6];
        for (int i = 0; i < 6; ++i) handles[i] = Address(events[i]);
        if (!Control(board, IOCTL_ZAR_AUD_REGISTER_EVENTS, handles, sizeof handles)) return false;
        ZAR_DSRV_PREPARE p{};
        for (ULONG s = 0; s < kSlots; ++s) {
            for (ULONG f = 0; f < kSlotFrames; ++f)
                for (ULONG t = 0; t < 2 * kBankTracks; ++t)
                    Slot(s)[(t / kBankTracks) * kSlotFrames * kBankTracks + f * kBankTracks + t % kBankTracks] =
                        SHORT(8000 * std::sin(0.01 * (t + 1) * double(s * kSlotFrames + f)));
            LONGLONG position = LONGLONG(s) * kSlotFrames;
            std::memcpy(&control[(288 + 8 * s) / 4], &position, 8);
            control[(896 + 32 * s) / 4] = 1;
            p.SlotBuffer[s] = Address(Slot(s));
        }
        p.ControlBlock = Address(control);
        p.TrackMask = 0xFF;
        p.Sources = 1;
        p.Slots = kSlots;
        p.BankABytes = p.BankBBytes = kSlotFrames * kBankTracks * 2;
        p.BankBOffset = kSlotFrames * kBankTracks;
        p.BankATracks = p.BankBTracks = kBankTracks;
        p.LoopEnd = LONGLONG(kSlots) * kSlotFrames;
        p.NormalSpeed = 48000;
        p.VariSpeed = 1;
        p.Loop = 1;
        p.BaseFilter = 1;
        p.Semaphore = Address(semaphore);
        LONG speed[2] = {91200, 1};
        ZAR_AUDIO_PLAY_COMMAND play{};
        play.FixedSpeed = 1;
        play.EndField = 0x7FFFFFFF;
        play.Wait = 1;
        return Control(board, IOCTL_ZAR_AUD_DSRV_PREP_PLAY, &p, sizeof p) &&
               Control(board, IOCTL_ZAR_AUD_DSRV_SET_SPEED, speed, sizeof speed) &&
               Control(board, IOCTL_ZAR_AUD_DSRV_INIT_BUFFERS, nullptr, 0) &&
               Control(board, IOCTL_ZAR_AUD_DSRV_START_PLAY, &play, sizeof play);
    }
    // Running, and the speed it runs at.
    bool Status(HANDLE board, LONG* speedNow)
    {
        ULONG status[4] = {};
        if (!Control(board, IOCTL_ZAR_AUD_DSRV_GET_CURRENT_STATUS, status, 16, status, 16)) return false;
        *speedNow = LONG(status[3]);
        return status[0] != 0;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("audio_fields");
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
    BenchMachine machine("zar-bench");
    if (!machine.Start("audio_fields")) return 1;
    HANDLE device = machine.Board();

    bool ok = true;
    RunServedFields(machine, 60, nullptr, &ok);
    const FieldsCost idle = RunServedFields(machine, fields, nullptr, &ok);
    if (!ok) return 1;

    BenchJpegChannels jpeg(machine);
    if (!jpeg.Start()) {
        std::fprintf(stderr, "audio_fields: the JPEG channels did not start\n");
        return 1;
    }
    RunServedFields(machine, 60, &jpeg, &ok);
    const FieldsCost jpegOnly = RunServedFields(machine, fields, &jpeg, &ok);
    if (!ok) return 1;

    AudioFeed audio;
    if (!audio.Start(device)) return 1;
    RunServedFields(machine, 60, &jpeg, &ok);
    const FieldsCost busy = RunServedFields(machine, fields, &jpeg, &ok);
    LONG speed = 0;
    const bool running = ok && audio.Status(device, &speed);
    Control(device, IOCTL_ZAR_AUD_DSRV_STOP_PLAY, nullptr, 0);
    int32_t recordState = 0, playState = 0;
    uint32_t dropped = 0;
    if (!jpeg.ChannelState(0, &recordState, &dropped) || !jpeg.ChannelState(1, &playState, &dropped)) return 1;
    jpeg.Stop();

    const double period = kFieldPeriod * 1e6;
    const double idleField = idle.DriverMicroseconds(), jpegField = jpegOnly.DriverMicroseconds(),
                 busyField = busy.DriverMicroseconds();
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
    if (recordState < 0 || playState < 0)
        std::printf("  a JPEG channel went into error: a codec missed a field%s\n",
                    machine.Client() ? " (on the real clock: the host fell behind real time)" : "");
    return running ? 0 : 1;
}

// Benchmark: one field of the board with eight audio tracks playing through
// the data server at 1.9x (the 16-tap filter on every output frame, both
// banks) beside the JPEG channels (channel 0 recording, channel 1 playing
// back what it recorded), as a share of the field period at 525 lines
// (16.68 ms), against an idle field and the JPEG channels alone.
//
// This follows bench/jpeg_fields.cpp: a machine on the virtual clock runs
// the board, and the driver's per-field work is the host time spent in its
// interrupt routine, its VBI DPC and the audio DPCs (the data server's fill,
// the play and DSP DPCs), timed around each call. The audio is set up as the
// library would, through the control codes of \\.\KIVZAR0; the JPEG
// channels and the library's side of them go through the driver's routines
// as in jpeg_fields.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "bench/bare_jpeg.h"
#include "bench/bench_host.h"
#include "bench/bench_machine.h"
#include "drivers/board/zar_driver.h"
#include "include/zar_jpeg_tables.h"
#include "include/zarkd.h"
#include "platform/nt/ke_internal.h"
#include "platform/nt/machine.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr ULONG kUpperSize = 60;
constexpr ULONG kPlayDelay = 8;
constexpr ULONG kSlots = 8, kSlotFrames = 8192, kBankTracks = 4;

struct DriverTime {
    PKSERVICE_ROUTINE isr = nullptr;
    double seconds = 0;
} gDriver;

// The DPCs timed: each wrapper calls the routine it replaced.
constexpr int kTimedDpcs = 4;
PKDEFERRED_ROUTINE gDpc[kTimedDpcs];

BOOLEAN TimedIsr(PKINTERRUPT interrupt, PVOID context)
{
    const auto start = Clock::now();
    const BOOLEAN claimed = gDriver.isr(interrupt, context);
    gDriver.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    return claimed;
}

template <int I>
void TimedDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2)
{
    const auto start = Clock::now();
    gDpc[I](dpc, context, arg1, arg2);
    gDriver.seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

struct PlayNode {
    ZAR_NODE_RECORD Head;
    ULONG Address;
    ULONG Size;
};

// The library's side: descriptors fetched and released, each recorded field
// posted as the next play node of channel 1.
class Library {
public:
    Library(PZAR_DEVICE_EXTENSION ext, sim::Board& board) : ext_(ext), board_(board) {}

    void Service()
    {
        const auto start = Clock::now();
        ZAR_JPEG_FIELD_DESCRIPTOR d;
        while (ZarJpegGetNextEntry(ext_, ZAR_JPEG_RECORD_CHANNEL, &d) == STATUS_SUCCESS) {
            ++fetched;
            if (d.Size == 0 || d.Dropped) {
                ++dropped;
            } else {
                // From the parity's record bank into the play ring, as the
                // library's disk round trip would bring it.
                bare::Stream s(size_t(d.Size) * ZAR_JPEG_BLOCK_BYTES);
                board_.Memory().Read(d.Address, sim::Sdram::RecordBankMode(d.Parity), 0, s.data(), ULONG(s.size()));
                board_.Memory().Write(playHead_, sim::Sdram::kModeRing, 0, s.data(), ULONG(s.size()));
                ULONG release[2] = {d.Parity, d.Size};
                ZarJpegReleaseSdramField(ext_, release);
                recorded_.push_back({{sizeof(PlayNode), 0, 0, 0, 0}, playHead_, d.Size});
                playHead_ = (playHead_ + d.Size) % ZAR_JPEG_RING_BLOCKS;
                blocks += d.Size;
                scale += ZarJpegQuantiserScale[d.Quantiser & 31];
                ++measured;
            }
        }
        PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext_, ZAR_FX_CHANNEL_VIDEO1);
        while (!recorded_.empty() && ZarPlyQueuedCount(queue) < kPlayDelay) {
            PlayNode node = recorded_.front();
            recorded_.pop_front();
            node.Head.Field = nextPosition_++;
            ZarPlyInsertNodes(ext_, ZAR_FX_CHANNEL_VIDEO1, &node, 1);
        }
        seconds += bare::SecondsSince(start);
    }
    size_t Waiting() const { return recorded_.size(); }

    double seconds = 0;
    ULONG fetched = 0, dropped = 0, measured = 0;
    uint64_t blocks = 0, scale = 0;

private:
    ULONG playHead_ = 0;
    PZAR_DEVICE_EXTENSION ext_;
    sim::Board& board_;
    std::deque<PlayNode> recorded_;
    ULONG nextPosition_ = 0;
};

void RunFields(sim::Board& board, uint64_t fields, Library* library)
{
    for (uint64_t target = board.Clock().FieldCount() + fields; board.Clock().FieldCount() < target;) {
        nt::ClockRunFor(sim::FieldClock::FieldsToNs(525, 1));
        if (library) library->Service();
    }
    nt::ClockRunUntilIdle();
}

double DriverSecondsAField(sim::Board& board, uint64_t fields, Library* library)
{
    const double before = gDriver.seconds;
    RunFields(board, fields, library);
    return (gDriver.seconds - before) / double(fields);
}

NTSTATUS Command(PZAR_DEVICE_EXTENSION ext, ULONG command, ULONG channel, ULONG start = 0, ULONG end = 0)
{
    ZAR_JPEG_COMMAND c = {};
    c.Command = command;
    c.Channel = channel;
    c.Start = start;
    c.End = end;
    if (command == ZAR_JPEG_CMD_RECORD) {
        c.RateMode = 1;
        c.UpperSize[0] = c.UpperSize[1] = kUpperSize;
        c.End = ZAR_JPEG_NO_OUT_POINT;
    }
    return ZarJpegCommand(ext, &c);
}

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
struct AudioFeed {
    std::vector<ULONG> control = std::vector<ULONG>(ZAR_DSRV_CONTROL_BYTES / 4);
    std::vector<std::vector<SHORT>> slots;
    HANDLE events[6] = {};
    HANDLE semaphore = nullptr;

    bool Start(HANDLE board)
    {
        for (HANDLE& e : events) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        semaphore = CreateSemaphoreA(nullptr, 0, 1 << 20, nullptr);
        ULONG handles[6];
        for (int i = 0; i < 6; ++i) handles[i] = Address(events[i]);
        if (!Control(board, IOCTL_ZAR_AUD_REGISTER_EVENTS, handles, sizeof handles)) return false;
        ZAR_DSRV_PREPARE p{};
        for (ULONG s = 0; s < kSlots; ++s) {
            slots.emplace_back(2 * kSlotFrames * kBankTracks);
            for (ULONG f = 0; f < kSlotFrames; ++f)
                for (ULONG t = 0; t < 2 * kBankTracks; ++t)
                    slots[s][(t / kBankTracks) * kSlotFrames * kBankTracks + f * kBankTracks + t % kBankTracks] =
                        SHORT(8000 * std::sin(0.01 * (t + 1) * double(s * kSlotFrames + f)));
            LONGLONG position = LONGLONG(s) * kSlotFrames;
            std::memcpy(&control[(288 + 8 * s) / 4], &position, 8);
            control[(896 + 32 * s) / 4] = 1;
            p.SlotBuffer[s] = Address(slots[s].data());
        }
        p.ControlBlock = Address(control.data());
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
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    sim::Board& board = machine.Board();
    HANDLE device = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return 1;
    ext->Standard = ULONG(board.Options().standard);
    ZarSetLineCounts(ext);
    board.VideoIn().UseMovingTestPattern(30, 24);
    gDriver.isr = ext->InterruptObject->ServiceRoutine;
    ext->InterruptObject->ServiceRoutine = TimedIsr;
    KDPC* timed[kTimedDpcs] = {&ext->DpcVbi, &ext->DpcAudDSrv, &ext->DpcAudioPlayback, &ext->DpcAudioDsp};
    const PKDEFERRED_ROUTINE wrappers[kTimedDpcs] = {TimedDpc<0>, TimedDpc<1>, TimedDpc<2>, TimedDpc<3>};
    for (int i = 0; i < kTimedDpcs; ++i) {
        gDpc[i] = timed[i]->DeferredRoutine;
        timed[i]->DeferredRoutine = wrappers[i];
    }

    ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    RunFields(board, 60, nullptr);
    const double idleField = DriverSecondsAField(board, fields, nullptr);

    Library library(ext, board);
    ZAR_CHANNEL_STATUS reset = {};
    for (ULONG channel : {ZAR_JPEG_RECORD_CHANNEL, ZAR_FX_CHANNEL_VIDEO1}) {
        reset.Channel = channel;
        ZarPlyResetPlaylist(ext, &reset);
    }
    if (!NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_RESET, 2)) || !NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_RECORD, 0))) {
        std::fprintf(stderr, "audio_fields: the record did not start\n");
        return 1;
    }
    while (library.Waiting() < kPlayDelay) RunFields(board, 1, &library);
    library.Service();
    if (!NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_PLAY, 1, 0, 0x7FFFFFFF))) {
        std::fprintf(stderr, "audio_fields: the play did not start\n");
        return 1;
    }
    RunFields(board, 60, &library);
    const double jpegField = DriverSecondsAField(board, fields, &library);

    AudioFeed audio;
    if (!audio.Start(device)) return 1;
    RunFields(board, 60, &library);
    const double busyField = DriverSecondsAField(board, fields, &library);
    LONG speed = 0;
    const bool running = audio.Status(device, &speed);
    Control(device, IOCTL_ZAR_AUD_DSRV_STOP_PLAY, nullptr, 0);
    for (int i = 0; i < kTimedDpcs; ++i) timed[i]->DeferredRoutine = gDpc[i];
    ext->InterruptObject->ServiceRoutine = gDriver.isr;

    const double period = 1001.0 / 60000.0;
    std::printf("audio fields: %llu fields a run, 525 lines\n", static_cast<unsigned long long>(fields));
    std::printf("  eight tracks from the data server at %.2fx (%s), both banks; JPEG channel 0 recording, 1 playing\n",
                speed / 48000.0, running ? "running" : "NOT running");
    std::printf("  driver per field (ZarIsr, VBI DPC, data server, play and DSP DPCs):\n");
    std::printf("    idle field:                %7.2f us = %.4f%% of the %.2f ms field period\n", idleField * 1e6,
                100.0 * idleField / period, period * 1e3);
    std::printf("    JPEG channels:             %7.2f us = %.4f%% of the field period\n", jpegField * 1e6,
                100.0 * jpegField / period);
    std::printf("    JPEG and eight tracks:     %7.2f us = %.4f%% of the field period (%.1fx the idle field)\n",
                busyField * 1e6, 100.0 * busyField / period, busyField / idleField);
    CloseHandle(device);
    return running ? 0 : 1;
}

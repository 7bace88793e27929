// Benchmark: one field with the effect units busy (the DVE's four channels,
// the mixer's four, both buses, both proc amps and both graphics stores each
// taking a node every field, a scrub entry committed now and then) against
// an idle field, as a share of the field period at 525 lines; and both
// video channels showing vari-play fields that carry DVE geometry, on a
// board with a DVE module and on one without.
//
// The board is reached only through its control codes (play-list nodes,
// enable masks, the modules' play commands, the scrub list, vari-play and
// the JPEG commands), as the library drives it, so the benchmark also runs
// as a client of a machine host. What the driver costs is the kernel's
// account of the board's interrupt: its service routine and the DPCs it
// queued (bench_board.h). Embedded, it boots a board with a DVE module and
// then one without for the vari-play baseline; as a client it measures the
// host's board as it is.
//
//   effects_field [chunks of 200 fields]

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"

namespace {

constexpr uint32_t kChunk = 200;  // fields a refill of the node rings covers

// The effect channels with their node size (head and payload) and module.
struct FxChannel {
    uint32_t channel, entry, module;
};
constexpr FxChannel kChannels[] = {
    {301, 116, ZAR_PLY_MODULE_DVE},   {302, 60, ZAR_PLY_MODULE_DVE},       {303, 87, ZAR_PLY_MODULE_DVE},
    {304, 32, ZAR_PLY_MODULE_DVE},    {401, 17, ZAR_PLY_MODULE_MIXER},     {402, 19, ZAR_PLY_MODULE_MIXER},
    {403, 19, ZAR_PLY_MODULE_MIXER},  {404, 9, ZAR_PLY_MODULE_MIXER},      {500, 16, ZAR_PLY_MODULE_BUS},
    {501, 28, ZAR_PLY_MODULE_BUS},    {21, 18, ZAR_PLY_MODULE_PROC_AMP0},  {31, 18, ZAR_PLY_MODULE_PROC_AMP1},
    {200, 24, ZAR_PLY_MODULE_GFX0},   {201, 24, ZAR_PLY_MODULE_GFX1},
};
constexpr uint32_t kWarpChannel = 303, kMasterFadeChannel = 404;
constexpr uint32_t kLargestEntry = 116;

// The module play commands: the DVE, mixer and bus take the plain record;
// the graphics stores and proc amps name their unit after the command word.
struct ModulePlay {
    uint32_t module, code, unit;  // unit ~0u: the plain record
};
constexpr ModulePlay kModules[] = {
    {ZAR_PLY_MODULE_DVE, IOCTL_ZAR_DVE_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_MIXER, IOCTL_ZAR_MIX_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_BUS, IOCTL_ZAR_BUS_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_PROC_AMP0, IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, 0},
    {ZAR_PLY_MODULE_PROC_AMP1, IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, 1},
    {ZAR_PLY_MODULE_GFX0, IOCTL_ZAR_GFX_PLAY_COMMAND, 0},
    {ZAR_PLY_MODULE_GFX1, IOCTL_ZAR_GFX_PLAY_COMMAND, 1},
};
// Every channel of each module enabled.
constexpr ZAR_ENABLE_MASK_REQUEST kMasks[] = {
    {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_SET, 0xF},       {ZAR_PLY_MODULE_MIXER, ZAR_ENABLE_MASK_SET, 0xF},
    {ZAR_PLY_MODULE_BUS, ZAR_ENABLE_MASK_SET, 0x3},       {ZAR_PLY_MODULE_PROC_AMP0, ZAR_ENABLE_MASK_SET, 0x2},
    {ZAR_PLY_MODULE_PROC_AMP1, ZAR_ENABLE_MASK_SET, 0x2}, {ZAR_PLY_MODULE_GFX0, ZAR_ENABLE_MASK_SET, 0x1},
    {ZAR_PLY_MODULE_GFX1, ZAR_ENABLE_MASK_SET, 0x1},
};

constexpr uint32_t kScrubMasterFade = 0x8;  // the scrub entry's master-fade part

uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

// Memory the driver reads from a pointer inside a request: VirtualAlloc, so
// that a client of a machine host shares it with the host.
class SharedMemory {
public:
    explicit SharedMemory(size_t bytes) : p_(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE)) {}
    ~SharedMemory()
    {
        if (p_ != nullptr) VirtualFree(p_, 0, MEM_RELEASE);
    }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    uint8_t* Bytes() const { return static_cast<uint8_t*>(p_); }

private:
    void* p_;
};

bool PlayModules(BenchMachine& machine, uint32_t command)
{
    for (const ModulePlay& m : kModules) {
        ZAR_PLAY_COMMAND play{command, 1, 0, 0, 0, 0x7FFFFFF0, 0, 0};
        uint32_t record[9];
        const bool plain = m.unit == ~0u;
        record[0] = play.Command;
        record[1] = m.unit;
        std::memcpy(&record[2], &play.SelfTimed, sizeof play - 4);
        void* in = plain ? static_cast<void*>(&play) : record;
        const uint32_t bytes = plain ? sizeof play : sizeof record;
        if (!machine.Control(m.code, "a module's play command", in, bytes, in, bytes)) return false;
    }
    return true;
}

// The mixer's play position (its module state opens with it).
bool MixerPosition(BenchMachine& machine, uint32_t* position)
{
    ZAR_CHANNEL_STATUS status{};
    status.Channel = kMasterFadeChannel;
    if (!machine.Control(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, "the play-list query", &status, sizeof status, &status,
                         sizeof status))
        return false;
    std::memcpy(position, status.MixerState, 4);
    return true;
}

// One node a field for the next 'count' fields from 'first' on every
// channel, payloads varied so every write changes a register.
bool Refill(BenchMachine& machine, SharedMemory& records, uint32_t first, uint32_t count)
{
    for (const FxChannel& c : kChannels) {
        uint8_t* base = records.Bytes();
        std::memset(base, 0, size_t(count) * c.entry);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* r = base + size_t(i) * c.entry;
            ZAR_NODE_RECORD head{uint8_t(c.entry), 0, 0, 0, first + i};
            std::memcpy(r, &head, sizeof head);
            for (uint32_t b = sizeof head; b < c.entry; ++b) r[b] = uint8_t(i + b);
            if (c.channel == kWarpChannel) r[sizeof head + 1] = 0;  // no look-up table
            if (c.module == ZAR_PLY_MODULE_GFX0 || c.module == ZAR_PLY_MODULE_GFX1) {
                const uint32_t mode = 1 + (i & 1), zero = 0;
                std::memcpy(r + 8, &zero, 4);
                std::memcpy(r + 20, &mode, 4);
            }
        }
        ZAR_NODE_SUBMIT submit{c.channel, count, Address(base)};
        if (!machine.Control(IOCTL_ZAR_PLY_NODE_INSERT, "the node insert", nullptr, 0, &submit, sizeof submit))
            return false;
    }
    return true;
}

// Every effect unit taking a node a field for 'chunks' refills, a scrub
// entry committed at each.
bool BusyFields(BenchMachine& machine, uint32_t chunks, FieldsCost* cost, uint32_t* scrubs)
{
    SharedMemory records(size_t(kLargestEntry) * kChunk + 16);
    if (records.Bytes() == nullptr) return false;
    uint8_t* fade = records.Bytes() + size_t(kLargestEntry) * kChunk;
    for (const ZAR_ENABLE_MASK_REQUEST& m : kMasks) {
        ZAR_ENABLE_MASK_REQUEST request = m;
        if (!machine.Control(IOCTL_ZAR_PLY_SET_ENABLE_MASK, "the enable mask", &request, sizeof request))
            return false;
    }
    if (!PlayModules(machine, ZAR_PLAY_START)) return false;
    bool ok = true;
    WaitFields(machine, 4, &ok);
    *cost = MeasureFields([&] {
        for (uint32_t c = 0; c < chunks && ok; ++c) {
            uint32_t position = 0;
            ok = MixerPosition(machine, &position) && Refill(machine, records, position, kChunk);
            *fade = uint8_t(c);
            ZAR_SCRUB_LIST_NODE part{kScrubMasterFade, Address(fade)}, commit{ZAR_SCRUB_COMMIT, 0};
            DWORD bytes = 0;
            if (DeviceIoControl(machine.Board(), IOCTL_ZAR_SCRUB_LIST_SET_NODE, &part, sizeof part, nullptr, 0, &bytes,
                                nullptr) &&
                DeviceIoControl(machine.Board(), IOCTL_ZAR_SCRUB_LIST_SET_NODE, &commit, sizeof commit, nullptr, 0,
                                &bytes, nullptr))
                ++*scrubs;
            for (uint32_t f = 0; f < kChunk && ok; ++f) ok = machine.NextField();
        }
    });
    return PlayModules(machine, ZAR_PLAY_STOP) && ok;
}

bool JpegCommand(BenchMachine& machine, uint32_t command, const char* what)
{
    ZAR_JPEG_COMMAND c{};
    c.Command = command;
    c.Channel = 2;  // both
    c.Start = 0;
    c.End = 0x7FFFFFFF;
    return machine.Control(IOCTL_ZAR_JPEG_COMMAND, what, &c, sizeof c, &c, sizeof c);
}

// Both video channels in vari-play over eight ring entries each; the DVE,
// where there is one, reads the three blocks at the head of each shown
// field from board memory and loads one. The channels' final state goes
// into 'states'.
bool VariPlayFields(BenchMachine& machine, uint64_t fields, FieldsCost* cost, int32_t states[2])
{
    SharedMemory blocks[2] = {SharedMemory(ZAR_VARIPLAY_BLOCK_BYTES), SharedMemory(ZAR_VARIPLAY_BLOCK_BYTES)};
    for (uint32_t c = 0; c < 2; ++c) {
        uint8_t* block = blocks[c].Bytes();
        if (block == nullptr) return false;
        auto* shared = reinterpret_cast<ZAR_VARIPLAY_BLOCK*>(block);
        for (uint32_t i = 0; i < 8; ++i) shared->Entry[i] = {0, i, 100 * c + 10 * i, 10};
        shared->Control.Low = 0;
        shared->Control.High = 7;
        uint32_t init[2] = {c, Address(block)};
        if (!machine.Control(IOCTL_ZAR_VARIPLAY_INIT, "the vari-play set-up", init, sizeof init, init, sizeof init))
            return false;
    }
    bool ok = JpegCommand(machine, ZAR_JPEG_CMD_RESET, "the codec reset") &&
              JpegCommand(machine, ZAR_JPEG_CMD_PLAY_VARI, "the vari-play start");
    if (ok) {
        WaitFields(machine, 8, &ok);
        *cost = WaitFields(machine, fields, &ok);
    }
    for (uint32_t c = 0; c < 2; ++c) {
        ZAR_CHANNEL_STATUS status{};
        status.Channel = c;
        machine.Control(IOCTL_ZAR_JPEG_PLAYLIST_QUERY, "the play-list query", &status, sizeof status, &status,
                        sizeof status);
        ZAR_VIDEO_CHANNEL_STATE state;
        std::memcpy(&state, status.VideoState, sizeof state);
        states[c] = state.StateWord;
    }
    ok = JpegCommand(machine, ZAR_JPEG_CMD_RESET, "the codec reset") && ok;
    for (uint32_t c = 0; c < 2; ++c) machine.Control(IOCTL_ZAR_VARIPLAY_CLOSE, "the vari-play close", &c, sizeof c);
    return ok;
}

sim::PciLayout BoardWithDve()
{
    sim::PciLayout layout = sim::BoardsLayout(1);
    for (sim::LayoutSlot& slot : layout.slots)
        if (slot.kind == sim::SlotKind::Board) slot.board.dvePresent = true;
    return layout;
}

void PrintShare(const char* what, double microseconds)
{
    std::printf("  %-34s %8.2f us = %.3f%% of the %.2f ms field period\n", what, microseconds,
                100.0 * microseconds / (kFieldPeriod * 1e6), kFieldPeriod * 1e3);
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("effects_field");
    const uint32_t chunks = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 5;
    const uint64_t fields = uint64_t(chunks) * kChunk;
    FieldsCost idle, busy, variCarried, variBare;
    int32_t carriedStates[2] = {}, bareStates[2] = {};
    uint32_t scrubs = 0, dvePresent = 0;
    bool client = false;
    {
        BenchMachine machine("zar-bench-fx");
        if (!machine.Start("effects_field", BoardWithDve())) return 1;
        client = machine.Client();
        if (!client && !machine.SetUpBoard()) return 1;
        if (!machine.Control(IOCTL_ZAR_GET_DVE_STATE, "the DVE state", nullptr, 0, &dvePresent, sizeof dvePresent))
            return 1;
        bool ok = true;
        WaitFields(machine, 60, &ok);
        idle = WaitFields(machine, fields, &ok);
        if (!ok || !BusyFields(machine, chunks, &busy, &scrubs)) return 1;
        WaitFields(machine, 8, &ok);
        if (!VariPlayFields(machine, fields, dvePresent ? &variCarried : &variBare,
                            dvePresent ? carriedStates : bareStates))
            return 1;
    }
    // The vari-play baseline: the same fields on a board with no DVE fitted.
    if (!client && dvePresent) {
        BenchMachine machine("zar-bench-fx-bare");
        bool ok = true;
        if (!machine.Start("effects_field") || !machine.SetUpBoard()) return 1;
        WaitFields(machine, 60, &ok);
        if (!VariPlayFields(machine, fields, &variBare, bareStates)) return 1;
    }

    std::printf("effect units: %llu fields a run, 525 lines, %s; %u scrub entries committed\n",
                static_cast<unsigned long long>(fields), dvePresent ? "a DVE module fitted" : "no DVE module fitted",
                scrubs);
    std::printf("the driver a field (ZarIsr and the DPCs it queued, the kernel's account of the board's interrupt):\n");
    PrintShare("idle field:", idle.DriverMicroseconds());
    PrintShare("every effect unit taking a node:", busy.DriverMicroseconds());
    std::printf("  ratio %.2f\n", idle.DriverMicroseconds() > 0 ? busy.DriverMicroseconds() / idle.DriverMicroseconds()
                                                                 : 0.0);
    // On the real clock of a host a field takes its period, whatever it costs.
    if (!client)
        std::printf("  host time a field %.0f us busy, %.0f us idle (the simulated board's work included)\n",
                    busy.HostMicroseconds(), idle.HostMicroseconds());
    std::printf("two vari-play channels (states %d and %d):\n", dvePresent ? carriedStates[0] : bareStates[0],
                dvePresent ? carriedStates[1] : bareStates[1]);
    if (dvePresent) PrintShare("carrying DVE geometry:", variCarried.DriverMicroseconds());
    if (variBare.fields > 0) PrintShare("with no DVE fitted:", variBare.DriverMicroseconds());
    if (dvePresent && variBare.fields > 0)
        std::printf("  the DVE's share %.2f us a field (ratio %.2f); host time a field %.0f us with the DVE, %.0f us "
                    "without\n",
                    variCarried.DriverMicroseconds() - variBare.DriverMicroseconds(),
                    variBare.DriverMicroseconds() > 0
                        ? variCarried.DriverMicroseconds() / variBare.DriverMicroseconds()
                        : 0.0,
                    variCarried.HostMicroseconds(), variBare.HostMicroseconds());
    return 0;
}

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
#include "bench/bench_effects.h"
#include "bench/bench_host.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"

namespace {

using benchfx::Address;
using benchfx::BoardWithDve;
using benchfx::kChunk;
using benchfx::SharedMemory;

// Every effect unit taking a node a field for 'chunks' refills, a scrub
// entry committed at each.
bool BusyFields(BenchMachine& machine, uint32_t chunks, FieldsCost* cost, uint32_t* scrubs)
{
    BenchEffects effects(machine);
    if (!effects.Start()) return false;
    bool ok = true;
    WaitFields(machine, 4, &ok);
    *cost = MeasureFields([&] {
        for (uint32_t c = 0; c < chunks && ok; ++c) {
            ok = effects.Refill();
            for (uint32_t f = 0; f < kChunk && ok; ++f) ok = machine.NextField();
        }
    });
    *scrubs = effects.scrubs;
    return effects.Stop() && ok;
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

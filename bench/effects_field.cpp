// Benchmark: one field with the effect units busy (the DVE's four channels,
// the mixer's four, both buses, both proc amps and both graphics stores each
// taking a node every field, a scrub entry committed now and then) against
// the same fields with the field interrupt off, as a share of the field
// period at 525 lines; both video channels showing vari-play fields that
// carry DVE geometry, with and without the DVE; and the driver's cost of one programmed DEBI write
// against a bare register write into the simulated board.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "drivers/board/zar_driver.h"
#include "bench/bench_machine.h"
#include "bench/bench_host.h"
#include "platform/nt/machine.h"
#include "sim/pci_layouts.h"

namespace {

constexpr ULONG kChunk = 200;  // fields per refill of the rings
const ULONG kChannels[] = {ZAR_FX_CHANNEL_DVE_KEY,  ZAR_FX_CHANNEL_DVE_PERSPECTIVE, ZAR_FX_CHANNEL_DVE_WARP,
                           ZAR_FX_CHANNEL_DVE_TRAIL, ZAR_FX_CHANNEL_WIPE,           ZAR_FX_CHANNEL_MIXER0,
                           ZAR_FX_CHANNEL_MIXER1,   ZAR_FX_CHANNEL_MASTER_FADE,     ZAR_FX_CHANNEL_PREVIEW_BUS,
                           ZAR_FX_CHANNEL_M2_ROUTE, ZAR_FX_CHANNEL_PROC_AMP0,       ZAR_FX_CHANNEL_PROC_AMP1,
                           ZAR_FX_CHANNEL_GFX0,     ZAR_FX_CHANNEL_GFX1};

double RunFields(sim::Board& board, uint64_t fields)
{
    auto start = std::chrono::steady_clock::now();
    uint64_t target = board.Clock().FieldCount() + fields;
    nt::ClockRunFor(sim::FieldClock::FieldsToNs(525, fields));
    while (board.Clock().FieldCount() < target) nt::ClockRunFor(1000000);
    nt::ClockRunUntilIdle();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One node a field for the next 'count' fields from 'first', payloads varied
// so every write changes a register.
void Refill(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG count)
{
    for (ULONG channel : kChannels) {
        ULONG size = ZarPlyNodeEntrySize(channel);
        std::vector<UCHAR> records(size_t(count) * size, 0);
        for (ULONG i = 0; i < count; ++i) {
            UCHAR* r = &records[size_t(i) * size];
            ZAR_NODE_RECORD head{UCHAR(size), 0, 0, 0, first + i};
            std::memcpy(r, &head, sizeof(head));
            for (ULONG b = sizeof(head); b < size; ++b) r[b] = UCHAR(i + b);
            if (channel == ZAR_FX_CHANNEL_DVE_WARP) r[sizeof(head) + 1] = 0;  // no look-up table
            if (channel == ZAR_FX_CHANNEL_GFX0 || channel == ZAR_FX_CHANNEL_GFX1) {
                ULONG mode = 1 + (i & 1), zero = 0;
                std::memcpy(r + 8, &zero, 4);
                std::memcpy(r + 20, &mode, 4);
            }
        }
        ZarPlyInsertNodes(ext, channel, records.data(), count);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("effects_field");
    ULONG chunks = argc > 1 ? ULONG(std::strtoul(argv[1], nullptr, 10)) : 10;
    BenchMachine machine("zar-bench-fx");
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    sim::Board& board = machine.Board();
    ext->DvePresent = TRUE;

    uint64_t fields = uint64_t(chunks) * kChunk;
    RunFields(board, 200);
    double baseline = RunFields(board, fields);

    ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    ZAR_ENABLE_MASK_REQUEST masks[] = {{ZAR_PLY_MODULE_DVE, 0, 0xF},       {ZAR_PLY_MODULE_MIXER, 0, 0xF},
                                       {ZAR_PLY_MODULE_BUS, 0, 0x3},       {ZAR_PLY_MODULE_PROC_AMP0, 0, 0x2},
                                       {ZAR_PLY_MODULE_PROC_AMP1, 0, 0x2}, {ZAR_PLY_MODULE_GFX0, 0, 0x1},
                                       {ZAR_PLY_MODULE_GFX1, 0, 0x1}};
    for (ZAR_ENABLE_MASK_REQUEST& m : masks) ZarPlySetEnableMask(ext, &m);
    ZAR_PLAY_COMMAND play{ZAR_PLAY_START, 1, 0, 0, 0, 0x7FFFFFF0, 0, 0};
    for (ULONG module : {ZAR_PLY_MODULE_DVE, ZAR_PLY_MODULE_MIXER, ZAR_PLY_MODULE_BUS, ZAR_PLY_MODULE_PROC_AMP0,
                         ZAR_PLY_MODULE_PROC_AMP1, ZAR_PLY_MODULE_GFX0, ZAR_PLY_MODULE_GFX1})
        ZarPlyPlayCommand(ext, module, &play);
    RunFields(board, 4);

    double busy = 0;
    ULONG scrubs = 0;
    for (ULONG c = 0; c < chunks; ++c) {
        ULONG position = ext->Playlist.Mixer.Play.Position;
        Refill(ext, position, kChunk);
        UCHAR fade = UCHAR(c);
        ZAR_SCRUB_LIST_NODE part{0x8, ULONG(reinterpret_cast<ULONG_PTR>(&fade))}, commit{ZAR_SCRUB_COMMIT, 0};
        if (NT_SUCCESS(ZarScrubListSetNode(ext, &part)) && NT_SUCCESS(ZarScrubListSetNode(ext, &commit))) ++scrubs;
        busy += RunFields(board, kChunk);
    }

    // Vari-play fields that carry DVE geometry: both video channels show a
    // ring entry each field, and the DVE reads the entry's three blocks from
    // SDRAM and loads one; the same fields with the DVE module taken away
    // are the baseline. The DVE's own channels are stopped first.
    ZAR_PLAY_COMMAND stop{ZAR_PLAY_STOP, 1, 0, 0, 0, 0, 0, 0};
    ZarPlyPlayCommand(ext, ZAR_PLY_MODULE_DVE, &stop);
    RunFields(board, 8);
    std::unique_ptr<ZAR_VARIPLAY_BLOCK> rings[ZAR_JPEG_CHANNEL_COUNT];
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        rings[c] = std::make_unique<ZAR_VARIPLAY_BLOCK>();
        rings[c]->Control.Low = 0;
        rings[c]->Control.High = 7;
        for (ULONG i = 0; i < 8; ++i) rings[c]->Entry[i] = {0, i, 100 * c + 10 * i, 10};
        ULONG init[2] = {c, ULONG(reinterpret_cast<ULONG_PTR>(rings[c].get()))};
        if (!NT_SUCCESS(ZarVariPlayInit(ext, init, nullptr))) return 1;
        ext->Jpeg.Channel[c].State.StateWord = ZAR_VIDEO_PLAY;
        ext->Jpeg.Channel[c].State.VariPlay = 1;
    }
    ext->DvePresent = FALSE;
    double variBase = RunFields(board, fields);
    ext->DvePresent = TRUE;
    double variCarried = RunFields(board, fields);
    for (ULONG c = 0; c < ZAR_JPEG_CHANNEL_COUNT; ++c) {
        ext->Jpeg.Channel[c].State.StateWord = 0;
        ZarVariPlayClose(ext, c);
    }
    ZarSetIntMode(ext, ZAR_INT_FIELD, FALSE);

    const double period = 1001.0 / 60000.0;
    double perBase = baseline / double(fields), perBusy = busy / double(fields);
    std::printf("effect units busy: %llu fields, %lu scrub entries, %lu DVE writes skipped\n",
                (unsigned long long)fields, (unsigned long)scrubs, (unsigned long)ext->Dve.DebiSkipped);
    std::printf("  baseline (interrupt disabled): %8.3f us per field\n", perBase * 1e6);
    std::printf("  every unit taking a node:      %8.3f us per field (ratio %.2f)\n", perBusy * 1e6, perBusy / perBase);
    std::printf("  driver's share: %.3f us per field = %.4f%% of the %.2f ms field period\n",
                (perBusy - perBase) * 1e6, 100.0 * (perBusy - perBase) / period, period * 1e3);

    double perVari = variBase / double(fields), perCarried = variCarried / double(fields);
    std::printf("two vari-play channels carrying DVE geometry: %8.3f us per field, without the DVE %8.3f us "
                "(the DVE's share %.3f us, ratio %.2f)\n",
                perCarried * 1e6, perVari * 1e6, (perCarried - perVari) * 1e6, perCarried / perVari);

    constexpr int kWrites = 20000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kWrites; ++i) board.Regs().Write(0x5464, uint16_t(i));
    auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < kWrites; ++i) ZarDebiPioWrite(ext, 0x5464, ULONG(i));
    auto t2 = std::chrono::steady_clock::now();
    double bare = std::chrono::duration<double>(t1 - t0).count() / kWrites;
    double pio = std::chrono::duration<double>(t2 - t1).count() / kWrites;
    std::printf("register write: bare %.3f us, programmed DEBI %.3f us (ratio %.1f)\n", bare * 1e6, pio * 1e6, pio / bare);
    return 0;
}

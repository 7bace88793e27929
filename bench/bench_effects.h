// The board's effect units kept busy for a benchmark, through the board's
// control codes alone: every channel of the DVE, the mixer, both buses, both
// proc amps and both graphics stores taking a node every field, the node
// rings refilled a chunk of fields ahead, and a scrub entry committed at
// each refill.
//
// Every record the driver reads is VirtualAlloc memory, which a client of a
// machine host shares with the host.
#pragma once

#include <cstdint>
#include <cstring>

#include "bench/bench_board.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "sim/pci_layouts.h"

namespace benchfx {

inline constexpr uint32_t kChunk = 200;  // fields a refill of the node rings covers

// The effect channels with their node size (head and payload) and module.
struct FxChannel {
    uint32_t channel, entry, module;
};
inline constexpr FxChannel kChannels[] = {
    {301, 116, ZAR_PLY_MODULE_DVE},   {302, 60, ZAR_PLY_MODULE_DVE},       {303, 87, ZAR_PLY_MODULE_DVE},
    {304, 32, ZAR_PLY_MODULE_DVE},    {401, 17, ZAR_PLY_MODULE_MIXER},     {402, 19, ZAR_PLY_MODULE_MIXER},
    {403, 19, ZAR_PLY_MODULE_MIXER},  {404, 9, ZAR_PLY_MODULE_MIXER},      {500, 16, ZAR_PLY_MODULE_BUS},
    {501, 28, ZAR_PLY_MODULE_BUS},    {21, 18, ZAR_PLY_MODULE_PROC_AMP0},  {31, 18, ZAR_PLY_MODULE_PROC_AMP1},
    {200, 24, ZAR_PLY_MODULE_GFX0},   {201, 24, ZAR_PLY_MODULE_GFX1},
};
inline constexpr uint32_t kWarpChannel = 303, kMasterFadeChannel = 404;
inline constexpr uint32_t kLargestEntry = 116;

// The module play commands: the DVE, mixer and bus take the plain record;
// the graphics stores and proc amps name their unit after the command word.
struct ModulePlay {
    uint32_t module, code, unit;  // unit ~0u: the plain record
};
inline constexpr ModulePlay kModules[] = {
    {ZAR_PLY_MODULE_DVE, IOCTL_ZAR_DVE_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_MIXER, IOCTL_ZAR_MIX_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_BUS, IOCTL_ZAR_BUS_PLAY_COMMAND, ~0u},
    {ZAR_PLY_MODULE_PROC_AMP0, IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, 0},
    {ZAR_PLY_MODULE_PROC_AMP1, IOCTL_ZAR_PROC_AMP_PLAY_COMMAND, 1},
    {ZAR_PLY_MODULE_GFX0, IOCTL_ZAR_GFX_PLAY_COMMAND, 0},
    {ZAR_PLY_MODULE_GFX1, IOCTL_ZAR_GFX_PLAY_COMMAND, 1},
};
// Every channel of each module enabled.
inline constexpr ZAR_ENABLE_MASK_REQUEST kMasks[] = {
    {ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_SET, 0xF},       {ZAR_PLY_MODULE_MIXER, ZAR_ENABLE_MASK_SET, 0xF},
    {ZAR_PLY_MODULE_BUS, ZAR_ENABLE_MASK_SET, 0x3},       {ZAR_PLY_MODULE_PROC_AMP0, ZAR_ENABLE_MASK_SET, 0x2},
    {ZAR_PLY_MODULE_PROC_AMP1, ZAR_ENABLE_MASK_SET, 0x2}, {ZAR_PLY_MODULE_GFX0, ZAR_ENABLE_MASK_SET, 0x1},
    {ZAR_PLY_MODULE_GFX1, ZAR_ENABLE_MASK_SET, 0x1},
};

inline constexpr uint32_t kScrubMasterFade = 0x8;  // the scrub entry's master-fade part

inline uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

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

inline bool PlayModules(BenchMachine& machine, uint32_t command)
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
inline bool MixerPosition(BenchMachine& machine, uint32_t* position)
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
inline bool Refill(BenchMachine& machine, SharedMemory& records, uint32_t first, uint32_t count)
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

// A board of one slot with a DVE module fitted.
inline sim::PciLayout BoardWithDve()
{
    sim::PciLayout layout = sim::BoardsLayout(1);
    for (sim::LayoutSlot& slot : layout.slots)
        if (slot.kind == sim::SlotKind::Board) slot.board.dvePresent = true;
    return layout;
}

}  // namespace benchfx

class BenchEffects {
public:
    explicit BenchEffects(BenchMachine& machine)
        : machine_(machine), records_(size_t(benchfx::kLargestEntry) * benchfx::kChunk + 16)
    {
    }
    BenchEffects(const BenchEffects&) = delete;
    BenchEffects& operator=(const BenchEffects&) = delete;

    // Every channel enabled and every module playing. False after saying why.
    bool Start()
    {
        if (records_.Bytes() == nullptr) return false;
        for (const ZAR_ENABLE_MASK_REQUEST& m : benchfx::kMasks) {
            ZAR_ENABLE_MASK_REQUEST request = m;
            if (!machine_.Control(IOCTL_ZAR_PLY_SET_ENABLE_MASK, "the enable mask", &request, sizeof request))
                return false;
        }
        return benchfx::PlayModules(machine_, ZAR_PLAY_START);
    }
    // Nodes for the next kChunk fields on every channel, and a scrub entry
    // committed (counted in 'scrubs'). False after saying why.
    bool Refill()
    {
        uint32_t position = 0;
        if (!benchfx::MixerPosition(machine_, &position) ||
            !benchfx::Refill(machine_, records_, position, benchfx::kChunk))
            return false;
        uint8_t* fade = records_.Bytes() + size_t(benchfx::kLargestEntry) * benchfx::kChunk;
        *fade = uint8_t(refills_++);
        ZAR_SCRUB_LIST_NODE part{benchfx::kScrubMasterFade, benchfx::Address(fade)}, commit{ZAR_SCRUB_COMMIT, 0};
        DWORD bytes = 0;
        if (DeviceIoControl(machine_.Board(), IOCTL_ZAR_SCRUB_LIST_SET_NODE, &part, sizeof part, nullptr, 0, &bytes,
                            nullptr) &&
            DeviceIoControl(machine_.Board(), IOCTL_ZAR_SCRUB_LIST_SET_NODE, &commit, sizeof commit, nullptr, 0,
                            &bytes, nullptr))
            ++scrubs;
        return true;
    }
    bool Stop() { return benchfx::PlayModules(machine_, ZAR_PLAY_STOP); }

    uint32_t scrubs = 0;

private:
    BenchMachine& machine_;
    benchfx::SharedMemory records_;
    uint32_t refills_ = 0;
};

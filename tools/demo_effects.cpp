// The demo's effects section, through the board's user-mode control codes:
// a 320 x 120 caption (a white box with a colour ramp, opaque) loaded into
// graphics store A by the BRS DMA, proc amp 0 turned into a blue matte,
// the store keyed over it by the downstream key, then the master fade
// halfway; then a DVE crop-window move and a fade from master-fade nodes.
// The programme output of each step goes to a picture.

#include "demo_effects.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "demo_board.h"
#include "include/zarkd.h"
#include "sim/board.h"
#include "win32.h"

namespace {

constexpr uint32_t kWidth = 320, kHeight = 120;

uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

// A 32-bit pixel of the stores' images: Cb | Y << 8 | Cr << 16 | key << 24.
uint32_t Pixel(uint8_t y, uint8_t cb, uint8_t cr, uint8_t key)
{
    return uint32_t(cb) | uint32_t(y) << 8 | uint32_t(cr) << 16 | uint32_t(key) << 24;
}

void Capture(const DemoEffectsContext& context, const char* file, const char* what)
{
    const std::filesystem::path output = std::filesystem::path(context.machineFolder) / "output";
    std::error_code ec;
    std::filesystem::create_directories(output, ec);
    const std::string path = (output / file).string();
    std::string error;
    if (context.hardware->Effects().Programme().Capture(0, path, &error))
        std::printf("  %s: %s\n", what, path.c_str());
    else
        std::printf("  %s could not be written: %s\n", what, error.c_str());
}

// Play-list records of one channel, 'entry' bytes each: a node head and
// the payload 'fill' writes for node i.
template <class Fill>
std::vector<uint8_t> Nodes(uint32_t entry, uint32_t count, uint32_t firstField, Fill fill)
{
    std::vector<uint8_t> records(size_t(entry) * count, 0);
    for (uint32_t i = 0; i < count; ++i) {
        ZAR_NODE_RECORD head{uint8_t(entry), 0, 0, 0, firstField + i};
        std::memcpy(&records[size_t(i) * entry], &head, sizeof head);
        fill(i, &records[size_t(i) * entry]);
    }
    return records;
}

bool Insert(DemoBoard& board, uint32_t channel, uint32_t entry, std::vector<uint8_t>& records)
{
    ZAR_NODE_SUBMIT submit{channel, uint32_t(records.size() / entry), Address(records.data())};
    return board.Call(IOCTL_ZAR_PLY_NODE_INSERT, "node insert", nullptr, 0, &submit, sizeof submit);
}

// A DVE move and a fade over the keyed caption. The fade comes from
// master-fade nodes (channel 404) that the mixer plays self-timed. The move
// steps the DVE's crop window across the picture with its cropping code,
// one position a field: the DVE's play-list channels (301-304) need the DVE
// module, which this board does not have fitted, and the simulator keeps the
// DVE's geometry as registers anyway (the picture itself does not move). So
// what reached the registers is read back from the units' log, field by
// field.
void MoveAndFade(DemoBoard& board, const DemoEffectsContext& context)
{
    constexpr uint32_t kFadeEntry = 9, kSteps = 8, kFirstField = 2;
    constexpr uint32_t kFadeChannel = 404;
    constexpr uint32_t kCropLeftA = 0xCC3C;
    uint32_t dvePresent = 0;
    board.Call(IOCTL_ZAR_GET_DVE_STATE, "DVE state", nullptr, 0, &dvePresent, sizeof dvePresent);
    auto fades = Nodes(kFadeEntry, kSteps, kFirstField, [](uint32_t i, uint8_t* node) {
        node[sizeof(ZAR_NODE_RECORD)] = uint8_t(20 * (i + 1));  // 20 ... 160 of 255
        if (i + 1 == kSteps) node[3] = ZAR_NODE_HOLD;            // the last level stays
    });
    ZAR_ENABLE_MASK_REQUEST fadeMask{ZAR_PLY_MODULE_MIXER, ZAR_ENABLE_MASK_SET, 0x8};
    ZAR_PLAY_COMMAND play{ZAR_PLAY_START, 1, 0, 0, 0, 1000, 0, 1};
    sim::EffectUnits& units = context.hardware->Effects();
    units.ClearLog();
    units.EnableLog(true);
    bool started = Insert(board, kFadeChannel, kFadeEntry, fades) &&
                   board.Call(IOCTL_ZAR_PLY_SET_ENABLE_MASK, "mixer channels", &fadeMask, sizeof fadeMask) &&
                   board.Call(IOCTL_ZAR_MIX_PLAY_COMMAND, "mixer play", &play, sizeof play, &play, sizeof play);
    for (uint32_t i = 0; started && i < kSteps; ++i) {
        // Eight edges: left, right, top and bottom, each for both fields.
        const uint16_t left = uint16_t(40 + 40 * i), right = uint16_t(left + 360), top = 20, bottom = 200;
        const uint16_t crop[8] = {left, left, right, right, top, top, bottom, bottom};
        started = board.Call(IOCTL_ZAR_DVE_SET_CROPPING, "DVE cropping", crop, sizeof crop);
        Sleep(17);  // machine time: a field
    }
    if (started) Sleep(200);
    units.EnableLog(false);
    if (!started) return;

    std::string moves, levels;
    uint64_t first = units.Log().empty() ? 0 : units.Log().front().field;
    for (const sim::FxWrite& w : units.Log()) {
        char item[48];
        if (w.address == kCropLeftA) {
            std::snprintf(item, sizeof item, " %u (field %llu)", unsigned(w.value),
                          static_cast<unsigned long long>(w.field - first));
            moves += item;
        } else if (w.address == sim::fx::kMasterFade) {
            std::snprintf(item, sizeof item, " %u", 255u - w.value);
            levels += item;
        }
    }
    std::printf("  DVE move (DVE module %s; its crop window stepped a field at a time by the cropping code), "
                "left edge:%s\n",
                dvePresent ? "fitted" : "not fitted, so its play-list channels stay off",
                moves.empty() ? " none" : moves.c_str());
    std::printf("  master fade from %u nodes (channel 404), one level a field:%s\n", kSteps,
                levels.empty() ? " none" : levels.c_str());
    const sim::VideoField& f = units.Programme().Field(0, 1);
    std::printf("  faded to 160 of 255 and held: caption border luma %d, matte %d\n", int(f.Y()[1 * 720 + 2]),
                int(f.Y()[30 * 720 + 500]));
    Capture(context, "effects-node-fade.ppm", "faded by nodes");
    play.Command = ZAR_PLAY_STOP;
    board.Call(IOCTL_ZAR_MIX_PLAY_COMMAND, "mixer stop", &play, sizeof play, &play, sizeof play);
}

}  // namespace

void ShowEffects(const DemoEffectsContext& context)
{
    std::printf("\n== Effects: a caption from graphics store A keyed over a matte, then faded ==\n");
    DemoBoard board(context.board);
    if (!board.Open() || context.hardware == nullptr) return;
    // A bottom-up image after a 40-byte header (width, height, 32 bits).
    std::vector<uint8_t> header(40, 0);
    const uint32_t width = kWidth, height = kHeight;
    const uint16_t bits = 32;
    std::memcpy(&header[4], &width, 4);
    std::memcpy(&header[8], &height, 4);
    std::memcpy(&header[14], &bits, 2);
    std::vector<uint32_t> pixels(size_t(kWidth) * kHeight);
    for (uint32_t line = 0; line < kHeight; ++line)
        for (uint32_t x = 0; x < kWidth; ++x) {
            const bool border = line < 8 || line >= kHeight - 8 || x < 8 || x >= kWidth - 8;
            const uint8_t cb = uint8_t(16 + x * 224 / kWidth), cr = uint8_t(240 - x * 224 / kWidth);
            pixels[size_t(kHeight - 1 - line) * kWidth + x] = border ? Pixel(235, 128, 128, 255) : Pixel(150, cb, cr, 255);
        }
    // Store A read as a frame from the top left; applied.
    uint32_t settings[9] = {1, 0, 0, 0, 1, 0, 0, 0, 3};
    // Load: kind 1 (an image), into store A's hidden buffer, then shown.
    uint32_t load[18] = {};
    load[0] = 1;
    load[1] = 2;
    load[2] = 0;
    load[4] = 1;
    load[5] = Address(header.data());
    load[10] = Address(pixels.data());
    // Proc amp 0 as a matte of R 0x10, G 0x20, B 0x80: a dark blue.
    uint8_t matte[10] = {1, 0, 0, 0, 0x10, 0x20, 0x80, 0};
    uint8_t key[11] = {};
    key[10] = 255;
    uint8_t fade = 0;
    if (!board.Call(IOCTL_ZAR_GFX_SET_FRAMESTORE, "store settings", settings, sizeof settings, settings,
                    sizeof settings) ||
        !board.Call(IOCTL_ZAR_GFX_LOAD_IMAGE, "image load", load, sizeof load, load, sizeof load) ||
        !board.Call(IOCTL_ZAR_MIX_SET_PROC_AMP0, "matte", matte, sizeof matte, matte, sizeof matte) ||
        !board.Call(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, "downstream key", key, sizeof key) ||
        !board.Call(IOCTL_ZAR_MIX_SET_MASTER_FADE, "fade", &fade, 1))
        return;
    Sleep(100);  // machine time: a few fields
    const sim::VideoOutput& programme = context.hardware->Effects().Programme();
    auto luma = [&](int x, int line) {
        const sim::VideoField& f = programme.Field(0, line % 2 == 0 ? 1 : 0);
        return int(f.Y()[(line / 2) * 720 + x]);
    };
    std::printf("  loaded a %u x %u caption through the BRS DMA; luma in the programme: caption border %d, "
                "caption %d, matte beside it %d\n",
                kWidth, kHeight, luma(2, 2), luma(100, 60), luma(500, 60));
    Capture(context, "effects-keyed.ppm", "keyed");
    fade = 128;
    if (!board.Call(IOCTL_ZAR_MIX_SET_MASTER_FADE, "fade", &fade, 1)) return;
    Sleep(100);
    std::printf("  master fade halfway: caption border %d, matte %d\n", luma(2, 2), luma(500, 60));
    Capture(context, "effects-faded.ppm", "faded");
    fade = 0;
    if (!board.Call(IOCTL_ZAR_MIX_SET_MASTER_FADE, "fade", &fade, 1)) return;
    MoveAndFade(board, context);
    key[10] = 0;
    board.Call(IOCTL_ZAR_MIX_SET_MASTER_FADE, "fade", &fade, 1);
    board.Call(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, "downstream key", key, sizeof key);
}

// The demo's effects section, through the board's user-mode control codes:
// a 320 x 120 caption (a white box with a colour ramp, opaque) loaded into
// graphics store A by the BRS DMA, proc amp 0 turned into a blue matte,
// the store keyed over it by the downstream key, then the master fade
// halfway. The programme output of each step goes to a picture.

#include "demo_effects.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
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
    key[10] = 0;
    board.Call(IOCTL_ZAR_MIX_SET_MASTER_FADE, "fade", &fade, 1);
    board.Call(IOCTL_ZAR_MIX_SET_DOWN_STREAM_KEY, "downstream key", key, sizeof key);
}

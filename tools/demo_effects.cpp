// The demo's effects section, through the board's user-mode control codes:
// a 320 x 120 caption (a white box with a colour ramp, opaque) loaded into
// graphics store A by the BRS DMA, proc amp 0 turned into a blue matte,
// the store keyed over it by the downstream key, then the master fade
// halfway; then a DVE move and a fade, both from play-list nodes.
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

// The DVE's geometry as the demo sets it in a perspective block: a 3 x 3
// matrix, row by row, in coefficients 0-8; sizes in 1/256 of the picture,
// positions in pixels and frame lines.
constexpr uint32_t kSizeH = 0, kPositionX = 2, kSizeV = 4, kPositionY = 5, kHomogeneous = 8;
constexpr uint32_t kPerspectiveSet0 = 0xCC80, kPerspectiveSet1 = 0xCCE0, kCropRight = 0xCC44, kCropBottom = 0xCC54;

// What reached the DVE's registers in one field.
struct DveField {
    uint32_t set = 2;  // 0 or 1: the perspective set loaded; 2: none
    uint16_t coefficient[18] = {};
    bool cropped = false;
    uint16_t right = 0, bottom = 0;
};

bool SameGeometry(const DveField& a, const DveField& b)
{
    return std::memcmp(a.coefficient, b.coefficient, sizeof a.coefficient) == 0 && a.cropped == b.cropped &&
           a.right == b.right && a.bottom == b.bottom;
}

bool PerspectiveRegister(uint32_t address, uint32_t* set, uint32_t* index)
{
    for (uint32_t s = 0; s < 2; ++s) {
        const uint32_t base = s == 0 ? kPerspectiveSet0 : kPerspectiveSet1;
        if (address >= base && address < base + 18 * 4 && (address - base) % 4 == 0) {
            *set = s;
            *index = (address - base) / 4;
            return true;
        }
    }
    return false;
}

// A DVE move and a fade over the keyed caption, both from play-list nodes
// played self-timed and started together. The move: perspective nodes on
// channel 302 shrink the picture to half size while moving it to the lower
// right, and warp/crop nodes on channel 303 (warp type 0: registers only)
// close the crop window onto the caption; the DVE loads both two fields after
// a node is due. The fade: master-fade nodes on channel 404. The simulated
// board keeps the DVE's geometry as registers and does not draw it, so the
// move is shown from the units' register log, field by field.
void MoveAndFade(DemoBoard& board, const DemoEffectsContext& context)
{
    constexpr uint32_t kFadeEntry = 9, kPerspectiveEntry = 60, kCropEntry = 87, kSteps = 8, kFirstField = 2;
    constexpr uint32_t kFadeChannel = 404, kPerspectiveChannel = 302, kCropChannel = 303;
    uint32_t dvePresent = 0;
    board.Call(IOCTL_ZAR_GET_DVE_STATE, "DVE state", nullptr, 0, &dvePresent, sizeof dvePresent);
    auto fades = Nodes(kFadeEntry, kSteps, kFirstField, [](uint32_t i, uint8_t* node) {
        node[sizeof(ZAR_NODE_RECORD)] = uint8_t(20 * (i + 1));  // 20 ... 160 of 255
        if (i + 1 == kSteps) node[3] = ZAR_NODE_HOLD;            // the last level stays
    });
    auto moves = Nodes(kPerspectiveEntry, kSteps, kFirstField, [](uint32_t i, uint8_t* node) {
        uint16_t c[18] = {};
        c[kSizeH] = c[kSizeV] = uint16_t(256 - 16 * (i + 1));  // 240 ... 128: half size
        c[kPositionX] = uint16_t(45 * (i + 1));                 // 45 ... 360: the right half
        c[kPositionY] = uint16_t(30 * (i + 1));                 // 30 ... 240: the lower half
        c[kHomogeneous] = 256;
        std::memcpy(node + sizeof(ZAR_NODE_RECORD), c, sizeof c);
        if (i + 1 == kSteps) node[3] = ZAR_NODE_HOLD;
    });
    auto crops = Nodes(kCropEntry, kSteps, kFirstField, [](uint32_t i, uint8_t* node) {
        // Eight edges after the 63-byte warp record: left, right, top and
        // bottom, each for both fields; the window closes onto the caption.
        const uint16_t right = uint16_t(720 - 50 * (i + 1)), bottom = uint16_t(480 - 45 * (i + 1));
        const uint16_t crop[8] = {0, 0, right, right, 0, 0, bottom, bottom};
        std::memcpy(node + sizeof(ZAR_NODE_RECORD) + 63, crop, sizeof crop);
        if (i + 1 == kSteps) node[3] = ZAR_NODE_HOLD;
    });
    ZAR_ENABLE_MASK_REQUEST fadeMask{ZAR_PLY_MODULE_MIXER, ZAR_ENABLE_MASK_SET, 0x8};
    ZAR_ENABLE_MASK_REQUEST dveMask{ZAR_PLY_MODULE_DVE, ZAR_ENABLE_MASK_SET, 0x6};  // channels 302 and 303
    ZAR_PLAY_COMMAND play{ZAR_PLAY_START, 1, 0, 0, 0, 1000, 0, 1};
    ZAR_PLAY_COMMAND dvePlay = play;
    sim::EffectUnits& units = context.hardware->Effects();
    units.ClearLog();
    units.EnableLog(true);
    bool started = Insert(board, kFadeChannel, kFadeEntry, fades) &&
                   board.Call(IOCTL_ZAR_PLY_SET_ENABLE_MASK, "mixer channels", &fadeMask, sizeof fadeMask);
    if (started && dvePresent)
        started = Insert(board, kPerspectiveChannel, kPerspectiveEntry, moves) &&
                  Insert(board, kCropChannel, kCropEntry, crops) &&
                  board.Call(IOCTL_ZAR_PLY_SET_ENABLE_MASK, "DVE channels", &dveMask, sizeof dveMask) &&
                  board.Call(IOCTL_ZAR_DVE_PLAY_COMMAND, "DVE play", &dvePlay, sizeof dvePlay, &dvePlay,
                             sizeof dvePlay);
    started = started &&
              board.Call(IOCTL_ZAR_MIX_PLAY_COMMAND, "mixer play", &play, sizeof play, &play, sizeof play);
    if (started) Sleep(17 * (kFirstField + kSteps + 4));  // machine time: the nodes' fields and the pipeline's
    units.EnableLog(false);
    if (started && dvePresent) {
        dvePlay.Command = ZAR_PLAY_STOP;
        board.Call(IOCTL_ZAR_DVE_PLAY_COMMAND, "DVE stop", &dvePlay, sizeof dvePlay, &dvePlay, sizeof dvePlay);
    }
    if (!started) return;

    std::string levels;
    std::vector<std::pair<uint64_t, DveField>> fields;  // in field order
    for (const sim::FxWrite& w : units.Log()) {
        uint32_t set = 0, index = 0;
        const bool perspective = PerspectiveRegister(w.address, &set, &index);
        if (perspective || w.address == kCropRight || w.address == kCropBottom) {
            if (fields.empty() || fields.back().first != w.field) fields.push_back({w.field, DveField{}});
            DveField& f = fields.back().second;
            if (perspective) {
                f.set = set;
                f.coefficient[index] = w.value;
            } else {
                f.cropped = true;
                (w.address == kCropRight ? f.right : f.bottom) = w.value;
            }
        } else if (w.address == sim::fx::kMasterFade) {
            char item[16];
            std::snprintf(item, sizeof item, " %u", 255u - w.value);
            levels += item;
        }
    }
    if (!dvePresent) {
        std::printf("  DVE move: no DVE module fitted on this board, so its play-list channels (301-304) stay off\n");
    } else {
        std::printf("  DVE move from %u perspective nodes (channel 302) and %u warp/crop nodes (channel 303), "
                    "what reached the DVE each field:\n",
                    kSteps, kSteps);
        const uint64_t first = fields.empty() ? 0 : fields.front().first;
        const DveField* previous = nullptr;
        uint32_t held = 0;
        for (const auto& [field, f] : fields) {
            // The last nodes hold: their geometry comes again every field
            // (into either set, by the field's parity).
            if (previous != nullptr && SameGeometry(*previous, f)) {
                ++held;
                continue;
            }
            previous = &f;
            char line[160];
            int n = std::snprintf(line, sizeof line, "    field %2llu:", static_cast<unsigned long long>(field - first));
            if (f.set < 2)
                n += std::snprintf(line + n, sizeof line - n, " set %u size %3u/256 x %3u/256 at (%3u, %3u)", f.set,
                                   unsigned(f.coefficient[kSizeH]), unsigned(f.coefficient[kSizeV]),
                                   unsigned(f.coefficient[kPositionX]), unsigned(f.coefficient[kPositionY]));
            if (f.cropped)
                std::snprintf(line + n, sizeof line - n, "  crop right %3u bottom %3u", unsigned(f.right),
                              unsigned(f.bottom));
            std::printf("%s\n", line);
        }
        if (fields.empty()) std::printf("    nothing reached the DVE's registers\n");
        if (held > 0) std::printf("    the same again in each of the %u fields after, from the held last nodes\n", held);
        std::printf("  (the simulated board keeps the DVE's geometry as registers and does not draw it: "
                    "the programme picture below is not moved)\n");
    }
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

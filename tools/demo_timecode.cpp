// The demo's time-code and capture section, through the board's user-mode
// control codes:
//
// - time code: the chip's LTC generator, looped into its LTC reader, sends
//   a code a frame from 01:00:00:00 for a few seconds. With no time-code
//   driver bound to the board's streams, this section feeds the generator
//   itself through the chip's diagnostic register codes: once a frame, in
//   the middle of the frame, the next code goes into the generator's
//   registers (sent from the next frame on) and into the burn-in window's
//   characters, and the reader's registers are read back. The board's
//   output, burn-in keyed in, is written as a picture.
// - capture: a ring of 8 buffers scaled to 360 x 243, paced with a play of
//   the clip the clip section recorded: it starts filling when the play
//   reaches a position a third of the way into the clip, and holds the play
//   while the caller is behind. Each buffer is copied out as the ring fills
//   it and handed back, then the ring is stopped; 8 frames go to one
//   picture. With no clip recorded, the ring runs free over the input.
#include "demo_timecode.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demo_board.h"
#include "demo_clip.h"
#include "include/zarkd.h"
#include "platform/nt/clock.h"
#include "sim/board.h"
#include "tools/demo_clock.h"
#include "win32.h"

namespace {

namespace fs = std::filesystem;

// Indirect registers of the time-code chip.
constexpr uint32_t kLtcReader = 0;       // 8 bytes: the frame read
constexpr uint32_t kLtcGenerator = 8;    // 8 bytes: the frame to send
constexpr uint32_t kBurnInWindow = 40;   // column (255 hides the window), then line
constexpr uint32_t kBurnInCodes = 42;    // 4 bytes: eight characters, high nibble of the last byte first
constexpr uint32_t kVideoSetup = 50;     // bit 7: 625 lines
constexpr uint32_t kLtcGain = 53;        // bits 0-3: output gain step, 0 off
constexpr uint32_t kBurnInControl = 60;  // bit 0: large characters
constexpr uint8_t kStandard625 = 0x80;
constexpr uint8_t kGainStep = 10;        // -6 dB
constexpr uint8_t kWindowColumn = 50, kWindowLine = 90;
constexpr uint8_t kLargeCharacters = 0x01;
constexpr int kSeconds = 3;

constexpr int kRingBuffers = 8;
constexpr uint32_t kCaptureWidth = 360, kCaptureHeight = 243;
constexpr uint32_t kCapturePitch = kCaptureWidth * 3;  // BGR
constexpr uint32_t kCaptureBytes = kCapturePitch * kCaptureHeight;

uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

// Machine time in nanoseconds, as user mode reads it.
uint64_t MachineNow()
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return uint64_t(counter.QuadPart) * 100;
}

void SleepUntil(uint64_t when)
{
    for (uint64_t now = MachineNow(); now < when; now = MachineNow())
        Sleep(DWORD(std::max<uint64_t>(1, (when - now) / 1000000)));
}

struct TimeCode {
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
    bool operator==(const TimeCode&) const = default;
};

TimeCode Next(TimeCode t, int rate)
{
    if (++t.frames < rate) return t;
    t.frames = 0;
    if (++t.seconds < 60) return t;
    t.seconds = 0;
    if (++t.minutes < 60) return t;
    t.minutes = 0;
    t.hours = (t.hours + 1) % 24;
    return t;
}

std::string Text(const TimeCode& t)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", t.hours, t.minutes, t.seconds, t.frames);
    return text;
}

// An LTC frame's 64 data bits as the chip holds them: frame units first,
// each unit digit in a byte's low nibble (user bits, here 0, in the high
// nibble), each tens digit in the next byte.
std::array<uint8_t, 8> LtcBytes(const TimeCode& t)
{
    return {uint8_t(t.frames % 10),  uint8_t(t.frames / 10),  uint8_t(t.seconds % 10), uint8_t(t.seconds / 10),
            uint8_t(t.minutes % 10), uint8_t(t.minutes / 10), uint8_t(t.hours % 10),   uint8_t(t.hours / 10)};
}

TimeCode FromLtc(const std::array<uint8_t, 8>& b)
{
    return {(b[7] & 0x03) * 10 + (b[6] & 0x0F), (b[5] & 0x07) * 10 + (b[4] & 0x0F),
            (b[3] & 0x07) * 10 + (b[2] & 0x0F), (b[1] & 0x03) * 10 + (b[0] & 0x0F)};
}

// The burn-in window's eight characters for a code: hours first, from the
// last register's high nibble down to the first register's low one.
std::array<uint8_t, 4> BurnInCodes(const TimeCode& t)
{
    auto pair = [](int value) { return uint8_t((value / 10) << 4 | value % 10); };
    return {pair(t.frames), pair(t.seconds), pair(t.minutes), pair(t.hours)};
}

// The chip's indirect registers through the diagnostic register codes.
class Chip {
public:
    explicit Chip(DemoBoard& board) : board_(board) {}

    bool Read(uint32_t first, uint8_t* bytes, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            ZAR_TC_REGISTER_ACCESS r{0, first + i, 0};
            if (!board_.Call(IOCTL_ZAR_TC_REG_READ, "a time-code register read", &r, sizeof r, &r, sizeof r))
                return false;
            bytes[i] = uint8_t(r.Value);
        }
        return true;
    }
    bool Write(uint32_t first, const uint8_t* bytes, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            ZAR_TC_REGISTER_ACCESS r{0, first + i, bytes[i]};
            if (!board_.Call(IOCTL_ZAR_TC_REG_WRITE, "a time-code register write", &r, sizeof r)) return false;
        }
        return true;
    }
    bool Write(uint32_t reg, uint8_t value) { return Write(reg, &value, 1); }

private:
    DemoBoard& board_;
};

std::string OutputPath(const DemoTimeCodeContext& context, const char* file)
{
    const fs::path output = fs::path(context.machineFolder) / "output";
    std::error_code ec;
    fs::create_directories(output, ec);
    return (output / file).string();
}

bool WritePpm(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool written = std::fprintf(f, "P6\n%d %d\n255\n", width, height) > 0 &&
                   std::fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
    return std::fclose(f) == 0 && written;
}

void ShowLtcLoop(const DemoTimeCodeContext& context, DemoBoard& board)
{
    Chip chip(board);
    uint8_t setup = 0;
    // What this section changes, put back at its end.
    std::array<uint8_t, 8> savedGenerator{};
    uint8_t savedWindow[2] = {}, savedCodes[4] = {}, savedGain = 0, savedControl = 0;
    if (!chip.Read(kVideoSetup, &setup, 1) || !chip.Read(kLtcGenerator, savedGenerator.data(), 8) ||
        !chip.Read(kBurnInWindow, savedWindow, 2) || !chip.Read(kBurnInCodes, savedCodes, 4) ||
        !chip.Read(kLtcGain, &savedGain, 1) || !chip.Read(kBurnInControl, &savedControl, 1))
        return;
    const bool is625 = (setup & kStandard625) != 0;
    const int rate = is625 ? 25 : 30;
    const uint64_t frameNs = is625 ? 40000000ull : 1001000000ull / 30;
    std::printf("  LTC generator looped into the LTC reader, %d frames a second (%d lines), gain step %u\n", rate,
                is625 ? 625 : 525, kGainStep);

    TimeCode sent{1, 0, 0, 0};
    const std::array<uint8_t, 8> first = LtcBytes(sent);
    const std::array<uint8_t, 4> firstCodes = BurnInCodes(sent);
    const uint8_t window[2] = {kWindowColumn, kWindowLine};
    if (!chip.Write(kLtcGenerator, first.data(), 8) || !chip.Write(kLtcGain, kGainStep) ||
        !chip.Write(kBurnInCodes, firstCodes.data(), 4) || !chip.Write(kBurnInControl, kLargeCharacters) ||
        !chip.Write(kBurnInWindow, window, 2))
        return;
    // The reader shows the first code just after the frame that carried it
    // ended: from there the frames are counted.
    std::array<uint8_t, 8> read{};
    const uint64_t giveUp = MachineNow() + 500000000ull;
    bool heard = false;
    while (!heard && MachineNow() < giveUp) {
        if (!chip.Read(kLtcReader, read.data(), 8)) return;
        heard = read == first;
        if (!heard) Sleep(2);
    }
    const uint64_t start = MachineNow();
    std::vector<TimeCode> readBack;
    const int frames = kSeconds * rate;
    bool ok = heard;
    if (!heard) std::printf("  the reader did not hear the generator within half a second\n");
    // In the middle of each frame: the next code for the next frame, and the
    // reader's code, two frames behind it.
    for (int k = 1; ok && k <= frames + 2; ++k) {
        SleepUntil(start + (k - 1) * frameNs + frameNs / 2);
        if (k <= frames) {
            sent = Next(sent, rate);
            const std::array<uint8_t, 8> bytes = LtcBytes(sent);
            const std::array<uint8_t, 4> codes = BurnInCodes(sent);
            ok = chip.Write(kLtcGenerator, bytes.data(), 8) && chip.Write(kBurnInCodes, codes.data(), 4);
        }
        ok = ok && chip.Read(kLtcReader, read.data(), 8);
        if (ok) readBack.push_back(FromLtc(read));
    }
    if (ok) {
        // Expected: the first code twice (it also filled the frame the count
        // starts at), then each code once, in order.
        TimeCode expected{1, 0, 0, 0};
        int matched = 0;
        size_t firstWrong = readBack.size();
        for (size_t i = 0; i < readBack.size(); ++i) {
            if (i >= 2) expected = Next(expected, rate);
            if (readBack[i] == expected)
                ++matched;
            else if (firstWrong == readBack.size())
                firstWrong = i;
        }
        std::printf("  sent %s to %s, a code a frame; the reader read back %d of %zu frame-exact",
                    Text({1, 0, 0, 0}).c_str(), Text(sent).c_str(), matched, readBack.size());
        if (firstWrong < readBack.size())
            std::printf(" (the first miss at frame %zu: %s)\n", firstWrong, Text(readBack[firstWrong]).c_str());
        else
            std::printf(", each in its frame\n");
    }
    if (ok && context.hardware != nullptr) {
        std::vector<uint8_t> rgb;
        sim::VideoOutput& out = context.hardware->VideoOut();
        const int lines = out.Geometry().FrameLines();
        const std::string path = OutputPath(context, "timecode-burnin.ppm");
        if (RunBetweenFields([&] { rgb = out.FrameRgb(0); }) && !rgb.empty() && WritePpm(path, 720, lines, rgb))
            std::printf("  burn-in window (column %u, line %u) showing %s: %s\n", kWindowColumn, kWindowLine,
                        Text(sent).c_str(), path.c_str());
        else
            std::printf("  the output picture could not be written to %s\n", path.c_str());
    }
    chip.Write(kBurnInWindow, savedWindow, 2);
    chip.Write(kBurnInCodes, savedCodes, 4);
    chip.Write(kBurnInControl, savedControl);
    chip.Write(kLtcGain, savedGain);
    chip.Write(kLtcGenerator, savedGenerator.data(), 8);
}

// How far the pattern moved between two frames: the horizontal shift, in
// captured pixels, that best lines up their middle lines.
int PatternStep(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after)
{
    const uint8_t* a = &before[(kCaptureHeight / 2) * kCapturePitch];
    const uint8_t* b = &after[(kCaptureHeight / 2) * kCapturePitch];
    int best = 0;
    uint64_t bestSad = ~0ull;
    for (int shift = 0; shift < int(kCaptureWidth); ++shift) {
        uint64_t sad = 0;
        for (uint32_t x = 0; x < kCaptureWidth; ++x) {
            const uint8_t* p = &a[x * 3];
            const uint8_t* q = &b[((x + shift) % kCaptureWidth) * 3];
            for (int c = 0; c < 3; ++c) sad += uint64_t(std::abs(int(p[c]) - int(q[c])));
        }
        if (sad < bestSad) bestSad = sad, best = shift;
    }
    return best;
}

// A ring of 8 scaled frames: paced with a play of the clip the clip section
// recorded, from a position a third of the way in, when there is one; else
// free-running over the input.
void ShowRingCapture(const DemoTimeCodeContext& context, DemoBoard& board)
{
    uint32_t first = 0, last = 0;
    const bool paced = context.hardware != nullptr && RecordedClipPositions(&first, &last);
    std::vector<std::vector<uint8_t>> buffers(kRingBuffers, std::vector<uint8_t>(kCaptureBytes));
    uint32_t addresses[kRingBuffers];
    for (int i = 0; i < kRingBuffers; ++i) addresses[i] = Address(buffers[i].data());
    volatile ZAR_HPS_RING_STATUS status{};
    ZAR_HPS_CAPTURE_REQUEST request{};
    request.Kind = 0;
    request.Fields = 3;
    request.PixelFormat = 1;
    request.Width = kCaptureWidth;
    request.Height = kCaptureHeight;
    request.Contrast = 64;
    request.Brightness = 128;
    request.Saturation = 64;
    request.BufferSize = kCaptureBytes;
    request.RingCount = kRingBuffers;
    request.RingAddresses = Address(addresses);
    request.RingStatus = Address(const_cast<ZAR_HPS_RING_STATUS*>(&status));
    request.StartPosition = first + (last - first) / 3;
    request.FreeRunning = paced ? 0 : 1;
    request.ReportOverflows = 1;
    ZAR_HPS_CAPTURE_REQUEST started = request;
    if (!board.Call(IOCTL_ZAR_HPS_CAPTURE, "the ring start", &started, sizeof started, &started, sizeof started))
        return;
    // A buffer is whole once the ring has moved past it: copied out, then
    // handed back.
    std::vector<std::vector<uint8_t>> frames;
    uint32_t taken = 0;
    auto take = [&] {
        for (const uint32_t filled = status.Filled; taken < filled && filled != 0xFFFFFFFF; ++taken) {
            if (frames.size() < kRingBuffers) frames.push_back(buffers[taken % kRingBuffers]);
            status.Consumed = taken + 1;
        }
    };
    bool played = false;
    if (paced) {
        played = PlayRecordedClip({context.board, context.hardware, context.machineFolder}, take);
    } else {
        const uint64_t giveUp = MachineNow() + 2000000000ull;
        while (frames.size() < kRingBuffers && MachineNow() < giveUp) {
            take();
            Sleep(5);
        }
    }
    ZAR_HPS_CAPTURE_REQUEST stop = request;
    stop.Kind = 4;
    const bool stopped = board.Call(IOCTL_ZAR_HPS_CAPTURE, "the ring stop", &stop, sizeof stop, &stop, sizeof stop);
    if (paced)
        std::printf("  ring of %d buffers of the played clip scaled to %u x %u (BGR), paced with the play from "
                    "position %u (the clip: %u-%u)%s: %zu frames taken, %s%s\n",
                    kRingBuffers, kCaptureWidth, kCaptureHeight, request.StartPosition, first, last,
                    played ? "" : ", which did not play", frames.size(),
                    status.Overflow != 0 ? "an overflow reported" : "no overflow",
                    stopped && status.Filled == 0xFFFFFFFF ? "; stopped" : "");
    else
        std::printf("  (no clip recorded to play) ring of %d buffers of the input scaled to %u x %u (BGR), "
                    "free-running: %zu frames taken, %u dropped, %s%s\n",
                    kRingBuffers, kCaptureWidth, kCaptureHeight, frames.size(), unsigned(status.Dropped),
                    status.Overflow != 0 ? "an overflow reported" : "no overflow",
                    stopped && status.Filled == 0xFFFFFFFF ? "; stopped" : "");
    if (frames.empty()) return;
    if (paced && frames.size() > 1) {
        // The clip's pattern moves the same step every frame: equal steps
        // mean one frame after the other, none lost or taken twice.
        std::printf("  pixels the pattern moved from frame to frame:");
        for (size_t f = 1; f < frames.size(); ++f) std::printf(" %d", PatternStep(frames[f - 1], frames[f]));
        std::printf("\n");
    }
    // The frames side by side, four a row, as one RGB picture.
    const int columns = 4, rows = (int(frames.size()) + columns - 1) / columns;
    const int width = columns * kCaptureWidth, height = rows * kCaptureHeight;
    std::vector<uint8_t> sheet(size_t(width) * height * 3);
    for (size_t f = 0; f < frames.size(); ++f)
        for (uint32_t y = 0; y < kCaptureHeight; ++y)
            for (uint32_t x = 0; x < kCaptureWidth; ++x) {
                const uint8_t* bgr = &frames[f][y * kCapturePitch + x * 3];
                uint8_t* rgb = &sheet[((size_t(f / columns) * kCaptureHeight + y) * width + (f % columns) * kCaptureWidth + x) * 3];
                rgb[0] = bgr[2];
                rgb[1] = bgr[1];
                rgb[2] = bgr[0];
            }
    const std::string path = OutputPath(context, "capture-ring.ppm");
    if (WritePpm(path, width, height, sheet))
        std::printf("  the %zu frames, four a row: %s\n", frames.size(), path.c_str());
    else
        std::printf("  the frames could not be written to %s\n", path.c_str());
}

}  // namespace

void ShowTimeCode(const DemoTimeCodeContext& context)
{
    std::printf("\n== Time code, burn-in and scaled capture ==\n");
    DemoBoard board(context.board);
    if (!board.Open()) return;
    ShowLtcLoop(context, board);
    ShowRingCapture(context, board);
}

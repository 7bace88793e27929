// The demo's time-code and capture section:
//
// - time code, through the time-code driver's devices as an application
//   drives them: the devices listed; the LTC generator started at
//   01:00:00:00 through its output device, looped by the chip into the LTC
//   reader, whose input device captures every field; the frames read back
//   one by one; a jam while the tape goes away; the burn-in window, which
//   tracks the reader, showing the code in the output picture; the time-code
//   library reads and prints the reader's code a line a second.
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
#include "include/kivsync.h"
#include "include/tandrelkd.h"
#include "include/zarkd.h"
#include "platform/nt/clock.h"
#include "sim/board.h"
#include "tools/demo_clock.h"
#include "win32.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSeconds = 3;
constexpr LONG kGainDb = -6;
constexpr LONG kGainOff = -100;

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

// A time-code device of board 0 (\\.\Zar0<stream>), opened as an
// application opens it: read-write to control it, read-only to watch.
class TimeCodeDevice {
public:
    TimeCodeDevice(const char* stream, bool write) : name_(stream)
    {
        const std::string path = std::string("\\\\.\\Zar0") + stream;
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | (write ? DWORD(GENERIC_WRITE) : DWORD(0)), FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~TimeCodeDevice()
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    TimeCodeDevice(const TimeCodeDevice&) = delete;
    TimeCodeDevice& operator=(const TimeCodeDevice&) = delete;

    bool Opened() const { return handle_ != INVALID_HANDLE_VALUE; }
    uint32_t Handle() const { return uint32_t(reinterpret_cast<uintptr_t>(handle_)); }
    // One control code; a failure is printed with what failed unless 'quiet'.
    bool Call(uint32_t code, const void* in, uint32_t inBytes, void* out = nullptr, uint32_t outBytes = 0,
              bool quiet = false)
    {
        DWORD bytes = 0;
        if (DeviceIoControl(handle_, code, const_cast<void*>(in), inBytes, out, outBytes, &bytes, nullptr)) return true;
        if (!quiet) std::printf("  %s: %s failed, error %lu\n", name_, CodeName(code), static_cast<unsigned long>(GetLastError()));
        return false;
    }
    bool Call(uint32_t code) { return Call(code, nullptr, 0); }

private:
    static const char* CodeName(uint32_t code)
    {
        const TANDREL_IOCTL_ROUTE* route = TandrelFindIoctl(code);
        return route != nullptr ? route->Name : "a control code";
    }
    const char* name_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A sample in its text form: ";" before the frames in drop frame.
std::string Text(const TANDREL_SAMPLE& s)
{
    if (s.Flags & TANDREL_FLAG_INVALID) return "--:--:--:--";
    const bool drop = (s.Flags & TANDREL_FLAG_RATE_MASK) == 29 && (s.Flags & TANDREL_FLAG_DROP_FRAME);
    const int fps = (s.Flags & TANDREL_FLAG_RATE_MASK) == 29 ? 30 : int(s.Flags & TANDREL_FLAG_RATE_MASK);
    int n = s.Frame;
    if (drop) {
        // Labels 0 and 1 are skipped at every minute but each tenth.
        const int tens = n / 17982, rest = n % 17982;
        n += 18 * tens + (rest < 2 ? 0 : 2 * ((rest - 2) / 1798));
    }
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", n / (fps * 3600) % 24, n / (fps * 60) % 60, n / fps % 60,
                  drop ? ';' : ':', n % fps);
    return text;
}

// The class by its marks; the master clock and the outputs share theirs,
// and only an output has a time-code configuration.
const char* ClassName(TimeCodeDevice& device, const TANDREL_DEVICE_INFO& info)
{
    if (info.Mark[0] == 1) return "field counter";
    if (info.Mark[0] == 7) return "SMPTE 12M input";
    TANDREL_CONFIGURATION config{};
    return device.Call(IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, nullptr, 0, &config, sizeof config, true)
               ? "SMPTE 12M output"
               : "master clock";
}

void ListDevices()
{
    const char* streams[] = {"MasterClock", "LTCReader",   "LTCGenerator", "VITCReader",         "VITCGenerator",
                             "BurnIn",      "JpegStream1", "JpegStream2",  "SMPTE12MReaderProxy"};
    std::printf("  time-code devices of board 0:\n");
    for (const char* stream : streams) {
        TimeCodeDevice device(stream, false);
        TANDREL_DEVICE_INFO info{};
        if (!device.Opened() || !device.Call(IOCTL_TANDREL_GET_DEVICE_INFO, nullptr, 0, &info, sizeof info)) {
            std::printf("    \\\\.\\Zar0%-20s (not there)\n", stream);
            continue;
        }
        std::printf("    \\\\.\\Zar0%-20s %s, %s frames a second%s\n", stream, ClassName(device, info),
                    info.Rate == 29 ? "29.97" : std::to_string(info.Rate).c_str(),
                    (info.Video & 1) ? ", tied to video fields" : "");
    }
}

// What the reader captured, one record a field, until the time runs out;
// once a second the reader's code as the time-code library reads and
// formats it, through a monitor handle of its own.
std::vector<TANDREL_INPUT_STATE> TakeCaptures(TimeCodeDevice& reader, HANDLE semaphore, uint64_t giveUp)
{
    KIV_HANDLE monitor = nullptr;
    const bool library = KivSync_Monitor("\\\\.\\Zar0LTCReader", &monitor);
    if (!library) std::printf("  KivSync could not monitor the LTC reader (error %lu)\n", static_cast<unsigned long>(GetLastError()));
    std::vector<TANDREL_INPUT_STATE> got;
    uint64_t nextLine = MachineNow();
    while (MachineNow() < giveUp) {
        if (library && MachineNow() >= nextLine) {
            nextLine += 1000000000ull;
            TANDREL_SAMPLE s{};
            char text[12] = {};
            if (KivSmpte12m_GetSample(monitor, &s) && KivSmpte12m_PutSampleToString(nullptr, &s, text))
                std::printf("    read through KivSync: %s\n", text);
        }
        if (WaitForSingleObject(semaphore, 50) != WAIT_OBJECT_0) continue;
        TANDREL_INPUT_STATE c{};
        if (reader.Call(IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, nullptr, 0, &c, sizeof c, true)) got.push_back(c);
    }
    if (library) KivSync_Close(monitor);
    return got;
}

void ShowTimeCodeDevices(const DemoTimeCodeContext& context)
{
    ListDevices();
    TimeCodeDevice generator("LTCGenerator", true), reader("LTCReader", true), burnIn("BurnIn", true);
    if (!generator.Opened() || !reader.Opened() || !burnIn.Opened()) {
        std::printf("  the time-code devices did not open (error %lu): is TANDRELKD loaded?\n",
                    static_cast<unsigned long>(GetLastError()));
        return;
    }
    TANDREL_CONFIGURATION config{};
    if (!generator.Call(IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, nullptr, 0, &config, sizeof config)) return;
    const bool is625 = config.Rate == 25;
    // 01:00:00:00 (01:00:00;00 in drop frame at 29.97).
    const TANDREL_SAMPLE from = is625 ? TANDREL_SAMPLE{90000, 0, 25} : TANDREL_SAMPLE{107892, 0, 29 | TANDREL_FLAG_DROP_FRAME};
    LONG gain = kGainDb;
    ULONG show = 1;
    TANDREL_TRACK_REQUEST track{reader.Handle(), 0};
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 100000, nullptr);
    ULONG captureSemaphore = uint32_t(reinterpret_cast<uintptr_t>(semaphore));
    TANDREL_JAM_REQUEST jam{2, 4};
    // The burn-in window shows what the reader reads; the reader captures
    // every field; the generator starts from 01:00:00:00.
    bool ok = generator.Call(IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4) &&
              generator.Call(IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, &from, sizeof from) &&
              burnIn.Call(IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, &track, sizeof track) &&
              burnIn.Call(IOCTL_TANDREL_BURNIN_SHOW_HIDE, &show, 4) && burnIn.Call(IOCTL_TANDREL_START) &&
              reader.Call(IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, &jam, sizeof jam) &&
              reader.Call(IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, &captureSemaphore, 4) &&
              reader.Call(IOCTL_TANDREL_START);
    if (ok) {
        // Let the reader settle on the held first code before the generator runs.
        Sleep(200);
        ok = generator.Call(IOCTL_TANDREL_START);
    }
    std::vector<TANDREL_INPUT_STATE> captured;
    if (ok) captured = TakeCaptures(reader, semaphore, MachineNow() + uint64_t(kSeconds) * 1000000000ull);
    // Frame by frame: each frame read on its two fields, one frame after the other.
    std::vector<TANDREL_SAMPLE> frames;
    bool inOrder = true;
    for (const TANDREL_INPUT_STATE& c : captured) {
        if ((c.Delivered.Flags & TANDREL_FLAG_INVALID) || c.Delivered.Frame < from.Frame) continue;
        if (!frames.empty() && c.Delivered.Frame == frames.back().Frame) continue;
        if (!frames.empty() && c.Delivered.Frame != frames.back().Frame + 1) inOrder = false;
        frames.push_back(c.Delivered);
    }
    if (ok) {
        std::printf("  LTC generator (gain %ld dB) started at %s through \\\\.\\Zar0LTCGenerator, looped into the LTC "
                    "reader: %zu fields captured through \\\\.\\Zar0LTCReader\n",
                    static_cast<long>(gain), Text(from).c_str(), captured.size());
        if (!frames.empty())
            std::printf("  read back frame by frame: %s, %s, %s ... %s: %zu frames, %s\n", Text(frames[0]).c_str(),
                        frames.size() > 1 ? Text(frames[1]).c_str() : "", frames.size() > 2 ? Text(frames[2]).c_str() : "",
                        Text(frames.back()).c_str(), frames.size(), inOrder ? "every frame once, in order" : "NOT in order");
        else
            std::printf("  the reader read nothing back\n");
    }
    // A jam: the tape goes away for half a second; the jam generator carries
    // the code on, and the reader takes the tape back once it is steady.
    if (ok) {
        TANDREL_INPUT_STATE before{}, during{}, after{};
        LONG off = kGainOff;
        ok = reader.Call(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &before, sizeof before) &&
             generator.Call(IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &off, 4);
        Sleep(500);
        ok = ok && reader.Call(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &during, sizeof during) &&
             generator.Call(IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4);
        Sleep(300);
        ok = ok && reader.Call(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &after, sizeof after);
        auto state = [](uint32_t s) {
            const char* names[] = {"nothing read", "paused", "frame held", "field parity wrong", "jumped", "locked", "jam generator"};
            return s < 7 ? names[s] : "?";
        };
        if (ok)
            std::printf("  jam and rejam: %s (%s); tape off 0.5 s: %s (%s); tape back: %s (%s)\n", Text(before.Delivered).c_str(),
                        state(before.ReaderState), Text(during.Delivered).c_str(), state(during.ReaderState),
                        Text(after.Delivered).c_str(), state(after.ReaderState));
    }
    if (ok && context.hardware != nullptr) {
        std::vector<uint8_t> rgb;
        TANDREL_SAMPLE shown{};
        sim::VideoOutput& out = context.hardware->VideoOut();
        const int lines = out.Geometry().FrameLines();
        const std::string path = OutputPath(context, "timecode-burnin.ppm");
        if (RunBetweenFields([&] { rgb = out.FrameRgb(0); }) &&
            burnIn.Call(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &shown, sizeof shown) && !rgb.empty() &&
            WritePpm(path, 720, lines, rgb))
            std::printf("  burn-in window (tracking the reader through \\\\.\\Zar0BurnIn) showing %s: %s\n", Text(shown).c_str(),
                        path.c_str());
        else
            std::printf("  the output picture could not be written to %s\n", path.c_str());
    }
    // What this section changed, put back: outputs stopped, LTC off, window hidden.
    LONG off = kGainOff;
    ULONG hide = 0;
    generator.Call(IOCTL_TANDREL_STOP, nullptr, 0, nullptr, 0, true);
    reader.Call(IOCTL_TANDREL_STOP, nullptr, 0, nullptr, 0, true);
    burnIn.Call(IOCTL_TANDREL_STOP, nullptr, 0, nullptr, 0, true);
    generator.Call(IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &off, 4, nullptr, 0, true);
    burnIn.Call(IOCTL_TANDREL_BURNIN_SHOW_HIDE, &hide, 4, nullptr, 0, true);
    CloseHandle(semaphore);
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
    ShowTimeCodeDevices(context);
    ShowRingCapture(context, board);
}

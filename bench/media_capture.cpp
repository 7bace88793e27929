// Benchmark: the library's still capture and preview on board 0, through
// ZarDll as an application loads it.
//
// - A 720 x 486 still at 32 bits a pixel through ZarHpsCaptureImage (the
//   driver's request, the simulated scaler writing the frame into the
//   caller's memory), in host time a still, against a memcpy of the same
//   1,399,680 bytes.
// - The preview running into a DirectDraw surface of the display's 32-bit
//   format and drawn into a window once a field: the host time a field with
//   the preview (the scaler's capture, the worker's field wait and the
//   blit into the window) less the host time of the same fields without
//   it, against the field period.
//
// Its own machine on the virtual clock (one board, ZARKD and ZARFSKD, the
// library's first open needing both), so fields cost no waiting.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "include/zardll.h"
#include "platform/user/user.h"

namespace {

template <class F>
bool Find(HMODULE module, F& f, const char* name)
{
    f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return f != nullptr;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("media_capture");
    BenchMachine machine("zar-bench-media");
    if (!machine.Start("media_capture", sim::BoardsLayout(1), {"ZARKD", "ZARFSKD"})) return 1;
    const int stills = argc > 1 ? std::atoi(argv[1]) : 20;
    const uint64_t fields = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 300;

    ::setenv("ZAR_DLL_PATH", ZAR_LIBRARY_DIR, 1);
    HMODULE zar = LoadLibraryA(ZAR_LIBRARY_DIR "/libZarDll.so");
    HMODULE server = LoadLibraryA(ZAR_LIBRARY_DIR "/libddraw.so");
    decltype(&::ZarDcOpenEx) open = nullptr;
    decltype(&::ZarDcClose) close = nullptr;
    decltype(&::ZarHpsCaptureImage) capture = nullptr;
    int32_t (*registerServer)() = nullptr;
    if (!zar || !server || !Find(zar, open, "ZarDcOpenEx") || !Find(zar, close, "ZarDcClose") ||
        !Find(zar, capture, "ZarHpsCaptureImage") || !Find(server, registerServer, "DllRegisterServer") ||
        registerServer() != 0) {
        std::fprintf(stderr, "media_capture: ZarDll or the drawing object did not load\n");
        return 1;
    }
    ZAR_BOARD board = nullptr;
    if (open(0, &board) != ZAR_OK) {
        std::fprintf(stderr, "media_capture: board 0 did not open through ZarDll\n");
        return 1;
    }

    // ---- stills ----
    const uint32_t w = 720, h = 486, bytes = w * h * 4;
    auto* image = static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    std::vector<uint8_t> source(bytes, 0x5A), copy(bytes);
    ZAR_HPS_CAPTURE_IMAGE still{};
    still.Command = ZAR_HPS_CAPTURE_STILL;
    still.Source = 3;
    still.Width = w;
    still.Height = h;
    still.Contrast = 64;
    still.Brightness = 128;
    still.Saturation = 64;
    still.ImageBuffer = uint32_t(uintptr_t(image));
    capture(board, &still);  // warm up
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < stills; ++i)
        if (capture(board, &still) != ZAR_OK) {
            std::fprintf(stderr, "media_capture: a still failed\n");
            return 1;
        }
    const double stillSeconds = Seconds(start) / stills;
    const int copies = 200;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < copies; ++i) {
        source[size_t(i)] = uint8_t(i);
        std::memcpy(copy.data(), source.data(), bytes);
    }
    const double copySeconds = Seconds(start) / copies;
    std::printf("  720 x 486 still, 32 bits (%u bytes): %.2f ms of host time a still; memcpy of the same bytes "
                "%.3f ms (%.0fx)\n",
                bytes, stillSeconds * 1e3, copySeconds * 1e3, stillSeconds / copySeconds);

    // ---- the preview ----
    const FieldsCost idle = RunFields(fields);
    HWND hwnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                                nullptr);
    UpdateWindow(hwnd);
    ZAR_HPS_CAPTURE_IMAGE preview = still;
    preview.Command = ZAR_HPS_CAPTURE_PREVIEW;
    preview.Source = 1;
    preview.Width = 360;
    preview.Height = 243;
    preview.ImageBuffer = 0;
    preview.Window = uint32_t(uintptr_t(hwnd));
    preview.Renderer = 1;
    if (capture(board, &preview) != ZAR_OK) {
        std::fprintf(stderr, "media_capture: the preview did not start\n");
        return 1;
    }
    RunFields(10);  // the worker under way
    const FieldsCost previewing = RunFields(fields);
    ZAR_HPS_CAPTURE_IMAGE stop{};
    stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
    capture(board, &stop);
    const double perField = previewing.HostMicroseconds() - idle.HostMicroseconds();
    std::printf("  preview 360 x 243, DirectDraw surface of 32 bits: host time a field %.1f us with it, %.1f us "
                "without; the preview's share %.1f us = %.2f%% of the %.0f us field period\n",
                previewing.HostMicroseconds(), idle.HostMicroseconds(), perField,
                100.0 * perField / (kFieldPeriod * 1e6), kFieldPeriod * 1e6);
    DestroyWindow(hwnd);
    close(board);
    VirtualFree(image, 0, MEM_RELEASE);
    FreeLibrary(zar);
    return 0;
}

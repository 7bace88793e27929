// Painting a 720x486 picture into a window: the window procedure draws a
// DIB with StretchDIBits at its own size on each WM_PAINT (24-bit, as the
// preview's, and 32-bit), and the window is then written as a PNG. Against
// a plain memcpy of the DIB's bytes. Ratios are window / memcpy.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/user/snapshot.h"
#include "platform/user/user.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 720, kHeight = 486;

struct Picture {
    BITMAPINFO info{};
    std::vector<uint8_t> bits;
} picture;

LRESULT CALLBACK PictureProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_ERASEBKGND) return 1;  // the picture covers the client area
    if (msg != WM_PAINT) return DefWindowProc(hwnd, msg, wParam, lParam);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    StretchDIBits(dc, 0, 0, kWidth, kHeight, 0, 0, kWidth, kHeight, picture.bits.data(), &picture.info, DIB_RGB_COLORS, SRCCOPY);
    EndPaint(hwnd, &ps);
    return 0;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Make(int bpp)
{
    picture.info.bmiHeader = {sizeof(BITMAPINFOHEADER), kWidth, kHeight, 1, static_cast<WORD>(bpp), BI_RGB, 0, 0, 0, 0, 0};
    picture.bits.assign(static_cast<size_t>(kWidth) * kHeight * (bpp / 8), 0);
    for (size_t i = 0; i < picture.bits.size(); ++i) picture.bits[i] = static_cast<uint8_t>(i * 7 + i / 2048);
}

}  // namespace

int main()
{
    WNDCLASS wc{};
    wc.lpfnWndProc = PictureProc;
    wc.lpszClassName = "BenchPicture";
    RegisterClass(&wc);
    HWND hwnd = CreateWindowEx(0, "BenchPicture", "Preview", WS_POPUP | WS_VISIBLE, 0, 0, kWidth, kHeight, nullptr, nullptr,
                               nullptr, nullptr);
    if (!hwnd) {
        std::fprintf(stderr, "window_paint: no window\n");
        return 1;
    }
    const std::string png = (std::filesystem::temp_directory_path() / "window_paint_bench.png").string();
    std::vector<uint8_t> copy;
    std::printf("window_paint: a %dx%d DIB painted into a window by WM_PAINT, against memcpy of its bytes\n", kWidth, kHeight);
    for (int bpp : {24, 32}) {
        Make(bpp);
        copy.assign(picture.bits.size(), 0);
        const int frames = 200;
        UpdateWindow(hwnd);
        auto start = Clock::now();
        for (int i = 0; i < frames; ++i) {
            InvalidateRect(hwnd, nullptr, FALSE);
            UpdateWindow(hwnd);
        }
        const double paint = Seconds(start) / frames;
        start = Clock::now();
        for (int i = 0; i < frames; ++i) {
            picture.bits[static_cast<size_t>(i)] ^= 1;  // keep the copy from being optimised away
            std::memcpy(copy.data(), picture.bits.data(), picture.bits.size());
        }
        const double baseline = Seconds(start) / frames;
        const int shots = 10;
        start = Clock::now();
        for (int i = 0; i < shots; ++i) {
            InvalidateRect(hwnd, nullptr, FALSE);
            if (!user::WriteWindowPng(hwnd, png)) {
                std::fprintf(stderr, "window_paint: the snapshot failed\n");
                return 1;
            }
        }
        const double snapshot = Seconds(start) / shots;
        std::printf("  %d-bit DIB: paint %.3f ms a frame, paint and PNG snapshot %.2f ms; memcpy of %zu bytes %.3f ms; "
                    "paint %.1fx, snapshot %.0fx\n",
                    bpp, paint * 1e3, snapshot * 1e3, picture.bits.size(), baseline * 1e3, paint / baseline,
                    snapshot / baseline);
        if (copy[1] == 0xEE && copy[2] == 0xEE) std::printf("\n");
    }
    std::filesystem::remove(png);
    DestroyWindow(hwnd);
    return 0;
}

// Still capture, the preview and the volume optimiser through ZarDll.

#include "tools/demo_media.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "include/zardll.h"
#include "platform/user/snapshot.h"
#include "platform/user/user.h"
#include "win32.h"

namespace {

template <class F>
bool Find(HMODULE module, F& f, const char* name)
{
    f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return f != nullptr;
}

struct MediaCalls {
    decltype(&::ZarDcOpenEx) DcOpenEx = nullptr;
    decltype(&::ZarDcClose) DcClose = nullptr;
    decltype(&::ZarHpsCaptureImage) HpsCaptureImage = nullptr;
    decltype(&::ZarScanMediaFiles) ScanMediaFiles = nullptr;
    decltype(&::ZarOptimizeVolume) OptimizeVolume = nullptr;
    decltype(&::ZarQueryOptimizeProgress) QueryOptimizeProgress = nullptr;
    bool Load(HMODULE m)
    {
        return Find(m, DcOpenEx, "ZarDcOpenEx") && Find(m, DcClose, "ZarDcClose") &&
               Find(m, HpsCaptureImage, "ZarHpsCaptureImage") && Find(m, ScanMediaFiles, "ZarScanMediaFiles") &&
               Find(m, OptimizeVolume, "ZarOptimizeVolume") && Find(m, QueryOptimizeProgress, "ZarQueryOptimizeProgress");
    }
};

std::string Picture(const DemoMediaContext& context, const std::string& name)
{
    const std::filesystem::path output = std::filesystem::path(context.machineFolder) / "output";
    std::error_code ec;
    std::filesystem::create_directories(output, ec);
    user::SetPictureFolder(output.string());
    return name;
}

HWND PictureWindow(int width, int height)
{
    HWND hwnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, width, height, nullptr, nullptr,
                                nullptr, nullptr);
    UpdateWindow(hwnd);
    return hwnd;
}

void ShowStill(const MediaCalls& zar, ZAR_BOARD board, const DemoMediaContext& context)
{
    const uint32_t w = 720, h = 486;
    void* image = VirtualAlloc(nullptr, w * h * 4, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    BITMAPINFO info{};
    ZAR_HPS_CAPTURE_IMAGE r{};
    r.Command = ZAR_HPS_CAPTURE_STILL;
    r.Source = 3;
    r.BottomUp = 1;  // as a device-independent bitmap stores its rows
    r.PixelFormat = ZAR_HPS_FORMAT_BGRA;
    r.Width = w;
    r.Height = h;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    r.BitmapHeader = uint32_t(uintptr_t(&info.bmiHeader));
    r.ImageBuffer = uint32_t(uintptr_t(image));
    const int32_t result = image ? zar.HpsCaptureImage(board, &r) : ZAR_E_NO_MEMORY;
    if (result != ZAR_OK) {
        std::printf("  still capture: result %d\n", int(result));
    } else {
        HWND hwnd = PictureWindow(int(w), int(h));
        HDC dc = GetDC(hwnd);
        StretchDIBits(dc, 0, 0, int(w), int(h), 0, 0, int(w), int(h), image, &info, DIB_RGB_COLORS, SRCCOPY);
        ReleaseDC(hwnd, dc);
        const std::string path = user::Snapshot(hwnd, Picture(context, "still"));
        std::printf("  a 720 x 486 still of the input, 32 bits a pixel (%lu bytes), written to %s\n",
                    static_cast<unsigned long>(info.bmiHeader.biSizeImage), path.c_str());
        DestroyWindow(hwnd);
    }
    VirtualFree(image, 0, MEM_RELEASE);
}

void ShowPreview(const MediaCalls& zar, ZAR_BOARD board, const DemoMediaContext& context)
{
    // The drawing object the preview makes, registered as an installer would.
    HMODULE server = LoadLibraryA("ddraw.dll");
    auto registerServer =
        server ? reinterpret_cast<int32_t (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(server, "DllRegisterServer")))
               : nullptr;
    if (!registerServer || registerServer() != 0) {
        std::printf("  the drawing object ddraw.dll could not be registered\n");
        return;
    }
    HWND hwnd = PictureWindow(400, 263);
    ZAR_HPS_CAPTURE_IMAGE r{};
    r.Command = ZAR_HPS_CAPTURE_PREVIEW;
    r.Source = 1;
    r.Width = 360;
    r.Height = 243;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    r.Window = uint32_t(uintptr_t(hwnd));
    r.WindowX = 20;
    r.WindowY = 10;
    r.Renderer = 1;  // straight into a DirectDraw surface
    const int32_t started = zar.HpsCaptureImage(board, &r);
    Sleep(1000);
    ZAR_HPS_CAPTURE_IMAGE stop{};
    stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
    const int32_t stopped = zar.HpsCaptureImage(board, &stop);
    const std::string path = user::Snapshot(hwnd, Picture(context, "preview"));
    std::printf("  preview of one field a frame at 360 x 243 in a window for a second: start %d, stop %d; "
                "the window written to %s\n",
                int(started), int(stopped), path.c_str());
    DestroyWindow(hwnd);
}

int32_t Collect(const char* path, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(path);
    return 1;
}

void ShowOptimise(const MediaCalls& zar, ZAR_BOARD board)
{
    // The first volume of the media drive.
    WIN32_FIND_DATAA found{};
    HANDLE find = FindFirstFileA("P:\\KIV\\*", &found);
    std::string volume;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != "." && name != "..") volume = name;
        } while (volume.empty() && FindNextFileA(find, &found));
        FindClose(find);
    }
    if (volume.empty()) {
        std::printf("  no media volume to optimise\n");
        return;
    }
    const std::string path = "P:\\KIV\\" + volume;
    std::vector<std::string> files;
    ZAR_SCAN_MEDIA_FILES scan{path.c_str(), Collect, &files};
    zar.ScanMediaFiles(board, &scan);
    std::printf("  %s holds %zu media files\n", path.c_str(), files.size());
    for (const std::string& f : files)
        if (f.size() > 9 && f.compare(f.size() - 9, 9, "-copy.kiv") == 0)
            std::printf("  deleted %s: %s\n", f.c_str(), DeleteFileA(f.c_str()) ? "yes" : "no");

    ZAR_OPTIMIZE_VOLUME request{0, path.c_str()};
    const int32_t started = zar.OptimizeVolume(board, &request);
    if (started != ZAR_OK) {
        std::printf("  optimising %s: result %d\n", path.c_str(), int(started));
        return;
    }
    ZAR_OPTIMIZE_PROGRESS p{};
    uint32_t lastMoved = ~0u;
    for (int i = 0; i < 6000 && !p.Ended; ++i) {
        Sleep(10);
        zar.QueryOptimizeProgress(board, &p);
        if (p.Moved != lastMoved || p.Ended) {
            std::printf("  optimising: %u of %u blocks moved, move of %u blocks from %u to %u %u%% done\n",
                        static_cast<unsigned>(p.Moved), static_cast<unsigned>(p.Total),
                        static_cast<unsigned>(p.Blocks), static_cast<unsigned>(p.Source),
                        static_cast<unsigned>(p.Destination), static_cast<unsigned>(p.Done));
            lastMoved = p.Moved;
        }
    }
    std::printf("  optimised (compaction): result %d\n", int(p.Result));
}

}  // namespace

void ShowStillPreviewAndUpkeep(const DemoMediaContext& context)
{
    HMODULE module = LoadLibraryA("ZarDll.dll");
    MediaCalls zar;
    if (!module || !zar.Load(module)) {
        std::printf("  ZarDll or its capture and upkeep calls are not there\n");
        return;
    }
    ZAR_BOARD board = nullptr;
    const int32_t opened = zar.DcOpenEx(uint32_t(context.board), &board);
    if (opened != ZAR_OK) {
        std::printf("  board %lu did not open through ZarDll: %d\n", context.board, int(opened));
        FreeLibrary(module);
        return;
    }
    ShowStill(zar, board, context);
    ShowPreview(zar, board, context);
    ShowOptimise(zar, board);
    zar.DcClose(board);
    FreeLibrary(module);
}

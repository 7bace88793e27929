// A client process of a machine host that previews board 0 through ZarDll
// into a window of its own.
//   preview_client first   starts, then waits until another process holds
//                          the preview, tries to stop it (it is not its
//                          own) and says what the exchange block holds
//   preview_client second  starts, says how long the start took, and holds
//                          the preview until the named event
//                          ZarPreviewTestRelease is set
#include <cstdio>
#include <string>

#include "include/zardll.h"
#include "platform/user/user.h"
#include "platform/win32/win32.h"

namespace {

struct Exchange {
    uint32_t active;
    uint32_t processId;
};

Exchange ReadExchange()
{
    Exchange e{};
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "ZAR_PREV_SHARED_MEM0");
    if (!mapping) return e;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof e)) {
        e = *static_cast<const Exchange*>(view);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return e;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    const std::string role = argv[1];
    ZAR_BOARD board = nullptr;
    // A library linked in is attached at the program's first system call.
    ReadExchange();
    HWND hwnd = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                                nullptr);
    UpdateWindow(hwnd);
    const int32_t opened = ZarDcOpenEx(0, &board);
    if (opened != ZAR_OK) {
        std::printf("open failed %d\n", int(opened));
        return 1;
    }
    ZAR_HPS_CAPTURE_IMAGE r{};
    r.Command = ZAR_HPS_CAPTURE_PREVIEW;
    r.Source = 1;
    r.BottomUp = 1;
    r.Width = 360;
    r.Height = 243;
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    r.Window = uint32_t(uintptr_t(hwnd));
    const DWORD before = GetTickCount();
    const int32_t started = ZarHpsCaptureImage(board, &r);
    const DWORD took = GetTickCount() - before;
    const DWORD self = GetCurrentProcessId();
    if (role == "first") {
        std::printf("started %d\n", int(started));
        std::fflush(stdout);
        Exchange e = ReadExchange();
        for (int i = 0; i < 3000 && e.processId == self; ++i) {
            Sleep(10);
            e = ReadExchange();
        }
        ZAR_HPS_CAPTURE_IMAGE stop{};
        stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
        const int32_t stopped = ZarHpsCaptureImage(board, &stop);
        const Exchange after = ReadExchange();
        std::printf("taken %d stop %d active %u same owner %d\n", int(e.processId != self), int(stopped),
                    static_cast<unsigned>(after.active), int(after.processId == e.processId));
    } else {
        const Exchange e = ReadExchange();
        std::printf("started %d owner %d took %s\n", int(started), int(e.active == 1 && e.processId == self),
                    took < 2000 ? "under 2 s" : std::to_string(took).c_str());
        std::fflush(stdout);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "ZarPreviewTestRelease");
        WaitForSingleObject(release, 120000);
        CloseHandle(release);
        ZAR_HPS_CAPTURE_IMAGE stop{};
        stop.Command = ZAR_HPS_CAPTURE_PREVIEW_STOP;
        ZarHpsCaptureImage(board, &stop);
    }
    std::fflush(stdout);
    DestroyWindow(hwnd);
    ZarDcClose(board);
    return 0;
}

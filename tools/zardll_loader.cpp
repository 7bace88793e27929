// Loading ZarDll at run time for the demo, and reading its shared section.

#include "zardll_loader.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "win32.h"

namespace {

// The library is built beside the Win32 runtime (build/lib), one folder up
// from the front's own (build/tools): where LoadLibrary looks when nothing
// else says where.
void DefaultLibraryPath()
{
    const char* given = std::getenv("ZAR_DLL_PATH");
    if (given && *given) return;
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    std::string folder(path, size_t(n));
    folder.resize(folder.rfind('/'));
    setenv("ZAR_DLL_PATH", (folder + "/../lib").c_str(), 1);
}

template <class F>
bool Find(HMODULE module, F& f, const char* name)
{
    f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return f != nullptr;
}

}  // namespace

const ZarDllCalls* DemoZarDll()
{
    static ZarDllCalls calls;
    static bool tried = false, loaded = false;
    if (tried) return loaded ? &calls : nullptr;
    tried = true;
    DefaultLibraryPath();
    HMODULE module = LoadLibraryA("ZarDll.dll");
    if (!module) {
        std::printf("  ZarDll did not load (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return nullptr;
    }
    loaded = Find(module, calls.DcOpen, "ZarDcOpen") && Find(module, calls.DcClose, "ZarDcClose") &&
             Find(module, calls.DcGetVersionInfoEx, "ZarDcGetVersionInfoEx") &&
             Find(module, calls.ScsiQueryDeviceInfo, "ZarScsiQueryDeviceInfo");
    if (!loaded) std::printf("  ZarDll lacks its exports\n");
    return loaded ? &calls : nullptr;
}

SharedSectionView::SharedSectionView()
{
    mapping_ = OpenFileMappingA(FILE_MAP_READ, FALSE, ZAR_SHARED_SECTION_NAME);
    if (mapping_) view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, ZAR_SHARED_VIEW_SIZE);
}

SharedSectionView::~SharedSectionView()
{
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
}

const ZAR_BOARD_SHARED* SharedSectionView::Board(uint32_t board) const
{
    return view_ && board < ZAR_DLL_MAX_BOARDS ? ZarSharedBoard(view_, board) : nullptr;
}

std::string ZarResultName(int32_t result)
{
    const char* name = "";
    switch (result) {
    case ZAR_OK: name = "ZAR_OK"; break;
    case ZAR_E_DRIVER: name = "ZAR_E_DRIVER"; break;
    case ZAR_E_BAD_ARGUMENT: name = "ZAR_E_BAD_ARGUMENT"; break;
    case ZAR_E_FIRMWARE: name = "ZAR_E_FIRMWARE"; break;
    case ZAR_E_BAD_HANDLE: name = "ZAR_E_BAD_HANDLE"; break;
    case ZAR_E_NO_DEVICE: name = "ZAR_E_NO_DEVICE"; break;
    case ZAR_E_NO_BOARD: name = "ZAR_E_NO_BOARD"; break;
    case ZAR_E_BOARD_UNKNOWN: name = "ZAR_E_BOARD_UNKNOWN"; break;
    case ZAR_E_BOARD_UNAVAILABLE: name = "ZAR_E_BOARD_UNAVAILABLE"; break;
    default: name = "result"; break;
    }
    return std::string(name) + " (" + std::to_string(result) + ")";
}

bool BoardFirstOpenDone(uint32_t board)
{
    const std::string name = std::string(ZAR_AUDIO_DMA_EVENT_PREFIXES[5]) + char('0' + board);
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (event) CloseHandle(event);
    return event != nullptr;
}

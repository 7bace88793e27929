// ZarDll as the demo's processes use it: loaded by name when a section
// first needs it, so only the processes that work the board through the
// library map its shared section (the machine host never does), and the
// shared section read as any program of the machine may read it.
#pragma once

#include <string>

#include "include/zardll.h"

struct ZarDllCalls {
    decltype(&::ZarDcOpen) DcOpen = nullptr;
    decltype(&::ZarDcClose) DcClose = nullptr;
    decltype(&::ZarDcGetVersionInfoEx) DcGetVersionInfoEx = nullptr;
    decltype(&::ZarScsiQueryDeviceInfo) ScsiQueryDeviceInfo = nullptr;
};

// The library's calls, loaded at the first use; null after printing why
// when it cannot be loaded.
const ZarDllCalls* DemoZarDll();

// A read-only view of KIV_SOLVANE_DLL while the value lives.
class SharedSectionView {
public:
    SharedSectionView();
    ~SharedSectionView();
    SharedSectionView(const SharedSectionView&) = delete;
    SharedSectionView& operator=(const SharedSectionView&) = delete;
    // Board n's record, or null when no process maps the section.
    const ZAR_BOARD_SHARED* Board(uint32_t board) const;

private:
    void* mapping_ = nullptr;
    void* view_ = nullptr;
};

// "ZAR_E_NO_DEVICE (-20)" and the like.
std::string ZarResultName(int32_t result);
// Whether the first open of the board in this process completed (its audio
// DMA events exist).
bool BoardFirstOpenDone(uint32_t board);

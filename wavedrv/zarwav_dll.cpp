// The library's face: its entry point and its five exports. Only this file
// is the shared object's own; the rest is the driver's code, also linked
// straight into tests.
#include "zarwav.h"

namespace {
BOOL DllEntry(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) return ZarWavAttach(static_cast<HMODULE>(module));
    if (reason == DLL_PROCESS_DETACH) ZarWavDetach(reserved != nullptr);
    return TRUE;
}
}  // namespace

ZAR_DLL_ENTRY("ZARWAV", DllEntry);

#define ZARWAV_EXPORT extern "C" __attribute__((visibility("default")))

ZARWAV_EXPORT BOOL DllEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved) { return DllEntry(module, reason, reserved); }

ZARWAV_EXPORT LRESULT DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2)
{
    return ZarWavDriverProc(id, driver, message, param1, param2);
}

ZARWAV_EXPORT DWORD mxdMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    return ZarWavMixerMessage(id, message, user, param1, param2);
}

ZARWAV_EXPORT DWORD wodMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    return ZarWavWaveMessage(TRUE, id, message, user, param1, param2);
}

ZARWAV_EXPORT DWORD widMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    return ZarWavWaveMessage(FALSE, id, message, user, param1, param2);
}

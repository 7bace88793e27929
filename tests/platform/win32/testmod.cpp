// A library for the LoadLibrary tests, built as the system's libraries are:
// it links the one Win32 runtime and names its entry point. The entry
// writes what it was called for into W32TESTMOD_LOG, which outlives the
// library, and at process attach sets the program's event W32TestModEvent
// through its own open by name.
#include <cstdlib>
#include <string>

#include "platform/win32/win32.h"

namespace {

void Log(const char* what)
{
    const char* old = std::getenv("W32TESTMOD_LOG");
    std::string log = old ? std::string(old) + "," + what : std::string(what);
    setenv("W32TESTMOD_LOG", log.c_str(), 1);
}

BOOL Entry(HINSTANCE, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        Log("attach");
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "W32TestModEvent");
        if (event) {
            SetEvent(event);
            CloseHandle(event);
        }
        return std::getenv("W32TESTMOD_REFUSE") ? FALSE : TRUE;
    }
    case DLL_THREAD_ATTACH: Log("thread-attach"); break;
    case DLL_THREAD_DETACH: Log("thread-detach"); break;
    case DLL_PROCESS_DETACH: Log(reserved ? "detach-at-exit" : "detach"); break;
    }
    return TRUE;
}

}  // namespace

ZAR_DLL_ENTRY("W32TestMod", Entry);

extern "C" __attribute__((visibility("default"))) int W32TestAdd(int a, int b) { return a + b; }

// Sets an event by the handle the program made: one handle table.
extern "C" __attribute__((visibility("default"))) BOOL W32TestSetByHandle(HANDLE event) { return SetEvent(event); }

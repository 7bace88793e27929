// The library's entry point and the exports of its frame. Each export
// holds the library's module state for the call, tests the caller's record
// at its fixed size and calls the body; nothing thrown crosses this line.

#include "include/zardll.h"
#include "zar_app.h"
#include "zar_connection.h"
#include "zar_handles.h"

namespace {

// The module state for one export: the application object while the
// library is loaded and set up, or none (the export then fails).
class ModuleState {
public:
    ModuleState() : m_app(ZarApp()) {}
    explicit operator bool() const { return m_app != nullptr; }
    CZarDll* operator->() const { return m_app; }

private:
    CZarDll* m_app;
};

template <class Body>
int32_t Guarded(Body body)
{
    try {
        return body();
    } catch (...) {
        return ZAR_E_NO_MEMORY;  // the only thing the frame's bodies throw is a failed allocation
    }
}

bool Writable(void* record, size_t bytes) { return record && !IsBadWritePtr(record, bytes); }

int32_t Open(uint32_t board, ZAR_BOARD* handle, bool extended)
{
    if (!Writable(handle, sizeof *handle)) return ZAR_E_BAD_ARGUMENT;
    ModuleState app;
    if (!app) {
        *handle = ZAR_INVALID_BOARD;
        return ZAR_E_DRIVER;
    }
    return Guarded([&] { return app->DcOpen(board, handle, extended); });
}

BOOL DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        auto* app = new (std::nothrow) CZarDll;
        if (!app) return FALSE;
        if (!app->InitInstance()) {
            app->ExitInstance();
            delete app;
            return FALSE;
        }
        return TRUE;
    }
    case DLL_PROCESS_DETACH:
        // At the process's exit its handles and memory go with it, and the
        // machine may already be gone: nothing is called then.
        if (reserved) return TRUE;
        if (CZarDll* app = ZarApp()) {
            app->ExitInstance();
            delete app;
        }
        ReleaseThreadRequestEvent();
        return TRUE;
    case DLL_THREAD_DETACH: ReleaseThreadRequestEvent(); return TRUE;
    default: return TRUE;
    }
}

}  // namespace

ZAR_DLL_ENTRY("ZarDll", DllMain);

ZAR_API int32_t ZarDcOpen(uint32_t board, ZAR_BOARD* handle) { return Open(board, handle, false); }

ZAR_API int32_t ZarDcOpenEx(uint32_t board, ZAR_BOARD* handle) { return Open(board, handle, true); }

ZAR_API int32_t ZarDcClose(ZAR_BOARD handle)
{
    ModuleState app;
    if (!app) return ZAR_E_BAD_HANDLE;
    return Guarded([&] { return app->DcClose(handle); });
}

ZAR_API int32_t ZarDcInitialize(ZAR_BOARD handle, uint32_t mode)
{
    ModuleState app;
    if (!app) return ZAR_E_DRIVER;
    CBoardConnection* connection = CBoardConnection::FromHandle(handle);
    if (!connection) return ZAR_E_BAD_HANDLE;
    return Guarded([&] { return app->DcInitialize(*connection, mode); });
}

ZAR_API int32_t ZarDereferenceObject(uint32_t handle)
{
    ModuleState app;
    if (!app) return ZAR_E_BAD_HANDLE;
    return CHandleObject::DereferenceHandle(handle);
}

// One queue serves every board of the process: the board handle is not used.
ZAR_API int32_t ZarExInitializeExceptionHandler(ZAR_BOARD, uint32_t* semaphore)
{
    if (!Writable(semaphore, sizeof *semaphore)) return ZAR_E_BAD_ARGUMENT;
    ModuleState app;
    if (!app) return ZAR_E_DRIVER;
    return Guarded([&] { return app->ExInitializeExceptionHandler(semaphore); });
}

ZAR_API int32_t ZarExGetExceptionPacket(ZAR_BOARD, ZAR_EXCEPTION_PACKET* packet)
{
    if (!Writable(packet, sizeof *packet)) return ZAR_E_BAD_ARGUMENT;
    ModuleState app;
    if (!app) return ZAR_E_DRIVER;
    return app->ExGetExceptionPacket(packet);
}

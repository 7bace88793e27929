// The time-code library's frame: the stream handle registry and the device
// request and sample write every export makes, each waited for and checked
// (a reply must fill the caller's record exactly).

#include <new>

#include "tandrel/kivsync_frame.h"

CStreamDeviceHandle::CStreamDeviceHandle(const char* path, DWORD access) : Path(path), Access(access)
{
    Device = CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (Device == INVALID_HANDLE_VALUE) return;
    Event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (Event == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(Device);
        Device = INVALID_HANDLE_VALUE;
        SetLastError(error);
        return;
    }
    Overlapped.hEvent = Event;
}

CStreamDeviceHandle::~CStreamDeviceHandle()
{
    if (Device != INVALID_HANDLE_VALUE) CloseHandle(Device);
    if (Event != nullptr) CloseHandle(Event);
}

CSyncLibraryApp::CSyncLibraryApp() { InitializeCriticalSection(&lock_); }

CSyncLibraryApp::~CSyncLibraryApp()
{
    for (auto& [handle, object] : registry_) delete object;
    registry_.clear();
    DeleteCriticalSection(&lock_);
}

HANDLE CSyncLibraryApp::OpenStream(const char* path, DWORD access)
{
    auto* object = new (std::nothrow) CStreamDeviceHandle(path, access);
    if (object == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE device = object->Device;
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        delete object;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    EnterCriticalSection(&lock_);
    registry_.insert({device, object});
    LeaveCriticalSection(&lock_);
    return device;
}

CStreamDeviceHandle* CSyncLibraryApp::LookupStream(HANDLE handle)
{
    EnterCriticalSection(&lock_);
    auto it = registry_.find(handle);
    CStreamDeviceHandle* object = it == registry_.end() ? nullptr : it->second;
    LeaveCriticalSection(&lock_);
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

BOOL CSyncLibraryApp::CloseStream(HANDLE handle)
{
    if (LookupStream(handle) == nullptr) return FALSE;
    EnterCriticalSection(&lock_);
    auto it = registry_.find(handle);
    CStreamDeviceHandle* object = it == registry_.end() ? nullptr : it->second;
    if (object != nullptr) registry_.erase(it);
    LeaveCriticalSection(&lock_);
    if (object == nullptr) {
        // Another thread closed it meanwhile.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL closed = CloseHandle(object->Device);
    const DWORD error = GetLastError();
    object->Device = INVALID_HANDLE_VALUE;
    delete object;
    if (!closed) SetLastError(error);
    return closed;
}

BOOL CSyncLibraryApp::SendRequest(HANDLE handle, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
                                  DWORD* bytes)
{
    CStreamDeviceHandle* object = LookupStream(handle);
    if (object == nullptr) return FALSE;
    DWORD local = 0;
    DWORD* count = bytes != nullptr ? bytes : &local;
    if (!DeviceIoControl(handle, code, in, inLength, out, outLength, count, &object->Overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return FALSE;
        if (!GetOverlappedResult(handle, &object->Overlapped, count, TRUE)) return FALSE;
    }
    if (out == nullptr || *count == outLength) return TRUE;
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
}

BOOL CSyncLibraryApp::WriteSamples(HANDLE handle, const void* buffer, DWORD bytes, OVERLAPPED* overlapped)
{
    CStreamDeviceHandle* object = LookupStream(handle);
    if (object == nullptr) return FALSE;
    DWORD written = 0;
    OVERLAPPED* used = overlapped != nullptr ? overlapped : &object->Overlapped;
    if (!WriteFile(handle, buffer, bytes, &written, used)) {
        // A caller with its own OVERLAPPED completes a pending write itself.
        if (overlapped != nullptr || GetLastError() != ERROR_IO_PENDING) return FALSE;
        if (!GetOverlappedResult(handle, used, &written, TRUE)) return FALSE;
    }
    if (written != bytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

namespace {

CSyncLibraryApp* gApp = nullptr;

// The library object lives from process attach to process detach; handles
// still open at the detach are closed with it.
BOOL KivSyncEntry(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH && gApp == nullptr) gApp = new (std::nothrow) CSyncLibraryApp;
    if (reason == DLL_PROCESS_ATTACH) return gApp != nullptr;
    if (reason == DLL_PROCESS_DETACH) {
        delete gApp;
        gApp = nullptr;
    }
    return TRUE;
}

}  // namespace

ZAR_DLL_ENTRY("KivSync", KivSyncEntry);

CSyncLibraryApp& KivSyncApp()
{
    // A call before the attach (a program's first call into the library
    // can be its first system call) makes the object then.
    if (gApp == nullptr) gApp = new CSyncLibraryApp;
    return *gApp;
}

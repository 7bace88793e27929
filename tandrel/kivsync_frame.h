// The frame of the time-code library: the library object with its registry
// of the stream handles it opened, and the two routines every export goes
// through (one device request, one sample write), each waited for.
#pragma once

#include <map>
#include <string>

#include "include/kivsync.h"
#include "win32.h"

// One open stream device: its handle (also the caller's stream handle and
// the registry key), the path it was opened by, the access, and the one
// OVERLAPPED record and event its requests use, so a handle carries one
// request at a time.
class CStreamDeviceHandle {
public:
    CStreamDeviceHandle(const char* path, DWORD access);
    virtual ~CStreamDeviceHandle();
    CStreamDeviceHandle(const CStreamDeviceHandle&) = delete;
    CStreamDeviceHandle& operator=(const CStreamDeviceHandle&) = delete;

    HANDLE Device = INVALID_HANDLE_VALUE;
    std::string Path;
    DWORD Access;
    OVERLAPPED Overlapped{};
    HANDLE Event = nullptr;
};

// The library object: one a process, made when the library loads.
class CSyncLibraryApp {
public:
    CSyncLibraryApp();
    ~CSyncLibraryApp();

    HANDLE OpenStream(const char* path, DWORD access);
    CStreamDeviceHandle* LookupStream(HANDLE handle);
    BOOL CloseStream(HANDLE handle);
    BOOL SendRequest(HANDLE handle, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength, DWORD* bytes);
    BOOL WriteSamples(HANDLE handle, const void* buffer, DWORD bytes, OVERLAPPED* overlapped);

private:
    CRITICAL_SECTION lock_;  // guards the registry; never held across a request
    std::map<HANDLE, CStreamDeviceHandle*> registry_;
};

CSyncLibraryApp& KivSyncApp();

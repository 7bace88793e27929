// Requests on the kernel wave service's devices. The devices are opened
// overlapped (the change listener keeps a request pending on the mixer's),
// so each request here waits for its own completion.
#include "zarwav.h"

HANDLE ZarWavOpenDevice(const char* name, DWORD access)
{
    return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

BOOL ZarWavRequest(HANDLE device, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                   ULONG* returned)
{
    if (device == nullptr || device == INVALID_HANDLE_VALUE) return FALSE;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return FALSE;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(device, &ov, &bytes, TRUE);
    CloseHandle(ov.hEvent);
    if (returned != nullptr) *returned = ok ? bytes : 0;
    return ok;
}

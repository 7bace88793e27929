// DeviceIoControl: one kernel call on the hot path. The kernel applies the
// code's buffering method and NT's copy-back rule (output is returned on
// success and on warnings, never on errors); this layer turns the status
// into the Win32 result:
//   success            TRUE, *lpBytesReturned = bytes
//   warning            FALSE, error mapped (STATUS_BUFFER_OVERFLOW ->
//                      ERROR_MORE_DATA), *lpBytesReturned = bytes copied
//   error              FALSE, error mapped, *lpBytesReturned = 0
//   pending            FALSE, ERROR_IO_PENDING (overlapped only; without an
//                      OVERLAPPED the call waits for the end)
#include "w32_internal.h"

namespace {

BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD lpBytesReturned)
{
    if (NT_SUCCESS(status)) {
        if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(information);
        return TRUE;
    }
    if (lpBytesReturned) *lpBytesReturned = NT_WARNING(status) ? static_cast<DWORD>(information) : 0;
    w32::SetLastNtError(status);
    return FALSE;
}

}  // namespace

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) &
                                                ~static_cast<ULONG_PTR>(1));
        NTSTATUS status = NtDeviceIoControlFile(hDevice, event, nullptr, lpOverlapped, w32::OverlappedIosb(lpOverlapped),
                                                dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                nOutBufferSize);
        W32_TRACE("DeviceIoControl(%p, %#x, in %u, out %u, overlapped) -> %s", hDevice, dwIoControlCode,
                  nInBufferSize, nOutBufferSize, NtStatusName(status));
        if (status == STATUS_PENDING) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        w32::SettleFailedOverlapped(lpOverlapped, status);
        return Finish(status, lpOverlapped->InternalHigh, lpBytesReturned);
    }

    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    NTSTATUS status = NtDeviceIoControlFile(hDevice, nullptr, nullptr, nullptr, &iosb, dwIoControlCode, lpInBuffer,
                                            nInBufferSize, lpOutBuffer, nOutBufferSize);
    // Pending without an OVERLAPPED: the handle is asynchronous; wait here
    // so the kernel never writes a status block that is gone.
    if (status == STATUS_PENDING) status = w32::WaitForRequest(hDevice, &iosb);
    W32_TRACE("DeviceIoControl(%p, %#x, in %u, out %u) -> %s, %u bytes", hDevice, dwIoControlCode, nInBufferSize,
              nOutBufferSize, NtStatusName(status), static_cast<unsigned>(iosb.Information));
    // A request failed before it reached the driver leaves the block alone.
    return Finish(status, NT_ERROR(status) ? 0 : iosb.Information, lpBytesReturned);
}

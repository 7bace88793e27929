// Waits and sleeps on the machine clock: WaitForSingleObject(Ex),
// WaitForMultipleObjects(Ex), Sleep and SleepEx. Alertable waits run the
// thread's queued completion routines and APCs and then return
// WAIT_IO_COMPLETION.
#include "w32_internal.h"

namespace {

DWORD WaitResult(NTSTATUS status, DWORD count)
{
    if (status >= STATUS_WAIT_0 && static_cast<DWORD>(status - STATUS_WAIT_0) < count)
        return WAIT_OBJECT_0 + (status - STATUS_WAIT_0);
    if (status >= STATUS_ABANDONED_WAIT_0 && static_cast<DWORD>(status - STATUS_ABANDONED_WAIT_0) < count)
        return WAIT_ABANDONED_0 + (status - STATUS_ABANDONED_WAIT_0);
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (status == STATUS_USER_APC) return WAIT_IO_COMPLETION;
    w32::SetLastNtError(NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
    return WAIT_FAILED;
}

}  // namespace

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    LARGE_INTEGER t;
    NTSTATUS status;
    do {
        // An alert that is not an APC does not end a Win32 wait.
        status = NtWaitForSingleObject(hHandle, bAlertable ? TRUE : FALSE, w32::MsToTimeout(dwMilliseconds, &t));
    } while (status == STATUS_ALERTED);
    return WaitResult(status, 1);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForSingleObjectEx(hHandle, dwMilliseconds, FALSE);
}

DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    LARGE_INTEGER t;
    NTSTATUS status;
    do {
        status = NtWaitForMultipleObjects(nCount, lpHandles, bWaitAll ? WaitAll : WaitAny, bAlertable ? TRUE : FALSE,
                                          w32::MsToTimeout(dwMilliseconds, &t));
    } while (status == STATUS_ALERTED);
    return WaitResult(status, nCount);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    LARGE_INTEGER t;
    if (dwMilliseconds == INFINITE) t.QuadPart = INT64_MIN;  // the furthest relative time there is
    else t.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    NTSTATUS status;
    do {
        status = NtDelayExecution(bAlertable ? TRUE : FALSE, &t);
    } while (status == STATUS_ALERTED);
    return status == STATUS_USER_APC ? DWORD{WAIT_IO_COMPLETION} : 0;
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

// Events, mutexes and semaphores, unnamed or named in \BaseNamedObjects so
// a name means one object to every process and to the drivers.
#include "w32_internal.h"

namespace {

// The common tail of every Create*: a name that already existed gives the
// existing object and ERROR_ALREADY_EXISTS; a new one clears the last error
// so the caller can tell the two apart.
HANDLE FinishCreate(NTSTATUS status, HANDLE handle)
{
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

template <typename OpenFn>
HANDLE OpenNamed(OpenFn open, DWORD access, BOOL inherit, LPCWSTR name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, inherit};
    w32::NtName n;
    w32::NamedObjectAttributes(n, name, &sa, 0);
    if (!n.oa.ObjectName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = nullptr;
    NTSTATUS status = open(&h, access, &n.oa);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    return h;
}

BOOL Result(NTSTATUS status)
{
    if (NT_SUCCESS(status)) return TRUE;
    w32::SetLastNtError(status);
    return FALSE;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    w32::NtName n;
    w32::NamedObjectAttributes(n, lpName, lpEventAttributes, OBJ_OPENIF);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateEvent(&h, EVENT_ALL_ACCESS, &n.oa, bManualReset ? NotificationEvent : SynchronizationEvent,
                                    bInitialState ? TRUE : FALSE);
    W32_TRACE("CreateEvent(%s, manual %d, initial %d) -> %p %s", NtNarrow(n.text).c_str(), bManualReset,
              bInitialState, h, NtStatusName(status));
    return FinishCreate(status, h);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName ? name.c_str() : nullptr);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    return OpenNamed(NtOpenEvent, dwDesiredAccess, bInheritHandle, lpName);
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return OpenEventW(dwDesiredAccess, bInheritHandle, lpName ? name.c_str() : nullptr);
}

BOOL SetEvent(HANDLE hEvent) { return Result(NtSetEvent(hEvent, nullptr)); }
BOOL ResetEvent(HANDLE hEvent) { return Result(NtResetEvent(hEvent, nullptr)); }
BOOL PulseEvent(HANDLE hEvent) { return Result(NtPulseEvent(hEvent, nullptr)); }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    w32::NtName n;
    w32::NamedObjectAttributes(n, lpName, lpMutexAttributes, OBJ_OPENIF);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateMutant(&h, MUTANT_ALL_ACCESS, &n.oa, bInitialOwner ? TRUE : FALSE);
    return FinishCreate(status, h);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return CreateMutexW(lpMutexAttributes, bInitialOwner, lpName ? name.c_str() : nullptr);
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return OpenNamed(NtOpenMutant, dwDesiredAccess, bInheritHandle, lpName ? name.c_str() : nullptr);
}

BOOL ReleaseMutex(HANDLE hMutex) { return Result(NtReleaseMutant(hMutex, nullptr)); }

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName)
{
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    w32::NtName n;
    w32::NamedObjectAttributes(n, lpName, lpSemaphoreAttributes, OBJ_OPENIF);
    HANDLE h = nullptr;
    NTSTATUS status = NtCreateSemaphore(&h, SEMAPHORE_ALL_ACCESS, &n.oa, lInitialCount, lMaximumCount);
    return FinishCreate(status, h);
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return CreateSemaphoreW(lpSemaphoreAttributes, lInitialCount, lMaximumCount, lpName ? name.c_str() : nullptr);
}

HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name = w32::AnsiToWide(lpName);
    return OpenNamed(NtOpenSemaphore, dwDesiredAccess, bInheritHandle, lpName ? name.c_str() : nullptr);
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    if (lReleaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONG previous = 0;
    NTSTATUS status = NtReleaseSemaphore(hSemaphore, lReleaseCount, &previous);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    if (lpPreviousCount) *lpPreviousCount = previous;
    return TRUE;
}

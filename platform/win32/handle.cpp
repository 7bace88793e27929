// Handles and the objects' names: CloseHandle, DuplicateHandle, the pseudo
// handles and ids of the current process and thread, the NT names of named
// objects, and the wait for a request issued without an event.
#include "w32_internal.h"

namespace {
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}  // namespace

namespace w32 {

void NtName::Set(std::u16string name, ULONG attributes, HANDLE root)
{
    text = std::move(name);
    us.Buffer = text.data();
    us.Length = static_cast<USHORT>(ok() ? text.size() * 2 : 0);
    us.MaximumLength = us.Length;
    InitializeObjectAttributes(&oa, &us, attributes, root, nullptr);
}

void NamedObjectAttributes(NtName& out, LPCWSTR name, const SECURITY_ATTRIBUTES* sa, ULONG extraAttributes)
{
    ULONG attributes = extraAttributes;
    if (sa && sa->bInheritHandle) attributes |= OBJ_INHERIT;
    if (!name || !*name) {
        out.Set(std::u16string(), attributes);
        out.oa.ObjectName = nullptr;
        return;
    }
    std::u16string n(name);
    for (const char16_t* prefix : {u"Global\\", u"Local\\"})
        if (n.compare(0, WideLength(prefix), prefix) == 0) {
            n.erase(0, WideLength(prefix));
            break;
        }
    // Object names are case-sensitive, as Win32's are.
    out.Set(u"\\BaseNamedObjects\\" + n, attributes);
}

// The kernel keeps ids in its thread and process records; a thread's id
// never changes, so it is asked once.
DWORD CurrentProcessId() { return NtGetCurrentProcessId(); }

DWORD CurrentThreadId()
{
    thread_local DWORD id = NtGetCurrentThreadId();
    return id;
}

NTSTATUS WaitForRequest(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    bool waitOnFile = file != nullptr;
    while (LoadStatus(iosb) == STATUS_PENDING) {
        if (waitOnFile) {
            // A file object is signalled when a request on it completes. A
            // handle the kernel cannot wait on, or a signal left from an
            // earlier request, sends us to polling.
            waitOnFile = false;
            if (NT_SUCCESS(NtWaitForSingleObject(file, FALSE, nullptr))) continue;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10000;  // 1 ms of machine time
        NtDelayExecution(FALSE, &interval);
    }
    return LoadStatus(iosb);
}

}  // namespace w32

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }
DWORD GetCurrentProcessId() { return w32::CurrentProcessId(); }
DWORD GetCurrentThreadId() { return w32::CurrentThreadId(); }

BOOL CloseHandle(HANDLE hObject)
{
    W32_TRACE("CloseHandle(%p)", hObject);
    if (hObject == kCurrentProcess || hObject == kCurrentThread) return TRUE;
    NTSTATUS status = NtClose(hObject);
    if (NT_SUCCESS(status)) w32::ForgetThreadHandle(hObject);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcess, HANDLE hSourceHandle, HANDLE hTargetProcess, LPHANDLE lpTargetHandle,
                     DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions)
{
    HANDLE target = nullptr;
    NTSTATUS status = NtDuplicateObject(hSourceProcess, hSourceHandle, hTargetProcess, lpTargetHandle ? &target : nullptr,
                                        dwDesiredAccess, bInheritHandle ? ULONG{OBJ_INHERIT} : 0, dwOptions);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    if (lpTargetHandle) *lpTargetHandle = target;
    return TRUE;
}

// Handles and the objects' names: CloseHandle, DuplicateHandle, the pseudo
// handles and ids of the current process and thread, the NT names of named
// objects, and the wait for a request issued without an event.
#include "w32_client.h"
#include "w32_internal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

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

// Sleeps until the status word of 'iosb' leaves STATUS_PENDING or the time
// is up (the futex needs no waker to be correct, only to be quick).
static void AwaitStatusWord(PIO_STATUS_BLOCK iosb)
{
    timespec slice{0, 1000000};
    syscall(SYS_futex, &iosb->Status, FUTEX_WAIT_PRIVATE, STATUS_PENDING, &slice, nullptr, 0);
}

NTSTATUS WaitForRequest(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    bool waitOnFile = true;
    while (LoadStatus(iosb) == STATUS_PENDING) {
        // A handle closed under the wait leaves only the status block to
        // watch: the request still writes it, so the caller must not leave.
        if (waitOnFile) waitOnFile = NT_SUCCESS(NtWaitForSingleObject(file, FALSE, nullptr));
        // Signalled with ours still pending: its results are on their way
        // to this process, or another request on the handle ended.
        if (LoadStatus(iosb) == STATUS_PENDING) AwaitStatusWord(iosb);
    }
    return LoadStatus(iosb);
}

void StatusWritten(PIO_STATUS_BLOCK iosb)
{
    syscall(SYS_futex, &iosb->Status, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
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

// Threads of the calling process: CreateThread, suspension, termination,
// priorities, exit codes and user APCs.
//
// Suspension and termination are cooperative: a thread stops or ends at
// the runtime's safe points (its waits and sleeps, in a client every call
// into the machine), never between two instructions of its own code, since
// stopping a host thread anywhere could leave a lock of the C library or
// of this layer held for good. A thread CreateThread made ends by
// unwinding its stack to RunThread (ThreadTerminated), where nothing of
// its own runs any more.
//
// Priorities are the Win32 values (-2..2, idle -15, time-critical 15), which
// the kernel takes as the increment over the process's base. The seam has
// no query, so GetThreadPriority answers what was last set through this
// layer (normal when nothing was).
#include "w32_internal.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

std::mutex priorityLock;
// Keyed by (process id, handle); the pseudo handle is keyed by the thread id.
std::map<std::pair<DWORD, ULONG_PTR>, int> priorities;

std::pair<DWORD, ULONG_PTR> PriorityKey(HANDLE h)
{
    if (h == GetCurrentThread()) return {0, GetCurrentThreadId()};
    return {w32::CurrentProcessId(), reinterpret_cast<ULONG_PTR>(h)};
}

bool ValidPriority(int p)
{
    return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
           (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

void UserApc(PVOID context, PVOID arg1, PVOID)
{
    reinterpret_cast<PAPCFUNC>(context)(reinterpret_cast<ULONG_PTR>(arg1));
}

// Every thread CreateThread makes starts here, so the loaded libraries see
// it begin and end.
struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Thrown at a safe point of a terminated thread; caught only in RunThread.
struct ThreadTerminated {};
thread_local bool terminable = false;  // this thread runs under RunThread
// Set once the thread's routine has returned (SetEventWhenThreadReturns).
thread_local HANDLE eventWhenReturned = nullptr;

// The routine's return, or its end by TerminateThread: the event a worker
// asked for is set only now, when none of its code is left on the stack.
void RoutineReturned()
{
    terminable = false;
    if (eventWhenReturned) SetEvent(eventWhenReturned);
    eventWhenReturned = nullptr;
}

DWORD WINAPI RunThread(LPVOID context)
{
    ThreadStart start = *static_cast<ThreadStart*>(context);
    delete static_cast<ThreadStart*>(context);
    terminable = true;
    try {
        // A thread terminated before it ran ends here, before any of its code.
        LARGE_INTEGER now;
        now.QuadPart = 0;
        NtDelayExecution(FALSE, &now);
        w32::ThreadAttach();
        DWORD code = start.routine(start.parameter);
        RoutineReturned();
        w32::ThreadDetach();
        return code;
    } catch (const ThreadTerminated&) {
        // The kernel ends the thread with the code TerminateThread gave.
        RoutineReturned();
        return 0;
    }
}

}  // namespace

namespace w32 {
void EndTerminatedThread()
{
    if (terminable) throw ThreadTerminated{};
}

void ForgetThreadHandle(HANDLE h)
{
    std::lock_guard<std::mutex> lock(priorityLock);
    if (!priorities.empty()) priorities.erase(PriorityKey(h));
}
}  // namespace w32

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = nullptr;
    CLIENT_ID cid{};
    auto* start = new ThreadStart{lpStartAddress, lpParameter};
    NTSTATUS status = NtCreateUserThread(&h, RunThread, start,
                                         (dwCreationFlags & CREATE_SUSPENDED) ? TRUE : FALSE, &cid);
    if (!NT_SUCCESS(status)) delete start;
    W32_TRACE("CreateThread(%p, %p, flags %#x) -> %p %s", reinterpret_cast<void*>(lpStartAddress), lpParameter,
              dwCreationFlags, h, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(cid.UniqueThread));
    return h;
}

DWORD SuspendThread(HANDLE hThread)
{
    ULONG previous = 0;
    NTSTATUS status = NtSuspendThread(hThread, &previous);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return static_cast<DWORD>(-1);
    }
    return previous;
}

DWORD ResumeThread(HANDLE hThread)
{
    ULONG previous = 0;
    NTSTATUS status = NtResumeThread(hThread, &previous);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return static_cast<DWORD>(-1);
    }
    return previous;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    if (!ValidPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NTSTATUS status = NtSetThreadPriority(hThread, nPriority);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(priorityLock);
    priorities[PriorityKey(hThread)] = nPriority;
    return TRUE;
}

int GetThreadPriority(HANDLE hThread)
{
    // The handle must be a thread's: asking its exit code checks that.
    ULONG code;
    NTSTATUS status = NtGetExitCodeThread(hThread, &code);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard<std::mutex> lock(priorityLock);
    auto it = priorities.find(PriorityKey(hThread));
    return it == priorities.end() ? THREAD_PRIORITY_NORMAL : it->second;
}

BOOL SetEventWhenThreadReturns(HANDLE hEvent)
{
    if (!terminable) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    eventWhenReturned = hEvent;
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    ULONG code = 0;
    NTSTATUS status = NtGetExitCodeThread(hThread, &code);
    if (status == STATUS_PENDING) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    *lpExitCode = code;
    return TRUE;
}

DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData)
{
    NTSTATUS status = NtQueueApcThread(hThread, UserApc, reinterpret_cast<PVOID>(pfnAPC),
                                       reinterpret_cast<PVOID>(dwData), nullptr);
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return 0;
    }
    return 1;
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode)
{
    NTSTATUS status = NtTerminateThread(hThread, static_cast<NTSTATUS>(dwExitCode));
    W32_TRACE("TerminateThread(%p, %#x) -> %s", hThread, dwExitCode, NtStatusName(status));
    if (!NT_SUCCESS(status)) {
        w32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

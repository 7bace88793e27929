// The synchronisation part of the system-call seam: event, semaphore and
// mutant objects, waits on handles, delays, time, user threads and user
// APCs. Every call runs in the caller's process with requestor mode
// UserMode; objects come from the object manager by handle or by name
// (\BaseNamedObjects\... as the Win32 layer passes them).
#include "ke_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"

using namespace ki;

namespace {

enum : ACCESS_MASK {
    THREAD_TERMINATE = 0x0001,
    THREAD_SUSPEND_RESUME = 0x0002,
    THREAD_SET_CONTEXT = 0x0010,
    THREAD_SET_INFORMATION = 0x0020,
    THREAD_QUERY_INFORMATION = 0x0040,
};

void DeleteMutant(PVOID body)
{
    // An owner's list must not keep a mutant that is gone.
    auto m = static_cast<PKMUTANT>(body);
    Guard lock(DispatcherLock);
    if (m->OwnerThread) RemoveEntryList(&m->MutantListEntry);
    m->OwnerThread = nullptr;
}

void DeleteTimer(PVOID body) { KeCancelTimer(static_cast<PKTIMER>(body)); }

OBJECT_TYPE g_eventType = {
    "Event", nullptr, nullptr, nullptr, true, 0x00020001, 0x00020002, 0x00100000, EVENT_ALL_ACCESS,
};
OBJECT_TYPE g_semaphoreType = {
    "Semaphore", nullptr, nullptr, nullptr, true, 0x00020001, 0x00020002, 0x00100000, SEMAPHORE_ALL_ACCESS,
};
OBJECT_TYPE g_mutantType = {
    "Mutant", DeleteMutant, nullptr, nullptr, true, 0x00020001, 0x00020000, 0x00100000, MUTANT_ALL_ACCESS,
};
OBJECT_TYPE g_timerType = {
    "Timer", DeleteTimer, nullptr, nullptr, true, 0x00020001, 0x00020002, 0x00100000, 0x001F0003,
};

ULONG Attributes(POBJECT_ATTRIBUTES attributes) { return attributes ? attributes->Attributes : 0; }

// Runs 'f' on the object behind a handle of the caller's process.
template <class F>
NTSTATUS WithObject(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type, F f)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, type, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = f(object);
    ObDereferenceObject(object);
    return status;
}

template <class F>
NTSTATUS WithThread(HANDLE handle, ACCESS_MASK access, F f)
{
    return WithObject(handle, access, PsThreadType, [&](PVOID o) { return f(static_cast<PKTHREAD>(o)); });
}

// The object a handle names and what a wait on it waits for: the object
// itself, or for a file object its event, which the I/O manager signals
// when a request on the file completes.
NTSTATUS ReferenceWaitable(HANDLE handle, PVOID* object, PVOID* waitable)
{
    NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, UserMode, object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *waitable = ObGetWaitableObject(*object);
    if (!*waitable) {
        ObDereferenceObject(*object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return STATUS_SUCCESS;
}

template <class Init>
NTSTATUS CreateObject(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, POBJECT_TYPE type,
                      ULONG size, Init init)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(type, attributes, UserMode, size, &body);
    if (!NT_SUCCESS(status)) return status;
    init(body);
    return ObInsertObject(body, access, Attributes(attributes), handle);
}

}  // namespace

POBJECT_TYPE ExEventObjectType = &g_eventType;
POBJECT_TYPE ExSemaphoreObjectType = &g_semaphoreType;
POBJECT_TYPE ExMutantObjectType = &g_mutantType;
POBJECT_TYPE ExTimerObjectType = &g_timerType;

// ---- Events ----

NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                       BOOLEAN initialState)
{
    if (type != NotificationEvent && type != SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    return CreateObject(handle, access, attributes, ExEventObjectType, sizeof(KEVENT),
                        [&](PVOID body) { KeInitializeEvent(static_cast<PKEVENT>(body), type, initialState); });
}

NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return ObOpenObjectByName(attributes, ExEventObjectType, UserMode, access, nullptr, handle);
}

namespace {
template <class Op>
NTSTATUS ChangeEvent(HANDLE handle, PLONG previousState, Op op)
{
    return WithObject(handle, EVENT_MODIFY_STATE, ExEventObjectType, [&](PVOID o) {
        LONG previous = op(static_cast<PKEVENT>(o));
        if (previousState) *previousState = previous;
        return STATUS_SUCCESS;
    });
}
}  // namespace

NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState)
{
    return ChangeEvent(handle, previousState, [](PKEVENT e) { return KeSetEvent(e, 0, FALSE); });
}

NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState)
{
    return ChangeEvent(handle, previousState, [](PKEVENT e) { return KeResetEvent(e); });
}

NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState)
{
    return ChangeEvent(handle, previousState, [](PKEVENT e) { return KePulseEvent(e, 0, FALSE); });
}

// ---- Semaphores ----

NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount,
                           LONG maximumCount)
{
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) return STATUS_INVALID_PARAMETER;
    return CreateObject(handle, access, attributes, ExSemaphoreObjectType, sizeof(KSEMAPHORE), [&](PVOID body) {
        KeInitializeSemaphore(static_cast<PKSEMAPHORE>(body), initialCount, maximumCount);
    });
}

NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return ObOpenObjectByName(attributes, ExSemaphoreObjectType, UserMode, access, nullptr, handle);
}

NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount)
{
    if (releaseCount <= 0) return STATUS_INVALID_PARAMETER;
    return WithObject(handle, SEMAPHORE_MODIFY_STATE, ExSemaphoreObjectType, [&](PVOID o) {
        auto s = static_cast<PKSEMAPHORE>(o);
        // Checked here rather than raised: user mode gets a status.
        Guard lock(DispatcherLock);
        LONG old = s->Header.SignalState;
        if (releaseCount > s->Limit - old) return STATUS_SEMAPHORE_LIMIT_EXCEEDED;
        s->Header.SignalState = old + releaseCount;
        if (old == 0) WaitTestLocked(&s->Header);
        if (previousCount) *previousCount = old;
        return STATUS_SUCCESS;
    });
}

// ---- Mutants ----

NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner)
{
    return CreateObject(handle, access, attributes, ExMutantObjectType, sizeof(KMUTANT), [&](PVOID body) {
        KeInitializeMutant(static_cast<PKMUTANT>(body), initialOwner);
    });
}

NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return ObOpenObjectByName(attributes, ExMutantObjectType, UserMode, access, nullptr, handle);
}

NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount)
{
    return WithObject(handle, 0, ExMutantObjectType,
                      [&](PVOID o) { return KeReleaseMutant(static_cast<PKMUTANT>(o), previousCount); });
}

// ---- Waits and time ----

NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    PVOID object = nullptr, waitable = nullptr;
    NTSTATUS status = ReferenceWaitable(handle, &object, &waitable);
    if (!NT_SUCCESS(status)) return status;
    status = KeWaitForSingleObject(waitable, UserRequest, UserMode, alertable, timeout);
    ObDereferenceObject(object);
    return status;
}

NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) return STATUS_INVALID_PARAMETER;
    if (waitType != WaitAll && waitType != WaitAny) return STATUS_INVALID_PARAMETER;
    PVOID objects[MAXIMUM_WAIT_OBJECTS];
    PVOID waitables[MAXIMUM_WAIT_OBJECTS];
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    ULONG referenced = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (; referenced < count; referenced++) {
        status = ReferenceWaitable(handles[referenced], &objects[referenced], &waitables[referenced]);
        if (!NT_SUCCESS(status)) break;
        // Waiting for all of one object twice can never be satisfied once.
        if (waitType == WaitAll) {
            for (ULONG j = 0; j < referenced; j++) {
                if (waitables[j] == waitables[referenced]) status = STATUS_INVALID_PARAMETER_MIX;
            }
            if (!NT_SUCCESS(status)) {
                ObDereferenceObject(objects[referenced]);
                break;
            }
        }
    }
    if (NT_SUCCESS(status))
        status = KeWaitForMultipleObjects(count, waitables, waitType, UserRequest, UserMode, alertable, timeout, blocks);
    for (ULONG i = 0; i < referenced; i++) ObDereferenceObject(objects[i]);
    return status;
}

NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval)
{
    if (!interval) return STATUS_ACCESS_VIOLATION;
    return KeDelayExecutionThread(UserMode, alertable, interval);
}

NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime)
{
    if (!systemTime) return STATUS_ACCESS_VIOLATION;
    KeQuerySystemTime(systemTime);
    return STATUS_SUCCESS;
}

ULONG NtGetTickCount() { return static_cast<ULONG>(nt::ClockNow() / 1000000); }

NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency)
{
    if (!counter) return STATUS_ACCESS_VIOLATION;
    *counter = KeQueryPerformanceCounter(frequency);
    return STATUS_SUCCESS;
}

// ---- Threads ----

NTSTATUS NtCreateUserThread(PHANDLE handle, ULONG (*routine)(PVOID), PVOID context, BOOLEAN suspended,
                            PCLIENT_ID clientId)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    return PsCreateUserThread(PsGetCurrentProcess(), routine, context, handle, clientId, suspended);
}

NTSTATUS NtResumeThread(HANDLE thread, PULONG suspendCount)
{
    return WithThread(thread, THREAD_SUSPEND_RESUME, [&](PKTHREAD t) {
        ULONG previous;
        {
            Guard lock(DispatcherLock);
            previous = t->SuspendCount;
        }
        NTSTATUS status = PsResumeThread(t);
        if (suspendCount) *suspendCount = previous;
        return status;
    });
}

NTSTATUS NtSuspendThread(HANDLE thread, PULONG previousSuspendCount)
{
    return WithThread(thread, THREAD_SUSPEND_RESUME, [&](PKTHREAD t) {
        ULONG previous;
        {
            Guard lock(DispatcherLock);
            if (t->Terminated || t->TerminatePending) return NTSTATUS(STATUS_THREAD_IS_TERMINATING);
            if (t->SuspendCount >= MAXIMUM_SUSPEND_COUNT) return NTSTATUS(STATUS_SUSPEND_COUNT_EXCEEDED);
            previous = t->SuspendCount++;
        }
        if (previousSuspendCount) *previousSuspendCount = previous;
        if (t != Current()) return NTSTATUS(STATUS_SUCCESS);
        // A thread that suspends itself stops right here.
        Guard lock(DispatcherLock);
        return SafePointLocked(lock, t) ? NTSTATUS(STATUS_THREAD_TERMINATE_PENDING) : NTSTATUS(STATUS_SUCCESS);
    });
}

// A thread ends at its next safe point with 'exitStatus' as its exit code:
// at once when it waits, sleeps or is suspended (or was never started);
// otherwise at its next wait, delay or (in a host's client) call to the
// host. Only threads made by NtCreateUserThread can be ended so: a thread
// the kernel adopted (a process's first thread) has no top to unwind to.
NTSTATUS NtTerminateThread(HANDLE thread, NTSTATUS exitStatus)
{
    return WithThread(thread, THREAD_TERMINATE, [&](PKTHREAD t) {
        Guard lock(DispatcherLock);
        if (t->Terminated) return NTSTATUS(STATUS_SUCCESS);  // already ended: its exit code stays
        if (!t->UserThread) return NTSTATUS(STATUS_ACCESS_DENIED);
        if (!t->TerminatePending) {
            t->TerminatePending = TRUE;
            t->TerminateStatus = exitStatus;
        }
        if (t->Waiting && t->WaitMode == UserMode) {
            UnwaitLocked(t, STATUS_THREAD_TERMINATE_PENDING);
        } else if (t->HeldSuspended) {
            WakeLocked(t);
        } else if (t->StartPending) {
            t->StartPending = FALSE;
            t->SuspendCount = 0;
            WakeLocked(t);
        }
        return t == Current() ? NTSTATUS(STATUS_THREAD_TERMINATE_PENDING) : NTSTATUS(STATUS_SUCCESS);
    });
}

NTSTATUS NtSetThreadPriority(HANDLE thread, LONG priority)
{
    return WithThread(thread, THREAD_SET_INFORMATION, [&](PKTHREAD t) {
        KeSetBasePriorityThread(t, priority);
        return STATUS_SUCCESS;
    });
}

NTSTATUS NtGetExitCodeThread(HANDLE thread, PULONG exitCode)
{
    if (!exitCode) return STATUS_ACCESS_VIOLATION;
    return WithThread(thread, THREAD_QUERY_INFORMATION, [&](PKTHREAD t) {
        *exitCode = static_cast<ULONG>(PsGetThreadExitStatus(t));
        return STATUS_SUCCESS;
    });
}

NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    if (!routine) return STATUS_INVALID_PARAMETER;
    return WithThread(thread, THREAD_SET_CONTEXT, [&](PKTHREAD t) {
        if (PsGetThreadProcess(t) != PsGetCurrentProcess()) return STATUS_ACCESS_DENIED;
        return KeQueueUserApc(t, routine, context, arg1, arg2) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    });
}

NTSTATUS NtTestAlert()
{
    KeDeliverUserApcs();
    return STATUS_SUCCESS;
}

// Critical sections: recursive process-local locks. The fast path is one
// interlocked operation; a contended Enter waits on a kernel event made on
// first contention, so a blocked thread is a waiting thread to the machine
// clock (virtual time moves on while it waits).
//
// LockCount is -1 when free and counts the owner plus waiters less one.
// Only the owner sets the event, and a new owner must consume the signal
// before it can leave, so an auto-reset event never needs to count past one.
#include "w32_internal.h"

#include <cstdio>
#include <cstdlib>

namespace {

HANDLE OwnerToken() { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId())); }

HANDLE LockEvent(LPCRITICAL_SECTION cs)
{
    HANDLE event = __atomic_load_n(&cs->LockSemaphore, __ATOMIC_ACQUIRE);
    if (event) return event;
    HANDLE made = nullptr;
    NTSTATUS status = NtCreateEvent(&made, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "win32: critical section %p: no event for a contended wait (%s)\n",
                     static_cast<void*>(cs), NtStatusName(status));
        std::abort();
    }
    HANDLE expected = nullptr;
    if (!__atomic_compare_exchange_n(&cs->LockSemaphore, &expected, made, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        NtClose(made);  // another thread's event won
        return expected;
    }
    return made;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->LockSemaphore = nullptr;
    lpCriticalSection->SpinCount = 0;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    InitializeCriticalSection(lpCriticalSection);
    lpCriticalSection->SpinCount = dwSpinCount;
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    HANDLE me = OwnerToken();
    if (__atomic_add_fetch(&cs->LockCount, 1, __ATOMIC_ACQUIRE) != 0) {
        if (cs->OwningThread == me) {
            cs->RecursionCount++;
            return;
        }
        HANDLE event = LockEvent(cs);
        NTSTATUS status = NtWaitForSingleObject(event, FALSE, nullptr);
        if (status != STATUS_WAIT_0) {
            std::fprintf(stderr, "win32: critical section %p: wait failed (%s)\n", static_cast<void*>(cs),
                         NtStatusName(status));
            std::abort();
        }
    }
    cs->OwningThread = me;
    cs->RecursionCount = 1;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs)
{
    HANDLE me = OwnerToken();
    LONG expected = -1;
    if (__atomic_compare_exchange_n(&cs->LockCount, &expected, 0, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        cs->OwningThread = me;
        cs->RecursionCount = 1;
        return TRUE;
    }
    if (cs->OwningThread == me) {
        __atomic_add_fetch(&cs->LockCount, 1, __ATOMIC_RELAXED);
        cs->RecursionCount++;
        return TRUE;
    }
    return FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    if (cs->OwningThread != OwnerToken()) {
        // A real system corrupts the lock silently here; stop instead.
        std::fprintf(stderr, "win32: critical section %p left by a thread that does not own it\n",
                     static_cast<void*>(cs));
        std::abort();
    }
    if (--cs->RecursionCount > 0) {
        __atomic_sub_fetch(&cs->LockCount, 1, __ATOMIC_RELEASE);
        return;
    }
    cs->OwningThread = nullptr;
    if (__atomic_sub_fetch(&cs->LockCount, 1, __ATOMIC_RELEASE) >= 0) NtSetEvent(LockEvent(cs), nullptr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    if (cs->LockSemaphore) NtClose(cs->LockSemaphore);
    cs->LockSemaphore = nullptr;
    cs->LockCount = -1;
    cs->RecursionCount = 0;
    cs->OwningThread = nullptr;
}

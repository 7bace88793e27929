// Fast mutexes: a count that a free mutex holds at 1, and a
// synchronisation event the contenders wait on (through the kernel, so the
// machine clock sees them waiting). Acquire raises to APC_LEVEL; the unsafe
// forms leave IRQL to the caller. A fast mutex is not recursive: acquiring
// one the thread already owns would deadlock on a real system, and stops
// the machine here instead.
#include "nt_ex.h"

namespace {

void CheckNotOwner(PFAST_MUTEX m)
{
    if (m->Owner == KeGetCurrentThread()) KeBugCheckEx(MUTEX_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(m), 0, 0, 0);
}

void Acquire(PFAST_MUTEX m)
{
    CheckNotOwner(m);
    if (InterlockedDecrement(&m->Count) != 0) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&m->Contention));
        KeWaitForSingleObject(&m->Event, Executive, KernelMode, FALSE, nullptr);
    }
    m->Owner = KeGetCurrentThread();
}

void Release(PFAST_MUTEX m)
{
    if (m->Owner != KeGetCurrentThread())
        KeBugCheckEx(THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(m), 0, 0, 0);
    m->Owner = nullptr;
    if (InterlockedIncrement(&m->Count) != 1) KeSetEvent(&m->Event, 0, FALSE);
}

}  // namespace

void ExInitializeFastMutex(PFAST_MUTEX mutex)
{
    mutex->Count = 1;
    mutex->Owner = nullptr;
    mutex->Contention = 0;
    mutex->OldIrql = 0;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutex(PFAST_MUTEX mutex)
{
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    Acquire(mutex);
    mutex->OldIrql = old;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex)
{
    auto old = static_cast<KIRQL>(mutex->OldIrql);
    Release(mutex);
    KeLowerIrql(old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex)
{
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (InterlockedCompareExchange(&mutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    mutex->Owner = KeGetCurrentThread();
    mutex->OldIrql = old;
    return TRUE;
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex) { Acquire(mutex); }
void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex) { Release(mutex); }

// IRQL (per host thread) and spin locks. A KSPIN_LOCK word holds its
// owner's KTHREAD while held. Relies on the clock for contended spins: a
// spinner waiting on a thread that stalls in virtual time must not keep
// time from moving.
#include <thread>

#include "ke_internal.h"
#include "nt_ex.h"

namespace ki {

thread_local KIRQL CurrentIrql = PASSIVE_LEVEL;
thread_local bool OnInterruptContext = false;
std::atomic<int> InterruptsDeferred{0};

namespace {

inline ULONG_PTR Owner() { return reinterpret_cast<ULONG_PTR>(Current()); }

[[gnu::noinline]] void SpinContended(PKSPIN_LOCK lock, ULONG_PTR me)
{
    for (int i = 0; i < 2000; i++) {
        __builtin_ia32_pause();
        ULONG_PTR expected = 0;
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
    }
    if (OnInterruptContext) {
        for (;;) {
            ULONG_PTR expected = 0;
            if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
            ContextSpinStep();
        }
    }
    KTHREAD* self = reinterpret_cast<KTHREAD*>(me);
    bool counted = SpinBlockBegin(lock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) break;
        // A release counted this thread again but another took the lock.
        if (counted && !self->Blocker.spinning.load(std::memory_order_relaxed)) counted = SpinBlockBegin(lock);
        std::this_thread::yield();
    }
    SpinBlockEnd();
}

}  // namespace

bool TryAcquireSpinRaw(PKSPIN_LOCK lock)
{
    ULONG_PTR expected = 0;
    return __atomic_compare_exchange_n(lock, &expected, Owner(), false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED);
}

void AcquireSpinRaw(PKSPIN_LOCK lock)
{
    ULONG_PTR me = Owner();
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    if (expected == me) KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), me, 0, 0);
    SpinContended(lock, me);
}

void ReleaseSpinRaw(PKSPIN_LOCK lock)
{
    ULONG_PTR me = Owner();
    ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (held != me) KeBugCheckEx(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), held, me, 0);
    // Paired with the mark-then-recheck of the interrupt context and of
    // spinners: either they see the lock free or this release sees the mark
    // (and counts the spinners as running before this thread can block).
    __atomic_store_n(lock, 0, __ATOMIC_SEQ_CST);
    if (SpinnersUncounted.load(std::memory_order_seq_cst) != 0) RecountSpinners();
    if (InterruptsDeferred.load(std::memory_order_seq_cst) != 0) UndeferInterrupts();
}

}  // namespace ki

using namespace ki;

KIRQL KeGetCurrentIrql() { return CurrentIrql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    KIRQL current = CurrentIrql;
    if (newIrql < current) KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, current, newIrql, 0, 0);
    *oldIrql = current;
    CurrentIrql = newIrql;
}

void KeLowerIrql(KIRQL newIrql)
{
    KIRQL current = CurrentIrql;
    if (newIrql > current) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, current, newIrql, 0, 0);
    CurrentIrql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock)
{
    KIRQL current = CurrentIrql;
    if (current > DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, current, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(lock), 0);
    CurrentIrql = DISPATCH_LEVEL;
    AcquireSpinRaw(lock);
    return current;
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) { *oldIrql = KeAcquireSpinLockRaiseToDpc(lock); }

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL oldIrql)
{
    ReleaseSpinRaw(lock);
    KeLowerIrql(oldIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    KIRQL current = CurrentIrql;
    if (current < DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, current, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(lock), 0);
    AcquireSpinRaw(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) { ReleaseSpinRaw(lock); }

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    handle->Lock = lock;
    handle->OldIrql = KeAcquireSpinLockRaiseToDpc(lock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle) { KeReleaseSpinLock(handle->Lock, handle->OldIrql); }

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    handle->Lock = lock;
    handle->OldIrql = CurrentIrql;
    KeAcquireSpinLockAtDpcLevel(lock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle) { ReleaseSpinRaw(handle->Lock); }

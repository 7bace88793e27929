// Dispatcher objects and waits: events, semaphores, mutexes and mutants,
// KeWaitForSingleObject/Multiple and KeDelayExecutionThread. All state lives
// under DispatcherLock; a thread sleeps through the clock (BlockLocked) so a
// time-out is machine time.
#include "kd_trace.h"
#include "ke_internal.h"
#include "nt_ex.h"

using namespace ki;

namespace {

bool SignaledFor(DISPATCHER_HEADER* h, KTHREAD* t)
{
    if (h->Type == DispatcherMutant)
        return h->SignalState > 0 || reinterpret_cast<KMUTANT*>(h)->OwnerThread == t;
    return h->SignalState > 0;
}

// Takes what a satisfied wait takes from the object; true when it was an
// abandoned mutant.
bool Consume(DISPATCHER_HEADER* h, KTHREAD* t)
{
    switch (h->Type) {
    case DispatcherSynchronizationEvent:
    case DispatcherSynchronizationTimer:
        h->SignalState = 0;
        return false;
    case DispatcherSemaphore:
        h->SignalState--;
        return false;
    case DispatcherMutant: {
        auto m = reinterpret_cast<KMUTANT*>(h);
        if (--h->SignalState == 0) {
            m->OwnerThread = t;
            InsertTailList(&t->MutantListHead, &m->MutantListEntry);
            if (m->ApcDisable) t->KernelApcDisable--;
            bool abandoned = m->Abandoned;
            m->Abandoned = FALSE;
            return abandoned;
        }
        return false;
    }
    default:
        return false;
    }
}

void UnlinkWaitBlocks(KTHREAD* t)
{
    for (ULONG i = 0; i < t->WaitCount; i++) RemoveEntryList(&t->WaitBlockList[i].WaitListEntry);
    t->WaitCount = 0;
    t->Waiting = FALSE;
}

[[noreturn]] void NotOwner(KMUTANT* m)
{
    KeBugCheckEx(THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(KeGetCurrentThread()),
                 reinterpret_cast<ULONG_PTR>(m), reinterpret_cast<ULONG_PTR>(m->OwnerThread), 0);
}

void CheckSignalIrql(PVOID object)
{
    if (CurrentIrql > DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), CurrentIrql, 0, 0);
}

// Gives a mutant back; false when the caller does not own it.
bool ReleaseMutantLocked(KMUTANT* m, KTHREAD* t, LONG* previous)
{
    if (m->OwnerThread != t || m->Header.SignalState > 0) return false;
    *previous = m->Header.SignalState;
    if (++m->Header.SignalState == 1) {
        RemoveEntryList(&m->MutantListEntry);
        m->OwnerThread = nullptr;
        if (m->ApcDisable) t->KernelApcDisable++;
        WaitTestLocked(&m->Header);
    }
    return true;
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, UCHAR sizeBytes, LONG state)
{
    h->Type = type;
    h->Absolute = 0;
    h->Size = static_cast<UCHAR>(sizeBytes / sizeof(LONG));
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

// The common wait. 'delay' waits on nothing and returns STATUS_SUCCESS when
// the interval has passed.
NTSTATUS Wait(ULONG count, PVOID objects[], WAIT_TYPE waitType, KPROCESSOR_MODE mode, BOOLEAN alertable,
              PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks, bool delay)
{
    bool mayBlock = !timeout || timeout->QuadPart != 0;
    KIRQL irql = CurrentIrql;
    if (OnInterruptContext && mayBlock)
        KeBugCheckEx(ATTEMPTED_SWITCH_FROM_DPC, reinterpret_cast<ULONG_PTR>(count ? objects[0] : nullptr), irql, 0,
                     0);
    if (irql > DISPATCH_LEVEL || (mayBlock && irql >= DISPATCH_LEVEL))
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(count ? objects[0] : nullptr), irql, 0,
                     0);
    KTHREAD* t = Current();
    if (count > THREAD_WAIT_OBJECTS && !blocks) KeBugCheckEx(MAXIMUM_WAIT_OBJECTS_EXCEEDED, count, 0, 0, 0);
    if (count > MAXIMUM_WAIT_OBJECTS) KeBugCheckEx(MAXIMUM_WAIT_OBJECTS_EXCEEDED, count, 0, 0, 0);
    if (!blocks) blocks = t->WaitBlock;
    uint64_t deadline = timeout ? DeadlineFromTimeout(timeout->QuadPart) : NoDeadline;
    bool userAlertable = alertable && mode == UserMode;

    Guard lock(DispatcherLock);
    // A user-mode wait is a safe point: a suspended thread stops before it
    // and after it, a terminated one ends there.
    if (mode == UserMode && SafePointLocked(lock, t)) return STATUS_THREAD_TERMINATE_PENDING;
    if (userAlertable && !t->UserApcs.empty()) {
        lock.unlock();
        KeDeliverUserApcs();
        return STATUS_USER_APC;
    }
    auto header = [&](ULONG i) { return static_cast<DISPATCHER_HEADER*>(objects[i]); };
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; i++) {
            if (SignaledFor(header(i), t))
                return static_cast<NTSTATUS>((Consume(header(i), t) ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + i);
        }
    } else if (count > 0) {
        bool all = true;
        for (ULONG i = 0; i < count && all; i++) all = SignaledFor(header(i), t);
        if (all) {
            bool abandoned = false;
            for (ULONG i = 0; i < count; i++) abandoned |= Consume(header(i), t);
            return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
        }
    }
    NTSTATUS expired = delay ? STATUS_SUCCESS : STATUS_TIMEOUT;
    if (!mayBlock) return expired;

    for (ULONG i = 0; i < count; i++) {
        KWAIT_BLOCK& b = blocks[i];
        b.Thread = t;
        b.Object = objects[i];
        b.NextWaitBlock = i + 1 < count ? &blocks[i + 1] : &blocks[0];
        b.WaitKey = static_cast<USHORT>(i);
        b.WaitType = static_cast<USHORT>(waitType);
        InsertTailList(&header(i)->WaitListHead, &b.WaitListEntry);
    }
    t->WaitBlockList = blocks;
    t->WaitCount = count;
    t->Waiting = TRUE;
    t->WaitSatisfied = FALSE;
    t->Alertable = alertable;
    t->WaitMode = mode;
    BlockLocked(lock, t, deadline);
    if (!t->WaitSatisfied) UnlinkWaitBlocks(t);
    if (mode == UserMode && SafePointLocked(lock, t)) return STATUS_THREAD_TERMINATE_PENDING;
    if (!t->WaitSatisfied) return expired;
    NTSTATUS status = t->WaitStatus;
    if (status == STATUS_USER_APC) {
        lock.unlock();
        KeDeliverUserApcs();
    }
    return status;
}

}  // namespace

// ---- Dispatcher core ----

void ki::UnwaitLocked(KTHREAD* t, NTSTATUS status)
{
    UnlinkWaitBlocks(t);
    t->WaitStatus = status;
    t->WaitSatisfied = TRUE;
    WakeLocked(t);
}

void ki::WaitTestLocked(DISPATCHER_HEADER* object)
{
    PLIST_ENTRY head = &object->WaitListHead;
restart:
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        if (object->SignalState <= 0) return;
        KWAIT_BLOCK* b = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
        KTHREAD* t = b->Thread;
        if (b->WaitType == WaitAny) {
            if (!SignaledFor(object, t)) continue;
            bool abandoned = Consume(object, t);
            UnwaitLocked(t, static_cast<NTSTATUS>((abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) +
                                                  b->WaitKey));
            goto restart;
        }
        bool all = true;
        for (ULONG i = 0; i < t->WaitCount && all; i++)
            all = SignaledFor(static_cast<DISPATCHER_HEADER*>(t->WaitBlockList[i].Object), t);
        if (!all) continue;
        bool abandoned = false;
        for (ULONG i = 0; i < t->WaitCount; i++)
            abandoned |= Consume(static_cast<DISPATCHER_HEADER*>(t->WaitBlockList[i].Object), t);
        UnwaitLocked(t, abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0);
        goto restart;
    }
}

void ki::AbandonMutantsLocked(KTHREAD* t)
{
    while (!IsListEmpty(&t->MutantListHead)) {
        KMUTANT* m = CONTAINING_RECORD(RemoveHeadList(&t->MutantListHead), KMUTANT, MutantListEntry);
        m->OwnerThread = nullptr;
        m->Abandoned = TRUE;
        m->Header.SignalState = 1;
        WaitTestLocked(&m->Header);
    }
}

void KiSignalObject(DISPATCHER_HEADER* object, LONG signalState)
{
    Guard lock(DispatcherLock);
    object->SignalState = signalState;
    if (signalState > 0) WaitTestLocked(object);
}

// ---- Events ----

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    InitHeader(&event->Header,
               type == SynchronizationEvent ? DispatcherSynchronizationEvent : DispatcherNotificationEvent,
               sizeof(KEVENT), state ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN)
{
    CheckSignalIrql(event);
    Guard lock(DispatcherLock);
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 1;
    if (old == 0) WaitTestLocked(&event->Header);
    return old;
}

LONG KeResetEvent(PRKEVENT event)
{
    CheckSignalIrql(event);
    Guard lock(DispatcherLock);
    LONG old = event->Header.SignalState;
    event->Header.SignalState = 0;
    return old;
}

void KeClearEvent(PRKEVENT event) { __atomic_store_n(&event->Header.SignalState, 0, __ATOMIC_SEQ_CST); }

LONG KePulseEvent(PRKEVENT event, KPRIORITY, BOOLEAN)
{
    CheckSignalIrql(event);
    Guard lock(DispatcherLock);
    LONG old = event->Header.SignalState;
    if (old == 0) {
        event->Header.SignalState = 1;
        WaitTestLocked(&event->Header);
    }
    event->Header.SignalState = 0;
    return old;
}

LONG KeReadStateEvent(PRKEVENT event) { return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST); }

// ---- Semaphores ----

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit)
{
    InitHeader(&semaphore->Header, DispatcherSemaphore, sizeof(KSEMAPHORE), count);
    semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN)
{
    CheckSignalIrql(semaphore);
    Guard lock(DispatcherLock);
    LONG old = semaphore->Header.SignalState;
    LONG next = static_cast<LONG>(static_cast<ULONG>(old) + static_cast<ULONG>(adjustment));
    if (next > semaphore->Limit || next < old) {
        // ExRaiseStatus leaves by a non-local jump: nothing may stay locked.
        lock.unlock();
        ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    }
    semaphore->Header.SignalState = next;
    if (old == 0 && next > 0) WaitTestLocked(&semaphore->Header);
    return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore)
{
    return __atomic_load_n(&semaphore->Header.SignalState, __ATOMIC_SEQ_CST);
}

// ---- Mutexes and mutants ----

void KeInitializeMutex(PRKMUTEX mutex, ULONG)
{
    InitHeader(&mutex->Header, DispatcherMutant, sizeof(KMUTANT), 1);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
    mutex->ApcDisable = 1;
    mutex->MutantListEntry.Flink = mutex->MutantListEntry.Blink = nullptr;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN)
{
    CheckSignalIrql(mutex);
    KTHREAD* t = Current();
    LONG previous = 0;
    {
        Guard lock(DispatcherLock);
        if (ReleaseMutantLocked(mutex, t, &previous)) return previous;
    }
    NotOwner(mutex);
}

LONG KeReadStateMutex(PRKMUTEX mutex) { return __atomic_load_n(&mutex->Header.SignalState, __ATOMIC_SEQ_CST); }

void KeInitializeMutant(PKMUTANT mutant, BOOLEAN initialOwner)
{
    InitHeader(&mutant->Header, DispatcherMutant, sizeof(KMUTANT), 1);
    mutant->OwnerThread = nullptr;
    mutant->Abandoned = FALSE;
    mutant->ApcDisable = 0;
    mutant->MutantListEntry.Flink = mutant->MutantListEntry.Blink = nullptr;
    if (initialOwner) {
        KTHREAD* t = Current();
        Guard lock(DispatcherLock);
        Consume(&mutant->Header, t);
    }
}

NTSTATUS KeReleaseMutant(PKMUTANT mutant, PLONG previousCount)
{
    KTHREAD* t = Current();
    Guard lock(DispatcherLock);
    LONG previous = 0;
    if (!ReleaseMutantLocked(mutant, t, &previous)) return STATUS_MUTANT_NOT_OWNED;
    if (previousCount) *previousCount = previous;
    return STATUS_SUCCESS;
}

// ---- Waits ----

// The common wait, with a trace line before and after when waits are traced.
NTSTATUS TracedWait(ULONG count, PVOID objects[], WAIT_TYPE waitType, KPROCESSOR_MODE mode, BOOLEAN alertable,
                    PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks, bool delay)
{
    if (!KdTracing(KD_TRACE_WAIT)) return Wait(count, objects, waitType, mode, alertable, timeout, blocks, delay);
    PVOID first = count != 0 ? objects[0] : nullptr;
    KdTraceWaitBegin(count, first, delay);
    NTSTATUS status = Wait(count, objects, waitType, mode, alertable, timeout, blocks, delay);
    KdTraceWaitEnd(first, status);
    return status;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout)
{
    PVOID objects[1] = {object};
    return TracedWait(1, objects, WaitAny, mode, alertable, timeout, nullptr, false);
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray)
{
    if (count == 0) return STATUS_INVALID_PARAMETER;
    return TracedWait(count, objects, waitType, mode, alertable, timeout, waitBlockArray, false);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval)
{
    if (!interval) return STATUS_INVALID_PARAMETER;
    return TracedWait(0, nullptr, WaitAny, mode, alertable, interval, nullptr, true);
}

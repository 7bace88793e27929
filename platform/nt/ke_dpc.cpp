// Deferred procedure calls: one machine-wide queue (DispatcherLock) drained
// in order by the interrupt context at DISPATCH_LEVEL after interrupts.
#include "kd_trace.h"
#include "ke_internal.h"
#include "nt_ex.h"

using namespace ki;

namespace {

enum : UCHAR { DpcObjectType = 0x13 };

LIST_ENTRY g_queue{&g_queue, &g_queue};

void SetFlushEvent(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }

}  // namespace

BOOLEAN ki::InsertQueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2)
{
    if (dpc->DpcData) return FALSE;
    dpc->DpcData = 1;
    // Charged to the interrupt (or DPC) that queued it; Number is free here,
    // with one processor.
    dpc->Number = OnInterruptContext ? RunTimeSource : 0;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    if (dpc->Importance == HighImportance)
        InsertHeadList(&g_queue, &dpc->DpcListEntry);
    else
        InsertTailList(&g_queue, &dpc->DpcListEntry);
    KickContextLocked();
    return TRUE;
}

bool ki::DpcQueuedLocked() { return !IsListEmpty(&g_queue); }

void ki::RunDpcLocked(Guard& lock)
{
    PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&g_queue), KDPC, DpcListEntry);
    // Copied before the routine runs: once dequeued the DPC may be queued
    // again (or freed) by anyone, including its own routine.
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
    USHORT source = dpc->Number;
    dpc->DpcData = 0;
    lock.unlock();
    CurrentIrql = DISPATCH_LEVEL;
    if (KdTracing(KD_TRACE_DPC)) KdTraceDpc(dpc, reinterpret_cast<PVOID>(routine));
    const RunTimeStamp started = RunTimeNow();
    RunTimeSource = source;
    routine(dpc, context, arg1, arg2);
    RunTimeSource = 0;
    AccountDpc(source, started);
    if (CurrentIrql != DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(routine), 0);
    lock.lock();
}

void ki::ClearDpcQueueLocked()
{
    while (!IsListEmpty(&g_queue)) CONTAINING_RECORD(RemoveHeadList(&g_queue), KDPC, DpcListEntry)->DpcData = 0;
}

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    dpc->Type = DpcObjectType;
    dpc->Importance = MediumImportance;
    dpc->Number = 0;
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
    dpc->DpcData = 0;
}

void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance) { dpc->Importance = static_cast<UCHAR>(importance); }

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2)
{
    Guard lock(DispatcherLock);
    return InsertQueueDpcLocked(dpc, arg1, arg2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    Guard lock(DispatcherLock);
    if (!dpc->DpcData) return FALSE;
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = 0;
    return TRUE;
}

void KeFlushQueuedDpcs()
{
    if (OnInterruptContext || CurrentIrql >= DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, 0, 0);
    {
        Guard lock(DispatcherLock);
        if (!ClockRunningLocked()) return;  // no context: nothing will run them
    }
    // A marker queued behind everything queued so far: when it runs, they
    // have run (the context runs one DPC at a time).
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KDPC marker;
    KeInitializeDpc(&marker, SetFlushEvent, &done);
    KeSetImportanceDpc(&marker, LowImportance);
    KeInsertQueueDpc(&marker, nullptr, nullptr);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

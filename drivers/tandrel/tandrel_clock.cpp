// The master-clock stream object: one per board, fed by the board's master
// clock once a field. It keeps the fields' times (a ring of the last 32,
// extrapolated beyond), runs field timers, calls its per-field listeners
// (the master-clock device and the reader proxy) and sets periodic events.

#include "tandrel_driver.h"

namespace {

constexpr ULONG kHistory = 32;
constexpr USHORT kTimerDepth = 32;

struct TANDREL_MASTER_RECORD {
    ULONGLONG Time;
    ULONG Rate;
    ULONG Reserved;
};
static_assert(sizeof(TANDREL_MASTER_RECORD) == 16);

void RunTimers(TANDREL_CLOCK_STREAM* clock, ULONG field)
{
    LIST_ENTRY due;
    InitializeListHead(&due);
    for (PLIST_ENTRY e = clock->Timers.Flink; e != &clock->Timers;) {
        PLIST_ENTRY next = e->Flink;
        auto* timer = CONTAINING_RECORD(e, TANDREL_CLOCK_TIMER, Link);
        if (LONG(timer->Due - field) <= 0) {
            RemoveEntryList(e);
            InsertTailList(&due, e);
        }
        e = next;
    }
    while (!IsListEmpty(&due)) {
        auto* timer = CONTAINING_RECORD(RemoveHeadList(&due), TANDREL_CLOCK_TIMER, Link);
        InitializeListHead(&timer->Link);
        timer->Callback(timer->Context);
        TandrelLookasideFree(&clock->TimerLookaside, timer);
    }
}

}  // namespace

TANDREL_CLOCK_STREAM* TandrelClockCreate(const TANDREL_STREAM_VALUES& stream)
{
    auto* clock = static_cast<TANDREL_CLOCK_STREAM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TANDREL_CLOCK_STREAM), TANDREL_TAG));
    if (clock == nullptr) return nullptr;
    RtlZeroMemory(clock, sizeof(*clock));
    clock->Name = "MasterClockStream";
    KeInitializeSpinLock(&clock->Lock);
    clock->Stream = stream;
    clock->Rate = stream.Rate;
    ExInitializeNPagedLookasideList(&clock->TimerLookaside, nullptr, nullptr, 0, sizeof(TANDREL_CLOCK_TIMER),
                                    TANDREL_TAG_CLOCK, kTimerDepth);
    InitializeListHead(&clock->Timers);
    InitializeListHead(&clock->Listeners);
    InitializeListHead(&clock->Periodic);
    return clock;
}

void TandrelClockDelete(TANDREL_CLOCK_STREAM* clock)
{
    if (clock == nullptr) return;
    // Devices cancelled their timers and left; what remains is freed.
    while (!IsListEmpty(&clock->Timers))
        TandrelLookasideFree(&clock->TimerLookaside, CONTAINING_RECORD(RemoveHeadList(&clock->Timers), TANDREL_CLOCK_TIMER, Link));
    while (!IsListEmpty(&clock->Periodic)) {
        auto* p = CONTAINING_RECORD(RemoveHeadList(&clock->Periodic), TANDREL_PERIODIC, Link);
        ObDereferenceObject(p->Event);
        ExFreePoolWithTag(p, TANDREL_TAG);
    }
    ExDeleteNPagedLookasideList(&clock->TimerLookaside);
    ExFreePoolWithTag(clock, TANDREL_TAG);
}

uint32_t TandrelClockBoardCallback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out)
{
    auto* clock = static_cast<TANDREL_CLOCK_STREAM*>(context);
    if ((in != 8 && in != 16) || out != 0) return 0;
    TANDREL_MASTER_RECORD record{};
    RtlCopyMemory(&record, data, in);
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    if (in == 16 && record.Rate != 0) {
        clock->Rate = record.Rate;
        for (PLIST_ENTRY e = clock->Listeners.Flink; e != &clock->Listeners; e = e->Flink)
            CONTAINING_RECORD(e, TANDREL_CLOCK_LISTENER, Link)->PendingRate = record.Rate;
    }
    if (clock->Active) {
        clock->PreviousField = clock->LastField;
        clock->PreviousTime = clock->LastTime;
        clock->HavePrevious = clock->HaveLast;
        clock->LastField = field;
        clock->LastTime = record.Time;
        clock->HaveLast = TRUE;
        auto& slot = clock->History[field % kHistory];
        slot.Field = field;
        slot.Time = record.Time;
        slot.Used = TRUE;
        ++clock->Fields;
        RunTimers(clock, field);
        for (PLIST_ENTRY e = clock->Listeners.Flink; e != &clock->Listeners;) {
            PLIST_ENTRY next = e->Flink;
            auto* listener = CONTAINING_RECORD(e, TANDREL_CLOCK_LISTENER, Link);
            const ULONG rate = listener->PendingRate;
            listener->PendingRate = 0;
            listener->Callback(listener->Context, field, rate);
            e = next;
        }
        for (PLIST_ENTRY e = clock->Periodic.Flink; e != &clock->Periodic; e = e->Flink) {
            auto* p = CONTAINING_RECORD(e, TANDREL_PERIODIC, Link);
            if (p->Period < 2 || field % p->Period == p->Phase) KeSetEvent(p->Event, TANDREL_EVENT_INCREMENT, FALSE);
        }
    }
    KeReleaseSpinLock(&clock->Lock, old);
    return 1;
}

TANDREL_CLOCK_TIMER* TandrelClockSetTimer(TANDREL_CLOCK_STREAM* clock, ULONG due, void (*callback)(PVOID), PVOID context)
{
    if (clock->HaveLast && LONG(due - clock->LastField) <= 0) return nullptr;
    auto* timer = static_cast<TANDREL_CLOCK_TIMER*>(TandrelLookasideAllocate(&clock->TimerLookaside));
    if (timer == nullptr) return nullptr;
    timer->Due = due;
    timer->Callback = callback;
    timer->Context = context;
    timer->Unused = 0;
    InsertTailList(&clock->Timers, &timer->Link);
    return timer;
}

void TandrelClockCancelTimer(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_TIMER* timer)
{
    if (timer == nullptr) return;
    RemoveEntryList(&timer->Link);
    TandrelLookasideFree(&clock->TimerLookaside, timer);
}

void TandrelClockAddListener(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_LISTENER* listener)
{
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    listener->PendingRate = 0;
    InsertTailList(&clock->Listeners, &listener->Link);
    KeReleaseSpinLock(&clock->Lock, old);
}

void TandrelClockRemoveListener(TANDREL_CLOCK_STREAM* clock, TANDREL_CLOCK_LISTENER* listener)
{
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    RemoveEntryList(&listener->Link);
    InitializeListHead(&listener->Link);
    KeReleaseSpinLock(&clock->Lock, old);
}

ULONGLONG TandrelClockTimeOfField(TANDREL_CLOCK_STREAM* clock, ULONG field)
{
    const auto& slot = clock->History[field % kHistory];
    if (slot.Used && slot.Field == field) return slot.Time;
    if (!clock->HaveLast || !clock->HavePrevious) return clock->LastTime;
    // Extrapolated from the last two fields.
    const LONGLONG step = LONGLONG(clock->LastTime - clock->PreviousTime) / LONGLONG(LONG(clock->LastField - clock->PreviousField) == 0 ? 1 : LONG(clock->LastField - clock->PreviousField));
    return ULONGLONG(LONGLONG(clock->LastTime) + LONGLONG(LONG(field - clock->LastField)) * step);
}

NTSTATUS TandrelClockEnablePeriodic(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner, PKEVENT event, USHORT period,
                                    USHORT phase)
{
    auto* p = static_cast<TANDREL_PERIODIC*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TANDREL_PERIODIC), TANDREL_TAG));
    if (p == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    p->Owner = owner;
    p->Event = event;
    p->Period = period;
    p->Phase = phase;
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    InsertTailList(&clock->Periodic, &p->Link);
    KeReleaseSpinLock(&clock->Lock, old);
    return STATUS_SUCCESS;
}

NTSTATUS TandrelClockDisablePeriodic(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner, ULONG handle, PIRP irp)
{
    PKEVENT event = nullptr;
    NTSTATUS status = TandrelReferenceEvent(handle, irp, &event);
    if (!NT_SUCCESS(status)) return status;
    TANDREL_PERIODIC* found = nullptr;
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    for (PLIST_ENTRY e = clock->Periodic.Flink; e != &clock->Periodic; e = e->Flink) {
        auto* p = CONTAINING_RECORD(e, TANDREL_PERIODIC, Link);
        if (p->Owner == owner && p->Event == event) {
            RemoveEntryList(e);
            found = p;
            break;
        }
    }
    KeReleaseSpinLock(&clock->Lock, old);
    ObDereferenceObject(event);
    if (found == nullptr) return STATUS_UNSUCCESSFUL;
    ObDereferenceObject(found->Event);
    ExFreePoolWithTag(found, TANDREL_TAG);
    return STATUS_SUCCESS;
}

void TandrelClockRemoveOwner(TANDREL_CLOCK_STREAM* clock, PFILE_OBJECT owner)
{
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    KIRQL old;
    KeAcquireSpinLock(&clock->Lock, &old);
    for (PLIST_ENTRY e = clock->Periodic.Flink; e != &clock->Periodic;) {
        PLIST_ENTRY next = e->Flink;
        if (CONTAINING_RECORD(e, TANDREL_PERIODIC, Link)->Owner == owner) {
            RemoveEntryList(e);
            InsertTailList(&gone, e);
        }
        e = next;
    }
    KeReleaseSpinLock(&clock->Lock, old);
    while (!IsListEmpty(&gone)) {
        auto* p = CONTAINING_RECORD(RemoveHeadList(&gone), TANDREL_PERIODIC, Link);
        ObDereferenceObject(p->Event);
        ExFreePoolWithTag(p, TANDREL_TAG);
    }
}

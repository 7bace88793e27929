// The trigger set of a device: events set on a computed field, with a lead
// per event (start and stop lists, frame events, deck commands), and the
// periodic events and poll triggers the control codes switch on and off.

#include <algorithm>

#include "tandrel_driver.h"

namespace {

constexpr USHORT kTriggerDepth = 32;

ULONG ListOfKind(ULONG kind) { return kind <= TANDREL_EVENT_ON_FRAME ? kind : ULONG(TRIG_COMMAND); }

// Under the clock and device locks: the node leaves its list; its event is
// released later at PASSIVE_LEVEL.
void DropNode(PTANDREL_EXTENSION ext, TANDREL_TRIGGER* node)
{
    RemoveEntryList(&node->Link);
    if (node->Timer != nullptr) TandrelClockCancelTimer(ext->Clock, node->Timer);
    HoldForRelease(ext, node->Event);
    TandrelLookasideFree(&ext->Triggers.Lookaside, node);
}

// A node's timer ran (clock lock held): its event is set and it is done.
void TriggerFired(PVOID context)
{
    auto* node = static_cast<TANDREL_TRIGGER*>(context);
    PTANDREL_EXTENSION ext = node->Ext;
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    node->Timer = nullptr;
    KeSetEvent(node->Event, node->Increment, FALSE);
    DropNode(ext, node);
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
}

// Places the node's timer at 'due'; a node that cannot be placed after now
// is removed without being set.
void Place(PTANDREL_EXTENSION ext, TANDREL_TRIGGER* node, ULONG due)
{
    if (node->Timer != nullptr) TandrelClockCancelTimer(ext->Clock, node->Timer);
    node->Timer = TandrelClockSetTimer(ext->Clock, due, TriggerFired, node);
    if (node->Timer == nullptr) DropNode(ext, node);
}

}  // namespace

void TandrelTriggersInitialize(PTANDREL_EXTENSION ext)
{
    ExInitializeNPagedLookasideList(&ext->Triggers.Lookaside, nullptr, nullptr, 0, sizeof(TANDREL_TRIGGER),
                                    TANDREL_TAG_TRIGGER, kTriggerDepth);
    for (LIST_ENTRY& list : ext->Triggers.Lists) InitializeListHead(&list);
    ext->Triggers.FrameListChanged = FALSE;
}

void TandrelTriggersDelete(PTANDREL_EXTENSION ext)
{
    {
        TandrelLocks locks(ext);
        for (LIST_ENTRY& list : ext->Triggers.Lists)
            while (!IsListEmpty(&list)) DropNode(ext, CONTAINING_RECORD(list.Flink, TANDREL_TRIGGER, Link));
    }
    ReleaseHeld(ext);
    ExDeleteNPagedLookasideList(&ext->Triggers.Lookaside);
}

NTSTATUS TandrelTriggerAdd(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event, ULONG lead, ULONG frame, KPRIORITY increment)
{
    auto* node = static_cast<TANDREL_TRIGGER*>(TandrelLookasideAllocate(&ext->Triggers.Lookaside));
    if (node == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    node->Ext = ext;
    node->Event = event;
    node->Increment = increment;
    node->Kind = kind;
    node->Lead = lead;
    node->Frame = frame;
    node->Timer = nullptr;
    InsertTailList(&ext->Triggers.Lists[ListOfKind(kind)], &node->Link);
    if (kind == TANDREL_EVENT_ON_FRAME) ext->Triggers.FrameListChanged = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelTriggerRemove(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event)
{
    PLIST_ENTRY list = &ext->Triggers.Lists[ListOfKind(kind)];
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
        auto* node = CONTAINING_RECORD(e, TANDREL_TRIGGER, Link);
        if (node->Kind != kind || node->Event != event) continue;
        DropNode(ext, node);
        if (kind == TANDREL_EVENT_ON_FRAME) ext->Triggers.FrameListChanged = TRUE;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

void TandrelScheduleList(PTANDREL_EXTENSION ext, ULONG list)
{
    PLIST_ENTRY head = &ext->Triggers.Lists[list];
    if (IsListEmpty(head)) return;
    // Leads are signed: a reader behind the master count sets its events late.
    LONG largest = LONG(CONTAINING_RECORD(head->Flink, TANDREL_TRIGGER, Link)->Lead);
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink)
        largest = std::max(largest, LONG(CONTAINING_RECORD(e, TANDREL_TRIGGER, Link)->Lead));
    // The first field of a frame (an even field) after now plus the lead.
    const ULONG ready = TandrelClockNow(ext->Clock) + ULONG(largest);
    const ULONG target = (ready & 1) ? ready + 1 : ready + 2;
    for (PLIST_ENTRY e = head->Flink; e != head;) {
        PLIST_ENTRY next = e->Flink;
        auto* node = CONTAINING_RECORD(e, TANDREL_TRIGGER, Link);
        Place(ext, node, target - node->Lead);
        e = next;
    }
}

void TandrelCancelFrameTimers(PTANDREL_EXTENSION ext)
{
    PLIST_ENTRY head = &ext->Triggers.Lists[TRIG_FRAME];
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        auto* node = CONTAINING_RECORD(e, TANDREL_TRIGGER, Link);
        TandrelClockCancelTimer(ext->Clock, node->Timer);
        node->Timer = nullptr;
    }
}

void TandrelRescheduleFrames(PTANDREL_EXTENSION ext, ULONG currentField, LONG frameCount, LONG framesPerDay)
{
    ext->Triggers.FrameListChanged = FALSE;
    TandrelCancelFrameTimers(ext);
    const ULONG base = currentField & ~1u;
    PLIST_ENTRY head = &ext->Triggers.Lists[TRIG_FRAME];
    for (PLIST_ENTRY e = head->Flink; e != head;) {
        PLIST_ENTRY next = e->Flink;
        auto* node = CONTAINING_RECORD(e, TANDREL_TRIGGER, Link);
        LONGLONG d = LONGLONG(LONG(node->Frame)) - frameCount;
        if (framesPerDay > 0) {
            // A time code's frame comes round once a day: the next time it does.
            d %= framesPerDay;
            if (d <= 0) d += framesPerDay;
        }
        Place(ext, node, ULONG(base + 2 * d) - node->Lead);
        e = next;
    }
}

void TandrelFireCommand(PTANDREL_EXTENSION ext, ULONG kind)
{
    PLIST_ENTRY head = &ext->Triggers.Lists[TRIG_COMMAND];
    for (PLIST_ENTRY e = head->Flink; e != head;) {
        PLIST_ENTRY next = e->Flink;
        auto* node = CONTAINING_RECORD(e, TANDREL_TRIGGER, Link);
        if (node->Kind == kind) {
            KeSetEvent(node->Event, node->Increment, FALSE);
            DropNode(ext, node);
        }
        e = next;
    }
}

BOOLEAN TandrelKindAllowed(PTANDREL_EXTENSION ext, ULONG kind)
{
    if (kind >= TANDREL_EVENT_KINDS) return FALSE;
    // A field counter never starts or stops.
    if (ext->Class->ClassBit == TANDREL_CLASS_FIELD_COUNT) return kind >= TANDREL_EVENT_ON_FRAME;
    return TRUE;
}

NTSTATUS TandrelSetEventDirect(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event, ULONG lead, ULONG frame, KPRIORITY increment)
{
    if (!TandrelKindAllowed(ext, kind)) return STATUS_INVALID_PARAMETER;
    TandrelLocks locks(ext);
    return TandrelTriggerAdd(ext, kind, event, lead, frame, increment);
}

NTSTATUS TandrelCancelEventDirect(PTANDREL_EXTENSION ext, ULONG kind, PKEVENT event)
{
    if (!TandrelKindAllowed(ext, kind)) return STATUS_INVALID_PARAMETER;
    TandrelLocks locks(ext);
    return TandrelTriggerRemove(ext, kind, event);
}

// ---- poll triggers ----

void TandrelPollTriggers(PTANDREL_EXTENSION ext, ULONG changes)
{
    if (changes == 0) return;
    for (PLIST_ENTRY e = ext->Polls.Flink; e != &ext->Polls; e = e->Flink) {
        auto* poll = CONTAINING_RECORD(e, TANDREL_POLL, Link);
        if (poll->Mask & changes) KeSetEvent(poll->Event, TANDREL_EVENT_INCREMENT, FALSE);
    }
}

void TandrelRemovePolls(PTANDREL_EXTENSION ext, PFILE_OBJECT owner)
{
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    {
        TandrelLocks locks(ext);
        for (PLIST_ENTRY e = ext->Polls.Flink; e != &ext->Polls;) {
            PLIST_ENTRY next = e->Flink;
            if (owner == nullptr || CONTAINING_RECORD(e, TANDREL_POLL, Link)->Owner == owner) {
                RemoveEntryList(e);
                InsertTailList(&gone, e);
            }
            e = next;
        }
    }
    while (!IsListEmpty(&gone)) {
        auto* poll = CONTAINING_RECORD(RemoveHeadList(&gone), TANDREL_POLL, Link);
        ObDereferenceObject(poll->Event);
        ExFreePoolWithTag(poll, TANDREL_TAG);
    }
}

// ---- control handlers ----

NTSTATUS TandrelOnSetEvent(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_EVENT_REQUEST request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (!TandrelKindAllowed(ext, request.Kind)) return STATUS_INVALID_PARAMETER;
    PKEVENT event = nullptr;
    NTSTATUS status = TandrelReferenceEvent(request.Event, irp, &event);
    if (!NT_SUCCESS(status)) return status;
    status = TandrelSetEventDirect(ext, request.Kind, event, request.Lead, request.Frame, TANDREL_EVENT_INCREMENT);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(event);
        return status;
    }
    irp->IoStatus.Information = sizeof request;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelOnCancelEvent(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_EVENT_CANCEL request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (!TandrelKindAllowed(ext, request.Kind)) return STATUS_INVALID_PARAMETER;
    PKEVENT event = nullptr;
    NTSTATUS status = TandrelReferenceEvent(request.Event, irp, &event);
    if (!NT_SUCCESS(status)) return status;
    status = TandrelCancelEventDirect(ext, request.Kind, event);
    ObDereferenceObject(event);
    if (NT_SUCCESS(status)) irp->IoStatus.Information = sizeof request;
    return status;
}

NTSTATUS TandrelOnEnablePeriodic(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_PERIODIC_EVENT request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (request.Period == 0 || request.Phase >= request.Period) return STATUS_INVALID_PARAMETER;
    PKEVENT event = nullptr;
    NTSTATUS status = TandrelReferenceEvent(request.Event, irp, &event);
    if (!NT_SUCCESS(status)) return status;
    status = TandrelClockEnablePeriodic(ext->Clock, TandrelFile(irp), event, request.Period, request.Phase);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(event);
        return status;
    }
    irp->IoStatus.Information = sizeof request;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelOnDisablePeriodic(PTANDREL_EXTENSION ext, PIRP irp)
{
    NTSTATUS status = TandrelClockDisablePeriodic(ext->Clock, TandrelFile(irp), *static_cast<PULONG>(TandrelBuffer(irp)), irp);
    if (NT_SUCCESS(status)) irp->IoStatus.Information = 4;
    return status;
}

NTSTATUS TandrelOnEnablePoll(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_POLL_TRIGGER request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (request.Event == 0 || request.Mask == 0) return STATUS_INVALID_PARAMETER;
    PKEVENT event = nullptr;
    NTSTATUS status = TandrelReferenceEvent(request.Event, irp, &event);
    if (!NT_SUCCESS(status)) return status;
    auto* poll = static_cast<TANDREL_POLL*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TANDREL_POLL), TANDREL_TAG));
    if (poll == nullptr) {
        ObDereferenceObject(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    poll->Owner = TandrelFile(irp);
    poll->Handle = request.Event;
    poll->Mask = request.Mask;
    poll->Event = event;
    {
        TandrelLocks locks(ext);
        InsertTailList(&ext->Polls, &poll->Link);
    }
    irp->IoStatus.Information = sizeof request;
    return STATUS_SUCCESS;
}

NTSTATUS TandrelOnDisablePoll(PTANDREL_EXTENSION ext, PIRP irp)
{
    const ULONG handle = *static_cast<PULONG>(TandrelBuffer(irp));
    const PFILE_OBJECT owner = TandrelFile(irp);
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    {
        TandrelLocks locks(ext);
        for (PLIST_ENTRY e = ext->Polls.Flink; e != &ext->Polls;) {
            PLIST_ENTRY next = e->Flink;
            auto* poll = CONTAINING_RECORD(e, TANDREL_POLL, Link);
            if (poll->Owner == owner && poll->Handle == handle) {
                RemoveEntryList(e);
                InsertTailList(&gone, e);
            }
            e = next;
        }
    }
    while (!IsListEmpty(&gone)) {
        auto* poll = CONTAINING_RECORD(RemoveHeadList(&gone), TANDREL_POLL, Link);
        ObDereferenceObject(poll->Event);
        ExFreePoolWithTag(poll, TANDREL_TAG);
    }
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

// Start and stop on an exact field: each device's two named events
// (\BaseNamedObjects\Zar0<stream>.StartEvent and .StopEvent), the start and
// stop slots armed by the control codes, the run step every class calls
// once a field, and start or stop synchronised with another device's
// events or with a frame of this one.

#include "tandrel_driver.h"

namespace {

const WCHAR kBaseNamedObjects[] = u"\\BaseNamedObjects\\";
constexpr ULONG kStart = 1, kStop = 0;

void Disarm(PTANDREL_EXTENSION ext, ULONG which)
{
    TANDREL_NAMED_EVENT& named = ext->StartStop.Named[which];
    named.Owner = nullptr;
    if (named.OtherFile != nullptr) HoldForRelease(ext, named.OtherFile);
    named.OtherFile = nullptr;
    named.Kind = 0;
}

// Under the locks: the device's own event as a trigger of 'kind'.
NTSTATUS ArmOwnEvent(PTANDREL_EXTENSION ext, ULONG which, ULONG kind, ULONG frame)
{
    TANDREL_NAMED_EVENT& named = ext->StartStop.Named[which];
    ObReferenceObject(named.Event);
    named.Owner = ext;
    NTSTATUS status = TandrelTriggerAdd(ext, kind, named.Event, named.Lead, frame, 0);
    if (!NT_SUCCESS(status)) {
        named.Owner = nullptr;
        HoldForRelease(ext, named.Event);
    }
    return status;
}

NTSTATUS StartOrStop(PTANDREL_EXTENSION ext, PIRP irp, ULONG which)
{
    PKEVENT caller = nullptr;
    if (TandrelInputLength(irp) >= 4) {
        const ULONG handle = *static_cast<PULONG>(TandrelBuffer(irp));
        if (handle != 0) {
            NTSTATUS status = TandrelReferenceEvent(handle, irp, &caller);
            if (!NT_SUCCESS(status)) return status;
            // Already set: the caller does not make it wait.
            if (KeReadStateEvent(caller)) {
                ObDereferenceObject(caller);
                caller = nullptr;
            }
        }
    }
    TandrelLocks locks(ext);
    TANDREL_START_STOP& control = ext->StartStop;
    if (control.Named[which].Owner != nullptr) {
        if (caller != nullptr) HoldForRelease(ext, caller);
        return STATUS_DEVICE_BUSY;
    }
    const BOOLEAN running = TandrelRunning(ext);
    if (caller == nullptr && (which == kStart ? running : !running)) return STATUS_SUCCESS;
    NTSTATUS status = ArmOwnEvent(ext, which, which, 0);
    if (!NT_SUCCESS(status)) {
        if (caller != nullptr) HoldForRelease(ext, caller);
        return status;
    }
    control.Slot[which].Requested = TRUE;
    control.Slot[which].CallerEvent = caller;
    return STATUS_SUCCESS;
}

// Under the locks, once a field: a requested slot whose caller event is
// set (or that has none) schedules its list; the device's own event, once
// set, flips the state.
BOOLEAN Step(PTANDREL_EXTENSION ext, ULONG which)
{
    TANDREL_START_STOP& control = ext->StartStop;
    TANDREL_START_SLOT& slot = control.Slot[which];
    if (slot.Requested && (slot.CallerEvent == nullptr || KeReadStateEvent(slot.CallerEvent))) {
        slot.Requested = FALSE;
        if (slot.CallerEvent != nullptr) HoldForRelease(ext, slot.CallerEvent);
        slot.CallerEvent = nullptr;
        TandrelScheduleList(ext, which);
    }
    TANDREL_NAMED_EVENT& named = control.Named[which];
    if (named.Event == nullptr || !KeReadStateEvent(named.Event)) return FALSE;
    KeClearEvent(named.Event);
    Disarm(ext, which);
    return TRUE;
}

}  // namespace

NTSTATUS TandrelStartStopInitialize(PTANDREL_EXTENSION ext)
{
    TANDREL_START_STOP& control = ext->StartStop;
    RtlZeroMemory(&control, sizeof control);
    const BOOLEAN proxy = ext->Binding == nullptr;
    const LONG lead = ext->Class->UsesStreamDelay && !proxy ? ext->Stream.Delay : 0;
    const WCHAR* suffix[2] = {TANDREL_STOP_EVENT_SUFFIX, TANDREL_START_EVENT_SUFFIX};
    for (ULONG which = 0; which < 2; ++which) {
        TANDREL_NAMED_EVENT& named = control.Named[which];
        named.Lead = ULONG(lead);
        named.OwnFrame = which == kStop || ext->Class->StartOwnFrame;
        const ULONG chars = TandrelWideLength(kBaseNamedObjects) + ext->DeviceName.Length / 2 + TandrelWideLength(suffix[which]);
        NTSTATUS status = AllocateUnicodeString(&named.Name, chars);
        if (!NT_SUCCESS(status)) return status;
        TandrelWideCopy(named.Name.Buffer, kBaseNamedObjects);
        TandrelWideAppend(named.Name.Buffer, ext->DeviceName.Buffer);
        TandrelWideAppend(named.Name.Buffer, suffix[which]);
        named.Name.Length = USHORT(chars * sizeof(WCHAR));
        named.Event = IoCreateNotificationEvent(&named.Name, &named.DeviceHandle);
        if (named.Event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        KeClearEvent(named.Event);
    }
    return STATUS_SUCCESS;
}

void TandrelStartStopDelete(PTANDREL_EXTENSION ext)
{
    for (ULONG which = 0; which < 2; ++which) {
        TandrelCancelPending(ext, which);
        TANDREL_NAMED_EVENT& named = ext->StartStop.Named[which];
        if (named.WriterHandle != nullptr) ZwClose(named.WriterHandle);
        if (named.DeviceHandle != nullptr) ZwClose(named.DeviceHandle);
        named.WriterHandle = named.DeviceHandle = nullptr;
        named.Event = nullptr;
        FreeUnicodeString(&named.Name);
    }
    ReleaseHeld(ext);
}

NTSTATUS TandrelWriterOpen(PTANDREL_EXTENSION ext)
{
    TANDREL_NAMED_EVENT* named = ext->StartStop.Named;
    if (named[0].WriterHandle != nullptr || named[1].WriterHandle != nullptr) return STATUS_DEVICE_BUSY;
    for (ULONG which = 0; which < 2; ++which) {
        if (IoCreateNotificationEvent(&named[which].Name, &named[which].WriterHandle) == nullptr) {
            TandrelWriterClose(ext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    KeClearEvent(named[0].Event);
    KeClearEvent(named[1].Event);
    return STATUS_SUCCESS;
}

void TandrelWriterClose(PTANDREL_EXTENSION ext)
{
    TandrelCancelPending(ext, kStart);
    TandrelCancelPending(ext, kStop);
    for (TANDREL_NAMED_EVENT& named : ext->StartStop.Named) {
        if (named.WriterHandle != nullptr) ZwClose(named.WriterHandle);
        named.WriterHandle = nullptr;
    }
}

void TandrelCancelPending(PTANDREL_EXTENSION ext, ULONG which)
{
    PTANDREL_EXTENSION other = nullptr;
    ULONG kind = 0;
    PFILE_OBJECT otherFile = nullptr;
    TANDREL_NAMED_EVENT& named = ext->StartStop.Named[which];
    {
        TandrelLocks locks(ext);
        TANDREL_START_SLOT& slot = ext->StartStop.Slot[which];
        if (named.Owner == ext) {
            if (slot.CallerEvent != nullptr) HoldForRelease(ext, slot.CallerEvent);
            slot.Requested = FALSE;
            slot.CallerEvent = nullptr;
            // The own event waits in the start/stop list, or as a frame event.
            if (!NT_SUCCESS(TandrelTriggerRemove(ext, which, named.Event)))
                TandrelTriggerRemove(ext, TANDREL_EVENT_ON_FRAME, named.Event);
        } else if (named.Owner != nullptr) {
            other = named.Owner;
            kind = named.Kind;
            otherFile = named.OtherFile;
            named.OtherFile = nullptr;
        }
        named.Owner = nullptr;
        named.Kind = 0;
    }
    // The other device's locks are taken with none of ours held.
    if (other != nullptr) {
        TandrelCancelEventDirect(other, kind, named.Event);
        ReleaseHeld(other);
    }
    if (otherFile != nullptr) ObDereferenceObject(otherFile);
    ReleaseHeld(ext);
}

ULONG TandrelRunStep(PTANDREL_EXTENSION ext)
{
    TANDREL_START_STOP& control = ext->StartStop;
    if (control.State != TANDREL_RUNNING) {
        if (!Step(ext, kStart)) return RUN_IDLE;
        control.State = TANDREL_RUNNING;
        return RUN_STARTED;
    }
    if (!Step(ext, kStop)) return RUN_RUNNING;
    control.State = TANDREL_STOPPED;
    return RUN_STOPPED;
}

// ---- control handlers ----

NTSTATUS TandrelOnStart(PTANDREL_EXTENSION ext, PIRP irp) { return StartOrStop(ext, irp, kStart); }
NTSTATUS TandrelOnStop(PTANDREL_EXTENSION ext, PIRP irp) { return StartOrStop(ext, irp, kStop); }

NTSTATUS TandrelOnSyncStartStop(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_SYNC_REQUEST request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (request.Which > 1) return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT file = nullptr;
    PTANDREL_EXTENSION other = nullptr;
    NTSTATUS status = TandrelDeviceOfHandle(request.Device, irp, &file, &other);
    if (!NT_SUCCESS(status)) return status;
    TANDREL_NAMED_EVENT& named = ext->StartStop.Named[request.Which];
    if (other == ext) {
        ObDereferenceObject(file);
        if (request.Kind != TANDREL_EVENT_ON_FRAME || !named.OwnFrame) return STATUS_INVALID_PARAMETER;
        if (named.WriterHandle == nullptr) return STATUS_DEVICE_NOT_READY;
        {
            TandrelLocks locks(ext);
            if (named.Owner != nullptr) return STATUS_DEVICE_BUSY;
            status = ArmOwnEvent(ext, request.Which, TANDREL_EVENT_ON_FRAME, request.Frame);
        }
        ReleaseHeld(ext);
        if (NT_SUCCESS(status)) irp->IoStatus.Information = sizeof request;
        return status;
    }
    if (!TandrelKindAllowed(other, request.Kind)) {
        ObDereferenceObject(file);
        return STATUS_INVALID_PARAMETER;
    }
    {
        TandrelLocks locks(ext);
        if (named.Owner != nullptr) {
            HoldForRelease(ext, file);
            status = STATUS_DEVICE_BUSY;
        } else {
            named.Owner = other;
            named.OtherFile = file;
            named.Kind = request.Kind;
        }
    }
    if (status == STATUS_SUCCESS) {
        // The other device sets this one's event when it reaches the kind.
        ObReferenceObject(named.Event);
        status = TandrelSetEventDirect(other, request.Kind, named.Event, named.Lead, request.Frame, TANDREL_EVENT_INCREMENT);
        if (!NT_SUCCESS(status)) {
            ObDereferenceObject(named.Event);
            TandrelLocks locks(ext);
            Disarm(ext, request.Which);
        }
    }
    ReleaseHeld(ext);
    if (NT_SUCCESS(status)) irp->IoStatus.Information = sizeof request;
    return status;
}

NTSTATUS TandrelOnCancelPending(PTANDREL_EXTENSION ext, PIRP irp)
{
    const ULONG which = *static_cast<PULONG>(TandrelBuffer(irp));
    if (which > 1) return STATUS_INVALID_PARAMETER;
    TandrelCancelPending(ext, which);
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

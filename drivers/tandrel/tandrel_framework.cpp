// The device framework every Tandrel class stands on: dispatch of a control
// code through the class's table with its access and length rules, the
// queue for requests that wait (with cancel), the deferred-release list for
// objects used at raised IRQL, look-aside use at DISPATCH_LEVEL and the
// wide-string helpers.

#include "tandrel_driver.h"

namespace {

struct TANDREL_HELD {
    SINGLE_LIST_ENTRY Link;
    PVOID Object;
    ULONG Unused;
};
static_assert(sizeof(TANDREL_HELD) == 12);

}  // namespace

NTSTATUS DispatchByTable(const TANDREL_CONTROL_ROW* table, ULONG rows, PTANDREL_EXTENSION ext, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    for (ULONG i = 0; i < rows; ++i) {
        const TANDREL_CONTROL_ROW& row = table[i];
        if (row.Code != code) continue;
        // Access first: a read-only handle learns nothing about the lengths.
        if (row.NeedsWrite && (stack->FileObject == nullptr || !stack->FileObject->WriteAccess))
            return STATUS_ACCESS_DENIED;
        if (stack->Parameters.DeviceIoControl.InputBufferLength < row.MinInput) return STATUS_BUFFER_TOO_SMALL;
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < row.MinOutput) return STATUS_BUFFER_TOO_SMALL;
        if (row.Handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        return row.Handler(ext, irp);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ---- the request queue ----

NTSTATUS QueueRequest(PIRP irp, PDRIVER_CANCEL cancel, PLIST_ENTRY queue, PKSPIN_LOCK lock, PLIST_ENTRY cancelled)
{
    KIRQL lockIrql = 0, cancelIrql;
    if (lock != nullptr) KeAcquireSpinLock(lock, &lockIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    NTSTATUS status;
    if (irp->Cancel) {
        // Cancelled before it got here: it never enters the queue.
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        if (cancelled != nullptr) InsertTailList(cancelled, &irp->Tail.Overlay.ListEntry);
        status = STATUS_CANCELLED;
    } else {
        IoSetCancelRoutine(irp, cancel);
        InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
        status = STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (lock != nullptr) KeReleaseSpinLock(lock, lockIrql);
    return status;
}

PIRP DequeueRequest(PLIST_ENTRY queue, PKSPIN_LOCK lock)
{
    KIRQL lockIrql = 0, cancelIrql;
    if (lock != nullptr) KeAcquireSpinLock(lock, &lockIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP found = nullptr;
    for (PLIST_ENTRY e = queue->Flink; e != queue; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        // One whose cancel routine already ran is being cancelled: leave it.
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
        RemoveEntryList(e);
        found = irp;
        break;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (lock != nullptr) KeReleaseSpinLock(lock, lockIrql);
    return found;
}

void CancelRequestRoutine(PDEVICE_OBJECT, PIRP irp)
{
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CancelQueue(PLIST_ENTRY queue, PKSPIN_LOCK lock, PFILE_OBJECT file)
{
    LIST_ENTRY local;
    InitializeListHead(&local);
    KIRQL lockIrql = 0, cancelIrql;
    if (lock != nullptr) KeAcquireSpinLock(lock, &lockIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    for (PLIST_ENTRY e = queue->Flink; e != queue;) {
        PLIST_ENTRY next = e->Flink;
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (file == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == file) {
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                RemoveEntryList(e);
                irp->Cancel = TRUE;
                InsertTailList(&local, e);
            }
        }
        e = next;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (lock != nullptr) KeReleaseSpinLock(lock, lockIrql);
    // Completed with no lock held: a completion may call back into us.
    while (!IsListEmpty(&local)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&local), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// ---- deferred release ----

void HoldForRelease(PTANDREL_EXTENSION ext, PVOID object)
{
    if (object == nullptr) return;
    auto* held = static_cast<TANDREL_HELD*>(TandrelLookasideAllocate(&ext->HoldLookaside));
    if (held == nullptr) {
        // No entry to park it in: dropping the reference now beats leaking
        // the object; the objects held here are never freed by our release.
        ObDereferenceObject(object);
        return;
    }
    held->Object = object;
    KIRQL old;
    KeAcquireSpinLock(&ext->HeldLock, &old);
    // The list head is a LIST_ENTRY; its Flink is used as a singly linked stack.
    held->Link.Next = reinterpret_cast<PSINGLE_LIST_ENTRY>(ext->Held.Flink);
    ext->Held.Flink = reinterpret_cast<PLIST_ENTRY>(&held->Link);
    KeReleaseSpinLock(&ext->HeldLock, old);
}

void ReleaseHeld(PTANDREL_EXTENSION ext)
{
    KIRQL old;
    KeAcquireSpinLock(&ext->HeldLock, &old);
    auto* first = reinterpret_cast<PSINGLE_LIST_ENTRY>(ext->Held.Flink);
    ext->Held.Flink = nullptr;
    KeReleaseSpinLock(&ext->HeldLock, old);
    while (first != nullptr) {
        auto* held = CONTAINING_RECORD(first, TANDREL_HELD, Link);
        first = first->Next;
        ObDereferenceObject(held->Object);
        TandrelLookasideFree(&ext->HoldLookaside, held);
    }
}

// ---- look-aside use at DISPATCH_LEVEL ----

PVOID TandrelLookasideAllocate(PNPAGED_LOOKASIDE_LIST list)
{
    return ExAllocateFromNPagedLookasideList(list);
}

void TandrelLookasideFree(PNPAGED_LOOKASIDE_LIST list, PVOID entry)
{
    ExFreeToNPagedLookasideList(list, entry);
}

// ---- caller's objects ----

NTSTATUS TandrelReferenceEvent(ULONG handle, PIRP irp, PKEVENT* event)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(TandrelHandle(handle), EVENT_MODIFY_STATE, ExEventObjectType,
                                                irp->RequestorMode, &object, nullptr);
    *event = NT_SUCCESS(status) ? static_cast<PKEVENT>(object) : nullptr;
    return status;
}

NTSTATUS TandrelReferenceSemaphore(ULONG handle, PIRP irp, PKSEMAPHORE* semaphore)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(TandrelHandle(handle), SEMAPHORE_MODIFY_STATE, ExSemaphoreObjectType,
                                                irp->RequestorMode, &object, nullptr);
    *semaphore = NT_SUCCESS(status) ? static_cast<PKSEMAPHORE>(object) : nullptr;
    return status;
}

// ---- wide strings ----

ULONG TandrelWideLength(const WCHAR* s)
{
    ULONG n = 0;
    while (s != nullptr && s[n] != 0) ++n;
    return n;
}

void TandrelWideCopy(WCHAR* to, const WCHAR* from)
{
    while ((*to++ = *from++) != 0) {
    }
}

void TandrelWideAppend(WCHAR* to, const WCHAR* from) { TandrelWideCopy(to + TandrelWideLength(to), from); }

NTSTATUS AllocateUnicodeString(PUNICODE_STRING string, ULONG chars)
{
    string->Length = 0;
    string->MaximumLength = 0;
    string->Buffer = nullptr;
    if (chars == 0) return STATUS_SUCCESS;
    const SIZE_T bytes = SIZE_T(chars) * sizeof(WCHAR) + sizeof(WCHAR);
    if (bytes > 0xFFFF) return STATUS_INVALID_PARAMETER;
    string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, TANDREL_TAG));
    if (string->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    string->Buffer[0] = 0;
    string->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS DuplicateUnicodeString(PUNICODE_STRING to, const WCHAR* from)
{
    const ULONG chars = TandrelWideLength(from);
    NTSTATUS status = AllocateUnicodeString(to, chars);
    if (!NT_SUCCESS(status) || chars == 0) return status;
    TandrelWideCopy(to->Buffer, from);
    to->Length = USHORT(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void FreeUnicodeString(PUNICODE_STRING string)
{
    if (string->Buffer != nullptr) ExFreePoolWithTag(string->Buffer, TANDREL_TAG);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

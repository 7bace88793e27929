// I/O manager: kernel device queues and the start-I/O discipline built on
// the device's own queue (one packet at a time in StartIo, cancelable
// packets taken out under the cancel spin lock).
#include "io_internal.h"

void KeInitializeDeviceQueue(PKDEVICE_QUEUE queue)
{
    queue->Type = 0x14;
    queue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&queue->DeviceListHead);
    KeInitializeSpinLock(&queue->Lock);
    queue->Busy = FALSE;
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry)
{
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    BOOLEAN inserted = queue->Busy;
    if (inserted) InsertTailList(&queue->DeviceListHead, &entry->DeviceListEntry);
    else queue->Busy = TRUE;
    entry->Inserted = inserted;
    KeReleaseSpinLock(&queue->Lock, irql);
    return inserted;
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry, ULONG sortKey)
{
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    entry->SortKey = sortKey;
    BOOLEAN inserted = queue->Busy;
    if (inserted) {
        // After every entry with a key not above this one: equal keys stay FIFO.
        PLIST_ENTRY e = queue->DeviceListHead.Flink;
        while (e != &queue->DeviceListHead &&
               CONTAINING_RECORD(e, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey <= sortKey)
            e = e->Flink;
        InsertTailList(e, &entry->DeviceListEntry);
    } else {
        queue->Busy = TRUE;
    }
    entry->Inserted = inserted;
    KeReleaseSpinLock(&queue->Lock, irql);
    return inserted;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE queue)
{
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (IsListEmpty(&queue->DeviceListHead)) {
        queue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&queue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return entry;
}

PKDEVICE_QUEUE_ENTRY KeRemoveByKeyDeviceQueue(PKDEVICE_QUEUE queue, ULONG sortKey)
{
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (IsListEmpty(&queue->DeviceListHead)) {
        queue->Busy = FALSE;
    } else {
        // The first entry at or above the key; past the end, wrap to the first.
        PLIST_ENTRY e = queue->DeviceListHead.Flink;
        while (e != &queue->DeviceListHead &&
               CONTAINING_RECORD(e, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey < sortKey)
            e = e->Flink;
        if (e == &queue->DeviceListHead) e = queue->DeviceListHead.Flink;
        RemoveEntryList(e);
        entry = CONTAINING_RECORD(e, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return entry;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry)
{
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    BOOLEAN was = entry->Inserted;
    if (was) {
        RemoveEntryList(&entry->DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return was;
}

void IoStartPacket(PDEVICE_OBJECT device, PIRP irp, PULONG key, PDRIVER_CANCEL cancelFunction)
{
    KIRQL oldIrql, cancelIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    if (cancelFunction) IoSetCancelRoutine(irp, cancelFunction);
    PKDEVICE_QUEUE_ENTRY entry = &irp->Tail.Overlay.DeviceQueueEntry;
    BOOLEAN queued = key ? KeInsertByKeyDeviceQueue(&device->DeviceQueue, entry, *key)
                         : KeInsertDeviceQueue(&device->DeviceQueue, entry);
    if (!queued) {
        device->CurrentIrp = irp;
        IoReleaseCancelSpinLock(cancelIrql);
        device->DriverObject->DriverStartIo(device, irp);
    } else if (cancelFunction && irp->Cancel) {
        // Cancelled while it was being queued: the routine takes it out
        // again (with the lock held, which it releases).
        irp->CancelIrql = cancelIrql;
        IoSetCancelRoutine(irp, nullptr);
        cancelFunction(device, irp);
    } else {
        IoReleaseCancelSpinLock(cancelIrql);
    }
    KeLowerIrql(oldIrql);
}

static void StartNext(PDEVICE_OBJECT device, BOOLEAN cancelable, const ULONG* key)
{
    KIRQL cancelIrql = 0;
    if (cancelable) IoAcquireCancelSpinLock(&cancelIrql);
    device->CurrentIrp = nullptr;
    PKDEVICE_QUEUE_ENTRY entry =
        key ? KeRemoveByKeyDeviceQueue(&device->DeviceQueue, *key) : KeRemoveDeviceQueue(&device->DeviceQueue);
    if (!entry) {
        if (cancelable) IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    device->CurrentIrp = irp;
    if (cancelable) IoReleaseCancelSpinLock(cancelIrql);
    device->DriverObject->DriverStartIo(device, irp);
}

void IoStartNextPacket(PDEVICE_OBJECT device, BOOLEAN cancelable) { StartNext(device, cancelable, nullptr); }
void IoStartNextPacketByKey(PDEVICE_OBJECT device, BOOLEAN cancelable, ULONG key)
{
    StartNext(device, cancelable, &key);
}

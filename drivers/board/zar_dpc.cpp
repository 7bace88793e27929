// The DPCs of the interrupt frame: the VBI DPC that does once per field
// what may not run at device IRQL, the I2C DPC that finishes a transfer
// and starts the next, and the field waiters that the VBI DPC releases.
//
// Field waiters count themselves in under the waiters' spin lock; the VBI
// DPC releases the field semaphore once per counted waiter and starts a new
// generation. A waiter that times out takes itself out of the count (or,
// when the DPC got there first, takes the count released for it), so the
// semaphore only ever holds counts that a waiter is about to take.

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_brs.h"
#include "zar_dispatch.h"
#include "zar_dpc.h"
#include "zar_extension.h"
#include "zar_i2c.h"
#include "zar_videochips.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kI2cStatusError = 0x2;
constexpr ULONG kI2cStatusErrorBits = 0xFE;
constexpr ULONG kI2cRearmRead = 0x40;   // clock in the data byte, then stop
constexpr ULONG kI2cReplyBytes = 16;
constexpr ULONG kVinMonitorEveryFields = 4;


// Register writes of the I2C DPC, synchronised with the interrupt.
struct ZAR_I2C_DPC_WRITE {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Status;      // status register value to write back, or ~0
    ULONG Transfer;    // transfer register value
};

BOOLEAN ZarI2cDpcWrite(PVOID context)
{
    auto* w = static_cast<ZAR_I2C_DPC_WRITE*>(context);
    ZarBridgeWrite(w->Ext, ZAR_BRIDGE_I2C_TRANSFER, w->Transfer);
    ZarBridgeWrite(w->Ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_I2C);
    if (w->Status != ~0u) ZarBridgeWrite(w->Ext, ZAR_BRIDGE_I2C_STATUS, w->Status);
    return TRUE;
}

void ZarI2cSynchronizedWrite(PZAR_DEVICE_EXTENSION ext, ULONG transfer, ULONG status)
{
    ZAR_I2C_DPC_WRITE w{ext, status, transfer};
    ZarRunSynchronized(ext, ZarI2cDpcWrite, &w);
}

// The engine goes idle under the interrupt's lock, so a clean-up judging the
// running transfer sees it either running or gone; a failure mark meant for
// it goes with it (its entry's memory may come back as a new entry).
BOOLEAN ZarI2cEndTransfer(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ext->I2c.CurrentEntry = nullptr;
    ext->I2c.FailedEntry = nullptr;
    ext->I2c.State = ZAR_I2C_ENGINE_IDLE;
    return TRUE;
}

}  // namespace

NTSTATUS ZarWaitForField(PZAR_DEVICE_EXTENSION ext, LONGLONG timeout)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->FieldSemaphoreLock, &oldIrql);
    if (ext->FieldWaiters >= ZAR_FIELD_SEMAPHORE_LIMIT) {
        KeReleaseSpinLock(&ext->FieldSemaphoreLock, oldIrql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ++ext->FieldWaiters;
    ULONG generation = ext->FieldWaiterGeneration;
    KeReleaseSpinLock(&ext->FieldSemaphoreLock, oldIrql);

    LARGE_INTEGER limit;
    limit.QuadPart = timeout;
    NTSTATUS status = KeWaitForSingleObject(&ext->FieldSemaphore, Executive, KernelMode, FALSE, &limit);
    if (status != STATUS_TIMEOUT) return STATUS_SUCCESS;

    KeAcquireSpinLock(&ext->FieldSemaphoreLock, &oldIrql);
    bool stillRegistered = generation == ext->FieldWaiterGeneration;
    if (stillRegistered) --ext->FieldWaiters;
    KeReleaseSpinLock(&ext->FieldSemaphoreLock, oldIrql);
    if (stillRegistered) return STATUS_TIMEOUT;

    // The field came between the time-out and the lock: the count released
    // for this waiter is in the semaphore; take it so it wakes nobody else.
    LARGE_INTEGER now;
    now.QuadPart = 0;
    KeWaitForSingleObject(&ext->FieldSemaphore, Executive, KernelMode, FALSE, &now);
    return STATUS_SUCCESS;
}

void ZarArmFieldSignal(PZAR_DEVICE_EXTENSION ext, ULONG slot)
{
    if (slot < ZAR_FIELD_SIGNAL_COUNT) InterlockedExchange(&ext->FieldSignal[slot].Armed, 1);
}

void ZarDpcForVbi(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);

    KeAcquireSpinLockAtDpcLevel(&ext->FieldSemaphoreLock);
    if (ext->FieldWaiters != 0) {
        LONG waiters = LONG(ext->FieldWaiters);
        ext->FieldWaiters = 0;
        ++ext->FieldWaiterGeneration;
        KeReleaseSemaphore(&ext->FieldSemaphore, IO_NO_INCREMENT, waiters, FALSE);
    }
    KeReleaseSpinLockFromDpcLevel(&ext->FieldSemaphoreLock);

    if (ext->AudioFieldEventArmed && ext->AudioFieldEvent != nullptr) {
        ext->AudioFieldEventArmed = FALSE;
        KeSetEvent(ext->AudioFieldEvent, IO_NO_INCREMENT, FALSE);
    }
    if (ext->VinProcAmpPending) {
        ext->VinProcAmpPending = FALSE;
        ZarVinUpdateProcAmp(ext);
    }
    if (ext->BrsSyncPending) {
        bool matches = (ext->BrsSyncSelector == 1 && ext->FieldParity == 1) ||
                       (ext->BrsSyncSelector == 2 && ext->FieldParity == 0);
        if (matches) {
            ext->BrsSyncPending = FALSE;
            ZarBrsDmaStartIoSynchronous(ext, ext->BrsSyncEntry);
        }
    }
    for (ZAR_FIELD_SIGNAL& signal : ext->FieldSignal) {
        if (signal.Event != nullptr && InterlockedExchange(&signal.Armed, 0) != 0)
            KeSetEvent(signal.Event, IO_NO_INCREMENT, FALSE);
    }
    if (ext->AudioTrackPanPending) {
        ext->AudioTrackPanPending = FALSE;
        ZarAudSetTrackPan(ext);
    }
    ZarAudVuLevelProcessing(ext);
    if (ext->FieldCounter % kVinMonitorEveryFields == 0) KeSetEvent(&ext->VinMonitorThread.Wake, IO_NO_INCREMENT, FALSE);
    if (ext->DecoderResetDelay != 0 && --ext->DecoderResetDelay == 0) ZarSaa7113ResetRtc(ext);
}

void ZarDpcForI2c(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    auto* entry = static_cast<ZAR_I2C_ENTRY*>(ext->I2c.CurrentEntry);

    ULONG status = READ_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_I2C_STATUS));
    bool failed = entry != nullptr && InterlockedCompareExchangePointer(&ext->I2c.FailedEntry, nullptr, entry) == entry;
    if (status & kI2cStatusError) {
        ZarI2cSynchronizedWrite(ext, 0, status & ~kI2cStatusErrorBits);
        failed = true;
    }
    if (entry == nullptr) return;  // nothing was running: a late or stray interrupt

    if (!failed && entry->Command.Kind == ZAR_I2C_READ_WAIT && ext->I2c.State == ZAR_I2C_ENGINE_TRANSFER) {
        // The address phase of a read is done; the data byte comes next.
        ext->I2c.State = ZAR_I2C_ENGINE_READ_DATA;
        ZarI2cSynchronizedWrite(ext, kI2cRearmRead, ~0u);
        return;
    }

    if (!failed && entry->Command.Kind == ZAR_I2C_READ_WAIT) {
        ULONG transfer = READ_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_I2C_TRANSFER));
        entry->Command.Data = transfer >> 24;
        if (entry->SystemBuffer != nullptr) static_cast<ZAR_I2C_COMMAND*>(entry->SystemBuffer)->Data = transfer >> 24;
    }
    entry->Status = failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    if (entry->Irp != nullptr) ZarCompleteRequest(entry->Irp, entry->Status, kI2cReplyBytes);
    ZarI2cEndEntry(ext, entry);
    ZarRunSynchronized(ext, ZarI2cEndTransfer, ext);

    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->I2c.Queue);
    if (next != nullptr) ZarI2cStartIo(ext, CONTAINING_RECORD(next, ZAR_I2C_ENTRY, QueueEntry));
}

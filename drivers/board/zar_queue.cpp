// The five transfer channels' side of the control dispatch: a request that
// passed its length test gets a look-aside entry on its channel's device
// queue, with the caller's buffer locked when the request names one, and
// the channel's start routine runs at once when the queue was idle. The
// channel's completion path (its DPC) ends the request and starts the next.
//
// Disk requests also arbitrate the SCSI bus with the holders of
// IOCTL_ZAR_ACQUIRE_SCSI through the ownership event (signalled while the
// bus is free).

#include <cstring>

#include "zar_brs.h"
#include "zar_debi.h"
#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_hps.h"
#include "zar_i2c.h"
#include "zar_queue.h"
#include "zar_scsi.h"

namespace {


// An MDL over the caller's buffer, its pages locked for modify access in the
// caller's mode. On failure nothing is left allocated and *mdlOut is null.
NTSTATUS ZarLockCallerBuffer(PIRP irp, ULONG address, ULONG length, PMDL* mdlOut)
{
    *mdlOut = nullptr;
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)), length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KPROCESSOR_MODE mode = irp->RequestorMode;
    NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, mode, IoModifyAccess); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    *mdlOut = mdl;
    return STATUS_SUCCESS;
}

void ZarUnlockAndFreeMdl(PMDL mdl)
{
    if (mdl == nullptr) return;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// Marks the request pending, queues the entry and, when the queue was idle,
// hands it to the start routine at DISPATCH_LEVEL.
template <typename Entry>
NTSTATUS ZarInsertAndStart(PZAR_DEVICE_EXTENSION ext, PKDEVICE_QUEUE queue, Entry* entry,
                           void (*start)(PZAR_DEVICE_EXTENSION, Entry*))
{
    IoMarkIrpPending(entry->Irp);
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    if (!KeInsertDeviceQueue(queue, &entry->QueueEntry)) start(ext, entry);
    KeLowerIrql(oldIrql);
    return STATUS_PENDING;
}

// A zeroed entry with the request recorded in it, or null.
template <typename Entry>
Entry* ZarAllocateEntry(PNPAGED_LOOKASIDE_LIST lookaside, PIRP irp)
{
    auto* entry = static_cast<Entry*>(ExAllocateFromNPagedLookasideList(lookaside));
    if (entry == nullptr) return nullptr;
    RtlZeroMemory(entry, sizeof(Entry));
    entry->SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    entry->Irp = irp;
    return entry;
}

}  // namespace

void ZarQueueEndRequest(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry, PIRP irp, PMDL mdl, NTSTATUS status,
                        ULONG bytes)
{
    ZarUnlockAndFreeMdl(mdl);
    ExFreeToNPagedLookasideList(lookaside, entry);
    ZarCompleteRequest(irp, status, bytes);
}

// ---- DEBI ----

NTSTATUS ZarQueueDebiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    auto* request = static_cast<ZAR_DEBI_REQUEST*>(irp->AssociatedIrp.SystemBuffer);
    bool dma = request->Operation == ZAR_DEBI_OP_DMA_TO_BOARD || request->Operation == ZAR_DEBI_OP_DMA_TO_HOST;
    bool pio = request->Operation == ZAR_DEBI_OP_PIO_WRITE || request->Operation == ZAR_DEBI_OP_PIO_READ;
    if (!dma && !pio) return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (dma) {
        if (request->DmaMode > ZAR_DEBI_DMA_BOUNCE) return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
        ULONG limit = request->DmaMode == ZAR_DEBI_DMA_BOUNCE ? ZAR_DEBI_MAX_CHUNK : ZAR_DEBI_MAX_LENGTH;
        if (request->ByteLength < ZAR_DEBI_MIN_LENGTH || request->ByteLength > limit)
            return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE);
        if (((request->ByteLength | request->UserBuffer) & 3) != 0)
            return ZarCompleteRequest(irp, STATUS_DATATYPE_MISALIGNMENT);
    }

    auto* entry = ZarAllocateEntry<ZAR_DEBI_ENTRY>(&ext->DebiLookaside, irp);
    if (entry == nullptr) return ZarCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    if (dma) {
        NTSTATUS status = ZarLockCallerBuffer(irp, request->UserBuffer, request->ByteLength, &entry->Mdl);
        if (!NT_SUCCESS(status)) {
            ExFreeToNPagedLookasideList(&ext->DebiLookaside, entry);
            return ZarCompleteRequest(irp, status);
        }
    }
    return ZarInsertAndStart(ext, &ext->DebiQueue, entry, ZarDebiIoStartIo);
}

// ---- BRS ----

NTSTATUS ZarQueueBrsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    if (!ZarBrsIsValidDmaCommand(irp->AssociatedIrp.SystemBuffer))
        return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    auto* entry = ZarAllocateEntry<ZAR_BRS_ENTRY>(&ext->BrsLookaside, irp);
    if (entry == nullptr) return ZarCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    KPROCESSOR_MODE mode = irp->RequestorMode;
    NTSTATUS status = SehTry([&] { ZarBrsLockDmaBuffers(ext, entry, mode); });
    if (!NT_SUCCESS(status)) {
        ZarUnlockAndFreeMdl(entry->Mdl);
        ExFreeToNPagedLookasideList(&ext->BrsLookaside, entry);
        return ZarCompleteRequest(irp, status);
    }
    return ZarInsertAndStart(ext, &ext->BrsQueue, entry, ZarBrsDmaStartIo);
}

// ---- HPS ----

NTSTATUS ZarQueueHpsRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    NTSTATUS status;
    if (ZarHpsAnswerRunningCapture(ext, irp->AssociatedIrp.SystemBuffer, &status)) {
        return ZarCompleteRequest(irp, status, ZAR_HPS_CAPTURE_REQUEST_SIZE);
    }
    auto* entry = ZarAllocateEntry<ZAR_HPS_ENTRY>(&ext->HpsLookaside, irp);
    if (entry == nullptr) return ZarCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    KPROCESSOR_MODE mode = irp->RequestorMode;
    status = SehTry([&] { ZarHpsLockDmaBuffers(ext, entry, mode); });
    if (!NT_SUCCESS(status)) {
        ZarUnlockAndFreeMdl(entry->Mdl);
        ExFreeToNPagedLookasideList(&ext->HpsLookaside, entry);
        return ZarCompleteRequest(irp, status);
    }
    return ZarInsertAndStart(ext, &ext->HpsQueue, entry, ZarHpsDmaStartIo);
}

// ---- I2C ----

NTSTATUS ZarQueueI2cRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    // The engine knows three kinds; another would run as a write.
    if (static_cast<ZAR_I2C_COMMAND*>(irp->AssociatedIrp.SystemBuffer)->Kind > ZAR_I2C_WRITE_NO_WAIT)
        return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    auto* entry = ZarAllocateEntry<ZAR_I2C_ENTRY>(&ext->I2c.Lookaside, irp);
    if (entry == nullptr) return ZarCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    // The engine works from the entry's copy; the system buffer takes the
    // answer back to the caller.
    std::memcpy(&entry->Command, irp->AssociatedIrp.SystemBuffer, sizeof(entry->Command));
    return ZarInsertAndStart(ext, &ext->I2c.Queue, entry, ZarI2cStartIo);
}

// ---- SCSI ----

NTSTATUS ZarScsiAcquireOwnership(PZAR_DEVICE_EXTENSION ext)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = ZAR_SCSI_ACQUIRE_WAIT;
    NTSTATUS status = KeWaitForSingleObject(&ext->ScsiOwnershipEvent, Executive, KernelMode, FALSE, &timeout);
    return status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void ZarScsiReleaseOwnership(PZAR_DEVICE_EXTENSION ext)
{
    KeSetEvent(&ext->ScsiOwnershipEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS ZarQueueScsiRequest(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    auto* request = static_cast<ZAR_DISK_REQUEST*>(irp->AssociatedIrp.SystemBuffer);
    if (request->OwnsScsi == 0) {
        // A caller that does not hold the bus waits at most a second for a
        // holder to release it, then takes its turn anyway: a holder that
        // died or forgot to release must not stop the disks for good. The
        // event ends signalled either way, as the bus is free again.
        LARGE_INTEGER timeout;
        timeout.QuadPart = ZAR_SCSI_OVERTAKE_WAIT;
        KeWaitForSingleObject(&ext->ScsiOwnershipEvent, Executive, KernelMode, FALSE, &timeout);
        ZarScsiReleaseOwnership(ext);
    }

    auto* entry = ZarAllocateEntry<ZAR_SCSI_ENTRY>(&ext->ScsiLookaside, irp);
    if (entry == nullptr) return ZarCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    if (request->UserBufferLength != 0) {
        NTSTATUS status = ZarLockCallerBuffer(irp, request->UserBuffer, request->UserBufferLength, &entry->Mdl);
        if (!NT_SUCCESS(status)) {
            ExFreeToNPagedLookasideList(&ext->ScsiLookaside, entry);
            return ZarCompleteRequest(irp, status);
        }
    }
    return ZarInsertAndStart(ext, &ext->ScsiQueue, entry, ZarScsiIoStartIo);
}

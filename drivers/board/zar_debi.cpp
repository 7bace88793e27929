// DEBI bus: programmed 16-bit access to the board's registers with the
// wait states of each address range, the DEBI request that user mode queues
// (a programmed access, or DMA between its buffer and the board), the SDRAM
// window starts of the SCSI engine, and the rules of a BRS DMA command.
//
// Every access and every transfer start runs synchronised with the board
// interrupt, because the interrupt routine itself reads board registers over
// DEBI. Programmed and polled transfers run with the DEBI interrupt off;
// interrupt-driven ones turn it on when they start and end in the DEBI DPC.
//
// A transfer of several blocks (a queued DMA request, an SDRAM copy of the
// SCSI engine) owns the engine from its first block to its last, so the one
// done interrupt always reaches its owner and nothing moves the SDRAM
// window between its blocks. Single accesses and polled single transfers
// run unowned between blocks.

#include <algorithm>
#include <cstring>

#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_isr.h"
#include "zar_pagetable.h"
#include "zar_queue.h"
#include "zar_scsi.h"

namespace {

// Bridge registers of the DEBI engine.

// DEBI command and page words.
constexpr ULONG kDebiWrite2 = 0x40000;      // two bytes, write
constexpr ULONG kDebiRead2 = 0x50000;       // two bytes, read
constexpr ULONG kDebiCommandRead = 0x10000; // board to host
constexpr ULONG kDebiCountShift = 17;
constexpr ULONG kDebiPageMmu = 0x800;
constexpr ULONG kDebiPageIndexMask = 0x3FF000;  // bits 12-21 of a paged DEBI_AD
constexpr ULONG kDebiImmediateMax = 4;          // the bridge moves this little through DEBI_AD itself

constexpr ULONG kDebiIdlePolls = 100000;
constexpr ULONG kStateMachinePolls = 16384;
constexpr LONGLONG kCopyOwnerWait = -10000000LL;  // 1 s: a DEBI request of 4 MB takes a quarter of it
constexpr ULONG kStreamOwnerTries = 1000;         // of 1 ms each: the same second for the FPGA loader
constexpr LONGLONG kStreamOwnerRetry = -10000LL;

// DEBI_CONFIG words.
constexpr ULONG kConfigPlain = 0x008A0000;
constexpr ULONG kConfigScsi = 0x014A0000;
constexpr ULONG kConfigTimecode = 0x01CE0000;
constexpr ULONG kConfigSdramWindow = 0x104A0000;

// Audio wait states of boards before revision 3; later boards take the plain set-up.
constexpr ULONG kFirstPlainRevision = 3;
constexpr ULONG kOldBoardWaitStates[ZAR_DEBI_WAIT_STATES] = {0x00CA0000, 0x010A0000, 0x014A0000, 0x020A0000,
                                                             0x03CA0000};
constexpr ULONG kOldBoardWaitStates2[ZAR_DEBI_WAIT_STATES] = {0x014A0000, 0x018A0000, 0x028A0000, 0x03CA0000,
                                                              0x03CA0000};

// The address-mode bits of the SDRAM mode register.
constexpr ULONG kSdramModeShift = 10;
constexpr ULONG kSdramModeBits = 0xF << kSdramModeShift;
constexpr ULONG kSdramModeLowBits = 0x3 << kSdramModeShift;

constexpr ULONG kRequestBytes = sizeof(ZAR_DEBI_REQUEST);
constexpr ULONG kPioWriteRecordBytes = 24;  // the request without its reserved word


// The 32,752-byte common buffer of device start holds exactly one bounced
// (mode 2) transfer; only the DEBI channel uses it.
ZAR_COMMON_BUFFER& ZarDebiBounceBuffer(PZAR_DEVICE_EXTENSION ext) { return ext->PlaylistBuffer; }

ULONG ZarDebiConfigFor(PZAR_DEVICE_EXTENSION ext, ULONG address)
{
    // A wait-state setting outside the tables takes their first entry, the
    // one each table holds for this board revision's default timing.
    ULONG index = ext->Debi.WaitStateIndex < ZAR_DEBI_WAIT_STATES ? ext->Debi.WaitStateIndex : 0;
    switch (address & 0xFC00) {
    case 0xA000: return kConfigScsi;
    case 0xAC00: case 0xB000: return kConfigTimecode;
    case 0x8400: case 0x8C00: case 0x9800: return ext->Debi.WaitStates[index];
    case 0x8800: return ext->Debi.WaitStates2[index];
    default: return kConfigPlain;
    }
}

// Turns the DEBI interrupt off (device IRQL, DEBI idle). A done status that
// an interrupt-driven transfer latched as it ended is handed to the DEBI
// DPC: with the interrupt off nobody would ever serve it, and the transfer's
// owner would wait for good.
void ZarDebiMaskDoneAtIrql(PZAR_DEVICE_EXTENSION ext)
{
    if (!(ext->InterruptEnable & ZAR_INT_DEBI_DONE)) return;
    ZarSetIntModeAtIrql(ext, ZAR_INT_DEBI_DONE, FALSE);
    if (ZarBridgeRead(ext, ZAR_BRIDGE_ISR) & ZAR_INT_DEBI_DONE) {
        ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_INT_DEBI_DONE);
        KeInsertQueueDpc(&ext->DpcDebiDma, nullptr, nullptr);
    }
}

// ---- programmed access ----

// Turns the DEBI interrupt on for a transfer about to start (device IRQL,
// DEBI idle). The bridge latches done whether the source is enabled or not:
// a done left by a transfer nobody waited for is cleared first, or it would
// end this one before it ran. With the interrupt already on, a latched done
// belongs to an interrupt-driven transfer and stays for the ISR.
void ZarDebiEnableDoneAtIrql(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->InterruptEnable & ZAR_INT_DEBI_DONE) return;
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_INT_DEBI_DONE);
    ZarSetIntModeAtIrql(ext, ZAR_INT_DEBI_DONE, TRUE);
}

struct ZAR_DEBI_PIO {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Address;
    ULONG Value;
    bool Read;
};

BOOLEAN ZarDebiCriticalPio(PVOID context)
{
    auto* pio = static_cast<ZAR_DEBI_PIO*>(context);
    PZAR_DEVICE_EXTENSION ext = pio->Ext;
    if (ext->Debi.Owner == ZAR_DEBI_OWNER_FPGA_STREAM) {
        // Between two of the stream's bytes this access would take the
        // byte's command or be refused by the bridge, unseen.
        ++ext->Debi.PioRefused;
        return FALSE;
    }
    if (!ZarDebiWaitIdle(ext)) {
        ++ext->Debi.PioTimeouts;
        return FALSE;
    }
    ZarDebiMaskDoneAtIrql(ext);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, ZarDebiConfigFor(ext, pio->Address));
    if (pio->Read) {
        ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, (pio->Address & 0xFFFF) | kDebiRead2);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
        if (!ZarDebiWaitIdle(ext)) {
            ++ext->Debi.PioTimeouts;
            return FALSE;
        }
        pio->Value = ZarBridgeRead(ext, ZAR_BRIDGE_DEBI_AD) & 0xFFFF;
    } else {
        ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, (pio->Address & 0xFFFF) | kDebiWrite2);
        ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, pio->Value);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
    }
    return TRUE;
}

// FALSE when the access did not happen (no registers, or DEBI stayed busy).
bool ZarDebiPio(ZAR_DEBI_PIO* pio)
{
    if (pio->Ext->Registers == nullptr) return false;
    return ZarRunSynchronized(pio->Ext, ZarDebiCriticalPio, pio) != FALSE;
}

// ---- the SDRAM window and polled transfers ----

struct ZAR_DEBI_BLOCK {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Config;
    ULONG Page;
    ULONG Ad;
    ULONG Command;
    BOOLEAN InterruptDriven;
};

BOOLEAN ZarDebiCriticalBlockStart(PVOID context)
{
    auto* block = static_cast<ZAR_DEBI_BLOCK*>(context);
    PZAR_DEVICE_EXTENSION ext = block->Ext;
    if (!ZarDebiWaitIdle(ext)) return FALSE;
    if (!block->InterruptDriven)
        ZarDebiMaskDoneAtIrql(ext);
    else
        ZarDebiEnableDoneAtIrql(ext);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, block->Config);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_PAGE, block->Page);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, block->Ad);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, block->Command);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
    return TRUE;
}

bool ZarDebiSdramModeBits(ULONG mode, ULONG* bits)
{
    switch (mode) {
    case 0: *bits = 0b0000; return true;
    case 1: *bits = 0b0010; return true;
    case 2: *bits = 0b1010; return true;
    case 101: *bits = 0b0011; return true;
    case 102: *bits = 0b0111; return true;
    default: return false;
    }
}

// ---- the queued DEBI request ----

ZAR_DEBI_ENTRY* ZarDebiNextEntry(PZAR_DEVICE_EXTENSION ext)
{
    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->DebiQueue);
    return next ? CONTAINING_RECORD(next, ZAR_DEBI_ENTRY, QueueEntry) : nullptr;
}

// The engine for a DMA request (DISPATCH_LEVEL). While an SDRAM copy owns
// it the entry waits (the queue stays busy behind it) and the copy's release
// starts it.
bool ZarDebiClaimForRequest(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    KeAcquireSpinLockAtDpcLevel(&debi->OwnerLock);
    bool free = debi->Owner == ZAR_DEBI_OWNER_NONE;
    if (free)
        debi->Owner = ZAR_DEBI_OWNER_REQUEST;
    else
        debi->WaitingEntry = entry;
    KeReleaseSpinLockFromDpcLevel(&debi->OwnerLock);
    return free;
}

// The request's end frees the engine or, when an SDRAM copy waits for it,
// hands it straight to the copy, ahead of the next queued request.
void ZarDebiReleaseFromRequest(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    KeAcquireSpinLockAtDpcLevel(&debi->OwnerLock);
    if (debi->CopyWaiting) {
        debi->CopyWaiting = FALSE;
        debi->Owner = ZAR_DEBI_OWNER_SCSI_COPY;
        KeSetEvent(&debi->CopyGranted, IO_NO_INCREMENT, FALSE);
    } else {
        debi->Owner = ZAR_DEBI_OWNER_NONE;
    }
    KeReleaseSpinLockFromDpcLevel(&debi->OwnerLock);
}

// A chunk of four bytes or less is an immediate transfer for the bridge: its
// data travels in DEBI_AD, not by DMA, so the start (at device IRQL) needs
// the chunk's bytes at a system address.
NTSTATUS ZarDebiPrepareChunk(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    debi->ImmediateHost = nullptr;
    if (debi->Chunk > kDebiImmediateMax) return STATUS_SUCCESS;
    if (debi->Mode == ZAR_DEBI_DMA_BOUNCE) {
        debi->ImmediateHost = static_cast<PUCHAR>(ZarDebiBounceBuffer(ext).VirtualAddress);
        return STATUS_SUCCESS;
    }
    PMDL mdl = debi->CurrentEntry->Mdl;
    auto* system = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    debi->ImmediateHost = system + (debi->CurrentVa - static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl)));
    return STATUS_SUCCESS;
}

// Leaves the failed request to the DPC, which completes it with 'status'.
void ZarDebiFail(PZAR_DEVICE_EXTENSION ext, NTSTATUS status)
{
    ext->Debi.FailStatus = status;
    ext->Debi.State = ZAR_DEBI_FAILED;
    KeInsertQueueDpc(&ext->DpcDebiDma, nullptr, nullptr);
}

void ZarDebiStartDma(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    debi->CurrentEntry = entry;
    NTSTATUS status = ZarDebiInitDcb(ext);
    if (NT_SUCCESS(status)) {
        if (debi->Mode == ZAR_DEBI_DMA_BOUNCE) {
            // The bounce buffer is a common buffer: no map registers to wait for.
            if (!ZarRunSynchronized(ext, ZarDebiDmaStartDevice, ext)) status = STATUS_UNSUCCESSFUL;
        } else {
            status = IoAllocateAdapterChannel(ext->DmaAdapter[ZAR_DEBI_ADAPTER], ext->DeviceObject,
                                              debi->MapRegisterCount, ZarDebiAdapterControl, ext);
        }
    }
    if (!NT_SUCCESS(status)) ZarDebiFail(ext, status);
}

// Ends the current request with 'status' and starts the next queued one.
void ZarDebiCompleteRequest(PZAR_DEVICE_EXTENSION ext, NTSTATUS status)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    ZAR_DEBI_ENTRY* entry = debi->CurrentEntry;
    const auto* request = static_cast<const ZAR_DEBI_REQUEST*>(entry->SystemBuffer);
    if (debi->MapRegisterBase != nullptr) {
        IoFreeMapRegisters(ext->DmaAdapter[ZAR_DEBI_ADAPTER], debi->MapRegisterBase, debi->MapRegisterCount);
        debi->MapRegisterBase = nullptr;
    }
    if (NT_SUCCESS(status) && debi->Mode == ZAR_DEBI_DMA_BOUNCE && !debi->ToBoard) {
        // Through the locked pages' system mapping: the DPC runs in whatever
        // thread it interrupted, where the caller's address means nothing.
        PVOID system = MmGetSystemAddressForMdlSafe(entry->Mdl, NormalPagePriority);
        if (system != nullptr)
            std::memcpy(system, ZarDebiBounceBuffer(ext).VirtualAddress, request->ByteLength);
        else
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    debi->State = ZAR_DEBI_IDLE;
    debi->CurrentEntry = nullptr;
    ZarDebiReleaseFromRequest(ext);
    // The queue goes idle before the caller learns of the end.
    ZAR_DEBI_ENTRY* next = ZarDebiNextEntry(ext);
    ZarQueueEndRequest(&ext->DebiLookaside, entry, entry->Irp, entry->Mdl, status, kRequestBytes);
    if (next != nullptr) ZarDebiIoStartIo(ext, next);
}

}  // namespace

// ---- programmed access ----

BOOLEAN ZarDebiPioWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value)
{
    ZAR_DEBI_PIO pio{ext, address, value & 0xFFFF, false};
    return ZarDebiPio(&pio);
}

USHORT ZarDebiPioRead(PZAR_DEVICE_EXTENSION ext, ULONG address)
{
    ZAR_DEBI_PIO pio{ext, address, 0, true};
    return ZarDebiPio(&pio) ? USHORT(pio.Value) : ZAR_DEBI_READ_FAILED;
}

BOOLEAN ZarDebiWaitIdle(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < kDebiIdlePolls; ++i) {
        if (!(ZarBridgeRead(ext, ZAR_BRIDGE_PSR) & ZAR_PSR_DEBI_BUSY)) return TRUE;
        KeStallExecutionProcessor(1);
    }
    return FALSE;
}

BOOLEAN ZarDebiWaitStateMachineIdle(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < kStateMachinePolls; ++i) {
        if (!(ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & ZAR_STATUS_DEBI_BUSY)) return TRUE;
        KeStallExecutionProcessor(1);
    }
    return FALSE;
}

void ZarDebiInit(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    RtlZeroMemory(debi, sizeof(*debi));
    for (ULONG i = 0; i < ZAR_DEBI_WAIT_STATES; ++i) debi->WaitStates[i] = debi->WaitStates2[i] = kConfigPlain;
    KeInitializeSpinLock(&debi->OwnerLock);
    KeInitializeEvent(&debi->CopyGranted, NotificationEvent, FALSE);
}

void ZarDebiInitAudioWaitStates(PZAR_DEVICE_EXTENSION ext)
{
    bool plain = ext->BoardRevision >= kFirstPlainRevision;
    for (ULONG i = 0; i < ZAR_DEBI_WAIT_STATES; ++i) {
        ext->Debi.WaitStates[i] = plain ? kConfigPlain : kOldBoardWaitStates[i];
        ext->Debi.WaitStates2[i] = plain ? kConfigPlain : kOldBoardWaitStates2[i];
    }
}

NTSTATUS ZarDebiIoPioWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_DEBI_REQUEST request{};
    std::memcpy(&request, buffer, kPioWriteRecordBytes);
    return ZarDebiPioWrite(ext, request.BoardAddress, request.Value) ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

// ---- the SDRAM window and polled transfers ----

void ZarDebiSdramSetAddressMode(PZAR_DEVICE_EXTENSION ext, ULONG mode)
{
    ULONG& shadow = ext->Debi.SdramModeShadow;
    ULONG bits;
    if (ZarDebiSdramModeBits(mode, &bits))
        shadow = (shadow & ~kSdramModeBits) | (bits << kSdramModeShift);
    else if (mode == 255)
        shadow &= ~kSdramModeLowBits;
    ZarDebiPioWrite(ext, ZAR_REG_SDRAM_MODE, shadow);
}

BOOLEAN ZarDebiSdramDmaStartDevice(PZAR_DEVICE_EXTENSION ext, ULONG pageTable, ULONG offset, ULONG command,
                                   BOOLEAN interruptDriven)
{
    if (ext->Registers == nullptr) return FALSE;
    if (interruptDriven) KeClearEvent(&ext->Scsi.SdramCopyDone);
    ZAR_DEBI_BLOCK block{ext, kConfigSdramWindow, pageTable | kDebiPageMmu, offset, command, interruptDriven};
    return ZarRunSynchronized(ext, ZarDebiCriticalBlockStart, &block);
}

BOOLEAN ZarDebiFsDmaStartDevice(PZAR_DEVICE_EXTENSION ext, ULONG command, ULONG page, ULONG address)
{
    if (ext->Registers == nullptr) return FALSE;
    ZAR_DEBI_BLOCK block{ext, kConfigPlain, page, address, command, FALSE};
    return ZarRunSynchronized(ext, ZarDebiCriticalBlockStart, &block);
}

// ---- engine ownership ----

BOOLEAN ZarDebiAcquireForCopy(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    KIRQL oldIrql;
    KeAcquireSpinLock(&debi->OwnerLock, &oldIrql);
    if (debi->Owner == ZAR_DEBI_OWNER_NONE) {
        debi->Owner = ZAR_DEBI_OWNER_SCSI_COPY;
        KeReleaseSpinLock(&debi->OwnerLock, oldIrql);
        return TRUE;
    }
    KeClearEvent(&debi->CopyGranted);
    debi->CopyWaiting = TRUE;
    KeReleaseSpinLock(&debi->OwnerLock, oldIrql);

    LARGE_INTEGER wait;
    wait.QuadPart = kCopyOwnerWait;
    KeWaitForSingleObject(&debi->CopyGranted, Executive, KernelMode, FALSE, &wait);
    // The owner word decides: the hand-over may come just after the time-out.
    KeAcquireSpinLock(&debi->OwnerLock, &oldIrql);
    BOOLEAN granted = debi->Owner == ZAR_DEBI_OWNER_SCSI_COPY;
    debi->CopyWaiting = FALSE;
    KeReleaseSpinLock(&debi->OwnerLock, oldIrql);
    return granted;
}

void ZarDebiReleaseFromCopy(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    KIRQL oldIrql;
    KeAcquireSpinLock(&debi->OwnerLock, &oldIrql);
    ZAR_DEBI_ENTRY* waiting = nullptr;
    if (debi->CopyWaiting) {
        // Another polled sequence (the SCSI thread's copy, a frame-store
        // read) waits: it takes the engine straight from this one.
        debi->CopyWaiting = FALSE;
        KeSetEvent(&debi->CopyGranted, IO_NO_INCREMENT, FALSE);
    } else {
        debi->Owner = ZAR_DEBI_OWNER_NONE;
        waiting = debi->WaitingEntry;
        debi->WaitingEntry = nullptr;
    }
    KeReleaseSpinLockFromDpcLevel(&debi->OwnerLock);
    if (waiting != nullptr) ZarDebiIoStartIo(ext, waiting);
    KeLowerIrql(oldIrql);
}

BOOLEAN ZarDebiNoAccess(PVOID) { return TRUE; }

BOOLEAN ZarDebiAcquireForStream(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    for (ULONG tries = 0;; ++tries) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&debi->OwnerLock, &oldIrql);
        // A waiting SDRAM copy goes first, as it does after a request.
        const bool free = debi->Owner == ZAR_DEBI_OWNER_NONE && !debi->CopyWaiting;
        if (free) debi->Owner = ZAR_DEBI_OWNER_FPGA_STREAM;
        KeReleaseSpinLock(&debi->OwnerLock, oldIrql);
        if (free) break;
        if (tries == kStreamOwnerTries) return FALSE;
        LARGE_INTEGER retry;
        retry.QuadPart = kStreamOwnerRetry;
        KeDelayExecutionThread(KernelMode, FALSE, &retry);
    }
    // An access that read the owner before it changed ends inside the
    // interrupt's lock: once through it, every access sees the stream.
    ZarRunSynchronized(ext, ZarDebiNoAccess, nullptr);
    return TRUE;
}

void ZarDebiReleaseFromStream(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    KIRQL oldIrql;
    KeAcquireSpinLock(&debi->OwnerLock, &oldIrql);
    ZAR_DEBI_ENTRY* waiting = nullptr;
    if (debi->CopyWaiting) {
        debi->CopyWaiting = FALSE;
        debi->Owner = ZAR_DEBI_OWNER_SCSI_COPY;
        KeSetEvent(&debi->CopyGranted, IO_NO_INCREMENT, FALSE);
    } else {
        debi->Owner = ZAR_DEBI_OWNER_NONE;
        waiting = debi->WaitingEntry;
        debi->WaitingEntry = nullptr;
    }
    KeReleaseSpinLockFromDpcLevel(&debi->OwnerLock);
    if (waiting != nullptr) ZarDebiIoStartIo(ext, waiting);
    KeLowerIrql(oldIrql);
}

BOOLEAN ZarDebiClaimAtDirql(PZAR_DEVICE_EXTENSION ext)
{
    // Waiting here for an owner to finish is not possible: its next block
    // starts from the DEBI DPC, below this level. Its window mode and pointer
    // must not move between two of its blocks either.
    if (ext->Debi.Owner != ZAR_DEBI_OWNER_NONE || !ZarDebiWaitIdle(ext)) return FALSE;
    ZarDebiMaskDoneAtIrql(ext);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, kConfigPlain);
    return TRUE;
}

// ---- the queued DEBI request ----

void ZarDebiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry)
{
    // Programmed accesses end here and now; the loop goes on with the
    // entries behind them until a DMA transfer takes the channel (or waits
    // for the engine while an SDRAM copy owns it).
    while (entry != nullptr) {
        auto* request = static_cast<ZAR_DEBI_REQUEST*>(entry->SystemBuffer);
        NTSTATUS status = STATUS_SUCCESS;
        if (request->Operation == ZAR_DEBI_OP_PIO_WRITE) {
            // A write that did not happen must not pass for done.
            if (!ZarDebiPioWrite(ext, request->BoardAddress, request->Value)) status = STATUS_DEVICE_NOT_READY;
        } else if (request->Operation == ZAR_DEBI_OP_PIO_READ) {
            // A read that did not happen answers with its defined value.
            request->Value = ZarDebiPioRead(ext, request->BoardAddress);
        } else {
            if (ZarDebiClaimForRequest(ext, entry)) ZarDebiStartDma(ext, entry);
            return;
        }
        ZAR_DEBI_ENTRY* done = entry;
        entry = ZarDebiNextEntry(ext);
        ZarQueueEndRequest(&ext->DebiLookaside, done, done->Irp, done->Mdl, status, kRequestBytes);
    }
}

NTSTATUS ZarDebiInitDcb(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_DEBI_STATE* debi = &ext->Debi;
    ZAR_DEBI_ENTRY* entry = debi->CurrentEntry;
    const auto* request = static_cast<const ZAR_DEBI_REQUEST*>(entry->SystemBuffer);
    debi->Mode = request->DmaMode;
    debi->ToBoard = (request->Operation & 1) != 0;
    debi->BoardAddress = request->BoardAddress;
    debi->Remaining = debi->Chunk = debi->PageIndex = debi->MapRegisterCount = 0;
    debi->CurrentVa = nullptr;
    debi->MapRegisterBase = nullptr;

    ULONG length = request->ByteLength;
    ULONG limit = debi->Mode == ZAR_DEBI_DMA_BOUNCE ? ZAR_DEBI_MAX_CHUNK : ZAR_DEBI_MAX_LENGTH;
    if (debi->Mode > ZAR_DEBI_DMA_BOUNCE || length < ZAR_DEBI_MIN_LENGTH || length > limit) return STATUS_UNSUCCESSFUL;
    if (entry->Mdl == nullptr || ext->Registers == nullptr) return STATUS_UNSUCCESSFUL;
    auto* va = static_cast<PUCHAR>(MmGetMdlVirtualAddress(entry->Mdl));
    if (((reinterpret_cast<ULONG_PTR>(va) | length) & 3) != 0) return STATUS_DATATYPE_MISALIGNMENT;
    debi->CurrentVa = va;
    debi->Remaining = length;

    if (debi->Mode == ZAR_DEBI_DMA_BOUNCE) {
        ZAR_COMMON_BUFFER& bounce = ZarDebiBounceBuffer(ext);
        if (bounce.VirtualAddress == nullptr || bounce.Length < length) return STATUS_UNSUCCESSFUL;
        debi->Chunk = length;
        if (debi->ToBoard) {
            // Through the system mapping: the start may run in the DPC of the request before.
            PVOID system = MmGetSystemAddressForMdlSafe(entry->Mdl, NormalPagePriority);
            if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            std::memcpy(bounce.VirtualAddress, system, length);
        }
        return ZarDebiPrepareChunk(ext);
    }

    // The page table is one page of 1,024 entries, and a paged DEBI address
    // has ten bits of page index: a buffer that spans more pages would wrap
    // onto its own start.
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
    if (pages > ZAR_PAGE_TABLE_ENTRIES) return STATUS_UNSUCCESSFUL;
    debi->MapRegisterCount = pages;
    if (debi->Mode == ZAR_DEBI_DMA_USER_PAGES)
        debi->Chunk = std::min(length, ZAR_DEBI_MAX_CHUNK);
    else
        debi->Chunk = std::min<ULONG>(length, PAGE_SIZE - BYTE_OFFSET(va));
    return ZarDebiPrepareChunk(ext);
}

IO_ALLOCATION_ACTION ZarDebiAdapterControl(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_DEBI_STATE* debi = &ext->Debi;
    debi->MapRegisterBase = mapRegisterBase;
    ZarBuildGenericPageTableForMdl(ext->DmaAdapter[ZAR_DEBI_ADAPTER], debi->CurrentEntry->Mdl, debi->CurrentVa,
                                   debi->Remaining,
                                   static_cast<PULONG>(ext->ChannelPage[ZAR_DEBI_ADAPTER].VirtualAddress),
                                   ZAR_PAGE_TABLE_ENTRIES, mapRegisterBase, debi->ToBoard);
    if (!ZarRunSynchronized(ext, ZarDebiDmaStartDevice, ext)) ZarDebiFail(ext, STATUS_UNSUCCESSFUL);
    // The map registers stay with the request until its last chunk ends.
    return DeallocateObjectKeepRegisters;
}

BOOLEAN ZarDebiDmaStartDevice(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_DEBI_STATE* debi = &ext->Debi;
    if (!ZarDebiWaitIdle(ext)) return FALSE;
    ZarDebiEnableDoneAtIrql(ext);

    ULONG command = (debi->BoardAddress & 0xFFFF) | (debi->Chunk << kDebiCountShift);
    if (!debi->ToBoard) command |= kDebiCommandRead;
    ULONG page = 0;
    ULONG ad = 0;
    bool immediate = debi->Chunk <= kDebiImmediateMax;
    const ZAR_COMMON_BUFFER& table = ext->ChannelPage[ZAR_DEBI_ADAPTER];
    if (immediate) {
        if (debi->ToBoard) std::memcpy(&ad, debi->ImmediateHost, debi->Chunk);
    } else if (debi->Mode == ZAR_DEBI_DMA_USER_PAGES) {
        page = table.LogicalAddress.LowPart | kDebiPageMmu;
        ad = BYTE_OFFSET(debi->CurrentVa) | ((debi->PageIndex << PAGE_SHIFT) & kDebiPageIndexMask);
    } else if (debi->Mode == ZAR_DEBI_DMA_USER_PAGE_BY_PAGE) {
        ad = static_cast<const ULONG*>(table.VirtualAddress)[debi->PageIndex];
    } else {
        ad = ZarDebiBounceBuffer(ext).LogicalAddress.LowPart;
    }
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_CONFIG, kConfigPlain);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_COMMAND, command);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_PAGE, page);
    ZarBridgeWrite(ext, ZAR_BRIDGE_DEBI_AD, ad);
    debi->State = ZAR_DEBI_RUNNING;
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_MC2_UPLOAD_DEBI);
    if (immediate && !debi->ToBoard) {
        // The answer is in DEBI_AD only until the next access: take it now,
        // under the interrupt's lock. The done status still ends the chunk.
        if (!ZarDebiWaitIdle(ext)) return FALSE;
        ULONG value = ZarBridgeRead(ext, ZAR_BRIDGE_DEBI_AD);
        std::memcpy(debi->ImmediateHost, &value, debi->Chunk);
    }
    return TRUE;
}

void ZarDpcForDebiDma(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_DEBI_STATE* debi = &ext->Debi;

    // The done interrupt belongs to the engine's owner: a block of the SDRAM
    // copy, or a chunk of the queued request.
    if (debi->Owner == ZAR_DEBI_OWNER_SCSI_COPY) {
        if (!ext->Scsi.SdramCopyRunning)
            ++debi->SpuriousDpcs;  // a polled copy, or one that already gave up
        else if (ZarScsiSdramDmaEndBlock(ext))
            ZarScsiSdramDmaStartNextBlock(ext);
        else
            ZarScsiSdramDmaComplete(ext);
        return;
    }
    if (debi->Owner != ZAR_DEBI_OWNER_REQUEST || debi->State == ZAR_DEBI_IDLE) {
        ++debi->SpuriousDpcs;
        return;
    }
    // A request whose set-up failed moved nothing on the bus.
    if (debi->State == ZAR_DEBI_FAILED) {
        ZarDebiCompleteRequest(ext, debi->FailStatus);
        return;
    }

    ZAR_DEBI_ENTRY* entry = debi->CurrentEntry;
    if (debi->Mode != ZAR_DEBI_DMA_BOUNCE)
        IoFlushAdapterBuffers(ext->DmaAdapter[ZAR_DEBI_ADAPTER], entry->Mdl, debi->MapRegisterBase, debi->CurrentVa,
                              debi->Chunk, debi->ToBoard);
    debi->Remaining -= debi->Chunk;
    NTSTATUS status = STATUS_SUCCESS;
    if (debi->Remaining != 0) {
        // The board address stays: the bridge runs DEBI blocks without
        // address increment, so the board side is a port or the SDRAM
        // window, whose pointer moves on by itself.
        ULONG offset = BYTE_OFFSET(debi->CurrentVa);
        debi->CurrentVa += debi->Chunk;
        if (debi->Mode == ZAR_DEBI_DMA_USER_PAGES) {
            debi->PageIndex += (offset + debi->Chunk) / PAGE_SIZE;
            debi->Chunk = std::min(debi->Remaining, ZAR_DEBI_MAX_CHUNK);
        } else {
            debi->PageIndex += 1;
            debi->Chunk = std::min<ULONG>(debi->Remaining, PAGE_SIZE);
        }
        status = ZarDebiPrepareChunk(ext);
        if (NT_SUCCESS(status)) {
            if (ZarRunSynchronized(ext, ZarDebiDmaStartDevice, ext)) return;
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ZarDebiCompleteRequest(ext, status);
}

// ---- BRS DMA command rules ----

BOOLEAN ZarBrsIsValidDmaCommand(const void* command)
{
    ZAR_BRS_DMA_COMMAND c;
    std::memcpy(&c, command, sizeof(c));
    if (c.Kind > 2 || c.FieldSynchronous > 1) return FALSE;
    if (c.Kind == 0 ? c.Source > 2 : c.Source != 0) return FALSE;
    ULONG limit = c.Source == 2 ? ZAR_BRS_MAX_BOUNCE_LENGTH : ZAR_BRS_MAX_LENGTH;
    if (c.ByteLength < 4 || (c.ByteLength & 3) != 0 || c.ByteLength > limit) return FALSE;
    if ((c.HostAddress & 3) != 0) return FALSE;
    if (c.Kind == 2) {
        if (c.Field != 1 && c.Field != 2) return FALSE;
        if (c.FieldOrder > 2 || c.BottomUp > 1) return FALSE;
        if (c.PixelFormat != 0 && c.PixelFormat != 17) return FALSE;
        if (c.Width > ZAR_BRS_MAX_WIDTH || c.Height > ZAR_BRS_MAX_HEIGHT) return FALSE;
    }
    return TRUE;
}

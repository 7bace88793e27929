// BRS DMA channel: the bridge's video DMA 3 carrying blocks, frames and
// image fields from host memory to the board's graphics frame stores.
//
// One transfer runs at a time. The start routine posts a field-synchronous
// entry for the VBI DPC or starts the entry at once; the start builds the
// page table of the locked pages in the adapter-control callback and
// programs the bridge synchronised with the interrupt; the interrupt routine
// sees the DMA's current address reach the end (or the 10-field time-out)
// and queues the DPC, which goes on with the next chunk or completes the
// entry and starts the next one.

#include <algorithm>
#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_brs.h"
#include "zar_debi.h"
#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_i2c.h"
#include "zar_isr.h"
#include "zar_pagetable.h"

namespace {

constexpr ULONG kGpioPin = 2;
constexpr ULONG kGpioIdle = 0x50u << 16;      // GPIO 2 while no transfer is being started
constexpr ULONG kGpioPulse = 0x40u << 16;     // the start pulse's second half
constexpr ULONG kFrameLineBytes = 1440;
constexpr ULONG kLineBytesField = 0xFFF;      // NUM_LINE_BYTE3: bytes a line less one, 12 bits
constexpr ULONG kFieldSettleUs = 64;
constexpr LONGLONG kKernelWait = -10000000LL;  // 1 s, 100 ns units
constexpr ULONG kStoreModeAlternate = 3;      // a store read in mode 3 needs no settling time

ZAR_BRS_ENTRY_DATA* ZarBrsData(ZAR_BRS_ENTRY* entry) { return reinterpret_cast<ZAR_BRS_ENTRY_DATA*>(entry->Channel); }
static_assert(sizeof(ZAR_BRS_ENTRY_DATA) <= sizeof(ZAR_BRS_ENTRY::Channel));

const ZAR_BRS_DMA_COMMAND* ZarBrsCommandOf(ZAR_BRS_ENTRY* entry)
{
    return static_cast<const ZAR_BRS_DMA_COMMAND*>(entry->SystemBuffer);
}

PUCHAR ZarBrsDataVa(ZAR_BRS_ENTRY* entry)
{
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(ZarBrsCommandOf(entry)->HostAddress));
}

BOOLEAN ZarBrsGpioIdleSynchronized(PVOID context)
{
    ZarGpioChange(static_cast<PZAR_DEVICE_EXTENSION>(context), kGpioIdle, kGpioPin);
    return TRUE;
}

// Drops one reference of a kernel caller's block; the last frees it.
void ZarBrsReleaseKernel(ZAR_BRS_KERNEL_REQUEST* kernel)
{
    if (kernel != nullptr && InterlockedDecrement(&kernel->References) == 0) ExFreePoolWithTag(kernel, ZAR_TAG_BRS);
}

void ZarBrsUnlockPages(PMDL mdl)
{
    if (mdl == nullptr) return;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

ULONG ZarBrsFrameLines(PZAR_DEVICE_EXTENSION ext) { return ext->Standard == ZAR_STANDARD_625 ? 576 : 486; }

// Kind 2: where in the image the field starts and ends, by field, order
// and direction.
BOOLEAN ZarBrsCalcAddressParms(ZAR_BRS_ENTRY* entry)
{
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    ZAR_BRS_ENTRY_DATA* d = ZarBrsData(entry);
    if (c->Field != 1 && c->Field != 2) return FALSE;
    d->Pitch = (c->Width * 4 + 3) & ~3UL;
    d->ImageSize = c->Height * d->Pitch;
    d->HalfHeight = c->Height / 2;
    bool secondLineFirst = (c->Field == 1) == (c->FieldOrder == 2);
    if (c->BottomUp == 0) {
        d->StartOffset = secondLineFirst ? d->Pitch : 0;
        d->EndBase = d->ImageSize;
        d->PitchRegister = LONG(2 * d->Pitch);
    } else {
        d->StartOffset = secondLineFirst ? d->ImageSize : d->ImageSize + d->Pitch;
        d->EndBase = 0;
        d->PitchRegister = -LONG(2 * d->Pitch);
    }
    return TRUE;
}

// The transfer block of the entry: lengths, the first chunk and the map
// registers. STATUS_UNSUCCESSFUL for a length beyond the source's limit or
// an image larger than the data; STATUS_DATATYPE_MISALIGNMENT for a chunk
// not on 4 bytes.
NTSTATUS ZarBrsInitDcb(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry)
{
    ZAR_BRS_STATE& brs = ext->Brs;
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    PUCHAR va = ZarBrsDataVa(entry);
    brs.Remaining = c->ByteLength;
    brs.Done = 0;
    brs.MapRegisterCount = 0;
    brs.MapRegisterBase = nullptr;
    switch (c->Source) {
    case 0: brs.Chunk = c->ByteLength; break;
    case 1: brs.Chunk = std::min<ULONG>(c->ByteLength, PAGE_SIZE - BYTE_OFFSET(va)); break;
    case 2: brs.Chunk = c->ByteLength; break;
    default: return STATUS_UNSUCCESSFUL;
    }
    ULONG limit = c->Source == 2 ? ZAR_BRS_BOUNCE_SIZE : ZAR_BRS_MAX_LENGTH;
    if (c->ByteLength > limit) return STATUS_UNSUCCESSFUL;
    if (((c->ByteLength | c->HostAddress) & 3) != 0) return STATUS_DATATYPE_MISALIGNMENT;
    if (c->Kind == 2) {
        // The field's lines are read from the image whatever the length
        // says: an image larger than the data would read past it.
        if (!ZarBrsCalcAddressParms(entry)) return STATUS_UNSUCCESSFUL;
        ZAR_BRS_ENTRY_DATA* d = ZarBrsData(entry);
        if (d->HalfHeight == 0 || d->Pitch == 0 || d->ImageSize > c->ByteLength || d->Pitch - 1 > kLineBytesField)
            return STATUS_UNSUCCESSFUL;
        brs.Chunk = brs.Remaining;
    }
    if (c->Source == 2) {
        if (ext->BrsBounce.VirtualAddress == nullptr || entry->Mdl == nullptr) return STATUS_UNSUCCESSFUL;
        PVOID system = MmGetSystemAddressForMdlSafe(entry->Mdl, NormalPagePriority);
        if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(ext->BrsBounce.VirtualAddress, system, c->ByteLength);
        return STATUS_SUCCESS;
    }
    if (entry->Mdl == nullptr) return STATUS_UNSUCCESSFUL;
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, c->ByteLength);
    if (pages > ZAR_PAGE_TABLE_ENTRIES) return STATUS_UNSUCCESSFUL;
    brs.MapRegisterCount = pages;
    return STATUS_SUCCESS;
}

struct ZAR_BRS_START {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_BRS_ENTRY* Entry;
};

// Programs the bridge for the current chunk (synchronised with the
// interrupt). FALSE for a kind-2 field that is not 1 or 2.
BOOLEAN ZarBrsDmaStartDevice(PVOID context)
{
    auto* start = static_cast<ZAR_BRS_START*>(context);
    PZAR_DEVICE_EXTENSION ext = start->Ext;
    ZAR_BRS_ENTRY* entry = start->Entry;
    ZAR_BRS_STATE& brs = ext->Brs;
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    ZAR_BRS_ENTRY_DATA* d = ZarBrsData(entry);
    PUCHAR va = ZarBrsDataVa(entry) + brs.Done;
    const ZAR_COMMON_BUFFER& table = ext->ChannelPage[ZAR_BRS_ADAPTER];

    ULONG address = 0;
    ULONG page = ZAR_BRS_PAGE_PLAIN;
    LONG pitch;
    ULONG numLineByte;
    if (c->Kind == 2) {
        if (c->Field != 1 && c->Field != 2) return FALSE;
        address = (BYTE_OFFSET(ZarBrsDataVa(entry)) + d->StartOffset) | ZAR_BRS_LINEAR;
        page = table.LogicalAddress.LowPart | ZAR_BRS_PAGE_MMU;
        pitch = d->PitchRegister;
        numLineByte = ((d->HalfHeight - 1) << 16) | (d->Pitch - 1);
        ext->BrsEndAddress = ULONG(LONG(d->EndBase) - pitch) | ZAR_BRS_LINEAR;
    } else {
        ULONG bytesPerLine, lines;
        if (c->Kind == 1) {
            bytesPerLine = kFrameLineBytes;
            lines = ZarBrsFrameLines(ext);
        } else {
            ZarBrsCalcNumBytesLines(brs.Chunk, &bytesPerLine, &lines);
        }
        // The chunk is what the lines move; the rest goes as the next chunk.
        if (c->Kind == 0) brs.Chunk = bytesPerLine * lines;
        switch (c->Source) {
        case 0: {
            ULONG linear = BYTE_OFFSET(ZarBrsDataVa(entry)) + brs.Done;
            address = (linear & 0x3FFFFF) | ZAR_BRS_LINEAR;
            page = table.LogicalAddress.LowPart | ZAR_BRS_PAGE_MMU;
            break;
        }
        case 1: {
            ULONG index = (BYTE_OFFSET(ZarBrsDataVa(entry)) + brs.Done) >> PAGE_SHIFT;
            address = (static_cast<const ULONG*>(table.VirtualAddress)[index] & ~(PAGE_SIZE - 1)) + BYTE_OFFSET(va);
            break;
        }
        default: address = ext->BrsBounce.LogicalAddress.LowPart + brs.Done; break;
        }
        pitch = LONG(bytesPerLine);
        numLineByte = ((lines - 1) << 16) | (bytesPerLine - 1);
        ext->BrsEndAddress = address + bytesPerLine * lines - bytesPerLine;
    }
    ext->BrsPitch = pitch;
    ZarBridgeWrite(ext, ZAR_BRIDGE_NUM_LINE_BYTE3, numLineByte);
    ZarBridgeWrite(ext, ZAR_BRIDGE_BASE_ODD3, address);
    ZarBridgeWrite(ext, ZAR_BRIDGE_BASE_EVEN3, address);
    ZarBridgeWrite(ext, ZAR_BRIDGE_PROT_ADDR3, pitch >= 0 ? 0xFFFFFFFF : 0);
    ZarBridgeWrite(ext, ZAR_BRIDGE_BASE_PAGE3, page);
    ZarBridgeWrite(ext, ZAR_BRIDGE_PITCH3, ULONG(pitch));
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_BRS_MC2_UPLOAD);
    brs.State = ZAR_BRS_RUNNING;
    ext->BrsWaiting = TRUE;
    ext->BrsStartField = ext->FieldCounter;
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, ZAR_BRS_MC1_START);
    ZarGpioChange(ext, kGpioIdle, kGpioPin);
    ZarGpioChange(ext, kGpioPulse, kGpioPin);
    return TRUE;
}

// The board registers a transfer of its kind needs set before it runs.
BOOLEAN ZarBrsPrepareStore(PVOID context)
{
    auto* start = static_cast<ZAR_BRS_START*>(context);
    PZAR_DEVICE_EXTENSION ext = start->Ext;
    ZAR_BRS_STATE& brs = ext->Brs;
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(start->Entry);
    if (c->Kind == 1) {
        brs.FrameTransfer |= ZAR_MIXER_CONTROL_FRAME_TRANSFER;
        ZarDebiPioWrite(ext, ZAR_REG_MIXER_CONTROL, brs.FrameTransfer);
        brs.StoreAWrite = 0;
        ZarDebiPioWrite(ext, ZAR_REG_STORE_A_WRITE, 0);
    } else if (c->Kind == 2 && c->DestinationStore == 0) {
        brs.StoreAWrite |= ZAR_STORE_A_BUSY;
        brs.StoreAWrite = (brs.StoreAWrite & ~ZAR_STORE_A_WRITE_BUFFER) | ((c->WriteBuffer & 1) ? ZAR_STORE_A_WRITE_BUFFER : 0);
        ZarDebiPioWrite(ext, ZAR_REG_STORE_A_WRITE, brs.StoreAWrite);
    } else if (c->Kind == 2 && c->DestinationStore == 1) {
        brs.StoreBWrite |= ZAR_STORE_B_BUSY;
        brs.StoreBWrite = (brs.StoreBWrite & ~ZAR_STORE_B_WRITE_BUFFER) | ((c->WriteBuffer & 1) ? ZAR_STORE_B_WRITE_BUFFER : 0);
        ZarDebiPioWrite(ext, ZAR_REG_STORE_B_WRITE, brs.StoreBWrite);
    }
    return TRUE;
}

BOOLEAN ZarBrsStartChunkSynchronized(PVOID context)
{
    return ZarBrsDmaStartDevice(context);
}

// The set-up failed: nothing moves, the DPC completes the entry.
void ZarBrsFail(PZAR_DEVICE_EXTENSION ext)
{
    ext->Brs.State = ZAR_BRS_FAILED;
    KeInsertQueueDpc(&ext->DpcBrsDma, nullptr, nullptr);
}

IO_ALLOCATION_ACTION ZarBrsAdapterControl(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_BRS_STATE& brs = ext->Brs;
    ZAR_BRS_ENTRY* entry = brs.CurrentEntry;
    brs.MapRegisterBase = mapRegisterBase;
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    ZarBuildGenericPageTableForMdl(ext->DmaAdapter[ZAR_BRS_ADAPTER], entry->Mdl, ZarBrsDataVa(entry), c->ByteLength,
                                   static_cast<PULONG>(ext->ChannelPage[ZAR_BRS_ADAPTER].VirtualAddress),
                                   ZAR_PAGE_TABLE_ENTRIES, mapRegisterBase, TRUE);
    ZAR_BRS_START start{ext, entry};
    if (!ZarRunSynchronized(ext, ZarBrsStartChunkSynchronized, &start)) ZarBrsFail(ext);
    return DeallocateObjectKeepRegisters;
}

// Ends the entry's store state and frees its pages (also for an entry the
// channel never ran).
void ZarBrsDmaComplete(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry)
{
    ZAR_BRS_START start{ext, entry};
    auto finish = [](PVOID context) -> BOOLEAN {
        auto* s = static_cast<ZAR_BRS_START*>(context);
        ZAR_BRS_STATE& brs = s->Ext->Brs;
        const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(s->Entry);
        if (c->Kind == 2 && c->DestinationStore == 0) {
            brs.StoreAWrite &= ~ZAR_STORE_A_BUSY;
            ZarDebiPioWrite(s->Ext, ZAR_REG_STORE_A_WRITE, brs.StoreAWrite);
        } else if (c->Kind == 2 && c->DestinationStore == 1) {
            brs.StoreBWrite &= ~ZAR_STORE_B_BUSY;
            ZarDebiPioWrite(s->Ext, ZAR_REG_STORE_B_WRITE, brs.StoreBWrite);
        } else if (c->Kind == 1) {
            brs.FrameTransfer &= ~ZAR_MIXER_CONTROL_FRAME_TRANSFER;
            ZarDebiPioWrite(s->Ext, ZAR_REG_MIXER_CONTROL, brs.FrameTransfer);
        }
        return TRUE;
    };
    ZarRunSynchronized(ext, finish, &start);
    ZarBrsUnlockPages(entry->Mdl);
    entry->Mdl = nullptr;
}

// Completes the entry to its caller and returns it to the look-aside list.
void ZarBrsEndEntry(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry, ULONG kind)
{
    ZAR_BRS_KERNEL_REQUEST* kernel = ZarBrsData(entry)->Kernel;
    if (entry->Irp != nullptr) {
        PIRP irp = entry->Irp;
        ExFreeToNPagedLookasideList(&ext->BrsLookaside, entry);
        ZarCompleteRequest(irp, STATUS_SUCCESS, ZAR_BRS_DMA_COMMAND_SIZE);
    } else {
        ExFreeToNPagedLookasideList(&ext->BrsLookaside, entry);
        // The caller's event lives in the shared block, never on its stack.
        if (kernel != nullptr) {
            KeSetEvent(&kernel->Done, IO_NO_INCREMENT, FALSE);
            ZarBrsReleaseKernel(kernel);
        }
    }
    if (kind == 1) KeSetEvent(&ext->Brs.FrameTransferDone, IO_NO_INCREMENT, FALSE);
    ++ext->Brs.Transfers;
}

ZAR_BRS_ENTRY* ZarBrsNextQueued(PZAR_DEVICE_EXTENSION ext)
{
    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->BrsQueue);
    return next != nullptr ? CONTAINING_RECORD(next, ZAR_BRS_ENTRY, QueueEntry) : nullptr;
}

BOOLEAN ZarBrsPostSynchronized(PVOID context)
{
    auto* start = static_cast<ZAR_BRS_START*>(context);
    PZAR_DEVICE_EXTENSION ext = start->Ext;
    ext->BrsSyncEntry = start->Entry;
    ext->BrsSyncSelector = ZarBrsCommandOf(start->Entry)->Field;
    ext->BrsSyncPending = TRUE;
    return TRUE;
}

}  // namespace

// ---- set-up and release ----

NTSTATUS ZarBrsInitialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_BRS_STATE& brs = ext->Brs;
    KeInitializeEvent(&brs.FrameTransferDone, NotificationEvent, FALSE);
    brs.Ready = TRUE;
    return STATUS_SUCCESS;
}

// ---- geometry ----

void ZarBrsCalcNumBytesLines(ULONG length, PULONG bytesPerLine, PULONG lines)
{
    ULONG b = 1024;
    ULONG n = (length + b - 1) / b;
    while (n < 4 && b >= 16) {
        b /= 2;
        n = (length + b - 1) / b;
    }
    while (n > 1024 && b <= 2048) {
        b *= 2;
        n = (length + b - 1) / b;
    }
    // Only whole lines: a partial last line would read past the data.
    n = length / b;
    if (n == 0) {
        b = length;
        n = 1;
    }
    n = std::min<ULONG>(n, 4096);
    *bytesPerLine = b;
    *lines = n;
}

// ---- the queue ----

void ZarBrsLockDmaBuffers(PZAR_DEVICE_EXTENSION, ZAR_BRS_ENTRY* entry, KPROCESSOR_MODE mode)
{
    // Runs inside the caller's SehTry: a bad address raises.
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    PMDL mdl = IoAllocateMdl(ZarBrsDataVa(entry), c->ByteLength, FALSE, FALSE, nullptr);
    if (mdl == nullptr) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    // The channel only reads the data. The entry holds only locked pages.
    NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, mode, IoReadAccess); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        ExRaiseStatus(status);
    }
    entry->Mdl = mdl;
}

void ZarBrsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry)
{
    if ((ext->InterruptEnable & ZAR_INT_FIELD) == 0) ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, ZAR_BRS_MC1_ENABLE);
    if ((ext->InterruptEnable & ZAR_INT_BRS) == 0) ZarSetIntMode(ext, ZAR_INT_BRS, TRUE);
    if (ZarBrsCommandOf(entry)->FieldSynchronous == 1) {
        ZAR_BRS_START start{ext, entry};
        ZarRunSynchronized(ext, ZarBrsPostSynchronized, &start);
        return;
    }
    ZarBrsDmaStartIoSynchronous(ext, entry);
}

void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION ext, PVOID context)
{
    auto* entry = static_cast<ZAR_BRS_ENTRY*>(context);
    ZAR_BRS_STATE& brs = ext->Brs;
    ZarRunSynchronized(ext, ZarBrsGpioIdleSynchronized, ext);
    brs.CurrentEntry = entry;
    NTSTATUS status = ZarBrsInitDcb(ext, entry);
    if (!NT_SUCCESS(status)) {
        ZarBrsFail(ext);
        return;
    }
    ZAR_BRS_START start{ext, entry};
    ZarRunSynchronized(ext, ZarBrsPrepareStore, &start);
    const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
    if (c->Kind == 2 && c->FieldSynchronous == 1) {
        ULONG storeMode = c->DestinationStore == 0 ? ZarGfxGetReadMode(ext, 0) : ZarGfxGetReadMode(ext, 1);
        if (storeMode != kStoreModeAlternate) KeStallExecutionProcessor(kFieldSettleUs);
    }
    if (c->Source == 2) {
        if (!ZarRunSynchronized(ext, ZarBrsStartChunkSynchronized, &start)) ZarBrsFail(ext);
        return;
    }
    status = IoAllocateAdapterChannel(ext->DmaAdapter[ZAR_BRS_ADAPTER], ext->DeviceObject, brs.MapRegisterCount,
                                      ZarBrsAdapterControl, ext);
    if (!NT_SUCCESS(status)) ZarBrsFail(ext);
}

void ZarDpcForBrsDma(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_BRS_STATE& brs = ext->Brs;
    ZarRunSynchronized(ext, ZarBrsGpioIdleSynchronized, ext);
    ZAR_BRS_ENTRY* entry = brs.CurrentEntry;
    if (entry != nullptr) {
        if (brs.State == ZAR_BRS_IDLE) {
            ++brs.SpuriousDpcs;
            return;
        }
        const ZAR_BRS_DMA_COMMAND* c = ZarBrsCommandOf(entry);
        if (brs.State != ZAR_BRS_FAILED) {
            brs.Remaining -= std::min(brs.Remaining, brs.Chunk);
            brs.Done += brs.Chunk;
            // Kind 0 goes on until every byte moved: page by page, or the
            // tail its line length did not divide.
            if (c->Kind == 0 && brs.Remaining != 0) {
                PUCHAR va = ZarBrsDataVa(entry) + brs.Done;
                brs.Chunk = c->Source == 1 ? std::min<ULONG>(brs.Remaining, PAGE_SIZE - BYTE_OFFSET(va)) : brs.Remaining;
                ZAR_BRS_START start{ext, entry};
                if (ZarRunSynchronized(ext, ZarBrsStartChunkSynchronized, &start)) return;
                brs.State = ZAR_BRS_FAILED;
            }
        }
        if (brs.MapRegisterBase != nullptr) {
            IoFlushAdapterBuffers(ext->DmaAdapter[ZAR_BRS_ADAPTER], entry->Mdl, brs.MapRegisterBase,
                                  ZarBrsDataVa(entry), c->ByteLength, TRUE);
            IoFreeMapRegisters(ext->DmaAdapter[ZAR_BRS_ADAPTER], brs.MapRegisterBase, brs.MapRegisterCount);
            brs.MapRegisterBase = nullptr;
        }
        ZarBrsDmaComplete(ext, entry);
    }
    // The channel is idle before the caller learns of the end.
    brs.State = ZAR_BRS_IDLE;
    brs.CurrentEntry = nullptr;
    ZAR_BRS_ENTRY* next = ZarBrsNextQueued(ext);
    if (entry != nullptr) ZarBrsEndEntry(ext, entry, ZarBrsCommandOf(entry)->Kind);
    if (next != nullptr) ZarBrsDmaStartIo(ext, next);
}

// ---- kernel callers ----

NTSTATUS ZarBrsDmaCommand(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_DMA_COMMAND* command, KPROCESSOR_MODE mode)
{
    if (!ZarBrsIsValidDmaCommand(command)) return STATUS_INVALID_DEVICE_REQUEST;
    if (command->FieldOrder == 0) command->FieldOrder = ext->Standard == ZAR_STANDARD_625 ? 1 : 2;
    auto* kernel = static_cast<ZAR_BRS_KERNEL_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ZAR_BRS_KERNEL_REQUEST), ZAR_TAG_BRS));
    if (kernel == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    kernel->Command = *command;
    KeInitializeEvent(&kernel->Done, NotificationEvent, FALSE);
    kernel->References = 2;
    auto* entry = static_cast<ZAR_BRS_ENTRY*>(ExAllocateFromNPagedLookasideList(&ext->BrsLookaside));
    if (entry == nullptr) {
        ExFreePoolWithTag(kernel, ZAR_TAG_BRS);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->SystemBuffer = &kernel->Command;
    ZarBrsData(entry)->Kernel = kernel;
    NTSTATUS status = SehTry([&] { ZarBrsLockDmaBuffers(ext, entry, mode); });
    if (!NT_SUCCESS(status)) {
        ZarBrsUnlockPages(entry->Mdl);
        ExFreeToNPagedLookasideList(&ext->BrsLookaside, entry);
        ExFreePoolWithTag(kernel, ZAR_TAG_BRS);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    if (!KeInsertDeviceQueue(&ext->BrsQueue, &entry->QueueEntry)) ZarBrsDmaStartIo(ext, entry);
    KeLowerIrql(oldIrql);

    LARGE_INTEGER limit;
    limit.QuadPart = kKernelWait;
    if (KeWaitForSingleObject(&kernel->Done, Executive, KernelMode, FALSE, &limit) != STATUS_TIMEOUT) {
        ZarBrsReleaseKernel(kernel);
        return STATUS_SUCCESS;
    }
    // Given up: an entry still waiting in the queue is taken out and ended
    // here; one the channel runs ends there, and only the shared block hears of it.
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    bool removed = KeRemoveEntryDeviceQueue(&ext->BrsQueue, &entry->QueueEntry);
    KeLowerIrql(oldIrql);
    if (removed) {
        ZarBrsDmaComplete(ext, entry);
        ExFreeToNPagedLookasideList(&ext->BrsLookaside, entry);
        ZarBrsReleaseKernel(kernel);
    }
    ZarBrsReleaseKernel(kernel);
    return STATUS_IO_TIMEOUT;
}

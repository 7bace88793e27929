// SCSI request engine: the life of a ZAR_DISK_REQUEST from its start on the
// SCSI device queue, through the command thread that runs its operation on
// the bus, to the request-complete DPC that either sends the thread the
// next pass of a large buffer or completes the request and starts the next.
//
// Data never moves between the controller and host memory: the bus moves it
// between the drive and board SDRAM, and DEBI block transfers copy between
// SDRAM and the caller's locked pages (or the driver's own common page for
// command replies and misaligned buffers). The request always completes with
// success; its outcome is the status byte and the sense fields in it.

#include <cstring>

#include "zar_board_regs.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_jpeg.h"
#include "zar_pagetable.h"
#include "zar_queue.h"
#include "zar_scsi.h"

namespace {

constexpr ULONG kBlockSize = 512;
constexpr ULONG kMaxBlocksPerCommand = 256;
constexpr ULONG kMaxCdbBlocks = 0xFFFF;  // what the 16-bit count of READ(10)/WRITE(10) carries
constexpr ULONG kLargePass = ZAR_DMA_MAX_TRANSFER;
constexpr ULONG kRingBlocks = 7936;
constexpr ULONG kCopyBlockBytes = 4096;
constexpr LONGLONG kCopyWait = -10000000LL;  // 1 s
constexpr KPRIORITY kThreadPriority = 16;
constexpr ULONG kModeSenseReplyBytes = 256;

// Board registers of the SDRAM side.
constexpr ULONG kSdramControl = ZAR_REG_SCSI_SDRAM_CONTROL;
constexpr ULONG kSdramControlEnable = ZAR_SCSI_SDRAM_ENABLE;
constexpr ULONG kSdramControlFromMemory = ZAR_SCSI_SDRAM_FROM_MEMORY;
constexpr ULONG kSdramControlArm = ZAR_SCSI_SDRAM_ARM;
constexpr ULONG kSdramBlock = ZAR_REG_SCSI_SDRAM_BLOCK;
constexpr ULONG kWindowBlock = ZAR_REG_SDRAM_BLOCK;
constexpr ULONG kWindowAddress = ZAR_REG_SDRAM_WINDOW;
constexpr ULONG kDebiRead = 0x10000;
constexpr ULONG kDebiCountShift = 17;

constexpr ULONG kUnset = 0xFFFFFFFF;

// Bits 10-13 of 0x9400 for an access mode; unknown modes leave them.
ULONG ZarScsiApplyModeBits(ULONG value, ULONG mode)
{
    ULONG field;
    switch (mode) {
    case ZAR_DISK_ACCESS_STAGED: field = 0x0; break;
    case ZAR_DISK_ACCESS_1: field = 0x2; break;
    case ZAR_DISK_ACCESS_2: field = 0xA; break;
    case ZAR_DISK_ACCESS_101: field = 0x3; break;
    case ZAR_DISK_ACCESS_102: field = 0x7; break;
    case ZAR_DISK_ACCESS_255: return value & ~0x0C00UL;
    default: return value;
    }
    return (value & ~ZAR_SCSI_SDRAM_MODE_MASK) | (field << 10);
}

ZAR_SCSI_ENTRY* ZarScsiCurrentEntry(PZAR_DEVICE_EXTENSION ext)
{
    return static_cast<ZAR_SCSI_ENTRY*>(ext->ScsiDcb.CurrentEntry);
}

// ---- SDRAM copies ----

// Starts the next block of the copy set up in ext->Scsi.
BOOLEAN ZarScsiSdramStartBlock(PZAR_DEVICE_EXTENSION ext, BOOLEAN interruptDriven)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    ULONG bytes = s->CopyRemaining < kCopyBlockBytes ? s->CopyRemaining : kCopyBlockBytes;
    s->CopyBlockBytes = bytes;
    if (!s->CopyToHost) {
        if (!ZarDebiWaitStateMachineIdle(ext)) return FALSE;
        if (s->CopyHost != nullptr) std::memcpy(s->CommonVa, s->CopyHost + s->CopyDone, bytes);
    }
    ZarDebiPioWrite(ext, kWindowBlock, s->CopySdramBlock);
    s->CopySdramBlock += bytes / kBlockSize;
    if (s->CopyMode == ZAR_DISK_ACCESS_2) s->CopySdramBlock %= kRingBlocks;
    if (s->CopyMode == ZAR_DISK_ACCESS_101 || s->CopyMode == ZAR_DISK_ACCESS_102)
        s->CopySdramBlock %= ZAR_JPEG_RECORD_BANK_BLOCKS;

    ULONG command = (bytes << kDebiCountShift) | kWindowAddress | (s->CopyToHost ? kDebiRead : 0);
    ULONG offset = s->CopyHost != nullptr ? 0 : s->CopyWindowOffset + s->CopyDone;
    return ZarDebiSdramDmaStartDevice(ext, s->CopyPageTable, offset, command, interruptDriven);
}

// The copy's blocks: short copies polled, the rest block by block through
// the DEBI DPC.
NTSTATUS ZarScsiSdramDmaBlocks(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    ZarDebiSdramSetAddressMode(ext, s->CopyMode);
    if (s->CopyToHost && !ZarDebiWaitStateMachineIdle(ext)) return STATUS_UNSUCCESSFUL;

    if (s->CopyRemaining <= kCopyBlockBytes && !s->CopyBounce) {
        while (s->CopyRemaining != 0) {
            if (!ZarScsiSdramStartBlock(ext, FALSE) || !ZarDebiWaitIdle(ext)) return STATUS_UNSUCCESSFUL;
            ZarScsiSdramDmaEndBlock(ext);
        }
        return STATUS_SUCCESS;
    }

    KeClearEvent(&s->SdramCopyDone);
    s->SdramCopyRunning = TRUE;
    if (!ZarScsiSdramStartBlock(ext, TRUE)) {
        s->SdramCopyRunning = FALSE;
        return STATUS_UNSUCCESSFUL;
    }
    LARGE_INTEGER wait;
    wait.QuadPart = kCopyWait;
    NTSTATUS status = KeWaitForSingleObject(&s->SdramCopyDone, Executive, KernelMode, FALSE, &wait);
    if (status != STATUS_SUCCESS) {
        // The caller's pages go once this returns: let the DEBI DPC finish
        // the block it may hold, the engine end the one it may have started,
        // and that block's DPC find the copy gone.
        s->SdramCopyRunning = FALSE;
        KeFlushQueuedDpcs();
        ZarDebiWaitIdle(ext);
        KeFlushQueuedDpcs();
        return STATUS_UNSUCCESSFUL;
    }
    return s->CopyFailed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// Runs the copy set up in ext->Scsi with the DEBI engine its own from the
// window set-up to the last block: a DEBI request in between would move the
// window and take the copy's done interrupts.
NTSTATUS ZarScsiSdramDma(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    s->CopyDone = 0;
    s->CopyFailed = FALSE;
    if (s->CopyRemaining == 0) return STATUS_SUCCESS;
    if (!ZarDebiAcquireForCopy(ext)) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = ZarScsiSdramDmaBlocks(ext);
    ZarDebiReleaseFromCopy(ext);
    return status;
}

void ZarScsiSetUpCopy(PZAR_DEVICE_EXTENSION ext, const ZAR_DISK_REQUEST* request, BOOLEAN toHost, ULONG length)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    s->CopyToHost = toHost;
    s->CopyRemaining = length;
    s->CopySdramBlock = request->SdramAddress / kBlockSize;
    s->CopyMode = request->AccessMode;
    s->CopyHost = nullptr;
    s->CopyUserVa = nullptr;
    s->CopyBounce = FALSE;
    s->CopyLocked = FALSE;
}

// Host side of a copy: the current pass of the request's locked buffer,
// from 'position', at most to the pass's end.
NTSTATUS ZarScsiSdramCopyRequestData(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, BOOLEAN toHost,
                                     ULONG position, ULONG length)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    ZAR_SCSI_ENTRY* entry = ZarScsiCurrentEntry(ext);
    if (entry->Mdl == nullptr || position >= dcb->PassLength) return STATUS_SUCCESS;
    if (length > dcb->PassLength - position) length = dcb->PassLength - position;

    ZarScsiSetUpCopy(ext, request, toHost, length);
    ZAR_SCSI_STATE* s = &ext->Scsi;
    s->CopyLocked = TRUE;
    s->CopyUserVa = static_cast<PUCHAR>(dcb->CurrentVa) + position;
    if (dcb->Bounce) {
        // A misaligned buffer goes through the common page, from its system mapping.
        ULONG passStart = ULONG(static_cast<PUCHAR>(dcb->CurrentVa) -
                                static_cast<PUCHAR>(MmGetMdlVirtualAddress(entry->Mdl)));
        s->CopyBounce = TRUE;
        s->CopyHost = static_cast<PUCHAR>(dcb->SystemVa) + passStart + position;
        s->CopyPageTable = ULONG(s->CommonLogical.LowPart) + PAGE_SIZE;
    } else {
        s->CopyPageTable = ext->ChannelPage[ZAR_SCSI_ADAPTER].LogicalAddress.LowPart;
        s->CopyWindowOffset = BYTE_OFFSET(dcb->CurrentVa) + position;
    }
    return ZarScsiSdramDma(ext);
}

// Copies of the caller's buffer to SDRAM at [88] and back.
NTSTATUS ZarScsiSdramWrite(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG position, ULONG length)
{
    return ZarScsiSdramCopyRequestData(ext, request, FALSE, position, length);
}

NTSTATUS ZarScsiSdramRead(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG position, ULONG length)
{
    return ZarScsiSdramCopyRequestData(ext, request, TRUE, position, length);
}

BOOLEAN ZarScsiHasBuffer(PZAR_DEVICE_EXTENSION ext) { return ZarScsiCurrentEntry(ext)->Mdl != nullptr; }

// ---- operations ----

ULONG ZarScsiIsValidCommand(PZAR_DEVICE_EXTENSION ext, const ZAR_DISK_REQUEST* request)
{
    if (request->TargetId >= ZAR_SCSI_MAX_TARGETS) return ZAR_SCSI_RESULT_BAD_TARGET;
    if (request->Operation == ZAR_DISK_OP_READ || request->Operation == ZAR_DISK_OP_WRITE) {
        ULONG last = ext->Scsi.Tables->Device[request->TargetId].LastBlock;
        // In 64 bits: a count that wraps 32 bits must not pass as a short range.
        if (request->FirstBlock > last || ULONGLONG(request->FirstBlock) + request->BlockCount - 1 > last)
            return ZAR_SCSI_RESULT_BAD_RANGE;
    }
    return 0;
}

void ZarScsiInitReadWriteCdb(ZAR_DISK_REQUEST* request, UCHAR opcode)
{
    ZarScsiInitCdb(request, opcode, 10);
    request->Cdb[2] = UCHAR(request->FirstBlock >> 24);
    request->Cdb[3] = UCHAR(request->FirstBlock >> 16);
    request->Cdb[4] = UCHAR(request->FirstBlock >> 8);
    request->Cdb[5] = UCHAR(request->FirstBlock);
    request->Cdb[7] = UCHAR(request->BlockCount >> 8);
    request->Cdb[8] = UCHAR(request->BlockCount);
}

// A count the command cannot carry would move its low 16 bits and pass as
// whole: refused, and the status byte says nothing reached the drive.
BOOLEAN ZarScsiCountFitsCommand(ZAR_DISK_REQUEST* request)
{
    if (request->BlockCount <= kMaxCdbBlocks) return TRUE;
    request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
    return FALSE;
}

// READ(10) of [12] blocks into SDRAM at [88], then to the caller's buffer
// at 'position' when there is one. Fails unless the status byte is GOOD.
NTSTATUS ZarScsiCmdRead(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG position)
{
    if (ZarScsiIsValidCommand(ext, request) != 0) return STATUS_UNSUCCESSFUL;
    if (!ZarScsiCountFitsCommand(request)) return STATUS_UNSUCCESSFUL;
    ZarScsiInitReadWriteCdb(request, 0x28);
    request->DataDirection = ZAR_DISK_DIRECTION_IN;
    NTSTATUS status = ZarScsiRunCommand(ext, request, request->BlockCount * kBlockSize);
    if (!NT_SUCCESS(status) || request->ScsiStatus != 0) return STATUS_UNSUCCESSFUL;
    if (ZarScsiHasBuffer(ext) &&
        !NT_SUCCESS(ZarScsiSdramRead(ext, request, position, request->BlockCount * kBlockSize))) {
        // The blocks never reached the caller.
        request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarScsiCmdWrite(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG position)
{
    if (ZarScsiIsValidCommand(ext, request) != 0) return STATUS_UNSUCCESSFUL;
    if (!ZarScsiCountFitsCommand(request)) return STATUS_UNSUCCESSFUL;
    if (ZarScsiHasBuffer(ext) &&
        !NT_SUCCESS(ZarScsiSdramWrite(ext, request, position, request->BlockCount * kBlockSize))) {
        request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
        return STATUS_UNSUCCESSFUL;
    }
    ZarScsiInitReadWriteCdb(request, 0x2A);
    request->DataDirection = ZAR_DISK_DIRECTION_OUT;
    NTSTATUS status = ZarScsiRunCommand(ext, request, request->BlockCount * kBlockSize);
    return NT_SUCCESS(status) && request->ScsiStatus == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// A staged transfer: this pass as commands of at most 256 blocks through the
// staging area, [8] advanced after each; the first failure ends the pass.
NTSTATUS ZarScsiCmdMultiple(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, BOOLEAN write)
{
    ULONG count = ZarScsiHasBuffer(ext) ? ext->ScsiDcb.PassLength / kBlockSize : request->BlockCount;
    for (ULONG done = 0; done < count;) {
        ULONG blocks = count - done < kMaxBlocksPerCommand ? count - done : kMaxBlocksPerCommand;
        request->BlockCount = blocks;
        NTSTATUS status = write ? ZarScsiCmdWrite(ext, request, done * kBlockSize)
                                : ZarScsiCmdRead(ext, request, done * kBlockSize);
        if (!NT_SUCCESS(status)) return status;
        request->FirstBlock += blocks;
        done += blocks;
    }
    return STATUS_SUCCESS;
}

// Repeated commands of [12] blocks from [8] up to [36]. A count of 0, or a
// range whose last command would run past block 2^32 - 1, would never reach
// the end: such a sequence finishes at once. So does a count no command can
// carry, with the status byte saying so.
NTSTATUS ZarScsiCmdSequential(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, BOOLEAN write)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    InterlockedExchange(&s->SeqDone, 0);
    InterlockedExchange(&s->SeqStop, 0);
    InterlockedExchange(&s->SeqFinished, 0);
    ULONG count = request->BlockCount;
    if (count != 0 && request->FirstBlock < request->EndBlock && ZarScsiCountFitsCommand(request)) {
        ULONGLONG commands = (ULONGLONG(request->EndBlock - request->FirstBlock) + count - 1) / count;
        if (ULONGLONG(request->FirstBlock) + commands * count <= 0xFFFFFFFFULL) {
            while (request->FirstBlock < request->EndBlock) {
                if (write)
                    ZarScsiCmdWrite(ext, request, 0);
                else
                    ZarScsiCmdRead(ext, request, 0);
                InterlockedIncrement(&s->SeqDone);
                request->FirstBlock += count;
                if (s->SeqStop) break;
            }
        }
    }
    InterlockedExchange(&s->SeqFinished, 1);
    return STATUS_SUCCESS;
}

NTSTATUS ZarScsiCmdReadSeq(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    return ZarScsiCmdSequential(ext, request, FALSE);
}

NTSTATUS ZarScsiCmdWriteSeq(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    return ZarScsiCmdSequential(ext, request, TRUE);
}

// [88] := the JPEG channel's field area + [96], in the ring. A channel the
// board does not have fails the request's status.
BOOLEAN ZarScsiSetJpegFieldAddress(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    if (request->JpegChannel >= ZAR_JPEG_CHANNEL_COUNT) {
        request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
        return FALSE;
    }
    ULONGLONG block =
        (ULONGLONG(ZarJpegSafeGetSdlAddress(ext, request->JpegChannel)) + request->FieldOffset) % kRingBlocks;
    request->SdramAddress = ULONG(block * kBlockSize);
    return TRUE;
}

// Copies with no bus command: a failure shows in the status byte.
void ZarScsiSdramOperation(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, BOOLEAN toHost)
{
    NTSTATUS status = toHost ? ZarScsiSdramRead(ext, request, 0, ext->ScsiDcb.PassLength)
                             : ZarScsiSdramWrite(ext, request, 0, ext->ScsiDcb.PassLength);
    if (!NT_SUCCESS(status)) request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
}

void ZarScsiRunOperation(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    BOOLEAN staged = request->AccessMode == ZAR_DISK_ACCESS_STAGED;
    switch (request->Operation) {
    case ZAR_DISK_OP_INIT: ZarScsiInit(ext); break;
    case ZAR_DISK_OP_BUS_RESET: ZarScsiBusReset(ext); break;
    case ZAR_DISK_OP_SDRAM_WRITE: ZarScsiSdramOperation(ext, request, FALSE); break;
    case ZAR_DISK_OP_SDRAM_READ: ZarScsiSdramOperation(ext, request, TRUE); break;
    case ZAR_DISK_OP_SCAN: ZarScsiBusScan(ext, request); break;
    case ZAR_DISK_OP_JPEG_FIELD_WRITE:
        if (ZarScsiSetJpegFieldAddress(ext, request)) ZarScsiSdramOperation(ext, request, FALSE);
        break;
    case ZAR_DISK_OP_INQUIRY: ZarScsiCmdInquiry(ext, request); break;
    case ZAR_DISK_OP_REQUEST_SENSE: ZarScsiCmdRequestSense(ext, request); break;
    case ZAR_DISK_OP_TEST_UNIT_READY: ZarScsiCmdTestUnitReady(ext, request); break;
    case ZAR_DISK_OP_SPIN_UP: ZarScsiCmdStartUnit(ext, request); break;
    case ZAR_DISK_OP_READ_CAPACITY: ZarScsiCmdReadCapacity(ext, request); break;
    case ZAR_DISK_OP_MODE_SENSE:
        if (NT_SUCCESS(ZarScsiCmdModeSense(ext, request)) && ZarScsiHasBuffer(ext) &&
            !NT_SUCCESS(ZarScsiSdramRead(ext, request, 0, kModeSenseReplyBytes)))
            request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
        break;
    case ZAR_DISK_OP_MODE_SELECT:
        if (ZarScsiHasBuffer(ext) && !NT_SUCCESS(ZarScsiSdramWrite(ext, request, 0, ext->ScsiDcb.PassLength))) {
            request->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
            break;
        }
        ZarScsiCmdModeSelect(ext, request);
        break;
    case ZAR_DISK_OP_READ:
        if (staged) ext->ScsiDcb.PassFailed = !NT_SUCCESS(ZarScsiCmdMultiple(ext, request, FALSE));
        else ZarScsiCmdRead(ext, request, 0);
        break;
    case ZAR_DISK_OP_WRITE:
        if (staged) ext->ScsiDcb.PassFailed = !NT_SUCCESS(ZarScsiCmdMultiple(ext, request, TRUE));
        else ZarScsiCmdWrite(ext, request, 0);
        break;
    case ZAR_DISK_OP_READ_SEQ: ZarScsiCmdReadSeq(ext, request); break;
    case ZAR_DISK_OP_WRITE_SEQ: ZarScsiCmdWriteSeq(ext, request); break;
    case ZAR_DISK_OP_JPEG_FIELD_READ:
        if (ZarScsiSetJpegFieldAddress(ext, request)) ZarScsiCmdRead(ext, request, 0);
        break;
    default:
        break;
    }
}

// The pass that starts at the current address: the rest of the buffer, or
// what the channel's 1,024-entry page table reaches, in whole blocks.
void ZarScsiSetPass(ZAR_SCSI_DCB* dcb)
{
    ULONG pass = dcb->Remaining;
    if (ADDRESS_AND_SIZE_TO_SPAN_PAGES(dcb->CurrentVa, pass) > ZAR_PAGE_TABLE_ENTRIES)
        pass = (kLargePass - BYTE_OFFSET(dcb->CurrentVa)) & ~(kBlockSize - 1);
    dcb->PassLength = pass;
    dcb->PageCount = ADDRESS_AND_SIZE_TO_SPAN_PAGES(dcb->CurrentVa, pass);
}

}  // namespace

// ---- device start and release ----

NTSTATUS ZarScsiInitialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    KeInitializeEvent(&s->SdramCopyDone, NotificationEvent, FALSE);
    KeInitializeEvent(&s->InterruptEvent, NotificationEvent, FALSE);
    s->SelectionTimeout = kUnset;
    s->Tables = static_cast<ZAR_SCSI_TABLES*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZAR_SCSI_TABLES),
                                                                    ZAR_TAG_SCSI));
    if (s->Tables == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(s->Tables, sizeof(ZAR_SCSI_TABLES));
    s->DmaThresholdRx = ZAR_SCSI_DEFAULT_DMA_THRESHOLD_RX;
    s->DmaThresholdTx = ZAR_SCSI_DEFAULT_DMA_THRESHOLD_TX;
    ZarScsiInitTransferOptions(ext);

    // Page 0 carries the data, page 1 the page table DEBI reaches it through.
    s->CommonVa = static_cast<PUCHAR>(HalAllocateCommonBuffer(ext->DmaAdapter[ZAR_SCSI_ADAPTER], 2 * PAGE_SIZE,
                                                              &s->CommonLogical, FALSE));
    if (s->CommonVa == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* table = reinterpret_cast<PULONG>(s->CommonVa + PAGE_SIZE);
    table[0] = table[1] = s->CommonLogical.LowPart;
    return STATUS_SUCCESS;
}

void ZarScsiRelease(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    if (s->CommonVa != nullptr)
        HalFreeCommonBuffer(ext->DmaAdapter[ZAR_SCSI_ADAPTER], 2 * PAGE_SIZE, s->CommonLogical, s->CommonVa, FALSE);
    s->CommonVa = nullptr;
    if (s->Tables != nullptr) ExFreePoolWithTag(s->Tables, ZAR_TAG_SCSI);
    s->Tables = nullptr;
}

// ---- SDRAM side of a bus transfer, and the driver's own copies ----

void ZarScsiSdramSetAddress(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    // Disarm first: the board latches the block on the arm bit's rising edge.
    s->SdramControl &= ~kSdramControlArm;
    ZarDebiPioWrite(ext, kSdramControl, s->SdramControl | kSdramControlEnable);
    ZarDebiPioWrite(ext, kSdramBlock, request->SdramAddress / kBlockSize);
    ULONG value = s->SdramControl & ~kSdramControlFromMemory;
    if (request->DataDirection == ZAR_DISK_DIRECTION_OUT) value |= kSdramControlFromMemory;
    value |= kSdramControlArm;
    s->SdramControl = ZarScsiApplyModeBits(value, request->AccessMode);
    ZarDebiPioWrite(ext, kSdramControl, s->SdramControl);
}

NTSTATUS ZarScsiSdramReadReply(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, PVOID data, ULONG length)
{
    ZarScsiSetUpCopy(ext, request, TRUE, length < PAGE_SIZE ? length : PAGE_SIZE);
    ext->Scsi.CopyHost = static_cast<PUCHAR>(data);
    ext->Scsi.CopyPageTable = ext->Scsi.CommonLogical.LowPart + PAGE_SIZE;
    return ZarScsiSdramDma(ext);
}

NTSTATUS ZarScsiSdramWriteData(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, const void* data,
                               ULONG length)
{
    ZarScsiSetUpCopy(ext, request, FALSE, length < PAGE_SIZE ? length : PAGE_SIZE);
    ext->Scsi.CopyHost = static_cast<PUCHAR>(const_cast<void*>(data));
    ext->Scsi.CopyPageTable = ext->Scsi.CommonLogical.LowPart + PAGE_SIZE;
    return ZarScsiSdramDma(ext);
}

BOOLEAN ZarScsiSdramDmaEndBlock(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_STATE* s = &ext->Scsi;
    ULONG bytes = s->CopyBlockBytes;
    if (s->CopyLocked && !s->CopyBounce) {
        ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
        IoFlushAdapterBuffers(ext->DmaAdapter[ZAR_SCSI_ADAPTER], ZarScsiCurrentEntry(ext)->Mdl, dcb->MapRegisterBase,
                              static_cast<PUCHAR>(s->CopyUserVa) + s->CopyDone, bytes, !s->CopyToHost);
    }
    if (s->CopyToHost && s->CopyHost != nullptr) std::memcpy(s->CopyHost + s->CopyDone, s->CommonVa, bytes);
    s->CopyDone += bytes;
    s->CopyRemaining -= bytes;
    return s->CopyRemaining != 0;
}

void ZarScsiSdramDmaStartNextBlock(PZAR_DEVICE_EXTENSION ext)
{
    if (ZarScsiSdramStartBlock(ext, TRUE)) return;
    ext->Scsi.CopyFailed = TRUE;
    ZarScsiSdramDmaComplete(ext);
}

void ZarScsiSdramDmaComplete(PZAR_DEVICE_EXTENSION ext)
{
    // The map registers stay with the request until its last pass.
    ext->Scsi.SdramCopyRunning = FALSE;
    KeSetEvent(&ext->Scsi.SdramCopyDone, IO_NO_INCREMENT, FALSE);
}

// ---- start, thread, completion ----

NTSTATUS ZarScsiInitDcb(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    auto* entry = static_cast<ZAR_SCSI_ENTRY*>(dcb->CurrentEntry);
    auto* request = static_cast<ZAR_DISK_REQUEST*>(entry->SystemBuffer);

    dcb->WriteToDevice = (request->Operation & 1) != 0;
    dcb->Bounce = FALSE;
    dcb->Failed = FALSE;
    dcb->PassFailed = FALSE;
    dcb->SystemVa = nullptr;
    dcb->MapRegisterBase = nullptr;
    if (entry->Mdl == nullptr) {
        dcb->CurrentVa = nullptr;
        dcb->Remaining = dcb->PassLength = dcb->PageCount = 0;
        return STATUS_SUCCESS;
    }

    dcb->CurrentVa = MmGetMdlVirtualAddress(entry->Mdl);
    dcb->Remaining = MmGetMdlByteCount(entry->Mdl);
    ZarScsiSetPass(dcb);
    if (reinterpret_cast<ULONG_PTR>(dcb->CurrentVa) & 3) {
        // Only a staged request copies through the driver's own buffer and
        // so can take a start the bridge cannot.
        if (request->AccessMode != ZAR_DISK_ACCESS_STAGED) return STATUS_DATATYPE_MISALIGNMENT;
        dcb->SystemVa = MmGetSystemAddressForMdlSafe(entry->Mdl, NormalPagePriority);
        if (dcb->SystemVa == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        dcb->Bounce = TRUE;
    }
    if (dcb->PassLength & 3) return STATUS_DATATYPE_MISALIGNMENT;
    return STATUS_SUCCESS;
}

IO_ALLOCATION_ACTION ZarScsiAdapterControl(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ext->ScsiDcb.MapRegisterBase = mapRegisterBase;
    if (ext->ScsiDcb.PassLength != 0) ZarBuildPageTableForMdl(ext);
    KeSetEvent(&ext->ScsiThread.Wake, IO_NO_INCREMENT, FALSE);
    // The channel and its registers stay with the request until the
    // request-complete DPC frees them; the request may end before this
    // routine has returned, which only a kept channel survives.
    return KeepObject;
}

void ZarScsiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_SCSI_ENTRY* entry)
{
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    dcb->CurrentEntry = entry;
    NTSTATUS status = ZarScsiInitDcb(ext);
    if (NT_SUCCESS(status)) {
        KIRQL oldIrql;
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        status = IoAllocateAdapterChannel(ext->DmaAdapter[ZAR_SCSI_ADAPTER], ext->DeviceObject, dcb->PageCount,
                                          ZarScsiAdapterControl, ext);
        KeLowerIrql(oldIrql);
    }
    if (!NT_SUCCESS(status)) {
        // Nothing will run: the caller must not read the record as GOOD.
        static_cast<ZAR_DISK_REQUEST*>(entry->SystemBuffer)->ScsiStatus = ZAR_SCSI_STATUS_NOT_REACHED;
        dcb->Failed = TRUE;
        KeInsertQueueDpc(&ext->DpcScsiRequestComplete, nullptr, nullptr);
    }
}

void ZarScsiCommandThread(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    KeSetPriorityThread(KeGetCurrentThread(), kThreadPriority);
    for (;;) {
        KeWaitForSingleObject(&ext->ScsiThread.Wake, Executive, KernelMode, FALSE, nullptr);
        if (ext->ScsiThread.Stop) break;
        ZarScsiInterruptDisable(ext);
        ZAR_SCSI_ENTRY* entry = ZarScsiCurrentEntry(ext);
        if (entry == nullptr) continue;
        auto* request = static_cast<ZAR_DISK_REQUEST*>(entry->SystemBuffer);
        if (request->AccessMode == ZAR_DISK_ACCESS_STAGED) request->SdramAddress = ZAR_DISK_STAGING_SDRAM_ADDRESS;
        ZarScsiRunOperation(ext, request);
        KeInsertQueueDpc(&ext->DpcScsiRequestComplete, nullptr, nullptr);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void ZarDpcForScsiRequestComplete(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_SCSI_DCB* dcb = &ext->ScsiDcb;
    ZAR_SCSI_ENTRY* entry = ZarScsiCurrentEntry(ext);
    if (entry == nullptr) return;
    PADAPTER_OBJECT adapter = ext->DmaAdapter[ZAR_SCSI_ADAPTER];

    if (!dcb->Failed && entry->Mdl != nullptr) {
        IoFlushAdapterBuffers(adapter, entry->Mdl, dcb->MapRegisterBase, dcb->CurrentVa, dcb->PassLength,
                              dcb->WriteToDevice);
        dcb->Remaining -= dcb->PassLength;
        dcb->CurrentVa = static_cast<PUCHAR>(dcb->CurrentVa) + dcb->PassLength;
        // A failed pass ends the request: a later one would start from the
        // [8] where it stopped, put its data on the wrong blocks and write a
        // GOOD status over the failure.
        if (dcb->Remaining != 0 && !dcb->PassFailed) {
            ZarScsiSetPass(dcb);
            ZarBuildPageTableForMdl(ext);
            KeSetEvent(&ext->ScsiThread.Wake, IO_NO_INCREMENT, FALSE);
            return;
        }
    }

    if (dcb->MapRegisterBase != nullptr) IoFreeAdapterChannel(adapter);
    dcb->MapRegisterBase = nullptr;
    dcb->CurrentEntry = nullptr;
    ZarQueueEndRequest(&ext->ScsiLookaside, entry, entry->Irp, entry->Mdl, STATUS_SUCCESS, sizeof(ZAR_DISK_REQUEST));
    if (PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->ScsiQueue))
        ZarScsiIoStartIo(ext, CONTAINING_RECORD(next, ZAR_SCSI_ENTRY, QueueEntry));
}

// ---- control codes ----

NTSTATUS ZarScsiGetDevice(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG index = *static_cast<PULONG>(buffer);
    if (index >= ZAR_SCSI_MAX_TARGETS) return STATUS_INVALID_PARAMETER;
    if (ext->Scsi.Tables == nullptr) return STATUS_DEVICE_NOT_READY;
    RtlCopyMemory(buffer, &ext->Scsi.Tables->Device[index], sizeof(ZAR_SCSI_DEVICE_INFO));
    return STATUS_SUCCESS;
}

NTSTATUS ZarScsiGetSeqStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* status = static_cast<ZAR_SCSI_SEQ_STATUS*>(buffer);
    if (status->StopRequest != 0) InterlockedExchange(&ext->Scsi.SeqStop, 1);
    status->CommandsDone = ULONG(ext->Scsi.SeqDone);
    status->Finished = ULONG(ext->Scsi.SeqFinished);
    return STATUS_SUCCESS;
}

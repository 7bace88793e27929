// The scaled capture channel: the bridge's scaler and video DMA 1 fill host
// memory with one image, continuously into one buffer, or frame by frame
// into a ring of 2-32 buffers. Requests run one at a time on the HPS device
// queue; the interrupt routine steps the capture's state once a field (and
// the ring once a frame), the channel's DPC completes and starts the next.
//
// For a ring the bridge's second register program (set up at bridge
// initialisation: wait for the frame, upload video DMA 1's registers, jump
// back) loads the next buffer's registers, which the ring step writes
// without uploading them.

#include <cstring>

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_hps.h"
#include "zar_ioctl.h"
#include "zar_isr.h"
#include "zar_pagetable.h"
#include "zar_queue.h"

namespace {

constexpr ULONG kMaxCaptureBytes = 0x400000;
constexpr ULONG kCropLimit = 96;
constexpr ULONG kMinSize = 16, kMaxWidth = 1280;
constexpr NTSTATUS kStatusRefused = STATUS_INVALID_DEVICE_REQUEST;
constexpr ULONG kCaptureInterrupt = 0x400;

ZAR_HPS_PARMS* Parms(ZAR_HPS_ENTRY* entry) { return reinterpret_cast<ZAR_HPS_PARMS*>(entry->Channel); }
ZAR_HPS_CAPTURE_REQUEST* RequestOf(ZAR_HPS_ENTRY* entry)
{
    return static_cast<ZAR_HPS_CAPTURE_REQUEST*>(entry->SystemBuffer);
}
ZAR_HPS_ENTRY* CurrentEntry(PZAR_DEVICE_EXTENSION ext) { return static_cast<ZAR_HPS_ENTRY*>(ext->Hps.Current); }

ULONG State(PZAR_DEVICE_EXTENSION ext) { return ULONG(ext->CaptureState); }
void SetState(PZAR_DEVICE_EXTENSION ext, ULONG state) { ext->CaptureState = static_cast<ZAR_CAPTURE_STATE>(state); }

ULONG BytesPerPixel(ULONG format) { return format == 0 ? 4 : format == 1 ? 3 : 2; }

bool IsRingStart(const ZAR_HPS_CAPTURE_REQUEST* r) { return r->Kind == 0 && r->RingCount > 0; }

void SetCaptureControlBit(PZAR_DEVICE_EXTENSION ext, ULONG bit)
{
    ULONG& shadow = ext->Setup.CaptureControl;
    shadow = (shadow & ~1u) | (bit & 1);
    ZarDebiPioWrite(ext, ZAR_REG_CAPTURE_CONTROL, shadow);
}

// The field bases, protection address and pitch register of a request
// (offsets from the buffer's start, each plus its offset in its first page).
void ZarHpsCalcAddressParms(const ZAR_HPS_CAPTURE_REQUEST* r, ULONG pageOffset, ZAR_HPS_PARMS* p)
{
    p->BytesPerPixel = BytesPerPixel(r->PixelFormat);
    p->Pitch = r->Kind == 1 ? r->Pitch : (r->Width * p->BytesPerPixel + 3) & ~3u;
    p->Size = r->Height * p->Pitch;
    const ULONG P = p->Pitch, S = p->Size;
    ULONG first, second, prot;
    LONG pitch;
    const bool up = r->BottomUp == 1;
    if (r->Kind == 1 && r->FieldSequential == 1) {
        first = up ? S : 0;
        second = up ? 2 * S : S;
        prot = up ? 0 : 2 * S;
        pitch = up ? -LONG(P) : LONG(P);
    } else if (r->Fields == 1 || r->Fields == 2) {
        // The field captured goes from the start (top-down) or ends there (bottom-up);
        // the other base is the protection address, so it is never written.
        bool firstCaptured = r->Fields == 1;
        ULONG captured = up ? S : 0, other = up ? 0 : S;
        first = firstCaptured ? captured : other;
        second = firstCaptured ? other : captured;
        prot = up ? 0 : S;
        pitch = up ? -LONG(P) : LONG(P);
    } else if (r->FieldOrder == 1) {
        first = up ? S + P : 0;
        second = up ? S : P;
        prot = up ? 0 : S;
        pitch = up ? -2 * LONG(P) : 2 * LONG(P);
    } else {
        first = up ? S : P;
        second = up ? S + P : 0;
        prot = up ? 0 : S;
        pitch = up ? -2 * LONG(P) : 2 * LONG(P);
    }
    p->FirstBase = first + pageOffset;
    p->SecondBase = second + pageOffset;
    p->Protection = prot + pageOffset;
    p->PitchRegister = pitch;
}

ULONG FieldLines(PZAR_DEVICE_EXTENSION ext) { return ext->ActiveLinesPerField; }

// The request's values against what the channel takes; order 0 becomes the board's default.
bool ZarHpsRequestAccepted(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_CAPTURE_REQUEST* r)
{
    if (r->Fields < 1 || r->Fields > 3) return false;
    if (r->FieldOrder == 0) r->FieldOrder = ext->Standard == 625 ? 1 : 2;
    if (r->FieldOrder > 2) return false;
    if (r->BottomUp > 1) return false;
    if (r->PixelFormat > 4 && r->PixelFormat != 16) return false;
    if (r->Width < kMinSize || r->Width > kMaxWidth) return false;
    const bool oneField = r->Fields != 3 || (r->Kind == 1 && r->FieldSequential == 1);
    ULONG limit = oneField ? FieldLines(ext) : 2 * FieldLines(ext);
    if (r->Height < kMinSize || r->Height > limit) return false;
    if (r->HorizontalCrop > kCropLimit || r->TopCrop > kCropLimit) return false;
    // A line pitch the bridge cannot step by, or one shorter than a line,
    // would have it write outside the buffer: the buffer size is checked
    // against lines of that pitch, but every line is a whole line long.
    if (r->Kind == 1 && (r->Pitch == 0 || (r->Pitch & 3) != 0)) return false;
    if (r->Kind == 1 && r->Pitch < r->Width * BytesPerPixel(r->PixelFormat)) return false;
    return true;
}

// ---- ring buffers ----

void ZarHpsUnlockDmaBuffers(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    if (h.StatusMdl != nullptr) {
        MmUnlockPages(h.StatusMdl);
        IoFreeMdl(h.StatusMdl);
        h.StatusMdl = nullptr;
        h.Status = nullptr;
    }
    for (ULONG i = 0; i < ZAR_HPS_RING_MAX; ++i) {
        ZAR_HPS_RING_BUFFER& b = h.Ring[i];
        if (b.PageTable != nullptr)
            HalFreeCommonBuffer(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], PAGE_SIZE, b.PageTableBus, b.PageTable, FALSE);
        if (b.Mdl != nullptr) {
            MmUnlockPages(b.Mdl);
            IoFreeMdl(b.Mdl);
        }
        b = {};
    }
    h.RingCount = h.Mask = 0;
    h.RingFlags = 0;
    ext->HpsCircularRunning = FALSE;
    KeSetEvent(&ext->HpsCircularStopEvent, IO_NO_INCREMENT, FALSE);
}

PMDL ZarHpsLockUser(ULONG address, ULONG length, KPROCESSOR_MODE mode, NTSTATUS* status)
{
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(ULONG_PTR(address)), length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    *status = SehTry([&] { MmProbeAndLockPages(mdl, mode, IoModifyAccess); });
    if (!NT_SUCCESS(*status)) {
        IoFreeMdl(mdl);
        return nullptr;
    }
    return mdl;
}

NTSTATUS ZarHpsLockRing(PZAR_DEVICE_EXTENSION ext, const ZAR_HPS_CAPTURE_REQUEST* r, KPROCESSOR_MODE mode)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    const ULONG n = r->RingCount;
    if (n < 2 || n > ZAR_HPS_RING_MAX || (n & (n - 1)) != 0) return STATUS_UNSUCCESSFUL;
    ZAR_HPS_STATE& h = ext->Hps;
    if (h.RingCount != 0 || h.StatusMdl != nullptr) ZarHpsUnlockDmaBuffers(ext);

    // The address array is the caller's: read it through a probe.
    ULONG addresses[ZAR_HPS_RING_MAX];
    NTSTATUS status = ZarCaptureFromCaller(mode, reinterpret_cast<const void*>(ULONG_PTR(r->RingAddresses)), addresses,
                                           n * sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;

    h.StatusMdl = ZarHpsLockUser(r->RingStatus, 4 * sizeof(ULONG), mode, &status);
    if (h.StatusMdl == nullptr) return status;
    h.Status = static_cast<volatile LONG*>(MmGetSystemAddressForMdlSafe(h.StatusMdl, NormalPagePriority));
    if (h.Status == nullptr) {
        ZarHpsUnlockDmaBuffers(ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < n; ++i) {
        ZAR_HPS_RING_BUFFER& b = h.Ring[i];
        b.PageTable = HalAllocateCommonBuffer(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], PAGE_SIZE, &b.PageTableBus, FALSE);
        if (b.PageTable != nullptr) b.Mdl = ZarHpsLockUser(addresses[i], r->BufferSize, mode, &status);
        if (b.PageTable == nullptr || b.Mdl == nullptr) {
            ZarHpsUnlockDmaBuffers(ext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ZAR_HPS_PARMS parms;
        ZarHpsCalcAddressParms(r, addresses[i] & (PAGE_SIZE - 1), &parms);
        b.FirstBase = parms.FirstBase;
        b.SecondBase = parms.SecondBase;
        b.Protection = parms.Protection;
        h.RingPitchRegister = parms.PitchRegister;
    }
    for (ULONG i = 0; i < 3; ++i) h.Status[i] = 0;
    h.RingCount = n;
    h.Mask = n - 1;
    h.CurrentIndex = 0;
    h.NextIndex = 1;
    // Signed marks, and a high-water of at least 2: a lag of one buffer is a
    // caller reading the one just filled, which must not hold the play engine.
    h.HighWater = LONG(n) - 4 < 2 ? 2 : LONG(n) - 4;
    h.Resume = LONG(n / 2);
    h.StartPosition = r->StartPosition;
    h.RingRequest = *r;
    h.RingFlags = ZAR_HPS_RING_RUNNING;
    ext->HpsCircularRunning = TRUE;
    KeClearEvent(&ext->HpsCircularStopEvent);
    return STATUS_SUCCESS;
}

// ---- device start (synchronised with the interrupt) ----

void ZarHpsLoadDma(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG second, ULONG prot, LONG pitch, ULONG pageTable)
{
    ZarBridgeWrite(ext, ZAR_HPS_BASE_ODD1, first);
    ZarBridgeWrite(ext, ZAR_HPS_BASE_EVEN1, second);
    ZarBridgeWrite(ext, ZAR_HPS_PROT_ADDR1, prot);
    ZarBridgeWrite(ext, ZAR_HPS_PITCH1, ULONG(pitch));
    ZarBridgeWrite(ext, ZAR_HPS_BASE_PAGE1, pageTable | ZAR_HPS_MMU_ON);
}

void ZarHpsLoadRingBuffer(PZAR_DEVICE_EXTENSION ext, ULONG index)
{
    const ZAR_HPS_RING_BUFFER& b = ext->Hps.Ring[index];
    ZarHpsLoadDma(ext, b.FirstBase, b.SecondBase, b.Protection, ext->Hps.RingPitchRegister, b.PageTableBus.LowPart);
}

// Video DMA 1 into the ring from buffer "current", with buffer "next" left
// for the bridge program, which uploads it at the next frame.
void ZarHpsStartRingDma(PZAR_DEVICE_EXTENSION ext)
{
    ZarHpsLoadRingBuffer(ext, ext->Hps.CurrentIndex);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_DMA1);
    ZarHpsLoadRingBuffer(ext, ext->Hps.NextIndex);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, ZAR_HPS_MC1_RPS1_ON);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, ZAR_HPS_MC1_DMA1_ON);
}

void ZarHpsStopDma(PZAR_DEVICE_EXTENSION ext)
{
    ZarBridgeWrite(ext, ZAR_HPS_BASE_PAGE1, ZarBridgeRead(ext, ZAR_HPS_BASE_PAGE1) | ZAR_HPS_STOP_DMA);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_DMA1);
}

ULONG ClipFormatBits(const ZAR_HPS_CAPTURE_REQUEST* r)
{
    ULONG bits;
    switch (r->PixelFormat) {
    case 0: bits = 0x02000000; break;
    case 1: bits = 0x01000000; break;
    case 3: bits = 0x03000000; break;
    case 4: bits = 0x04000000; break;
    default: bits = 0; break;
    }
    if (r->PixelFormat <= 4) bits |= 0x80000000 | (r->FormatOption ? 0x40000000 : 0);
    return bits;
}

BOOLEAN ZarHpsDmaStartDevice(PVOID context)
{
    auto ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_HPS_STATE& h = ext->Hps;
    ZAR_HPS_ENTRY* entry = CurrentEntry(ext);
    ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(entry);
    if (r->Kind == 2) {
        SetState(ext, ZAR_HPS_CONTINUOUS_STOP);
        return TRUE;
    }
    if (r->Kind == 4) {
        r->Overflow = (ZarBridgeRead(ext, ZAR_BRIDGE_SSR) & ZAR_HPS_SSR_OVERFLOW) ? 1 : 0;
        SetState(ext, ZAR_HPS_RING_STOP);
        return TRUE;
    }
    if (r->Kind == 0 && h.Continuous && State(ext) != ZAR_HPS_PREEMPT_START) {
        // The continuous capture stops at the next field; then this one is programmed.
        SetState(ext, ZAR_HPS_CONTINUOUS_PREEMPT);
        return TRUE;
    }

    ULONG words[5];
    ZarHpsScaleRegister(ext, r, words);
    const ULONG order[5] = {ZAR_HPS_CTRL, ZAR_HPS_V_SCALE, ZAR_HPS_V_GAIN, ZAR_HPS_H_PRESCALE, ZAR_HPS_H_SCALE};
    for (ULONG i = 0; i < 5; ++i) ZarBridgeWrite(ext, order[i], words[i]);
    ZarBridgeWrite(ext, ZAR_HPS_CLIP_FORMAT_CTRL, ClipFormatBits(r));
    h.Scaler.Contrast = r->Contrast;
    h.Scaler.Brightness = r->Brightness;
    h.Scaler.Saturation = r->Saturation;
    ZarBridgeWrite(ext, ZAR_HPS_BCS_CTRL, ZarHpsProcAmpWord(&h.Scaler));
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_SCALER_H);
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_SCALER_V);
    ZarBridgeWrite(ext, ZAR_HPS_NUM_LINE_BYTE1,
                   ((FieldLines(ext) - r->TopCrop + 2) & 0xFFF) << 16 | ((720 - 2 * r->HorizontalCrop) & 0xFFF));
    const bool ring = IsRingStart(r);
    if (!ring) {
        const ZAR_HPS_PARMS* p = Parms(entry);
        ZarHpsLoadDma(ext, p->FirstBase, p->SecondBase, p->Protection, p->PitchRegister,
                      h.TableBus[r->Kind == 1 ? 0 : 1].LowPart);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_DMA1);
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, ZAR_HPS_MC1_DMA1_ON);
    }
    h.SkipNextField = (ZarBridgeRead(ext, ZAR_BRIDGE_ISR) & ZAR_INT_FIELD) != 0;

    if (r->Kind == 1) {
        SetState(ext, ZAR_HPS_CONTINUOUS_START);
    } else if (ring) {
        // A ring starts its DMA at the go, on a frame's first field: a ring
        // paced with the play at the play engine's go, a free-running one
        // (its go given now) at the next frame. Started here, the first
        // buffer counted as filled would hold a frame from before the start
        // position, or only the field in which the request came.
        SetState(ext, ZAR_HPS_RING_WAIT_GO);
        if (r->FreeRunning) {
            h.RingFlags |= ZAR_HPS_RING_GO;
            h.RunningState = ZAR_HPS_RING_FREE;
        } else {
            h.RunningState = r->Overflow ? ZAR_HPS_RING_OVERFLOW_STOP : ZAR_HPS_RING_RUN;
        }
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);  // the start request completes; the ring runs on
        return TRUE;
    } else {
        ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_HPS_ISR_OVERFLOW);
        SetState(ext, r->Fields == 1 ? ZAR_HPS_FIELD1_WAIT : r->Fields == 2 ? ZAR_HPS_FIELD2_WAIT : ZAR_HPS_FRAME_FIRST);
    }
    ext->CaptureCompletionAwaited = TRUE;
    return TRUE;
}

IO_ALLOCATION_ACTION ZarHpsAdapterControl(PDEVICE_OBJECT, PIRP, PVOID mapRegisterBase, PVOID context)
{
    auto ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_HPS_STATE& h = ext->Hps;
    ZAR_HPS_ENTRY* entry = CurrentEntry(ext);
    ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(entry);
    h.MapRegisterBase = mapRegisterBase;
    PADAPTER_OBJECT adapter = ext->DmaAdapter[ZAR_PREVIEW_ADAPTER];
    if (IsRingStart(r)) {
        for (ULONG i = 0; i < h.RingCount; ++i) {
            PMDL mdl = h.Ring[i].Mdl;
            ZarBuildGenericPageTableForMdl(adapter, mdl, MmGetMdlVirtualAddress(mdl), MmGetMdlByteCount(mdl),
                                           static_cast<PULONG>(h.Ring[i].PageTable), ZAR_PAGE_TABLE_ENTRIES,
                                           mapRegisterBase, FALSE);
        }
    } else {
        // The continuous capture keeps its own table while a single capture pre-empts it.
        ZarBuildGenericPageTableForMdl(adapter, entry->Mdl, MmGetMdlVirtualAddress(entry->Mdl),
                                       MmGetMdlByteCount(entry->Mdl), static_cast<PULONG>(h.Table[r->Kind == 1 ? 0 : 1]),
                                       ZAR_PAGE_TABLE_ENTRIES, mapRegisterBase, FALSE);
        if (r->Kind == 1) {
            h.ContinuousMapBase = mapRegisterBase;
            h.ContinuousMapCount = h.MapRegisterCount;
        }
    }
    ZarRunSynchronized(ext, ZarHpsDmaStartDevice, ext);
    return DeallocateObjectKeepRegisters;
}

ULONG PagesSpanned(PMDL mdl) { return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), MmGetMdlByteCount(mdl)); }

// The current capture's map registers; the continuous capture's are freed
// only when it stops or is resumed.
void ZarHpsFreeMapRegisters(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    if (h.MapRegisterBase != nullptr && h.MapRegisterBase != h.ContinuousMapBase)
        IoFreeMapRegisters(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], h.MapRegisterBase, h.MapRegisterCount);
    h.MapRegisterBase = nullptr;
}

void ZarHpsStartEntry(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry);

// ---- the state machine's completion side ----

void ZarHpsCompleteEntry(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry)
{
    if (entry->Irp == nullptr) {
        ExFreeToNPagedLookasideList(&ext->HpsLookaside, entry);
        return;
    }
    ZarQueueEndRequest(&ext->HpsLookaside, entry, entry->Irp, entry->Mdl, STATUS_SUCCESS, ZAR_HPS_CAPTURE_REQUEST_SIZE);
}

void ZarHpsStartNext(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    if (State(ext) != ZAR_HPS_CONTINUOUS) SetState(ext, ZAR_HPS_IDLE);
    h.Current = nullptr;
    PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->HpsQueue);
    if (next != nullptr) {
        ZarHpsStartEntry(ext, CONTAINING_RECORD(next, ZAR_HPS_ENTRY, QueueEntry));
        return;
    }
    if (!h.Continuous || State(ext) == ZAR_HPS_CONTINUOUS) return;
    // A pre-empted continuous capture resumes by itself, over its saved request and buffer.
    if (h.ContinuousMapBase != nullptr) {
        IoFreeMapRegisters(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], h.ContinuousMapBase, h.ContinuousMapCount);
        h.ContinuousMapBase = nullptr;
    }
    auto* entry = static_cast<ZAR_HPS_ENTRY*>(ExAllocateFromNPagedLookasideList(&ext->HpsLookaside));
    if (entry == nullptr) {
        h.Continuous = FALSE;
        return;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->SystemBuffer = &h.Saved;
    entry->Mdl = h.ContinuousMdl;
    ZarHpsCalcAddressParms(&h.Saved, ULONG(ULONG_PTR(MmGetMdlVirtualAddress(h.ContinuousMdl)) & (PAGE_SIZE - 1)),
                           Parms(entry));
    if (!KeInsertDeviceQueue(&ext->HpsQueue, &entry->QueueEntry)) ZarHpsStartEntry(ext, entry);
}

void ZarHpsStartEntry(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry) { ZarHpsDmaStartIo(ext, entry); }

}  // namespace

// ---- checks at the control code ----

BOOLEAN ZarHpsAnswerRunningCapture(PZAR_DEVICE_EXTENSION ext, PVOID buffer, NTSTATUS* status)
{
    auto* r = static_cast<ZAR_HPS_CAPTURE_REQUEST*>(buffer);
    ZAR_HPS_STATE& h = ext->Hps;
    if (h.RingFlags & ZAR_HPS_RING_RUNNING) {
        if (r->Kind == 5) {
            h.StartPosition = r->StartPosition;
            *status = ZarSaa7146ResetCircularCaptureOverflow(ext);
            return TRUE;
        }
        if (r->Kind != 4) {
            *status = STATUS_SUCCESS;
            return TRUE;
        }
        return FALSE;
    }
    if (r->Kind == 4) {
        *status = STATUS_SUCCESS;
        return TRUE;
    }
    if (r->Kind == 2) return FALSE;
    if (r->Kind != 0 && r->Kind != 1) {
        // Kind 5 without a ring, or a kind the channel does not know.
        *status = kStatusRefused;
        return TRUE;
    }
    if (!ZarHpsRequestAccepted(ext, r)) {
        *status = kStatusRefused;
        return TRUE;
    }
    return FALSE;
}

void ZarHpsLockDmaBuffers(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry, KPROCESSOR_MODE mode)
{
    ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(entry);
    if (r->Kind == 2 || r->Kind == 4) return;
    ZAR_HPS_PARMS* p = Parms(entry);
    ZarHpsCalcAddressParms(r, r->BufferAddress & (PAGE_SIZE - 1), p);
    const bool fieldSequential = r->Kind == 1 && r->FieldSequential == 1;
    if (r->BufferSize < (fieldSequential ? 2 * p->Size : p->Size)) ExRaiseStatus(kStatusRefused);
    if (IsRingStart(r)) {
        NTSTATUS status = ZarHpsLockRing(ext, r, mode);
        if (!NT_SUCCESS(status)) ExRaiseStatus(status);
        PIRP irp = entry->Irp;
        ext->HpsCircularOwner = irp ? IoGetCurrentIrpStackLocation(irp)->FileObject : nullptr;
        return;
    }
    ZAR_HPS_STATE& h = ext->Hps;
    for (ULONG t = 0; t < 2; ++t) {
        if (h.Table[t] != nullptr) continue;
        h.Table[t] = HalAllocateCommonBuffer(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], PAGE_SIZE, &h.TableBus[t], FALSE);
        if (h.Table[t] == nullptr) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    NTSTATUS status;
    entry->Mdl = ZarHpsLockUser(r->BufferAddress, r->BufferSize, mode, &status);
    if (entry->Mdl == nullptr) ExRaiseStatus(status);
}

// ---- start of a queue entry ----

void ZarHpsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry)
{
    ZAR_HPS_STATE& h = ext->Hps;
    ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(entry);
    if ((ext->InterruptEnable & (ZAR_INT_FIELD | kCaptureInterrupt)) != (ZAR_INT_FIELD | kCaptureInterrupt))
        ZarSetIntMode(ext, ZAR_INT_FIELD | kCaptureInterrupt, TRUE);
    if (!(h.Continuous && r->Kind != 1)) {
        // Only the continuous capture outlives its request: its file owns it until a stop.
        if (entry->Irp != nullptr && r->Kind == 1)
            ext->HpsCaptureOwner = IoGetCurrentIrpStackLocation(entry->Irp)->FileObject;
        bool parity0 = ext->FieldParity == 0;
        SetCaptureControlBit(ext, r->Kind == 1 && r->FieldSequential == 1 && parity0 ? r->ControlBitParity0
                                                                                        : r->ControlBit);
    }
    h.ReportOverflow = r->ReportOverflows != 0;
    h.Current = entry;

    bool ok = true;
    if (r->Kind == 0 || r->Kind == 1) {
        if (r->BufferSize > kMaxCaptureBytes) {
            ok = false;
        } else if (IsRingStart(r)) {
            ULONG most = 0;
            for (ULONG i = 0; i < h.RingCount; ++i) most = PagesSpanned(h.Ring[i].Mdl) > most ? PagesSpanned(h.Ring[i].Mdl) : most;
            h.MapRegisterCount = most * h.RingCount;
        } else {
            h.MapRegisterCount = PagesSpanned(entry->Mdl);
        }
    }
    if (!ok) {
        SetState(ext, ZAR_HPS_START_FAILED);
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);
        return;
    }
    if (r->Kind == 2 || r->Kind == 4) {
        ZarRunSynchronized(ext, ZarHpsDmaStartDevice, ext);
        return;
    }
    if (r->Kind == 1) {
        h.Saved = *r;
        h.ContinuousMdl = entry->Mdl;
        h.Continuous = TRUE;
        KeClearEvent(&ext->HpsStopEvent);
    }
    NTSTATUS status = IoAllocateAdapterChannel(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], ext->DeviceObject,
                                               h.MapRegisterCount, ZarHpsAdapterControl, ext);
    if (!NT_SUCCESS(status)) {
        SetState(ext, ZAR_HPS_START_FAILED);
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);
    }
}

// ---- per field (interrupt routine) ----

void ZarHpsCaptureStateMachine(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    if (h.SkipNextField) {
        h.SkipNextField = FALSE;
        return;
    }
    const ULONG parity = ext->FieldParity;
    switch (State(ext)) {
    case ZAR_HPS_FRAME_FIRST: SetState(ext, ZAR_HPS_FRAME_SECOND); break;
    case ZAR_HPS_FRAME_SECOND:
    case ZAR_HPS_FIELD1_STOP:
    case ZAR_HPS_FIELD2_STOP:
        ZarHpsStopDma(ext);
        SetState(ext, ZAR_HPS_FINISHING);
        break;
    case ZAR_HPS_FIELD1_WAIT:
        if (parity == 0) {
            ZarHpsStopDma(ext);
            SetState(ext, ZAR_HPS_FINISHING);
        } else {
            SetState(ext, ZAR_HPS_FIELD1_STOP);
        }
        break;
    case ZAR_HPS_FIELD2_WAIT:
        if (parity == 1) {
            ZarHpsStopDma(ext);
            SetState(ext, ZAR_HPS_FINISHING);
        } else {
            SetState(ext, ZAR_HPS_FIELD2_STOP);
        }
        break;
    case ZAR_HPS_CONTINUOUS_START: {
        ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(CurrentEntry(ext));
        SetCaptureControlBit(ext, r->FieldSequential == 1 && parity == 0 ? r->ControlBitParity0 : r->ControlBit);
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);
        SetState(ext, ZAR_HPS_CONTINUOUS);
        break;
    }
    case ZAR_HPS_CONTINUOUS:
        if (h.Saved.FieldSequential == 1) SetCaptureControlBit(ext, parity ? h.Saved.ControlBit : h.Saved.ControlBitParity0);
        break;
    case ZAR_HPS_CONTINUOUS_STOP:
    case ZAR_HPS_CONTINUOUS_PREEMPT:
        if (!h.Continuous) {
            ext->CaptureAbandoned = TRUE;
            SetState(ext, ZAR_HPS_FINISHING);
            break;
        }
        if (State(ext) == ZAR_HPS_CONTINUOUS_STOP) h.Continuous = FALSE;
        ZarBridgeWrite(ext, ZAR_HPS_PROT_ADDR1, ZarBridgeRead(ext, parity ? ZAR_HPS_BASE_ODD1 : ZAR_HPS_BASE_EVEN1));
        ZarBridgeWrite(ext, ZAR_BRIDGE_MC2, ZAR_HPS_UPLOAD_DMA1);
        ZarHpsStopDma(ext);
        SetState(ext, State(ext) == ZAR_HPS_CONTINUOUS_STOP ? ZAR_HPS_FINISHING : ZAR_HPS_PREEMPT_START);
        break;
    case ZAR_HPS_PREEMPT_START:
        SetCaptureControlBit(ext, RequestOf(CurrentEntry(ext))->ControlBit);
        ZarHpsDmaStartDevice(ext);
        break;
    default: break;
    }
}

void ZarHpsCaptureRingStep(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    volatile LONG* status = h.Status;
    auto advance = [&] {
        h.CurrentIndex = h.NextIndex;
        h.NextIndex = (h.NextIndex + 1) & h.Mask;
        ZarHpsLoadRingBuffer(ext, h.NextIndex);
        status[0] = status[0] + 1;
    };
    auto overflow = [&] { return (ZarBridgeRead(ext, ZAR_BRIDGE_SSR) & ZAR_HPS_SSR_OVERFLOW) != 0; };
    auto lag = [&] { return LONG(ULONG(status[0]) - ULONG(status[1])); };
    switch (State(ext)) {
    case ZAR_HPS_RING_WAIT_GO:
        if (h.RingFlags & ZAR_HPS_RING_GO) {
            ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_HPS_ISR_OVERFLOW);
            ZarHpsStartRingDma(ext);
            SetState(ext, h.RunningState);
        }
        break;
    case ZAR_HPS_RING_OVERFLOW_STOP:
        if (overflow()) {
            ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_HPS_ISR_OVERFLOW);
            if (status[0] != 0) {
                status[2] = 1;
                ZarHpsStopDma(ext);
                SetState(ext, ZAR_HPS_RING_STOPPED);
                break;
            }
        }
        [[fallthrough]];
    case ZAR_HPS_RING_RUN: {
        const bool wasFull = (h.RingFlags & ZAR_HPS_RING_FULL) != 0;
        advance();
        if (wasFull) {
            h.RingFlags |= ZAR_HPS_RING_PLAY_HELD;
            SetState(ext, ZAR_HPS_RING_HELD);
            break;
        }
        if (lag() >= h.HighWater) h.RingFlags |= ZAR_HPS_RING_FULL;
        if (h.ReportOverflow && overflow()) {
            ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_HPS_ISR_OVERFLOW);
            status[2] = 1;
        }
        break;
    }
    case ZAR_HPS_RING_HELD:
        if (h.RingFlags & ZAR_HPS_RING_FULL) {
            if (lag() <= h.Resume) h.RingFlags &= ~ZAR_HPS_RING_FULL;
        } else {
            h.RingFlags &= ~ZAR_HPS_RING_PLAY_HELD;
            SetState(ext, h.RunningState);
        }
        break;
    case ZAR_HPS_RING_FREE:
        if (lag() < h.HighWater)
            advance();
        else
            status[3] = status[3] + 1;
        if (overflow()) {
            ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, ZAR_HPS_ISR_OVERFLOW);
            status[2] = status[2] + 1;
        }
        break;
    case ZAR_HPS_RING_STOP:
        ZarHpsStopDma(ext);
        SetState(ext, ZAR_HPS_RING_END);
        break;
    case ZAR_HPS_RING_END:
        if (status != nullptr) status[0] = -1;
        KeInsertQueueDpc(&ext->DpcHpsDma, nullptr, nullptr);
        SetState(ext, ZAR_HPS_RING_ENDED);
        break;
    default: break;
    }
}

namespace {

struct ZAR_HPS_REARM {
    PZAR_DEVICE_EXTENSION Ext;
    NTSTATUS Status;
};

BOOLEAN ZarSaa7146ResetCircularCaptureOverflowCS(PVOID context)
{
    auto* rearm = static_cast<ZAR_HPS_REARM*>(context);
    PZAR_DEVICE_EXTENSION ext = rearm->Ext;
    ZAR_HPS_STATE& h = ext->Hps;
    if (State(ext) != ZAR_HPS_RING_STOPPED || !(h.RingFlags & ZAR_HPS_RING_RUNNING)) {
        rearm->Status = STATUS_UNSUCCESSFUL;
        return TRUE;
    }
    // The overflow stopped video DMA 1: it runs again from buffer 0 at the
    // next go, as at the ring's start (loading buffer 1 and waiting would
    // leave the DMA off and the ring empty).
    h.RingFlags = ZAR_HPS_RING_RUNNING;
    for (ULONG i = 0; i < 3; ++i) h.Status[i] = 0;
    h.CurrentIndex = 0;
    h.NextIndex = 1;
    SetState(ext, ZAR_HPS_RING_WAIT_GO);
    rearm->Status = STATUS_SUCCESS;
    return TRUE;
}

}  // namespace

NTSTATUS ZarSaa7146ResetCircularCaptureOverflow(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_REARM rearm{ext, STATUS_UNSUCCESSFUL};
    ZarRunSynchronized(ext, ZarSaa7146ResetCircularCaptureOverflowCS, &rearm);
    return rearm.Status;
}

// ---- completion ----

void ZarDpcForHpsDma(PKDPC, PVOID context, PVOID, PVOID)
{
    auto ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_HPS_STATE& h = ext->Hps;
    ZAR_HPS_ENTRY* entry = CurrentEntry(ext);
    if (entry == nullptr) {
        if (State(ext) == ZAR_HPS_IDLE) ++h.SpuriousDpcs;
        return;
    }
    ZAR_HPS_CAPTURE_REQUEST* r = RequestOf(entry);
    const bool failed = State(ext) == ZAR_HPS_START_FAILED;
    if (IsRingStart(r) && !failed) {
        // The ring runs on: its start request completes and the queue is
        // left free for the stop. A request queued meanwhile is a stop, which
        // starts, or one a running ring answers with success and nothing done.
        entry->Mdl = nullptr;
        ZarHpsCompleteEntry(ext, entry);
        h.Current = nullptr;
        while (PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->HpsQueue)) {
            auto* waiting = CONTAINING_RECORD(next, ZAR_HPS_ENTRY, QueueEntry);
            if (RequestOf(waiting)->Kind == 4) {
                ZarHpsDmaStartIo(ext, waiting);
                break;
            }
            ZarHpsCompleteEntry(ext, waiting);
        }
        return;
    }
    if (State(ext) == ZAR_HPS_CONTINUOUS && r->Kind == 1) {
        // The continuous capture's request completes; the capture runs on.
        entry->Mdl = nullptr;
        ZarHpsCompleteEntry(ext, entry);
        h.Current = nullptr;
        ZarHpsStartNext(ext);
        return;
    }
    if (!failed) ZarHpsFreeMapRegisters(ext);
    if (r->Kind == 4) {
        ZarHpsUnlockDmaBuffers(ext);
        ext->HpsCircularOwner = nullptr;
    } else if (r->Kind == 0 && !failed) {
        r->Overflow = (ZarBridgeRead(ext, ZAR_BRIDGE_SSR) & ZAR_HPS_SSR_OVERFLOW) ? 1 : 0;
    } else if (r->Kind == 2) {
        if (h.ContinuousMdl != nullptr) {
            if (h.ContinuousMapBase != nullptr) {
                IoFreeMapRegisters(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], h.ContinuousMapBase, h.ContinuousMapCount);
                h.ContinuousMapBase = nullptr;
            }
            MmUnlockPages(h.ContinuousMdl);
            IoFreeMdl(h.ContinuousMdl);
            h.ContinuousMdl = nullptr;
        }
        ext->HpsCaptureOwner = nullptr;
        KeSetEvent(&ext->HpsStopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (r->Kind == 1 && failed) {
        h.Continuous = FALSE;
        h.ContinuousMdl = nullptr;  // the entry's MDL, freed with it
    }
    // A resumed continuous capture's entry owns nothing of its own.
    if (entry->SystemBuffer == &h.Saved) entry->Mdl = nullptr;
    ZarHpsCompleteEntry(ext, entry);
    ZarHpsStartNext(ext);
}

// The owner's close: a stop of the ring (kind 4) or of the continuous
// capture (kind 2), queued like a request of its own with no IRP.
NTSTATUS ZarHpsQueueStopRequest(PZAR_DEVICE_EXTENSION ext, BOOLEAN circular)
{
    if (ext->Registers == nullptr) return STATUS_DEVICE_NOT_READY;  // the board is already released
    auto* entry = static_cast<ZAR_HPS_ENTRY*>(ExAllocateFromNPagedLookasideList(&ext->HpsLookaside));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof(*entry));
    ZAR_HPS_STATE& h = ext->Hps;
    // The stop's record lives in the channel: the saved request with the stop's kind.
    static_assert(sizeof(h.RingRequest) == ZAR_HPS_CAPTURE_REQUEST_SIZE);
    ZAR_HPS_CAPTURE_REQUEST* stop = circular ? &h.RingRequest : &h.Saved;
    stop->Kind = circular ? 4 : 2;
    entry->SystemBuffer = stop;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (!KeInsertDeviceQueue(&ext->HpsQueue, &entry->QueueEntry)) ZarHpsDmaStartIo(ext, entry);
    KeLowerIrql(old);
    return STATUS_SUCCESS;
}

void ZarHpsFreePageTables(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_HPS_STATE& h = ext->Hps;
    for (ULONG t = 0; t < 2; ++t)
        if (h.Table[t] != nullptr) {
            HalFreeCommonBuffer(ext->DmaAdapter[ZAR_PREVIEW_ADAPTER], PAGE_SIZE, h.TableBus[t], h.Table[t], FALSE);
            h.Table[t] = nullptr;
        }
}

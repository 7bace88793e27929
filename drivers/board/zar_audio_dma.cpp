// The audio DMA engine: the two play banks and the record region with
// their bridge page tables, the time-slot lists, play and record start and
// stop at interrupt level, the per-field play state, the play and record
// DPCs, the caller's record ring, the loop-back test and the VU meters.
//
// Starts and stops run synchronised with the interrupt; DPCs copy record
// data and signal the caller's events. Board words the interrupt routine
// reads (modes, buffer starts, half sizes) are changed only under its lock.

#include <cstring>

#include "include/zar_audio_hw.h"
#include "include/zarkd_msg.h"
#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_digitalio.h"
#include "zar_eventlog.h"
#include "zar_extension.h"
#include "zar_ioctl.h"
#include "zar_isr.h"
#include "zar_playlist.h"
#include "zar_videochips.h"

using namespace zar_audio_hw;

namespace {

constexpr ULONG kPlayPageTableEntries = ZAR_AUDIO_PLAY_BUFFER_SIZE / PAGE_SIZE;
constexpr ULONG kRecPageTableEntries = ZAR_AUDIO_REC_REGION_SIZE / PAGE_SIZE;
constexpr ULONG kRecDmaBytes = 2 * ZAR_AUDIO_REC_HALF_SIZE;
constexpr ULONG kPlayAdapter[2] = {4, 5};
constexpr ULONG kRecAdapter = 6;
constexpr ULONG kUnderflowClear = 2048;             // written to the status register at each start
constexpr ULONG kStartSettleUs = 150;
constexpr ULONG kStopPathUs = 25;
constexpr ULONG kStopInterfaceUs = 100;
constexpr LONGLONG kStartWait = -5000000LL;         // 500 ms
constexpr LONGLONG kPlaycordStopWait = -1000000LL;  // 100 ms
constexpr LONGLONG kPlaycordWait = -10000000LL;     // 1 s
constexpr ULONG kDigitalIoAudioSource = 0x22208C;
constexpr ULONG kPairMask[4] = {0x03, 0x0C, 0x30, 0xC0};
constexpr ULONG kWaveDataTag = ZarCharTag('W', 'd', 'u', 'A');

ZAR_AUDIO_ENGINE_STATE& Engine(PZAR_DEVICE_EXTENSION ext) { return ext->AudioEngine; }

PVOID UserAddress(ULONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

// The audio control word (0xB820) changed at device IRQL or under the
// interrupt's lock.
void ZarAudSetControlAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, ULONG bits)
{
    ext->Setup.AudioControl = (ext->Setup.AudioControl & ~mask) | (bits & mask);
    ZarDebiPioWrite(ext, kRegAudioControl, ext->Setup.AudioControl);
}

void ZarAudMc1(PZAR_DEVICE_EXTENSION ext, ULONG bits, bool on)
{
    ZarBridgeWrite(ext, ZAR_BRIDGE_MC1, (bits << 16) | (on ? bits : 0));
}

void ZarAudInterfaces(PZAR_DEVICE_EXTENSION ext, ULONG bits, bool on)
{
    ULONG now = ZarBridgeRead(ext, kInterfaceControl);
    ZarBridgeWrite(ext, kInterfaceControl, on ? (now | bits) : (now & ~bits));
}

void ZarAudLoadSlotList(PZAR_DEVICE_EXTENSION ext, ULONG offset, const ULONG list[kSlotEntries])
{
    for (ULONG i = 0; i < kSlotEntries; ++i) ZarBridgeWrite(ext, offset + 4 * i, list[i]);
}

bool BankBInUse(const ZAR_AUDIO_ENGINE_STATE& a) { return a.Play[1].Slots != 0; }

void ZarAudSignal(PKEVENT event)
{
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}
void ZarAudClear(PKEVENT event)
{
    if (event != nullptr) KeClearEvent(event);
}

}  // namespace

// Bank sizes from the samples per buffer and the slots of each bank.
void ZarAudCalcPlayDmaSizes(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    for (ZAR_AUDIO_PLAY_DCB& dcb : a.Play) {
        dcb.Size = a.SamplesPerBuffer * dcb.Slots * sizeof(SHORT);
        dcb.HalfOffset[0] = 0;
        dcb.HalfOffset[1] = dcb.Size / 2;
    }
    ext->AudioPlayHalfSize = a.Play[0].Size / 2;
    ext->AudioPlaySizesDiffer = a.Play[1].Slots != 0 && a.Play[1].Size != a.Play[0].Size;
}

namespace {

BOOLEAN ZarAudProgramRecord(PZAR_DEVICE_EXTENSION ext, ULONG pageBits)
{
    ZAR_AUDIO_REC_DCB& r = Engine(ext).Rec;
    ZarBridgeWrite(ext, kRecordBase, 0);
    ZarBridgeWrite(ext, kRecordProt, ext->Audio.RecDmaSize);
    ZarBridgeWrite(ext, kRecordPage, (r.PageTableLogical.LowPart & ~(PAGE_SIZE - 1)) | pageBits);
    ext->AudioRecBufferStart = 0;
    ext->AudioRecHalf = 0;
    return TRUE;
}

void ZarAudRecStartAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mode, bool oneShot)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG list[kSlotEntries];
    ULONG variant = (BankBInUse(a) && (a.RecordBothInterfaces || a.PlayDmaRunning)) ? 3 : 2;
    ZarAudBuildSlotList(list, 1, a.Slot, variant);
    ZarAudLoadSlotList(ext, kSlotList2, list);
    ZarAudMc1(ext, kMc1RecordDma, false);
    ZarAudProgramRecord(ext, oneShot ? kPageOneShot : kPageLooping);
    ext->AudioRecMode = oneShot ? ZAR_AUDIO_REC_SINGLE_DMA : ZAR_AUDIO_REC_DOUBLE_BUFFERED;
    ext->AudioRecSingleArmed = FALSE;
    ZarSetIntModeAtIrql(ext, ZAR_INT_AUDIO_RECORD, TRUE);
    ZarAudSetControlAtIrql(ext, kAudioControlRecord, kAudioControlRecord);
    if (mode == ZAR_AUDIO_REC_PASSIVE && a.PlayPathUsers++ == 0)
        ZarAudSetControlAtIrql(ext, kAudioControlPlayPath, kAudioControlPlayPath);
    a.RecordMode = mode;
    a.RecordHalfToggle = 0;
    a.RecordHalvesTaken = ext->AudioRecHalfCounter;
    ext->AudioRecState = ZAR_AUDIO_REC_EVENTS;
    ZarAudMc1(ext, kMc1RecordDma, true);
    ULONG interfaces = kInterface2On | (a.RecordBothInterfaces ? kInterface1On : 0);
    ZarAudInterfaces(ext, interfaces, true);
    ext->AudioRecording = TRUE;
}

struct ZAR_AUD_REC_START {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Mode;
    bool OneShot;
};

BOOLEAN ZarAudRecStartSynchronized(PVOID context)
{
    auto* start = static_cast<ZAR_AUD_REC_START*>(context);
    ZarAudRecStartAtIrql(start->Ext, start->Mode, start->OneShot);
    return TRUE;
}

// Copies one record half into the caller's ring and tells the caller.
void ZarAudRingTake(PZAR_DEVICE_EXTENSION ext, const UCHAR* half, ULONG bytes, bool last)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (!a.RingSetUp || a.RingBlock == nullptr) return;
    ZAR_AUDIO_REC_BLOCK* block = a.RingBlock;
    // The caller may have written anything into the block: every index it
    // holds is kept inside the ring.
    ULONG index = block->Next % ZAR_AUDIO_RING_BUFFERS;
    RtlCopyMemory(a.RingVa[index], half, bytes);
    LONG sequence = block->Counter + 1;
    block->Counter = sequence;
    block->Sequence[index] = sequence;
    block->Next = (index + 1) % ZAR_AUDIO_RING_BUFFERS;
    if (last) {
        block->LastSequence = sequence;
        block->LastBytes = bytes;
    }
    ZarAudSignal(a.RingEvent);
}

void ZarAudStartedReached(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    a.ChangePending = 0;
    a.Started = 1;
    ext->AudioFieldEvent = &a.StartedEvent;
    ext->AudioFieldEventArmed = TRUE;
}

struct ZAR_AUD_PLAY_CALL {
    PZAR_DEVICE_EXTENSION Ext;
    const ZAR_AUDIO_PLAY_COMMAND* Command;
    NTSTATUS Status;
};

BOOLEAN ZarAudPlayCommandSynchronized(PVOID context)
{
    auto* call = static_cast<ZAR_AUD_PLAY_CALL*>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(call->Ext);
    const ZAR_AUDIO_PLAY_COMMAND* c = call->Command;
    if (a.PlayState.State == ZAR_AUDIO_PLAYING || (a.ChangePending && a.RequestedState == ZAR_AUDIO_PLAYING)) {
        call->Status = STATUS_UNSUCCESSFUL;
        return TRUE;
    }
    ZAR_PLAY_STATE& p = a.PlayState;
    p.Position = c->StartField;
    p.StartPosition = c->StartField;
    p.LoopStart = c->LoopStartField;
    p.EndPosition = c->EndField;
    p.LoopFlag = c->Loop;
    p.SelfTimed = c->FixedSpeed;
    p.Master = c->Channel;
    p.Pass = 0;
    for (ULONG& r : p.Reported) r = c->StartField;
    a.Latency = c->Latency & 3;
    a.LinkedStart = c->LinkedStart;
    a.RequestedState = ZAR_AUDIO_PLAYING;
    a.ChangePending = 1;
    a.Started = 0;
    call->Status = STATUS_SUCCESS;
    return TRUE;
}

NTSTATUS ZarAudWait(PKEVENT event, LONGLONG timeout)
{
    LARGE_INTEGER t;
    t.QuadPart = timeout;
    NTSTATUS status = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &t);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
}

void ZarAudDelay(LONGLONG interval)
{
    LARGE_INTEGER t;
    t.QuadPart = interval;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void ZarAudFreeCommon(PADAPTER_OBJECT adapter, ULONG length, PHYSICAL_ADDRESS logical, PVOID* va)
{
    if (*va == nullptr) return;
    HalFreeCommonBuffer(adapter, length, logical, *va, FALSE);
    *va = nullptr;
}

}  // namespace

BOOLEAN ZarAudRecStartForWave(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZarAudRecStartAtIrql(ext, ZAR_AUDIO_REC_EVENTS, false);
    ext->AudioRecMode = ZAR_AUDIO_REC_WAVE_DRIVER;
    return TRUE;
}

// Locks 'length' bytes of the caller at 'address' for 'operation' and maps
// them; null on a bad address.
PMDL ZarAudLockUserBuffer(ULONG address, ULONG length, LOCK_OPERATION operation, KPROCESSOR_MODE mode, PVOID* system)
{
    *system = nullptr;
    if (address == 0 || length == 0) return nullptr;
    PMDL mdl = IoAllocateMdl(UserAddress(address), length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return nullptr;
    NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, mode, operation); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return nullptr;
    }
    *system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (*system == nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return nullptr;
    }
    return mdl;
}

void ZarAudUnlockUserBuffer(PMDL* mdl)
{
    if (*mdl == nullptr) return;
    MmUnlockPages(*mdl);
    IoFreeMdl(*mdl);
    *mdl = nullptr;
}

// ---- pure rules ----

ULONG ZarAudCalcSlots(ULONG mask, LONG slot[ZAR_AUDIO_TRACKS], ULONG slotCount[2])
{
    mask &= 0xFF;
    if (!(mask & 0x0F)) mask |= 0x01;
    for (ULONG bank = 0; bank < 2; ++bank) {
        ULONG next = 0;
        for (ULONG t = 4 * bank; t < 4 * bank + 4; ++t) {
            bool used = (mask & kPairMask[t / 2]) != 0;
            slot[t] = used ? LONG(next++) : -1;
        }
        slotCount[bank] = next;
    }
    return mask;
}

bool ZarAudBanksFit(ULONG samplesPerBuffer, const ULONG slotCount[2])
{
    ULONG slots = slotCount[0] > slotCount[1] ? slotCount[0] : slotCount[1];
    return ULONGLONG(samplesPerBuffer) * slots * sizeof(SHORT) <= ZAR_AUDIO_PLAY_BUFFER_SIZE;
}

void ZarAudVuFilter(ZAR_AUDIO_VU_PAIR* pair, ULONG peak)
{
    ULONG level = (peak & 0xFF) * 128;
    if (level <= pair->Level)
        pair->Level = level / 2 + pair->Level / 2;
    else
        pair->Level = level;
    ULONG hold = pair->Hold;
    if (level > hold) hold = level;
    if (pair->Level > hold) hold = pair->Level;
    pair->Hold = hold;
}

ULONG ZarAudBuildSlotList(ULONG list[16], ULONG bank, const LONG slot[ZAR_AUDIO_TRACKS], ULONG recordVariant)
{
    ULONG n = 0;
    for (ULONG i = 0; i < kSlotEntries; ++i) list[i] = 0;
    bool playB = bank == 0 || recordVariant != 2;
    if (playB) {
        // Tracks in slot order: the slot numbers follow track order.
        for (ULONG t = 4 * bank; t < 4 * bank + 4; ++t)
            if (slot[t] >= 0) list[n++] = PlaySlot(t);
    }
    if (bank == 1 && recordVariant >= 2) {
        list[n++] = RecordSlot(0);
        list[n++] = RecordSlot(1);
    }
    if (n != 0) list[n - 1] |= kSlotEnd;
    return n;
}

// ---- set-up and release ----

NTSTATUS ZarAudInitPlayDcb(PZAR_DEVICE_EXTENSION ext, ULONG playback)
{
    ZAR_AUDIO_PLAY_DCB& dcb = Engine(ext).Play[playback & 1];
    dcb.Adapter = ext->DmaAdapter[kPlayAdapter[playback & 1]];
    dcb.Va = HalAllocateCommonBuffer(dcb.Adapter, ZAR_AUDIO_PLAY_BUFFER_SIZE, &dcb.Logical, FALSE);
    PHYSICAL_ADDRESS tableLogical{};
    PVOID table = HalAllocateCommonBuffer(dcb.Adapter, PAGE_SIZE, &tableLogical, FALSE);
    if (dcb.Va == nullptr || table == nullptr) {
        ZarAudFreeCommon(dcb.Adapter, ZAR_AUDIO_PLAY_BUFFER_SIZE, dcb.Logical, &dcb.Va);
        ZarAudFreeCommon(dcb.Adapter, PAGE_SIZE, tableLogical, &table);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(dcb.Va, ZAR_AUDIO_PLAY_BUFFER_SIZE);
    dcb.PageTable = static_cast<PULONG>(table);
    dcb.PageTableLogical = tableLogical;
    for (ULONG i = 0; i < kPlayPageTableEntries; ++i) dcb.PageTable[i] = dcb.Logical.LowPart + i * PAGE_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudInitRecDcb(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_REC_DCB& r = Engine(ext).Rec;
    r.Adapter = ext->DmaAdapter[kRecAdapter];
    PVOID va = HalAllocateCommonBuffer(r.Adapter, ZAR_AUDIO_REC_REGION_SIZE, &r.Logical, FALSE);
    PHYSICAL_ADDRESS tableLogical{};
    PVOID table = HalAllocateCommonBuffer(r.Adapter, PAGE_SIZE, &tableLogical, FALSE);
    if (va == nullptr || table == nullptr) {
        ZarAudFreeCommon(r.Adapter, ZAR_AUDIO_REC_REGION_SIZE, r.Logical, &va);
        ZarAudFreeCommon(r.Adapter, PAGE_SIZE, tableLogical, &table);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(va, ZAR_AUDIO_REC_REGION_SIZE);
    r.Va = static_cast<PUCHAR>(va);
    r.PageTable = static_cast<PULONG>(table);
    r.PageTableLogical = tableLogical;
    for (ULONG i = 0; i < kRecPageTableEntries; ++i) r.PageTable[i] = r.Logical.LowPart + i * PAGE_SIZE;
    return STATUS_SUCCESS;
}

void ZarCalcAudRecDmaSize(PZAR_DEVICE_EXTENSION ext)
{
    ext->Audio.RecDmaSize = 4 * ext->Audio.RecBlockCount;
    if (ext->Audio.RecDmaSize > kRecDmaBytes) ext->Audio.RecDmaSize = kRecDmaBytes;
    ext->Audio.RecDmaHalfSize = ext->Audio.RecDmaSize / 2;
    ext->Audio.RecDmaPosition = 0;
}

void ZarAudFreeDcbs(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    for (ZAR_AUDIO_PLAY_DCB& dcb : a.Play) {
        ZarAudFreeCommon(dcb.Adapter, ZAR_AUDIO_PLAY_BUFFER_SIZE, dcb.Logical, &dcb.Va);
        PVOID table = dcb.PageTable;
        ZarAudFreeCommon(dcb.Adapter, PAGE_SIZE, dcb.PageTableLogical, &table);
        dcb.PageTable = nullptr;
    }
    PVOID va = a.Rec.Va;
    ZarAudFreeCommon(a.Rec.Adapter, ZAR_AUDIO_REC_REGION_SIZE, a.Rec.Logical, &va);
    a.Rec.Va = nullptr;
    PVOID table = a.Rec.PageTable;
    ZarAudFreeCommon(a.Rec.Adapter, PAGE_SIZE, a.Rec.PageTableLogical, &table);
    a.Rec.PageTable = nullptr;
    for (PKEVENT& e : a.Events) {
        if (e != nullptr) ObDereferenceObject(e);
        e = nullptr;
    }
}

void ZarAudHWInitializeAllStates(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    KeInitializeEvent(&a.StartedEvent, NotificationEvent, FALSE);
    a.SamplesPerBuffer = ZAR_AUDIO_SAMPLES_DEFAULT;
    ULONG counts[2];
    a.ActiveTrackMask = ZarAudCalcSlots(0x0F, a.Slot, counts);
    a.Play[0].Slots = counts[0];
    a.Play[1].Slots = counts[1];
    ZarAudCalcPlayDmaSizes(ext);
    ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
    ext->AudioRecMode = ZAR_AUDIO_REC_DOUBLE_BUFFERED;
    ZarAudUsersInitialize(ext);
    ext->FieldSignal[ZAR_FIELD_SIGNAL_DSP].Event = &ext->DspThread.Wake;
}

void ZarAudShutdown(PZAR_DEVICE_EXTENSION ext)
{
    ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
    ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    a.PlayState.State = ZAR_AUDIO_STOPPED;
    a.ChangePending = 0;
    ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
}

// ---- play DMA at interrupt level ----

BOOLEAN ZarAudPlayDmaStartDevice(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    bool oneShot = ext->AudioPlayMode == ZAR_AUDIO_PLAY_SINGLE_DMA;
    if (!oneShot && a.PlayPathUsers++ == 0) ZarAudSetControlAtIrql(ext, kAudioControlPlayPath, kAudioControlPlayPath);
    bool bankB = BankBInUse(a);
    ZarAudMc1(ext, kMc1PlayADma | kMc1PlayBDma, false);
    ZarBridgeWrite(ext, ZAR_BRIDGE_ISR, kUnderflowClear);
    a.UnderflowLogged = FALSE;
    ZarSetIntModeAtIrql(ext, ZAR_INT_AUDIO_PLAY_A | (bankB ? ZAR_INT_AUDIO_PLAY_B : 0), TRUE);
    ULONG list[kSlotEntries];
    ZarAudBuildSlotList(list, 0, a.Slot, 0);
    ZarAudLoadSlotList(ext, kSlotList1, list);
    if (bankB && !a.LinkedStart) {
        ZarAudBuildSlotList(list, 1, a.Slot, ext->AudioRecording ? 3 : 0);
        ZarAudLoadSlotList(ext, kSlotList2, list);
    }
    const ULONG base[2] = {kPlayABase, kPlayBBase}, prot[2] = {kPlayAProt, kPlayBProt}, page[2] = {kPlayAPage, kPlayBPage};
    for (ULONG b = 0; b < (bankB ? 2u : 1u); ++b) {
        ZAR_AUDIO_PLAY_DCB& dcb = a.Play[b];
        dcb.BaseShadow = 0;
        dcb.ProtShadow = dcb.Size;
        dcb.PageShadow = (dcb.PageTableLogical.LowPart & ~(PAGE_SIZE - 1)) | (oneShot ? kPageOneShot : kPageLooping);
        ZarBridgeWrite(ext, base[b], dcb.BaseShadow);
        ZarBridgeWrite(ext, prot[b], dcb.ProtShadow);
        ZarBridgeWrite(ext, page[b], dcb.PageShadow);
    }
    ext->AudioPlayBufferStart = 0;
    ext->AudioPlayHalf = 0;
    ext->AudioPlaySingleArmed = FALSE;
    ext->AudioLastPlayPage = 0;
    ext->AudioPlayDualChannel = bankB;
    ZarAudMc1(ext, kMc1PlayADma | (bankB ? kMc1PlayBDma : 0), true);
    KeStallExecutionProcessor(kStartSettleUs);
    if (!a.LinkedStart) ZarAudInterfaces(ext, kInterface1On | (bankB ? kInterface2On : 0), true);
    a.PlayDmaRunning = TRUE;
    ext->AudioPlaying = TRUE;
    if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_DATA_SERVER && ext->AudioDSrv.State == ZAR_DSRV_WAITING)
        ext->AudioDSrv.State = ZAR_DSRV_RUNNING;
    return TRUE;
}

BOOLEAN ZarAudPlayStopDma(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (a.PlayDmaRunning && ext->AudioPlayMode != ZAR_AUDIO_PLAY_SINGLE_DMA && a.PlayPathUsers != 0 &&
        --a.PlayPathUsers == 0)
        ZarAudSetControlAtIrql(ext, kAudioControlPlayPath, 0);
    if (ext->Registers != nullptr) {
        KeStallExecutionProcessor(kStopPathUs);
        ZarAudInterfaces(ext, kInterface1On | (ext->AudioRecording ? 0 : kInterface2On), false);
        KeStallExecutionProcessor(kStopInterfaceUs);
        ZarAudMc1(ext, kMc1PlayADma | kMc1PlayBDma, false);
    }
    a.PlayDmaRunning = FALSE;
    a.PlayState.State = ZAR_AUDIO_STOPPED;
    ext->AudioPlaying = FALSE;
    return TRUE;
}

BOOLEAN ZarAudRecStopDma(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (ext->Registers != nullptr && ext->AudioRecording) {
        ext->Audio.RecDmaPosition = ZarBridgeRead(ext, kRecordCurrent);
        ZarAudMc1(ext, kMc1RecordDma, false);
        if (!a.PlayDmaRunning) ZarAudInterfaces(ext, kInterface2On, false);
        ZarAudSetControlAtIrql(ext, kAudioControlRecord, 0);
        if (a.RecordMode == ZAR_AUDIO_REC_PASSIVE && a.PlayPathUsers != 0 && --a.PlayPathUsers == 0)
            ZarAudSetControlAtIrql(ext, kAudioControlPlayPath, 0);
    }
    a.RecordMode = ZAR_AUDIO_REC_OFF;
    ext->AudioRecState = 0;
    ext->AudioRecording = FALSE;
    return TRUE;
}

void ZarAudPlayResynchronizeDma(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (ext->DisableAudioFifoResets || !a.PlayDmaRunning) return;
    const ULONG current[2] = {kPlayACurrent, kPlayBCurrent}, base[2] = {kPlayABase, kPlayBBase};
    const ULONG bits[2] = {kMc1PlayADma, kMc1PlayBDma};
    for (ULONG b = 0; b < (BankBInUse(a) ? 2u : 1u); ++b) {
        ZAR_AUDIO_PLAY_DCB& dcb = a.Play[b];
        if (dcb.Slots == 0) continue;
        // Back on a frame boundary, so every slot feeds its own track again.
        ULONG frameBytes = dcb.Slots * sizeof(SHORT);
        ULONG position = ZarBridgeRead(ext, current[b]);
        ULONG frame = ((position / frameBytes) & ~15u) + 16;
        ULONG restart = frame * frameBytes;
        if (restart >= dcb.Size) restart = 0;
        ZarAudMc1(ext, bits[b], false);
        ZarBridgeWrite(ext, base[b], restart);
        ZarAudMc1(ext, bits[b], true);
        ZarBridgeWrite(ext, base[b], 0);
    }
}

// ---- per field ----

void ZarAudPlayVbi(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ZAR_PLAY_STATE& p = a.PlayState;
    if (p.State == ZAR_AUDIO_PLAYING) {
        ZarPlyUpdatePlayPosition(&p);
        ++p.Position;
        if (p.Position >= p.EndPosition && !ZarPlLoopWrapCheck(&p)) p.Position = p.EndPosition;
    }
    if (a.ChangePending) {
        p.State = a.RequestedState;
        ZarAudStartedReached(ext);
    }
    if (p.State == ZAR_AUDIO_PLAYING && !a.PlayDmaRunning && p.Position >= p.StartPosition + a.Latency)
        ZarAudPlayDmaStartDevice(ext);
}

const void* ZarAudGetState(PZAR_DEVICE_EXTENSION ext) { return &Engine(ext).PlayState; }

void ZarAudVuLevelProcessing(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Registers == nullptr || ext->FpgaState == 0) return;
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG tracks[4];
    for (ULONG i = 0; i < 4; ++i) tracks[i] = ZarDebiPioRead(ext, kRegVuTracks + 4 * i);
    ULONG mix = ZarDebiPioRead(ext, kRegVuMix);
    ULONG rec = ZarDebiPioRead(ext, kRegVuRecord);
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) ZarAudVuFilter(&a.PlayVu[t], (tracks[t % 4] >> (8 * (t / 4))) & 0xFF);
    ZarAudVuFilter(&a.PlayVu[8], mix & 0xFF);
    ZarAudVuFilter(&a.PlayVu[9], (mix >> 8) & 0xFF);
    ZarAudVuFilter(&a.RecVu[0], rec & 0xFF);
    ZarAudVuFilter(&a.RecVu[1], (rec >> 8) & 0xFF);
    ZarDebiPioWrite(ext, kRegVuRestart, 0);
}

// ---- DPCs ----

void ZarDpcForAudioPlayback(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG played = ext->AudioPlayHalf ^ 1;  // the half that just finished
    if (a.PlayState.State == ZAR_AUDIO_PLAYING && a.HalfFilled[played] == 0) {
        // The caller did not feed this half in time: stop rather than
        // play stale samples again.
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        return;
    }
    ZarAudSignal(a.Events[played ^ 1]);
    ZarAudClear(a.Events[played]);
}

void ZarDpcForAudioPlaybackSingleDma(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
    ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
    Engine(ext).OneShotDone |= 1;
    ZarAudSignal(Engine(ext).Events[ZAR_AUDIO_EVENT_ONE_SHOT_PLAY]);
}

void ZarDpcForAudioRecordSingleDma(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
    ext->AudioRecMode = ZAR_AUDIO_REC_DOUBLE_BUFFERED;
    Engine(ext).OneShotDone |= 2;
    ZarAudSignal(Engine(ext).Events[ZAR_AUDIO_EVENT_ONE_SHOT_REC]);
}

ULONG ZarAudRecTakeHalves(PZAR_DEVICE_EXTENSION ext, ULONG half[2])
{
    // The counter and the half the last crossing completed, read together
    // with the interrupt that moves them.
    struct Snapshot {
        PZAR_DEVICE_EXTENSION Ext;
        ULONG Counter, Last;
    } snap{ext, 0, 0};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* s = static_cast<Snapshot*>(context);
        s->Counter = s->Ext->AudioRecHalfCounter;
        s->Last = s->Ext->AudioRecHalf ^ 1;  // the half before the one being recorded
        return TRUE;
    }, &snap);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG count = snap.Counter - a.RecordHalvesTaken;
    a.RecordHalvesTaken = snap.Counter;
    if (count > 2) count = 2;
    // The halves alternate: counting back from the last one completed.
    for (ULONG i = 0; i < count; ++i) half[i] = snap.Last ^ ((count - 1 - i) & 1);
    return count;
}

void ZarDpcForAudioRecord(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    // Two crossings may come before one DPC: each half completed is taken.
    ULONG halves[2];
    ULONG count = ZarAudRecTakeHalves(ext, halves);
    for (ULONG i = 0; i < count; ++i) {
        ULONG half = halves[i];
        if (a.RecordMode == ZAR_AUDIO_REC_EVENTS) {
            ZarAudSignal(a.Events[ZAR_AUDIO_EVENT_REC_HALF_A + half]);
            ZarAudClear(a.Events[ZAR_AUDIO_EVENT_REC_HALF_A + (half ^ 1)]);
        }
        a.RecordHalfToggle = half ^ 1;
        ZarAudRingTake(ext, a.Rec.Va + half * ext->Audio.RecDmaHalfSize, ext->Audio.RecDmaHalfSize, false);
    }
}

void ZarDpcForAudioFifoUnderflowLog(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    // The data server's library hears of every underflow; the event log once a start.
    if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_DATA_SERVER) ZarAudDSrvUnderflow(ext);
    if (a.UnderflowLogged) return;
    a.UnderflowLogged = TRUE;
    if (ext->AudioUnderflowLogging)
        ZarLogEvent(ext->DriverObject, ext->EventLogLevel, ZAR_MSG_AUDIO_FIFO_UNDERFLOW, STATUS_SUCCESS);
}

// ---- control codes ----

NTSTATUS ZarAudSetActiveTrackMask(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    LONG slot[ZAR_AUDIO_TRACKS];
    ULONG counts[2];
    ULONG mask = ZarAudCalcSlots(*static_cast<PULONG>(buffer), slot, counts);
    // The banks the new slots make at the present sample count must fit the
    // bank buffers: the puts, the track clears and the loop-back test all
    // write as far as they reach.
    if (!ZarAudBanksFit(a.SamplesPerBuffer, counts)) return STATUS_INVALID_PARAMETER;
    a.ActiveTrackMask = mask;
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) a.Slot[t] = slot[t];
    a.Play[0].Slots = counts[0];
    a.Play[1].Slots = counts[1];
    // A running DMA keeps the sizes it was started with.
    if (!a.PlayDmaRunning) ZarAudCalcPlayDmaSizes(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarCalcAudPlayDmaSize(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG samples = *static_cast<PULONG>(buffer);
    if (samples != 0) {
        const ULONG counts[2] = {a.Play[0].Slots, a.Play[1].Slots};
        // Sizes beyond the bank buffer would run the DMA off its end.
        if (!ZarAudBanksFit(samples, counts) || (samples & 1)) return STATUS_INVALID_PARAMETER;
        if (a.PlayDmaRunning) return STATUS_UNSUCCESSFUL;
        a.SamplesPerBuffer = samples;
    }
    ZarAudCalcPlayDmaSizes(ext);
    *static_cast<PULONG>(buffer) = a.Play[0].Size;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudClearTrack(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ULONG track = *static_cast<PULONG>(buffer);
    if (track == 0xFFFFFFFF) {
        for (ZAR_AUDIO_PLAY_DCB& dcb : a.Play) RtlZeroMemory(dcb.Va, ZAR_AUDIO_PLAY_BUFFER_SIZE);
        return STATUS_SUCCESS;
    }
    if (track >= ZAR_AUDIO_TRACKS || a.Slot[track] < 0) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_PLAY_DCB& dcb = a.Play[track / 4];
    auto* samples = static_cast<SHORT*>(dcb.Va);
    for (ULONG i = ULONG(a.Slot[track]); i < dcb.Size / sizeof(SHORT); i += dcb.Slots) samples[i] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudPutWaveData(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZAR_AUDIO_WAVE_DATA block;
    auto* from = static_cast<const ZAR_AUDIO_WAVE_DATA*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (from == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(block))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ZarCaptureFromCaller(irp->RequestorMode, from, &block, sizeof(block));
    if (!NT_SUCCESS(status)) return status;
    if (a.ActiveTrackMask == 0 || block.Track >= ZAR_AUDIO_TRACKS || a.Slot[block.Track] < 0)
        return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_PLAY_DCB& dcb = a.Play[block.Track / 4];
    ULONG half = block.Half & 1;
    ULONG samplesPerHalf = a.SamplesPerBuffer / 2;
    // More than one half holds would run into the next half or past the buffer.
    if (block.ByteCount > samplesPerHalf * sizeof(SHORT)) return STATUS_INVALID_PARAMETER;
    ULONG count = block.ByteCount / sizeof(SHORT);
    auto* to = static_cast<SHORT*>(dcb.Va) + dcb.HalfOffset[half] / sizeof(SHORT) + a.Slot[block.Track];
    // The samples are taken whole before any reaches the half, so a caller
    // whose buffer faults leaves the half as it was.
    SHORT* samples = nullptr;
    if (count != 0) {
        samples = static_cast<SHORT*>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(SHORT), kWaveDataTag));
        if (samples == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = ZarCaptureFromCaller(irp->RequestorMode, UserAddress(block.Samples), samples, count * sizeof(SHORT));
        if (NT_SUCCESS(status))
            for (ULONG i = 0; i < count; ++i) to[i * dcb.Slots] = samples[i];
        ExFreePoolWithTag(samples, kWaveDataTag);
        if (!NT_SUCCESS(status)) return status;
    }
    a.HalfFilled[half] = block.FilledMarker;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudPlayCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ZAR_AUDIO_PLAY_COMMAND command;
    std::memcpy(&command, buffer, sizeof(command));
    ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    if (command.State == ZAR_AUDIO_PLAYING) {
        if (a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_A] == nullptr || a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_B] == nullptr)
            return STATUS_UNSUCCESSFUL;
        for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
            ULONG track = t;
            if (!(a.ActiveTrackMask & (1u << t)) && a.Slot[t] >= 0) ZarAudClearTrack(ext, &track);
        }
        ZarAudClear(a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_A]);
        ZarAudClear(a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_B]);
    }
    KeClearEvent(&a.StartedEvent);
    if (command.State == ZAR_AUDIO_STOPPED) {
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        a.ChangePending = 0;
        ZarAudClear(a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_A]);
        ZarAudClear(a.Events[ZAR_AUDIO_EVENT_PLAY_HALF_B]);
        if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_SINGLE_DMA) {
            ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
            ZarAudSignal(a.Events[ZAR_AUDIO_EVENT_ONE_SHOT_PLAY]);
        }
        return STATUS_SUCCESS;
    }
    if (command.State != ZAR_AUDIO_PLAYING) return STATUS_INVALID_PARAMETER;
    ZAR_AUD_PLAY_CALL call{ext, &command, STATUS_SUCCESS};
    ZarRunSynchronized(ext, ZarAudPlayCommandSynchronized, &call);
    if (!NT_SUCCESS(call.Status) || !command.Wait) return call.Status;
    return ZarAudWait(&a.StartedEvent, kStartWait);
}

NTSTATUS ZarAudRecordCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ZAR_AUDIO_RECORD_COMMAND command;
    std::memcpy(&command, buffer, sizeof(command));
    if (command.Command == ZAR_AUDIO_REC_OFF) {
        bool wasRecording = ext->AudioRecording;
        ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        if (wasRecording && a.RingSetUp) {
            // The partly filled half goes to the ring with what it holds.
            ULONG position = ext->Audio.RecDmaPosition;
            ULONG half = position >= ext->Audio.RecDmaHalfSize ? 1 : 0;
            ULONG inHalf = position - half * ext->Audio.RecDmaHalfSize;
            ULONG bytes = inHalf > 8 ? inHalf - 8 : 0;
            ZarAudRingTake(ext, a.Rec.Va + half * ext->Audio.RecDmaHalfSize, bytes, true);
        }
        return STATUS_SUCCESS;
    }
    if (command.Command != ZAR_AUDIO_REC_EVENTS && command.Command != ZAR_AUDIO_REC_PASSIVE)
        return STATUS_INVALID_PARAMETER;
    if (ext->AudioRecording) return STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < 3; ++i) a.RecordParameter[i] = command.Parameter[i];
    a.RecordBothInterfaces = command.BothInterfaces != 0;
    ZAR_AUD_REC_START start{ext, command.Command, false};
    ZarRunSynchronized(ext, ZarAudRecStartSynchronized, &start);
    return STATUS_SUCCESS;
}

void ZarAudRecDmaStartDevice(PZAR_DEVICE_EXTENSION ext, const ULONG* startBlock)
{
    // Called at interrupt level by a recording video channel.
    if (ext->AudioRecording || ext->Registers == nullptr) return;
    ULONG mode = startBlock[0] == ZAR_AUDIO_REC_PASSIVE ? ZAR_AUDIO_REC_PASSIVE : ZAR_AUDIO_REC_EVENTS;
    ZarAudRecStartAtIrql(ext, mode, false);
}

void ZarAudFollowVideo(PZAR_DEVICE_EXTENSION ext, const ZAR_PLAY_COMMAND* play, const UCHAR*)
{
    // At interrupt level: the audio plays from the video channel's range.
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (a.PlayState.State == ZAR_AUDIO_PLAYING) return;
    ZAR_AUDIO_PLAY_COMMAND command{};
    command.State = ZAR_AUDIO_PLAYING;
    command.Channel = play->Master;
    command.StartField = play->Start;
    command.LoopStartField = play->LoopStart;
    command.EndField = play->End;
    ZAR_AUD_PLAY_CALL call{ext, &command, STATUS_SUCCESS};
    ZarAudPlayCommandSynchronized(&call);
}

void ZarAudPreparePassiveStart(PZAR_DEVICE_EXTENSION ext, const UCHAR*)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    for (ULONG t = 0; t < ZAR_AUDIO_TRACKS; ++t) {
        ULONG track = t;
        if (!(a.ActiveTrackMask & (1u << t)) && a.Slot[t] >= 0) ZarAudClearTrack(ext, &track);
    }
}

NTSTATUS ZarAudRecRing(PZAR_DEVICE_EXTENSION ext, PUCHAR* ring, PULONG busAddress, PULONG size)
{
    ZAR_AUDIO_REC_DCB& r = Engine(ext).Rec;
    if (r.Va == nullptr) return STATUS_UNSUCCESSFUL;
    *ring = r.Va;
    *busAddress = r.Logical.LowPart;
    *size = ext->Audio.RecDmaSize;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudGetWaveData(PZAR_DEVICE_EXTENSION ext, ULONG half, const UCHAR** data, PULONG length, PULONG position)
{
    ZAR_AUDIO_REC_DCB& r = Engine(ext).Rec;
    *data = nullptr;
    *length = 0;
    if (r.Va == nullptr) return STATUS_UNSUCCESSFUL;
    *data = r.Va + (half & 1) * ext->Audio.RecDmaHalfSize;
    *length = ext->Audio.RecDmaHalfSize;
    position[0] = ext->AudioRecHalfCounter;
    position[1] = ext->AudioRecording ? ZarBridgeRead(ext, kRecordCurrent) : ext->Audio.RecDmaPosition;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudRegisterEvents(PZAR_DEVICE_EXTENSION ext, PKEVENT* events)
{
    // The new events are referenced by the caller already; the swap runs
    // under the interrupt's lock so no DPC signals an event being dropped,
    // and the old ones are dereferenced afterwards.
    struct Swap {
        PZAR_DEVICE_EXTENSION Ext;
        PKEVENT* Events;
    } swap{ext, events};
    auto routine = [](PVOID context) -> BOOLEAN {
        auto* s = static_cast<Swap*>(context);
        PKEVENT* held = Engine(s->Ext).Events;
        for (ULONG i = 0; i < ZAR_AUDIO_EVENT_COUNT; ++i) {
            PKEVENT old = held[i];
            held[i] = s->Events[i];
            s->Events[i] = old;
        }
        return TRUE;
    };
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // no audio DPC runs between the swap and the drop
    ZarRunSynchronized(ext, routine, &swap);
    KeLowerIrql(old);
    for (ULONG i = 0; i < ZAR_AUDIO_EVENT_COUNT; ++i)
        if (events[i] != nullptr) ObDereferenceObject(events[i]);
    return STATUS_SUCCESS;
}

namespace {

// A set of meters copied out and their holds restarted, in one step with
// the interrupt that updates them.
NTSTATUS ZarAudTakeVu(PZAR_DEVICE_EXTENSION ext, ZAR_AUDIO_VU_PAIR* meters, ULONG count, PVOID buffer)
{
    struct Copy {
        ZAR_AUDIO_VU_PAIR* Meters;
        ULONG Count;
        PVOID To;
    } copy{meters, count, buffer};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* c = static_cast<Copy*>(context);
        RtlCopyMemory(c->To, c->Meters, c->Count * sizeof(ZAR_AUDIO_VU_PAIR));
        for (ULONG i = 0; i < c->Count; ++i) c->Meters[i].Hold = 0;
        return TRUE;
    }, &copy);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarAudIoGetPlayVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    return ZarAudTakeVu(ext, a.PlayVu, ULONG(sizeof(a.PlayVu) / sizeof(a.PlayVu[0])), buffer);
}

NTSTATUS ZarAudIoGetRecVuLevel(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    return ZarAudTakeVu(ext, a.RecVu, ULONG(sizeof(a.RecVu) / sizeof(a.RecVu[0])), buffer);
}

// ---- the caller's record ring ----

NTSTATUS ZarAudRecSetup(PZAR_DEVICE_EXTENSION ext, PIRP irp)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto address = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(stack->Parameters.DeviceIoControl.Type3InputBuffer));
    if (address == 0) return STATUS_INVALID_PARAMETER;
    if (a.RingSetUp) return STATUS_UNSUCCESSFUL;
    PVOID system = nullptr;
    a.RingBlockMdl = ZarAudLockUserBuffer(address, sizeof(ZAR_AUDIO_REC_BLOCK), IoModifyAccess, irp->RequestorMode, &system);
    if (a.RingBlockMdl == nullptr) return STATUS_INVALID_PARAMETER;
    a.RingBlock = static_cast<ZAR_AUDIO_REC_BLOCK*>(system);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < ZAR_AUDIO_RING_BUFFERS && NT_SUCCESS(status); ++i) {
        ULONG buffer = a.RingBlock->Buffer[i];
        if (buffer == 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        PVOID va = nullptr;
        a.RingMdl[i] = ZarAudLockUserBuffer(buffer, ZAR_AUDIO_REC_HALF_SIZE, IoWriteAccess, irp->RequestorMode, &va);
        a.RingVa[i] = static_cast<PUCHAR>(va);
        if (a.RingMdl[i] == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID event = nullptr;
    if (NT_SUCCESS(status) && a.RingBlock->Event != 0)
        status = ObReferenceObjectByHandle(UserAddress(a.RingBlock->Event), EVENT_MODIFY_STATE, ExEventObjectType,
                                           irp->RequestorMode, &event, nullptr);
    if (!NT_SUCCESS(status)) {
        a.RingSetUp = TRUE;  // so the release below takes back what was locked
        ZarAudRecRelease(ext);
        return status;
    }
    a.RingEvent = static_cast<PKEVENT>(event);
    for (LONG& s : a.RingBlock->Sequence) s = -1;
    a.RingBlock->Counter = -1;
    a.RingBlock->Next = 0;
    a.RingSetUp = TRUE;
    ext->AudioRecordOwner = stack->FileObject;
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudRecRelease(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    // The DPC must not copy into buffers being unlocked.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    a.RingSetUp = FALSE;
    KeLowerIrql(old);
    for (ULONG i = 0; i < ZAR_AUDIO_RING_BUFFERS; ++i) {
        ZarAudUnlockUserBuffer(&a.RingMdl[i]);
        a.RingVa[i] = nullptr;
    }
    if (a.RingBlock != nullptr) a.RingBlock->SlotVariant = 0;
    ZarAudUnlockUserBuffer(&a.RingBlockMdl);
    a.RingBlock = nullptr;
    if (a.RingEvent != nullptr) ObDereferenceObject(a.RingEvent);
    a.RingEvent = nullptr;
    ext->AudioRecordOwner = nullptr;
    return STATUS_SUCCESS;
}

// ---- one-shot play and the loop-back test ----

NTSTATUS ZarAudPlayDmaBuffer(PZAR_DEVICE_EXTENSION ext, PVOID)
{
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    if (a.PlayState.State != ZAR_AUDIO_STOPPED || a.PlayDmaRunning) return STATUS_UNSUCCESSFUL;
    struct Start {
        PZAR_DEVICE_EXTENSION Ext;
    } start{ext};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* ext = static_cast<Start*>(context)->Ext;
        ext->AudioPlayMode = ZAR_AUDIO_PLAY_SINGLE_DMA;
        ext->AudioEngine.LinkedStart = 0;
        return ZarAudPlayDmaStartDevice(ext);
    }, &start);
    return STATUS_SUCCESS;
}

NTSTATUS ZarAudIoPlaycord(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
    ZAR_AUDIO_ENGINE_STATE& a = Engine(ext);
    ZAR_AUDIO_PLAYCORD cord;
    std::memcpy(&cord, buffer, sizeof(cord));
    if (cord.Mode != 1 && cord.Mode != 2) return STATUS_UNSUCCESSFUL;
    if (a.PlayDmaRunning) {
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        ZarAudDelay(kPlaycordStopWait);
    }
    if (ext->AudioRecording) {
        ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        ZarAudDelay(kPlaycordStopWait);
    }
    // The caller's three buffers are probed: bank data in, the record region out.
    const ULONG sources[2] = {cord.SourceA, cord.SourceB};
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG b = 0; b < 2 && NT_SUCCESS(status); ++b) {
        ZAR_AUDIO_PLAY_DCB& dcb = a.Play[b];
        if (dcb.Size == 0 || sources[b] == 0) continue;
        status = ZarCaptureFromCaller(UserMode, UserAddress(sources[b]), dcb.Va, dcb.Size);
    }
    if (NT_SUCCESS(status) && cord.Destination != 0)
        status = SehTry([&] { ProbeForWrite(UserAddress(cord.Destination), kRecDmaBytes, sizeof(UCHAR)); });
    if (!NT_SUCCESS(status)) return status;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    a.OneShotDone = 0;
    struct Start {
        PZAR_DEVICE_EXTENSION Ext;
    } start{ext};
    ZarRunSynchronized(ext, [](PVOID context) -> BOOLEAN {
        auto* ext = static_cast<Start*>(context)->Ext;
        // The record input hears the play mix while the cord test runs.
        ZarAudSetControlAtIrql(ext, kAudioControlSourceLoop | kAudioControlSourceDigital, kAudioControlSourceLoop);
        ext->AudioPlayMode = ZAR_AUDIO_PLAY_SINGLE_DMA;
        ext->AudioEngine.LinkedStart = 1;
        ZarAudPlayDmaStartDevice(ext);
        ext->AudioEngine.RecordBothInterfaces = TRUE;
        ZarAudRecStartAtIrql(ext, ZAR_AUDIO_REC_EVENTS, true);
        return TRUE;
    }, &start);
    // Both one-shot DPCs report through OneShotDone; poll it by fields.
    LONGLONG waited = 0;
    const LONGLONG step = -100000LL;  // 10 ms
    while ((a.OneShotDone & 3) != 3 && waited > kPlaycordWait) {
        ZarAudDelay(step);
        waited += step;
    }
    ZarSetBoardControl(ext, kAudioControlSourceLoop, 0);
    a.LinkedStart = 0;
    a.RecordBothInterfaces = FALSE;
    if ((a.OneShotDone & 3) != 3) {
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
        ext->AudioRecMode = ZAR_AUDIO_REC_DOUBLE_BUFFERED;
        return STATUS_IO_TIMEOUT;
    }
    if (cord.Destination == 0) return STATUS_SUCCESS;
    // Exactly the two record halves.
    return ZarCopyToCaller(UserMode, UserAddress(cord.Destination), a.Rec.Va, kRecDmaBytes);
}

// ---- source select ----

void ZarAudIoSetSource(PZAR_DEVICE_EXTENSION ext, ULONG source)
{
    ULONG bits = 0;
    if (source >= 1 && source <= 4) bits = kAudioControlSourceDigital;
    if (source == 5) bits = kAudioControlSourceLoop;
    Engine(ext).SourceSelect = source;
    ZarSetBoardControl(ext, kAudioControlSourceDigital | kAudioControlSourceLoop, bits);
    // The digital inputs are the option's: it is told which one.
    if (source >= 1 && source <= 4) ZarSendDigitalIoIoctl(ext, kDigitalIoAudioSource, &source, sizeof(source), nullptr, 0);
}

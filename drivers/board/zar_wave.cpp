// The board's side of the wave devices: the wave front that takes the
// device-control requests of caller kind 2 (the device word travels in the
// method-neither input field; in reads and writes, in the byte offset's high
// dword), the arbitration with the library through the audio lock, the
// pending write requests with their cancel routine, the copy of wave data
// into the play DMA's bank A (slots 0 and 1 of four), the position, and the
// settings kept under ZARWAV\Parameters.
//
// Wave-out plays through the play DMA in its wave mode; the wave-in device
// captures through the record DMA in its wave mode, with short halves while
// it runs, copying each recorded half into the pending reads.

#include <cstring>

#include "zar_audio.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_dispatch.h"
#include "zar_extension.h"

namespace {

constexpr PCWSTR kWaveKey = u"ZARWAV\\Parameters";
constexpr ULONG kFramesPerHalf = ZAR_WAVE_SAMPLES_PER_BUFFER / 2;
constexpr ULONG kDmaSlots = 4;
constexpr CCHAR kBoost = 8;

// A request that carried data completes with the sound boost.
CCHAR BoostFor(ULONG_PTR bytes) { return bytes != 0 ? kBoost : CCHAR(IO_NO_INCREMENT); }
// The record DMA's block count while the wave-in device captures: halves of
// 4 KB (21 ms), against the library's 16,384 blocks.
constexpr ULONG kCaptureRecBlocks = 2048;

ZAR_WAVE_STATE& Wave(PZAR_DEVICE_EXTENSION ext) { return ext->Wave; }

// The wave driver's key, made on the first save when its installer did not.
NTSTATUS ZarWaveWriteValue(PCWSTR name, ULONG type, PVOID data, ULONG length)
{
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"ZARWAV"));
    RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(kWaveKey));
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, kWaveKey, name, type, data, length);
}

void ZarWaveReady(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    if (w.Ready) return;
    KeInitializeMutex(&w.Mutex, 0);
    KeInitializeSpinLock(&w.Lock);
    for (ZAR_WAVE_DEVICE& d : w.Out) InitializeListHead(&d.Queue);
    InitializeListHead(&w.In.Queue);
    InitializeListHead(&w.Done[0]);
    InitializeListHead(&w.Done[1]);
    InitializeListHead(&w.ControlChange);
    w.Ready = TRUE;
}


// The device a word names, or null for another kind.
ZAR_WAVE_DEVICE* DeviceOf(PZAR_DEVICE_EXTENSION ext, ULONG word, ULONG* kind)
{
    *kind = word >> 8;
    ULONG index = word & 0xFF;
    if (*kind == ZAR_WAVE_KIND_OUT && index < ZAR_WAVE_OUT_DEVICES) return &Wave(ext).Out[index];
    if (*kind == ZAR_WAVE_KIND_IN && index == 0) return &Wave(ext).In;
    return nullptr;
}

bool AnyOpen(const ZAR_WAVE_STATE& w)
{
    if (w.In.Open) return true;
    for (const ZAR_WAVE_DEVICE& d : w.Out)
        if (d.Open) return true;
    return false;
}

void ZarWaveCancel(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    KIRQL cancelIrql = irp->CancelIrql;
    KIRQL old;
    KeAcquireSpinLock(&Wave(ext).Lock, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Wave(ext).Lock, old);
    IoReleaseCancelSpinLock(cancelIrql);
    ZarCompleteRequest(irp, STATUS_CANCELLED, 0);
}

// Queues a request pending with the cancel routine; one cancelled already
// is completed at once.
NTSTATUS MarkIrpPending(PZAR_DEVICE_EXTENSION ext, PIRP irp, PLIST_ENTRY queue)
{
    IoMarkIrpPending(irp);
    KIRQL cancel;
    IoAcquireCancelSpinLock(&cancel);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(cancel);
        ZarCompleteRequest(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, ZarWaveCancel);
    KeAcquireSpinLockAtDpcLevel(&Wave(ext).Lock);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLockFromDpcLevel(&Wave(ext).Lock);
    IoReleaseCancelSpinLock(cancel);
    return STATUS_PENDING;
}

// The head of a queue with its cancel routine taken away (null when empty).
// Called with the wave lock held and the cancel lock taken by the caller.
PIRP TakeHead(PLIST_ENTRY queue)
{
    if (IsListEmpty(queue)) return nullptr;
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(queue), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, nullptr);
    return irp;
}

UCHAR* ReadData(PIRP irp, ULONG* length)
{
    *length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (*length == 0 || irp->MdlAddress == nullptr) {
        *length = 0;
        return nullptr;
    }
    return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
}

const UCHAR* WriteData(PIRP irp, ULONG* length)
{
    *length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (*length == 0 || irp->MdlAddress == nullptr) {
        *length = 0;
        return nullptr;
    }
    return static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
}

// Fills one half of bank A from the running device's queue. The caller
// holds the cancel spin lock and then the wave lock.
void ZarWaveDrvFillPlaybackDMABuffer(PZAR_DEVICE_EXTENSION ext, ULONG half)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    ZAR_AUDIO_PLAY_DCB& dcb = ext->AudioEngine.Play[0];
    ZAR_WAVE_DEVICE& d = w.Out[w.RunningDevice];
    auto* out = static_cast<SHORT*>(dcb.Va) + dcb.HalfOffset[half] / sizeof(SHORT);
    RtlZeroMemory(out, kFramesPerHalf * kDmaSlots * sizeof(SHORT));
    ULONG frames = 0;
    while (frames < kFramesPerHalf) {
        if (w.Current == nullptr) {
            w.Current = TakeHead(&d.Queue);
            w.CurrentOffset = 0;
            if (w.Current == nullptr) break;
        }
        ULONG length = 0;
        const UCHAR* data = WriteData(w.Current, &length);
        ULONG used = 0, written = 0;
        if (data != nullptr)
            ZarWaveDrvCopyIntoBuffer(data + w.CurrentOffset, length - w.CurrentOffset, d.Channels, d.BytesPerSample,
                                     out + frames * kDmaSlots, kFramesPerHalf - frames, &used, &written);
        w.CurrentOffset += used;
        frames += written;
        if (written != 0) {
            w.LastPair[0] = out[(frames - 1) * kDmaSlots];
            w.LastPair[1] = out[(frames - 1) * kDmaSlots + 1];
        }
        // A tail shorter than one frame (the format changed while the write
        // waited) cannot be played: the write is done with it, or the copy
        // would never move on.
        if (length - w.CurrentOffset < ULONG(d.Channels) * d.BytesPerSample) w.CurrentOffset = length;
        if (w.CurrentOffset >= length) {
            w.Current->IoStatus.Information = length;
            InsertTailList(&w.Done[half], &w.Current->Tail.Overlay.ListEntry);
            w.Current = nullptr;
        }
    }
    // A queue that ran dry holds the last pair to the half's end rather
    // than dropping to silence.
    for (; frames < kFramesPerHalf; ++frames) {
        out[frames * kDmaSlots] = w.LastPair[0];
        out[frames * kDmaSlots + 1] = w.LastPair[1];
    }
}

// Completes the requests a played half carried.
void ZarWaveDrvCompleteDoneIrps(PZAR_DEVICE_EXTENSION ext, ULONG half, LIST_ENTRY* done)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        w.Out[w.RunningDevice].Bytes += irp->IoStatus.Information;
        ZarCompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information, BoostFor(irp->IoStatus.Information));
    }
    (void)half;
}

BOOLEAN ZarWaveStartSynchronized(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ext->AudioPlayMode = ZAR_AUDIO_PLAY_WAVE_DRIVER;
    ext->AudioEngine.LinkedStart = 0;
    return ZarAudPlayDmaStartDevice(ext);
}

// Starts the play DMA for a wave-out device when the board's play is free.
void ZarWaveDrvConditionalStartHardware(PZAR_DEVICE_EXTENSION ext, ULONG index)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    ZAR_AUDIO_ENGINE_STATE& a = ext->AudioEngine;
    if (w.Running || a.PlayState.State != ZAR_AUDIO_STOPPED || a.PlayDmaRunning) return;
    ULONG mask[4] = {0x0F, 0, 0, 0};
    // The wave's sample count first: the mask's banks are sized by it.
    a.SamplesPerBuffer = ZAR_WAVE_SAMPLES_PER_BUFFER;
    ZarAudSetActiveTrackMask(ext, mask);
    ZarAudCalcPlayDmaSizes(ext);
    KIRQL cancel;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLockAtDpcLevel(&w.Lock);
    w.RunningDevice = index;
    w.LastPair[0] = w.LastPair[1] = 0;
    ZarWaveDrvFillPlaybackDMABuffer(ext, 0);
    ZarWaveDrvFillPlaybackDMABuffer(ext, 1);
    w.Running = TRUE;
    KeReleaseSpinLockFromDpcLevel(&w.Lock);
    IoReleaseCancelSpinLock(cancel);
    ZarRunSynchronized(ext, ZarWaveStartSynchronized, ext);
}

// Starts the record DMA for the wave-in device when the board's record side
// is free (the library's recording keeps it). Passive monitoring gives way
// to the capture and comes back when it stops.
void ZarWaveDrvStartCapture(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    if (w.Capturing || ext->AudioEngine.Rec.Va == nullptr) return;
    if (ext->AudioRecording && ext->AudioEngine.RecordMode == ZAR_AUDIO_REC_PASSIVE) {
        ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        w.PassiveSuspended = TRUE;
    }
    if (ext->AudioRecording) return;
    ext->Audio.RecBlockCount = kCaptureRecBlocks;
    ZarCalcAudRecDmaSize(ext);
    KIRQL old;
    KeAcquireSpinLock(&w.Lock, &old);
    w.Decimation = ZarWaveDrvDecimation(w.RateMode, w.In.Rate);
    w.DecimationPhase = 0;
    w.Capturing = TRUE;
    KeReleaseSpinLock(&w.Lock, old);
    ZarRunSynchronized(ext, ZarAudRecStartForWave, ext);
}

// Stops the capture; the read filled in part completes with what it holds.
void ZarWaveDrvStopCapture(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    if (!w.Capturing) return;
    ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
    ext->AudioRecMode = ZAR_AUDIO_REC_DOUBLE_BUFFERED;
    ext->Audio.RecBlockCount = ZAR_AUDIO_REC_BLOCK_COUNT;
    ZarCalcAudRecDmaSize(ext);
    KIRQL old;
    KeAcquireSpinLock(&w.Lock, &old);
    w.Capturing = FALSE;
    PIRP partial = w.CaptureCurrent;
    ULONG bytes = w.CaptureOffset;
    w.CaptureCurrent = nullptr;
    w.CaptureOffset = 0;
    KeReleaseSpinLock(&w.Lock, old);
    if (partial != nullptr) ZarCompleteRequest(partial, STATUS_SUCCESS, bytes, BoostFor(bytes));
    // The record side is the library's again, at its own DMA size.
    bool suspended = w.PassiveSuspended != 0;
    w.PassiveSuspended = FALSE;
    ZarAudResumePassive(ext, suspended);
}

void ZarWaveDrvResetCapture(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    ZarWaveDrvStopCapture(ext);
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL cancel, old;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLock(&w.Lock, &old);
    while (PIRP irp = TakeHead(&w.In.Queue)) InsertTailList(&cancelled, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&w.Lock, old);
    IoReleaseCancelSpinLock(cancel);
    while (!IsListEmpty(&cancelled))
        ZarCompleteRequest(CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0);
    w.In.State = 0;
    w.In.Bytes = 0;
}

void ZarWaveDrvResetDevice(PZAR_DEVICE_EXTENSION ext, ULONG index)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    ZAR_WAVE_DEVICE& d = w.Out[index];
    LIST_ENTRY finished, cancelled;
    InitializeListHead(&finished);
    InitializeListHead(&cancelled);
    if (w.Running && w.RunningDevice == index) {
        ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        ext->AudioPlayMode = ZAR_AUDIO_PLAY_DOUBLE_BUFFERED;
    }
    KIRQL cancel, old;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLock(&w.Lock, &old);
    if (w.Running && w.RunningDevice == index) {
        w.Running = FALSE;
        for (LIST_ENTRY& done : w.Done)
            while (!IsListEmpty(&done)) InsertTailList(&finished, RemoveHeadList(&done));
        if (w.Current != nullptr) {
            w.Current->IoStatus.Information = w.CurrentOffset;
            InsertTailList(&finished, &w.Current->Tail.Overlay.ListEntry);
            w.Current = nullptr;
        }
    }
    while (PIRP irp = TakeHead(&d.Queue)) InsertTailList(&cancelled, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&w.Lock, old);
    IoReleaseCancelSpinLock(cancel);
    while (!IsListEmpty(&finished)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&finished), IRP, Tail.Overlay.ListEntry);
        d.Bytes += irp->IoStatus.Information;
        ZarCompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    }
    while (!IsListEmpty(&cancelled))
        ZarCompleteRequest(CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0);
    d.State = 0;
    d.Bytes = 0;
}

// ---- handlers ----

NTSTATUS ZarWaveDrvOpen(PZAR_DEVICE_EXTENSION ext, PIRP irp, ULONG kind, ZAR_WAVE_DEVICE* d)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* io = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    ULONG requested = io[1];
    ZAR_WAVE_STATE& w = Wave(ext);
    KeWaitForSingleObject(&w.Mutex, Executive, KernelMode, FALSE, nullptr);
    ULONG granted = d->Open ? 0 : 1;
    if (granted) {
        bool free = ext->CleanupEventsReady != 2 || (KeReadStateEvent(&ext->AudioLockEvent[0]) != 0 &&
                                                     KeReadStateEvent(&ext->AudioLockEvent[1]) != 0);
        if (free) w.RateMode = requested;
        ULONG lock[3] = {2, 0, 0};
        ZarAudAcquireAudioLock(ext, lock, ZAR_CALLER_WAVE_DEVICE, nullptr);
        if (lock[2] == 0) {
            // The board already serves the wave devices: capture only at the
            // rate mode it runs in (mode 1 serves a request for 3).
            granted = ext->AudioUsers.LockUser[0] == 2 || ext->AudioUsers.LockUser[1] == 2;
            if (kind == ZAR_WAVE_KIND_IN && w.RateMode != requested && !(w.RateMode == 1 && requested == 3))
                granted = 0;
        }
    }
    if (granted) {
        d->Open = 1;
        d->Owner = stack->FileObject;
        d->Channels = 2;
        d->BytesPerSample = 2;
        d->Rate = 48000;
        d->Bytes = 0;
        d->State = 0;
    }
    KeReleaseMutex(&w.Mutex, FALSE);
    io[0] = granted;
    io[1] = 0;
    io[2] = w.RateMode;
    return STATUS_SUCCESS;
}

NTSTATUS ZarWaveDrvMixer(PIRP irp, bool save)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (save) {
        ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
        // The block is the wave driver's and at most 512 bytes; a longer one
        // could not be loaded back.
        if (length > ZAR_WAVE_MIXER_MAX) return STATUS_INVALID_PARAMETER;
        return ZarWaveWriteValue(u"Mixer", REG_BINARY, buffer, length);
    }
    UCHAR value[ZAR_WAVE_MIXER_MAX];
    ULONG length = 0, type = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    struct Ctx {
        PUCHAR Value;
        PULONG Length, Type;
    } ctx{value, &length, &type};
    table[0].QueryRoutine = [](PWSTR, ULONG valueType, PVOID data, ULONG dataLength, PVOID context, PVOID) -> NTSTATUS {
        auto* c = static_cast<Ctx*>(context);
        *c->Type = valueType;
        *c->Length = dataLength;
        if (dataLength <= ZAR_WAVE_MIXER_MAX) std::memcpy(c->Value, data, dataLength);
        return STATUS_SUCCESS;
    };
    table[0].Name = const_cast<PWSTR>(u"Mixer");
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kWaveKey, table, &ctx, nullptr);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (!NT_SUCCESS(status) || type != REG_BINARY || length == 0 || length > ZAR_WAVE_MIXER_MAX || length > room)
        return STATUS_UNSUCCESSFUL;
    std::memcpy(buffer, value, length);
    irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

NTSTATUS ZarWaveDrvUserPrefs(PIRP irp, bool save)
{
    auto* prefs = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    PCWSTR names[4] = {u"Enabled", u"ForceSampleRate", u"SampleRate", u"InterpQuality"};
    if (save) {
        for (ULONG i = 0; i < 4; ++i) {
            NTSTATUS status = ZarWaveWriteValue(names[i], REG_DWORD, &prefs[1 + i], sizeof(ULONG));
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < 4; ++i) {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(names[i]);
        table[0].EntryContext = &prefs[1 + i];
        RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kWaveKey, table, nullptr, nullptr);  // a missing value keeps the caller's
    }
    prefs[0] = 20;
    irp->IoStatus.Information = 20;
    return STATUS_SUCCESS;
}

NTSTATUS ZarWaveDrvSubstituteData(PZAR_DEVICE_EXTENSION ext, PIRP irp, ZAR_WAVE_DEVICE* d)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZAR_WAVE_STATE& w = Wave(ext);
    const ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const auto* bytes = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    KIRQL cancel, old;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLock(&w.Lock, &old);
    // Only what is queued and not yet played can take the bytes: the tail
    // of the last queued write, then of the one before it, else of the
    // write being copied.
    ULONG substituted = 0;
    for (PLIST_ENTRY e = d->Queue.Blink; e != &d->Queue && substituted < length; e = e->Blink) {
        PIRP irp2 = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        ULONG have = 0;
        auto* data = const_cast<UCHAR*>(WriteData(irp2, &have));
        ULONG take = length - substituted < have ? length - substituted : have;
        if (data != nullptr) std::memcpy(data + have - take, bytes + length - substituted - take, take);
        substituted += take;
        if (e->Blink == &d->Queue || substituted >= length) break;
    }
    if (substituted == 0 && w.Current != nullptr && &w.Out[w.RunningDevice] == d) {
        ULONG have = 0;
        auto* data = const_cast<UCHAR*>(WriteData(w.Current, &have));
        ULONG left = have - w.CurrentOffset;
        ULONG take = length < left ? length : left;
        if (data != nullptr) std::memcpy(data + have - take, bytes + length - take, take);
        substituted = take;
    }
    KeReleaseSpinLock(&w.Lock, old);
    IoReleaseCancelSpinLock(cancel);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength >= 4) {
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = substituted;
        irp->IoStatus.Information = 4;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// ---- pure rules ----

void ZarWaveDrvCopyIntoBuffer(const UCHAR* source, ULONG sourceBytes, ULONG channels, ULONG bytesPerSample,
                              SHORT* dma, ULONG dmaFrames, PULONG sourceUsed, PULONG framesWritten)
{
    const ULONG frameBytes = channels * bytesPerSample;
    ULONG frames = frameBytes ? sourceBytes / frameBytes : 0;
    if (frames > dmaFrames) frames = dmaFrames;
    for (ULONG i = 0; i < frames; ++i) {
        const UCHAR* f = source + i * frameBytes;
        SHORT left, right;
        if (bytesPerSample == 2) {
            std::memcpy(&left, f, 2);
            if (channels == 2) std::memcpy(&right, f + 2, 2);
            else right = left;
        } else {
            left = SHORT((LONG(f[0]) - 128) * 256);
            right = channels == 2 ? SHORT((LONG(f[1]) - 128) * 256) : left;
        }
        dma[i * kDmaSlots] = left;
        dma[i * kDmaSlots + 1] = right;
    }
    *sourceUsed = frames * frameBytes;
    *framesWritten = frames;
}

void ZarWaveDrvPosition(ULONGLONG bytes, ULONG channels, ULONG bytesPerSample, PULONG frames, PULONG byteCount)
{
    ULONG frameBytes = channels * bytesPerSample;
    *byteCount = ULONG(bytes);
    *frames = frameBytes ? ULONG(bytes / frameBytes) : 0;
}

void ZarWaveDrvCopyFromBuffer(const SHORT* dma, ULONG dmaFrames, ULONG step, PULONG phase, ULONG channels,
                              ULONG bytesPerSample, UCHAR* out, ULONG outBytes, PULONG framesUsed,
                              PULONG bytesWritten)
{
    const ULONG frameBytes = channels * bytesPerSample;
    ULONG frame = *phase, written = 0;
    for (; frame < dmaFrames && written + frameBytes <= outBytes; frame += step) {
        for (ULONG c = 0; c < channels; ++c) {
            // Mono takes the left side, which a mono play fed both sides.
            const SHORT sample = dma[frame * 2 + c];
            if (bytesPerSample == 2) {
                std::memcpy(out + written, &sample, 2);
                written += 2;
            } else {
                out[written++] = UCHAR((sample >> 8) + 128);
            }
        }
    }
    // Stopped by the end of the output: the next copy starts at this frame;
    // by the end of the recorded frames: the skip runs on into the next half.
    *framesUsed = frame < dmaFrames ? frame : dmaFrames;
    *phase = frame < dmaFrames ? 0 : frame - dmaFrames;
    *bytesWritten = written;
}

ULONG ZarWaveDrvDecimation(ULONG rateMode, ULONG rate)
{
    if (rateMode == 1 && rate == 11025) return 4;
    if ((rateMode == 1 && rate == 22050) || (rateMode == 3 && rate == 11025)) return 2;
    return 1;
}

// ---- DPCs ----

void ZarWaveDrvPlaybackDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_WAVE_STATE& w = Wave(ext);
    if (!w.Ready || !w.Running) return;
    ULONG played = ext->AudioPlayHalf ^ 1;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL cancel;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLockAtDpcLevel(&w.Lock);
    while (!IsListEmpty(&w.Done[played])) InsertTailList(&done, RemoveHeadList(&w.Done[played]));
    ZarWaveDrvFillPlaybackDMABuffer(ext, played);
    KeReleaseSpinLockFromDpcLevel(&w.Lock);
    IoReleaseCancelSpinLock(cancel);
    ZarWaveDrvCompleteDoneIrps(ext, played, &done);
}

namespace {

// One recorded half into the pending reads (cancel lock, then wave lock,
// held); reads it fills go to 'full'.
void ZarWaveDrvCaptureHalf(PZAR_DEVICE_EXTENSION ext, ULONG half, LIST_ENTRY* full)
{
    ZAR_WAVE_STATE& w = Wave(ext);
    const ULONG frames = ext->Audio.RecDmaHalfSize / 4;
    const auto* dma = reinterpret_cast<const SHORT*>(ext->AudioEngine.Rec.Va + half * ext->Audio.RecDmaHalfSize);
    ULONG frame = 0;
    while (frame < frames) {
        if (w.CaptureCurrent == nullptr) {
            w.CaptureCurrent = TakeHead(&w.In.Queue);
            w.CaptureOffset = 0;
            if (w.CaptureCurrent == nullptr) break;  // nobody reads: the rest of the half is dropped
        }
        ULONG length = 0;
        UCHAR* out = ReadData(w.CaptureCurrent, &length);
        ULONG used = 0, written = 0;
        if (out != nullptr)
            ZarWaveDrvCopyFromBuffer(dma + frame * 2, frames - frame, w.Decimation, &w.DecimationPhase,
                                     w.In.Channels, w.In.BytesPerSample, out + w.CaptureOffset,
                                     length - w.CaptureOffset, &used, &written);
        frame += used;
        w.CaptureOffset += written;
        w.In.Bytes += written;
        // A request that cannot take another whole frame is done.
        if (out == nullptr || length - w.CaptureOffset < ULONG(w.In.Channels) * w.In.BytesPerSample) {
            w.CaptureCurrent->IoStatus.Information = w.CaptureOffset;
            InsertTailList(full, &w.CaptureCurrent->Tail.Overlay.ListEntry);
            w.CaptureCurrent = nullptr;
        } else if (used == 0) {
            break;
        }
    }
}

}  // namespace

// The recorded halves into the pending reads, one after the other; full
// ones complete, a partly filled one waits for the next half. Two
// crossings may come before one DPC: each half completed is taken.
void ZarWaveDrvCaptureDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ZAR_WAVE_STATE& w = Wave(ext);
    if (!w.Ready || !w.Capturing) return;
    ULONG halves[2];
    const ULONG count = ZarAudRecTakeHalves(ext, halves);
    LIST_ENTRY full;
    InitializeListHead(&full);
    KIRQL cancel;
    IoAcquireCancelSpinLock(&cancel);
    KeAcquireSpinLockAtDpcLevel(&w.Lock);
    for (ULONG i = 0; i < count; ++i) ZarWaveDrvCaptureHalf(ext, halves[i], &full);
    KeReleaseSpinLockFromDpcLevel(&w.Lock);
    IoReleaseCancelSpinLock(cancel);
    while (!IsListEmpty(&full)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&full), IRP, Tail.Overlay.ListEntry);
        ZarCompleteRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information, BoostFor(irp->IoStatus.Information));
    }
}

// ---- the front ----

NTSTATUS ZarWaveDrvDispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code < IOCTL_ZAR_WAVE_DETACH || code > IOCTL_ZAR_WAVE_SAVE_USER_PREFS) return STATUS_INVALID_DEVICE_REQUEST;
    ZarWaveReady(ext);
    ZAR_WAVE_STATE& w = Wave(ext);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG word = ULONG(reinterpret_cast<ULONG_PTR>(stack->Parameters.DeviceIoControl.Type3InputBuffer));
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    irp->IoStatus.Information = 0;
    ULONG kind = 0;
    ZAR_WAVE_DEVICE* d = DeviceOf(ext, word, &kind);
    NTSTATUS status;
    switch (code) {
    case IOCTL_ZAR_WAVE_DETACH: {
        if (AnyOpen(w)) return ZarCompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
        KIRQL cancel, old;
        LIST_ENTRY cancelled;
        InitializeListHead(&cancelled);
        IoAcquireCancelSpinLock(&cancel);
        KeAcquireSpinLock(&w.Lock, &old);
        while (PIRP p = TakeHead(&w.ControlChange)) InsertTailList(&cancelled, &p->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&w.Lock, old);
        IoReleaseCancelSpinLock(cancel);
        while (!IsListEmpty(&cancelled))
            ZarCompleteRequest(CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0);
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_ZAR_WAVE_LOAD_MIXER_SETTINGS: status = ZarWaveDrvMixer(irp, false); break;
    case IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS: status = ZarWaveDrvMixer(irp, true); break;
    case IOCTL_ZAR_WAVE_GET_ACTIVE_DEVS: {
        if (out < 20) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        auto* o = static_cast<PULONG>(buffer);
        for (ULONG i = 0; i < ZAR_WAVE_OUT_DEVICES; ++i) o[i] = w.Out[i].Open;
        o[4] = w.In.Open;
        irp->IoStatus.Information = 20;
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_ZAR_WAVE_REQUEST_CTRL_CHANGE: return MarkIrpPending(ext, irp, &w.ControlChange);
    case IOCTL_ZAR_WAVE_CTRL_CHANGE: {
        // Every process's mixer waits with a request of its own: each gets
        // the change (message and control ID) as it was announced.
        LIST_ENTRY changed;
        InitializeListHead(&changed);
        KIRQL cancel, old;
        IoAcquireCancelSpinLock(&cancel);
        KeAcquireSpinLock(&w.Lock, &old);
        while (PIRP p = TakeHead(&w.ControlChange)) InsertTailList(&changed, &p->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&w.Lock, old);
        IoReleaseCancelSpinLock(cancel);
        while (!IsListEmpty(&changed)) {
            PIRP p = CONTAINING_RECORD(RemoveHeadList(&changed), IRP, Tail.Overlay.ListEntry);
            const ULONG room = IoGetCurrentIrpStackLocation(p)->Parameters.DeviceIoControl.OutputBufferLength;
            const ULONG length = in < room ? in : room;
            if (length != 0 && buffer != nullptr) std::memcpy(p->AssociatedIrp.SystemBuffer, buffer, length);
            ZarCompleteRequest(p, STATUS_SUCCESS, length);
        }
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_ZAR_WAVE_OPEN_FOR_PLAY:
    case IOCTL_ZAR_WAVE_OPEN_FOR_RECORD:
        if (in < 12 || out < 12) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        if (d == nullptr || kind != (code == IOCTL_ZAR_WAVE_OPEN_FOR_PLAY ? ZAR_WAVE_KIND_OUT : ZAR_WAVE_KIND_IN))
            return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        status = ZarWaveDrvOpen(ext, irp, kind, d);
        irp->IoStatus.Information = 12;
        break;
    case IOCTL_ZAR_WAVE_SET_FORMAT: {
        if (in < 16) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        if (d == nullptr) return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        auto* f = static_cast<const UCHAR*>(buffer);
        USHORT channels, bits;
        ULONG rate;
        std::memcpy(&channels, f + 2, 2);
        std::memcpy(&rate, f + 4, 4);
        std::memcpy(&bits, f + 14, 2);
        // The copy knows mono and stereo only.
        if (channels != 1 && channels != 2) return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        d->Channels = channels;
        d->Rate = rate;
        d->BytesPerSample = bits == 16 ? 2 : 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_ZAR_WAVE_SET_STATE:
        if (in < 4) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        if (d == nullptr) return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        d->State = *static_cast<PULONG>(buffer);
        if (kind == ZAR_WAVE_KIND_IN && d->Open) {
            if (d->State == 1) ZarWaveDrvStopCapture(ext);
            if (d->State == 2) ZarWaveDrvStartCapture(ext);
        }
        status = STATUS_SUCCESS;
        break;
    case IOCTL_ZAR_WAVE_GET_POSITION: {
        if (out < 8) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        if (d == nullptr) return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        KIRQL old;
        KeAcquireSpinLock(&w.Lock, &old);
        ZarWaveDrvPosition(d->Bytes, d->Channels, d->BytesPerSample, &static_cast<PULONG>(buffer)[0],
                           &static_cast<PULONG>(buffer)[1]);
        KeReleaseSpinLock(&w.Lock, old);
        irp->IoStatus.Information = 8;
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_ZAR_WAVE_SUBSTITUTE_DATA:
        if (d == nullptr || kind != ZAR_WAVE_KIND_OUT) return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
        if (out != 0 && out < 4) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        status = ZarWaveDrvSubstituteData(ext, irp, d);
        break;
    case IOCTL_ZAR_WAVE_LOAD_USER_PREFS:
        if (in < 20 || out < 20) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        status = ZarWaveDrvUserPrefs(irp, false);
        break;
    case IOCTL_ZAR_WAVE_SAVE_USER_PREFS:
        if (in < 20) return ZarCompleteRequest(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        status = ZarWaveDrvUserPrefs(irp, true);
        break;
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ZarCompleteRequest(irp, status, irp->IoStatus.Information);
}

namespace {

// A write of a wave-out device or a read of the wave-in device: queued on
// the device, then the device's side of the hardware started if it can.
NTSTATUS ZarWaveDrvQueueTransfer(PDEVICE_OBJECT device, PIRP irp, ULONG wanted)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    ZarWaveReady(ext);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const LARGE_INTEGER& offset =
        wanted == ZAR_WAVE_KIND_OUT ? stack->Parameters.Write.ByteOffset : stack->Parameters.Read.ByteOffset;
    ULONG word = ULONG(offset.HighPart);
    ULONG kind = 0;
    ZAR_WAVE_DEVICE* d = DeviceOf(ext, word, &kind);
    if (d == nullptr || kind != wanted || !d->Open) return ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
    // Wave data is played in whole frames of the device's format.
    if (wanted == ZAR_WAVE_KIND_OUT && stack->Parameters.Write.Length % (ULONG(d->Channels) * d->BytesPerSample) != 0)
        return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    irp->IoStatus.Information = 0;
    NTSTATUS status = MarkIrpPending(ext, irp, &d->Queue);
    if (wanted == ZAR_WAVE_KIND_OUT)
        ZarWaveDrvConditionalStartHardware(ext, word & 0xFF);
    else
        ZarWaveDrvStartCapture(ext);
    return status;
}

}  // namespace

NTSTATUS ZarWaveDrvWrite(PDEVICE_OBJECT device, PIRP irp) { return ZarWaveDrvQueueTransfer(device, irp, ZAR_WAVE_KIND_OUT); }

NTSTATUS ZarWaveDrvRead(PDEVICE_OBJECT device, PIRP irp) { return ZarWaveDrvQueueTransfer(device, irp, ZAR_WAVE_KIND_IN); }

NTSTATUS ZarWaveDrvClose(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ZarWaveReady(ext);
    ZAR_WAVE_STATE& w = Wave(ext);
    KeWaitForSingleObject(&w.Mutex, Executive, KernelMode, FALSE, nullptr);
    bool closed = false;
    if (w.In.Open && w.In.Owner == file) {
        ZarWaveDrvResetCapture(ext);
        w.In.Open = 0;
        w.In.Owner = nullptr;
        closed = true;
    }
    for (ULONG i = 0; i < ZAR_WAVE_OUT_DEVICES; ++i) {
        if (!w.Out[i].Open || w.Out[i].Owner != file) continue;
        ZarWaveDrvResetDevice(ext, i);
        w.Out[i].Open = 0;
        w.Out[i].Owner = nullptr;
        closed = true;
    }
    if (closed && !AnyOpen(w)) {
        ULONG release[2] = {2, 0};
        ZarAudReleaseAudioLock(ext, release, ZAR_CALLER_WAVE_DEVICE, nullptr);
    }
    KeReleaseMutex(&w.Mutex, FALSE);
    return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
}

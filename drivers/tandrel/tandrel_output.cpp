// SMPTE12MOutputDevice: the LTC and VITC generators and the burn-in window.
// Each field the board asks for the code word to send; the device makes it
// by generating from a preset, tracking a reader or field counter of this
// driver with a frame offset, or streaming the samples an application
// writes, one a frame; with start and stop on exact fields and freeze.

#include "tandrel_driver.h"

namespace {

using State = TANDREL_OUTPUT_STATE_DATA;

enum : ULONG { MODE_GENERATE = 0, MODE_TRACK = 1, MODE_STREAM = 2 };

void ReleaseTracked(PTANDREL_EXTENSION ext, State* s)
{
    if (s->TrackedFile != nullptr) HoldForRelease(ext, s->TrackedFile);
    s->TrackedFile = nullptr;
    s->Tracked = nullptr;
}

// A caller's sample to start from: frame, user bits and the flag bits it
// may give; the validity bits cleared.
void TakeStartSample(State* s, const TANDREL_SAMPLE& from)
{
    s->Current.Frame = from.Frame;
    s->Current.UserBits = from.UserBits;
    s->Current.Flags = (s->Current.Flags & ~(TANDREL_FLAG_CALLER_BITS | 0x1F000000)) | (from.Flags & TANDREL_FLAG_CALLER_BITS);
}

void CompleteWrites(PKDPC, PVOID context, PVOID, PVOID)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    State* s = TandrelState<State>(ext);
    LIST_ENTRY done;
    InitializeListHead(&done);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    while (!IsListEmpty(&s->Completed)) InsertTailList(&done, RemoveHeadList(&s->Completed));
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_SOUND_INCREMENT);
    }
}

// Under the locks: the next sample of the application's writes.
BOOLEAN NextStreamed(State* s, ULONG* emptyNotice, BOOLEAN* reaim)
{
    if (s->Consuming == nullptr) {
        PIRP irp = DequeueRequest(&s->StreamQueue, nullptr);
        if (irp == nullptr) {
            if (!s->StreamEmpty) *emptyNotice = TANDREL_OUTPUT_STREAM_EMPTY;
            s->StreamEmpty = TRUE;
            return FALSE;
        }
        if (s->StreamEmpty) *reaim = TRUE;
        s->StreamEmpty = FALSE;
        s->Consuming = irp;
        s->Consumed = 0;
        s->Left = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length / sizeof(TANDREL_SAMPLE);
    }
    TANDREL_SAMPLE next;
    RtlCopyMemory(&next, static_cast<PUCHAR>(s->Consuming->AssociatedIrp.SystemBuffer) + s->Consumed * sizeof next, sizeof next);
    s->Current.Frame = next.Frame;
    s->Current.UserBits = next.UserBits;
    s->Current.Flags = (s->Current.Flags & ~TANDREL_FLAG_CALLER_BITS) | (next.Flags & TANDREL_FLAG_CALLER_BITS);
    ++s->Consumed;
    if (--s->Left == 0) {
        PIRP irp = s->Consuming;
        s->Consuming = nullptr;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = s->Consumed * sizeof(TANDREL_SAMPLE);
        InsertTailList(&s->Completed, &irp->Tail.Overlay.ListEntry);
        KeInsertQueueDpc(&s->CompleteDpc, nullptr, nullptr);
    }
    return TRUE;
}

// Under the clock and device locks: the word for field a.
void ProduceField(PTANDREL_EXTENSION ext, ULONG a, TANDREL_TIMECODE_RECORD* out)
{
    State* s = TandrelState<State>(ext);
    ULONG discontinuity = 0, modeNotice = 0, runNotice = 0, freezeNotice = 0, sourceNotice = 0, emptyNotice = 0,
          correctedNotice = 0, rateNotice = 0;
    BOOLEAN reaim = ext->Triggers.FrameListChanged;
    if (s->HaveLast && a != s->LastField + 1) discontinuity = TANDREL_OUTPUT_DISCONTINUITY;
    s->LastField = a;
    s->HaveLast = TRUE;
    s->Previous = s->Current;
    const BOOLEAN runningBefore = s->Running, frozenBefore = s->Frozen;
    const ULONG modeBefore = s->Mode;

    if (s->RequestedMode != s->Mode) {
        s->Mode = s->RequestedMode;
        modeNotice = TANDREL_OUTPUT_MODE_GENERATE + s->Mode;
        reaim = TRUE;
    }
    const ULONG step = TandrelRunStep(ext);
    if (step == RUN_STARTED) {
        s->Running = TRUE;
        s->RunningFieldCount = 0;
        runNotice = TANDREL_OUTPUT_STARTED;
        reaim = TRUE;
    } else if (step == RUN_STOPPED) {
        s->Running = FALSE;
        s->RunningFieldCount = -1;
        runNotice = TANDREL_OUTPUT_STOPPED;
        reaim = TRUE;
    } else if (step == RUN_RUNNING) {
        ++s->RunningFieldCount;
    }

    if (s->Running) {
        if (s->Mode == MODE_TRACK && s->Tracked != nullptr) {
            TANDREL_SAMPLE source{};
            BOOLEAN exact = FALSE;
            s->Tracked->Class->SampleSource(s->Tracked, ext->Stream.Delay, &source, &exact);
            if (exact != s->Exact) reaim = TRUE;
            s->Exact = exact;
            if (!TandrelSampleValid(source)) {
                if (!s->SourceInvalid) sourceNotice = TANDREL_OUTPUT_SOURCE_INVALID;
                s->SourceInvalid = TRUE;
            } else if (s->SourceInvalid) {
                sourceNotice = TANDREL_OUTPUT_MODE_TRACK;
                s->SourceInvalid = FALSE;
            }
            const LONG day = TandrelFramesPerDay(source.Flags);
            if (day > 0) source.Frame = TandrelAddFrames(source.Frame, s->Offset, day);
            s->Current = source;
        } else if (s->Mode == MODE_STREAM) {
            NextStreamed(s, &emptyNotice, &reaim);
        } else if (s->Mode == MODE_GENERATE) {
            if (a & 1) {
                s->Current.Flags |= TANDREL_FLAG_FIELD2;
            } else {
                s->Current.Flags &= ~TANDREL_FLAG_FIELD2;
                if (step != RUN_STARTED) s->Current.Frame += 1;
            }
        }
        const LONG target = TandrelFieldPosition(s->Current);
        if (!s->HaveTarget || target != s->LastTarget + 1) reaim = TRUE;
        s->LastTarget = target;
        s->HaveTarget = TRUE;
        s->Frozen = s->FreezeSetting;
    } else {
        s->HaveTarget = FALSE;
        if (s->FreezeSetting != s->Frozen) {
            s->Frozen = s->FreezeSetting;
            freezeNotice = s->Frozen ? TANDREL_OUTPUT_FREEZE_ON : TANDREL_OUTPUT_FREEZE_OFF;
        }
        if (s->Frozen)
            s->Current.Flags = (a & 1) ? s->Current.Flags | TANDREL_FLAG_FIELD2 : s->Current.Flags & ~TANDREL_FLAG_FIELD2;
    }

    // The word goes out; a frame count past the day comes back into it.
    if (TandrelSampleToWord(s->Current, s->Vitc, out->Bytes)) {
        const LONG day = TandrelFramesPerDay(s->Current.Flags);
        s->Current.Frame = TandrelAddFrames(s->Current.Frame, 0, day);
        correctedNotice = TANDREL_OUTPUT_CORRECTED;
    }
    out->Status = s->Current.Flags;
    if ((s->Current.Flags & TANDREL_FLAG_RATE_MASK) != (s->Previous.Flags & TANDREL_FLAG_RATE_MASK)) {
        ext->Stream.Rate = s->Current.Flags & TANDREL_FLAG_RATE_MASK;
        rateNotice = TANDREL_OUTPUT_RATE_CHANGED;
    }

    const ULONGLONG time = TandrelClockTimeOfField(ext->Clock, a);
    TANDREL_OUTPUT_STATE element{0, s->Mode, s->Frozen, s->Running, s->Current, a, s->RunningFieldCount, time};
    TANDREL_OUTPUT_STATE overflow = element;
    overflow.Notice = TANDREL_OUTPUT_OVERFLOW;
    const ULONG order[] = {discontinuity, modeNotice, runNotice, freezeNotice, sourceNotice, emptyNotice, correctedNotice, rateNotice};
    for (ULONG code : order) {
        if (code == 0) continue;
        element.Notice = code;
        TandrelNoticePost(s->Notices, &s->Overflow, &element, &overflow);
    }

    if (reaim) {
        const BOOLEAN due = s->Running && (s->Mode == MODE_GENERATE || (s->Mode == MODE_TRACK && s->Exact) ||
                                           (s->Mode == MODE_STREAM && !s->StreamEmpty));
        if (due)
            TandrelRescheduleFrames(ext, a, s->Current.Frame, TandrelFramesPerDay(s->Current.Flags));
        else
            TandrelCancelFrameTimers(ext);
    }

    ULONG changes = TandrelChangeMask(s->Current, s->Previous);
    if (s->Mode != modeBefore) changes |= TANDREL_CHANGE_MODE;
    if (s->Running != runningBefore || (!s->Running && s->Frozen != frozenBefore)) changes |= TANDREL_CHANGE_STATE;
    TandrelPollTriggers(ext, changes);
    ++s->FieldsRun;
}

// The board asks once a field: (buffer, 0, 12).
uint32_t GeneratorCallback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    if (in != 0 || out != sizeof(TANDREL_TIMECODE_RECORD)) return 0;
    TANDREL_TIMECODE_RECORD record{};
    {
        TandrelLocks locks(ext);
        ProduceField(ext, field, &record);
    }
    RtlCopyMemory(data, &record, sizeof record);
    return 1;
}

NTSTATUS Initialize(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    const ULONG type = ext->Stream.Type;
    s->Ltc = type == TANDREL_STREAM_LTC_GENERATOR;
    s->Vitc = !s->Ltc;
    ULONG flags = ext->Stream.Rate;
    if (ext->Stream.Rate == 29) flags |= TANDREL_FLAG_DROP_FRAME;
    if (s->Vitc) flags |= TANDREL_FLAG_VIDEO;
    s->Current = s->Previous = {0, 0, flags};
    // The LTC generator holds its last code while stopped, always.
    s->FreezeSetting = s->Frozen = s->Ltc;
    s->RunningFieldCount = -1;
    InitializeListHead(&s->StreamQueue);
    InitializeListHead(&s->Completed);
    KeInitializeDpc(&s->CompleteDpc, CompleteWrites, ext);
    return STATUS_SUCCESS;
}

NTSTATUS Close(PTANDREL_EXTENSION ext, PFILE_OBJECT, BOOLEAN writer)
{
    if (writer) TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices);
    return STATUS_SUCCESS;
}

NTSTATUS Cleanup(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    if (TandrelFile(irp) != ext->Writer) return STATUS_SUCCESS;
    PIRP consuming;
    {
        TandrelLocks locks(ext);
        consuming = s->Consuming;
        s->Consuming = nullptr;
    }
    if (consuming != nullptr) {
        consuming->IoStatus.Status = s->Consumed > 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
        consuming->IoStatus.Information = s->Consumed * sizeof(TANDREL_SAMPLE);
        IoCompleteRequest(consuming, IO_NO_INCREMENT);
    }
    CancelQueue(&s->StreamQueue, &ext->Lock, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS Write(PTANDREL_EXTENSION ext, PIRP irp)
{
    PFILE_OBJECT file = TandrelFile(irp);
    if (file == nullptr || !file->WriteAccess) return STATUS_ACCESS_DENIED;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length < sizeof(TANDREL_SAMPLE)) return STATUS_BUFFER_TOO_SMALL;
    State* s = TandrelState<State>(ext);
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    IoMarkIrpPending(irp);
    if (QueueRequest(irp, CancelRequestRoutine, &s->StreamQueue, &ext->Lock, &cancelled) == STATUS_CANCELLED) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

void Disconnect(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    {
        TandrelLocks locks(ext);
        ReleaseTracked(ext, s);
    }
    ReleaseHeld(ext);
}

void Delete(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    Disconnect(ext);
    TandrelDisableNotices(ext, &s->Notices);
    CancelQueue(&s->StreamQueue, &ext->Lock, nullptr);
    // Writes already used up are completed here if their DPC had not run.
    KeRemoveQueueDpc(&s->CompleteDpc);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWrites(nullptr, ext, nullptr, nullptr);
    KeLowerIrql(old);
}

// ---- control handlers ----

NTSTATUS OnGetSample(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_OUTPUT_STATE state;
    {
        TandrelLocks locks(ext);
        state = {0, s->Mode, s->Frozen, s->Running, s->Current, s->LastField, s->RunningFieldCount,
                 TandrelClockTimeOfField(ext->Clock, s->LastField)};
    }
    if (TandrelOutputLength(irp) >= sizeof state) {
        RtlCopyMemory(TandrelBuffer(irp), &state, sizeof state);
        irp->IoStatus.Information = sizeof state;
    } else {
        irp->IoStatus.Information = TandrelWriteSample(irp, state.Sample, state.ReferenceField, state.RunningFieldCount, state.Time, 28);
    }
    return STATUS_SUCCESS;
}

NTSTATUS OnGetNotice(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelPopNotice(ext, irp, &s->Notices, &s->Overflow, sizeof(TANDREL_OUTPUT_STATE));
}
NTSTATUS OnEnableNotices(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelEnableNotices(ext, irp, &s->Notices, &s->Overflow, sizeof(TANDREL_OUTPUT_STATE));
}
NTSTATUS OnDisableNotices(PTANDREL_EXTENSION ext, PIRP) { return TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices); }

NTSTATUS OnSetFreeze(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    const ULONG value = *static_cast<PULONG>(TandrelBuffer(irp));
    if (value > 1) return STATUS_INVALID_PARAMETER;
    if (value == 0 && s->Ltc) return STATUS_NOT_SUPPORTED;
    {
        TandrelLocks locks(ext);
        s->FreezeSetting = BOOLEAN(value);
    }
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS OnGetFreeze(PTANDREL_EXTENSION ext, PIRP irp)
{
    *static_cast<PULONG>(TandrelBuffer(irp)) = TandrelState<State>(ext)->FreezeSetting;
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS Prepare(PTANDREL_EXTENSION ext, PIRP irp, ULONG mode)
{
    State* s = TandrelState<State>(ext);
    const BOOLEAN given = TandrelInputLength(irp) >= sizeof(TANDREL_SAMPLE);
    TANDREL_SAMPLE from{};
    if (given) RtlCopyMemory(&from, TandrelBuffer(irp), sizeof from);
    {
        TandrelLocks locks(ext);
        s->RequestedMode = mode;
        ReleaseTracked(ext, s);
        if (given) TakeStartSample(s, from);
    }
    irp->IoStatus.Information = given ? sizeof from : 0;
    return STATUS_SUCCESS;
}

NTSTATUS OnPrepareToGenerate(PTANDREL_EXTENSION ext, PIRP irp) { return Prepare(ext, irp, MODE_GENERATE); }
NTSTATUS OnPrepareToStream(PTANDREL_EXTENSION ext, PIRP irp) { return Prepare(ext, irp, MODE_STREAM); }

NTSTATUS OnPrepareToTrack(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_TRACK_REQUEST request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    PFILE_OBJECT file = nullptr;
    PTANDREL_EXTENSION tracked = nullptr;
    NTSTATUS status = TandrelDeviceOfHandle(request.Device, irp, &file, &tracked);
    if (!NT_SUCCESS(status)) return status == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_PARAMETER : status;
    if (tracked->Class->SampleSource == nullptr) {
        ObDereferenceObject(file);
        return STATUS_INVALID_PARAMETER;
    }
    State* s = TandrelState<State>(ext);
    {
        TandrelLocks locks(ext);
        ReleaseTracked(ext, s);
        s->TrackedFile = file;
        s->Tracked = tracked;
        s->Offset = request.Offset;
        s->RequestedMode = MODE_TRACK;
    }
    irp->IoStatus.Information = sizeof request;
    return STATUS_SUCCESS;
}

constexpr TANDREL_CONTROL_ROW kTable[] = {
    TandrelRow(IOCTL_TANDREL_START, TandrelOnStart),
    TandrelRow(IOCTL_TANDREL_STOP, TandrelOnStop),
    TandrelRow(IOCTL_TANDREL_SYNC_START_STOP, TandrelOnSyncStartStop),
    TandrelRow(IOCTL_TANDREL_CANCEL_PENDING, TandrelOnCancelPending),
    TandrelRow(IOCTL_TANDREL_SET_EVENT, TandrelOnSetEvent),
    TandrelRow(IOCTL_TANDREL_CANCEL_EVENT, TandrelOnCancelEvent),
    TandrelRow(IOCTL_TANDREL_ENABLE_PERIODIC_EVENT, TandrelOnEnablePeriodic),
    TandrelRow(IOCTL_TANDREL_DISABLE_PERIODIC_EVENT, TandrelOnDisablePeriodic),
    TandrelRow(IOCTL_TANDREL_ENABLE_NOTIFICATIONS, OnEnableNotices),
    TandrelRow(IOCTL_TANDREL_DISABLE_NOTIFICATIONS, OnDisableNotices),
    TandrelRow(IOCTL_TANDREL_ENABLE_POLL_TRIGGER, TandrelOnEnablePoll),
    TandrelRow(IOCTL_TANDREL_DISABLE_POLL_TRIGGER, TandrelOnDisablePoll),
    TandrelRow(IOCTL_TANDREL_GET_DEVICE_INFO, TandrelOnGetDeviceInfo),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_GET_CONFIGURATION, TandrelOnGetConfiguration),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, OnGetSample),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_QUEUED_NOTICE, OnGetNotice),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_SET_FREEZE_MODE, OnSetFreeze),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_GET_FREEZE_MODE, OnGetFreeze),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, OnPrepareToTrack),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_GENERATE, OnPrepareToGenerate),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_STREAM, OnPrepareToStream),
};
static_assert(TandrelTableMatches(kTable, TANDREL_CLASS_OUTPUT));

}  // namespace

const TANDREL_DEVICE_CLASS TandrelOutputClass = {
    "SMPTE12MOutputDevice", TANDREL_CLASS_OUTPUT, sizeof(State), kTable, sizeof(kTable) / sizeof(kTable[0]),
    Initialize, Close, Cleanup, Write, Disconnect, Delete, nullptr, GeneratorCallback, FALSE, TRUE,
};

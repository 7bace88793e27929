// MasterClockDevice: the board's master clock as the common time base. It
// listens to the clock stream (it has no board callback of its own), counts
// frames from its own start, and reports start, stop, discontinuities and
// rate changes as notices.

#include "tandrel_driver.h"

namespace {

using State = TANDREL_MASTER_CLOCK_STATE;

ULONG ConvertedNotice(ULONG raw)
{
    static const ULONG kConverted[9] = {0, 17, 18, 19, 20, 6, 21, 24, 25};
    return raw < 9 ? kConverted[raw] : 0;
}

// Under the device lock.
TANDREL_CLOCK_STATE Snapshot(PTANDREL_EXTENSION ext, ULONG notice, ULONGLONG time)
{
    State* s = TandrelState<State>(ext);
    return {notice, ULONG(TandrelRunning(ext) ? 1 : 0), s->Frames, s->Flags, s->LastField, s->RunningFieldCount, time};
}

void Post(PTANDREL_EXTENSION ext, ULONG notice, ULONGLONG time)
{
    State* s = TandrelState<State>(ext);
    const TANDREL_CLOCK_STATE element = Snapshot(ext, notice, time);
    TANDREL_CLOCK_STATE overflow = element;
    overflow.Notice = TANDREL_CLOCK_OVERFLOW;
    TandrelNoticePost(s->Notices, &s->Overflow, &element, &overflow);
}

// Once a field, called by the clock stream under its lock.
void MasterClockField(PVOID context, ULONG field, ULONG newRate)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    State* s = TandrelState<State>(ext);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    const ULONGLONG time = TandrelClockTimeOfField(ext->Clock, field);
    ULONG notices[4];
    ULONG count = 0;
    if (newRate != 0) {
        s->Flags = (s->Flags & ~TANDREL_FLAG_RATE_MASK) | (newRate & TANDREL_FLAG_RATE_MASK);
        ext->Stream.Rate = newRate & TANDREL_FLAG_RATE_MASK;
        notices[count++] = TANDREL_CLOCK_RATE_CHANGED;
    }
    const BOOLEAN jumped = s->HaveLast && field != s->LastField + 1;
    if (jumped) notices[count++] = TANDREL_CLOCK_DISCONTINUITY;
    if ((newRate != 0 || jumped) && TandrelRunning(ext)) s->RunningFieldCount = (field & 1) ? 0 : -1;
    s->LastField = field;
    s->HaveLast = TRUE;
    s->Flags = (field & 1) ? s->Flags | TANDREL_FLAG_FIELD2 : s->Flags & ~TANDREL_FLAG_FIELD2;
    const ULONG framesBefore = s->Frames;
    const ULONG step = TandrelRunStep(ext);
    if (step == RUN_STARTED) {
        s->RunningFieldCount = 0;
        notices[count++] = TANDREL_CLOCK_STARTED;
    } else if (step == RUN_RUNNING) {
        ++s->RunningFieldCount;
        if (!(field & 1) && ++s->Frames == 0) notices[count++] = TANDREL_CLOCK_WRAPPED;
    } else if (step == RUN_STOPPED) {
        s->Frames = 0;
        s->RunningFieldCount = -1;
        notices[count++] = TANDREL_CLOCK_STOPPED;
    }
    for (ULONG i = 0; i < count; ++i) Post(ext, notices[i], time);
    if (TandrelRunning(ext) && (jumped || step == RUN_STARTED || ext->Triggers.FrameListChanged))
        TandrelRescheduleFrames(ext, field, LONG(s->Frames), 0);
    TandrelPollTriggers(ext, TANDREL_CHANGE_FIELD | (s->Frames != framesBefore ? TANDREL_CHANGE_FRAME : 0));
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
}

NTSTATUS Initialize(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    s->Flags = ext->Stream.Rate & TANDREL_FLAG_RATE_MASK;
    s->RunningFieldCount = -1;
    ext->Listener.Callback = MasterClockField;
    ext->Listener.Context = ext;
    return STATUS_SUCCESS;
}

NTSTATUS Close(PTANDREL_EXTENSION ext, PFILE_OBJECT, BOOLEAN writer)
{
    if (writer) TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices);
    return STATUS_SUCCESS;
}

void Delete(PTANDREL_EXTENSION ext) { TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices); }

// ---- control handlers ----

NTSTATUS OnQuery(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_CLOCK_STATE state;
    {
        TandrelLocks locks(ext);
        state = Snapshot(ext, 0, TandrelClockTimeOfField(ext->Clock, TandrelState<State>(ext)->LastField));
    }
    // By length: {frames, flags}, + field and running count, + time, the whole state.
    const ULONG length = TandrelOutputLength(irp);
    ULONG bytes = length >= 32 ? 32 : length >= 24 ? 24 : length >= 16 ? 16 : 8;
    auto* out = static_cast<PUCHAR>(TandrelBuffer(irp));
    if (bytes == 32)
        RtlCopyMemory(out, &state, 32);
    else
        RtlCopyMemory(out, &state.Frames, bytes);
    irp->IoStatus.Information = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS OnGetSample(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_CLOCK_STATE state;
    {
        TandrelLocks locks(ext);
        state = Snapshot(ext, 0, TandrelClockTimeOfField(ext->Clock, TandrelState<State>(ext)->LastField));
    }
    const TANDREL_SAMPLE sample{LONG(state.Frames), 0, state.Flags};
    if (TandrelOutputLength(irp) >= sizeof(TANDREL_INPUT_STATE)) {
        TANDREL_INPUT_STATE full{0, 0, state.State ? 5u : 2u, sample, sample, state.ReferenceField, state.RunningFieldCount, state.Time};
        RtlCopyMemory(TandrelBuffer(irp), &full, sizeof full);
        irp->IoStatus.Information = sizeof full;
        return STATUS_SUCCESS;
    }
    irp->IoStatus.Information = TandrelWriteSample(irp, sample, state.ReferenceField, state.RunningFieldCount, state.Time, 28);
    return STATUS_SUCCESS;
}

NTSTATUS OnRawNotice(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelPopNotice(ext, irp, &s->Notices, &s->Overflow, sizeof(TANDREL_CLOCK_STATE));
}

NTSTATUS OnConvertedNotice(PTANDREL_EXTENSION ext, PIRP irp)
{
    NTSTATUS status = OnRawNotice(ext, irp);
    if (!NT_SUCCESS(status)) return status;
    TANDREL_CLOCK_STATE raw;
    RtlCopyMemory(&raw, TandrelBuffer(irp), sizeof raw);
    const TANDREL_SAMPLE sample{LONG(raw.Frames), 0, raw.Flags};
    TANDREL_INPUT_STATE converted{ConvertedNotice(raw.Notice), 0, raw.State ? 5u : 2u, sample, sample,
                                  raw.ReferenceField, raw.RunningFieldCount, raw.Time};
    RtlCopyMemory(TandrelBuffer(irp), &converted, sizeof converted);
    irp->IoStatus.Information = sizeof converted;
    return STATUS_SUCCESS;
}

NTSTATUS OnEnableNotices(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelEnableNotices(ext, irp, &s->Notices, &s->Overflow, sizeof(TANDREL_CLOCK_STATE));
}

NTSTATUS OnDisableNotices(PTANDREL_EXTENSION ext, PIRP)
{
    return TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices);
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
    TandrelRow(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, OnGetSample),
    TandrelRow(IOCTL_TANDREL_GET_QUEUED_NOTICE, OnConvertedNotice),
    TandrelRow(IOCTL_TANDREL_MASTER_CLOCK_QUERY, OnQuery),
    TandrelRow(IOCTL_TANDREL_MASTER_CLOCK_GET_QUEUED_EVENT, OnRawNotice),
};
static_assert(TandrelTableMatches(kTable, TANDREL_CLASS_MASTER_CLOCK));

}  // namespace

const TANDREL_DEVICE_CLASS TandrelMasterClockClass = {
    "MasterClockDevice", TANDREL_CLASS_MASTER_CLOCK, sizeof(State), kTable, sizeof(kTable) / sizeof(kTable[0]),
    Initialize, Close, nullptr, nullptr, nullptr, Delete, nullptr, nullptr, FALSE, FALSE,
};

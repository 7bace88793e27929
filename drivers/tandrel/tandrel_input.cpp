// SMPTE12MInputDevice: the LTC and VITC readers and the reader proxy. Each
// field it judges what was read (locked, paused, frame held, parity wrong,
// jumped, nothing), may put a jam generator in its place (spot jam, or jam
// and rejam), and delivers the result with notices, captures, poll
// triggers and start/stop on exact fields. The proxy reads an
// application's hints instead of the board, clocked by the master clock.

#include "tandrel_driver.h"

namespace {

using State = TANDREL_INPUT_STATE_DATA;

enum : ULONG { READ_NOTHING = 0, READ_PAUSED = 1, READ_FRAME_HELD = 2, READ_PARITY = 3, READ_JUMPED = 4, READ_LOCKED = 5,
               READER_JAMMING = 6 };
enum : ULONG { JAM_OFF = 0, JAM_SPOT = 1, JAM_REJAM = 2 };

TANDREL_SAMPLE InvalidSample(const State* s)
{
    ULONG flags = s->Rate | TANDREL_FLAG_INVALID;
    if (s->Rate == 29) flags |= TANDREL_FLAG_DROP_FRAME;
    if (s->Vitc) flags |= TANDREL_FLAG_VIDEO;
    return {0, 0, flags};
}

void ClearCounters(State* s)
{
    s->Advances = s->Repeats = s->FrameRepeats = 0;
    s->HavePosition = FALSE;
}

// Under the clock and device locks: one field of what was read.
void ProcessField(PTANDREL_EXTENSION ext, ULONG a, TANDREL_SAMPLE read, ULONG rate)
{
    State* s = TandrelState<State>(ext);
    ULONG discontinuity = 0, rateNotice = 0, readNotice = 0, jamNotice = 0, generatorNotice = 0, runNotice = 0;
    s->PreviousDelivered = s->Delivered;
    const ULONG phaseBefore = s->JamPhase, readerBefore = s->ReaderState;

    // 1. Continuity of fields and rate.
    if (s->HaveLast && a != s->LastField + 1) {
        s->Advances = 0;
        s->ReadState = READ_NOTHING;
        discontinuity = TANDREL_INPUT_DISCONTINUITY;
    }
    if (TandrelRateValid(rate) && rate != s->Rate) {
        s->Rate = rate;
        ext->Stream.Rate = rate;
        ClearCounters(s);
        rateNotice = TANDREL_INPUT_RATE_CHANGED;
    }
    s->LastField = a;
    s->HaveLast = TRUE;

    // 2-4. What the read says about the tape.
    ULONG candidate = s->ReadState, note = 0;
    if (!TandrelSampleValid(read)) {
        ClearCounters(s);
        if (s->ReadState != READ_NOTHING) candidate = READ_NOTHING, note = 1;
    } else {
        const LONG day = TandrelFramesPerDay(read.Flags);
        // LTC has no field mark: the second field of a frame read again is its second field.
        if (!s->Vitc && (a & 1) && s->HavePosition && read.Frame == s->LastPosition / 2) read.Flags |= TANDREL_FLAG_FIELD2;
        const BOOLEAN parityWrong = (a & 1) != ((read.Flags & TANDREL_FLAG_FIELD2) ? 1u : 0u);
        const LONG position = TandrelFieldPosition(read);
        if (parityWrong) candidate = READ_PARITY, note = 4;
        if (!s->HavePosition) {
            s->Advances = s->Repeats = s->FrameRepeats = 1;
            if (!parityWrong) candidate = READ_JUMPED, note = 5;
        } else if (position == s->LastPosition) {
            if (++s->Repeats == s->LockThreshold) candidate = READ_PAUSED, note = 2;
        } else if (position != s->LastPosition + 1 && !(position == 0 && s->LastPosition == 2 * day - 1)) {
            if (read.Frame == s->LastPosition / 2) {
                if (++s->FrameRepeats == s->LockThreshold && !parityWrong) candidate = READ_FRAME_HELD, note = 3;
            } else {
                s->Advances = s->Repeats = s->FrameRepeats = 1;
                if (!parityWrong) candidate = READ_JUMPED, note = 5;
            }
        } else {
            s->Repeats = s->FrameRepeats = 0;
            if (++s->Advances == s->LockThreshold && !parityWrong) candidate = READ_LOCKED, note = 7;
        }
        s->LastPosition = position;
        s->HavePosition = TRUE;
    }
    if (candidate != s->ReadState && !(s->ReadState == READ_PARITY && candidate == READ_JUMPED)) {
        s->ReadState = candidate;
        readNotice = note;
    }
    s->Read = read;

    // 5. The jam mode asked for.
    if (s->JamMode == JAM_REJAM && s->JamPhase != 2) {
        jamNotice = 15;
        if (s->JamPhase == 0) s->Jam = s->Advances > 0 ? read : InvalidSample(s);
        s->JamPhase = 2;
    } else if (s->JamMode == JAM_OFF && s->JamPhase != 0) {
        s->JamPhase = 0;
        jamNotice = 16;
    } else if (s->JamMode == JAM_SPOT && s->JamPhase != 1) {
        if (s->JamPhase != 0) {
            s->JamPhase = 1;
            jamNotice = 13;
        } else if (s->Advances >= s->SpotThreshold) {
            const BOOLEAN taken = s->Advances > 0 && TandrelSampleValid(read);
            s->Jam = taken ? read : InvalidSample(s);
            jamNotice = taken ? 13 : 14;
            s->JamPhase = 1;
        }
    }

    // 6. Who delivers: the tape or the jam generator.
    BOOLEAN rejam = FALSE;
    if (s->JamPhase == 0) {
        s->ReaderState = s->ReadState;
    } else if (s->JamPhase == 2) {
        if (s->ReadState == READ_LOCKED && s->ReaderState == READER_JAMMING && s->Advances >= s->RejamThreshold) {
            const TANDREL_SAMPLE next = TandrelAddFields(s->Jam, 1);
            generatorNotice = TandrelFieldPosition(next) == TandrelFieldPosition(read) ? 8 : 9;
            s->ReaderState = READ_LOCKED;
            rejam = TRUE;
        } else if (s->ReadState != READ_LOCKED && s->ReaderState != READER_JAMMING) {
            s->ReaderState = READER_JAMMING;
            generatorNotice = s->ReadState == READ_NOTHING ? 10 : s->ReadState == READ_PARITY ? 11 : 12;
        }
    } else {
        s->ReaderState = READER_JAMMING;
    }

    // 7-8. The jam generator runs on its own, or follows the tape.
    if (s->ReaderState == READER_JAMMING && !rejam) {
        if (!TandrelSampleValid(s->Jam)) s->Jam = {0, 0, InvalidSample(s).Flags & ~TANDREL_FLAG_INVALID};
        if (a & 1) {
            s->Jam.Flags |= TANDREL_FLAG_FIELD2;
        } else {
            s->Jam.Flags &= ~TANDREL_FLAG_FIELD2;
            const LONG day = TandrelFramesPerDay(s->Jam.Flags);
            if (++s->Jam.Frame >= day) {
                s->Jam.Frame = 0;
                if (generatorNotice == 0) generatorNotice = TANDREL_INPUT_JAM_MIDNIGHT;
            }
        }
    } else {
        s->Jam = read;
    }
    s->Delivered = s->ReaderState == READER_JAMMING ? s->Jam : read;

    // 9. Frame events follow a locked or jammed code.
    if ((s->ReaderState == READ_LOCKED || s->ReaderState == READER_JAMMING) &&
        (ext->Triggers.FrameListChanged || s->ReaderState != readerBefore))
        TandrelRescheduleFrames(ext, a, s->Delivered.Frame, TandrelFramesPerDay(s->Delivered.Flags));

    // 10. Start, stop and capture.
    const ULONGLONG time = TandrelClockTimeOfField(ext->Clock, a);
    const ULONG step = TandrelRunStep(ext);
    BOOLEAN capture = FALSE;
    if (step == RUN_STARTED) {
        runNotice = TANDREL_INPUT_STARTED;
        s->RunningFieldCount = 0;
        capture = TRUE;
    } else if (step == RUN_RUNNING) {
        ++s->RunningFieldCount;
        capture = TRUE;
    } else {
        if (step == RUN_STOPPED) runNotice = TANDREL_INPUT_STOPPED;
        s->RunningFieldCount = -1;
    }
    TANDREL_INPUT_STATE element{0, s->JamPhase, s->ReaderState, s->Delivered, s->Read, a, s->RunningFieldCount, time};
    ULONG captureNotice = 0;
    if (capture && s->Captures != nullptr && !s->CaptureOverflow) {
        if (!TandrelNoticePush(s->Captures, &element)) {
            s->CaptureOverflow = TRUE;
            captureNotice = TANDREL_INPUT_CAPTURE_OVERFLOW;
        }
    }

    // 12. Notices in their order.
    const ULONG order[] = {discontinuity, rateNotice, readNotice, jamNotice, generatorNotice, runNotice, captureNotice};
    TANDREL_INPUT_STATE overflow = element;
    overflow.Notice = TANDREL_INPUT_OVERFLOW;
    for (ULONG code : order) {
        if (code == 0) continue;
        element.Notice = code;
        TandrelNoticePost(s->Notices, &s->NoticeOverflow, &element, &overflow);
    }

    // 11. Poll triggers.
    ULONG changes = TandrelChangeMask(s->Delivered, s->PreviousDelivered);
    if (s->JamPhase != phaseBefore) changes |= TANDREL_CHANGE_MODE;
    if (s->ReaderState != readerBefore) changes |= TANDREL_CHANGE_STATE;
    TandrelPollTriggers(ext, changes);
}

uint32_t ReaderCallback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    if (in != sizeof(TANDREL_TIMECODE_RECORD) || out != 0) return 0;
    TANDREL_TIMECODE_RECORD record;
    RtlCopyMemory(&record, data, sizeof record);
    State* s = TandrelState<State>(ext);
    // VITC always carries its field mark.
    if (s->Vitc) record.Status |= TANDREL_FLAG_VIDEO;
    const TANDREL_SAMPLE read = TandrelWordToSample(record.Bytes, record.Status);
    TandrelLocks locks(ext);
    ProcessField(ext, field, read, record.Status & TANDREL_FLAG_RATE_MASK);
    return 1;
}

// The proxy, once a clock field (clock lock held): the hint's sample for it.
void ProxyField(PVOID context, ULONG f, ULONG)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    State* s = TandrelState<State>(ext);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    if (s->HintPending) {
        s->Hint = s->PendingHint;
        s->HintField = f;
        s->HintPending = FALSE;
    }
    const TANDREL_HINT& h = s->Hint;
    const LONG e = LONG(f - s->HintField);
    TANDREL_SAMPLE sample = h.Sample;
    switch (h.Mode) {
    case 1: break;
    case 2: sample.Flags ^= (e & 1) ? TANDREL_FLAG_FIELD2 : 0; break;
    case 3:
        if (h.Denominator == 0) sample.Flags |= TANDREL_FLAG_INVALID;
        else sample = TandrelAddFields(sample, LONG((LONGLONG(e) * h.Numerator + h.Offset) / h.Denominator));
        break;
    case 4: {
        sample = TandrelAddFields(sample, e);
        // Locked on the hints: a value a few fields off the expected one is taken as it.
        const TANDREL_SAMPLE expected = TandrelAddFields(s->Delivered, 1);
        const LONG off = TandrelFieldPosition(sample) - TandrelFieldPosition(expected);
        if (s->ReaderState == READ_LOCKED && off != 0 && off > -6 && off < 6) sample = expected;
        break;
    }
    default: sample.Flags |= TANDREL_FLAG_INVALID; break;
    }
    ProcessField(ext, f + ULONG(h.FieldOffset), sample, sample.Flags & TANDREL_FLAG_RATE_MASK);
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
}

NTSTATUS Initialize(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    s->Proxy = ext->Binding == nullptr;
    s->Vitc = ext->Stream.Type == TANDREL_STREAM_VITC_READER;
    s->Rate = ext->Stream.Rate;
    s->Delivered = s->PreviousDelivered = s->Read = s->Jam = InvalidSample(s);
    s->LockThreshold = 4;
    s->SpotThreshold = 0;
    s->RejamThreshold = 4;
    s->RunningFieldCount = -1;
    if (s->Proxy) {
        // Hint mode 0 with the hint sample equal to the current one.
        s->Hint.Sample = s->Delivered;
        ext->Listener.Callback = ProxyField;
        ext->Listener.Context = ext;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Close(PTANDREL_EXTENSION ext, PFILE_OBJECT file, BOOLEAN writer)
{
    State* s = TandrelState<State>(ext);
    if (writer) {
        TandrelDisableNotices(ext, &s->Notices);
        TandrelDisableNotices(ext, &s->Captures);
    }
    TandrelLocks locks(ext);
    if (s->HintOwner != nullptr && s->HintOwner == file) {
        s->HintOwner = nullptr;
        s->PendingHint = s->Hint;
        s->PendingHint.Mode = 0;
        s->HintPending = TRUE;
    }
    return STATUS_SUCCESS;
}

void Delete(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    TandrelDisableNotices(ext, &s->Notices);
    TandrelDisableNotices(ext, &s->Captures);
}

// The sample for a generator that tracks this reader with delay d.
NTSTATUS SampleSource(PTANDREL_EXTENSION ext, LONG d, TANDREL_SAMPLE* sample, BOOLEAN* exact)
{
    State* s = TandrelState<State>(ext);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    const LONG n = LONG(TandrelClockNow(ext->Clock) + ULONG(d) - s->LastField);
    if (n < 0) {
        *sample = TandrelSampleValid(s->PreviousDelivered) ? s->PreviousDelivered : s->Delivered;
        *exact = FALSE;
    } else {
        *sample = s->Delivered;
        *exact = s->ReaderState == READ_LOCKED || s->ReaderState == READER_JAMMING;
        if (*exact) *sample = TandrelAddFields(s->Delivered, n);
    }
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
    return STATUS_SUCCESS;
}

// ---- control handlers ----

TANDREL_INPUT_STATE Current(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    TandrelLocks locks(ext);
    return {0, s->JamPhase, s->ReaderState, s->Delivered, s->Read, s->LastField, s->RunningFieldCount,
            TandrelClockTimeOfField(ext->Clock, s->LastField)};
}

ULONG CutToLength(PIRP irp, const TANDREL_INPUT_STATE& state)
{
    if (TandrelOutputLength(irp) >= sizeof(TANDREL_INPUT_STATE)) {
        RtlCopyMemory(TandrelBuffer(irp), &state, sizeof state);
        return sizeof state;
    }
    return TandrelWriteSample(irp, state.Delivered, state.ReferenceField, state.RunningFieldCount, state.Time, 28);
}

NTSTATUS OnGetSample(PTANDREL_EXTENSION ext, PIRP irp)
{
    irp->IoStatus.Information = CutToLength(irp, Current(ext));
    return STATUS_SUCCESS;
}

NTSTATUS OnGetMode(PTANDREL_EXTENSION ext, PIRP irp)
{
    *static_cast<PULONG>(TandrelBuffer(irp)) = TandrelState<State>(ext)->JamMode;
    irp->IoStatus.Information = 4;
    return STATUS_SUCCESS;
}

NTSTATUS OnSetJam(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_JAM_REQUEST request{};
    const BOOLEAN given = TandrelInputLength(irp) >= sizeof request;
    RtlCopyMemory(&request, TandrelBuffer(irp), given ? sizeof request : 4);
    if (request.Mode > JAM_REJAM) return STATUS_INVALID_PARAMETER;
    const ULONG threshold = given ? request.Threshold : request.Mode == JAM_SPOT ? 0 : 4;
    if (request.Mode != JAM_SPOT && threshold < 4) return STATUS_INVALID_PARAMETER;
    State* s = TandrelState<State>(ext);
    {
        TandrelLocks locks(ext);
        if (request.Mode == JAM_OFF) s->LockThreshold = threshold;
        else if (request.Mode == JAM_SPOT) s->SpotThreshold = threshold;
        else s->RejamThreshold = threshold;
        s->JamMode = request.Mode;
    }
    irp->IoStatus.Information = given ? sizeof request : 4;
    return STATUS_SUCCESS;
}

NTSTATUS OnEnableNotices(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelEnableNotices(ext, irp, &s->Notices, &s->NoticeOverflow, sizeof(TANDREL_INPUT_STATE));
}
NTSTATUS OnDisableNotices(PTANDREL_EXTENSION ext, PIRP) { return TandrelDisableNotices(ext, &TandrelState<State>(ext)->Notices); }
NTSTATUS OnGetNotice(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelPopNotice(ext, irp, &s->Notices, &s->NoticeOverflow, sizeof(TANDREL_INPUT_STATE));
}
NTSTATUS OnEnableCapture(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    return TandrelEnableNotices(ext, irp, &s->Captures, &s->CaptureOverflow, sizeof(TANDREL_INPUT_STATE));
}
NTSTATUS OnDisableCapture(PTANDREL_EXTENSION ext, PIRP) { return TandrelDisableNotices(ext, &TandrelState<State>(ext)->Captures); }

NTSTATUS OnGetCaptured(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_INPUT_STATE captured;
    BOOLEAN popped = FALSE;
    {
        TandrelLocks locks(ext);
        if (s->Captures != nullptr) popped = TandrelNoticePop(s->Captures, &captured);
        if (popped) s->CaptureOverflow = FALSE;
    }
    if (!popped) return STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = CutToLength(irp, captured);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetHint(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    // A reader bound to the board refuses it; the board then gets the request.
    if (!s->Proxy) return STATUS_INVALID_DEVICE_REQUEST;
    TANDREL_HINT hint;
    RtlCopyMemory(&hint, TandrelBuffer(irp), sizeof hint);
    if (hint.Mode > 4) return STATUS_INVALID_PARAMETER;
    const LONG day = TandrelFramesPerDay(hint.Sample.Flags);
    if (day > 0) hint.Sample.Frame = TandrelAddFrames(hint.Sample.Frame, 0, day);
    {
        TandrelLocks locks(ext);
        if (s->HintOwner != nullptr && s->HintOwner != TandrelFile(irp)) return STATUS_DEVICE_BUSY;
        s->HintOwner = TandrelFile(irp);
        s->PendingHint = hint;
        s->HintPending = TRUE;
    }
    irp->IoStatus.Information = sizeof hint;
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
    TandrelRow(IOCTL_TANDREL_SMPTE12M_INPUT_GET_MODE, OnGetMode),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_INPUT_SET_JAM, OnSetJam),
    TandrelRow(IOCTL_TANDREL_GET_QUEUED_NOTICE, OnGetNotice),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, OnEnableCapture),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_INPUT_GET_CAPTURED, OnGetCaptured),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_INPUT_DISABLE_CAPTURE, OnDisableCapture),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, OnSetHint),
};
static_assert(TandrelTableMatches(kTable, TANDREL_CLASS_INPUT));

}  // namespace

const TANDREL_DEVICE_CLASS TandrelInputClass = {
    "SMPTE12MInputDevice", TANDREL_CLASS_INPUT, sizeof(State), kTable, sizeof(kTable) / sizeof(kTable[0]),
    Initialize, Close, nullptr, nullptr, nullptr, Delete, SampleSource, ReaderCallback, TRUE, TRUE,
};

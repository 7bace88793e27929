// FieldCountDevice: the fields a video channel played or recorded, as time
// code: the channel's field count added to a base time code, optionally
// overridden (hold, scaled, free-run), and a block shared with a user-mode
// deck emulator that exchanges the current time code and deck commands.
// It has no start or stop; it has frame and command events.

#include <algorithm>

#include "tandrel_driver.h"

namespace {

using State = TANDREL_FIELD_COUNT_STATE;

constexpr ULONG kConfirmed = 4;
constexpr ULONG kRecordWords = 24;
// Deck command bits in the order they are taken, and their event kinds.
constexpr struct {
    ULONG Bit, Kind;
} kCommands[3] = {{0x1, TANDREL_EVENT_ON_COMMAND_BIT0}, {0x4, TANDREL_EVENT_ON_COMMAND_BIT2}, {0x2, TANDREL_EVENT_ON_COMMAND_BIT1}};

TANDREL_SAMPLE RecordSample(const State* s) { return {LONG(s->Record[0]), s->Record[1], s->Record[2]}; }

ULONG DeckWord(const State* s, ULONG at)
{
    ULONG v;
    RtlCopyMemory(&v, s->DeckBlock + at, 4);
    return v;
}
void SetDeckWord(State* s, ULONG at, ULONG v) { RtlCopyMemory(s->DeckBlock + at, &v, 4); }
void WriteDeckRate(State* s)
{
    if (s->DeckBlock != nullptr) SetDeckWord(s, TANDREL_DECK_RATE, s->Rate == 29 ? 30 : s->Rate);
}

void ApplyOverride(State* s, ULONG a)
{
    const TANDREL_OVERRIDE& r = s->PendingRecord;
    s->OverridePending = FALSE;
    if (r.Flags == 0) {
        s->OverrideActive = FALSE;
        return;
    }
    const BOOLEAN wasActive = s->OverrideActive;
    if (!wasActive) {
        s->Mode = 1;
        s->Held = s->Current;
        s->StartField = a;
        s->Numerator = 0, s->Offset = 0, s->Denominator = 100;
        s->Limited = FALSE;
    }
    if (r.Flags & TANDREL_OVERRIDE_MODE) {
        s->Mode = r.Mode;
        s->Held = s->Previous;
        s->StartField = a - 1;
    }
    if (r.Flags & TANDREL_OVERRIDE_SAMPLE) {
        s->Held = r.Sample;
        s->StartField = a;
    } else if ((r.Flags & TANDREL_OVERRIDE_HOLD_CURRENT) || !wasActive) {
        s->Held = s->Current;
        s->StartField = a;
    } else if (r.Flags & 0x700) {
        s->Held = s->Previous;
    }
    if (r.Flags & TANDREL_OVERRIDE_NUMERATOR) s->Numerator = r.Numerator;
    if (r.Flags & TANDREL_OVERRIDE_OFFSET) s->Offset = r.Offset;
    if (r.Flags & TANDREL_OVERRIDE_DENOMINATOR) s->Denominator = r.Denominator;
    if (r.Flags & TANDREL_OVERRIDE_LIMITED) s->Limited = TRUE;
    s->OverrideActive = TRUE;
}

LONG Scaled(const State* s, LONG fields)
{
    return LONG((LONGLONG(fields) * s->Numerator + s->Offset) / (s->Denominator != 0 ? s->Denominator : 100));
}

// Under the locks: one field of the channel.
void CountField(PTANDREL_EXTENSION ext, ULONG a, const ULONG* q)
{
    State* s = TandrelState<State>(ext);
    const BOOLEAN consecutive = s->HaveLast && a == s->LastField + 1 && q[4] == s->Record[4] + 1;
    s->Confirm1 = consecutive ? std::min(s->Confirm1 + 1, kConfirmed) : 1;
    s->LastField = a;
    s->HaveLast = TRUE;
    RtlCopyMemory(s->Record, q, sizeof s->Record);
    s->Previous = s->Current;

    const ULONG rate = q[2] & TANDREL_FLAG_RATE_MASK;
    if (TandrelRateValid(rate) && rate != (s->Base.Flags & TANDREL_FLAG_RATE_MASK)) {
        s->Base.Flags = (s->Base.Flags & ~TANDREL_FLAG_RATE_MASK) | rate;
        s->Rate = rate;
        ext->Stream.Rate = rate;
        WriteDeckRate(s);
    }
    const TANDREL_SAMPLE from = TandrelSampleValid(s->Base) ? s->Base : RecordSample(s);
    s->Current = TandrelAddFields(from, LONG(q[4]));

    if (s->OverridePending) ApplyOverride(s, a);
    if (s->OverrideActive) {
        switch (s->Mode) {
        case 1: s->Current = s->Held; break;
        case 2:
            s->Current = s->Held;
            s->Current.Flags = (a & 1) ? s->Current.Flags | TANDREL_FLAG_FIELD2 : s->Current.Flags & ~TANDREL_FLAG_FIELD2;
            break;
        case 3: s->Current = TandrelAddFields(s->Held, Scaled(s, LONG(a - s->StartField))); break;
        case 4: {
            const BOOLEAN second = (s->Previous.Flags & TANDREL_FLAG_FIELD2) != 0;
            s->Current = TandrelAddFields(s->Previous, second != BOOLEAN(a & 1) ? 1 : 2);
            // A limited free-run ends once the channel counts steadily again.
            if (s->Limited && s->Confirm1 >= kConfirmed) {
                s->OverrideActive = FALSE;
                s->OverrideOwner = nullptr;
            }
            break;
        }
        default: s->Current.Flags |= TANDREL_FLAG_INVALID; break;
        }
    }

    const BOOLEAN wasLocked = s->Confirm2 >= kConfirmed;
    const TANDREL_SAMPLE expected = TandrelAddFields(s->Previous, 1);
    const BOOLEAN step = consecutive && TandrelSampleValid(s->Current) && s->Current.Frame == expected.Frame &&
                         (s->Current.Flags & TANDREL_FLAG_FIELD2) == (expected.Flags & TANDREL_FLAG_FIELD2);
    s->Confirm2 = step ? std::min(s->Confirm2 + 1, kConfirmed) : 1;

    if (s->DeckBlock != nullptr) {
        SetDeckWord(s, TANDREL_DECK_FRAME, ULONG(s->Current.Frame));
        SetDeckWord(s, TANDREL_DECK_USER_BITS, s->Current.UserBits);
        SetDeckWord(s, TANDREL_DECK_FLAGS, s->Current.Flags);
        for (ULONG i = 0; i < 3; ++i) {
            const ULONG command = DeckWord(s, TANDREL_DECK_COMMAND);
            if (!(command & kCommands[i].Bit)) continue;
            SetDeckWord(s, TANDREL_DECK_COMMAND, command & ~kCommands[i].Bit);
            TandrelFireCommand(ext, kCommands[i].Kind);
            TANDREL_COMMAND_SAMPLE& slot = s->Commands[kCommands[i].Kind - TANDREL_EVENT_ON_COMMAND_BIT0];
            slot.Sample = s->Current;
            slot.Field = a;
            ++slot.Count;
        }
    }
    if (s->Confirm2 >= kConfirmed && (!wasLocked || ext->Triggers.FrameListChanged))
        TandrelRescheduleFrames(ext, a, s->Current.Frame, TandrelFramesPerDay(s->Current.Flags));
    TandrelPollTriggers(ext, TandrelChangeMask(s->Current, s->Previous));
}

uint32_t CounterCallback(void* context, uint32_t field, void* data, uint32_t in, uint32_t out)
{
    auto ext = static_cast<PTANDREL_EXTENSION>(context);
    if (in != kRecordWords * 4 || out != 0) return 0;
    ULONG q[kRecordWords];
    RtlCopyMemory(q, data, sizeof q);
    if (q[3] == 0 || q[3] > kRecordWords - 4) return 0;
    TandrelLocks locks(ext);
    CountField(ext, field, q);
    return 1;
}

NTSTATUS Initialize(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    s->Rate = ext->Stream.Rate;
    s->Base = {0, 0, s->Rate | TANDREL_FLAG_VIDEO | TANDREL_FLAG_INVALID};
    s->Current = s->Previous = s->Base;
    s->Denominator = 100;
    for (TANDREL_COMMAND_SAMPLE& c : s->Commands) c = {s->Base, 0, 0};
    return STATUS_SUCCESS;
}

// Unmaps the deck block (the caller checked who may).
void Unmap(PTANDREL_EXTENSION ext)
{
    State* s = TandrelState<State>(ext);
    PMDL mdl;
    {
        TandrelLocks locks(ext);
        if (s->DeckBlock != nullptr) SetDeckWord(s, TANDREL_DECK_MAPPED, 0);
        mdl = s->DeckMdl;
        s->DeckBlock = nullptr;
        s->DeckMdl = nullptr;
        s->DeckOwner = nullptr;
        s->DeckAddress = 0;
    }
    if (mdl != nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

NTSTATUS Close(PTANDREL_EXTENSION ext, PFILE_OBJECT file, BOOLEAN)
{
    State* s = TandrelState<State>(ext);
    if (s->DeckOwner != nullptr && s->DeckOwner == file) Unmap(ext);
    TandrelLocks locks(ext);
    if (s->OverrideOwner == file) s->OverrideOwner = nullptr;
    return STATUS_SUCCESS;
}

void Delete(PTANDREL_EXTENSION ext) { Unmap(ext); }

// The sample due d fields after the clock's current field, for a tracking
// generator: from the channel's scheduled counts when they are known.
NTSTATUS SampleSource(PTANDREL_EXTENSION ext, LONG d, TANDREL_SAMPLE* sample, BOOLEAN* exact)
{
    State* s = TandrelState<State>(ext);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    const LONG b = LONG(TandrelClockNow(ext->Clock) + ULONG(d) - s->LastField);
    *exact = FALSE;
    if (s->OverrideActive) {
        switch (s->Mode) {
        case 1: *sample = s->Held; break;
        case 2:
            *sample = s->Held;
            sample->Flags = ((s->LastField + ULONG(b)) & 1) ? sample->Flags | TANDREL_FLAG_FIELD2 : sample->Flags & ~TANDREL_FLAG_FIELD2;
            break;
        case 3: *sample = TandrelAddFields(s->Held, Scaled(s, LONG(s->LastField + ULONG(b) - s->StartField))); break;
        case 4:
            *sample = TandrelAddFields(s->Current, b);
            *exact = TRUE;
            break;
        default:
            *sample = s->Current;
            sample->Flags |= TANDREL_FLAG_INVALID;
            break;
        }
        KeReleaseSpinLockFromDpcLevel(&ext->Lock);
        return STATUS_SUCCESS;
    }
    const TANDREL_SAMPLE base = TandrelSampleValid(s->Base) ? s->Base : RecordSample(s);
    const LONG n = LONG(std::max<ULONG>(1, std::min(s->Record[3], kRecordWords - 4)));
    const ULONG* e = &s->Record[4];
    LONG k;
    if (b < 0) {
        *exact = ULONG(-b) < s->Confirm2;
        k = *exact ? LONG(e[0]) + b : LONG(e[0]);
    } else {
        const LONG m = std::min(b, n - 1);
        ULONG r = 0, p = 0;
        for (LONG i = 0; i <= m; ++i) {
            const BOOLEAN mismatch = (e[i] & 1) != ((s->LastField + ULONG(i)) & 1);
            if (i == 0) {
                r = mismatch ? 0 : s->Confirm2;
                p = mismatch ? 0 : 1;
            } else if (e[i] == e[i - 1]) {
                r = p = mismatch ? 0 : 1;
            } else if (mismatch) {
                r = p = 0;
            } else {
                r = e[i] == e[i - 1] + 1 ? r + 1 : 1;
                if (e[i] / 2 == e[i - 1] / 2) p += p == 0 ? 2 : 1;
            }
        }
        *exact = r >= kConfirmed;
        const LONG last = LONG(e[m]);
        if (b > m && *exact) k = last + (b - m);
        else if (b > m && p > 1) k = (last & ~1) | LONG((ULONG(b) + s->LastField) & 1);
        else k = last;
    }
    *sample = TandrelAddFields(base, k);
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
    return STATUS_SUCCESS;
}

// ---- control handlers ----

NTSTATUS OnGetSample(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_SAMPLE sample;
    ULONG field;
    ULONGLONG time;
    {
        TandrelLocks locks(ext);
        sample = s->Current;
        field = s->LastField;
        time = TandrelClockTimeOfField(ext->Clock, field);
    }
    // A field counter has no running count: always 0.
    irp->IoStatus.Information = TandrelWriteSample(irp, sample, field, 0, time, 28);
    return STATUS_SUCCESS;
}

NTSTATUS OnGetBase(PTANDREL_EXTENSION ext, PIRP irp)
{
    TANDREL_SAMPLE base;
    {
        TandrelLocks locks(ext);
        base = TandrelState<State>(ext)->Base;
    }
    RtlCopyMemory(TandrelBuffer(irp), &base, sizeof base);
    irp->IoStatus.Information = sizeof base;
    return STATUS_SUCCESS;
}

NTSTATUS OnSetBase(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_SAMPLE base;
    RtlCopyMemory(&base, TandrelBuffer(irp), sizeof base);
    if ((base.Flags & TANDREL_FLAG_RATE_MASK) != s->Rate) return STATUS_INVALID_PARAMETER;
    {
        TandrelLocks locks(ext);
        s->Base = base;
    }
    irp->IoStatus.Information = sizeof base;
    return STATUS_SUCCESS;
}

NTSTATUS OnSetOverride(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_OVERRIDE request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if ((request.Flags & TANDREL_OVERRIDE_DENOMINATOR) && request.Denominator == 0) return STATUS_INVALID_PARAMETER;
    if ((request.Flags & TANDREL_OVERRIDE_SAMPLE) && (request.Sample.Flags & TANDREL_FLAG_RATE_MASK) != s->Rate)
        return STATUS_INVALID_PARAMETER;
    if (request.Flags & TANDREL_OVERRIDE_SAMPLE) {
        const LONG day = TandrelFramesPerDay(request.Sample.Flags);
        if (day > 0) request.Sample.Frame = TandrelAddFrames(request.Sample.Frame, 0, day);
    }
    const PFILE_OBJECT file = TandrelFile(irp);
    {
        TandrelLocks locks(ext);
        if (s->OverrideOwner != nullptr && s->OverrideOwner != file) return STATUS_DEVICE_BUSY;
        s->OverrideOwner = request.Flags == 0 ? nullptr : file;
        s->PendingRecord = request;
        s->OverridePending = TRUE;
    }
    irp->IoStatus.Information = sizeof request;
    return STATUS_SUCCESS;
}

NTSTATUS OnDeckMap(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_DECK_MAP request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (s->DeckOwner != nullptr) return TANDREL_STATUS_ALREADY_ATTACHED;
    if (request.Block == 0 || request.Length < TANDREL_DECK_BLOCK_MIN) return STATUS_INVALID_PARAMETER;
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(ULONG_PTR(request.Block)), request.Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SehTry([&] { MmProbeAndLockPages(mdl, irp->RequestorMode, IoWriteAccess); });
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return STATUS_ACCESS_VIOLATION;
    }
    auto* block = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ULONG size = 0;
    if (block != nullptr) RtlCopyMemory(&size, block + TANDREL_DECK_SIZE, 4);
    if (block == nullptr || size <= TANDREL_DECK_BLOCK_MIN - 1) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return block == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_INVALID_PARAMETER;
    }
    {
        TandrelLocks locks(ext);
        if (s->DeckOwner != nullptr) {
            status = TANDREL_STATUS_ALREADY_ATTACHED;
        } else {
            s->DeckOwner = TandrelFile(irp);
            s->DeckAddress = request.Block;
            s->DeckMdl = mdl;
            s->DeckBlock = block;
            SetDeckWord(s, TANDREL_DECK_MAPPED, 1);
            block[TANDREL_DECK_MARKS] = UCHAR(block[TANDREL_DECK_MARKS] | 0x30);
            WriteDeckRate(s);
        }
    }
    if (!NT_SUCCESS(status)) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    return status;
}

NTSTATUS OnDeckUnmap(PTANDREL_EXTENSION ext, PIRP irp)
{
    State* s = TandrelState<State>(ext);
    TANDREL_DECK_MAP request;
    RtlCopyMemory(&request, TandrelBuffer(irp), sizeof request);
    if (s->DeckOwner == nullptr || s->DeckOwner != TandrelFile(irp) || s->DeckAddress != request.Block)
        return STATUS_INVALID_PARAMETER;
    Unmap(ext);
    return STATUS_SUCCESS;
}

NTSTATUS OnCommandSample(PTANDREL_EXTENSION ext, PIRP irp)
{
    const ULONG kind = *static_cast<PULONG>(TandrelBuffer(irp));
    if (kind < TANDREL_EVENT_ON_COMMAND_BIT0 || kind > TANDREL_EVENT_ON_COMMAND_BIT1) return STATUS_INVALID_PARAMETER;
    TANDREL_COMMAND_SAMPLE slot;
    {
        TandrelLocks locks(ext);
        slot = TandrelState<State>(ext)->Commands[kind - TANDREL_EVENT_ON_COMMAND_BIT0];
    }
    RtlCopyMemory(TandrelBuffer(irp), &slot, sizeof slot);
    irp->IoStatus.Information = sizeof slot;
    return STATUS_SUCCESS;
}

constexpr TANDREL_CONTROL_ROW kTable[] = {
    TandrelRow(IOCTL_TANDREL_SET_EVENT, TandrelOnSetEvent),
    TandrelRow(IOCTL_TANDREL_CANCEL_EVENT, TandrelOnCancelEvent),
    TandrelRow(IOCTL_TANDREL_ENABLE_PERIODIC_EVENT, TandrelOnEnablePeriodic),
    TandrelRow(IOCTL_TANDREL_DISABLE_PERIODIC_EVENT, TandrelOnDisablePeriodic),
    TandrelRow(IOCTL_TANDREL_ENABLE_POLL_TRIGGER, TandrelOnEnablePoll),
    TandrelRow(IOCTL_TANDREL_DISABLE_POLL_TRIGGER, TandrelOnDisablePoll),
    TandrelRow(IOCTL_TANDREL_GET_DEVICE_INFO, TandrelOnGetDeviceInfo),
    TandrelRow(IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, OnDeckMap),
    TandrelRow(IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE, OnDeckUnmap),
    TandrelRow(IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE, OnCommandSample),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_GET_BASE, OnGetBase),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_SET_BASE, OnSetBase),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, OnGetSample),
    TandrelRow(IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, OnSetOverride),
};
static_assert(TandrelTableMatches(kTable, TANDREL_CLASS_FIELD_COUNT));

}  // namespace

const TANDREL_DEVICE_CLASS TandrelFieldCountClass = {
    "FieldCountDevice", TANDREL_CLASS_FIELD_COUNT, sizeof(State), kTable, sizeof(kTable) / sizeof(kTable[0]),
    Initialize, Close, nullptr, nullptr, nullptr, Delete, SampleSource, CounterCallback, FALSE, FALSE,
};

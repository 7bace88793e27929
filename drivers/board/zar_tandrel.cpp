// The board's eight time-code streams: the master clock, the LTC and VITC
// readers and generators, the burn-in stream and the two JPEG field
// counters. The time-code driver connects a per-field callback to each
// through internal device control; once a field one DPC, under the stream
// lock, posts the master clock and, when its client lets it go on, runs the
// field counters, the chip exchange, the readers' posts and the
// generators' and burn-in's fetches, in that order.

#include <cstring>

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_timecode.h"

namespace {

constexpr NTSTATUS kStatusDeviceBusy = static_cast<NTSTATUS>(0x80000011);
constexpr ULONG kDelayLimit = 10;
constexpr ULONG kGainOff = 0;
constexpr ULONG kGainStepMin = 4;
constexpr ULONG kGainStepMax = 15;
constexpr LONG kGainOffDb = -100;
constexpr UCHAR kVitcOn = 0x80;
constexpr UCHAR kVitcSearch = 31;
constexpr ULONG kVitcLineBase = 10;
constexpr ULONG kVitcLineMax = 40;
constexpr ULONG kRate24 = 24;
constexpr ULONG kFieldCounterBit8 = 0x100;
constexpr ULONG kFieldCounterNoPosition = 1u << 24;
constexpr ULONG kReaderSecondFlag = 1u << 9;
constexpr ULONG kFieldCounterWords = 24;
constexpr UCHAR kVitcNotFound = 0xFF;

// Channel states that report field positions, and how many.
constexpr ULONG kJpegPlaying = 0x20;
constexpr ULONG kJpegHold = 0x11;
constexpr ULONG kJpegRecording = 0x40;

struct ZAR_STREAM_DEFAULT {
    const WCHAR* Name;
    ULONG Type;
    LONG Delay;
    PZAR_TANDREL_HOOK Hook;
};

NTSTATUS ZarTandrelInputDeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp);
NTSTATUS ZarTandrelOutputDeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp);

const ZAR_STREAM_DEFAULT kStreams[TANDREL_STREAM_COUNT] = {
    {u"MasterClock", TANDREL_STREAM_MASTER_CLOCK, 0, nullptr},
    {u"LTCReader", TANDREL_STREAM_LTC_READER, -2, ZarTandrelInputDeviceControl},
    {u"LTCGenerator", TANDREL_STREAM_LTC_GENERATOR, 2, ZarTandrelOutputDeviceControl},
    {u"VITCReader", TANDREL_STREAM_VITC_READER, 0, ZarTandrelInputDeviceControl},
    {u"VITCGenerator", TANDREL_STREAM_VITC_GENERATOR, 2, ZarTandrelOutputDeviceControl},
    {u"BurnIn", TANDREL_STREAM_BURN_IN, 1, ZarTandrelBurnIn_DeviceControl},
    {u"JpegStream1", TANDREL_STREAM_FIELD_COUNTER, 0, nullptr},
    {u"JpegStream2", TANDREL_STREAM_FIELD_COUNTER, 0, nullptr},
};

ULONG ZarTandrelNormalRate(PZAR_DEVICE_EXTENSION ext) { return ext->Standard == 625 ? 25 : 29; }


// ---- registry ----

void ZarTandrelReadValues(const WCHAR* const* names, PULONG values, ULONG count)
{
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    for (ULONG i = 0; i < count; ++i) {
        values[i] = 0xFFFFFFFF;
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[i].Name = const_cast<PWSTR>(names[i]);
        table[i].EntryContext = &values[i];
        table[i].DefaultType = REG_NONE;
    }
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARKD\\Parameters\\Tandrel", table, nullptr, nullptr);
}

void ZarTandrelReadDelayPair(const WCHAR* reader, const WCHAR* generator, PLONG readerDelay, PLONG generatorDelay)
{
    const WCHAR* names[2] = {reader, generator};
    ULONG values[2];
    ZarTandrelReadValues(names, values, 2);
    ZarTandrelApplyDelayPair(values[0] == 0xFFFFFFFF ? nullptr : &values[0],
                             values[1] == 0xFFFFFFFF ? nullptr : &values[1], readerDelay, generatorDelay);
}

// ---- master clock ----

// Count and time as the interrupt routine last left them.
struct ZAR_MASTER_SNAPSHOT {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Count;
    LARGE_INTEGER Time;
};

BOOLEAN ZarTandrelReadMaster(PVOID context)
{
    auto* s = static_cast<ZAR_MASTER_SNAPSHOT*>(context);
    s->Count = s->Ext->TimeCode.MasterCount;
    s->Time = s->Ext->TimeCode.VerticalTime;
    return TRUE;
}

ULONG ZarTandrelMasterClockPost(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_TANDREL_STREAM& s = tc.Streams[ZAR_STREAM_MASTER_CLOCK];
    if (s.Callback == nullptr) return 0;
    ZAR_MASTER_SNAPSHOT snap{ext, 0, {}};
    ZarRunSynchronized(ext, ZarTandrelReadMaster, &snap);
    LONG delta = tc.Posted ? LONG(snap.Count - tc.LastPosted) : LONG(snap.Count + 1);
    if (!tc.Posted && delta < 1) delta = 1;  // a count near the wrap is still a first field
    tc.LastPosted = snap.Count;
    tc.Posted = TRUE;
    if (delta < 1) return 0;
    struct {
        LARGE_INTEGER Time;
        ULONG Flags;
        ULONG Unused;
    } record{snap.Time, tc.MasterFlags, 0};
    static_assert(sizeof(record) == 16);
    ULONG result = s.Callback(s.Context, snap.Count, &record, sizeof(record), 0);
    tc.MasterFlags = 0;
    return result;
}

// ---- field counters ----

void ZarTandrelFieldCounterUpdate(PZAR_DEVICE_EXTENSION ext, ULONG count)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    for (ULONG k = 0; k < 2; ++k) {
        ZAR_TANDREL_STREAM& s = tc.Streams[ZAR_STREAM_JPEG1 + k];
        if (s.Callback == nullptr) continue;
        ULONG record[kFieldCounterWords] = {};
        ULONG flags = tc.CounterFlags[k];
        const ZAR_VIDEO_CHANNEL_STATE& channel = ext->Jpeg.Channel[k].State;
        ULONG state = ULONG(channel.StateWord);
        ULONG wanted = state == kJpegPlaying ? 4 : state == kJpegHold ? 2 : state == kJpegRecording ? 1 : 0;
        if (tc.Mode24 == 1) {
            // The channel runs 24 frames: one position a frame.
            flags = (flags & ~0xFFu & ~kFieldCounterBit8) | kRate24;
            wanted = (state == kJpegPlaying || state == kJpegHold) ? 1 : 0;
        }
        ULONG n = 0;
        for (ULONG i = 0; i < wanted && i < 4; ++i) {
            LONG position = LONG(channel.ReportedPosition[i]);
            if (position < 0) break;
            record[4 + n++] = ULONG(position);
        }
        if (n == 0) {
            flags |= kFieldCounterNoPosition;
            record[4] = 0;
            n = 1;
        }
        record[0] = tc.CounterBase[k][0];
        record[1] = tc.CounterBase[k][1];
        record[2] = flags;
        record[3] = n;
        s.Callback(s.Context, count, record, sizeof(record), 0);
    }
}

// ---- chip exchange, readers and generators ----

void ZarTandrelChipExchange(PZAR_DEVICE_EXTENSION ext)
{
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_LTC_GENERATOR, 8);
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_VITC_GENERATOR, 8);
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_CODES, 4);
    ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_EXCHANGE_CONTROL, 1);
    ZarICS2008A_ReadDirect(ext, 1);
    ZarICS2008A_ReadIndirectRegisters(ext, ZAR_TC_LTC_READER, 8);
    ZarICS2008A_ReadIndirectRegisters(ext, ZAR_TC_VITC_READER, 16);
    ZarICS2008A_ReadIndirectRegisters(ext, ZAR_TC_VITC_READER_LINES, 2);
}

void ZarTandrelReaderPost(PZAR_DEVICE_EXTENSION ext, ULONG stream, ULONG count)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_TANDREL_STREAM& s = tc.Streams[stream];
    if (s.Callback == nullptr) return;
    TANDREL_TIMECODE_RECORD record{};
    ULONG status = s.FieldRate & 0xFF;
    if (stream == ZAR_STREAM_LTC_READER) {
        std::memcpy(record.Bytes, &tc.Image[ZAR_TC_LTC_READER], 8);
        UCHAR flags = tc.Direct[1];
        if (!(flags & ZAR_TC_LTC_PRESENT))
            status |= TANDREL_STATUS_NO_CODE;
        else if (flags & ZAR_TC_SECOND_READER)
            status |= kReaderSecondFlag;
        tc.LtcStatus = status;
    } else {
        std::memcpy(record.Bytes, &tc.Image[ZAR_TC_VITC_READER], 8);
        if (tc.Image[ZAR_TC_VITC_READER + 8] == kVitcNotFound) status |= TANDREL_STATUS_NO_CODE;
        tc.VitcStatus = status;
    }
    record.Status = status;
    s.Callback(s.Context, count + ULONG(s.Delay), &record, sizeof(record), 0);
}

// LTC's biphase polarity-correction bit (bit 59 at 25 frames a second,
// bit 27 otherwise) set so that the word's 64 bits hold an odd number of
// ones: every frame on the wire then starts at the same level.
void ZarTandrelLtcSetPolarityBit(UCHAR bytes[8], ULONG rate)
{
    ULONG ones = 0;
    for (int i = 0; i < 8; ++i) ones += ULONG(__builtin_popcount(bytes[i]));
    if ((ones & 1) == 0) bytes[rate == 25 ? 7 : 3] |= 0x08;
}

void ZarTandrelGeneratorFetch(PZAR_DEVICE_EXTENSION ext, ULONG stream, ULONG count)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_TANDREL_STREAM& s = tc.Streams[stream];
    if (s.Callback == nullptr) return;
    TANDREL_TIMECODE_RECORD record{};
    if (s.Callback(s.Context, count + ULONG(s.Delay), &record, 0, sizeof(record)) == 0) return;
    ULONG at = stream == ZAR_STREAM_LTC_GENERATOR ? ZAR_TC_LTC_GENERATOR : ZAR_TC_VITC_GENERATOR;
    if (stream == ZAR_STREAM_LTC_GENERATOR) ZarTandrelLtcSetPolarityBit(record.Bytes, s.FieldRate & 0xFF);
    std::memcpy(&tc.Image[at], record.Bytes, 8);
}

void ZarTandrelFieldDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    ZarTandrel_RunField(static_cast<PZAR_DEVICE_EXTENSION>(context));
}

// ---- hooks of the routed codes ----

ULONG ZarTandrelKind(ULONG stream) { return stream == ZAR_STREAM_LTC_READER || stream == ZAR_STREAM_LTC_GENERATOR ? 0 : 1; }

NTSTATUS ZarTandrelGetConfiguration(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < 8) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    auto* out = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    out[0] = ext->TimeCode.Streams[stream].FieldRate;
    out[1] = ZarTandrelKind(stream);
    return ZarCompleteRequest(irp, STATUS_SUCCESS, 8);
}

bool ZarTandrelHasWriteAccess(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file == nullptr || file->WriteAccess;
}

NTSTATUS ZarTandrelVitcLines(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp, bool set)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* words = static_cast<PLONG>(irp->AssociatedIrp.SystemBuffer);
    const bool reader = stream == ZAR_STREAM_VITC_READER;
    const ULONG first = reader ? ZAR_TC_VITC_READER_LINES : ZAR_TC_VITC_GENERATOR_LINES;
    UCHAR* regs = &ext->TimeCode.Image[first];
    if (!set) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < 8)
            return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        words[0] = ZarTandrelVitcRegisterToLine(regs[0]);
        words[1] = ZarTandrelVitcRegisterToLine(regs[1]);
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 8);
    }
    if (!ZarTandrelHasWriteAccess(irp)) return ZarCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < 8) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    UCHAR next[2];
    for (ULONG i = 0; i < 2; ++i) {
        // Line bits 5-6 are the chip's own; only the line and the on bit change.
        if (!ZarTandrelVitcLineToRegister(words[i], reader, &next[i]))
            return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        next[i] = UCHAR((regs[i] & 0x60) | next[i]);
    }
    KIRQL old;
    KeAcquireSpinLock(&ext->TimeCode.StreamLock, &old);
    regs[0] = next[0];
    regs[1] = next[1];
    ZarICS2008A_WriteIndirectRegisters(ext, first, 2);
    KeReleaseSpinLock(&ext->TimeCode.StreamLock, old);
    return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ZarTandrelInputDeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
    case IOCTL_ZAR_TANDREL_GET_CONFIGURATION: return ZarTandrelGetConfiguration(ext, stream, irp);
    case IOCTL_ZAR_TANDREL_VITC_GET_LINES:
        if (stream == ZAR_STREAM_VITC_READER) return ZarTandrelVitcLines(ext, stream, irp, false);
        break;
    case IOCTL_ZAR_TANDREL_VITC_SET_LINES:
        if (stream == ZAR_STREAM_VITC_READER) return ZarTandrelVitcLines(ext, stream, irp, true);
        break;
    }
    return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS ZarTandrelOutputDeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* words = static_cast<PLONG>(irp->AssociatedIrp.SystemBuffer);
    UCHAR& gain = ext->TimeCode.Image[ZAR_TC_LTC_GAIN];
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ZAR_TANDREL_GET_CONFIGURATION: return ZarTandrelGetConfiguration(ext, stream, irp);
    case IOCTL_ZAR_TANDREL_LTC_GENERATOR_GET_GAIN:
        if (stream != ZAR_STREAM_LTC_GENERATOR) break;
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < 4)
            return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        words[0] = ZarTandrelStepToGain(gain & 0x0F);
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 4);
    case IOCTL_ZAR_TANDREL_LTC_GENERATOR_SET_GAIN: {
        if (stream != ZAR_STREAM_LTC_GENERATOR) break;
        if (stack->Parameters.DeviceIoControl.InputBufferLength < 4)
            return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        ULONG step = ZarTandrelGainToStep(words[0]);
        if (step != (gain & 0x0Fu)) {
            gain = UCHAR((gain & 0xF0) | step);
            ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_LTC_GAIN, 1);
        }
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_ZAR_TANDREL_VITC_GET_LINES:
        if (stream == ZAR_STREAM_VITC_GENERATOR) return ZarTandrelVitcLines(ext, stream, irp, false);
        break;
    case IOCTL_ZAR_TANDREL_VITC_SET_LINES:
        if (stream == ZAR_STREAM_VITC_GENERATOR) return ZarTandrelVitcLines(ext, stream, irp, true);
        break;
    }
    return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void ZarTandrelSetRates(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ULONG rate = tc.Mode24 != 0 ? kRate24 : ZarTandrelNormalRate(ext);
    tc.Streams[ZAR_STREAM_MASTER_CLOCK].FieldRate = rate;
    for (ULONG k = 0; k < 2; ++k) {
        tc.Streams[ZAR_STREAM_JPEG1 + k].FieldRate = rate;
        ULONG& flags = tc.CounterFlags[k];
        flags = (flags & ~0xFFu) | rate;
        flags = tc.Mode24 == 2 ? flags & ~kFieldCounterBit8 : flags | kFieldCounterBit8;
    }
}

}  // namespace

// ---- pure rules ----

void ZarTandrelApplyDelayPair(const ULONG* reader, const ULONG* generator, PLONG readerDelay, PLONG generatorDelay)
{
    if (reader == nullptr || generator == nullptr) return;
    if (*reader < kDelayLimit) *readerDelay = -LONG(*reader);
    if (*generator < kDelayLimit) *generatorDelay = LONG(*generator);
}

ULONG ZarTandrelGainToStep(LONG gain)
{
    if (gain <= kGainOffDb) return kGainOff;
    LONG step = gain / 3 + 12;
    if (step < LONG(kGainStepMin)) return kGainStepMin;
    if (step > LONG(kGainStepMax)) return kGainStepMax;
    return ULONG(step);
}

// The inverse of the set rule, so a gain reads back as it was set (within
// the 3 dB step).
LONG ZarTandrelStepToGain(ULONG step)
{
    if (step < kGainStepMin) return kGainOffDb;
    return (LONG(step) - 12) * 3;
}

BOOLEAN ZarTandrelVitcLineToRegister(LONG line, BOOLEAN reader, PUCHAR reg)
{
    if (line == 0) {
        *reg = 0;
        return TRUE;
    }
    if (line == -1) {
        if (!reader) return FALSE;
        *reg = kVitcOn | kVitcSearch;
        return TRUE;
    }
    if (line < LONG(kVitcLineBase) || line > LONG(kVitcLineMax)) return FALSE;
    *reg = UCHAR(kVitcOn | (line - kVitcLineBase));
    return TRUE;
}

LONG ZarTandrelVitcRegisterToLine(UCHAR reg)
{
    if (!(reg & kVitcOn)) return 0;
    if ((reg & 0x1F) == kVitcSearch) return -1;
    return LONG(reg & 0x1F) + LONG(kVitcLineBase);
}

// ---- entry points ----

void ZarTandrel_Initialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    RtlZeroMemory(tc.Streams, sizeof(tc.Streams));
    KeInitializeDpc(&tc.FieldDpc, ZarTandrelFieldDpc, ext);
    KeInitializeDpc(&tc.FieldDpc24, ZarTandrelFieldDpc, ext);
    KeInitializeSpinLock(&tc.StreamLock);
    for (ULONG i = 0; i < TANDREL_STREAM_COUNT; ++i) {
        ZAR_TANDREL_STREAM& s = tc.Streams[i];
        s.Index = i;
        s.Type = kStreams[i].Type;
        s.Name = kStreams[i].Name;
        s.Delay = kStreams[i].Delay;
        s.Hook = kStreams[i].Hook;
        s.FieldRate = ZarTandrelNormalRate(ext);
    }
    tc.MasterCount = 0;
    tc.Posted = FALSE;
    tc.MasterFlags = 0;
    tc.ExchangeDisabled = FALSE;
    tc.Mode24 = 0;

    // LTC: the output off until a gain is set.
    ZarTandrelReadDelayPair(u"LTCReaderDelayFields", u"LTCGeneratorDelayFields", &tc.Streams[ZAR_STREAM_LTC_READER].Delay,
                            &tc.Streams[ZAR_STREAM_LTC_GENERATOR].Delay);
    tc.Image[ZAR_TC_LTC_GAIN] = UCHAR(tc.Image[ZAR_TC_LTC_GAIN] & 0xF0);
    tc.LtcStatus = ZarTandrelNormalRate(ext) | TANDREL_STATUS_NO_CODE;

    // VITC: the reader searching on both fields, the generator off at lines 14 and 16.
    ZarTandrelReadDelayPair(u"VITCReaderDelayFields", u"VITCGeneratorDelayFields",
                            &tc.Streams[ZAR_STREAM_VITC_READER].Delay, &tc.Streams[ZAR_STREAM_VITC_GENERATOR].Delay);
    tc.Image[ZAR_TC_VITC_READER_LINES] |= kVitcOn | kVitcSearch;
    tc.Image[ZAR_TC_VITC_READER_LINES + 1] |= kVitcOn | kVitcSearch;
    tc.Image[ZAR_TC_VITC_GENERATOR_LINES] = UCHAR((tc.Image[ZAR_TC_VITC_GENERATOR_LINES] & 0x60) | 4);
    tc.Image[ZAR_TC_VITC_GENERATOR_LINES + 1] = UCHAR((tc.Image[ZAR_TC_VITC_GENERATOR_LINES + 1] & 0x60) | 6);
    tc.VitcStatus = ZarTandrelNormalRate(ext) | 0x100 | TANDREL_STATUS_NO_CODE;

    const WCHAR* burnName[1] = {u"BurnInGeneratorDelayFields"};
    ULONG burnDelay;
    ZarTandrelReadValues(burnName, &burnDelay, 1);
    if (burnDelay < kDelayLimit) tc.Streams[ZAR_STREAM_BURN_IN].Delay = LONG(burnDelay);
    ZarTandrelBurnIn_Initialize(ext);

    for (ULONG k = 0; k < 2; ++k) {
        tc.CounterBase[k][0] = tc.CounterBase[k][1] = 0;
        tc.CounterFlags[k] = ZarTandrelNormalRate(ext) | kFieldCounterBit8;
        if (ZarTandrelNormalRate(ext) > 28) tc.CounterFlags[k] |= TANDREL_STATUS_DROP_FRAME;
    }
    tc.Initialized = TRUE;
}

void ZarTandrel_OnDriverUnload(PZAR_DEVICE_EXTENSION ext)
{
    // Nothing runs a callback after this: the exchange stops under the lock.
    if (!ext->TimeCode.Initialized) return;
    KIRQL old;
    KeAcquireSpinLock(&ext->TimeCode.StreamLock, &old);
    ext->TimeCode.ExchangeDisabled = TRUE;
    KeReleaseSpinLock(&ext->TimeCode.StreamLock, old);
    KeRemoveQueueDpc(&ext->TimeCode.FieldDpc);
    KeRemoveQueueDpc(&ext->TimeCode.FieldDpc24);
}

void ZarTandrel_OnSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    if (!tc.Initialized) return;
    KIRQL old;
    KeAcquireSpinLock(&tc.StreamLock, &old);
    tc.ExchangeDisabled = TRUE;
    KeReleaseSpinLock(&tc.StreamLock, old);

    tc.Mode24 = ext->Hdcam24FpsMode;
    if (tc.Mode24 == 0)
        ZarICS2008A_Reset(ext);
    else
        ZarICS2008A_MaskInterrupt(ext, TRUE);
    ZarTandrelSetRates(ext);

    KeAcquireSpinLock(&tc.StreamLock, &old);
    tc.ExchangeDisabled = FALSE;
    KeReleaseSpinLock(&tc.StreamLock, old);
}

void ZarTandrelMasterClock_OnVerticalInterrupt(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    if (!tc.Initialized) return;
    // In the second 24-frame mode the fields counted are the 24-frame
    // logic's: its parity, and none while it skips one.
    const bool logic24 = tc.Mode24 == 2;
    if (logic24 && ext->Jpeg.OptionHold) return;
    const ULONG parity = logic24 ? ext->Jpeg.OptionParity : ext->FieldParity;
    // Even counts keep to one field parity.
    ULONG count = tc.MasterCount + 1;
    if ((count & 1) != (parity & 1)) ++count;
    tc.MasterCount = count;
    KeQuerySystemTime(&tc.VerticalTime);
    if (tc.Mode24 != 0) KeInsertQueueDpc(&tc.FieldDpc24, nullptr, nullptr);
}

void ZarTandrel_RunField(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    KIRQL old;
    KeAcquireSpinLock(&tc.StreamLock, &old);
    if (!tc.ExchangeDisabled && ZarTandrelMasterClockPost(ext) != 0) {
        ++tc.FieldDpcRuns;
        ULONG count = tc.LastPosted;
        ZarTandrelFieldCounterUpdate(ext, count);
        ZarTandrelChipExchange(ext);
        ZarTandrelReaderPost(ext, ZAR_STREAM_LTC_READER, count);
        ZarTandrelReaderPost(ext, ZAR_STREAM_VITC_READER, count);
        ZarTandrelGeneratorFetch(ext, ZAR_STREAM_LTC_GENERATOR, count);
        ZarTandrelGeneratorFetch(ext, ZAR_STREAM_VITC_GENERATOR, count);
        ZarTandrelBurnIn_GetOutputFromTandrel(ext);
    }
    KeReleaseSpinLock(&tc.StreamLock, old);
}

NTSTATUS ZarTandrel_DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ZAR_INTERNAL_GET_STREAM_COUNT:
        if (out < 4) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        buffer[0] = TANDREL_STREAM_COUNT;
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 4);
    case IOCTL_ZAR_INTERNAL_GET_STREAM_INFO: {
        if (in < 4 || out < sizeof(TANDREL_STREAM_INFO)) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        ULONG index = buffer[0];
        if (index >= TANDREL_STREAM_COUNT) return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        const ZAR_TANDREL_STREAM& s = tc.Streams[index];
        TANDREL_STREAM_INFO info{s.Index, s.Type, s.FieldRate, s.Name, s.Delay};
        std::memcpy(buffer, &info, sizeof(info));
        return ZarCompleteRequest(irp, STATUS_SUCCESS, sizeof(info));
    }
    case IOCTL_ZAR_INTERNAL_CONNECT_STREAM: {
        if (in < sizeof(TANDREL_STREAM_CONNECT)) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        TANDREL_STREAM_CONNECT connect;
        std::memcpy(&connect, buffer, sizeof(connect));
        if (connect.Index >= TANDREL_STREAM_COUNT) return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        NTSTATUS status = STATUS_SUCCESS;
        KIRQL old;
        KeAcquireSpinLock(&tc.StreamLock, &old);
        ZAR_TANDREL_STREAM& s = tc.Streams[connect.Index];
        if (s.Callback != nullptr) {
            status = kStatusDeviceBusy;
        } else {
            s.Callback = connect.Callback;
            s.Context = connect.Context;
        }
        KeReleaseSpinLock(&tc.StreamLock, old);
        return ZarCompleteRequest(irp, status, 0);
    }
    case IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM: {
        if (in < 4) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        ULONG index = buffer[0];
        if (index >= TANDREL_STREAM_COUNT) return ZarCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
        KIRQL old;
        KeAcquireSpinLock(&tc.StreamLock, &old);
        tc.Streams[index].Callback = nullptr;
        tc.Streams[index].Context = nullptr;
        if (index == ZAR_STREAM_MASTER_CLOCK) tc.Posted = FALSE;
        KeReleaseSpinLock(&tc.StreamLock, old);
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    default:
        return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS ZarTandrel_DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PZAR_DEVICE_EXTENSION ext = ZarExtension(device);
    ULONG stream = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (stream >= TANDREL_STREAM_COUNT) return ZarCompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    PZAR_TANDREL_HOOK hook = ext->TimeCode.Streams[stream].Hook;
    if (hook == nullptr) return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    // The hook completes the request (or leaves it pending).
    return hook(ext, stream, irp);
}

NTSTATUS ZarTandrelFieldCounter_SetBase(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* words = static_cast<PULONG>(buffer);
    if (words[0] > 1) return STATUS_INVALID_PARAMETER;
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    KIRQL old;
    KeAcquireSpinLock(&tc.StreamLock, &old);
    tc.CounterBase[words[0]][0] = words[1];
    tc.CounterBase[words[0]][1] = words[2];
    ULONG& flags = tc.CounterFlags[words[0]];
    flags = (words[3] & 1) ? flags | TANDREL_STATUS_DROP_FRAME : flags & ~TANDREL_STATUS_DROP_FRAME;
    KeReleaseSpinLock(&tc.StreamLock, old);
    return STATUS_SUCCESS;
}

NTSTATUS ZarTandrel_EnableTimecodeDataExchange(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    KIRQL old;
    KeAcquireSpinLock(&tc.StreamLock, &old);
    tc.ExchangeDisabled = *static_cast<PULONG>(buffer) == 0;
    KeReleaseSpinLock(&tc.StreamLock, old);
    return STATUS_SUCCESS;
}

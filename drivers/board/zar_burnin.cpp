// The burn-in window: eight characters the time-code chip keys into the
// output picture. Once a field the burn-in stream fetches a time-code
// record from its client and turns it, through one of three elements of the
// burn-in configuration, into the window's character codes, style,
// indicator and blink; the configuration's position words place the window.

#include <cstring>

#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_timecode.h"

namespace {

constexpr UCHAR kCodeUnderscore = 12;
constexpr UCHAR kCodeBlank = 15;
constexpr UCHAR kCodeUnknown = 11;
constexpr char kCodeChars[] = "0123456789??__? ";
constexpr ULONG kLargeCellHeight = 15, kLargeCellWidth = 60;
constexpr ULONG kSmallCellHeight = 8, kSmallCellWidth = 25;
constexpr UCHAR kLargeFontBit = 0x01;          // register 60
constexpr UCHAR kHiddenColumn = 255;
constexpr ULONG kDefaultLine = 90, kDefaultColumn = 50;
constexpr ULONG kStyleNone = 0xFFFFFFFF;
constexpr ULONG kStatusIndicatorOn = 1u << 8;
constexpr ULONG kStatusIndicatorOff = 1u << 16;
constexpr ULONG kStatusConditions = 0x0F000000;
constexpr UCHAR kDropFrameBit = 0x04;          // in the frame-tens byte
constexpr ULONG kColumnGapFirst = 114, kColumnGap = 14;

struct ZAR_WINDOW_LIMITS {
    ULONG LineMin, LineMax, ColumnMin, ColumnMax;
};

ZAR_WINDOW_LIMITS ZarBurnInLimits(BOOLEAN largeCell, ULONG rate)
{
    if (largeCell) return rate == 25 ? ZAR_WINDOW_LIMITS{11, 139, 37, 107} : ZAR_WINDOW_LIMITS{10, 115, 33, 106};
    return rate == 25 ? ZAR_WINDOW_LIMITS{11, 147, 37, 178} : ZAR_WINDOW_LIMITS{10, 123, 33, 178};
}

ULONG ZarBurnInBack(ULONG value, ULONG min, ULONG span)
{
    if (span == 0) return 0;
    return ((value - min) * 100 + span / 2) / span;
}

ULONG ZarDecodeBcd(ULONG maximum, ULONG tens, ULONG units)
{
    if (tens > maximum / 10) tens = maximum / 10;
    if (units > 9) units = 9;
    ULONG value = tens * 10 + units;
    return value > maximum ? maximum : value;
}

bool ZarBurnInLarge(const ZAR_BURNIN_STATE& b) { return b.Config.CellHeight >= kLargeCellHeight; }

ULONG ZarBurnInRate(PZAR_DEVICE_EXTENSION ext) { return ext->TimeCode.Streams[ZAR_STREAM_BURN_IN].FieldRate; }

// Line and column registers from the configuration's position words; FALSE
// when neither changed.
bool ZarBurnInPlaceWindow(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_BURNIN_STATE& b = tc.BurnIn;
    UCHAR line = UCHAR(ZarBurnInCalcLine(ZarBurnInLarge(b), ZarBurnInRate(ext), b.Config.Line, nullptr));
    UCHAR column = UCHAR(ZarBurnInCalcColumn(ZarBurnInLarge(b), ZarBurnInRate(ext), b.Config.Column, nullptr));
    if (!b.Shown) column = kHiddenColumn;
    bool changed = tc.Image[ZAR_TC_BURNIN_WINDOW] != column || b.SavedLine != line;
    tc.Image[ZAR_TC_BURNIN_WINDOW] = column;
    tc.Image[ZAR_TC_BURNIN_WINDOW + 1] = line;
    b.SavedLine = line;
    return changed;
}

void ZarBurnInApplyCell(PZAR_DEVICE_EXTENSION ext, ULONG height, ULONG width)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    bool large = height >= kLargeCellHeight || width >= kLargeCellWidth;
    tc.BurnIn.Config.CellHeight = large ? kLargeCellHeight : kSmallCellHeight;
    tc.BurnIn.Config.CellWidth = large ? kLargeCellWidth : kSmallCellWidth;
    UCHAR& control = tc.Image[ZAR_TC_BURNIN_CONTROL];
    control = UCHAR(large ? control | kLargeFontBit : control & ~kLargeFontBit);
}

UCHAR ZarBurnInStyleBits(ULONG style)
{
    switch (style) {
    case 2: return 0x0;
    case 3: return 0x6;
    case 4: return 0x4;
    default: return 0x2;
    }
}


}  // namespace

UCHAR ZarBurnInEncode(char c)
{
    if (c >= '0' && c <= '9') return UCHAR(c - '0');
    if (c == '_') return kCodeUnderscore;
    if (c == ' ') return kCodeBlank;
    return kCodeUnknown;
}

char ZarBurnInDecode(UCHAR code) { return kCodeChars[code & 15]; }

void ZarBurnInUpdateEffect(TANDREL_BURNIN_ELEMENT* e, UCHAR codes[4])
{
    if (e->Style > 4) e->Style = 0;
    if (e->Content > 3) e->Content = 0;
    if (e->Indicator > 2) e->Indicator = 0;
    if (e->LeadingZeros > 2) e->LeadingZeros = 0;
    e->Changed = 1;
    for (ULONG i = 0; i < 4; ++i) {
        // Characters 1-2 go into the last byte: the chip shows register 45's high nibble first.
        codes[3 - i] = UCHAR(ZarBurnInEncode(e->Text[2 * i]) << 4 | ZarBurnInEncode(e->Text[2 * i + 1]));
        e->Text[2 * i] = ZarBurnInDecode(codes[3 - i] >> 4);
        e->Text[2 * i + 1] = ZarBurnInDecode(codes[3 - i] & 15);
    }
}

void ZarBurnInConvertToBcdFrameNumber(const TANDREL_TIMECODE_RECORD* record, UCHAR out[4])
{
    const UCHAR* b = record->Bytes;
    const ULONG rate = record->Status & 0xFF;
    const ULONG hours = ZarDecodeBcd(23, b[7] & 3, b[6] & 15);
    const ULONG minutes = ZarDecodeBcd(59, b[5] & 7, b[4] & 15);
    const ULONG seconds = ZarDecodeBcd(59, b[3] & 7, b[2] & 15);
    const ULONG frames = ZarDecodeBcd(rate == 29 ? 29 : (rate ? rate - 1 : 0), b[1] & 3, b[0] & 15);
    ULONG f = rate;
    if (rate == 29) f = (b[1] & kDropFrameBit) ? 29 : 30;
    ULONG n;
    if (f == 29) {
        const ULONG t = minutes / 10, u = minutes % 10;
        if (u != 0) {
            n = (t + 6 * hours) * 17982 + u * 1798 + 2;
            if (seconds != 0)
                n += frames + seconds * 30 - 2;
            else if (frames >= 2)
                n += frames - 2;
        } else {
            n = (t + 6 * hours) * 17982 + seconds * 30 + frames;
        }
    } else {
        n = ((hours * 60 + minutes) * 60 + seconds) * f + frames;
    }
    for (ULONG i = 0; i < 4; ++i) {
        ULONG units = n % 10;
        n /= 10;
        out[i] = UCHAR((n % 10) << 4 | units);
        n /= 10;
    }
}

void ZarBurnInContent(const TANDREL_BURNIN_ELEMENT* e, const UCHAR fixed[4], const TANDREL_TIMECODE_RECORD* record,
                      UCHAR out[8])
{
    const UCHAR* b = record->Bytes;
    switch (e->Content) {
    case 1:
        for (ULONG i = 0; i < 8; ++i) {
            UCHAR group = b[7 - i] >> 4;
            out[i] = group <= 9 ? group : kCodeUnknown;
        }
        return;
    case 2:
        for (ULONG i = 0; i < 8; ++i) out[i] = i % 2 == 0 ? fixed[3 - i / 2] >> 4 : fixed[3 - i / 2] & 15;
        return;
    case 3: {
        UCHAR bcd[4];
        ZarBurnInConvertToBcdFrameNumber(record, bcd);
        for (ULONG i = 0; i < 8; ++i) out[i] = i % 2 == 0 ? bcd[3 - i / 2] >> 4 : bcd[3 - i / 2] & 15;
        return;
    }
    default:
        break;
    }
    // Time code: the tens carry flag bits above their 2 or 3 digit bits.
    static const UCHAR tensMask[4] = {3, 7, 7, 3};  // hours, minutes, seconds, frames
    for (ULONG i = 0; i < 8; ++i) {
        UCHAR v = b[7 - i] & 15;
        out[i] = i % 2 == 0 ? UCHAR(v & tensMask[i / 2]) : v;
    }
    if ((e->LeadingZeros == 1 || e->LeadingZeros == 2) && e->LeadingDigits > 0 && out[0] == 0) {
        UCHAR fill = e->LeadingZeros == 1 ? kCodeUnderscore : kCodeBlank;
        for (ULONG i = 0; i < 8 && i < e->LeadingDigits && out[i] == 0; ++i) out[i] = fill;
    }
}

ULONG ZarBurnInCalcLine(BOOLEAN largeCell, ULONG rate, ULONG position, PULONG backComputed)
{
    ZAR_WINDOW_LIMITS l = ZarBurnInLimits(largeCell, rate);
    if (position > 100) position = 100;
    ULONG span = l.LineMax - l.LineMin;
    ULONG line = l.LineMin + (span * position + 50) / 100;
    if (backComputed) *backComputed = ZarBurnInBack(line, l.LineMin, span);
    return line;
}

ULONG ZarBurnInCalcColumn(BOOLEAN largeCell, ULONG rate, ULONG position, PULONG backComputed)
{
    ZAR_WINDOW_LIMITS l = ZarBurnInLimits(largeCell, rate);
    if (position > 100) position = 100;
    // Columns 114-127 do not exist on the chip: a span across them skips them.
    const bool gap = l.ColumnMin < kColumnGapFirst && l.ColumnMax >= kColumnGapFirst;
    ULONG span = l.ColumnMax - l.ColumnMin - (gap ? kColumnGap : 0);
    ULONG column = l.ColumnMin + (span * position + 50) / 100;
    if (backComputed) *backComputed = ZarBurnInBack(column, l.ColumnMin, span);
    if (gap && column >= kColumnGapFirst) column += kColumnGap;
    return column;
}

void ZarTandrelBurnIn_Initialize(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_BURNIN_STATE& b = ext->TimeCode.BurnIn;
    RtlZeroMemory(&b, sizeof(b));
    b.Config.Line = kDefaultLine;
    b.Config.Column = kDefaultColumn;
    for (ULONG i = 0; i < 3; ++i) {
        std::memset(b.Config.Element[i].Text, ' ', 8);
        ZarBurnInUpdateEffect(&b.Config.Element[i], b.Codes[i]);
    }
    b.StyleApplied = kStyleNone;
    ZarBurnInApplyCell(ext, kLargeCellHeight, kLargeCellWidth);
    b.Shown = FALSE;
    ZarBurnInPlaceWindow(ext);
}

void ZarTandrelBurnIn_GetOutputFromTandrel(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_TANDREL_STREAM& s = tc.Streams[ZAR_STREAM_BURN_IN];
    ZAR_BURNIN_STATE& b = tc.BurnIn;
    if (s.Callback == nullptr) return;
    const ULONG count = tc.LastPosted;
    TANDREL_TIMECODE_RECORD record{};
    if (s.Callback(s.Context, count + ULONG(s.Delay), &record, 0, sizeof(record)) == 0) return;

    ULONG which = (record.Status & TANDREL_STATUS_NO_CODE) ? 1 : (record.Status & kStatusConditions) == 0 ? 0 : 2;
    const TANDREL_BURNIN_ELEMENT& e = b.Config.Element[which];
    UCHAR& control = tc.Image[ZAR_TC_EXCHANGE_CONTROL];
    if (e.Style != b.StyleApplied) {
        control = UCHAR((control & ~0x6) | ZarBurnInStyleBits(e.Style));
        b.StyleApplied = e.Style;
    }

    UCHAR codes[8];
    ZarBurnInContent(&e, b.Codes[which], &record, codes);
    for (ULONG i = 0; i < 4; ++i) tc.Image[ZAR_TC_BURNIN_CODES + 3 - i] = UCHAR(codes[2 * i] << 4 | codes[2 * i + 1]);

    bool indicator = e.Indicator == 2 ||
                     (e.Indicator == 0 && (record.Status & kStatusIndicatorOn) && !(record.Status & kStatusIndicatorOff));
    control = UCHAR(indicator ? control | 1 : control & ~1);

    UCHAR& line = tc.Image[ZAR_TC_BURNIN_WINDOW + 1];
    const ULONG n = e.BlinkPeriod;
    if (n == 0) {
        if (line == 0) {
            line = b.SavedLine;
            b.WindowPending = TRUE;
        }
    } else {
        ULONG m = count % (2 * n);
        if (m == 0) {
            line = 0;
            b.WindowPending = TRUE;
        } else if (m == n) {
            line = b.SavedLine;
            b.WindowPending = TRUE;
        }
    }
    if (b.WindowPending) {
        b.WindowPending = FALSE;
        ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_WINDOW, 2);
    }
}

NTSTATUS ZarTandrelBurnIn_DeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ZAR_TIMECODE_STATE& tc = ext->TimeCode;
    ZAR_BURNIN_STATE& b = tc.BurnIn;
    const bool writable = stack->FileObject == nullptr || stack->FileObject->WriteAccess;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ZAR_TANDREL_GET_CONFIGURATION: {
        if (out < 8) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        ULONG config[2] = {tc.Streams[stream].FieldRate, 1};
        std::memcpy(buffer, config, sizeof(config));
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 8);
    }
    case IOCTL_ZAR_TANDREL_BURNIN_SHOW_HIDE: {
        if (!writable) return ZarCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
        if (in < 4) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KIRQL old;
        KeAcquireSpinLock(&tc.StreamLock, &old);
        b.Shown = *static_cast<PULONG>(buffer) != 0;
        ZarBurnInPlaceWindow(ext);
        ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_WINDOW, 2);
        KeReleaseSpinLock(&tc.StreamLock, old);
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_ZAR_TANDREL_BURNIN_GET_CONFIGURATION:
        if (out < sizeof(TANDREL_BURNIN_CONFIGURATION)) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        std::memcpy(buffer, &b.Config, sizeof(b.Config));
        return ZarCompleteRequest(irp, STATUS_SUCCESS, sizeof(b.Config));
    case IOCTL_ZAR_TANDREL_BURNIN_SET_CONFIGURATION: {
        if (!writable) return ZarCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
        if (in < sizeof(TANDREL_BURNIN_CONFIGURATION)) return ZarCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
        TANDREL_BURNIN_CONFIGURATION config;
        std::memcpy(&config, buffer, sizeof(config));
        KIRQL old;
        KeAcquireSpinLock(&tc.StreamLock, &old);
        b.Config.Line = config.Line > 100 ? 100 : config.Line;
        b.Config.Column = config.Column > 100 ? 100 : config.Column;
        ZarBurnInApplyCell(ext, config.CellHeight, config.CellWidth);
        for (ULONG i = 0; i < 3; ++i) {
            b.Config.Element[i] = config.Element[i];
            ZarBurnInUpdateEffect(&b.Config.Element[i], b.Codes[i]);
        }
        b.StyleApplied = kStyleNone;
        if (ZarBurnInPlaceWindow(ext)) ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_WINDOW, 2);
        ZarICS2008A_WriteIndirectRegisters(ext, ZAR_TC_BURNIN_CONTROL, 1);
        KeReleaseSpinLock(&tc.StreamLock, old);
        return ZarCompleteRequest(irp, STATUS_SUCCESS, 0);
    }
    }
    return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

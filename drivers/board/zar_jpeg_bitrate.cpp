// JPEG bit-rate control: the rate settings of a record command, the size of
// the field the codec measured, the quantiser for the next field, and the
// codec-progress check that takes a channel out of real time.
//
// Quantiser index 0 is the coarsest and 31 the finest (the scale table falls
// with the index), so a field that came out too big moves the index down.
// The expected-size table is read against the path's activity reading of
// the input (board register 0x4400), which the descriptor being prepared
// carries as its reference word.

#include "zar_audio.h"
#include "zar_extension.h"
#include "zar_jpeg.h"
#include "include/zar_jpeg_tables.h"

namespace {

constexpr ULONG kRegStatus = 0x08;
constexpr ULONG kRegBitCount = 0x17;   // 24 bits, most significant first
constexpr ULONG kProcessCountShift = 6;
constexpr ULONG kRateFixed = 0;
constexpr ULONG kRateCorrected = 2;
constexpr ULONG kRateUnconstrained = 3;
constexpr ULONG kModeRecord = 64;
constexpr ULONG kModeMeasure = 65;
constexpr ULONG kModeHoldTarget = 17;
constexpr ULONG kModeScrubTarget = 18;
constexpr ULONG kTargetFloor = 1000;
constexpr ULONG kFeedbackFields = 36;   // positions below this still steer the quantiser
constexpr ULONG kMaxQuantiser = 31;
constexpr ULONG kTableStart = 16;
constexpr LONG kCorrectionMin = -8;
constexpr LONG kCorrectionMax = 6;
constexpr ULONG kRealtimeBit[ZAR_JPEG_CHANNEL_COUNT] = {0x1, 0x2};
constexpr ULONG kAddressUncompressed = 0x8000;

// Bytes of the marker segments a compressed field carries besides its data:
// start of image, frame and scan headers, end of image, and the optional
// segments the codec's marker register selects (bits 3-7).
constexpr ULONG kFrameHeader = 17;
constexpr ULONG kScanHeader = 12;
struct ZAR_JPEG_SEGMENT {
    ULONG Bit;
    ULONG Length;
};
constexpr ZAR_JPEG_SEGMENT kOptionalSegments[] = {
    {0x08, 4},    // restart interval
    {0x10, 418},  // Huffman tables
    {0x20, 132},  // quantisation tables
    {0x40, 62},   // comment
    {0x80, 16},   // application segment
};
constexpr ULONG kRecordMarkers = 0xA2;

ULONG ZarClampQuantiser(LONG q) { return q < 0 ? 0 : q > LONG(kMaxQuantiser) ? kMaxQuantiser : ULONG(q); }

}  // namespace

void ZarJpegCommandSetBitRateControl(PZAR_DEVICE_EXTENSION ext, ULONG channel, const ZAR_JPEG_COMMAND* command)
{
    if (channel >= ZAR_JPEG_CHANNEL_COUNT) return;
    ZAR_JPEG_RATE& r = ext->Jpeg.Channel[channel].Rate;
    const ULONG max = ext->UncompressedFieldBlocks;
    r.Mode = command->RateMode;
    r.FixedQuantiser = command->FixedQuantiser;
    for (ULONG f = 0; f < 2; ++f) {
        ULONG upper = command->UpperSize[f];
        ULONG hard = command->HardLimit[f];
        if (hard == 0) hard = upper == max ? max : upper + upper / 2;
        r.Upper[f] = upper;
        r.Row[f] = upper / 5;
        r.Hard[f] = hard < max ? hard : max;
        r.Lower[f] = upper * 3 / 4;
        r.Target[f] = command->Target[f];
        r.Keep[f] = FALSE;
        if (r.Mode == kRateUnconstrained) {
            r.Upper[f] = max;
            r.Hard[f] = max;
            r.Row[f] = 0;
        }
    }
    if (r.Mode == kRateUnconstrained) r.FixedQuantiser = 0;
}

ULONG ZarJpegGetCompressedSize(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel < ZAR_JPEG_CHANNEL_COUNT && ext->Jpeg.Channel[channel].Rate.Mode == kRateUnconstrained)
        return ext->UncompressedFieldBlocks;
    ULONG bits = (ULONG(ZarJpegRegRead(ext, channel, kRegBitCount) & 0xFF) << 16) |
                 (ULONG(ZarJpegRegRead(ext, channel, kRegBitCount + 1) & 0xFF) << 8) |
                 (ZarJpegRegRead(ext, channel, kRegBitCount + 2) & 0xFF);
    ULONG bytes = bits / 8 + 4 + kFrameHeader + kScanHeader + 4;
    // Only the record programme asks the codec for optional segments.
    for (const ZAR_JPEG_SEGMENT& s : kOptionalSegments)
        if (kRecordMarkers & s.Bit) bytes += s.Length + 2;
    return bytes / ZAR_JPEG_BLOCK_BYTES + 1;
}

ULONG ZarJpegCalculateQFactor(PZAR_DEVICE_EXTENSION ext, ULONG channel, ZAR_JPEG_FIELD_DESCRIPTOR* prepared,
                              const ZAR_JPEG_FIELD_DESCRIPTOR* previous)
{
    ZAR_JPEG_CHANNEL& ch = ext->Jpeg.Channel[channel];
    ZAR_JPEG_RATE& r = ch.Rate;
    const ZAR_VIDEO_CHANNEL_STATE& s = ch.State;
    const ULONG p = s.Parity ^ 1;
    const bool measuring = s.ModeWord == kModeMeasure && s.Position >= 2;

    if (r.Mode == kRateUnconstrained || r.Mode == kRateFixed) {
        if (measuring) r.Keep[p] = TRUE;
        return r.Mode == kRateFixed ? ZarClampQuantiser(LONG(r.FixedQuantiser)) : 0;
    }

    ULONG target = kTargetFloor;
    if (s.ModeWord == kModeRecord || s.ModeWord == kModeScrubTarget)
        target = prepared->Reference;
    else if (s.ModeWord == kModeHoldTarget)
        target = r.Target[p];
    if (target <= kTargetFloor) target = kTargetFloor;

    if (measuring) {
        const ULONG size = r.LastSize[p], q = r.LastQuantiser[p];
        const ULONG low = r.Lower[p], up = r.Upper[p];
        if ((low <= size && size <= up) || (q == kMaxQuantiser && size < low) || (q == 0 && size > up) ||
            s.Position >= kFeedbackFields) {
            r.Keep[p] = TRUE;
            return q;
        }
        const ULONG mid = (up + low) / 2;
        LONG next = LONG((mid * q) / (size > 16 ? size : 16));
        if (mid < size && next >= LONG(q)) next = LONG(q) - 1;
        if (mid > size && next <= LONG(q)) next = LONG(q) + 1;
        return ZarClampQuantiser(next);
    }

    const uint32_t* row = ZarJpegExpectedSize[r.Row[p] < ZAR_JPEG_TABLE_ROWS ? r.Row[p] : ZAR_JPEG_TABLE_ROWS - 1];
    ULONG index;
    if (target <= row[kTableStart]) {
        for (index = kTableStart; index < kMaxQuantiser && row[index + 1] >= target; ++index) {}
    } else {
        for (index = kTableStart - 1; index > 0 && !(target < row[index]); --index) {}
    }
    if (r.Mode == kRateCorrected && previous != nullptr) {
        const LONG d = LONG(previous->Size);
        const LONG n = previous->Quantiser;
        LONG k = d == 0 ? 0 : ((LONG(r.Upper[p]) - d) * (n + 1)) / d;
        if (k > 0) --k;
        LONG c = previous->Correction + k;
        c = c < kCorrectionMin ? kCorrectionMin : c > kCorrectionMax ? kCorrectionMax : c;
        if (c > 0 && target > previous->Reference + previous->Reference / 8) c = 0;
        prepared->Correction = static_cast<CHAR>(c);
        return ZarClampQuantiser(LONG(index) + c);
    }
    return index;
}

NTSTATUS ZarJpegProcessCountCheck(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    ZAR_JPEG_STATE& j = ext->Jpeg;
    ZAR_VIDEO_CHANNEL_STATE& s = j.Channel[channel].State;
    // An uncompressed field passes without the codec's engine, and a codec
    // out of real time processes nothing.
    if (channel == 0 && (j.SdramAddress[0] & kAddressUncompressed)) return STATUS_SUCCESS;
    if (!(j.CodecControlAtField & kRealtimeBit[channel])) return STATUS_SUCCESS;

    const ULONG count = (ZarJpegRegRead(ext, channel, kRegStatus) >> kProcessCountShift) & 3;
    NTSTATUS status = STATUS_SUCCESS;
    if (ext->FieldCounter - s.ProcessField == 1 &&
        (((count - s.ProcessCount) & 3) != 1 || j.ClockDiscontinuity != 0)) {
        s.ErrorFlag = 1;
        s.StateWord = ZAR_VIDEO_ERROR;
        if (j.ClockCountdown != 0) s.ErrorInCountdown = 1;
        j.ClockDiscontinuity = 0;
        status = STATUS_UNSUCCESSFUL;
    }
    s.ProcessCount = count;
    s.ProcessField = ext->FieldCounter;
    return status;
}

ULONG ZarJpegQuantiserFromFieldCount(ULONG fields)
{
    return fields / 2 < kMaxQuantiser ? fields / 2 : kMaxQuantiser;
}

// Video input mode, the video-input proc amp and the video-input monitor.
//
// The monitor thread samples the decoder every fourth field (the VBI DPC
// wakes it) and moves between declared lock and no lock with hysteresis:
// four locked samples in a row declare lock, sixteen unlocked ones drop it.
// It meets the mode change through two flags: a pass marks itself running
// before it looks at the mode-change flag, and the mode change raises its
// flag before it waits for a running pass, so the two never overlap.

#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_i2c.h"
#include "zar_videochips.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kDecoderStatusRegister = 0x1F;
constexpr ULONG kDecoderQualityRegister = 0x60;
constexpr UCHAR kStatusInterlaced = 0x80;
constexpr UCHAR kStatusNoLock = 0x40;
constexpr UCHAR kQualityUnstable = 0x04;
constexpr ULONG kQualityStep = 8;

constexpr ULONG kSourceDigitalIoFirst = 7;
constexpr ULONG kSourceDigitalIoLast = 8;
constexpr ULONG kSourceMatte = 100;
constexpr ULONG kAnyField = 2;

constexpr LONGLONG kPassWaitStep = -10 * 10000LL;  // 10 ms
constexpr ULONG kPassWaitSteps = 101;

// Input control word bits.
constexpr ULONG kInputBit0 = 0x1;
constexpr ULONG kInputBit2 = 0x4;
constexpr ULONG kInputBit3 = 0x8;
constexpr ULONG kInputBit4 = 0x10;
// Video control word fields.
constexpr ULONG kVideoPath = 0x7;
constexpr ULONG kVideoBit4 = 0x10;
constexpr ULONG kVideoBit5 = 0x20;
constexpr ULONG kVideoBit6 = 0x40;
constexpr ULONG kVideoFrameStoreHold = 0x80;  // the input frame store keeps its frame
constexpr ULONG kVideoHPositionShift = 9;
constexpr ULONG kVideoHPosition = 0x7 << kVideoHPositionShift;

// Decoder registers of the proc amp and their line-control registers.
constexpr ULONG kDecoderBrightness = 0x0A;
constexpr ULONG kDecoderContrast = 0x0B;
constexpr ULONG kDecoderSaturation = 0x0C;
constexpr ULONG kDecoderHue = 0x0D;
constexpr ULONG kLineControl525 = 0x4A;
constexpr ULONG kLineControl625 = 0x47;
constexpr ULONG kLineControlCount = 4;
constexpr UCHAR kLineControlIdle = 0x0F;
constexpr UCHAR kLineControlActive = 0x05;

constexpr ULONG kEncoderSelfId = 0x6F;
constexpr ULONG kEncoderSelfIdBase = 7;

// The default contrast curve through its anchor points, straight between them.
struct ZAR_CURVE_POINT {
    ULONG Index;
    ULONG Value;
};
constexpr ZAR_CURVE_POINT kContrastCurve[] = {{0, 0},    {8, 7},     {16, 12},   {32, 22},
                                              {64, 40},  {128, 72},  {192, 100}, {255, 127}};

struct ZAR_CONTRAST_TABLE {
    ULONG Entry[ZAR_VIN_PROC_AMP_TABLE_ENTRIES];
};

constexpr ZAR_CONTRAST_TABLE ZarDefaultContrastTable()
{
    ZAR_CONTRAST_TABLE table{};
    for (ULONG k = 0; k + 1 < sizeof(kContrastCurve) / sizeof(kContrastCurve[0]); ++k) {
        const ZAR_CURVE_POINT& a = kContrastCurve[k];
        const ZAR_CURVE_POINT& b = kContrastCurve[k + 1];
        for (ULONG i = a.Index; i <= b.Index; ++i)
            table.Entry[i] = a.Value + (b.Value - a.Value) * (i - a.Index) / (b.Index - a.Index);
    }
    return table;
}

// One table for all boards.
ZAR_CONTRAST_TABLE g_ZarContrastTable = ZarDefaultContrastTable();

bool Zar525(PZAR_DEVICE_EXTENSION ext) { return ext->Standard != 625; }

void ZarDelay(LONGLONG relative)
{
    LARGE_INTEGER interval;
    interval.QuadPart = relative;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void ZarSetBit(ULONG* word, ULONG mask, bool set) { *word = set ? (*word | mask) : (*word & ~mask); }

void ZarWriteInputControl(PZAR_DEVICE_EXTENSION ext)
{
    ZarDebiPioWrite(ext, ZAR_REG_INPUT_CONTROL, ext->DebiShadow5474);
}

void ZarSetExternalLockedBit(PZAR_DEVICE_EXTENSION ext, bool set)
{
    ZarSetBit(&ext->DebiShadow5474, ZAR_INPUT_EXTERNAL_LOCKED, set);
    ZarWriteInputControl(ext);
}

BOOLEAN ZarVinDeferVideoControl(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    ext->DeferredRegisterValue = ext->Vin.VideoControl;
    ext->DeferredRegisterPending = TRUE;
    return TRUE;
}

// A deferred write still waiting for its field would put the old position
// back: it takes the new word too.
BOOLEAN ZarVinRefreshDeferredVideoControl(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    if (ext->DeferredRegisterPending) ext->DeferredRegisterValue = ext->Vin.VideoControl;
    return TRUE;
}

BOOLEAN ZarVinSetClockSynchronized(PVOID context)
{
    ZarAudioSetClockFrequency(static_cast<PZAR_DEVICE_EXTENSION>(context));
    return TRUE;
}

void ZarVinDeclareLocked(PZAR_DEVICE_EXTENSION ext)
{
    if (ext->Vin.Mode.LockBitSuppression == 0 && ZarVinIsExternalSource(ext->Vin.Mode.Source))
        ZarSetExternalLockedBit(ext, true);
    ext->Vin.Locked = TRUE;
    ext->Vin.LockCounter = 0;
    ZarDcIoSetGenlockMode(ext);
}

void ZarVinDeclareUnlocked(PZAR_DEVICE_EXTENSION ext)
{
    if (ZarVinIsAnalogSource(ext->Vin.Mode.Source)) {
        ZarSetExternalLockedBit(ext, false);
        ZarDcIoSynchronizeExecution(ext, kAnyField);
    }
    ext->Vin.Locked = FALSE;
    ext->Vin.LockCounter = 0;
    ZarDcIoSetGenlockMode(ext);
}

// Bit 6 of 0xB820 follows the decoder's interlace status (inverted); the
// audio clock depends on it.
void ZarVinMirrorInterlace(PZAR_DEVICE_EXTENSION ext, UCHAR status)
{
    ULONG wanted = (status & kStatusInterlaced) ? 0 : ZAR_BOARD_CONTROL_NO_INTERLACE;
    if ((ext->Setup.AudioControl & ZAR_BOARD_CONTROL_NO_INTERLACE) == wanted) return;
    ZarSetBoardControl(ext, ZAR_BOARD_CONTROL_NO_INTERLACE, wanted);
    ZarRunSynchronized(ext, ZarVinSetClockSynchronized, ext);
}

// The next history bit: 1 unless exactly one of bits 12 and 14 is set.
ULONG ZarVinNextHistory(ULONG history)
{
    ULONG feedback = ((history >> 12) ^ (history >> 14)) & 1;
    return (history << 1) | (feedback ^ 1);
}

}  // namespace

// ---- source classes ----

BOOLEAN ZarVinIsAnalogSource(ULONG source) { return source <= 2; }

BOOLEAN ZarVinIsDigitalIoSource(ULONG source)
{
    return source >= kSourceDigitalIoFirst && source <= kSourceDigitalIoLast;
}

BOOLEAN ZarVinIsExternalSource(ULONG source)
{
    return ZarVinIsAnalogSource(source) || ZarVinIsDigitalIoSource(source);
}

// ---- FPGA video mode ----

void ZarVinSetFpgaMode(PZAR_DEVICE_EXTENSION ext, BOOLEAN updateLockBit)
{
    const ZAR_VIN_MODE& mode = ext->Vin.Mode;
    ULONG source = mode.Source;
    bool w1Clear = mode.LockBitSuppression == 0;
    bool w2Clear = mode.Word2 == 0;
    ULONG input = ext->DebiShadow5474;
    ULONG video = ext->Vin.VideoControl;
    auto path = [&video](ULONG bits) { video = (video & ~kVideoPath) | bits; };

    switch (source) {
    case 0:
    case 1:
    case 2: {
        path(source == 2 ? 0x4 : 0x0);
        bool bit4;
        switch (ext->Vin.InputSetup) {
        case 0: bit4 = source == 2; break;
        case 1: bit4 = false; break;
        case 3: bit4 = !Zar525(ext); break;
        case 4: bit4 = true; break;
        default: bit4 = !Zar525(ext) && source == 2; break;
        }
        ZarSetBit(&video, kVideoBit4, bit4);
        ZarSetBit(&video, kVideoBit6 | kVideoFrameStoreHold, false);
        ZarSetBit(&input, kInputBit2, true);
        if (updateLockBit) ZarSetBit(&input, ZAR_INPUT_EXTERNAL_LOCKED, w1Clear);
        ZarSetBit(&input, kInputBit0, w1Clear);
        ZarSetBit(&input, kInputBit4, false);
        break;
    }
    case 3:
        path(0x3);
        ZarSetBit(&video, kVideoBit4 | kVideoBit6 | kVideoFrameStoreHold, false);
        ZarSetBit(&input, ZAR_INPUT_EXTERNAL_LOCKED | kInputBit0, false);
        ZarSetBit(&input, kInputBit2 | kInputBit4, true);
        break;
    case 4:
    case 5:
    case 6:
        path(0x2);
        ZarSetBit(&video, kVideoBit4 | kVideoFrameStoreHold, false);
        ZarSetBit(&video, kVideoBit5, source == 5);
        ZarSetBit(&video, kVideoBit6, source == 6);
        ZarSetBit(&input, ZAR_INPUT_EXTERNAL_LOCKED | kInputBit2, true);
        ZarSetBit(&input, kInputBit0, w1Clear);
        ZarSetBit(&input, kInputBit4, w2Clear);
        break;
    case 7:
    case 8:
        path(0x1);
        ZarSetBit(&video, kVideoBit4 | kVideoBit6 | kVideoFrameStoreHold, false);
        ZarSetBit(&input, ZAR_INPUT_EXTERNAL_LOCKED | kInputBit2, true);
        ZarSetBit(&input, kInputBit0, w1Clear);
        ZarSetBit(&input, kInputBit4, false);
        break;
    case kSourceMatte:
        path(0x2);
        ZarSetBit(&video, kVideoBit4 | kVideoBit5 | kVideoBit6, false);
        ZarSetBit(&video, kVideoFrameStoreHold, true);
        ZarSetBit(&input, ZAR_INPUT_EXTERNAL_LOCKED | kInputBit2 | kInputBit4, true);
        ZarSetBit(&input, kInputBit0, w1Clear);
        ZarSetBit(&input, kInputBit3, false);
        break;
    default:
        break;
    }

    ext->DebiShadow5474 = input;
    ZarWriteInputControl(ext);
    ext->Vin.VideoControl = video;
    ZarRunSynchronized(ext, ZarVinDeferVideoControl, ext);
}

// The JPEG module's source switching: the source word, then the FPGA video
// mode (its fpgaMode is the lock-bit update flag).
ULONG ZarVinGetInputMode(PZAR_DEVICE_EXTENSION ext) { return ext->Vin.Mode.Source; }

void ZarVinSetInputMode(PZAR_DEVICE_EXTENSION ext, ULONG inputMode, ULONG fpgaMode)
{
    ext->Vin.Mode.Source = inputMode;
    ZarVinSetFpgaMode(ext, fpgaMode != 0);
}

NTSTATUS ZarSetVinHPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ULONG step = *static_cast<const ULONG*>(buffer) & 0x7;
    ext->Vin.VideoControl = (ext->Vin.VideoControl & ~kVideoHPosition) | (step << kVideoHPositionShift);
    ZarRunSynchronized(ext, ZarVinRefreshDeferredVideoControl, ext);
    ZarDebiPioWrite(ext, ZAR_REG_VIDEO_CONTROL, ext->Vin.VideoControl);
    return STATUS_SUCCESS;
}

void ZarVinSetFrameStoreHold(PZAR_DEVICE_EXTENSION ext, bool hold)
{
    ZarSetBit(&ext->Vin.VideoControl, kVideoFrameStoreHold, hold);
    ZarRunSynchronized(ext, ZarVinRefreshDeferredVideoControl, ext);
    ZarDebiPioWrite(ext, ZAR_REG_VIDEO_CONTROL, ext->Vin.VideoControl);
}

bool ZarVinFrameStoreHeld(PZAR_DEVICE_EXTENSION ext) { return (ext->Vin.VideoControl & kVideoFrameStoreHold) != 0; }

// ---- mode change ----

NTSTATUS ZarVinIoSetMode(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_VIN_MODE mode;
    RtlCopyMemory(&mode, buffer, sizeof(mode));
    ZAR_VIN_MODE& current = ext->Vin.Mode;
    if (mode.Source == current.Source && mode.LockBitSuppression == current.LockBitSuppression &&
        mode.Word2 == current.Word2)
        return STATUS_SUCCESS;

    InterlockedExchange(&ext->Vin.ModeChanging, 1);
    for (ULONG i = 0; i < kPassWaitSteps && ext->Vin.PassRunning != 0; ++i) ZarDelay(kPassWaitStep);

    bool sourceChanged = mode.Source != current.Source;
    current = mode;
    if (sourceChanged) {
        if (ZarVinIsAnalogSource(mode.Source)) {
            ZarSetExternalLockedBit(ext, false);
            ext->Vin.Locked = FALSE;
        }
        ZarSaa7113SetInput(ext, mode.Source, TRUE);
    }
    ZarVinSetFpgaMode(ext, TRUE);
    ZarDcIoSynchronizeExecution(ext, kAnyField);
    if (sourceChanged && ZarVinIsExternalSource(mode.Source)) {
        ZarDcIoSetGenlockMode(ext);
        // The next locked sample declares lock.
        ext->Vin.LockCounter = ZAR_VIN_UNLOCK_SAMPLES - 1;
        ZarGfxSetDefaultFramestore(ext);
        ext->Vin.SavedSource = mode.Source;
    }
    InterlockedExchange(&ext->Vin.ModeChanging, 0);
    return STATUS_SUCCESS;
}

NTSTATUS ZarRestoreVinIo(PZAR_DEVICE_EXTENSION ext, PVOID)
{
    if (ext->Vin.Mode.Source != ext->Vin.SavedSource) {
        ext->Vin.Mode.Source = ext->Vin.SavedSource;
        ZarVinSetFpgaMode(ext, TRUE);
    }
    return STATUS_SUCCESS;
}

// ---- proc amp ----

NTSTATUS ZarVinIoSetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    auto* word = static_cast<PULONG>(buffer);
    ext->Vin.Standards = Zar525(ext) ? *word : 0;
    *word = ext->Vin.Standards;
    UCHAR request[4];
    RtlCopyMemory(request, ext->Vin.ProcAmp, sizeof(request));
    return ZarVinIoSetProcAmp(ext, request);
}

NTSTATUS ZarVinIoGetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    *static_cast<PULONG>(buffer) = ext->Vin.Standards;
    return STATUS_SUCCESS;
}

NTSTATUS ZarVinLoadProcAmpTable(PZAR_DEVICE_EXTENSION, const ULONG* table)
{
    RtlCopyMemory(g_ZarContrastTable.Entry, table, sizeof(g_ZarContrastTable.Entry));
    return STATUS_SUCCESS;
}

void ZarVinProcAmpDecoderValues(PZAR_DEVICE_EXTENSION ext, const UCHAR request[4], UCHAR decoder[4])
{
    LONG contrast = LONG(g_ZarContrastTable.Entry[request[0]] & 0xFF);
    if (ext->Vin.Standards != 0) contrast = contrast < 6 ? 0 : contrast - 6;
    LONG gain = ext->Vin.Standards == 0 ? contrast * 112 / 71 : contrast * 120 / 65;
    LONG brightness = LONG(request[1]) + LONG(ext->BlackAdjust) - 122 + gain;
    if (brightness < 0) brightness = 0;
    if (brightness > 255) brightness = 255;
    decoder[0] = UCHAR(brightness);
    decoder[1] = UCHAR(contrast);
    decoder[2] = UCHAR(request[2] / 2);
    decoder[3] = UCHAR((LONG(request[3]) - 128) >> 1);
}

NTSTATUS ZarVinIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    RtlCopyMemory(ext->Vin.ProcAmp, buffer, sizeof(ext->Vin.ProcAmp));
    UCHAR decoder[4];
    ZarVinProcAmpDecoderValues(ext, ext->Vin.ProcAmp, decoder);

    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Lock, &oldIrql);
    RtlCopyMemory(ext->Vin.ProcAmpDecoder, decoder, sizeof(decoder));
    bool deferred = (ext->InterruptEnable & ZAR_INT_FIELD) != 0;
    if (deferred) ext->VinProcAmpPending = TRUE;
    KeReleaseSpinLock(&ext->Lock, oldIrql);

    if (!deferred) ZarVinUpdateProcAmp(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarVinIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    RtlCopyMemory(buffer, ext->Vin.ProcAmp, sizeof(ext->Vin.ProcAmp));
    return STATUS_SUCCESS;
}

// Writes the decoder registers whose image differs from the wanted value.
// The image is what the decoder holds, also after a re-initialisation put
// its defaults back.
void ZarVinUpdateProcAmp(PZAR_DEVICE_EXTENSION ext)
{
    UCHAR values[4];
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->Lock, &oldIrql);
    RtlCopyMemory(values, ext->Vin.ProcAmpDecoder, sizeof(values));
    KeReleaseSpinLock(&ext->Lock, oldIrql);

    const struct {
        ULONG Register;
        UCHAR Value;
    } writes[] = {{kDecoderContrast, values[1]},
                  {kDecoderBrightness, values[0]},
                  {kDecoderSaturation, values[2]},
                  {kDecoderHue, values[3]}};
    for (const auto& w : writes)
        if (*ZarSaa7113ImageByte(ext, w.Register) != w.Value) ZarSaa7113RegisterWrite(ext, w.Register, w.Value, FALSE);
    if (ext->Vin.Mode.Source == 2) ZarDcIoSetCavCalAndProcAmp(ext);
}

// ---- genlock self-identification ----

NTSTATUS ZarVinGenlockSelfIdInit(PZAR_DEVICE_EXTENSION ext)
{
    ULONG p = ext->Vin.History & 0x3;
    bool identify = !ext->Vin.LockOverride && ext->Vin.DecoderPresent;
    for (ULONG encoder = 0; encoder < 2; ++encoder) {
        PUCHAR selfId = ZarSaa7125ImageByte(ext, encoder, kEncoderSelfId);
        if (identify)
            *selfId = UCHAR((*selfId & 0x20) | 0x40 | ((kEncoderSelfIdBase + p) & 0x1F));
        else
            *selfId &= 0x3F;
        ZarSaa7125WriteRegister(ext, encoder, kEncoderSelfId, FALSE);
    }

    ULONG first = Zar525(ext) ? kLineControl525 : kLineControl625;
    for (ULONG reg = first; reg < first + kLineControlCount; ++reg) {
        UCHAR value = *ZarSaa7113ImageByte(ext, reg);
        if ((value & 0x0F) < kLineControlIdle)
            ZarSaa7113RegisterWrite(ext, reg, value | kLineControlIdle, FALSE);
    }
    if (!ext->Vin.LockOverride) {
        ULONG reg = first + p;
        UCHAR value = *ZarSaa7113ImageByte(ext, reg);
        ZarSaa7113RegisterWrite(ext, reg, (value & 0xF0) | kLineControlActive, FALSE);
    }
    return STATUS_SUCCESS;
}

// ---- monitor ----

BOOLEAN ZarVinIsDecoderLocked(PZAR_DEVICE_EXTENSION ext)
{
    UCHAR status;
    if (!NT_SUCCESS(ZarI2cReadByte(ext, ZAR_I2C_DECODER, kDecoderStatusRegister, &status))) return FALSE;
    ZarVinMirrorInterlace(ext, status);
    if (status & kStatusNoLock) {
        // Restarted once the decoder has had no unlocked sample for this long.
        ext->DecoderResetDelay = ZAR_VIN_DECODER_RESTART_FIELDS;
        return FALSE;
    }
    if (ZarVinIsDigitalIoSource(ext->Vin.Mode.Source) && !(status & kStatusInterlaced)) return FALSE;
    if (ext->Vin.LockOverride) return TRUE;

    UCHAR quality;
    if (!NT_SUCCESS(ZarI2cReadByte(ext, ZAR_I2C_DECODER, kDecoderQualityRegister, &quality))) return FALSE;
    if (quality & kQualityUnstable) {
        if (ext->Vin.Quality < ZAR_VIN_QUALITY_LIMIT) ++ext->Vin.Quality;
    } else {
        ext->Vin.Quality = ext->Vin.Quality > kQualityStep ? ext->Vin.Quality - kQualityStep : 0;
    }
    ext->Vin.History = ZarVinNextHistory(ext->Vin.History);
    ZarVinGenlockSelfIdInit(ext);
    return ext->Vin.Quality < ZAR_VIN_QUALITY_LOCKED_BELOW;
}

void ZarVinAdjustEncoderTriggering(PZAR_DEVICE_EXTENSION ext, ULONG trigger)
{
    ext->Vin.EncoderTrigger = trigger;
    for (ULONG encoder : {1u, 0u}) {
        ZarSaa7125SetTriggerPhase(ext, encoder);
        ZarSaa7125WriteRegister(ext, encoder, 0x6B, TRUE);
        ZarSaa7125WriteRegister(ext, encoder, 0x6D, TRUE);
    }
}

void ZarVinMonitorPass(PZAR_DEVICE_EXTENSION ext)
{
    if (!ext->BoardReady || ext->VinMonitorPaused) return;
    InterlockedExchange(&ext->Vin.PassRunning, 1);
    if (ext->Vin.ModeChanging != 0) {
        InterlockedExchange(&ext->Vin.PassRunning, 0);
        return;
    }

    ZAR_VIN_STATE& vin = ext->Vin;
    if (vin.DecoderPresent) {
        bool sample = ZarVinIsDecoderLocked(ext) != FALSE;
        if (sample && !vin.Locked) {
            if (++vin.LockCounter >= ZAR_VIN_LOCK_SAMPLES) ZarVinDeclareLocked(ext);
        } else if (!sample && vin.Locked) {
            if (++vin.LockCounter >= ZAR_VIN_UNLOCK_SAMPLES) ZarVinDeclareUnlocked(ext);
        } else {
            vin.LockCounter = 0;
        }
    } else if (vin.Locked) {
        vin.Quality = 0;
        ZarVinDeclareUnlocked(ext);
    }

    ULONG trigger = Zar525(ext) && vin.Locked && (ext->Setup.AudioControl & ZAR_BOARD_CONTROL_NO_INTERLACE) ? 1 : 0;
    if (trigger != vin.EncoderTrigger) ZarVinAdjustEncoderTriggering(ext, trigger);
    InterlockedExchange(&ext->Vin.PassRunning, 0);
}

void ZarVinMonitorThread(PVOID context)
{
    auto* ext = static_cast<PZAR_DEVICE_EXTENSION>(context);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    for (;;) {
        KeWaitForSingleObject(&ext->VinMonitorThread.Wake, Executive, KernelMode, FALSE, nullptr);
        if (ext->VinMonitorThread.Stop) break;
        ZarVinMonitorPass(ext);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

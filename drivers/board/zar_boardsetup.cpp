// Board set-up after the FPGA load: the post-load sequence that brings every
// unit to a known state, the calibration EEPROM and DACs, M2 routing, the
// encoders, genlock, the audio sample clock, unit resets and the field wait
// the settings use.
//
// Board registers are reached by DEBI programmed I/O; the chips on the I2C
// bus through the I2C engine's byte wrappers. Settings of units that come
// with their own modules (mixer, graphics, video input, JPEG) go through
// those modules' entry points, so the sequence keeps its order while their
// insides are still being written.

#include <cstring>

#include "include/zarkd_jpeg.h"
#include "zar_audio.h"
#include "zar_board_regs.h"
#include "zar_boardsetup.h"
#include "zar_bridge.h"
#include "zar_debi.h"
#include "zar_diag.h"
#include "zar_dpc.h"
#include "zar_extension.h"
#include "zar_gfx.h"
#include "zar_i2c.h"
#include "zar_isr.h"
#include "zar_jpeg.h"
#include "zar_mix.h"
#include "zar_scsi.h"
#include "zar_timecode.h"
#include "zar_videochips.h"
#include "zar_vin.h"

namespace {

constexpr ULONG kDspSelectNone = 0xFF;
constexpr ULONG kAudioControlProbe = 0x80;
constexpr ULONG kScsiProbeCommands[] = {0x00, 0x02, 0x00};
constexpr ULONG kGenlockPositionMask = 0x3F;
constexpr ULONG kGenlockOn = 0x40;
constexpr ULONG kVideoControlStandardMask = 0xF;  // bit 0 525 lines, bits 1-2 set, bit 3 memory source
constexpr ULONG kVideoControl525 = 0x1;
constexpr ULONG kVideoControlInputBits = 0x6;
constexpr ULONG kVideoControlGenlockOff = 0x4;
constexpr ULONG kSystemPrefsResetBits = 0x7;

// The two encoders (I2C addresses) and their registers.
constexpr ULONG kEncoderDevice[] = {0x8C, 0x88};
constexpr ULONG kEncoderChromaPhase = 0x5A;
constexpr ULONG kEncoderRtcRegister = 0x62;
constexpr UCHAR kEncoderRtcBit = 0x80;
constexpr ULONG kPhaseDefault525 = 116;
constexpr ULONG kPhaseDefault625 = 128;

constexpr ULONG kGenlockPositionMax = 63;
constexpr ULONG kGenlockPhaseMax = 255;
constexpr ULONG kGenlockPositionDefault = 32;
constexpr ULONG kGenlockPhaseDefault = 128;
constexpr ULONG kCalibrationMax = 255;

// Audio clock control word.
constexpr ULONG kClockEnable = 0x10;
constexpr ULONG kClockBit3 = 0x08;
constexpr ULONG kClockStandard3 = 0x04;
constexpr ULONG kClockRateMask = 0x03;
constexpr ULONG kAudioStandardCount = 4;
constexpr ULONG kAudioStandardFallback = 1;

// Divider words by standard: free-running, genlocked at 525, genlocked at 625.
constexpr ULONG kAudioDividers[kAudioStandardCount][3][2] = {
    {{29184, 30595}, {32256, 26782}, {30400, 29246}},
    {{28224, 26260}, {21952, 34888}, {27097, 27932}},
    {{19456, 20867}, {17920, 24281}, {20160, 19357}},
    {{28224, 26260}, {21952, 34888}, {27097, 27932}},
};
constexpr ULONG kClockRateBits[kAudioStandardCount] = {0x1, 0x0, 0x2, 0x0};

constexpr LONGLONG kEepromWriteCycle = -150000LL;    // 15 ms, 100 ns units
constexpr LONGLONG kFieldWait = -5000000LL;          // 500 ms
constexpr LONGLONG kShortFieldWait = -500000LL;      // 50 ms
constexpr LONGLONG kSettleWait = -1000000LL;         // 100 ms
constexpr LONGLONG kAudioSettleWait = -2500000LL;    // 250 ms
constexpr ULONG kFieldInterruptSettleUs = 100;
constexpr ULONG kAudioClockSettleUs = 100;

// Neutral settings of the units the resets hand to their modules.
constexpr ULONG kMixerProcAmpSize = 10;      // a dword, then six level bytes
constexpr ULONG kMixerProcAmpNeutral = 128;
constexpr ULONG kPreviewDefault[] = {2, 0};
constexpr UCHAR kMasterFadeFull = 255;
constexpr ZAR_M2_ROUTING kM2RoutingDefault = {{1, 1, 0, 1, 0}};
constexpr ULONG kVideoPrefsWords = 4;
constexpr ULONG kVideoPrefsUvFilterOff = 1;
constexpr ULONG kVideoPrefsInputDefault = 4;
constexpr ULONG kVinModeWords = 5;
constexpr ULONG kVinModeDefault[kVinModeWords] = {0, 0, 1, 0, 0};
constexpr UCHAR kVinProcAmpNeutral = 128;
constexpr ULONG kVinProcAmpBrightness = 1;   // {contrast index, brightness, saturation, hue}

// The frame-store settings block of the graphics module.
struct ZAR_FRAMESTORE_SETTINGS {
    ULONG ModeA, SelectionA, ColumnA, RowA;
    ULONG ModeB, SelectionB, ColumnB, RowB;
    ULONG Flags;
};
static_assert(sizeof(ZAR_FRAMESTORE_SETTINGS) == 36);
constexpr ULONG kFramestoreApplyA = 0x1;
constexpr ULONG kFramestoreApplyB = 0x2;
constexpr ULONG kFramestoreReadFrame = 1;

bool Is525(PZAR_DEVICE_EXTENSION ext) { return ext->Standard != ZAR_STANDARD_625; }

void ZarDelay(LONGLONG interval)
{
    LARGE_INTEGER wait;
    wait.QuadPart = interval;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

BOOLEAN ZarSetClockFrequencySynchronized(PVOID context)
{
    ZarAudioSetClockFrequency(static_cast<PZAR_DEVICE_EXTENSION>(context));
    return TRUE;
}

ULONG ZarAudioSet(ZAR_CALLER_KIND callerKind) { return callerKind < ZAR_AUDIO_SETTING_SETS ? ULONG(callerKind) : 0; }

void ZarWriteVideoControl(PZAR_DEVICE_EXTENSION ext)
{
    ZarDebiPioWrite(ext, ZAR_REG_VIDEO_INPUT_CONTROL, ext->DebiShadow5C00);
}

void ZarApplyM2Routing(PZAR_DEVICE_EXTENSION ext)
{
    const ULONG* r = ext->M2Routing.R;
    ULONG word = (r[0] & 0x3) | ((r[1] & 0x3) << 2) | ((r[2] & 0x1) << 4) | (r[3] == 1 ? 0x40u : 0u) |
                 (r[4] != 0 ? 0x80u : 0u);
    ZarDebiPioWrite(ext, ZAR_REG_M2_ROUTING, word);
}

// Chroma phase to both encoders, then the horizontal position.
void ZarApplyGenlockPosition(PZAR_DEVICE_EXTENSION ext)
{
    ULONG phase = ext->Genlock.PhaseOverride ? ext->Genlock.SubcarrierPhase
                                             : (Is525(ext) ? kPhaseDefault525 : kPhaseDefault625);
    for (ULONG device : kEncoderDevice) ZarI2cWriteByte(ext, device, kEncoderChromaPhase, phase, TRUE);
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    s.GenlockControl = (s.GenlockControl & ~kGenlockPositionMask) | (ext->Genlock.HorizontalPosition & kGenlockPositionMask);
    ZarDebiPioWrite(ext, ZAR_REG_GENLOCK_CONTROL, s.GenlockControl);
}

void ZarApplyCalibration(PZAR_DEVICE_EXTENSION ext)
{
    ZarDcIoSetCavCalAndProcAmp(ext);
    ZarDcSetCalibrationDac(ext, 2, ext->Calibration.Value[2]);
    ZarDcSetCalibrationDac(ext, 3, ext->Calibration.Value[3]);
}

// The owner's audio settings back to their initial values.
void ZarInitAudioSettings(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind)
{
    ext->Setup.AudioStandards[ZarAudioSet(callerKind)] = ZAR_AUDIO_STANDARD_INITIAL;
}

void ZarProbeScsiSupport(PZAR_DEVICE_EXTENSION ext)
{
    if (ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & ZAR_STATUS_PROBE) {
        ZarSetBoardControl(ext, kAudioControlProbe, 0);
        return;
    }
    ZarSetBoardControl(ext, kAudioControlProbe, kAudioControlProbe);
    for (ULONG command : kScsiProbeCommands) ZarDebiPioWrite(ext, ZAR_REG_SCSI_COMMAND, command);
    if (!(ZarDebiPioRead(ext, ZAR_REG_BOARD_STATUS) & ZAR_STATUS_PROBE)) ZarSetBoardControl(ext, kAudioControlProbe, 0);
}

NTSTATUS ZarWaitOneField(PZAR_DEVICE_EXTENSION ext, LONGLONG timeout)
{
    NTSTATUS status = ZarWaitForField(ext, timeout);
    return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

}  // namespace

// ---- EEPROM ----

NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, PULONG value)
{
    UCHAR byte = 0;
    NTSTATUS status = ZarI2cReadByte(ext, ZAR_EEPROM_DEVICE, subAddress, &byte);
    *value = NT_SUCCESS(status) ? byte : 0;
    return status;
}

BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION ext)
{
    ULONG high = 0, low = 0;
    if (!NT_SUCCESS(ZarDcReadEepromByte(ext, ZAR_EEPROM_ID_HIGH, &high))) return FALSE;
    if (!NT_SUCCESS(ZarDcReadEepromByte(ext, ZAR_EEPROM_ID_LOW, &low))) return FALSE;
    return ((high << 8) | low) == ZAR_EEPROM_ID;
}

NTSTATUS ZarDcWriteEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, ULONG value)
{
    NTSTATUS status = ZarI2cWriteByte(ext, ZAR_EEPROM_DEVICE, subAddress, value, TRUE);
    // The part does not answer while its write cycle runs.
    ZarDelay(kEepromWriteCycle);
    return status;
}

void ZarDcIoReadEepromCalibration(PZAR_DEVICE_EXTENSION ext, ZAR_CALIBRATION* calibration)
{
    BOOLEAN valid = ZarDcIsValidEeprom(ext);
    for (ULONG i = 0; i < 4; ++i) {
        ULONG value = 0;
        bool read = valid && NT_SUCCESS(ZarDcReadEepromByte(ext, ZAR_EEPROM_CALIBRATION + i, &value));
        calibration->Value[i] = read ? value : ZAR_CALIBRATION_NEUTRAL;
    }
}

NTSTATUS ZarDcIoWriteEepromCalibration(PZAR_DEVICE_EXTENSION ext, const ZAR_CALIBRATION* calibration)
{
    // A part that does not carry the board's id is not ours to write.
    if (!ZarDcIsValidEeprom(ext)) return STATUS_DEVICE_NOT_READY;
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < 4; ++i) {
        ULONG stored = 0;
        NTSTATUS status = ZarDcReadEepromByte(ext, ZAR_EEPROM_CALIBRATION + i, &stored);
        ULONG wanted = calibration->Value[i] & 0xFF;
        if (NT_SUCCESS(status) && stored == wanted) continue;
        status = ZarDcWriteEepromByte(ext, ZAR_EEPROM_CALIBRATION + i, wanted);
        if (!NT_SUCCESS(status)) result = status;
    }
    return result;
}

// ---- calibration DACs, M2 routing, encoders ----

void ZarDcSetCalibrationDac(PZAR_DEVICE_EXTENSION ext, ULONG dac, ULONG value)
{
    ZarDebiPioWrite(ext, ZAR_REG_CALIBRATION_DAC, ((dac & 0x3) << 8) | (value & 0xFF));
}

void ZarDcIoSetCavCalAndProcAmp(PZAR_DEVICE_EXTENSION ext)
{
    UCHAR procAmp[4] = {kVinProcAmpNeutral, kVinProcAmpNeutral, kVinProcAmpNeutral, kVinProcAmpNeutral};
    if (!NT_SUCCESS(ZarVinIoGetProcAmp(ext, procAmp))) procAmp[kVinProcAmpBrightness] = kVinProcAmpNeutral;
    LONG offset = (LONG(procAmp[kVinProcAmpBrightness]) - LONG(ZAR_CALIBRATION_NEUTRAL)) / 2;
    for (ULONG dac = 0; dac < 2; ++dac) {
        LONG value = offset + LONG(ext->Calibration.Value[dac]);
        ZarDcSetCalibrationDac(ext, dac, ULONG(value < 0 ? 0 : value > 255 ? 255 : value));
    }
}

NTSTATUS ZarDcIoSetCalibration(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_CALIBRATION calibration;
    std::memcpy(&calibration, buffer, sizeof(calibration));
    // Each value is one EEPROM byte and one DAC byte: a wider value would be
    // stored cut down to something else.
    for (ULONG value : calibration.Value)
        if (value > kCalibrationMax) return STATUS_INVALID_PARAMETER;
    // The DACs take the values even when the EEPROM cannot keep them.
    ZarDcIoWriteEepromCalibration(ext, &calibration);
    ext->Calibration = calibration;
    ZarApplyCalibration(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarDcIoSetM2Routing(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    std::memcpy(&ext->M2Routing, buffer, sizeof(ZAR_M2_ROUTING));
    ZarApplyM2Routing(ext);
    return STATUS_SUCCESS;
}

NTSTATUS ZarDcIoSetEncoder(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    std::memcpy(&ext->Encoder, buffer, sizeof(ZAR_ENCODER));
    NTSTATUS status = ZarSaa7125Init(ext, 0, &ext->Encoder);
    NTSTATUS second = ZarSaa7125Init(ext, 1, &ext->Encoder);
    return NT_SUCCESS(status) ? second : status;
}

// ---- genlock ----

NTSTATUS ZarDcIoSetGenlockPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer)
{
    ZAR_GENLOCK genlock;
    std::memcpy(&genlock, buffer, sizeof(genlock));
    if (genlock.HorizontalPosition > kGenlockPositionMax || genlock.SubcarrierPhase > kGenlockPhaseMax)
        return STATUS_UNSUCCESSFUL;
    ext->Genlock = genlock;
    ZarApplyGenlockPosition(ext);
    // The encoders identify themselves to the genlock again under the new
    // record, as after every decoder sample.
    return ZarVinGenlockSelfIdInit(ext);
}

NTSTATUS ZarDcIoSetGenlockMode(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    UCHAR rtc = ZarEncoderRtcModeQuery(ext) ? kEncoderRtcBit : 0;
    for (ULONG encoder = 0; encoder < 2; ++encoder) {
        PUCHAR image = ZarSaa7125ImageByte(ext, encoder, kEncoderRtcRegister);
        *image = UCHAR((*image & ~kEncoderRtcBit) | rtc);
        ZarSaa7125WriteRegister(ext, encoder, kEncoderRtcRegister, TRUE);
    }

    if (!ext->Genlock.GenlockOn) {
        ext->DebiShadow5C00 |= kVideoControlGenlockOff;
        ZarWriteVideoControl(ext);
    }
    // The 24 fps timing never locks to the house reference.
    bool genlock = ext->Genlock.GenlockOn != 0 && ext->Hdcam24FpsMode == 0;
    s.GenlockControl = genlock ? (s.GenlockControl | kGenlockOn) : (s.GenlockControl & ~kGenlockOn);
    ZarDebiPioWrite(ext, ZAR_REG_GENLOCK_CONTROL, s.GenlockControl);
    ZarRunSynchronized(ext, ZarSetClockFrequencySynchronized, ext);
    if (genlock) {
        ZarDelay(kSettleWait);
        ZarSaa7113ResetRtc(ext);
    }
    return STATUS_SUCCESS;
}

// ---- audio sample clock ----

void ZarAudioSetClockFrequency(PZAR_DEVICE_EXTENSION ext)
{
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    ULONG standard = s.AudioStandards[ZarAudioSet(s.AudioOwner)];
    if (standard >= kAudioStandardCount) standard = kAudioStandardFallback;
    bool genlocked = (s.GenlockControl & kGenlockOn) && (s.AudioControl & ZAR_AUDIO_CONTROL_GENLOCK_CLOCK);
    const ULONG* dividers = kAudioDividers[standard][genlocked ? (Is525(ext) ? 1 : 2) : 0];

    if (s.AudioReady && s.AudioClockValid && s.AudioClockStandard == standard &&
        s.AudioClockDivider[0] == dividers[0] && s.AudioClockDivider[1] == dividers[1])
        return;

    s.AudioClockControl = (s.AudioClockControl | kClockEnable) & ~(kClockBit3 | kClockStandard3 | kClockRateMask);
    if (standard == 3) s.AudioClockControl |= kClockStandard3;
    s.AudioClockControl |= kClockRateBits[standard];
    s.AudioClockDivider[0] = dividers[0];
    s.AudioClockDivider[1] = dividers[1];
    ZarDebiPioWrite(ext, ZAR_REG_AUDIO_DIVIDER[0], dividers[0]);
    ZarDebiPioWrite(ext, ZAR_REG_AUDIO_DIVIDER[1], dividers[1]);
    ZarDebiPioWrite(ext, ZAR_REG_AUDIO_CLOCK_CONTROL, s.AudioClockControl);
    KeStallExecutionProcessor(kAudioClockSettleUs);
    s.AudioClockStandard = standard;
    s.AudioClockValid = TRUE;
}

void ZarDcIoSetAudioStandards(PZAR_DEVICE_EXTENSION ext) { ZarRunSynchronized(ext, ZarSetClockFrequencySynchronized, ext); }

// ---- field wait ----

NTSTATUS ZarDcIoSynchronizeExecution(PZAR_DEVICE_EXTENSION ext, ULONG selector)
{
    if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
    if (!(ext->InterruptEnable & ZAR_INT_FIELD)) {
        ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
        KeStallExecutionProcessor(kFieldInterruptSettleUs);
    }
    const LONGLONG timeout = ext->ShortBlankingWait ? kShortFieldWait : kFieldWait;
    NTSTATUS status = ZarWaitOneField(ext, timeout);
    if (!NT_SUCCESS(status)) return status;
    if (selector == 2 || ext->FieldParity == selector) return STATUS_SUCCESS;
    status = ZarWaitOneField(ext, timeout);
    if (!NT_SUCCESS(status)) return status;
    return ext->FieldParity == selector ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- unit resets ----

void ZarDcResetJpeg(PZAR_DEVICE_EXTENSION ext)
{
    ZarJpegSetState(ext, 0, 1);
    ZarJpegSetState(ext, 1, 1);
    ZAR_JPEG_COMMAND command;
    std::memset(&command, 0, sizeof(command));
    command.Command = ZAR_JPEG_CMD_RESET;
    command.Channel = 2;
    ZarJpegCommand(ext, &command);
}

void ZarDcResetScsi(PZAR_DEVICE_EXTENSION ext) { ZarScsiInit(ext); }

// Keeps the first failure of a unit's steps.
static void ZarKeepFirstFailure(NTSTATUS* first, NTSTATUS status)
{
    if (NT_SUCCESS(*first) && !NT_SUCCESS(status)) *first = status;
}

NTSTATUS ZarDcResetMixer(PZAR_DEVICE_EXTENSION ext)
{
    NTSTATUS result = STATUS_SUCCESS;
    UCHAR procAmp[kMixerProcAmpSize] = {};
    std::memset(procAmp + sizeof(ULONG), kMixerProcAmpNeutral, kMixerProcAmpSize - sizeof(ULONG));
    ZarKeepFirstFailure(&result, ZarMixIoSetProcAmp(ext, procAmp, 0));
    ZarKeepFirstFailure(&result, ZarMixIoSetProcAmp(ext, procAmp, 1));
    ULONG preview[2] = {kPreviewDefault[0], kPreviewDefault[1]};
    ZarKeepFirstFailure(&result, ZarMixIoSetPreview(ext, preview));
    UCHAR fade = kMasterFadeFull;
    ZarKeepFirstFailure(&result, ZarMixIoSetMasterFade(ext, &fade));

    ext->SystemPrefs &= ~kSystemPrefsResetBits;
    ZarDebiPioWrite(ext, ZAR_REG_SYSTEM_PREFS, ext->SystemPrefs);
    ZarDebiPioWrite(ext, ZAR_REG_MIXER_CONTROL, 0);
    ZAR_M2_ROUTING routing = kM2RoutingDefault;
    ZarDcIoSetM2Routing(ext, &routing);

    ULONG prefs[kVideoPrefsWords] = {};
    NTSTATUS status = ZarDcIoGetVideoPrefs(ext, prefs);
    ZarKeepFirstFailure(&result, status);
    // Preferences that could not be read are not written back as zeros.
    if (NT_SUCCESS(status)) {
        prefs[0] = kVideoPrefsUvFilterOff;
        ZarKeepFirstFailure(&result, ZarDcIoSetVideoPrefs(ext, prefs));
    }
    return result;
}

NTSTATUS ZarDcResetGfx(PZAR_DEVICE_EXTENSION ext)
{
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG reg : ZAR_REG_FRAME_STORES) ZarDebiPioWrite(ext, reg, 0);
    ZAR_FRAMESTORE_SETTINGS settings{};
    settings.ModeA = settings.ModeB = kFramestoreReadFrame;
    settings.Flags = kFramestoreApplyA;
    ZarKeepFirstFailure(&result, ZarGfxIoSetFramestore(ext, &settings));
    ZarDcIoSynchronizeExecution(ext, 2);
    settings.Flags = kFramestoreApplyB;
    ZarKeepFirstFailure(&result, ZarGfxIoSetFramestore(ext, &settings));
    return result;
}

NTSTATUS ZarDcResetVin(PZAR_DEVICE_EXTENSION ext)
{
    NTSTATUS result = STATUS_SUCCESS;
    ZarSaa7113Init(ext);
    ext->DebiShadow5C00 = (ext->DebiShadow5C00 & ~kVideoControlStandardMask) | kVideoControlInputBits |
                          (Is525(ext) ? kVideoControl525 : 0);
    ZarWriteVideoControl(ext);

    ext->Genlock.HorizontalPosition = kGenlockPositionDefault;
    ext->Genlock.SubcarrierPhase = kGenlockPhaseDefault;
    ext->Genlock.PhaseOverride = 0;
    ZarApplyGenlockPosition(ext);
    ext->Genlock.GenlockOn = 0;
    ZarDcIoSetGenlockMode(ext);
    ext->DebiShadow5474 &= ~ZAR_INPUT_EXTERNAL_LOCKED;
    ZarDebiPioWrite(ext, ZAR_REG_INPUT_CONTROL, ext->DebiShadow5474);
    ZarDcIoSynchronizeExecution(ext, 2);

    ULONG prefs[kVideoPrefsWords] = {};
    NTSTATUS status = ZarDcIoGetVideoPrefs(ext, prefs);
    ZarKeepFirstFailure(&result, status);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 1; i < kVideoPrefsWords; ++i) prefs[i] = kVideoPrefsInputDefault;
        ZarKeepFirstFailure(&result, ZarDcIoSetVideoPrefs(ext, prefs));
    }
    ULONG mode[kVinModeWords];
    std::memcpy(mode, kVinModeDefault, sizeof(mode));
    ZarVinIoSetMode(ext, mode);
    UCHAR procAmp[4] = {kVinProcAmpNeutral, kVinProcAmpNeutral, kVinProcAmpNeutral, kVinProcAmpNeutral};
    ZarVinIoSetProcAmp(ext, procAmp);
    return result;
}

NTSTATUS ZarDcResetAudio(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind)
{
    NTSTATUS result = STATUS_SUCCESS;
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    s.AudioReady = FALSE;
    s.AudioOwner = callerKind;
    ZarInitAudioSettings(ext, callerKind);
    ZarDcIoSetAudioStandards(ext);
    ZarKeepFirstFailure(&result, ZarCs4297Init(ext));
    ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
    ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
    ZarKeepFirstFailure(&result, ZarYss231Init(ext));
    ZarDelay(kAudioSettleWait);
    s.AudioReady = TRUE;
    return result;
}

NTSTATUS ZarDcIoReset(PZAR_DEVICE_EXTENSION ext, UCHAR selector, ZAR_CALLER_KIND callerKind)
{
    NTSTATUS result = STATUS_SUCCESS;
    if (selector & ZAR_RESET_JPEG) ZarDcResetJpeg(ext);
    if (selector & ZAR_RESET_SCSI) ZarDcResetScsi(ext);
    if (selector & ZAR_RESET_MIXER) ZarKeepFirstFailure(&result, ZarDcResetMixer(ext));
    if (selector & ZAR_RESET_GFX) ZarKeepFirstFailure(&result, ZarDcResetGfx(ext));
    if (selector & ZAR_RESET_VIN) {
        ZarKeepFirstFailure(&result, ZarDcResetVin(ext));
        ext->Genlock.PhaseOverride = 1;
    }
    if (selector & ZAR_RESET_AUDIO) ZarKeepFirstFailure(&result, ZarDcResetAudio(ext, callerKind));
    return result;
}

// ---- after the FPGA load ----

NTSTATUS ZarDcPostFpgaInit(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind)
{
    ZAR_BOARD_SETUP_STATE& s = ext->Setup;
    NTSTATUS result = STATUS_SUCCESS;
    s.AudioOwner = callerKind;
    s.AudioReady = FALSE;
    ZarDebiInitAudioWaitStates(ext);
    ZarSaa7113Init(ext);
    ZarInitAudioSettings(ext, callerKind);
    ZarDcIoSetAudioStandards(ext);
    ZarSaa7146Init(ext);
    ZarDebiPioWrite(ext, ZAR_REG_DSP_SELECT, kDspSelectNone);
    ZarSetSharedIrqMask(ext, 0xFFFFFFFF, FALSE);
    ZarSetIntMode(ext, ZAR_INT_SHARED_LINE, TRUE);

    for (ULONG i = 0; i < ZAR_LEVEL_TABLE_ENTRIES; ++i) s.LevelTable[i] = UCHAR(i / 2);
    s.LevelTable[ZAR_LEVEL_TABLE_ENTRIES - 1] = 128;
    ZarDebiPioWrite(ext, ZAR_REG_SCSI_SDRAM_CONTROL, ext->Scsi.SdramControl);
    ZarProbeScsiSupport(ext);

    ZarSetHdcam24FpsMode(ext);
    ZarKeepFirstFailure(&result, ZarDcResetVin(ext));
    ZAR_ENCODER encoder{{Is525(ext) ? 1u : 0u, Is525(ext) ? 1u : 0u, 0}};
    ZarDcIoSetEncoder(ext, &encoder);
    ZarDcResetJpeg(ext);
    ZarDcResetScsi(ext);
    ZarKeepFirstFailure(&result, ZarDcResetMixer(ext));
    ZarKeepFirstFailure(&result, ZarDcResetGfx(ext));

    ZarDcIoReadEepromCalibration(ext, &ext->Calibration);
    ZarApplyCalibration(ext);
    ZarKeepFirstFailure(&result, ZarDcResetAudio(ext, callerKind));
    ZarICS2008A_Initialize(ext);

    if (!(ext->InterruptEnable & ZAR_INT_FIELD)) ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    s.CaptureControl &= ~1u;
    ZarDebiPioWrite(ext, ZAR_REG_CAPTURE_CONTROL, s.CaptureControl);
    if (ext->DvePresent)
        for (ULONG reg : ZAR_REG_DVE_STANDARD) ZarDebiPioWrite(ext, reg, Is525(ext) ? 1 : 0);
    ZarDelay(kSettleWait);

    ext->VinMonitorPaused = FALSE;
    ext->BoardReady = TRUE;
    // Every unit that exists is set up and the board runs. The file-system
    // driver and the library end their start-up on a failure here, so a
    // unit whose module is not written yet is reported where it is reached
    // (each stub names itself once) and by IOCTL_ZAR_RESET, not here.
    (void)result;
    return STATUS_SUCCESS;
}

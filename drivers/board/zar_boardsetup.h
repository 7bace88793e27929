// Board set-up after the FPGA load: EEPROM, calibration DACs, M2 routing, genlock, audio clock, unit resets, field wait.
//
// The module's per-board state (ZAR_BOARD_SETUP_STATE) lives in the device extension as
// ext->Setup; its entry points used by other modules are declared below. The
// set/get blocks themselves (genlock, encoder, calibration, M2 routing) sit in
// the extension beside the dispatch that returns them.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_LEVEL_TABLE_ENTRIES = 256;
// Audio settings sets: 0 what the hardware holds, 1 the library, 2 the wave devices.
inline constexpr ULONG ZAR_AUDIO_SETTING_SETS = 3;
inline constexpr ULONG ZAR_AUDIO_STANDARD_INITIAL = 1;

// Who sent a control code: the library sends no method-neither input
// pointer, the wave devices always send one. Also the settings set each uses.
enum ZAR_CALLER_KIND : ULONG {
    ZAR_CALLER_LIBRARY = 1,
    ZAR_CALLER_WAVE_DEVICE = 2,
};

struct ZAR_BOARD_SETUP_STATE {
    ULONG AudioControl;            // board register 0xB820 (bit 6: genlocked clock allowed, bit 7: probe)
    ULONG GenlockControl;          // board register 0xB848 (bits 0-5 position, bit 6 genlock)
    ULONG AudioClockControl;       // board register 0x8C20
    ULONG AudioClockDivider[2];    // board registers 0x8E04, 0x8E08
    ULONG AudioClockStandard;      // the standard the dividers were chosen for
    ZAR_CALLER_KIND AudioOwner;    // caller kind whose settings the board runs
    ULONG AudioStandards[ZAR_AUDIO_SETTING_SETS];
    ULONG CaptureControl;          // board register 0x5498
    ULONG VideoControl;            // bit 0: the HDCAM 24 fps timing
    ULONG DigitalIo24Fps[3];       // what the digital-I/O option answered for mode 2
    UCHAR LevelTable[ZAR_LEVEL_TABLE_ENTRIES];
    volatile BOOLEAN AudioReady;
    BOOLEAN AudioClockValid;       // the dividers were written at least once
};

// Bit of the audio control word (0xB820) that lets the audio clock follow genlock.
inline constexpr ULONG ZAR_AUDIO_CONTROL_GENLOCK_CLOCK = 0x40;

// The I2C device of the calibration EEPROM and its sub-addresses.
inline constexpr ULONG ZAR_EEPROM_DEVICE = 0xA0;
inline constexpr ULONG ZAR_EEPROM_ID_HIGH = 2;
inline constexpr ULONG ZAR_EEPROM_ID_LOW = 3;
inline constexpr ULONG ZAR_EEPROM_CALIBRATION = 20;
inline constexpr ULONG ZAR_EEPROM_ID = 0x5A52;    // the board's subsystem vendor id
inline constexpr ULONG ZAR_CALIBRATION_NEUTRAL = 128;

NTSTATUS ZarDcWriteEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, ULONG value);
// The four calibration values from the EEPROM (128 each when it is not valid
// or a byte cannot be read).
void ZarDcIoReadEepromCalibration(PZAR_DEVICE_EXTENSION ext, ZAR_CALIBRATION* calibration);
// Writes the calibration bytes that differ from what the EEPROM holds; a
// rejected EEPROM is never written.
NTSTATUS ZarDcIoWriteEepromCalibration(PZAR_DEVICE_EXTENSION ext, const ZAR_CALIBRATION* calibration);
// Calibration DAC 'dac' (0-3) := value (board register 0xB804).
void ZarDcSetCalibrationDac(PZAR_DEVICE_EXTENSION ext, ULONG dac, ULONG value);
void ZarDcIoSetCavCalAndProcAmp(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcIoSetGenlockMode(PZAR_DEVICE_EXTENSION ext);
void ZarDcIoSetAudioStandards(PZAR_DEVICE_EXTENSION ext);
// At device IRQL (or with the interrupt's lock held): picks and writes the
// audio clock dividers for the owner's standard and the genlock state.
void ZarAudioSetClockFrequency(PZAR_DEVICE_EXTENSION ext);

// Unit resets of IOCTL_ZAR_RESET and the post-FPGA set-up.
inline constexpr UCHAR ZAR_RESET_JPEG = 0x01;
inline constexpr UCHAR ZAR_RESET_MIXER = 0x02;
inline constexpr UCHAR ZAR_RESET_GFX = 0x04;
inline constexpr UCHAR ZAR_RESET_VIN = 0x10;
inline constexpr UCHAR ZAR_RESET_SCSI = 0x20;
inline constexpr UCHAR ZAR_RESET_AUDIO = 0x40;
// Each runs every step and returns the first failure: a unit whose module
// is not written yet reports it rather than pass for reset.
void ZarDcResetJpeg(PZAR_DEVICE_EXTENSION ext);
void ZarDcResetScsi(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcResetMixer(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcResetGfx(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcResetVin(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcResetAudio(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind);

// ---- board set-up after the FPGA load (zar_boardsetup.cpp) ----
BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, PULONG value);
NTSTATUS ZarDcIoSynchronizeExecution(PZAR_DEVICE_EXTENSION ext, ULONG selector);
NTSTATUS ZarDcPostFpgaInit(PZAR_DEVICE_EXTENSION ext, ZAR_CALLER_KIND callerKind);
NTSTATUS ZarDcIoSetGenlockPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetEncoder(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetCalibration(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoSetM2Routing(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarDcIoReset(PZAR_DEVICE_EXTENSION ext, UCHAR selector, ZAR_CALLER_KIND callerKind);

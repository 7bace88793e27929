// Video input mode, the video-input proc amp and the video-input monitor.
//
// The module's per-board state (ZAR_VIN_STATE) lives in the device extension as
// ext->Vin; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "zar_board_regs.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

// Monitor hysteresis, in samples (one sample every fourth field).
inline constexpr ULONG ZAR_VIN_LOCK_SAMPLES = 4;
inline constexpr ULONG ZAR_VIN_UNLOCK_SAMPLES = 16;
inline constexpr ULONG ZAR_VIN_QUALITY_LIMIT = 64;
inline constexpr ULONG ZAR_VIN_QUALITY_LOCKED_BELOW = 32;
inline constexpr ULONG ZAR_VIN_DECODER_RESTART_FIELDS = 60;

struct ZAR_VIN_STATE {
    ZAR_VIN_MODE Mode;
    ULONG SavedSource;             // the external source IOCTL_ZAR_RESTORE_VIN_IO returns to
    ULONG Standards;               // IOCTL_ZAR_VIN_SET_STANDARDS word (0 on a 625-line board)
    ULONG VideoControl;            // shadow of the video control word
    ULONG InputSetup;              // the video preferences' input set-up word
    // Monitor.
    ULONG LockCounter;             // consecutive samples toward a change of the declared state
    ULONG Quality;                 // 0..64; grows while the decoder reports an unstable signal
    ULONG History;                 // decoder-sample shift register (genlock self-identification)
    ULONG EncoderTrigger;          // trigger state last applied to the encoders
    volatile LONG PassRunning;
    volatile LONG ModeChanging;
    // Proc amp: as received {contrast index, brightness, saturation, hue}
    // and the decoder values {brightness, contrast, saturation, hue} that
    // the next update applies.
    UCHAR ProcAmp[4];
    UCHAR ProcAmpDecoder[4];
    BOOLEAN Locked;                // input declared locked
    BOOLEAN DecoderPresent;        // the decoder took its initialisation
    BOOLEAN LockOverride;          // the board runs as locked whatever the decoder says
};

BOOLEAN ZarVinIsExternalSource(ULONG source);
BOOLEAN ZarVinIsAnalogSource(ULONG source);
BOOLEAN ZarVinIsDigitalIoSource(ULONG source);

// Writes the input control word from the current mode and marks the video
// control word for the interrupt's deferred write; updateLockBit lets an
// analog source's external-lock bit follow the lock-bit suppression word.
void ZarVinSetFpgaMode(PZAR_DEVICE_EXTENSION ext, BOOLEAN updateLockBit);
NTSTATUS ZarVinGenlockSelfIdInit(PZAR_DEVICE_EXTENSION ext);
// One decoder sample: TRUE when the input counts as locked.
BOOLEAN ZarVinIsDecoderLocked(PZAR_DEVICE_EXTENSION ext);
// One pass of the monitor (what a wake-up of the thread runs).
void ZarVinMonitorPass(PZAR_DEVICE_EXTENSION ext);
void ZarVinAdjustEncoderTriggering(PZAR_DEVICE_EXTENSION ext, ULONG trigger);
// The decoder values the proc-amp request gives (standards word and black
// level of the board).
void ZarVinProcAmpDecoderValues(PZAR_DEVICE_EXTENSION ext, const UCHAR request[4], UCHAR decoder[4]);

// ---- video input mode, proc amp and monitor (zar_vin.cpp) ----
void ZarVinMonitorThread(PVOID context);
void ZarVinUpdateProcAmp(PZAR_DEVICE_EXTENSION ext);

// Video input: its mode word and the input FPGA's mode.
ULONG ZarVinGetInputMode(PZAR_DEVICE_EXTENSION ext);
void ZarVinSetInputMode(PZAR_DEVICE_EXTENSION ext, ULONG inputMode, ULONG fpgaMode);
NTSTATUS ZarVinIoSetMode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
inline constexpr ULONG ZAR_VIN_PROC_AMP_TABLE_ENTRIES = 256;
NTSTATUS ZarVinLoadProcAmpTable(PZAR_DEVICE_EXTENSION ext, const ULONG* table);
NTSTATUS ZarVinIoSetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoGetProcAmp(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarRestoreVinIo(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoSetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarVinIoGetStandards(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSetVinHPosition(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
// The input frame store's hold bit of the video control word, written at once.
void ZarVinSetFrameStoreHold(PZAR_DEVICE_EXTENSION ext, bool hold);
bool ZarVinFrameStoreHeld(PZAR_DEVICE_EXTENSION ext);

// ---- the input frame store read (zar_vin_framestore.cpp) ----
NTSTATUS ZarVinFramestoreRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

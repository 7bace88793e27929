// The time-code chip, the board's eight time-code streams and the burn-in
// window.
//
// The module's per-board state (ZAR_TIMECODE_STATE) lives in the device
// extension as ext->TimeCode; its entry points used by other modules and the
// pure rules that the tests check are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"
#include "include/zarkd_tandrel.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

// ---- the chip behind DEBI (its registers in zar_board_regs.h) ----
inline constexpr UCHAR ZAR_TC_INTERRUPT_ENABLE = 0x20;
inline constexpr UCHAR ZAR_TC_INTERRUPT = 0x04;
inline constexpr UCHAR ZAR_TC_LTC_PRESENT = 0x04;
inline constexpr UCHAR ZAR_TC_SECOND_READER = 0x08;

// Indirect registers.
enum ZAR_TC_REGISTER : ULONG {
    ZAR_TC_LTC_READER = 0,
    ZAR_TC_LTC_GENERATOR = 8,
    ZAR_TC_VITC_READER = 16,
    ZAR_TC_VITC_GENERATOR = 32,
    ZAR_TC_BURNIN_WINDOW = 40,     // column, line
    ZAR_TC_BURNIN_CODES = 42,      // four bytes, eight character codes
    ZAR_TC_VITC_GENERATOR_LINES = 46,
    ZAR_TC_VITC_READER_LINES = 48,
    ZAR_TC_VIDEO_SETUP = 50,       // output source and standard; 51: interrupt line - 1
    ZAR_TC_LTC_SETUP = 52,
    ZAR_TC_LTC_GAIN = 53,
    ZAR_TC_BURNIN_CONTROL = 60,
    ZAR_TC_EXCHANGE_CONTROL = 62,  // bit 0 indicator, bits 1-2 style
};
inline constexpr ULONG ZAR_TC_REGISTER_COUNT = 64;
inline constexpr ULONG ZAR_TC_DEFAULT_INTERRUPT_LINE = 23;
inline constexpr ULONG ZAR_TC_SHARED_SOURCE = 0x1;   // the chip's bit in the shared interrupt mask

// ---- the streams ----
enum ZAR_TANDREL_STREAM_INDEX : ULONG {
    ZAR_STREAM_MASTER_CLOCK = 0,
    ZAR_STREAM_LTC_READER = 1,
    ZAR_STREAM_LTC_GENERATOR = 2,
    ZAR_STREAM_VITC_READER = 3,
    ZAR_STREAM_VITC_GENERATOR = 4,
    ZAR_STREAM_BURN_IN = 5,
    ZAR_STREAM_JPEG1 = 6,
    ZAR_STREAM_JPEG2 = 7,
};

// A stream's device-control hook (the routed Tandrel codes).
using PZAR_TANDREL_HOOK = NTSTATUS (*)(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp);

struct ZAR_TANDREL_STREAM {
    // The five words of TANDREL_STREAM_INFO.
    ULONG Index;
    ULONG Type;
    ULONG FieldRate;
    const WCHAR* Name;
    LONG Delay;
    PZAR_TANDREL_HOOK Hook;
    PTANDREL_STREAM_CALLBACK Callback;
    PVOID Context;
};

struct ZAR_BURNIN_STATE {
    TANDREL_BURNIN_CONFIGURATION Config;
    UCHAR Codes[3][4];             // each element's fixed text as character codes
    ULONG StyleApplied;            // 0xFFFFFFFF: none yet
    UCHAR SavedLine;               // the line byte a blink restores
    BOOLEAN WindowPending;         // registers 40-41 to be written
    BOOLEAN Shown;
};

struct ZAR_TIMECODE_STATE {
    // Chip: the two direct registers and the image of the indirect file.
    UCHAR Direct[2];
    UCHAR Image[ZAR_TC_REGISTER_COUNT];
    BOOLEAN ImageReady;
    BOOLEAN ExchangeDisabled;      // changed only under StreamLock
    BOOLEAN Initialized;
    ULONG Mode24;                  // the 24-frame mode the streams run in
    // Streams and their per-field DPCs (chip interrupt; vertical interrupt in 24-frame modes).
    ZAR_TANDREL_STREAM Streams[TANDREL_STREAM_COUNT];
    KSPIN_LOCK StreamLock;         // guards the streams, the burn-in window and ExchangeDisabled
    KDPC FieldDpc;
    KDPC FieldDpc24;
    // Master clock (count and time written by the interrupt routine).
    volatile ULONG MasterCount;
    LARGE_INTEGER VerticalTime;
    ULONG LastPosted;
    BOOLEAN Posted;
    ULONG MasterFlags;
    // Field counters (streams 6 and 7).
    ULONG CounterBase[2][2];
    ULONG CounterFlags[2];
    // Readers.
    ULONG LtcStatus;
    ULONG VitcStatus;
    ULONG FieldDpcRuns;
    ZAR_BURNIN_STATE BurnIn;
};

// ---- chip (zar_ics2008a.cpp) ----
void ZarICS2008A_WriteIndirectRegisters(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG count);
void ZarICS2008A_ReadIndirectRegisters(PZAR_DEVICE_EXTENSION ext, ULONG first, ULONG count);
UCHAR ZarICS2008A_ReadDirect(PZAR_DEVICE_EXTENSION ext, ULONG reg);
void ZarICS2008A_WriteDirect(PZAR_DEVICE_EXTENSION ext, ULONG reg, UCHAR value);
void ZarICS2008A_Reset(PZAR_DEVICE_EXTENSION ext);
// Masks (TRUE) or unmasks the chip's source in the shared interrupt mask.
void ZarICS2008A_MaskInterrupt(PZAR_DEVICE_EXTENSION ext, BOOLEAN masked);
void ZarICS2008A_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarICS2008A_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
void ZarICS2008A_OnInterrupt(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarTcRegRead(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarTcRegWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarICS2008A_SetVideoOutputSource(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- streams (zar_tandrel.cpp) ----
// The per-field DPC's body (what both per-field DPC objects run).
void ZarTandrel_RunField(PZAR_DEVICE_EXTENSION ext);
// Reads the delay pair 'readerName'/'generatorName' of the Tandrel key; both
// are taken only when both are there and below 10, the reader's negated.
void ZarTandrelApplyDelayPair(const ULONG* reader, const ULONG* generator, PLONG readerDelay, PLONG generatorDelay);
// LTC output gain: the register step for a gain in dB and back.
ULONG ZarTandrelGainToStep(LONG gain);
LONG ZarTandrelStepToGain(ULONG step);
// VITC line word (0 off, 10..40, -1 search) to the line register and back;
// FALSE when the value is refused.
BOOLEAN ZarTandrelVitcLineToRegister(LONG line, BOOLEAN reader, PUCHAR reg);
LONG ZarTandrelVitcRegisterToLine(UCHAR reg);
NTSTATUS ZarTandrel_DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
void ZarTandrel_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_OnSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext);
void ZarTandrelMasterClock_OnVerticalInterrupt(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarTandrel_DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarTandrelFieldCounter_SetBase(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarTandrel_EnableTimecodeDataExchange(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- burn-in (zar_burnin.cpp) ----
void ZarTandrelBurnIn_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarTandrelBurnIn_GetOutputFromTandrel(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarTandrelBurnIn_DeviceControl(PZAR_DEVICE_EXTENSION ext, ULONG stream, PIRP irp);
UCHAR ZarBurnInEncode(char c);
char ZarBurnInDecode(UCHAR code);
// The element's fields put in range and its text packed into four code
// bytes (characters 1-2 in the last byte), the text rewritten from them.
void ZarBurnInUpdateEffect(TANDREL_BURNIN_ELEMENT* element, UCHAR codes[4]);
// The eight character codes (left to right) the element shows for 'record'.
void ZarBurnInContent(const TANDREL_BURNIN_ELEMENT* element, const UCHAR fixed[4], const TANDREL_TIMECODE_RECORD* record,
                      UCHAR out[8]);
void ZarBurnInConvertToBcdFrameNumber(const TANDREL_TIMECODE_RECORD* record, UCHAR out[4]);
// Window position p (0..100) to line and column for a cell and rate; the
// back-computed position when asked.
ULONG ZarBurnInCalcLine(BOOLEAN largeCell, ULONG rate, ULONG position, PULONG backComputed);
ULONG ZarBurnInCalcColumn(BOOLEAN largeCell, ULONG rate, ULONG position, PULONG backComputed);

// I2C engine, GPIO shadow and the bridge's PCI burst thresholds.
//
// The module's per-board state (ZAR_I2C_STATE) lives in the device extension as
// ext->I2c; its entry points used by other modules are declared below.
//
// I2C commands (ZAR_I2C_COMMAND, zar_extension.h) go through the board's I2C
// device queue one transfer at a time. The queue entry holds its own copy of
// the command and its own completion event, so a caller that timed out and
// left is never written to afterwards: the entry goes to whichever of the
// caller and the engine is done with it last.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;
struct ZAR_I2C_ENTRY;

// What the I2C engine is doing.
enum ZAR_I2C_ENGINE_STATE : ULONG {
    ZAR_I2C_ENGINE_IDLE = 0,
    ZAR_I2C_ENGINE_TRANSFER = 1,    // a transfer runs
    ZAR_I2C_ENGINE_READ_DATA = 2,   // a read's address phase is done; its data byte comes next
};

struct ZAR_I2C_STATE {
    ULONG GpioShadow;   // what GPIO_CTRL was last given
    // The engine: one transfer at a time from the queue.
    KDEVICE_QUEUE Queue;
    NPAGED_LOOKASIDE_LIST Lookaside;   // the queue's entries (ZAR_I2C_ENTRY)
    PVOID CurrentEntry;                // the running transfer's entry, null when idle
    ZAR_I2C_ENGINE_STATE State;
    ULONGLONG CurrentStartTime;        // interrupt time at which the running transfer started
    // The transfer that failed or was given up, set under the interrupt's
    // lock only while it is current, and taken by the DPC only for that
    // same transfer: a clean-up that comes late never fails a later one.
    PVOID FailedEntry;
};

// Kinds of ZAR_I2C_COMMAND.
inline constexpr ULONG ZAR_I2C_WRITE_WAIT = 0;
inline constexpr ULONG ZAR_I2C_READ_WAIT = 1;
inline constexpr ULONG ZAR_I2C_WRITE_NO_WAIT = 2;

// Bus addresses of the board's I2C devices (8-bit form).
inline constexpr ULONG ZAR_I2C_DECODER = 0x4A;
inline constexpr ULONG ZAR_I2C_ENCODER0 = 0x8C;
inline constexpr ULONG ZAR_I2C_ENCODER1 = 0x88;
inline constexpr ULONG ZAR_I2C_EEPROM = 0xA0;

// One register write to an I2C device (8-bit address, bit 0 clear). With
// wait FALSE the write is queued and the call returns at once. A waiting
// call runs below DISPATCH_LEVEL: STATUS_SUCCESS, STATUS_UNSUCCESSFUL (the
// device did not answer), STATUS_IO_TIMEOUT (1 s), or a queueing failure.
NTSTATUS ZarI2cWriteByte(PZAR_DEVICE_EXTENSION ext, ULONG device, ULONG subAddress, ULONG value, BOOLEAN wait);
// One register read from an I2C device; *value is written only on success.
NTSTATUS ZarI2cReadByte(PZAR_DEVICE_EXTENSION ext, ULONG device, ULONG subAddress, PUCHAR value);

// After a caller's time-out: resets the bridge's I2C registers and has the
// I2C DPC end the transfer in flight as failed, if that is still 'stuck'
// (or, with 'stuck' null, if it has run longer than a caller's wait).
void ZarI2cCleanup(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* stuck);
// The engine is done with an entry (the I2C DPC, after storing its result):
// wakes a waiting caller, and frees the entry unless that caller still holds it.
void ZarI2cEndEntry(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry);
// At release, once the interrupt is gone and the DPCs have run: ends the
// transfer still in the engine and every queued one (cancelled), so no
// entry outlives the look-aside list; a write that did not wait would
// otherwise stay in a hung engine for good.
void ZarI2cRelease(PZAR_DEVICE_EXTENSION ext);

// Selector of ZarGpioChange that sets the whole word.
inline constexpr ULONG ZAR_GPIO_WHOLE_WORD = 255;
// Byte 'which' (0-3, one per pin) of the GPIO shadow := the same byte of
// 'value'; ZAR_GPIO_WHOLE_WORD takes all of 'value'. Then GPIO_CTRL :=
// shadow. Other selectors change nothing. Callers run it synchronised with
// the board interrupt.
void ZarGpioChange(PZAR_DEVICE_EXTENSION ext, ULONG value, ULONG which);

// The 16-byte record of IOCTL_ZAR_SAA7146_BURST_THRESH: fields of PCI_BT_V1
// and PCI_BT_A, then the restore flag.
inline constexpr ULONG ZAR_BURST_FIELDS = 15;
struct ZAR_BURST_THRESH {
    UCHAR Field[ZAR_BURST_FIELDS];
    UCHAR Restore;   // non-zero: back to the start-up values, fields ignored
};
static_assert(sizeof(ZAR_BURST_THRESH) == 16);
// What PCI_BT_V1 / PCI_BT_A hold when the registry has no start-up values.
inline constexpr ULONG ZAR_BURST_DEFAULT_V1 = 0x100C0C10;
inline constexpr ULONG ZAR_BURST_DEFAULT_A = 0x13111311;
// One rule for a stored start-up value (DmaTweakV, DmaTweakA) everywhere it
// is used: only 0xFFFFFFFF means none; 0 is a value like any other, as the
// set code may store it.
inline ULONG ZarBurstStartValue(ULONG stored, ULONG fallback) { return stored != 0xFFFFFFFF ? stored : fallback; }

// Fills the record's fields from the two registers (the restore flag 0).
NTSTATUS ZarSaa7146GetBurstThresh(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- the I2C engine and the burst thresholds (zar_i2c.cpp) ----
void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION ext);
void ZarI2cStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_I2C_ENTRY* entry);
struct ZAR_I2C_START {
    PZAR_DEVICE_EXTENSION Ext;
    ZAR_I2C_ENTRY* Entry;
};
BOOLEAN ZarI2cStartDevice(PVOID context);  // context: ZAR_I2C_START
NTSTATUS ZarI2cCommand(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSaa7146SetBurstThresh(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

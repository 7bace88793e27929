// The bridge's scaler (HPS) and the scaled capture channel through video
// DMA 1: the capture request, the scaler's settings and the channel's state.
//
// The module's per-board state (ZAR_HPS_STATE) lives in the device extension
// as ext->Hps; its entry points used by other modules and the pure rules the
// tests check are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;
struct ZAR_HPS_ENTRY;

// IOCTL_ZAR_HPS_CAPTURE's record, ZAR_HPS_CAPTURE_REQUEST, is in include/zarkd.h.

// Bridge registers of the scaler and video DMA 1.
inline constexpr ULONG ZAR_HPS_BASE_ODD1 = 0x00;
inline constexpr ULONG ZAR_HPS_BASE_EVEN1 = 0x04;
inline constexpr ULONG ZAR_HPS_PROT_ADDR1 = 0x08;
inline constexpr ULONG ZAR_HPS_PITCH1 = 0x0C;
inline constexpr ULONG ZAR_HPS_BASE_PAGE1 = 0x10;
inline constexpr ULONG ZAR_HPS_NUM_LINE_BYTE1 = 0x14;
inline constexpr ULONG ZAR_HPS_CTRL = 0x5C;
inline constexpr ULONG ZAR_HPS_V_SCALE = 0x60;
inline constexpr ULONG ZAR_HPS_V_GAIN = 0x64;
inline constexpr ULONG ZAR_HPS_H_PRESCALE = 0x68;
inline constexpr ULONG ZAR_HPS_H_SCALE = 0x6C;
inline constexpr ULONG ZAR_HPS_BCS_CTRL = 0x70;
inline constexpr ULONG ZAR_HPS_CLIP_FORMAT_CTRL = 0x78;
inline constexpr ULONG ZAR_HPS_SSR_OVERFLOW = 0x800;
inline constexpr ULONG ZAR_HPS_ISR_OVERFLOW = 0x200;
inline constexpr ULONG ZAR_HPS_MMU_ON = 0x800;
inline constexpr ULONG ZAR_HPS_STOP_DMA = 0x8;          // in BASE_PAGE1
inline constexpr ULONG ZAR_HPS_UPLOAD_SCALER_H = 0x00200020;
inline constexpr ULONG ZAR_HPS_UPLOAD_SCALER_V = 0x00400040;
inline constexpr ULONG ZAR_HPS_UPLOAD_DMA1 = 0x00040004;
inline constexpr ULONG ZAR_HPS_MC1_DMA1_ON = 0x00400040;
inline constexpr ULONG ZAR_HPS_MC1_RPS1_ON = 0x20002000;
inline constexpr ULONG ZAR_HPS_MC1_DMA1_RUNNING = 0x40;

// The five scaler words in the order they are written.
enum ZAR_HPS_WORD : ULONG { ZAR_HPS_W_CTRL, ZAR_HPS_W_V_SCALE, ZAR_HPS_W_V_GAIN, ZAR_HPS_W_H_PRESCALE, ZAR_HPS_W_H_SCALE };

struct ZAR_HPS_SCALER {
    ULONG Contrast, Brightness, Saturation;
    ULONG PreFilterMode;
    ULONG PreFilterSelection;      // of the last scale, 0..4
    ULONG LastVerticalGain;        // with the prefilter applied
};

// What the bridge's scaler computes from a request, apart from the board.
struct ZAR_HPS_GEOMETRY {
    ULONG Standard;                // 525 or 625
    ULONG FieldLines;              // 243 or 288
    BOOLEAN Hdcam24Fps;            // the board's 24 fps mode 1 moves the horizontal start
};

// Capture states (the interrupt routine steps them once a field).
enum ZAR_HPS_STATE_NUMBER : ULONG {
    ZAR_HPS_IDLE = 0,
    ZAR_HPS_FRAME_FIRST = 1, ZAR_HPS_FRAME_SECOND = 2,      // both fields
    ZAR_HPS_FIELD1_WAIT = 10, ZAR_HPS_FIELD1_STOP = 11,     // field 1: ends on parity 0
    ZAR_HPS_FIELD2_WAIT = 20, ZAR_HPS_FIELD2_STOP = 21,     // field 2: ends on parity 1
    ZAR_HPS_CONTINUOUS = 30, ZAR_HPS_CONTINUOUS_START = 31,
    ZAR_HPS_CONTINUOUS_STOP = 32, ZAR_HPS_CONTINUOUS_PREEMPT = 33, ZAR_HPS_PREEMPT_START = 34,
    ZAR_HPS_RING_OVERFLOW_STOP = 36, ZAR_HPS_RING_WAIT_GO = 37, ZAR_HPS_RING_RUN = 38,
    ZAR_HPS_RING_STOP = 39, ZAR_HPS_RING_END = 40, ZAR_HPS_RING_ENDED = 41,
    ZAR_HPS_RING_HELD = 42, ZAR_HPS_RING_STOPPED = 43, ZAR_HPS_RING_FREE = 44,
    ZAR_HPS_FINISHING = 100,
    ZAR_HPS_START_FAILED = 255,
};

// Ring flags (the play engine reads and sets them).
inline constexpr ULONG ZAR_HPS_RING_GO = 0x1;
inline constexpr ULONG ZAR_HPS_RING_FULL = 0x2;
inline constexpr ULONG ZAR_HPS_RING_PLAY_HELD = 0x4;
inline constexpr ULONG ZAR_HPS_RING_RUNNING = 0x8;
inline constexpr ULONG ZAR_HPS_RING_MAX = 32;

// What the channel keeps in a queue entry's channel part.
struct ZAR_HPS_PARMS {
    ULONG BytesPerPixel;
    ULONG Pitch;                // P
    ULONG Size;                 // S
    LONG PitchRegister;
    ULONG FirstBase;            // through BASE_ODD1
    ULONG SecondBase;           // through BASE_EVEN1
    ULONG Protection;
};
static_assert(sizeof(ZAR_HPS_PARMS) == 28);

struct ZAR_HPS_RING_BUFFER {
    PMDL Mdl;
    PVOID PageTable;
    PHYSICAL_ADDRESS PageTableBus;
    ULONG FirstBase, SecondBase, Protection;
};

struct ZAR_HPS_STATE {
    ZAR_HPS_SCALER Scaler;
    PVOID Current;                   // ZAR_HPS_ENTRY being served
    PVOID Table[2];                  // page tables: the continuous capture's, the others'
    PHYSICAL_ADDRESS TableBus[2];
    PVOID MapRegisterBase;
    ULONG MapRegisterCount;
    BOOLEAN SkipNextField;
    BOOLEAN Continuous;              // a continuous capture runs (or waits pre-empted)
    BOOLEAN ReportOverflow;
    ZAR_HPS_CAPTURE_REQUEST Saved;   // the continuous capture's request
    PMDL ContinuousMdl;
    PVOID ContinuousMapBase;
    ULONG ContinuousMapCount;
    // Ring.
    ULONG RingCount, Mask;
    LONG HighWater, Resume;
    ULONG CurrentIndex, NextIndex;
    PMDL StatusMdl;
    volatile LONG* Status;           // the caller's four words, mapped
    ZAR_HPS_RING_BUFFER Ring[ZAR_HPS_RING_MAX];
    ULONG RingFlags;
    ULONG RunningState;              // 36 or 38 once the go flag is seen
    ULONG StartPosition;
    LONG RingPitchRegister;
    ZAR_HPS_CAPTURE_REQUEST RingRequest;  // a stop built from it at the owner's close
    ULONG SpuriousDpcs;
};

// ---- scaler (zar_hps_scaler.cpp) ----
// The five scaler words for 'request'; writes the applied top crop back
// into it and updates the scaler's prefilter selection and vertical gain.
void ZarHpsScaleWords(const ZAR_HPS_GEOMETRY* geometry, ZAR_HPS_SCALER* scaler, ZAR_HPS_CAPTURE_REQUEST* request,
                      ULONG words[5]);
ULONG ZarHpsDeterminePreFilter(const ZAR_HPS_SCALER* scaler, ULONG verticalGain);
// BCS_CTRL from the stored contrast, brightness and saturation.
ULONG ZarHpsProcAmpWord(const ZAR_HPS_SCALER* scaler);
void ZarHpsScaleRegister(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_CAPTURE_REQUEST* request, ULONG words[5]);
void ZarHpsApplyProcAmps(PZAR_DEVICE_EXTENSION ext);
void ZarHpsApplyPreFilter(PZAR_DEVICE_EXTENSION ext);
// The page tables of single and continuous captures, made at the first one (release).
void ZarHpsFreePageTables(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7146SetHpsProcAmps(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarSaa7146SetHpsPreFilter(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- capture channel (zar_hps_capture.cpp) ----
NTSTATUS ZarSaa7146ResetCircularCaptureOverflow(PZAR_DEVICE_EXTENSION ext);
void ZarDpcForHpsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarHpsCaptureStateMachine(PZAR_DEVICE_EXTENSION ext);
void ZarHpsCaptureRingStep(PZAR_DEVICE_EXTENSION ext);

// Queue a stop of the ordinary or the circular capture on the HPS queue;
// STATUS_INSUFFICIENT_RESOURCES when no queue entry is left.
NTSTATUS ZarHpsQueueStopRequest(PZAR_DEVICE_EXTENSION ext, BOOLEAN circular);
void ZarHpsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry);
void ZarHpsLockDmaBuffers(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry, KPROCESSOR_MODE mode);
// TRUE when a running circular capture answered the request itself.
BOOLEAN ZarHpsAnswerRunningCapture(PZAR_DEVICE_EXTENSION ext, PVOID request, NTSTATUS* status);

// BRS DMA channel: images and blocks from host memory into the board's
// graphics frame stores over the bridge's video DMA 3, one transfer at a
// time from the channel's device queue, started at once or at the next
// field of a chosen parity, ended by the board interrupt and the channel's
// DPC.
//
// The module's per-board state (ZAR_BRS_STATE) lives in the device extension
// as ext->Brs. The completion test the interrupt routine makes (waiting
// flag, end address, pitch, start field) and the pending field-synchronous
// entry stay in the extension's interrupt-frame words.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;
struct ZAR_BRS_ENTRY;

inline constexpr ULONG ZAR_BRS_ADAPTER = 1;            // adapter and page-table page of the channel
inline constexpr ULONG ZAR_BRS_BOUNCE_SIZE = 32768;

// Bridge registers of video DMA 3 (data-sheet names) and the bits the channel uses.
inline constexpr ULONG ZAR_BRIDGE_BASE_ODD3 = 0x30;
inline constexpr ULONG ZAR_BRIDGE_BASE_EVEN3 = 0x34;
inline constexpr ULONG ZAR_BRIDGE_PROT_ADDR3 = 0x38;
inline constexpr ULONG ZAR_BRIDGE_PITCH3 = 0x3C;
inline constexpr ULONG ZAR_BRIDGE_BASE_PAGE3 = 0x40;
inline constexpr ULONG ZAR_BRIDGE_NUM_LINE_BYTE3 = 0x44;
inline constexpr ULONG ZAR_BRIDGE_BRS_CURRENT = 0x128;
inline constexpr ULONG ZAR_BRS_MC1_ENABLE = 0x10001000;   // the BRS path on
inline constexpr ULONG ZAR_BRS_MC2_UPLOAD = 0x00100010;   // upload the DMA 3 registers
inline constexpr ULONG ZAR_BRS_MC1_START = 0x00100010;    // start DMA 3
inline constexpr ULONG ZAR_BRS_PAGE_MMU = 0x804;          // BASE_PAGE3: through the page table
inline constexpr ULONG ZAR_BRS_PAGE_PLAIN = 0x4;          // BASE_PAGE3: one contiguous piece
inline constexpr ULONG ZAR_BRS_LINEAR = 0x80000000;       // address bit: linear, through the page table

enum ZAR_BRS_DMA_STATE : ULONG {
    ZAR_BRS_IDLE = 0,
    ZAR_BRS_RUNNING = 1,
    ZAR_BRS_FAILED = 255,      // the set-up failed: the DPC completes the entry with nothing moved
};

// What a kernel caller of ZarBrsDmaCommand shares with the channel: its own
// copy of the command and the event it waits on. The caller and the channel
// each hold one reference; the later of the two frees it, so a caller that
// gave up is never written to.
struct ZAR_BRS_KERNEL_REQUEST {
    ZAR_BRS_DMA_COMMAND Command;
    KEVENT Done;
    volatile LONG References;
};

// The channel's part of a queue entry (ZAR_BRS_ENTRY::Channel).
struct ZAR_BRS_ENTRY_DATA {
    ZAR_BRS_KERNEL_REQUEST* Kernel;  // null for a request from user mode
    ULONG Pitch;                     // kind 2: bytes a line of the image
    ULONG ImageSize;                 // kind 2: bytes of the whole image
    ULONG HalfHeight;
    LONG PitchRegister;
    ULONG StartOffset;               // kind 2: from the data's start
    ULONG EndBase;
    ULONG Spare;
};

struct ZAR_BRS_STATE {
    ZAR_BRS_ENTRY* CurrentEntry;
    volatile ULONG State;          // ZAR_BRS_DMA_STATE
    ULONG Remaining;               // bytes still to move, the current chunk included
    ULONG Chunk;                   // bytes the current chunk moves
    ULONG Done;                    // bytes moved before the current chunk
    ULONG MapRegisterCount;
    PVOID MapRegisterBase;
    // Shadows of the board registers the channel shares with the graphics
    // frame stores (changed only synchronised with the interrupt).
    ULONG StoreAWrite;             // 0x5008
    ULONG StoreBWrite;             // 0x4C08
    ULONG FrameTransfer;           // 0x5800
    ULONG SpuriousDpcs;
    ULONG Transfers;               // transfers ended (for diagnostics and tests)
    KEVENT FrameTransferDone;      // set at the end of each kind-1 transfer
    BOOLEAN Ready;                 // the event is set up
};

// Prepares the state at device start (the bounce buffer, ext->BrsBounce,
// comes with the device's common buffers).
NTSTATUS ZarBrsInitialize(PZAR_DEVICE_EXTENSION ext);
// For kernel callers: validates the command, fills its default field order,
// queues it and waits at most 1 s. STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST
// (refused), STATUS_INSUFFICIENT_RESOURCES (no entry or no MDL) or
// STATUS_IO_TIMEOUT. The host address is probed and locked for reading in
// 'mode' (the caller's thread must own it).
NTSTATUS ZarBrsDmaCommand(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_DMA_COMMAND* command, KPROCESSOR_MODE mode);
// The line geometry of a kind-0 chunk of 'length' bytes: bytes a line and
// lines. Never more than 'length' bytes: a length the chosen line does not
// divide moves its whole lines first and the rest as a chunk of its own.
void ZarBrsCalcNumBytesLines(ULONG length, PULONG bytesPerLine, PULONG lines);

// ---- the BRS channel (zar_brs.cpp) ----
void ZarDpcForBrsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION ext, PVOID entry);
void ZarBrsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry);

// Lock what the request names for the channel's DMA; raise the probe's
// status (called inside SehTry).
void ZarBrsLockDmaBuffers(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry, KPROCESSOR_MODE mode);

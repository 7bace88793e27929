// DEBI bus: programmed access, the queued DEBI request, DEBI DMA and the board SDRAM window.
//
// The module's per-board state (ZAR_DEBI_STATE) lives in the device extension as
// ext->Debi; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;
struct ZAR_DEBI_ENTRY;

inline constexpr ULONG ZAR_DEBI_WAIT_STATES = 5;       // entries of each audio wait-state table
inline constexpr ULONG ZAR_DEBI_ADAPTER = 0;           // adapter and page-table page of the DEBI channel
inline constexpr USHORT ZAR_DEBI_READ_FAILED = 0xFFFF; // what a programmed read gives when DEBI stayed busy

// Where the queued DEBI request stands.
enum ZAR_DEBI_DMA_STATE : ULONG {
    ZAR_DEBI_IDLE = 0,
    ZAR_DEBI_RUNNING = 1,
    ZAR_DEBI_FAILED = 255,     // set-up or start failed: the DPC completes it with FailStatus
};

// Who owns the DEBI engine for a transfer of several blocks. The bridge has
// one engine and one done interrupt, and the SDRAM window's mode and pointer
// stay set from one block to the next: only one such transfer may run.
enum ZAR_DEBI_OWNER : ULONG {
    ZAR_DEBI_OWNER_NONE = 0,
    ZAR_DEBI_OWNER_REQUEST = 1,    // the queued DEBI request in CurrentEntry
    ZAR_DEBI_OWNER_SCSI_COPY = 2,  // an SDRAM copy of the SCSI command thread
    // The FPGA loader's configuration stream: each byte is a command, data
    // and upload of its own, so no programmed access may run in between.
    ZAR_DEBI_OWNER_FPGA_STREAM = 3,
};

struct ZAR_DEBI_STATE {
    // DEBI_CONFIG of the audio ranges by the board's wait-state setting:
    // the first table serves 0x8400, 0x8C00 and 0x9800, the second 0x8800.
    ULONG WaitStates[ZAR_DEBI_WAIT_STATES];
    ULONG WaitStates2[ZAR_DEBI_WAIT_STATES];
    ULONG WaitStateIndex;      // the board's wait-state setting, 0..4 (others use entry 0)
    ULONG SdramModeShadow;     // board register 0xB408 as last written
    // Programmed accesses dropped (writes) or answered 0xFFFF (reads)
    // because the bus never became idle.
    ULONG PioTimeouts;
    // Programmed accesses refused while the FPGA stream owns the engine.
    ULONG PioRefused;
    ULONG SpuriousDpcs;

    // The queued request being served and its transfer block.
    ZAR_DEBI_ENTRY* CurrentEntry;
    volatile ULONG State;      // ZAR_DEBI_DMA_STATE
    NTSTATUS FailStatus;
    ULONG Mode;                // ZAR_DEBI_DMA_...
    BOOLEAN ToBoard;
    ULONG BoardAddress;
    ULONG Remaining;           // bytes still to move, the current chunk included
    ULONG Chunk;               // bytes of the current chunk
    PUCHAR CurrentVa;          // caller's address of the current chunk
    ULONG PageIndex;           // page-table entry of the current chunk
    ULONG MapRegisterCount;
    PVOID MapRegisterBase;     // null while no map registers are held
    PUCHAR ImmediateHost;      // system address of a chunk of four bytes or less

    // Engine ownership, under OwnerLock. Single programmed accesses and
    // polled single transfers run between the owner's blocks, unowned.
    KSPIN_LOCK OwnerLock;          // guards Owner, WaitingEntry and CopyWaiting
    volatile ULONG Owner;          // ZAR_DEBI_OWNER
    ZAR_DEBI_ENTRY* WaitingEntry;  // a DMA request held back while the SCSI copy owns the engine
    BOOLEAN CopyWaiting;           // the SCSI thread waits for the engine
    KEVENT CopyGranted;            // set when the engine is handed to the waiting SCSI thread
};

// Prepares the module's state at device start (before any DEBI access):
// the audio ranges get the plain set-up until the revision is known.
void ZarDebiInit(PZAR_DEVICE_EXTENSION ext);

// Waits for the bridge's DEBI engine (PSR busy bit, up to 100,000 polls of
// 1 us) and for the board's DEBI state machine (0xBC00 bit 0x0800, up to
// 16,384 polls of 1 us); FALSE on time-out.
BOOLEAN ZarDebiWaitIdle(PZAR_DEVICE_EXTENSION ext);
BOOLEAN ZarDebiWaitStateMachineIdle(PZAR_DEVICE_EXTENSION ext);
// Board register 0xB408 bits 10-13 for an SDRAM access mode (0, 1, 2, 101,
// 102; 255 clears bits 10-11 only).
void ZarDebiSdramSetAddressMode(PZAR_DEVICE_EXTENSION ext, ULONG mode);
// Starts one DEBI transfer of an SDRAM block through the SDRAM window at
// board address 0x9000: 'command' is the DEBI command word (length in bits
// 17 and up, bit 16 = read), 'pageTable' the bus address of the page table,
// 'offset' the offset in the page-table window. Interrupt-driven transfers
// end in the DEBI DPC. Synchronises with the interrupt itself when called
// below device IRQL. FALSE when DEBI did not become idle.
BOOLEAN ZarDebiSdramDmaStartDevice(PZAR_DEVICE_EXTENSION ext, ULONG pageTable, ULONG offset, ULONG command,
                                   BOOLEAN interruptDriven);
// One polled DEBI transfer with the caller's command, page and address
// words (the caller waits for the busy bit).
BOOLEAN ZarDebiFsDmaStartDevice(PZAR_DEVICE_EXTENSION ext, ULONG command, ULONG page, ULONG address);
// The SCSI command thread's hold on the engine around one SDRAM copy
// (passive level). Acquire waits up to a second for a DEBI request to end;
// FALSE when it did not. Release starts the DEBI request held back meanwhile.
BOOLEAN ZarDebiAcquireForCopy(PZAR_DEVICE_EXTENSION ext);
void ZarDebiReleaseFromCopy(PZAR_DEVICE_EXTENSION ext);
// The FPGA loader's hold on the engine around its configuration stream
// (passive level). Acquire waits up to a second for the current owner and
// returns once every programmed access already under way has ended; until
// release, programmed accesses are refused. Release hands the engine to a
// waiting SDRAM copy or starts the DEBI request held back meanwhile.
BOOLEAN ZarDebiAcquireForStream(PZAR_DEVICE_EXTENSION ext);
void ZarDebiReleaseFromStream(PZAR_DEVICE_EXTENSION ext);
// From the interrupt routine, for one transfer of its own through the SDRAM
// window: FALSE at once while a transfer of several blocks owns the engine,
// or when DEBI stays busy; otherwise the DEBI interrupt is off (a done status
// already latched goes to the DEBI DPC) and DEBI_CONFIG has the plain set-up.
BOOLEAN ZarDebiClaimAtDirql(PZAR_DEVICE_EXTENSION ext);
// Fills the two DEBI wait-state tables for the board revision.
void ZarDebiInitAudioWaitStates(PZAR_DEVICE_EXTENSION ext);

// The queued request's DMA path: transfer block, adapter-channel callback
// and the start of one chunk (run synchronised with the interrupt; context
// is the extension).
NTSTATUS ZarDebiInitDcb(PZAR_DEVICE_EXTENSION ext);
IO_ALLOCATION_ACTION ZarDebiAdapterControl(PDEVICE_OBJECT device, PIRP irp, PVOID mapRegisterBase, PVOID context);
BOOLEAN ZarDebiDmaStartDevice(PVOID context);

// ---- DEBI access and the DEBI channel (zar_debi.cpp) ----
void ZarDpcForDebiDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);

// Programmed 16-bit access to a board register over DEBI; synchronised
// with the board interrupt below device IRQL. A write returns FALSE when it
// did not happen: the bus stayed busy, or the FPGA stream owns the engine.
BOOLEAN ZarDebiPioWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value);
USHORT ZarDebiPioRead(PZAR_DEVICE_EXTENSION ext, ULONG address);
void ZarDebiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry);
BOOLEAN ZarBrsIsValidDmaCommand(const void* command);
NTSTATUS ZarDebiIoPioWrite(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// SCSI: host adapter bus protocol, per-target table, command thread and disk request engine.
//
// The module's per-board state (ZAR_SCSI_STATE) lives in the device extension as
// ext->Scsi; its entry points used by other modules are declared below.
// zar_scsi_bus.cpp holds the bus protocol (controller, selection and
// negotiation, phases, commands, scan, interrupt path), zar_scsi_request.cpp
// the request engine (start, command thread, operations, SDRAM copies,
// completion).
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;
struct ZAR_SCSI_ENTRY;

inline constexpr ULONG ZAR_SCSI_CONTROLLER_REGISTERS = 16;
inline constexpr ULONG ZAR_SCSI_PAGE_BUFFER_SIZE = 268;

// The per-target table and the two mode-page buffers share one pool block.
struct ZAR_SCSI_TABLES {
    ZAR_SCSI_DEVICE_INFO Device[ZAR_SCSI_MAX_TARGETS];
    UCHAR Page[2][ZAR_SCSI_PAGE_BUFFER_SIZE];  // current values, changeable values
};

struct ZAR_SCSI_STATE {
    volatile BOOLEAN SdramCopyRunning;  // an SDRAM block copy runs through the DEBI DPC
    KEVENT SdramCopyDone;               // set by the DEBI DPC after the copy's last block

    // Interrupt path: the ISR keeps controller register 5, its DPC sets the event.
    KEVENT InterruptEvent;
    volatile ULONG InterruptStatus;

    // Controller: what the driver last wrote to each register and to 0x9400
    // (bit 15 is never kept).
    UCHAR Shadow[ZAR_SCSI_CONTROLLER_REGISTERS];
    ULONG SdramControl;
    ULONG SelectionTimeout;
    ULONG DmaThresholdRx;
    ULONG DmaThresholdTx;
    ULONG AllowSmart;
    BOOLEAN Scanning;                   // shortens the phase waits for absent ids
    BOOLEAN AutoSense;                  // the REQUEST SENSE that follows a CHECK CONDITION runs
    BOOLEAN Recovering;                 // the bus reset after a failed command takes the targets' attentions
    BOOLEAN RecoveryRestart;            // a bus reset inside that round re-armed them all

    ZAR_SCSI_TABLES* Tables;            // pool, from device start to release

    // The driver's own two-page common buffer: a data page (command replies,
    // bounce copies) and the one-entry page table DEBI reaches it through.
    PUCHAR CommonVa;
    PHYSICAL_ADDRESS CommonLogical;

    // The SDRAM copy in progress (host side and SDRAM side).
    PUCHAR CopyHost;                    // system address of the copy's start (bounce, own buffer)
    PVOID CopyUserVa;                   // user address of the copy's start (locked pages)
    ULONG CopyPageTable;                // bus address of the page table
    ULONG CopyWindowOffset;             // the start's offset in the page-table window
    ULONG CopyDone;
    ULONG CopyRemaining;
    ULONG CopyBlockBytes;               // of the block in flight
    ULONG CopySdramBlock;
    ULONG CopyMode;
    BOOLEAN CopyToHost;
    BOOLEAN CopyBounce;
    BOOLEAN CopyLocked;                 // the host side is the request's locked pages
    BOOLEAN CopyFailed;

    // Sequential transfers, read by IOCTL_ZAR_SCSI_SEQ_STATUS meanwhile.
    volatile LONG SeqDone;
    volatile LONG SeqStop;
    volatile LONG SeqFinished;
};

// Device start and release: the event, the table and the common buffer.
NTSTATUS ZarScsiInitialize(PZAR_DEVICE_EXTENSION ext);
void ZarScsiRelease(PZAR_DEVICE_EXTENSION ext);

// The DEBI DPC drives an interrupt-driven SDRAM copy block by block:
// EndBlock finishes the block that just ended (flush, bounce copy-out,
// advance) and returns TRUE when bytes remain; StartNextBlock starts the
// next; Complete frees what the copy held, clears SdramCopyRunning and sets
// SdramCopyDone.
BOOLEAN ZarScsiSdramDmaEndBlock(PZAR_DEVICE_EXTENSION ext);
void ZarScsiSdramDmaStartNextBlock(PZAR_DEVICE_EXTENSION ext);
void ZarScsiSdramDmaComplete(PZAR_DEVICE_EXTENSION ext);

// ---- between the two halves of the module ----

// What the operations compute (not delivered to the caller) and the status
// byte of a command that never reached its status phase.
inline constexpr ULONG ZAR_SCSI_RESULT_BAD_TARGET = ULONG(-100);
inline constexpr ULONG ZAR_SCSI_RESULT_BAD_RANGE = ULONG(-101);
inline constexpr ULONG ZAR_SCSI_STATUS_NOT_REACHED = 0xFF;
inline constexpr ULONG ZAR_SCSI_DEFAULT_DMA_THRESHOLD_RX = 4;
inline constexpr ULONG ZAR_SCSI_DEFAULT_DMA_THRESHOLD_TX = 70;

// Bus protocol (zar_scsi_bus.cpp). Each command returns STATUS_SUCCESS once
// its status phase was read (the status byte is in the record), else
// STATUS_UNSUCCESSFUL.
NTSTATUS ZarScsiInit(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarScsiBusReset(PZAR_DEVICE_EXTENSION ext);
void ZarScsiInitTransferOptions(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarScsiBusScan(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
void ZarScsiInitCdb(ZAR_DISK_REQUEST* request, UCHAR opcode, ULONG length);
// One command from selection to bus free; 'bytes' is its data phase's length.
NTSTATUS ZarScsiRunCommand(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG bytes);
NTSTATUS ZarScsiSelectionThruCommand(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiTransferData(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, ULONG bytes);
NTSTATUS ZarScsiDataPhaseComplete(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdInquiry(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdRequestSense(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdTestUnitReady(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdStartUnit(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdReadCapacity(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdModeSense(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
NTSTATUS ZarScsiCmdModeSelect(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);
void ZarScsiInterruptEnable(PZAR_DEVICE_EXTENSION ext);
void ZarScsiInterruptDisable(PZAR_DEVICE_EXTENSION ext);

// Request engine (zar_scsi_request.cpp).
// SDRAM <-> the driver's own buffer (at most a page), polled.
NTSTATUS ZarScsiSdramReadReply(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, PVOID data, ULONG length);
NTSTATUS ZarScsiSdramWriteData(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request, const void* data,
                               ULONG length);
void ZarScsiSdramSetAddress(PZAR_DEVICE_EXTENSION ext, ZAR_DISK_REQUEST* request);

// ---- request engine and command thread (zar_scsi_request.cpp) ----
// The bodies of the driver's system threads.
void ZarScsiCommandThread(PVOID context);
void ZarDpcForScsiRequestComplete(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
NTSTATUS ZarScsiInitDcb(PZAR_DEVICE_EXTENSION ext);
void ZarScsiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_SCSI_ENTRY* entry);
IO_ALLOCATION_ACTION ZarScsiAdapterControl(PDEVICE_OBJECT device, PIRP irp, PVOID mapRegisterBase, PVOID context);
NTSTATUS ZarScsiGetDevice(PZAR_DEVICE_EXTENSION ext, PVOID buffer);
NTSTATUS ZarScsiGetSeqStatus(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// ---- bus protocol (zar_scsi_bus.cpp) ----
void ZarDpcForScsiIrq(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarScsiIsr(PZAR_DEVICE_EXTENSION ext);

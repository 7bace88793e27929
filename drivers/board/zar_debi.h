// DEBI bus: programmed access, the queued DEBI request, DEBI DMA and the board SDRAM window.
//
// The module's per-board state (ZAR_DEBI_STATE) lives in the device extension as
// ext->Debi; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_DEBI_STATE {
    ULONG Reserved;
};

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
// Fills the two DEBI wait-state tables for the board revision.
void ZarDebiInitAudioWaitStates(PZAR_DEVICE_EXTENSION ext);

// SCSI: host adapter bus protocol, per-target table, command thread and disk request engine.
//
// The module's per-board state (ZAR_SCSI_STATE) lives in the device extension as
// ext->Scsi; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_SCSI_STATE {
    volatile BOOLEAN SdramCopyRunning;  // an SDRAM block copy runs through the DEBI DPC
    KEVENT SdramCopyDone;               // set by the DEBI DPC after the copy's last block
};

// The DEBI DPC drives an interrupt-driven SDRAM copy block by block:
// EndBlock finishes the block that just ended (flush, bounce copy-out,
// advance) and returns TRUE when bytes remain; StartNextBlock starts the
// next; Complete frees what the copy held, clears SdramCopyRunning and sets
// SdramCopyDone.
BOOLEAN ZarScsiSdramDmaEndBlock(PZAR_DEVICE_EXTENSION ext);
void ZarScsiSdramDmaStartNextBlock(PZAR_DEVICE_EXTENSION ext);
void ZarScsiSdramDmaComplete(PZAR_DEVICE_EXTENSION ext);

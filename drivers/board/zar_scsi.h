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
    ULONG Reserved;
};

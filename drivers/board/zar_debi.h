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

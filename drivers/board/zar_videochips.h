// Bridge, decoder and encoder register set-up (the chips' register images).
//
// The module's per-board state (ZAR_VIDEO_CHIPS_STATE) lives in the device extension as
// ext->Chips; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_VIDEO_CHIPS_STATE {
    ULONG Reserved;
};

// JPEG channels: codec access, channel states, SDRAM field ring, record descriptors, bit-rate control, commands.
//
// The module's per-board state (ZAR_JPEG_STATE) lives in the device extension as
// ext->Jpeg; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_JPEG_STATE {
    ULONG Reserved;
};

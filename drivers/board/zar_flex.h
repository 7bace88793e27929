// FPGA image loader and its image file.
//
// The module's per-board state (ZAR_FLEX_STATE) lives in the device extension as
// ext->Flex; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_FLEX_STATE {
    ULONG Reserved;
};

// Video input mode, the video-input proc amp and the video-input monitor.
//
// The module's per-board state (ZAR_VIN_STATE) lives in the device extension as
// ext->Vin; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_VIN_STATE {
    ULONG Reserved;
};

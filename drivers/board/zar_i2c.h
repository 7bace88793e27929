// I2C engine, GPIO shadow and the bridge's PCI burst thresholds.
//
// The module's per-board state (ZAR_I2C_STATE) lives in the device extension as
// ext->I2c; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_I2C_STATE {
    ULONG Reserved;
};

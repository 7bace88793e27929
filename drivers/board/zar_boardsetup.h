// Board set-up after the FPGA load: EEPROM, calibration DACs, M2 routing, genlock, audio clock, unit resets, field wait.
//
// The module's per-board state (ZAR_BOARD_SETUP_STATE) lives in the device extension as
// ext->Setup; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_BOARD_SETUP_STATE {
    ULONG Reserved;
};

// Diagnostic exception ring, the 24 fps mode and shutdown.
//
// The module's per-board state (ZAR_DIAG_STATE) lives in the device extension as
// ext->Diag; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_DIAG_STATE {
    ULONG Reserved;
};

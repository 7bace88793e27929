// Play-list engine core: node rings, due tests, positions, play/stop hand-shake.
//
// The module's per-board state (ZAR_PLAYLIST_STATE) lives in the device extension as
// ext->Playlist; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

struct ZAR_PLAYLIST_STATE {
    ULONG Reserved;
};

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

inline constexpr ULONG ZAR_JPEG_CHANNEL_COUNT = 2;
// The channel's SDRAM field-area start as a 512-byte block number (the
// caller has checked channel < ZAR_JPEG_CHANNEL_COUNT).
ULONG ZarJpegSafeGetSdlAddress(PZAR_DEVICE_EXTENSION ext, ULONG channel);
// A channel's video state (1 idle ... 32 playing, 64 recording) and the
// request to change it.
ULONG ZarJpegGetState(PZAR_DEVICE_EXTENSION ext, ULONG channel);
NTSTATUS ZarJpegSetState(PZAR_DEVICE_EXTENSION ext, ULONG channel, ULONG state);

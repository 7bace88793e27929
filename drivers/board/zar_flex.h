// FPGA image loader and its image file.
//
// The module's per-board state (ZAR_FLEX_STATE) lives in the device extension as
// ext->Flex; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

// Image file limits.
inline constexpr ULONG ZAR_FLEX_FPGA_COUNT = 4;
inline constexpr ULONG ZAR_FLEX_MAX_IMAGES_PER_FPGA = 16;
inline constexpr ULONG ZAR_FLEX_MAX_IMAGES = ZAR_FLEX_FPGA_COUNT * ZAR_FLEX_MAX_IMAGES_PER_FPGA;
inline constexpr ULONG ZAR_FLEX_MAX_IMAGE_BYTES = 0x100000;
inline constexpr ULONG ZAR_FLEX_HEADER_BYTES = 1140;

// Result bits of ZarFlexSend10K.
inline constexpr ULONG ZAR_FLEX_CONFIGURED = 0x1;    // all four FPGAs run
inline constexpr ULONG ZAR_FLEX_DVE_ANSWERS = 0x2;   // the DVE FPGA answers

// FpgaState values.
inline constexpr ULONG ZAR_FPGA_NOT_CONFIGURED = 0;
inline constexpr ULONG ZAR_FPGA_CONFIGURED = 1;
inline constexpr ULONG ZAR_FPGA_CONFIGURED_WITH_DVE = 3;

struct ZAR_FLEX_STATE {
    ULONG DebiConfig;          // the value last written to the bridge's DEBI_CONFIG (0x7C)
    BOOLEAN DveConfigured;     // the DVE FPGA answered after the last download
};

// Reads \SystemRoot\system32\drivers\Zar10kr<rev>.mbf, picks one image per
// FPGA (the EEPROM's choice, else a search whose result goes back to the
// EEPROM) and configures the FPGAs. Leaves the bridge's interrupts off.
NTSTATUS ZarFlexDownload(PZAR_DEVICE_EXTENSION ext);
// Pulses the FPGAs' program line and clocks 'length' stream bytes into them
// over DEBI; returns ZAR_FLEX_CONFIGURED / ZAR_FLEX_DVE_ANSWERS.
ULONG ZarFlexSend10K(PZAR_DEVICE_EXTENSION ext, const UCHAR* buffer, ULONG length);
// Frees whichever of the buffers are allocated.
void ZarFlexReleaseBuffers(PVOID fileBuffer, PVOID combinedBuffer, PUCHAR imageBuffers[ZAR_FLEX_MAX_IMAGES]);

// Graphics frame store (its module is not written yet): erases both stores.
// The download's video re-initialisation calls it.
void ZarGfxInitFramestore(PZAR_DEVICE_EXTENSION ext);

// ---- the FPGA loader (zar_flex.cpp) ----
NTSTATUS ZarFlexIoDownload(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

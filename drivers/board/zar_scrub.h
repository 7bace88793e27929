// Scrub list: while nothing plays, the library shows the effect state of the
// frame under the cursor by committing one entry per frame, part by part
// (DVE, mixer, the video channels, proc amps, preview bus, M2 route); the
// interrupt routine applies the DVE's up-stream part first and the rest two
// fields later, so the DVE's pipeline lines up with the units written
// directly. A ring of eight entries per board.
//
// The module's per-board state (ZAR_SCRUB_STATE) lives in the device
// extension as ext->Scrub.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_SCRUB_ENTRIES = 8;
inline constexpr ULONG ZAR_SCRUB_ENTRY_SIZE = 435;
inline constexpr ULONG ZAR_SCRUB_READY = 0x80000000;     // committed, not yet applied
inline constexpr ULONG ZAR_SCRUB_DVE_UPSTREAM = 0x10;
inline constexpr ULONG ZAR_SCRUB_WAIT_STEPS = 16;

struct ZAR_SCRUB_STATE {
    UCHAR Entry[ZAR_SCRUB_ENTRIES][ZAR_SCRUB_ENTRY_SIZE];
    ULONG NextDue;
    ULONG UpCounter;
    ULONG DownCounter;
    ULONG UpRead;             // free-running indices: the slot is index & 7
    ULONG DownRead;
    ULONG Write;
};

// ---- the scrub list (zar_scrub.cpp) ----
void ZarScrubListIsr(PZAR_DEVICE_EXTENSION ext);

// The scrub list: a video channel's part of an entry (kind 0x100 channel 0,
// 0x200 channel 1), and whether every entry has been applied.
NTSTATUS ZarScrubListAddVideoPart(PZAR_DEVICE_EXTENSION ext, ULONG kind, const void* jpegCommand);
BOOLEAN ZarScrubListIsEmpty(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

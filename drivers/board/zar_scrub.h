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

// Diagnostic exception ring, the 24 fps mode and shutdown.
//
// The module's per-board state (ZAR_DIAG_STATE) lives in the device extension as
// ext->Diag; its entry points used by other modules are declared below.
#pragma once

#include "platform/nt/kernel.h"
#include "include/zarkd.h"

struct ZAR_DEVICE_EXTENSION;
using PZAR_DEVICE_EXTENSION = ZAR_DEVICE_EXTENSION*;

inline constexpr ULONG ZAR_DIAG_RING_SIZE = 64;

// Records wait here, oldest first, until the client that registered the
// semaphore drains them; the semaphore counts the records added.
struct ZAR_DIAG_STATE {
    ZAR_DIAG_EXCEPTION Ring[ZAR_DIAG_RING_SIZE];
    ULONG Count;
    ULONG Lost;                 // records dropped while the ring was full
    PKSEMAPHORE Semaphore;      // referenced; null while nobody listens
    KSPIN_LOCK Lock;            // guards the ring, its count and the semaphore
};

// Adds a record for the registered client (any IRQL up to DISPATCH_LEVEL).
void ZarDiagAddException(PZAR_DEVICE_EXTENSION ext, ULONG code, ULONG value);

// ---- exception log, 24 fps mode and shutdown (zar_diag.cpp) ----
NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION ext);

// Takes the referenced semaphore (null: unregister) and drops the one held before.
NTSTATUS ZarDiagSetExceptionHandler(PZAR_DEVICE_EXTENSION ext, PKSEMAPHORE semaphore);
NTSTATUS ZarDiagGetException(PZAR_DEVICE_EXTENSION ext, PVOID buffer);

// The HDCAM 24 fps mode word.
inline constexpr ULONG ZAR_24FPS_MODE_OFF = 0;
inline constexpr ULONG ZAR_24FPS_MODE_ON = 1;
inline constexpr ULONG ZAR_24FPS_MODE_DIGITAL_IO = 2;  // on, with the digital-I/O option's timing
NTSTATUS ZarSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION ext);

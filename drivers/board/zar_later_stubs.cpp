// Entry points of ZARKD modules that are not written yet. Start-up and
// release call them in their places; each does the least that keeps those
// paths honest (succeeds without touching hardware, or reports that it has
// nothing) and moves to its module's file when the module is written.

#include "zar_driver.h"

namespace {

// Each stub that reports STATUS_NOT_IMPLEMENTED names itself on the
// machine's debug output the first time it is reached, so a caller's
// failure can be traced to the module still to be written.
// Lock-free: a stub may be reached at device IRQL.
constexpr ULONG kStubsRemembered = 128;
PVOID volatile gStubsReported[kStubsRemembered];

NTSTATUS ZarNotWritten(const char* name)
{
    for (ULONG i = 0; i < kStubsRemembered; ++i) {
        PVOID seen = InterlockedCompareExchangePointer(&gStubsReported[i], const_cast<char*>(name), nullptr);
        if (seen == name) return STATUS_NOT_IMPLEMENTED;
        if (seen == nullptr) {
            DbgPrint("ZARKD: %s: its module is not written yet", name);
            return STATUS_NOT_IMPLEMENTED;
        }
    }
    return STATUS_NOT_IMPLEMENTED;
}

}  // namespace

// ---- DVE ----

// Will allocate the DVE warp tables and load the perspective lookup.
NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ext->DveWarpTablesAllocated = TRUE;
    return STATUS_SUCCESS;
}
// Will free what ZarDveWarpTableAlloc allocated.
void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext) { ext->DveWarpTablesAllocated = FALSE; }

// ---- system threads ----
// Each waits on its wake event until release sets Stop. Their work (SCSI
// command sequencing, video-input monitoring every fourth field, DSP
// command delivery) joins the loop with the modules.

void ZarRunUntilStopped(ZAR_SYSTEM_THREAD* thread)
{
    while (!thread->Stop) KeWaitForSingleObject(&thread->Wake, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- DPCs: queued only by interrupt paths that are not written yet ----

// Will complete a BRS transfer and start the next queued entry.
void ZarDpcForBrsDma(PKDPC, PVOID, PVOID, PVOID) {}

// ---- interrupt frame and request entry points: hooks of later modules ----
// The interrupt routine, the VBI DPC and the close clean-up call these in
// their places. Until its module is written each does nothing, which is
// what the module does when it has nothing playing, queued or owned.

// Will apply the committed scrub entry when nothing plays.
void ZarScrubListIsr(PZAR_DEVICE_EXTENSION) {}

// What the JPEG video channels call of modules still to come: nothing
// follows, nothing is queued, nothing is mapped. A call that would hand the
// caller something the module owns (a scrub entry, a graphics read mode, the
// audio record ring, the codec and DSPs) fails with STATUS_NOT_IMPLEMENTED,
// so no command takes it for done.
NTSTATUS ZarScrubListAddVideoPart(PZAR_DEVICE_EXTENSION, ULONG, const void*) { return ZarNotWritten(__func__); }
BOOLEAN ZarScrubListIsEmpty(PZAR_DEVICE_EXTENSION) { return TRUE; }
ULONG ZarGfxGetReadMode(PZAR_DEVICE_EXTENSION, ULONG) { return 0; }
NTSTATUS ZarGfxSetReadMode(PZAR_DEVICE_EXTENSION, ULONG, ULONG) { return ZarNotWritten(__func__); }
BOOLEAN ZarDveAcquireDebiAtDirql(PZAR_DEVICE_EXTENSION) { return FALSE; }

void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION) {}
// Will start a field-synchronous BRS transfer.
void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION, PVOID) {}

// control-code dispatch
//
// Handlers of later modules that the control dispatch calls. Until its
// module is written each fails with STATUS_NOT_IMPLEMENTED (0xC0000002): an
// error, so user mode never takes an unwritten setting for done, and a
// status no written handler returns, so a test can tell "not there yet" from
// a refusal. They write nothing to the caller's buffer.

void ZarBrsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry)
{
    while (entry != nullptr) {
        ZarQueueEndRequest(&ext->BrsLookaside, entry, entry->Irp, entry->Mdl, STATUS_NOT_IMPLEMENTED, 0);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->BrsQueue);
        entry = next ? CONTAINING_RECORD(next, ZAR_BRS_ENTRY, QueueEntry) : nullptr;
    }
}
// Will lock the source buffers the command and the capture request name.
void ZarBrsLockDmaBuffers(PZAR_DEVICE_EXTENSION, ZAR_BRS_ENTRY*, KPROCESSOR_MODE) {}

NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarVinFramestoreRead(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarGfxIoSetFramestore(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarGfxIoGetFramestore(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarGfxIoLoadImage(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDcIoSetVideoPrefs(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDcIoGetVideoPrefs(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoInitPerspectiveLut(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetPerspective(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoLoadCoefficients(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetBorder(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetPixel(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetFilter(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetCropping(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetTrailShadow(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetWarp(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveWarpTableLoad(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarGfxPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDvePlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetMixEffects(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetDve(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetDownStreamKey(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetFreeze(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoGetFreeze(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarDveIoSetKey(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarGfxIoEraseFramestore(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
// Will erase both frame stores.
void ZarGfxInitFramestore(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }

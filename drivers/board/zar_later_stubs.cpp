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


// ---- interrupt frame and request entry points: hooks of later modules ----
// The interrupt routine, the VBI DPC and the close clean-up call these in
// their places. Until its module is written each does nothing, which is
// what the module does when it has nothing playing, queued or owned.


// What the JPEG video channels call of modules still to come: nothing
// follows, nothing is queued, nothing is mapped. A call that would hand the
// caller something the module owns (a scrub entry, a graphics read mode, the
// audio record ring, the codec and DSPs) fails with STATUS_NOT_IMPLEMENTED,
// so no command takes it for done.

// control-code dispatch
//
// Handlers of later modules that the control dispatch calls. Until its
// module is written each fails with STATUS_NOT_IMPLEMENTED (0xC0000002): an
// error, so user mode never takes an unwritten setting for done, and a
// status no written handler returns, so a test can tell "not there yet" from
// a refusal. They write nothing to the caller's buffer.


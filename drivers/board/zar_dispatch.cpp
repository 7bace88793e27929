// The driver's request entry points other than device control: create,
// close with the clean-up of what a closing handle still holds, read and
// write (the wave front's only), shutdown and the start-I/O routine.
//
// The driver keeps no per-handle context: what a handle owns (a capture,
// the audio hardware, an audio recording, a vari-play channel) is recorded
// in the extension as the owning file object, and close compares against it.

#include "zar_audio.h"
#include "zar_bridge.h"
#include "zar_diag.h"
#include "zar_dispatch.h"
#include "zar_extension.h"
#include "zar_hps.h"

namespace {

constexpr LONGLONG kCaptureStopWait = -100LL * 10000;  // 100 ms, relative


void ZarStopCapture(PZAR_DEVICE_EXTENSION ext, BOOLEAN circular)
{
    PKEVENT stopped = circular ? &ext->HpsCircularStopEvent : &ext->HpsStopEvent;
    KeClearEvent(stopped);
    // Without a queue entry the stop is skipped: close must not fail.
    if (!NT_SUCCESS(ZarHpsQueueStopRequest(ext, circular))) return;
    LARGE_INTEGER limit;
    limit.QuadPart = kCaptureStopWait;
    KeWaitForSingleObject(stopped, Executive, KernelMode, FALSE, &limit);
}

// Takes back from a closing handle everything it still owns, in the order
// that lets each step find the hardware as the previous one left it.
void ZarCloseCleanup(PZAR_DEVICE_EXTENSION ext, PFILE_OBJECT file)
{
    if (ext->HpsCircularRunning && ext->HpsCircularOwner == file) ZarStopCapture(ext, TRUE);
    if (ext->HpsCaptureOwner == file) ZarStopCapture(ext, FALSE);

    for (ULONG i = 0; i < 2; ++i) {
        if (ext->AudioLockOwner[i] != file || KeReadStateEvent(&ext->AudioLockEvent[i]) != 0) continue;
        if (ext->AudioPlaying) ZarRunSynchronized(ext, ZarAudPlayStopDma, ext);
        if (ext->AudioRecording) ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        if (ext->AudioPlayMode == ZAR_AUDIO_PLAY_DATA_SERVER && ext->AudioPlayPrepared) ZarAudDSrvFreePlayMemoryAndObjects(ext);
        ext->AudioLockOwner[i] = nullptr;
        ext->AudioUsers.LockUser[i] = 0;
        KeSetEvent(&ext->AudioLockEvent[i], IO_NO_INCREMENT, FALSE);
    }

    if (ext->AudioRecordOwner == file) {
        ZarRunSynchronized(ext, ZarAudRecStopDma, ext);
        ZarAudRecRelease(ext);
    }

    for (ULONG channel = 0; channel < 2; ++channel)
        if (ext->VariPlayOwner[channel] == file) ZarVariPlayClose(ext, channel);
}

}  // namespace

NTSTATUS ZarCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR bytes, CCHAR boost)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : bytes;
    IoCompleteRequest(irp, boost);
    return status;
}

void ZarInitEntryPointEvents(PZAR_DEVICE_EXTENSION ext)
{
    // The first open of the board sets them up; a second opener that comes
    // at the same moment waits until they are ready.
    if (ext->CleanupEventsReady == 2) return;
    if (InterlockedCompareExchange(&ext->CleanupEventsReady, 1, 0) == 0) {
        for (KEVENT& e : ext->AudioLockEvent) KeInitializeEvent(&e, SynchronizationEvent, TRUE);
        KeInitializeEvent(&ext->HpsStopEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->HpsCircularStopEvent, NotificationEvent, FALSE);
        InterlockedExchange(&ext->CleanupEventsReady, 2);
        return;
    }
    while (ext->CleanupEventsReady != 2) KeStallExecutionProcessor(1);
}

NTSTATUS ZarDispatchOpen(PDEVICE_OBJECT device, PIRP irp)
{
    ZarInitEntryPointEvents(ZarExtension(device));
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ZarDispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // The wave front marks its handles' requests in the byte offset's high dword.
    if (stack->Parameters.Read.ByteOffset.HighPart != 0) return ZarWaveDrvClose(device, irp);
    auto* ext = ZarExtension(device);
    if (stack->FileObject != nullptr && ext->CleanupEventsReady == 2) ZarCloseCleanup(ext, stack->FileObject);
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ZarDispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.ByteOffset.HighPart != 0)
        return ZarWaveDrvRead(device, irp);
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ZarDispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.ByteOffset.HighPart != 0)
        return ZarWaveDrvWrite(device, irp);
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ZarDispatchShutdown(PDEVICE_OBJECT device, PIRP irp)
{
    ZarShutdown(ZarExtension(device));
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

void ZarStartIo(PDEVICE_OBJECT device, PIRP irp)
{
    // Transfers run on the channels' own device queues; nothing is meant to
    // come through the start-I/O queue but device control, which is left to
    // its dispatch.
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) return;
    ZarCompleteRequest(irp, STATUS_NOT_SUPPORTED);
    IoStartNextPacket(device, FALSE);
}

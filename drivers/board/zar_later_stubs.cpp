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


// ---- bridge and video chips ----


// ---- EEPROM (over the I2C engine) ----


// ---- DVE ----

// Will allocate the DVE warp tables and load the perspective lookup.
NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ext->DveWarpTablesAllocated = TRUE;
    return STATUS_SUCCESS;
}
// Will free what ZarDveWarpTableAlloc allocated.
void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext) { ext->DveWarpTablesAllocated = FALSE; }

// ---- audio ----

// Will reset every audio state (DMA modes, users, levels, DSP) to idle.
void ZarAudHWInitializeAllStates(PZAR_DEVICE_EXTENSION) {}
// Will prepare the record DMA control block over the audio common buffer.
NTSTATUS ZarAudInitRecDcb(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
// Will prepare playback DMA control block 0 or 1.
NTSTATUS ZarAudInitPlayDcb(PZAR_DEVICE_EXTENSION, ULONG) { return STATUS_SUCCESS; }
// The record DMA spans four bytes a block, played as two halves.
void ZarCalcAudRecDmaSize(PZAR_DEVICE_EXTENSION ext)
{
    ext->Audio.RecDmaSize = 4 * ext->Audio.RecBlockCount;
    ext->Audio.RecDmaHalfSize = ext->Audio.RecDmaSize / 2;
    ext->Audio.RecDmaPosition = 0;
}

// ---- play-list engine ----


// ---- shutdown ----


// ---- system threads ----
// Each waits on its wake event until release sets Stop. Their work (SCSI
// command sequencing, video-input monitoring every fourth field, DSP
// command delivery) joins the loop with the modules.

void ZarRunUntilStopped(ZAR_SYSTEM_THREAD* thread)
{
    while (!thread->Stop) KeWaitForSingleObject(&thread->Wake, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}



void ZarDspCommandThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->DspThread);
}

// ---- DPCs: queued only by interrupt paths that are not written yet ----

// Will complete a BRS transfer and start the next queued entry.
void ZarDpcForBrsDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will hand a completed record half to its reader.
void ZarDpcForAudioRecord(PKDPC, PVOID, PVOID, PVOID) {}
// Will refill the playback half that just finished.
void ZarDpcForAudioPlayback(PKDPC, PVOID, PVOID, PVOID) {}
// Will end a one-shot playback.
void ZarDpcForAudioPlaybackSingleDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will end a one-shot record.
void ZarDpcForAudioRecordSingleDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will feed the audio data server's next half.
void ZarAudDSrvDpcFunc(PKDPC, PVOID, PVOID, PVOID) {}
// Will copy wave data into the playback half that finished.
void ZarWaveDrvPlaybackDpc(PKDPC, PVOID, PVOID, PVOID) {}
// Will copy a captured half to the wave device's buffers.
void ZarWaveDrvCaptureDpc(PKDPC, PVOID, PVOID, PVOID) {}
// Will log the FIFO underflow when AudioUnderflowLogging is set.
void ZarDpcForAudioFifoUnderflowLog(PKDPC, PVOID, PVOID, PVOID) {}
// Will answer the audio DSP's interrupt.
void ZarDpcForAudioDsp(PKDPC, PVOID, PVOID, PVOID) {}

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
void ZarAudFollowVideo(PZAR_DEVICE_EXTENSION, const ZAR_PLAY_COMMAND*, const UCHAR*) {}
void ZarAudPreparePassiveStart(PZAR_DEVICE_EXTENSION, const UCHAR*) {}
void ZarAudRecDmaStartDevice(PZAR_DEVICE_EXTENSION, const ULONG*) {}
NTSTATUS ZarScrubListAddVideoPart(PZAR_DEVICE_EXTENSION, ULONG, const void*) { return ZarNotWritten(__func__); }
BOOLEAN ZarScrubListIsEmpty(PZAR_DEVICE_EXTENSION) { return TRUE; }
ULONG ZarGfxGetReadMode(PZAR_DEVICE_EXTENSION, ULONG) { return 0; }
NTSTATUS ZarGfxSetReadMode(PZAR_DEVICE_EXTENSION, ULONG, ULONG) { return ZarNotWritten(__func__); }
BOOLEAN ZarDveAcquireDebiAtDirql(PZAR_DEVICE_EXTENSION) { return FALSE; }
NTSTATUS ZarAudRecRing(PZAR_DEVICE_EXTENSION, PUCHAR*, PULONG, PULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarCs4297Init(PZAR_DEVICE_EXTENSION) { return ZarNotWritten(__func__); }
NTSTATUS ZarYss231Init(PZAR_DEVICE_EXTENSION) { return ZarNotWritten(__func__); }
BOOLEAN ZarVariPlayIsMapped(PZAR_DEVICE_EXTENSION, ULONG) { return FALSE; }
BOOLEAN ZarVariPlayTakeStart(PZAR_DEVICE_EXTENSION, ULONG) { return FALSE; }
ULONG ZarVariPlayUpdatePosition(PZAR_DEVICE_EXTENSION, ULONG) { return 0; }
BOOLEAN ZarVariPlayCurrentField(PZAR_DEVICE_EXTENSION, ULONG, PULONG, PULONG) { return FALSE; }
const void* ZarAudGetState(PZAR_DEVICE_EXTENSION) { return nullptr; }

void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxPostProcessNode(PZAR_DEVICE_EXTENSION) {}
// Will advance the audio play list's field position.
void ZarAudPlayVbi(PZAR_DEVICE_EXTENSION) {}
void ZarYssIsr(PZAR_DEVICE_EXTENSION) {}
// Will put the playback DMA back in step after a FIFO error.
void ZarAudPlayResynchronizeDma(PZAR_DEVICE_EXTENSION) {}
// Will start a field-synchronous BRS transfer.
void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION, PVOID) {}
// Will send the pending track pan to the DSPs.
void ZarAudSetTrackPan(PZAR_DEVICE_EXTENSION) {}
// Will fold the field's audio peaks into the VU levels.
void ZarAudVuLevelProcessing(PZAR_DEVICE_EXTENSION) {}
// The wave front: no wave device is attached until it exists, so nothing
// carries a wave handle or a wave offset.
NTSTATUS ZarWaveDrvClose(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS ZarWaveDrvRead(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS ZarWaveDrvWrite(PDEVICE_OBJECT device, PIRP irp) { return ZarWaveDrvRead(device, irp); }
// Will stop the playback and record DMA (synchronised with the interrupt).
BOOLEAN ZarAudPlayStopDma(PVOID context)
{
    static_cast<PZAR_DEVICE_EXTENSION>(context)->AudioPlaying = FALSE;
    return TRUE;
}
BOOLEAN ZarAudRecStopDma(PVOID context)
{
    static_cast<PZAR_DEVICE_EXTENSION>(context)->AudioRecording = FALSE;
    return TRUE;
}
// Will free the data server's play memory and its objects.
void ZarAudDSrvFreePlayMemoryAndObjects(PZAR_DEVICE_EXTENSION ext) { ext->AudioPlayPrepared = FALSE; }
// Will release the audio recording set-up.
NTSTATUS ZarAudRecRelease(PZAR_DEVICE_EXTENSION ext)
{
    ext->AudioRecordOwner = nullptr;
    return STATUS_SUCCESS;
}
// Will close a vari-play channel (0 or 1).
NTSTATUS ZarVariPlayClose(PZAR_DEVICE_EXTENSION ext, ULONG channel)
{
    if (channel < 2) ext->VariPlayOwner[channel] = nullptr;
    return STATUS_SUCCESS;
}

// control-code dispatch
//
// Handlers of later modules that the control dispatch calls. Until its
// module is written each fails with STATUS_NOT_IMPLEMENTED (0xC0000002): an
// error, so user mode never takes an unwritten setting for done, and a
// status no written handler returns, so a test can tell "not there yet" from
// a refusal. They write nothing to the caller's buffer.

// Nobody holds the board's audio until the audio lock exists.
BOOLEAN ZarAudioHardwareAvailable(PZAR_DEVICE_EXTENSION, ZAR_CALLER_KIND) { return TRUE; }
// The wave front owns none of its codes yet: every request goes on to the
// main dispatch, as the front does for codes it does not own.
NTSTATUS ZarWaveDrvDispatchControl(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }

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

// Takers of referenced objects drop what they were given.
NTSTATUS ZarAudRegisterEvents(PZAR_DEVICE_EXTENSION, PKEVENT* events)
{
    for (ULONG i = 0; i < ZAR_AUDIO_USER_EVENTS; ++i)
        if (events[i] != nullptr) ObDereferenceObject(events[i]);
    return ZarNotWritten(__func__);
}
NTSTATUS ZarAudGetWaveData(PZAR_DEVICE_EXTENSION, ULONG, const UCHAR** data, PULONG length, PULONG)
{
    *data = nullptr;
    *length = 0;
    return ZarNotWritten(__func__);
}

NTSTATUS ZarCs4297RegRead(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoUserSetCodec(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetCodec(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudRecordCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudPutWaveData(PZAR_DEVICE_EXTENSION, PIRP) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoUserSetTrackControl(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudUserSetMasterLevel(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetTrackControl(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetMasterLevel(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarDcIoUserSetAudioStandards(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarDcIoGetAudioStandards(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
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
NTSTATUS ZarAudIoPlaycord(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetDspState(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudClearTrack(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoUserSetSource(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetPlayVuLevel(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoGetRecVuLevel(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudUserSetTrackLevelMult(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarCalcAudPlayDmaSize(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudAcquireAudioLock(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND, PFILE_OBJECT) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudReleaseAudioLock(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND, PFILE_OBJECT) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudPlayDmaBuffer(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudSetActiveTrackMask(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudRecSetup(PZAR_DEVICE_EXTENSION, PIRP) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoSetTrackMasks(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvPrepPlay(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvUnprepPlay(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvInitBuffers(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvStartPlay(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvStopPlay(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvGetException(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvGetCurrentStatus(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudDSrvSetSpeed(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudUserSetPassiveEE(PZAR_DEVICE_EXTENSION, PVOID, ZAR_CALLER_KIND) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoLevelOverride(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoPanOverride(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudIoEqOverride(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarVariPlayInit(PZAR_DEVICE_EXTENSION, PVOID, PFILE_OBJECT) { return ZarNotWritten(__func__); }
NTSTATUS ZarVariPlayInvalidateNode(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarVariPlayDisplayNode(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarAudFxPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }
NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return ZarNotWritten(__func__); }

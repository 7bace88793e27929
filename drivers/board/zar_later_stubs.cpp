// Entry points of ZARKD modules that are not written yet. Start-up and
// release call them in their places; each does the least that keeps those
// paths honest (succeeds without touching hardware, or reports that it has
// nothing) and moves to its module's file when the module is written.

#include "zar_driver.h"

// ---- time code and the Tandrel streams ----

// Will reset the time-code chip's state (reader, generator, burn-in).
void ZarICS2008A_Initialize(PZAR_DEVICE_EXTENSION) {}
// Will stop the time-code chip's interrupts before the board goes.
void ZarICS2008A_OnDriverUnload(PZAR_DEVICE_EXTENSION) {}
// Will build the board's Tandrel stream table.
void ZarTandrel_Initialize(PZAR_DEVICE_EXTENSION) {}
// Will release the streams' events and pending requests.
void ZarTandrel_OnDriverUnload(PZAR_DEVICE_EXTENSION) {}

// ---- bridge and video chips ----

// Will reset and load the bridge's registers, DEBI set-up and bridge programs.
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
// Will put the bridge through its reset sequence in MC1.
void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION) {}
// Will write the decoder's register image for the board's standard over I2C.
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
// Will write PCI_BT_V1 / PCI_BT_A from DmaTweakV / DmaTweakA when they are set.
void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION) {}

// ---- EEPROM (over the I2C engine) ----

// Will read EEPROM bytes 2 and 3 and accept the board's signature; until
// the I2C engine exists no EEPROM is readable, so none is accepted.
BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION) { return FALSE; }
// Will read one EEPROM byte (device 0xA0) through ZarI2cCommand.
NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION, ULONG, PULONG value)
{
    *value = 0;
    return STATUS_NOT_IMPLEMENTED;
}

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

// Will allocate the play-list node and slot buffers.
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext)
{
    ext->PlaylistBuffersAllocated = TRUE;
    return STATUS_SUCCESS;
}
// Will free the play-list buffers.
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext) { ext->PlaylistBuffersAllocated = FALSE; }
// The notification database holds nothing; freeing it has nothing to do.
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION) {}

// ---- shutdown ----

// Will stop playing and recording and route the outputs to black; a board
// whose FPGAs were never configured has nothing running to stop.
NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }

// ---- system threads ----
// Each waits on its wake event until release sets Stop. Their work (SCSI
// command sequencing, video-input monitoring every fourth field, DSP
// command delivery) joins the loop with the modules.

namespace {

void ZarRunUntilStopped(ZAR_SYSTEM_THREAD* thread)
{
    while (!thread->Stop) KeWaitForSingleObject(&thread->Wake, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void ZarScsiCommandThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->ScsiThread);
}

void ZarVinMonitorThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->VinMonitorThread);
}

void ZarDspCommandThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->DspThread);
}

// ---- DPCs: queued only by interrupt paths that are not written yet ----

// Will complete a DEBI DMA chunk and start the next queued entry.
void ZarDpcForDebiDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will complete a BRS transfer and start the next queued entry.
void ZarDpcForBrsDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will complete a scaled capture and start the next queued entry.
void ZarDpcForHpsDma(PKDPC, PVOID, PVOID, PVOID) {}
// Will complete the current disk request.
void ZarDpcForScsiRequestComplete(PKDPC, PVOID, PVOID, PVOID) {}
// Will run the SCSI bus phase the controller's interrupt asked for.
void ZarDpcForScsiIrq(PKDPC, PVOID, PVOID, PVOID) {}
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

namespace {

// DEBI programmed access: the bridge's DEBI registers and the configuration
// word by board address range (the audio ranges' wait states come with the
// DEBI module; until then they get the plain set-up).
constexpr ULONG kDebiConfig = 0x7C;
constexpr ULONG kDebiCommand = 0x80;
constexpr ULONG kDebiAd = 0x88;
constexpr ULONG kPrimaryStatus = 0x110;
constexpr ULONG kPsrDebiBusy = 0x80000;
constexpr ULONG kUploadDebi = 0x00020002;
constexpr ULONG kDebiWrite2 = 0x40000;   // two bytes, write
constexpr ULONG kDebiRead2 = 0x50000;    // two bytes, read
constexpr ULONG kDebiIdlePolls = 100000;

ULONG ZarDebiConfigFor(ULONG address)
{
    switch (address & 0xFC00) {
    case 0xA000: return 0x014A0000;              // SCSI controller
    case 0xAC00: case 0xB000: return 0x01CE0000; // time-code chip
    default: return 0x008A0000;
    }
}

bool ZarDebiWaitIdle(PZAR_DEVICE_EXTENSION ext)
{
    for (ULONG i = 0; i < kDebiIdlePolls; ++i) {
        if (!(READ_REGISTER_ULONG(ZarBridgeRegister(ext, kPrimaryStatus)) & kPsrDebiBusy)) return true;
        KeStallExecutionProcessor(1);
    }
    return false;
}

struct ZAR_DEBI_PIO {
    PZAR_DEVICE_EXTENSION Ext;
    ULONG Address;
    ULONG Value;
    bool Read;
};

BOOLEAN ZarDebiCriticalPio(PVOID context)
{
    auto* pio = static_cast<ZAR_DEBI_PIO*>(context);
    PZAR_DEVICE_EXTENSION ext = pio->Ext;
    if (!ZarDebiWaitIdle(ext)) return FALSE;
    if (ext->InterruptEnable & ZAR_INT_DEBI_DONE) ZarSetIntModeAtIrql(ext, ZAR_INT_DEBI_DONE, FALSE);
    WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiConfig), ZarDebiConfigFor(pio->Address));
    if (pio->Read) {
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiCommand), (pio->Address & 0xFFFF) | kDebiRead2);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), kUploadDebi);
        ZarDebiWaitIdle(ext);
        pio->Value = READ_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiAd)) & 0xFFFF;
    } else {
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiCommand), (pio->Address & 0xFFFF) | kDebiWrite2);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, kDebiAd), pio->Value);
        WRITE_REGISTER_ULONG(ZarBridgeRegister(ext, ZAR_BRIDGE_MC2), kUploadDebi);
    }
    return TRUE;
}

void ZarDebiPio(ZAR_DEBI_PIO* pio)
{
    PZAR_DEVICE_EXTENSION ext = pio->Ext;
    if (ext->Registers == nullptr) return;
    if (ext->InterruptObject != nullptr && KeGetCurrentIrql() <= DISPATCH_LEVEL)
        KeSynchronizeExecution(ext->InterruptObject, ZarDebiCriticalPio, pio);
    else
        ZarDebiCriticalPio(pio);
}

}  // namespace

void ZarDebiPioWrite(PZAR_DEVICE_EXTENSION ext, ULONG address, ULONG value)
{
    ZAR_DEBI_PIO pio{ext, address, value & 0xFFFF, false};
    ZarDebiPio(&pio);
}

USHORT ZarDebiPioRead(PZAR_DEVICE_EXTENSION ext, ULONG address)
{
    ZAR_DEBI_PIO pio{ext, address, 0, true};
    ZarDebiPio(&pio);
    return USHORT(pio.Value);
}

// Will apply the committed scrub entry when nothing plays.
void ZarScrubListIsr(PZAR_DEVICE_EXTENSION) {}
// The play-list modules' per-field hooks: take nodes, run them, finish the field.
void ZarPlyJpegPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyJpegProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDveProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyJpegPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyProcAmpPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyDvePostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyMixPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyGfxPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyBusPostProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyAudFxPostProcessNode(PZAR_DEVICE_EXTENSION) {}
// Will advance the audio play list's field position.
void ZarAudPlayVbi(PZAR_DEVICE_EXTENSION) {}
// Will count the field on the Tandrel master clock.
void ZarTandrelMasterClock_OnVerticalInterrupt(PZAR_DEVICE_EXTENSION) {}
// Will step the scaled-capture state machine and, on odd fields, the capture ring.
void ZarHpsCaptureStateMachine(PZAR_DEVICE_EXTENSION) {}
void ZarHpsCaptureRingStep(PZAR_DEVICE_EXTENSION) {}
// Will answer the SCSI controller, the audio DSPs and the time-code chip
// behind the board's shared line (each releases its source).
void ZarScsiIsr(PZAR_DEVICE_EXTENSION) {}
void ZarYssIsr(PZAR_DEVICE_EXTENSION) {}
void ZarICS2008A_OnInterrupt(PZAR_DEVICE_EXTENSION) {}
// Will put the playback DMA back in step after a FIFO error.
void ZarAudPlayResynchronizeDma(PZAR_DEVICE_EXTENSION) {}
// Will write the video input's pending proc-amp setting.
void ZarVinUpdateProcAmp(PZAR_DEVICE_EXTENSION) {}
// Will start a field-synchronous BRS transfer.
void ZarBrsDmaStartIoSynchronous(PZAR_DEVICE_EXTENSION, PVOID) {}
// Will send the pending track pan to the DSPs.
void ZarAudSetTrackPan(PZAR_DEVICE_EXTENSION) {}
// Will fold the field's audio peaks into the VU levels.
void ZarAudVuLevelProcessing(PZAR_DEVICE_EXTENSION) {}
// Will reset the decoder's real-time control over I2C.
NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
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
// Will queue a capture stop on the HPS queue; no capture runs yet, so none
// is owned and this is not reached.
NTSTATUS ZarHpsQueueStopRequest(PZAR_DEVICE_EXTENSION, BOOLEAN) { return STATUS_INSUFFICIENT_RESOURCES; }
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
BOOLEAN ZarAudioHardwareAvailable(PZAR_DEVICE_EXTENSION, ULONG) { return TRUE; }
// The wave front owns none of its codes yet: every request goes on to the
// main dispatch, as the front does for codes it does not own.
NTSTATUS ZarWaveDrvDispatchControl(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }
// Will route a time-code request to the stream named by its minor function.
NTSTATUS ZarTandrel_DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

// The DEBI, BRS and HPS start routines end each queued request with
// STATUS_NOT_IMPLEMENTED and go on with the next, so their queues drain.
void ZarDebiIoStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_DEBI_ENTRY* entry)
{
    while (entry != nullptr) {
        ZarQueueEndRequest(&ext->DebiLookaside, entry, entry->Irp, entry->Mdl, STATUS_NOT_IMPLEMENTED, 0);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->DebiQueue);
        entry = next ? CONTAINING_RECORD(next, ZAR_DEBI_ENTRY, QueueEntry) : nullptr;
    }
}
void ZarBrsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_BRS_ENTRY* entry)
{
    while (entry != nullptr) {
        ZarQueueEndRequest(&ext->BrsLookaside, entry, entry->Irp, entry->Mdl, STATUS_NOT_IMPLEMENTED, 0);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->BrsQueue);
        entry = next ? CONTAINING_RECORD(next, ZAR_BRS_ENTRY, QueueEntry) : nullptr;
    }
}
void ZarHpsDmaStartIo(PZAR_DEVICE_EXTENSION ext, ZAR_HPS_ENTRY* entry)
{
    while (entry != nullptr) {
        ZarQueueEndRequest(&ext->HpsLookaside, entry, entry->Irp, entry->Mdl, STATUS_NOT_IMPLEMENTED, 0);
        PKDEVICE_QUEUE_ENTRY next = KeRemoveDeviceQueue(&ext->HpsQueue);
        entry = next ? CONTAINING_RECORD(next, ZAR_HPS_ENTRY, QueueEntry) : nullptr;
    }
}
// Will apply the BRS command rules; until the channel runs commands every
// command may queue (its start routine refuses it).
BOOLEAN ZarBrsIsValidDmaCommand(const void*) { return TRUE; }
// Will lock the source buffers the command and the capture request name.
void ZarBrsLockDmaBuffers(PZAR_DEVICE_EXTENSION, ZAR_BRS_ENTRY*, KPROCESSOR_MODE) {}
void ZarHpsLockDmaBuffers(PZAR_DEVICE_EXTENSION, ZAR_HPS_ENTRY*, KPROCESSOR_MODE) {}
// No circular capture runs until the HPS channel exists.
BOOLEAN ZarHpsAnswerRunningCapture(PZAR_DEVICE_EXTENSION, PVOID, NTSTATUS*) { return FALSE; }

// Takers of referenced objects drop what they were given.
NTSTATUS ZarAudRegisterEvents(PZAR_DEVICE_EXTENSION, PKEVENT* events)
{
    for (ULONG i = 0; i < ZAR_AUDIO_USER_EVENTS; ++i)
        if (events[i] != nullptr) ObDereferenceObject(events[i]);
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS ZarDiagSetExceptionHandler(PZAR_DEVICE_EXTENSION, PKSEMAPHORE semaphore)
{
    if (semaphore != nullptr) ObDereferenceObject(semaphore);
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS ZarAudGetWaveData(PZAR_DEVICE_EXTENSION, ULONG, const UCHAR** data, PULONG length, PULONG)
{
    *data = nullptr;
    *length = 0;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS ZarCs4297RegRead(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarFlexDownload(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegControl(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSynchronizeExecution(PZAR_DEVICE_EXTENSION, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7125RegisterWrite(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarScsiGetDevice(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarScsiGetSeqStatus(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoGetProcAmp(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafePlaylistQuery(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoSetMode(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarI2cCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoGetPreview(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoGetMasterFade(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyPostNodeCommand(PZAR_DEVICE_EXTENSION, const ZAR_NODE_COMMAND*, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegGetNextEntry(PZAR_DEVICE_EXTENSION, ULONG, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegReleaseSdramField(PZAR_DEVICE_EXTENSION, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyResetPlaylist(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafePlaylistStop(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcPostFpgaInit(PZAR_DEVICE_EXTENSION, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetGenlockPosition(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetEncoder(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetCalibration(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoUserSetCodec(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetCodec(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudRecordCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudPutWaveData(PZAR_DEVICE_EXTENSION, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoUserSetTrackControl(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudUserSetMasterLevel(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetTrackControl(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetMasterLevel(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoUserSetAudioStandards(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoGetAudioStandards(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarTcRegRead(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarTcRegWrite(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinFramestoreRead(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarGfxIoSetFramestore(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarGfxIoGetFramestore(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarGfxIoLoadImage(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetVideoPrefs(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoGetVideoPrefs(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinLoadProcAmpTable(PZAR_DEVICE_EXTENSION, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoSetProcAmp(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoGetProcAmp(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafeAdvanceSdlHeadAddr(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafeGetPlaylistStatus(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoSetM2Routing(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoInitPerspectiveLut(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetPerspective(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoLoadCoefficients(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetBorder(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetPixel(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetFilter(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetCropping(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetTrailShadow(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetWarp(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveWarpTableLoad(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarGfxPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDvePlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetMixEffects(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyRegisterNotification(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetDve(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarMixIoSetDownStreamKey(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetFreeze(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoGetFreeze(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlySetEnableMask(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDveIoSetKey(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarPlyNodeInsert(PZAR_DEVICE_EXTENSION, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarGfxIoEraseFramestore(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDcIoReset(PZAR_DEVICE_EXTENSION, UCHAR, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoPlaycord(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetDspState(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarICS2008A_SetVideoOutputSource(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudClearTrack(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoUserSetSource(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetPlayVuLevel(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoGetRecVuLevel(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudUserSetTrackLevelMult(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarCalcAudPlayDmaSize(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudAcquireAudioLock(PZAR_DEVICE_EXTENSION, PVOID, ULONG, PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudReleaseAudioLock(PZAR_DEVICE_EXTENSION, PVOID, ULONG, PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarTandrelFieldCounter_SetBase(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudPlayDmaBuffer(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudSetActiveTrackMask(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarScrubListSetNode(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarRestoreVinIo(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarBusPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDebiIoPioWrite(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoSetStandards(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoGetStandards(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudRecSetup(PZAR_DEVICE_EXTENSION, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoSetTrackMasks(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvPrepPlay(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvUnprepPlay(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvInitBuffers(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvStartPlay(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvStopPlay(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvGetException(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvGetCurrentStatus(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudDSrvSetSpeed(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSetVinHPosition(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7146SetBurstThresh(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudUserSetPassiveEE(PZAR_DEVICE_EXTENSION, PVOID, ULONG) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7146SetHpsProcAmps(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoLevelOverride(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoPanOverride(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudIoEqOverride(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarDiagGetException(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVariPlayInit(PZAR_DEVICE_EXTENSION, PVOID, PFILE_OBJECT) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVariPlayInvalidateNode(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVariPlayDisplayNode(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7146SetHpsPreFilter(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarTandrel_EnableTimecodeDataExchange(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarAudFxPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarProcAmpPlayCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

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
// Will set or clear bits of board register 0xB840 over DEBI.
void ZarSetSharedIrqMask(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set)
{
    if (set)
        ext->SharedIrqMask |= mask;
    else
        ext->SharedIrqMask &= ~mask;
}

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
// Will complete the current I2C transfer and start the next.
void ZarDpcForI2c(PKDPC, PVOID, PVOID, PVOID) {}
// Will wake the field waiters and the per-field work of the modules.
void ZarDpcForVbi(PKDPC, PVOID, PVOID, PVOID) {}

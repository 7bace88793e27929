// SCSI: the command thread, bus protocol and disk request engine.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

void ZarScsiCommandThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->ScsiThread);
}
// Will complete the current disk request.
void ZarDpcForScsiRequestComplete(PKDPC, PVOID, PVOID, PVOID) {}
// Will run the SCSI bus phase the controller's interrupt asked for.
void ZarDpcForScsiIrq(PKDPC, PVOID, PVOID, PVOID) {}
// Will answer the SCSI controller, the audio DSPs and the time-code chip
// behind the board's shared line (each releases its source).
void ZarScsiIsr(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarScsiGetDevice(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarScsiGetSeqStatus(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

// The SDRAM copy engine comes with the request engine; no copy runs yet.
BOOLEAN ZarScsiSdramDmaEndBlock(PZAR_DEVICE_EXTENSION) { return FALSE; }
void ZarScsiSdramDmaStartNextBlock(PZAR_DEVICE_EXTENSION) {}
void ZarScsiSdramDmaComplete(PZAR_DEVICE_EXTENSION ext)
{
    ext->Scsi.SdramCopyRunning = FALSE;
    KeSetEvent(&ext->Scsi.SdramCopyDone, IO_NO_INCREMENT, FALSE);
}

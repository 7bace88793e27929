// Video input mode and the video-input monitor.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

void ZarVinMonitorThread(PVOID context)
{
    ZarRunUntilStopped(&static_cast<PZAR_DEVICE_EXTENSION>(context)->VinMonitorThread);
}
// Will write the video input's pending proc-amp setting.
void ZarVinUpdateProcAmp(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarVinIoSetMode(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinLoadProcAmpTable(PZAR_DEVICE_EXTENSION, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoSetProcAmp(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoGetProcAmp(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarRestoreVinIo(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoSetStandards(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarVinIoGetStandards(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSetVinHPosition(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

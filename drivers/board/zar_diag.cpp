// Diagnostic exception ring, the 24 fps mode and shutdown.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// Will stop playing and recording and route the outputs to black; a board
// whose FPGAs were never configured has nothing running to stop.
NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
NTSTATUS ZarDiagSetExceptionHandler(PZAR_DEVICE_EXTENSION, PKSEMAPHORE semaphore)
{
    if (semaphore != nullptr) ObDereferenceObject(semaphore);
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS ZarDiagGetException(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSetHdcam24FpsMode(PZAR_DEVICE_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }

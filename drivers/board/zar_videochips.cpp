// Bridge, decoder and encoder register set-up.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// Will reset and load the bridge's registers, DEBI set-up and bridge programs.
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
// Will put the bridge through its reset sequence in MC1.
void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION) {}
// Will write the decoder's register image for the board's standard over I2C.
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
// Will reset the decoder's real-time control over I2C.
NTSTATUS ZarSaa7113ResetRtc(PZAR_DEVICE_EXTENSION) { return STATUS_SUCCESS; }
NTSTATUS ZarSaa7125RegisterWrite(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7113SetInput(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

// I2C engine, GPIO and the bridge's PCI burst thresholds.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// Will write PCI_BT_V1 / PCI_BT_A from DmaTweakV / DmaTweakA when they are set.
void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarI2cCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarSaa7146SetBurstThresh(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

// FPGA image loader.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

NTSTATUS ZarFlexDownload(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

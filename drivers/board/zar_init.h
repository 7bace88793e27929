// Start-up and board discovery: DriverEntry, the boards found on the PCI
// bus, their registry parameters and the board devices created for them.
#pragma once

#include "zar_extension.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS ZarGetHardwareInfo(PUNICODE_STRING registryPath, PZAR_HARDWARE_INFO table[ZAR_MAX_BOARDS]);
NTSTATUS ZarIncPciSlotNumber(PCI_SLOT_NUMBER* slot, ULONG mode);
NTSTATUS ZarGetRegParameters(ULONG board, PULONG eventLogLevel, PULONG standard, PULONG coreMode);
NTSTATUS ZarCreateDevice(PDRIVER_OBJECT driverObject, PZAR_HARDWARE_INFO hardwareInfo, PDEVICE_OBJECT* deviceObject,
                         ULONG eventLogLevel, ULONG board);
NTSTATUS ZarReportHardwareUsage(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                                PUNICODE_STRING registryPath, PZAR_HARDWARE_INFO hardwareInfo);
// "<prefix><board>" in 'buffer' (room for the prefix and ten digits).
void ZarMakeBoardName(PWCHAR buffer, const WCHAR* prefix, ULONG board, PUNICODE_STRING name);
void ZarSetLineCounts(PZAR_DEVICE_EXTENSION ext);
// Takes the EEPROM's 625-line answer: a successful read of 0 on a 625-line
// board logs the fact and runs the board at 525 lines.
void ZarApply625Support(PZAR_DEVICE_EXTENSION ext, NTSTATUS readStatus, ULONG optionWord);
// LatencyOverride applied to a latency timer: the timer to write, or the
// current one when it stays.
UCHAR ZarLatencyTimerFor(ULONG latencyOverride, UCHAR current);
ULONG ZarClampDveWticDmaSize(ULONG words);

// Routines that ZARKD's modules call across files. Each module's file
// defines its own; zar_later_stubs.cpp holds the entry points of modules
// that are not written yet.
#pragma once

#include <cstdarg>

#include "zar_extension.h"
#include "include/zarkd_msg.h"

// ---- event log (zar_eventlog.cpp) ----
// Writes one entry for 'ioObject' (driver or device object). The insertion
// strings are ANSI, the list ends with a null pointer.
NTSTATUS LogError(PVOID ioObject, NTSTATUS errorCode, NTSTATUS finalStatus, PVOID dumpData, USHORT dumpDataSize,
                  ...);
// Logs a message with no strings or data when 'eventLogLevel' lets it through.
void ZarLogEvent(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus);
NTSTATUS ZarCheckRegEventLog();
NTSTATUS ZarSetupRegEventLog();

// ---- start-up and discovery (zar_init.cpp) ----
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

// ---- device initialisation (zar_device.cpp) ----
NTSTATUS ZarInitDevice(PDRIVER_OBJECT driverObject, PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
NTSTATUS ZarMapMemory(PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
PVOID ZarPhysicalToVirtual(INTERFACE_TYPE busType, ULONG busNumber, PHYSICAL_ADDRESS address, ULONG length);

// ---- interrupt (zar_isr.cpp) ----
BOOLEAN ZarIsr(PKINTERRUPT interrupt, PVOID context);
void ZarSetIntMode(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarSetIntModeAtIrql(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);
void ZarDpcForIsr(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp, PVOID context);

// ---- release and unload (zar_unload.cpp) ----
void ZarDriverUnload(PDRIVER_OBJECT driverObject);
void ZarReleaseHardware(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseResources(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDeviceBlock(PZAR_HARDWARE_INFO hardwareInfo);
NTSTATUS ZarShutdown(PZAR_DEVICE_EXTENSION ext);

// ---- dispatch entries (zar_dispatch.cpp) ----
NTSTATUS ZarDispatchOpen(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchIoControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarDispatchShutdown(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarTandrel_DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
void ZarStartIo(PDEVICE_OBJECT device, PIRP irp);

// ---- modules not written yet (zar_later_stubs.cpp) ----
void ZarICS2008A_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarICS2008A_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_Initialize(PZAR_DEVICE_EXTENSION ext);
void ZarTandrel_OnDriverUnload(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7146Init(PZAR_DEVICE_EXTENSION ext);
void ZarSaa7146Reset(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarSaa7113Init(PZAR_DEVICE_EXTENSION ext);
void ZarSaa7146InitBurstThresh(PZAR_DEVICE_EXTENSION ext);
BOOLEAN ZarDcIsValidEeprom(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarDcReadEepromByte(PZAR_DEVICE_EXTENSION ext, ULONG subAddress, PULONG value);
NTSTATUS ZarDveWarpTableAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarDveWarpTableFree(PZAR_DEVICE_EXTENSION ext);
void ZarAudHWInitializeAllStates(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitRecDcb(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarAudInitPlayDcb(PZAR_DEVICE_EXTENSION ext, ULONG playback);
void ZarCalcAudRecDmaSize(PZAR_DEVICE_EXTENSION ext);
NTSTATUS ZarPlyBufferAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyBufferDeAlloc(PZAR_DEVICE_EXTENSION ext);
void ZarPlyFreeNotificationDatabase(PZAR_DEVICE_EXTENSION ext);
void ZarSetSharedIrqMask(PZAR_DEVICE_EXTENSION ext, ULONG mask, BOOLEAN set);

void ZarScsiCommandThread(PVOID context);
void ZarVinMonitorThread(PVOID context);
void ZarDspCommandThread(PVOID context);

void ZarDpcForDebiDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForBrsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForHpsDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForScsiRequestComplete(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForScsiIrq(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioRecord(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlayback(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioPlaybackSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioRecordSingleDma(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarAudDSrvDpcFunc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarWaveDrvPlaybackDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarWaveDrvCaptureDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioFifoUnderflowLog(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForAudioDsp(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForI2c(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
void ZarDpcForVbi(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);

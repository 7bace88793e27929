// JPEG channels: codec access, channel states, field play and record, commands.
// (Entry points start as the least that keeps their callers honest.)

#include "zar_driver.h"

// The play-list modules' per-field hooks: take nodes, run them, finish the field.
void ZarPlyJpegPreProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyJpegProcessNode(PZAR_DEVICE_EXTENSION) {}
void ZarPlyJpegPostProcessNode(PZAR_DEVICE_EXTENSION) {}
NTSTATUS ZarJpegControl(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegCommand(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafePlaylistQuery(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegGetNextEntry(PZAR_DEVICE_EXTENSION, ULONG, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegReleaseSdramField(PZAR_DEVICE_EXTENSION, const ULONG*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafePlaylistStop(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafeAdvanceSdlHeadAddr(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ZarJpegSafeGetPlaylistStatus(PZAR_DEVICE_EXTENSION, PVOID) { return STATUS_NOT_IMPLEMENTED; }

// No field area is laid out until the channels exist.
ULONG ZarJpegSafeGetSdlAddress(PZAR_DEVICE_EXTENSION, ULONG) { return 0; }
ULONG ZarJpegGetState(PZAR_DEVICE_EXTENSION, ULONG) { return 1; }
NTSTATUS ZarJpegSetState(PZAR_DEVICE_EXTENSION, ULONG, ULONG) { return STATUS_SUCCESS; }

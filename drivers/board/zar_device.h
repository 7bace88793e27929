// Device initialisation: a board's registers mapped, its DMA adapters,
// common buffers, queues, DPCs, threads and interrupt set up.
#pragma once

#include "zar_extension.h"

NTSTATUS ZarInitDevice(PDRIVER_OBJECT driverObject, PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
NTSTATUS ZarMapMemory(PZAR_DEVICE_EXTENSION ext, PZAR_HARDWARE_INFO hardwareInfo);
PVOID ZarPhysicalToVirtual(INTERFACE_TYPE busType, ULONG busNumber, PHYSICAL_ADDRESS address, ULONG length);

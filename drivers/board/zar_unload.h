// Release and unload: a board's resources returned in the reverse order of
// their set-up, then the driver's.
#pragma once

#include "zar_extension.h"

void ZarDriverUnload(PDRIVER_OBJECT driverObject);
void ZarReleaseHardware(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseResources(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
void ZarReleaseDeviceBlock(PZAR_HARDWARE_INFO hardwareInfo);

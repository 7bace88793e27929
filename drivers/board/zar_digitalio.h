// The digital-I/O option: control codes sent to its driver.
#pragma once

#include "zar_extension.h"

NTSTATUS ZarSendDigitalIoIoctl(PZAR_DEVICE_EXTENSION ext, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength);

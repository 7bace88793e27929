// The event log: the driver's entries in the system log, filtered by the
// board's event-log level, and the registry set-up that names the message file.
#pragma once

#include "platform/nt/kernel.h"

// Writes one entry for 'ioObject' (driver or device object). The insertion
// strings are ANSI, the list ends with a null pointer.
NTSTATUS LogError(PVOID ioObject, NTSTATUS errorCode, NTSTATUS finalStatus, PVOID dumpData, USHORT dumpDataSize,
                  ...);
// Logs a message with no strings or data when 'eventLogLevel' lets it through.
void ZarLogEvent(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus);
// The same with one insertion string: the file or thing the message is about.
void ZarLogEventNaming(PVOID ioObject, ULONG eventLogLevel, ULONG messageId, NTSTATUS finalStatus, const char* name);
NTSTATUS ZarCheckRegEventLog();
NTSTATUS ZarSetupRegEventLog();

// The file-system driver's one event-log routine.
#pragma once

#include "include/zarfs_msg.h"
#include "platform/nt/kernel.h"

inline constexpr ULONG ZARFS_EVENT_ENTRY_MAX = 152;  // the system's error-log packet limit
inline constexpr ULONG ZARFS_EVENT_ENTRY_HEAD = 48;

// Writes one entry for 'ioObject' (driver or device object): the message id,
// the final status, dump data, and ANSI insertion strings ending with a null
// pointer. An entry above 152 bytes, or one that cannot be had, is dropped
// and STATUS_UNSUCCESSFUL returned.
NTSTATUS ZarFsGlobLogEvent(PVOID ioObject, ULONG messageId, NTSTATUS finalStatus, const void* dumpData,
                           USHORT dumpDataSize, ...);

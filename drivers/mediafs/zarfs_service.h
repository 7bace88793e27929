// The request channel to the user-mode file-system service: the service
// keeps one IOCTL_ZARFS_SEND_SERVICE_REQUEST pending for the driver to fill
// with the next request, and answers with IOCTL_ZARFS_SEND_SERVICE_RESPONSE;
// both wait in a slot of this record. The file types the service registers
// live in the driver's global list beside the native type.
#pragma once

#include "include/zarfs.h"
#include "platform/nt/kernel.h"

inline constexpr LONGLONG ZARFS_SERVICE_TIMEOUT = -600000000LL;  // 60 s

struct ZARFS_SERVICE_CHANNEL {
    BOOLEAN Connected;              // registered, and no answer ran out since
    KEVENT RequestEvent;            // a request buffer waits in RequestSlot
    PIRP volatile RequestSlot;
    KEVENT ResponseEvent;           // an answer waits in ResponseSlot
    PIRP volatile ResponseSlot;
    // One exchange at a time: answers carry no request number, so a second
    // sender could otherwise take the first one's answer.
    KMUTEX Exchange;
    ULONG SdtiFlags;                // as the service registered them
    PVOID LogObject;                // for the time-out entry
};

void ZarFsSReqInitialize(ZARFS_SERVICE_CHANNEL* channel, PVOID logObject);
// Completes whatever waits in either slot with STATUS_CANCELLED.
void ZarFsSReqCleanup(ZARFS_SERVICE_CHANNEL* channel);

// Senders. Without a service the file operations fail with
// STATUS_UNSUCCESSFUL; the others succeed and do nothing.
NTSTATUS ZarFsSReqOpen(ZARFS_SERVICE_CHANNEL* channel, WCHAR driveLetter, PCUNICODE_STRING fullName,
                       PULONG context);
NTSTATUS ZarFsSReqClean(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONG frame);
NTSTATUS ZarFsSReqClose(ZARFS_SERVICE_CHANNEL* channel, ULONG context);
// '*done' is the byte count moved: a chunk of 0 bytes ends the transfer early.
NTSTATUS ZarFsSReqRead(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONGLONG offset,
                       ULONG count, ULONG frame, PUCHAR buffer, PULONG done);
NTSTATUS ZarFsSReqWrite(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONGLONG offset,
                        ULONG count, ULONG frame, const UCHAR* buffer, PULONG done);
NTSTATUS ZarFsSReqUpdatePrefs(ZARFS_SERVICE_CHANNEL* channel, const ZAR_FILE_SYSTEM_PREFS* prefs);
NTSTATUS ZarFsSReqGetAvailableSpace(ZARFS_SERVICE_CHANNEL* channel, const UCHAR (&argument)[1032], ULONG (&space)[6]);
NTSTATUS ZarFsSReqCreateMediaFile(ZARFS_SERVICE_CHANNEL* channel, const UCHAR (&argument)[1048]);

// The control codes of the channel (the request and response codes leave
// the request pending).
NTSTATUS ZarFsIoctlRegisterFileTypes(ZARFS_SERVICE_CHANNEL* channel, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS ZarFsIoctlUnregisterFileTypes(ZARFS_SERVICE_CHANNEL* channel);
NTSTATUS ZarFsIoctlRegisterSDTIFlags(ZARFS_SERVICE_CHANNEL* channel, PIRP irp);
NTSTATUS ZarFsIoctlSendServiceRequest(ZARFS_SERVICE_CHANNEL* channel, PIRP irp);
NTSTATUS ZarFsIoctlSendServiceResponse(ZARFS_SERVICE_CHANNEL* channel, PIRP irp, PIO_STACK_LOCATION stack);

// The driver's file types: entry 0 is the native "KIV".
void ZarFsGlobInitializeFileTypes();
ULONG ZarFsGlobFileTypeCount();
const ZARFS_FILE_TYPE* ZarFsGlobFileType(ULONG index);

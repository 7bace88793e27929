// The service channel: one exchange hands a filled request buffer to the
// service and takes its answers, each waited for with its own time limit.
// A slot holds a pending request of the service; whoever swaps the pointer
// out of the slot owns that request and completes it (a sender, the cancel
// routine or the tear-down), so none is completed twice.

#include "zarfs_complete.h"
#include "zarfs_eventlog.h"
#include "zarfs_service.h"

namespace {

ZARFS_FILE_TYPE FileTypes[ZARFS_MAX_FILE_TYPES];
ULONG FileTypeCount;
FAST_MUTEX FileTypesLock;  // guards FileTypes and FileTypeCount

const char* const kKindText[] = {"",           "File Open",          "File Cleanup",
                                 "File Close", "File Read",          "File Write",
                                 "Update Preferences", "Get Available Volume Space", "Create New Media File"};

PIRP TakeSlot(PIRP volatile* slot)
{
    return static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), nullptr));
}

void CompleteTaken(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    IoSetCancelRoutine(irp, nullptr);
    ZarFsCompleteRequest(irp, status, information);
}

// A pending request of the service remembers its channel while it waits.
ZARFS_SERVICE_CHANNEL* ChannelOf(PIRP irp)
{
    return static_cast<ZARFS_SERVICE_CHANNEL*>(irp->Tail.Overlay.DriverContext[0]);
}

void Cancel(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* channel = ChannelOf(irp);
    if (channel == nullptr) return;
    PVOID volatile* slots[] = {reinterpret_cast<PVOID volatile*>(&channel->RequestSlot),
                               reinterpret_cast<PVOID volatile*>(&channel->ResponseSlot)};
    for (PVOID volatile* slot : slots) {
        if (InterlockedCompareExchangePointer(slot, nullptr, irp) == irp) {
            CompleteTaken(irp, STATUS_CANCELLED, 0);
            return;
        }
    }
    // Not in a slot: a sender took it and completes it.
}

NTSTATUS Arrive(ZARFS_SERVICE_CHANNEL* channel, PIRP irp, PIRP volatile* slot, PKEVENT event)
{
    irp->Tail.Overlay.DriverContext[0] = channel;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        CompleteTaken(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    PIRP old = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), irp));
    // A service that hands in a second buffer gives up the first.
    if (old != nullptr) CompleteTaken(old, STATUS_CANCELLED, 0);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

NTSTATUS Wait(PKEVENT event, bool limited)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = ZARFS_SERVICE_TIMEOUT;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, limited ? &timeout : nullptr);
}

void TimedOut(ZARFS_SERVICE_CHANNEL* channel, ULONG kind)
{
    ZarFsGlobLogEvent(channel->LogObject, ZARFS_MSG_SERVICE_TIMEOUT, STATUS_UNSUCCESSFUL, nullptr, 0,
                      kKindText[kind], nullptr);
    channel->Connected = FALSE;
    // An answer that arrives from now on belongs to no one: drain the slot.
    KeClearEvent(&channel->ResponseEvent);
    if (PIRP late = TakeSlot(&channel->ResponseSlot)) CompleteTaken(late, STATUS_CANCELLED, 0);
}

// Steps 2 and 3 of an exchange: hands the service 'kind' with 'payload'.
NTSTATUS SendRequest(ZARFS_SERVICE_CHANNEL* channel, ULONG kind, const void* payload, ULONG bytes)
{
    NTSTATUS status = Wait(&channel->RequestEvent, kind != ZARFS_SREQ_OPEN);
    PIRP irp = status == STATUS_SUCCESS ? TakeSlot(&channel->RequestSlot) : nullptr;
    if (irp == nullptr) {
        TimedOut(channel, kind);
        return STATUS_UNSUCCESSFUL;
    }
    auto* request = static_cast<ZARFS_SERVICE_REQUEST*>(irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(request, sizeof *request);
    request->Kind = kind;
    RtlCopyMemory(request->Payload, payload, bytes);
    CompleteTaken(irp, STATUS_SUCCESS, sizeof *request);
    return STATUS_SUCCESS;
}

// Steps 4 and 5: the next answer, which must be to 'kind'. The caller
// completes the taken response request with CompleteTaken.
NTSTATUS TakeResponse(ZARFS_SERVICE_CHANNEL* channel, ULONG kind, PIRP* taken, ZARFS_SERVICE_RESPONSE** response)
{
    NTSTATUS status = Wait(&channel->ResponseEvent, true);
    PIRP irp = status == STATUS_SUCCESS ? TakeSlot(&channel->ResponseSlot) : nullptr;
    if (irp == nullptr) {
        TimedOut(channel, kind);
        return STATUS_UNSUCCESSFUL;
    }
    *response = static_cast<ZARFS_SERVICE_RESPONSE*>(irp->AssociatedIrp.SystemBuffer);
    if ((*response)->Kind != kind) {
        CompleteTaken(irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_UNSUCCESSFUL;
    }
    *taken = irp;
    return (*response)->Status == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

class Exchange {
public:
    explicit Exchange(ZARFS_SERVICE_CHANNEL* channel) : channel_(channel)
    {
        KeWaitForSingleObject(&channel->Exchange, Executive, KernelMode, FALSE, nullptr);
    }
    ~Exchange() { KeReleaseMutex(&channel_->Exchange, FALSE); }

private:
    ZARFS_SERVICE_CHANNEL* channel_;
};

// A request with one plain answer; 'answer' sees the response when it succeeded.
template <typename Answer>
NTSTATUS Simple(ZARFS_SERVICE_CHANNEL* channel, ULONG kind, const void* payload, ULONG bytes, Answer answer)
{
    Exchange hold(channel);
    NTSTATUS status = SendRequest(channel, kind, payload, bytes);
    if (!NT_SUCCESS(status)) return status;
    PIRP irp = nullptr;
    ZARFS_SERVICE_RESPONSE* response = nullptr;
    status = TakeResponse(channel, kind, &irp, &response);
    if (irp == nullptr) return status;
    if (NT_SUCCESS(status)) answer(response, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength);
    CompleteTaken(irp, STATUS_SUCCESS, 0);
    return status;
}

struct FileRequest {
    ULONG Context;
    ULONG TypeValue;
    ULONG OffsetLow;
    ULONG OffsetHigh;
    ULONG Count;
    ULONG Frame;
};

NTSTATUS Transfer(ZARFS_SERVICE_CHANNEL* channel, ULONG kind, ULONG context, ULONG typeValue, ULONGLONG offset,
                  ULONG count, ULONG frame, PUCHAR buffer, PULONG done)
{
    *done = 0;
    if (!channel->Connected || context == 0) return STATUS_UNSUCCESSFUL;
    // Nothing to move: the service's answer would be waited for by no one
    // and taken by the next exchange as its own.
    if (count == 0) return STATUS_SUCCESS;
    Exchange hold(channel);
    FileRequest request{context, typeValue, ULONG(offset), ULONG(offset >> 32), count, frame};
    NTSTATUS status = SendRequest(channel, kind, &request, sizeof request);
    while (NT_SUCCESS(status) && *done < count) {
        PIRP irp = nullptr;
        ZARFS_SERVICE_RESPONSE* response = nullptr;
        status = TakeResponse(channel, kind, &irp, &response);
        if (irp == nullptr) break;
        ULONG chunk = 0;
        if (NT_SUCCESS(status)) {
            // Never more than the caller still wants, whatever the service says.
            chunk = response->Result < count - *done ? response->Result : count - *done;
            PUCHAR data = irp->MdlAddress != nullptr
                              ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                              : nullptr;
            if (chunk != 0 && data == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                chunk = 0;
            } else if (kind == ZARFS_SREQ_READ) {
                RtlCopyMemory(buffer + *done, data, chunk);
            } else {
                RtlCopyMemory(data, buffer + *done, chunk);
            }
        }
        CompleteTaken(irp, STATUS_SUCCESS, 0);
        *done += chunk;
        if (NT_SUCCESS(status) && chunk == 0) break;  // the service has no more
    }
    return status;
}

}  // namespace

void ZarFsSReqInitialize(ZARFS_SERVICE_CHANNEL* channel, PVOID logObject)
{
    RtlZeroMemory(channel, sizeof *channel);
    KeInitializeEvent(&channel->RequestEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&channel->ResponseEvent, SynchronizationEvent, FALSE);
    KeInitializeMutex(&channel->Exchange, 0);
    channel->LogObject = logObject;
}

void ZarFsSReqCleanup(ZARFS_SERVICE_CHANNEL* channel)
{
    channel->Connected = FALSE;
    if (PIRP irp = TakeSlot(&channel->RequestSlot)) CompleteTaken(irp, STATUS_CANCELLED, 0);
    if (PIRP irp = TakeSlot(&channel->ResponseSlot)) CompleteTaken(irp, STATUS_CANCELLED, 0);
}

NTSTATUS ZarFsSReqOpen(ZARFS_SERVICE_CHANNEL* channel, WCHAR driveLetter, PCUNICODE_STRING fullName, PULONG context)
{
    *context = 0;
    if (!channel->Connected) return STATUS_UNSUCCESSFUL;
    UCHAR payload[ZARFS_SERVICE_PAYLOAD_BYTES] = {};
    ULONG chars = fullName->Length / sizeof(WCHAR);
    // Letter, ':', the name and its zero must fit the request.
    if ((chars + 3) * sizeof(WCHAR) > sizeof payload) return STATUS_NAME_TOO_LONG;
    auto* text = reinterpret_cast<PWCHAR>(payload);
    text[0] = driveLetter;
    text[1] = u':';
    RtlCopyMemory(text + 2, fullName->Buffer, fullName->Length);
    // The service knows every file by its native name.
    const ZARFS_FILE_TYPE* native = ZarFsGlobFileType(0);
    for (ULONG i = 0; i < 3 && 1 + i < chars; ++i) text[3 + i] = native->Extension[i];
    return Simple(channel, ZARFS_SREQ_OPEN, payload, sizeof payload,
                  [&](ZARFS_SERVICE_RESPONSE* r, ULONG) { *context = r->Result; });
}

NTSTATUS ZarFsSReqClean(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONG frame)
{
    if (!channel->Connected || context == 0) return STATUS_UNSUCCESSFUL;
    ULONG payload[3] = {context, typeValue, frame};
    return Simple(channel, ZARFS_SREQ_CLEANUP, payload, sizeof payload, [](ZARFS_SERVICE_RESPONSE*, ULONG) {});
}

NTSTATUS ZarFsSReqClose(ZARFS_SERVICE_CHANNEL* channel, ULONG context)
{
    if (!channel->Connected || context == 0) return STATUS_UNSUCCESSFUL;
    return Simple(channel, ZARFS_SREQ_CLOSE, &context, sizeof context, [](ZARFS_SERVICE_RESPONSE*, ULONG) {});
}

NTSTATUS ZarFsSReqRead(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONGLONG offset, ULONG count,
                       ULONG frame, PUCHAR buffer, PULONG done)
{
    return Transfer(channel, ZARFS_SREQ_READ, context, typeValue, offset, count, frame, buffer, done);
}

NTSTATUS ZarFsSReqWrite(ZARFS_SERVICE_CHANNEL* channel, ULONG context, ULONG typeValue, ULONGLONG offset,
                        ULONG count, ULONG frame, const UCHAR* buffer, PULONG done)
{
    return Transfer(channel, ZARFS_SREQ_WRITE, context, typeValue, offset, count, frame, const_cast<PUCHAR>(buffer),
                    done);
}

NTSTATUS ZarFsSReqUpdatePrefs(ZARFS_SERVICE_CHANNEL* channel, const ZAR_FILE_SYSTEM_PREFS* prefs)
{
    if (!channel->Connected) return STATUS_SUCCESS;
    return Simple(channel, ZARFS_SREQ_UPDATE_PREFERENCES, prefs, sizeof *prefs,
                  [](ZARFS_SERVICE_RESPONSE* r, ULONG length) {
                      // Entries 1..n are replaced; the answer can neither grow
                      // the list nor reach past its own buffer.
                      ExAcquireFastMutex(&FileTypesLock);
                      ULONG fit = length < 12 ? 0 : (length - 12) / sizeof(ZARFS_FILE_TYPE);
                      ULONG n = r->Result;
                      if (n > fit) n = fit;
                      if (n > FileTypeCount - 1) n = FileTypeCount - 1;
                      RtlCopyMemory(&FileTypes[1], r->More, n * sizeof(ZARFS_FILE_TYPE));
                      ExReleaseFastMutex(&FileTypesLock);
                  });
}

NTSTATUS ZarFsSReqGetAvailableSpace(ZARFS_SERVICE_CHANNEL* channel, const UCHAR (&argument)[1032], ULONG (&space)[6])
{
    if (!channel->Connected) return STATUS_SUCCESS;
    return Simple(channel, ZARFS_SREQ_GET_AVAILABLE_SPACE, argument, sizeof argument,
                  [&](ZARFS_SERVICE_RESPONSE* r, ULONG) { RtlCopyMemory(space, &r->Result, sizeof space); });
}

NTSTATUS ZarFsSReqCreateMediaFile(ZARFS_SERVICE_CHANNEL* channel, const UCHAR (&argument)[1048])
{
    if (!channel->Connected) return STATUS_SUCCESS;
    return Simple(channel, ZARFS_SREQ_CREATE_MEDIA_FILE, argument, sizeof argument,
                  [](ZARFS_SERVICE_RESPONSE*, ULONG) {});
}

NTSTATUS ZarFsIoctlRegisterFileTypes(ZARFS_SERVICE_CHANNEL* channel, PIRP irp, PIO_STACK_LOCATION stack)
{
    const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG count;
    RtlCopyMemory(&count, in, sizeof count);
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (count > ZARFS_MAX_FILE_TYPES - 1) return STATUS_INVALID_PARAMETER;
    if (count > 0 && length < count * sizeof(ZARFS_FILE_TYPE) + 4) return STATUS_BUFFER_TOO_SMALL;
    channel->Connected = TRUE;
    // A registration names all the service's types: it replaces the last one.
    ExAcquireFastMutex(&FileTypesLock);
    FileTypeCount = 1;
    for (ULONG i = 0; i < count; ++i) {
        RtlCopyMemory(&FileTypes[FileTypeCount], in + 4 + i * sizeof(ZARFS_FILE_TYPE), sizeof(ZARFS_FILE_TYPE));
        FileTypes[FileTypeCount].Extension[3] = 0;
        ++FileTypeCount;
    }
    ExReleaseFastMutex(&FileTypesLock);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlUnregisterFileTypes(ZARFS_SERVICE_CHANNEL* channel)
{
    ExAcquireFastMutex(&FileTypesLock);
    FileTypeCount = 1;
    ExReleaseFastMutex(&FileTypesLock);
    channel->Connected = FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlRegisterSDTIFlags(ZARFS_SERVICE_CHANNEL* channel, PIRP irp)
{
    RtlCopyMemory(&channel->SdtiFlags, irp->AssociatedIrp.SystemBuffer, sizeof channel->SdtiFlags);
    channel->Connected = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlSendServiceRequest(ZARFS_SERVICE_CHANNEL* channel, PIRP irp)
{
    return Arrive(channel, irp, &channel->RequestSlot, &channel->RequestEvent);
}

NTSTATUS ZarFsIoctlSendServiceResponse(ZARFS_SERVICE_CHANNEL* channel, PIRP irp, PIO_STACK_LOCATION stack)
{
    ZARFS_SERVICE_RESPONSE response;
    RtlCopyMemory(&response, irp->AssociatedIrp.SystemBuffer, sizeof response);
    if ((response.Kind == ZARFS_SREQ_READ || response.Kind == ZARFS_SREQ_WRITE) &&
        stack->Parameters.DeviceIoControl.OutputBufferLength < response.Result)
        return STATUS_BUFFER_TOO_SMALL;
    return Arrive(channel, irp, &channel->ResponseSlot, &channel->ResponseEvent);
}

void ZarFsGlobInitializeFileTypes()
{
    ExInitializeFastMutex(&FileTypesLock);
    RtlZeroMemory(FileTypes, sizeof FileTypes);
    RtlCopyMemory(FileTypes[0].Extension, u"KIV", 4 * sizeof(WCHAR));
    FileTypeCount = 1;
}

ULONG ZarFsGlobFileTypeCount() { return FileTypeCount; }

const ZARFS_FILE_TYPE* ZarFsGlobFileType(ULONG index) { return index < FileTypeCount ? &FileTypes[index] : nullptr; }

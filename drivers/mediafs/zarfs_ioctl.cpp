// Device control: the control device \Device\ZarFsDevice<n> answers every
// code of ZarFsIoctlTable (include/zarfs.h), whose lengths it checks before
// the code's route runs; the media drive takes none. Here too the codes
// that format, list and dismount the card's media volumes; the others are
// in zarfs_ioctl_drive.cpp, zarfs_ioctl_file.cpp and zarfs_service.cpp.

#include "zarfs_driver.h"

namespace {

ZARFS_DEVICE_EXTENSION* Extension(PDEVICE_OBJECT device)
{
    return static_cast<ZARFS_DEVICE_EXTENSION*>(device->DeviceExtension);
}

// IOCTL_ZARFS_FORMAT_VOLUME: the result code comes back as the status when
// negative, else in the first 4 bytes.
NTSTATUS ZarFsIoctlFormatVolume(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    ZAR_VOLUME_INFO request;
    RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer, sizeof request);
    LONG result = 0;
    NTSTATUS status = ZarFsUnderResource(&card->Resource, true, [&] {
        ZarFsBTFlushUnrefObjects(&card->BodyTables);
        return ZarFsHwFormatVolume(&card->Hw, &request, &result);
    });
    if (!NT_SUCCESS(status)) return status;
    if (result != ZARFS_FORMAT_OK) return NTSTATUS(result);
    // The result goes back only to a caller that gave room for it.
    if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = ULONG(result);
        ioctl->Information = sizeof(ULONG);
    }
    return STATUS_SUCCESS;
}

// IOCTL_ZARFS_QUERY_VOLUME_INFO: the count of every volume, then as many
// records as the output has room for.
NTSTATUS ZarFsIoctlQueryVolumeInfo(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG capacity = (out - sizeof(ZAR_VOLUME_LIST_HEAD)) / sizeof(ZAR_VOLUME_INFO);
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG count = 0;
    ZarFsUnderResource(&card->Resource, false, [&] {
        ZARFS_HW_CONTEXT* hw = &card->Hw;
        for (PLIST_ENTRY e = hw->Volumes.Flink; e != &hw->Volumes; e = e->Flink, ++count) {
            if (count >= capacity) continue;
            ZAR_VOLUME_INFO item;
            ZarFsHwGetVolumeInfo(CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link), &item);
            RtlCopyMemory(buffer + sizeof(ZAR_VOLUME_LIST_HEAD) + count * sizeof item, &item, sizeof item);
        }
        return STATUS_SUCCESS;
    });
    // Every byte reported goes back to the caller: records beyond the
    // volumes must not carry whatever the buffer held.
    if (count < capacity)
        RtlZeroMemory(buffer + sizeof(ZAR_VOLUME_LIST_HEAD) + count * sizeof(ZAR_VOLUME_INFO),
                      (capacity - count) * sizeof(ZAR_VOLUME_INFO));
    RtlCopyMemory(buffer, &count, sizeof count);
    ioctl->Information = sizeof(ZAR_VOLUME_LIST_HEAD) + capacity * sizeof(ZAR_VOLUME_INFO);
    return STATUS_SUCCESS;
}

}  // namespace

// IOCTL_ZARFS_DISMOUNT_VOLUME: the card's one media drive (index 0) is
// dismounted only while nothing on it is open.
NTSTATUS ZarFsIoctlDismountVolume(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    UCHAR index = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (index != 0) return STATUS_INVALID_PARAMETER;
    ZARFS_VCB* vcb = &card->Vcb;
    return ZarFsUnderResource(&vcb->Resource, true, [&] {
        bool inUse = vcb->Root->OpenCount != 0 || !IsListEmpty(&vcb->Root->Children) || vcb->VolumeOpens != 0;
        return inUse ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    });
}

namespace {

// Codes served by the module that owns what they touch; each adapter only
// unpacks the request for it.
NTSTATUS FlushSuspend(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlBodyTableFlushSuspend(ioctl->Card, ioctl->Stack->FileObject);
}
NTSTATUS FlushResume(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlBodyTableFlushResume(ioctl->Card, ioctl->Stack->FileObject);
}
NTSTATUS Lock(ZARFS_IOCTL_REQUEST* ioctl) { return ZarFsIoctlLockFileSystem(ioctl->Card, ioctl->Irp, ioctl->Stack); }
NTSTATUS Unlock(ZARFS_IOCTL_REQUEST* ioctl) { return ZarFsIoctlUnlockFileSystem(ioctl->Card, ioctl->Stack->FileObject); }
NTSTATUS RegisterFileTypes(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlRegisterFileTypes(&ioctl->Card->Service, ioctl->Irp, ioctl->Stack);
}
NTSTATUS UnregisterFileTypes(ZARFS_IOCTL_REQUEST* ioctl) { return ZarFsIoctlUnregisterFileTypes(&ioctl->Card->Service); }
NTSTATUS RegisterSdtiFlags(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlRegisterSDTIFlags(&ioctl->Card->Service, ioctl->Irp);
}
NTSTATUS SendServiceRequest(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlSendServiceRequest(&ioctl->Card->Service, ioctl->Irp);
}
NTSTATUS SendServiceResponse(ZARFS_IOCTL_REQUEST* ioctl)
{
    return ZarFsIoctlSendServiceResponse(&ioctl->Card->Service, ioctl->Irp, ioctl->Stack);
}

// How the driver serves each row of ZarFsIoctlTable, in its order. A
// posted code's handler runs first in the caller's thread with an IRP
// context, and again on the worker once it posted that context.
struct ZARFS_IOCTL_ROUTE {
    ULONG Code;
    ZARFS_IOCTL_HANDLER Handler;
    bool Posted;
};

constexpr ZARFS_IOCTL_ROUTE kRoutes[] = {
    {IOCTL_ZARFS_DISMOUNT_VOLUME, ZarFsIoctlDismountVolume, false},
    {IOCTL_ZARFS_FORMAT_VOLUME, ZarFsIoctlFormatVolume, false},
    {IOCTL_ZARFS_QUERY_VOLUME_INFO, ZarFsIoctlQueryVolumeInfo, false},
    {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, ZarFsIoctlAllocateVideoSpace, false},
    {IOCTL_ZARFS_UPDATE_VIDEO_FILE, ZarFsIoctlUpdateVideoFile, false},
    {IOCTL_ZARFS_GET_FILE_INFO, ZarFsIoctlGetFileInfo, false},
    {IOCTL_ZARFS_REGISTER_FILE_TYPES, RegisterFileTypes, false},
    {IOCTL_ZARFS_UNREGISTER_FILE_TYPES, UnregisterFileTypes, false},
    {IOCTL_ZARFS_SEND_SERVICE_REQUEST, SendServiceRequest, false},
    {IOCTL_ZARFS_SEND_SERVICE_RESPONSE, SendServiceResponse, false},
    {IOCTL_ZARFS_GET_PREFERENCES, ZarFsIoctlGetPreferences, false},
    {IOCTL_ZARFS_SET_PREFERENCES, ZarFsIoctlSetPreferences, false},
    {IOCTL_ZARFS_GET_FILE_ENTRY, ZarFsIoctlGetFileEntry, false},
    {IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, ZarFsIoctlSetAppFileEntryInfo, false},
    {IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, ZarFsIoctlGetVolumeSpaceInfo, false},
    {IOCTL_ZARFS_REFERENCE_BODY_TABLE, ZarFsIoctlReferenceBodyTable, true},
    {IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, ZarFsIoctlDereferenceBodyTable, true},
    {IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, ZarFsIoctlCreateNewBodyTable, true},
    {IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, ZarFsIoctlAddVideoNodesToBodyTable, true},
    {IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, ZarFsIoctlAddAlphaNodesToBodyTable, true},
    {IOCTL_ZARFS_GET_FILE_LOCATION_INFO, ZarFsIoctlGetFileLocationInfo, false},
    {IOCTL_ZARFS_MOVE_FILE_SEGMENTS, ZarFsIoctlMoveFileSegments, true},
    {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND, FlushSuspend, false},
    {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME, FlushResume, false},
    {IOCTL_ZARFS_GET_SCSI_PREFS, ZarFsIoctlGetScsiPrefs, false},
    {IOCTL_ZARFS_SET_SCSI_PREFS, ZarFsIoctlSetScsiPrefs, false},
    {IOCTL_ZARFS_SET_SDTI_TYPE, ZarFsIoctlSetSDTIType, false},
    {IOCTL_ZARFS_REGISTER_SDTI_FLAGS, RegisterSdtiFlags, false},
    {IOCTL_ZARFS_LOCK_FILE_SYSTEM, Lock, false},
    {IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, Unlock, false},
};

// Every public row has its route, row by row, each with a handler.
constexpr bool ZarFsRoutesMatchTable()
{
    if (sizeof(kRoutes) / sizeof(kRoutes[0]) != ZarFsIoctlCount) return false;
    for (size_t i = 0; i < ZarFsIoctlCount; ++i)
        if (kRoutes[i].Code != ZarFsIoctlTable[i].Code || kRoutes[i].Handler == nullptr) return false;
    return true;
}
// The sanitizer build cannot fold a function's address in a constant
// expression; the ordinary build checks the same table.
#ifndef __SANITIZE_ADDRESS__
static_assert(ZarFsRoutesMatchTable(), "the route table must follow ZarFsIoctlTable row by row");
#endif

ZARFS_IOCTL_REQUEST RequestOf(ZARFS_CARD_INSTANCE* card, PIRP irp, ZARFS_IRP_CONTEXT* context)
{
    return {card, irp, IoGetCurrentIrpStackLocation(irp), context, 0};
}

NTSTATUS GenericDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ZARFS_IOCTL_ENTRY* entry = ZarFsFindIoctl(stack->Parameters.DeviceIoControl.IoControlCode);
    if (entry == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < entry->InputLength ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < entry->OutputLength)
        return ZarFsCompleteRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    const ZARFS_IOCTL_ROUTE& route = kRoutes[entry - ZarFsIoctlTable];
    ZARFS_IRP_CONTEXT* context = nullptr;
    if (route.Posted) {
        NTSTATUS status = ZarFsIRPContextAllocate(irp, device, &context);
        if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    }
    ZARFS_IOCTL_REQUEST request = RequestOf(Extension(device)->Card, irp, context);
    NTSTATUS status = route.Handler(&request);
    if (status == STATUS_PENDING) return status;
    if (context != nullptr) ZarFsIRPContextFree(context);
    return ZarFsCompleteRequest(irp, status, request.Information);
}

}  // namespace

NTSTATUS ZarFsDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp)
{
    KeEnterCriticalRegion();
    NTSTATUS status;
    switch (Extension(device)->Kind) {
    case ZARFS_DEVICE_CONTROL:
        status = GenericDeviceIOCTL(device, irp);
        break;
    case ZARFS_DEVICE_DISK:
        status = ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        break;
    default:
        status = ZarFsCompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
        break;
    }
    KeLeaveCriticalRegion();
    return status;
}

void ZarFsCommonDeviceIOCTL(ZARFS_IRP_CONTEXT* context)
{
    PIRP irp = context->Irp;
    const ZARFS_IOCTL_ENTRY* entry =
        ZarFsFindIoctl(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
    ZARFS_IOCTL_REQUEST request = RequestOf(context->Card, irp, context);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (entry != nullptr && kRoutes[entry - ZarFsIoctlTable].Posted)
        status = kRoutes[entry - ZarFsIoctlTable].Handler(&request);
    if (context->Flags & ZARFS_IRPC_HANDED_ON) return;
    ZarFsIRPContextFree(context);
    ZarFsCompleteRequest(irp, status, request.Information, IO_DISK_INCREMENT);
}

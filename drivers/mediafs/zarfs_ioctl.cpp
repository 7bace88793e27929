// The control device \Device\ZarFsDevice<n>: opening and closing it (each
// handle carries its own body-table flush-suspension record), and the
// table of every control code it answers, which drives their dispatch and
// length checks; here too the codes that format, list and dismount the
// card's media volumes. The others are in zarfs_ioctl_drive.cpp,
// zarfs_ioctl_file.cpp and zarfs_service.cpp.

#include "zarfs_driver.h"

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

ZARFS_DEVICE_EXTENSION* Extension(PDEVICE_OBJECT device)
{
    return static_cast<ZARFS_DEVICE_EXTENSION*>(device->DeviceExtension);
}

// IOCTL_ZARFS_FORMAT_VOLUME: the result code comes back as the status when
// negative, else in the first 4 bytes.
NTSTATUS ZarFsIoctlFormatVolume(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info)
{
    ZAR_VOLUME_INFO request;
    RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer, sizeof request);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&card->Resource, TRUE);
    ZarFsBTFlushUnrefObjects(&card->BodyTables);
    LONG result = 0;
    NTSTATUS status = ZarFsHwFormatVolume(&card->Hw, &request, &result);
    ExReleaseResourceLite(&card->Resource);
    KeLeaveCriticalRegion();
    if (!NT_SUCCESS(status)) return status;
    if (result != ZARFS_FORMAT_OK) return NTSTATUS(result);
    // The result goes back only to a caller that gave room for it.
    if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = ULONG(result);
        *info = sizeof(ULONG);
    }
    return STATUS_SUCCESS;
}

// IOCTL_ZARFS_QUERY_VOLUME_INFO: the count of every volume, then as many
// records as the output has room for.
NTSTATUS ZarFsIoctlQueryVolumeInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info)
{
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG capacity = (out - sizeof(ZAR_VOLUME_LIST_HEAD)) / sizeof(ZAR_VOLUME_INFO);
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&card->Resource, TRUE);
    ULONG count = 0;
    ZARFS_HW_CONTEXT* hw = &card->Hw;
    for (PLIST_ENTRY e = hw->Volumes.Flink; e != &hw->Volumes; e = e->Flink, ++count) {
        if (count >= capacity) continue;
        ZAR_VOLUME_INFO item;
        ZarFsHwGetVolumeInfo(CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link), &item);
        RtlCopyMemory(buffer + sizeof(ZAR_VOLUME_LIST_HEAD) + count * sizeof item, &item, sizeof item);
    }
    ExReleaseResourceLite(&card->Resource);
    KeLeaveCriticalRegion();
    RtlCopyMemory(buffer, &count, sizeof count);
    *info = sizeof(ZAR_VOLUME_LIST_HEAD) + capacity * sizeof(ZAR_VOLUME_INFO);
    return STATUS_SUCCESS;
}

}  // namespace

// IOCTL_ZARFS_DISMOUNT_VOLUME: the card's one media drive (index 0) is
// dismounted only while nothing on it is open.
NTSTATUS ZarFsIoctlDismountVolume(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info)
{
    (void)stack;
    (void)info;
    UCHAR index = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (index != 0) return STATUS_INVALID_PARAMETER;
    ZARFS_VCB* vcb = &card->Vcb;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    NTSTATUS status = STATUS_SUCCESS;
    if (vcb->Root->OpenCount != 0 || !IsListEmpty(&vcb->Root->Children) || vcb->VolumeOpens != 0)
        status = STATUS_UNSUCCESSFUL;
    ExReleaseResourceLite(&vcb->Resource);
    KeLeaveCriticalRegion();
    return status;
}

NTSTATUS ZarFsCreate(PDEVICE_OBJECT device, PIRP irp)
{
    if (Extension(device)->Kind == ZARFS_DEVICE_DISK) return ZarFsCommonCreate(device, irp);
    ZARFS_HANDLE_CONTEXT* context = ZarFsHCAllocateContext();
    if (context == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2 = context;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ZarFsCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    // A handle that goes away gives back the flush suspensions it made.
    ZARFS_DEVICE_EXTENSION* ext = Extension(device);
    if (ext->Kind == ZARFS_DEVICE_DISK) return ZarFsCommonCleanup(device, irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (ext->Kind == ZARFS_DEVICE_CONTROL && file != nullptr)
        if (ZARFS_HANDLE_CONTEXT* context = ZarFsHCGetContext(file->FsContext2))
            ZarFsHCBodyTableFlushSync(context, &ext->Card->BodyTables);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ZarFsClose(PDEVICE_OBJECT device, PIRP irp)
{
    if (Extension(device)->Kind == ZARFS_DEVICE_DISK) return ZarFsCommonClose(device, irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (Extension(device)->Kind == ZARFS_DEVICE_CONTROL && file != nullptr) {
        // The lock belongs to the handle that took it.
        ZarFsIoctlUnlockFileSystem(Extension(device)->Card, file);
        ZarFsHCFreeContext(ZarFsHCGetContext(file->FsContext2));
        file->FsContext2 = nullptr;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

namespace {

using DirectHandler = NTSTATUS (*)(ZARFS_CARD_INSTANCE*, PIRP, PIO_STACK_LOCATION, ULONG_PTR*);
using PostedHandler = NTSTATUS (*)(ZARFS_IRP_CONTEXT*);

// One row per control code: the least input and output it needs (checked
// in that order before anything is touched) and its handler. A posted
// handler runs in the caller's thread first and finishes on a worker.
struct IoctlRow {
    ULONG Code;
    ULONG InLength;
    ULONG OutLength;
    DirectHandler Direct;
    PostedHandler Posted;
};

NTSTATUS FlushSuspend(ZARFS_CARD_INSTANCE* card, PIRP, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlBodyTableFlushSuspend(card, stack->FileObject);
}
NTSTATUS FlushResume(ZARFS_CARD_INSTANCE* card, PIRP, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlBodyTableFlushResume(card, stack->FileObject);
}
NTSTATUS Lock(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlLockFileSystem(card, irp, stack);
}
NTSTATUS Unlock(ZARFS_CARD_INSTANCE* card, PIRP, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlUnlockFileSystem(card, stack->FileObject);
}
NTSTATUS RegisterFileTypes(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlRegisterFileTypes(&card->Service, irp, stack);
}
NTSTATUS UnregisterFileTypes(ZARFS_CARD_INSTANCE* card, PIRP, PIO_STACK_LOCATION, ULONG_PTR*)
{
    return ZarFsIoctlUnregisterFileTypes(&card->Service);
}
NTSTATUS RegisterSdtiFlags(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION, ULONG_PTR*)
{
    return ZarFsIoctlRegisterSDTIFlags(&card->Service, irp);
}
NTSTATUS SendServiceRequest(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION, ULONG_PTR*)
{
    return ZarFsIoctlSendServiceRequest(&card->Service, irp);
}
NTSTATUS SendServiceResponse(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR*)
{
    return ZarFsIoctlSendServiceResponse(&card->Service, irp, stack);
}

const IoctlRow kIoctlTable[] = {
    {IOCTL_ZARFS_DISMOUNT_VOLUME, 4, 0, ZarFsIoctlDismountVolume, nullptr},
    {IOCTL_ZARFS_FORMAT_VOLUME, sizeof(ZAR_VOLUME_INFO), 0, ZarFsIoctlFormatVolume, nullptr},
    {IOCTL_ZARFS_QUERY_VOLUME_INFO, 4, 4, ZarFsIoctlQueryVolumeInfo, nullptr},
    {IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, sizeof(ZARFS_ALLOCATE_VIDEO_SPACE), sizeof(ZARFS_ALLOCATE_VIDEO_SPACE),
     ZarFsIoctlAllocateVideoSpace, nullptr},
    {IOCTL_ZARFS_UPDATE_VIDEO_FILE, sizeof(ZARFS_UPDATE_VIDEO_FILE), sizeof(ZARFS_UPDATE_VIDEO_FILE),
     ZarFsIoctlUpdateVideoFile, nullptr},
    {IOCTL_ZARFS_GET_FILE_INFO, sizeof(ZARFS_GET_FILE_INFO), sizeof(ZARFS_GET_FILE_INFO), ZarFsIoctlGetFileInfo,
     nullptr},
    {IOCTL_ZARFS_REGISTER_FILE_TYPES, 48, 0, RegisterFileTypes, nullptr},
    {IOCTL_ZARFS_UNREGISTER_FILE_TYPES, 0, 0, UnregisterFileTypes, nullptr},
    {IOCTL_ZARFS_SEND_SERVICE_REQUEST, 0, sizeof(ZARFS_SERVICE_REQUEST), SendServiceRequest, nullptr},
    {IOCTL_ZARFS_SEND_SERVICE_RESPONSE, sizeof(ZARFS_SERVICE_RESPONSE), 0, SendServiceResponse, nullptr},
    {IOCTL_ZARFS_GET_PREFERENCES, 0, sizeof(ZAR_FILE_SYSTEM_PREFS), ZarFsIoctlGetPreferences, nullptr},
    {IOCTL_ZARFS_SET_PREFERENCES, sizeof(ZAR_FILE_SYSTEM_PREFS), 0, ZarFsIoctlSetPreferences, nullptr},
    {IOCTL_ZARFS_GET_FILE_ENTRY, 4, sizeof(ZAR_FILE_INFO), ZarFsIoctlGetFileEntry, nullptr},
    {IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, sizeof(ZARFS_SET_APP_FILE_ENTRY_INFO), 0, ZarFsIoctlSetAppFileEntryInfo,
     nullptr},
    {IOCTL_ZARFS_GET_VOLUME_SPACE_INFO, sizeof(ZAR_VOLUME_SPACE_INFO), sizeof(ZAR_VOLUME_SPACE_INFO),
     ZarFsIoctlGetVolumeSpaceInfo, nullptr},
    {IOCTL_ZARFS_REFERENCE_BODY_TABLE, sizeof(ZARFS_BODY_TABLE_REFERENCE), 0, nullptr, ZarFsIoctlReferenceBodyTable},
    {IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, sizeof(ZARFS_BODY_TABLE_DEREFERENCE), 0, nullptr,
     ZarFsIoctlDereferenceBodyTable},
    {IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, sizeof(ZARFS_BODY_TABLE_REFERENCE), 0, nullptr, ZarFsIoctlCreateNewBodyTable},
    {IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE, sizeof(ZARFS_BODY_TABLE_ADD_NODES), 0, nullptr,
     ZarFsIoctlAddVideoNodesToBodyTable},
    {IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE, sizeof(ZARFS_BODY_TABLE_ADD_NODES), 0, nullptr,
     ZarFsIoctlAddAlphaNodesToBodyTable},
    {IOCTL_ZARFS_GET_FILE_LOCATION_INFO, sizeof(ZAR_FILE_LOCATION), sizeof(ZAR_FILE_LOCATION),
     ZarFsIoctlGetFileLocationInfo, nullptr},
    {IOCTL_ZARFS_MOVE_FILE_SEGMENTS, 0, sizeof(ZARFS_MOVE_FILE_SEGMENTS), nullptr, ZarFsIoctlMoveFileSegments},
    {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND, 0, 0, FlushSuspend, nullptr},
    {IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME, 0, 0, FlushResume, nullptr},
    {IOCTL_ZARFS_GET_SCSI_PREFS, 0, sizeof(ZAR_SCSI_PREFS), ZarFsIoctlGetScsiPrefs, nullptr},
    {IOCTL_ZARFS_SET_SCSI_PREFS, sizeof(ZAR_SCSI_PREFS), 0, ZarFsIoctlSetScsiPrefs, nullptr},
    {IOCTL_ZARFS_SET_SDTI_TYPE, sizeof(ZARFS_SET_SDTI_TYPE), 0, ZarFsIoctlSetSDTIType, nullptr},
    {IOCTL_ZARFS_REGISTER_SDTI_FLAGS, 4, 0, RegisterSdtiFlags, nullptr},
    {IOCTL_ZARFS_LOCK_FILE_SYSTEM, 4, 0, Lock, nullptr},
    {IOCTL_ZARFS_UNLOCK_FILE_SYSTEM, 0, 0, Unlock, nullptr},
};
static_assert(sizeof kIoctlTable / sizeof kIoctlTable[0] == 30);

const IoctlRow* FindRow(ULONG code)
{
    for (const IoctlRow& row : kIoctlTable)
        if (row.Code == code) return &row;
    return nullptr;
}

NTSTATUS GenericDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp)
{
    ZARFS_DEVICE_EXTENSION* ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const IoctlRow* row = FindRow(stack->Parameters.DeviceIoControl.IoControlCode);
    if (row == nullptr) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < row->InLength ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < row->OutLength)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (row->Posted != nullptr) {
        ZARFS_IRP_CONTEXT* context;
        NTSTATUS status = ZarFsIRPContextAllocate(irp, device, &context);
        if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
        status = row->Posted(context);
        if (status == STATUS_PENDING) return status;
        ZarFsIRPContextFree(context);
        return Complete(irp, status, 0);
    }
    ULONG_PTR info = 0;
    NTSTATUS status = row->Direct(ext->Card, irp, stack, &info);
    if (status == STATUS_PENDING) return status;
    return Complete(irp, status, NT_SUCCESS(status) ? info : 0);
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
        status = Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        break;
    default:
        status = Complete(irp, STATUS_UNSUCCESSFUL, 0);
        break;
    }
    KeLeaveCriticalRegion();
    return status;
}

void ZarFsCommonDeviceIOCTL(ZARFS_IRP_CONTEXT* context)
{
    PIRP irp = context->Irp;
    const IoctlRow* row = FindRow(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
    NTSTATUS status = row != nullptr && row->Posted != nullptr ? row->Posted(context) : STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR info = 0;
    if (NT_SUCCESS(status) && row->Code == IOCTL_ZARFS_MOVE_FILE_SEGMENTS) info = sizeof(ZARFS_MOVE_FILE_SEGMENTS);
    if (context->Flags & ZARFS_IRPC_HANDED_ON) return;
    ZarFsIRPContextFree(context);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_DISK_INCREMENT);
}

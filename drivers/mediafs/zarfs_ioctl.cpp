// The control device \Device\ZarFsDevice<n>: opening and closing it (each
// handle carries its own body-table flush-suspension record), and the
// control codes that format and list the card's media volumes; the others
// it answers are in zarfs_ioctl_drive.cpp.

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
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ZAR_VOLUME_INFO)) return STATUS_BUFFER_TOO_SMALL;
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
    *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = ULONG(result);
    *info = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// IOCTL_ZARFS_QUERY_VOLUME_INFO: the count of every volume, then as many
// records as the output has room for.
NTSTATUS ZarFsIoctlQueryVolumeInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info)
{
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (in < sizeof(ZAR_VOLUME_LIST_HEAD) || out < sizeof(ZAR_VOLUME_LIST_HEAD)) return STATUS_BUFFER_TOO_SMALL;
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

NTSTATUS ZarFsDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp)
{
    ZARFS_DEVICE_EXTENSION* ext = Extension(device);
    if (ext->Kind != ZARFS_DEVICE_CONTROL) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR info = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ZARFS_FORMAT_VOLUME:
        status = ZarFsIoctlFormatVolume(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_QUERY_VOLUME_INFO:
        status = ZarFsIoctlQueryVolumeInfo(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_GET_PREFERENCES:
        status = ZarFsIoctlGetPreferences(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_SET_PREFERENCES:
        status = ZarFsIoctlSetPreferences(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_GET_SCSI_PREFS:
        status = ZarFsIoctlGetScsiPrefs(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_SET_SCSI_PREFS:
        status = ZarFsIoctlSetScsiPrefs(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND:
        status = ZarFsIoctlBodyTableFlushSuspend(ext->Card, stack->FileObject);
        break;
    case IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME:
        status = ZarFsIoctlBodyTableFlushResume(ext->Card, stack->FileObject);
        break;
    case IOCTL_ZARFS_LOCK_FILE_SYSTEM:
        status = ZarFsIoctlLockFileSystem(ext->Card, irp, stack);
        break;
    case IOCTL_ZARFS_UNLOCK_FILE_SYSTEM:
        status = ZarFsIoctlUnlockFileSystem(ext->Card, stack->FileObject);
        break;
    case IOCTL_ZARFS_GET_FILE_ENTRY:
        status = ZarFsIoctlGetFileEntry(ext->Card, irp, stack, &info);
        break;
    case IOCTL_ZARFS_GET_VOLUME_SPACE_INFO:
        status = ZarFsIoctlGetVolumeSpaceInfo(ext->Card, irp, stack, &info);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return Complete(irp, status, info);
}

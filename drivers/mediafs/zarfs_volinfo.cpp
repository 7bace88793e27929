// Volume information of the media drive: its label, attributes, size and
// device, and setting the label (kept in memory only).

#include "zarfs_driver.h"

namespace {

constexpr ULONGLONG kMinimumFreeUnits = 409600;
constexpr ULONG kFileFsLabelInformation = 2;

NTSTATUS QueryVolume(ZARFS_VCB* vcb, ULONG infoClass, PUCHAR buffer, ULONG length, ULONG* used)
{
    switch (infoClass) {
    case FileFsVolumeInformation: {
        if (length < 24) return STATUS_BUFFER_TOO_SMALL;
        auto* v = reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
        RtlZeroMemory(v, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel));
        v->VolumeLabelLength = vcb->LabelBytes;
        ULONG room = length - offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        ULONG copied = vcb->LabelBytes <= room ? vcb->LabelBytes : room & ~1u;
        RtlCopyMemory(v->VolumeLabel, vcb->Label, copied);
        *used = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + copied;
        return copied == vcb->LabelBytes ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsAttributeInformation: {
        if (length < 16) return STATUS_BUFFER_TOO_SMALL;
        auto* a = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
        a->FileSystemAttributes = 6;  // case-preserving, Unicode names
        a->MaximumComponentNameLength = ZARFS_MAX_COMPONENT;
        a->FileSystemNameLength = vcb->LabelBytes;
        ULONG room = length - offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        ULONG copied = vcb->LabelBytes <= room ? vcb->LabelBytes : room & ~1u;
        RtlCopyMemory(a->FileSystemName, vcb->Label, copied);
        *used = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + copied;
        return copied == vcb->LabelBytes ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsSizeInformation: {
        if (length < 24) return STATUS_BUFFER_TOO_SMALL;
        ULONGLONG total = 0, free = 0;
        ZarFsHwGetTotalVolumeSpaceInfo(&vcb->Card->Hw, &total, &free);
        auto* s = reinterpret_cast<FILE_FS_SIZE_INFORMATION*>(buffer);
        s->TotalAllocationUnits.QuadPart = LONGLONG(total == 0 ? 1 : total);
        // Programs that check for room before writing a clip must not be stopped by a small figure.
        s->AvailableAllocationUnits.QuadPart = LONGLONG(free < kMinimumFreeUnits ? kMinimumFreeUnits : free);
        s->SectorsPerAllocationUnit = 1;
        s->BytesPerSector = ZARFS_BLOCK;
        *used = 24;
        return STATUS_SUCCESS;
    }
    case FileFsDeviceInformation: {
        if (length < 8) return STATUS_BUFFER_TOO_SMALL;
        auto* d = reinterpret_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
        d->DeviceType = 7;          // FILE_DEVICE_DISK
        d->Characteristics = 0x20;  // FILE_DEVICE_IS_MOUNTED
        *used = 8;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// FILE_FS_LABEL_INFORMATION: a u32 length in bytes, then the label; kept
// in memory only.
NTSTATUS SetLabel(ZARFS_VCB* vcb, const UCHAR* buffer, ULONG length)
{
    if (length < 8) return STATUS_BUFFER_TOO_SMALL;
    ULONG bytes;
    RtlCopyMemory(&bytes, buffer, 4);
    if (bytes > length - 4 || bytes > sizeof vcb->Label || (bytes & 1)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(vcb->Label, buffer + 4, bytes);
    vcb->LabelBytes = bytes;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarFsQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (vcb == nullptr || buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG used = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, false, [&] {
        return QueryVolume(vcb, stack->Parameters.QueryVolume.FsInformationClass, buffer,
                           stack->Parameters.QueryVolume.Length, &used);
    });
    return ZarFsCompleteRequest(irp, status, NT_ERROR(status) ? 0 : used);
}

NTSTATUS ZarFsSetVolumeInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (vcb == nullptr || buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    // Same layout as the query's, whose class numbers the set request shares.
    ULONG infoClass = stack->Parameters.QueryVolume.FsInformationClass;
    ULONG length = stack->Parameters.QueryVolume.Length;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&] {
        return infoClass == kFileFsLabelInformation ? SetLabel(vcb, buffer, length) : STATUS_INVALID_PARAMETER;
    });
    return ZarFsCompleteRequest(irp, status, 0);
}

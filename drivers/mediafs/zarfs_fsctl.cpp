// File-system control of the media drive: it mounts on no other device
// and answers the opportunistic-lock and mount queries a client sends.

#include "zarfs_driver.h"

namespace {

constexpr UCHAR kMinorMountVolume = 0x01;      // IRP_MN_MOUNT_VOLUME
constexpr UCHAR kMinorUserFsRequest = 0x00;    // IRP_MN_USER_FS_REQUEST

}  // namespace

NTSTATUS ZarFsFileSystemCtrl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (ZarFsDeviceVcb(device) == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    // The driver finds its volumes itself and mounts on no other device.
    if (stack->MinorFunction == kMinorMountVolume)
        return ZarFsCompleteRequest(irp, STATUS_UNRECOGNIZED_VOLUME, 0);
    if (stack->MinorFunction != kMinorUserFsRequest)
        return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (stack->Parameters.FileSystemControl.FsControlCode) {
    case 0x90000: case 0x90004: case 0x90008: case 0x9000C:  // oplock requests and acknowledgements
    case 0x90010: case 0x90014: case 0x90050:
    case 0x90028:                                             // is the volume mounted
        return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    default:
        return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

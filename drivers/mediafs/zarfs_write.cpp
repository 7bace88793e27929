// Writes on the media drive: a clip file written into the native folder
// is stored as a clip, a frame file goes to the service, RAM files and the
// port file take theirs in memory. Flushing has nothing to write back:
// the driver keeps no written data waiting for the disk.

#include "zarfs_driver.h"

NTSTATUS ZarFsWrite(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* fileVcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    if (ZarFsDeviceVcb(device) == nullptr ||
        ZarFsGetRequestType(stack->FileObject, &fileVcb, &fcb, &ccb) != ZarFsRequestFile)
        return ZarFsCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    if (stack->Parameters.Write.Length == 0) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) return ZarFsTransferRamFile(ZarFsDeviceVcb(device), fcb, irp, stack, true);
    if (fcb->Flags & ZARFS_FCB_PORT) return ZarFsTransferPort(ZarFsDeviceVcb(device), fcb, ccb, irp, stack, true);
    if (ZarFsIsFrameFile(fcb)) return ZarFsFrameFileWriteRequest(ZarFsDeviceVcb(device), fcb, irp, stack);
    // A clip file written into the native folder is stored as a clip.
    if (fcb->Kind == ZarFsNodeFile && fcb->TypeIndex == 0 && fcb->FileEntry != nullptr)
        return ZarFsKIVWrite(ZarFsDeviceVcb(device), fcb, irp, stack);
    return ZarFsCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
}

NTSTATUS ZarFsFlushBuffers(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

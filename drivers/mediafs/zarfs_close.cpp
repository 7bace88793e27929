// Cleanup and close: the last handle of a file ends its share access,
// its change notifications, a deletion it asked for and the space it left
// unsettled; the close of its last file object releases the FCB. On the
// control device a handle gives back its flush suspensions and its volume
// lock.

#include "zarfs_driver.h"

namespace {

ZARFS_DEVICE_EXTENSION* Extension(PDEVICE_OBJECT device)
{
    return static_cast<ZARFS_DEVICE_EXTENSION*>(device->DeviceExtension);
}

struct Handle {
    ZARFS_VCB* vcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    ZARFS_REQUEST_TYPE type;
};

Handle HandleOf(PIO_STACK_LOCATION stack)
{
    Handle h{};
    h.type = ZarFsGetRequestType(stack->FileObject, &h.vcb, &h.fcb, &h.ccb);
    return h;
}

}  // namespace

NTSTATUS ZarFsCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    // A handle that goes away gives back the flush suspensions it made.
    ZARFS_DEVICE_EXTENSION* ext = Extension(device);
    if (ext->Kind == ZARFS_DEVICE_DISK) return ZarFsCommonCleanup(device, irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (ext->Kind == ZARFS_DEVICE_CONTROL && file != nullptr)
        if (ZARFS_HANDLE_CONTEXT* context = ZarFsHCGetContext(file->FsContext2))
            ZarFsHCBodyTableFlushSync(context, &ext->Card->BodyTables);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
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
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ZarFsCommonCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Handle h = HandleOf(stack);
    if (h.type == ZarFsRequestUnknown) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    ULONG serviceContext = 0, typeValue = 0, frame = 0;
    NTSTATUS status = ZarFsUnderResource(&ZarFsDeviceVcb(device)->Resource, true, [&]() -> NTSTATUS {
        if (h.type == ZarFsRequestVolume) {
            IoRemoveShareAccess(stack->FileObject, &h.vcb->Share);
            return STATUS_SUCCESS;
        }
        ZARFS_FCB* fcb = h.fcb;
        // Its change notifications end with the handle.
        FsRtlNotifyCleanup(h.vcb->NotifySync, &h.vcb->NotifyList, h.ccb);
        IoRemoveShareAccess(stack->FileObject, &fcb->Share);
        ZarFsFileReleaseBodyTableWriter(h.vcb, h.ccb);
        if (fcb->HandleCount != 0) --fcb->HandleCount;
        if (fcb->HandleCount == 0 && ZarFsIsFrameFile(fcb) && fcb->ServiceContext != 0) {
            const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
            serviceContext = fcb->ServiceContext;
            typeValue = type != nullptr ? type->Value : 0;
            frame = fcb->FrameIndex;
        }
        if (fcb->HandleCount == 0 && (fcb->Flags & ZARFS_FCB_DELETE_PENDING) && !(fcb->Flags & ZARFS_FCB_DELETED)) {
            NTSTATUS deleted = ZarFsFCBDeleteEntry(h.vcb, fcb);
            if (!NT_SUCCESS(deleted)) return deleted;
            ZarFsNotifyChange(h.vcb, fcb, ZarFsNotifyNameFilter(fcb), FILE_ACTION_REMOVED);
            fcb->Flags |= ZARFS_FCB_DELETED;
            // Removing the entry gave back every block it named.
            RtlZeroMemory(fcb->Reserved, sizeof fcb->Reserved);
        }
        // Space reserved and never settled goes back with the file's last
        // handle, whichever handle that is: a reader left open after the
        // writer must not keep it reserved for good.
        if (fcb->HandleCount == 0) {
            // A clip written only in part ends with it; a new write starts afresh.
            ZarFsKIVFreeWriteObject(fcb);
            // The entry could not be rewritten: the space stays claimed, as
            // the disk says, and the caller hears of it.
            return ZarFsFileReleaseReservations(h.vcb, fcb);
        }
        return STATUS_SUCCESS;
    });
    // The last handle of a frame file the service opened ends its use
    // there (the file stays open at the service until the close).
    if (serviceContext != 0) ZarFsSReqClean(&ZarFsDeviceVcb(device)->Card->Service, serviceContext, typeValue, frame);
    return ZarFsCompleteRequest(irp, status, 0);
}

NTSTATUS ZarFsCommonClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Handle h = HandleOf(stack);
    if (h.type == ZarFsRequestUnknown) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    ULONG serviceContext = 0;
    ZarFsUnderResource(&ZarFsDeviceVcb(device)->Resource, true, [&]() -> NTSTATUS {
        if (h.type == ZarFsRequestVolume) {
            if (h.vcb->VolumeOpens != 0) --h.vcb->VolumeOpens;
        } else {
            ZARFS_FCB* fcb = h.fcb;
            if (fcb->OpenCount != 0) --fcb->OpenCount;
            if (h.vcb->OpenFiles != 0) --h.vcb->OpenFiles;
            if (!(h.ccb->Access & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE)) && h.vcb->ReadOnlyFiles != 0)
                --h.vcb->ReadOnlyFiles;
            if (fcb->OpenCount == 0) {
                serviceContext = fcb->ServiceContext;
                ZarFsFileReleaseBodyTable(h.vcb, fcb);
                ZarFsFCBRemove(fcb);
            }
        }
        ZarFsCCBFree(h.ccb);
        stack->FileObject->FsContext = nullptr;
        stack->FileObject->FsContext2 = nullptr;
        return STATUS_SUCCESS;
    });
    // A frame file the service opened is closed there too, outside the
    // drive's resource, as every exchange with the service is.
    if (serviceContext != 0) ZarFsSReqClose(&ZarFsDeviceVcb(device)->Card->Service, serviceContext);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

// The completion every request of ZARFSKD ends with, and the buffer a
// request carries.

#include "zarfs_complete.h"

NTSTATUS ZarFsCompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
    IoCompleteRequest(irp, boost);
    return status;
}

PVOID ZarFsRequestBuffer(PIRP irp)
{
    if (irp->MdlAddress != nullptr) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (irp->AssociatedIrp.SystemBuffer != nullptr) return irp->AssociatedIrp.SystemBuffer;
    return irp->UserBuffer;
}

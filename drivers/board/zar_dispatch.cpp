// The driver's dispatch entries. Opening and closing a board device work;
// every request is refused until the control dispatch and the transfer
// paths are in.

#include "zar_driver.h"

namespace {

NTSTATUS ZarCompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS ZarDispatchOpen(PDEVICE_OBJECT, PIRP irp) { return ZarCompleteRequest(irp, STATUS_SUCCESS); }

NTSTATUS ZarDispatchClose(PDEVICE_OBJECT, PIRP irp) { return ZarCompleteRequest(irp, STATUS_SUCCESS); }

NTSTATUS ZarDispatchRead(PDEVICE_OBJECT, PIRP irp) { return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS ZarDispatchWrite(PDEVICE_OBJECT, PIRP irp) { return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS ZarDispatchIoControl(PDEVICE_OBJECT, PIRP irp)
{
    return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS ZarDispatchShutdown(PDEVICE_OBJECT device, PIRP irp)
{
    ZarShutdown(ZarExtension(device));
    return ZarCompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ZarTandrel_DispatchInternalDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    return ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void ZarStartIo(PDEVICE_OBJECT device, PIRP irp)
{
    ZarCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    IoStartNextPacket(device, FALSE);
}

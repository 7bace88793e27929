// TANDRELKD's entry, dispatch routines and unload. The entry binds to the
// board driver's first board (one device per time-code stream), adds the
// reader proxy and starts the clock stream; every dispatch routine ends by
// releasing what per-field work stopped using.

#include "platform/nt/machine.h"
#include "tandrel_driver.h"

TANDREL_GLOBALS TandrelGlobals;

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    if (status == STATUS_PENDING) return status;
    irp->IoStatus.Status = status;
    if (NT_ERROR(status)) irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    PFILE_OBJECT file = TandrelFile(irp);
    irp->IoStatus.Information = 0;
    // The access asked for stays in the file object for the later checks.
    SHARE_ACCESS share{};
    IoSetShareAccess(file->GrantedAccess, 0, file, &share);
    if (!file->ReadAccess) return Complete(irp, STATUS_ACCESS_DENIED);
    if (!file->WriteAccess) return Complete(irp, STATUS_SUCCESS);
    {
        KIRQL old;
        KeAcquireSpinLock(&ext->Lock, &old);
        const BOOLEAN busy = ext->Writer != nullptr;
        if (!busy) ext->Writer = file;
        KeReleaseSpinLock(&ext->Lock, old);
        if (busy) return Complete(irp, STATUS_DEVICE_BUSY);
    }
    NTSTATUS status = TandrelWriterOpen(ext);
    if (!NT_SUCCESS(status)) {
        KIRQL old;
        KeAcquireSpinLock(&ext->Lock, &old);
        ext->Writer = nullptr;
        KeReleaseSpinLock(&ext->Lock, old);
    }
    ReleaseHeld(ext);
    return Complete(irp, status);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    PFILE_OBJECT file = TandrelFile(irp);
    const BOOLEAN writer = file != nullptr && file == ext->Writer;
    NTSTATUS status = STATUS_SUCCESS;
    if (ext->Class->Close != nullptr) status = ext->Class->Close(ext, file, writer);
    TandrelRemovePolls(ext, file);
    TandrelClockRemoveOwner(ext->Clock, file);
    if (writer && NT_SUCCESS(status)) {
        TandrelWriterClose(ext);
        KIRQL old;
        KeAcquireSpinLock(&ext->Lock, &old);
        ext->Writer = nullptr;
        KeReleaseSpinLock(&ext->Lock, old);
    }
    ReleaseHeld(ext);
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    NTSTATUS status = ext->Class->Cleanup != nullptr ? ext->Class->Cleanup(ext, irp) : STATUS_SUCCESS;
    ReleaseHeld(ext);
    irp->IoStatus.Information = 0;
    return Complete(irp, status);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_ACCESS_DENIED);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    irp->IoStatus.Information = 0;
    NTSTATUS status = ext->Class->Write != nullptr ? ext->Class->Write(ext, irp) : STATUS_ACCESS_DENIED;
    ReleaseHeld(ext);
    return Complete(irp, status);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PTANDREL_EXTENSION ext = TandrelExtension(device);
    irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (ext->Class->Table != nullptr) status = DispatchByTable(ext->Class->Table, ext->Class->Rows, ext, irp);
    if (status == STATUS_INVALID_DEVICE_REQUEST && ext->Forwards) {
        // The board completes it; nothing of ours is held for it.
        irp->IoStatus.Information = 0;
        status = TandrelForward(ext, irp);
        ReleaseHeld(ext);
        return status;
    }
    ReleaseHeld(ext);
    return Complete(irp, status);
}

void DriverUnload(PDRIVER_OBJECT driver)
{
    TANDREL_CLOCK_STREAM* clock = TandrelGlobals.Clock;
    if (clock != nullptr) {
        KIRQL old;
        KeAcquireSpinLock(&clock->Lock, &old);
        clock->Active = FALSE;
        KeReleaseSpinLock(&clock->Lock, old);
    }
    // While every device still exists: starts and stops armed on another
    // device are taken back, and tracked devices let go.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        PTANDREL_EXTENSION ext = TandrelExtension(d);
        TandrelCancelPending(ext, 0);
        TandrelCancelPending(ext, 1);
        if (ext->Class->Disconnect != nullptr && !ext->Disconnected) ext->Class->Disconnect(ext);
        ext->Disconnected = TRUE;
    }
    while (driver->DeviceObject != nullptr) TandrelDeleteDevice(TandrelExtension(driver->DeviceObject));
    TandrelUnbind(TandrelGlobals.Binding);
    TandrelGlobals = TANDREL_GLOBALS{};
}

}  // namespace

NTSTATUS TandrelDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    TandrelGlobals = TANDREL_GLOBALS{};
    TandrelGlobals.Driver = driver;
    TANDREL_BINDING* binding = nullptr;
    NTSTATUS status = TandrelBind(&binding);
    if (NT_SUCCESS(status)) {
        TandrelGlobals.Binding = binding;
        // The software reader: the clock's stream, read from an application's hints.
        TANDREL_STREAM_VALUES proxy = binding->Clock->Stream;
        proxy.Type = TANDREL_STREAM_VITC_READER;
        proxy.Delay = 0;
        PTANDREL_EXTENSION created = nullptr;
        TandrelCreateStreamDevice(binding, proxy, TRUE, &created);
        KIRQL old;
        KeAcquireSpinLock(&binding->Clock->Lock, &old);
        binding->Clock->Active = TRUE;
        KeReleaseSpinLock(&binding->Clock->Lock, old);
    }
    if (driver->DeviceObject == nullptr) {
        if (binding != nullptr) TandrelUnbind(binding);
        TandrelGlobals = TANDREL_GLOBALS{};
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

NT_REGISTER_DRIVER_IMAGE("TANDRELKD.sys", TandrelDriverEntry);

// The round-trip benchmarks' small driver (\Device\BenchEcho, linked as
// \??\BenchEcho) and the machine it runs in: the kernel side of
// bench_echo.h.

#include <cstdio>
#include <cstring>

#include "bench/bench_echo.h"
#include "platform/host/host_server.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/nt_internal.h"

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

// The system buffer already holds the input; it goes back as the output.
NTSTATUS Echo(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_BENCH_ECHO)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return Complete(irp, STATUS_SUCCESS, s->Parameters.DeviceIoControl.InputBufferLength);
}

// A direct-I/O read: the device fills the locked pages.
NTSTATUS Read(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    std::memset(data, 0x5A, s->Parameters.Read.Length);
    return Complete(irp, STATUS_SUCCESS, s->Parameters.Read.Length);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BenchEcho");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BenchEcho");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    return IoCreateSymbolicLink(&link, &name);
}

bool serving = false;

}  // namespace

bool BootEchoMachine(const std::string& folder, bool serve, std::string* why)
{
    nt::MachineOptions options;
    options.folder = folder;
    options.clock = nt::ClockMode::Real;
    options.loadDrivers = false;
    NTSTATUS status = nt::Machine::Boot(options);
    PDRIVER_OBJECT driver;
    if (NT_SUCCESS(status)) status = IoCreateDriver(u"BenchEcho", DriverEntry, &driver);
    if (!NT_SUCCESS(status)) {
        *why = std::string("the machine with the echo driver did not start: ") + NtStatusName(status);
        if (nt::Machine::Running()) nt::Machine::Shutdown();
        return false;
    }
    if (serve && !host::StartServer(nt::Machine::Folder(), why)) {
        nt::Machine::Shutdown();
        return false;
    }
    serving = serve;
    return true;
}

void ShutdownEchoMachine()
{
    if (serving) host::StopServer();
    serving = false;
    if (nt::Machine::Running()) nt::Machine::Shutdown();
}

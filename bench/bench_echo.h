// The small driver of the round-trip benchmarks: \Device\BenchEcho (linked
// as \??\BenchEcho) answers IOCTL_BENCH_ECHO with its input, the way a
// driver returns a request record, and fills a direct-I/O read with 0x5A.
// Also the timing loop both benchmarks use.
#pragma once

#include <chrono>
#include <cstring>

#include "platform/nt/kernel.h"

inline constexpr ULONG IOCTL_BENCH_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kBenchRecord = 104;  // bytes of the disk request block

namespace benchecho {

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS Open(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

// The system buffer already holds the input; it goes back as the output.
inline NTSTATUS Echo(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_BENCH_ECHO)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return Complete(irp, STATUS_SUCCESS, s->Parameters.DeviceIoControl.InputBufferLength);
}

// A direct-I/O read: the device fills the locked pages.
inline NTSTATUS Read(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    std::memset(data, 0x5A, s->Parameters.Read.Length);
    return Complete(irp, STATUS_SUCCESS, s->Parameters.Read.Length);
}

}  // namespace benchecho

inline NTSTATUS BenchEchoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BenchEcho");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BenchEcho");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = benchecho::Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = benchecho::Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = benchecho::Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = benchecho::Echo;
    driver->MajorFunction[IRP_MJ_READ] = benchecho::Read;
    return IoCreateSymbolicLink(&link, &name);
}

template <typename F>
double NanosecondsPerCall(long calls, F f)
{
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) f(i);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(calls);
}

// Round trip of a 104-byte METHOD_BUFFERED DeviceIoControl (the size of the
// disk request block) through the Win32 layer and the kernel to a driver
// that copies the record back, in the process that boots the machine.
// The baseline is the copying such a request cannot avoid: 104 bytes in and
// 104 bytes out, as two memcpy calls, timed in the same process.
//
//   ioctl_roundtrip [calls]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "platform/nt/machine.h"
#include "platform/nt/nt_internal.h"
#include "platform/win32/win32.h"
#include "bench/bench_host.h"

namespace {

constexpr ULONG IOCTL_BENCH_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kRecord = 104;

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

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BenchEcho");
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BenchEcho");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = Open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
    driver->MajorFunction[IRP_MJ_CLOSE] = Open;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Echo;
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

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("ioctl_roundtrip");
    const long calls = argc > 1 ? std::atol(argv[1]) : 200000;
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("ioctl-roundtrip-" + std::to_string(getpid()))).string();
    nt::MachineOptions options;
    options.folder = folder;
    options.clock = nt::ClockMode::Real;
    options.loadDrivers = false;
    if (!NT_SUCCESS(nt::Machine::Boot(options))) {
        std::fprintf(stderr, "machine did not boot\n");
        return 1;
    }
    PDRIVER_OBJECT driver;
    NTSTATUS status = IoCreateDriver(u"BenchEcho", DriverEntry, &driver);
    HANDLE h = NT_SUCCESS(status) ? CreateFileA("\\\\.\\BenchEcho", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, 0, nullptr)
                                  : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "no bench device (%s, error %u)\n", NtStatusName(status), GetLastError());
        nt::Machine::Shutdown();
        return 1;
    }

    alignas(16) unsigned char in[kRecord], out[kRecord], system[kRecord];
    for (DWORD i = 0; i < kRecord; ++i) in[i] = static_cast<unsigned char>(i);

    // Warm up, and check the record really comes back.
    DWORD returned = 0;
    for (int i = 0; i < 1000; ++i) DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kRecord, out, kRecord, &returned, nullptr);
    if (returned != kRecord || std::memcmp(in, out, kRecord) != 0) {
        std::fprintf(stderr, "echo came back wrong (%u bytes)\n", returned);
        return 1;
    }

    const double ioctl = NanosecondsPerCall(calls, [&](long i) {
        in[0] = static_cast<unsigned char>(i);
        DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kRecord, out, kRecord, &returned, nullptr);
    });
    const double copy = NanosecondsPerCall(calls * 10, [&](long i) {
        in[0] = static_cast<unsigned char>(i);
        std::memcpy(system, in, kRecord);
        asm volatile("" : : "r"(system) : "memory");
        std::memcpy(out, system, kRecord);
        asm volatile("" : : "r"(out) : "memory");
    });

    std::printf("DeviceIoControl, %u-byte METHOD_BUFFERED round trip: %.0f ns per call (%ld calls)\n", kRecord, ioctl,
                calls);
    std::printf("baseline, memcpy of %u bytes x2:                    %.1f ns\n", kRecord, copy);
    std::printf("ratio:                                               %.0fx\n", ioctl / copy);

    CloseHandle(h);
    nt::Machine::Shutdown();
    std::filesystem::remove_all(folder);
    return 0;
}

// ZARIOKD stand-in: one device \Device\ZarIo<n> with the link \??\ZARIO<n>
// per Solvane board, numbered as the board driver numbers them (the boards
// in PCI scan order). It answers create and close, code 0x22211C with a
// 12-byte block in and out, and refuses every other code.
//
// What it assumes: the option sits on every board of the machine; a
// bridge with foreign subsystem ids carries no option.

#include "outside/zariokd.h"

#include "platform/nt/machine.h"

namespace {

constexpr USHORT kBridgeVendor = 0x1131;
constexpr USHORT kBridgeDevice = 0x7146;
constexpr USHORT kBoardSubVendor = 0x5A52;
constexpr ULONG kMaxBuses = 256;

struct ZARIO_EXTENSION {
    ULONG Board;
};

void MakeName(PWCHAR buffer, const char16_t* prefix, ULONG board, PUNICODE_STRING name)
{
    ULONG i = 0;
    for (; prefix[i] != 0; ++i) buffer[i] = prefix[i];
    buffer[i++] = WCHAR(u'0' + board);
    buffer[i] = 0;
    RtlInitUnicodeString(name, buffer);
}

bool IsBoard(const PCI_COMMON_CONFIG& config)
{
    return config.VendorID == kBridgeVendor && config.DeviceID == kBridgeDevice &&
           config.SubVendorID == kBoardSubVendor && (config.SubSystemID == 0x0202 || config.SubSystemID == 0x0203);
}

ULONG CountBoards()
{
    ULONG boards = 0;
    for (ULONG bus = 0; bus < kMaxBuses; ++bus) {
        for (ULONG device = 0; device < 32; ++device) {
            for (ULONG function = 0; function < 8; ++function) {
                PCI_COMMON_CONFIG config;
                ULONG slot = (device & 0x1F) | (function << 5);
                ULONG got = HalGetBusData(PCIConfiguration, bus, slot, &config, sizeof(config));
                if (got == 0) return boards;  // no such bus: the scan is over
                if (config.VendorID == 0xFFFF) break;
                if (got >= sizeof(config) && IsBoard(config) && boards < ZARIO_MAX_BOARDS) ++boards;
            }
        }
    }
    return boards;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ZarIoCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS ZarIoDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_ZARIO_SET_24FPS)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ZARIO_24FPS_REPLY) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ZARIO_24FPS_REPLY))
        return Complete(irp, STATUS_INVALID_BUFFER_SIZE, 0);
    auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    ZARIO_24FPS_REPLY reply;
    reply.Revision = ZARIO_REVISION;
    reply.Mode = buffer[0];
    reply.Board = static_cast<ZARIO_EXTENSION*>(device->DeviceExtension)->Board;
    RtlCopyMemory(buffer, &reply, sizeof(reply));
    return Complete(irp, STATUS_SUCCESS, sizeof(reply));
}

void ZarIoUnload(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        WCHAR buffer[32];
        UNICODE_STRING link;
        MakeName(buffer, u"\\??\\ZARIO", static_cast<ZARIO_EXTENSION*>(device->DeviceExtension)->Board, &link);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        device = next;
    }
}

NTSTATUS ZarIoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ULONG boards = CountBoards();
    if (boards == 0) return STATUS_NO_SUCH_DEVICE;
    driver->MajorFunction[IRP_MJ_CREATE] = ZarIoCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = ZarIoCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZarIoDeviceControl;
    driver->DriverUnload = ZarIoUnload;

    for (ULONG board = 0; board < boards; ++board) {
        WCHAR deviceBuffer[32], linkBuffer[32];
        UNICODE_STRING deviceName, linkName;
        MakeName(deviceBuffer, u"\\Device\\ZarIo", board, &deviceName);
        MakeName(linkBuffer, u"\\??\\ZARIO", board, &linkName);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver, sizeof(ZARIO_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                         FALSE, &device);
        if (NT_SUCCESS(status)) {
            static_cast<ZARIO_EXTENSION*>(device->DeviceExtension)->Board = board;
            device->Flags |= DO_BUFFERED_IO;
            status = IoCreateSymbolicLink(&linkName, &deviceName);
            if (!NT_SUCCESS(status)) IoDeleteDevice(device);
        }
        if (!NT_SUCCESS(status)) {
            ZarIoUnload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarIoKdInstall(ULONG start) { return nt::WriteDriverServiceKey(u"ZARIOKD", start); }

NT_REGISTER_DRIVER_IMAGE("ZARIOKD.sys", ZarIoDriverEntry);

// ZARWAV stand-in. The board device is found by name at the stand-in's
// start (the board driver loads first); each wave device keeps it and its
// device word, and forwards the very request it got, so the board device
// sees the caller's file object (its owner cookie), can keep the request
// pending and honours its cancel.
//
// What it assumes: one board's wave devices; a request's device word is
// the whole of what the wave service adds to it.

#include "outside/zarwav.h"

#include "platform/nt/machine.h"

namespace {

constexpr ULONG kWaveOut = 2, kWaveIn = 1;

struct ZARWAV_EXTENSION {
    PDEVICE_OBJECT Board;
    PFILE_OBJECT BoardFile;
    ULONG Word;
    const char16_t* Link;
};

struct ZARWAV_DEVICE_NAME {
    const char16_t* Device;
    const char16_t* Link;
    ULONG Word;
};
constexpr ZARWAV_DEVICE_NAME kDevices[] = {
    {u"\\Device\\ZarWaveMixer0", u"\\??\\ZarWaveMixer0", kWaveOut << 8},
    {u"\\Device\\ZarWaveOut0", u"\\??\\ZarWaveOut0", (kWaveOut << 8) | 0},
    {u"\\Device\\ZarWaveOut1", u"\\??\\ZarWaveOut1", (kWaveOut << 8) | 1},
    {u"\\Device\\ZarWaveOut2", u"\\??\\ZarWaveOut2", (kWaveOut << 8) | 2},
    {u"\\Device\\ZarWaveOut3", u"\\??\\ZarWaveOut3", (kWaveOut << 8) | 3},
    {u"\\Device\\ZarWaveIn0", u"\\??\\ZarWaveIn0", (kWaveIn << 8) | 0},
};

ZARWAV_EXTENSION* Ext(PDEVICE_OBJECT device) { return static_cast<ZARWAV_EXTENSION*>(device->DeviceExtension); }

NTSTATUS ZarWavCreate(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The request goes on to the board device with the device word where the
// board looks for it.
NTSTATUS ZarWavForward(PDEVICE_OBJECT device, PIRP irp)
{
    ZARWAV_EXTENSION* e = Ext(device);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        next->Parameters.DeviceIoControl.Type3InputBuffer = reinterpret_cast<PVOID>(ULONG_PTR(e->Word));
    else
        next->Parameters.Read.ByteOffset.HighPart = LONG(e->Word);
    return IoCallDriver(e->Board, irp);
}

void ZarWavUnload(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(Ext(device)->Link));
        IoDeleteSymbolicLink(&link);
        if (Ext(device)->BoardFile != nullptr) ObDereferenceObject(Ext(device)->BoardFile);
        IoDeleteDevice(device);
        device = next;
    }
}

NTSTATUS ZarWavDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = ZarWavCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = ZarWavForward;
    driver->MajorFunction[IRP_MJ_READ] = ZarWavForward;
    driver->MajorFunction[IRP_MJ_WRITE] = ZarWavForward;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZarWavForward;
    driver->DriverUnload = ZarWavUnload;
    for (const ZARWAV_DEVICE_NAME& n : kDevices) {
        UNICODE_STRING boardName, deviceName, linkName;
        RtlInitUnicodeString(&boardName, reinterpret_cast<PCWSTR>(u"\\Device\\Zar0"));
        RtlInitUnicodeString(&deviceName, reinterpret_cast<PCWSTR>(n.Device));
        RtlInitUnicodeString(&linkName, reinterpret_cast<PCWSTR>(n.Link));
        PFILE_OBJECT boardFile = nullptr;
        PDEVICE_OBJECT board = nullptr;
        NTSTATUS status = IoGetDeviceObjectPointer(&boardName, FILE_ALL_ACCESS, &boardFile, &board);
        PDEVICE_OBJECT device = nullptr;
        if (NT_SUCCESS(status))
            status = IoCreateDevice(driver, sizeof(ZARWAV_EXTENSION), &deviceName, FILE_DEVICE_SOUND, 0, FALSE, &device);
        if (NT_SUCCESS(status)) {
            *Ext(device) = {board, boardFile, n.Word, n.Link};
            device->Flags |= DO_DIRECT_IO;
            device->StackSize = CCHAR(board->StackSize + 1);
            status = IoCreateSymbolicLink(&linkName, &deviceName);
            if (!NT_SUCCESS(status)) {
                ObDereferenceObject(boardFile);
                IoDeleteDevice(device);
            }
        } else if (boardFile != nullptr) {
            ObDereferenceObject(boardFile);
        }
        if (!NT_SUCCESS(status)) {
            ZarWavUnload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarWavInstall(ULONG start) { return nt::WriteDriverServiceKey(u"ZARWAV", start); }

NT_REGISTER_DRIVER_IMAGE("ZARWAV.sys", ZarWavDriverEntry);

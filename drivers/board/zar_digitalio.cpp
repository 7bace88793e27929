// The board driver's side of the outside digital-I/O option driver: one
// device-control request to \Device\ZarIo<n>, waited for. The option is
// optional hardware; its absence is an answer (STATUS_UNSUCCESSFUL) that
// callers fall back on, never an error of their own.

#include "zar_digitalio.h"
#include "zar_extension.h"
#include "zar_init.h"

NTSTATUS ZarSendDigitalIoIoctl(PZAR_DEVICE_EXTENSION ext, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength)
{
    WCHAR buffer[32];
    UNICODE_STRING name;
    ZarMakeBoardName(buffer, u"\\Device\\ZarIo", ext->BoardNumber, &name);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device))) return STATUS_UNSUCCESSFUL;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &done,
                                             &iosb);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (irp != nullptr) {
        status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
    }
    ObDereferenceObject(file);
    return status;
}

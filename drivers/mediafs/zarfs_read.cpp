// Reads and writes on the media drive: a media file with media data reads
// as its clip-file view, and as frame files that the service renders inside
// it where a type shows it as a directory; a file without media data has no contents
// to read; a RAM file reads and writes its contents in memory.

#include "zarfs_driver.h"

namespace {

constexpr LONGLONG kWriteToEndOfFile = -1;  // FILE_WRITE_TO_END_OF_FILE

// A RAM file's transfer under the drive's resource; moves the file pointer.
NTSTATUS RamFileTransfer(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack, bool write)
{
    ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    LONGLONG start = write ? stack->Parameters.Write.ByteOffset.QuadPart : stack->Parameters.Read.ByteOffset.QuadPart;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    // A RAM file that went with its deleted clip has nothing left to touch.
    NTSTATUS status = STATUS_DELETE_PENDING;
    ULONGLONG offset = 0;
    if (fcb->RamFile != nullptr) {
        if (write && start == kWriteToEndOfFile)
            offset = fcb->RamFile->EndOfFile;
        else
            offset = ULONGLONG(start < 0 ? stack->FileObject->CurrentByteOffset.QuadPart : start);
        ULONGLONG size = fcb->RamFile->EndOfFile;
        status = write ? ZarFsVFWriteFile(fcb->RamFile, buffer, offset, &length, vcb->Card->Prefs.RAMFileMaxSize)
                       : ZarFsVFReadFile(fcb->RamFile, buffer, offset, &length);
        if (fcb->RamFile->EndOfFile != size) ZarFsNotifyChange(vcb, fcb, FILE_NOTIFY_CHANGE_SIZE, FILE_ACTION_MODIFIED);
    }
    ExReleaseResourceLite(&vcb->Resource);
    KeLeaveCriticalRegion();
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}

// The port file's command and reply; the file pointer moves as for a file.
NTSTATUS PortTransfer(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CCB* ccb, PIRP irp, PIO_STACK_LOCATION stack,
                      bool write)
{
    ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr || ccb->Port == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    LONGLONG start = write ? stack->Parameters.Write.ByteOffset.QuadPart : stack->Parameters.Read.ByteOffset.QuadPart;
    ULONGLONG offset = ULONGLONG(start < 0 ? stack->FileObject->CurrentByteOffset.QuadPart : start);
    NTSTATUS status = write ? ZarFsComPortWrite(vcb, fcb, ccb->Port, buffer, offset, &length)
                            : ZarFsComPortRead(vcb, ccb->Port, buffer, offset, &length);
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}

}  // namespace

NTSTATUS ZarFsRead(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    ZARFS_VCB* fileVcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    if (vcb == nullptr || ZarFsGetRequestType(stack->FileObject, &fileVcb, &fcb, &ccb) != ZarFsRequestFile)
        return ZarFsCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    ULONG length = stack->Parameters.Read.Length;
    if (length == 0) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) return RamFileTransfer(vcb, fcb, irp, stack, false);
    if (fcb->Flags & ZARFS_FCB_PORT) return PortTransfer(vcb, fcb, ccb, irp, stack, false);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    LONGLONG start = stack->Parameters.Read.ByteOffset.QuadPart;
    if (start < 0) start = stack->FileObject->CurrentByteOffset.QuadPart;  // the file pointer's position
    ULONGLONG offset = ULONGLONG(start);
    if (ZarFsIsFrameFile(fcb)) {
        ULONG done = 0;
        NTSTATUS status = ZarFsFrameFileRead(vcb, fcb, buffer, offset, length, &done);
        if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
        stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + done);
        return ZarFsCompleteRequest(irp, STATUS_SUCCESS, done);
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    NTSTATUS status = STATUS_SUCCESS;
    if (fcb->FileEntry == nullptr || fcb->FileEntry->MediaKind != ZARFS_MEDIA_FRAMES)
        status = STATUS_ACCESS_DENIED;
    else
        status = ZarFsKIVInitializeFileObjectForRead(vcb, fcb);
    ULONGLONG size = NT_SUCCESS(status) ? ZarFsKIVGetTotalFileSize(fcb->FileEntry) : 0;
    if (NT_SUCCESS(status) && offset >= size) status = STATUS_END_OF_FILE;
    if (NT_SUCCESS(status)) {
        if (size - offset < length) length = ULONG(size - offset);
        status = ZarFsKIVFileRead(vcb, fcb, buffer, offset, length);
    }
    ExReleaseResourceLite(&vcb->Resource);
    KeLeaveCriticalRegion();
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}

NTSTATUS ZarFsWrite(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* fileVcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    if (ZarFsDeviceVcb(device) == nullptr ||
        ZarFsGetRequestType(stack->FileObject, &fileVcb, &fcb, &ccb) != ZarFsRequestFile)
        return ZarFsCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
    if (stack->Parameters.Write.Length == 0) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) return RamFileTransfer(ZarFsDeviceVcb(device), fcb, irp, stack, true);
    if (fcb->Flags & ZARFS_FCB_PORT) return PortTransfer(ZarFsDeviceVcb(device), fcb, ccb, irp, stack, true);
    if (ZarFsIsFrameFile(fcb)) return ZarFsFrameFileWriteRequest(ZarFsDeviceVcb(device), fcb, irp, stack);
    // A clip file written into the native folder is stored as a clip.
    if (fcb->Kind == ZarFsNodeFile && fcb->TypeIndex == 0 && fcb->FileEntry != nullptr)
        return ZarFsKIVWrite(ZarFsDeviceVcb(device), fcb, irp, stack);
    return ZarFsCompleteRequest(irp, STATUS_ACCESS_DENIED, 0);
}

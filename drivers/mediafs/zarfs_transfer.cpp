// The transfers that reads and writes share: a RAM file's contents in
// memory and the port file's command and reply. Each completes its request
// and moves the file pointer past what it moved.

#include "zarfs_driver.h"

namespace {

constexpr LONGLONG kWriteToEndOfFile = -1;  // FILE_WRITE_TO_END_OF_FILE

}  // namespace

NTSTATUS ZarFsTransferRamFile(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack, bool write)
{
    ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    LONGLONG start = write ? stack->Parameters.Write.ByteOffset.QuadPart : stack->Parameters.Read.ByteOffset.QuadPart;
    ULONGLONG offset = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
        // A RAM file that went with its deleted clip has nothing left to touch.
        if (fcb->RamFile == nullptr) return STATUS_DELETE_PENDING;
        if (write && start == kWriteToEndOfFile)
            offset = fcb->RamFile->EndOfFile;
        else
            offset = ULONGLONG(start < 0 ? stack->FileObject->CurrentByteOffset.QuadPart : start);
        ULONGLONG size = fcb->RamFile->EndOfFile;
        NTSTATUS s = write ? ZarFsVFWriteFile(fcb->RamFile, buffer, offset, &length, vcb->Card->Prefs.RAMFileMaxSize)
                           : ZarFsVFReadFile(fcb->RamFile, buffer, offset, &length);
        if (fcb->RamFile->EndOfFile != size) ZarFsNotifyChange(vcb, fcb, FILE_NOTIFY_CHANGE_SIZE, FILE_ACTION_MODIFIED);
        return s;
    });
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}

NTSTATUS ZarFsTransferPort(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CCB* ccb, PIRP irp, PIO_STACK_LOCATION stack,
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

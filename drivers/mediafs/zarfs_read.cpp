// Reads on the media drive: a media file with media data reads as its
// clip-file view, and as frame files that the service renders inside it
// where a type shows it as a directory; a file without media data has no
// contents to read; RAM files and the port file read from memory.

#include "zarfs_driver.h"

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
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) return ZarFsTransferRamFile(vcb, fcb, irp, stack, false);
    if (fcb->Flags & ZARFS_FCB_PORT) return ZarFsTransferPort(vcb, fcb, ccb, irp, stack, false);
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
    auto holdsMedia = [&] { return fcb->FileEntry != nullptr && fcb->FileEntry->MediaKind == ZARFS_MEDIA_FRAMES; };
    NTSTATUS status;
    for (;;) {
        // Reads share the drive: the clip view, once built, is only read,
        // and a rewrite of the entry (exclusive) waits for them.
        bool unbuilt = false;
        status = ZarFsUnderResource(&vcb->Resource, false, [&]() -> NTSTATUS {
            if (!holdsMedia()) return STATUS_ACCESS_DENIED;
            if (fcb->ClipView == nullptr) {
                unbuilt = true;
                return STATUS_SUCCESS;
            }
            ULONGLONG size = ZarFsKIVGetTotalFileSize(fcb->FileEntry);
            if (offset >= size) return STATUS_END_OF_FILE;
            if (size - offset < length) length = ULONG(size - offset);
            return ZarFsKIVFileRead(vcb, fcb, buffer, offset, length);
        });
        if (!unbuilt) break;
        // The first read builds the view, alone; a rewrite may drop it
        // again before the read gets the drive back, so the read looks again.
        status = ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
            return holdsMedia() ? ZarFsKIVInitializeFileObjectForRead(vcb, fcb) : STATUS_ACCESS_DENIED;
        });
        if (!NT_SUCCESS(status)) break;
    }
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = LONGLONG(offset + length);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, length);
}

// A media file seen through a foreign file type of presentation 2 is a
// directory with one frame file a frame, named by frame number, whose
// contents the file-system service renders. Here are the names, the sizes
// the type gives them and the read path over the service channel.

#include "zarfs_driver.h"

namespace {

bool HasNativeExtension(PCWSTR name, ULONG chars)
{
    if (chars < 4 || name[chars - 4] != u'.') return false;
    const ZARFS_FILE_TYPE* native = ZarFsGlobFileType(0);
    for (ULONG i = 0; i < 3; ++i)
        if (RtlUpcaseUnicodeChar(name[chars - 3 + i]) != RtlUpcaseUnicodeChar(native->Extension[i])) return false;
    return true;
}

ULONG DigitCount(ULONGLONG value)
{
    ULONG digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

ULONG ZarFsConstructFileFrameName(PCWSTR clip, ULONG clipChars, const ZARFS_FILE_TYPE* type, ULONG frames, ULONG frame,
                                  ULONG baseFrame, ULONG minDigits, WCHAR (&name)[ZARFS_NAME_CHARS])
{
    // Wider numbers than 10 digits cannot come from 32-bit frame numbers;
    // a larger setting would only pad the names with zeros.
    if (minDigits > ZARFS_MAX_FRAME_DIGITS) minDigits = ZARFS_MAX_FRAME_DIGITS;
    const ULONGLONG number = ULONGLONG(frame) + baseFrame;
    ULONG digits;
    if (minDigits != 0) {
        digits = DigitCount(number);
        if (digits < minDigits) digits = minDigits;
    } else {
        // Every frame of the file gets a name of one width: the last one's.
        const ULONGLONG last = ULONGLONG(baseFrame) + (frames != 0 ? frames - 1 : 0);
        digits = DigitCount(last);
    }
    if (HasNativeExtension(clip, clipChars)) clipChars -= 4;

    WCHAR text[ZARFS_NAME_CHARS + 32];
    ULONG chars = 0;
    if (clipChars > ZARFS_NAME_CHARS) clipChars = ZARFS_NAME_CHARS;
    RtlCopyMemory(text, clip, clipChars * sizeof(WCHAR));
    chars = clipChars;
    if (type->DotBeforeNumber == 1) text[chars++] = u'.';
    ULONGLONG rest = number;
    for (ULONG i = 0; i < digits; ++i) {
        text[chars + digits - 1 - i] = WCHAR(u'0' + rest % 10);
        rest /= 10;
    }
    chars += digits;
    text[chars++] = u'.';
    for (ULONG i = 0; i < 3; ++i) text[chars++] = type->Extension[i];
    // One name limit everywhere: a longer name could be listed but never opened.
    if (chars > ZARFS_MAX_COMPONENT) chars = ZARFS_MAX_COMPONENT;
    RtlCopyMemory(name, text, chars * sizeof(WCHAR));
    if (chars < ZARFS_NAME_CHARS) name[chars] = 0;
    return chars;
}

ULONG ZarFsFrameFileCount(const ZAR_FILE_INFO* entry)
{
    if (entry->MediaKind != ZARFS_MEDIA_FRAMES) return 0;
    // Two 4-byte index entries a frame, 512 bytes a body-table block.
    const ULONGLONG indexed = ULONGLONG(entry->VideoBodyTableBlocks) * (512 / 8);
    return entry->FrameCount <= indexed ? entry->FrameCount : ULONG(indexed);
}

ULONG ZarFsFrameFileSize(const ZAR_FILE_INFO* entry, const ZARFS_FILE_TYPE* type)
{
    const bool videoSdti = (entry->Flags & ZARFS_FILE_VIDEO_SDTI) != 0;
    if (!(entry->Flags & ZARFS_FILE_HAS_ALPHA)) {
        const ULONG t = videoSdti ? entry->VideoSdtiType : 0;
        if (t == 0) return type->FrameSize;
        if (t <= 11) return type->FrameSizeSdti;
        if (t <= 13) return type->FrameSizeSdtiHigh;
        return 0;
    }
    const bool alphaSdti = (entry->Flags & ZARFS_FILE_ALPHA_SDTI) != 0;
    if (!videoSdti || !alphaSdti || entry->VideoSdtiType != entry->AlphaSdtiType) return type->FrameSizeAlpha;
    const ULONG t = entry->VideoSdtiType;
    if (t == 0) return type->FrameSizeAlpha;
    if (t <= 11) return type->FrameSizeSdtiAlpha;
    if (t <= 13) return type->FrameSizeSdtiHighAlpha;
    return 0;
}

namespace {

// What a transfer of a frame file needs from the drive's tree, taken under
// its resource: the type value, the frame file's size and the service
// context, opening the frame file at the service on the first access.
// Reads are cut to the frame's size; writes are not (the service keeps the
// frame's contents and decides what a write makes of them).
NTSTATUS PrepareTransfer(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ULONGLONG offset, bool write, PULONG length,
                         PULONG typeValue, PULONG context)
{
    ZARFS_CARD_INSTANCE* card = vcb->Card;
    ZARFS_SERVICE_CHANNEL* channel = &card->Service;
    // The service is talked to without the drive's resource: it may take
    // long, and a service that looks at the drive itself must not wait on us.
    ULONGLONG size = 0;
    UNICODE_STRING name{};
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
        const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
        *typeValue = type != nullptr ? type->Value : 0;
        *context = fcb->ServiceContext;
        // The media file that holds the frame keeps the entry its size comes from.
        const ZAR_FILE_INFO* entry = fcb->Parent != nullptr ? fcb->Parent->FileEntry : nullptr;
        if (type == nullptr || entry == nullptr || !ZarFsIsFrameFile(fcb)) return STATUS_ACCESS_DENIED;
        size = ZarFsFrameFileSize(entry, type);
        if (!write && offset >= size) return STATUS_END_OF_FILE;
        if (*context != 0) return STATUS_SUCCESS;
        NTSTATUS s = ZarFsFCBSetupFullName(fcb);
        if (!NT_SUCCESS(s)) return s;
        name.Length = name.MaximumLength = fcb->FullName.Length;
        name.Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, name.Length + 2, ZARFS_POOL_TAG));
        if (name.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(name.Buffer, fcb->FullName.Buffer, name.Length);
        return STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(status)) {
        if (name.Buffer != nullptr) ExFreePoolWithTag(name.Buffer, ZARFS_POOL_TAG);
        return status;
    }
    if (!write && size - offset < *length) *length = ULONG(size - offset);
    if (*context != 0) return STATUS_SUCCESS;

    ULONG opened = 0;
    status = ZarFsSReqOpen(channel, card->DriveLetter, &name, &opened);
    ExFreePoolWithTag(name.Buffer, ZARFS_POOL_TAG);
    if (!NT_SUCCESS(status)) return status;
    if (opened == 0) return STATUS_UNSUCCESSFUL;
    // Two first accesses may both have opened: the first context kept wins.
    ULONG extra = 0;
    ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
        if (fcb->ServiceContext == 0) {
            fcb->ServiceContext = opened;
            *context = opened;
        } else {
            extra = opened;
            *context = fcb->ServiceContext;
        }
        return STATUS_SUCCESS;
    });
    if (extra != 0) ZarFsSReqClose(channel, extra);
    return STATUS_SUCCESS;
}

// A transfer the service failed is remembered with the frame file.
void RememberFailure(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    ZarFsUnderResource(&vcb->Resource, true, [&]() -> NTSTATUS {
        fcb->Flags |= ZARFS_FCB_SERVICE_FAILED;
        return STATUS_SUCCESS;
    });
}

}  // namespace

NTSTATUS ZarFsFrameFileRead(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PUCHAR buffer, ULONGLONG offset, ULONG length,
                            PULONG done)
{
    *done = 0;
    ULONG typeValue = 0, context = 0;
    NTSTATUS status = PrepareTransfer(vcb, fcb, offset, false, &length, &typeValue, &context);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsSReqRead(&vcb->Card->Service, context, typeValue, offset, length, fcb->FrameIndex, buffer, done);
    if (NT_SUCCESS(status)) return status;
    RememberFailure(vcb, fcb);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ZarFsFrameFileWrite(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const UCHAR* buffer, ULONGLONG offset, ULONG length,
                             PULONG done)
{
    *done = 0;
    ULONG typeValue = 0, context = 0;
    NTSTATUS status = PrepareTransfer(vcb, fcb, offset, true, &length, &typeValue, &context);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsSReqWrite(&vcb->Card->Service, context, typeValue, offset, length, fcb->FrameIndex, buffer, done);
    if (NT_SUCCESS(status)) return status;
    RememberFailure(vcb, fcb);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ZarFsFrameFileImport(ZARFS_VCB* vcb, PCUNICODE_STRING frameName, ULONG typeValue, ULONG frame,
                              const UCHAR* data, ULONG length)
{
    ZARFS_CARD_INSTANCE* card = vcb->Card;
    ZARFS_SERVICE_CHANNEL* channel = &card->Service;
    ULONG context = 0;
    NTSTATUS status = ZarFsSReqOpen(channel, card->DriveLetter, frameName, &context);
    if (NT_SUCCESS(status) && context == 0) status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
    ULONG done = 0;
    status = ZarFsSReqWrite(channel, context, typeValue, 0, length, frame, data, &done);
    // A frame the service took only in part is no frame: the import failed.
    if (NT_SUCCESS(status) && done != length) status = STATUS_UNSUCCESSFUL;
    // The service's file is ended whatever became of the write.
    NTSTATUS cleaned = ZarFsSReqClean(channel, context, typeValue, frame);
    NTSTATUS closed = ZarFsSReqClose(channel, context);
    if (NT_SUCCESS(status)) status = cleaned;
    if (NT_SUCCESS(status)) status = closed;
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ZarFsFrameFileWriteRequest(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack)
{
    auto* buffer = static_cast<const UCHAR*>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    // The drive keeps no size for a frame file: "to the end" and "at the
    // file pointer" both write at the file pointer.
    LONGLONG start = stack->Parameters.Write.ByteOffset.QuadPart;
    if (start < 0) start = stack->FileObject->CurrentByteOffset.QuadPart;
    ULONG done = 0;
    NTSTATUS status = ZarFsFrameFileWrite(vcb, fcb, buffer, ULONGLONG(start), stack->Parameters.Write.Length, &done);
    if (!NT_SUCCESS(status)) return ZarFsCompleteRequest(irp, status, 0);
    stack->FileObject->CurrentByteOffset.QuadPart = start + LONGLONG(done);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, done);
}

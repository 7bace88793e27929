// Control codes of the control device that concern the driver as a whole
// and the media drive: preferences and disk-access preferences, body-table
// flush suspension, the volume lock, a media file's entry, and the space
// of the volume a handle lies on with the frames that still fit.

#include "zarfs_driver.h"

namespace {

ULONG InLength(PIO_STACK_LOCATION s) { return s->Parameters.DeviceIoControl.InputBufferLength; }
ULONG OutLength(PIO_STACK_LOCATION s) { return s->Parameters.DeviceIoControl.OutputBufferLength; }
PUCHAR SystemBuffer(PIRP irp) { return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer); }

// How many fields of 'video' (+ 'alpha') data blocks the volume still
// takes over all its drives, by trial allocations that are all given back.
// Counted in 64 bits: the callers' block counts are any u32, and a large
// volume holds more fields than a u32 counts.
ULONGLONG FieldsThatFit(ZARFS_HW_VOLUME* volume, ULONG video, ULONG alpha, NTSTATUS* status)
{
    ZARFS_ALLOC_OBJECT* alloc = &volume->Alloc;
    ULONGLONG drives = volume->DriveCount == 0 ? 1 : volume->DriveCount;
    // Two blocks from the top stand for the body tables' room.
    ULONG test = 0;
    *status = ZarFsVolAllocAllocateUpperSpace(alloc, 2, &test);
    if (!NT_SUCCESS(*status)) return 0;
    ULONG first1, length1, first2, length2;
    ZarFsVolAllocGetTwoLargestSegmentsInfo(alloc, &first1, &length1, &first2, &length2);
    ULONGLONG larger = length2 >= length1 ? length2 : length1;
    ULONGLONG estimate = larger / video;
    if (alpha != 0) {
        ULONGLONG joint = larger / (ULONGLONG(video) + alpha);
        ULONGLONG lowerLength = first1 <= first2 ? length1 : length2;
        ULONGLONG otherLength = first1 <= first2 ? length2 : length1;
        ULONGLONG split = otherLength == 0 ? 0 : (lowerLength / video < otherLength / alpha ? lowerLength / video
                                                                                             : otherLength / alpha);
        estimate = joint > split ? joint : split;
    }
    ULONGLONG fits = 0;
    for (ULONGLONG n = estimate; n > 0 && fits == 0; --n) {
        // Runs are u32 blocks: a trial beyond them cannot be had.
        ULONGLONG videoBlocks = ULONGLONG(video) * n, alphaBlocks = ULONGLONG(alpha) * n;
        ULONGLONG tableBlocks = (drives * n + 127) / 128;
        if (videoBlocks > 0xFFFFFFFFu || alphaBlocks > 0xFFFFFFFFu || tableBlocks > 0xFFFFFFFFu) continue;
        ZARFS_DUAL_ALLOCATION v{}, a{};
        if (!NT_SUCCESS(ZarFsVolAllocAllocateDualSpace(alloc, ULONG(videoBlocks), ULONG(tableBlocks), &v))) continue;
        bool ok = alpha == 0 ||
                  NT_SUCCESS(ZarFsVolAllocAllocateDualSpace(alloc, ULONG(alphaBlocks), ULONG(tableBlocks), &a));
        if (alpha != 0 && ok) {
            ZarFsVolAllocReleaseSpace(alloc, a.LowerFirstBlock, a.LowerLength);
            ZarFsVolAllocReleaseSpace(alloc, a.UpperFirstBlock, a.UpperLength);
        }
        ZarFsVolAllocReleaseSpace(alloc, v.LowerFirstBlock, v.LowerLength);
        ZarFsVolAllocReleaseSpace(alloc, v.UpperFirstBlock, v.UpperLength);
        if (ok) fits = n;
    }
    ZarFsVolAllocReleaseSpace(alloc, test, 2);
    return fits * drives;
}

}  // namespace

NTSTATUS ZarFsIoctlResolveHandle(ZARFS_CARD_INSTANCE* card, PIRP irp, ULONG handle, PFILE_OBJECT* file,
                                 ZARFS_REQUEST_TYPE* type, ZARFS_FCB** fcb)
{
    *file = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(ULONG_PTR(handle)), 0, IoFileObjectType,
                                                irp->RequestorMode, reinterpret_cast<PVOID*>(file), nullptr);
    if (!NT_SUCCESS(status)) {
        *file = nullptr;
        return status;
    }
    ZARFS_VCB* vcb;
    ZARFS_CCB* ccb;
    *type = (*file)->DeviceObject == card->DiskDevice ? ZarFsGetRequestType(*file, &vcb, fcb, &ccb)
                                                      : ZarFsRequestUnknown;
    if (*type == ZarFsRequestUnknown || *type == ZarFsRequestVolume) {
        ObDereferenceObject(*file);
        *file = nullptr;  // the caller may hold on to it: never a reference it no longer has
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlGetPreferences(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (OutLength(stack) < sizeof(ZAR_FILE_SYSTEM_PREFS)) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(SystemBuffer(irp), &card->Prefs, sizeof card->Prefs);
    ioctl->Information = sizeof card->Prefs;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlSetPreferences(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (InLength(stack) < sizeof(ZAR_FILE_SYSTEM_PREFS)) return STATUS_BUFFER_TOO_SMALL;
    ZAR_FILE_SYSTEM_PREFS prefs;
    RtlCopyMemory(&prefs, SystemBuffer(irp), sizeof prefs);
    WCHAR letter = RtlUpcaseUnicodeChar(WCHAR(prefs.DriveLetter));
    if (letter < u'A' || letter > u'Z') return STATUS_INVALID_PARAMETER;
    if (prefs.MinFrameDigits > ZARFS_MAX_FRAME_DIGITS) prefs.MinFrameDigits = ZARFS_MAX_FRAME_DIGITS;
    // The service hears of the change first; if it refuses, nothing changes.
    NTSTATUS status = ZarFsSReqUpdatePrefs(&card->Service, &prefs);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsGlobChangeDriveLetter(card, letter);
    if (!NT_SUCCESS(status)) return status;
    prefs.DriveLetter = UCHAR(card->DriveLetter);
    card->Prefs = prefs;
    ZarFsGlobSetPreferences(card);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlGetScsiPrefs(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (OutLength(stack) < sizeof(ZAR_SCSI_PREFS)) return STATUS_BUFFER_TOO_SMALL;
    ZAR_SCSI_PREFS out{card->ScsiPrefs.RetryCount, card->ScsiPrefs.VerifyWrite};
    RtlCopyMemory(SystemBuffer(irp), &out, sizeof out);
    ioctl->Information = sizeof out;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlSetScsiPrefs(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (InLength(stack) < sizeof(ZAR_SCSI_PREFS)) return STATUS_BUFFER_TOO_SMALL;
    ZAR_SCSI_PREFS in;
    RtlCopyMemory(&in, SystemBuffer(irp), sizeof in);
    card->ScsiPrefs = {in.RetryCount, in.VerifyWrite};
    card->Hw.ScsiPrefs = card->ScsiPrefs;
    ZarFsGlobSetScsiPrefs(card);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlBodyTableFlushSuspend(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file)
{
    ZARFS_HANDLE_CONTEXT* context = ZarFsHCGetContext(file->FsContext2);
    if (context == nullptr) return STATUS_UNSUCCESSFUL;
    ZarFsHCBodyTableFlushSuspend(context);
    ZarFsBTRequestFlushSuspend(&card->BodyTables);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlBodyTableFlushResume(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file)
{
    ZARFS_HANDLE_CONTEXT* context = ZarFsHCGetContext(file->FsContext2);
    if (context == nullptr) return STATUS_UNSUCCESSFUL;
    ZarFsBTRequestFlushResume(&card->BodyTables, 1);
    ZarFsHCBodyTableFlushResume(context);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsIoctlLockFileSystem(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack)
{
    if (InLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG flush;
    RtlCopyMemory(&flush, SystemBuffer(irp), sizeof flush);
    return ZarFsUnderResource(&card->Resource, true, [&] {
        ZarFsBTFlushUnrefObjects(&card->BodyTables);
        NTSTATUS status = ZarFsUnderResource(&card->Vcb.Resource, true, [&] {
            return ZarFsVCBLockVolume(&card->Vcb, stack->FileObject);
        });
        if (NT_SUCCESS(status) && flush != 0) ZarFsHwFlushVolumeCache(&card->Hw);
        return status;
    });
}

NTSTATUS ZarFsIoctlUnlockFileSystem(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file)
{
    return ZarFsUnderResource(&card->Resource, true, [&] {
        return ZarFsUnderResource(&card->Vcb.Resource, true, [&] {
            NTSTATUS status = STATUS_SUCCESS;
            if ((card->Vcb.Flags & ZARFS_VCB_LOCKED) && card->Vcb.Locker == file) {
                if (card->Hw.Flushed) status = ZarFsHwRebuildVolumeCache(&card->Hw);
                ZarFsVCBUnlockVolume(&card->Vcb);
            }
            return status;
        });
    });
}

NTSTATUS ZarFsIoctlGetFileEntry(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (InLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    if (OutLength(stack) < sizeof(ZAR_FILE_INFO)) return STATUS_BUFFER_TOO_SMALL;
    ULONG handle;
    RtlCopyMemory(&handle, SystemBuffer(irp), sizeof handle);
    PFILE_OBJECT file;
    ZARFS_REQUEST_TYPE type;
    ZARFS_FCB* fcb;
    NTSTATUS status = ZarFsIoctlResolveHandle(card, irp, handle, &file, &type, &fcb);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsUnderResource(&card->Resource, false, [&]() -> NTSTATUS {
        if (type != ZarFsRequestFile || fcb->FileEntry == nullptr) return STATUS_UNSUCCESSFUL;
        // Shared with the rewrites and moves of the entry (see ZARFS_VCB).
        return ZarFsUnderResource(&card->Vcb.Resource, false, [&] {
            return (fcb->Flags & ZARFS_FCB_DELETED)
                       ? STATUS_DELETE_PENDING
                       : ZarFsHwReadFileEntry(&card->Hw, fcb->Volume, fcb->FileBlock,
                                              reinterpret_cast<ZAR_FILE_INFO*>(SystemBuffer(irp)));
        });
    });
    ObDereferenceObject(file);
    if (NT_SUCCESS(status)) ioctl->Information = sizeof(ZAR_FILE_INFO);
    return status;
}

NTSTATUS ZarFsIoctlGetVolumeSpaceInfo(ZARFS_IOCTL_REQUEST* ioctl)
{
    ZARFS_CARD_INSTANCE* card = ioctl->Card;
    PIRP irp = ioctl->Irp;
    PIO_STACK_LOCATION stack = ioctl->Stack;
    if (InLength(stack) < sizeof(ZAR_VOLUME_SPACE_INFO) || OutLength(stack) < sizeof(ZAR_VOLUME_SPACE_INFO))
        return STATUS_BUFFER_TOO_SMALL;
    ZAR_VOLUME_SPACE_INFO space;
    RtlCopyMemory(&space, SystemBuffer(irp), sizeof space);
    PFILE_OBJECT file;
    ZARFS_REQUEST_TYPE type;
    ZARFS_FCB* fcb;
    NTSTATUS status = ZarFsIoctlResolveHandle(card, irp, space.Handle, &file, &type, &fcb);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsUnderResource(&card->Resource, false, [&]() -> NTSTATUS {
        ZARFS_HW_VOLUME* volume = fcb->Volume;
        if (volume == nullptr || !(volume->SetupFlags & ZARFS_VOL_SETUP_ALLOC)) return STATUS_UNSUCCESSFUL;
        ULONGLONG total, free;
        ZarFsHwGetVolumeSpaceInfo(volume, &total, &free);
        space.Frames = 0;
        space.FreeBlocks[0] = ULONG(free);
        space.FreeBlocks[1] = ULONG(free >> 32);
        space.TotalBlocks[0] = ULONG(total);
        space.TotalBlocks[1] = ULONG(total >> 32);
        space.AllocatorBlocks = ULONG(ZarFsVolAllocGetTotalBlocks(&volume->Alloc) - 1);
        if (space.VideoBlocksPerField == 0) return STATUS_SUCCESS;
        NTSTATUS estimate = STATUS_SUCCESS;
        ULONGLONG frames = FieldsThatFit(volume, space.VideoBlocksPerField, space.AlphaBlocksPerField, &estimate) / 2;
        space.Frames = frames > 0xFFFFFFFFu ? 0xFFFFFFFFu : ULONG(frames);  // two fields a frame
        return estimate;
    });
    ObDereferenceObject(file);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(SystemBuffer(irp), &space, sizeof space);
    ioctl->Information = sizeof space;
    return STATUS_SUCCESS;
}

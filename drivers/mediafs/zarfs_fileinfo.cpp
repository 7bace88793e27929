// The media drive's handles after create: cleanup and close, query and set
// information (times, sizes, names, deletion, renaming and moving), volume
// information and label, file-system control and flush.

#include "zarfs_driver.h"

namespace {

constexpr ULONGLONG kMinimumFreeUnits = 409600;
constexpr UCHAR kMinorMountVolume = 0x01;      // IRP_MN_MOUNT_VOLUME
constexpr UCHAR kMinorUserFsRequest = 0x00;    // IRP_MN_USER_FS_REQUEST
constexpr ULONG kFileInternalInformation = 6, kFileEaInformation = 7, kFileAlternateNameInformation = 21,
                kFileStreamInformation = 22, kFileCompressionInformation = 28;
constexpr ULONG kFileFsLabelInformation = 2;

struct Handle {
    ZARFS_VCB* vcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    ZARFS_REQUEST_TYPE type;
};

Handle HandleOf(PIO_STACK_LOCATION stack)
{
    Handle h{};
    h.type = ZarFsGetRequestType(stack->FileObject, &h.vcb, &h.fcb, &h.ccb);
    return h;
}

// Size of a node as every query reports it and the read path bounds reads by.
ULONGLONG NodeSize(const ZARFS_FCB* fcb)
{
    if ((fcb->Flags & ZARFS_FCB_VIRTUAL) && fcb->RamFile != nullptr) return fcb->RamFile->EndOfFile;
    // The port file has room for a command of 2048 bytes; reads give the
    // current reply, which is shorter.
    if (fcb->Flags & ZARFS_FCB_PORT) return ZARFS_PORT_COMMAND_BYTES;
    if (ZarFsIsFrameFile(fcb)) {
        // Sized after the type the clip was opened through, from the clip's entry.
        const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
        const ZAR_FILE_INFO* entry = fcb->Parent->FileEntry;
        return type != nullptr && entry != nullptr ? ZarFsFrameFileSize(entry, type) : 0;
    }
    if (fcb->Kind != ZarFsNodeFile || fcb->FileEntry == nullptr) return 0;
    return ZarFsFileSize(fcb->FileEntry);
}

void FillBasic(const ZARFS_FCB* fcb, FILE_BASIC_INFORMATION* b)
{
    RtlZeroMemory(b, sizeof *b);
    bool directory = (fcb->Flags & ZARFS_FCB_DIRECTORY) != 0;
    if (directory) b->CreationTime.QuadPart = LONGLONG(fcb->Time);
    b->LastWriteTime.QuadPart = LONGLONG(fcb->Time);
    b->FileAttributes = directory ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL;
}

void FillStandard(const ZARFS_FCB* fcb, FILE_STANDARD_INFORMATION* s)
{
    RtlZeroMemory(s, sizeof *s);
    s->AllocationSize.QuadPart = s->EndOfFile.QuadPart = LONGLONG(NodeSize(fcb));
    s->NumberOfLinks = 1;
    s->DeletePending = (fcb->Flags & ZARFS_FCB_DELETE_PENDING) ? TRUE : FALSE;
    s->Directory = (fcb->Flags & ZARFS_FCB_DIRECTORY) ? TRUE : FALSE;
}

// FileNameInformation into 'length' bytes: a short buffer gets what fits
// and STATUS_BUFFER_OVERFLOW, with the full length in the record.
NTSTATUS FillName(ZARFS_FCB* fcb, FILE_NAME_INFORMATION* n, ULONG length, ULONG* used)
{
    NTSTATUS status = ZarFsFCBSetupFullName(fcb);
    if (!NT_SUCCESS(status)) return status;
    ULONG room = length - offsetof(FILE_NAME_INFORMATION, FileName);
    ULONG bytes = fcb->FullName.Length;
    n->FileNameLength = bytes;
    ULONG copied = bytes <= room ? bytes : room & ~1u;
    RtlCopyMemory(n->FileName, fcb->FullName.Buffer, copied);
    *used = offsetof(FILE_NAME_INFORMATION, FileName) + copied;
    return copied == bytes ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS QueryInformation(const Handle& h, PFILE_OBJECT file, ULONG infoClass, PUCHAR buffer, ULONG length,
                          ULONG* used)
{
    ZARFS_FCB* fcb = h.fcb;
    auto need = [&](ULONG n) { return length >= n; };
    switch (infoClass) {
    case FileBasicInformation:
        if (!need(40)) return STATUS_BUFFER_TOO_SMALL;
        FillBasic(fcb, reinterpret_cast<FILE_BASIC_INFORMATION*>(buffer));
        *used = 40;
        return STATUS_SUCCESS;
    case FileStandardInformation:
        if (!need(24)) return STATUS_BUFFER_TOO_SMALL;
        FillStandard(fcb, reinterpret_cast<FILE_STANDARD_INFORMATION*>(buffer));
        *used = 24;
        return STATUS_SUCCESS;
    case kFileEaInformation:
        if (!need(4)) return STATUS_BUFFER_TOO_SMALL;
        RtlZeroMemory(buffer, 4);
        *used = 4;
        return STATUS_SUCCESS;
    case FileNameInformation:
        if (!need(8)) return STATUS_BUFFER_TOO_SMALL;
        return FillName(fcb, reinterpret_cast<FILE_NAME_INFORMATION*>(buffer), length, used);
    case FilePositionInformation:
        if (!need(8)) return STATUS_BUFFER_TOO_SMALL;
        reinterpret_cast<FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset = file->CurrentByteOffset;
        *used = 8;
        return STATUS_SUCCESS;
    case FileAllInformation: {
        if (!need(104)) return STATUS_BUFFER_TOO_SMALL;
        RtlZeroMemory(buffer, 96);
        auto* all = reinterpret_cast<FILE_ALL_INFORMATION*>(buffer);
        FillBasic(fcb, &all->Basic);
        FillStandard(fcb, &all->Standard);
        all->CurrentByteOffset = file->CurrentByteOffset;
        ULONG nameUsed = 0;
        NTSTATUS status = FillName(fcb, &all->Name, length - 96, &nameUsed);
        *used = 96 + nameUsed;
        return status;
    }
    case FileNetworkOpenInformation: {
        if (!need(56)) return STATUS_BUFFER_TOO_SMALL;
        FILE_BASIC_INFORMATION b;
        FILE_STANDARD_INFORMATION s;
        FillBasic(fcb, &b);
        FillStandard(fcb, &s);
        auto* n = reinterpret_cast<FILE_NETWORK_OPEN_INFORMATION*>(buffer);
        RtlZeroMemory(n, 56);
        n->CreationTime = b.CreationTime;
        n->LastWriteTime = b.LastWriteTime;
        n->AllocationSize = s.AllocationSize;
        n->EndOfFile = s.EndOfFile;
        n->FileAttributes = b.FileAttributes;
        *used = 56;
        return STATUS_SUCCESS;
    }
    case kFileInternalInformation:
    case kFileAlternateNameInformation:
    case kFileStreamInformation:
    case kFileCompressionInformation:
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

bool SameName(const ZARFS_FCB* fcb, PCWSTR name, ULONG chars)
{
    if (fcb->NameChars != chars) return false;
    for (ULONG i = 0; i < chars; ++i)
        if (RtlUpcaseUnicodeChar(fcb->Name[i]) != RtlUpcaseUnicodeChar(name[i])) return false;
    return true;
}

// The new parent and last component of a rename: a target directory handle,
// a bare name (same parent), or a full path on this drive ("\??\P:\...",
// "P:\..." or "\...").
NTSTATUS RenameTarget(const Handle& h, PFILE_OBJECT targetFile, PCWSTR name, ULONG chars, ZARFS_FCB** parent,
                      PCWSTR* last, ULONG* lastChars, bool* looked)
{
    *looked = false;
    if (targetFile != nullptr) {
        ZARFS_VCB* vcb;
        ZARFS_FCB* fcb;
        ZARFS_CCB* ccb;
        if (ZarFsGetRequestType(targetFile, &vcb, &fcb, &ccb) != ZarFsRequestFolder) return STATUS_INVALID_PARAMETER;
        if (vcb != h.vcb) return STATUS_NOT_SAME_DEVICE;
        *parent = fcb;
        ULONG start = chars;
        while (start > 0 && name[start - 1] != u'\\') --start;
        *last = name + start;
        *lastChars = chars - start;
        return STATUS_SUCCESS;
    }
    ULONG slash = chars;
    while (slash > 0 && name[slash - 1] != u'\\') --slash;
    if (slash == 0) {
        *parent = h.fcb->Parent;
        *last = name;
        *lastChars = chars;
        return STATUS_SUCCESS;
    }
    PCWSTR path = name;
    ULONG pathChars = slash - 1;  // up to the last backslash
    if (pathChars >= 4 && path[0] == u'\\' && path[1] == u'?' && path[2] == u'?' && path[3] == u'\\') {
        path += 4;
        pathChars -= 4;
    }
    if (pathChars >= 2 && path[1] == u':') {
        if (RtlUpcaseUnicodeChar(path[0]) != h.vcb->Card->DriveLetter) return STATUS_NOT_SAME_DEVICE;
        path += 2;
        pathChars -= 2;
    }
    if (pathChars > 0 && path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    NTSTATUS status = ZarFsFCBLookup(h.vcb, path, pathChars, parent);
    if (!NT_SUCCESS(status)) return status;
    *looked = true;
    *last = name + slash;
    *lastChars = chars - slash;
    return STATUS_SUCCESS;
}

ULONG NameFilter(const ZARFS_FCB* fcb)
{
    return (fcb->Flags & ZARFS_FCB_DIRECTORY) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
}

// A RAM file renamed onto a frame file of its clip: the frame image it
// holds goes to the service once the drive's resource is released, and the
// RAM file goes at its last cleanup.
struct FrameImport {
    PUCHAR Data;                    // a copy of the RAM file's contents
    ULONG Length;
    UNICODE_STRING FrameName;       // full name of the frame file
    ULONG TypeValue;
    ULONG Frame;
};

void FreeFrameImport(FrameImport* import)
{
    if (import->Data != nullptr) ExFreePoolWithTag(import->Data, ZARFS_POOL_TAG);
    if (import->FrameName.Buffer != nullptr) ExFreePoolWithTag(import->FrameName.Buffer, ZARFS_POOL_TAG);
    *import = {};
}

NTSTATUS PrepareFrameImport(const Handle& h, ZARFS_FCB* clip, PCWSTR name, ULONG chars, FrameImport* import)
{
    ZARFS_FCB* fcb = h.fcb;
    ZARFS_DIR_SEARCH_ENTRY entry;
    // Only a frame of the clip takes a RAM file's contents; another RAM file's
    // name, or a name the clip does not have, is refused.
    if (clip != fcb->Parent || clip->FileEntry == nullptr) return STATUS_ACCESS_DENIED;
    if (!ZarFsFindDirEntryByName(h.vcb, clip, name, chars, &entry)) return STATUS_ACCESS_DENIED;
    if (entry.Index >= ZarFsFrameFileCount(clip->FileEntry)) return STATUS_ACCESS_DENIED;
    // An empty RAM file holds no image to import.
    if (fcb->RamFile->EndOfFile == 0) return STATUS_ACCESS_DENIED;
    NTSTATUS status = ZarFsFCBSetupFullName(clip);
    if (!NT_SUCCESS(status)) return status;
    const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
    ULONG nameBytes = clip->FullName.Length + sizeof(WCHAR) + entry.NameLength;
    if (type == nullptr) return STATUS_ACCESS_DENIED;
    if (nameBytes > 0xFFFC) return STATUS_NAME_TOO_LONG;
    import->Length = ULONG(fcb->RamFile->EndOfFile);
    import->Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, import->Length, ZARFS_POOL_TAG));
    import->FrameName.Buffer =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, nameBytes + sizeof(WCHAR), ZARFS_POOL_TAG));
    if (import->Data == nullptr || import->FrameName.Buffer == nullptr) {
        FreeFrameImport(import);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(import->Data, fcb->RamFile->Buffer, import->Length);
    PWCHAR text = import->FrameName.Buffer;
    RtlCopyMemory(text, clip->FullName.Buffer, clip->FullName.Length);
    text[clip->FullName.Length / sizeof(WCHAR)] = u'\\';
    RtlCopyMemory(text + clip->FullName.Length / sizeof(WCHAR) + 1, entry.Name, entry.NameLength);
    text[nameBytes / sizeof(WCHAR)] = 0;
    import->FrameName.Length = USHORT(nameBytes);
    import->FrameName.MaximumLength = USHORT(nameBytes + sizeof(WCHAR));
    import->TypeValue = type->Value;
    import->Frame = entry.Index;
    return STATUS_SUCCESS;
}

NTSTATUS SetRenameRamFile(const Handle& h, PIO_STACK_LOCATION stack, const FILE_RENAME_INFORMATION* info,
                          FrameImport* import)
{
    if (h.fcb->RamFile == nullptr) return STATUS_DELETE_PENDING;
    ZARFS_FCB* parent = nullptr;
    PCWSTR name = nullptr;
    ULONG chars = 0;
    bool looked = false;
    NTSTATUS status = RenameTarget(h, stack->Parameters.SetFile.FileObject, info->FileName,
                                   info->FileNameLength / sizeof(WCHAR), &parent, &name, &chars, &looked);
    if (!NT_SUCCESS(status)) return status;
    status = ZarFsIsValidComponent(name, chars) ? PrepareFrameImport(h, parent, name, chars, import)
                                                : STATUS_OBJECT_NAME_INVALID;
    if (looked) ZarFsFCBRemove(parent);
    return status;
}

NTSTATUS SetRename(const Handle& h, PIO_STACK_LOCATION stack, const FILE_RENAME_INFORMATION* info, ULONG length,
                   FrameImport* import)
{
    ZARFS_FCB* fcb = h.fcb;
    if (length < offsetof(FILE_RENAME_INFORMATION, FileName) ||
        info->FileNameLength > length - offsetof(FILE_RENAME_INFORMATION, FileName) || (info->FileNameLength & 1))
        return STATUS_INVALID_PARAMETER;
    if (fcb->Kind == ZarFsNodeRoot) return STATUS_INVALID_PARAMETER;
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) return SetRenameRamFile(h, stack, info, import);
    if (fcb->Kind != ZarFsNodeVolume && fcb->Kind != ZarFsNodeFolder && fcb->Kind != ZarFsNodeFile)
        return STATUS_ACCESS_DENIED;
    if ((fcb->Flags & ZARFS_FCB_DIRECTORY) && ZarFsFCBHasOpenDescendant(fcb)) return STATUS_ACCESS_DENIED;
    ZARFS_FCB* parent = nullptr;
    PCWSTR name = nullptr;
    ULONG chars = 0;
    bool looked = false;
    // Watchers of the old place are told first; a refused rename only
    // makes them list again.
    ZarFsNotifyChange(h.vcb, fcb, NameFilter(fcb), FILE_ACTION_RENAMED_OLD_NAME);
    NTSTATUS status = RenameTarget(h, stack->Parameters.SetFile.FileObject, info->FileName,
                                   info->FileNameLength / sizeof(WCHAR), &parent, &name, &chars, &looked);
    if (!NT_SUCCESS(status)) return status;
    if (!ZarFsIsValidComponent(name, chars)) {
        status = STATUS_OBJECT_NAME_INVALID;
    } else if (parent != fcb->Parent &&
               !(fcb->Kind == ZarFsNodeFile && parent->Kind == ZarFsNodeFolder && parent->Volume == fcb->Volume)) {
        // Only a media file moves, and only between folders of its volume.
        status = STATUS_ACCESS_DENIED;
    } else if (parent == fcb->Parent && SameName(fcb, name, chars)) {
        status = ZarFsFCBRename(h.vcb, fcb, name, chars);
    } else {
        ZARFS_DIR_SEARCH_ENTRY entry;
        if (ZarFsFCBFindChild(parent, name, chars) != nullptr ||
            ZarFsFindDirEntryByName(h.vcb, parent, name, chars, &entry))
            status = STATUS_OBJECT_NAME_COLLISION;
        else if (parent == fcb->Parent)
            status = ZarFsFCBRename(h.vcb, fcb, name, chars);
        else
            status = ZarFsFCBMove(h.vcb, parent, fcb, name, chars);
    }
    if (NT_SUCCESS(status)) ZarFsNotifyChange(h.vcb, fcb, NameFilter(fcb), FILE_ACTION_RENAMED_NEW_NAME);
    if (looked) ZarFsFCBRemove(parent);
    return status;
}

// Only the last write time counts, and 0 leaves it. A RAM file keeps it; a
// media file opened through its native type keeps it as its entry's time,
// which every listing and every folder's FCB of the file shows, and which is
// written at once so that a failure is heard of. Other nodes keep theirs.
NTSTATUS SetBasic(const Handle& h, const FILE_BASIC_INFORMATION* info)
{
    ULONGLONG time = ULONGLONG(info->LastWriteTime.QuadPart);
    ZARFS_FCB* fcb = h.fcb;
    if (time == 0 || (fcb->Flags & ZARFS_FCB_PORT)) return STATUS_SUCCESS;
    if (fcb->Flags & ZARFS_FCB_VIRTUAL) {
        if (fcb->RamFile == nullptr) return STATUS_DELETE_PENDING;
        fcb->RamFile->Time = time;
        fcb->Time = time;
        return STATUS_SUCCESS;
    }
    if (fcb->Kind != ZarFsNodeFile || fcb->FileEntry == nullptr || ZarFsTypePresentation(fcb->TypeIndex) != 0)
        return STATUS_SUCCESS;
    ZAR_FILE_INFO entry;
    NTSTATUS status = ZarFsHwReadFileEntry(&h.vcb->Card->Hw, fcb->Volume, fcb->FileBlock, &entry);
    if (!NT_SUCCESS(status)) return status;
    entry.CreationTime = time;
    status = ZarFsFileWriteEntry(h.vcb, fcb, &entry);
    if (!NT_SUCCESS(status)) return status;
    ZarFsFCBForEachOfFile(h.vcb->Root, fcb->Volume, fcb->FileBlock, [&](ZARFS_FCB* f) { f->Time = time; });
    ZarFsNotifyChange(h.vcb, fcb, FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_ACTION_MODIFIED);
    return STATUS_SUCCESS;
}

NTSTATUS SetInformation(const Handle& h, PIO_STACK_LOCATION stack, PUCHAR buffer, FrameImport* import)
{
    ULONG length = stack->Parameters.SetFile.Length;
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation:
        if (length < 40) return STATUS_BUFFER_TOO_SMALL;
        return SetBasic(h, reinterpret_cast<const FILE_BASIC_INFORMATION*>(buffer));
    case FileRenameInformation:
        if (length < 16) return STATUS_BUFFER_TOO_SMALL;
        return SetRename(h, stack, reinterpret_cast<const FILE_RENAME_INFORMATION*>(buffer), length, import);
    case FileDispositionInformation:
        if (length < 1) return STATUS_BUFFER_TOO_SMALL;
        if (!ZarFsFCBCanSetDisposition(h.vcb, h.fcb)) return STATUS_CANNOT_DELETE;
        if (buffer[0] != 0)
            h.fcb->Flags |= ZARFS_FCB_DELETE_PENDING;
        else
            h.fcb->Flags &= ~ZARFS_FCB_DELETE_PENDING;
        return STATUS_SUCCESS;
    case FilePositionInformation:
        if (length < 8) return STATUS_BUFFER_TOO_SMALL;
        stack->FileObject->CurrentByteOffset = reinterpret_cast<FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset;
        return STATUS_SUCCESS;
    case FileAllocationInformation:
    case FileEndOfFileInformation: {
        // Only RAM files have sizes that a caller sets.
        if (length < 8) return STATUS_BUFFER_TOO_SMALL;
        if (!(h.fcb->Flags & ZARFS_FCB_VIRTUAL)) return STATUS_SUCCESS;
        if (h.fcb->RamFile == nullptr) return STATUS_DELETE_PENDING;  // went with its clip
        LONGLONG size = reinterpret_cast<const LARGE_INTEGER*>(buffer)->QuadPart;
        if (size < 0) return STATUS_INVALID_PARAMETER;
        ULONGLONG largest = h.vcb->Card->Prefs.RAMFileMaxSize;
        NTSTATUS status = stack->Parameters.SetFile.FileInformationClass == FileAllocationInformation
                              ? ZarFsVFSetFileAllocation(h.fcb->RamFile, largest, ULONGLONG(size))
                              : ZarFsVFSetEndOfFile(h.fcb->RamFile, largest, ULONGLONG(size));
        if (NT_SUCCESS(status)) ZarFsNotifyChange(h.vcb, h.fcb, FILE_NOTIFY_CHANGE_SIZE, FILE_ACTION_MODIFIED);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS QueryVolume(ZARFS_VCB* vcb, ULONG infoClass, PUCHAR buffer, ULONG length, ULONG* used)
{
    switch (infoClass) {
    case FileFsVolumeInformation: {
        if (length < 24) return STATUS_BUFFER_TOO_SMALL;
        auto* v = reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
        RtlZeroMemory(v, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel));
        v->VolumeLabelLength = vcb->LabelBytes;
        ULONG room = length - offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        ULONG copied = vcb->LabelBytes <= room ? vcb->LabelBytes : room & ~1u;
        RtlCopyMemory(v->VolumeLabel, vcb->Label, copied);
        *used = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + copied;
        return copied == vcb->LabelBytes ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsAttributeInformation: {
        if (length < 16) return STATUS_BUFFER_TOO_SMALL;
        auto* a = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
        a->FileSystemAttributes = 6;  // case-preserving, Unicode names
        a->MaximumComponentNameLength = ZARFS_MAX_COMPONENT;
        a->FileSystemNameLength = vcb->LabelBytes;
        ULONG room = length - offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        ULONG copied = vcb->LabelBytes <= room ? vcb->LabelBytes : room & ~1u;
        RtlCopyMemory(a->FileSystemName, vcb->Label, copied);
        *used = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + copied;
        return copied == vcb->LabelBytes ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsSizeInformation: {
        if (length < 24) return STATUS_BUFFER_TOO_SMALL;
        ULONGLONG total = 0, free = 0;
        ZarFsHwGetTotalVolumeSpaceInfo(&vcb->Card->Hw, &total, &free);
        auto* s = reinterpret_cast<FILE_FS_SIZE_INFORMATION*>(buffer);
        s->TotalAllocationUnits.QuadPart = LONGLONG(total == 0 ? 1 : total);
        // Programs that check for room before writing a clip must not be stopped by a small figure.
        s->AvailableAllocationUnits.QuadPart = LONGLONG(free < kMinimumFreeUnits ? kMinimumFreeUnits : free);
        s->SectorsPerAllocationUnit = 1;
        s->BytesPerSector = ZARFS_BLOCK;
        *used = 24;
        return STATUS_SUCCESS;
    }
    case FileFsDeviceInformation: {
        if (length < 8) return STATUS_BUFFER_TOO_SMALL;
        auto* d = reinterpret_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
        d->DeviceType = 7;          // FILE_DEVICE_DISK
        d->Characteristics = 0x20;  // FILE_DEVICE_IS_MOUNTED
        *used = 8;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// FILE_FS_LABEL_INFORMATION: a u32 length in bytes, then the label; kept
// in memory only.
NTSTATUS SetLabel(ZARFS_VCB* vcb, const UCHAR* buffer, ULONG length)
{
    if (length < 8) return STATUS_BUFFER_TOO_SMALL;
    ULONG bytes;
    RtlCopyMemory(&bytes, buffer, 4);
    if (bytes > length - 4 || bytes > sizeof vcb->Label || (bytes & 1)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(vcb->Label, buffer + 4, bytes);
    vcb->LabelBytes = bytes;
    return STATUS_SUCCESS;
}

template <typename Work>
NTSTATUS Locked(ZARFS_VCB* vcb, bool exclusive, Work work)
{
    KeEnterCriticalRegion();
    if (exclusive)
        ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    else
        ExAcquireResourceSharedLite(&vcb->Resource, TRUE);
    NTSTATUS status = work();
    ExReleaseResourceLite(&vcb->Resource);
    KeLeaveCriticalRegion();
    return status;
}

}  // namespace

NTSTATUS ZarFsCommonCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Handle h = HandleOf(stack);
    if (h.type == ZarFsRequestUnknown) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    ULONG serviceContext = 0, typeValue = 0, frame = 0;
    NTSTATUS status = Locked(ZarFsDeviceVcb(device), true, [&]() -> NTSTATUS {
        if (h.type == ZarFsRequestVolume) {
            IoRemoveShareAccess(stack->FileObject, &h.vcb->Share);
            return STATUS_SUCCESS;
        }
        ZARFS_FCB* fcb = h.fcb;
        // Its change notifications end with the handle.
        FsRtlNotifyCleanup(h.vcb->NotifySync, &h.vcb->NotifyList, h.ccb);
        IoRemoveShareAccess(stack->FileObject, &fcb->Share);
        ZarFsFileReleaseBodyTableWriter(h.vcb, h.ccb);
        if (fcb->HandleCount != 0) --fcb->HandleCount;
        if (fcb->HandleCount == 0 && ZarFsIsFrameFile(fcb) && fcb->ServiceContext != 0) {
            const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
            serviceContext = fcb->ServiceContext;
            typeValue = type != nullptr ? type->Value : 0;
            frame = fcb->FrameIndex;
        }
        if (fcb->HandleCount == 0 && (fcb->Flags & ZARFS_FCB_DELETE_PENDING) && !(fcb->Flags & ZARFS_FCB_DELETED)) {
            NTSTATUS deleted = ZarFsFCBDeleteEntry(h.vcb, fcb);
            if (!NT_SUCCESS(deleted)) return deleted;
            ZarFsNotifyChange(h.vcb, fcb, NameFilter(fcb), FILE_ACTION_REMOVED);
            fcb->Flags |= ZARFS_FCB_DELETED;
            // Removing the entry gave back every block it named.
            RtlZeroMemory(fcb->Reserved, sizeof fcb->Reserved);
        }
        // Space reserved and never settled goes back with the file's last
        // handle, whichever handle that is: a reader left open after the
        // writer must not keep it reserved for good.
        if (fcb->HandleCount == 0) {
            // A clip written only in part ends with it; a new write starts afresh.
            ZarFsKIVFreeWriteObject(fcb);
            // The entry could not be rewritten: the space stays claimed, as
            // the disk says, and the caller hears of it.
            return ZarFsFileReleaseReservations(h.vcb, fcb);
        }
        return STATUS_SUCCESS;
    });
    // The last handle of a frame file the service opened ends its use
    // there (the file stays open at the service until the close).
    if (serviceContext != 0) ZarFsSReqClean(&ZarFsDeviceVcb(device)->Card->Service, serviceContext, typeValue, frame);
    return ZarFsCompleteRequest(irp, status, 0);
}

NTSTATUS ZarFsCommonClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Handle h = HandleOf(stack);
    if (h.type == ZarFsRequestUnknown) return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    ULONG serviceContext = 0;
    Locked(ZarFsDeviceVcb(device), true, [&]() -> NTSTATUS {
        if (h.type == ZarFsRequestVolume) {
            if (h.vcb->VolumeOpens != 0) --h.vcb->VolumeOpens;
        } else {
            ZARFS_FCB* fcb = h.fcb;
            if (fcb->OpenCount != 0) --fcb->OpenCount;
            if (h.vcb->OpenFiles != 0) --h.vcb->OpenFiles;
            if (!(h.ccb->Access & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE)) && h.vcb->ReadOnlyFiles != 0)
                --h.vcb->ReadOnlyFiles;
            if (fcb->OpenCount == 0) {
                serviceContext = fcb->ServiceContext;
                ZarFsFileReleaseBodyTable(h.vcb, fcb);
                ZarFsFCBRemove(fcb);
            }
        }
        ZarFsCCBFree(h.ccb);
        stack->FileObject->FsContext = nullptr;
        stack->FileObject->FsContext2 = nullptr;
        return STATUS_SUCCESS;
    });
    // A frame file the service opened is closed there too, outside the
    // drive's resource, as every exchange with the service is.
    if (serviceContext != 0) ZarFsSReqClose(&ZarFsDeviceVcb(device)->Card->Service, serviceContext);
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ZarFsQueryInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    Handle h = HandleOf(stack);
    if (vcb == nullptr || h.fcb == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG used = 0;
    NTSTATUS status = Locked(vcb, false, [&] {
        return QueryInformation(h, stack->FileObject, stack->Parameters.QueryFile.FileInformationClass, buffer,
                                stack->Parameters.QueryFile.Length, &used);
    });
    return ZarFsCompleteRequest(irp, status, NT_ERROR(status) ? 0 : used);
}

NTSTATUS ZarFsSetInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    Handle h = HandleOf(stack);
    if (vcb == nullptr || h.fcb == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    FrameImport import{};
    NTSTATUS status = Locked(vcb, true, [&] { return SetInformation(h, stack, buffer, &import); });
    if (NT_SUCCESS(status) && import.Data != nullptr) {
        // The service may look at the drive: it is talked to without the resource.
        status = ZarFsFrameFileImport(vcb, &import.FrameName, import.TypeValue, import.Frame, import.Data,
                                      import.Length);
        FreeFrameImport(&import);
        // Only an imported image lets its RAM file go; a failed import keeps it.
        if (NT_SUCCESS(status)) Locked(vcb, true, [&] {
            h.fcb->Flags |= ZARFS_FCB_DELETE_PENDING;
            return STATUS_SUCCESS;
        });
    }
    FreeFrameImport(&import);
    return ZarFsCompleteRequest(irp, status, 0);
}

NTSTATUS ZarFsQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (vcb == nullptr || buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG used = 0;
    NTSTATUS status = Locked(vcb, false, [&] {
        return QueryVolume(vcb, stack->Parameters.QueryVolume.FsInformationClass, buffer,
                           stack->Parameters.QueryVolume.Length, &used);
    });
    return ZarFsCompleteRequest(irp, status, NT_ERROR(status) ? 0 : used);
}

NTSTATUS ZarFsSetVolumeInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (vcb == nullptr || buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    // Same layout as the query's, whose class numbers the set request shares.
    ULONG infoClass = stack->Parameters.QueryVolume.FsInformationClass;
    ULONG length = stack->Parameters.QueryVolume.Length;
    NTSTATUS status = Locked(vcb, true, [&] {
        return infoClass == kFileFsLabelInformation ? SetLabel(vcb, buffer, length) : STATUS_INVALID_PARAMETER;
    });
    return ZarFsCompleteRequest(irp, status, 0);
}

NTSTATUS ZarFsFileSystemCtrl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (ZarFsDeviceVcb(device) == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    // The driver finds its volumes itself and mounts on no other device.
    if (stack->MinorFunction == kMinorMountVolume)
        return ZarFsCompleteRequest(irp, STATUS_UNRECOGNIZED_VOLUME, 0);
    if (stack->MinorFunction != kMinorUserFsRequest)
        return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (stack->Parameters.FileSystemControl.FsControlCode) {
    case 0x90000: case 0x90004: case 0x90008: case 0x9000C:  // oplock requests and acknowledgements
    case 0x90010: case 0x90014: case 0x90050:
    case 0x90028:                                             // is the volume mounted
        return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
    default:
        return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS ZarFsFlushBuffers(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

// Query and set information of the media drive's handles: times, sizes,
// names, deletion, renaming and moving.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kFileInternalInformation = 6, kFileEaInformation = 7, kFileAlternateNameInformation = 21,
                kFileStreamInformation = 22, kFileCompressionInformation = 28;

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
    ZarFsNotifyChange(h.vcb, fcb, ZarFsNotifyNameFilter(fcb), FILE_ACTION_RENAMED_OLD_NAME);
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
    if (NT_SUCCESS(status)) ZarFsNotifyChange(h.vcb, fcb, ZarFsNotifyNameFilter(fcb), FILE_ACTION_RENAMED_NEW_NAME);
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

}  // namespace

NTSTATUS ZarFsQueryInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    Handle h = HandleOf(stack);
    if (vcb == nullptr || h.fcb == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG used = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, false, [&] {
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
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&] { return SetInformation(h, stack, buffer, &import); });
    if (NT_SUCCESS(status) && import.Data != nullptr) {
        // The service may look at the drive: it is talked to without the resource.
        status = ZarFsFrameFileImport(vcb, &import.FrameName, import.TypeValue, import.Frame, import.Data,
                                      import.Length);
        FreeFrameImport(&import);
        // Only an imported image lets its RAM file go; a failed import keeps it.
        if (NT_SUCCESS(status)) ZarFsUnderResource(&vcb->Resource, true, [&] {
            h.fcb->Flags |= ZARFS_FCB_DELETE_PENDING;
            return STATUS_SUCCESS;
        });
    }
    FreeFrameImport(&import);
    return ZarFsCompleteRequest(irp, status, 0);
}

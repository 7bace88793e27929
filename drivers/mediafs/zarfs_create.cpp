// Create on the media drive: a path names the volume itself, the root, or a
// node of the tree (file-type folder, volume, folder, media file); the walk
// goes through the FCBs in memory and then the on-disk entries, and the
// disposition decides between opening, creating a folder (only in a
// volume), creating an empty media file (only in a folder) and refusing.
// A create on the control device gives the handle its flush-suspension
// record.

#include "zarfs_driver.h"

namespace {

constexpr UCHAR kOpenTargetDirectory = 0x04;  // SL_OPEN_TARGET_DIRECTORY

struct CreateRequest {
    ZARFS_VCB* vcb;
    PFILE_OBJECT file;
    ULONG disposition;
    ULONG options;
    ULONG share;
    ACCESS_MASK access;
    bool targetDirectory;
};

ULONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return ULONGLONG(t.QuadPart);
}

ACCESS_MASK MapGeneric(ACCESS_MASK a)
{
    if (a & GENERIC_READ) a |= FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    if (a & GENERIC_WRITE) a |= FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_APPEND_DATA;
    if (a & GENERIC_ALL) a |= FILE_READ_DATA | FILE_WRITE_DATA | DELETE;
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

bool OpenDisposition(ULONG d) { return d == FILE_OPEN || d == FILE_OPEN_IF; }

// The common tail of every open: sharing, a CCB, the file object and the counts.
NTSTATUS Attach(const CreateRequest& r, ZARFS_FCB* fcb)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (fcb->OpenCount != 0) status = IoCheckShareAccess(r.access, r.share, r.file, &fcb->Share, FALSE);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_CCB* ccb = ZarFsCCBAllocate(fcb, r.file, r.access);
    if (ccb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (fcb->OpenCount == 0)
        IoSetShareAccess(r.access, r.share, r.file, &fcb->Share);
    else
        IoCheckShareAccess(r.access, r.share, r.file, &fcb->Share, TRUE);
    r.file->FsContext = r.vcb;
    r.file->FsContext2 = ccb;
    r.file->CurrentByteOffset.QuadPart = 0;
    fcb->OpenCount++;
    fcb->HandleCount++;
    r.vcb->OpenFiles++;
    if (!(r.access & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE))) r.vcb->ReadOnlyFiles++;
    return STATUS_SUCCESS;
}

NTSTATUS OpenVolume(const CreateRequest& r, ULONG_PTR* information)
{
    if (r.targetDirectory) return STATUS_INVALID_PARAMETER;
    if (r.options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
    if (!OpenDisposition(r.disposition)) return STATUS_ACCESS_DENIED;
    NTSTATUS status = STATUS_SUCCESS;
    if (r.vcb->VolumeOpens != 0) status = IoCheckShareAccess(r.access, r.share, r.file, &r.vcb->Share, FALSE);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_CCB* ccb = ZarFsCCBAllocate(nullptr, r.file, r.access);
    if (ccb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (r.vcb->VolumeOpens == 0)
        IoSetShareAccess(r.access, r.share, r.file, &r.vcb->Share);
    else
        IoCheckShareAccess(r.access, r.share, r.file, &r.vcb->Share, TRUE);
    r.file->FsContext = r.vcb;
    r.file->FsContext2 = ccb;
    r.vcb->VolumeOpens++;
    *information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS OpenRoot(const CreateRequest& r, ULONG_PTR* information)
{
    if (r.options & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
    if (r.targetDirectory) return STATUS_INVALID_PARAMETER;
    if (r.options & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
    if (!OpenDisposition(r.disposition)) return STATUS_ACCESS_DENIED;
    ZARFS_FCB* root = r.vcb->Root;
    if (!ZarFsHwGetLatestVolumeTime(&r.vcb->Card->Hw, &root->Time)) root->Time = Now();
    NTSTATUS status = Attach(r, root);
    if (NT_SUCCESS(status)) *information = FILE_OPENED;
    return status;
}

// For a rename: the handle is the directory, and the file object's name
// becomes the last component of the path.
NTSTATUS OpenTargetDirectory(const CreateRequest& r, ZARFS_FCB* directory, PCWSTR last, ULONG chars)
{
    NTSTATUS status = Attach(r, directory);
    if (!NT_SUCCESS(status)) return status;
    RtlMoveMemory(r.file->FileName.Buffer, last, chars * sizeof(WCHAR));
    r.file->FileName.Length = USHORT(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CreateNewDirectory(const CreateRequest& r, ZARFS_FCB* parent, PCWSTR name, ULONG chars, ZARFS_FCB** out)
{
    if (parent->Kind != ZarFsNodeVolume) return STATUS_ACCESS_DENIED;
    ULONG slot = 0;
    NTSTATUS status = ZarFsHwCreateFolder(&r.vcb->Card->Hw, parent->Volume, name, chars, &slot);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_DIR_SEARCH_ENTRY entry;
    if (!ZarFsFindDirEntryByName(r.vcb, parent, name, chars, &entry)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return ZarFsFCBCreate(r.vcb, parent, &entry, out);
}

bool IsPortName(PCWSTR name, ULONG chars)
{
    const ULONG portChars = sizeof ZARFS_PORT_FILE_NAME / sizeof(WCHAR) - 1;
    if (chars != portChars) return false;
    for (ULONG i = 0; i < chars; ++i)
        if (RtlUpcaseUnicodeChar(name[i]) != RtlUpcaseUnicodeChar(ZARFS_PORT_FILE_NAME[i])) return false;
    return true;
}

// The port file opens in any folder, always shared for reading and writing,
// each handle with its own command and reply. 'port' is its node when one is
// in memory already; else any other name is not found.
NTSTATUS OpenPortFile(const CreateRequest& r, ZARFS_FCB* parent, ZARFS_FCB* port, PCWSTR name, ULONG chars,
                      ZARFS_FCB** out)
{
    if (port == nullptr && !IsPortName(name, chars)) return STATUS_OBJECT_NAME_NOT_FOUND;
    ZARFS_PORT_FILE* object = nullptr;
    NTSTATUS status = ZarFsComPortInitialize(r.vcb, &object);
    if (!NT_SUCCESS(status)) return status;
    if (port == nullptr) status = ZarFsFCBCreatePort(r.vcb, parent, &port);
    if (NT_SUCCESS(status)) {
        *out = port;
        CreateRequest shared = r;
        shared.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        status = Attach(shared, port);
    }
    if (!NT_SUCCESS(status)) {
        ZarFsComPortFree(object);
        return status;
    }
    static_cast<ZARFS_CCB*>(r.file->FsContext2)->Port = object;
    return STATUS_SUCCESS;
}

// A RAM file inside a media file shown as a directory; it comes first in
// the clip's list, so right after the clip's frames.
NTSTATUS CreateRamFile(const CreateRequest& r, ZARFS_FCB* parent, PCWSTR name, ULONG chars, ZARFS_FCB** out)
{
    NTSTATUS status = ZarFsFCBSetupFullName(parent);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_CARD_INSTANCE* card = r.vcb->Card;
    UNICODE_STRING text{USHORT(chars * sizeof(WCHAR)), USHORT(chars * sizeof(WCHAR)), const_cast<PWCHAR>(name)};
    ZARFS_RAM_FILE* file = nullptr;
    status = ZarFsVFCreateNewFile(&parent->Volume->RamFiles, &parent->FullName, &text, Now(),
                                  card->Prefs.TotalRAMFiles, card->Hw.LogObject, &file);
    if (!NT_SUCCESS(status)) return status;
    auto* entry = static_cast<ZARFS_DIR_SEARCH_ENTRY*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_SEARCH_ENTRY), ZARFS_POOL_TAG));
    if (entry == nullptr) {
        ZarFsVFDeleteFile(&parent->Volume->RamFiles, file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(entry, sizeof *entry);
    entry->Index = ZarFsFrameFileCount(parent->FileEntry);
    entry->Time = file->Time;
    entry->NameLength = chars * sizeof(WCHAR);
    RtlCopyMemory(entry->Name, name, entry->NameLength);
    status = ZarFsFCBCreate(r.vcb, parent, entry, out);
    ExFreePoolWithTag(entry, ZARFS_POOL_TAG);
    if (!NT_SUCCESS(status)) ZarFsVFDeleteFile(&parent->Volume->RamFiles, file);
    return status;
}

// An empty media file (no media data) in a folder of a type whose media
// files are files.
NTSTATUS CreateNewFile(const CreateRequest& r, ZARFS_FCB* parent, PCWSTR name, ULONG chars, ZARFS_FCB** out)
{
    if (parent->Kind == ZarFsNodeFile && parent->FileEntry != nullptr) return CreateRamFile(r, parent, name, chars, out);
    if (parent->Kind != ZarFsNodeFolder || ZarFsTypePresentation(parent->TypeIndex) != 0) return STATUS_ACCESS_DENIED;
    auto* info = static_cast<ZAR_FILE_INFO*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZAR_FILE_INFO), ZARFS_POOL_TAG));
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(info, sizeof *info);
    RtlCopyMemory(info->Magic, "FIL0", 4);
    info->CreationTime = Now();
    info->MediaKind = ZARFS_MEDIA_NONE;
    ZarFsHwStoreName(info->Name, name, chars);
    ULONG block = 0;
    NTSTATUS status = ZarFsHwCreateFileEntry(&r.vcb->Card->Hw, parent->Volume, parent->FolderSlot, info, &block);
    ExFreePoolWithTag(info, ZARFS_POOL_TAG);
    if (!NT_SUCCESS(status)) return status;
    ZARFS_DIR_SEARCH_ENTRY entry;
    if (!ZarFsFindDirEntryByName(r.vcb, parent, name, chars, &entry)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return ZarFsFCBCreate(r.vcb, parent, &entry, out);
}

// The node named by the path below 'start'; *node is the deepest node
// reached, whose FCB may be new (released again by the caller on failure).
NTSTATUS Walk(const CreateRequest& r, ZARFS_FCB* start, PCWSTR path, ULONG chars, ULONG_PTR* information,
              ZARFS_FCB** node)
{
    ZARFS_FCB* current = start;
    *node = current;
    // Every component follows the name rules before anything is looked up.
    for (ULONG pos = 0, end = 0; pos <= chars; pos = end + 1) {
        end = pos;
        while (end < chars && path[end] != u'\\') ++end;
        if (!ZarFsIsValidComponent(path + pos, end - pos)) return STATUS_OBJECT_NAME_INVALID;
    }
    ULONG pos = 0;
    auto* entry = static_cast<ZARFS_DIR_SEARCH_ENTRY*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_SEARCH_ENTRY), ZARFS_POOL_TAG));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        ULONG end = pos;
        while (end < chars && path[end] != u'\\') ++end;
        PCWSTR component = path + pos;
        ULONG length = end - pos;
        bool last = end == chars;
        if (!(current->Flags & ZARFS_FCB_DIRECTORY)) {
            status = STATUS_OBJECT_PATH_NOT_FOUND;
            break;
        }
        ZARFS_FCB* child = ZarFsFCBFindChild(current, component, length);
        if (child == nullptr && ZarFsFindDirEntryByName(r.vcb, current, component, length, entry)) {
            if (!last && !entry->Directory) {
                status = STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
            status = ZarFsFCBCreate(r.vcb, current, entry, &child);
            if (!NT_SUCCESS(status)) break;
        }
        if (child == nullptr) {
            if (!last) {
                status = STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
            // The last component does not exist.
            if (r.targetDirectory) {
                status = OpenTargetDirectory(r, current, component, length);
                *information = FILE_DOES_NOT_EXIST;
            } else if (r.disposition == FILE_OPEN || r.disposition == FILE_OVERWRITE) {
                status = (r.options & FILE_DIRECTORY_FILE)
                             ? STATUS_OBJECT_NAME_NOT_FOUND
                             : OpenPortFile(r, current, nullptr, component, length, &child);
                if (child != nullptr) *node = child;
                *information = FILE_OPENED;
            } else if ((r.options & FILE_DIRECTORY_FILE) &&
                       (r.disposition == FILE_CREATE || r.disposition == FILE_OPEN_IF)) {
                status = CreateNewDirectory(r, current, component, length, &child);
                if (NT_SUCCESS(status)) *node = child;
                if (NT_SUCCESS(status)) ZarFsNotifyChange(r.vcb, child, FILE_NOTIFY_CHANGE_DIR_NAME, FILE_ACTION_ADDED);
                if (NT_SUCCESS(status)) status = Attach(r, child);
                *information = FILE_CREATED;
            } else if (r.options & FILE_DIRECTORY_FILE) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                status = OpenPortFile(r, current, nullptr, component, length, &child);
                *information = FILE_OPENED;
                if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
                    status = CreateNewFile(r, current, component, length, &child);
                    if (NT_SUCCESS(status))
                        ZarFsNotifyChange(r.vcb, child, FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
                    if (NT_SUCCESS(status)) status = Attach(r, child);
                    *information = FILE_CREATED;
                }
                if (child != nullptr) *node = child;
            }
            break;
        }
        current = child;
        *node = current;
        if (current->Flags & ZARFS_FCB_DELETE_PENDING) {
            status = STATUS_DELETE_PENDING;
            break;
        }
        if (!last) {
            pos = end + 1;
            continue;
        }
        // The last component exists.
        bool directory = (current->Flags & ZARFS_FCB_DIRECTORY) != 0;
        if (r.targetDirectory) {
            status = OpenTargetDirectory(r, current->Parent, component, length);
            *information = FILE_EXISTS;
        } else if (current->Flags & ZARFS_FCB_PORT) {
            status = OpenPortFile(r, current->Parent, current, component, length, &current);
            *information = FILE_OPENED;
        } else if (directory && (r.options & FILE_NON_DIRECTORY_FILE)) {
            status = STATUS_FILE_IS_A_DIRECTORY;
        } else if (!directory && (r.options & FILE_DIRECTORY_FILE) && OpenDisposition(r.disposition)) {
            status = STATUS_NOT_A_DIRECTORY;
        } else if (!OpenDisposition(r.disposition) && current->Kind != ZarFsNodeFrame) {
            // Frame and RAM files open whatever the disposition.
            status = STATUS_OBJECT_NAME_COLLISION;
        } else {
            status = Attach(r, current);
            *information = FILE_OPENED;
        }
        break;
    }
    ExFreePoolWithTag(entry, ZARFS_POOL_TAG);
    return status;
}

NTSTATUS Create(const CreateRequest& r, PIO_STACK_LOCATION stack, ULONG_PTR* information)
{
    PFILE_OBJECT file = r.file;
    PCWSTR name = file->FileName.Buffer;
    ULONG chars = name != nullptr ? file->FileName.Length / sizeof(WCHAR) : 0;
    if (chars >= 2 && name[0] == u'\\' && name[1] == u'\\') {
        ++name;
        --chars;
        if (chars >= 2 && name[1] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    }
    ZARFS_VCB* relatedVcb = nullptr;
    ZARFS_FCB* relatedFcb = nullptr;
    ZARFS_CCB* relatedCcb = nullptr;
    ZARFS_REQUEST_TYPE related = file->RelatedFileObject != nullptr
                                     ? ZarFsGetRequestType(file->RelatedFileObject, &relatedVcb, &relatedFcb, &relatedCcb)
                                     : ZarFsRequestUnknown;
    if (r.vcb->Flags & ZARFS_VCB_LOCKED) return STATUS_ACCESS_DENIED;
    if (chars == 0 && (file->RelatedFileObject == nullptr || related == ZarFsRequestVolume))
        return OpenVolume(r, information);
    if (chars == 1 && name[0] == u'\\') {
        if (file->RelatedFileObject != nullptr) return STATUS_OBJECT_NAME_INVALID;
        return OpenRoot(r, information);
    }
    if (chars > 1 && name[chars - 1] == u'\\') --chars;
    ZARFS_FCB* start = r.vcb->Root;
    if (file->RelatedFileObject != nullptr) {
        if (related != ZarFsRequestFolder && related != ZarFsRequestFile) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (name[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
        start = relatedFcb;
    } else {
        if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        ++name;
        --chars;
    }
    (void)stack;
    ZARFS_FCB* node = nullptr;
    NTSTATUS status = Walk(r, start, name, chars, information, &node);
    // Whatever the walk made and no handle holds goes again.
    if (!NT_SUCCESS(status) && node != nullptr) ZarFsFCBRemove(node);
    return status;
}

}  // namespace

NTSTATUS ZarFsFCBLookup(ZARFS_VCB* vcb, PCWSTR path, ULONG chars, ZARFS_FCB** fcb)
{
    ZARFS_FCB* current = vcb->Root;
    ULONG pos = (chars > 0 && path[0] == u'\\') ? 1 : 0;
    ZARFS_DIR_SEARCH_ENTRY* entry = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    while (pos < chars) {
        ULONG end = pos;
        while (end < chars && path[end] != u'\\') ++end;
        ULONG length = end - pos;
        ZARFS_FCB* child = nullptr;
        if (!ZarFsIsValidComponent(path + pos, length)) {
            status = STATUS_OBJECT_NAME_INVALID;
            break;
        }
        if (current->Flags & ZARFS_FCB_DIRECTORY) child = ZarFsFCBFindChild(current, path + pos, length);
        if (child == nullptr && (current->Flags & ZARFS_FCB_DIRECTORY)) {
            if (entry == nullptr)
                entry = static_cast<ZARFS_DIR_SEARCH_ENTRY*>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_SEARCH_ENTRY), ZARFS_POOL_TAG));
            if (entry == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            if (ZarFsFindDirEntryByName(vcb, current, path + pos, length, entry)) {
                status = ZarFsFCBCreate(vcb, current, entry, &child);
                if (!NT_SUCCESS(status)) break;
            }
        }
        if (child == nullptr) {
            status = STATUS_OBJECT_PATH_NOT_FOUND;
            break;
        }
        current = child;
        pos = end + 1;
    }
    if (entry != nullptr) ExFreePoolWithTag(entry, ZARFS_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        ZarFsFCBRemove(current);
        return status;
    }
    *fcb = current;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsCommonCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Create.EaLength != 0) return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    CreateRequest r{};
    r.vcb = ZarFsDeviceVcb(device);
    r.file = stack->FileObject;
    r.disposition = stack->Parameters.Create.Options >> 24;
    r.options = stack->Parameters.Create.Options & 0x00FFFFFF;
    r.share = stack->Parameters.Create.ShareAccess;
    r.access = MapGeneric(stack->Parameters.Create.SecurityContext != nullptr
                              ? stack->Parameters.Create.SecurityContext->DesiredAccess
                              : 0);
    r.targetDirectory = (stack->Flags & kOpenTargetDirectory) != 0;
    ULONG_PTR information = 0;
    NTSTATUS status = ZarFsUnderResource(&r.vcb->Resource, true, [&] { return Create(r, stack, &information); });
    return ZarFsCompleteRequest(irp, status, information);
}

NTSTATUS ZarFsCreate(PDEVICE_OBJECT device, PIRP irp)
{
    if (ZarFsDeviceVcb(device) != nullptr) return ZarFsCommonCreate(device, irp);
    ZARFS_HANDLE_CONTEXT* context = ZarFsHCAllocateContext();
    if (context == nullptr) return ZarFsCompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2 = context;
    return ZarFsCompleteRequest(irp, STATUS_SUCCESS, 0);
}

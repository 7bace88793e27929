// The media drive's nodes in memory: the volume control block, FCBs with
// their children and full names, CCBs, deletion, renaming and moving of the
// on-disk objects that FCBs stand for, and the volume lock.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kFcbTag = ZarFsTag("FCBL");
constexpr ULONG kCcbTag = ZarFsTag("CCBL");

void InitializeFcb(ZARFS_FCB* fcb)
{
    RtlZeroMemory(fcb, sizeof *fcb);
    InitializeListHead(&fcb->Children);
    InitializeListHead(&fcb->Sibling);
}

void FreeFcb(ZARFS_FCB* fcb)
{
    ZarFsKIVFreeFileObject(fcb);
    ZarFsKIVFreeWriteObject(fcb);
    if (fcb->FileEntry != nullptr) ExFreePoolWithTag(fcb->FileEntry, kFcbTag);
    if (fcb->FullName.Buffer != nullptr) ExFreePoolWithTag(fcb->FullName.Buffer, kFcbTag);
    if (fcb->Volume != nullptr) ZarFsHwCloseVolume(fcb->Volume);
    ExFreePoolWithTag(fcb, kFcbTag);
}

bool NamesEqual(PCWSTR a, ULONG aChars, PCWSTR b, ULONG bChars)
{
    if (aChars != bChars) return false;
    for (ULONG i = 0; i < aChars; ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

ZARFS_HW_CONTEXT* Hw(ZARFS_VCB* vcb) { return &vcb->Card->Hw; }

void SetName(ZARFS_FCB* fcb, PCWSTR name, ULONG chars)
{
    RtlZeroMemory(fcb->Name, sizeof fcb->Name);
    RtlCopyMemory(fcb->Name, name, chars * sizeof(WCHAR));
    fcb->NameChars = chars;
}

// A node's full name past its type folder ("\<volume>\..."), by which the
// RAM files of the clips below it are found whatever folder made them.
UNICODE_STRING PathPastType(const ZARFS_FCB* fcb)
{
    ULONG chars = fcb->FullName.Length / sizeof(WCHAR), at = 1;
    while (at < chars && fcb->FullName.Buffer[at] != u'\\') ++at;
    return {USHORT((chars - at) * sizeof(WCHAR)), USHORT((chars - at) * sizeof(WCHAR)), fcb->FullName.Buffer + at};
}

// Before a rename or move: the node's old path, for RamFilesFollow.
PWCHAR SaveOldPath(const ZARFS_FCB* fcb, UNICODE_STRING* path)
{
    UNICODE_STRING old = PathPastType(fcb);
    auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, old.Length + sizeof(WCHAR), kFcbTag));
    if (copy != nullptr) RtlCopyMemory(copy, old.Buffer, old.Length);
    *path = {old.Length, old.Length, copy};
    return copy;
}

// After it: the RAM files of the clips at or below the node keep to them.
void RamFilesFollow(ZARFS_FCB* fcb, PWCHAR saved, const UNICODE_STRING* oldPath)
{
    if (saved == nullptr) return;
    if (fcb->Volume != nullptr && NT_SUCCESS(ZarFsFCBSetupFullName(fcb))) {
        UNICODE_STRING now = PathPastType(fcb);
        ZarFsVFRenamePath(&fcb->Volume->RamFiles, oldPath, &now);
    }
    ExFreePoolWithTag(saved, kFcbTag);
}

// A deleted clip is reached through every type folder: the FCBs that other
// folders keep of it are marked deleted, so that no new open finds them,
// and handles still open on its RAM files lose them.
void ForgetDeletedClip(ZARFS_FCB* fcb, const ZARFS_FCB* clip, PCUNICODE_STRING clipPath)
{
    for (PLIST_ENTRY e = fcb->Children.Flink; e != &fcb->Children; e = e->Flink) {
        auto* child = CONTAINING_RECORD(e, ZARFS_FCB, Sibling);
        if (child != clip && child->Kind == ZarFsNodeFile && child->Volume == clip->Volume &&
            child->FileBlock == clip->FileBlock) {
            // The removal gave back every block the entry named, the space
            // another handle reserved included: its cleanup must not again.
            child->Flags |= ZARFS_FCB_DELETED;
            RtlZeroMemory(child->Reserved, sizeof child->Reserved);
        }
        if (child->RamFile != nullptr && ZarFsVFIsOfClip(child->RamFile, clipPath)) {
            child->RamFile = nullptr;
            child->Flags |= ZARFS_FCB_DELETED;
        }
        ForgetDeletedClip(child, clip, clipPath);
    }
}

}  // namespace

BOOLEAN ZarFsIsValidComponent(PCWSTR name, ULONG chars)
{
    return chars <= ZARFS_MAX_COMPONENT && ZarFsHwIsValidFilename(name, chars);
}

NTSTATUS ZarFsVCBInitialize(ZARFS_VCB* vcb, ZARFS_CARD_INSTANCE* card, PDEVICE_OBJECT disk)
{
    RtlZeroMemory(vcb, sizeof *vcb);
    vcb->Card = card;
    vcb->Disk = disk;
    const WCHAR label[] = u"KIV_VFS";
    vcb->LabelBytes = sizeof label - sizeof(WCHAR);
    RtlCopyMemory(vcb->Label, label, vcb->LabelBytes);
    auto* root = static_cast<ZARFS_FCB*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_FCB), kFcbTag));
    if (root == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitializeFcb(root);
    root->Kind = ZarFsNodeRoot;
    root->Flags = ZARFS_FCB_DIRECTORY | ZARFS_FCB_ROOT;
    SetName(root, u"\\", 1);
    InitializeListHead(&vcb->NotifyList);
    NTSTATUS status = FsRtlNotifyInitializeSync(&vcb->NotifySync);
    if (NT_SUCCESS(status)) {
        status = ExInitializeResourceLite(&vcb->Resource);
        if (!NT_SUCCESS(status)) FsRtlNotifyUninitializeSync(&vcb->NotifySync);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(root, kFcbTag);
        return status;
    }
    vcb->Root = root;
    vcb->Flags |= ZARFS_VCB_INITIALIZED;
    return STATUS_SUCCESS;
}

void ZarFsVCBFree(ZARFS_VCB* vcb)
{
    if (!(vcb->Flags & ZARFS_VCB_INITIALIZED)) return;
    // The I/O manager closes every file object before a driver unloads, so
    // only the root is left.
    FreeFcb(vcb->Root);
    vcb->Root = nullptr;
    ExDeleteResourceLite(&vcb->Resource);
    FsRtlNotifyUninitializeSync(&vcb->NotifySync);
    vcb->Flags = 0;
}

NTSTATUS ZarFsVCBLockVolume(ZARFS_VCB* vcb, PFILE_OBJECT locker)
{
    if ((vcb->Flags & ZARFS_VCB_LOCKED) || vcb->Root->OpenCount != 0 || !IsListEmpty(&vcb->Root->Children))
        return STATUS_ACCESS_DENIED;
    vcb->Flags |= ZARFS_VCB_LOCKED;
    vcb->Locker = locker;
    return STATUS_SUCCESS;
}

void ZarFsVCBUnlockVolume(ZARFS_VCB* vcb)
{
    vcb->Flags &= ~ZARFS_VCB_LOCKED;
    vcb->Locker = nullptr;
}

NTSTATUS ZarFsFCBCreate(ZARFS_VCB* vcb, ZARFS_FCB* parent, const ZARFS_DIR_SEARCH_ENTRY* entry, ZARFS_FCB** out)
{
    auto* fcb = static_cast<ZARFS_FCB*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_FCB), kFcbTag));
    if (fcb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitializeFcb(fcb);
    fcb->Parent = parent;
    fcb->Kind = ZARFS_NODE_KIND(parent->Kind + 1);
    fcb->Flags = entry->Directory ? ZARFS_FCB_DIRECTORY : 0;
    fcb->Time = entry->Time;
    fcb->TypeIndex = parent->Kind == ZarFsNodeRoot ? entry->Value : parent->TypeIndex;
    fcb->FolderSlot = parent->FolderSlot;
    SetName(fcb, entry->Name, entry->NameLength / sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    switch (fcb->Kind) {
    case ZarFsNodeVolume:
        // Holding the volume keeps it from being formatted over while open.
        fcb->Volume = ZarFsHwOpenVolume(Hw(vcb), fcb->Name, fcb->NameChars);
        if (fcb->Volume == nullptr) status = STATUS_OBJECT_NAME_NOT_FOUND;
        break;
    case ZarFsNodeFolder:
        fcb->Volume = parent->Volume;
        fcb->Volume->OpenCount++;
        fcb->FolderSlot = entry->Value;
        break;
    case ZarFsNodeFile:
        fcb->Volume = parent->Volume;
        fcb->Volume->OpenCount++;
        fcb->FileSlot = entry->Index;
        fcb->FileBlock = entry->Value;
        fcb->FileEntry =
            static_cast<ZAR_FILE_INFO*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZAR_FILE_INFO), kFcbTag));
        if (fcb->FileEntry == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            status = ZarFsHwReadFileEntry(Hw(vcb), fcb->Volume, fcb->FileBlock, fcb->FileEntry);
        break;
    case ZarFsNodeFrame:
        fcb->Volume = parent->Volume;
        fcb->Volume->OpenCount++;
        fcb->FileSlot = parent->FileSlot;
        fcb->FileBlock = parent->FileBlock;
        // Below the clip's frame count the index is the frame a frame file shows.
        fcb->FrameIndex = entry->Index;
        if (parent->FileEntry != nullptr && entry->Index >= ZarFsFrameFileCount(parent->FileEntry)) {
            // Past the frames: a RAM file of the clip, which must exist.
            UNICODE_STRING name{USHORT(fcb->NameChars * sizeof(WCHAR)), USHORT(sizeof fcb->Name), fcb->Name};
            status = ZarFsFCBSetupFullName(parent);
            if (NT_SUCCESS(status) &&
                !ZarFsVFFindFile(&fcb->Volume->RamFiles, &parent->FullName, &name, &fcb->RamFile, nullptr))
                status = STATUS_NO_SUCH_FILE;
            fcb->Flags |= ZARFS_FCB_VIRTUAL;
        }
        break;
    default:
        break;
    }
    if (!NT_SUCCESS(status)) {
        FreeFcb(fcb);
        return status;
    }
    InsertTailList(&parent->Children, &fcb->Sibling);
    *out = fcb;
    return STATUS_SUCCESS;
}

ZARFS_FCB* ZarFsFCBFindChild(ZARFS_FCB* parent, PCWSTR name, ULONG chars)
{
    for (PLIST_ENTRY e = parent->Children.Flink; e != &parent->Children; e = e->Flink) {
        auto* child = CONTAINING_RECORD(e, ZARFS_FCB, Sibling);
        if (child->Flags & ZARFS_FCB_DELETED) continue;
        if (NamesEqual(child->Name, child->NameChars, name, chars)) return child;
    }
    return nullptr;
}

void ZarFsFCBRemove(ZARFS_FCB* fcb)
{
    while (fcb != nullptr && !(fcb->Flags & ZARFS_FCB_ROOT)) {
        if (fcb->OpenCount != 0 || !IsListEmpty(&fcb->Children)) return;
        ZARFS_FCB* parent = fcb->Parent;
        RemoveEntryList(&fcb->Sibling);
        FreeFcb(fcb);
        fcb = parent;
    }
}

NTSTATUS ZarFsFCBSetupFullName(ZARFS_FCB* fcb)
{
    if (fcb->FullName.Buffer != nullptr) return STATUS_SUCCESS;
    ULONG chars = 0;
    for (ZARFS_FCB* f = fcb; !(f->Flags & ZARFS_FCB_ROOT); f = f->Parent) chars += 1 + f->NameChars;
    if (chars == 0) chars = 1;
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (chars + 1) * sizeof(WCHAR), kFcbTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    buffer[chars] = 0;
    buffer[0] = u'\\';
    ULONG end = chars;
    for (ZARFS_FCB* f = fcb; !(f->Flags & ZARFS_FCB_ROOT); f = f->Parent) {
        end -= f->NameChars;
        RtlCopyMemory(buffer + end, f->Name, f->NameChars * sizeof(WCHAR));
        buffer[--end] = u'\\';
    }
    fcb->FullName.Buffer = buffer;
    fcb->FullName.Length = USHORT(chars * sizeof(WCHAR));
    fcb->FullName.MaximumLength = USHORT((chars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void ZarFsFCBRemoveFullNames(ZARFS_FCB* fcb)
{
    if (fcb->FullName.Buffer != nullptr) ExFreePoolWithTag(fcb->FullName.Buffer, kFcbTag);
    fcb->FullName = {};
    for (PLIST_ENTRY e = fcb->Children.Flink; e != &fcb->Children; e = e->Flink)
        ZarFsFCBRemoveFullNames(CONTAINING_RECORD(e, ZARFS_FCB, Sibling));
}

BOOLEAN ZarFsFCBHasOpenDescendant(ZARFS_FCB* fcb)
{
    for (PLIST_ENTRY e = fcb->Children.Flink; e != &fcb->Children; e = e->Flink) {
        auto* child = CONTAINING_RECORD(e, ZARFS_FCB, Sibling);
        if (child->OpenCount != 0 || ZarFsFCBHasOpenDescendant(child)) return TRUE;
    }
    return FALSE;
}

BOOLEAN ZarFsFCBCanSetDisposition(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    if (fcb->Flags & ZARFS_FCB_PORT) return FALSE;
    switch (fcb->Kind) {
    case ZarFsNodeFolder: {
        ZARFS_DIR_SEARCH_ENTRY entry;
        return !ZarFsFindDirEntry(vcb, fcb, nullptr, 0, &entry);
    }
    case ZarFsNodeFile:
        // Through a folder that shows media files as frames the file is a
        // directory of views; it goes only through its native type.
        return ZarFsTypePresentation(fcb->TypeIndex) == 0;
    case ZarFsNodeFrame:
        // A frame file is a view of one frame; the media file goes only as a whole.
        return (fcb->Flags & ZARFS_FCB_VIRTUAL) != 0;
    default:
        return FALSE;
    }
}

NTSTATUS ZarFsFCBDeleteEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb)
{
    if (fcb->Flags & ZARFS_FCB_PORT) return STATUS_CANNOT_DELETE;
    switch (fcb->Kind) {
    case ZarFsNodeFolder:
        if (!ZarFsFCBCanSetDisposition(vcb, fcb)) return STATUS_DIRECTORY_NOT_EMPTY;
        return ZarFsHwRemoveFolder(Hw(vcb), fcb->Volume, fcb->FolderSlot);
    case ZarFsNodeFile: {
        NTSTATUS status = ZarFsFCBSetupFullName(fcb);
        if (!NT_SUCCESS(status)) return status;
        ZarFsFileReleaseBodyTable(vcb, fcb);
        ZarFsBTRemoveObjectByName(&vcb->Card->BodyTables, &fcb->FullName);
        status = ZarFsHwRemoveFile(Hw(vcb), fcb->Volume, fcb->FolderSlot, fcb->FileSlot);
        if (!NT_SUCCESS(status)) return status;
        // The clip's RAM files go with it: nothing could reach them any more.
        UNICODE_STRING clipPath = PathPastType(fcb);
        ForgetDeletedClip(vcb->Root, fcb, &clipPath);
        ZarFsVFDeleteClipFiles(&fcb->Volume->RamFiles, &clipPath);
        return STATUS_SUCCESS;
    }
    case ZarFsNodeFrame:
        if (fcb->RamFile == nullptr) return STATUS_CANNOT_DELETE;
        ZarFsVFDeleteFile(&fcb->Volume->RamFiles, fcb->RamFile);
        fcb->RamFile = nullptr;
        return STATUS_SUCCESS;
    default:
        return STATUS_CANNOT_DELETE;
    }
}

NTSTATUS ZarFsFCBRename(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PCWSTR name, ULONG chars)
{
    if (fcb->Flags & (ZARFS_FCB_PORT | ZARFS_FCB_VIRTUAL)) return STATUS_ACCESS_DENIED;
    // Frame files take their names from the media file.
    if (ZarFsIsFrameFile(fcb)) return STATUS_ACCESS_DENIED;
    NTSTATUS status = ZarFsFCBSetupFullName(fcb);
    if (!NT_SUCCESS(status)) return status;
    switch (fcb->Kind) {
    case ZarFsNodeVolume:
        status = ZarFsHwRenameVolume(Hw(vcb), fcb->Volume, name, chars);
        break;
    case ZarFsNodeFolder:
        status = ZarFsHwRenameFolder(Hw(vcb), fcb->Volume, fcb->FolderSlot, name, chars);
        break;
    case ZarFsNodeFile:
        // The cached body tables carry the old name; they are read again
        // under the new one.
        ZarFsFileReleaseBodyTable(vcb, fcb);
        ZarFsBTRemoveObjectByName(&vcb->Card->BodyTables, &fcb->FullName);
        status = ZarFsHwRenameFile(Hw(vcb), fcb->Volume, fcb->FileBlock, name, chars);
        if (NT_SUCCESS(status)) ZarFsHwStoreName(fcb->FileEntry->Name, name, chars);
        break;
    default:
        return STATUS_ACCESS_DENIED;
    }
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING oldPath;
    PWCHAR saved = SaveOldPath(fcb, &oldPath);
    ZarFsFCBRemoveFullNames(fcb);
    SetName(fcb, name, chars);
    RamFilesFollow(fcb, saved, &oldPath);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsFCBMove(ZARFS_VCB* vcb, ZARFS_FCB* target, ZARFS_FCB* fcb, PCWSTR name, ULONG chars)
{
    if (fcb->Flags & (ZARFS_FCB_PORT | ZARFS_FCB_VIRTUAL) || fcb->FileEntry == nullptr) return STATUS_ACCESS_DENIED;
    if (fcb->TypeIndex != 0) return STATUS_ACCESS_DENIED;
    NTSTATUS status = ZarFsFCBSetupFullName(fcb);
    if (!NT_SUCCESS(status)) return status;
    ZarFsFileReleaseBodyTable(vcb, fcb);
    ZarFsBTRemoveObjectByName(&vcb->Card->BodyTables, &fcb->FullName);
    // The file takes the lowest free slot of the target folder.
    static_assert(ZARFS_FILES_PER_FOLDER == 2048);
    ZARFS_DIR_ENTRY* folder =
        static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), kFcbTag));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = ZarFsHwMoveFile(Hw(vcb), fcb->Volume, fcb->FolderSlot, fcb->FileSlot, target->FolderSlot, name, chars);
    if (NT_SUCCESS(status)) status = ZarFsHwReadDirEntry(Hw(vcb), fcb->Volume, target->FolderSlot, folder);
    if (NT_SUCCESS(status)) {
        for (ULONG slot = 0; slot < ZARFS_FILES_PER_FOLDER; ++slot)
            if (folder->FileSlots[slot] == fcb->FileBlock) fcb->FileSlot = slot;
        ZarFsHwStoreName(fcb->FileEntry->Name, name, chars);
        UNICODE_STRING oldPath;
        PWCHAR saved = SaveOldPath(fcb, &oldPath);
        ZarFsFCBRemoveFullNames(fcb);
        RemoveEntryList(&fcb->Sibling);
        ZARFS_FCB* oldParent = fcb->Parent;
        fcb->Parent = target;
        fcb->FolderSlot = target->FolderSlot;
        InsertTailList(&target->Children, &fcb->Sibling);
        SetName(fcb, name, chars);
        RamFilesFollow(fcb, saved, &oldPath);
        ZarFsFCBRemove(oldParent);
    }
    ExFreePoolWithTag(folder, kFcbTag);
    return status;
}

NTSTATUS ZarFsFCBCreatePort(ZARFS_VCB* vcb, ZARFS_FCB* parent, ZARFS_FCB** out)
{
    (void)vcb;
    auto* fcb = static_cast<ZARFS_FCB*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_FCB), kFcbTag));
    if (fcb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitializeFcb(fcb);
    fcb->Parent = parent;
    fcb->Kind = ZARFS_NODE_KIND(parent->Kind + 1);
    fcb->Flags = ZARFS_FCB_PORT;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    fcb->Time = ULONGLONG(now.QuadPart);
    fcb->TypeIndex = parent->Kind == ZarFsNodeRoot ? 0xFF : parent->TypeIndex;
    fcb->FolderSlot = parent->FolderSlot;
    fcb->Volume = parent->Volume;
    if (fcb->Volume != nullptr) fcb->Volume->OpenCount++;
    SetName(fcb, ZARFS_PORT_FILE_NAME, sizeof ZARFS_PORT_FILE_NAME / sizeof(WCHAR) - 1);
    InsertTailList(&parent->Children, &fcb->Sibling);
    *out = fcb;
    return STATUS_SUCCESS;
}

ZARFS_CCB* ZarFsCCBAllocate(ZARFS_FCB* fcb, PFILE_OBJECT file, ACCESS_MASK access)
{
    auto* ccb = static_cast<ZARFS_CCB*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_CCB), kCcbTag));
    if (ccb == nullptr) return nullptr;
    RtlZeroMemory(ccb, sizeof *ccb);
    ccb->Tag = ZARFS_CCB_TAG;
    ccb->Fcb = fcb;
    ccb->File = file;
    ccb->Access = access;
    return ccb;
}

void ZarFsCCBFree(ZARFS_CCB* ccb)
{
    if (ccb->Port != nullptr) ZarFsComPortFree(ccb->Port);
    ExFreePoolWithTag(ccb, kCcbTag);
}

ZARFS_REQUEST_TYPE ZarFsGetRequestType(PFILE_OBJECT file, ZARFS_VCB** vcb, ZARFS_FCB** fcb, ZARFS_CCB** ccb)
{
    *vcb = nullptr;
    *fcb = nullptr;
    *ccb = nullptr;
    if (file == nullptr || file->FsContext2 == nullptr) return ZarFsRequestUnknown;
    auto* c = static_cast<ZARFS_CCB*>(file->FsContext2);
    if (c->Tag != ZARFS_CCB_TAG) return ZarFsRequestUnknown;
    *ccb = c;
    *vcb = static_cast<ZARFS_VCB*>(file->FsContext);
    if (c->Fcb == nullptr) return ZarFsRequestVolume;
    *fcb = c->Fcb;
    return (c->Fcb->Flags & ZARFS_FCB_DIRECTORY) ? ZarFsRequestFolder : ZarFsRequestFile;
}

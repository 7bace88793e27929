// Directory control on the media drive: the enumeration of every node
// kind's children by a running index, directory queries with the four
// record classes and the search state a handle keeps, and the request
// helpers the media drive's routines share.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kDirTag = ZarFsTag("ZDIR");
constexpr UCHAR kMinorQueryDirectory = 0x01;   // IRP_MN_QUERY_DIRECTORY
constexpr UCHAR kMinorNotifyChange = 0x02;     // IRP_MN_NOTIFY_CHANGE_DIRECTORY
constexpr UCHAR kWatchTree = 0x01;             // SL_WATCH_TREE
constexpr UCHAR kRestartScan = 0x01;           // SL_RESTART_SCAN
constexpr UCHAR kReturnSingleEntry = 0x02;     // SL_RETURN_SINGLE_ENTRY
constexpr UCHAR kIndexSpecified = 0x04;        // SL_INDEX_SPECIFIED

ULONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return ULONGLONG(t.QuadPart);
}

void SetEntryName(ZARFS_DIR_SEARCH_ENTRY* entry, PCWSTR name, ULONG chars)
{
    if (chars > ZARFS_MAX_COMPONENT) chars = ZARFS_MAX_COMPONENT;
    RtlCopyMemory(entry->Name, name, chars * sizeof(WCHAR));
    entry->Name[chars] = 0;
    entry->NameLength = chars * sizeof(WCHAR);
}

bool Matches(const ZARFS_CCB* ccb, const ZARFS_DIR_SEARCH_ENTRY* entry)
{
    if (ccb == nullptr || (ccb->Flags & ZARFS_CCB_MATCH_ALL)) return true;
    WCHAR upper[ZARFS_NAME_CHARS];
    ULONG chars = entry->NameLength / sizeof(WCHAR);
    for (ULONG i = 0; i < chars; ++i) upper[i] = RtlUpcaseUnicodeChar(entry->Name[i]);
    UNICODE_STRING name{USHORT(entry->NameLength), USHORT(entry->NameLength), upper};
    if (ccb->Wild) return FsRtlIsNameInExpression(&ccb->SearchName, &name, FALSE, nullptr);
    return FsRtlAreNamesEqual(&ccb->SearchName, &name, TRUE, nullptr);
}

// The children of a media file shown as a directory: one frame file a
// frame at the indexes below the frame count, named and sized after the
// type the clip was opened through; the clip's RAM files follow them in
// list order.
template <typename Accept>
BOOLEAN EnumerateClip(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ULONG start, ZARFS_DIR_SEARCH_ENTRY* entry, Accept accept)
{
    const ZAR_FILE_INFO* file = fcb->FileEntry;
    const ULONG frames = ZarFsFrameFileCount(file);
    const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(fcb->TypeIndex);
    const ZAR_FILE_SYSTEM_PREFS& prefs = vcb->Card->Prefs;
    for (ULONG frame = start; type != nullptr && frame < frames; ++frame) {
        entry->Index = frame;
        entry->Directory = FALSE;
        entry->Time = file->CreationTime;
        entry->Size = ZarFsFrameFileSize(file, type);
        entry->Value = 0;
        ULONG chars = ZarFsConstructFileFrameName(file->Name, ZarFsHwNameLength(file->Name), type, file->FrameCount,
                                                  frame, prefs.BaseFrameNumber, prefs.MinFrameDigits, entry->Name);
        entry->NameLength = chars * sizeof(WCHAR);
        if (accept(entry)) return TRUE;
    }
    if (!NT_SUCCESS(ZarFsFCBSetupFullName(fcb))) return FALSE;
    ULONG position = start > frames ? start - frames : 0;
    ZARFS_RAM_FILE* ram = nullptr;
    for (; ZarFsVFFindNextFile(&fcb->Volume->RamFiles, &fcb->FullName, &position, &ram); ++position) {
        entry->Index = frames + position;
        entry->Directory = FALSE;
        entry->Time = ram->Time;
        entry->Size = ram->EndOfFile;
        entry->Value = 0;
        SetEntryName(entry, ram->Name.Buffer, ram->Name.Length / sizeof(WCHAR));
        if (accept(entry)) return TRUE;
    }
    return FALSE;
}

// The children of one node kind, from 'start'; 'accept' says whether one
// ends the search.
template <typename Accept>
BOOLEAN Enumerate(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ULONG start, ZARFS_DIR_SEARCH_ENTRY* entry, Accept accept)
{
    ZARFS_HW_CONTEXT* hw = &vcb->Card->Hw;
    RtlZeroMemory(entry, sizeof *entry);
    switch (fcb->Kind) {
    case ZarFsNodeRoot: {
        // One folder per file type: the built-in one and those a service registered.
        for (ULONG i = start; i < ZarFsGlobFileTypeCount(); ++i) {
            const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(i);
            entry->Index = i;
            entry->Directory = TRUE;
            entry->Value = i;
            if (!ZarFsHwGetLatestVolumeTime(hw, &entry->Time)) entry->Time = Now();
            ULONG chars = 0;
            while (chars < 3 && type->Extension[chars] != 0) ++chars;
            SetEntryName(entry, type->Extension, chars);
            if (accept(entry)) return TRUE;
        }
        return FALSE;
    }
    case ZarFsNodeFileType: {
        ULONG i = 0;
        for (PLIST_ENTRY e = hw->Volumes.Flink; e != &hw->Volumes; e = e->Flink) {
            auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
            if (!ZarFsHwVolumeUsable(v)) continue;
            if (i >= start) {
                entry->Index = i;
                entry->Directory = TRUE;
                entry->Time = v->CreationTime;
                entry->Size = 0;
                SetEntryName(entry, v->Name, ZarFsHwNameLength(v->Name));
                if (accept(entry)) return TRUE;
            }
            ++i;
        }
        return FALSE;
    }
    case ZarFsNodeVolume:
    case ZarFsNodeFolder: {
        auto* dir = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), kDirTag));
        if (dir == nullptr) return FALSE;
        BOOLEAN found = FALSE;
        ZARFS_HW_VOLUME* volume = fcb->Volume;
        if (fcb->Kind == ZarFsNodeVolume) {
            for (ULONG slot = start; slot < ZARFS_FOLDER_SLOTS && !found; ++slot) {
                if (!(volume->FolderBitmap[slot / 32] & (1u << (slot % 32)))) continue;
                if (!NT_SUCCESS(ZarFsHwReadDirEntry(hw, volume, slot, dir)) || !dir->InUse) continue;
                entry->Index = slot;
                entry->Directory = TRUE;
                entry->Time = dir->CreationTime;
                entry->Value = slot;
                SetEntryName(entry, dir->Name, ZarFsHwNameLength(dir->Name));
                found = accept(entry);
            }
        } else if (NT_SUCCESS(ZarFsHwReadDirEntry(hw, volume, fcb->FolderSlot, dir))) {
            auto* file = static_cast<ZAR_FILE_INFO*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZAR_FILE_INFO), kDirTag));
            for (ULONG slot = start; file != nullptr && slot < ZARFS_FILES_PER_FOLDER && !found; ++slot) {
                ULONG block = dir->FileSlots[slot];
                if (block == 0 || !NT_SUCCESS(ZarFsHwReadFileEntry(hw, volume, block, file))) continue;
                entry->Index = slot;
                entry->Directory = ZarFsTypePresentation(fcb->TypeIndex) == ZARFS_PRESENT_FRAMES;
                entry->Time = file->CreationTime;
                entry->Size = ZarFsFileSize(file);
                entry->Value = block;
                SetEntryName(entry, file->Name, ZarFsHwNameLength(file->Name));
                found = accept(entry);
            }
            if (file != nullptr) ExFreePoolWithTag(file, kDirTag);
        }
        ExFreePoolWithTag(dir, kDirTag);
        return found;
    }
    case ZarFsNodeFile:
        // A media file of the built-in type is one clip file, with no children.
        if (!(fcb->Flags & ZARFS_FCB_DIRECTORY) || fcb->FileEntry == nullptr) return FALSE;
        return EnumerateClip(vcb, fcb, start, entry, accept);
    default:
        return FALSE;
    }
}

struct RecordLayout {
    ULONG fixed;
    ULONG nameLengthOffset;
    ULONG nameOffset;
};

bool LayoutOf(ULONG infoClass, RecordLayout* layout)
{
    switch (infoClass) {
    case FileDirectoryInformation:
        *layout = {offsetof(FILE_DIRECTORY_INFORMATION, FileName), offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength),
                   offsetof(FILE_DIRECTORY_INFORMATION, FileName)};
        return true;
    case FileFullDirectoryInformation:
        *layout = {offsetof(FILE_FULL_DIR_INFORMATION, FileName), offsetof(FILE_FULL_DIR_INFORMATION, FileNameLength),
                   offsetof(FILE_FULL_DIR_INFORMATION, FileName)};
        return true;
    case FileBothDirectoryInformation:
        *layout = {offsetof(FILE_BOTH_DIR_INFORMATION, FileName), offsetof(FILE_BOTH_DIR_INFORMATION, FileNameLength),
                   offsetof(FILE_BOTH_DIR_INFORMATION, FileName)};
        return true;
    case FileNamesInformation:
        *layout = {offsetof(FILE_NAMES_INFORMATION, FileName), offsetof(FILE_NAMES_INFORMATION, FileNameLength),
                   offsetof(FILE_NAMES_INFORMATION, FileName)};
        return true;
    default:
        return false;
    }
}

// The fixed part of one record; the first three classes share the
// layout of FILE_DIRECTORY_INFORMATION up to the name length.
void FillFixed(PUCHAR record, ULONG infoClass, const RecordLayout& layout, const ZARFS_DIR_SEARCH_ENTRY* entry)
{
    RtlZeroMemory(record, layout.fixed);
    auto* common = reinterpret_cast<FILE_DIRECTORY_INFORMATION*>(record);
    common->FileIndex = entry->Index;
    if (infoClass != FileNamesInformation) {
        common->CreationTime.QuadPart = LONGLONG(entry->Time);
        common->LastWriteTime.QuadPart = LONGLONG(entry->Time);
        common->EndOfFile.QuadPart = LONGLONG(entry->Size);
        common->AllocationSize.QuadPart = LONGLONG(entry->Size);
        common->FileAttributes =
            entry->Directory ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL;
    }
    RtlCopyMemory(record + layout.nameLengthOffset, &entry->NameLength, sizeof(ULONG));
}

// The search state of a handle's first query: no name, an empty one or "*"
// lists everything; any other is kept upper-cased.
NTSTATUS SetUpSearch(ZARFS_CCB* ccb, PUNICODE_STRING name)
{
    ULONG chars = name != nullptr && name->Buffer != nullptr ? name->Length / sizeof(WCHAR) : 0;
    if (chars == 0 || (chars == 1 && name->Buffer[0] == u'*')) {
        ccb->Flags |= ZARFS_CCB_MATCH_ALL | ZARFS_CCB_SEARCH_SET;
        return STATUS_SUCCESS;
    }
    if (chars > ZARFS_MAX_COMPONENT) return STATUS_OBJECT_NAME_INVALID;
    for (ULONG i = 0; i < chars; ++i) ccb->SearchBuffer[i] = RtlUpcaseUnicodeChar(name->Buffer[i]);
    ccb->SearchName = {USHORT(chars * sizeof(WCHAR)), USHORT(sizeof ccb->SearchBuffer), ccb->SearchBuffer};
    ccb->Wild = FsRtlDoesNameContainWildCards(&ccb->SearchName);
    ccb->Flags |= ZARFS_CCB_SEARCH_SET;
    return STATUS_SUCCESS;
}

NTSTATUS QueryDirectory(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CCB* ccb, PIRP irp, PIO_STACK_LOCATION stack,
                        ULONG_PTR* information)
{
    RecordLayout layout;
    ULONG infoClass = stack->Parameters.QueryDirectory.FileInformationClass;
    if (!LayoutOf(infoClass, &layout)) return STATUS_INVALID_INFO_CLASS;
    ULONG length = stack->Parameters.QueryDirectory.Length;
    auto* buffer = static_cast<PUCHAR>(ZarFsRequestBuffer(irp));
    if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (length < layout.fixed) return STATUS_BUFFER_TOO_SMALL;

    bool first = !(ccb->Flags & ZARFS_CCB_SEARCH_SET);
    if (first) {
        NTSTATUS status = SetUpSearch(ccb, stack->Parameters.QueryDirectory.FileName);
        if (!NT_SUCCESS(status)) return status;
    }
    ULONG index = ccb->Index;
    if (stack->Flags & kIndexSpecified)
        index = stack->Parameters.QueryDirectory.FileIndex + 1;
    else if (stack->Flags & kRestartScan)
        index = 0;

    auto* entry = static_cast<ZARFS_DIR_SEARCH_ENTRY*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_SEARCH_ENTRY), kDirTag));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG used = 0, previous = 0;
    bool any = false;
    // One walk of the children fills the buffer: a folder's entry is read
    // once a query, not once a record.
    Enumerate(vcb, fcb, index, entry, [&](const ZARFS_DIR_SEARCH_ENTRY* found) {
        if (!Matches(ccb, found)) return false;
        ULONG offset = any ? (used + 7) & ~7u : 0;
        ULONG size = layout.fixed + found->NameLength;
        if (any && (offset > length || length - offset < size)) return true;  // the next query returns it
        FillFixed(buffer + offset, infoClass, layout, found);
        ULONG nameBytes = found->NameLength;
        if (!any && size > length) {
            // The first record is always given, with its name cut to the buffer.
            nameBytes = (length - layout.fixed) & ~1u;
            status = STATUS_BUFFER_OVERFLOW;
        }
        RtlCopyMemory(buffer + offset + layout.nameOffset, found->Name, nameBytes);
        if (any) *reinterpret_cast<PULONG>(buffer + previous) = offset - previous;
        previous = offset;
        used = offset + layout.fixed + nameBytes;
        any = true;
        index = found->Index + 1;
        return status == STATUS_BUFFER_OVERFLOW || (stack->Flags & kReturnSingleEntry) != 0;
    });
    if (!any) status = (first && !(ccb->Flags & ZARFS_CCB_QUERIED)) ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    ExFreePoolWithTag(entry, kDirTag);
    ccb->Flags |= ZARFS_CCB_QUERIED;
    if (any) ccb->Index = index;
    *information = used;
    return status;
}

}  // namespace

void ZarFsNotifyChange(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ULONG filter, ULONG action)
{
    if (!NT_SUCCESS(ZarFsFCBSetupFullName(fcb))) return;
    USHORT nameOffset = USHORT(fcb->FullName.Length - fcb->NameChars * sizeof(WCHAR));
    FsRtlNotifyFullReportChange(vcb->NotifySync, &vcb->NotifyList, &fcb->FullName, nameOffset, filter, action);
}

ULONG ZarFsTypePresentation(ULONG typeIndex)
{
    const ZARFS_FILE_TYPE* type = ZarFsGlobFileType(typeIndex);
    return type != nullptr ? type->Presentation : 0;
}

ULONGLONG ZarFsFileSize(const ZAR_FILE_INFO* entry)
{
    return entry->MediaKind == ZARFS_MEDIA_FRAMES ? ZarFsKIVGetTotalFileSize(entry) : entry->FileSize;
}

BOOLEAN ZarFsFindDirEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb, const ZARFS_CCB* ccb, ULONG start,
                          ZARFS_DIR_SEARCH_ENTRY* entry)
{
    return Enumerate(vcb, fcb, start, entry, [ccb](const ZARFS_DIR_SEARCH_ENTRY* e) { return Matches(ccb, e); });
}

namespace {

// The name index of a folder, built from the name of each of its files
// (from the entry cache, or read), as its slots stand in 'dir'. False
// when a file entry cannot be read or the index cannot be kept.
bool IndexFolderNames(ZARFS_HW_CONTEXT* hw, ZARFS_HW_VOLUME* volume, ULONG folderBlock, const ZARFS_DIR_ENTRY* dir)
{
    ULONG changes = ZarFsVolCacheNameChanges(&volume->Cache);
    auto* hashes = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, sizeof dir->FileSlots, kDirTag));
    auto* file = static_cast<ZAR_FILE_INFO*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZAR_FILE_INFO), kDirTag));
    bool read = hashes != nullptr && file != nullptr;
    for (ULONG slot = 0; read && slot < ZARFS_FILES_PER_FOLDER; ++slot) {
        ULONG block = dir->FileSlots[slot];
        hashes[slot] = 0;
        if (block == 0 || ZarFsVolCacheFileEntryNameHash(&volume->Cache, block, &hashes[slot])) continue;
        read = NT_SUCCESS(ZarFsHwReadFileEntry(hw, volume, block, file));
        if (read) hashes[slot] = ZarFsVolCacheNameHash(file->Name, ZarFsHwNameLength(file->Name));
    }
    bool indexed = read && ZarFsVolCacheIndexFolderNames(&volume->Cache, folderBlock, dir->FileSlots, hashes, changes);
    if (file != nullptr) ExFreePoolWithTag(file, kDirTag);
    if (hashes != nullptr) ExFreePoolWithTag(hashes, kDirTag);
    return indexed;
}

}  // namespace

BOOLEAN ZarFsFindDirEntryByName(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PCWSTR name, ULONG chars,
                                ZARFS_DIR_SEARCH_ENTRY* entry)
{
    auto named = [name, chars](const ZARFS_DIR_SEARCH_ENTRY* e) {
        if (e->NameLength != chars * sizeof(WCHAR)) return false;
        for (ULONG i = 0; i < chars; ++i)
            if (RtlUpcaseUnicodeChar(e->Name[i]) != RtlUpcaseUnicodeChar(name[i])) return false;
        return true;
    };
    if (fcb->Kind != ZarFsNodeFolder) return Enumerate(vcb, fcb, 0, entry, named);
    ZARFS_HW_CONTEXT* hw = &vcb->Card->Hw;
    ZARFS_HW_VOLUME* volume = fcb->Volume;
    auto slotNamed = [&](ULONG slot) {
        bool hit = false;
        Enumerate(vcb, fcb, slot, entry, [&](const ZARFS_DIR_SEARCH_ENTRY* e) {
            hit = e->Index == slot && named(e);
            return true;  // one slot only
        });
        return hit;
    };
    // A create checks its name against the folder's: the folder's name
    // index gives the few slots whose names hash alike (none, nearly
    // always, for a new name), each then looked at whole. A folder without
    // an index gets one, from one pass over its files.
    const ULONG folderBlock = ZarFsHwFolderBlock(volume->FolderAreaFirst, fcb->FolderSlot);
    const ULONG hash = ZarFsVolCacheNameHash(name, chars);
    ULONG slots[16];
    LONG candidates = ZarFsVolCacheFolderNameSlots(&volume->Cache, folderBlock, hash, slots, 16);
    auto* dir = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), kDirTag));
    if (dir == nullptr) return FALSE;
    BOOLEAN found = FALSE;
    if (NT_SUCCESS(ZarFsHwReadDirEntry(hw, volume, fcb->FolderSlot, dir))) {
        if (candidates < 0 && IndexFolderNames(hw, volume, folderBlock, dir))
            candidates = ZarFsVolCacheFolderNameSlots(&volume->Cache, folderBlock, hash, slots, 16);
        if (candidates >= 0) {
            for (LONG i = 0; i < candidates && !found; ++i) found = slotNamed(slots[i]);
        } else {
            // No index: every clip of the folder in slot order, the entry
            // cache ruling out a cached clip without copying its entry out.
            for (ULONG slot = 0; slot < ZARFS_FILES_PER_FOLDER && !found; ++slot) {
                ULONG block = dir->FileSlots[slot];
                if (block == 0 || ZarFsVolCacheFileEntryNameIs(&volume->Cache, block, name, chars) == 0) continue;
                found = slotNamed(slot);
            }
        }
    }
    ExFreePoolWithTag(dir, kDirTag);
    return found;
}

NTSTATUS ZarFsDirectoryCtrl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ZARFS_VCB* vcb = ZarFsDeviceVcb(device);
    if (vcb == nullptr) return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->MinorFunction != kMinorQueryDirectory && stack->MinorFunction != kMinorNotifyChange)
        return ZarFsCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    ZARFS_VCB* fileVcb;
    ZARFS_FCB* fcb;
    ZARFS_CCB* ccb;
    if (ZarFsGetRequestType(stack->FileObject, &fileVcb, &fcb, &ccb) != ZarFsRequestFolder)
        return ZarFsCompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (stack->MinorFunction == kMinorNotifyChange) {
        // Waits in the notify list until a change, a cancel or the handle's cleanup.
        NTSTATUS status = ZarFsUnderResource(&vcb->Resource, false, [&]() -> NTSTATUS {
            NTSTATUS s = ZarFsFCBSetupFullName(fcb);
            if (NT_SUCCESS(s))
                FsRtlNotifyFullChangeDirectory(vcb->NotifySync, &vcb->NotifyList, ccb, &fcb->FullName,
                                               (stack->Flags & kWatchTree) != 0,
                                               stack->Parameters.NotifyDirectory.CompletionFilter, irp);
            return s;
        });
        return NT_SUCCESS(status) ? STATUS_PENDING : ZarFsCompleteRequest(irp, status, 0);
    }
    // Exclusive: the first query of a handle sets up its search state.
    ULONG_PTR information = 0;
    NTSTATUS status = ZarFsUnderResource(&vcb->Resource, true, [&] {
        return QueryDirectory(vcb, fcb, ccb, irp, stack, &information);
    });
    return ZarFsCompleteRequest(irp, status, information);
}

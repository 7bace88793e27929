// Folder and file entries: checked reads through the volume's caches,
// writes that keep the caches current, and the lifecycle of entries
// (create, remove, rename). Entries are always rewritten whole.

#include <cstring>

#include "zarfs_eventlog.h"
#include "zarfs_hw.h"

namespace {

void LogFileError(ZARFS_HW_CONTEXT* ctx, const char* text)
{
    ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_FILE_ERROR, STATUS_ACCESS_DENIED, nullptr, 0, text,
                      static_cast<const char*>(nullptr));
}

ULONG FolderBlock(const ZARFS_HW_VOLUME* volume, ULONG slot) { return ZarFsHwFolderBlock(volume->FolderAreaFirst, slot); }

}  // namespace

NTSTATUS ZarFsHwReadDirEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG slot, ZARFS_DIR_ENTRY* entry)
{
    if (slot >= ZARFS_FOLDER_SLOTS) return STATUS_INVALID_PARAMETER;
    ULONG block = FolderBlock(volume, slot);
    ZarFsHwLock(&ctx->EntryLock);
    NTSTATUS status = STATUS_SUCCESS;
    if (!ZarFsVolCacheFolderEntrySearch(&volume->Cache, block, entry)) {
        status = ZarFsHwSCSIReadEx(ctx, volume->ScsiIds[0], block, ZARFS_DIR_ENTRY_BLOCKS, ctx->EntryScratch, 0,
                                   ZarFsEntryDir, TRUE);
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(entry, ctx->EntryScratch, sizeof *entry);
            ZarFsVolCacheFolderEntryCache(&volume->Cache, entry, block);
        }
    }
    ZarFsHwUnlock(&ctx->EntryLock);
    return status;
}

NTSTATUS ZarFsHwReadFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, ZAR_FILE_INFO* entry)
{
    ZarFsHwLock(&ctx->FileLock);
    NTSTATUS status = STATUS_SUCCESS;
    if (!ZarFsVolCacheFileEntrySearch(&volume->Cache, block, entry)) {
        status = ZarFsHwSCSIReadEx(ctx, volume->ScsiIds[0], block, ZARFS_FILE_ENTRY_BLOCKS, ctx->FileScratch, 0,
                                   ZarFsEntryFile, FALSE);
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(entry, ctx->FileScratch, sizeof *entry);
            ZarFsVolCacheFileEntryCache(&volume->Cache, entry, block);
        }
    }
    ZarFsHwUnlock(&ctx->FileLock);
    return status;
}

NTSTATUS ZarFsHwWriteDirEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG slot, ZARFS_DIR_ENTRY* entry)
{
    ULONG block = FolderBlock(volume, slot);
    ZarFsHwSetChecksum(entry, ZarFsEntryDir);
    NTSTATUS status =
        ZarFsHwSCSIWriteEx(ctx, volume->ScsiIds[0], block, ZARFS_DIR_ENTRY_BLOCKS, entry, 0, ZarFsEntryDir);
    if (NT_SUCCESS(status)) ZarFsVolCacheFolderEntryCache(&volume->Cache, entry, block);
    return status;
}

NTSTATUS ZarFsHwWriteFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, ZAR_FILE_INFO* entry)
{
    if (entry->Checksum == 0 && entry->CreationTime == 0) return STATUS_SUCCESS;
    ZarFsHwSetChecksum(entry, ZarFsEntryFile);
    NTSTATUS status =
        ZarFsHwSCSIWriteEx(ctx, volume->ScsiIds[0], block, ZARFS_FILE_ENTRY_BLOCKS, entry, 0, ZarFsEntryFile);
    if (NT_SUCCESS(status)) ZarFsVolCacheFileEntryCache(&volume->Cache, entry, block);
    return status;
}

NTSTATUS ZarFsHwCreateFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PCWSTR name, ULONG chars, PULONG slot)
{
    if (!ZarFsHwIsValidFilename(name, chars)) return STATUS_OBJECT_NAME_INVALID;
    ULONG free = ZARFS_FOLDER_SLOTS;
    for (ULONG i = 0; i < ZARFS_FOLDER_SLOTS && free == ZARFS_FOLDER_SLOTS; ++i)
        if (!((volume->FolderBitmap[i / 32] >> (i % 32)) & 1)) free = i;
    if (free == ZARFS_FOLDER_SLOTS) {
        LogFileError(ctx, "Folder limit exceeded");
        return STATUS_ACCESS_DENIED;
    }
    auto* entry = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof *entry);
    RtlCopyMemory(entry->Magic, "FOL0", 4);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    entry->CreationTime = ULONGLONG(now.QuadPart);
    entry->InUse = 1;
    ZarFsHwStoreName(entry->Name, name, chars);
    NTSTATUS status = ZarFsHwWriteDirEntry(ctx, volume, free, entry);
    ExFreePoolWithTag(entry, ZarFsTag("ZDIR"));
    if (!NT_SUCCESS(status)) return status;
    volume->FolderBitmap[free / 32] |= 1u << (free % 32);
    ++volume->FolderCount;
    *slot = free;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsHwCreateFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot,
                                ZAR_FILE_INFO* entry, PULONG block)
{
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZarFsHwReadDirEntry(ctx, volume, folderSlot, folder);
    ULONG fileSlot = ZARFS_FILES_PER_FOLDER;
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < ZARFS_FILES_PER_FOLDER && fileSlot == ZARFS_FILES_PER_FOLDER; ++i)
            if (folder->FileSlots[i] == 0) fileSlot = i;
        if (fileSlot == ZARFS_FILES_PER_FOLDER) {
            LogFileError(ctx, "File limit exceeded");
            status = STATUS_ACCESS_DENIED;
        }
    }
    ULONG at = 0;
    if (NT_SUCCESS(status) &&
        !NT_SUCCESS(ZarFsVolAllocAllocateUpperSpace(&volume->Alloc, ZARFS_FILE_ENTRY_BLOCKS, &at)))
        status = STATUS_DISK_FULL;
    if (NT_SUCCESS(status)) {
        std::memcpy(entry->Magic, "FIL0", 4);
        status = ZarFsHwWriteFileEntry(ctx, volume, at, entry);
        if (NT_SUCCESS(status)) {
            folder->FileSlots[fileSlot] = at;
            ++folder->FileCount;
            status = ZarFsHwWriteDirEntry(ctx, volume, folderSlot, folder);
        }
        if (!NT_SUCCESS(status)) {
            ZarFsVolCacheFileEntryRemove(&volume->Cache, at);
            ZarFsVolAllocReleaseSpace(&volume->Alloc, at, ZARFS_FILE_ENTRY_BLOCKS);
        } else {
            *block = at;
        }
    }
    ExFreePoolWithTag(folder, ZarFsTag("ZDIR"));
    return status;
}

NTSTATUS ZarFsHwRemoveFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot, ULONG fileSlot)
{
    if (fileSlot >= ZARFS_FILES_PER_FOLDER) return STATUS_INVALID_PARAMETER;
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ZAR_FILE_INFO file;
    NTSTATUS status = ZarFsHwReadDirEntry(ctx, volume, folderSlot, folder);
    ULONG block = NT_SUCCESS(status) ? folder->FileSlots[fileSlot] : 0;
    if (NT_SUCCESS(status) && block == 0) status = STATUS_NO_SUCH_FILE;
    if (NT_SUCCESS(status)) status = ZarFsHwReadFileEntry(ctx, volume, block, &file);
    if (NT_SUCCESS(status)) {
        folder->FileSlots[fileSlot] = 0;
        if (folder->FileCount != 0) --folder->FileCount;
        status = ZarFsHwWriteDirEntry(ctx, volume, folderSlot, folder);
    }
    if (NT_SUCCESS(status)) {
        ZarFsVolCacheFileEntryRemove(&volume->Cache, block);
        ZARFS_ALLOC_OBJECT* alloc = &volume->Alloc;
        bool frames = file.MediaKind == ZARFS_MEDIA_FRAMES, alpha = (file.Flags & ZARFS_FILE_HAS_ALPHA) != 0;
        if (file.VideoFirstBlock && file.VideoBlocksPerDrive)
            ZarFsVolAllocReleaseSpace(alloc, file.VideoFirstBlock, file.VideoBlocksPerDrive);
        if (frames && file.VideoBodyTableFirst && file.VideoBodyTableBlocks)
            ZarFsVolAllocReleaseSpace(alloc, file.VideoBodyTableFirst, file.VideoBodyTableBlocks);
        if (alpha && file.AlphaFirstBlock && file.AlphaBlocksPerDrive)
            ZarFsVolAllocReleaseSpace(alloc, file.AlphaFirstBlock, file.AlphaBlocksPerDrive);
        if (alpha && file.AlphaBodyTableFirst && file.AlphaBodyTableBlocks)
            ZarFsVolAllocReleaseSpace(alloc, file.AlphaBodyTableFirst, file.AlphaBodyTableBlocks);
        ZarFsVolAllocReleaseSpace(alloc, block, ZARFS_FILE_ENTRY_BLOCKS);
    }
    ExFreePoolWithTag(folder, ZarFsTag("ZDIR"));
    return status;
}

NTSTATUS ZarFsHwRemoveFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot)
{
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZarFsHwReadDirEntry(ctx, volume, folderSlot, folder);
    if (NT_SUCCESS(status)) {
        folder->InUse = 0;
        status = ZarFsHwWriteDirEntry(ctx, volume, folderSlot, folder);
    }
    if (NT_SUCCESS(status)) {
        volume->FolderBitmap[folderSlot / 32] &= ~(1u << (folderSlot % 32));
        if (volume->FolderCount != 0) --volume->FolderCount;
    }
    ExFreePoolWithTag(folder, ZarFsTag("ZDIR"));
    return status;
}

NTSTATUS ZarFsHwRenameVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PCWSTR name, ULONG chars)
{
    if (!ZarFsHwIsValidFilename(name, chars)) return STATUS_OBJECT_NAME_INVALID;
    auto* entry = static_cast<ZARFS_VOLUME_ENTRY*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_VOLUME_ENTRY), ZarFsTag("ZVOL")));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WCHAR oldName[ZARFS_NAME_CHARS];
    RtlCopyMemory(oldName, volume->Name, sizeof oldName);
    // Drive by drive from index 0. A cut between two drives leaves the
    // names apart; discovery joins the drives by creation time and count.
    NTSTATUS status = STATUS_SUCCESS;
    ULONG written = 0;
    for (; written < volume->DriveCount && NT_SUCCESS(status); ++written) {
        ULONG id = volume->ScsiIds[written];
        status = ZarFsHwSCSIRead(ctx, id, 0, ZARFS_VOLUME_ENTRY_BLOCKS, entry, 0);
        if (!NT_SUCCESS(status)) break;
        ZarFsHwStoreName(entry->Name, name, chars);
        ZarFsHwSetChecksum(entry, ZarFsEntryVolume);
        status = ZarFsHwSCSIWriteEx(ctx, id, 0, ZARFS_VOLUME_ENTRY_BLOCKS, entry, 0, ZarFsEntryVolume);
        if (!NT_SUCCESS(status)) break;
        RtlCopyMemory(&ctx->Drives[id].VolumeEntry, entry, sizeof *entry);
    }
    // A failed rename keeps the old name: the drives already written get it
    // back, as far as they take it.
    for (ULONG i = 0; !NT_SUCCESS(status) && i < written; ++i) {
        ULONG id = volume->ScsiIds[i];
        ZARFS_VOLUME_ENTRY& kept = ctx->Drives[id].VolumeEntry;
        ZarFsHwStoreName(kept.Name, oldName, ZarFsHwNameLength(oldName));
        ZarFsHwSetChecksum(&kept, ZarFsEntryVolume);
        ZarFsHwSCSIWriteEx(ctx, id, 0, ZARFS_VOLUME_ENTRY_BLOCKS, &kept, 0, ZarFsEntryVolume);
    }
    ExFreePoolWithTag(entry, ZarFsTag("ZVOL"));
    if (!NT_SUCCESS(status)) return status;
    ZarFsHwStoreName(volume->Name, name, chars);
    ZarFsHwVolumeChangeNotify(ctx, volume, ZARFS_CHANGE_RENAMED);
    ZarFsHwResolveVolumeNameConflicts(ctx, oldName);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsHwRenameFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot, PCWSTR name,
                             ULONG chars)
{
    if (!ZarFsHwIsValidFilename(name, chars)) return STATUS_OBJECT_NAME_INVALID;
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    if (folder == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZarFsHwReadDirEntry(ctx, volume, folderSlot, folder);
    if (NT_SUCCESS(status)) {
        ZarFsHwStoreName(folder->Name, name, chars);
        status = ZarFsHwWriteDirEntry(ctx, volume, folderSlot, folder);
    }
    ExFreePoolWithTag(folder, ZarFsTag("ZDIR"));
    return status;
}

NTSTATUS ZarFsHwRenameFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, PCWSTR name, ULONG chars)
{
    if (!ZarFsHwIsValidFilename(name, chars)) return STATUS_OBJECT_NAME_INVALID;
    ZAR_FILE_INFO file;
    NTSTATUS status = ZarFsHwReadFileEntry(ctx, volume, block, &file);
    if (!NT_SUCCESS(status)) return status;
    ZarFsHwStoreName(file.Name, name, chars);
    return ZarFsHwWriteFileEntry(ctx, volume, block, &file);
}

NTSTATUS ZarFsHwMoveFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG fromFolder, ULONG fileSlot,
                         ULONG toFolder, PCWSTR name, ULONG chars)
{
    if (fileSlot >= ZARFS_FILES_PER_FOLDER) return STATUS_INVALID_PARAMETER;
    if (!ZarFsHwIsValidFilename(name, chars)) return STATUS_OBJECT_NAME_INVALID;
    auto* from = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    auto* to = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_DIR_ENTRY), ZarFsTag("ZDIR")));
    NTSTATUS status = from != nullptr && to != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) status = ZarFsHwReadDirEntry(ctx, volume, fromFolder, from);
    if (NT_SUCCESS(status)) status = ZarFsHwReadDirEntry(ctx, volume, toFolder, to);
    ULONG block = NT_SUCCESS(status) ? from->FileSlots[fileSlot] : 0;
    if (NT_SUCCESS(status) && block == 0) status = STATUS_NO_SUCH_FILE;
    ULONG free = ZARFS_FILES_PER_FOLDER;
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < ZARFS_FILES_PER_FOLDER && free == ZARFS_FILES_PER_FOLDER; ++i)
            if (to->FileSlots[i] == 0) free = i;
        if (free == ZARFS_FILES_PER_FOLDER) status = STATUS_ACCESS_DENIED;
    }
    // The old name, to put back when the move goes no further.
    ZAR_FILE_INFO file;
    if (NT_SUCCESS(status)) status = ZarFsHwReadFileEntry(ctx, volume, block, &file);
    if (NT_SUCCESS(status)) status = ZarFsHwRenameFile(ctx, volume, block, name, chars);
    // The new slot is written before the old one is cleared: a power cut
    // between the two leaves the entry in both folders, and discovery keeps
    // it in the first (never in neither, its space unclaimed).
    bool renamed = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) {
        to->FileSlots[free] = block;
        ++to->FileCount;
        // Within one folder both changes go in one write.
        if (toFolder == fromFolder) {
            to->FileSlots[fileSlot] = 0;
            --to->FileCount;
        }
        status = ZarFsHwWriteDirEntry(ctx, volume, toFolder, to);
    }
    bool added = NT_SUCCESS(status);
    if (NT_SUCCESS(status) && toFolder != fromFolder) {
        from->FileSlots[fileSlot] = 0;
        if (from->FileCount != 0) --from->FileCount;
        status = ZarFsHwWriteDirEntry(ctx, volume, fromFolder, from);
        if (!NT_SUCCESS(status)) {
            // The file stays where it was: the new slot goes again, at least
            // from the cache, so the folders read as one file in one place
            // (discovery settles what the disk still holds).
            to->FileSlots[free] = 0;
            --to->FileCount;
            if (!NT_SUCCESS(ZarFsHwWriteDirEntry(ctx, volume, toFolder, to)))
                ZarFsVolCacheFolderEntryCache(&volume->Cache, to, FolderBlock(volume, toFolder));
            added = false;
        }
    }
    if (renamed && !added) ZarFsHwWriteFileEntry(ctx, volume, block, &file);
    if (from != nullptr) ExFreePoolWithTag(from, ZarFsTag("ZDIR"));
    if (to != nullptr) ExFreePoolWithTag(to, ZarFsTag("ZDIR"));
    return status;
}

// Discovery of the card's media volumes and their upkeep: the bus scan, the
// grouping of drives whose volume entries agree, each complete volume's
// set-up (allocator, entry caches, folder bitmap, claims of every block in
// use, restore of a body-table backup), name conflicts, removal of drives,
// space figures, and the flush and rebuild of the whole volume set.

#include <cstdio>

#include "zarfs_backup.h"
#include "zarfs_eventlog.h"
#include "zarfs_hw.h"

namespace {

constexpr ULONG kVolumeTag = ZarFsTag("ZVOL");
constexpr LONGLONG kScanWait = -100000000LL;      // 10 s
constexpr LONGLONG kDeviceQueryWait = -10000000LL;  // 1 s

void LogInit(ZARFS_HW_CONTEXT* ctx, NTSTATUS status, const char* text)
{
    ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_INIT_ERROR, status, nullptr, 0, text,
                      static_cast<const char*>(nullptr));
}

bool DriveCountValid(ULONG count) { return count == 1 || (count >= 2 && count <= ZARFS_MAX_DRIVES && count % 2 == 0); }

// A ready disk (not the host adapter) big enough for the fixed regions.
bool UsableDisk(const ZARFS_DRIVE_RECORD& d, ULONG id)
{
    return id != ZAR_SCSI_HOST_ADAPTER_ID && d.Device.State == ZAR_SCSI_DEVICE_READY &&
           ULONGLONG(d.Device.LastBlock) + 1 >= ZARFS_MIN_DRIVE_BLOCKS;
}

// A disk whose volume entry can take part in a volume: its sum matches, and
// its drive count and index make sense (the magic and version are not
// examined).
bool CandidateDisk(ZARFS_HW_CONTEXT* ctx, ULONG id)
{
    const ZARFS_DRIVE_RECORD& d = ctx->Drives[id];
    if (!UsableDisk(d, id) || d.Volume != nullptr) return false;
    if (!ZarFsHwVerifyChecksum(&d.VolumeEntry, ZarFsEntryVolume, FALSE)) return false;
    return DriveCountValid(d.VolumeEntry.DriveCount) && d.VolumeEntry.DriveIndex < d.VolumeEntry.DriveCount;
}

ZARFS_HW_VOLUME* NewVolume(ZARFS_HW_CONTEXT* ctx)
{
    auto* v = static_cast<ZARFS_HW_VOLUME*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_HW_VOLUME), kVolumeTag));
    if (v == nullptr) return nullptr;
    RtlZeroMemory(v, sizeof *v);
    for (ULONG& id : v->ScsiIds) id = ZARFS_NO_DRIVE;
    v->Drives = ctx->Drives;
    InitializeListHead(&v->Link);
    return v;
}

// Places the candidate drives after 'first' that agree with its entry on
// creation time and drive count (and on the name when 'sameName') into the
// slots of 'volume' still empty.
void JoinMembers(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG first, bool sameName)
{
    const ZARFS_VOLUME_ENTRY& e = ctx->Drives[first].VolumeEntry;
    for (ULONG other = first + 1; other < ZARFS_MAX_SCSI_IDS; ++other) {
        if (!CandidateDisk(ctx, other)) continue;
        const ZARFS_VOLUME_ENTRY& o = ctx->Drives[other].VolumeEntry;
        if ((sameName && !ZarFsHwStoredNamesEqual(o.Name, e.Name)) || o.CreationTime != e.CreationTime ||
            o.DriveCount != e.DriveCount || volume->ScsiIds[o.DriveIndex] != ZARFS_NO_DRIVE)
            continue;
        volume->ScsiIds[o.DriveIndex] = other;
        ctx->Drives[other].Volume = volume;
    }
}

bool VolumeComplete(const ZARFS_HW_VOLUME* volume)
{
    for (ULONG i = 0; i < volume->DriveCount; ++i)
        if (volume->ScsiIds[i] == ZARFS_NO_DRIVE) return false;
    return true;
}

void SetBit(ULONG* bitmap, ULONG i) { bitmap[i / 32] |= 1u << (i % 32); }

// Writes the backup's nodes over the body table they belong to, zero-padded
// to the table's whole length.
void RestoreBackup(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, const ZAR_FILE_INFO& entry,
                   const ZARFS_BT_BACKUP* backup)
{
    bool alpha = backup->Alpha && (entry.Flags & ZARFS_FILE_HAS_ALPHA);
    ULONG first = alpha ? entry.AlphaBodyTableFirst : entry.VideoBodyTableFirst;
    ULONG blocks = alpha ? entry.AlphaBodyTableBlocks : entry.VideoBodyTableBlocks;
    if (first == 0 || blocks == 0) return;
    ULONG bytes = blocks * ZARFS_BLOCK;
    auto* table = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kVolumeTag));
    if (table == nullptr) return;
    RtlZeroMemory(table, bytes);
    ULONG nodeBytes = backup->NodeCount * sizeof(ULONG);
    RtlCopyMemory(table, backup->Nodes, nodeBytes < bytes ? nodeBytes : bytes);
    NTSTATUS status = ZarFsHwSCSIWriteEx(ctx, volume->ScsiIds[0], first, blocks, table, 0, ZarFsEntryBodyTable);
    ExFreePoolWithTag(table, kVolumeTag);
    if (!NT_SUCCESS(status)) return;
    // The name as dump data, as much as the entry has room for.
    ULONG nameBytes = ZarFsHwNameLength(entry.Name) * sizeof(WCHAR);
    ULONG room = ZARFS_EVENT_ENTRY_MAX - ZARFS_EVENT_ENTRY_HEAD;
    ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_BODY_TABLE_RECOVERED, STATUS_SUCCESS, entry.Name,
                      USHORT(nameBytes < room ? nameBytes : room), static_cast<const char*>(nullptr));
}

// The slot before (folderSlot, fileSlot) in walk order, folders by slot
// then their file slots, that names the file entry at 'block'. Folders
// walked before are in the cache, already without their dropped slots.
bool FindEarlierSlot(ZARFS_HW_VOLUME* volume, const ZARFS_DIR_ENTRY* folder, ULONG folderSlot, ULONG fileSlot,
                     ULONG block, ZARFS_REPEATED_SLOT* found)
{
    for (ULONG f = 0; f < fileSlot; ++f) {
        if (folder->FileSlots[f] != block) continue;
        found->KeptFolderSlot = folderSlot;
        found->KeptFileSlot = f;
        return true;
    }
    bool seen = false;
    ExAcquireFastMutex(&volume->Cache.Mutex);
    for (ULONG s = 0; s < folderSlot && !seen; ++s) {
        if (!((volume->FolderBitmap[s / 32] >> (s % 32)) & 1)) continue;
        ZARFS_FOLDER_CACHE_ITEM* item =
            ZarFsVolCacheFindFolderEntry(&volume->Cache, ZarFsHwFolderBlock(volume->FolderAreaFirst, s));
        for (ULONG f = 0; item != nullptr && f < ZARFS_FILES_PER_FOLDER && !seen; ++f) {
            if (item->Entry.FileSlots[f] != block) continue;
            found->KeptFolderSlot = s;
            found->KeptFileSlot = f;
            seen = true;
        }
    }
    ExReleaseFastMutex(&volume->Cache.Mutex);
    return seen;
}

// A claim failed. When the slot names a file entry that an earlier slot
// already claimed (a move cut short between its two folder writes, or a
// damaged folder), the first claim keeps the file and this slot is cleared
// and logged, so the rest of the volume still mounts; true then. Any other
// failure stands.
bool DropRepeatedSlot(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ZARFS_DIR_ENTRY* folder, ULONG folderSlot,
                      ULONG fileSlot)
{
    ZARFS_REPEATED_SLOT record{};
    record.Card = ctx->Card;
    record.ScsiId = volume->ScsiIds[0];
    record.FolderSlot = folderSlot;
    record.FileSlot = fileSlot;
    record.EntryBlock = folder->FileSlots[fileSlot];
    if (!FindEarlierSlot(volume, folder, folderSlot, fileSlot, record.EntryBlock, &record)) return false;
    folder->FileSlots[fileSlot] = 0;
    if (folder->FileCount != 0) --folder->FileCount;
    ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_FILE_ERROR, STATUS_SUCCESS, &record, USHORT(sizeof record),
                      ZARFS_REPEATED_SLOT_TEXT, static_cast<const char*>(nullptr));
    return true;
}

}  // namespace

NTSTATUS ZarFsHwSCSIScan(ZARFS_HW_CONTEXT* ctx)
{
    LARGE_INTEGER limit;
    limit.QuadPart = kScanWait;
    ZAR_DISK_REQUEST scan{};
    scan.Operation = ZAR_DISK_OP_SCAN;
    NTSTATUS status = ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_DISK_REQUEST, &scan, sizeof scan, &scan, sizeof scan, &limit);
    if (status == STATUS_TIMEOUT) {
        LogInit(ctx, ZARFS_STATUS_TIMED_OUT, "Main board SCSI scan timed out");
        return ZARFS_STATUS_TIMED_OUT;
    }
    if (!NT_SUCCESS(status)) {
        LogInit(ctx, status, "Main board SCSI scan failed");
        return status;
    }

    bool anyEntry = false;
    for (ULONG id = 0; id < ZARFS_MAX_SCSI_IDS; ++id) {
        ZARFS_DRIVE_RECORD& d = ctx->Drives[id];
        RtlZeroMemory(&d, sizeof d);
        d.Device.ScsiId = id;
        limit.QuadPart = kDeviceQueryWait;
        status = ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_GET_SCSI_DEVICE, &d.Device, sizeof d.Device, &d.Device,
                                 sizeof d.Device, &limit);
        if (status == STATUS_TIMEOUT) {
            LogInit(ctx, ZARFS_STATUS_TIMED_OUT, "SCSI device query timed out");
            return ZARFS_STATUS_TIMED_OUT;
        }
        if (!NT_SUCCESS(status)) {
            LogInit(ctx, status, "SCSI device query failed");
            return status;
        }
        if (d.Device.State != ZAR_SCSI_DEVICE_READY || id == ZAR_SCSI_HOST_ADAPTER_ID) continue;
        status = ZarFsHwSCSIRead(ctx, id, 0, ZARFS_VOLUME_ENTRY_BLOCKS, &d.VolumeEntry, 0);
        if (!NT_SUCCESS(status)) {
            LogInit(ctx, status, "SCSI volume info. read failed");
            return status;
        }
        anyEntry = true;
    }
    if (!anyEntry) return STATUS_SUCCESS;

    // One read of the backup serves every volume of the scan.
    ZarFsGetBTBackupFileDetails(ctx->Card, &ctx->Backup);
    status = ZarFsHwInitializeVolumes(ctx);
    ZarFsFreeBTBackup(ctx->Backup);
    ctx->Backup = nullptr;
    return status;
}

NTSTATUS ZarFsHwSetUpVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume)
{
    ULONG n = 0xFFFFFFFF;
    for (ULONG i = 0; i < volume->DriveCount; ++i) {
        ULONG last = ctx->Drives[volume->ScsiIds[i]].Device.LastBlock;
        if (last < n) n = last;
    }
    volume->AllocLastBlock = n - ZARFS_FOLDER_AREA_BLOCKS;
    volume->FolderAreaFirst = n - ZARFS_FOLDER_AREA_BLOCKS + 1;
    if (!(volume->SetupFlags & ZARFS_VOL_SETUP_ALLOC)) {
        NTSTATUS status = ZarFsVolAllocInitializeAllocObject(
            &volume->Alloc, ctx->Segments, ZARFS_ALLOC_FIRST_BLOCK,
            ULONGLONG(volume->AllocLastBlock) + 1 - ZARFS_ALLOC_FIRST_BLOCK);
        volume->SetupFlags |= ZARFS_VOL_SETUP_ALLOC;
        if (!NT_SUCCESS(status)) return status;
    }
    if (!(volume->SetupFlags & ZARFS_VOL_SETUP_CACHES)) {
        NTSTATUS status = ZarFsVolCacheInitialize(&volume->Cache);
        volume->SetupFlags |= ZARFS_VOL_SETUP_CACHES;
        if (!NT_SUCCESS(status)) return status;
    }
    if (!(volume->SetupFlags & ZARFS_VOL_SETUP_RAMFILES)) {
        ZarFsVFInitHandler(&volume->RamFiles);
        volume->SetupFlags |= ZARFS_VOL_SETUP_RAMFILES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsHwInitializeVolumes(ZARFS_HW_CONTEXT* ctx)
{
    for (ULONG id = 0; id < ZARFS_MAX_SCSI_IDS; ++id) {
        if (!CandidateDisk(ctx, id)) continue;
        const ZARFS_VOLUME_ENTRY& e = ctx->Drives[id].VolumeEntry;
        ZARFS_HW_VOLUME* v = NewVolume(ctx);
        if (v == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        v->DriveCount = e.DriveCount;
        RtlCopyMemory(v->Name, e.Name, sizeof v->Name);
        v->CreationTime = e.CreationTime;
        v->ScsiIds[e.DriveIndex] = id;
        v->Flags = ZARFS_VOLUME_INCOMPLETE;
        ctx->Drives[id].Volume = v;
        InsertTailList(&ctx->Volumes, &v->Link);

        JoinMembers(ctx, v, id, true);
        // A rename is written drive by drive: one cut short leaves the new
        // name on the drives written first and the old one on the rest.
        // The creation time and the drive count still name the volume.
        if (!VolumeComplete(v)) JoinMembers(ctx, v, id, false);
        if (!VolumeComplete(v)) continue;

        // The rename starts with drive 0, so its name is the newest.
        RtlCopyMemory(v->Name, ctx->Drives[v->ScsiIds[0]].VolumeEntry.Name, sizeof v->Name);
        v->Flags &= ~ZARFS_VOLUME_INCOMPLETE;
        NTSTATUS status = ZarFsHwSetUpVolume(ctx, v);
        if (NT_SUCCESS(status)) status = ZarFsHwConstructFolderBitmap(ctx, v, &v->FolderCount);
        if (!NT_SUCCESS(status)) return status;
        ZarFsHwMarkVolumeNameConflict(ctx, v);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsHwConstructFolderBitmap(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PULONG folderCount)
{
    // A backup is this volume's when it names the card's drive and the volume.
    const ZARFS_BT_BACKUP* backup = ctx->Backup;
    if (backup != nullptr && (backup->DriveLetter != RtlUpcaseUnicodeChar(ctx->DriveLetter) ||
                              !ZarFsHwNameEquals(volume->Name, backup->Volume, backup->VolumeChars)))
        backup = nullptr;

    ZarFsHwLock(&ctx->EntryLock);
    auto* folder = static_cast<ZARFS_DIR_ENTRY*>(ctx->EntryScratch);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;
    RtlZeroMemory(volume->FolderBitmap, sizeof volume->FolderBitmap);
    for (ULONG slot = 0; slot < ZARFS_FOLDER_SLOTS && NT_SUCCESS(status); ++slot) {
        ULONG block = ZarFsHwFolderBlock(volume->FolderAreaFirst, slot);
        status = ZarFsHwSCSIReadEx(ctx, volume->ScsiIds[0], block, ZARFS_DIR_ENTRY_BLOCKS, folder, 0, ZarFsEntryDir,
                                   TRUE);
        if (!NT_SUCCESS(status) || folder->InUse == 0) continue;
        SetBit(volume->FolderBitmap, slot);
        ++count;
        bool backupHere = backup != nullptr && ZarFsHwNameEquals(folder->Name, backup->Folder, backup->FolderChars);
        bool dropped = false;
        for (ULONG f = 0; f < ZARFS_FILES_PER_FOLDER && NT_SUCCESS(status); ++f) {
            if (folder->FileSlots[f] == 0) continue;
            status = ZarFsHwClaimFileSpace(ctx, volume, folder, f, backupHere ? backup : nullptr);
            if (!NT_SUCCESS(status) && DropRepeatedSlot(ctx, volume, folder, slot, f)) {
                dropped = true;
                status = STATUS_SUCCESS;
            }
        }
        // A dropped slot leaves the disk at once: left there, it would name
        // the file again once the kept slot's file is deleted, on blocks
        // that may by then be another file's. Written or not, the cache
        // holds the folder without it.
        if (dropped && NT_SUCCESS(status)) ZarFsHwWriteDirEntry(ctx, volume, slot, folder);
        ZarFsVolCacheFolderEntryCache(&volume->Cache, folder, block);
    }
    ZarFsHwUnlock(&ctx->EntryLock);
    *folderCount = count;
    return status;
}

NTSTATUS ZarFsHwClaimFileSpace(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, const ZARFS_DIR_ENTRY* folder,
                               ULONG slot, const ZARFS_BT_BACKUP* backup)
{
    ULONG block = folder->FileSlots[slot];
    ZARFS_ALLOC_OBJECT* alloc = &volume->Alloc;
    NTSTATUS status = ZarFsVolAllocAllocateSpecificUpperSpace(alloc, block, ZARFS_FILE_ENTRY_BLOCKS);
    if (!NT_SUCCESS(status)) return status;

    ZAR_FILE_INFO entry;
    ZarFsHwLock(&ctx->FileLock);
    status = ZarFsHwSCSIReadEx(ctx, volume->ScsiIds[0], block, ZARFS_FILE_ENTRY_BLOCKS, ctx->FileScratch, 0,
                               ZarFsEntryFile, FALSE);
    RtlCopyMemory(&entry, ctx->FileScratch, sizeof entry);
    ZarFsHwUnlock(&ctx->FileLock);
    if (!NT_SUCCESS(status)) return status;
    ZarFsVolCacheFileEntryCache(&volume->Cache, &entry, block);

    if (backup != nullptr && entry.MediaKind == ZARFS_MEDIA_FRAMES &&
        ZarFsHwNameEquals(entry.Name, backup->File, backup->FileChars) &&
        ULONGLONG(entry.FrameCount) * 2 == backup->NodeCount)
        RestoreBackup(ctx, volume, entry, backup);

    struct Claim {
        ULONG first, length;
        bool upper;
        bool wanted;
    } claims[] = {
        {entry.VideoFirstBlock, entry.VideoBlocksPerDrive, false, true},
        {entry.VideoBodyTableFirst, entry.VideoBodyTableBlocks, true, entry.MediaKind == ZARFS_MEDIA_FRAMES},
        {entry.AlphaFirstBlock, entry.AlphaBlocksPerDrive, false, (entry.Flags & ZARFS_FILE_HAS_ALPHA) != 0},
        {entry.AlphaBodyTableFirst, entry.AlphaBodyTableBlocks, true, (entry.Flags & ZARFS_FILE_HAS_ALPHA) != 0},
    };
    for (const Claim& c : claims) {
        if (!c.wanted || c.first == 0 || c.length == 0) continue;
        status = c.upper ? ZarFsVolAllocAllocateSpecificUpperSpace(alloc, c.first, c.length)
                         : ZarFsVolAllocAllocateSpecificLowerSpace(alloc, c.first, c.length);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

ZARFS_HW_VOLUME* ZarFsHwOpenVolume(ZARFS_HW_CONTEXT* ctx, PCWSTR name, ULONG chars)
{
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
        if (ZarFsHwVolumeUsable(v) && ZarFsHwNameEquals(v->Name, name, chars)) {
            ++v->OpenCount;
            return v;
        }
    }
    return nullptr;
}

void ZarFsHwCloseVolume(ZARFS_HW_VOLUME* volume)
{
    if (volume->OpenCount != 0) --volume->OpenCount;
}

void ZarFsHwGetVolumeSpaceInfo(ZARFS_HW_VOLUME* volume, ULONGLONG* total, ULONGLONG* free)
{
    *total = *free = 0;
    if (!ZarFsHwVolumeUsable(volume) || !(volume->SetupFlags & ZARFS_VOL_SETUP_ALLOC)) return;
    *total = ZarFsVolAllocGetTotalBlocks(&volume->Alloc) * volume->DriveCount;
    *free = ZarFsVolAllocGetFreeBlocks(&volume->Alloc) * volume->DriveCount;
}

void ZarFsHwGetTotalVolumeSpaceInfo(ZARFS_HW_CONTEXT* ctx, ULONGLONG* total, ULONGLONG* free)
{
    *total = *free = 0;
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        ULONGLONG t, f;
        ZarFsHwGetVolumeSpaceInfo(CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link), &t, &f);
        *total += t;
        *free += f;
    }
}

BOOLEAN ZarFsHwGetLatestVolumeTime(ZARFS_HW_CONTEXT* ctx, ULONGLONG* time)
{
    BOOLEAN found = FALSE;
    *time = 0;
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
        if (!ZarFsHwVolumeUsable(v)) continue;
        if (!found || v->CreationTime > *time) *time = v->CreationTime;
        found = TRUE;
    }
    return found;
}

BOOLEAN ZarFsHwCheckVolumeNameConflict(ZARFS_HW_CONTEXT* ctx, const WCHAR (&name)[ZARFS_NAME_CHARS],
                                       const ULONG* ids, ULONG count)
{
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
        if ((v->Flags & ZARFS_VOLUME_INCOMPLETE) || !ZarFsHwStoredNamesEqual(v->Name, name)) continue;
        bool ownDrive = false;
        for (ULONG i = 0; i < count; ++i)
            if (ids[i] < ZARFS_MAX_SCSI_IDS && ctx->Drives[ids[i]].Volume == v) ownDrive = true;
        if (!ownDrive) return TRUE;
    }
    return FALSE;
}

void ZarFsHwMarkVolumeNameConflict(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume)
{
    if (volume->Flags & ZARFS_VOLUME_INCOMPLETE) return;
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
        if (v == volume) break;  // only volumes found before this one keep the name
        if (ZarFsHwVolumeUsable(v) && ZarFsHwStoredNamesEqual(v->Name, volume->Name)) {
            volume->Flags |= ZARFS_VOLUME_NAME_CONFLICT;
            return;
        }
    }
}

void ZarFsHwResolveVolumeNameConflicts(ZARFS_HW_CONTEXT* ctx, const WCHAR (&name)[ZARFS_NAME_CHARS])
{
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink) {
        auto* v = CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link);
        if ((v->Flags & ZARFS_VOLUME_INCOMPLETE) || !(v->Flags & ZARFS_VOLUME_NAME_CONFLICT) ||
            !ZarFsHwStoredNamesEqual(v->Name, name))
            continue;
        v->Flags &= ~ZARFS_VOLUME_NAME_CONFLICT;
        ZarFsHwVolumeChangeNotify(ctx, v, ZARFS_CHANGE_ADDED);
        return;
    }
}

void ZarFsHwRemoveDeviceFromVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG id)
{
    bool wasUsable = ZarFsHwVolumeUsable(volume);
    for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i)
        if (volume->ScsiIds[i] == id) volume->ScsiIds[i] = ZARFS_NO_DRIVE;
    if (id < ZARFS_MAX_SCSI_IDS && ctx->Drives[id].Volume == volume) ctx->Drives[id].Volume = nullptr;
    volume->Flags |= ZARFS_VOLUME_INCOMPLETE;
    if (!volume->RemovalReported) {
        volume->RemovalReported = TRUE;
        ZarFsHwVolumeChangeNotify(ctx, volume, ZARFS_CHANGE_REMOVED);
    }
    bool anyLeft = false;
    for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i)
        if (volume->ScsiIds[i] < ZARFS_MAX_SCSI_IDS) anyLeft = true;
    WCHAR name[ZARFS_NAME_CHARS];
    RtlCopyMemory(name, volume->Name, sizeof name);
    if (volume->DriveCount == 0 || !anyLeft) {
        RemoveEntryList(&volume->Link);
        ZarFsHwFreeVolume(volume);
    }
    // Its name is free now for a volume that was hidden behind it.
    if (wasUsable) ZarFsHwResolveVolumeNameConflicts(ctx, name);
}

void ZarFsHwFreeVolume(ZARFS_HW_VOLUME* volume)
{
    if (volume->SetupFlags & ZARFS_VOL_SETUP_ALLOC) ZarFsVolAllocFreeAllocObject(&volume->Alloc);
    if (volume->SetupFlags & ZARFS_VOL_SETUP_CACHES) ZarFsVolCacheFree(&volume->Cache);
    if (volume->SetupFlags & ZARFS_VOL_SETUP_RAMFILES) ZarFsVFFreeHandler(&volume->RamFiles);
    ExFreePoolWithTag(volume, kVolumeTag);
}

void ZarFsHwFreeVolumes(ZARFS_HW_CONTEXT* ctx)
{
    if (ctx->Volumes.Flink == nullptr) return;
    while (!IsListEmpty(&ctx->Volumes)) {
        auto* v = CONTAINING_RECORD(RemoveHeadList(&ctx->Volumes), ZARFS_HW_VOLUME, Link);
        ZarFsHwFreeVolume(v);
    }
    for (ZARFS_DRIVE_RECORD& d : ctx->Drives) d.Volume = nullptr;
}

void ZarFsHwFlushVolumeCache(ZARFS_HW_CONTEXT* ctx)
{
    while (!IsListEmpty(&ctx->Volumes)) {
        auto* v = CONTAINING_RECORD(ctx->Volumes.Flink, ZARFS_HW_VOLUME, Link);
        ULONG ids[ZARFS_MAX_SCSI_IDS], count = 0;
        for (ULONG id : v->ScsiIds)
            if (id < ZARFS_MAX_SCSI_IDS) ids[count++] = id;
        if (count == 0) {
            RemoveEntryList(&v->Link);
            ZarFsHwFreeVolume(v);
            continue;
        }
        // The last drive taken out frees the volume.
        for (ULONG i = 0; i < count; ++i) ZarFsHwRemoveDeviceFromVolume(ctx, v, ids[i]);
    }
    for (ZARFS_DRIVE_RECORD& d : ctx->Drives) d.Volume = nullptr;
    ctx->Flushed = TRUE;
}

NTSTATUS ZarFsHwRebuildVolumeCache(ZARFS_HW_CONTEXT* ctx)
{
    if (!IsListEmpty(&ctx->Volumes)) ZarFsHwFlushVolumeCache(ctx);
    NTSTATUS status = ZarFsHwSCSIScan(ctx);
    for (PLIST_ENTRY e = ctx->Volumes.Flink; e != &ctx->Volumes; e = e->Flink)
        ZarFsHwVolumeChangeNotify(ctx, CONTAINING_RECORD(e, ZARFS_HW_VOLUME, Link), ZARFS_CHANGE_ADDED);
    ctx->Flushed = FALSE;
    return status;
}

void ZarFsHwVolumeChangeNotify(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG action)
{
    // Reports go out per registered foreign file type; the registration
    // belongs to the control device's service codes, and until a type is
    // registered there is nothing to report.
    (void)ctx;
    (void)volume;
    (void)action;
}

void ZarFsHwGetVolumeInfo(const ZARFS_HW_VOLUME* volume, ZAR_VOLUME_INFO* info)
{
    RtlZeroMemory(info, sizeof *info);
    RtlCopyMemory(info->Name, volume->Name, sizeof info->Name);
    info->DriveCount = volume->DriveCount;
    for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) info->ScsiIds[i] = volume->ScsiIds[i];
    info->Flags = volume->Flags;
}

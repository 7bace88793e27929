// Formatting a media volume: checks of the request, new volume entries on
// every listed drive, a cleared folder area, and the volume's set-up.

#include "zarfs_hw.h"

namespace {

constexpr ULONG kFormatTag = ZarFsTag("ZFMT");

bool DriveCountValid(ULONG count) { return count == 1 || (count >= 2 && count <= ZARFS_MAX_DRIVES && count % 2 == 0); }

// A listed drive must be a ready disk big enough for the fixed regions, an
// id on the bus other than the host adapter's, and listed once.
bool DriveUsable(ZARFS_HW_CONTEXT* ctx, const ZAR_VOLUME_INFO* request, ULONG index)
{
    ULONG id = request->ScsiIds[index];
    if (id >= ZARFS_MAX_SCSI_IDS || id == ZAR_SCSI_HOST_ADAPTER_ID) return false;
    for (ULONG j = 0; j < index; ++j)
        if (request->ScsiIds[j] == id) return false;
    const ZAR_SCSI_DEVICE_INFO& d = ctx->Drives[id].Device;
    return d.State == ZAR_SCSI_DEVICE_READY && ULONGLONG(d.LastBlock) + 1 >= ZARFS_MIN_DRIVE_BLOCKS;
}

LONG CheckRequest(ZARFS_HW_CONTEXT* ctx, const ZAR_VOLUME_INFO* request)
{
    ULONG count = request->DriveCount;
    if (!DriveCountValid(count)) return ZARFS_FORMAT_E_DRIVE_COUNT;
    for (ULONG i = 0; i < count; ++i)
        if (!DriveUsable(ctx, request, i)) return ZARFS_FORMAT_E_DRIVE_UNUSABLE;
    for (ULONG i = 0; i < count; ++i) {
        ZARFS_HW_VOLUME* v = ctx->Drives[request->ScsiIds[i]].Volume;
        if (v != nullptr && v->OpenCount != 0) return ZARFS_FORMAT_E_VOLUME_IN_USE;
    }
    ULONG chars = ZarFsHwNameLength(request->Name);
    if (!ZarFsHwIsValidFilename(request->Name, chars)) return ZARFS_FORMAT_E_BAD_NAME;
    if (ZarFsHwCheckVolumeNameConflict(ctx, request->Name, request->ScsiIds, count))
        return ZARFS_FORMAT_E_NAME_CONFLICT;
    return ZARFS_FORMAT_OK;
}

}  // namespace

NTSTATUS ZarFsHwInvalidateFolders(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume)
{
    auto* blank = static_cast<ZARFS_DIR_ENTRY*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_DIR_ENTRY), kFormatTag));
    if (blank == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(blank, sizeof *blank);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG slot = 0; slot < ZARFS_FOLDER_SLOTS && NT_SUCCESS(status); ++slot)
        status = ZarFsHwSCSIWriteEx(ctx, volume->ScsiIds[0], ZarFsHwFolderBlock(volume->FolderAreaFirst, slot),
                                    ZARFS_DIR_ENTRY_BLOCKS, blank, 0, ZarFsEntryDir);
    ExFreePoolWithTag(blank, kFormatTag);
    return status;
}

NTSTATUS ZarFsHwFormatVolume(ZARFS_HW_CONTEXT* ctx, const ZAR_VOLUME_INFO* request, PLONG result)
{
    *result = CheckRequest(ctx, request);
    if (*result != ZARFS_FORMAT_OK) return STATUS_SUCCESS;
    ULONG count = request->DriveCount;

    for (ULONG i = 0; i < count; ++i) {
        ULONG id = request->ScsiIds[i];
        if (ctx->Drives[id].Volume != nullptr) ZarFsHwRemoveDeviceFromVolume(ctx, ctx->Drives[id].Volume, id);
    }

    auto* entry = static_cast<ZARFS_VOLUME_ENTRY*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_VOLUME_ENTRY), kFormatTag));
    if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry, sizeof *entry);
    RtlCopyMemory(entry->Magic, "VOL0", 4);
    entry->Version = ZARFS_VOLUME_VERSION;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    entry->CreationTime = ULONGLONG(now.QuadPart);
    entry->DriveCount = count;
    ZarFsHwStoreName(entry->Name, request->Name, ZarFsHwNameLength(request->Name));
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        ULONG id = request->ScsiIds[i];
        entry->DriveIndex = i;
        ZarFsHwSetChecksum(entry, ZarFsEntryVolume);
        status = ZarFsHwSCSIWriteEx(ctx, id, 0, ZARFS_VOLUME_ENTRY_BLOCKS, entry, 0, ZarFsEntryVolume);
        if (NT_SUCCESS(status)) RtlCopyMemory(&ctx->Drives[id].VolumeEntry, entry, sizeof *entry);
    }
    ULONGLONG created = entry->CreationTime;
    ExFreePoolWithTag(entry, kFormatTag);
    if (!NT_SUCCESS(status)) return status;

    auto* v = static_cast<ZARFS_HW_VOLUME*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_HW_VOLUME), ZarFsTag("ZVOL")));
    if (v == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(v, sizeof *v);
    InitializeListHead(&v->Link);
    ZarFsHwStoreName(v->Name, request->Name, ZarFsHwNameLength(request->Name));
    v->DriveCount = count;
    for (ULONG i = 0; i < ZARFS_MAX_SCSI_IDS; ++i) v->ScsiIds[i] = i < count ? request->ScsiIds[i] : ZARFS_NO_DRIVE;
    v->Drives = ctx->Drives;
    v->CreationTime = created;

    // Area bounds first: the folder area is cleared before anything is set up.
    ULONG n = 0xFFFFFFFF;
    for (ULONG i = 0; i < count; ++i) {
        ULONG last = ctx->Drives[v->ScsiIds[i]].Device.LastBlock;
        if (last < n) n = last;
    }
    v->AllocLastBlock = n - ZARFS_FOLDER_AREA_BLOCKS;
    v->FolderAreaFirst = n - ZARFS_FOLDER_AREA_BLOCKS + 1;
    status = ZarFsHwInvalidateFolders(ctx, v);
    if (NT_SUCCESS(status)) status = ZarFsHwSetUpVolume(ctx, v);
    if (!NT_SUCCESS(status)) {
        ZarFsHwFreeVolume(v);
        return status;
    }
    for (ULONG i = 0; i < count; ++i) ctx->Drives[v->ScsiIds[i]].Volume = v;
    InsertTailList(&ctx->Volumes, &v->Link);
    ZarFsHwVolumeChangeNotify(ctx, v, ZARFS_CHANGE_ADDED);
    *result = ZARFS_FORMAT_OK;
    return STATUS_SUCCESS;
}

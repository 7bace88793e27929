// Body tables between the disk and the node arrays: a plain read of the
// table (a failed read fails the caller, no retries) striped into nodes, and
// a verified write of the nodes' block counts.

#include "zarfs_bodytable.h"

namespace {
constexpr ULONG kTableTag = ZarFsTag("ZTBL");
}

NTSTATUS ZarFsHwReadBodyTableNodes(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG tableFirst,
                                   ULONG tableBytes, ULONG frames, ULONG firstDataBlock,
                                   ZARFS_BODY_TABLE_NODE* nodes)
{
    ULONG fields = frames * 2;
    RtlZeroMemory(nodes, fields * sizeof(ZARFS_BODY_TABLE_NODE));
    ULONG blocks = tableBytes / ZARFS_BLOCK;
    if (tableFirst == 0 || blocks == 0) return STATUS_SUCCESS;
    auto* table = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, blocks * ZARFS_BLOCK, kTableTag));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ZarFsHwSCSIRead(ctx, volume->ScsiIds[0], tableFirst, blocks, table, 0);
    if (NT_SUCCESS(status)) {
        // A table shorter than the frame count gives what it holds.
        ULONG held = blocks * ZARFS_BLOCK / sizeof(ULONG);
        ZarFsHwBuildBodyTableNodes(table, fields < held ? fields : held, volume->ScsiIds, volume->DriveCount,
                                   firstDataBlock, nodes);
    }
    ExFreePoolWithTag(table, kTableTag);
    return status;
}

NTSTATUS ZarFsHwWriteBodyTableNodes(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG tableFirst,
                                    ULONG tableBytes, ULONG frames, const ZARFS_BODY_TABLE_NODE* nodes)
{
    ULONG blocks = tableBytes / ZARFS_BLOCK;
    if (tableFirst == 0 || blocks == 0) return STATUS_SUCCESS;
    ULONG bytes = blocks * ZARFS_BLOCK;
    auto* table = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTableTag));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(table, bytes);
    ULONG fields = frames * 2, room = bytes / sizeof(ULONG);
    ZarFsHwPackBodyTableNodes(nodes, fields < room ? fields : room, table);
    NTSTATUS status = ZarFsHwSCSIWriteEx(ctx, volume->ScsiIds[0], tableFirst, blocks, table, 0, ZarFsEntryBodyTable);
    ExFreePoolWithTag(table, kTableTag);
    return status;
}

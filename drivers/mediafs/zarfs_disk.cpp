// Disk access through the board driver: binding to \Device\Zar<card>, the
// board's start-up requests, plain block reads and writes, reads that check
// an entry's checksum and writes that verify, both with retries and at most
// 20 disk-error log entries per card, and block moves through the board's
// staging memory.
//
// Every disk request completes with success at the board driver; its outcome
// is in the record that comes back. A request succeeded only when the
// record's status byte is 0 and its first block advanced over the whole
// count, so a command that never reached its status phase, or a staged
// transfer that stopped part-way, counts as failed.

#include <cstdio>

#include "zarfs_eventlog.h"
#include "zarfs_hw.h"

namespace {

constexpr ULONG kPoolTag = ZarFsTag("Ifs ");
constexpr LONGLONG kStartUpWait = -300000000LL;  // 30 s

// A request sent to the board driver, with the event, status block and
// output it completes into. Kept apart from the caller's stack so that a
// request whose wait ran out can complete into it later.
struct ZARFS_PENDING_REQUEST {
    LIST_ENTRY Link;
    KEVENT Done;
    IO_STATUS_BLOCK Iosb;
    ULONG OutLength;
    UCHAR Out[1];
};

ZARFS_PENDING_REQUEST* NewPending(ULONG outLength)
{
    auto* p = static_cast<ZARFS_PENDING_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_PENDING_REQUEST) + outLength, kPoolTag));
    if (p == nullptr) return nullptr;
    RtlZeroMemory(p, sizeof *p);
    KeInitializeEvent(&p->Done, NotificationEvent, FALSE);
    p->OutLength = outLength;
    return p;
}

// Frees the abandoned requests that have completed since; with 'wait', gives
// each of the others up to 5 s first. One that never completes stays
// allocated, so the board driver can still complete into it.
void SweepOrphans(ZARFS_HW_CONTEXT* ctx, bool wait)
{
    ExAcquireFastMutex(&ctx->OrphansLock);
    PLIST_ENTRY e = ctx->Orphans.Flink;
    while (e != &ctx->Orphans) {
        auto* p = CONTAINING_RECORD(e, ZARFS_PENDING_REQUEST, Link);
        e = e->Flink;
        if (wait && KeReadStateEvent(&p->Done) == 0) {
            LARGE_INTEGER limit;
            limit.QuadPart = -50000000LL;
            KeWaitForSingleObject(&p->Done, Executive, KernelMode, FALSE, &limit);
        }
        if (KeReadStateEvent(&p->Done) != 0) {
            RemoveEntryList(&p->Link);
            ExFreePoolWithTag(p, kPoolTag);
        }
    }
    ExReleaseFastMutex(&ctx->OrphansLock);
}

NTSTATUS SendDiskRequest(ZARFS_HW_CONTEXT* ctx, ULONG operation, ULONG id, ULONG first, ULONG count, PVOID buffer,
                         ULONG callerValue)
{
    ZAR_DISK_REQUEST r{};
    r.Operation = operation;
    r.TargetId = id;
    r.FirstBlock = first;
    r.BlockCount = count;
    r.AccessMode = ZAR_DISK_ACCESS_STAGED;
    r.OwnsScsi = callerValue;
    r.UserBuffer = ULONG(reinterpret_cast<ULONG_PTR>(buffer));
    r.UserBufferLength = buffer != nullptr ? count * ZARFS_BLOCK : 0;
    NTSTATUS status = ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, nullptr);
    if (status == STATUS_TIMEOUT) return ZARFS_STATUS_TIMED_OUT;
    if (!NT_SUCCESS(status)) return status;
    if (r.ScsiStatus != 0 || r.FirstBlock != first + count) return STATUS_IO_DEVICE_ERROR;
    return STATUS_SUCCESS;
}

// One disk-error entry, while fewer than 20 were made for the card.
// 'transfer' failures name the direction; checksum and verify failures
// carry the first 40 bytes of the buffer concerned.
void LogDiskError(ZARFS_HW_CONTEXT* ctx, ULONG messageId, NTSTATUS status, const char* direction, ULONG id,
                  ULONG first, ULONG kind, ULONG failedTries, const void* dump)
{
    if (InterlockedIncrement(&ctx->DiskErrorEntries) > LONG(ZARFS_MAX_DISK_ERROR_ENTRIES)) {
        InterlockedDecrement(&ctx->DiskErrorEntries);
        return;
    }
    char idText[12], blockText[12], retries[12];
    std::snprintf(idText, sizeof idText, "%lu", static_cast<unsigned long>(id));
    std::snprintf(blockText, sizeof blockText, "%lu", static_cast<unsigned long>(first));
    std::snprintf(retries, sizeof retries, "%lu", static_cast<unsigned long>(failedTries - 1));
    const char* kindName = ZarFsEntryKindName(kind);
    if (direction != nullptr)
        ZarFsGlobLogEvent(ctx->LogObject, messageId, status, nullptr, 0, direction, idText, blockText, kindName,
                          retries, static_cast<const char*>(nullptr));
    else
        ZarFsGlobLogEvent(ctx->LogObject, messageId, status, dump, USHORT(dump ? 40 : 0), idText, blockText,
                          kindName, retries, static_cast<const char*>(nullptr));
}

}  // namespace

void ZarFsHwLock(PKEVENT lock) { KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, nullptr); }
void ZarFsHwUnlock(PKEVENT lock) { KeSetEvent(lock, 0, FALSE); }

void ZarFsHwObtainSCSIScratchLock(ZARFS_HW_CONTEXT* ctx)
{
    ZarFsHwLock(&ctx->EntryLock);
    ZarFsHwLock(&ctx->FileLock);
    ZarFsHwLock(&ctx->VerifyLock);
}

void ZarFsHwReleaseSCSIScratchLock(ZARFS_HW_CONTEXT* ctx)
{
    ZarFsHwUnlock(&ctx->VerifyLock);
    ZarFsHwUnlock(&ctx->FileLock);
    ZarFsHwUnlock(&ctx->EntryLock);
}

NTSTATUS ZarFsHwDevIOCTL(ZARFS_HW_CONTEXT* ctx, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                         PLARGE_INTEGER timeout)
{
    SweepOrphans(ctx, false);
    InterlockedIncrement(&ctx->RequestsSent);
    ZARFS_PENDING_REQUEST* p = NewPending(outLength);
    if (p == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoBuildDeviceIoControlRequest(code, ctx->BoardDevice, in, inLength, outLength ? p->Out : nullptr,
                                             outLength, FALSE, &p->Done, &p->Iosb);
    if (irp == nullptr) {
        ExFreePoolWithTag(p, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = ctx->BoardFile;
    NTSTATUS status = IoCallDriver(ctx->BoardDevice, irp);
    if (status == STATUS_PENDING) {
        NTSTATUS wait = KeWaitForSingleObject(&p->Done, Executive, KernelMode, FALSE, timeout);
        if (wait == STATUS_TIMEOUT) {
            // Still at the board driver: it completes into the record later.
            ExAcquireFastMutex(&ctx->OrphansLock);
            InsertTailList(&ctx->Orphans, &p->Link);
            ExReleaseFastMutex(&ctx->OrphansLock);
            return STATUS_TIMEOUT;
        }
        status = p->Iosb.Status;
    }
    if (NT_SUCCESS(status) && outLength != 0) RtlCopyMemory(out, p->Out, outLength);
    ExFreePoolWithTag(p, kPoolTag);
    return status;
}

NTSTATUS ZarFsHwGetZARDeviceObject(ZARFS_HW_CONTEXT* ctx, ULONG card)
{
    WCHAR text[] = u"\\Device\\Zar0";
    text[11] = WCHAR(u'0' + card);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &ctx->BoardFile, &ctx->BoardDevice);
    if (!NT_SUCCESS(status)) return status;
    ObfReferenceObject(ctx->BoardDevice);
    ctx->Flags |= ZARFS_HW_BOARD_REFERENCED;
    return STATUS_SUCCESS;
}

void ZarFsHwFreeZARDeviceObject(ZARFS_HW_CONTEXT* ctx)
{
    if (!(ctx->Flags & ZARFS_HW_BOARD_REFERENCED)) return;
    SweepOrphans(ctx, true);
    ObfDereferenceObject(ctx->BoardDevice);
    ObfDereferenceObject(ctx->BoardFile);
    ctx->BoardDevice = nullptr;
    ctx->BoardFile = nullptr;
    ctx->Flags &= ~ZARFS_HW_BOARD_REFERENCED;
}

NTSTATUS ZarFsHwInitializeZAR(ZARFS_HW_CONTEXT* ctx)
{
    LARGE_INTEGER limit;
    limit.QuadPart = kStartUpWait;
    UCHAR block[16] = {};
    NTSTATUS status = ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_FLEX_DOWNLOAD, block, sizeof block, block, sizeof block, &limit);
    if (status == STATUS_TIMEOUT) {
        ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_INIT_ERROR, ZARFS_STATUS_TIMED_OUT, nullptr, 0,
                          "Main driver FLEX init. timeout", static_cast<const char*>(nullptr));
        return ZARFS_STATUS_TIMED_OUT;
    }
    if (!NT_SUCCESS(status)) {
        ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_INIT_ERROR, status, nullptr, 0, "Main driver FLEX init. failure",
                          static_cast<const char*>(nullptr));
        return status;
    }
    status = ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_POST_FPGA_INIT, nullptr, 0, nullptr, 0, &limit);
    if (status == STATUS_TIMEOUT) {
        ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_INIT_ERROR, ZARFS_STATUS_TIMED_OUT, nullptr, 0,
                          "Main board init. timed out", static_cast<const char*>(nullptr));
        return ZARFS_STATUS_TIMED_OUT;
    }
    if (!NT_SUCCESS(status))
        ZarFsGlobLogEvent(ctx->LogObject, ZARFS_MSG_INIT_ERROR, status, nullptr, 0, "Main board init. failed",
                          static_cast<const char*>(nullptr));
    return status;
}

NTSTATUS ZarFsHwInitialize(ZARFS_HW_CONTEXT* ctx, ULONG card, WCHAR driveLetter, PVOID logObject,
                           PPAGED_LOOKASIDE_LIST segments, const ZARFS_SCSI_PREFS* prefs)
{
    RtlZeroMemory(ctx, sizeof *ctx);
    ctx->Card = card;
    ctx->DriveLetter = driveLetter;
    ctx->LogObject = logObject;
    ctx->Segments = segments;
    ctx->ScsiPrefs = prefs ? *prefs : ZARFS_SCSI_PREFS{ZARFS_DEFAULT_RETRIES, ZARFS_DEFAULT_VERIFY};
    InitializeListHead(&ctx->Volumes);
    InitializeListHead(&ctx->Orphans);
    ExInitializeFastMutex(&ctx->OrphansLock);

    struct Scratch {
        PVOID* buffer;
        PKEVENT lock;
        ULONG bytes;
        ULONG flag;
        const char* failure;
    } scratch[] = {
        {&ctx->EntryScratch, &ctx->EntryLock, ZARFS_ENTRY_SCRATCH_BYTES, ZARFS_HW_ENTRY_SCRATCH,
         "SCSI scratch mem. alloc failed"},
        {&ctx->FileScratch, &ctx->FileLock, ZARFS_FILE_SCRATCH_BYTES, ZARFS_HW_FILE_SCRATCH,
         "SCSI file scratch mem. alloc failed"},
        {&ctx->VerifyScratch, &ctx->VerifyLock, ZARFS_VERIFY_SCRATCH_BLOCKS * ZARFS_BLOCK, ZARFS_HW_VERIFY_SCRATCH,
         "SCSI verify scratch mem. alloc failed"},
    };
    for (const Scratch& s : scratch) {
        *s.buffer = ExAllocatePoolWithTag(NonPagedPool, s.bytes, kPoolTag);
        if (*s.buffer == nullptr) {
            ZarFsGlobLogEvent(logObject, ZARFS_MSG_INIT_ERROR, STATUS_INSUFFICIENT_RESOURCES, nullptr, 0, s.failure,
                              static_cast<const char*>(nullptr));
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        KeInitializeEvent(s.lock, SynchronizationEvent, TRUE);
        ctx->Flags |= s.flag;
    }

    NTSTATUS status = ZarFsHwGetZARDeviceObject(ctx, card);
    if (!NT_SUCCESS(status)) {
        if (card == 0)
            ZarFsGlobLogEvent(logObject, ZARFS_MSG_INIT_ERROR, status, nullptr, 0, "Main driver connect failure",
                              static_cast<const char*>(nullptr));
        return status;
    }
    status = ZarFsHwInitializeZAR(ctx);
    if (!NT_SUCCESS(status)) return status;
    return ZarFsHwSCSIScan(ctx);
}

void ZarFsHwFree(ZARFS_HW_CONTEXT* ctx)
{
    ZarFsHwFreeVolumes(ctx);
    if (ctx->Flags & ZARFS_HW_ENTRY_SCRATCH) ExFreePoolWithTag(ctx->EntryScratch, kPoolTag);
    if (ctx->Flags & ZARFS_HW_FILE_SCRATCH) ExFreePoolWithTag(ctx->FileScratch, kPoolTag);
    if (ctx->Flags & ZARFS_HW_VERIFY_SCRATCH) ExFreePoolWithTag(ctx->VerifyScratch, kPoolTag);
    ctx->Flags &= ~(ZARFS_HW_ENTRY_SCRATCH | ZARFS_HW_FILE_SCRATCH | ZARFS_HW_VERIFY_SCRATCH);
    ZarFsHwFreeZARDeviceObject(ctx);
}

NTSTATUS ZarFsHwSCSIRead(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer, ULONG callerValue)
{
    return SendDiskRequest(ctx, ZAR_DISK_OP_READ, id, first, count, buffer, callerValue);
}

NTSTATUS ZarFsHwSCSIWrite(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                          ULONG callerValue)
{
    return SendDiskRequest(ctx, ZAR_DISK_OP_WRITE, id, first, count, buffer, callerValue);
}

NTSTATUS ZarFsHwSCSIReadEx(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                           ULONG callerValue, ULONG kind, BOOLEAN allowBlank)
{
    ULONG bytes = count * ZARFS_BLOCK;
    ULONG tries = ctx->ScsiPrefs.RetryCount + 1;
    ULONG failed = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL, transferStatus = STATUS_SUCCESS;
    bool transferFailed = false, checkFailed = false;
    for (ULONG t = 0; t < tries; ++t) {
        // A try that fails part-way must not leave an earlier try's bytes
        // to pass the check.
        RtlZeroMemory(buffer, bytes);
        status = ZarFsHwSCSIRead(ctx, id, first, count, buffer, callerValue);
        if (NT_SUCCESS(status) && ZarFsHwVerifyChecksum(buffer, kind, allowBlank)) break;
        if (NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
            checkFailed = true;
        } else {
            transferFailed = true;
            transferStatus = status;
        }
        ++failed;
    }
    bool gaveUp = failed == tries;
    if (failed != 0) {
        if (transferFailed)
            LogDiskError(ctx, gaveUp ? ZARFS_MSG_SCSI_FAILED : ZARFS_MSG_SCSI_RETRY, transferStatus, "read", id,
                         first, kind, failed, nullptr);
        else if (checkFailed)
            LogDiskError(ctx, gaveUp ? ZARFS_MSG_CHECKSUM_FAILED : ZARFS_MSG_CHECKSUM_RETRY, status, nullptr, id,
                         first, kind, failed, buffer);
    }
    if (!gaveUp) return STATUS_SUCCESS;
    // The reader carries on with a stand-in entry that names the block.
    RtlZeroMemory(buffer, bytes);
    ZarFsHwMakeReplacementEntry(buffer, kind, first);
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsHwSCSIWriteEx(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                            ULONG callerValue, ULONG kind)
{
    if (buffer == nullptr || !ctx->ScsiPrefs.VerifyWrite)
        return ZarFsHwSCSIWrite(ctx, id, first, count, buffer, callerValue);
    ULONG bytes = count * ZARFS_BLOCK;
    PVOID verify = nullptr;
    bool fresh = count > ZARFS_VERIFY_SCRATCH_BLOCKS;
    if (fresh) {
        verify = ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
        if (verify == nullptr) return ZarFsHwSCSIWrite(ctx, id, first, count, buffer, callerValue);
    } else {
        ZarFsHwLock(&ctx->VerifyLock);
        verify = ctx->VerifyScratch;
    }

    ULONG tries = ctx->ScsiPrefs.RetryCount + 1;
    ULONG failed = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL, writeStatus = STATUS_SUCCESS;
    bool writeFailed = false, verifyFailed = false;
    for (ULONG t = 0; t < tries; ++t) {
        status = ZarFsHwSCSIWrite(ctx, id, first, count, buffer, callerValue);
        if (!NT_SUCCESS(status)) {
            writeFailed = true;
            writeStatus = status;
            ++failed;
            continue;
        }
        RtlZeroMemory(verify, bytes);
        NTSTATUS readBack = ZarFsHwSCSIRead(ctx, id, first, count, verify, callerValue);
        if (NT_SUCCESS(readBack) && RtlCompareMemory(verify, buffer, bytes) == bytes) {
            status = STATUS_SUCCESS;
            break;
        }
        status = STATUS_UNSUCCESSFUL;
        verifyFailed = true;
        ++failed;
    }
    bool gaveUp = failed == tries;
    if (failed != 0) {
        if (writeFailed)
            LogDiskError(ctx, gaveUp ? ZARFS_MSG_SCSI_FAILED : ZARFS_MSG_SCSI_RETRY, writeStatus, "write", id, first,
                         kind, failed, nullptr);
        else if (verifyFailed)
            LogDiskError(ctx, gaveUp ? ZARFS_MSG_VERIFY_FAILED : ZARFS_MSG_VERIFY_RETRY, status, nullptr, id, first,
                         kind, failed, verify);
    }
    if (fresh)
        ExFreePoolWithTag(verify, kPoolTag);
    else
        ZarFsHwUnlock(&ctx->VerifyLock);
    return status;
}

NTSTATUS ZarFsHwAcquireSCSI(ZARFS_HW_CONTEXT* ctx)
{
    return ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_ACQUIRE_SCSI, nullptr, 0, nullptr, 0, nullptr);
}

NTSTATUS ZarFsHwReleaseSCSI(ZARFS_HW_CONTEXT* ctx)
{
    return ZarFsHwDevIOCTL(ctx, IOCTL_ZAR_RELEASE_SCSI, nullptr, 0, nullptr, 0, nullptr);
}

NTSTATUS ZarFsHwMoveBlocks(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG source, ULONG count, ULONG destination,
                           ULONGLONG* progress, ULONG weight, ULONGLONG divisor, PULONG percentage)
{
    if (destination == source) return STATUS_SUCCESS;
    if (count == 0) return STATUS_UNSUCCESSFUL;
    // Upward moves copy from the end down, so an overlapping run is read
    // before it is overwritten.
    bool upward = destination > source;
    for (ULONG done = 0; done < count;) {
        ULONG chunk = count - done < ZARFS_MOVE_CHUNK_BLOCKS ? count - done : ZARFS_MOVE_CHUNK_BLOCKS;
        ULONG offset = upward ? count - done - chunk : done;
        NTSTATUS status = ZarFsHwAcquireSCSI(ctx);
        if (!NT_SUCCESS(status)) return status;
        // No host buffer: the chunk stays in the board's staging memory
        // between the read and the write. A read that failed leaves that
        // memory undefined, so nothing is written from it.
        status = ZarFsHwSCSIRead(ctx, id, source + offset, chunk, nullptr, 1);
        if (NT_SUCCESS(status)) status = ZarFsHwSCSIWrite(ctx, id, destination + offset, chunk, nullptr, 1);
        ZarFsHwReleaseSCSI(ctx);
        if (!NT_SUCCESS(status)) return status;
        done += chunk;
        if (progress != nullptr) {
            *progress += ULONGLONG(chunk) * weight;
            if (percentage != nullptr && divisor != 0) *percentage = ULONG(*progress / divisor);
        }
    }
    return STATUS_SUCCESS;
}

// The card's hardware context: the board driver it talks to, one record per
// SCSI id, the card's media volumes, the scratch buffers with their locks,
// the disk-access preferences and the disk-error count; and the routines of
// disk access (zarfs_disk.cpp) and of volume discovery and format
// (zarfs_volume.cpp, zarfs_format_volume.cpp).
//
// Every block goes to the board driver as IOCTL_ZAR_DISK_REQUEST on
// \Device\Zar<card>; nothing here touches the board itself.
#pragma once

#include "include/zarkd.h"
#include "zarfs_alloc.h"
#include "zarfs_cache.h"
#include "zarfs_format.h"
#include "zarfs_ramfile.h"

struct ZARFS_HW_VOLUME;
struct ZARFS_BT_BACKUP;

// What a drive is to the file system, per SCSI id.
struct ZARFS_DRIVE_RECORD {
    ZAR_SCSI_DEVICE_INFO Device;        // as IOCTL_ZAR_GET_SCSI_DEVICE returned it
    ZARFS_VOLUME_ENTRY VolumeEntry;     // blocks 0-1, when read
    ZARFS_HW_VOLUME* Volume;            // the volume it belongs to, or none
};

inline constexpr ULONG ZARFS_VOL_SETUP_ALLOC = 0x1;
inline constexpr ULONG ZARFS_VOL_SETUP_RAMFILES = 0x4;
inline constexpr ULONG ZARFS_VOL_SETUP_CACHES = 0x8;

struct ZARFS_HW_VOLUME {
    WCHAR Name[ZARFS_NAME_CHARS];
    ULONG DriveCount;
    ULONG ScsiIds[ZARFS_MAX_SCSI_IDS];  // by drive index; ZARFS_NO_DRIVE = missing
    ULONG Flags;                        // ZARFS_VOLUME_INCOMPLETE, ZARFS_VOLUME_NAME_CONFLICT
    ZARFS_DRIVE_RECORD* Drives;         // the card's 16 records
    ZARFS_ALLOC_OBJECT Alloc;
    LIST_ENTRY Link;                    // on the card's volume list
    ULONG AllocLastBlock;               // N - 4608
    ULONG FolderAreaFirst;              // N - 4607
    ULONG OpenCount;
    ULONG FolderBitmap[ZARFS_FOLDER_SLOTS / 32];
    ULONG FolderCount;
    ZARFS_ENTRY_CACHE Cache;
    ULONG SetupFlags;                   // ZARFS_VOL_SETUP_...
    BOOLEAN RemovalReported;
    ULONGLONG CreationTime;             // from the volume entries
    ZARFS_RAM_FILE_LIST RamFiles;       // RAM files of the volume's media files
};

inline BOOLEAN ZarFsHwVolumeUsable(const ZARFS_HW_VOLUME* volume)
{
    return (volume->Flags & (ZARFS_VOLUME_INCOMPLETE | ZARFS_VOLUME_NAME_CONFLICT)) == 0;
}

struct ZARFS_SCSI_PREFS {
    ULONG RetryCount;       // ScsiMaxRetries: further tries after the first
    ULONG VerifyWrite;      // ScsiVerifyWrite: read back what was written
};
static_assert(sizeof(ZARFS_SCSI_PREFS) == 8);
inline constexpr ULONG ZARFS_DEFAULT_RETRIES = 4;
inline constexpr ULONG ZARFS_DEFAULT_VERIFY = 1;

inline constexpr ULONG ZARFS_ENTRY_SCRATCH_BYTES = sizeof(ZARFS_DIR_ENTRY);
inline constexpr ULONG ZARFS_FILE_SCRATCH_BYTES = sizeof(ZAR_FILE_INFO);
inline constexpr ULONG ZARFS_VERIFY_SCRATCH_BLOCKS = 256;
inline constexpr ULONG ZARFS_MAX_DISK_ERROR_ENTRIES = 20;
inline constexpr ULONG ZARFS_MOVE_CHUNK_BLOCKS = 256;

inline constexpr ULONG ZARFS_HW_ENTRY_SCRATCH = 0x1;
inline constexpr ULONG ZARFS_HW_FILE_SCRATCH = 0x2;
inline constexpr ULONG ZARFS_HW_VERIFY_SCRATCH = 0x4;
inline constexpr ULONG ZARFS_HW_BOARD_REFERENCED = 0x8;

// What a start-up request or a scan gives when its wait runs out.
inline constexpr NTSTATUS ZARFS_STATUS_TIMED_OUT = NTSTATUS(0xC0000182);

struct ZARFS_HW_CONTEXT {
    ULONG Card;
    PFILE_OBJECT BoardFile;
    PDEVICE_OBJECT BoardDevice;
    ZARFS_DRIVE_RECORD Drives[ZARFS_MAX_SCSI_IDS];
    LIST_ENTRY Volumes;
    // Scratch buffers, each used only under its lock (a synchronisation
    // event, signalled when free). The entry lock also serialises
    // discovery's folder walk.
    PVOID EntryScratch;
    KEVENT EntryLock;
    PVOID FileScratch;
    KEVENT FileLock;
    PVOID VerifyScratch;
    KEVENT VerifyLock;
    ZARFS_SCSI_PREFS ScsiPrefs;
    LONG DiskErrorEntries;
    ULONG Flags;                        // ZARFS_HW_...
    PPAGED_LOOKASIDE_LIST Segments;     // allocator records
    PVOID LogObject;                    // the driver object, for event-log entries
    LIST_ENTRY Orphans;                 // requests whose wait ran out, still at the board driver
    FAST_MUTEX OrphansLock;             // guards Orphans
    ZARFS_BT_BACKUP* Backup;            // the body-table backup of the scan in progress
    WCHAR DriveLetter;                  // the card's media drive, which a backup must name
    BOOLEAN Flushed;                    // every volume dropped, until a rebuild
    LONG RequestsSent;                  // to the board driver, for figures and traces
};

// ---- disk access (zarfs_disk.cpp) ----
NTSTATUS ZarFsHwInitialize(ZARFS_HW_CONTEXT* ctx, ULONG card, WCHAR driveLetter, PVOID logObject,
                           PPAGED_LOOKASIDE_LIST segments, const ZARFS_SCSI_PREFS* prefs);
void ZarFsHwFree(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwGetZARDeviceObject(ZARFS_HW_CONTEXT* ctx, ULONG card);
void ZarFsHwFreeZARDeviceObject(ZARFS_HW_CONTEXT* ctx);
// 'timeout' in 100 ns units (negative, relative) or null for no limit;
// STATUS_TIMEOUT when the wait ran out.
NTSTATUS ZarFsHwDevIOCTL(ZARFS_HW_CONTEXT* ctx, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                         PLARGE_INTEGER timeout);
NTSTATUS ZarFsHwInitializeZAR(ZARFS_HW_CONTEXT* ctx);
// One staged disk request; success only when the returned record shows
// status 0 and its first block advanced over the whole count.
NTSTATUS ZarFsHwSCSIRead(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer, ULONG callerValue);
NTSTATUS ZarFsHwSCSIWrite(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                          ULONG callerValue);
NTSTATUS ZarFsHwSCSIReadEx(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                           ULONG callerValue, ULONG kind, BOOLEAN allowBlank);
NTSTATUS ZarFsHwSCSIWriteEx(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG first, ULONG count, PVOID buffer,
                            ULONG callerValue, ULONG kind);
NTSTATUS ZarFsHwAcquireSCSI(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwReleaseSCSI(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwMoveBlocks(ZARFS_HW_CONTEXT* ctx, ULONG id, ULONG source, ULONG count, ULONG destination,
                           ULONGLONG* progress, ULONG weight, ULONGLONG divisor, PULONG percentage);

// Scratch locks.
void ZarFsHwLock(PKEVENT lock);
void ZarFsHwUnlock(PKEVENT lock);
// All three scratch buffers, taken in the order every other user takes
// them (entry, file, verify), for a transfer through the verify scratch
// that must not meet any other user of the card's buffers.
void ZarFsHwObtainSCSIScratchLock(ZARFS_HW_CONTEXT* ctx);
void ZarFsHwReleaseSCSIScratchLock(ZARFS_HW_CONTEXT* ctx);

// ---- discovery and volume upkeep (zarfs_volume.cpp) ----
NTSTATUS ZarFsHwSCSIScan(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwInitializeVolumes(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwConstructFolderBitmap(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PULONG folderCount);
NTSTATUS ZarFsHwClaimFileSpace(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, const ZARFS_DIR_ENTRY* folder,
                               ULONG slot, const ZARFS_BT_BACKUP* backup);
// Allocator, entry caches and area bounds of a complete volume.
NTSTATUS ZarFsHwSetUpVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume);
ZARFS_HW_VOLUME* ZarFsHwOpenVolume(ZARFS_HW_CONTEXT* ctx, PCWSTR name, ULONG chars);
void ZarFsHwCloseVolume(ZARFS_HW_VOLUME* volume);
void ZarFsHwGetVolumeSpaceInfo(ZARFS_HW_VOLUME* volume, ULONGLONG* total, ULONGLONG* free);
void ZarFsHwGetTotalVolumeSpaceInfo(ZARFS_HW_CONTEXT* ctx, ULONGLONG* total, ULONGLONG* free);
BOOLEAN ZarFsHwGetLatestVolumeTime(ZARFS_HW_CONTEXT* ctx, ULONGLONG* time);
BOOLEAN ZarFsHwCheckVolumeNameConflict(ZARFS_HW_CONTEXT* ctx, const WCHAR (&name)[ZARFS_NAME_CHARS],
                                       const ULONG* ids, ULONG count);
void ZarFsHwMarkVolumeNameConflict(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume);
void ZarFsHwResolveVolumeNameConflicts(ZARFS_HW_CONTEXT* ctx, const WCHAR (&name)[ZARFS_NAME_CHARS]);
void ZarFsHwRemoveDeviceFromVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG id);
void ZarFsHwFlushVolumeCache(ZARFS_HW_CONTEXT* ctx);
NTSTATUS ZarFsHwRebuildVolumeCache(ZARFS_HW_CONTEXT* ctx);
void ZarFsHwFreeVolume(ZARFS_HW_VOLUME* volume);
void ZarFsHwFreeVolumes(ZARFS_HW_CONTEXT* ctx);
// Directory-change reports: none while no foreign file type is registered.
inline constexpr ULONG ZARFS_CHANGE_ADDED = 1;
inline constexpr ULONG ZARFS_CHANGE_REMOVED = 2;
inline constexpr ULONG ZARFS_CHANGE_RENAMED = 5;
void ZarFsHwVolumeChangeNotify(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG action);
// The volume's record as a listing or a format request carries it.
void ZarFsHwGetVolumeInfo(const ZARFS_HW_VOLUME* volume, ZAR_VOLUME_INFO* info);

// ---- format (zarfs_format_volume.cpp) ----
NTSTATUS ZarFsHwFormatVolume(ZARFS_HW_CONTEXT* ctx, const ZAR_VOLUME_INFO* request, PLONG result);
NTSTATUS ZarFsHwInvalidateFolders(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume);

// ---- entries (zarfs_entries.cpp) ----
// Checked reads through the volume's caches, under the card's scratch locks.
NTSTATUS ZarFsHwReadDirEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG slot, ZARFS_DIR_ENTRY* entry);
NTSTATUS ZarFsHwReadFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, ZAR_FILE_INFO* entry);
NTSTATUS ZarFsHwWriteDirEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG slot, ZARFS_DIR_ENTRY* entry);
// Recomputes the checksum and writes; an entry with checksum and creation
// time both zero is not written.
NTSTATUS ZarFsHwWriteFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, ZAR_FILE_INFO* entry);
// A new folder in the lowest free slot.
NTSTATUS ZarFsHwCreateFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PCWSTR name, ULONG chars,
                             PULONG slot);
// A new file entry (2 upper blocks) in the folder's lowest empty slot.
NTSTATUS ZarFsHwCreateFileEntry(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot,
                                ZAR_FILE_INFO* entry, PULONG block);
NTSTATUS ZarFsHwRemoveFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot, ULONG fileSlot);
NTSTATUS ZarFsHwRemoveFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot);
NTSTATUS ZarFsHwRenameVolume(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, PCWSTR name, ULONG chars);
NTSTATUS ZarFsHwRenameFolder(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG folderSlot, PCWSTR name,
                             ULONG chars);
NTSTATUS ZarFsHwRenameFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG block, PCWSTR name, ULONG chars);
// Moves a file to another folder under a new name; access denied when the
// other folder has no free slot.
NTSTATUS ZarFsHwMoveFile(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG fromFolder, ULONG fileSlot,
                         ULONG toFolder, PCWSTR name, ULONG chars);

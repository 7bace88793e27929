// ZARFSKD's global record and card instances, and the entry points that
// cross its files. One card instance per board whose hardware context
// starts; each has its control device \Device\ZarFsDevice<n>.
//
// Locking
// -------
// Locks, outermost first; a thread takes them only in this order and never
// waits for an outer lock while it holds an inner one.
//  0. ZARFS_PORT_FILE::Lock (mutex, one a port-file handle): one command
//     at a time on the handle, held across its exchange with the service
//     and around the drive's resource it takes to name the command's path.
//  1. ZARFS_CARD_INSTANCE::Resource, the card resource: the card's volume
//     list and every volume's layout (format, discovery, allocation,
//     moves, the cache flush of a volume lock). Exclusive for layout
//     changes, shared for the codes that only read the layout or work on
//     one file.
//  2. ZARFS_VCB::Resource, the drive's resource: the media drive's tree
//     (FCBs, CCBs, counts, names), each FCB's copy of its entry with the
//     clip view and write object built from it, and the space a file
//     reserved; details at ZARFS_VCB. Exclusive to change any of these,
//     shared to read them: clip reads hold it shared across their disk
//     I/O, so reads of one drive run side by side.
//  3. ZARFS_BT_HANDLER::Mutex (mutex): the body-table objects, their lists
//     and the flush suspension; held across the disk I/O of a flush.
//  4. ZARFS_HW_CONTEXT's EntryLock, FileLock, VerifyLock (events, in that
//     order): the card's disk scratch buffers, held across the transfer
//     that uses them.
//  5. Leaf locks, held for a few instructions and never while taking
//     another lock: ZARFS_ENTRY_CACHE::Mutex (the entry caches and their
//     indexes), ZARFS_ALLOC_OBJECT::Lock (the allocator's free lists),
//     ZARFS_HW_CONTEXT::OrphansLock (disk requests given up on),
//     ZARFS_VCB::NotifySync (the change-notify list) and the file-type
//     list's lock (zarfs_service.cpp).
//  The service exchange (ZARFS_SERVICE_CHANNEL::Exchange) waits up to 60 s
//  for a user-mode process that may itself open files on the drive: it is
//  never entered holding the drive's resource (nor the card resource).
//  Every resource is held inside a critical region; ZarFsUnderResource
//  does both.
#pragma once

#include "zarfs_bodytable.h"
#include "zarfs_eventlog.h"
#include "zarfs_hw.h"
#include "zarfs_node.h"
#include "zarfs_service.h"

inline constexpr ULONG ZARFS_MAX_CARDS = 10;
inline constexpr ULONG ZARFS_POOL_TAG = ZarFsTag("Ifs ");  // "Ifs "

// ZARFS_CARD_INSTANCE set-up flags.
inline constexpr ULONG ZARFS_CARD_CONTROL_DEVICE = 0x1;
inline constexpr ULONG ZARFS_CARD_CONTROL_EXTENSION = 0x2;
inline constexpr ULONG ZARFS_CARD_CONTROL_LINK = 0x4;
inline constexpr ULONG ZARFS_CARD_DISK_DEVICE = 0x8;
inline constexpr ULONG ZARFS_CARD_DISK_LINK = 0x20;
inline constexpr ULONG ZARFS_CARD_BT_CACHE = 0x40;
inline constexpr ULONG ZARFS_CARD_HW = 0x80;
inline constexpr ULONG ZARFS_CARD_RESOURCE = 0x100;
inline constexpr ULONG ZARFS_CARD_VCB = 0x200;
inline constexpr ULONG ZARFS_CARD_SERVICE = 0x400;

struct ZARFS_CARD_INSTANCE {
    LIST_ENTRY Link;
    UNICODE_STRING ControlName;
    UNICODE_STRING ControlLink;
    WCHAR ControlNameBuffer[32];
    WCHAR ControlLinkBuffer[32];
    PDEVICE_OBJECT ControlDevice;
    UNICODE_STRING DiskName;
    UNICODE_STRING DiskLink;
    WCHAR DiskNameBuffer[32];
    WCHAR DiskLinkBuffer[32];
    PDEVICE_OBJECT DiskDevice;      // the media drive, \Device\ZarFsDiskDevice<n>
    ZARFS_VCB Vcb;
    ZARFS_HW_CONTEXT Hw;
    ZARFS_SCSI_PREFS ScsiPrefs;
    ZAR_FILE_SYSTEM_PREFS Prefs;    // as read at start-up or last set
    ZARFS_BT_HANDLER BodyTables;
    ZARFS_SERVICE_CHANNEL Service;  // to the file-system service
    WCHAR DriveLetter;              // the media drive's letter: DriveLetter0, else 'P' + card, moved on while taken
    ERESOURCE Resource;             // the card resource: volumes and their layout (lock 1, see Locking)
    ULONG Card;
    ULONG Flags;                    // ZARFS_CARD_...
};

// Device extension of every device of the driver; kind 0 = control device,
// kind 1 = the media drive.
inline constexpr ULONG ZARFS_DEVICE_CONTROL = 0;
inline constexpr ULONG ZARFS_DEVICE_DISK = 1;
struct ZARFS_DEVICE_EXTENSION {
    ULONG Kind;
    ZARFS_CARD_INSTANCE* Card;
};

inline constexpr ULONG ZARFS_GLOBAL_CARDS = 0x1;
inline constexpr ULONG ZARFS_GLOBAL_SEGMENTS = 0x40;

struct ZARFS_GLOBAL {
    PDRIVER_OBJECT DriverObject;
    UNICODE_STRING RegistryPath;
    LIST_ENTRY Cards;
    PAGED_LOOKASIDE_LIST Segments;  // allocator records, "VOLA"
    ULONG Flags;                    // ZARFS_GLOBAL_...
};
extern ZARFS_GLOBAL* ZarFsGlobal;

// Runs 'work' holding 'resource' (exclusive or shared) inside a critical
// region, and returns what it returns. Nest calls for the card resource
// and then the drive's.
template <typename Work>
NTSTATUS ZarFsUnderResource(PERESOURCE resource, bool exclusive, Work work)
{
    KeEnterCriticalRegion();
    if (exclusive)
        ExAcquireResourceExclusiveLite(resource, TRUE);
    else
        ExAcquireResourceSharedLite(resource, TRUE);
    NTSTATUS status = work();
    ExReleaseResourceLite(resource);
    KeLeaveCriticalRegion();
    return status;
}

// A request that may finish on a system worker (zarfs_irpctx.cpp).
inline constexpr ULONG ZARFS_IRPC_CAN_WAIT = 0x1;
inline constexpr ULONG ZARFS_IRPC_HANDED_ON = 0x2;  // another routine completes the request
inline constexpr ULONG ZARFS_IRPC_POSTED = 0x4;
inline constexpr ULONG ZARFS_IRPC_OWN_MDL = 0x8;    // Mdl is the driver's, locked
struct ZARFS_IRP_CONTEXT {
    ULONG Flags;                    // ZARFS_IRPC_...
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    WORK_QUEUE_ITEM WorkItem;
    PIRP Irp;
    PDEVICE_OBJECT Device;
    ZARFS_CARD_INSTANCE* Card;
    PFILE_OBJECT File;              // the media file a control code names, referenced
    PMDL Mdl;
};
NTSTATUS ZarFsIRPContextAllocate(PIRP irp, PDEVICE_OBJECT device, ZARFS_IRP_CONTEXT** context);
// Also dereferences File and unlocks the driver's own MDL.
void ZarFsIRPContextFree(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIRPContextPost(ZARFS_IRP_CONTEXT* context);
void ZarFsCommonDispatch(ZARFS_IRP_CONTEXT* context);

// ---- start-up, shut-down, unload (zarfs_init.cpp) ----
NTSTATUS ZarFsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// A paged-pool copy of 'from' under 'tag', with a zero after its Length.
NTSTATUS ZarFsCopyName(UNICODE_STRING* to, PCUNICODE_STRING from, ULONG tag);
void ZarFsInitUnload(PDRIVER_OBJECT driverObject);
NTSTATUS ZarFsInitShutdown(PDEVICE_OBJECT device, PIRP irp);
// Writes the card's preferences, or its disk-access preferences, to its registry key.
void ZarFsGlobSetPreferences(ZARFS_CARD_INSTANCE* card);
void ZarFsGlobSetScsiPrefs(ZARFS_CARD_INSTANCE* card);
// Moves the media drive to 'letter' (on to the next letter while taken);
// when no letter can be linked the old one is linked again and the failure
// returned.
NTSTATUS ZarFsGlobChangeDriveLetter(ZARFS_CARD_INSTANCE* card, WCHAR letter);
// The card instance of a board, or null.
ZARFS_CARD_INSTANCE* ZarFsGlobFindCard(ULONG card);

// ---- dispatch routines, one major function a file ----
NTSTATUS ZarFsCreate(PDEVICE_OBJECT device, PIRP irp);                   // zarfs_create.cpp
NTSTATUS ZarFsCleanup(PDEVICE_OBJECT device, PIRP irp);                  // zarfs_close.cpp
NTSTATUS ZarFsClose(PDEVICE_OBJECT device, PIRP irp);                    // zarfs_close.cpp
NTSTATUS ZarFsRead(PDEVICE_OBJECT device, PIRP irp);                     // zarfs_read.cpp
NTSTATUS ZarFsWrite(PDEVICE_OBJECT device, PIRP irp);                    // zarfs_write.cpp
NTSTATUS ZarFsFlushBuffers(PDEVICE_OBJECT device, PIRP irp);             // zarfs_write.cpp
NTSTATUS ZarFsQueryInformation(PDEVICE_OBJECT device, PIRP irp);         // zarfs_fileinfo.cpp
NTSTATUS ZarFsSetInformation(PDEVICE_OBJECT device, PIRP irp);           // zarfs_fileinfo.cpp
NTSTATUS ZarFsQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp);   // zarfs_volinfo.cpp
NTSTATUS ZarFsSetVolumeInformation(PDEVICE_OBJECT device, PIRP irp);     // zarfs_volinfo.cpp
NTSTATUS ZarFsDirectoryCtrl(PDEVICE_OBJECT device, PIRP irp);            // zarfs_dirctl.cpp
NTSTATUS ZarFsFileSystemCtrl(PDEVICE_OBJECT device, PIRP irp);           // zarfs_fsctl.cpp
NTSTATUS ZarFsDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp);              // zarfs_ioctl.cpp
// The media drive's side of create, cleanup and close.
NTSTATUS ZarFsCommonCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarFsCommonCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarFsCommonClose(PDEVICE_OBJECT device, PIRP irp);
// The worker's side of the posted control codes; completes the request.
void ZarFsCommonDeviceIOCTL(ZARFS_IRP_CONTEXT* context);

// The transfers reads and writes share (zarfs_transfer.cpp); each
// completes the request. A RAM file's under the drive's resource; the
// port file's takes it itself.
NTSTATUS ZarFsTransferRamFile(ZARFS_VCB* vcb, ZARFS_FCB* fcb, PIRP irp, PIO_STACK_LOCATION stack, bool write);
NTSTATUS ZarFsTransferPort(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZARFS_CCB* ccb, PIRP irp, PIO_STACK_LOCATION stack,
                           bool write);

// ---- control codes (zarfs_ioctl.cpp routes ZarFsIoctlTable to these) ----
// One request to the control device as every control-code handler gets it.
struct ZARFS_IOCTL_REQUEST {
    ZARFS_CARD_INSTANCE* Card;
    PIRP Irp;
    PIO_STACK_LOCATION Stack;
    ZARFS_IRP_CONTEXT* Context;     // a posted code's: it carries the request to the worker; else null
    ULONG_PTR Information;          // bytes returned: a code that returns its record sets it
};
// A posted code's handler runs in the caller's thread first (its context
// not yet ZARFS_IRPC_POSTED) and posts, then again on the worker.
using ZARFS_IOCTL_HANDLER = NTSTATUS (*)(ZARFS_IOCTL_REQUEST* ioctl);

// ---- control codes of the driver and the media drive (zarfs_ioctl_drive.cpp) ----
NTSTATUS ZarFsIoctlGetPreferences(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlSetPreferences(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlGetScsiPrefs(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlSetScsiPrefs(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlBodyTableFlushSuspend(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlBodyTableFlushResume(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlLockFileSystem(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS ZarFsIoctlUnlockFileSystem(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlGetFileEntry(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlGetVolumeSpaceInfo(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlDismountVolume(ZARFS_IOCTL_REQUEST* ioctl);

// The file object of a handle the caller opened on this card's media drive
// (referenced), with its request kind and FCB; a volume handle or a handle
// of something else gives STATUS_UNSUCCESSFUL.
NTSTATUS ZarFsIoctlResolveHandle(ZARFS_CARD_INSTANCE* card, PIRP irp, ULONG handle, PFILE_OBJECT* file,
                                 ZARFS_REQUEST_TYPE* type, ZARFS_FCB** fcb);

// ---- per-file control codes (zarfs_ioctl_file.cpp) ----
NTSTATUS ZarFsIoctlAllocateVideoSpace(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlUpdateVideoFile(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlGetFileInfo(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlSetAppFileEntryInfo(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlSetSDTIType(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlGetFileLocationInfo(ZARFS_IOCTL_REQUEST* ioctl);
// Posted codes.
NTSTATUS ZarFsIoctlReferenceBodyTable(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlDereferenceBodyTable(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlCreateNewBodyTable(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlAddVideoNodesToBodyTable(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlAddAlphaNodesToBodyTable(ZARFS_IOCTL_REQUEST* ioctl);
NTSTATUS ZarFsIoctlMoveFileSegments(ZARFS_IOCTL_REQUEST* ioctl);
// A media file's last handle goes: space it reserved and never settled is
// given back once its entry, rewritten, no longer names it; a failed write
// keeps the space claimed and is returned. Under the drive's resource.
NTSTATUS ZarFsFileReleaseReservations(ZARFS_VCB* vcb, ZARFS_FCB* fcb);
// Rewrites a media file's entry and keeps every FCB's copy of it in step,
// dropping the clip views built from the old one. Under the drive's
// resource held exclusive (see ZARFS_VCB).
NTSTATUS ZarFsFileWriteEntry(ZARFS_VCB* vcb, ZARFS_FCB* fcb, ZAR_FILE_INFO* entry);
// The handle goes: a writer it counted on the body tables is dropped.
void ZarFsFileReleaseBodyTableWriter(ZARFS_VCB* vcb, ZARFS_CCB* ccb);
// The FCB goes: its body-table reference is given back.
void ZarFsFileReleaseBodyTable(ZARFS_VCB* vcb, ZARFS_FCB* fcb);

// ZARFSKD's global record and card instances, and the entry points that
// cross its files. One card instance per board whose hardware context
// starts; each has its control device \Device\ZarFsDevice<n>.
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
    ERESOURCE Resource;             // exclusive for layout changes, shared for readers; before Vcb.Resource
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

// ---- control device (zarfs_ioctl.cpp) ----
NTSTATUS ZarFsCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarFsCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarFsClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ZarFsDeviceIOCTL(PDEVICE_OBJECT device, PIRP irp);
// The worker's side of the posted control codes; completes the request.
void ZarFsCommonDeviceIOCTL(ZARFS_IRP_CONTEXT* context);

// ---- control codes of the driver and the media drive (zarfs_ioctl_drive.cpp) ----
NTSTATUS ZarFsIoctlGetPreferences(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlSetPreferences(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlGetScsiPrefs(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlSetScsiPrefs(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlBodyTableFlushSuspend(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlBodyTableFlushResume(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlLockFileSystem(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS ZarFsIoctlUnlockFileSystem(ZARFS_CARD_INSTANCE* card, PFILE_OBJECT file);
NTSTATUS ZarFsIoctlGetFileEntry(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlGetVolumeSpaceInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack,
                                      ULONG_PTR* info);
NTSTATUS ZarFsIoctlDismountVolume(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);

// The file object of a handle the caller opened on this card's media drive
// (referenced), with its request kind and FCB; a volume handle or a handle
// of something else gives STATUS_UNSUCCESSFUL.
NTSTATUS ZarFsIoctlResolveHandle(ZARFS_CARD_INSTANCE* card, PIRP irp, ULONG handle, PFILE_OBJECT* file,
                                 ZARFS_REQUEST_TYPE* type, ZARFS_FCB** fcb);
// Runs 'work' under the card resource, inside a critical region.
template <typename Work>
NTSTATUS ZarFsUnderCardResource(ZARFS_CARD_INSTANCE* card, bool exclusive, Work work)
{
    KeEnterCriticalRegion();
    if (exclusive)
        ExAcquireResourceExclusiveLite(&card->Resource, TRUE);
    else
        ExAcquireResourceSharedLite(&card->Resource, TRUE);
    NTSTATUS status = work();
    ExReleaseResourceLite(&card->Resource);
    KeLeaveCriticalRegion();
    return status;
}

// ---- per-file control codes (zarfs_ioctl_file.cpp) ----
NTSTATUS ZarFsIoctlAllocateVideoSpace(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlUpdateVideoFile(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlGetFileInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlSetAppFileEntryInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlSetSDTIType(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
NTSTATUS ZarFsIoctlGetFileLocationInfo(ZARFS_CARD_INSTANCE* card, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* info);
// Posted codes: called in the caller's thread (context not yet posted),
// then again on the worker.
NTSTATUS ZarFsIoctlReferenceBodyTable(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIoctlDereferenceBodyTable(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIoctlCreateNewBodyTable(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIoctlAddVideoNodesToBodyTable(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIoctlAddAlphaNodesToBodyTable(ZARFS_IRP_CONTEXT* context);
NTSTATUS ZarFsIoctlMoveFileSegments(ZARFS_IRP_CONTEXT* context);
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

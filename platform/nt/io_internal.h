// I/O manager internals shared by its modules (IRPs, devices, files, the
// system-call seam, work items, driver loading). Drivers never include it.
#pragma once

#include <mutex>
#include <string>

#include "nt_internal.h"
#include "nt_mm.h"

// Pool tags, readable in a dump as the four letters.
constexpr ULONG IopTag(const char (&t)[5])
{
    return ULONG(UCHAR(t[0])) | ULONG(UCHAR(t[1])) << 8 | ULONG(UCHAR(t[2])) << 16 | ULONG(UCHAR(t[3])) << 24;
}
inline constexpr ULONG kTagSystemBuffer = IopTag("IoSb"), kTagWorkItem = IopTag("IoWi"),
                       kTagErrorLog = IopTag("IoEl");

enum : SHORT { IO_TYPE_DRIVER = 4, IO_TYPE_DEVICE = 3, IO_TYPE_FILE = 5, IO_TYPE_IRP = 6 };

// The I/O manager's bookkeeping of one IRP, allocated behind its stack
// locations (IRP::IoManagerPrivate points here).
struct IopIrpContext {
    ULONG Magic;
    UCHAR StackSize;       // stack locations allocated
    BOOLEAN Cached;        // returns to the IRP cache when freed
    BOOLEAN InlineBuffer;  // SystemBuffer is InlineData
    BOOLEAN Tracked;       // on the list of user requests in flight
    PKEVENT EventObject;   // a user event object referenced for the request
    PEPROCESS Process;     // the requesting process (user requests)
    ULONG OutputLength;    // bytes the copy-back may write to UserBuffer
    LIST_ENTRY TrackLink;
    LONG CancelHolds;      // NtCancelIoFile/process end working on it
    BOOLEAN FreeDeferred;  // completed while held: the last holder frees it
    BOOLEAN UpdatesPosition;  // a read/write on a synchronous file object
    UCHAR Pad[2];
    LONGLONG ByteOffset;   // where that transfer started
    alignas(8) UCHAR InlineData[256];
};
enum : ULONG { IOP_IRP_MAGIC = 0x70724969 };
inline IopIrpContext* IopContext(PIRP irp) { return static_cast<IopIrpContext*>(irp->IoManagerPrivate); }

// Private state of a device object, between the DEVICE_OBJECT and the
// driver's extension.
struct DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    ULONG ExtensionFlags;
    PDEVICE_OBJECT AttachedTo;
};
enum : ULONG { DOE_DELETE_PENDING = 0x01, DOE_SHUTDOWN_REGISTERED = 0x02, DOE_UNLOAD_PENDING = 0x04 };
inline DEVOBJ_EXTENSION* IopDeviceExtension(PDEVICE_OBJECT d)
{
    return static_cast<DEVOBJ_EXTENSION*>(d->DeviceObjectExtension);
}

// Private file-object flags (above the ones NT defines).
enum : ULONG {
    FO_IOP_OPENED = 0x20000000,       // the create succeeded: close is owed
    FO_IOP_CLEANUP_SENT = 0x40000000,
};

// What NtCreateFile hands the device's parse procedure.
struct IopOpenPacket {
    ULONG Magic;
    ACCESS_MASK DesiredAccess;
    ULONG Disposition;
    ULONG Options;
    USHORT FileAttributes;
    USHORT ShareAccess;
    LARGE_INTEGER AllocationSize;
    PFILE_OBJECT RelatedFileObject;
    NTSTATUS FinalStatus;
    ULONG_PTR Information;
    bool ParseCalled;
};
enum : ULONG { IOP_OPEN_MAGIC = 0x6e65704f };

// The object types of the I/O manager, defined in their modules.
extern OBJECT_TYPE IopDeviceType;
extern OBJECT_TYPE IopDriverType;
extern OBJECT_TYPE IopFileType;

// Sends a request that the I/O manager makes for itself (create, cleanup,
// close, shutdown) and waits for it; returns its final status.
NTSTATUS IopSendAndWait(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb);
PDEVICE_OBJECT IopTopOfStack(PDEVICE_OBJECT device);
NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// User requests in flight: tracked for NtCancelIoFile and process end.
void IopTrackIrp(PIRP irp);
void IopCancelProcessIrps(PEPROCESS process);
void IopCancelThreadFileIrps(PKTHREAD thread, PFILE_OBJECT file);

// File objects: an open through a device (create request sent).
NTSTATUS IopCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                       PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                       ULONG disposition, ULONG options, KPROCESSOR_MODE mode);

void IopShutdown();               // stops the workers, forgets drivers
// After the last file of a device whose driver's unload waits is closed.
void IopCheckUnloadDriver(PDRIVER_OBJECT driver);
extern std::mutex IopDatabaseLock;  // device lists, stacks, shutdown list
void IopStartWorkers();
void IopStopWorkers();

// Buffers of a control request by its method (system buffer, MDL, or the
// caller's pointers); false when a user buffer is not accessible.
bool IopSetupControlBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                            KPROCESSOR_MODE mode);
PVOID IopAllocateSystemBuffer(PIRP irp, ULONG length);
bool IopLockBuffer(PIRP irp, PVOID buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation);
void IopDiscardIrp(PIRP irp);

NTSTATUS IopParseDevice(PVOID body, const std::u16string& remaining, ULONG attributes, ACCESS_MASK access,
                        KPROCESSOR_MODE mode, PVOID parseContext, PVOID* opened, std::u16string* reparsed);
NTSTATUS IopCreateDriverObject(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out);
#include <vector>
std::vector<PDEVICE_OBJECT> IopTakeShutdownList();
// Copies from a caller's buffer; false when a user buffer faults.
bool IopCopyIn(KPROCESSOR_MODE mode, void* to, const void* from, size_t n);

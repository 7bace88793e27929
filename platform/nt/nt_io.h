// I/O manager: driver and device objects, file objects, IRPs with their
// stack locations, completion and cancel, device queues and start-I/O,
// system threads, work items, shutdown notification, the error log.
#pragma once

#include "nt_ob.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct MDL;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;
using PIRP = IRP*;
using PMDL = MDL*;

// ---- System threads ----

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID context);
// Ends the calling system thread (unwinds it; the thread object is signalled).
[[noreturn]] void PsTerminateSystemThread(NTSTATUS exitStatus);

// ---- Device queues ----

struct KDEVICE_QUEUE {
    SHORT Type;
    SHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
};
using PKDEVICE_QUEUE = KDEVICE_QUEUE*;
struct KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
};
using PKDEVICE_QUEUE_ENTRY = KDEVICE_QUEUE_ENTRY*;

void KeInitializeDeviceQueue(PKDEVICE_QUEUE queue);
// FALSE when the queue was not busy: it is now busy and the entry was NOT
// inserted (the caller starts it); TRUE when the entry was queued.
BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry);
BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry, ULONG sortKey);
// The next entry, or nullptr with the queue set not busy.
PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE queue);
PKDEVICE_QUEUE_ENTRY KeRemoveByKeyDeviceQueue(PKDEVICE_QUEUE queue, ULONG sortKey);
BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry);

// ---- Status block, stack locations, IRPs ----


using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp, PVOID context);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_STARTIO = void (*)(PDEVICE_OBJECT device, PIRP irp);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT driver);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

enum : UCHAR {
    IRP_MJ_CREATE = 0x00,
    IRP_MJ_CREATE_NAMED_PIPE = 0x01,
    IRP_MJ_CLOSE = 0x02,
    IRP_MJ_READ = 0x03,
    IRP_MJ_WRITE = 0x04,
    IRP_MJ_QUERY_INFORMATION = 0x05,
    IRP_MJ_SET_INFORMATION = 0x06,
    IRP_MJ_QUERY_EA = 0x07,
    IRP_MJ_SET_EA = 0x08,
    IRP_MJ_FLUSH_BUFFERS = 0x09,
    IRP_MJ_QUERY_VOLUME_INFORMATION = 0x0a,
    IRP_MJ_SET_VOLUME_INFORMATION = 0x0b,
    IRP_MJ_DIRECTORY_CONTROL = 0x0c,
    IRP_MJ_FILE_SYSTEM_CONTROL = 0x0d,
    IRP_MJ_DEVICE_CONTROL = 0x0e,
    IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f,
    IRP_MJ_SHUTDOWN = 0x10,
    IRP_MJ_LOCK_CONTROL = 0x11,
    IRP_MJ_CLEANUP = 0x12,
    IRP_MJ_MAXIMUM_FUNCTION = 0x1b,
};

// Stack location control bits.
enum : UCHAR {
    SL_PENDING_RETURNED = 0x01,
    SL_INVOKE_ON_CANCEL = 0x20,
    SL_INVOKE_ON_SUCCESS = 0x40,
    SL_INVOKE_ON_ERROR = 0x80,
};


// What a create request carries besides its parameters: the access the
// opener asked for.
struct IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PVOID AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
};
using PIO_SECURITY_CONTEXT = IO_SECURITY_CONTEXT*;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;  // create disposition in the top byte, options below
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG Length;
            PUNICODE_STRING FileName;
            ULONG FileInformationClass;
            ULONG FileIndex;
        } QueryDirectory;
        struct {
            ULONG Length;
            ULONG CompletionFilter;
        } NotifyDirectory;
        struct {
            ULONG Length;
            ULONG FileInformationClass;
        } QueryFile;
        struct {
            ULONG Length;
            ULONG FileInformationClass;
            PFILE_OBJECT FileObject;
            union {
                struct {
                    BOOLEAN ReplaceIfExists;
                    BOOLEAN AdvanceOnly;
                };
                ULONG ClusterCount;
                HANDLE DeleteHandle;
            };
        } SetFile;
        struct {
            ULONG Length;
            ULONG FsInformationClass;
        } QueryVolume;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
            PVOID Type3InputBuffer;
        } FileSystemControl;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 4);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 12);

// IRP flags the I/O manager sets.
enum : ULONG {
    IRP_NOCACHE = 0x00000001,
    IRP_PAGING_IO = 0x00000002,
    IRP_BUFFERED_IO = 0x00000010,
    IRP_DEALLOCATE_BUFFER = 0x00000020,
    IRP_INPUT_OPERATION = 0x00000040,
    IRP_SYNCHRONOUS_API = 0x00000004,
    IRP_CREATE_OPERATION = 0x00000080,
    IRP_READ_OPERATION = 0x00000100,
    IRP_WRITE_OPERATION = 0x00000200,
    IRP_CLOSE_OPERATION = 0x00000400,
};

// How an IRP was allocated (AllocationFlags): by IoAllocateIrp at the size
// its stack count gives.
enum : UCHAR { IRP_ALLOCATED_FIXED_SIZE = 0x04 };

struct IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // 1..StackCount while a driver owns it; StackCount+1 before the first call
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PIO_APC_ROUTINE UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                PVOID DriverContext[4];
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            IO_STACK_LOCATION* CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    // The I/O manager's own bookkeeping (completion state, the user buffers
    // to copy back, the owning process); drivers do not touch it.
    PVOID IoManagerPrivate;
    IO_STACK_LOCATION Stack[1];  // StackCount locations follow; Stack[0] is the lowest driver's
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSkipCurrentIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp), n = IoGetNextIrpStackLocation(irp);
    std::memcpy(n, s, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    n->Control = 0;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel)
{
    PIO_STACK_LOCATION n = IoGetNextIrpStackLocation(irp);
    n->CompletionRoutine = routine;
    n->Context = context;
    n->Control = 0;
    if (onSuccess) n->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) n->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) n->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine)
{
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
void IoReuseIrp(PIRP irp, NTSTATUS status);
// Builds a device-control request for 'device' as NT does for the code's
// method; completes by setting 'event' and 'iosb'; the I/O manager frees it.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK iosb);
PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER startingOffset, PKEVENT event, PIO_STATUS_BLOCK iosb);
PIRP IoBuildAsynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                   PLARGE_INTEGER startingOffset, PIO_STATUS_BLOCK iosb);
NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
// Completes a request: runs completion routines up the stack, then the I/O
// manager's completion (copy-back, user status block, event, APC). A second
// completion of the same IRP is a bug check.
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))
enum : CCHAR { IO_NO_INCREMENT = 0, IO_DISK_INCREMENT = 1, IO_SOUND_INCREMENT = 8, IO_VIDEO_INCREMENT = 1 };
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
BOOLEAN IoCancelIrp(PIRP irp);
void IoAcquireCancelSpinLock(PKIRQL irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// ---- Driver and device objects ----

struct DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PVOID AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
};

struct DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;  // list of the driver's devices (NextDevice)
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

enum : ULONG {
    DO_VERIFY_VOLUME = 0x00000002,
    DO_BUFFERED_IO = 0x00000004,
    DO_EXCLUSIVE = 0x00000008,
    DO_DIRECT_IO = 0x00000010,
    DO_DEVICE_HAS_NAME = 0x00000040,
    DO_DEVICE_INITIALIZING = 0x00000080,
    FILE_DEVICE_SECURE_OPEN = 0x00000100,
};

struct VPB;
struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;  // open file objects on the device
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;  // the packet StartIo is working on
    ULONG Flags;
    ULONG Characteristics;
    VPB* Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    PVOID DeviceObjectExtension;  // the I/O manager's own state of the device
};

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG deviceType,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
void IoDeleteDevice(PDEVICE_OBJECT device);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
// Opens the named device as a kernel caller: returns a referenced file object
// and the device (topmost of its stack), as NT does.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* device);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT fileObject);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
void IoDetachDevice(PDEVICE_OBJECT target);
NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT device);
void IoUnregisterShutdownNotification(PDEVICE_OBJECT device);

// A named event that user mode can open: created signalled when it does not
// exist, else opened as it is. *handle is a kernel handle (ZwClose it when
// done); null when the event could not be created or opened.
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING name, PHANDLE handle);
PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING name, PHANDLE handle);

// Start-I/O: the device's own queue of packets served one at a time.
void IoStartPacket(PDEVICE_OBJECT device, PIRP irp, PULONG key, PDRIVER_CANCEL cancelFunction);
void IoStartNextPacket(PDEVICE_OBJECT device, BOOLEAN cancelable);
void IoStartNextPacketByKey(PDEVICE_OBJECT device, BOOLEAN cancelable, ULONG key);

using PIO_DPC_ROUTINE = void (*)(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp, PVOID context);
inline void IoInitializeDpcRequest(PDEVICE_OBJECT device, PIO_DPC_ROUTINE routine)
{
    KeInitializeDpc(&device->Dpc, reinterpret_cast<PKDEFERRED_ROUTINE>(routine), device);
}
inline void IoRequestDpc(PDEVICE_OBJECT device, PIRP irp, PVOID context) { KeInsertQueueDpc(&device->Dpc, irp, context); }

// ---- File objects ----

struct SECTION_OBJECT_POINTERS;
struct FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    VPB* Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    SECTION_OBJECT_POINTERS* SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiter;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    // Who opened it: the process of the open and the access it was granted.
    PEPROCESS OwnerProcess;
    ACCESS_MASK GrantedAccess;
};
enum : ULONG {
    FO_SYNCHRONOUS_IO = 0x00000002,
    FO_CLEANUP_COMPLETE = 0x00004000,
    FO_HANDLE_CREATED = 0x00040000,
};

// Share access bookkeeping for file systems.
struct SHARE_ACCESS {
    ULONG OpenCount, Readers, Writers, Deleters, SharedRead, SharedWrite, SharedDelete;
};
NTSTATUS IoCheckShareAccess(ACCESS_MASK desired, ULONG shareAccess, PFILE_OBJECT file, SHARE_ACCESS* share,
                            BOOLEAN update);
void IoSetShareAccess(ACCESS_MASK desired, ULONG shareAccess, PFILE_OBJECT file, SHARE_ACCESS* share);
void IoRemoveShareAccess(PFILE_OBJECT file, SHARE_ACCESS* share);

// ---- Work items ----

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(PDEVICE_OBJECT device, PVOID context);
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
void IoFreeWorkItem(PIO_WORKITEM item);
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context);

// ---- Error log ----

struct IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;     // bytes of DumpData
    USHORT NumberOfStrings;  // UTF-16 strings at StringOffset, each terminated
    USHORT StringOffset;     // from the start of the packet
    USHORT EventCategory;
    NTSTATUS ErrorCode;      // the message identifier
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
};
using PIO_ERROR_LOG_PACKET = IO_ERROR_LOG_PACKET*;
enum : ULONG { ERROR_LOG_MAXIMUM_SIZE = 240 };
// 'ioObject' is a driver or device object; entrySize includes the packet
// header. Null when the size is too large (> ERROR_LOG_MAXIMUM_SIZE).
PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
// Writes the entry to the machine's event log (source: the driver's service
// name) and frees it.
void IoWriteErrorLogEntry(PVOID entry);
void IoFreeErrorLogEntry(PVOID entry);


// Kernel-mode file calls (previous mode KernelMode: buffers are trusted,
// handles may be kernel handles). Same contracts as the system calls.
NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                      PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
NTSTATUS ZwOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                    ULONG shareAccess, ULONG openOptions);
NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS ZwWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS ZwDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength);
NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass);
NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass);

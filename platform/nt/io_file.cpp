// I/O manager: file objects. An open parses a device name (the rest of the
// path becomes the file name), makes one file object and sends it the
// create request; a failed create discards the object without a close. The
// last handle's close sends cleanup, the last reference's goes with close.
// Also the share-access helpers of file-system drivers.
#include "io_internal.h"
#include "ob_internal.h"

namespace {

// A request the I/O manager sends on its own behalf to a file's device.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, ULONG flags)
{
    PDEVICE_OBJECT target = IopTopOfStack(file->DeviceObject);
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = KernelMode;
    irp->Flags = flags;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = major;
    s->FileObject = file;
    IO_STATUS_BLOCK iosb{};
    return IopSendAndWait(target, irp, &iosb);
}

void IopCloseFile(PEPROCESS process, PVOID body, ULONG handleCount)
{
    (void)process;
    (void)handleCount;
    auto* file = static_cast<PFILE_OBJECT>(body);
    // Cleanup belongs to the last handle anywhere, not per process.
    if (ObGetHandleCount(body) != 0 || !(file->Flags & FO_IOP_OPENED)) return;
    if (__atomic_fetch_or(&file->Flags, ULONG(FO_IOP_CLEANUP_SENT), __ATOMIC_SEQ_CST) & FO_IOP_CLEANUP_SENT) return;
    SendFileRequest(file, IRP_MJ_CLEANUP, IRP_SYNCHRONOUS_API);
    __atomic_fetch_or(&file->Flags, ULONG(FO_CLEANUP_COMPLETE), __ATOMIC_SEQ_CST);
}

void IopDeleteFile(PVOID body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    PDRIVER_OBJECT unloading = nullptr;
    if (file->Flags & FO_IOP_OPENED) {
        SendFileRequest(file, IRP_MJ_CLOSE, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
        PDEVICE_OBJECT device = file->DeviceObject;
        if (InterlockedDecrement(&device->ReferenceCount) == 0 &&
            (IopDeviceExtension(device)->ExtensionFlags & DOE_UNLOAD_PENDING))
            unloading = device->DriverObject;
    }
    delete[] file->FileName.Buffer;
    file->FileName = {};
    if (file->RelatedFileObject) ObfDereferenceObject(file->RelatedFileObject);
    if (file->DeviceObject) ObfDereferenceObject(file->DeviceObject);
    if (unloading) IopCheckUnloadDriver(unloading);
}

// A name relative to an open file: the file's device parses it with the
// file as the related one.
NTSTATUS IopParseFile(PVOID body, const std::u16string& remaining, ULONG attributes, ACCESS_MASK access,
                      KPROCESSOR_MODE mode, PVOID parseContext, PVOID* opened, std::u16string* reparsed)
{
    auto* op = static_cast<IopOpenPacket*>(parseContext);
    if (!op || op->Magic != IOP_OPEN_MAGIC) return STATUS_OBJECT_TYPE_MISMATCH;
    auto* file = static_cast<PFILE_OBJECT>(body);
    op->RelatedFileObject = file;
    std::u16string rest = !remaining.empty() && remaining[0] == u'\\' ? remaining.substr(1) : remaining;
    return IopParseDevice(file->DeviceObject, rest, attributes, access, mode, parseContext, opened, reparsed);
}

}  // namespace

OBJECT_TYPE IopFileType = {
    "File", IopDeleteFile, IopCloseFile, IopParseFile, false, FILE_GENERIC_READ, FILE_GENERIC_WRITE,
    FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS,
};
POBJECT_TYPE IoFileObjectType = &IopFileType;

NTSTATUS IopParseDevice(PVOID body, const std::u16string& remaining, ULONG attributes, ACCESS_MASK access,
                        KPROCESSOR_MODE mode, PVOID parseContext, PVOID* opened, std::u16string* reparsed)
{
    auto* op = static_cast<IopOpenPacket*>(parseContext);
    if (!op || op->Magic != IOP_OPEN_MAGIC) return STATUS_OBJECT_TYPE_MISMATCH;
    op->ParseCalled = true;
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    // A device going away, or whose driver is, takes no new files.
    if ((IopDeviceExtension(device)->ExtensionFlags & (DOE_DELETE_PENDING | DOE_UNLOAD_PENDING)) ||
        (device->Flags & DO_DEVICE_INITIALIZING))
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0 && !op->RelatedFileObject)
        return STATUS_ACCESS_DENIED;

    ACCESS_MASK granted = ObpMapAccess(&IopFileType, access);
    PVOID fileBody;
    NTSTATUS s = ObCreateObject(&IopFileType, nullptr, mode, sizeof(FILE_OBJECT), &fileBody);
    if (!NT_SUCCESS(s)) return s;
    auto* file = static_cast<PFILE_OBJECT>(fileBody);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    ObfReferenceObject(device);
    file->DeviceObject = device;
    file->FileName.Length = USHORT(remaining.size() * 2);
    file->FileName.MaximumLength = USHORT(file->FileName.Length + 2);
    file->FileName.Buffer = new WCHAR[remaining.size() + 1];
    std::memcpy(file->FileName.Buffer, remaining.data(), file->FileName.Length);
    file->FileName.Buffer[remaining.size()] = 0;
    if (op->Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) file->Flags |= FO_SYNCHRONOUS_IO;
    file->ReadAccess = (granted & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (granted & DELETE) != 0;
    file->SharedRead = (op->ShareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (op->ShareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (op->ShareAccess & FILE_SHARE_DELETE) != 0;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    file->OwnerProcess = (attributes & OBJ_KERNEL_HANDLE) && mode == KernelMode ? PsInitialSystemProcess
                                                                                : PsGetCurrentProcess();
    file->GrantedAccess = granted;
    if (op->RelatedFileObject) {
        ObfReferenceObject(op->RelatedFileObject);
        file->RelatedFileObject = op->RelatedFileObject;
    }

    PDEVICE_OBJECT target = IopTopOfStack(device);
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) {
        ObfDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = mode;
    irp->Flags = IRP_CREATE_OPERATION;
    irp->Overlay.AllocationSize = op->AllocationSize;
    IO_SECURITY_CONTEXT security{nullptr, nullptr, granted, op->Options};
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = (op->Disposition << 24) | (op->Options & 0x00FFFFFF);
    stack->Parameters.Create.FileAttributes = op->FileAttributes;
    stack->Parameters.Create.ShareAccess = op->ShareAccess;
    stack->FileObject = file;
    InterlockedIncrement(&device->ReferenceCount);
    IO_STATUS_BLOCK iosb{};
    s = IopSendAndWait(target, irp, &iosb);
    op->Information = iosb.Information;
    if (s == STATUS_REPARSE) {
        // A file system that redirects the open leaves the new name in the
        // file object.
        *reparsed = std::u16string(file->FileName.Buffer, file->FileName.Length / 2);
    }
    if (!NT_SUCCESS(s) || s == STATUS_REPARSE) {
        InterlockedDecrement(&device->ReferenceCount);
        ObfDereferenceObject(file);  // never opened: no cleanup, no close
        return s;
    }
    file->Flags |= FO_IOP_OPENED;
    op->FinalStatus = s;
    *opened = file;
    return s;
}

NTSTATUS IopCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                       PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                       ULONG disposition, ULONG options, KPROCESSOR_MODE mode)
{
    if (!attributes || !handle || disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
    IopOpenPacket op{};
    op.Magic = IOP_OPEN_MAGIC;
    op.DesiredAccess = access;
    op.Disposition = disposition;
    op.Options = options;
    op.FileAttributes = USHORT(fileAttributes);
    op.ShareAccess = USHORT(shareAccess);
    if (allocationSize) op.AllocationSize = *allocationSize;
    ULONG attrs = attributes->Attributes;
    if (mode == UserMode) attrs &= ~ULONG(OBJ_KERNEL_HANDLE);
    OBJECT_ATTRIBUTES oa = *attributes;
    oa.Attributes = attrs;
    PVOID object;
    NTSTATUS s = ObpLookupByAttributes(&oa, mode, access, &op, &object);
    if (!NT_SUCCESS(s)) return s;
    if (ObpHeader(object)->Type != &IopFileType) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* file = static_cast<PFILE_OBJECT>(object);
    PEPROCESS process = (attrs & OBJ_KERNEL_HANDLE) ? PsInitialSystemProcess : PsGetCurrentProcess();
    s = ObCreateHandle(process, object, file->GrantedAccess, attrs, handle);
    if (!NT_SUCCESS(s)) {
        ObfDereferenceObject(object);
        return s;
    }
    file->Flags |= FO_HANDLE_CREATED;
    if (iosb) {
        iosb->Status = op.FinalStatus;
        iosb->Information = op.Information;
    }
    return op.FinalStatus;
}

// ---- Share access ----

NTSTATUS IoCheckShareAccess(ACCESS_MASK desired, ULONG shareAccess, PFILE_OBJECT file, SHARE_ACCESS* share,
                            BOOLEAN update)
{
    file->ReadAccess = (desired & (FILE_EXECUTE | FILE_READ_DATA)) != 0;
    file->WriteAccess = (desired & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (desired & DELETE) != 0;
    if (!file->ReadAccess && !file->WriteAccess && !file->DeleteAccess) return STATUS_SUCCESS;
    bool sharedRead = shareAccess & FILE_SHARE_READ, sharedWrite = shareAccess & FILE_SHARE_WRITE,
         sharedDelete = shareAccess & FILE_SHARE_DELETE;
    file->SharedRead = sharedRead;
    file->SharedWrite = sharedWrite;
    file->SharedDelete = sharedDelete;
    if ((file->ReadAccess && share->SharedRead < share->OpenCount) ||
        (file->WriteAccess && share->SharedWrite < share->OpenCount) ||
        (file->DeleteAccess && share->SharedDelete < share->OpenCount) || (share->Readers && !sharedRead) ||
        (share->Writers && !sharedWrite) || (share->Deleters && !sharedDelete))
        return STATUS_SHARING_VIOLATION;
    if (update) {
        share->OpenCount++;
        share->Readers += file->ReadAccess;
        share->Writers += file->WriteAccess;
        share->Deleters += file->DeleteAccess;
        share->SharedRead += sharedRead;
        share->SharedWrite += sharedWrite;
        share->SharedDelete += sharedDelete;
    }
    return STATUS_SUCCESS;
}

void IoSetShareAccess(ACCESS_MASK desired, ULONG shareAccess, PFILE_OBJECT file, SHARE_ACCESS* share)
{
    file->ReadAccess = (desired & (FILE_EXECUTE | FILE_READ_DATA)) != 0;
    file->WriteAccess = (desired & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (desired & DELETE) != 0;
    *share = SHARE_ACCESS{};
    if (!file->ReadAccess && !file->WriteAccess && !file->DeleteAccess) return;
    file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    share->OpenCount = 1;
    share->Readers = file->ReadAccess;
    share->Writers = file->WriteAccess;
    share->Deleters = file->DeleteAccess;
    share->SharedRead = file->SharedRead;
    share->SharedWrite = file->SharedWrite;
    share->SharedDelete = file->SharedDelete;
}

void IoRemoveShareAccess(PFILE_OBJECT file, SHARE_ACCESS* share)
{
    if (!file->ReadAccess && !file->WriteAccess && !file->DeleteAccess) return;
    share->OpenCount--;
    share->Readers -= file->ReadAccess;
    share->Writers -= file->WriteAccess;
    share->Deleters -= file->DeleteAccess;
    share->SharedRead -= file->SharedRead;
    share->SharedWrite -= file->SharedWrite;
    share->SharedDelete -= file->SharedDelete;
}

// I/O manager: the file and device calls of the system-call seam (user
// mode, buffers probed, a bad buffer gives STATUS_ACCESS_VIOLATION) and
// their kernel-mode Zw twins. A synchronous file object serialises its
// requests and the call waits for a pending one; on an asynchronous one the
// call returns STATUS_PENDING and completion reports through the status
// block, the event and the APC.
#include <cstdlib>

#include "io_internal.h"
#include "nt_mm.h"
#include "nt_syscall.h"
#include "nt_zw.h"
#include "ob_internal.h"

namespace {

// ---- The synchronous file object's lock (Busy + Waiter + Lock event) ----

void AcquireFileLock(PFILE_OBJECT file)
{
    while (__atomic_exchange_n(&file->Busy, 1u, __ATOMIC_SEQ_CST)) {
        __atomic_add_fetch(&file->Waiter, 1u, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&file->Busy, __ATOMIC_SEQ_CST))
            KeWaitForSingleObject(&file->Lock, Executive, KernelMode, FALSE, nullptr);
        __atomic_sub_fetch(&file->Waiter, 1u, __ATOMIC_SEQ_CST);
    }
}

void ReleaseFileLock(PFILE_OBJECT file)
{
    __atomic_store_n(&file->Busy, 0u, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&file->Waiter, __ATOMIC_SEQ_CST)) KeSetEvent(&file->Lock, 0, FALSE);
}

// One request in the making.
struct Call {
    KPROCESSOR_MODE mode;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PKEVENT event = nullptr;
    PIRP irp = nullptr;
    bool sync = false;       // synchronous file object
    bool forceWait = false;  // a call that is synchronous whatever the handle
    KEVENT localEvent;
    IO_STATUS_BLOCK localIosb;
    PIO_STATUS_BLOCK callerIosb = nullptr;
    explicit Call(KPROCESSOR_MODE m) : mode(m), localEvent{}, localIosb{} {}
};

NTSTATUS Begin(Call& c, HANDLE handle, ACCESS_MASK access, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext,
               PIO_STATUS_BLOCK iosb, bool forceWait)
{
    PVOID body;
    NTSTATUS s = ObReferenceObjectByHandle(handle, access, IoFileObjectType, c.mode, &body, nullptr);
    if (!NT_SUCCESS(s)) return s;
    c.file = static_cast<PFILE_OBJECT>(body);
    if (event && !forceWait) {
        PVOID e;
        s = ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, ExEventObjectType, c.mode, &e, nullptr);
        if (!NT_SUCCESS(s)) {
            ObfDereferenceObject(c.file);
            c.file = nullptr;
            return s;
        }
        c.event = static_cast<PKEVENT>(e);
        KeClearEvent(c.event);
    }
    c.sync = c.file->Flags & FO_SYNCHRONOUS_IO;
    c.forceWait = forceWait;
    if (c.sync) {
        ObfReferenceObject(c.file);  // ours; the request's goes at completion
        AcquireFileLock(c.file);
    }
    KeClearEvent(&c.file->Event);
    c.device = IoGetRelatedDeviceObject(c.file);
    c.irp = IoAllocateIrp(c.device->StackSize, FALSE);
    if (!c.irp) return STATUS_INSUFFICIENT_RESOURCES;  // Abort() undoes the rest
    PIRP irp = c.irp;
    IopIrpContext* ctx = IopContext(irp);
    irp->RequestorMode = c.mode;
    irp->Tail.Overlay.OriginalFileObject = c.file;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    ctx->Process = PsGetCurrentProcess();
    if (forceWait) {
        KeInitializeEvent(&c.localEvent, NotificationEvent, FALSE);
        c.localIosb.Status = STATUS_PENDING;
        c.localIosb.Information = 0;
        c.callerIosb = iosb;
        irp->UserEvent = &c.localEvent;
        irp->UserIosb = &c.localIosb;
        irp->Flags |= IRP_SYNCHRONOUS_API;
    } else {
        irp->UserIosb = iosb;
        irp->UserEvent = c.event;
        ctx->EventObject = c.event;
        irp->Overlay.AsynchronousParameters.UserApcRoutine = apc;
        irp->Overlay.AsynchronousParameters.UserApcContext = apcContext;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = c.file;
    return STATUS_SUCCESS;
}

// Undoes a call that failed before its request was sent.
NTSTATUS Abort(Call& c, NTSTATUS status)
{
    if (c.irp) IopDiscardIrp(c.irp);
    if (c.event) ObfDereferenceObject(c.event);
    if (c.sync) {
        ReleaseFileLock(c.file);
        ObfDereferenceObject(c.file);
    }
    ObfDereferenceObject(c.file);
    return status;
}

NTSTATUS Dispatch(Call& c)
{
    if (c.mode == UserMode) IopTrackIrp(c.irp);
    PFILE_OBJECT file = c.file;
    NTSTATUS s = IofCallDriver(c.device, c.irp);  // the request owns its file reference now
    if (c.forceWait) {
        if (s == STATUS_PENDING) {
            KeWaitForSingleObject(&c.localEvent, Executive, KernelMode, FALSE, nullptr);
            s = c.localIosb.Status;
        }
        if (c.callerIosb && c.localIosb.Status != STATUS_PENDING) {
            IO_STATUS_BLOCK r = c.localIosb;
            if (c.mode == UserMode) SehTry([&] { *c.callerIosb = r; });
            else *c.callerIosb = r;
        }
    } else if (c.sync && s == STATUS_PENDING) {
        KeWaitForSingleObject(&file->Event, Executive, KernelMode, FALSE, nullptr);
        s = file->FinalStatus;
    }
    if (c.sync) {
        ReleaseFileLock(file);
        ObfDereferenceObject(file);
    }
    return s;
}

NTSTATUS Probe(KPROCESSOR_MODE mode, const void* read, ULONG readLength, void* write, ULONG writeLength)
{
    if (mode != UserMode) return STATUS_SUCCESS;
    struct Args {
        const void* read;
        ULONG readLength;
        void* write;
        ULONG writeLength;
    } a{read, readLength, write, writeLength};
    return SehTry([&a] {
        if (a.readLength) ProbeForRead(a.read, a.readLength, 1);
        if (a.writeLength) ProbeForWrite(a.write, a.writeLength, 1);
    });
}

ACCESS_MASK AccessForCode(ULONG code)
{
    ULONG a = (code >> 14) & 3;
    return ((a & FILE_READ_ACCESS) ? ACCESS_MASK(FILE_READ_DATA) : 0u) | ((a & FILE_WRITE_ACCESS) ? ACCESS_MASK(FILE_WRITE_DATA) : 0u);
}

NTSTATUS ControlFile(KPROCESSOR_MODE mode, UCHAR major, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                     PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG code, PVOID in, ULONG inLength, PVOID out,
                     ULONG outLength)
{
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method != METHOD_NEITHER) {
        NTSTATUS p = Probe(mode, in, in ? inLength : 0, out,
                           out && method == METHOD_BUFFERED ? outLength : 0);
        if (!NT_SUCCESS(p)) return p;
    }
    Call c(mode);
    NTSTATUS s = Begin(c, handle, AccessForCode(code), event, apc, apcContext, iosb, false);
    if (!NT_SUCCESS(s)) return c.file ? Abort(c, s) : s;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(c.irp);
    stack->MajorFunction = major;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    if (!IopSetupControlBuffers(c.irp, code, in, inLength, out, outLength, mode))
        return Abort(c, STATUS_ACCESS_VIOLATION);
    return Dispatch(c);
}

// The buffer of a read, write or directory query, by the device's transfer
// kind; false when the caller's buffer is not accessible.
bool SetupTransfer(Call& c, PVOID buffer, ULONG length, bool toCaller)
{
    PIRP irp = c.irp;
    if (!length) return true;
    if (c.device->Flags & DO_BUFFERED_IO) {
        PVOID system = IopAllocateSystemBuffer(irp, length);
        if (!system) return false;
        if (toCaller) {
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = buffer;
            IopContext(irp)->OutputLength = length;
            std::memset(system, 0, length);
            return true;
        }
        return IopCopyIn(c.mode, system, buffer, length);
    }
    if (c.device->Flags & DO_DIRECT_IO)
        return IopLockBuffer(irp, buffer, length, c.mode, toCaller ? IoWriteAccess : IoReadAccess);
    irp->UserBuffer = buffer;
    return true;
}

enum : LONG { kWriteToEnd = -1, kUseFilePointer = -2 };

NTSTATUS Transfer(KPROCESSOR_MODE mode, bool read, HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                  PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                  PULONG key)
{
    NTSTATUS p = read ? Probe(mode, nullptr, 0, buffer, length) : Probe(mode, buffer, length, nullptr, 0);
    // Data that cannot be read is the caller's buffer at fault, not a
    // memory fault of the system: a write reports it as such.
    if (!NT_SUCCESS(p)) return read || p != STATUS_ACCESS_VIOLATION ? p : STATUS_INVALID_USER_BUFFER;
    LARGE_INTEGER offset{};
    ULONG k = 0;
    if (mode == UserMode) {
        p = SehTry([&] {
            if (byteOffset) offset = *byteOffset;
            if (key) k = *key;
        });
        if (!NT_SUCCESS(p)) return p;
    } else {
        if (byteOffset) offset = *byteOffset;
        if (key) k = *key;
    }
    Call c(mode);
    NTSTATUS s = Begin(c, handle, read ? FILE_READ_DATA : FILE_WRITE_DATA, event, apc, apcContext, iosb, false);
    if (!NT_SUCCESS(s)) return c.file ? Abort(c, s) : s;
    if (c.sync && (!byteOffset || (offset.HighPart == -1 && offset.LowPart == ULONG(kUseFilePointer))))
        offset = c.file->CurrentByteOffset;
    IopContext(c.irp)->UpdatesPosition = c.sync && !(offset.HighPart == -1 && LONG(offset.LowPart) == kWriteToEnd);
    IopContext(c.irp)->ByteOffset = offset.QuadPart;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(c.irp);
    stack->MajorFunction = read ? IRP_MJ_READ : IRP_MJ_WRITE;
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = k;
    stack->Parameters.Read.ByteOffset = offset;
    c.irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    if (!SetupTransfer(c, buffer, length, read)) return Abort(c, STATUS_ACCESS_VIOLATION);
    return Dispatch(c);
}

// Query/set information, volume queries and flushes: always waited for;
// buffered both ways.
NTSTATUS InformationCall(KPROCESSOR_MODE mode, UCHAR major, HANDLE handle, ACCESS_MASK access,
                         PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, ULONG infoClass, bool toCaller)
{
    NTSTATUS p = toCaller ? Probe(mode, nullptr, 0, info, length) : Probe(mode, info, length, nullptr, 0);
    if (!NT_SUCCESS(p)) return p;
    Call c(mode);
    NTSTATUS s = Begin(c, handle, access, nullptr, nullptr, nullptr, iosb, true);
    if (!NT_SUCCESS(s)) return c.file ? Abort(c, s) : s;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(c.irp);
    stack->MajorFunction = major;
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = infoClass;
    if (length) {
        auto* system = static_cast<UCHAR*>(IopAllocateSystemBuffer(c.irp, length));
        if (!system) return Abort(c, STATUS_INSUFFICIENT_RESOURCES);
        if (toCaller) {
            std::memset(system, 0, length);
            c.irp->Flags |= IRP_INPUT_OPERATION;
            c.irp->UserBuffer = info;
            IopContext(c.irp)->OutputLength = length;
        } else if (!IopCopyIn(mode, system, info, length)) {
            return Abort(c, STATUS_ACCESS_VIOLATION);
        }
    }
    return Dispatch(c);
}

NTSTATUS WriteStatus(KPROCESSOR_MODE mode, PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information)
{
    if (!iosb) return STATUS_SUCCESS;
    IO_STATUS_BLOCK r;
    r.Status = status;
    r.Information = information;
    if (mode == UserMode) return SehTry([&] { *iosb = r; });
    *iosb = r;
    return STATUS_SUCCESS;
}

// The file position of a synchronous file object is the I/O manager's.
bool PositionCall(KPROCESSOR_MODE mode, HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, bool query,
                  NTSTATUS* result)
{
    PVOID body;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, IoFileObjectType, mode, &body, nullptr))) return false;
    auto* file = static_cast<PFILE_OBJECT>(body);
    bool mine = file->Flags & FO_SYNCHRONOUS_IO;
    if (mine) {
        if (length < sizeof(FILE_POSITION_INFORMATION)) {
            *result = STATUS_INFO_LENGTH_MISMATCH;
        } else {
            auto* pos = static_cast<FILE_POSITION_INFORMATION*>(info);
            auto op = [&] {
                if (query) pos->CurrentByteOffset = file->CurrentByteOffset;
                else file->CurrentByteOffset = pos->CurrentByteOffset;
            };
            *result = mode == UserMode ? SehTry(op) : (op(), STATUS_SUCCESS);
            if (NT_SUCCESS(*result))
                *result = WriteStatus(mode, iosb, STATUS_SUCCESS, query ? sizeof(FILE_POSITION_INFORMATION) : 0);
        }
    }
    ObfDereferenceObject(file);
    return mine;
}

NTSTATUS QueryInformation(KPROCESSOR_MODE mode, HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                          FILE_INFORMATION_CLASS infoClass)
{
    NTSTATUS r;
    if (infoClass == FilePositionInformation && PositionCall(mode, file, iosb, info, length, true, &r)) return r;
    return InformationCall(mode, IRP_MJ_QUERY_INFORMATION, file, 0, iosb, info, length, infoClass, true);
}

NTSTATUS SetInformation(KPROCESSOR_MODE mode, HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                        FILE_INFORMATION_CLASS infoClass)
{
    NTSTATUS r;
    if (infoClass == FilePositionInformation && PositionCall(mode, file, iosb, info, length, false, &r)) return r;
    ACCESS_MASK access = infoClass == FileDispositionInformation ? ACCESS_MASK(DELETE) : 0u;
    return InformationCall(mode, IRP_MJ_SET_INFORMATION, file, access, iosb, info, length, infoClass, false);
}

// Copies a caller's OBJECT_ATTRIBUTES and name into kernel memory.
struct CapturedName {
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name;
    std::u16string text;
};
NTSTATUS CaptureAttributes(POBJECT_ATTRIBUTES attributes, CapturedName* out)
{
    OBJECT_ATTRIBUTES oa{};
    UNICODE_STRING n{};
    bool hasName = false;
    NTSTATUS s = SehTry([&] {
        ProbeForRead(attributes, sizeof(OBJECT_ATTRIBUTES), 4);
        oa = *attributes;
        if (oa.ObjectName) {
            ProbeForRead(oa.ObjectName, sizeof(UNICODE_STRING), 4);
            n = *oa.ObjectName;
            hasName = true;
            if (n.Length) ProbeForRead(n.Buffer, n.Length, 2);
        }
    });
    if (!NT_SUCCESS(s)) return s;
    if (hasName) out->text.assign(n.Buffer, n.Length / 2);
    out->name = {USHORT(out->text.size() * 2), USHORT(out->text.size() * 2), out->text.data()};
    out->oa = oa;
    out->oa.ObjectName = hasName ? &out->name : nullptr;
    return STATUS_SUCCESS;
}

}  // namespace

// ---- System calls (user mode) ----

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                      PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength)
{
    (void)eaBuffer;
    (void)eaLength;
    if (!attributes || !handle) return STATUS_ACCESS_VIOLATION;
    CapturedName captured;
    NTSTATUS s = CaptureAttributes(attributes, &captured);
    if (!NT_SUCCESS(s)) return s;
    LARGE_INTEGER allocation{};
    if (allocationSize) {
        s = SehTry([&] { allocation = *allocationSize; });
        if (!NT_SUCCESS(s)) return s;
    }
    HANDLE h = nullptr;
    IO_STATUS_BLOCK result{};
    s = IopCreateFile(&h, access, &captured.oa, &result, allocationSize ? &allocation : nullptr, fileAttributes,
                      shareAccess, createDisposition, createOptions, UserMode);
    if (!NT_SUCCESS(s)) return s;
    NTSTATUS w = SehTry([&] {
        *handle = h;
        if (iosb) *iosb = result;
    });
    if (!NT_SUCCESS(w)) {
        NtClose(h);
        return w;
    }
    return s;
}

NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile(UserMode, IRP_MJ_DEVICE_CONTROL, file, event, apcRoutine, apcContext, iosb, ioControlCode,
                       inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength,
                         PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile(UserMode, IRP_MJ_FILE_SYSTEM_CONTROL, file, event, apcRoutine, apcContext, iosb,
                       fsControlCode, inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(UserMode, true, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(UserMode, false, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass)
{
    return QueryInformation(UserMode, file, iosb, info, length, infoClass);
}

NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass)
{
    return SetInformation(UserMode, file, iosb, info, length, infoClass);
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                      FS_INFORMATION_CLASS infoClass)
{
    return InformationCall(UserMode, IRP_MJ_QUERY_VOLUME_INFORMATION, file, 0, iosb, info, length, infoClass, true);
}

NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    return InformationCall(UserMode, IRP_MJ_FLUSH_BUFFERS, file, FILE_WRITE_DATA, iosb, nullptr, 0, 0, false);
}

enum : UCHAR { IRP_MN_QUERY_DIRECTORY = 0x01, SL_RESTART_SCAN = 0x01, SL_RETURN_SINGLE_ENTRY = 0x02 };

NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                              PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan)
{
    NTSTATUS s = Probe(UserMode, nullptr, 0, info, length);
    if (!NT_SUCCESS(s)) return s;
    // The search pattern lives as long as the request: in its auxiliary
    // buffer, freed at completion.
    UNICODE_STRING* pattern = nullptr;
    if (fileName) {
        UNICODE_STRING n{};
        s = SehTry([&] {
            n = *fileName;
            if (n.Length) ProbeForRead(n.Buffer, n.Length, 2);
        });
        if (!NT_SUCCESS(s)) return s;
        auto* mem = static_cast<char*>(std::malloc(sizeof(UNICODE_STRING) + n.Length + 2));
        pattern = reinterpret_cast<UNICODE_STRING*>(mem);
        pattern->Buffer = reinterpret_cast<PWSTR>(mem + sizeof(UNICODE_STRING));
        pattern->Length = n.Length;
        pattern->MaximumLength = USHORT(n.Length + 2);
        s = SehTry([&] { std::memcpy(pattern->Buffer, n.Buffer, n.Length); });
        if (!NT_SUCCESS(s)) {
            std::free(mem);
            return s;
        }
        pattern->Buffer[n.Length / 2] = 0;
    }
    Call c(UserMode);
    s = Begin(c, file, FILE_LIST_DIRECTORY, event, apcRoutine, apcContext, iosb, false);
    if (!NT_SUCCESS(s)) {
        std::free(pattern);
        return c.file ? Abort(c, s) : s;
    }
    c.irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(pattern);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(c.irp);
    stack->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    stack->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    stack->Flags = UCHAR((restartScan ? unsigned(SL_RESTART_SCAN) : 0u) | (returnSingleEntry ? unsigned(SL_RETURN_SINGLE_ENTRY) : 0u));
    stack->Parameters.QueryDirectory.Length = length;
    stack->Parameters.QueryDirectory.FileName = pattern;
    stack->Parameters.QueryDirectory.FileInformationClass = infoClass;
    if (!SetupTransfer(c, info, length, true)) return Abort(c, STATUS_ACCESS_VIOLATION);
    return Dispatch(c);
}

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, ULONG completionFilter,
                                     BOOLEAN watchTree)
{
    enum : UCHAR { IRP_MN_NOTIFY_CHANGE_DIRECTORY = 0x02, SL_WATCH_TREE = 0x01 };
    if (completionFilter == 0) return STATUS_INVALID_PARAMETER;
    NTSTATUS s = Probe(UserMode, nullptr, 0, buffer, length);
    if (!NT_SUCCESS(s)) return s;
    Call c(UserMode);
    s = Begin(c, file, FILE_LIST_DIRECTORY, event, apcRoutine, apcContext, iosb, false);
    if (!NT_SUCCESS(s)) return c.file ? Abort(c, s) : s;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(c.irp);
    stack->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    stack->MinorFunction = IRP_MN_NOTIFY_CHANGE_DIRECTORY;
    stack->Flags = watchTree ? UCHAR(SL_WATCH_TREE) : UCHAR(0);
    stack->Parameters.NotifyDirectory.Length = length;
    stack->Parameters.NotifyDirectory.CompletionFilter = completionFilter;
    if (!SetupTransfer(c, buffer, length, true)) return Abort(c, STATUS_ACCESS_VIOLATION);
    return Dispatch(c);
}

NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb)
{
    PVOID body;
    NTSTATUS s = ObReferenceObjectByHandle(file, 0, IoFileObjectType, UserMode, &body, nullptr);
    if (!NT_SUCCESS(s)) return s;
    IopCancelThreadFileIrps(KeGetCurrentThread(), static_cast<PFILE_OBJECT>(body));
    ObfDereferenceObject(body);
    return WriteStatus(UserMode, iosb, STATUS_SUCCESS, 0);
}

static NTSTATUS DeleteFileByName(POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode)
{
    HANDLE h;
    IO_STATUS_BLOCK iosb{};
    OBJECT_ATTRIBUTES oa = *attributes;
    oa.Attributes |= OBJ_KERNEL_HANDLE;  // the handle is ours, not the caller's
    NTSTATUS s = IopCreateFile(&h, DELETE, &oa, &iosb, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, mode);
    if (!NT_SUCCESS(s)) return s;
    FILE_DISPOSITION_INFORMATION d{TRUE};
    s = SetInformation(KernelMode, h, &iosb, &d, sizeof(d), FileDispositionInformation);
    ZwClose(h);
    return s;
}

NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES attributes)
{
    if (!attributes) return STATUS_ACCESS_VIOLATION;
    CapturedName captured;
    NTSTATUS s = CaptureAttributes(attributes, &captured);
    if (!NT_SUCCESS(s)) return s;
    captured.oa.Attributes &= ~ULONG(OBJ_KERNEL_HANDLE);
    return DeleteFileByName(&captured.oa, UserMode);
}

// ---- Kernel-mode twins ----

NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                      PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength)
{
    (void)eaBuffer;
    (void)eaLength;
    return IopCreateFile(handle, access, attributes, iosb, allocationSize, fileAttributes, shareAccess,
                         createDisposition, createOptions, KernelMode);
}

NTSTATUS ZwOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                    ULONG shareAccess, ULONG openOptions)
{
    return IopCreateFile(handle, access, attributes, iosb, nullptr, 0, shareAccess, FILE_OPEN, openOptions,
                         KernelMode);
}

NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(KernelMode, true, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS ZwWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(KernelMode, false, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile(KernelMode, IRP_MJ_DEVICE_CONTROL, file, event, apcRoutine, apcContext, iosb, ioControlCode,
                       inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass)
{
    return QueryInformation(KernelMode, file, iosb, info, length, infoClass);
}

NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass)
{
    return SetInformation(KernelMode, file, iosb, info, length, infoClass);
}

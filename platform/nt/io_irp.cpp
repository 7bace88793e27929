// I/O manager: IRPs. Allocation (with a small cache of recently freed
// packets, since every request of the system makes one), passing a packet
// down a device stack, completion up the stack with the completion routines
// and the I/O manager's own completion (copy-back, status block, events,
// APC, MDLs), cancel, and the requests that drivers build for each other.
#include <cstdlib>
#include <vector>

#include "io_internal.h"
#include "kd_trace.h"

namespace {

constexpr int kCachedStackSizes = 8;
constexpr size_t kCacheDepth = 64;
std::mutex IopIrpCacheLock;
// Never destroyed: a request may still be freed into it while the process
// exits, and the cached requests stay reachable (no false leak reports).
auto* const IopIrpCache = new std::vector<PIRP>[kCachedStackSizes + 1];

KSPIN_LOCK IopCancelLock;

std::mutex IopTrackLock;
LIST_ENTRY IopTrackHead = {&IopTrackHead, &IopTrackHead};

constexpr ULONG kBadPoolCaller = 0xC2;

size_t IrpBytes(CCHAR stackSize)
{
    size_t n = offsetof(IRP, Stack) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
    return (n + 15) & ~size_t(15);
}

void InitializeIrp(PIRP irp, CCHAR stackSize, IopIrpContext* ctx)
{
    size_t bytes = IrpBytes(stackSize);
    std::memset(irp, 0, bytes);
    irp->Type = IO_TYPE_IRP;
    irp->Size = USHORT(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = &irp->Stack[0] + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    irp->IoManagerPrivate = ctx;
    BOOLEAN cached = ctx->Cached;
    std::memset(ctx, 0, offsetof(IopIrpContext, InlineData));
    ctx->Magic = IOP_IRP_MAGIC;
    ctx->StackSize = UCHAR(stackSize);
    ctx->Cached = cached;
}

void UserApcThunk(PVOID routine, PVOID context, PVOID iosb)
{
    reinterpret_cast<PIO_APC_ROUTINE>(routine)(context, static_cast<PIO_STATUS_BLOCK>(iosb), 0);
}

// Writes to a caller's memory: a user buffer may have gone bad since the
// request was issued, which must not bring the machine down.
void CopyOut(KPROCESSOR_MODE mode, void* to, const void* from, size_t n)
{
    if (mode == KernelMode) {
        std::memcpy(to, from, n);
        return;
    }
    // One captured reference keeps the body inside std::function's own
    // storage: no allocation on the request path.
    struct Args {
        void* to;
        const void* from;
        size_t n;
    } a{to, from, n};
    SehTry([&a] { std::memcpy(a.to, a.from, a.n); });
}

// Takes the packet off the list of user requests; false when a canceller
// still holds it (the canceller frees it then).
bool Untrack(PIRP irp)
{
    IopIrpContext* ctx = IopContext(irp);
    if (!ctx->Tracked) return true;
    std::lock_guard<std::mutex> lock(IopTrackLock);
    RemoveEntryList(&ctx->TrackLink);
    ctx->Tracked = FALSE;
    if (ctx->CancelHolds > 0) {
        ctx->FreeDeferred = TRUE;
        return false;
    }
    return true;
}

// The I/O manager's part of completing a request, after every driver's
// completion routine has run.
void CompleteRequestFinal(PIRP irp)
{
    IopIrpContext* ctx = IopContext(irp);
    NTSTATUS status = irp->IoStatus.Status;
    for (PMDL m = irp->MdlAddress; m; m = m->Next)
        if (m->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(m);
    if (irp->Flags & IRP_BUFFERED_IO) {
        // Output goes back for success and warnings alike, never for errors.
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && irp->UserBuffer &&
            irp->IoStatus.Information) {
            size_t n = irp->IoStatus.Information;
            if (ctx->OutputLength < n) n = ctx->OutputLength;
            CopyOut(irp->RequestorMode, irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && !ctx->InlineBuffer && irp->AssociatedIrp.SystemBuffer)
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        irp->Flags &= ~ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER);
    }
    for (PMDL m = irp->MdlAddress; m;) {
        PMDL next = m->Next;
        IoFreeMdl(m);
        m = next;
    }
    irp->MdlAddress = nullptr;

    if (irp->Tail.Overlay.AuxiliaryBuffer) {
        std::free(irp->Tail.Overlay.AuxiliaryBuffer);
        irp->Tail.Overlay.AuxiliaryBuffer = nullptr;
    }
    PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
    if (file && ctx->UpdatesPosition && !NT_ERROR(status))
        file->CurrentByteOffset.QuadPart = ctx->ByteOffset + LONGLONG(irp->IoStatus.Information);
    // A request that failed without pending reports through the call's
    // return value only: status block, events and APC stay untouched. So
    // does one that failed after pending on a synchronous file object: its
    // caller waits on the file object and returns the final status.
    bool synchronousFile = file && (file->Flags & FO_SYNCHRONOUS_IO) && !(irp->Flags & IRP_SYNCHRONOUS_API);
    if (NT_ERROR(status) && irp->PendingReturned && synchronousFile) {
        file->FinalStatus = status;
        KeSetEvent(&file->Event, 0, FALSE);
    } else if (!NT_ERROR(status) || irp->PendingReturned) {
        if (irp->UserIosb) {
            IO_STATUS_BLOCK result = irp->IoStatus;
            CopyOut(irp->RequestorMode, irp->UserIosb, &result, sizeof(result));
        }
        if (irp->UserEvent) {
            KeSetEvent(irp->UserEvent, 0, FALSE);
            if (file && (file->Flags & FO_SYNCHRONOUS_IO)) {
                file->FinalStatus = status;
                KeSetEvent(&file->Event, 0, FALSE);
            }
        } else if (file) {
            file->FinalStatus = status;
            KeSetEvent(&file->Event, 0, FALSE);
        }
        PIO_APC_ROUTINE apc = irp->Overlay.AsynchronousParameters.UserApcRoutine;
        if (apc && irp->Tail.Overlay.Thread)
            KeQueueUserApc(irp->Tail.Overlay.Thread, UserApcThunk, reinterpret_cast<PVOID>(apc),
                           irp->Overlay.AsynchronousParameters.UserApcContext, irp->UserIosb);
    }
    if (ctx->EventObject) ObfDereferenceObject(ctx->EventObject);
    ctx->EventObject = nullptr;
    bool free = Untrack(irp);
    if (file) ObfDereferenceObject(file);
    if (free) IoFreeIrp(irp);
}

}  // namespace

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    (void)chargeQuota;
    if (stackSize < 1) return nullptr;
    PIRP irp = nullptr;
    if (stackSize <= kCachedStackSizes) {
        std::lock_guard<std::mutex> lock(IopIrpCacheLock);
        auto& c = IopIrpCache[int(stackSize)];
        if (!c.empty()) {
            irp = c.back();
            c.pop_back();
        }
    }
    if (!irp) {
        size_t bytes = IrpBytes(stackSize);
        void* mem = std::malloc(bytes + sizeof(IopIrpContext));
        if (!mem) return nullptr;
        irp = static_cast<PIRP>(mem);
        auto* ctx = reinterpret_cast<IopIrpContext*>(static_cast<char*>(mem) + bytes);
        ctx->Cached = stackSize <= kCachedStackSizes;
        irp->IoManagerPrivate = ctx;
    }
    InitializeIrp(irp, stackSize, IopContext(irp));
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;  // the I/O manager's, unlike a driver's own IRP
    return irp;
}

void IoFreeIrp(PIRP irp)
{
    if (!irp || irp->Type != IO_TYPE_IRP)
        KeBugCheckEx(kBadPoolCaller, 0x46, reinterpret_cast<ULONG_PTR>(irp), 0, 0);
    IopIrpContext* ctx = IopContext(irp);
    CCHAR n = irp->StackCount;
    irp->Type = 0;
    irp->CurrentLocation = CCHAR(n + 2);  // a late completion bug-checks
    if (ctx->Cached) {
        std::lock_guard<std::mutex> lock(IopIrpCacheLock);
        auto& c = IopIrpCache[int(n)];
        if (c.size() < kCacheDepth) {
            c.push_back(irp);
            return;
        }
    }
    ctx->Magic = 0;
    std::free(irp);
}

void IoReuseIrp(PIRP irp, NTSTATUS status)
{
    IopIrpContext* ctx = IopContext(irp);
    UCHAR allocationFlags = irp->AllocationFlags;
    InitializeIrp(irp, irp->StackCount, ctx);
    irp->AllocationFlags = allocationFlags;
    irp->IoStatus.Status = status;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0);
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    if (!KdTracing(KD_TRACE_IRP)) return dispatch(device, irp);
    KdTraceCall(device, irp);
    NTSTATUS status = dispatch(device, irp);
    // The IRP may be gone by now; the line names it only by its address.
    KdTraceCallReturn(irp, status);
    return status;
}

void IofCompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    (void)priorityBoost;
    if (irp->Type != IO_TYPE_IRP || irp->CurrentLocation > CCHAR(irp->StackCount + 1))
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0);
    if (KdTracing(KD_TRACE_IRP)) KdTraceComplete(irp);

    // Walk up from the completing driver's location. A location's
    // completion routine belongs to the driver above it; it sees that
    // driver's device and whether the location below returned pending.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    for (; irp->CurrentLocation <= CCHAR(irp->StackCount + 1);
         stack++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
        irp->PendingReturned = stack->Control & SL_PENDING_RETURNED;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
        stack->FileObject = nullptr;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        if (invoke && routine) {
            PDEVICE_OBJECT device = irp->CurrentLocation == CCHAR(irp->StackCount + 1)
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    CompleteRequestFinal(irp);
}

// ---- Cancel ----

void IoAcquireCancelSpinLock(PKIRQL irql) { KeAcquireSpinLock(&IopCancelLock, irql); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&IopCancelLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (KdTracing(KD_TRACE_IRP)) KdTraceCancel(irp, routine != nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine runs with the cancel lock held and releases it.
    irp->CancelIrql = irql;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    routine(stack->DeviceObject, irp);
    return TRUE;
}

void IopTrackIrp(PIRP irp)
{
    IopIrpContext* ctx = IopContext(irp);
    std::lock_guard<std::mutex> lock(IopTrackLock);
    ctx->Tracked = TRUE;
    InsertTailList(&IopTrackHead, &ctx->TrackLink);
}

template <typename Match>
static void CancelTracked(Match match)
{
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> lock(IopTrackLock);
        for (PLIST_ENTRY e = IopTrackHead.Flink; e != &IopTrackHead; e = e->Flink) {
            IopIrpContext* ctx = CONTAINING_RECORD(e, IopIrpContext, TrackLink);
            auto* irp = reinterpret_cast<PIRP>(reinterpret_cast<char*>(ctx) - IrpBytes(CCHAR(ctx->StackSize)));
            if (match(irp, ctx)) {
                ctx->CancelHolds++;
                held.push_back(irp);
            }
        }
    }
    for (PIRP irp : held) {
        IoCancelIrp(irp);
        bool free;
        {
            std::lock_guard<std::mutex> lock(IopTrackLock);
            IopIrpContext* ctx = IopContext(irp);
            free = --ctx->CancelHolds == 0 && ctx->FreeDeferred;
        }
        if (free) IoFreeIrp(irp);
    }
}

void IopCancelProcessIrps(PEPROCESS process)
{
    CancelTracked([&](PIRP, IopIrpContext* ctx) { return ctx->Process == process; });
}

void IopCancelThreadFileIrps(PKTHREAD thread, PFILE_OBJECT file)
{
    CancelTracked([&](PIRP irp, IopIrpContext*) {
        return irp->Tail.Overlay.Thread == thread && irp->Tail.Overlay.OriginalFileObject == file;
    });
}

// ---- Requests that drivers build ----

// The system buffer of a buffered transfer: small ones live in the packet.
static PVOID AllocateSystemBuffer(PIRP irp, ULONG length)
{
    IopIrpContext* ctx = IopContext(irp);
    PVOID buffer;
    if (length <= sizeof(ctx->InlineData)) {
        buffer = ctx->InlineData;
        ctx->InlineBuffer = TRUE;
    } else {
        buffer = ExAllocatePoolWithTag(NonPagedPool, length, kTagSystemBuffer);
        if (!buffer) return nullptr;
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return buffer;
}

PVOID IopAllocateSystemBuffer(PIRP irp, ULONG length) { return AllocateSystemBuffer(irp, length); }

// Locks a caller's buffer in an MDL of the packet; false when the pages are
// not accessible that way.
bool IopLockBuffer(PIRP irp, PVOID buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl) return false;
    irp->MdlAddress = mdl;
    NTSTATUS s = SehTry([&] { MmProbeAndLockPages(mdl, mode, operation); });
    if (NT_SUCCESS(s)) return true;
    irp->MdlAddress = nullptr;
    IoFreeMdl(mdl);
    return false;
}

// Undoes a packet that was built but never sent.
void IopDiscardIrp(PIRP irp)
{
    std::free(irp->Tail.Overlay.AuxiliaryBuffer);
    irp->Tail.Overlay.AuxiliaryBuffer = nullptr;
    for (PMDL m = irp->MdlAddress; m;) {
        PMDL next = m->Next;
        if (m->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(m);
        IoFreeMdl(m);
        m = next;
    }
    irp->MdlAddress = nullptr;
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && !IopContext(irp)->InlineBuffer && irp->AssociatedIrp.SystemBuffer)
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    IoFreeIrp(irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) return nullptr;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    s->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    s->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    if (!IopSetupControlBuffers(irp, ioControlCode, inputBuffer, inputLength, outputBuffer, outputLength,
                                KernelMode)) {
        IopDiscardIrp(irp);
        return nullptr;
    }
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

bool IopCopyIn(KPROCESSOR_MODE mode, void* to, const void* from, size_t n)
{
    if (mode == KernelMode) {
        std::memcpy(to, from, n);
        return true;
    }
    struct Args {
        void* to;
        const void* from;
        size_t n;
    } a{to, from, n};
    return NT_SUCCESS(SehTry([&a] { std::memcpy(a.to, a.from, a.n); }));
}

bool IopSetupControlBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                            KPROCESSOR_MODE mode)
{
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    IopIrpContext* ctx = IopContext(irp);
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG length = inLength > outLength ? inLength : outLength;
        if (!length) break;
        auto* buffer = static_cast<UCHAR*>(AllocateSystemBuffer(irp, length));
        if (!buffer) return false;
        if (in && inLength) {
            if (!IopCopyIn(mode, buffer, in, inLength)) return false;
        } else {
            inLength = 0;
        }
        if (length > inLength) std::memset(buffer + inLength, 0, length - inLength);
        if (out && outLength) {
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = out;
            ctx->OutputLength = outLength;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (in && inLength) {
            PVOID buffer = AllocateSystemBuffer(irp, inLength);
            if (!buffer || !IopCopyIn(mode, buffer, in, inLength)) return false;
        }
        if (out && outLength) {
            LOCK_OPERATION op = METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
            if (!IopLockBuffer(irp, out, outLength, mode, op)) return false;
        }
        break;
    default:  // METHOD_NEITHER: the driver gets the caller's pointers
        s->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        break;
    }
    return true;
}

static PIRP BuildFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                            PLARGE_INTEGER startingOffset, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) return nullptr;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    irp->UserIosb = iosb;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = UCHAR(majorFunction);
    if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
        bool read = majorFunction == IRP_MJ_READ;
        s->Parameters.Read.Length = length;
        if (startingOffset) s->Parameters.Read.ByteOffset = *startingOffset;
        if (device->Flags & DO_BUFFERED_IO) {
            PVOID system = length ? AllocateSystemBuffer(irp, length) : nullptr;
            if (length && !system) {
                IopDiscardIrp(irp);
                return nullptr;
            }
            if (read) {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = buffer;
                IopContext(irp)->OutputLength = length;
            } else if (length) {
                std::memcpy(system, buffer, length);
            }
        } else if (device->Flags & DO_DIRECT_IO) {
            if (length && !IopLockBuffer(irp, buffer, length, KernelMode, read ? IoWriteAccess : IoReadAccess)) {
                IopDiscardIrp(irp);
                return nullptr;
            }
        } else {
            irp->UserBuffer = buffer;
        }
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER startingOffset, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = BuildFsdRequest(majorFunction, device, buffer, length, startingOffset, iosb);
    if (irp) {
        irp->UserEvent = event;
        irp->Flags |= IRP_SYNCHRONOUS_API;
    }
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                   PLARGE_INTEGER startingOffset, PIO_STATUS_BLOCK iosb)
{
    return BuildFsdRequest(majorFunction, device, buffer, length, startingOffset, iosb);
}

NTSTATUS IopSendAndWait(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = iosb;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    if (!irp->Tail.Overlay.Thread) irp->Tail.Overlay.Thread = KeGetCurrentThread();
    NTSTATUS s = IofCallDriver(device, irp);
    if (s == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        s = iosb->Status;
    }
    return s;
}

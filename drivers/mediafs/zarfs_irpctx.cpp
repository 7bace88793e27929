// IRP contexts: a request that has to finish on a system worker (because
// what it touches lives in the system process, or because it may wait long)
// carries one; posting marks the request pending and queues the context's
// own work item, so posting itself never fails. Here too the VCB
// behind a device.

#include "zarfs_driver.h"

namespace {

constexpr ULONG kContextTag = ZarFsTag("IRPC");

void Dispatch(PVOID parameter) { ZarFsCommonDispatch(static_cast<ZARFS_IRP_CONTEXT*>(parameter)); }

}  // namespace

NTSTATUS ZarFsIRPContextAllocate(PIRP irp, PDEVICE_OBJECT device, ZARFS_IRP_CONTEXT** context)
{
    auto* c = static_cast<ZARFS_IRP_CONTEXT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_IRP_CONTEXT), kContextTag));
    *context = c;
    if (c == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(c, sizeof *c);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    c->Irp = irp;
    c->Device = device;
    c->MajorFunction = stack->MajorFunction;
    c->MinorFunction = stack->MinorFunction;
    c->Card = static_cast<ZARFS_DEVICE_EXTENSION*>(device->DeviceExtension)->Card;
    if (stack->FileObject == nullptr || (stack->FileObject->Flags & FO_SYNCHRONOUS_IO)) c->Flags |= ZARFS_IRPC_CAN_WAIT;
    return STATUS_SUCCESS;
}

void ZarFsIRPContextFree(ZARFS_IRP_CONTEXT* context)
{
    if (context->Flags & ZARFS_IRPC_OWN_MDL) {
        MmUnlockPages(context->Mdl);
        IoFreeMdl(context->Mdl);
    }
    if (context->File != nullptr) ObDereferenceObject(context->File);
    ExFreePoolWithTag(context, kContextTag);
}

NTSTATUS ZarFsIRPContextPost(ZARFS_IRP_CONTEXT* context)
{
    IoMarkIrpPending(context->Irp);
    context->Flags |= ZARFS_IRPC_POSTED;
    ExInitializeWorkItem(&context->WorkItem, Dispatch, context);
    ExQueueWorkItem(&context->WorkItem, CriticalWorkQueue);
    return STATUS_PENDING;
}

void ZarFsCommonDispatch(ZARFS_IRP_CONTEXT* context)
{
    KeEnterCriticalRegion();
    if (context->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ZarFsCommonDeviceIOCTL(context);
    } else {
        PIRP irp = context->Irp;
        ZarFsIRPContextFree(context);
        ZarFsCompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
    }
    KeLeaveCriticalRegion();
}

ZARFS_VCB* ZarFsDeviceVcb(PDEVICE_OBJECT device)
{
    auto* ext = static_cast<ZARFS_DEVICE_EXTENSION*>(device->DeviceExtension);
    return ext->Kind == ZARFS_DEVICE_DISK ? &ext->Card->Vcb : nullptr;
}

// I/O manager: system worker threads and work items. A small pool of
// system threads (started with the first item) runs queued items in FIFO
// order at PASSIVE_LEVEL in the system process; IoQueueWorkItem keeps the
// device object referenced until its routine has run. Deferred object
// deletions run here too.
#include <vector>

#include "io_internal.h"

struct IO_WORKITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
};

namespace {

constexpr int kWorkers = 3;

std::mutex IopWorkLock;  // guards start/stop; the queue has its own spin lock
bool IopWorkersRunning;
bool IopWorkersStopping;
KSPIN_LOCK IopQueueLock;
LIST_ENTRY IopQueue;
KSEMAPHORE IopQueueCount;
KEVENT IopWorkerExited[kWorkers];
LONG IopLiveWorkers;

void WorkerThread(PVOID context)
{
    auto index = reinterpret_cast<ULONG_PTR>(context);
    for (;;) {
        KeWaitForSingleObject(&IopQueueCount, Executive, KernelMode, FALSE, nullptr);
        KIRQL irql;
        KeAcquireSpinLock(&IopQueueLock, &irql);
        PLIST_ENTRY e = IsListEmpty(&IopQueue) ? nullptr : RemoveHeadList(&IopQueue);
        KeReleaseSpinLock(&IopQueueLock, irql);
        if (!e) break;  // the stop signal: a count with no item
        auto* item = CONTAINING_RECORD(e, WORK_QUEUE_ITEM, List);
        item->List.Flink = nullptr;
        item->WorkerRoutine(item->Parameter);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            KeBugCheckEx(0xE1 /* WORKER_THREAD_RETURNED_AT_BAD_IRQL */,
                         reinterpret_cast<ULONG_PTR>(item->WorkerRoutine), KeGetCurrentIrql(), 0, 0);
    }
    KeSetEvent(&IopWorkerExited[index], 0, FALSE);
}

}  // namespace

// Started at boot: ExQueueWorkItem may be called at DISPATCH_LEVEL (a DPC
// dropping the last reference of an object), where threads can't be created.
void IopStartWorkers()
{
    std::lock_guard<std::mutex> lock(IopWorkLock);
    if (IopWorkersRunning || IopWorkersStopping) return;
    KeInitializeSpinLock(&IopQueueLock);
    InitializeListHead(&IopQueue);
    KeInitializeSemaphore(&IopQueueCount, 0, 0x7FFFFFFF);
    IopLiveWorkers = 0;
    for (int i = 0; i < kWorkers; i++) {
        KeInitializeEvent(&IopWorkerExited[i], NotificationEvent, FALSE);
        HANDLE h;
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (NT_SUCCESS(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, WorkerThread,
                                            reinterpret_cast<PVOID>(ULONG_PTR(i))))) {
            ZwClose(h);
            IopLiveWorkers++;
        } else {
            KeSetEvent(&IopWorkerExited[i], 0, FALSE);
        }
    }
    IopWorkersRunning = true;
}

namespace {

void IopWorkItemRoutine(PVOID p)
{
    auto* item = static_cast<IO_WORKITEM*>(p);
    PDEVICE_OBJECT device = item->Device;
    item->Routine(device, item->Context);  // may free the item
    ObfDereferenceObject(device);
}

}  // namespace

void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue)
{
    (void)queue;  // one pool serves every queue type
    if (item->List.Flink)
        KeBugCheckEx(0xE4 /* WORKER_INVALID */, 1, reinterpret_cast<ULONG_PTR>(item), 0, 0);
    if (!IopWorkersRunning) {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            KeBugCheckEx(0xE4 /* WORKER_INVALID */, 2, reinterpret_cast<ULONG_PTR>(item), 0, 0);
        IopStartWorkers();  // a kernel brought up without Machine::Boot (unit tests)
    }
    KIRQL irql;
    KeAcquireSpinLock(&IopQueueLock, &irql);
    InsertTailList(&IopQueue, &item->List);
    KeReleaseSpinLock(&IopQueueLock, irql);
    KeReleaseSemaphore(&IopQueueCount, 0, 1, FALSE);
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device)
{
    auto* item = static_cast<IO_WORKITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kTagWorkItem));
    if (!item) return nullptr;
    std::memset(item, 0, sizeof(*item));
    item->Device = device;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) { ExFreePoolWithTag(item, kTagWorkItem); }

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context)
{
    ObfReferenceObject(item->Device);
    item->Routine = routine;
    item->Context = context;
    ExInitializeWorkItem(&item->Item, IopWorkItemRoutine, item);
    ExQueueWorkItem(&item->Item, queue);
}

// Ends the workers after the queued items (one empty count each).
void IopStopWorkers()
{
    {
        std::lock_guard<std::mutex> lock(IopWorkLock);
        if (!IopWorkersRunning) return;
        IopWorkersStopping = true;
    }
    // Every queued item holds a count of its own, so the extra counts are
    // taken only once the queue has run dry: queued work still runs.
    KeReleaseSemaphore(&IopQueueCount, 0, kWorkers, FALSE);
    for (int i = 0; i < kWorkers; i++)
        KeWaitForSingleObject(&IopWorkerExited[i], Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<std::mutex> lock(IopWorkLock);
    IopWorkersRunning = false;
    IopWorkersStopping = false;
}

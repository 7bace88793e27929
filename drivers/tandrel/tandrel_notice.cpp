// The notice queue: fixed-size elements handed to user mode, one release of
// the owner's semaphore per element, so a queue never holds more elements
// than the semaphore's limit. Used for notifications and captures.

#include "tandrel_driver.h"

namespace {

struct TANDREL_NOTICE_NODE {
    LIST_ENTRY Link;
    UCHAR Element[1];  // ElementSize bytes
};
constexpr ULONG kNodeHead = sizeof(LIST_ENTRY);

}  // namespace

NTSTATUS TandrelNoticeCreate(PKSEMAPHORE semaphore, ULONG elementSize, TANDREL_NOTICE_QUEUE** created)
{
    auto* queue = static_cast<TANDREL_NOTICE_QUEUE*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TANDREL_NOTICE_QUEUE), TANDREL_TAG));
    if (queue == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    queue->Semaphore = semaphore;
    queue->ElementSize = elementSize;
    LONG limit = semaphore->Limit;
    USHORT depth = USHORT(limit < 1 ? 1 : limit > 0xFFFF ? 0xFFFF : limit);
    ExInitializeNPagedLookasideList(&queue->Lookaside, nullptr, nullptr, 0, kNodeHead + elementSize, TANDREL_TAG_QUEUE, depth);
    InitializeListHead(&queue->List);
    KeInitializeSpinLock(&queue->Lock);
    *created = queue;
    return STATUS_SUCCESS;
}

BOOLEAN TandrelNoticePush(TANDREL_NOTICE_QUEUE* queue, const void* element)
{
    auto* node = static_cast<TANDREL_NOTICE_NODE*>(TandrelLookasideAllocate(&queue->Lookaside));
    if (node == nullptr) return FALSE;
    RtlCopyMemory(node->Element, element, queue->ElementSize);
    KIRQL old;
    KeAcquireSpinLock(&queue->Lock, &old);
    // The semaphore at its limit refuses the release: the element goes again.
    if (KeReadStateSemaphore(queue->Semaphore) >= queue->Semaphore->Limit) {
        KeReleaseSpinLock(&queue->Lock, old);
        TandrelLookasideFree(&queue->Lookaside, node);
        return FALSE;
    }
    InsertTailList(&queue->List, &node->Link);
    KeReleaseSemaphore(queue->Semaphore, TANDREL_EVENT_INCREMENT, 1, FALSE);
    KeReleaseSpinLock(&queue->Lock, old);
    return TRUE;
}

BOOLEAN TandrelNoticePop(TANDREL_NOTICE_QUEUE* queue, void* element)
{
    KIRQL old;
    KeAcquireSpinLock(&queue->Lock, &old);
    if (IsListEmpty(&queue->List)) {
        KeReleaseSpinLock(&queue->Lock, old);
        return FALSE;
    }
    auto* node = CONTAINING_RECORD(RemoveHeadList(&queue->List), TANDREL_NOTICE_NODE, Link);
    KeReleaseSpinLock(&queue->Lock, old);
    RtlCopyMemory(element, node->Element, queue->ElementSize);
    TandrelLookasideFree(&queue->Lookaside, node);
    return TRUE;
}

void TandrelNoticeFlush(TANDREL_NOTICE_QUEUE* queue)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL old;
    KeAcquireSpinLock(&queue->Lock, &old);
    while (!IsListEmpty(&queue->List)) InsertTailList(&taken, RemoveHeadList(&queue->List));
    KeReleaseSpinLock(&queue->Lock, old);
    while (!IsListEmpty(&taken))
        TandrelLookasideFree(&queue->Lookaside, CONTAINING_RECORD(RemoveHeadList(&taken), TANDREL_NOTICE_NODE, Link));
    // The semaphore's count back to the empty queue.
    LARGE_INTEGER zero{};
    while (KeWaitForSingleObject(queue->Semaphore, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS) {
    }
}

void TandrelNoticeDestroy(TANDREL_NOTICE_QUEUE* queue)
{
    if (queue == nullptr) return;
    TandrelNoticeFlush(queue);
    ObDereferenceObject(queue->Semaphore);
    ExDeleteNPagedLookasideList(&queue->Lookaside);
    ExFreePoolWithTag(queue, TANDREL_TAG);
}

void TandrelNoticePost(TANDREL_NOTICE_QUEUE* queue, BOOLEAN* overflow, const void* element, const void* overflowNotice)
{
    if (queue == nullptr || *overflow) return;
    if (TandrelNoticePush(queue, element)) return;
    *overflow = TRUE;
    TandrelNoticeFlush(queue);
    TandrelNoticePush(queue, overflowNotice);
}

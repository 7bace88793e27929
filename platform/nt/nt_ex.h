// Executive support: pool, look-aside lists, executive resources, fast
// mutexes, interlocked operations and lists, status raising, work queues.
#pragma once

#include "nt_io.h"

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);
// Bytes currently allocated with 'tag' (tests find leaks with it).
SIZE_T ExPoolBytesWithTag(ULONG tag);
// Test seam: while set, an allocation for which the hook returns true fails
// as if the pool were exhausted (a must-succeed request then bug-checks).
// nullptr removes it.
using ExPoolFailureHook = bool (*)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
void ExSetPoolFailureHook(ExPoolFailureHook hook);

// Stop codes of the executive's own rules.
enum : ULONG {
    IRQL_NOT_GREATER_OR_EQUAL = 0x09,
    BAD_POOL_HEADER = 0x19,
    MUST_SUCCEED_POOL_EMPTY = 0x41,
    MUTEX_ALREADY_OWNED = 0xBF,
    BAD_POOL_CALLER = 0xC2,
    RESOURCE_NOT_OWNED = 0xE3,
};

// Raises a status as an exception: caught by the nearest SehTry (nt_mm.h);
// without one it is a bug check (KMODE_EXCEPTION_NOT_HANDLED).
[[noreturn]] void ExRaiseStatus(NTSTATUS status);

// ---- Look-aside lists ----

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
using PFREE_FUNCTION = void (*)(PVOID p);
struct GENERAL_LOOKASIDE {
    SINGLE_LIST_ENTRY ListHead;
    USHORT ListDepth;  // entries held now
    USHORT Depth;      // most entries held before frees go back to pool
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    KSPIN_LOCK Lock;
};
struct NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
};
struct PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
using PPAGED_LOOKASIDE_LIST = PAGED_LOOKASIDE_LIST*;
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry);
void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                    ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST list);
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST list);
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST list, PVOID entry);

// ---- Executive resources (shared/exclusive, recursive per thread) ----

struct ERESOURCE {
    // The implementation's state (owner table, waiters) lives behind this.
    PVOID Impl;
    LIST_ENTRY SystemResourcesList;
    USHORT ActiveCount;  // owners now
    USHORT Flag;         // 0x80 while owned exclusive
    ULONG NumberOfSharedWaiters;
    ULONG NumberOfExclusiveWaiters;
};
using PERESOURCE = ERESOURCE*;
NTSTATUS ExInitializeResourceLite(PERESOURCE resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE resource);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE resource, BOOLEAN wait);
void ExReleaseResourceLite(PERESOURCE resource);
#define ExReleaseResource ExReleaseResourceLite
void ExReleaseResourceForThreadLite(PERESOURCE resource, ULONG_PTR thread);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource);
void ExConvertExclusiveToSharedLite(PERESOURCE resource);
ULONG_PTR ExGetCurrentResourceThread();
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();

// ---- Fast mutexes ----

struct FAST_MUTEX {
    LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex);

// ---- Interlocked lists (the plain Interlocked operations: nt_user.h) ----

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock);
PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry, PKSPIN_LOCK lock);
PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY head, PKSPIN_LOCK lock);

// ---- Work queue items (system worker threads) ----

using PWORKER_THREAD_ROUTINE = void (*)(PVOID parameter);
struct WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;
inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine, PVOID parameter)
{
    item->WorkerRoutine = routine;
    item->Parameter = parameter;
    item->List.Flink = nullptr;
}
void ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queue);

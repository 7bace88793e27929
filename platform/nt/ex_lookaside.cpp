// Look-aside lists: fixed-size entries kept on a short list so the common
// allocate/free pair costs no pool call. Non-paged lists serve callers up
// to DISPATCH_LEVEL, paged ones up to APC_LEVEL. Without routines of the
// driver's own, entries come from the pool with the list's tag.
#include <algorithm>

#include "ex_private.h"

namespace {

constexpr USHORT kDefaultDepth = 4;
constexpr USHORT kMaximumDepth = 256;

PVOID DefaultAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) { return ExAllocatePoolWithTag(type, bytes, tag); }
void DefaultFree(PVOID p) { ExFreePool(p); }

void Initialize(GENERAL_LOOKASIDE* l, POOL_TYPE type, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, SIZE_T size,
                ULONG tag, USHORT depth)
{
    l->ListHead.Next = nullptr;
    l->ListDepth = 0;
    l->Depth = depth ? std::min(depth, kMaximumDepth) : kDefaultDepth;
    l->MaximumDepth = kMaximumDepth;
    l->TotalAllocates = l->AllocateMisses = l->TotalFrees = l->FreeMisses = 0;
    l->Type = type;
    l->Tag = tag;
    // An entry on the list holds the link, so it is at least that big.
    l->Size = static_cast<ULONG>(std::max<SIZE_T>(size, sizeof(SINGLE_LIST_ENTRY)));
    l->Allocate = allocate ? allocate : DefaultAllocate;
    l->Free = free ? free : DefaultFree;
    InitializeListHead(&l->ListEntry);
    l->Lock = 0;
}

PVOID Allocate(GENERAL_LOOKASIDE* l)
{
    ExpAcquireRawSpin(&l->Lock);
    l->TotalAllocates++;
    PSINGLE_LIST_ENTRY e = PopEntryList(&l->ListHead);
    if (e) l->ListDepth--;
    else l->AllocateMisses++;
    ExpReleaseRawSpin(&l->Lock);
    return e ? static_cast<PVOID>(e) : l->Allocate(l->Type, l->Size, l->Tag);
}

void Free(GENERAL_LOOKASIDE* l, PVOID entry)
{
    ExpAcquireRawSpin(&l->Lock);
    l->TotalFrees++;
    bool keep = l->ListDepth < l->Depth;
    if (keep) {
        PushEntryList(&l->ListHead, static_cast<PSINGLE_LIST_ENTRY>(entry));
        l->ListDepth++;
    } else {
        l->FreeMisses++;
    }
    ExpReleaseRawSpin(&l->Lock);
    if (!keep) l->Free(entry);
}

void Delete(GENERAL_LOOKASIDE* l)
{
    ExpAcquireRawSpin(&l->Lock);
    PSINGLE_LIST_ENTRY e = l->ListHead.Next;
    l->ListHead.Next = nullptr;
    l->ListDepth = 0;
    ExpReleaseRawSpin(&l->Lock);
    while (e) {
        PSINGLE_LIST_ENTRY next = e->Next;
        l->Free(e);
        e = next;
    }
}

void CheckIrql(KIRQL highest, const GENERAL_LOOKASIDE* l)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(l), irql, 0, 0);
}

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG /*flags*/, SIZE_T size, ULONG tag, USHORT depth)
{
    Initialize(&list->L, NonPagedPool, allocate, free, size, tag, depth);
}
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list) { Delete(&list->L); }
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list)
{
    CheckIrql(DISPATCH_LEVEL, &list->L);
    return Allocate(&list->L);
}
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry)
{
    CheckIrql(DISPATCH_LEVEL, &list->L);
    Free(&list->L, entry);
}

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                    ULONG /*flags*/, SIZE_T size, ULONG tag, USHORT depth)
{
    Initialize(&list->L, PagedPool, allocate, free, size, tag, depth);
}
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST list) { Delete(&list->L); }
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST list)
{
    CheckIrql(APC_LEVEL, &list->L);
    return Allocate(&list->L);
}
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST list, PVOID entry)
{
    CheckIrql(APC_LEVEL, &list->L);
    Free(&list->L, entry);
}

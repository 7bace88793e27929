// The block allocator: two free lists split by a moving boundary.
//
// Records come from the driver's look-aside list; an operation that needs a
// new record takes it before it changes anything, so a failure to get one
// leaves the lists as they were.

#include "zarfs_alloc.h"

namespace {

inline ULONG EndOf(const ZARFS_FREE_SEGMENT* s) { return s->FirstBlock + s->Length; }

// Size order: longer first; among equal lengths the lower first block first.
inline bool SizeBefore(const ZARFS_FREE_SEGMENT* a, const ZARFS_FREE_SEGMENT* b)
{
    return a->Length > b->Length || (a->Length == b->Length && a->FirstBlock < b->FirstBlock);
}

ZARFS_FREE_SEGMENT* NewSegment(ZARFS_ALLOC_OBJECT* alloc)
{
    return static_cast<ZARFS_FREE_SEGMENT*>(ExAllocateFromPagedLookasideList(alloc->Segments));
}

void FreeSegment(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_SEGMENT* s) { ExFreeToPagedLookasideList(alloc->Segments, s); }

// ---- size order ----

void SizeUnlink(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s)
{
    (s->PrevSize ? s->PrevSize->NextSize : list->Largest) = s->NextSize;
    (s->NextSize ? s->NextSize->PrevSize : list->Smallest) = s->PrevSize;
    s->NextSize = s->PrevSize = nullptr;
}

// Links 's' before 'next' (at the small end when 'next' is null).
void SizeLinkBefore(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s, ZARFS_FREE_SEGMENT* next)
{
    s->NextSize = next;
    s->PrevSize = next ? next->PrevSize : list->Smallest;
    (s->PrevSize ? s->PrevSize->NextSize : list->Largest) = s;
    (next ? next->PrevSize : list->Smallest) = s;
}

void SizeInsert(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s)
{
    ZARFS_FREE_SEGMENT* next = list->Largest;
    while (next != nullptr && SizeBefore(next, s)) next = next->NextSize;
    SizeLinkBefore(list, s, next);
}

// After a change of length: moves the segment along the size order in the
// one direction needed.
void SizeResort(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s)
{
    if (s->NextSize != nullptr && SizeBefore(s->NextSize, s)) {
        ZARFS_FREE_SEGMENT* next = s->NextSize;
        SizeUnlink(list, s);
        while (next != nullptr && SizeBefore(next, s)) next = next->NextSize;
        SizeLinkBefore(list, s, next);
    } else if (s->PrevSize != nullptr && SizeBefore(s, s->PrevSize)) {
        ZARFS_FREE_SEGMENT* prev = s->PrevSize;
        SizeUnlink(list, s);
        while (prev != nullptr && SizeBefore(s, prev)) prev = prev->PrevSize;
        SizeLinkBefore(list, s, prev ? prev->NextSize : list->Largest);
    }
}

// ---- position order ----

void PosLinkBefore(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s, ZARFS_FREE_SEGMENT* next)
{
    s->NextPos = next;
    s->PrevPos = next ? next->PrevPos : list->LastPos;
    (s->PrevPos ? s->PrevPos->NextPos : list->FirstPos) = s;
    (next ? next->PrevPos : list->LastPos) = s;
}

void Remove(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s)
{
    (s->PrevPos ? s->PrevPos->NextPos : list->FirstPos) = s->NextPos;
    (s->NextPos ? s->NextPos->PrevPos : list->LastPos) = s->PrevPos;
    SizeUnlink(list, s);
    FreeSegment(alloc, s);
}

// A new segment (the record given) placed before 'next' in position order.
void Place(ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s, ULONG first, ULONG length, ZARFS_FREE_SEGMENT* next)
{
    s->FirstBlock = first;
    s->Length = length;
    PosLinkBefore(list, s, next);
    SizeInsert(list, s);
}

// Shrinks or removes after 'taken' blocks left a segment's bottom.
void TakeFromBottom(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ZARFS_FREE_SEGMENT* s, ULONG taken)
{
    if (s->Length == taken) {
        Remove(alloc, list, s);
        return;
    }
    s->FirstBlock += taken;
    s->Length -= taken;
    SizeResort(list, s);
}

// Inserts a free run into a list, joining it with the runs it touches.
NTSTATUS InsertRun(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ULONG first, ULONG length)
{
    if (length == 0) return STATUS_SUCCESS;
    ULONG end = first + length;
    ZARFS_FREE_SEGMENT* next = list->FirstPos;
    while (next != nullptr && next->FirstBlock < end) next = next->NextPos;
    ZARFS_FREE_SEGMENT* prev = next ? next->PrevPos : list->LastPos;
    bool joinsPrev = prev != nullptr && EndOf(prev) == first;
    bool joinsNext = next != nullptr && next->FirstBlock == end;

    if (joinsNext) {
        if (joinsPrev) {
            next->FirstBlock = prev->FirstBlock;
            next->Length += prev->Length + length;
            Remove(alloc, list, prev);
        } else {
            next->FirstBlock = first;
            next->Length += length;
        }
        SizeResort(list, next);
    } else if (joinsPrev) {
        prev->Length += length;
        SizeResort(list, prev);
    } else {
        ZARFS_FREE_SEGMENT* s = NewSegment(alloc);
        if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        Place(list, s, first, length, next);
    }
    return STATUS_SUCCESS;
}

bool FirstFit(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ULONG length, PULONG firstBlock)
{
    for (ZARFS_FREE_SEGMENT* s = list->FirstPos; s != nullptr; s = s->NextPos) {
        if (s->Length < length) continue;
        *firstBlock = s->FirstBlock;
        TakeFromBottom(alloc, list, s, length);
        return true;
    }
    return false;
}

// The shortest run that fits, the highest of equally short ones (the last
// of them in size order); taken from its bottom.
bool BestFit(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ULONG length, PULONG firstBlock)
{
    ZARFS_FREE_SEGMENT* s = list->Largest;
    if (s == nullptr || s->Length < length) return false;
    while (s->NextSize != nullptr && s->NextSize->Length >= length) s = s->NextSize;
    *firstBlock = s->FirstBlock;
    TakeFromBottom(alloc, list, s, length);
    return true;
}

// Takes exactly (first, length) out of one list's free runs.
NTSTATUS TakeExact(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list, ULONG first, ULONG length)
{
    ZARFS_FREE_SEGMENT* s = list->FirstPos;
    while (s != nullptr && EndOf(s) <= first) s = s->NextPos;
    if (s == nullptr || s->FirstBlock > first) return STATUS_UNSUCCESSFUL;
    ULONG end = first + length;
    if (end < first || end > EndOf(s)) return STATUS_UNSUCCESSFUL;
    if (s->FirstBlock == first) {
        TakeFromBottom(alloc, list, s, length);
        return STATUS_SUCCESS;
    }
    if (end < EndOf(s)) {
        ZARFS_FREE_SEGMENT* tail = NewSegment(alloc);
        if (tail == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        ULONG tailLength = EndOf(s) - end;
        s->Length = first - s->FirstBlock;
        SizeResort(list, s);
        Place(list, tail, end, tailLength, s->NextPos);
    } else {
        s->Length = first - s->FirstBlock;
        SizeResort(list, s);
    }
    return STATUS_SUCCESS;
}

void FreeList(ZARFS_ALLOC_OBJECT* alloc, ZARFS_FREE_LIST* list)
{
    while (list->FirstPos != nullptr) Remove(alloc, list, list->FirstPos);
}

NTSTATUS UpperLocked(ZARFS_ALLOC_OBJECT* alloc, ULONG length, PULONG firstBlock)
{
    if (length == 0) return STATUS_UNSUCCESSFUL;
    if (alloc->Upper.Largest != nullptr && alloc->Upper.Largest->Length >= length) {
        BestFit(alloc, &alloc->Upper, length, firstBlock);
    } else {
        // Carve from the top of the lower region: its last run must reach
        // the boundary.
        ZARFS_FREE_SEGMENT* s = alloc->Lower.LastPos;
        if (s == nullptr || EndOf(s) != alloc->Boundary || s->Length < length) return STATUS_UNSUCCESSFUL;
        if (s->Length == length) {
            *firstBlock = s->FirstBlock;
            Remove(alloc, &alloc->Lower, s);
        } else {
            *firstBlock = EndOf(s) - length;
            s->Length -= length;
            SizeResort(&alloc->Lower, s);
        }
        alloc->Boundary = *firstBlock;
    }
    alloc->FreeBlocks -= length;
    return STATUS_SUCCESS;
}

NTSTATUS ReleaseLocked(ZARFS_ALLOC_OBJECT* alloc, ULONG first, ULONG length)
{
    if (length == 0) return STATUS_SUCCESS;
    ULONG end = first + length;
    NTSTATUS status;
    if (first != alloc->Boundary) {
        status = InsertRun(alloc, first > alloc->Boundary ? &alloc->Upper : &alloc->Lower, first, length);
    } else {
        // The run just above the lower region: the boundary moves up over
        // it, and over the upper run it touches.
        ZARFS_FREE_SEGMENT* above = alloc->Upper.FirstPos;
        bool joins = above != nullptr && above->FirstBlock == end;
        ULONG runLength = joins ? length + above->Length : length;
        status = InsertRun(alloc, &alloc->Lower, first, runLength);
        if (NT_SUCCESS(status)) {
            alloc->Boundary = first + runLength;
            if (joins) Remove(alloc, &alloc->Upper, above);
        }
    }
    if (NT_SUCCESS(status)) alloc->FreeBlocks += length;
    return status;
}

struct Locked {
    explicit Locked(ZARFS_ALLOC_OBJECT* a) : alloc(a) { ExAcquireFastMutex(&alloc->Lock); }
    ~Locked() { ExReleaseFastMutex(&alloc->Lock); }
    ZARFS_ALLOC_OBJECT* alloc;
};

}  // namespace

void ZarFsVolAllocInitializeSegmentList(PPAGED_LOOKASIDE_LIST list)
{
    ExInitializePagedLookasideList(list, nullptr, nullptr, 0, sizeof(ZARFS_FREE_SEGMENT), ZARFS_SEGMENT_TAG,
                                   ZARFS_SEGMENT_DEPTH);
}

NTSTATUS ZarFsVolAllocInitializeAllocObject(ZARFS_ALLOC_OBJECT* alloc, PPAGED_LOOKASIDE_LIST segments,
                                            ULONG firstBlock, ULONGLONG length)
{
    RtlZeroMemory(alloc, sizeof *alloc);
    ExInitializeFastMutex(&alloc->Lock);
    alloc->Segments = segments;
    alloc->FirstBlock = firstBlock;
    alloc->LastBlock = ULONG(firstBlock + length - 1);
    alloc->Boundary = ULONG(firstBlock + length);
    alloc->Flags = ZARFS_ALLOC_INITIALISED;
    // The whole area joins the lower list (a release below the boundary).
    NTSTATUS status = InsertRun(alloc, &alloc->Lower, firstBlock, ULONG(length));
    if (NT_SUCCESS(status)) alloc->FreeBlocks = length;
    return status;
}

void ZarFsVolAllocFreeAllocObject(ZARFS_ALLOC_OBJECT* alloc)
{
    if (!(alloc->Flags & ZARFS_ALLOC_INITIALISED)) return;
    alloc->Flags &= ~ZARFS_ALLOC_INITIALISED;
    FreeList(alloc, &alloc->Lower);
    FreeList(alloc, &alloc->Upper);
}

BOOLEAN ZarFsVolAllocAllocateLowerSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG length, PULONG firstBlock)
{
    Locked lock(alloc);
    if (length == 0 || !FirstFit(alloc, &alloc->Lower, length, firstBlock)) return FALSE;
    alloc->FreeBlocks -= length;
    return TRUE;
}

NTSTATUS ZarFsVolAllocAllocateUpperSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG length, PULONG firstBlock)
{
    Locked lock(alloc);
    return UpperLocked(alloc, length, firstBlock);
}

NTSTATUS ZarFsVolAllocAllocateDualSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG lowerLength, ULONG upperLength,
                                        ZARFS_DUAL_ALLOCATION* result)
{
    Locked lock(alloc);
    result->LowerLength = lowerLength;
    result->UpperLength = upperLength;
    if (lowerLength == 0 || !FirstFit(alloc, &alloc->Lower, lowerLength, &result->LowerFirstBlock))
        return STATUS_UNSUCCESSFUL;
    alloc->FreeBlocks -= lowerLength;
    NTSTATUS status = UpperLocked(alloc, upperLength, &result->UpperFirstBlock);
    if (!NT_SUCCESS(status)) {
        // The lower run came from the lower list's free runs, so it goes
        // back there and joins what it touches.
        ReleaseLocked(alloc, result->LowerFirstBlock, lowerLength);
    }
    return status;
}

NTSTATUS ZarFsVolAllocAllocateSpecificLowerSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length)
{
    Locked lock(alloc);
    if (length == 0) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = TakeExact(alloc, &alloc->Lower, firstBlock, length);
    if (NT_SUCCESS(status)) alloc->FreeBlocks -= length;
    return status;
}

NTSTATUS ZarFsVolAllocAllocateSpecificUpperSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length)
{
    Locked lock(alloc);
    ULONG end = firstBlock + length;
    if (length == 0 || end < firstBlock) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (alloc->Upper.FirstPos != nullptr && alloc->Upper.FirstPos->FirstBlock <= firstBlock) {
        status = TakeExact(alloc, &alloc->Upper, firstBlock, length);
    } else {
        // The range lies in the lower region's top run: the boundary moves
        // down to it, and what lies between the range and the old boundary
        // becomes free upper space.
        ZARFS_FREE_SEGMENT* s = alloc->Lower.LastPos;
        if (s == nullptr || EndOf(s) != alloc->Boundary || s->FirstBlock > firstBlock || end > alloc->Boundary)
            return STATUS_UNSUCCESSFUL;
        if (end < alloc->Boundary) {
            status = InsertRun(alloc, &alloc->Upper, end, alloc->Boundary - end);
            if (!NT_SUCCESS(status)) return status;
        }
        if (s->FirstBlock == firstBlock) {
            Remove(alloc, &alloc->Lower, s);
        } else {
            s->Length = firstBlock - s->FirstBlock;
            SizeResort(&alloc->Lower, s);
        }
        alloc->Boundary = firstBlock;
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) alloc->FreeBlocks -= length;
    return status;
}

NTSTATUS ZarFsVolAllocReleaseSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length)
{
    Locked lock(alloc);
    return ReleaseLocked(alloc, firstBlock, length);
}

ULONGLONG ZarFsVolAllocGetFreeBlocks(ZARFS_ALLOC_OBJECT* alloc)
{
    Locked lock(alloc);
    return alloc->FreeBlocks;
}

ULONGLONG ZarFsVolAllocGetTotalBlocks(ZARFS_ALLOC_OBJECT* alloc) { return ULONGLONG(alloc->LastBlock) + 1; }

void ZarFsVolAllocGetTwoLargestSegmentsInfo(ZARFS_ALLOC_OBJECT* alloc, PULONG first1, PULONG length1,
                                            PULONG first2, PULONG length2)
{
    Locked lock(alloc);
    ZARFS_FREE_SEGMENT* a = alloc->Lower.Largest;
    ZARFS_FREE_SEGMENT* b = a ? a->NextSize : nullptr;
    *first1 = a ? a->FirstBlock : 0;
    *length1 = a ? a->Length : 0;
    *first2 = b ? b->FirstBlock : 0;
    *length2 = b ? b->Length : 0;
}

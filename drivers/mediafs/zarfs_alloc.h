// The block allocator of one media volume: the allocation area split by a
// movable boundary into a lower region (frame data, first fit from the
// bottom) and an upper region (file entries and body tables, best fit,
// carved from the top of the lower region when it has no room). Each
// region's free runs are kept twice linked: by position and by size
// (length descending, lower first block first among equals). Addresses are
// volume-wide: a range handed out is reserved on every drive of the stripe.
#pragma once

#include "zarfs_tag.h"

struct ZARFS_FREE_SEGMENT {
    ZARFS_FREE_SEGMENT* NextPos;
    ZARFS_FREE_SEGMENT* PrevPos;
    ZARFS_FREE_SEGMENT* NextSize;   // toward shorter runs
    ZARFS_FREE_SEGMENT* PrevSize;   // toward longer runs
    ULONG FirstBlock;
    ULONG Length;
};
static_assert(sizeof(ZARFS_FREE_SEGMENT) == 24);

struct ZARFS_FREE_LIST {
    ZARFS_FREE_SEGMENT* FirstPos;
    ZARFS_FREE_SEGMENT* LastPos;
    ZARFS_FREE_SEGMENT* Largest;
    ZARFS_FREE_SEGMENT* Smallest;
};

inline constexpr ULONG ZARFS_ALLOC_INITIALISED = 0x1;

struct ZARFS_ALLOC_OBJECT {
    ZARFS_FREE_LIST Lower;
    ZARFS_FREE_LIST Upper;
    ULONG Boundary;                 // first block of the upper region
    ULONGLONG FreeBlocks;
    ULONG FirstBlock;               // of the area
    ULONG LastBlock;
    ULONG Flags;
    // Every operation runs under the allocator's own lock, whoever calls.
    FAST_MUTEX Lock;
    PPAGED_LOOKASIDE_LIST Segments; // "VOLA" records, the driver's one list
};

struct ZARFS_DUAL_ALLOCATION {
    ULONG LowerFirstBlock;
    ULONG LowerLength;
    ULONG UpperFirstBlock;
    ULONG UpperLength;
};
static_assert(sizeof(ZARFS_DUAL_ALLOCATION) == 16);

inline constexpr USHORT ZARFS_SEGMENT_DEPTH = 256;
inline constexpr ULONG ZARFS_SEGMENT_TAG = ZarFsTag("VOLA");  // "VOLA"

// The paged look-aside list of segment records the allocators share.
void ZarFsVolAllocInitializeSegmentList(PPAGED_LOOKASIDE_LIST list);

// The whole area (first, length) becomes one lower run; the boundary lies
// just above it.
NTSTATUS ZarFsVolAllocInitializeAllocObject(ZARFS_ALLOC_OBJECT* alloc, PPAGED_LOOKASIDE_LIST segments,
                                            ULONG firstBlock, ULONGLONG length);
void ZarFsVolAllocFreeAllocObject(ZARFS_ALLOC_OBJECT* alloc);

BOOLEAN ZarFsVolAllocAllocateLowerSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG length, PULONG firstBlock);
NTSTATUS ZarFsVolAllocAllocateUpperSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG length, PULONG firstBlock);
// Lower then upper; when the upper part cannot be had the lower part is
// given back, so a failed dual allocation holds nothing.
NTSTATUS ZarFsVolAllocAllocateDualSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG lowerLength, ULONG upperLength,
                                        ZARFS_DUAL_ALLOCATION* result);
NTSTATUS ZarFsVolAllocAllocateSpecificLowerSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length);
NTSTATUS ZarFsVolAllocAllocateSpecificUpperSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length);
// Gives a held range back; it is not checked against the free runs.
NTSTATUS ZarFsVolAllocReleaseSpace(ZARFS_ALLOC_OBJECT* alloc, ULONG firstBlock, ULONG length);

ULONGLONG ZarFsVolAllocGetFreeBlocks(ZARFS_ALLOC_OBJECT* alloc);
// The area's last block + 1.
ULONGLONG ZarFsVolAllocGetTotalBlocks(ZARFS_ALLOC_OBJECT* alloc);
// The two largest lower runs; zeros where there are fewer.
void ZarFsVolAllocGetTwoLargestSegmentsInfo(ZARFS_ALLOC_OBJECT* alloc, PULONG first1, PULONG length1,
                                            PULONG first2, PULONG length2);

// The entry caches: two MRU lists under one mutex per volume, each with an
// index by block. The list alone decides which item is reused; the index
// only finds an item without walking the list.

#include "zarfs_cache.h"

namespace {

constexpr ULONG kFileItemTag = ZarFsTag("VCFL");
constexpr ULONG kFolderItemTag = ZarFsTag("VCfL");
constexpr ULONG kIndexTag = ZarFsTag("VCix");

ULONG Mask(const ZARFS_CACHE_INDEX* index) { return (1u << index->Bits) - 1; }

// Blocks of one kind of entry lie a fixed stride apart: multiplying
// spreads them, and the high bits of the product pick the slot.
ULONG Home(const ZARFS_CACHE_INDEX* index, ULONG block) { return (block * 2654435761u) >> (32 - index->Bits); }

NTSTATUS IndexInitialize(ZARFS_CACHE_INDEX* index, ULONG capacity)
{
    index->Bits = 1;
    while ((1u << index->Bits) < 2 * capacity) ++index->Bits;
    ULONG bytes = (1u << index->Bits) * sizeof(PVOID);
    index->Slots = static_cast<PVOID*>(ExAllocatePoolWithTag(PagedPool, bytes, kIndexTag));
    if (index->Slots == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(index->Slots, bytes);
    return STATUS_SUCCESS;
}

void IndexFree(ZARFS_CACHE_INDEX* index)
{
    if (index->Slots != nullptr) ExFreePoolWithTag(index->Slots, kIndexTag);
    index->Slots = nullptr;
}

template <typename Item>
Item* Find(const ZARFS_CACHE_INDEX* index, ULONG block)
{
    for (ULONG i = Home(index, block);; i = (i + 1) & Mask(index)) {
        auto* item = static_cast<Item*>(index->Slots[i]);
        if (item == nullptr || item->Block == block) return item;
    }
}

template <typename Item>
void IndexInsert(ZARFS_CACHE_INDEX* index, Item* item)
{
    ULONG i = Home(index, item->Block);
    while (index->Slots[i] != nullptr) i = (i + 1) & Mask(index);
    index->Slots[i] = item;
}

// Empties the item's slot, then moves back into the hole each item after
// it that the hole would otherwise cut off from its home slot.
template <typename Item>
void IndexRemove(ZARFS_CACHE_INDEX* index, const Item* item)
{
    ULONG mask = Mask(index);
    ULONG hole = Home(index, item->Block);
    while (index->Slots[hole] != item) hole = (hole + 1) & mask;
    index->Slots[hole] = nullptr;
    for (ULONG j = (hole + 1) & mask; index->Slots[j] != nullptr; j = (j + 1) & mask) {
        ULONG home = Home(index, static_cast<Item*>(index->Slots[j])->Block);
        bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (reachable) continue;
        index->Slots[hole] = index->Slots[j];
        index->Slots[j] = nullptr;
        hole = j;
    }
}

void ToFront(PLIST_ENTRY head, PLIST_ENTRY link)
{
    RemoveEntryList(link);
    InsertHeadList(head, link);
}

// Store: refresh a cached block, else a new item while below capacity, else
// reuse the least recently used one.
template <typename Item, typename Entry>
void Store(ZARFS_ENTRY_CACHE* cache, PLIST_ENTRY head, ZARFS_CACHE_INDEX* index, PULONG count, ULONG capacity,
           PPAGED_LOOKASIDE_LIST items, const Entry* entry, ULONG block)
{
    ExAcquireFastMutex(&cache->Mutex);
    Item* item = Find<Item>(index, block);
    if (item != nullptr) {
        ToFront(head, &item->Link);
    } else if (*count < capacity) {
        item = static_cast<Item*>(ExAllocateFromPagedLookasideList(items));
        if (item != nullptr) {
            InsertHeadList(head, &item->Link);
            ++*count;
            item->Block = block;
            IndexInsert(index, item);
        }
    } else {
        item = CONTAINING_RECORD(head->Blink, Item, Link);
        ToFront(head, &item->Link);
        IndexRemove(index, item);
        item->Block = block;
        IndexInsert(index, item);
    }
    if (item != nullptr) RtlCopyMemory(&item->Entry, entry, sizeof(Entry));
    ExReleaseFastMutex(&cache->Mutex);
}

template <typename Item, typename Entry>
BOOLEAN Search(ZARFS_ENTRY_CACHE* cache, PLIST_ENTRY head, const ZARFS_CACHE_INDEX* index, ULONG block, Entry* entry)
{
    ExAcquireFastMutex(&cache->Mutex);
    Item* item = Find<Item>(index, block);
    if (item != nullptr) {
        RtlCopyMemory(entry, &item->Entry, sizeof(Entry));
        ToFront(head, &item->Link);
    }
    ExReleaseFastMutex(&cache->Mutex);
    return item != nullptr;
}

template <typename Item>
void Drain(PLIST_ENTRY head, ZARFS_CACHE_INDEX* index, PULONG count, PPAGED_LOOKASIDE_LIST items)
{
    while (!IsListEmpty(head)) ExFreeToPagedLookasideList(items, CONTAINING_RECORD(RemoveHeadList(head), Item, Link));
    *count = 0;
    if (index->Slots != nullptr) RtlZeroMemory(index->Slots, (1u << index->Bits) * sizeof(PVOID));
}

}  // namespace

NTSTATUS ZarFsVolCacheInitialize(ZARFS_ENTRY_CACHE* cache)
{
    RtlZeroMemory(cache, sizeof *cache);
    InitializeListHead(&cache->Files);
    InitializeListHead(&cache->Folders);
    ExInitializePagedLookasideList(&cache->FileItems, nullptr, nullptr, 0, sizeof(ZARFS_FILE_CACHE_ITEM), kFileItemTag,
                                   USHORT(ZARFS_FILE_CACHE_CAPACITY));
    cache->Flags |= ZARFS_CACHE_FILE_LIST;
    ExInitializePagedLookasideList(&cache->FolderItems, nullptr, nullptr, 0, sizeof(ZARFS_FOLDER_CACHE_ITEM),
                                   kFolderItemTag, USHORT(ZARFS_FOLDER_CACHE_CAPACITY));
    cache->Flags |= ZARFS_CACHE_FOLDER_LIST;
    ExInitializeFastMutex(&cache->Mutex);
    cache->Flags |= ZARFS_CACHE_MUTEX;
    cache->Flags |= ZARFS_CACHE_INDEXES;
    if (!NT_SUCCESS(IndexInitialize(&cache->FileIndex, ZARFS_FILE_CACHE_CAPACITY)) ||
        !NT_SUCCESS(IndexInitialize(&cache->FolderIndex, ZARFS_FOLDER_CACHE_CAPACITY)))
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

void ZarFsVolCacheFree(ZARFS_ENTRY_CACHE* cache)
{
    if (cache->Flags & ZARFS_CACHE_FILE_LIST) {
        Drain<ZARFS_FILE_CACHE_ITEM>(&cache->Files, &cache->FileIndex, &cache->FileCount, &cache->FileItems);
        ExDeletePagedLookasideList(&cache->FileItems);
    }
    if (cache->Flags & ZARFS_CACHE_FOLDER_LIST) {
        Drain<ZARFS_FOLDER_CACHE_ITEM>(&cache->Folders, &cache->FolderIndex, &cache->FolderCount,
                                       &cache->FolderItems);
        ExDeletePagedLookasideList(&cache->FolderItems);
    }
    if (cache->Flags & ZARFS_CACHE_INDEXES) {
        IndexFree(&cache->FileIndex);
        IndexFree(&cache->FolderIndex);
    }
    cache->Flags = 0;
}

void ZarFsVolCacheFileEntryCache(ZARFS_ENTRY_CACHE* cache, const ZAR_FILE_INFO* entry, ULONG block)
{
    Store<ZARFS_FILE_CACHE_ITEM>(cache, &cache->Files, &cache->FileIndex, &cache->FileCount,
                                 ZARFS_FILE_CACHE_CAPACITY, &cache->FileItems, entry, block);
}

void ZarFsVolCacheFolderEntryCache(ZARFS_ENTRY_CACHE* cache, const ZARFS_DIR_ENTRY* entry, ULONG block)
{
    Store<ZARFS_FOLDER_CACHE_ITEM>(cache, &cache->Folders, &cache->FolderIndex, &cache->FolderCount,
                                   ZARFS_FOLDER_CACHE_CAPACITY, &cache->FolderItems, entry, block);
}

BOOLEAN ZarFsVolCacheFileEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZAR_FILE_INFO* entry)
{
    return Search<ZARFS_FILE_CACHE_ITEM>(cache, &cache->Files, &cache->FileIndex, block, entry);
}

BOOLEAN ZarFsVolCacheFolderEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZARFS_DIR_ENTRY* entry)
{
    return Search<ZARFS_FOLDER_CACHE_ITEM>(cache, &cache->Folders, &cache->FolderIndex, block, entry);
}

void ZarFsVolCacheFileEntryRemove(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    ExAcquireFastMutex(&cache->Mutex);
    if (ZARFS_FILE_CACHE_ITEM* item = Find<ZARFS_FILE_CACHE_ITEM>(&cache->FileIndex, block)) {
        IndexRemove(&cache->FileIndex, item);
        RemoveEntryList(&item->Link);
        ExFreeToPagedLookasideList(&cache->FileItems, item);
        --cache->FileCount;
    }
    ExReleaseFastMutex(&cache->Mutex);
}

LONG ZarFsVolCacheFileEntryNameIs(ZARFS_ENTRY_CACHE* cache, ULONG block, PCWSTR name, ULONG chars)
{
    ExAcquireFastMutex(&cache->Mutex);
    ZARFS_FILE_CACHE_ITEM* item = Find<ZARFS_FILE_CACHE_ITEM>(&cache->FileIndex, block);
    LONG is = -1;
    if (item != nullptr) {
        ToFront(&cache->Files, &item->Link);
        const WCHAR(&stored)[ZARFS_NAME_CHARS] = item->Entry.Name;
        is = ZarFsHwNameLength(stored) == chars ? 1 : 0;
        for (ULONG i = 0; is == 1 && i < chars; ++i)
            if (RtlUpcaseUnicodeChar(stored[i]) != RtlUpcaseUnicodeChar(name[i])) is = 0;
    }
    ExReleaseFastMutex(&cache->Mutex);
    return is;
}

ZARFS_FILE_CACHE_ITEM* ZarFsVolCacheFindFileEntry(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    return Find<ZARFS_FILE_CACHE_ITEM>(&cache->FileIndex, block);
}

ZARFS_FOLDER_CACHE_ITEM* ZarFsVolCacheFindFolderEntry(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    return Find<ZARFS_FOLDER_CACHE_ITEM>(&cache->FolderIndex, block);
}

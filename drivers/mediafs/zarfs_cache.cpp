// The entry caches: two MRU lists under one mutex per volume.

#include "zarfs_cache.h"

namespace {

constexpr ULONG kFileItemTag = ZarFsTag("VCFL");
constexpr ULONG kFolderItemTag = ZarFsTag("VCfL");

template <typename Item>
Item* Find(PLIST_ENTRY head, ULONG block)
{
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        Item* item = CONTAINING_RECORD(e, Item, Link);
        if (item->Block == block) return item;
    }
    return nullptr;
}

void ToFront(PLIST_ENTRY head, PLIST_ENTRY link)
{
    RemoveEntryList(link);
    InsertHeadList(head, link);
}

// Store: refresh a cached block, else a new item while below capacity, else
// reuse the least recently used one.
template <typename Item, typename Entry>
void Store(ZARFS_ENTRY_CACHE* cache, PLIST_ENTRY head, PULONG count, ULONG capacity, PPAGED_LOOKASIDE_LIST items,
           const Entry* entry, ULONG block)
{
    ExAcquireFastMutex(&cache->Mutex);
    Item* item = Find<Item>(head, block);
    if (item != nullptr) {
        ToFront(head, &item->Link);
    } else if (*count < capacity) {
        item = static_cast<Item*>(ExAllocateFromPagedLookasideList(items));
        if (item != nullptr) {
            InsertHeadList(head, &item->Link);
            ++*count;
        }
    } else {
        item = CONTAINING_RECORD(head->Blink, Item, Link);
        ToFront(head, &item->Link);
    }
    if (item != nullptr) {
        item->Block = block;
        RtlCopyMemory(&item->Entry, entry, sizeof(Entry));
    }
    ExReleaseFastMutex(&cache->Mutex);
}

template <typename Item, typename Entry>
BOOLEAN Search(ZARFS_ENTRY_CACHE* cache, PLIST_ENTRY head, ULONG block, Entry* entry)
{
    ExAcquireFastMutex(&cache->Mutex);
    Item* item = Find<Item>(head, block);
    if (item != nullptr) {
        RtlCopyMemory(entry, &item->Entry, sizeof(Entry));
        ToFront(head, &item->Link);
    }
    ExReleaseFastMutex(&cache->Mutex);
    return item != nullptr;
}

template <typename Item>
void Drain(PLIST_ENTRY head, PULONG count, PPAGED_LOOKASIDE_LIST items)
{
    while (!IsListEmpty(head)) ExFreeToPagedLookasideList(items, CONTAINING_RECORD(RemoveHeadList(head), Item, Link));
    *count = 0;
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
    return STATUS_SUCCESS;
}

void ZarFsVolCacheFree(ZARFS_ENTRY_CACHE* cache)
{
    if (cache->Flags & ZARFS_CACHE_FILE_LIST) {
        Drain<ZARFS_FILE_CACHE_ITEM>(&cache->Files, &cache->FileCount, &cache->FileItems);
        ExDeletePagedLookasideList(&cache->FileItems);
    }
    if (cache->Flags & ZARFS_CACHE_FOLDER_LIST) {
        Drain<ZARFS_FOLDER_CACHE_ITEM>(&cache->Folders, &cache->FolderCount, &cache->FolderItems);
        ExDeletePagedLookasideList(&cache->FolderItems);
    }
    cache->Flags = 0;
}

void ZarFsVolCacheFileEntryCache(ZARFS_ENTRY_CACHE* cache, const ZAR_FILE_INFO* entry, ULONG block)
{
    Store<ZARFS_FILE_CACHE_ITEM>(cache, &cache->Files, &cache->FileCount, ZARFS_FILE_CACHE_CAPACITY,
                                 &cache->FileItems, entry, block);
}

void ZarFsVolCacheFolderEntryCache(ZARFS_ENTRY_CACHE* cache, const ZARFS_DIR_ENTRY* entry, ULONG block)
{
    Store<ZARFS_FOLDER_CACHE_ITEM>(cache, &cache->Folders, &cache->FolderCount, ZARFS_FOLDER_CACHE_CAPACITY,
                                   &cache->FolderItems, entry, block);
}

BOOLEAN ZarFsVolCacheFileEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZAR_FILE_INFO* entry)
{
    return Search<ZARFS_FILE_CACHE_ITEM>(cache, &cache->Files, block, entry);
}

BOOLEAN ZarFsVolCacheFolderEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZARFS_DIR_ENTRY* entry)
{
    return Search<ZARFS_FOLDER_CACHE_ITEM>(cache, &cache->Folders, block, entry);
}

void ZarFsVolCacheFileEntryRemove(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    ExAcquireFastMutex(&cache->Mutex);
    if (ZARFS_FILE_CACHE_ITEM* item = Find<ZARFS_FILE_CACHE_ITEM>(&cache->Files, block)) {
        RemoveEntryList(&item->Link);
        ExFreeToPagedLookasideList(&cache->FileItems, item);
        --cache->FileCount;
    }
    ExReleaseFastMutex(&cache->Mutex);
}

ZARFS_FILE_CACHE_ITEM* ZarFsVolCacheFindFileEntry(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    return Find<ZARFS_FILE_CACHE_ITEM>(&cache->Files, block);
}

ZARFS_FOLDER_CACHE_ITEM* ZarFsVolCacheFindFolderEntry(ZARFS_ENTRY_CACHE* cache, ULONG block)
{
    return Find<ZARFS_FOLDER_CACHE_ITEM>(&cache->Folders, block);
}

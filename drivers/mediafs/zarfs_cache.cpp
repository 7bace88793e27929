// The entry caches: two MRU lists under one mutex per volume, each with an
// index by block. The list alone decides which item is reused; the index
// only finds an item without walking the list. Folders whose names were
// looked up keep a name index beside their item, brought up to date by
// every store under the same mutex.

#include "zarfs_cache.h"

namespace {

constexpr ULONG kFileItemTag = ZarFsTag("VCFL");
constexpr ULONG kFolderItemTag = ZarFsTag("VCfL");
constexpr ULONG kIndexTag = ZarFsTag("VCix");
constexpr ULONG kNamesTag = ZarFsTag("VCnm");

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

// ---- a folder's name index ----

constexpr ULONG kNameBits = 12;
constexpr ULONG kNameMask = (1u << kNameBits) - 1;
static_assert(1u << kNameBits == 2 * ZARFS_FILES_PER_FOLDER);

ULONG NameHome(ULONG key) { return (key * 2654435761u) >> (32 - kNameBits); }

// 'table' holds slot + 1 at the home of keys[slot], probed linearly.
void SlotInsert(USHORT* table, const ULONG* keys, ULONG slot)
{
    ULONG i = NameHome(keys[slot]);
    while (table[i] != 0) i = (i + 1) & kNameMask;
    table[i] = USHORT(slot + 1);
}

// As IndexRemove; keys[slot] must still be the key it went in under.
void SlotRemove(USHORT* table, const ULONG* keys, ULONG slot)
{
    ULONG hole = NameHome(keys[slot]);
    while (table[hole] != slot + 1) hole = (hole + 1) & kNameMask;
    table[hole] = 0;
    for (ULONG j = (hole + 1) & kNameMask; table[j] != 0; j = (j + 1) & kNameMask) {
        ULONG home = NameHome(keys[table[j] - 1]);
        bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (reachable) continue;
        table[hole] = table[j];
        table[j] = 0;
        hole = j;
    }
}

void NamesAdd(ZARFS_FOLDER_NAMES* names, ULONG slot, ULONG block, ULONG hash)
{
    names->Files[slot] = block;
    names->Hashes[slot] = hash;
    SlotInsert(names->ByName, names->Hashes, slot);
    SlotInsert(names->ByBlock, names->Files, slot);
}

void NamesDrop(ZARFS_FOLDER_NAMES* names, ULONG slot)
{
    if (names->Files[slot] == 0) return;
    SlotRemove(names->ByName, names->Hashes, slot);
    SlotRemove(names->ByBlock, names->Files, slot);
    names->Files[slot] = 0;
    names->Hashes[slot] = 0;
}

ULONG StoredNameHash(const WCHAR (&name)[ZARFS_NAME_CHARS])
{
    return ZarFsVolCacheNameHash(name, ZarFsHwNameLength(name));
}

void FreeNames(ZARFS_ENTRY_CACHE* cache, ZARFS_FOLDER_NAMES* names)
{
    IndexRemove(&cache->NamesIndex, names);
    RemoveEntryList(&names->Link);
    ExFreePoolWithTag(names, kNamesTag);
}

void DropFolderNames(ZARFS_ENTRY_CACHE* cache, ULONG folderBlock)
{
    if (cache->NamesIndex.Slots == nullptr) return;
    if (auto* names = Find<ZARFS_FOLDER_NAMES>(&cache->NamesIndex, folderBlock)) FreeNames(cache, names);
}

// A folder entry is stored: its name index, if any, follows its slots.
// A slot that now names a file the cache does not hold leaves the name
// unknown, and the index goes (the next look-up builds it again).
void FolderStored(ZARFS_ENTRY_CACHE* cache, const ZARFS_DIR_ENTRY* entry, ULONG block)
{
    if (cache->NamesIndex.Slots == nullptr) return;
    ZARFS_FOLDER_NAMES* names = Find<ZARFS_FOLDER_NAMES>(&cache->NamesIndex, block);
    if (names == nullptr) return;
    for (ULONG slot = 0; slot < ZARFS_FILES_PER_FOLDER; ++slot) {
        ULONG file = entry->FileSlots[slot];
        if (names->Files[slot] == file) continue;
        NamesDrop(names, slot);
        if (file == 0) continue;
        const ZARFS_FILE_CACHE_ITEM* item = Find<ZARFS_FILE_CACHE_ITEM>(&cache->FileIndex, file);
        if (item == nullptr) {
            FreeNames(cache, names);
            return;
        }
        NamesAdd(names, slot, file, StoredNameHash(item->Entry.Name));
    }
}

// A file entry is stored under a name that may be new: every folder index
// with a slot naming its block takes the new name's hash.
void FileRenamed(ZARFS_ENTRY_CACHE* cache, const ZAR_FILE_INFO* entry, ULONG block)
{
    ULONG hash = StoredNameHash(entry->Name);
    for (PLIST_ENTRY e = cache->FolderNames.Flink; e != &cache->FolderNames; e = e->Flink) {
        auto* names = CONTAINING_RECORD(e, ZARFS_FOLDER_NAMES, Link);
        for (ULONG i = NameHome(block); names->ByBlock[i] != 0; i = (i + 1) & kNameMask) {
            ULONG slot = names->ByBlock[i] - 1u;
            if (names->Files[slot] != block || names->Hashes[slot] == hash) continue;
            SlotRemove(names->ByName, names->Hashes, slot);
            names->Hashes[slot] = hash;
            SlotInsert(names->ByName, names->Hashes, slot);
        }
    }
}

void ToFront(PLIST_ENTRY head, PLIST_ENTRY link)
{
    RemoveEntryList(link);
    InsertHeadList(head, link);
}

// Store: refresh a cached block, else a new item while below capacity, else
// reuse the least recently used one. 'stored' sees the item before its new
// entry is copied in, with whether it held this block already; 'evicted'
// the block a reused item held.
template <typename Item, typename Entry, typename Stored, typename Evicted>
void Store(ZARFS_ENTRY_CACHE* cache, PLIST_ENTRY head, ZARFS_CACHE_INDEX* index, PULONG count, ULONG capacity,
           PPAGED_LOOKASIDE_LIST items, const Entry* entry, ULONG block, Stored stored, Evicted evicted)
{
    ExAcquireFastMutex(&cache->Mutex);
    Item* item = Find<Item>(index, block);
    bool existed = item != nullptr;
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
        evicted(item->Block);
        item->Block = block;
        IndexInsert(index, item);
    }
    stored(item, existed);
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

void DrainNames(ZARFS_ENTRY_CACHE* cache)
{
    while (!IsListEmpty(&cache->FolderNames))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&cache->FolderNames), ZARFS_FOLDER_NAMES, Link),
                          kNamesTag);
    if (cache->NamesIndex.Slots != nullptr)
        RtlZeroMemory(cache->NamesIndex.Slots, (1u << cache->NamesIndex.Bits) * sizeof(PVOID));
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
    InitializeListHead(&cache->FolderNames);
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
        !NT_SUCCESS(IndexInitialize(&cache->FolderIndex, ZARFS_FOLDER_CACHE_CAPACITY)) ||
        !NT_SUCCESS(IndexInitialize(&cache->NamesIndex, ZARFS_FOLDER_CACHE_CAPACITY)))
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

void ZarFsVolCacheFree(ZARFS_ENTRY_CACHE* cache)
{
    if (cache->Flags & ZARFS_CACHE_FILE_LIST) {
        Drain<ZARFS_FILE_CACHE_ITEM>(&cache->Files, &cache->FileIndex, &cache->FileCount, &cache->FileItems);
        ExDeletePagedLookasideList(&cache->FileItems);
    }
    if (cache->Flags & ZARFS_CACHE_INDEXES) DrainNames(cache);
    if (cache->Flags & ZARFS_CACHE_FOLDER_LIST) {
        Drain<ZARFS_FOLDER_CACHE_ITEM>(&cache->Folders, &cache->FolderIndex, &cache->FolderCount,
                                       &cache->FolderItems);
        ExDeletePagedLookasideList(&cache->FolderItems);
    }
    if (cache->Flags & ZARFS_CACHE_INDEXES) {
        IndexFree(&cache->FileIndex);
        IndexFree(&cache->FolderIndex);
        IndexFree(&cache->NamesIndex);
    }
    cache->Flags = 0;
}

void ZarFsVolCacheFileEntryCache(ZARFS_ENTRY_CACHE* cache, const ZAR_FILE_INFO* entry, ULONG block)
{
    // A folder's name index holds hashes, not items: a reused item changes
    // nothing in it, a changed name does.
    auto stored = [&](const ZARFS_FILE_CACHE_ITEM* item, bool existed) {
        bool same = existed && RtlCompareMemory(item->Entry.Name, entry->Name, sizeof entry->Name) == sizeof entry->Name;
        if (existed && !same) ++cache->NameChanges;
        if (!same && !IsListEmpty(&cache->FolderNames)) FileRenamed(cache, entry, block);
    };
    Store<ZARFS_FILE_CACHE_ITEM>(cache, &cache->Files, &cache->FileIndex, &cache->FileCount,
                                 ZARFS_FILE_CACHE_CAPACITY, &cache->FileItems, entry, block, stored, [](ULONG) {});
}

void ZarFsVolCacheFolderEntryCache(ZARFS_ENTRY_CACHE* cache, const ZARFS_DIR_ENTRY* entry, ULONG block)
{
    Store<ZARFS_FOLDER_CACHE_ITEM>(
        cache, &cache->Folders, &cache->FolderIndex, &cache->FolderCount, ZARFS_FOLDER_CACHE_CAPACITY,
        &cache->FolderItems, entry, block,
        [&](const ZARFS_FOLDER_CACHE_ITEM* item, bool) {
            if (item != nullptr) FolderStored(cache, entry, block);
        },
        [&](ULONG old) { DropFolderNames(cache, old); });
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

ULONG ZarFsVolCacheNameHash(PCWSTR name, ULONG chars)
{
    ULONG hash = 2166136261u;
    for (ULONG i = 0; i < chars; ++i) {
        WCHAR c = RtlUpcaseUnicodeChar(name[i]);
        hash = (hash ^ (c & 0xFF)) * 16777619u;
        hash = (hash ^ (c >> 8)) * 16777619u;
    }
    return hash;
}

BOOLEAN ZarFsVolCacheFileEntryNameHash(ZARFS_ENTRY_CACHE* cache, ULONG block, PULONG hash)
{
    ExAcquireFastMutex(&cache->Mutex);
    ZARFS_FILE_CACHE_ITEM* item = Find<ZARFS_FILE_CACHE_ITEM>(&cache->FileIndex, block);
    if (item != nullptr) {
        ToFront(&cache->Files, &item->Link);
        *hash = StoredNameHash(item->Entry.Name);
    }
    ExReleaseFastMutex(&cache->Mutex);
    return item != nullptr;
}

ULONG ZarFsVolCacheNameChanges(ZARFS_ENTRY_CACHE* cache)
{
    ExAcquireFastMutex(&cache->Mutex);
    ULONG changes = cache->NameChanges;
    ExReleaseFastMutex(&cache->Mutex);
    return changes;
}

BOOLEAN ZarFsVolCacheIndexFolderNames(ZARFS_ENTRY_CACHE* cache, ULONG folderBlock, const ULONG* files,
                                      const ULONG* hashes, ULONG nameChanges)
{
    auto* names =
        static_cast<ZARFS_FOLDER_NAMES*>(ExAllocatePoolWithTag(PagedPool, sizeof(ZARFS_FOLDER_NAMES), kNamesTag));
    if (names == nullptr) return FALSE;
    RtlZeroMemory(names, sizeof *names);
    names->Block = folderBlock;
    for (ULONG slot = 0; slot < ZARFS_FILES_PER_FOLDER; ++slot)
        if (files[slot] != 0) NamesAdd(names, slot, files[slot], hashes[slot]);
    ExAcquireFastMutex(&cache->Mutex);
    // What was read must still be what the cache holds: the same slots, and
    // no file renamed since the names were read.
    const ZARFS_FOLDER_CACHE_ITEM* item = Find<ZARFS_FOLDER_CACHE_ITEM>(&cache->FolderIndex, folderBlock);
    bool current = item != nullptr && cache->NameChanges == nameChanges &&
                   RtlCompareMemory(item->Entry.FileSlots, files, sizeof item->Entry.FileSlots) ==
                       sizeof item->Entry.FileSlots;
    if (current) {
        DropFolderNames(cache, folderBlock);
        IndexInsert(&cache->NamesIndex, names);
        InsertHeadList(&cache->FolderNames, &names->Link);
    }
    ExReleaseFastMutex(&cache->Mutex);
    if (!current) ExFreePoolWithTag(names, kNamesTag);
    return current;
}

LONG ZarFsVolCacheFolderNameSlots(ZARFS_ENTRY_CACHE* cache, ULONG folderBlock, ULONG hash, PULONG slots, ULONG max)
{
    ExAcquireFastMutex(&cache->Mutex);
    const ZARFS_FOLDER_NAMES* names = Find<ZARFS_FOLDER_NAMES>(&cache->NamesIndex, folderBlock);
    LONG count = names != nullptr ? 0 : -1;
    for (ULONG i = NameHome(hash); names != nullptr && names->ByName[i] != 0; i = (i + 1) & kNameMask) {
        ULONG slot = names->ByName[i] - 1u;
        if (names->Hashes[slot] != hash) continue;
        if (ULONG(count) == max) {
            count = -1;  // more than the caller has room for: let it look at every file
            break;
        }
        // In slot order, as a walk of the folder finds them.
        ULONG at = ULONG(count++);
        while (at > 0 && slots[at - 1] > slot) {
            slots[at] = slots[at - 1];
            --at;
        }
        slots[at] = slot;
    }
    ExReleaseFastMutex(&cache->Mutex);
    return count;
}

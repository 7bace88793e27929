// The two entry caches of a media volume: copies of the folder and file
// entries it has read or written, keyed by block address, each a most-
// recently-used list of fixed capacity whose oldest item is reused when full,
// with an index by block so that a look-up takes the same time however
// full the cache is.
#pragma once

#include "zarfs_format.h"

inline constexpr ULONG ZARFS_FILE_CACHE_CAPACITY = 4096;
inline constexpr ULONG ZARFS_FOLDER_CACHE_CAPACITY = 256;

struct ZARFS_FILE_CACHE_ITEM {
    LIST_ENTRY Link;
    ULONG Block;
    ZAR_FILE_INFO Entry;
};
static_assert(sizeof(ZARFS_FILE_CACHE_ITEM) == 1036);

struct ZARFS_FOLDER_CACHE_ITEM {
    LIST_ENTRY Link;
    ULONG Block;
    ZARFS_DIR_ENTRY Entry;
};
static_assert(sizeof(ZARFS_FOLDER_CACHE_ITEM) == 9228);

inline constexpr ULONG ZARFS_CACHE_FILE_LIST = 0x1;
inline constexpr ULONG ZARFS_CACHE_FOLDER_LIST = 0x2;
inline constexpr ULONG ZARFS_CACHE_MUTEX = 0x4;
inline constexpr ULONG ZARFS_CACHE_INDEXES = 0x8;

// The items of one list by block: an open-addressed table twice the list's
// capacity, probed linearly; a null slot is free.
struct ZARFS_CACHE_INDEX {
    PVOID* Slots;
    ULONG Bits;                     // 2^Bits slots
};

struct ZARFS_ENTRY_CACHE {
    LIST_ENTRY Files;               // most recently used first
    ULONG FileCount;
    LIST_ENTRY Folders;
    ULONG FolderCount;
    PAGED_LOOKASIDE_LIST FileItems;     // "VCFL"
    PAGED_LOOKASIDE_LIST FolderItems;   // "VCfL"
    ZARFS_CACHE_INDEX FileIndex;    // the items of Files by block
    ZARFS_CACHE_INDEX FolderIndex;  // the items of Folders by block
    FAST_MUTEX Mutex;               // guards both lists and both indexes
    ULONG Flags;                    // ZARFS_CACHE_...: what exists, for tear-down
};

NTSTATUS ZarFsVolCacheInitialize(ZARFS_ENTRY_CACHE* cache);
void ZarFsVolCacheFree(ZARFS_ENTRY_CACHE* cache);

void ZarFsVolCacheFileEntryCache(ZARFS_ENTRY_CACHE* cache, const ZAR_FILE_INFO* entry, ULONG block);
void ZarFsVolCacheFolderEntryCache(ZARFS_ENTRY_CACHE* cache, const ZARFS_DIR_ENTRY* entry, ULONG block);
BOOLEAN ZarFsVolCacheFileEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZAR_FILE_INFO* entry);
BOOLEAN ZarFsVolCacheFolderEntrySearch(ZARFS_ENTRY_CACHE* cache, ULONG block, ZARFS_DIR_ENTRY* entry);
void ZarFsVolCacheFileEntryRemove(ZARFS_ENTRY_CACHE* cache, ULONG block);
// Whether the cached file entry of 'block' bears 'name' (any case): 1 it
// does, 0 it does not, -1 the block is not cached. Found, the item becomes
// the most recent, as a search makes it.
LONG ZarFsVolCacheFileEntryNameIs(ZARFS_ENTRY_CACHE* cache, ULONG block, PCWSTR name, ULONG chars);
// The item of a block, or null; the caller holds the mutex.
ZARFS_FILE_CACHE_ITEM* ZarFsVolCacheFindFileEntry(ZARFS_ENTRY_CACHE* cache, ULONG block);
ZARFS_FOLDER_CACHE_ITEM* ZarFsVolCacheFindFolderEntry(ZARFS_ENTRY_CACHE* cache, ULONG block);

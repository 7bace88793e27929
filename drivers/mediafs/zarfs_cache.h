// The two entry caches of a media volume: copies of the folder and file
// entries it has read or written, keyed by block address, each a most-
// recently-used list of fixed capacity whose oldest item is reused when full,
// with an index by block so that a look-up takes the same time however
// full the cache is. A folder whose names were looked up also keeps an
// index of its files by name (see ZARFS_FOLDER_NAMES), so that finding a
// name, or finding it absent, does not visit every file of the folder.
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

// The names of one folder's files: the hash of each slot's name (upper-
// cased) and its file entry's block as they were when the index was built,
// kept current by every store of the folder's entry and of its files'
// entries, and two open-addressed tables of slot + 1 (0 = free), one by
// name hash, one by file block. It holds no entries, so the file list's
// reuse of an item leaves it whole; it goes with its folder's item, and
// when a store of the folder names a file the cache does not hold.
struct ZARFS_FOLDER_NAMES {
    LIST_ENTRY Link;                // on ZARFS_ENTRY_CACHE::FolderNames
    ULONG Block;                    // the folder entry's
    ULONG Files[ZARFS_FILES_PER_FOLDER];
    ULONG Hashes[ZARFS_FILES_PER_FOLDER];
    USHORT ByName[2 * ZARFS_FILES_PER_FOLDER];
    USHORT ByBlock[2 * ZARFS_FILES_PER_FOLDER];
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
    LIST_ENTRY FolderNames;         // ZARFS_FOLDER_NAMES of folders in Folders
    ZARFS_CACHE_INDEX NamesIndex;   // those by folder block
    ULONG NameChanges;              // stores of a cached file entry under another name
    FAST_MUTEX Mutex;               // guards both lists and all indexes
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
// The hash a folder's name index keeps for a name: of its characters
// upper-cased, so names that differ only in case hash alike.
ULONG ZarFsVolCacheNameHash(PCWSTR name, ULONG chars);
// The hash of the name in the cached file entry of 'block', which becomes
// the most recent as a search makes it; false when the block is not cached.
BOOLEAN ZarFsVolCacheFileEntryNameHash(ZARFS_ENTRY_CACHE* cache, ULONG block, PULONG hash);
// A count that moves whenever a cached file entry is stored again under
// another name.
ULONG ZarFsVolCacheNameChanges(ZARFS_ENTRY_CACHE* cache);
// Builds the name index of the cached folder entry at 'folderBlock' from
// 'hashes' (one a slot of 'files', the file blocks the caller read the
// names of), read since ZarFsVolCacheNameChanges gave 'nameChanges'.
// Refused (false) when the folder is not cached, its slots are no longer
// 'files', a name changed meanwhile, or no memory is left.
BOOLEAN ZarFsVolCacheIndexFolderNames(ZARFS_ENTRY_CACHE* cache, ULONG folderBlock, const ULONG* files,
                                      const ULONG* hashes, ULONG nameChanges);
// The slots of the folder at 'folderBlock' whose names hash to 'hash', in
// slot order, at most 'max' of them: their count, or -1 when the folder has
// no name index (then the caller looks at every file, or builds one). A
// slot found may still bear another name of the same hash; a slot not
// found does not bear the name.
LONG ZarFsVolCacheFolderNameSlots(ZARFS_ENTRY_CACHE* cache, ULONG folderBlock, ULONG hash, PULONG slots, ULONG max);
// The item of a block, or null; the caller holds the mutex.
ZARFS_FILE_CACHE_ITEM* ZarFsVolCacheFindFileEntry(ZARFS_ENTRY_CACHE* cache, ULONG block);
ZARFS_FOLDER_CACHE_ITEM* ZarFsVolCacheFindFolderEntry(ZARFS_ENTRY_CACHE* cache, ULONG block);

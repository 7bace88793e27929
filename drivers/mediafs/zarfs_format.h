// The media volume as it lies on its drives: the volume and folder entries,
// the body-table node, the layout constants, and the pure routines over
// them (checksum, names, body-table sizes, striping of fields over the
// drives, replacement entries). The file entry is ZAR_FILE_INFO of the
// driver's interface header, since a control code returns it whole.
//
// Every drive of a volume is laid out alike (N = the smallest last-block
// address of the volume's drives):
//   0-1            volume entry, each drive with its own drive index
//   1024..N-4608   allocation area (frame data on every drive at the same
//                  addresses; file entries and body tables on drive 0)
//   N-4607..N      folder area: 256 folder entries of 18 blocks, drive 0
#pragma once

#include "include/zarfs.h"
#include "zarfs_tag.h"

inline constexpr ULONG ZARFS_BLOCK = 512;
inline constexpr ULONG ZARFS_VOLUME_VERSION = 0x00010000;
inline constexpr ULONG ZARFS_VOLUME_ENTRY_BLOCKS = 2;
inline constexpr ULONG ZARFS_DIR_ENTRY_BLOCKS = 18;
inline constexpr ULONG ZARFS_FILE_ENTRY_BLOCKS = 2;
inline constexpr ULONG ZARFS_FOLDER_SLOTS = 256;
inline constexpr ULONG ZARFS_FILES_PER_FOLDER = 2048;
inline constexpr ULONG ZARFS_ALLOC_FIRST_BLOCK = 1024;
inline constexpr ULONG ZARFS_FOLDER_AREA_BLOCKS = ZARFS_FOLDER_SLOTS * ZARFS_DIR_ENTRY_BLOCKS;  // 4608
// A drive smaller than the fixed regions has no allocation area at all.
inline constexpr ULONG ZARFS_MIN_DRIVE_BLOCKS = ZARFS_ALLOC_FIRST_BLOCK + ZARFS_FOLDER_AREA_BLOCKS;  // 5632

// Volume entry "VOL0", blocks 0-1 of every member drive.
struct ZARFS_VOLUME_ENTRY {
    UCHAR Magic[4];
    ULONG Version;
    ULONGLONG CreationTime;      // the same on all drives of the volume
    ULONG Checksum;
    ULONG DriveCount;
    ULONG DriveIndex;
    UCHAR Zero28[484];
    WCHAR Name[ZARFS_NAME_CHARS];
};
static_assert(sizeof(ZARFS_VOLUME_ENTRY) == 1024);
static_assert(offsetof(ZARFS_VOLUME_ENTRY, CreationTime) == 8);
static_assert(offsetof(ZARFS_VOLUME_ENTRY, Checksum) == 16);
static_assert(offsetof(ZARFS_VOLUME_ENTRY, DriveCount) == 20);
static_assert(offsetof(ZARFS_VOLUME_ENTRY, DriveIndex) == 24);
static_assert(offsetof(ZARFS_VOLUME_ENTRY, Name) == 512);

// Folder entry "FOL0", 18 blocks in the folder area of drive 0.
struct ZARFS_DIR_ENTRY {
    UCHAR Magic[4];
    ULONG Checksum;
    ULONGLONG CreationTime;
    ULONG FileCount;             // 0..2048
    ULONG InUse;                 // 0 marks a free folder slot
    UCHAR Zero24[488];
    ULONG FileSlots[ZARFS_FILES_PER_FOLDER];  // block of each file entry; 0 = empty slot
    WCHAR Name[ZARFS_NAME_CHARS];
};
static_assert(sizeof(ZARFS_DIR_ENTRY) == 9216);
static_assert(offsetof(ZARFS_DIR_ENTRY, FileCount) == 16);
static_assert(offsetof(ZARFS_DIR_ENTRY, InUse) == 20);
static_assert(offsetof(ZARFS_DIR_ENTRY, FileSlots) == 512);
static_assert(offsetof(ZARFS_DIR_ENTRY, Name) == 8704);

// One field's place on the volume, as the body-table sections hold it.
struct ZARFS_BODY_TABLE_NODE {
    ULONG ScsiId;                // drive holding the field
    ULONG FirstBlock;
    ULONG Counts;                // two u16 block counts as on disk; the field takes their sum
};
static_assert(sizeof(ZARFS_BODY_TABLE_NODE) == 12);

// Entry kinds, as checksums and log entries name them.
enum ZARFS_ENTRY_KIND : ULONG {
    ZarFsEntryVolume = 0,
    ZarFsEntryDir = 1,
    ZarFsEntryFile = 2,
    ZarFsEntryBodyTable = 3,
};
const char* ZarFsEntryKindName(ULONG kind);  // "VolumeEntry", "DirEntry", "FileEntry", "BodyTable"

// Adler-like sum over signed bytes, without a modulus: a = 1 + sum of
// bytes, b = sum of the running a's, result (b << 16) + a.
ULONG ZarFsHwCalcChecksum(const void* bytes, ULONG length);
// The entry's sum with its checksum field counted as 0.
ULONG ZarFsHwEntryChecksum(const void* entry, ULONG kind);
// Computes and stores the entry's checksum.
void ZarFsHwSetChecksum(void* entry, ULONG kind);
// With 'allowBlank', an entry whose first four bytes are zero passes.
BOOLEAN ZarFsHwVerifyChecksum(const void* entry, ULONG kind, BOOLEAN allowBlank);

// 1..256 characters, none of \ / : * ? " < > |.
BOOLEAN ZarFsHwIsValidFilename(PCWSTR name, ULONG chars);
// A stored name's length: up to its first zero or the field's end.
ULONG ZarFsHwNameLength(const WCHAR (&field)[ZARFS_NAME_CHARS]);
// Case-insensitive comparison of a stored name with a counted one.
BOOLEAN ZarFsHwNameEquals(const WCHAR (&field)[ZARFS_NAME_CHARS], PCWSTR name, ULONG chars);
BOOLEAN ZarFsHwStoredNamesEqual(const WCHAR (&a)[ZARFS_NAME_CHARS], const WCHAR (&b)[ZARFS_NAME_CHARS]);
// Clears the field and stores the name (at most 256 characters).
void ZarFsHwStoreName(WCHAR (&field)[ZARFS_NAME_CHARS], PCWSTR name, ULONG chars);

// Body table of 'frames' frames: frames x 8 bytes rounded up to whole blocks.
ULONG ZarFsHwGetBodyTableSize(ULONG frames);
// Node array of 'frames' frames: frames x 24 bytes.
ULONG ZarFsHwGetBodyTableNodesSize(ULONG frames);

// Builds one stream's nodes from its on-disk table: field k lies on drive
// ids[k mod driveCount], each drive's fields one after another from the
// stream's first data block.
void ZarFsHwBuildBodyTableNodes(const ULONG* table, ULONG fields, const ULONG* ids, ULONG driveCount,
                                ULONG firstDataBlock, ZARFS_BODY_TABLE_NODE* nodes);
// The on-disk table of the nodes: their third words in node order.
void ZarFsHwPackBodyTableNodes(const ZARFS_BODY_TABLE_NODE* nodes, ULONG fields, ULONG* table);

// What a folder or file entry that cannot be read becomes: a valid entry
// named "BAD_DIR_<block>" / "BAD_FILE_<block>" over a zeroed buffer.
void ZarFsHwMakeReplacementEntry(void* buffer, ULONG kind, ULONG block);

// Block of folder slot i on drive 0, given the folder area's first block.
inline ULONG ZarFsHwFolderBlock(ULONG folderAreaFirst, ULONG slot)
{
    return folderAreaFirst + ZARFS_DIR_ENTRY_BLOCKS * slot;
}

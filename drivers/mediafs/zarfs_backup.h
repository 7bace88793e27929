// The body-table backup file a clip recorder leaves beside the drivers:
// which clip it belongs to and the newest nodes of one of its body tables.
// Each board has its own file (\SystemRoot\system32\drivers\!KIVBKUP.!BT
// for board 0, !KIVBKUP<n>.!BT beside it for board n; a recorder's other
// side files follow the same scheme), so one card's discovery never reads or
// deletes another's. Discovery reads it once per scan, restores it into the
// clip it names when the drive letter and the volume are the card's, and the
// file is gone after.
//
// File: a 1,056-byte header, then one u32 per field as in the on-disk body
// table. Header: the clip's path as 512 UTF-16 characters
// ("P:\KIV\<volume>\<folder>\<file>"), at 1032 a u32 node count, at 1038 a
// byte that is non-zero for the alpha table.
#pragma once

#include "zarfs_format.h"

inline constexpr ULONG ZARFS_BACKUP_HEADER_BYTES = 1056;
inline constexpr ULONG ZARFS_BACKUP_PATH_CHARS = 512;
inline constexpr ULONG ZARFS_BACKUP_COUNT_OFFSET = 1032;
inline constexpr ULONG ZARFS_BACKUP_ALPHA_OFFSET = 1038;
inline constexpr ULONG ZARFS_BACKUP_NAME_CHARS = 48;

struct ZARFS_BT_BACKUP {
    WCHAR DriveLetter;
    WCHAR Volume[ZARFS_NAME_CHARS];
    ULONG VolumeChars;
    WCHAR Folder[ZARFS_NAME_CHARS];
    ULONG FolderChars;
    WCHAR File[ZARFS_NAME_CHARS];
    ULONG FileChars;
    BOOLEAN Alpha;
    ULONG NodeCount;
    ULONG NodeBytes;            // the node data as the file held it (at least NodeCount x 4)
    PULONG Nodes;
};

// The full name of board 'card's backup file, zero-terminated.
void ZarFsBTBackupFileName(ULONG card, WCHAR (&name)[ZARFS_BACKUP_NAME_CHARS]);
// Reads and deletes board 'card's backup file. No file, or one that is not
// a valid backup: success with *backup null.
NTSTATUS ZarFsGetBTBackupFileDetails(ULONG card, ZARFS_BT_BACKUP** backup);
void ZarFsFreeBTBackup(ZARFS_BT_BACKUP* backup);
// Parses a backup file's bytes; false when they are not a valid backup.
BOOLEAN ZarFsParseBTBackup(const UCHAR* bytes, ULONG length, ZARFS_BT_BACKUP** backup);

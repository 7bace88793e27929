// RAM files: files made inside a media file (clip) whose contents live only
// in paged pool until they are deleted or the volume goes. Programs write
// frame pictures into them and then rename them onto a frame of the clip.
// Each media volume keeps one list of them, bounded in count and in the
// size of each file by the card's preferences.
#pragma once

#include "platform/nt/kernel.h"

// ZARFS_RAM_FILE flags: what the object owns.
inline constexpr ULONG ZARFS_RAM_BUFFER = 0x1;
inline constexpr ULONG ZARFS_RAM_NAME = 0x2;
inline constexpr ULONG ZARFS_RAM_CLIP_NAME = 0x4;

// A write that runs past the allocation grows it by at least this much.
inline constexpr ULONG ZARFS_RAM_GROWTH = 0x10000;

struct ZARFS_RAM_FILE {
    LIST_ENTRY Link;
    UNICODE_STRING Name;            // one component, own copy
    UNICODE_STRING ClipName;        // full name of the media file that owns it, own copy
    ULONGLONG Time;
    ULONGLONG EndOfFile;
    PUCHAR Buffer;
    ULONG Allocation;               // bytes of Buffer
    ULONG Flags;                    // ZARFS_RAM_...
};

inline constexpr ULONG ZARFS_RAM_LIST_INITIALIZED = 0x1;

struct ZARFS_RAM_FILE_LIST {
    LIST_ENTRY Files;               // newest first
    ULONG Count;
    ULONG Flags;                    // ZARFS_RAM_LIST_...
};

void ZarFsVFInitHandler(ZARFS_RAM_FILE_LIST* list);
void ZarFsVFFreeHandler(ZARFS_RAM_FILE_LIST* list);
// A new, empty RAM file of 'clip' at the front of the list. A list that
// already holds 'mostFiles' refuses it with STATUS_ACCESS_DENIED and an
// event-log entry for 'logObject'.
NTSTATUS ZarFsVFCreateNewFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PCUNICODE_STRING name,
                              ULONGLONG time, ULONG mostFiles, PVOID logObject, ZARFS_RAM_FILE** file);
// The clip's RAM file of that name (both compared case-insensitively), and
// how many of the clip's RAM files come before it in list order.
BOOLEAN ZarFsVFFindFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PCUNICODE_STRING name,
                        ZARFS_RAM_FILE** file, PULONG position);
// The clip's RAM file at '*position' in list order; false when the clip has no more.
BOOLEAN ZarFsVFFindNextFile(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clip, PULONG position,
                            ZARFS_RAM_FILE** file);
// A volume, folder or media file was renamed or moved: the RAM files of the
// clips at or below it follow. Both paths leave out the file-type folder
// ("\<volume>\<folder>..."), since a clip's RAM files are named after the
// type folder they were made through.
NTSTATUS ZarFsVFRenamePath(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING oldPath, PCUNICODE_STRING newPath);
// Whether the RAM file belongs to the clip at 'clipPath' (past the type folder, as above).
BOOLEAN ZarFsVFIsOfClip(const ZARFS_RAM_FILE* file, PCUNICODE_STRING clipPath);
// Deletes every RAM file of the clip at 'clipPath' (a deleted media file's).
void ZarFsVFDeleteClipFiles(ZARFS_RAM_FILE_LIST* list, PCUNICODE_STRING clipPath);
void ZarFsVFDeleteFile(ZARFS_RAM_FILE_LIST* list, ZARFS_RAM_FILE* file);
void ZarFsVFFreeFile(ZARFS_RAM_FILE* file);

// Sizes are cut to 'largest' (the card's RAMFileMaxSize). A failed
// allocation leaves the file as it was.
NTSTATUS ZarFsVFSetFileAllocation(ZARFS_RAM_FILE* file, ULONGLONG largest, ULONGLONG size);
NTSTATUS ZarFsVFSetEndOfFile(ZARFS_RAM_FILE* file, ULONGLONG largest, ULONGLONG size);
// '*length' in: bytes asked for; out: bytes moved. Nothing to move gives
// STATUS_END_OF_FILE.
NTSTATUS ZarFsVFReadFile(ZARFS_RAM_FILE* file, PUCHAR buffer, ULONGLONG offset, PULONG length);
NTSTATUS ZarFsVFWriteFile(ZARFS_RAM_FILE* file, const UCHAR* buffer, ULONGLONG offset, PULONG length,
                          ULONGLONG largest);

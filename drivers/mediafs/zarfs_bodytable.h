// Body-table objects: the frame nodes of an open media file in named,
// page-file-backed sections that the library maps by name, cached by file
// name on a referenced and an unreferenced list (at most 32 kept after
// release), written back by a flush thread every 2 s for objects due (10 s
// after their last write), with flushing held off while clients stream.
//
// Section names: "\BaseNamedObjects\" + the media drive ("P:") + the file's
// name on the drive, "\" turned to "/" and upper-cased after the prefix;
// the alpha section adds "_A".
#pragma once

#include "zarfs_hw.h"

inline constexpr ULONG ZARFS_BT_UNREFERENCED_MAX = 32;
inline constexpr LONGLONG ZARFS_BT_FLUSH_DELAY = 100000000LL;   // 10 s in 100 ns units
inline constexpr LONGLONG ZARFS_BT_THREAD_PERIOD = -20000000LL; // 2 s
inline constexpr ULONG ZARFS_BT_OBJECT_TAG = ZarFsTag("BTOL");            // "BTOL"
inline constexpr USHORT ZARFS_BT_OBJECT_DEPTH = 132;

// ZARFS_BT_OBJECT flags.
inline constexpr ULONG ZARFS_BT_NAME_OWNED = 0x1;
inline constexpr ULONG ZARFS_BT_VIDEO_NAME_OWNED = 0x2;
inline constexpr ULONG ZARFS_BT_ALPHA_NAME_OWNED = 0x4;
inline constexpr ULONG ZARFS_BT_VIDEO_SECTION = 0x8;
inline constexpr ULONG ZARFS_BT_ALPHA_SECTION = 0x10;
inline constexpr ULONG ZARFS_BT_VIDEO_VIEW = 0x20;
inline constexpr ULONG ZARFS_BT_ALPHA_VIEW = 0x40;
inline constexpr ULONG ZARFS_BT_CLEAN = 0x80;
inline constexpr ULONG ZARFS_BT_UNREFERENCED = 0x100;
inline constexpr ULONG ZARFS_BT_NEW = 0x200;
inline constexpr ULONG ZARFS_BT_WRITE_TAKEN = 0x400;
inline constexpr ULONG ZARFS_BT_EVENT_OWNED = 0x800;

struct ZARFS_BT_HANDLER;

struct ZARFS_BT_OBJECT {
    LIST_ENTRY Link;
    ULONG WriteAccessCount;
    ULONGLONG NextFlush;            // system time
    UNICODE_STRING Name;            // the file's name on the drive
    PVOID Vcb;
    ZARFS_HW_VOLUME* Volume;
    ULONG FrameCount;
    ULONG VideoTableFirst;
    ULONG VideoTableBytes;
    ULONG AlphaTableFirst;
    ULONG AlphaTableBytes;
    UNICODE_STRING VideoSectionName;
    UNICODE_STRING AlphaSectionName;
    HANDLE VideoSection;
    HANDLE AlphaSection;
    ULONG VideoNodeBytes;           // frames x 24
    ULONG AlphaNodeBytes;           // 0 without an alpha stream
    PVOID VideoView;
    PVOID AlphaView;
    ZARFS_BT_HANDLER* Handler;
    PKEVENT Event;
    ULONG Flags;                    // ZARFS_BT_...
    ULONG EntryBlock;               // the file entry, whose runs bound every write
};
static_assert(sizeof(ZARFS_BT_OBJECT) == 112);

inline constexpr ULONG ZARFS_BTH_LOOKASIDE = 0x1;
inline constexpr ULONG ZARFS_BTH_THREAD = 0x2;

struct ZARFS_BT_HANDLER {
    LIST_ENTRY Referenced;
    ULONG ReferencedCount;
    LIST_ENTRY Unreferenced;        // most recently released first
    ULONG UnreferencedCount;
    KMUTEX Mutex;                   // both lists, every object's fields, the suspend count
    PEPROCESS Process;              // where the sections' handles and views live
    PAGED_LOOKASIDE_LIST Objects;
    HANDLE Thread;
    PVOID ThreadObject;
    KEVENT Stop;
    KEVENT WorkDone;
    ULONG SuspendCount;
    ULONG Flags;                    // ZARFS_BTH_...
    ZARFS_HW_CONTEXT* Hw;
    WCHAR DriveLetter;              // the card's media drive
};

NTSTATUS ZarFsBTInitHandler(ZARFS_BT_HANDLER* handler, ZARFS_HW_CONTEXT* hw, WCHAR driveLetter);
void ZarFsBTFreeHandler(ZARFS_BT_HANDLER* handler);
// Finds the file's object by name, or loads its body tables from 'entry'
// (the file entry at 'entryBlockZarFsTag(" fo ")volume').
NTSTATUS ZarFsBTReferenceObject(ZARFS_BT_HANDLER* handler, PCUNICODE_STRING name, ZARFS_HW_VOLUME* volume,
                                ULONG entryBlock, const ZAR_FILE_INFO* entry, ZARFS_BT_OBJECT** object);
NTSTATUS ZarFsBTCreateNewObject(ZARFS_BT_HANDLER* handler, PCUNICODE_STRING name, ZARFS_HW_VOLUME* volume,
                                ULONG entryBlock, ULONG frameCount, ZARFS_BT_OBJECT** object);
NTSTATUS ZarFsBTCreateNewVideoNodes(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object, ULONG firstBlock,
                                    ULONG bytes);
NTSTATUS ZarFsBTCreateNewAlphaNodes(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object, ULONG firstBlock,
                                    ULONG bytes);
void ZarFsBTDereferenceObject(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object);
// Writes the object's tables out now, keeping it as it is otherwise.
NTSTATUS ZarFsBTFlushObject(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object);
// After the file's pieces moved: where its entry and tables are now.
void ZarFsBTRelocateObject(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object, ULONG entryBlock,
                           ULONG videoTableFirst, ULONG alphaTableFirst);
void ZarFsBTRemoveObjectByName(ZARFS_BT_HANDLER* handler, PCUNICODE_STRING name);
NTSTATUS ZarFsBTFlushObjectByName(ZARFS_BT_HANDLER* handler, PCUNICODE_STRING name);
void ZarFsBTFlushUnrefObjects(ZARFS_BT_HANDLER* handler);
void ZarFsBTFlushRefObjects(ZARFS_BT_HANDLER* handler);
void ZarFsBTWriteAccessReference(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object);
void ZarFsBTWriteAccessDereference(ZARFS_BT_HANDLER* handler, ZARFS_BT_OBJECT* object);
// The section name after "\BaseNamedObjects\", with its terminating zero.
NTSTATUS ZarFsBTGetVideoName(ZARFS_BT_OBJECT* object, PWCHAR buffer, ULONG bytes);
NTSTATUS ZarFsBTGetAlphaName(ZARFS_BT_OBJECT* object, PWCHAR buffer, ULONG bytes);
void ZarFsBTRequestFlushSuspend(ZARFS_BT_HANDLER* handler);
void ZarFsBTRequestFlushResume(ZARFS_BT_HANDLER* handler, ULONG count);
// One pass of the flush thread (exposed for the thread and its tests).
void ZarFsBTFlushPass(ZARFS_BT_HANDLER* handler);

// Per-handle suspension record of a control-device handle.
inline constexpr ULONG ZARFS_HC_TAG = 0x5AA5;
struct ZARFS_HANDLE_CONTEXT {
    ULONG Tag;
    LONG SuspendCount;
};
ZARFS_HANDLE_CONTEXT* ZarFsHCAllocateContext();
ZARFS_HANDLE_CONTEXT* ZarFsHCGetContext(PVOID record);
void ZarFsHCFreeContext(ZARFS_HANDLE_CONTEXT* context);
void ZarFsHCBodyTableFlushSuspend(ZARFS_HANDLE_CONTEXT* context);
void ZarFsHCBodyTableFlushResume(ZARFS_HANDLE_CONTEXT* context);
// The handle goes away: its suspensions are taken back.
void ZarFsHCBodyTableFlushSync(ZARFS_HANDLE_CONTEXT* context, ZARFS_BT_HANDLER* handler);

// Body tables on disk <-> nodes (zarfs_bodytable_io.cpp).
NTSTATUS ZarFsHwReadBodyTableNodes(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG tableFirst,
                                   ULONG tableBytes, ULONG frames, ULONG firstDataBlock,
                                   ZARFS_BODY_TABLE_NODE* nodes);
NTSTATUS ZarFsHwWriteBodyTableNodes(ZARFS_HW_CONTEXT* ctx, ZARFS_HW_VOLUME* volume, ULONG tableFirst,
                                    ULONG tableBytes, ULONG frames, const ZARFS_BODY_TABLE_NODE* nodes);

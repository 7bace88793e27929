// File-system run-time helpers that file-system drivers share: names with
// the system's wildcards (* ? and the DOS forms < > ") and name equality.
#pragma once

#include "nt_types.h"

// The DOS wildcards as NT passes them to file systems: '<' is DOS_STAR,
// '>' DOS_QM and '"' DOS_DOT.
BOOLEAN FsRtlDoesNameContainWildCards(PCUNICODE_STRING name);
// With 'ignoreCase' both names are compared upper-cased; 'upcaseTable' is
// accepted for the contract's sake and must be null.
BOOLEAN FsRtlAreNamesEqual(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN ignoreCase, const WCHAR* upcaseTable);
// Whether 'name' matches 'expression'. As in NT, the caller upper-cases
// the expression when it asks to ignore case; the name is upper-cased here.
BOOLEAN FsRtlIsNameInExpression(PCUNICODE_STRING expression, PCUNICODE_STRING name, BOOLEAN ignoreCase,
                                const WCHAR* upcaseTable);

// ---- the notify package: change notification on directories ----
// A file system keeps one notify list and one sync per volume. A directory
// handle (its fsContext, usually the CCB) hands in pending
// IRP_MN_NOTIFY_CHANGE_DIRECTORY requests; a reported change completes the
// oldest one with STATUS_NOTIFY_ENUM_DIR (no names are returned), or is
// remembered for the handle's next request; cleanup of the handle ends its
// requests with STATUS_NOTIFY_CLEANUP; a cancelled one ends STATUS_CANCELLED.
enum : ULONG {
    FILE_NOTIFY_CHANGE_FILE_NAME = 0x001,
    FILE_NOTIFY_CHANGE_DIR_NAME = 0x002,
    FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x004,
    FILE_NOTIFY_CHANGE_SIZE = 0x008,
    FILE_NOTIFY_CHANGE_LAST_WRITE = 0x010,
    FILE_NOTIFY_CHANGE_CREATION = 0x040,
};
enum : ULONG {
    FILE_ACTION_ADDED = 1,
    FILE_ACTION_REMOVED = 2,
    FILE_ACTION_MODIFIED = 3,
    FILE_ACTION_RENAMED_OLD_NAME = 4,
    FILE_ACTION_RENAMED_NEW_NAME = 5,
};
struct NOTIFY_SYNC;
using PNOTIFY_SYNC = NOTIFY_SYNC*;
struct IRP;

NTSTATUS FsRtlNotifyInitializeSync(PNOTIFY_SYNC* sync);
void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* sync);
// Takes the request (pending, cancellable) for the directory 'directory'
// (full name, copied). A change remembered for the handle completes it at once.
void FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PVOID fsContext,
                                    PCUNICODE_STRING directory, BOOLEAN watchTree, ULONG completionFilter,
                                    IRP* irp);
// 'target' is the full name of what changed; 'nameOffset' is where its last
// component starts (bytes). Directories watching its parent, or any
// ancestor with watch-tree, and whose filter takes 'filterMatch' are told.
void FsRtlNotifyFullReportChange(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PCUNICODE_STRING target,
                                 USHORT nameOffset, ULONG filterMatch, ULONG action);
void FsRtlNotifyCleanup(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PVOID fsContext);

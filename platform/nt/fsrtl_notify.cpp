// The notify package: pending change notifications of directory handles,
// completed when a file system reports a change below the directory. One
// spin lock per volume guards the list; requests complete outside it.

#include "kernel.h"

struct NOTIFY_SYNC {
    KSPIN_LOCK Lock;
};

namespace {

constexpr ULONG kNotifyTag = ULONG('N') | ULONG('i') << 8 | ULONG('f') << 16 | ULONG('y') << 24;  // "Nify"

// One a directory handle that asked at least once.
struct NOTIFY_ENTRY {
    LIST_ENTRY Link;                // on the volume's notify list
    PVOID FsContext;
    UNICODE_STRING Directory;       // own copy, over the allocation's tail
    BOOLEAN WatchTree;
    BOOLEAN ChangePending;          // a change came while no request waited
    ULONG Filter;
    LIST_ENTRY Irps;                // waiting requests, oldest first
};

// Where a waiting request keeps its list links and its sync.
PLIST_ENTRY IrpLink(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }
PNOTIFY_SYNC& IrpSync(PIRP irp) { return reinterpret_cast<PNOTIFY_SYNC&>(irp->Tail.Overlay.DriverContext[3]); }

NOTIFY_ENTRY* Find(PLIST_ENTRY list, PVOID fsContext)
{
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
        auto* n = CONTAINING_RECORD(e, NOTIFY_ENTRY, Link);
        if (n->FsContext == fsContext) return n;
    }
    return nullptr;
}

void Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool SameText(const WCHAR* a, const WCHAR* b, ULONG chars)
{
    for (ULONG i = 0; i < chars; ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

// Whether a change of 'target' (whose parent's name is 'parentChars' long)
// concerns the directory.
bool Concerns(const NOTIFY_ENTRY* n, PCUNICODE_STRING target, ULONG parentChars)
{
    ULONG dirChars = n->Directory.Length / sizeof(WCHAR);
    bool root = dirChars == 1 && n->Directory.Buffer[0] == u'\\';
    if (root) dirChars = 0;  // "\" is the parent of "\X" with an empty prefix
    if (parentChars == dirChars) return SameText(n->Directory.Buffer, target->Buffer, dirChars);
    if (!n->WatchTree || parentChars < dirChars) return false;
    return target->Buffer[dirChars] == u'\\' && SameText(n->Directory.Buffer, target->Buffer, dirChars);
}

void CancelNotify(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PNOTIFY_SYNC sync = IrpSync(irp);
    KIRQL irql;
    KeAcquireSpinLock(&sync->Lock, &irql);
    RemoveEntryList(IrpLink(irp));
    InitializeListHead(IrpLink(irp));
    KeReleaseSpinLock(&sync->Lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

// Takes a waiting request off its list for completion; false when its
// cancel routine already runs and completes it.
bool TakeForCompletion(PIRP irp)
{
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    RemoveEntryList(IrpLink(irp));
    InitializeListHead(IrpLink(irp));
    return true;
}

}  // namespace

NTSTATUS FsRtlNotifyInitializeSync(PNOTIFY_SYNC* sync)
{
    auto* s = static_cast<PNOTIFY_SYNC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(NOTIFY_SYNC), kNotifyTag));
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeSpinLock(&s->Lock);
    *sync = s;
    return STATUS_SUCCESS;
}

void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* sync)
{
    if (*sync != nullptr) ExFreePoolWithTag(*sync, kNotifyTag);
    *sync = nullptr;
}

void FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PVOID fsContext,
                                    PCUNICODE_STRING directory, BOOLEAN watchTree, ULONG completionFilter, IRP* irp)
{
    auto* fresh = static_cast<NOTIFY_ENTRY*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(NOTIFY_ENTRY) + directory->Length, kNotifyTag));
    if (fresh == nullptr) {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&sync->Lock, &irql);
    NOTIFY_ENTRY* n = Find(notifyList, fsContext);
    if (n == nullptr) {
        n = fresh;
        fresh = nullptr;
        RtlZeroMemory(n, sizeof *n);
        n->FsContext = fsContext;
        n->Directory = {directory->Length, directory->Length, reinterpret_cast<PWCHAR>(n + 1)};
        RtlCopyMemory(n->Directory.Buffer, directory->Buffer, directory->Length);
        n->WatchTree = watchTree;
        n->Filter = completionFilter;
        InitializeListHead(&n->Irps);
        InsertTailList(notifyList, &n->Link);
    }
    bool now = n->ChangePending;
    n->ChangePending = FALSE;
    // The file system returns STATUS_PENDING whatever happens here.
    IoMarkIrpPending(irp);
    if (!now) {
        IrpSync(irp) = sync;
        InsertTailList(&n->Irps, IrpLink(irp));
        IoSetCancelRoutine(irp, CancelNotify);
        if (irp->Cancel && TakeForCompletion(irp)) {
            KeReleaseSpinLock(&sync->Lock, irql);
            if (fresh != nullptr) ExFreePoolWithTag(fresh, kNotifyTag);
            Complete(irp, STATUS_CANCELLED);
            return;
        }
    }
    KeReleaseSpinLock(&sync->Lock, irql);
    if (fresh != nullptr) ExFreePoolWithTag(fresh, kNotifyTag);
    if (now) Complete(irp, STATUS_NOTIFY_ENUM_DIR);
}

void FsRtlNotifyFullReportChange(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PCUNICODE_STRING target,
                                 USHORT nameOffset, ULONG filterMatch, ULONG action)
{
    (void)action;  // changes are reported without names or actions
    ULONG parentChars = nameOffset / sizeof(WCHAR);
    if (parentChars > 0) --parentChars;  // the backslash before the last component
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&sync->Lock, &irql);
    for (PLIST_ENTRY e = notifyList->Flink; e != notifyList; e = e->Flink) {
        auto* n = CONTAINING_RECORD(e, NOTIFY_ENTRY, Link);
        if (!(n->Filter & filterMatch) || !Concerns(n, target, parentChars)) continue;
        bool given = false;
        while (!given && !IsListEmpty(&n->Irps)) {
            PIRP irp = CONTAINING_RECORD(n->Irps.Flink, IRP, Tail.Overlay.ListEntry);
            if (TakeForCompletion(irp)) {
                InsertTailList(&done, IrpLink(irp));
                given = true;
            } else {
                // Being cancelled: its routine takes it off; leave it and stop here.
                break;
            }
        }
        if (!given) n->ChangePending = TRUE;
    }
    KeReleaseSpinLock(&sync->Lock, irql);
    while (!IsListEmpty(&done)) {
        PLIST_ENTRY e = RemoveHeadList(&done);
        Complete(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry), STATUS_NOTIFY_ENUM_DIR);
    }
}

void FsRtlNotifyCleanup(PNOTIFY_SYNC sync, PLIST_ENTRY notifyList, PVOID fsContext)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&sync->Lock, &irql);
    NOTIFY_ENTRY* n = Find(notifyList, fsContext);
    if (n != nullptr) {
        RemoveEntryList(&n->Link);
        for (PLIST_ENTRY e = n->Irps.Flink; e != &n->Irps;) {
            PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            e = e->Flink;
            if (TakeForCompletion(irp)) InsertTailList(&done, IrpLink(irp));
        }
    }
    KeReleaseSpinLock(&sync->Lock, irql);
    // A request whose cancel routine already runs is still on n's list; the
    // routine only unlinks it, so n may go once the lock was given back.
    if (n != nullptr) {
        while (!IsListEmpty(&n->Irps)) {
            KeAcquireSpinLock(&sync->Lock, &irql);
            bool empty = IsListEmpty(&n->Irps);
            KeReleaseSpinLock(&sync->Lock, irql);
            if (empty) break;
            KeStallExecutionProcessor(10);
        }
        ExFreePoolWithTag(n, kNotifyTag);
    }
    while (!IsListEmpty(&done)) {
        PLIST_ENTRY e = RemoveHeadList(&done);
        Complete(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry), STATUS_NOTIFY_CLEANUP);
    }
}

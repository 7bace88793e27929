// Interlocked list operations: each holds the caller's spin lock for the
// one list change, without touching IRQL, so a driver may share a list
// between its interrupt routine, DPCs and threads as long as every access
// goes through these calls.
#include "ex_private.h"

ULONG_PTR ExpSpinOwnerWord()
{
    static thread_local char identity;
    return reinterpret_cast<ULONG_PTR>(&identity);
}

namespace {
struct Held {
    explicit Held(PKSPIN_LOCK l) : lock(l) { ExpAcquireRawSpin(lock); }
    ~Held() { ExpReleaseRawSpin(lock); }
    PKSPIN_LOCK lock;
};
}  // namespace

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock)
{
    Held h(lock);
    PLIST_ENTRY first = IsListEmpty(head) ? nullptr : head->Flink;
    InsertHeadList(head, entry);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock)
{
    Held h(lock);
    PLIST_ENTRY last = IsListEmpty(head) ? nullptr : head->Blink;
    InsertTailList(head, entry);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock)
{
    Held h(lock);
    return IsListEmpty(head) ? nullptr : RemoveHeadList(head);
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry, PKSPIN_LOCK lock)
{
    Held h(lock);
    PSINGLE_LIST_ENTRY first = head->Next;
    PushEntryList(head, entry);
    return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY head, PKSPIN_LOCK lock)
{
    Held h(lock);
    return PopEntryList(head);
}

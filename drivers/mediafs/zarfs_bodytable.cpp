// Body-table objects, their two lists and the flush thread.
//
// All section handles and views belong to the process that set the handler
// up (the system process at driver start); callers run in it.

#include "zarfs_bodytable.h"
#include "zarfs_driver.h"

namespace {

constexpr ULONG kNameTag = ZarFsTag("BTMN");
constexpr ULONG kHandleTag = ZarFsTag("BTHC");
const WCHAR kPrefix[] = u"\\BaseNamedObjects\\";
constexpr ULONG kPrefixChars = sizeof(kPrefix) / sizeof(WCHAR) - 1;

ULONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return ULONGLONG(t.QuadPart);
}

void Lock(ZARFS_BT_HANDLER* h) { KeWaitForSingleObject(&h->Mutex, Executive, KernelMode, FALSE, nullptr); }
void Unlock(ZARFS_BT_HANDLER* h) { KeReleaseMutex(&h->Mutex, FALSE); }

void FreeName(UNICODE_STRING* name)
{
    if (name->Buffer != nullptr) ExFreePoolWithTag(name->Buffer, kNameTag);
    name->Buffer = nullptr;
    name->Length = name->MaximumLength = 0;
}

// "\BaseNamedObjects\" + "P:" + the file's name (+ "_A"), "\" -> "/" and
// upper-cased after the prefix.
NTSTATUS MakeSectionName(ZARFS_BT_HANDLER* h, PCUNICODE_STRING file, bool alpha, UNICODE_STRING* out)
{
    ULONG fileChars = file->Length / sizeof(WCHAR);
    ULONG chars = kPrefixChars + 2 + fileChars + (alpha ? 2 : 0);
    out->Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (chars + 1) * sizeof(WCHAR), kNameTag));
    if (out->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PWCHAR p = out->Buffer;
    for (ULONG i = 0; i < kPrefixChars; ++i) *p++ = kPrefix[i];
    *p++ = h->DriveLetter;
    *p++ = u':';
    for (ULONG i = 0; i < fileChars; ++i) *p++ = file->Buffer[i];
    if (alpha) {
        *p++ = u'_';
        *p++ = u'A';
    }
    *p = 0;
    for (PWCHAR c = out->Buffer + kPrefixChars; c < p; ++c) *c = *c == u'\\' ? u'/' : RtlUpcaseUnicodeChar(*c);
    out->Length = USHORT(chars * sizeof(WCHAR));
    out->MaximumLength = USHORT((chars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Creates the section, or opens it when one of that name exists, and maps
// a view of it.
NTSTATUS OpenSection(UNICODE_STRING* name, ULONG bytes, PHANDLE section, PVOID* view)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = bytes != 0 ? bytes : 1;
    NTSTATUS status = ZwCreateSection(section, SECTION_ALL_ACCESS, &attributes, &size, PAGE_READWRITE, SEC_COMMIT,
                                      nullptr);
    if (status == STATUS_OBJECT_NAME_COLLISION) status = ZwOpenSection(section, SECTION_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) return status;
    SIZE_T viewSize = 0;
    *view = nullptr;
    status = ZwMapViewOfSection(*section, NtCurrentProcess(), view, 0, 0, nullptr, &viewSize, ViewUnmap, 0,
                                PAGE_READWRITE);
    if (!NT_SUCCESS(status)) {
        ZwClose(*section);
        *section = nullptr;
    }
    return status;
}

NTSTATUS CreateStreamSection(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, bool alpha)
{
    UNICODE_STRING* name = alpha ? &o->AlphaSectionName : &o->VideoSectionName;
    NTSTATUS status = MakeSectionName(h, &o->Name, alpha, name);
    if (!NT_SUCCESS(status)) return status;
    o->Flags |= alpha ? ZARFS_BT_ALPHA_NAME_OWNED : ZARFS_BT_VIDEO_NAME_OWNED;
    status = OpenSection(name, alpha ? o->AlphaNodeBytes : o->VideoNodeBytes,
                         alpha ? &o->AlphaSection : &o->VideoSection, alpha ? &o->AlphaView : &o->VideoView);
    if (NT_SUCCESS(status))
        o->Flags |= alpha ? (ZARFS_BT_ALPHA_SECTION | ZARFS_BT_ALPHA_VIEW) : (ZARFS_BT_VIDEO_SECTION | ZARFS_BT_VIDEO_VIEW);
    return status;
}

void Destroy(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    if (o->Flags & ZARFS_BT_VIDEO_VIEW) ZwUnmapViewOfSection(NtCurrentProcess(), o->VideoView);
    if (o->Flags & ZARFS_BT_ALPHA_VIEW) ZwUnmapViewOfSection(NtCurrentProcess(), o->AlphaView);
    if (o->Flags & ZARFS_BT_VIDEO_SECTION) ZwClose(o->VideoSection);
    if (o->Flags & ZARFS_BT_ALPHA_SECTION) ZwClose(o->AlphaSection);
    if (o->Flags & ZARFS_BT_VIDEO_NAME_OWNED) FreeName(&o->VideoSectionName);
    if (o->Flags & ZARFS_BT_ALPHA_NAME_OWNED) FreeName(&o->AlphaSectionName);
    if (o->Flags & ZARFS_BT_NAME_OWNED) FreeName(&o->Name);
    ExFreeToPagedLookasideList(&h->Objects, o);
}

// The bytes of a stream's table that may be written now: the run the file
// entry records at this moment bounds the write, since the entry may have
// been cut shorter (or moved) since the object was made.
ULONG WritableBytes(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, bool alpha)
{
    ULONG first = alpha ? o->AlphaTableFirst : o->VideoTableFirst;
    ULONG bytes = alpha ? o->AlphaTableBytes : o->VideoTableBytes;
    if (o->EntryBlock == 0 || o->Volume == nullptr) return bytes;
    ZAR_FILE_INFO entry;
    if (!NT_SUCCESS(ZarFsHwReadFileEntry(h->Hw, o->Volume, o->EntryBlock, &entry))) return 0;
    ULONG nowFirst = alpha ? entry.AlphaBodyTableFirst : entry.VideoBodyTableFirst;
    ULONG nowBytes = (alpha ? entry.AlphaBodyTableBlocks : entry.VideoBodyTableBlocks) * ZARFS_BLOCK;
    if (nowFirst != first) return 0;
    return bytes < nowBytes ? bytes : nowBytes;
}

NTSTATUS Flush(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, bool keepDirty)
{
    if (!(o->Flags & (ZARFS_BT_VIDEO_SECTION | ZARFS_BT_ALPHA_SECTION))) return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    if (o->Flags & ZARFS_BT_VIDEO_VIEW)
        status = ZarFsHwWriteBodyTableNodes(h->Hw, o->Volume, o->VideoTableFirst, WritableBytes(h, o, false),
                                            o->FrameCount, static_cast<ZARFS_BODY_TABLE_NODE*>(o->VideoView));
    if (NT_SUCCESS(status) && (o->Flags & ZARFS_BT_ALPHA_VIEW))
        status = ZarFsHwWriteBodyTableNodes(h->Hw, o->Volume, o->AlphaTableFirst, WritableBytes(h, o, true),
                                            o->FrameCount, static_cast<ZARFS_BODY_TABLE_NODE*>(o->AlphaView));
    o->NextFlush = Now() + ZARFS_BT_FLUSH_DELAY;
    if (!keepDirty && NT_SUCCESS(status)) {
        o->Flags &= ~ZARFS_BT_WRITE_TAKEN;
        o->Flags |= ZARFS_BT_CLEAN;
    }
    return status;
}

bool HasChanges(const ZARFS_BT_OBJECT* o)
{
    return (o->WriteAccessCount > 0 || (o->Flags & ZARFS_BT_WRITE_TAKEN)) && !(o->Flags & ZARFS_BT_CLEAN);
}

bool FlushNeeded(const ZARFS_BT_OBJECT* o, ULONGLONG now)
{
    return (o->Flags & (ZARFS_BT_VIDEO_SECTION | ZARFS_BT_ALPHA_SECTION)) && HasChanges(o) && now > o->NextFlush;
}

// An object leaving the cache is written back when it holds something to
// write: a new table, or one a writer had. A table that was only read goes
// without a write.
void FlushAndDestroy(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    if ((o->Flags & ZARFS_BT_NEW) || HasChanges(o)) Flush(h, o, false);
    Destroy(h, o);
}

ZARFS_BT_OBJECT* Find(PLIST_ENTRY head, PCUNICODE_STRING name)
{
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        auto* o = CONTAINING_RECORD(e, ZARFS_BT_OBJECT, Link);
        if (RtlEqualUnicodeString(&o->Name, name, TRUE)) return o;
    }
    return nullptr;
}

ZARFS_BT_OBJECT* NewObject(ZARFS_BT_HANDLER* h, PCUNICODE_STRING name, ZARFS_HW_VOLUME* volume, ULONG entryBlock,
                           ULONG frames)
{
    auto* o = static_cast<ZARFS_BT_OBJECT*>(ExAllocateFromPagedLookasideList(&h->Objects));
    if (o == nullptr) return nullptr;
    RtlZeroMemory(o, sizeof *o);
    o->Handler = h;
    o->Volume = volume;
    o->EntryBlock = entryBlock;
    o->FrameCount = frames;
    if (!NT_SUCCESS(ZarFsCopyName(&o->Name, name, kNameTag))) {
        ExFreeToPagedLookasideList(&h->Objects, o);
        return nullptr;
    }
    o->Flags |= ZARFS_BT_NAME_OWNED;
    return o;
}

void FlushListOut(ZARFS_BT_HANDLER* h, PLIST_ENTRY head, PULONG count)
{
    Lock(h);
    while (!IsListEmpty(head)) {
        auto* o = CONTAINING_RECORD(RemoveHeadList(head), ZARFS_BT_OBJECT, Link);
        --*count;
        FlushAndDestroy(h, o);
    }
    Unlock(h);
}

void FlushThread(PVOID context)
{
    auto* h = static_cast<ZARFS_BT_HANDLER*>(context);
    for (;;) {
        LARGE_INTEGER period;
        period.QuadPart = ZARFS_BT_THREAD_PERIOD;
        if (KeWaitForSingleObject(&h->Stop, Executive, KernelMode, FALSE, &period) != STATUS_TIMEOUT) break;
        ZarFsBTFlushPass(h);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS GetName(const UNICODE_STRING& section, PWCHAR buffer, ULONG bytes)
{
    ULONG chars = section.Length / sizeof(WCHAR) - kPrefixChars;
    if (bytes < (chars + 1) * sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(buffer, section.Buffer + kPrefixChars, chars * sizeof(WCHAR));
    buffer[chars] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZarFsBTInitHandler(ZARFS_BT_HANDLER* h, ZARFS_HW_CONTEXT* hw, WCHAR driveLetter)
{
    RtlZeroMemory(h, sizeof *h);
    InitializeListHead(&h->Referenced);
    InitializeListHead(&h->Unreferenced);
    KeInitializeMutex(&h->Mutex, 0);
    KeInitializeEvent(&h->Stop, NotificationEvent, FALSE);
    KeInitializeEvent(&h->WorkDone, NotificationEvent, FALSE);
    h->Process = PsGetCurrentProcess();
    h->Hw = hw;
    h->DriveLetter = driveLetter;
    ExInitializePagedLookasideList(&h->Objects, nullptr, nullptr, 0, sizeof(ZARFS_BT_OBJECT), ZARFS_BT_OBJECT_TAG,
                                   ZARFS_BT_OBJECT_DEPTH);
    h->Flags |= ZARFS_BTH_LOOKASIDE;
    NTSTATUS status = PsCreateSystemThread(&h->Thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FlushThread, h);
    if (!NT_SUCCESS(status)) return status;
    status = ObReferenceObjectByHandle(h->Thread, THREAD_ALL_ACCESS, PsThreadType, KernelMode, &h->ThreadObject,
                                       nullptr);
    ZwClose(h->Thread);
    h->Thread = nullptr;
    if (!NT_SUCCESS(status)) {
        KeSetEvent(&h->Stop, 0, FALSE);
        return status;
    }
    h->Flags |= ZARFS_BTH_THREAD;
    return STATUS_SUCCESS;
}

void ZarFsBTFreeHandler(ZARFS_BT_HANDLER* h)
{
    if (h->Flags & ZARFS_BTH_THREAD) {
        KeSetEvent(&h->Stop, 0, FALSE);
        LARGE_INTEGER limit;
        limit.QuadPart = -50000000LL;
        KeWaitForSingleObject(h->ThreadObject, Executive, KernelMode, FALSE, &limit);
        ObDereferenceObject(h->ThreadObject);
        h->ThreadObject = nullptr;
        h->Flags &= ~ZARFS_BTH_THREAD;
    }
    if (!(h->Flags & ZARFS_BTH_LOOKASIDE)) return;
    ZarFsBTFlushUnrefObjects(h);
    ZarFsBTFlushRefObjects(h);
    ExDeletePagedLookasideList(&h->Objects);
    h->Flags &= ~ZARFS_BTH_LOOKASIDE;
}

NTSTATUS ZarFsBTReferenceObject(ZARFS_BT_HANDLER* h, PCUNICODE_STRING name, ZARFS_HW_VOLUME* volume,
                                ULONG entryBlock, const ZAR_FILE_INFO* entry, ZARFS_BT_OBJECT** object)
{
    *object = nullptr;
    Lock(h);
    ZARFS_BT_OBJECT* o = Find(&h->Referenced, name);
    if (o == nullptr && (o = Find(&h->Unreferenced, name)) != nullptr) {
        RemoveEntryList(&o->Link);
        --h->UnreferencedCount;
        InsertHeadList(&h->Referenced, &o->Link);
        ++h->ReferencedCount;
        o->Flags &= ~ZARFS_BT_UNREFERENCED;
    }
    if (o != nullptr && (o->Flags & ZARFS_BT_CLEAN)) {
        o->NextFlush = Now() + ZARFS_BT_FLUSH_DELAY;
        o->Flags &= ~ZARFS_BT_CLEAN;
    }
    Unlock(h);
    if (o != nullptr) {
        *object = o;
        return STATUS_SUCCESS;
    }

    o = NewObject(h, name, volume, entryBlock, entry->FrameCount);
    if (o == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    bool alpha = (entry->Flags & ZARFS_FILE_HAS_ALPHA) != 0;
    o->VideoNodeBytes = ZarFsHwGetBodyTableNodesSize(entry->FrameCount);
    o->AlphaNodeBytes = alpha ? o->VideoNodeBytes : 0;
    o->VideoTableFirst = entry->VideoBodyTableFirst;
    o->VideoTableBytes = entry->VideoBodyTableBlocks * ZARFS_BLOCK;
    o->AlphaTableFirst = entry->AlphaBodyTableFirst;
    o->AlphaTableBytes = entry->AlphaBodyTableBlocks * ZARFS_BLOCK;
    NTSTATUS status = CreateStreamSection(h, o, false);
    if (NT_SUCCESS(status) && alpha) status = CreateStreamSection(h, o, true);
    if (NT_SUCCESS(status))
        status = ZarFsHwReadBodyTableNodes(h->Hw, volume, o->VideoTableFirst, o->VideoTableBytes, o->FrameCount,
                                           entry->VideoFirstBlock, static_cast<ZARFS_BODY_TABLE_NODE*>(o->VideoView));
    if (NT_SUCCESS(status) && alpha)
        status = ZarFsHwReadBodyTableNodes(h->Hw, volume, o->AlphaTableFirst, o->AlphaTableBytes, o->FrameCount,
                                           entry->AlphaFirstBlock, static_cast<ZARFS_BODY_TABLE_NODE*>(o->AlphaView));
    if (!NT_SUCCESS(status)) {
        Destroy(h, o);
        return status;
    }
    o->NextFlush = Now() + ZARFS_BT_FLUSH_DELAY;

    Lock(h);
    // Someone else may have loaded the same file meanwhile: keep theirs.
    ZARFS_BT_OBJECT* raced = Find(&h->Referenced, name);
    if (raced == nullptr) {
        InsertHeadList(&h->Referenced, &o->Link);
        ++h->ReferencedCount;
    }
    Unlock(h);
    if (raced != nullptr) {
        Destroy(h, o);
        o = raced;
    }
    *object = o;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsBTCreateNewObject(ZARFS_BT_HANDLER* h, PCUNICODE_STRING name, ZARFS_HW_VOLUME* volume,
                                ULONG entryBlock, ULONG frameCount, ZARFS_BT_OBJECT** object)
{
    *object = nullptr;
    ZARFS_BT_OBJECT* o = NewObject(h, name, volume, entryBlock, frameCount);
    if (o == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    o->Flags |= ZARFS_BT_NEW;
    o->NextFlush = Now() + ZARFS_BT_FLUSH_DELAY;
    Lock(h);
    InsertHeadList(&h->Referenced, &o->Link);
    ++h->ReferencedCount;
    Unlock(h);
    *object = o;
    return STATUS_SUCCESS;
}

NTSTATUS ZarFsBTCreateNewVideoNodes(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, ULONG firstBlock, ULONG bytes)
{
    Lock(h);
    o->VideoNodeBytes = ZarFsHwGetBodyTableNodesSize(o->FrameCount);
    o->VideoTableFirst = firstBlock;
    o->VideoTableBytes = bytes;
    NTSTATUS status = (o->Flags & ZARFS_BT_VIDEO_SECTION) ? STATUS_SUCCESS : CreateStreamSection(h, o, false);
    Unlock(h);
    return status;
}

NTSTATUS ZarFsBTCreateNewAlphaNodes(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, ULONG firstBlock, ULONG bytes)
{
    Lock(h);
    o->AlphaNodeBytes = ZarFsHwGetBodyTableNodesSize(o->FrameCount);
    o->AlphaTableFirst = firstBlock;
    o->AlphaTableBytes = bytes;
    NTSTATUS status = (o->Flags & ZARFS_BT_ALPHA_SECTION) ? STATUS_SUCCESS : CreateStreamSection(h, o, true);
    Unlock(h);
    return status;
}

void ZarFsBTDereferenceObject(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    Lock(h);
    RemoveEntryList(&o->Link);
    --h->ReferencedCount;
    if (o->Flags & ZARFS_BT_NEW) {
        FlushAndDestroy(h, o);
    } else {
        InsertHeadList(&h->Unreferenced, &o->Link);
        o->Flags |= ZARFS_BT_UNREFERENCED;
        if (++h->UnreferencedCount > ZARFS_BT_UNREFERENCED_MAX) {
            auto* oldest = CONTAINING_RECORD(RemoveTailList(&h->Unreferenced), ZARFS_BT_OBJECT, Link);
            --h->UnreferencedCount;
            FlushAndDestroy(h, oldest);
        }
    }
    Unlock(h);
}

void ZarFsBTRemoveObjectByName(ZARFS_BT_HANDLER* h, PCUNICODE_STRING name)
{
    Lock(h);
    ZARFS_BT_OBJECT* o = Find(&h->Referenced, name);
    if (o != nullptr) {
        --h->ReferencedCount;
    } else if ((o = Find(&h->Unreferenced, name)) != nullptr) {
        --h->UnreferencedCount;
    }
    if (o != nullptr) {
        RemoveEntryList(&o->Link);
        FlushAndDestroy(h, o);
    }
    Unlock(h);
}

NTSTATUS ZarFsBTFlushObjectByName(ZARFS_BT_HANDLER* h, PCUNICODE_STRING name)
{
    Lock(h);
    ZARFS_BT_OBJECT* o = Find(&h->Referenced, name);
    if (o == nullptr) o = Find(&h->Unreferenced, name);
    NTSTATUS status = o != nullptr ? Flush(h, o, true) : STATUS_NOT_FOUND;
    Unlock(h);
    return status;
}

NTSTATUS ZarFsBTFlushObject(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    Lock(h);
    NTSTATUS status = Flush(h, o, true);
    Unlock(h);
    return status;
}

void ZarFsBTRelocateObject(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o, ULONG entryBlock, ULONG videoTableFirst,
                           ULONG alphaTableFirst)
{
    Lock(h);
    o->EntryBlock = entryBlock;
    o->VideoTableFirst = videoTableFirst;
    o->AlphaTableFirst = alphaTableFirst;
    Unlock(h);
}

void ZarFsBTFlushUnrefObjects(ZARFS_BT_HANDLER* h) { FlushListOut(h, &h->Unreferenced, &h->UnreferencedCount); }
void ZarFsBTFlushRefObjects(ZARFS_BT_HANDLER* h) { FlushListOut(h, &h->Referenced, &h->ReferencedCount); }

void ZarFsBTWriteAccessReference(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    Lock(h);
    ++o->WriteAccessCount;
    o->Flags |= ZARFS_BT_WRITE_TAKEN;
    o->Flags &= ~ZARFS_BT_CLEAN;
    Unlock(h);
}

void ZarFsBTWriteAccessDereference(ZARFS_BT_HANDLER* h, ZARFS_BT_OBJECT* o)
{
    Lock(h);
    if (o->WriteAccessCount != 0) --o->WriteAccessCount;
    Unlock(h);
}

NTSTATUS ZarFsBTGetVideoName(ZARFS_BT_OBJECT* o, PWCHAR buffer, ULONG bytes)
{
    if (!(o->Flags & ZARFS_BT_VIDEO_NAME_OWNED)) return STATUS_UNSUCCESSFUL;
    return GetName(o->VideoSectionName, buffer, bytes);
}

NTSTATUS ZarFsBTGetAlphaName(ZARFS_BT_OBJECT* o, PWCHAR buffer, ULONG bytes)
{
    if (!(o->Flags & ZARFS_BT_ALPHA_NAME_OWNED)) return STATUS_UNSUCCESSFUL;
    return GetName(o->AlphaSectionName, buffer, bytes);
}

void ZarFsBTRequestFlushSuspend(ZARFS_BT_HANDLER* h)
{
    Lock(h);
    ++h->SuspendCount;
    Unlock(h);
}

void ZarFsBTRequestFlushResume(ZARFS_BT_HANDLER* h, ULONG count)
{
    Lock(h);
    h->SuspendCount = h->SuspendCount > count ? h->SuspendCount - count : 0;
    Unlock(h);
}

void ZarFsBTFlushPass(ZARFS_BT_HANDLER* h)
{
    Lock(h);
    if (h->SuspendCount == 0) {
        ULONGLONG now = Now();
        for (PLIST_ENTRY e = h->Referenced.Flink; e != &h->Referenced; e = e->Flink) {
            auto* o = CONTAINING_RECORD(e, ZARFS_BT_OBJECT, Link);
            if (FlushNeeded(o, now)) Flush(h, o, true);
        }
        for (PLIST_ENTRY e = h->Unreferenced.Flink; e != &h->Unreferenced; e = e->Flink) {
            auto* o = CONTAINING_RECORD(e, ZARFS_BT_OBJECT, Link);
            if (FlushNeeded(o, now)) Flush(h, o, false);
        }
    }
    Unlock(h);
}

ZARFS_HANDLE_CONTEXT* ZarFsHCAllocateContext()
{
    auto* c = static_cast<ZARFS_HANDLE_CONTEXT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ZARFS_HANDLE_CONTEXT), kHandleTag));
    if (c != nullptr) *c = {ZARFS_HC_TAG, 0};
    return c;
}

ZARFS_HANDLE_CONTEXT* ZarFsHCGetContext(PVOID record)
{
    auto* c = static_cast<ZARFS_HANDLE_CONTEXT*>(record);
    return c != nullptr && c->Tag == ZARFS_HC_TAG ? c : nullptr;
}

void ZarFsHCFreeContext(ZARFS_HANDLE_CONTEXT* c)
{
    if (c == nullptr) return;
    c->Tag = 0;
    ExFreePoolWithTag(c, kHandleTag);
}

void ZarFsHCBodyTableFlushSuspend(ZARFS_HANDLE_CONTEXT* c) { InterlockedIncrement(&c->SuspendCount); }

void ZarFsHCBodyTableFlushResume(ZARFS_HANDLE_CONTEXT* c)
{
    LONG now = c->SuspendCount;
    while (now > 0) {
        LONG seen = InterlockedCompareExchange(&c->SuspendCount, now - 1, now);
        if (seen == now) return;
        now = seen;
    }
}

void ZarFsHCBodyTableFlushSync(ZARFS_HANDLE_CONTEXT* c, ZARFS_BT_HANDLER* h)
{
    LONG held = InterlockedExchange(&c->SuspendCount, 0);
    if (held > 0) ZarFsBTRequestFlushResume(h, ULONG(held));
}

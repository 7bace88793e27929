// Object manager: object creation, reference counting and deletion, type
// checks and access mapping. Bodies live behind an OBJECT_HEADER; the last
// reference runs the type's delete procedure (deferred to a system worker
// when it drops above APC_LEVEL, as NT does) and frees the memory.
#include <cstdlib>
#include <cstdio>

#include "clock.h"
#include "ob_internal.h"

std::mutex ObpLock;

namespace {
constexpr ULONG kMaxBodySize = 64u << 20;

void ObpFree(OBJECT_HEADER* h)
{
    delete h->Name;
    delete h->PendingName;
    h->Name = h->PendingName = nullptr;
    h->Magic = OBH_DEAD;
    std::free(h);
}

void ObpDeleteNow(PVOID body)
{
    OBJECT_HEADER* h = ObpHeader(body);
    ObpDeleteName(body);
    if (h->PendingRoot) {
        PVOID root = h->PendingRoot;
        h->PendingRoot = nullptr;
        ObfDereferenceObject(root);
    }
    if (h->Type && h->Type->DeleteProcedure) h->Type->DeleteProcedure(body);
    ObpFree(h);
}

struct DeferredDelete {
    WORK_QUEUE_ITEM item;
    PVOID body;
};

// Deletes handed to a worker and not done yet: a file's close still goes to
// its driver, so a machine shutdown lets them finish before drivers go.
struct DeferredDeletes {
    std::mutex lock;
    LONG count = 0;
    KEVENT none;
    DeferredDeletes() { KeInitializeEvent(&none, NotificationEvent, TRUE); }
};
DeferredDeletes& Deferred()
{
    static DeferredDeletes d;
    return d;
}

void ObpDeferredDeleteRoutine(PVOID p)
{
    auto* d = static_cast<DeferredDelete*>(p);
    PVOID body = d->body;
    delete d;
    ObpDeleteNow(body);
    DeferredDeletes& all = Deferred();
    std::lock_guard<std::mutex> guard(all.lock);
    if (--all.count == 0) KeSetEvent(&all.none, IO_NO_INCREMENT, FALSE);
}
}  // namespace

bool ObpIsObject(PVOID body)
{
    if (!body || (reinterpret_cast<ULONG_PTR>(body) & 15)) return false;
    return ObpHeader(body)->Magic == OBH_MAGIC;
}

static void ObpCheck(PVOID body, const char* who)
{
    if (!ObpIsObject(body)) {
        std::fprintf(stderr, "%s: %p is not an object\n", who, body);
        KeBugCheckEx(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(body), 0, 0, 0);
    }
}

bool ObpReferenceIfAlive(PVOID body)
{
    OBJECT_HEADER* h = ObpHeader(body);
    LONG c = __atomic_load_n(&h->PointerCount, __ATOMIC_SEQ_CST);
    while (c > 0) {
        if (__atomic_compare_exchange_n(&h->PointerCount, &c, c + 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            return true;
    }
    return false;
}

ACCESS_MASK ObpMapAccess(POBJECT_TYPE type, ACCESS_MASK access)
{
    if (access & MAXIMUM_ALLOWED) access = (access & ~MAXIMUM_ALLOWED) | GENERIC_ALL;
    if (!type) return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    ACCESS_MASK out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) out |= type->GenericRead;
    if (access & GENERIC_WRITE) out |= type->GenericWrite;
    if (access & GENERIC_EXECUTE) out |= type->GenericExecute;
    if (access & GENERIC_ALL) out |= type->GenericAll;
    return out;
}

NTSTATUS ObCreateObject(POBJECT_TYPE type, POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, ULONG bodySize,
                        PVOID* body)
{
    if (!type || !body || bodySize > kMaxBodySize) return STATUS_INVALID_PARAMETER;
    *body = nullptr;
    std::u16string* name = nullptr;
    PVOID root = nullptr;
    ULONG attrs = 0;
    if (attributes) {
        attrs = attributes->Attributes;
        if (mode == UserMode) attrs &= ~ULONG(OBJ_KERNEL_HANDLE);
        if (attributes->ObjectName && attributes->ObjectName->Length) {
            const UNICODE_STRING* n = attributes->ObjectName;
            if (n->Length & 1) return STATUS_OBJECT_NAME_INVALID;
            name = new std::u16string(n->Buffer, n->Length / 2);
            if (attributes->RootDirectory) {
                NTSTATUS s = ObReferenceObjectByHandle(attributes->RootDirectory, 0, nullptr, mode, &root, nullptr);
                if (!NT_SUCCESS(s)) {
                    delete name;
                    return s;
                }
            } else if ((*name)[0] != u'\\') {
                delete name;
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            }
        }
    }
    size_t total = sizeof(OBJECT_HEADER) + ((bodySize + 15) & ~15u);
    auto* h = static_cast<OBJECT_HEADER*>(std::calloc(1, total));
    if (!h) {
        delete name;
        if (root) ObfDereferenceObject(root);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    h->Magic = OBH_MAGIC;
    h->PointerCount = 1;
    h->Type = type;
    h->PendingName = name;
    h->PendingRoot = root;
    h->CreateAttributes = attrs;
    h->BodySize = bodySize;
    *body = ObpBody(h);
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID object)
{
    ObpCheck(object, "ObfReferenceObject");
    LONG c = __atomic_add_fetch(&ObpHeader(object)->PointerCount, 1, __ATOMIC_SEQ_CST);
    if (c <= 1) KeBugCheckEx(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(object), 1, 0, 0);
    return c;
}

LONG_PTR ObfDereferenceObject(PVOID object)
{
    ObpCheck(object, "ObfDereferenceObject");
    OBJECT_HEADER* h = ObpHeader(object);
    LONG c = __atomic_sub_fetch(&h->PointerCount, 1, __ATOMIC_SEQ_CST);
    if (c > 0) return c;
    if (c < 0) KeBugCheckEx(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(object), 2, 0, 0);
    // Delete procedures send IRPs and free pool: never at raised IRQL.
    if (KeGetCurrentIrql() > APC_LEVEL || nt::ClockOnInterruptContext()) {
        auto* d = new DeferredDelete{};
        d->body = object;
        {
            DeferredDeletes& all = Deferred();
            std::lock_guard<std::mutex> guard(all.lock);
            if (all.count++ == 0) KeClearEvent(&all.none);
        }
        ExInitializeWorkItem(&d->item, ObpDeferredDeleteRoutine, d);
        ExQueueWorkItem(&d->item, DelayedWorkQueue);
        return 0;
    }
    ObpDeleteNow(object);
    return 0;
}

NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                    KPROCESSOR_MODE accessMode)
{
    (void)desiredAccess;
    (void)accessMode;
    if (!ObpIsObject(object)) return STATUS_INVALID_PARAMETER;
    if (type && ObpHeader(object)->Type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(object);
    return STATUS_SUCCESS;
}

POBJECT_TYPE ObGetObjectType(PVOID body) { return ObpIsObject(body) ? ObpHeader(body)->Type : nullptr; }
LONG ObGetReferenceCount(PVOID body) { return ObpIsObject(body) ? ObpHeader(body)->PointerCount : 0; }
ULONG ObGetHandleCount(PVOID body) { return ObpIsObject(body) ? ObpHeader(body)->HandleCount : 0; }

DISPATCHER_HEADER* ObGetWaitableObject(PVOID body)
{
    if (!ObpIsObject(body)) return nullptr;
    POBJECT_TYPE t = ObpHeader(body)->Type;
    if (t == IoFileObjectType) return &static_cast<PFILE_OBJECT>(body)->Event.Header;
    if (t && t->Waitable) return static_cast<DISPATCHER_HEADER*>(body);
    return nullptr;
}

void ObWaitForDeferredDeletes()
{
    KeWaitForSingleObject(&Deferred().none, Executive, KernelMode, FALSE, nullptr);
}

// Executive resources: many shared owners or one exclusive owner, each
// recursive per thread. Blocked acquirers wait on a kernel event
// (exclusive, one at a time) or semaphore (shared, all at once), so the
// machine clock sees them as waiting. A releaser hands the resource over to
// the waiters it wakes before they run, so nobody can slip in between.
// Releasing an exclusive hold prefers the shared waiters; the last shared
// release wakes one exclusive waiter; a new shared request waits while an
// exclusive waiter is queued unless the caller already shares it.
#include <climits>
#include <mutex>
#include <vector>

#include "nt_ex.h"

namespace {

// Owner of an exclusive grant made to a woken waiter that has not run yet.
constexpr ULONG_PTR kGrantedToWaiter = 1;
constexpr USHORT kOwnedExclusive = 0x80;

struct ResourceState {
    std::mutex lock;
    ULONG_PTR exclusiveOwner = 0;
    ULONG exclusiveCount = 0;
    struct Shared {
        ULONG_PTR thread;
        ULONG count;
    };
    std::vector<Shared> shared;
    ULONG grantedShared = 0;  // shared grants made to woken waiters not yet running
    ULONG exclusiveWaiters = 0;
    ULONG sharedWaiters = 0;
    KEVENT exclusiveWake;
    KSEMAPHORE sharedWake;

    bool Free() const { return exclusiveOwner == 0 && shared.empty() && grantedShared == 0; }
    Shared* FindShared(ULONG_PTR thread)
    {
        for (auto& s : shared)
            if (s.thread == thread) return &s;
        return nullptr;
    }
};

// What a release decided to wake, done after the state lock is dropped.
struct Wakeup {
    bool exclusive = false;
    ULONG shared = 0;
};

ResourceState* State(PERESOURCE r) { return static_cast<ResourceState*>(r->Impl); }

void Publish(PERESOURCE r, ResourceState* s)
{
    r->ActiveCount = static_cast<USHORT>(s->exclusiveOwner ? 1 : s->shared.size() + s->grantedShared);
    r->Flag = s->exclusiveOwner ? kOwnedExclusive : 0;
    __atomic_store_n(&r->NumberOfSharedWaiters, s->sharedWaiters, __ATOMIC_RELEASE);
    __atomic_store_n(&r->NumberOfExclusiveWaiters, s->exclusiveWaiters, __ATOMIC_RELEASE);
}

Wakeup GrantShared(ResourceState* s)
{
    Wakeup w;
    w.shared = s->sharedWaiters;
    s->grantedShared += s->sharedWaiters;
    s->sharedWaiters = 0;
    return w;
}

Wakeup GrantExclusive(ResourceState* s)
{
    Wakeup w;
    s->exclusiveOwner = kGrantedToWaiter;
    s->exclusiveWaiters--;
    w.exclusive = true;
    return w;
}

void Wake(ResourceState* s, Wakeup w)
{
    if (w.exclusive) KeSetEvent(&s->exclusiveWake, 0, FALSE);
    if (w.shared) KeReleaseSemaphore(&s->sharedWake, 0, static_cast<LONG>(w.shared), FALSE);
}

void CheckAcquireIrql(PERESOURCE r)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(r), irql, 0, 0);
}

BOOLEAN AcquireShared(PERESOURCE r, BOOLEAN wait, bool starveExclusive)
{
    CheckAcquireIrql(r);
    ResourceState* s = State(r);
    ULONG_PTR me = ExGetCurrentResourceThread();
    std::unique_lock<std::mutex> g(s->lock);
    if (s->exclusiveOwner == me) {
        s->exclusiveCount++;  // the exclusive owner may also ask for it shared
        return TRUE;
    }
    if (s->exclusiveOwner == 0) {
        if (auto* mine = s->FindShared(me)) {
            mine->count++;
            return TRUE;
        }
        if (s->Free() || starveExclusive || s->exclusiveWaiters == 0) {
            s->shared.push_back({me, 1});
            Publish(r, s);
            return TRUE;
        }
    }
    if (!wait) return FALSE;
    s->sharedWaiters++;
    Publish(r, s);
    g.unlock();
    KeWaitForSingleObject(&s->sharedWake, Executive, KernelMode, FALSE, nullptr);
    g.lock();
    s->grantedShared--;
    s->shared.push_back({me, 1});
    Publish(r, s);
    return TRUE;
}

}  // namespace

NTSTATUS ExInitializeResourceLite(PERESOURCE resource)
{
    auto* s = new ResourceState;
    KeInitializeEvent(&s->exclusiveWake, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&s->sharedWake, 0, LONG_MAX);
    resource->Impl = s;
    InitializeListHead(&resource->SystemResourcesList);
    resource->ActiveCount = 0;
    resource->Flag = 0;
    resource->NumberOfSharedWaiters = 0;
    resource->NumberOfExclusiveWaiters = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE resource)
{
    delete State(resource);
    resource->Impl = nullptr;
    return STATUS_SUCCESS;
}

ULONG_PTR ExGetCurrentResourceThread() { return reinterpret_cast<ULONG_PTR>(KeGetCurrentThread()); }

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait)
{
    CheckAcquireIrql(resource);
    ResourceState* s = State(resource);
    ULONG_PTR me = ExGetCurrentResourceThread();
    std::unique_lock<std::mutex> g(s->lock);
    if (s->exclusiveOwner == me) {
        s->exclusiveCount++;
        return TRUE;
    }
    if (s->Free()) {
        s->exclusiveOwner = me;
        s->exclusiveCount = 1;
        Publish(resource, s);
        return TRUE;
    }
    if (!wait) return FALSE;
    s->exclusiveWaiters++;
    Publish(resource, s);
    g.unlock();
    KeWaitForSingleObject(&s->exclusiveWake, Executive, KernelMode, FALSE, nullptr);
    g.lock();
    s->exclusiveOwner = me;  // the releaser granted it to us
    s->exclusiveCount = 1;
    Publish(resource, s);
    return TRUE;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait)
{
    return AcquireShared(resource, wait, false);
}

BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE resource, BOOLEAN wait)
{
    return AcquireShared(resource, wait, true);
}

void ExReleaseResourceForThreadLite(PERESOURCE resource, ULONG_PTR thread)
{
    ResourceState* s = State(resource);
    Wakeup w;
    {
        std::lock_guard<std::mutex> g(s->lock);
        if (s->exclusiveOwner == thread) {
            if (--s->exclusiveCount == 0) {
                s->exclusiveOwner = 0;
                if (s->sharedWaiters) w = GrantShared(s);
                else if (s->exclusiveWaiters) w = GrantExclusive(s);
            }
        } else if (auto* mine = s->FindShared(thread)) {
            if (--mine->count == 0) {
                s->shared.erase(s->shared.begin() + (mine - s->shared.data()));
                if (s->shared.empty() && s->grantedShared == 0) {
                    if (s->exclusiveWaiters) w = GrantExclusive(s);
                    else if (s->sharedWaiters) w = GrantShared(s);
                }
            }
        } else {
            KeBugCheckEx(RESOURCE_NOT_OWNED, reinterpret_cast<ULONG_PTR>(resource), thread, 0, 0);
        }
        Publish(resource, s);
    }
    Wake(s, w);
}

void ExReleaseResourceLite(PERESOURCE resource)
{
    ExReleaseResourceForThreadLite(resource, ExGetCurrentResourceThread());
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource)
{
    ResourceState* s = State(resource);
    std::lock_guard<std::mutex> g(s->lock);
    return s->exclusiveOwner == ExGetCurrentResourceThread();
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource)
{
    ResourceState* s = State(resource);
    ULONG_PTR me = ExGetCurrentResourceThread();
    std::lock_guard<std::mutex> g(s->lock);
    if (s->exclusiveOwner == me) return s->exclusiveCount;
    auto* mine = s->FindShared(me);
    return mine ? mine->count : 0;
}

void ExConvertExclusiveToSharedLite(PERESOURCE resource)
{
    ResourceState* s = State(resource);
    ULONG_PTR me = ExGetCurrentResourceThread();
    Wakeup w;
    {
        std::lock_guard<std::mutex> g(s->lock);
        if (s->exclusiveOwner != me)
            KeBugCheckEx(RESOURCE_NOT_OWNED, reinterpret_cast<ULONG_PTR>(resource), me, 0, 0);
        s->shared.push_back({me, s->exclusiveCount});
        s->exclusiveOwner = 0;
        s->exclusiveCount = 0;
        w = GrantShared(s);
        Publish(resource, s);
    }
    Wake(s, w);
}

// Executive pool: tagged allocations with a per-tag byte count (tests find
// leaks with it), the IRQL rules of paged and non-paged pool, and the
// header checks that catch a double or foreign free. Blocks of a page or
// more are page-aligned, as the system's pool returns them.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "nt_mm.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Sits right before every block.
struct PoolHeader {
    ULONG tag;
    ULONG bytes;
    USHORT type;
    USHORT large;  // the block starts a page after the allocation
    ULONG check;   // header address ^ live marker; anything else is not ours
};
static_assert(sizeof(PoolHeader) == 16);

constexpr ULONG kLiveMarker = 0x506f6f6c;
constexpr ULONG kNoneTag = 0x656e6f4e;  // "None"

ULONG Check(const PoolHeader* h) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(h)) ^ kLiveMarker; }

std::mutex tagLock;
std::unordered_map<ULONG, SIZE_T>& TagBytes()
{
    static auto* bytes = new std::unordered_map<ULONG, SIZE_T>;
    return *bytes;
}
std::atomic<ExPoolFailureHook> failureHook{nullptr};

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

void CheckIrqlForPool(POOL_TYPE type, SIZE_T bytes, ULONG_PTR what)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL))
        KeBugCheckEx(BAD_POOL_CALLER, what, irql, type, bytes);
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    CheckIrqlForPool(type, bytes, 0x08);
    ExPoolFailureHook hook = failureHook.load(std::memory_order_acquire);
    bool fail = hook && hook(type, bytes, tag);
    bool large = bytes >= PAGE_SIZE;
    char* raw = nullptr;
    if (!fail && bytes < 0x7FFF0000u) {
        if (large) {
            void* p = nullptr;
            if (posix_memalign(&p, PAGE_SIZE, bytes + PAGE_SIZE) == 0) raw = static_cast<char*>(p);
        } else {
            raw = static_cast<char*>(std::malloc(bytes + sizeof(PoolHeader)));
        }
    }
    if (!raw) {
        if (type == NonPagedPoolMustSucceed) KeBugCheckEx(MUST_SUCCEED_POOL_EMPTY, bytes, 0, 0, 0);
        return nullptr;
    }
    char* block = large ? raw + PAGE_SIZE : raw + sizeof(PoolHeader);
    auto* h = reinterpret_cast<PoolHeader*>(block) - 1;
    h->tag = tag;
    h->bytes = static_cast<ULONG>(bytes);
    h->type = static_cast<USHORT>(type);
    h->large = large;
    h->check = Check(h);
    {
        std::lock_guard<std::mutex> g(tagLock);
        TagBytes()[tag] += bytes;
    }
    return block;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes) { return ExAllocatePoolWithTag(type, bytes, kNoneTag); }

namespace {

void FreeBlock(PVOID p, const ULONG* expectedTag)
{
    if (!p) KeBugCheckEx(BAD_POOL_CALLER, 0x46, 0, 0, 0);
    auto* h = static_cast<PoolHeader*>(p) - 1;
    // A block whose header is gone was freed already or never came from here.
    // (Under the address sanitizer such a header is poisoned: ask before
    // reading it.)
    bool gone = false;
#if defined(__SANITIZE_ADDRESS__)
    gone = __asan_region_is_poisoned(h, sizeof *h) != nullptr;
#endif
    if (gone || h->check != Check(h)) KeBugCheckEx(BAD_POOL_CALLER, 0x07, 0, reinterpret_cast<ULONG_PTR>(p), 0);
    CheckIrqlForPool(static_cast<POOL_TYPE>(h->type), h->bytes, 0x09);
    if (expectedTag && *expectedTag != h->tag)
        KeBugCheckEx(BAD_POOL_CALLER, 0x0A, reinterpret_cast<ULONG_PTR>(p), h->tag, *expectedTag);
    {
        std::lock_guard<std::mutex> g(tagLock);
        TagBytes()[h->tag] -= h->bytes;
    }
    h->check = 0;
    std::free(h->large ? static_cast<char*>(p) - PAGE_SIZE : reinterpret_cast<char*>(h));
}

}  // namespace

void ExFreePoolWithTag(PVOID p, ULONG tag) { FreeBlock(p, &tag); }
void ExFreePool(PVOID p) { FreeBlock(p, nullptr); }

SIZE_T ExPoolBytesWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> g(tagLock);
    auto it = TagBytes().find(tag);
    return it == TagBytes().end() ? 0 : it->second;
}

void ExSetPoolFailureHook(ExPoolFailureHook hook) { failureHook.store(hook, std::memory_order_release); }

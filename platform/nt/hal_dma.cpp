// DMA adapters for bus-master devices: one holder of an adapter at a time
// with the others queued, map registers as the record of what a holder
// mapped, common buffers, and the check that a device only reaches memory
// the HAL mapped for it.
//
// A bus address is the host address of the memory (the process is 32-bit,
// so it always fits). Every page a common buffer covers, and every page a
// mapped MDL piece touches, is counted in a flat table with one counter per
// page of the 4 GB space (reserved up front, only touched parts cost
// memory), so a device's transfer is checked with one load per page and no
// lock. A transfer that reaches a page nobody mapped is refused and traced:
// on the real machine it would have scribbled on or read someone else's
// memory.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "hal_private.h"

namespace {

constexpr ULONG kPages = 1u << (32 - PAGE_SHIFT);

std::atomic<ULONG>* PageCounts()
{
    static std::atomic<ULONG>* counts = [] {
        void* p = mmap(nullptr, kPages * sizeof(ULONG), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            perror("hal: DMA page table");
            abort();
        }
        return static_cast<std::atomic<ULONG>*>(p);
    }();
    return counts;
}

void CountPages(ULONG_PTR start, ULONG length, int delta)
{
    if (!length) return;
    std::atomic<ULONG>* counts = PageCounts();
    for (ULONG_PTR page = start >> PAGE_SHIFT, last = (start + length - 1) >> PAGE_SHIFT; page <= last; page++)
        counts[page].fetch_add(static_cast<ULONG>(delta), std::memory_order_acq_rel);
}

bool PagesMapped(uint32_t start, uint32_t length)
{
    if (static_cast<uint64_t>(start) + length > (1ull << 32)) return false;
    std::atomic<ULONG>* counts = PageCounts();
    for (uint32_t page = start >> PAGE_SHIFT, last = (start + length - 1) >> PAGE_SHIFT; page <= last; page++)
        if (counts[page].load(std::memory_order_acquire) == 0) return false;
    return true;
}

std::atomic<HalCommonBufferFailureHook> commonBufferFailure{nullptr};

[[noreturn]] void Violation(ULONG what, const void* a, const void* b)
{
    KeBugCheckEx(DRIVER_VERIFIER_DMA_VIOLATION, what, reinterpret_cast<ULONG_PTR>(a), reinterpret_cast<ULONG_PTR>(b),
                 0);
}

}  // namespace

// What a map-register base handed to a driver stands for: the pieces its
// holder mapped, released together when the registers are freed.
struct MapRegisterSet {
    ADAPTER_OBJECT* adapter;
    ULONG count;
    std::vector<std::pair<ULONG_PTR, ULONG>> pieces;
};

struct ADAPTER_OBJECT {
    DEVICE_DESCRIPTION description;
    ULONG mapRegisters;

    std::mutex lock;
    bool held = false;
    bool dispatching = false;  // a thread is running execution routines
    MapRegisterSet* heldRegisters = nullptr;
    struct Waiter {
        PDEVICE_OBJECT device;
        ULONG registers;
        PDRIVER_CONTROL execution;
        PVOID context;
    };
    std::deque<Waiter> waiters;
    std::vector<MapRegisterSet*> spareSets;
    struct CommonBuffer {
        ULONG_PTR va;
        ULONG bytes;
    };
    std::vector<CommonBuffer> commonBuffers;
};

namespace {

std::mutex adapterListLock;
std::vector<ADAPTER_OBJECT*> adapters;

MapRegisterSet* TakeSet(ADAPTER_OBJECT* a, ULONG count)
{
    MapRegisterSet* s;
    if (a->spareSets.empty()) {
        s = new MapRegisterSet{a, 0, {}};
    } else {
        s = a->spareSets.back();
        a->spareSets.pop_back();
    }
    s->count = count;
    return s;
}

void ReleaseSet(ADAPTER_OBJECT* a, MapRegisterSet* s)
{
    for (auto& [start, length] : s->pieces) CountPages(start, length, -1);
    s->pieces.clear();
    if (a->heldRegisters == s) a->heldRegisters = nullptr;
    a->spareSets.push_back(s);
}

// Gives the adapter to the waiters in turn while it is free; called with
// the adapter's lock held, runs each execution routine at DISPATCH_LEVEL
// without it.
void Dispatch(ADAPTER_OBJECT* a, std::unique_lock<std::mutex>& g)
{
    if (a->dispatching) return;  // the running dispatcher picks the next one up
    a->dispatching = true;
    while (!a->held && !a->waiters.empty()) {
        auto w = a->waiters.front();
        a->waiters.pop_front();
        a->held = true;
        MapRegisterSet* set = TakeSet(a, w.registers);
        a->heldRegisters = set;
        g.unlock();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IO_ALLOCATION_ACTION action = w.execution(w.device, w.device ? w.device->CurrentIrp : nullptr, set, w.context);
        KeLowerIrql(old);
        g.lock();
        if (action == KeepObject) continue;
        // The adapter goes back whatever happened to the registers meanwhile:
        // the transfer may have ended and freed them on another processor
        // before the execution routine returned.
        if (a->heldRegisters == set) {
            if (action == DeallocateObject) ReleaseSet(a, set);
            a->heldRegisters = nullptr;
        }
        a->held = false;
    }
    a->dispatching = false;
}

}  // namespace

PADAPTER_OBJECT HalGetAdapter(PDEVICE_DESCRIPTION description, PULONG numberOfMapRegisters)
{
    if (description->Version > DEVICE_DESCRIPTION_VERSION1 || !description->Master ||
        description->InterfaceType != PCIBus) {
        fprintf(stderr, "hal: only PCI bus-master adapters exist on this machine\n");
        return nullptr;
    }
    ULONG wanted = description->MaximumLength / PAGE_SIZE + 1;
    auto* a = new ADAPTER_OBJECT;
    a->description = *description;
    a->mapRegisters = std::min<ULONG>(wanted, HAL_MAXIMUM_MAP_REGISTERS);
    {
        std::lock_guard<std::mutex> g(adapterListLock);
        adapters.push_back(a);
    }
    *numberOfMapRegisters = a->mapRegisters;
    return a;
}

NTSTATUS IoAllocateAdapterChannel(PADAPTER_OBJECT adapter, PDEVICE_OBJECT device, ULONG numberOfMapRegisters,
                                  PDRIVER_CONTROL execution, PVOID context)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, reinterpret_cast<ULONG_PTR>(adapter), irql, DISPATCH_LEVEL, 0);
    if (numberOfMapRegisters > adapter->mapRegisters) return STATUS_INSUFFICIENT_RESOURCES;
    std::unique_lock<std::mutex> g(adapter->lock);
    adapter->waiters.push_back({device, numberOfMapRegisters, execution, context});
    Dispatch(adapter, g);
    return STATUS_SUCCESS;
}

void IoFreeAdapterChannel(PADAPTER_OBJECT adapter)
{
    std::unique_lock<std::mutex> g(adapter->lock);
    if (!adapter->held) Violation(0x01, adapter, nullptr);
    // Registers allocated with the channel and kept with it go with it.
    if (adapter->heldRegisters) ReleaseSet(adapter, adapter->heldRegisters);
    adapter->held = false;
    Dispatch(adapter, g);
}

void IoFreeMapRegisters(PADAPTER_OBJECT adapter, PVOID mapRegisterBase, ULONG /*numberOfMapRegisters*/)
{
    auto* set = static_cast<MapRegisterSet*>(mapRegisterBase);
    if (!set || set->adapter != adapter) Violation(0x02, adapter, mapRegisterBase);
    std::lock_guard<std::mutex> g(adapter->lock);
    ReleaseSet(adapter, set);
}

PHYSICAL_ADDRESS IoMapTransfer(PADAPTER_OBJECT adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                               PULONG length, BOOLEAN /*writeToDevice*/)
{
    auto* set = static_cast<MapRegisterSet*>(mapRegisterBase);
    if (!set || set->adapter != adapter) Violation(0x02, adapter, mapRegisterBase);
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) Violation(0x03, mdl, currentVa);
    auto va = reinterpret_cast<ULONG_PTR>(currentVa);
    auto first = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl));
    ULONG_PTR end = first + mdl->ByteCount;
    if (va < first || va >= end || *length == 0) Violation(0x04, mdl, currentVa);
    ULONG piece = static_cast<ULONG>(std::min<ULONG_PTR>(*length, end - va));
    // Scatter/gather hardware gets one page piece at a time; other masters
    // get the run as one logical range.
    if (adapter->description.ScatterGather) piece = std::min<ULONG>(piece, PAGE_SIZE - BYTE_OFFSET(va));
    ULONG page = static_cast<ULONG>((va - reinterpret_cast<ULONG_PTR>(mdl->StartVa)) >> PAGE_SHIFT);
    ULONG_PTR bus = (static_cast<ULONG_PTR>(MmGetMdlPfnArray(mdl)[page]) << PAGE_SHIFT) | BYTE_OFFSET(va);
    CountPages(bus, piece, +1);
    {
        std::lock_guard<std::mutex> g(adapter->lock);
        set->pieces.emplace_back(bus, piece);
    }
    *length = piece;
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(bus);
    return pa;
}

BOOLEAN IoFlushAdapterBuffers(PADAPTER_OBJECT adapter, PMDL mdl, PVOID mapRegisterBase, PVOID currentVa,
                              ULONG length, BOOLEAN /*writeToDevice*/)
{
    auto* set = static_cast<MapRegisterSet*>(mapRegisterBase);
    if (!set || set->adapter != adapter) Violation(0x02, adapter, mapRegisterBase);
    auto va = reinterpret_cast<ULONG_PTR>(currentVa);
    auto first = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl));
    if (va < first || va + length > first + mdl->ByteCount) Violation(0x05, mdl, currentVa);
    // Memory is coherent with the bus here; the mapping stays until the
    // registers are freed.
    return TRUE;
}

void HalSetCommonBufferFailureHook(HalCommonBufferFailureHook hook)
{
    commonBufferFailure.store(hook, std::memory_order_release);
}

PVOID HalAllocateCommonBuffer(PADAPTER_OBJECT adapter, ULONG length, PPHYSICAL_ADDRESS logicalAddress,
                              BOOLEAN /*cacheEnabled*/)
{
    auto hook = commonBufferFailure.load(std::memory_order_acquire);
    if (length == 0 || (hook && hook(length))) return nullptr;
    ULONG bytes = static_cast<ULONG>(ROUND_TO_PAGES(length));
    void* p = nullptr;
    if (posix_memalign(&p, PAGE_SIZE, bytes) != 0) return nullptr;
    std::memset(p, 0, bytes);
    auto va = reinterpret_cast<ULONG_PTR>(p);
    CountPages(va, bytes, +1);
    {
        std::lock_guard<std::mutex> g(adapter->lock);
        adapter->commonBuffers.push_back({va, bytes});
    }
    logicalAddress->QuadPart = static_cast<LONGLONG>(va);
    return p;
}

void HalFreeCommonBuffer(PADAPTER_OBJECT adapter, ULONG /*length*/, PHYSICAL_ADDRESS logicalAddress,
                         PVOID virtualAddress, BOOLEAN /*cacheEnabled*/)
{
    auto va = reinterpret_cast<ULONG_PTR>(virtualAddress);
    ULONG bytes;
    {
        std::lock_guard<std::mutex> g(adapter->lock);
        auto& list = adapter->commonBuffers;
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& c) { return c.va == va; });
        if (it == list.end() || static_cast<ULONGLONG>(logicalAddress.QuadPart) != va)
            Violation(0x06, adapter, virtualAddress);
        bytes = it->bytes;
        list.erase(it);
    }
    CountPages(va, bytes, -1);
    std::free(virtualAddress);
}

ULONG HalCommonBufferCount(PADAPTER_OBJECT adapter)
{
    std::lock_guard<std::mutex> g(adapter->lock);
    return ULONG(adapter->commonBuffers.size());
}

bool HalpDmaRead(uint32_t busAddress, void* data, uint32_t length)
{
    if (length == 0) return true;
    if (!PagesMapped(busAddress, length)) {
        fprintf(stderr, "hal: device DMA read of %u bytes at unmapped bus address %#x refused\n", length, busAddress);
        std::memset(data, 0xFF, length);
        return false;
    }
    std::memcpy(data, reinterpret_cast<const void*>(static_cast<ULONG_PTR>(busAddress)), length);
    return true;
}

bool HalpDmaWrite(uint32_t busAddress, const void* data, uint32_t length)
{
    if (length == 0) return true;
    if (!PagesMapped(busAddress, length)) {
        fprintf(stderr, "hal: device DMA write of %u bytes at unmapped bus address %#x refused\n", length,
                busAddress);
        return false;
    }
    std::memcpy(reinterpret_cast<void*>(static_cast<ULONG_PTR>(busAddress)), data, length);
    return true;
}

void HalpResetDma()
{
    std::lock_guard<std::mutex> g(adapterListLock);
    for (ADAPTER_OBJECT* a : adapters) {
        for (auto& c : a->commonBuffers) {
            CountPages(c.va, c.bytes, -1);
            std::free(reinterpret_cast<void*>(c.va));
        }
        if (a->heldRegisters) ReleaseSet(a, a->heldRegisters);
        for (MapRegisterSet* s : a->spareSets) delete s;
        delete a;
    }
    adapters.clear();
    // Registers kept past their adapter's life would leave counts behind;
    // the next machine starts from a clean table.
    madvise(PageCounts(), kPages * sizeof(ULONG), MADV_DONTNEED);
}

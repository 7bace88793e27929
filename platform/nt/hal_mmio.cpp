// Mapped device registers. MmMapIoSpace reserves an inaccessible address
// range for each mapping, so every mapped register has a unique address and
// a driver that dereferences one directly instead of using the
// READ_/WRITE_REGISTER_ calls faults at once. The register calls find the
// mapping in a small sorted table that readers see without taking a lock
// (a new table is published on every map and unmap; old ones live until the
// machine's hardware is detached) and call the device's register handlers.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "hal_private.h"

namespace {

struct Mapping {
    ULONG_PTR va;   // first mapped byte
    ULONG_PTR end;  // one past the last
    hw::PciFunction* function;
    int bar;
    ULONG barOffset;  // of 'va' inside the BAR
    void* reservation;
    SIZE_T reservationBytes;
};
using Table = std::vector<Mapping>;  // sorted by va

std::atomic<const Table*> published{nullptr};
std::mutex updateLock;
std::vector<std::unique_ptr<Table>> tables;  // every table ever published, newest last

void Publish(std::unique_ptr<Table> table)
{
    published.store(table.get(), std::memory_order_release);
    tables.push_back(std::move(table));
}

std::unique_ptr<Table> CopyOfCurrent()
{
    const Table* t = published.load(std::memory_order_relaxed);
    return std::make_unique<Table>(t ? *t : Table{});
}

const Mapping& Find(volatile void* reg, int size, bool write)
{
    auto va = reinterpret_cast<ULONG_PTR>(reg);
    if (const Table* t = published.load(std::memory_order_acquire)) {
        auto it = std::upper_bound(t->begin(), t->end(), va, [](ULONG_PTR v, const Mapping& m) { return v < m.va; });
        if (it != t->begin() && va + size <= (--it)->end) return *it;
    }
    // An access to no mapped register is a page fault in the kernel.
    KeBugCheckEx(PAGE_FAULT_IN_NONPAGED_AREA, va, write, 0, static_cast<ULONG_PTR>(size));
}

uint32_t Read(volatile void* reg, int size)
{
    const Mapping& m = Find(reg, size, false);
    return m.function->MmioRead(m.bar, m.barOffset + static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(reg) - m.va),
                                size);
}

void Write(volatile void* reg, uint32_t value, int size)
{
    const Mapping& m = Find(reg, size, true);
    m.function->MmioWrite(m.bar, m.barOffset + static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(reg) - m.va), value,
                          size);
}

}  // namespace

PVOID MmMapIoSpace(PHYSICAL_ADDRESS physicalAddress, SIZE_T bytes, MEMORY_CACHING_TYPE /*cache*/)
{
    HalAperture aperture;
    if (bytes == 0 || !HalpFindAperture(physicalAddress.QuadPart, static_cast<ULONG>(bytes), &aperture)) {
        fprintf(stderr, "hal: no device aperture at %#llx (+%zu) to map\n",
                static_cast<unsigned long long>(physicalAddress.QuadPart), bytes);
        return nullptr;
    }
    SIZE_T pageOffset = physicalAddress.LowPart & (PAGE_SIZE - 1);
    SIZE_T reservationBytes = ROUND_TO_PAGES(pageOffset + bytes);
    void* reservation = mmap(nullptr, reservationBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reservation == MAP_FAILED) return nullptr;
    auto va = reinterpret_cast<ULONG_PTR>(reservation) + pageOffset;
    Mapping m{va, va + bytes, aperture.function, aperture.bar, physicalAddress.LowPart - aperture.base, reservation,
              reservationBytes};
    std::lock_guard<std::mutex> g(updateLock);
    auto table = CopyOfCurrent();
    table->insert(std::upper_bound(table->begin(), table->end(), m,
                                   [](const Mapping& a, const Mapping& b) { return a.va < b.va; }),
                  m);
    Publish(std::move(table));
    return reinterpret_cast<PVOID>(va);
}

void MmUnmapIoSpace(PVOID base, SIZE_T /*bytes*/)
{
    std::lock_guard<std::mutex> g(updateLock);
    auto table = CopyOfCurrent();
    auto it = std::find_if(table->begin(), table->end(),
                           [&](const Mapping& m) { return m.va == reinterpret_cast<ULONG_PTR>(base); });
    if (it == table->end()) KeBugCheckEx(PAGE_FAULT_IN_NONPAGED_AREA, reinterpret_cast<ULONG_PTR>(base), 0, 0, 1);
    munmap(it->reservation, it->reservationBytes);
    table->erase(it);
    Publish(std::move(table));
}

void HalpResetMappings()
{
    std::lock_guard<std::mutex> g(updateLock);
    if (const Table* t = published.load(std::memory_order_relaxed))
        for (auto& m : *t) munmap(m.reservation, m.reservationBytes);
    published.store(nullptr, std::memory_order_release);
    tables.clear();
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* reg) { return static_cast<UCHAR>(Read(reg, 1)); }
USHORT READ_REGISTER_USHORT(volatile USHORT* reg) { return static_cast<USHORT>(Read(reg, 2)); }
ULONG READ_REGISTER_ULONG(volatile ULONG* reg) { return Read(reg, 4); }
void WRITE_REGISTER_UCHAR(volatile UCHAR* reg, UCHAR value) { Write(reg, value, 1); }
void WRITE_REGISTER_USHORT(volatile USHORT* reg, USHORT value) { Write(reg, value, 2); }
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) { Write(reg, value, 4); }

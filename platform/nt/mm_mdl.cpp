// Memory descriptor lists, page locking, system mappings of locked pages,
// and the probes of user buffers.
//
// Embedded mode: the drivers and every process of the machine share one
// address space and nothing is ever paged out, so locking a page is proving
// that it is there with the access asked for (touching it under a fault
// guard), a PFN is the page number of the host address, and the system
// mapping of a locked MDL is the buffer itself. The MDL flags and the order
// of calls are kept exactly, so a driver that skips a step fails here as it
// would on the real system.
#include "mm_private.h"

namespace {

constexpr ULONG kMdlTag = 0x206c644d;  // "Mdl "
// The MDL's Size is a SHORT: this many pages fit behind the header.
constexpr ULONG kMaximumMdlPages = (0x7FFF - sizeof(MDL)) / sizeof(PFN_NUMBER);

void FillPfns(PMDL mdl)
{
    PFN_NUMBER* pfn = MmGetMdlPfnArray(mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    ULONG_PTR first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
    for (ULONG i = 0; i < pages; i++) pfn[i] = static_cast<PFN_NUMBER>(first + i);
}

bool Locked(PMDL mdl) { return mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL); }

}  // namespace

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN /*chargeQuota*/, PIRP irp)
{
    if (length == 0 || ADDRESS_AND_SIZE_TO_SPAN_PAGES(virtualAddress, length) > kMaximumMdlPages) return nullptr;
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, MmSizeOfMdl(virtualAddress, length), kMdlTag));
    if (!mdl) return nullptr;
    MmInitializeMdl(mdl, virtualAddress, length);
    if (irp) {
        if (!secondaryBuffer || !irp->MdlAddress) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL mdl)
{
    // Freeing an MDL whose pages are still locked leaks the lock on the
    // real system; it is always a driver bug.
    if (mdl->MdlFlags & MDL_PAGES_LOCKED)
        KeBugCheckEx(PROCESS_HAS_LOCKED_PAGES, 0, reinterpret_cast<ULONG_PTR>(mdl), 0, 0);
    ExFreePoolWithTag(mdl, kMdlTag);
}

void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation)
{
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))
        KeBugCheckEx(MEMORY_MANAGEMENT, 0x1234, reinterpret_cast<ULONG_PTR>(mdl), mdl->MdlFlags, 0);
    PVOID va = MmGetMdlVirtualAddress(mdl);
    if (accessMode == UserMode && !MiIsUserRange(va, mdl->ByteCount)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (!MiTouchRange(va, mdl->ByteCount, operation != IoReadAccess)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    FillPfns(mdl);
    mdl->Process = accessMode == UserMode ? PsGetCurrentProcess() : nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL mdl)
{
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED))
        KeBugCheckEx(MEMORY_MANAGEMENT, 0x1235, reinterpret_cast<ULONG_PTR>(mdl), mdl->MdlFlags, 0);
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
    mdl->Process = nullptr;
}

void MmBuildMdlForNonPagedPool(PMDL mdl)
{
    FillPfns(mdl);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE /*cache*/,
                                   PVOID requested, ULONG /*bugCheckOnFailure*/, MM_PAGE_PRIORITY /*priority*/)
{
    if (!Locked(mdl)) KeBugCheckEx(MEMORY_MANAGEMENT, 0x1236, reinterpret_cast<ULONG_PTR>(mdl), mdl->MdlFlags, 0);
    PVOID va = MmGetMdlVirtualAddress(mdl);
    if (mode == UserMode) {
        // A user mapping lands in the caller's process, which shares the
        // one address space: the buffer is already there.
        if (requested && requested != va) return nullptr;
        return va;
    }
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return mdl->MappedSystemVa;
    mdl->MappedSystemVa = va;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return va;
}

void MmUnmapLockedPages(PVOID base, PMDL mdl)
{
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && base == mdl->MappedSystemVa) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = nullptr;
    }
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, MM_PAGE_PRIORITY priority)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID base)
{
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(base));
    return pa;
}

BOOLEAN MmIsAddressValid(PVOID va) { return MiTouchRange(va, 1, false); }

bool (*MiUserRangeFilter)(PEPROCESS, const volatile void*, SIZE_T) = nullptr;

void MmSetUserRangeFilter(bool (*filter)(PEPROCESS process, const volatile void* address, SIZE_T length))
{
    __atomic_store_n(&MiUserRangeFilter, filter, __ATOMIC_RELEASE);
}

void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment)
{
    if (length == 0) return;
    if (alignment > 1 && (reinterpret_cast<ULONG_PTR>(address) & (alignment - 1)))
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    if (!MiIsUserRange(address, length) || !MiTouchRange(address, length, false))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment)
{
    if (length == 0) return;
    if (alignment > 1 && (reinterpret_cast<ULONG_PTR>(address) & (alignment - 1)))
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    if (!MiIsUserRange(address, length) || !MiTouchRange(address, length, true))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

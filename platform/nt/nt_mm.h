// Memory manager: MDLs and page locking, system mappings, user-buffer
// probes, structured exception handling for driver code, sections.
#pragma once

#include <functional>

#include "nt_ex.h"

enum : ULONG { PAGE_SIZE = 4096, PAGE_SHIFT = 12 };
#define BYTE_OFFSET(va) ((ULONG)((ULONG_PTR)(va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(va) ((PVOID)((ULONG_PTR)(va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(n) (((ULONG_PTR)(n) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size) \
    ((ULONG)((((ULONG_PTR)(va) & (PAGE_SIZE - 1)) + (size) + PAGE_SIZE - 1) >> PAGE_SHIFT))

using PFN_NUMBER = ULONG;
struct MDL {
    MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;  // page-aligned
    ULONG ByteCount;
    ULONG ByteOffset;
    // PFN_NUMBER array follows (one per spanned page).
};
enum : SHORT {
    MDL_MAPPED_TO_SYSTEM_VA = 0x0001,
    MDL_PAGES_LOCKED = 0x0002,
    MDL_SOURCE_IS_NONPAGED_POOL = 0x0004,
    MDL_PARTIAL = 0x0010,
};
enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };

inline PVOID MmGetMdlVirtualAddress(PMDL mdl) { return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset; }
inline ULONG MmGetMdlByteCount(PMDL mdl) { return mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(PMDL mdl) { return mdl->ByteOffset; }
inline PFN_NUMBER* MmGetMdlPfnArray(PMDL mdl) { return reinterpret_cast<PFN_NUMBER*>(mdl + 1); }

// Bytes of an MDL describing 'length' bytes at 'va' (header and PFN array).
inline SIZE_T MmSizeOfMdl(PVOID va, SIZE_T length)
{
    return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
}
inline void MmInitializeMdl(PMDL mdl, PVOID va, SIZE_T length)
{
    mdl->Next = nullptr;
    mdl->Size = static_cast<SHORT>(MmSizeOfMdl(va, length));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = static_cast<ULONG>(length);
}

// Kernel and user share one address space here (embedded mode), so a
// physical address is the host virtual address of the memory and a PFN is
// its page number. The user-probe limit is the top of a 32-bit process's
// space less 64 KB, not 0xC0000000: on a 64-bit host kernel an i386 process
// has its libraries, heap arenas and thread stacks above 3 GB, and every one
// of those is a legitimate user buffer. So a user-mode probe refuses only
// the top page and ranges that wrap; bad addresses below are found by
// touching them.
constexpr ULONG_PTR MmUserProbeAddress = 0xFFFFF000;
constexpr ULONG_PTR MmHighestUserAddress = MmUserProbeAddress - 1;
enum : ULONG { MEMORY_MANAGEMENT = 0x1A, PAGE_FAULT_IN_NONPAGED_AREA = 0x50, PROCESS_HAS_LOCKED_PAGES = 0x76 };

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
void IoFreeMdl(PMDL mdl);
// Locks the pages for 'operation'; a range that is not accessible that way
// (in the MDL's process) raises STATUS_ACCESS_VIOLATION; call it inside
// SehTry. A user-mode probe also refuses kernel addresses.
void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
void MmUnlockPages(PMDL mdl);
void MmBuildMdlForNonPagedPool(PMDL mdl);
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cache, PVOID requested,
                                   ULONG bugCheckOnFailure, MM_PAGE_PRIORITY priority);
void MmUnmapLockedPages(PVOID base, PMDL mdl);
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, MM_PAGE_PRIORITY priority);
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID base);
BOOLEAN MmIsAddressValid(PVOID va);

// Probes of user buffers (method-neither requests): raise
// STATUS_DATATYPE_MISALIGNMENT for a misaligned address and
// STATUS_ACCESS_VIOLATION for a range that wraps or is not accessible.
// Zero length probes nothing.
void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment);
void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment);

// Structured exception handling for driver code: runs 'body'; an access
// fault inside it (SIGSEGV/SIGBUS on a bad address), a failed probe or
// ExRaiseStatus ends the body and its status is returned; STATUS_SUCCESS
// when the body ran to its end. Faults outside a SehTry stay fatal.
// Note: the body is left by a non-local jump, so it must not own objects
// with destructors across the faulting access (drivers use plain records).
NTSTATUS SehTry(const std::function<void()>& body);

// ---- Sections (named shared memory) ----

NTSTATUS ZwCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes,
                         HANDLE fileHandle);
NTSTATUS ZwOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR zeroBits,
                            SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                            SECTION_INHERIT inherit, ULONG allocationType, ULONG protect);
NTSTATUS ZwUnmapViewOfSection(HANDLE process, PVOID baseAddress);
// Unmaps every view still mapped in 'process' (its termination).
void MmUnmapProcessViews(PEPROCESS process);
#define ZwCurrentProcess() NtCurrentProcess()

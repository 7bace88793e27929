// Internals shared by the memory manager's modules (SEH, MDLs, sections).
#pragma once

#include "nt_mm.h"

// Touches one byte of every page of [address, address + length): a read, or
// for 'write' an atomic read-modify-write that changes nothing (so no other
// thread's store is lost). False when any page faults. Never raises.
bool MiTouchRange(const volatile void* address, SIZE_T length, bool write);

// Set by a machine host (MmSetUserRangeFilter): which ranges are a client
// process's memory.
extern bool (*MiUserRangeFilter)(PEPROCESS process, const volatile void* address, SIZE_T length);

// True when [address, address + length) lies wholly below the user-probe
// limit, does not wrap and, in a machine host, is the current process's.
inline bool MiIsUserRange(const volatile void* address, SIZE_T length)
{
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
    ULONG_PTR end = start + length;
    if (end < start || end > MmUserProbeAddress) return false;
    auto filter = __atomic_load_n(&MiUserRangeFilter, __ATOMIC_ACQUIRE);
    return !filter || filter(PsGetCurrentProcess(), address, length);
}

// Internals shared by the memory manager's modules (SEH, MDLs, sections).
#pragma once

#include "nt_mm.h"

// Touches one byte of every page of [address, address + length): a read, or
// for 'write' an atomic read-modify-write that changes nothing (so no other
// thread's store is lost). False when any page faults. Never raises.
bool MiTouchRange(const volatile void* address, SIZE_T length, bool write);

// True when [address, address + length) lies wholly below the user-probe
// limit and does not wrap.
inline bool MiIsUserRange(const volatile void* address, SIZE_T length)
{
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
    ULONG_PTR end = start + length;
    return end >= start && end <= MmUserProbeAddress;
}

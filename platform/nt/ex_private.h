// Internals shared by the executive's modules.
#pragma once

#include "nt_ex.h"

// A spin on a KSPIN_LOCK word that leaves IRQL alone, for the executive's
// interlocked lists and look-aside lists: they may be used at any IRQL, as
// the system's are. The word holds the owner (a per-thread address) while
// held, like the kernel's own spin locks, and 0 when free.
ULONG_PTR ExpSpinOwnerWord();
inline void ExpAcquireRawSpin(PKSPIN_LOCK lock)
{
    ULONG_PTR owner = ExpSpinOwnerWord();
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) __builtin_ia32_pause();
    }
}
inline void ExpReleaseRawSpin(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

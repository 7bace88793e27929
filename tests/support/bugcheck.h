// Test helpers for the rules a real kernel stops the machine for: run a
// piece of code and get the bug-check code it raised (0 when none), and run
// code at a raised IRQL.
#pragma once

#include <functional>

#include "platform/nt/nt_ke.h"

inline ULONG BugCheckOf(const std::function<void()>& f)
{
    auto previous = KeSetBugCheckHandler([](const KeBugCheckError& e) { throw e; });
    ULONG code = 0;
    try {
        f();
    } catch (const KeBugCheckError& e) {
        code = e.code;
    }
    KeSetBugCheckHandler(previous);
    return code;
}

// Runs 'f' at 'irql' and comes back down even when 'f' throws.
template <typename F>
auto AtIrql(KIRQL irql, F f)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
    struct Lower {
        KIRQL old;
        ~Lower() { KeLowerIrql(old); }
    } lower{old};
    return f();
}

// The demo's one way to touch the simulated world in step with the machine:
// work run on the machine's clock, between two fields, never while a field's
// interrupt is being served.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/nt/clock.h"
#include "win32.h"

// Runs 'work' between two fields and waits for it; false when the clock did
// not get to it within a second of machine time.
inline bool RunBetweenFields(std::function<void()> work)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    nt::ClockSchedule(nt::ClockNow(), [work = std::move(work), done] {
        work();
        done->store(true);
    });
    const uint64_t deadline = nt::ClockNow() + 1000000000ull;
    while (!done->load()) {
        if (nt::ClockNow() > deadline) return false;
        Sleep(1);
    }
    return true;
}

// The machine clock and its interrupt context (see clock.h). Relies on the
// Ke modules for what the context runs besides hardware events (interrupt
// delivery, the DPC queue) and for the thread record it puts to sleep.
//
// Virtual time moves only on the interrupt context, and only when it has
// nothing due and no registered machine thread is running; every wake
// counts the woken thread as running under DispatcherLock, the same lock
// under which that decision is taken, and every spin lock release counts
// the threads spinning on held locks as running again before it returns.
// A thread that stalls while it is the only one running and the context has
// nothing to do moves time itself (StallThread), exactly as the context
// would have, so a poll of a busy unit costs no hand-over.
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ke_internal.h"

namespace ki {
std::mutex DispatcherLock;
std::atomic<LONGLONG> BootSystemTime{0};
std::atomic<int> SpinnersUncounted{0};
}  // namespace ki

namespace {

using namespace ki;
using nt::ClockEventId;
using nt::ClockMode;
using SteadyClock = std::chrono::steady_clock;

// 2000-01-01 00:00:00 UTC: a virtual machine always boots at the same date
// so runs are reproducible.
constexpr LONGLONG VirtualBootSystemTime = 125911584000000000LL;
// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr LONGLONG UnixEpochSystemTime = 116444736000000000LL;

struct Event {
    std::function<void()> fn;
    LockedEventRoutine locked = nullptr;
    void* arg = nullptr;
    uint64_t when = 0;
    // A board's event or a timer's expiry: it touches only the device and
    // the dispatcher, never a driver's lock, so a stalling thread (which
    // may hold one) can run it in the context's place.
    bool inlineSafe = false;
};

struct ClockState {
    bool running = false;
    bool stopping = false;
    uint64_t epoch = 0;
    int runningThreads = 0;
    std::set<std::pair<uint64_t, ClockEventId>> order;
    std::unordered_map<ClockEventId, Event> events;
    ClockEventId nextId = 1;
    std::multimap<uint64_t, KTHREAD*> deadlines;
    std::vector<KTHREAD*> idleWaiters;
    std::vector<KTHREAD*> spinners;  // uncounted in SpinBlockBegin
    std::condition_variable contextCv;
    std::thread context;
    bool contextParked = false;  // the context waits for a kick, nothing in hand
    bool inlineBusy = false;     // a stalling thread runs an event in its place
};

// Never destroyed: threads may still touch it while the process exits.
ClockState& S()
{
    static ClockState* state = new ClockState;
    return *state;
}

std::atomic<int> g_mode{static_cast<int>(ClockMode::Virtual)};
std::atomic<bool> g_running{false};
std::atomic<uint64_t> g_virtualNow{0};
std::atomic<int64_t> g_realBase{0};  // steady-clock ns at boot
std::atomic<uint64_t> g_frozenNow{0};  // real time at the last stop

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

bool IsVirtual() { return g_mode.load(std::memory_order_relaxed) == static_cast<int>(ClockMode::Virtual); }

bool CountedLocked(KTHREAD* t) { return S().running && t->ClockEpoch == S().epoch; }

void EnterLocked(KTHREAD* t)
{
    ClockState& s = S();
    if (!s.running || OnInterruptContext || t->ClockEpoch == s.epoch) return;
    t->ClockEpoch = s.epoch;
    s.runningThreads++;
}

void WakeDueLocked(uint64_t now)
{
    auto& deadlines = S().deadlines;
    while (!deadlines.empty() && deadlines.begin()->first <= now) {
        KTHREAD* t = deadlines.begin()->second;
        t->Blocker.timedOut = true;
        WakeLocked(t);
    }
}

uint64_t NextDeadlineLocked()
{
    ClockState& s = S();
    uint64_t next = NoDeadline;
    if (!s.order.empty()) next = s.order.begin()->first;
    if (!s.deadlines.empty() && s.deadlines.begin()->first < next) next = s.deadlines.begin()->first;
    return next;
}

[[noreturn]] void ContextFailed(const char* what)
{
    std::fprintf(stderr, "machine clock: the interrupt context stopped: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Runs the earliest event due at or before 'limit'; false when none is.
// Plain events run without the lock at DISPATCH_LEVEL.
bool RunDueEventLocked(Guard& lock, uint64_t limit)
{
    ClockState& s = S();
    if (s.order.empty() || s.order.begin()->first > limit) return false;
    auto [when, id] = *s.order.begin();
    s.order.erase(s.order.begin());
    auto node = s.events.extract(id);
    Event& e = node.mapped();
    if (IsVirtual() && when > g_virtualNow.load(std::memory_order_relaxed)) g_virtualNow.store(when);
    if (e.locked) {
        e.locked(e.arg, id);
        return true;
    }
    std::function<void()> fn = std::move(e.fn);
    lock.unlock();
    KIRQL saved = CurrentIrql;
    CurrentIrql = DISPATCH_LEVEL;
    fn();
    CurrentIrql = saved;
    lock.lock();
    return true;
}

void ParkLocked(Guard& lock)
{
    ClockState& s = S();
    s.contextParked = true;
    s.contextCv.wait(lock);
    s.contextParked = false;
}

void ContextMain()
{
    OnInterruptContext = true;
    CurrentIrql = DISPATCH_LEVEL;
    Current();
    ClockState& s = S();
    Guard lock(DispatcherLock);
    try {
        while (!s.stopping) {
            if (s.inlineBusy) {
                ParkLocked(lock);
                continue;
            }
            uint64_t now = nt::ClockNow();
            bool virtualTime = IsVirtual();
            if (!virtualTime) WakeDueLocked(now);
            // Real time: the interrupts and DPCs an event caused run before
            // the next event. On a host that falls behind, events are always
            // due, and taking them first would starve the interrupts for good.
            if (virtualTime && RunDueEventLocked(lock, now)) continue;
            if (InterruptDeliverableLocked()) {
                DeliverInterruptLocked(lock);
                continue;
            }
            if (DpcQueuedLocked()) {
                RunDpcLocked(lock);
                continue;
            }
            if (!virtualTime && RunDueEventLocked(lock, now)) continue;
            uint64_t next = NextDeadlineLocked();
            if (virtualTime) {
                // Everything due at this time has run; threads whose time
                // has come resume only now, so they see its effects.
                WakeDueLocked(now);
                if (s.runningThreads == 0) {
                    if (!s.idleWaiters.empty()) {
                        std::vector<KTHREAD*> idle;
                        idle.swap(s.idleWaiters);
                        for (KTHREAD* t : idle) WakeLocked(t);
                        continue;
                    }
                    next = NextDeadlineLocked();
                    if (next != NoDeadline) {
                        if (next > now) g_virtualNow.store(next);
                        continue;
                    }
                }
                ParkLocked(lock);
            } else if (next == NoDeadline) {
                s.contextCv.wait(lock);
            } else {
                s.contextCv.wait_for(lock, std::chrono::nanoseconds(next - now));
            }
        }
    } catch (const KeBugCheckError& e) {
        char text[96];
        std::snprintf(text, sizeof text, "bug check 0x%08X", static_cast<unsigned>(e.code));
        ContextFailed(text);
    } catch (const std::exception& e) {
        ContextFailed(e.what());
    }
}

nt::ClockEventId ScheduleEvent(uint64_t when, std::function<void()> fn, bool inlineSafe)
{
    ClockState& s = S();
    Guard lock(DispatcherLock);
    ClockEventId id = s.nextId++;
    Event& e = s.events[id];
    e.fn = std::move(fn);
    e.when = when;
    e.inlineSafe = inlineSafe;
    s.order.emplace(when, id);
    // A stalling thread that runs events itself sees this one in time; the
    // context is kicked only when it is the one to run it.
    if (!s.inlineBusy) KickContextLocked();
    return id;
}

// Whether 't' may move time itself: the context would move it now, but for
// 't' being counted as running, and would run nothing before.
bool MayMoveTimeLocked(KTHREAD* t)
{
    ClockState& s = S();
    return s.running && !s.stopping && IsVirtual() && s.contextParked && CountedLocked(t) &&
           s.runningThreads == 1 && s.idleWaiters.empty() && !InterruptDeliverableLocked() && !DpcQueuedLocked();
}

// Moves virtual time to 'target' on the stalling thread 't', running the
// events due meanwhile as the context would; false as soon as something
// else must run first (another thread's wait ends, an event that is not
// safe here, an interrupt or DPC an event caused): the caller then blocks
// until 'target' and the context carries on from where this stopped.
bool MoveTimeInlineLocked(Guard& lock, KTHREAD* t, uint64_t target)
{
    ClockState& s = S();
    for (;;) {
        if (!MayMoveTimeLocked(t)) return false;
        uint64_t next = NextDeadlineLocked();
        if (next > target) {
            g_virtualNow.store(target);
            return true;
        }
        if (s.order.empty() || s.order.begin()->first != next) return false;  // a wait ends first
        if (!s.events.at(s.order.begin()->second).inlineSafe) return false;
        s.inlineBusy = true;
        RunDueEventLocked(lock, next);
        s.inlineBusy = false;
    }
}

}  // namespace

namespace ki {

bool ClockRunningLocked() { return S().running; }

void KickContextLocked() { S().contextCv.notify_one(); }

void BlockLocked(Guard& lock, KTHREAD* t, uint64_t deadline)
{
    ClockState& s = S();
    Blocker& b = t->Blocker;
    EnterLocked(t);
    if (deadline != NoDeadline && deadline <= nt::ClockNow()) {
        b.timedOut = true;
        return;
    }
    b.blocked = true;
    b.timedOut = false;
    b.counted = CountedLocked(t);
    if (b.counted) s.runningThreads--;
    if (s.running) {
        bool earliest = false;
        if (deadline != NoDeadline) {
            b.deadline = s.deadlines.emplace(deadline, t);
            b.hasDeadline = true;
            earliest = b.deadline == s.deadlines.begin();
        }
        // The context only cares when time may move (virtual: nobody runs)
        // or when it must wake sooner than it planned (real).
        if (IsVirtual() ? s.runningThreads == 0 : earliest) KickContextLocked();
    }
    while (b.blocked) {
        if (!s.running && deadline != NoDeadline) {
            // No clock to move time: fall back to the host's.
            uint64_t now = nt::ClockNow();
            auto wait = std::chrono::nanoseconds(deadline > now ? deadline - now : 0);
            if (b.cv.wait_for(lock, wait) == std::cv_status::timeout && b.blocked) {
                b.timedOut = true;
                WakeLocked(t);
            }
        } else {
            b.cv.wait(lock);
        }
    }
}

void WakeLocked(KTHREAD* t)
{
    Blocker& b = t->Blocker;
    if (!b.blocked) return;
    b.blocked = false;
    if (b.hasDeadline) {
        S().deadlines.erase(b.deadline);
        b.hasDeadline = false;
    }
    if (b.counted && CountedLocked(t)) S().runningThreads++;
    b.cv.notify_one();
}

void RegisterNewThreadLocked(KTHREAD* t)
{
    ClockState& s = S();
    if (!s.running) return;
    t->ClockEpoch = s.epoch;
    s.runningThreads++;
}

void LeaveLocked(KTHREAD* t)
{
    if (CountedLocked(t) && !t->Blocker.blocked && !t->Blocker.spinning) {
        if (--S().runningThreads == 0) KickContextLocked();
    }
    t->ClockEpoch = 0;
}

ClockEventId ScheduleLocked(uint64_t when, LockedEventRoutine routine, void* arg)
{
    ClockState& s = S();
    ClockEventId id = s.nextId++;
    Event& e = s.events[id];
    e.locked = routine;
    e.arg = arg;
    e.when = when;
    e.inlineSafe = true;
    s.order.emplace(when, id);
    KickContextLocked();
    return id;
}

bool CancelLocked(ClockEventId id)
{
    ClockState& s = S();
    auto it = s.events.find(id);
    if (it == s.events.end()) return false;
    s.order.erase({it->second.when, id});
    s.events.erase(it);
    return true;
}

void StallOnContext(uint64_t ns)
{
    Guard lock(DispatcherLock);
    if (IsVirtual()) {
        uint64_t target = g_virtualNow.load() + ns;
        while (RunDueEventLocked(lock, target)) WakeDueLocked(g_virtualNow.load());
        if (g_virtualNow.load() < target) g_virtualNow.store(target);
        WakeDueLocked(target);
        return;
    }
    uint64_t target = nt::ClockNow() + ns;
    for (;;) {
        uint64_t now = nt::ClockNow();
        WakeDueLocked(now);
        // Only events of the stall's own span: on a host that is behind,
        // later events are due too and would never let the stall end.
        if (RunDueEventLocked(lock, std::min(now, target))) continue;
        if (now >= target) return;
        uint64_t until = std::min(target, NextDeadlineLocked());
        lock.unlock();
        if (until - now > 50000)
            std::this_thread::sleep_for(std::chrono::nanoseconds(until - now));
        else
            std::this_thread::yield();
        lock.lock();
    }
}

void StallThread(KTHREAD* t, uint64_t ns)
{
    Guard lock(DispatcherLock);
    ClockState& s = S();
    if (!s.running) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
        return;
    }
    if (!IsVirtual()) {
        // A stall is a stall: the thread spins on the host's clock, and the
        // context keeps running the board meanwhile.
        lock.unlock();
        int64_t end = SteadyNs() + static_cast<int64_t>(ns);
        for (int64_t left = end - SteadyNs(); left > 0; left = end - SteadyNs()) {
            if (left > 200000)
                std::this_thread::sleep_for(std::chrono::nanoseconds(left - 100000));
            else
                std::this_thread::yield();
        }
        return;
    }
    EnterLocked(t);
    uint64_t deadline = nt::ClockNow() + ns;
    if (MoveTimeInlineLocked(lock, t, deadline)) return;
    // Whatever ran inline may have left the context work it was not kicked for.
    KickContextLocked();
    while (nt::ClockNow() < deadline && s.running) BlockLocked(lock, t, deadline);
}

bool SpinBlockBegin(PKSPIN_LOCK lock)
{
    KTHREAD* t = Current();
    Guard guard(DispatcherLock);
    if (!CountedLocked(t) || t->Blocker.blocked) return false;
    if (t->Blocker.spinning) return true;
    // Paired with the release's store-then-look (ReleaseSpinRaw): either
    // that release sees this spinner and counts it again, or this sees the
    // lock free and the thread stays counted.
    SpinnersUncounted.fetch_add(1, std::memory_order_seq_cst);
    if (__atomic_load_n(lock, __ATOMIC_SEQ_CST) == 0) {
        SpinnersUncounted.fetch_sub(1, std::memory_order_seq_cst);
        return true;
    }
    ClockState& s = S();
    t->Blocker.spinning = true;
    s.spinners.push_back(t);
    if (--s.runningThreads == 0) KickContextLocked();
    return true;
}

void SpinBlockEnd()
{
    KTHREAD* t = Current();
    if (!t->Blocker.spinning) return;  // only this thread sets it
    Guard guard(DispatcherLock);
    if (!t->Blocker.spinning) return;
    ClockState& s = S();
    std::erase(s.spinners, t);
    SpinnersUncounted.fetch_sub(1, std::memory_order_seq_cst);
    t->Blocker.spinning = false;
    if (CountedLocked(t)) s.runningThreads++;
}

void RecountSpinners()
{
    Guard guard(DispatcherLock);
    ClockState& s = S();
    for (KTHREAD* t : s.spinners) {
        t->Blocker.spinning = false;
        if (CountedLocked(t)) s.runningThreads++;
    }
    SpinnersUncounted.fetch_sub(static_cast<int>(s.spinners.size()), std::memory_order_seq_cst);
    s.spinners.clear();
}

void ContextSpinStep()
{
    {
        Guard lock(DispatcherLock);
        ClockState& s = S();
        if (IsVirtual() && s.running && s.runningThreads == 0) {
            uint64_t next = NextDeadlineLocked();
            if (next != NoDeadline) {
                if (!s.order.empty() && s.order.begin()->first == next) {
                    RunDueEventLocked(lock, next);
                } else if (next > g_virtualNow.load()) {
                    g_virtualNow.store(next);
                }
                WakeDueLocked(g_virtualNow.load());
            }
        } else if (!IsVirtual() && s.running) {
            // Real time: the holder of the lock may be in a stall or a timed
            // wait that only this context ends; left asleep it would never
            // release the lock this context spins on.
            WakeDueLocked(nt::ClockNow());
        }
    }
    std::this_thread::yield();
}

uint64_t DeadlineFromTimeout(LONGLONG timeout)
{
    uint64_t now = nt::ClockNow();
    if (timeout == 0) return now;
    if (timeout < 0) {
        uint64_t units = timeout == INT64_MIN ? static_cast<uint64_t>(INT64_MAX) : static_cast<uint64_t>(-timeout);
        if (units > (NoDeadline - 1 - now) / 100) return NoDeadline - 1;
        return now + units * 100;
    }
    LONGLONG boot = BootSystemTime.load(std::memory_order_relaxed);
    if (timeout <= boot) return 0;
    uint64_t units = static_cast<uint64_t>(timeout - boot);
    if (units > (NoDeadline - 1) / 100) return NoDeadline - 1;
    return units * 100;
}

}  // namespace ki

namespace nt {

uint64_t ClockNow()
{
    if (IsVirtual()) return g_virtualNow.load(std::memory_order_relaxed);
    if (!g_running.load(std::memory_order_acquire)) return g_frozenNow.load(std::memory_order_relaxed);
    return static_cast<uint64_t>(SteadyNs() - g_realBase.load(std::memory_order_relaxed));
}

ClockMode ClockGetMode() { return static_cast<ClockMode>(g_mode.load()); }

bool ClockRunning() { return g_running.load(); }

void ClockStart(ClockMode mode)
{
    KTHREAD* self = Current();
    ClockState& s = S();
    Guard lock(DispatcherLock);
    if (s.running) return;
    g_mode.store(static_cast<int>(mode));
    g_virtualNow.store(0);
    ResetRunTimes();
    g_realBase.store(SteadyNs());
    if (mode == ClockMode::Virtual) {
        BootSystemTime.store(VirtualBootSystemTime);
    } else {
        auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        BootSystemTime.store(UnixEpochSystemTime + since1970 / 100);
    }
    s.epoch++;
    s.runningThreads = 0;
    s.stopping = false;
    s.running = true;
    g_running.store(true, std::memory_order_release);
    // The thread that boots the machine is its first machine thread, so
    // time does not run ahead while it sets the machine up.
    EnterLocked(self);
    s.context = std::thread(ContextMain);
}

void ClockStop()
{
    ClockState& s = S();
    Guard lock(DispatcherLock);
    if (!s.running || s.stopping) return;
    s.stopping = true;
    KickContextLocked();
    lock.unlock();
    s.context.join();
    lock.lock();
    g_frozenNow.store(ClockNow());
    s.order.clear();
    s.events.clear();
    ClearDpcQueueLocked();
    // Threads still sleeping on a deadline would never wake without the
    // clock: they time out now.
    while (!s.deadlines.empty()) {
        KTHREAD* t = s.deadlines.begin()->second;
        t->Blocker.timedOut = true;
        WakeLocked(t);
    }
    std::vector<KTHREAD*> idle;
    idle.swap(s.idleWaiters);
    for (KTHREAD* t : idle) WakeLocked(t);
    s.running = false;
    s.runningThreads = 0;
    g_running.store(false, std::memory_order_release);
}

ClockEventId ClockSchedule(uint64_t when, std::function<void()> fn) { return ScheduleEvent(when, std::move(fn), false); }

ClockEventId ClockScheduleHardware(uint64_t when, std::function<void()> fn)
{
    return ScheduleEvent(when, std::move(fn), true);
}

bool ClockCancel(ClockEventId id)
{
    Guard lock(DispatcherLock);
    return CancelLocked(id);
}

void ClockRunFor(uint64_t ns)
{
    if (OnInterruptContext) {
        StallOnContext(ns);
        return;
    }
    KTHREAD* t = Current();
    Guard lock(DispatcherLock);
    uint64_t deadline = ClockNow() + ns;
    while (ClockNow() < deadline) {
        bool wasRunning = S().running;
        BlockLocked(lock, t, deadline);
        if (!wasRunning || !S().running) break;
    }
}

void ClockRunUntilIdle()
{
    if (OnInterruptContext || !IsVirtual()) return;
    KTHREAD* t = Current();
    Guard lock(DispatcherLock);
    if (!S().running) return;
    S().idleWaiters.push_back(t);
    BlockLocked(lock, t, NoDeadline);
}

void ClockEnter()
{
    KTHREAD* t = Current();
    Guard lock(DispatcherLock);
    EnterLocked(t);
}

void ClockLeave()
{
    KTHREAD* t = Current();
    Guard lock(DispatcherLock);
    LeaveLocked(t);
}

void ClockKickInterruptContext()
{
    Guard lock(DispatcherLock);
    KickContextLocked();
}

bool ClockOnInterruptContext() { return OnInterruptContext; }

}  // namespace nt

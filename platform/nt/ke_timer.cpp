// Kernel timers: each inserted timer is one event on the machine clock that
// runs with DispatcherLock held, so a cancel and an expiry never race.
#include <unordered_map>

#include "ke_internal.h"
#include "nt_ex.h"

using namespace ki;

namespace {

// The inserted timers and their clock events (DispatcherLock): a timer
// initialised again while set gets its event cancelled, since the memory
// being initialised cannot be trusted to say whether it was set.
std::unordered_map<PKTIMER, nt::ClockEventId> insertedTimers;

void CheckIrql(PKTIMER timer)
{
    if (CurrentIrql > DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(timer), CurrentIrql, 0, 0);
}

void Expire(void* arg, nt::ClockEventId id)
{
    auto timer = static_cast<PKTIMER>(arg);
    if (!timer->Header.Inserted || timer->TimerId != id) return;
    timer->Header.SignalState = 1;
    WaitTestLocked(&timer->Header);
    if (timer->Period > 0) {
        uint64_t next = timer->DueTime.QuadPart * 100 + static_cast<uint64_t>(timer->Period) * 1000000;
        uint64_t now = nt::ClockNow();
        if (next < now) next = now;
        timer->DueTime.QuadPart = next / 100;
        timer->TimerId = ScheduleLocked(next, Expire, timer);
        insertedTimers[timer] = timer->TimerId;
    } else {
        timer->Header.Inserted = 0;
        insertedTimers.erase(timer);
    }
    if (timer->Dpc) {
        LARGE_INTEGER systemTime;
        KeQuerySystemTime(&systemTime);
        InsertQueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(systemTime.LowPart),
                             reinterpret_cast<PVOID>(systemTime.HighPart));
    }
}

}  // namespace

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    {
        Guard lock(DispatcherLock);
        auto set = insertedTimers.find(timer);
        if (set != insertedTimers.end()) {
            CancelLocked(set->second);
            insertedTimers.erase(set);
        }
    }
    timer->Header.Type = type == SynchronizationTimer ? DispatcherSynchronizationTimer : DispatcherNotificationTimer;
    timer->Header.Absolute = 0;
    timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 0;
    InitializeListHead(&timer->Header.WaitListHead);
    timer->DueTime.QuadPart = 0;
    timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
    timer->Dpc = nullptr;
    timer->Period = 0;
    timer->TimerId = 0;
}

void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc)
{
    CheckIrql(timer);
    if (periodMs < 0) KeBugCheckEx(INVALID_SOFTWARE_INTERRUPT, reinterpret_cast<ULONG_PTR>(timer), periodMs, 0, 0);
    uint64_t when = DeadlineFromTimeout(dueTime.QuadPart);
    Guard lock(DispatcherLock);
    BOOLEAN wasInserted = timer->Header.Inserted;
    if (wasInserted) CancelLocked(timer->TimerId);
    timer->Header.SignalState = 0;
    timer->Header.Absolute = dueTime.QuadPart > 0;
    timer->Dpc = dpc;
    timer->Period = periodMs;
    timer->DueTime.QuadPart = when / 100;
    timer->Header.Inserted = 1;
    timer->TimerId = ScheduleLocked(when, Expire, timer);
    insertedTimers[timer] = timer->TimerId;
    return wasInserted;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeCancelTimer(PKTIMER timer)
{
    CheckIrql(timer);
    Guard lock(DispatcherLock);
    BOOLEAN wasInserted = timer->Header.Inserted;
    if (wasInserted) {
        CancelLocked(timer->TimerId);
        timer->Header.Inserted = 0;
        insertedTimers.erase(timer);
    }
    return wasInserted;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) { return __atomic_load_n(&timer->Header.SignalState, __ATOMIC_SEQ_CST) > 0; }

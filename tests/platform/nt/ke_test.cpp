// Kernel core: dispatcher objects and waits on the virtual clock, DPCs,
// interrupt delivery and KeSynchronizeExecution, timers, threads, user
// APCs, the rules a real kernel bug-checks on, and the sync system calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "tests/support/bugcheck.h"
#include "platform/nt/clock.h"
#include "platform/nt/nt_internal.h"
#include "platform/nt/nt_mm.h"
#include "platform/nt/nt_syscall.h"
#include "platform/nt/nt_zw.h"

namespace {

constexpr LONGLONG kMs = 10000;  // 100 ns units
constexpr uint64_t kNsPerMs = 1000000;

LARGE_INTEGER Relative(LONGLONG units) { return LARGE_INTEGER{.QuadPart = -units}; }



NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero{.QuadPart = 0};
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

class Ke : public ::testing::Test {
protected:
    void SetUp() override
    {
        ObInitialize();
        nt::ClockStart(nt::ClockMode::Virtual);
    }
    void TearDown() override { nt::ClockStop(); }

    // Runs 'body' on a new system thread; the thread object is referenced.
    static PKTHREAD Start(std::function<void()> body)
    {
        auto routine = [](PVOID context) {
            std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(context));
            (*f)();
        };
        HANDLE handle;
        auto f = new std::function<void()>(std::move(body));
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, f),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
        ZwClose(handle);
        return static_cast<PKTHREAD>(thread);
    }
    static void Join(PKTHREAD thread)
    {
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(thread);
    }
    static void Delay(LONGLONG units)
    {
        LARGE_INTEGER interval = Relative(units);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
};

// ---- Waits and the virtual clock ----

TEST_F(Ke, TimedWaitExpiresOnMachineTimeWithoutRealSleeping)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto realStart = std::chrono::steady_clock::now();
    uint64_t start = nt::ClockNow();
    LARGE_INTEGER timeout = Relative(10'000 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(nt::ClockNow() - start, 10'000 * kNsPerMs);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(1));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute{.QuadPart = now.QuadPart + 2000 * kMs};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(nt::ClockNow() - start, 12'000 * kNsPerMs);

    LARGE_INTEGER past{.QuadPart = now.QuadPart - kMs};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_EQ(nt::ClockNow() - start, 12'000 * kNsPerMs) << "a deadline already passed costs no time";
}

TEST_F(Ke, SignalBeforeTheTimeOutEndsTheWaitAtTheSignalsTime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    uint64_t start = nt::ClockNow();
    PKTHREAD setter = Start([&] {
        Delay(3000 * kMs);
        KeSetEvent(&event, 0, FALSE);
    });
    LARGE_INTEGER timeout = Relative(10'000 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(nt::ClockNow() - start, 3000 * kNsPerMs);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets on the wait it satisfies";
    Join(setter);
}

// Two threads hand a token back and forth with short time-outs. If a woken
// thread were not counted as running before the clock looked, the clock
// would jump to a time-out and some wait would fail.
TEST_F(Ke, WakesNeverLetTheClockJumpPastRunnableThreads)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<int> timeouts{0};
    constexpr int kRounds = 2000;
    auto player = [&](PKEVENT mine, PKEVENT other, bool serve) {
        return [&, mine, other, serve] {
            if (serve) KeSetEvent(other, 0, FALSE);
            for (int i = 0; i < kRounds; i++) {
                LARGE_INTEGER timeout = Relative(kMs);
                if (KeWaitForSingleObject(mine, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) timeouts++;
                if (!serve || i + 1 < kRounds) KeSetEvent(other, 0, FALSE);
            }
        };
    };
    uint64_t start = nt::ClockNow();
    PKTHREAD a = Start(player(&ping, &pong, true));
    PKTHREAD b = Start(player(&pong, &ping, false));
    Join(a);
    Join(b);
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_EQ(nt::ClockNow(), start);
}

// ---- Spin locks and the virtual clock ----

// Keeps the calling host thread busy for a while of real time, as slow code
// would, without touching the machine clock.
void BusyRealTime(std::chrono::microseconds span)
{
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) __builtin_ia32_pause();
}

void StallLoop(std::atomic<bool>* stop)
{
    while (!*stop) KeStallExecutionProcessor(290);
}

// A field interrupt's DPC releases the waiters of this field while it holds
// their lock, then keeps the lock a while; a released waiter comes back for
// the next field and finds the lock still held.
struct FieldSource {
    KSPIN_LOCK lock = 0;
    KSEMAPHORE ready;
    ULONG waiters = 0;
    ULONG field = 0;
    KTIMER timer;
    KDPC dpc;
};

void FieldDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto f = static_cast<FieldSource*>(context);
    KeAcquireSpinLockAtDpcLevel(&f->lock);
    f->field++;
    if (f->waiters) KeReleaseSemaphore(&f->ready, 0, static_cast<LONG>(f->waiters), FALSE);
    f->waiters = 0;
    BusyRealTime(std::chrono::microseconds(300));
    KeReleaseSpinLockFromDpcLevel(&f->lock);
}

// A thread spinning on a held lock stops counting as running, or a holder
// stalling with the lock would stop time for good. Once the lock is free the
// spinner must count again before anything can move time: otherwise the
// clock runs on (by fields) while the spinner has not yet been scheduled,
// and it wakes that much late.
TEST_F(Ke, ASpinnerTakesTheLockWhenItIsReleasedAndTheClockWaitsForIt)
{
    constexpr LONGLONG kFieldPeriodMs = 20;
    constexpr int kFields = 60;
    struct Case {
        const char* name;
        bool stallingBystander;  // another thread keeps stalling meanwhile
    };
    for (const Case& c : {Case{"alone", false}, Case{"beside a stalling thread", true}}) {
        SCOPED_TRACE(c.name);
        FieldSource f;
        KeInitializeSemaphore(&f.ready, 0, 8);
        KeInitializeDpc(&f.dpc, FieldDpc, &f);
        KeInitializeTimerEx(&f.timer, NotificationTimer);
        std::atomic<bool> stop{false};
        PKTHREAD bystander = c.stallingBystander ? Start([&] { StallLoop(&stop); }) : nullptr;
        uint64_t start = nt::ClockNow();
        KeSetTimerEx(&f.timer, Relative(kFieldPeriodMs * kMs), kFieldPeriodMs, &f.dpc);

        int late = 0;
        NTSTATUS status = STATUS_SUCCESS;
        for (int i = 0; i < kFields && status == STATUS_SUCCESS; i++) {
            KIRQL old;
            KeAcquireSpinLock(&f.lock, &old);
            ULONG field = f.field;
            f.waiters++;
            KeReleaseSpinLock(&f.lock, old);
            LARGE_INTEGER timeout = Relative(100 * kFieldPeriodMs * kMs);
            status = KeWaitForSingleObject(&f.ready, Executive, KernelMode, FALSE, &timeout);
            if (field != static_cast<ULONG>(i) ||
                nt::ClockNow() - start != static_cast<uint64_t>(i + 1) * kFieldPeriodMs * kNsPerMs)
                late++;
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(late, 0) << "waits that missed their field";
        KeCancelTimer(&f.timer);
        KeFlushQueuedDpcs();
        stop = true;
        if (bystander) Join(bystander);
    }

    // Thread against thread: the holder stalls with the lock held, lets it
    // go and stalls again without it; the spinner, come while it was held,
    // gets it at the release.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT held;
    KeInitializeEvent(&held, SynchronizationEvent, FALSE);
    std::atomic<bool> stop{false};
    uint64_t released = 0;
    PKTHREAD holder = Start([&] {
        while (!stop) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeSetEvent(&held, 0, FALSE);
            KeStallExecutionProcessor(100);
            released = nt::ClockNow();
            KeReleaseSpinLock(&lock, old);
            KeStallExecutionProcessor(290);
        }
    });
    int late = 0;
    for (int i = 0; i < 200; i++) {
        KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        if (nt::ClockNow() != released) late++;
        KeReleaseSpinLock(&lock, old);
    }
    stop = true;
    Join(holder);
    EXPECT_EQ(late, 0) << "acquisitions after the clock had moved past the release";
}

TEST_F(Ke, WaitAnyTakesTheFirstSignalledAndWaitAllTakesAllOrNothing)
{
    KEVENT a, b;
    KSEMAPHORE c;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, TRUE);
    KeInitializeSemaphore(&c, 1, 5);
    PVOID objects[] = {&a, &b, &c};
    LARGE_INTEGER zero{.QuadPart = 0};

    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&c), 1) << "a WaitAll that is not satisfied takes nothing";

    // Blocking WaitAll ends when the last object is signalled.
    KeResetEvent(&b);
    uint64_t start = nt::ClockNow();
    PKTHREAD setter = Start([&] {
        Delay(1 * kMs);
        KeSetEvent(&a, 0, FALSE);
        Delay(1 * kMs);
        KeSetEvent(&b, 0, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(nt::ClockNow() - start, 2 * kNsPerMs);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 1);
    EXPECT_EQ(KeReadStateSemaphore(&c), 0);
    Join(setter);

    // More objects than the thread's own wait blocks need an array.
    KEVENT many[5];
    PVOID manyObjects[5];
    KWAIT_BLOCK blocks[5];
    for (int i = 0; i < 5; i++) {
        KeInitializeEvent(&many[i], NotificationEvent, i == 4);
        manyObjects[i] = &many[i];
    }
    EXPECT_EQ(KeWaitForMultipleObjects(5, manyObjects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_WAIT_0 + 4);
    EXPECT_EQ(BugCheckOf([&] {
                  KeWaitForMultipleObjects(5, manyObjects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr);
              }),
              ULONG{MAXIMUM_WAIT_OBJECTS_EXCEEDED});
}

TEST_F(Ke, PulseWakesEveryWaiterAndLeavesTheEventReset)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 3; i++)
        threads.push_back(Start([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) woken++;
        }));
    nt::ClockRunUntilIdle();
    EXPECT_EQ(KePulseEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    for (PKTHREAD t : threads) Join(t);
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(Ke, SemaphoreCountsAndRaisesPastItsLimit)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 1);
    EXPECT_EQ(SehTry([&] { KeReleaseSemaphore(&semaphore, 0, 1, FALSE); }), STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2) << "a refused release changes nothing";
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);

    // A release wakes as many waiters as it adds.
    std::atomic<int> acquired{0};
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 3; i++)
        threads.push_back(Start([&] {
            LARGE_INTEGER timeout = Relative(100 * kMs);
            if (KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
                acquired++;
        }));
    nt::ClockRunUntilIdle();
    KeReleaseSemaphore(&semaphore, 0, 2, FALSE);
    for (PKTHREAD t : threads) Join(t);
    EXPECT_EQ(acquired.load(), 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST_F(Ke, MutexesRecurseBelongToOneThreadAndAreAbandonedWhenItEnds)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(Poll(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -2);
    PKTHREAD other = Start([&] { EXPECT_EQ(Poll(&mutex), STATUS_TIMEOUT) << "owned by the main thread"; });
    Join(other);
    for (int i = 0; i < 3; i++) KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(BugCheckOf([&] { KeReleaseMutex(&mutex, FALSE); }), ULONG{THREAD_NOT_MUTEX_OWNER});

    KMUTANT mutant;
    KeInitializeMutant(&mutant, FALSE);
    PKTHREAD owner = Start([&] { EXPECT_EQ(Poll(&mutant), STATUS_SUCCESS); });
    Join(owner);
    LONG previous = 0;
    EXPECT_EQ(KeReleaseMutant(&mutant, &previous), STATUS_MUTANT_NOT_OWNED);
    EXPECT_EQ(Poll(&mutant), STATUS_ABANDONED_WAIT_0) << "its owner ended holding it";
    EXPECT_EQ(Poll(&mutant), STATUS_SUCCESS) << "abandonment is reported once";
    EXPECT_EQ(KeReleaseMutant(&mutant, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, -1);
    EXPECT_EQ(KeReleaseMutant(&mutant, &previous), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutant), 1);
}

TEST_F(Ke, RuleBreachesStopTheMachine)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LARGE_INTEGER zero{.QuadPart = 0}, second = Relative(1000 * kMs);
    struct Case {
        const char* what;
        std::function<void()> breach;
        ULONG code;
    } cases[] = {
        {"wait forever at DISPATCH_LEVEL",
         [&] { AtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"timed wait at DISPATCH_LEVEL",
         [&] { AtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &second); }); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"delay at DISPATCH_LEVEL",
         [&] { AtIrql(DISPATCH_LEVEL, [&] { KeDelayExecutionThread(KernelMode, FALSE, &second); }); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"release of a lock not held", [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }, SPIN_LOCK_NOT_OWNED},
        {"KeAcquireSpinLock above DISPATCH_LEVEL",
         [&] {
             AtIrql(PROFILE_LEVEL, [&] {
                 KIRQL old;
                 KeAcquireSpinLock(&lock, &old);
             });
         },
         IRQL_NOT_GREATER_OR_EQUAL},
        {"spin lock taken twice by one thread",
         [&] {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             struct Release {
                 PKSPIN_LOCK l;
                 KIRQL old;
                 ~Release() { KeReleaseSpinLock(l, old); }
             } release{&lock, old};
             KeAcquireSpinLockAtDpcLevel(&lock);
         },
         SPIN_LOCK_ALREADY_OWNED},
        {"lowering IRQL by raising", [&] { AtIrql(DISPATCH_LEVEL, [] { KIRQL old; KeRaiseIrql(APC_LEVEL, &old); }); },
         IRQL_NOT_GREATER_OR_EQUAL},
    };
    for (auto& c : cases) {
        EXPECT_EQ(BugCheckOf(c.breach), c.code) << c.what;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.what;
    }
    AtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT); });
    EXPECT_EQ(lock, 0u);
}

// ---- DPCs ----

struct DpcLog {
    std::atomic<int> runs{0};
    std::atomic<bool> onContextAtDispatch{true};
    std::vector<int> order;
};

void CountDpc(PKDPC, PVOID context, PVOID arg1, PVOID)
{
    auto log = static_cast<DpcLog*>(context);
    if (!nt::ClockOnInterruptContext() || KeGetCurrentIrql() != DISPATCH_LEVEL) log->onContextAtDispatch = false;
    log->order.push_back(static_cast<int>(reinterpret_cast<ULONG_PTR>(arg1)));
    log->runs++;
}

TEST_F(Ke, DpcQueuedTwiceRunsOnceInQueueOrderOnTheInterruptContext)
{
    DpcLog log;
    KDPC first, second, removed;
    KeInitializeDpc(&first, CountDpc, &log);
    KeInitializeDpc(&second, CountDpc, &log);
    KeInitializeDpc(&removed, CountDpc, &log);
    // Queued from the interrupt context, as a driver's ISR queues them: no
    // DPC runs before that code returns.
    nt::ClockSchedule(nt::ClockNow(), [&] {
        EXPECT_TRUE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(1), nullptr));
        EXPECT_TRUE(KeInsertQueueDpc(&removed, reinterpret_cast<PVOID>(3), nullptr));
        EXPECT_TRUE(KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(2), nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(9), nullptr)) << "already queued";
        EXPECT_TRUE(KeRemoveQueueDpc(&removed));
        EXPECT_FALSE(KeRemoveQueueDpc(&removed));
    });
    nt::ClockRunUntilIdle();
    EXPECT_EQ(log.runs.load(), 2);
    EXPECT_EQ(log.order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(log.onContextAtDispatch.load());
    EXPECT_TRUE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(4), nullptr)) << "queueable again once run";
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.runs.load(), 3);
}

// ---- Timers ----

TEST_F(Ke, PeriodicTimerQueuesItsDpcEachPeriodUntilCancelled)
{
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &log);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    EXPECT_FALSE(KeSetTimerEx(&timer, Relative(10 * kMs), 10, &dpc));
    nt::ClockRunFor(35 * kNsPerMs);
    EXPECT_EQ(log.runs.load(), 3);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer));
    nt::ClockRunFor(50 * kNsPerMs);
    EXPECT_EQ(log.runs.load(), 3);
    EXPECT_FALSE(KeCancelTimer(&timer));

    // A synchronization timer satisfies one wait, at its due time.
    KTIMER oneShot;
    KeInitializeTimerEx(&oneShot, SynchronizationTimer);
    uint64_t start = nt::ClockNow();
    KeSetTimer(&oneShot, Relative(5 * kMs), nullptr);
    EXPECT_TRUE(KeSetTimer(&oneShot, Relative(7 * kMs), nullptr)) << "setting again replaces the due time";
    EXPECT_EQ(KeWaitForSingleObject(&oneShot, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(nt::ClockNow() - start, 7 * kNsPerMs);
    EXPECT_FALSE(KeReadStateTimer(&oneShot));
}

// A timer initialised again while set leaves nothing behind on the clock:
// whatever its memory holds next, the old due time neither signals it nor
// queues its DPC.
TEST_F(Ke, InitialisingASetTimerAgainCancelsItsDueTime)
{
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &log);
    alignas(KTIMER) unsigned char storage[sizeof(KTIMER)];
    auto* timer = reinterpret_cast<PKTIMER>(storage);
    KeInitializeTimerEx(timer, NotificationTimer);
    KeSetTimer(timer, Relative(10 * kMs), &dpc);
    unsigned char whileSet[sizeof storage];
    std::memcpy(whileSet, storage, sizeof storage);
    KeInitializeTimerEx(timer, NotificationTimer);
    // The memory passes to other data that happens to hold the same bytes.
    std::memcpy(storage, whileSet, sizeof storage);
    nt::ClockRunFor(20 * kNsPerMs);
    EXPECT_EQ(log.runs.load(), 0);
    EXPECT_EQ(std::memcmp(storage, whileSet, sizeof storage), 0);
}

// ---- Interrupts ----

// A device with a line: 'reasons' interrupt conditions pending; the ISR
// clears one per call and drops the line when none are left.
struct Device {
    explicit Device(ULONG v) : vector(v) {}
    ULONG vector;
    PKINTERRUPT interrupt = nullptr;
    std::atomic<int> reasons{0};
    std::atomic<int> isrCalls{0};
    std::atomic<bool> claims{true};
    std::atomic<bool> insideSync{false};
    std::atomic<bool> overlapped{false};
    std::atomic<KIRQL> isrIrql{0};
    bool dropsLine = true;
    KDPC dpc;
    KEVENT done;
};

BOOLEAN DeviceIsr(PKINTERRUPT, PVOID context)
{
    auto d = static_cast<Device*>(context);
    d->isrCalls++;
    d->isrIrql = KeGetCurrentIrql();
    if (d->insideSync) d->overlapped = true;
    if (!d->claims || d->reasons == 0) return FALSE;
    if (--d->reasons == 0 && d->dropsLine) KiSetInterruptLine(d->vector, false);
    KeInsertQueueDpc(&d->dpc, nullptr, nullptr);
    return TRUE;
}

void DeviceDpc(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&static_cast<Device*>(context)->done, 0, FALSE); }

void Connect(Device& d, KINTERRUPT_MODE mode, BOOLEAN shared = FALSE)
{
    KeInitializeDpc(&d.dpc, DeviceDpc, &d);
    KeInitializeEvent(&d.done, SynchronizationEvent, FALSE);
    ASSERT_EQ(IoConnectInterrupt(&d.interrupt, DeviceIsr, &d, nullptr, d.vector, 5, 6, mode, shared, 1, FALSE),
              STATUS_SUCCESS);
}

TEST_F(Ke, LevelLineIsServicedUntilItDropsAndLatchedOncePerEdge)
{
    Device level(0x31);
    Connect(level, LevelSensitive);
    level.reasons = 3;
    KiSetInterruptLine(level.vector, true);
    EXPECT_EQ(KeWaitForSingleObject(&level.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(level.isrCalls.load(), 3);
    EXPECT_EQ(level.isrIrql.load(), 6) << "the routine runs at the synchronize IRQL";
    IoDisconnectInterrupt(level.interrupt);

    Device latched(0x32);
    latched.dropsLine = false;  // the edge is what counts
    Connect(latched, Latched);
    latched.reasons = 3;
    KiSetInterruptLine(latched.vector, true);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(latched.isrCalls.load(), 1);
    KiSetInterruptLine(latched.vector, true);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(latched.isrCalls.load(), 1) << "a line held high is no new edge";
    KiSetInterruptLine(latched.vector, false);
    KiSetInterruptLine(latched.vector, true);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(latched.isrCalls.load(), 2);
    KiSetInterruptLine(latched.vector, false);
    IoDisconnectInterrupt(latched.interrupt);
}

TEST_F(Ke, SharedVectorChainsRoutinesAndAnUnclaimedLevelLineDoesNotHang)
{
    Device a(0x33), b(0x33);
    Connect(a, LevelSensitive, TRUE);
    Connect(b, LevelSensitive, TRUE);
    PKINTERRUPT exclusive = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&exclusive, DeviceIsr, &a, nullptr, 0x33, 5, 6, LevelSensitive, FALSE, 1, FALSE),
              STATUS_INVALID_PARAMETER);
    b.reasons = 1;
    KiSetInterruptLine(0x33, true);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(a.isrCalls.load(), 1) << "asked first, declined";
    EXPECT_EQ(b.isrCalls.load(), 1);

    // Nobody claims a held line: delivered once, then left alone.
    a.claims = b.claims = false;
    a.reasons = 1;
    KiSetInterruptLine(0x33, true);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(a.isrCalls.load(), 2);
    EXPECT_EQ(b.isrCalls.load(), 2);
    KiSetInterruptLine(0x33, false);
    IoDisconnectInterrupt(a.interrupt);
    IoDisconnectInterrupt(b.interrupt);
}

// What the kernel charges to an interrupt vector: its service routines, the
// DPCs they queue and the DPCs those queue; a timer's DPC is charged to no
// vector (vector 0).
struct ChargedDevice {
    KDPC first, second;
    std::atomic<int> seconds{0};
};

void SpinHostMicroseconds(int us)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < end) {
    }
}

BOOLEAN ChargedIsr(PKINTERRUPT, PVOID context)
{
    auto d = static_cast<ChargedDevice*>(context);
    KiSetInterruptLine(0x35, false);
    SpinHostMicroseconds(300);
    KeInsertQueueDpc(&d->first, nullptr, nullptr);
    return TRUE;
}

void ChargedFirstDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeInsertQueueDpc(&static_cast<ChargedDevice*>(context)->second, nullptr, nullptr);
}

void ChargedSecondDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    SpinHostMicroseconds(200);
    static_cast<ChargedDevice*>(context)->seconds++;
}

std::vector<SYSTEM_INTERRUPT_RUN_TIME> ReadRunTimes()
{
    std::vector<SYSTEM_INTERRUPT_RUN_TIME> records(16);
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemInterruptRunTimeInformation, records.data(),
                                       ULONG(records.size() * sizeof(records[0])), &needed),
              STATUS_SUCCESS);
    records.resize(needed / sizeof(records[0]));
    return records;
}

TEST_F(Ke, InterruptContextRunTimeIsChargedToTheVectorThatCausedIt)
{
    ChargedDevice device;
    KeInitializeDpc(&device.first, ChargedFirstDpc, &device);
    KeInitializeDpc(&device.second, ChargedSecondDpc, &device);
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, ChargedIsr, &device, nullptr, 0x35, 5, 6, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    DpcLog log;
    KDPC timerDpc;
    KeInitializeDpc(&timerDpc, CountDpc, &log);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeSetTimerEx(&timer, Relative(10 * kMs), 10, &timerDpc);
    for (int i = 0; i < 3; i++) {
        KiSetInterruptLine(0x35, true);
        nt::ClockRunUntilIdle();
    }
    nt::ClockRunFor(25 * kNsPerMs);
    KeCancelTimer(&timer);
    ASSERT_EQ(device.seconds.load(), 3);
    ASSERT_EQ(log.runs.load(), 2);

    std::vector<SYSTEM_INTERRUPT_RUN_TIME> records = ReadRunTimes();
    ASSERT_EQ(records.size(), 2u) << "the timer's DPCs and the one vector";
    EXPECT_EQ(records[0].Vector, 0u);
    EXPECT_EQ(records[0].Interrupts, 0u);
    EXPECT_EQ(records[0].Dpcs, 2u);
    EXPECT_EQ(records[1].Vector, 0x35u);
    EXPECT_EQ(records[1].Interrupts, 3u);
    EXPECT_EQ(records[1].Dpcs, 6u) << "both DPCs of each interrupt, the chained one too";
    EXPECT_GE(records[1].InterruptNs, 3 * 300000u);
    EXPECT_GE(records[1].DpcNs, 3 * 200000u);

    // Too short a buffer: the length needed, nothing written.
    SYSTEM_INTERRUPT_RUN_TIME one{};
    one.Vector = 0xABCD;
    ULONG needed = 0;
    EXPECT_EQ(NtQuerySystemInformation(SystemInterruptRunTimeInformation, &one, sizeof one, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, 2 * sizeof one);
    EXPECT_EQ(one.Vector, 0xABCDu);
    EXPECT_EQ(NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(7), &one, sizeof one, &needed),
              STATUS_INVALID_INFO_CLASS);

    // A new machine starts its accounts afresh.
    IoDisconnectInterrupt(interrupt);
    nt::ClockStop();
    nt::ClockStart(nt::ClockMode::Virtual);
    EXPECT_TRUE(ReadRunTimes().empty());
}

struct SyncContext {
    Device* device;
    uint64_t stallStart, stallEnd;
};

BOOLEAN RaiseAndStall(PVOID context)
{
    auto c = static_cast<SyncContext*>(context);
    c->device->insideSync = true;
    c->device->reasons = 1;
    KiSetInterruptLine(c->device->vector, true);
    c->stallStart = nt::ClockNow();
    KeStallExecutionProcessor(50);
    c->stallEnd = nt::ClockNow();
    c->device->insideSync = false;
    return TRUE;
}

TEST_F(Ke, SynchronizeExecutionExcludesTheServiceRoutineAndItRunsAfterwards)
{
    Device d(0x34);
    Connect(d, LevelSensitive);
    SyncContext c{&d, 0, 0};
    EXPECT_TRUE(KeSynchronizeExecution(d.interrupt, RaiseAndStall, &c));
    EXPECT_EQ(c.stallEnd - c.stallStart, 50'000u) << "the stall passed on the machine clock";
    EXPECT_EQ(KeWaitForSingleObject(&d.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(d.isrCalls.load(), 1);
    EXPECT_FALSE(d.overlapped.load());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoDisconnectInterrupt(d.interrupt);
}

struct StallingIsr {
    std::vector<std::pair<const char*, uint64_t>> seen;
};

BOOLEAN StallInIsr(PKINTERRUPT, PVOID context)
{
    auto s = static_cast<StallingIsr*>(context);
    s->seen.push_back({"isr start", nt::ClockNow()});
    KeStallExecutionProcessor(1000);
    s->seen.push_back({"isr end", nt::ClockNow()});
    KiSetInterruptLine(0x35, false);
    return TRUE;
}

TEST_F(Ke, StallInsideAnInterruptRoutineRunsDueHardwareEventsInline)
{
    StallingIsr s;
    PKINTERRUPT in;
    ASSERT_EQ(IoConnectInterrupt(&in, StallInIsr, &s, nullptr, 0x35, 5, 5, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    uint64_t start = nt::ClockNow();
    nt::ClockSchedule(start + 400'000, [&] { s.seen.push_back({"event", nt::ClockNow()}); });
    KiSetInterruptLine(0x35, true);
    nt::ClockRunUntilIdle();
    ASSERT_EQ(s.seen.size(), 3u);
    EXPECT_STREQ(s.seen[0].first, "isr start");
    EXPECT_STREQ(s.seen[1].first, "event");
    EXPECT_EQ(s.seen[1].second, start + 400'000);
    EXPECT_STREQ(s.seen[2].first, "isr end");
    EXPECT_EQ(s.seen[2].second, start + 1'000'000);
    IoDisconnectInterrupt(in);
}

// ---- Threads and APCs ----

TEST_F(Ke, SystemThreadEndsByReturnOrTerminationAndSignalsItsObject)
{
    std::atomic<bool> afterTerminate{false};
    PKTHREAD t = Start([&] {
        [] { PsTerminateSystemThread(STATUS_CANCELLED); }();
        afterTerminate = true;
    });
    HANDLE id = nullptr;
    PKTHREAD probe = Start([&] { id = PsGetCurrentThreadId(); });
    Join(probe);
    EXPECT_NE(id, nullptr);
    EXPECT_NE(id, PsGetCurrentThreadId());
    EXPECT_EQ(KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PsGetThreadExitStatus(t), STATUS_CANCELLED);
    EXPECT_FALSE(afterTerminate.load());
    EXPECT_EQ(PsGetThreadProcess(t), PsInitialSystemProcess);
    ObDereferenceObject(t);
}

struct ApcLog {
    std::atomic<int> runs{0};
    std::atomic<PKTHREAD> ranOn{nullptr};
};

void RecordApc(PVOID context, PVOID, PVOID)
{
    auto log = static_cast<ApcLog*>(context);
    log->ranOn = KeGetCurrentThread();
    log->runs++;
}

TEST_F(Ke, UserApcsRunOnlyInAlertableUserWaitsOfTheirThread)
{
    struct Shared {
        KEVENT event;
        NTSTATUS alertable = 0, plain = 0;
        ApcLog log;
    } shared;
    KeInitializeEvent(&shared.event, NotificationEvent, FALSE);
    auto routine = [](PVOID context) -> ULONG {
        auto s = static_cast<Shared*>(context);
        s->alertable = KeWaitForSingleObject(&s->event, UserRequest, UserMode, TRUE, nullptr);
        s->plain = KeWaitForSingleObject(&s->event, UserRequest, UserMode, FALSE, nullptr);
        KeDeliverUserApcs();
        return 7;
    };
    HANDLE handle;
    ASSERT_EQ(PsCreateUserThread(PsGetDefaultUserProcess(), routine, &shared, &handle, nullptr, TRUE),
              STATUS_SUCCESS);
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    auto t = static_cast<PKTHREAD>(object);
    nt::ClockRunUntilIdle();
    EXPECT_EQ(PsGetThreadExitStatus(t), STATUS_PENDING) << "created suspended";
    PsResumeThread(t);
    nt::ClockRunUntilIdle();
    EXPECT_TRUE(KeQueueUserApc(t, RecordApc, &shared.log, nullptr, nullptr));
    nt::ClockRunUntilIdle();
    EXPECT_EQ(shared.alertable, STATUS_USER_APC);
    EXPECT_EQ(shared.log.runs.load(), 1);
    EXPECT_EQ(shared.log.ranOn.load(), t);

    // Now in the non-alertable wait: the APC waits for the thread.
    EXPECT_TRUE(KeQueueUserApc(t, RecordApc, &shared.log, nullptr, nullptr));
    nt::ClockRunUntilIdle();
    EXPECT_EQ(shared.log.runs.load(), 1);
    KeSetEvent(&shared.event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(shared.plain, STATUS_SUCCESS);
    EXPECT_EQ(shared.log.runs.load(), 2);
    EXPECT_EQ(PsGetThreadExitStatus(t), 7);
    EXPECT_FALSE(KeQueueUserApc(t, RecordApc, &shared.log, nullptr, nullptr)) << "the thread has ended";
    ObDereferenceObject(t);
    ZwClose(handle);
}

// ---- The system-call seam ----

TEST_F(Ke, ADriversNamedEventIsTheObjectUserModeOpensByName)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\Zar0Test.StartEvent");
    HANDLE kernelHandle = nullptr, again = nullptr;
    PKEVENT event = IoCreateNotificationEvent(&name, &kernelHandle);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS) << "a new notification event starts signalled";
    KeClearEvent(event);
    EXPECT_EQ(IoCreateNotificationEvent(&name, &again), event) << "an existing event is opened as it is";
    EXPECT_EQ(Poll(event), STATUS_TIMEOUT);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
    HANDLE user = nullptr;
    ASSERT_EQ(NtOpenEvent(&user, EVENT_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(NtSetEvent(user, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS) << "user mode's set reaches the driver's object";
    LARGE_INTEGER zero{.QuadPart = 0};
    EXPECT_EQ(NtWaitForSingleObject(kernelHandle, FALSE, &zero), STATUS_INVALID_HANDLE)
        << "the driver's handle is a kernel handle, not the caller's";
    NtClose(user);
    ZwClose(again);
    ZwClose(kernelHandle);
    EXPECT_EQ(NtOpenEvent(&user, EVENT_ALL_ACCESS, &attributes), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the name goes with the last handle";

    UNICODE_STRING syncName = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\ZarTestSync");
    PKEVENT sync = IoCreateSynchronizationEvent(&syncName, &kernelHandle);
    ASSERT_NE(sync, nullptr);
    EXPECT_EQ(Poll(sync), STATUS_SUCCESS);
    EXPECT_EQ(Poll(sync), STATUS_TIMEOUT) << "a synchronization event resets as a wait takes it";
    ZwClose(kernelHandle);

    UNICODE_STRING noParent = RTL_CONSTANT_STRING(u"\\NoSuchDirectory\\Event");
    EXPECT_EQ(IoCreateNotificationEvent(&noParent, &kernelHandle), nullptr);
    EXPECT_EQ(kernelHandle, nullptr);
    InitializeObjectAttributes(&attributes, &noParent, 0, nullptr, nullptr);
    EXPECT_EQ(ZwOpenEvent(&kernelHandle, EVENT_ALL_ACCESS, &attributes), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(Ke, NamedObjectsThroughTheSystemCalls)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\KeTestEvent");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_OPENIF, nullptr, nullptr);
    HANDLE created, opened, again;
    ASSERT_EQ(NtCreateEvent(&created, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(NtCreateEvent(&again, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE),
              STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(NtOpenEvent(&opened, EVENT_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    LARGE_INTEGER zero{.QuadPart = 0};
    EXPECT_EQ(NtWaitForSingleObject(created, FALSE, &zero), STATUS_TIMEOUT);
    LONG previous = -1;
    EXPECT_EQ(NtSetEvent(opened, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(NtWaitForSingleObject(again, FALSE, &zero), STATUS_SUCCESS) << "one object behind three handles";

    HANDLE semaphore, mutant;
    ASSERT_EQ(NtCreateSemaphore(&semaphore, SEMAPHORE_ALL_ACCESS, nullptr, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(NtReleaseSemaphore(semaphore, 1, &previous), STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    EXPECT_EQ(NtCreateSemaphore(&again, SEMAPHORE_ALL_ACCESS, nullptr, 2, 1), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(NtCreateMutant(&mutant, MUTANT_ALL_ACCESS, nullptr, TRUE), STATUS_SUCCESS);
    HANDLE all[] = {created, semaphore, mutant};
    EXPECT_EQ(NtWaitForMultipleObjects(3, all, WaitAll, FALSE, &zero), STATUS_WAIT_0);
    HANDLE twice[] = {semaphore, semaphore};
    EXPECT_EQ(NtWaitForMultipleObjects(2, twice, WaitAll, FALSE, &zero), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(NtReleaseMutant(mutant, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, -1) << "owned twice: at creation and by the wait";
    EXPECT_EQ(NtReleaseMutant(mutant, &previous), STATUS_SUCCESS);
    EXPECT_EQ(NtReleaseMutant(mutant, &previous), STATUS_MUTANT_NOT_OWNED);
    EXPECT_EQ(NtSetEvent(semaphore, nullptr), STATUS_OBJECT_TYPE_MISMATCH);

    HANDLE thread;
    auto routine = [](PVOID) -> ULONG { return 42; };
    ASSERT_EQ(NtCreateUserThread(&thread, routine, nullptr, TRUE, nullptr), STATUS_SUCCESS);
    ULONG code = 0, count = 9;
    EXPECT_EQ(NtGetExitCodeThread(thread, &code), STATUS_SUCCESS);
    EXPECT_EQ(code, ULONG(STATUS_PENDING)) << "still active";
    EXPECT_EQ(NtResumeThread(thread, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(NtWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(NtGetExitCodeThread(thread, &code), STATUS_SUCCESS);
    EXPECT_EQ(code, 42u);

    for (HANDLE h : {created, opened, again, semaphore, mutant, thread}) NtClose(h);
}

}  // namespace

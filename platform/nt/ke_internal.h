// Kernel core internals shared by the Ke modules and the machine clock: the
// thread record, interrupt objects, and the dispatcher lock with the calls
// that must run under it. Other kernel modules may read a KTHREAD's fields
// documented as theirs; drivers never include this file.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "clock.h"
#include "nt_internal.h"

namespace ki {

// One lock guards the dispatcher database (signal states, wait lists, user
// APC queues, the DPC queue, interrupt lines) and the clock (time, events,
// blocked threads, the count of running machine threads). A wake therefore
// makes the woken thread count as running before the clock can decide that
// every thread is blocked and move time. No driver code runs while it is
// held, and no spin lock is acquired under it.
extern std::mutex DispatcherLock;
using Guard = std::unique_lock<std::mutex>;

inline constexpr uint64_t NoDeadline = UINT64_MAX;

struct UserApc {
    PKUSER_APC_ROUTINE routine;
    PVOID context, arg1, arg2;
};

// How a host thread sleeps in the kernel (DispatcherLock).
struct Blocker {
    std::condition_variable cv;
    bool blocked = false;   // asleep; cleared only by WakeLocked
    bool timedOut = false;  // the clock passed its deadline
    bool counted = false;   // it was counted as running when it blocked
    // Uncounted while spinning on a held lock. Set only by the thread
    // itself; cleared by it or by a lock release that counts it again, so
    // the spinner may read it without the lock.
    std::atomic<bool> spinning{false};
    bool hasDeadline = false;
    std::multimap<uint64_t, KTHREAD*>::iterator deadline;
};

}  // namespace ki

// A thread: an object of PsThreadType whose body starts with its dispatcher
// header, signalled when the thread ends. Host threads the kernel did not
// create get one at their first kernel call ("adopted").
struct KTHREAD {
    DISPATCHER_HEADER Header;
    CLIENT_ID Cid;  // the process is kept by PsGetThreadProcess/PsSetThreadProcess
    KPRIORITY Priority;
    LONG BasePriorityIncrement;
    NTSTATUS ExitStatus;
    BOOLEAN Terminated;
    BOOLEAN SystemThread;
    BOOLEAN UserThread;
    BOOLEAN Adopted;
    BOOLEAN ObjectBacked;  // the body was made by ObCreateObject
    BOOLEAN StartPending;  // created suspended, not yet resumed
    ULONG SuspendCount;
    // A running thread suspended (NtSuspendThread) stops at its next safe
    // point (ki::SafePointLocked): a user-mode wait or delay, or a call a
    // host serves for its client. Terminated (NtTerminateThread) it ends
    // there, with the exit code given. All with DispatcherLock.
    BOOLEAN HeldSuspended;     // stopped at a safe point until resumed
    BOOLEAN TerminatePending;  // its end was asked
    NTSTATUS TerminateStatus;  // the exit code it was asked to end with
    LONG KernelApcDisable;       // critical regions (recorded)
    LIST_ENTRY MutantListHead;   // mutants it owns
    PKSTART_ROUTINE StartRoutine;
    ULONG (*UserRoutine)(PVOID);
    PVOID StartContext;

    // Wait state (DispatcherLock).
    BOOLEAN Waiting;
    BOOLEAN WaitSatisfied;  // a signal or APC ended the wait; WaitStatus says how
    BOOLEAN Alertable;
    KPROCESSOR_MODE WaitMode;
    NTSTATUS WaitStatus;
    ULONG WaitCount;
    PKWAIT_BLOCK WaitBlockList;
    KWAIT_BLOCK WaitBlock[THREAD_WAIT_OBJECTS + 1];

    // Clock registration: the clock epoch it is counted in (0: none).
    uint64_t ClockEpoch;
    ki::Blocker Blocker;
    std::deque<ki::UserApc> UserApcs;
};

// An interrupt object (IoConnectInterrupt).
struct KINTERRUPT {
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    KSPIN_LOCK SpinLock;
    PKSPIN_LOCK ActualLock;
    ULONG Vector;
    KIRQL Irql;
    KIRQL SynchronizeIrql;
    KINTERRUPT_MODE Mode;
    BOOLEAN ShareVector;
    int Busy;  // deliveries in progress (DispatcherLock)
};

namespace ki {

// ---- Per host thread ----

extern thread_local KTHREAD* CurrentThread;
extern thread_local KIRQL CurrentIrql;
extern thread_local bool OnInterruptContext;
KTHREAD* AdoptCurrentThread();
// Joins the host threads of ended kernel threads, waiting up to 'limit' of
// host time for the rest to end; returns how many were still running (they
// are detached).
size_t JoinKernelThreads(std::chrono::milliseconds limit);
inline KTHREAD* Current()
{
    KTHREAD* t = CurrentThread;
    return t ? t : AdoptCurrentThread();
}

// ---- Clock (DispatcherLock held unless said) ----

// Sleeps until WakeLocked or the deadline (machine ns); registers the
// thread with the clock first when it is not yet counted.
void BlockLocked(Guard& lock, KTHREAD* thread, uint64_t deadline);
void WakeLocked(KTHREAD* thread);
void KickContextLocked();
bool ClockRunningLocked();
// A thread about to start (PsCreate...Thread) counts as running from now.
void RegisterNewThreadLocked(KTHREAD* thread);
void LeaveLocked(KTHREAD* thread);
// An event that runs on the interrupt context with DispatcherLock held.
using LockedEventRoutine = void (*)(void* arg, nt::ClockEventId id);
nt::ClockEventId ScheduleLocked(uint64_t when, LockedEventRoutine routine, void* arg);
bool CancelLocked(nt::ClockEventId id);
// Time passes inline on the interrupt context (a stall inside an ISR or a
// DPC): due hardware events run, interrupts are not re-entered. No lock.
void StallOnContext(uint64_t ns);
// A stall of any other thread (no lock). Virtual time: while the thread is
// the only machine thread running and the context is idle, it moves time
// itself and runs the board events and timer expiries due meanwhile, as the
// context would have; otherwise it sleeps on the clock until its end. Real
// time: it spins until the time has passed.
void StallThread(KTHREAD* thread, uint64_t ns);
// Spinning on a held lock (no lock held): a thread stops counting as
// running while 'lock' stays held; the interrupt context may move time
// itself. Every spin lock release counts all such spinners again before
// the releaser goes on, so time cannot move between a release and the
// spinner taking the lock; a spinner that then loses the lock calls
// SpinBlockBegin again. False: the thread is not counted by the clock.
bool SpinBlockBegin(PKSPIN_LOCK lock);
void SpinBlockEnd();
// Threads uncounted in SpinBlockBegin; non-zero: a release calls
// RecountSpinners (no lock held).
extern std::atomic<int> SpinnersUncounted;
void RecountSpinners();
void ContextSpinStep();
// System time at boot (100 ns since 1601).
extern std::atomic<LONGLONG> BootSystemTime;
// Machine ns of a wait's deadline: relative (negative), absolute (positive).
uint64_t DeadlineFromTimeout(LONGLONG timeout);

// ---- Hooks the interrupt context calls (DispatcherLock held) ----

bool InterruptDeliverableLocked();
void DeliverInterruptLocked(Guard& lock);
bool DpcQueuedLocked();
void RunDpcLocked(Guard& lock);
void ClearDpcQueueLocked();

// ---- Run-time accounting of the interrupt context (ke_runtime.cpp) ----

// The vector whose service routines, or whose DPCs, the interrupt context
// is running (0: neither). A DPC queued meanwhile is charged to it.
extern thread_local USHORT RunTimeSource;
// Host nanoseconds, the unit of the accounting.
// A routine's run: host wall time and the running thread's CPU time, both
// in nanoseconds. Wall time counts whatever preempted the thread; CPU time
// is what the routine itself cost.
struct RunTimeStamp {
    uint64_t wallNs;
    uint64_t cpuNs;
};
RunTimeStamp RunTimeNow();
void AccountInterrupt(ULONG vector, const RunTimeStamp& started);
void AccountDpc(USHORT source, const RunTimeStamp& started);
// A new machine starts from zero.
void ResetRunTimes();

// ---- Dispatcher (DispatcherLock held) ----

void WaitTestLocked(DISPATCHER_HEADER* object);
void UnwaitLocked(KTHREAD* thread, NTSTATUS status);
BOOLEAN InsertQueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2);
// Releases every mutant the thread owns as abandoned.
void AbandonMutantsLocked(KTHREAD* thread);

// ---- Spin locks without IRQL changes ----

void AcquireSpinRaw(PKSPIN_LOCK lock);
bool TryAcquireSpinRaw(PKSPIN_LOCK lock);
void ReleaseSpinRaw(PKSPIN_LOCK lock);
// Count of interrupt lines waiting for a lock their routine needs; a lock
// release with it non-zero lets the interrupt context retry them.
extern std::atomic<int> InterruptsDeferred;
void UndeferInterrupts();

// The calling thread's safe point (DispatcherLock held, released while it
// is stopped): it stays there while it is suspended, and answers whether
// its termination was asked.
bool SafePointLocked(Guard& lock, KTHREAD* thread);

// Unwinds a system thread to its top (PsTerminateSystemThread).
struct ThreadTermination {
    NTSTATUS status;
};

}  // namespace ki

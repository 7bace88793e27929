// The kernel core the drivers are written against: IRQL, spin locks,
// dispatcher objects and waits, DPCs, interrupt objects, system threads and
// time. Every time here is the machine clock's (virtual in tests, real in the
// command-line front); see clock.h.
#pragma once

#include "nt_user.h"

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KAFFINITY = ULONG;
using PKAFFINITY = KAFFINITY*;
using KSPIN_LOCK = ULONG_PTR;  // owner word: 0 free, else the owner's KTHREAD
using PKSPIN_LOCK = KSPIN_LOCK*;

enum : KIRQL {
    PASSIVE_LEVEL = 0,
    APC_LEVEL = 1,
    DISPATCH_LEVEL = 2,
    PROFILE_LEVEL = 27,
    HIGH_LEVEL = 31,
};

// ---- The kernel debugger's output ----

// A driver's message for whoever watches the machine (printf formatting,
// one line a call): written to the host's standard error, prefixed
// "kernel debug: ". Returns STATUS_SUCCESS.
ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Bug checks: what a real kernel stops the machine for ----

// Stops the machine: prints the code and arguments with a backtrace and
// aborts. Tests that expect a bug check install a handler (KeSetBugCheckHandler)
// which throws a KeBugCheckError instead, so the rule can be tested.
[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);
enum : ULONG {
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    SPIN_LOCK_NOT_OWNED = 0x10,
    INVALID_PROCESS_ATTACH_ATTEMPT = 0x05,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    KMODE_EXCEPTION_NOT_HANDLED = 0x1E,
    DRIVER_IRQL_NOT_LESS_OR_EQUAL = 0xD1,
    THREAD_NOT_MUTEX_OWNER = 0x11,
    ATTEMPTED_SWITCH_FROM_DPC = 0xB8,
    INVALID_DATA_ACCESS_TRAP = 0x04,
    DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    APC_INDEX_MISMATCH = 0x01,
    MAXIMUM_WAIT_OBJECTS_EXCEEDED = 0x0C,
    SPIN_LOCK_ALREADY_OWNED = 0x0F,
    INVALID_SOFTWARE_INTERRUPT = 0x07,
};
struct KeBugCheckError {
    ULONG code;
    ULONG_PTR p1, p2, p3, p4;
};
using KeBugCheckHandler = void (*)(const KeBugCheckError&);
// Installs a handler run before the machine would stop; a handler that throws
// (a test's) turns the bug check into an exception. Returns the previous one.
KeBugCheckHandler KeSetBugCheckHandler(KeBugCheckHandler handler);

// ---- IRQL (per thread) ----

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// ---- Spin locks ----

void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL oldIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);

struct KLOCK_QUEUE_HANDLE {
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle);
void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle);
void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle);

// ---- Dispatcher objects ----

enum : UCHAR {
    DispatcherNotificationEvent = 0,
    DispatcherSynchronizationEvent = 1,
    DispatcherMutant = 2,
    DispatcherProcess = 3,
    DispatcherSemaphore = 5,
    DispatcherThread = 6,
    DispatcherNotificationTimer = 8,
    DispatcherSynchronizationTimer = 9,
};

// Common head of every object a thread can wait on. The wait list links the
// wait blocks of the threads waiting on the object (the Ke implementation's).
struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
};
static_assert(sizeof(DISPATCHER_HEADER) == 16);

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;

struct KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
};
using KMUTEX = KMUTANT;
using PKMUTEX = KMUTANT*;
using PRKMUTEX = KMUTANT*;
using PKMUTANT = KMUTANT*;

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;

struct KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;  // machine-clock time, 100 ns units
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period;  // ms, 0 for a one-shot timer
    ULONG_PTR TimerId;  // the clock's event id while inserted
};
using PKTIMER = KTIMER*;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KePulseEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeReadStateEvent(PRKEVENT event);

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit);
// Raises STATUS_SEMAPHORE_LIMIT_EXCEEDED (ExRaiseStatus) when the release
// would pass the limit, as NT does; the count is left unchanged then.
LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore);

void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
LONG KeReadStateMutex(PRKMUTEX mutex);
// Mutants as user mode's mutexes use them: releasing one not owned gives
// STATUS_MUTANT_NOT_OWNED instead of a bug check.
void KeInitializeMutant(PKMUTANT mutant, BOOLEAN initialOwner);
NTSTATUS KeReleaseMutant(PKMUTANT mutant, PLONG previousCount);

void KeInitializeTimer(PKTIMER timer);
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
// dueTime: negative = relative in 100 ns units, positive = absolute system time.
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer);

// Waits. Timeout: nullptr = forever; negative = relative (100 ns units);
// positive = absolute system time; zero = test only. Waiting with a non-zero
// timeout above APC_LEVEL (DISPATCH_LEVEL or higher) is a bug check.
// Alertable user-mode waits deliver queued user APCs and return
// STATUS_USER_APC.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
// Links a waiting thread to one object it waits on.
struct KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;  // in the object's wait list
    PKTHREAD Thread;
    PVOID Object;
    KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;   // index of the object in the wait
    USHORT WaitType;  // WaitAny or WaitAll
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;
enum { THREAD_WAIT_OBJECTS = 3 };
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON reason,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

// ---- DPCs ----

using PKDEFERRED_ROUTINE = void (*)(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
struct KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile ULONG_PTR DpcData;  // non-zero while queued
};
enum KDPC_IMPORTANCE { LowImportance = 0, MediumImportance = 1, HighImportance = 2 };
void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
// A high-importance DPC is queued at the head instead of the tail.
void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance);
// Queued at most once: a DPC already in the queue is not queued again and
// FALSE is returned. DPCs run at DISPATCH_LEVEL on the machine's DPC context
// in queue order.
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// Waits until every DPC queued before the call has run.
void KeFlushQueuedDpcs();

// ---- Interrupt objects ----

struct KINTERRUPT;
using PKINTERRUPT = KINTERRUPT*;
using PKSERVICE_ROUTINE = BOOLEAN (*)(PKINTERRUPT interrupt, PVOID context);
using PKSYNCHRONIZE_ROUTINE = BOOLEAN (*)(PVOID context);

// Connects a service routine to a system vector (from HalGetInterruptVector).
// Shared vectors chain the routines; a level-sensitive line is serviced
// until no routine claims it or the line drops. The spin lock (or the
// object's own when null) is held while the routine runs at 'synchronizeIrql'.
NTSTATUS IoConnectInterrupt(PKINTERRUPT* interruptObject, PKSERVICE_ROUTINE routine, PVOID context,
                            PKSPIN_LOCK spinLock, ULONG vector, KIRQL irql, KIRQL synchronizeIrql,
                            KINTERRUPT_MODE mode, BOOLEAN shareVector, KAFFINITY affinity,
                            BOOLEAN floatingSave);
void IoDisconnectInterrupt(PKINTERRUPT interruptObject);
// Runs 'routine' holding the interrupt's lock at its synchronize IRQL, so it
// never overlaps the service routine.
BOOLEAN KeSynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context);

// ---- Threads and processes ----

struct KPROCESS;
using PKPROCESS = KPROCESS*;
using PEPROCESS = KPROCESS*;
using PETHREAD = KTHREAD*;
using PKSTART_ROUTINE = void (*)(PVOID context);


PKTHREAD KeGetCurrentThread();
PETHREAD PsGetCurrentThread();
PEPROCESS PsGetCurrentProcess();
#define IoGetCurrentProcess PsGetCurrentProcess
HANDLE PsGetCurrentThreadId();
HANDLE PsGetCurrentProcessId();
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD thread);
LONG KeSetBasePriorityThread(PKTHREAD thread, LONG increment);
enum : KPRIORITY { LOW_PRIORITY = 0, LOW_REALTIME_PRIORITY = 16, HIGH_PRIORITY = 31 };

// ---- Time ----

// System time: 100 ns units since 1601-01-01, on the machine clock.
void KeQuerySystemTime(PLARGE_INTEGER currentTime);
// Ticks of KeQueryTimeIncrement() 100 ns units since boot.
void KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG KeQueryTimeIncrement();
ULONGLONG KeQueryInterruptTime();  // 100 ns units since boot
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);
// Busy-waits 'microseconds' of machine time (on the virtual clock the time
// passes without real waiting).
void KeStallExecutionProcessor(ULONG microseconds);

// ---- User APCs (for the Win32 layer's completion routines) ----

// Queues a routine to run in 'thread' the next time it waits alertably in
// user mode (or tests for alerts).
BOOLEAN KeQueueUserApc(PKTHREAD thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2);
// Runs pending user APCs of the current thread; TRUE when any ran.
BOOLEAN KeDeliverUserApcs();

// Threads: system and user threads on host threads, adopted host threads,
// thread identity and priority (recorded only), exit and termination,
// user APCs and critical regions. Thread objects are made by the object
// manager (ObCreateObject with PsThreadType); the process a thread runs in
// is the process module's (PsGetThreadProcess/PsSetThreadProcess).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "ke_internal.h"
#include "nt_mm.h"

using namespace ki;

namespace ki {
thread_local KTHREAD* CurrentThread = nullptr;
}

namespace {

void DeleteThread(PVOID body)
{
    auto t = static_cast<KTHREAD*>(body);
    PsSetThreadProcess(t, nullptr);  // the address may be reused by another thread
    t->~KTHREAD();
}

OBJECT_TYPE g_threadType = {
    "Thread", DeleteThread, nullptr, nullptr, true, 0x00020048, 0x00020037, 0x00120000, THREAD_ALL_ACCESS,
};

std::atomic<ULONG> g_nextThreadId{0x100};

thread_local bool t_adopting = false;

// The host threads of created kernel threads. They are joined, not
// detached: a machine that has shut down leaves no thread of its own
// behind, so the process is single-threaded again (a fork right after a
// shutdown needs that, under an emulator above all).
struct HostThread {
    std::thread thread;
    std::atomic<bool> ending{false};    // past its routine, in its exit
    std::atomic<bool> finished{false};  // about to return to the host
};

std::mutex g_hostThreadsLock;
// Never destroyed: a process may exit with kernel threads still running (a
// unit test's kernel without a machine), and a joinable std::thread must
// not be destroyed.
std::vector<std::shared_ptr<HostThread>>& g_hostThreads = *new std::vector<std::shared_ptr<HostThread>>;

// At process exit: a thread whose waiters already saw it end may still be
// in its last steps; the process's static objects must outlive them.
void JoinEndingThreadsAtExit()
{
    std::lock_guard<std::mutex> lock(g_hostThreadsLock);
    for (auto& h : g_hostThreads)
        if (h->ending.load() && h->thread.joinable()) h->thread.join();
}

// Joins every host thread that has finished; the others stay listed.
void JoinFinishedLocked()
{
    for (auto& h : g_hostThreads)
        if (h->finished.load()) h->thread.join();
    // Only what was joined goes: a thread that finished after the loop
    // looked at it is still joinable.
    auto joined = [](const std::shared_ptr<HostThread>& h) { return !h->thread.joinable(); };
    g_hostThreads.erase(std::remove_if(g_hostThreads.begin(), g_hostThreads.end(), joined), g_hostThreads.end());
}

void InitThread(KTHREAD* t)
{
    t->Header.Type = DispatcherThread;
    t->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
    InitializeListHead(&t->MutantListHead);
    t->Cid.UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(g_nextThreadId.fetch_add(4)));
    t->Priority = 8;
    t->ExitStatus = STATUS_PENDING;
}

// Makes the body of a new thread object; falls back to plain memory when
// the object manager cannot make one (never for created threads).
KTHREAD* NewThreadObject(POBJECT_ATTRIBUTES attributes, bool mayFallBack)
{
    PVOID body = nullptr;
    NTSTATUS status = ObCreateObject(PsThreadType, attributes, KernelMode, sizeof(KTHREAD), &body);
    KTHREAD* t;
    if (NT_SUCCESS(status)) {
        t = new (body) KTHREAD();
        t->ObjectBacked = TRUE;
    } else if (mayFallBack) {
        t = new KTHREAD();
    } else {
        return nullptr;
    }
    InitThread(t);
    return t;
}

void DropReference(KTHREAD* t)
{
    if (t->ObjectBacked) {
        ObDereferenceObject(t);
    } else {
        PsSetThreadProcess(t, nullptr);
        delete t;
    }
}

// Ends a thread: mutants abandoned, object signalled, clock told, and the
// reference the running thread held dropped.
void ExitThread(KTHREAD* t, NTSTATUS status)
{
    {
        Guard lock(DispatcherLock);
        AbandonMutantsLocked(t);
        t->ExitStatus = t->TerminatePending ? t->TerminateStatus : status;
        t->Terminated = TRUE;
        t->UserApcs.clear();
        t->Header.SignalState = 1;
        WaitTestLocked(&t->Header);
        LeaveLocked(t);
    }
    CurrentThread = nullptr;
    DropReference(t);
}

// Ends an adopted thread when its host thread ends.
struct AdoptedThreadEnd {
    KTHREAD* thread = nullptr;
    ~AdoptedThreadEnd()
    {
        if (!thread) return;
        // The host thread is gone from whatever context it served.
        OnInterruptContext = false;
        CurrentIrql = PASSIVE_LEVEL;
        ExitThread(thread, STATUS_SUCCESS);
    }
};

void ThreadMain(KTHREAD* t, std::shared_ptr<HostThread> host)
{
    struct Finished {
        HostThread& host;
        ~Finished() { host.finished.store(true); }
    } finished{*host};
    CurrentThread = t;
    CurrentIrql = PASSIVE_LEVEL;
    {
        Guard lock(DispatcherLock);
        while (t->StartPending) BlockLocked(lock, t, NoDeadline);
    }
    NTSTATUS status = STATUS_SUCCESS;
    try {
        if (t->UserRoutine)
            status = static_cast<NTSTATUS>(t->UserRoutine(t->StartContext));
        else
            t->StartRoutine(t->StartContext);
    } catch (const ThreadTermination& end) {
        status = end.status;
    }
    if (CurrentIrql != PASSIVE_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, reinterpret_cast<ULONG_PTR>(t->StartRoutine), 1);
    host->ending.store(true);
    ExitThread(t, status);
}

NTSTATUS CreateThread(PEPROCESS process, POBJECT_ATTRIBUTES attributes, ACCESS_MASK access, PHANDLE handle,
                      PCLIENT_ID clientId, bool suspended, PKSTART_ROUTINE systemRoutine,
                      ULONG (*userRoutine)(PVOID), PVOID context)
{
    KTHREAD* t = NewThreadObject(attributes, false);
    if (!t) return STATUS_INSUFFICIENT_RESOURCES;
    t->SystemThread = systemRoutine != nullptr;
    t->UserThread = userRoutine != nullptr;
    t->StartRoutine = systemRoutine;
    t->UserRoutine = userRoutine;
    t->StartContext = context;
    t->StartPending = suspended;
    t->SuspendCount = suspended ? 1 : 0;
    PsSetThreadProcess(t, process);
    t->Cid.UniqueProcess = PsGetProcessId(process);

    ObReferenceObject(t);  // the running thread's own
    ULONG handleAttributes = attributes ? attributes->Attributes : 0;
    NTSTATUS status;
    if (!handle) {
        status = ObInsertObject(t, access, handleAttributes, nullptr);
        if (NT_SUCCESS(status)) ObDereferenceObject(t);  // the caller keeps none
    } else if (process == PsGetCurrentProcess() || (handleAttributes & OBJ_KERNEL_HANDLE)) {
        status = ObInsertObject(t, access, handleAttributes, handle);
    } else {
        // A handle in another process: the creation reference passes to it.
        status = ObInsertObject(t, access, handleAttributes, nullptr);
        if (NT_SUCCESS(status)) {
            status = ObCreateHandle(process, t, access, handleAttributes, handle);
            if (!NT_SUCCESS(status)) ObDereferenceObject(t);
        }
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(t);
        return status;
    }
    if (clientId) *clientId = t->Cid;
    {
        Guard lock(DispatcherLock);
        RegisterNewThreadLocked(t);
    }
    try {
        static std::once_flag atExit;
        std::call_once(atExit, [] { std::atexit(JoinEndingThreadsAtExit); });
        auto host = std::make_shared<HostThread>();
        std::lock_guard<std::mutex> lock(g_hostThreadsLock);
        JoinFinishedLocked();
        host->thread = std::thread(ThreadMain, t, host);
        g_hostThreads.push_back(std::move(host));
    } catch (const std::system_error&) {
        {
            Guard lock(DispatcherLock);
            LeaveLocked(t);
        }
        ExitThread(t, STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE PsThreadType = &g_threadType;

size_t ki::JoinKernelThreads(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::lock_guard<std::mutex> lock(g_hostThreadsLock);
    for (;;) {
        JoinFinishedLocked();
        if (g_hostThreads.empty()) return 0;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A thread still blocked for good (a wait nobody will satisfy) cannot
    // be joined; it is let go rather than hanging the shutdown.
    size_t left = g_hostThreads.size();
    for (auto& h : g_hostThreads) h->thread.detach();
    g_hostThreads.clear();
    return left;
}

KTHREAD* ki::AdoptCurrentThread()
{
    if (t_adopting) {
        // The object manager came back here while making the record: it
        // gets a stand-in good for spin-lock ownership and identity.
        static thread_local KTHREAD* standIn = [] {
            auto s = new KTHREAD();
            InitThread(s);
            s->Adopted = TRUE;
            return s;
        }();
        return standIn;
    }
    t_adopting = true;
    KTHREAD* t = NewThreadObject(nullptr, true);
    t->Adopted = TRUE;
    if (t->ObjectBacked && !NT_SUCCESS(ObInsertObject(t, 0, 0, nullptr))) {
        // The object stays usable by pointer without a place in the tables.
    }
    t_adopting = false;
    static thread_local AdoptedThreadEnd end;
    end.thread = t;
    CurrentThread = t;
    return t;
}

// ---- Creation and end ----

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID context)
{
    if (!threadHandle || !startRoutine) return STATUS_INVALID_PARAMETER;
    if (CurrentIrql > PASSIVE_LEVEL) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, 0, 0);
    PEPROCESS process = PsInitialSystemProcess;
    if (processHandle == NtCurrentProcess()) {
        process = PsGetCurrentProcess();
    } else if (processHandle) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(processHandle, 0, PsProcessType, KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        process = static_cast<PEPROCESS>(object);
        ObDereferenceObject(object);
    }
    return CreateThread(process, attributes, access, threadHandle, clientId, false, startRoutine, nullptr, context);
}

void PsTerminateSystemThread(NTSTATUS exitStatus)
{
    KTHREAD* t = Current();
    if (t->Adopted) KeBugCheckEx(INVALID_PROCESS_ATTACH_ATTEMPT, reinterpret_cast<ULONG_PTR>(t), 0, 0, 1);
    if (CurrentIrql != PASSIVE_LEVEL) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, 0, 2);
    throw ThreadTermination{exitStatus};
}

NTSTATUS PsCreateUserThread(PEPROCESS process, ULONG (*routine)(PVOID), PVOID context, PHANDLE threadHandle,
                            PCLIENT_ID clientId, BOOLEAN suspended)
{
    if (!routine || !process) return STATUS_INVALID_PARAMETER;
    return CreateThread(process, nullptr, THREAD_ALL_ACCESS, threadHandle, clientId, suspended, nullptr, routine,
                        context);
}

NTSTATUS PsGetThreadExitStatus(PKTHREAD thread)
{
    Guard lock(DispatcherLock);
    return thread->Terminated ? thread->ExitStatus : STATUS_PENDING;
}

NTSTATUS PsResumeThread(PKTHREAD thread)
{
    Guard lock(DispatcherLock);
    if (thread->SuspendCount > 0 && --thread->SuspendCount == 0) {
        if (thread->StartPending) {
            thread->StartPending = FALSE;
            WakeLocked(thread);
        } else if (thread->HeldSuspended) {
            WakeLocked(thread);
        }
    }
    return STATUS_SUCCESS;
}

bool ki::SafePointLocked(Guard& lock, KTHREAD* t)
{
    while (t->SuspendCount > 0 && !t->TerminatePending) {
        t->HeldSuspended = TRUE;
        BlockLocked(lock, t, NoDeadline);
    }
    t->HeldSuspended = FALSE;
    return t->TerminatePending;
}

NTSTATUS PsThreadSafePoint()
{
    KTHREAD* t = Current();
    // Most calls find nothing asked of their thread: no lock for them.
    if (!__atomic_load_n(&t->SuspendCount, __ATOMIC_ACQUIRE) && !__atomic_load_n(&t->TerminatePending, __ATOMIC_ACQUIRE))
        return STATUS_SUCCESS;
    Guard lock(DispatcherLock);
    return SafePointLocked(lock, t) ? NTSTATUS(STATUS_THREAD_TERMINATE_PENDING) : NTSTATUS(STATUS_SUCCESS);
}

void PsReleaseSuspendedThread(PKTHREAD thread)
{
    Guard lock(DispatcherLock);
    if (thread->StartPending) return;  // never ran: it ends with its process's other records
    thread->SuspendCount = 0;
    if (thread->HeldSuspended) WakeLocked(thread);
}

// ---- Identity and priority ----

PKTHREAD KeGetCurrentThread() { return Current(); }
PETHREAD PsGetCurrentThread() { return Current(); }
HANDLE PsGetCurrentThreadId() { return Current()->Cid.UniqueThread; }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    if (priority < LOW_PRIORITY || priority > HIGH_PRIORITY)
        KeBugCheckEx(INVALID_SOFTWARE_INTERRUPT, reinterpret_cast<ULONG_PTR>(thread), priority, 0, 0);
    return __atomic_exchange_n(&thread->Priority, priority, __ATOMIC_RELAXED);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) { return __atomic_load_n(&thread->Priority, __ATOMIC_RELAXED); }

LONG KeSetBasePriorityThread(PKTHREAD thread, LONG increment)
{
    LONG previous = __atomic_exchange_n(&thread->BasePriorityIncrement, increment, __ATOMIC_RELAXED);
    LONG priority = 8 + increment;
    __atomic_store_n(&thread->Priority, priority < 1 ? 1 : priority > 15 ? 15 : priority, __ATOMIC_RELAXED);
    return previous;
}

// ---- User APCs ----

BOOLEAN KeQueueUserApc(PKTHREAD thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    Guard lock(DispatcherLock);
    if (thread->Terminated) return FALSE;
    thread->UserApcs.push_back(UserApc{routine, context, arg1, arg2});
    if (thread->Waiting && thread->Alertable && thread->WaitMode == UserMode) UnwaitLocked(thread, STATUS_USER_APC);
    return TRUE;
}

BOOLEAN KeDeliverUserApcs()
{
    KTHREAD* t = Current();
    BOOLEAN ran = FALSE;
    for (;;) {
        UserApc apc;
        {
            Guard lock(DispatcherLock);
            if (t->UserApcs.empty()) return ran;
            apc = t->UserApcs.front();
            t->UserApcs.pop_front();
        }
        apc.routine(apc.context, apc.arg1, apc.arg2);
        ran = TRUE;
    }
}

// ---- Critical regions (no kernel APCs run here; the count is kept) ----

void KeEnterCriticalRegion() { Current()->KernelApcDisable--; }

void KeLeaveCriticalRegion()
{
    KTHREAD* t = Current();
    if (++t->KernelApcDisable > 0) KeBugCheckEx(APC_INDEX_MISMATCH, reinterpret_cast<ULONG_PTR>(t), 0, 0, 0);
}

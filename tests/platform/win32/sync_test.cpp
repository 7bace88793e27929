// Synchronisation: named objects shared by two processes and their case, waits that time
// out on the virtual clock, mutex ownership and abandonment, semaphore
// limits, critical sections that let virtual time move while they block,
// threads (suspension and termination) and user APCs.
#include <atomic>
#include <chrono>

#include "w32_machine.h"

namespace {

using w32test::InProcess;

TEST(NamedObjects, OneNameIsOneObjectAcrossProcesses)
{
    W32_EMBEDDED_ONLY("the test runs its Win32 calls in NT processes it makes; a client's calls run in its own");
    PEPROCESS a = PsCreateUserProcess("a.exe");
    PEPROCESS b = PsCreateUserProcess("b.exe");
    HANDLE inA, inB, again;
    {
        InProcess in(a);
        inA = CreateEventA(nullptr, TRUE, FALSE, "W32TestShared");
        ASSERT_NE(inA, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    }
    {
        InProcess in(b);
        EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "NoSuchEvent"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        inB = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, "W32TestShared");
        ASSERT_NE(inB, nullptr);
        again = CreateEventA(nullptr, FALSE, FALSE, "Global\\W32TestShared");  // same name, same object
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        // A name held by an event is no mutex's.
        EXPECT_EQ(CreateMutexA(nullptr, FALSE, "W32TestShared"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_TRUE(SetEvent(inB));
    }
    {
        InProcess in(a);
        EXPECT_EQ(WaitForSingleObject(inA, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ResetEvent(inA));
    }
    {
        InProcess in(b);
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_TIMEOUT);  // manual reset, as first created
        CloseHandle(again);
        CloseHandle(inB);
    }
    {
        InProcess in(a);
        CloseHandle(inA);
        // With every handle closed the name is gone.
        EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "W32TestShared"), nullptr);
    }
    PsTerminateUserProcess(a, 0);
    PsTerminateUserProcess(b, 0);
}

// Names that differ in case name different objects, whatever their type.
TEST(NamedObjects, NamesDifferingOnlyInCaseAreDifferentObjects)
{
    HANDLE mixed = CreateMutexA(nullptr, FALSE, "W32CaseMutex");
    ASSERT_NE(mixed, nullptr);
    HANDLE upper = CreateMutexA(nullptr, FALSE, "W32CASEMUTEX");
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // not the existing one
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "w32casemutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "W32CaseX");
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, "w32casex");
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // still manual-reset
    for (HANDLE h : {mixed, upper, manual, automatic}) CloseHandle(h);
}

// Opening an existing object: every right the type has opens (one bit at a
// time, the standard and generic rights and MAXIMUM_ALLOWED among them); no
// right at all, a right the type lacks, and the audit right are refused.
TEST(NamedObjects, OpeningGrantsOnlyRightsTheTypeHas)
{
    struct Kind {
        const char* what;
        HANDLE created;
        HANDLE (*open)(DWORD access);
        DWORD specific;  // the type's own rights
    } kinds[] = {
        {"mutex", CreateMutexA(nullptr, FALSE, "W32AccessMutex"),
         [](DWORD a) { return OpenMutexA(a, FALSE, "W32AccessMutex"); }, 0x1},
        {"event", CreateEventA(nullptr, TRUE, FALSE, "W32AccessEvent"),
         [](DWORD a) { return OpenEventA(a, FALSE, "W32AccessEvent"); }, 0x3},
        {"semaphore", CreateSemaphoreA(nullptr, 0, 1, "W32AccessSemaphore"),
         [](DWORD a) { return OpenSemaphoreA(a, FALSE, "W32AccessSemaphore"); }, 0x3},
    };
    const DWORD standard = DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE;
    const DWORD generic = GENERIC_ALL | GENERIC_EXECUTE | GENERIC_WRITE | GENERIC_READ;
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.what);
        ASSERT_NE(k.created, nullptr);
        SetLastError(0x1234);
        EXPECT_EQ(k.open(0), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        for (int bit = 0; bit < 32; ++bit) {
            const DWORD access = DWORD(1) << bit;
            const bool grantable = access & (k.specific | standard | generic | MAXIMUM_ALLOWED);
            SetLastError(0x1234);
            HANDLE h = k.open(access);
            EXPECT_EQ(h != nullptr, grantable) << "access " << std::hex << access;
            if (h) {
                CloseHandle(h);
            } else {
                EXPECT_EQ(GetLastError(), access == ACCESS_SYSTEM_SECURITY ? ERROR_PRIVILEGE_NOT_HELD
                                                                          : ERROR_ACCESS_DENIED)
                    << "access " << std::hex << access;
            }
        }
        CloseHandle(k.created);
    }
}

// The two low bits of a handle are the caller's own: a tagged handle is the
// same handle.
TEST(Handles, TheTwoLowBitsOfAHandleAreIgnored)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    for (ULONG_PTR tag : {1u, 2u, 3u}) {
        SCOPED_TRACE(tag);
        HANDLE tagged = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | tag);
        EXPECT_TRUE(SetEvent(tagged)) << GetLastError();
        EXPECT_EQ(WaitForSingleObject(tagged, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ResetEvent(tagged));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    }
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 3)));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Waits, TimeOutsExpireOnTheVirtualClock)
{
    W32_EMBEDDED_ONLY("a served machine runs on the real clock");
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const auto realStart = std::chrono::steady_clock::now();
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(never, 3000), WAIT_TIMEOUT);
    const DWORD afterWait = GetTickCount();
    EXPECT_GE(afterWait - start, 3000u);
    EXPECT_LT(afterWait - start, 3100u);
    Sleep(500);
    EXPECT_GE(GetTickCount() - afterWait, 500u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2)) << "time was not virtual";

    struct Case {
        const char* what;
        std::vector<HANDLE> handles;
        BOOL all;
        DWORD expected;
    } cases[] = {
        {"any: the first signalled one", {never, set, set}, FALSE, WAIT_OBJECT_0 + 1},
        {"all: one is not signalled", {set, never}, TRUE, WAIT_TIMEOUT},
        {"all: every one signalled", {set}, TRUE, WAIT_OBJECT_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(c.handles.size()), c.handles.data(), c.all, 100),
                  c.expected);
    }
    EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFC), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(never);
    CloseHandle(set);
}

DWORD TakeAndExit(LPVOID mutex)
{
    WaitForSingleObject(mutex, INFINITE);
    return 7;  // ends still owning it
}

TEST(Mutexes, OwnershipRecursionAndAbandonment)
{
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // the owner may take it again
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

    HANDLE thread = CreateThread(nullptr, 0, TakeAndExit, m, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(thread);
    CloseHandle(m);
}

DWORD WaitAndReport(LPVOID mutex) { return WaitForSingleObject(mutex, INFINITE); }

// A wait holds its object: closing the handle it was given ends nothing,
// and the object's release still reaches the waiter.
TEST(Mutexes, ClosingTheHandleOfAWaitDoesNotEndIt)
{
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    HANDLE kept;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), m, GetCurrentProcess(), &kept, 0, FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE waiter = CreateThread(nullptr, 0, WaitAndReport, m, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, 100), WAIT_TIMEOUT);  // it waits
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_EQ(WaitForSingleObject(waiter, 300), WAIT_TIMEOUT);  // and goes on waiting
    EXPECT_TRUE(ReleaseMutex(kept));
    ASSERT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    DWORD result = 0;
    EXPECT_TRUE(GetExitCodeThread(waiter, &result));
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(waiter);
    CloseHandle(kept);
}

TEST(Semaphores, CountsAndTheirLimit)
{
    EXPECT_EQ(CreateSemaphoreA(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE s = CreateSemaphoreA(nullptr, 1, 2, "W32TestSemaphore");
    ASSERT_NE(s, nullptr);
    HANDLE opened = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "W32TestSemaphore");
    ASSERT_NE(opened, nullptr);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(opened, 1, &previous));
    EXPECT_EQ(previous, 1);
    previous = -1;
    EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, -1);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
    CloseHandle(opened);
    CloseHandle(s);
}

struct Shared {
    CRITICAL_SECTION cs;
    volatile LONG inside = 0;
    long counter = 0;
    DWORD enteredAt = 0;
};

DWORD EnterAndNote(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    EXPECT_FALSE(TryEnterCriticalSection(&s->cs));
    EnterCriticalSection(&s->cs);
    s->enteredAt = GetTickCount();
    LeaveCriticalSection(&s->cs);
    return 0;
}

DWORD Count(LPVOID p)
{
    auto* s = static_cast<Shared*>(p);
    for (int i = 0; i < 2000; ++i) {
        EnterCriticalSection(&s->cs);
        EXPECT_EQ(InterlockedIncrement(&s->inside), 1);
        s->counter++;
        if (i % 500 == 0) Sleep(1);  // hold it across a wait now and then
        InterlockedDecrement(&s->inside);
        LeaveCriticalSection(&s->cs);
    }
    return 0;
}

TEST(CriticalSections, ABlockedThreadWaitsOnTheMachineClock)
{
    W32_EMBEDDED_ONLY("a served machine runs on the real clock");
    Shared s;
    InitializeCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);  // recursive
    HANDLE t = CreateThread(nullptr, 0, EnterAndNote, &s, 0, nullptr);
    // The other thread blocks on the section; virtual time only moves if
    // that block counts as a kernel wait.
    const DWORD start = GetTickCount();
    Sleep(1000);
    LeaveCriticalSection(&s.cs);
    EXPECT_EQ(s.enteredAt, 0u);  // still held once
    LeaveCriticalSection(&s.cs);
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_GE(s.enteredAt - start, 1000u);
    CloseHandle(t);

    HANDLE workers[3];
    for (auto& w : workers) w = CreateThread(nullptr, 0, Count, &s, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(3, workers, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(s.counter, 6000);
    for (auto w : workers) CloseHandle(w);
    DeleteCriticalSection(&s.cs);
}

int apcCalls = 0;
ULONG_PTR apcData = 0;
void OnApc(ULONG_PTR data)
{
    apcCalls++;
    apcData = data;
}

TEST(Threads, ApcsRunOnlyInAlertableWaits)
{
    apcCalls = 0;
    ASSERT_TRUE(QueueUserAPC(OnApc, GetCurrentThread(), 42));
    Sleep(5);
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 5), WAIT_TIMEOUT);
    EXPECT_EQ(apcCalls, 0);
    EXPECT_EQ(WaitForSingleObjectEx(e, 5, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(apcCalls, 1);
    EXPECT_EQ(apcData, 42u);
    EXPECT_EQ(SleepEx(5, TRUE), 0u);  // nothing left to run
    CloseHandle(e);
}

DWORD ReturnParameter(LPVOID p) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p)); }

TEST(Threads, SuspendedStartExitCodesAndPriorities)
{
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(99), CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);  // it has not started

    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(t, 5));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(ResumeThread(t), 1u);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 99u);

    // An ended thread keeps the exit code it ended with.
    EXPECT_TRUE(TerminateThread(t, 5));
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 99u);
    CloseHandle(t);
}

// A thread to terminate, and how far it got: 'reached' counts the steps
// past each point it may be ended at, which a terminated thread never takes.
struct Victim {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> running{false};
    std::atomic<bool> go{false};
    std::atomic<int> reached{0};
};

DWORD WaitForever(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    WaitForSingleObject(v->never, INFINITE);
    v->reached++;
    return 1;
}
DWORD SleepLong(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    Sleep(600000);
    v->reached++;
    return 1;
}
// Runs its own code (no call into the system) until told, then waits.
DWORD BusyThenWait(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    v->running = true;
    while (!v->go.load()) {
    }
    v->reached++;  // its own code runs on: it ends only at its next safe point
    WaitForSingleObject(v->never, 0);
    v->reached++;
    return 1;
}
DWORD EndItself(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    TerminateThread(GetCurrentThread(), 0x5E1F);
    v->reached++;
    return 1;
}
DWORD SuspendItself(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    SuspendThread(GetCurrentThread());
    v->reached++;
    WaitForSingleObject(v->never, INFINITE);
    return 1;
}

TEST(Threads, TerminateEndsAThreadAtItsSafePointWithTheCodeGiven)
{
    const struct {
        const char* where;
        LPTHREAD_START_ROUTINE routine;
        DWORD flags;
        bool suspendFirst;
        DWORD code;
        int reached;  // steps it takes before it ends
    } cases[] = {
        {"waiting on an event", WaitForever, 0, false, 0xC0DE1, 0},
        {"sleeping", SleepLong, 0, false, 0xC0DE2, 0},
        {"suspended at its creation", WaitForever, CREATE_SUSPENDED, false, 0xC0DE3, 0},
        {"suspended while it waits", WaitForever, 0, true, 0xC0DE4, 0},
        {"in its own code", BusyThenWait, 0, false, 0xC0DE5, 1},
        {"itself", EndItself, 0, false, 0x5E1F, 0},
        {"suspended by itself", SuspendItself, 0, false, 0xC0DE7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        Victim v;
        HANDLE t = CreateThread(nullptr, 0, c.routine, &v, c.flags, nullptr);
        ASSERT_NE(t, nullptr);
        if (c.suspendFirst) {
            EXPECT_EQ(SuspendThread(t), 0u);
        }
        while (c.routine == BusyThenWait && !v.running.load()) {
        }
        if (c.routine == SuspendItself) {
            DWORD code = 0;  // stopped by itself: still there after a while
            EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);
            EXPECT_TRUE(GetExitCodeThread(t, &code));
            EXPECT_EQ(code, STILL_ACTIVE);
        }
        if (c.routine != EndItself) {
            EXPECT_TRUE(TerminateThread(t, c.code));
        }
        v.go = true;
        // Its waiters are released, and it ended with the code given.
        ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(v.reached.load(), c.reached);
        // A second termination changes nothing.
        EXPECT_TRUE(TerminateThread(t, 1));
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, c.code);
        CloseHandle(t);
        CloseHandle(v.never);
    }
}

DWORD WaitThenCount(LPVOID p)
{
    auto* v = static_cast<Victim*>(p);
    WaitForSingleObject(v->never, INFINITE);
    v->reached++;
    return 7;
}

TEST(Threads, SuspensionsNestAndAThreadSuspendedInAWaitStopsWhenItEnds)
{
    Victim v;
    HANDLE t = CreateThread(nullptr, 0, WaitThenCount, &v, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(SuspendThread(t), 0u);
    EXPECT_EQ(SuspendThread(t), 1u);
    // Its wait is satisfied, but it stays stopped until the last resume.
    SetEvent(v.never);
    EXPECT_EQ(WaitForSingleObject(t, 200), WAIT_TIMEOUT);
    EXPECT_EQ(v.reached.load(), 0);
    EXPECT_EQ(ResumeThread(t), 2u);
    EXPECT_EQ(WaitForSingleObject(t, 200), WAIT_TIMEOUT);
    EXPECT_EQ(v.reached.load(), 0);
    EXPECT_EQ(ResumeThread(t), 1u);
    ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(v.reached.load(), 1);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    // An ended thread can be neither suspended nor resumed into anything.
    EXPECT_EQ(SuspendThread(t), DWORD(-1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);
    CloseHandle(v.never);

    // Up to the limit, and not past it.
    Victim w;
    t = CreateThread(nullptr, 0, WaitThenCount, &w, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    for (DWORD i = 1; i < MAXIMUM_SUSPEND_COUNT; i++) {
        ASSERT_EQ(SuspendThread(t), i);
    }
    EXPECT_EQ(SuspendThread(t), DWORD(-1));
    EXPECT_EQ(GetLastError(), ERROR_SIGNAL_REFUSED);
    for (DWORD i = MAXIMUM_SUSPEND_COUNT; i > 0; i--) {
        ASSERT_EQ(ResumeThread(t), i);
    }
    EXPECT_EQ(ResumeThread(t), 0u);  // not suspended: nothing to undo
    SetEvent(w.never);
    ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(w.reached.load(), 1);
    CloseHandle(t);
    CloseHandle(w.never);
}

TEST(Threads, SuspendResumeAndTerminateRefuseWhatIsNoThreadOfTheirs)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const struct {
        const char* what;
        HANDLE handle;
        DWORD error;
    } cases[] = {
        {"no handle", nullptr, ERROR_INVALID_HANDLE},
        {"a closed handle", reinterpret_cast<HANDLE>(0x7FF0), ERROR_INVALID_HANDLE},
        {"an event", event, ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(SuspendThread(c.handle), DWORD(-1));
        EXPECT_EQ(GetLastError(), c.error);
        SetLastError(0);
        EXPECT_EQ(ResumeThread(c.handle), DWORD(-1));
        EXPECT_EQ(GetLastError(), c.error);
        SetLastError(0);
        EXPECT_FALSE(TerminateThread(c.handle, 0));
        EXPECT_EQ(GetLastError(), c.error);
    }
    // The process's first thread was not made by CreateThread: it has no
    // start to unwind to, and stays.
    EXPECT_FALSE(TerminateThread(GetCurrentThread(), 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(event);
}

}  // namespace

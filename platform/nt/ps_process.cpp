// Processes: the system process (kernel handles, system threads), the
// machine's default user process, and user processes the Win32 layer runs
// in. A process owns a handle table; ending it closes every handle (the
// drivers' cleanup and close requests run) and signals the process object.
// Which process a thread runs in is kept here per KTHREAD, with a
// per-host-thread cache so the lookup on every system call stays cheap.
#include <atomic>
#include <unordered_map>

#include "io_internal.h"
#include "ob_internal.h"

namespace {

void PspDeleteProcess(PVOID body)
{
    auto* p = static_cast<PEPROCESS>(body);
    delete p->HandleTable;
    delete p->ImageName;
    p->HandleTable = nullptr;
    p->ImageName = nullptr;
}

OBJECT_TYPE ProcessType = {
    "Process", PspDeleteProcess, nullptr, nullptr, true, 0x00020410, 0x00020BEA, 0x00120000, PROCESS_ALL_ACCESS,
};

std::mutex PspLock;
std::unordered_map<PKTHREAD, PEPROCESS> PspThreadProcess;
std::vector<PEPROCESS> PspUserProcesses;  // referenced, until terminated
PEPROCESS PspDefaultProcess;
std::atomic<ULONG> PspNextId{8};
std::atomic<ULONG> PspMapGeneration{1};

struct ThreadCache {
    PKTHREAD thread;
    PEPROCESS process;
    ULONG generation;
};
thread_local ThreadCache PspCache;

PEPROCESS PspCreate(const std::string& image, bool system)
{
    PVOID body;
    if (!NT_SUCCESS(ObCreateObject(&ProcessType, nullptr, KernelMode, sizeof(KPROCESS), &body))) return nullptr;
    auto* p = static_cast<PEPROCESS>(body);
    p->Header.Type = DispatcherProcess;
    p->Header.Size = sizeof(KPROCESS) / 4;
    p->Header.SignalState = 0;
    InitializeListHead(&p->Header.WaitListHead);
    p->UniqueProcessId = reinterpret_cast<HANDLE>(ULONG_PTR(system ? 4 : PspNextId.fetch_add(4)));
    p->ExitStatus = STATUS_PENDING;
    p->IsSystem = system;
    p->HandleTable = new ObHandleTable();
    p->ImageName = new std::string(image);
    ObpHeader(body)->Flags |= OB_FLAG_INSERTED;
    return p;
}

}  // namespace

POBJECT_TYPE PsProcessType = &ProcessType;
PEPROCESS PsInitialSystemProcess;

PEPROCESS PsCreateUserProcess(const std::string& imageName)
{
    PEPROCESS p = PspCreate(imageName, false);
    if (!p) return nullptr;
    std::lock_guard<std::mutex> lock(PspLock);
    PspUserProcesses.push_back(p);  // the creation reference
    return p;
}

void PsTerminateUserProcess(PEPROCESS process, NTSTATUS exitStatus)
{
    if (!ObpIsObject(process) || process->IsSystem) return;
    {
        std::lock_guard<std::mutex> lock(ObpLock);
        if (process->Terminated) return;
        process->Terminated = TRUE;
    }
    ObfReferenceObject(process);
    // Requests still in flight are cancelled first, as a thread's exit
    // does; then the handles go, which sends cleanup and close.
    IopCancelProcessIrps(process);
    ObpCloseAllHandles(process);
    process->ExitStatus = exitStatus;
    KiSignalObject(&process->Header, 1);
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(PspLock);
        for (auto it = PspUserProcesses.begin(); it != PspUserProcesses.end(); ++it)
            if (*it == process) {
                PspUserProcesses.erase(it);
                listed = true;
                break;
            }
        // A thread of it stopped by a suspension goes on to its end (the
        // map's lock keeps it alive meanwhile).
        for (auto it = PspThreadProcess.begin(); it != PspThreadProcess.end();) {
            if (it->second != process) {
                ++it;
                continue;
            }
            PsReleaseSuspendedThread(it->first);
            it = PspThreadProcess.erase(it);
        }
        if (PspDefaultProcess == process) PspDefaultProcess = nullptr;
        PspMapGeneration++;
    }
    if (listed) ObfDereferenceObject(process);
    ObfDereferenceObject(process);
}

HANDLE PsGetProcessId(PEPROCESS process) { return process ? process->UniqueProcessId : nullptr; }
std::string PsGetProcessImageName(PEPROCESS process)
{
    return process && process->ImageName ? *process->ImageName : std::string();
}

PEPROCESS PsGetThreadProcess(PKTHREAD thread)
{
    std::lock_guard<std::mutex> lock(PspLock);
    auto it = PspThreadProcess.find(thread);
    return it != PspThreadProcess.end() ? it->second : PspDefaultProcess;
}

void PsSetThreadProcess(PKTHREAD thread, PEPROCESS process)
{
    std::lock_guard<std::mutex> lock(PspLock);
    if (process) PspThreadProcess[thread] = process;
    else PspThreadProcess.erase(thread);
    PspMapGeneration++;
}

PEPROCESS PsGetDefaultUserProcess()
{
    std::lock_guard<std::mutex> lock(PspLock);
    return PspDefaultProcess;
}

void PsSetDefaultUserProcess(PEPROCESS process)
{
    std::lock_guard<std::mutex> lock(PspLock);
    PspDefaultProcess = process;
    PspMapGeneration++;
}

PEPROCESS PsGetCurrentProcess()
{
    PKTHREAD t = KeGetCurrentThread();
    ThreadCache& c = PspCache;
    ULONG gen = PspMapGeneration.load(std::memory_order_acquire);
    if (c.thread == t && c.generation == gen) return c.process;
    PEPROCESS p = PsGetThreadProcess(t);
    c = ThreadCache{t, p, gen};
    return p;
}

HANDLE PsGetCurrentProcessId() { return PsGetProcessId(PsGetCurrentProcess()); }

void PspInitialize()
{
    PsInitialSystemProcess = PspCreate("System", true);
    PEPROCESS user = PspCreate("user", false);
    std::lock_guard<std::mutex> lock(PspLock);
    PspUserProcesses.push_back(user);
    PspDefaultProcess = user;
    PspMapGeneration++;
}

void PspShutdown()
{
    for (;;) {
        PEPROCESS p;
        {
            std::lock_guard<std::mutex> lock(PspLock);
            if (PspUserProcesses.empty()) break;
            p = PspUserProcesses.back();
        }
        PsTerminateUserProcess(p, STATUS_SUCCESS);
    }
    PEPROCESS system = PsInitialSystemProcess;
    if (!system) return;
    IopCancelProcessIrps(system);
    ObpCloseAllHandles(system);
    {
        std::lock_guard<std::mutex> lock(PspLock);
        PspThreadProcess.clear();
        PspDefaultProcess = nullptr;
        PspMapGeneration++;
    }
}

// The system process object lives until the workers that still run in it
// are gone; the I/O manager's shutdown drops it last.
void PspReleaseSystemProcess()
{
    PEPROCESS system = PsInitialSystemProcess;
    PsInitialSystemProcess = nullptr;
    if (system) ObfDereferenceObject(system);
}

ULONG NtGetCurrentProcessId() { return ULONG(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }
ULONG NtGetCurrentThreadId() { return ULONG(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId())); }

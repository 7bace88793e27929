// A client program for the machine-host tests: a plain Win32 program that
// attaches to the host named by ZAR_MACHINE and does one thing, given on its
// command line, printing what it saw on one line:
//
//   wait NAME MS           wait for named event NAME: "signalled" or "timeout"
//   set NAME               set named event NAME: "set"
//   hold NAME              create an unnamed event, print its handle value,
//                          then wait for named event NAME
//   poke HANDLE            set the event behind a handle value: "ok" or "error N"
//   pend                   a device request the test driver holds: "done N"
//   overlapped             the same held request, overlapped with an event:
//                          "pending", then "done N" when it completed
//   ring shared|own [BYTES]
//                          an overlapped held out-direct request into a
//                          VirtualAlloc buffer (shared, 4096 bytes unless
//                          given; a larger one is named in a held ring
//                          request's record) or a buffer of the program's own:
//                          "pending", then after watching the buffer a while
//                          "seen N before completion" ("seen N at both ends
//                          ..." when a large one got N in its last word too)
//                          or "unseen", then "done N" once it completed
//   transfer               an overlapped 4 MB transfer into a VirtualAlloc
//                          buffer by the test's engine: "pending", then
//                          "done N" (the buffer's last byte) once it ended
//   many-threads N         make N threads that wait: "threads MADE error E"
//                          (E the first failure's error, 0 when none)
//   threads                a suspended thread that waits alertably, resumed
//                          and sent a user APC; then a WriteFileEx whose
//                          completion routine runs in an alertable sleep:
//                          "threads apc N on its thread, exit N, completion N"
//   poke-at ADDRESS|shared ask the driver to write at ADDRESS (a number),
//                          or into a VirtualAlloc word: "poked N" with
//                          the word then, or "refused STATUS"
//   echo                   a buffered, an in-direct, an out-direct and a
//                          neither request: "echo ok" or what differed
//   put NAME AT TEXT EVENT FROM
//                          map section NAME (64 KB, made when missing), write
//                          TEXT at AT, print "put", wait for named event
//                          EVENT, then print the text at FROM
//   get NAME AT            map section NAME and print the text at AT
//   reg NAME VALUE         set HKLM\Software\HostTest NAME to the string
//                          VALUE and read it back: "reg VALUE"
//   file PATH TEXT         write TEXT to a new file PATH and ask its size:
//                          "file N"
//   count NAME N           release named semaphore NAME N times, then wait
//                          on it N+1 times with no time-out: "count M"
//   watch DIR event|apc|sync
//                          one change notification on folder DIR (a native
//                          path), for names in it: overlapped with an event
//                          into a buffer of the program's own, with a
//                          completion routine into a VirtualAlloc buffer, or
//                          synchronous; "watching" once it is asked, then
//                          "changed STATUS bytes N" ("... by its routine" for
//                          the routine, which must run on the asking thread)
//   watch-many DIR N       N change notifications on folder DIR at once, each
//                          with its own event: "watching P refused STATUS"
//                          (P pending); once a change ended one, the folder
//                          closed, "ended E" (E of them ended)
//   make PATH              create the file PATH: "made"
//   move FROM TO           rename FROM to TO: "moved"
//   list DIR event|apc     an overlapped listing of folder DIR (a native
//                          path) in one call: "listed STATUS NAME..."
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/machine_inspect.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/w32_seam.h"
#include "platform/win32/win32.h"
#include "tests/platform/host/host_test_driver.h"

namespace {

HANDLE OpenDevice()
{
    return CreateFileA("\\\\.\\HostTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

int Echo()
{
    HANDLE device = OpenDevice();
    if (device == INVALID_HANDLE_VALUE) return std::printf("open error %u\n", GetLastError()), 1;
    unsigned char in[64], out[64];
    for (int i = 0; i < 64; i++) in[i] = static_cast<unsigned char>(i * 3);
    const ULONG codes[] = {IOCTL_HT_ECHO_BUFFERED, IOCTL_HT_ECHO_IN_DIRECT, IOCTL_HT_ECHO_OUT_DIRECT,
                           IOCTL_HT_ECHO_NEITHER};
    for (ULONG code : codes) {
        DWORD returned = 0;
        std::memset(out, 0xEE, sizeof out);
        // In-direct: the driver reads the second buffer, so it carries the data.
        bool inDirect = code == IOCTL_HT_ECHO_IN_DIRECT;
        if (inDirect) std::memcpy(out, in, sizeof in);
        BOOL ok = DeviceIoControl(device, code, in, sizeof in, out, sizeof out, &returned, nullptr);
        bool same = true;
        for (int i = 0; i < 64; i++) same &= out[i] == static_cast<unsigned char>(inDirect ? in[i] : in[63 - i]);
        if (!ok || returned != 64 || !same) {
            std::printf("echo %#x failed: ok %d, %u bytes, error %u\n", code, ok, returned, GetLastError());
            return 1;
        }
    }
    CloseHandle(device);
    std::printf("echo ok\n");
    return 0;
}

// Watches the first word of a buffer that a held request has locked.
int Ring(bool shared, DWORD bytes)
{
    HANDLE device = CreateFileA("\\\\.\\HostTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return std::printf("open error %u\n", GetLastError()), 1;
    static ULONG own[1024];
    if (!shared) bytes = sizeof own;
    auto* ring = shared ? static_cast<volatile ULONG*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE)) : own;
    if (!ring) return std::printf("alloc error %u\n", GetLastError()), 1;
    volatile ULONG& last = ring[bytes / sizeof(ULONG) - 1];
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    // A large ring goes by its address inside a record, as the export
    // engine's does; a small one as the request's own buffer.
    ULONG record[2] = {static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(ring)), bytes};
    BOOL ok = bytes > 4096 ? DeviceIoControl(device, IOCTL_HT_HOLD_RING, record, sizeof record, nullptr, 0, &returned, &ov)
                           : DeviceIoControl(device, IOCTL_HT_HOLD_OUT_DIRECT, nullptr, 0, const_cast<ULONG*>(ring),
                                             bytes, &returned, &ov);
    if (ok || GetLastError() != ERROR_IO_PENDING) return std::printf("not pending %u\n", GetLastError()), 1;
    std::printf("pending\n");
    // Our own buffer is a copy until completion: a short look tells.
    DWORD deadline = GetTickCount() + (shared ? 60000 : 500);
    while ((ring[0] == 0 || (bytes > 4096 && last == 0)) && static_cast<LONG>(deadline - GetTickCount()) > 0) Sleep(5);
    if (ring[0] == 0)
        std::printf("unseen\n");
    else
        std::printf("seen %u%s %s completion\n", static_cast<unsigned>(ring[0]),
                    bytes > 4096 && last == ring[0] ? " at both ends" : "",
                    WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT ? "before" : "after");
    WaitForSingleObject(ov.hEvent, INFINITE);
    ok = GetOverlappedResult(device, &ov, &returned, FALSE);
    std::printf(ok ? "done %u\n" : "failed %u\n", ok ? static_cast<unsigned>(ring[0]) : GetLastError());
    return ok ? 0 : 1;
}

DWORD WINAPI WaitForever(LPVOID event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

// Makes up to N threads that wait; how many it got and the first error.
int ManyThreads(int n)
{
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int made = 0;
    DWORD error = 0;
    for (int i = 0; i < n; i++) {
        HANDLE t = CreateThread(nullptr, 0, WaitForever, stop, 0, nullptr);
        if (!t) {
            if (!error) error = GetLastError();
            continue;
        }
        made++;
        CloseHandle(t);
    }
    // The host still answers this process's calls.
    HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::printf("threads %d error %u%s\n", made, error, probe ? "" : ", then no more calls");
    SetEvent(stop);
    return 0;
}

DWORD apcValue = 0, apcThread = 0, completedBytes = 0;

DWORD AlertableWaiter(LPVOID)
{
    // The APC ends the sleep: its return says so.
    return SleepEx(INFINITE, TRUE) == WAIT_IO_COMPLETION ? 77 : 1;
}

int Threads()
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, AlertableWaiter, nullptr, CREATE_SUSPENDED, &id);
    if (!thread) return std::printf("create error %u\n", GetLastError()), 1;
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code) || code != STILL_ACTIVE) return std::printf("not active\n"), 1;
    QueueUserAPC([](ULONG_PTR v) { apcValue = static_cast<DWORD>(v), apcThread = GetCurrentThreadId(); }, thread, 5);
    ResumeThread(thread);
    if (WaitForSingleObject(thread, 60000) != WAIT_OBJECT_0) return std::printf("thread did not end\n"), 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);

    HANDLE file = CreateFileA("C:\\hostapc.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::printf("file error %u\n", GetLastError()), 1;
    OVERLAPPED ov{};
    if (!WriteFileEx(file, "seven b", 7, &ov,
                     [](DWORD error, DWORD bytes, LPOVERLAPPED) { completedBytes = error ? 0 : bytes; }))
        return std::printf("write error %u\n", GetLastError()), 1;
    DWORD slept = SleepEx(60000, TRUE);
    CloseHandle(file);
    std::printf("threads apc %u %s, exit %u, completion %u%s\n", apcValue,
                apcThread == id ? "on its thread" : "elsewhere", code, completedBytes,
                slept == WAIT_IO_COMPLETION ? "" : " (sleep not ended by it)");
    return 0;
}


// A folder handle for the native calls, without synchronous I/O unless asked.
HANDLE OpenFolder(const char* path, bool synchronous)
{
    std::u16string full(path, path + std::strlen(path));
    UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), full.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE folder = nullptr;
    NTSTATUS s = NtCreateFile(&folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                              FILE_DIRECTORY_FILE | (synchronous ? ULONG(FILE_SYNCHRONOUS_IO_NONALERT) : 0u), nullptr, 0);
    if (!NT_SUCCESS(s)) std::printf("open %#x\n", static_cast<unsigned>(s));
    return NT_SUCCESS(s) ? folder : nullptr;
}

struct Completion {
    bool ran = false;
    DWORD thread = 0;
    IO_STATUS_BLOCK* iosb = nullptr;
} completion;

void Completed(PVOID context, PIO_STATUS_BLOCK iosb, ULONG)
{
    auto* c = static_cast<Completion*>(context);
    c->ran = true;
    c->thread = GetCurrentThreadId();
    c->iosb = iosb;
}

// Waits alertably until the completion routine ran on this thread.
bool AwaitRoutine(IO_STATUS_BLOCK* iosb)
{
    for (int i = 0; i < 600 && !completion.ran; i++) SleepEx(100, TRUE);
    return completion.ran && completion.thread == GetCurrentThreadId() && completion.iosb == iosb;
}

int Watch(const char* path, const std::string& mode)
{
    constexpr ULONG kNameChanges = 0x1 | 0x2;  // file and folder names
    bool sync = mode == "sync", apc = mode == "apc";
    HANDLE folder = OpenFolder(path, sync);
    if (!folder) return 1;
    static UCHAR own[4096];
    auto* buffer = apc ? static_cast<UCHAR*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE)) : own;
    HANDLE event = mode == "event" ? CreateEventA(nullptr, TRUE, TRUE, nullptr) : nullptr;  // set: the call clears it
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x7777;
    if (sync) std::printf("watching\n");
    NTSTATUS s = NtNotifyChangeDirectoryFile(folder, event, apc ? Completed : nullptr, apc ? &completion : nullptr,
                                             &iosb, buffer, 4096, kNameChanges, FALSE);
    if (!sync) {
        if (s != STATUS_PENDING) return std::printf("not pending %#x\n", static_cast<unsigned>(s)), 1;
        if (event && WaitForSingleObject(event, 0) != WAIT_TIMEOUT) return std::printf("event left set\n"), 1;
        std::printf("watching\n");
        if (event && WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return std::printf("wait failed\n"), 1;
        if (apc && !AwaitRoutine(&iosb)) return std::printf("routine did not run here\n"), 1;
        s = iosb.Status;
    }
    std::printf("changed %#x bytes %lu%s\n", static_cast<unsigned>(s), static_cast<unsigned long>(iosb.Information),
                apc ? " by its routine" : "");
    CloseHandle(folder);
    return 0;
}

// Asks for N change notifications on one folder at once, each with its own
// event: how many are pending and what refused the rest; then, once a
// change ended them, how many ended.
int WatchMany(const char* path, int n)
{
    HANDLE folder = OpenFolder(path, false);
    if (!folder) return 1;
    struct Watch {
        HANDLE event;
        IO_STATUS_BLOCK iosb;
        UCHAR buffer[64];
    };
    std::vector<Watch> watches(static_cast<size_t>(n));
    std::vector<HANDLE> pending;
    NTSTATUS refusal = STATUS_SUCCESS;
    for (Watch& w : watches) {
        w.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        NTSTATUS s = NtNotifyChangeDirectoryFile(folder, w.event, nullptr, nullptr, &w.iosb, w.buffer, sizeof w.buffer,
                                                 0x1 | 0x2, FALSE);
        if (s == STATUS_PENDING) pending.push_back(w.event);
        else if (refusal == STATUS_SUCCESS) refusal = s;
    }
    std::printf("watching %zu refused %#x\n", pending.size(), static_cast<unsigned>(refusal));
    // A change ends one of them; closing the folder ends the others.
    if (pending.empty() || WaitForMultipleObjects(static_cast<DWORD>(pending.size()), pending.data(), FALSE, 60000) ==
                               WAIT_TIMEOUT)
        return std::printf("no change\n"), 1;
    CloseHandle(folder);
    size_t ended = 0;
    for (HANDLE e : pending)
        if (WaitForSingleObject(e, 60000) == WAIT_OBJECT_0) ended++;
    std::printf("ended %zu\n", ended);
    return 0;
}

int List(const char* path, const std::string& mode)
{
    bool apc = mode == "apc";
    HANDLE folder = OpenFolder(path, false);
    if (!folder) return 1;
    static UCHAR own[4096];
    auto* buffer = apc ? static_cast<UCHAR*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE)) : own;
    HANDLE event = apc ? nullptr : CreateEventA(nullptr, TRUE, TRUE, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS s = NtQueryDirectoryFile(folder, event, apc ? Completed : nullptr, apc ? &completion : nullptr, &iosb,
                                      buffer, 4096, FileNamesInformation, FALSE, nullptr, TRUE);
    if (NT_ERROR(s)) return std::printf("listed %#x\n", static_cast<unsigned>(s)), 1;
    if (event && WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return std::printf("wait failed\n"), 1;
    if (apc && !AwaitRoutine(&iosb)) return std::printf("routine did not run here\n"), 1;
    std::string names;
    for (ULONG at = 0; NT_SUCCESS(iosb.Status) && at < iosb.Information;) {
        auto* record = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer + at);
        names += " ";
        for (ULONG i = 0; i < record->FileNameLength / 2; i++) names += char(record->FileName[i]);
        if (!record->NextEntryOffset) break;
        at += record->NextEntryOffset;
    }
    std::printf("listed %#x%s\n", static_cast<unsigned>(iosb.Status), names.c_str());
    CloseHandle(folder);
    return 0;
}

// The service manager from a client: a kernel service of the host's
// built-in test driver, created, started (its device then opens), stopped
// and deleted, with the errors of each wrong step.
int ServiceDriver()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return std::printf("manager error %u\n", GetLastError()), 1;
    // Started at boot from now on, but not loaded until it is started.
    DWORD tag = 0;
    SC_HANDLE service = CreateServiceA(manager, "HostSvc", "Host test service", SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                                       "\\SystemRoot\\System32\\Drivers\\HostSvc.sys", "Host group", &tag, nullptr,
                                       nullptr, nullptr);
    if (!service) return std::printf("create error %u\n", GetLastError()), 1;
    std::printf("created\n");
    SC_HANDLE twice = CreateServiceA(manager, "HostSvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "System32\\drivers\\HostSvc.sys",
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
    std::printf("twice %u\n", twice ? 0u : GetLastError());
    SC_HANDLE unknown = OpenServiceA(manager, "NoSuchService", SERVICE_ALL_ACCESS);
    std::printf("unknown %u\n", unknown ? 0u : GetLastError());
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    std::printf("state %u\n", status.dwCurrentState);
    std::printf(StartServiceA(service, 0, nullptr) ? "started\n" : "start error %u\n", GetLastError());
    std::printf("again %u\n", StartServiceA(service, 0, nullptr) ? 0u : GetLastError());
    QueryServiceStatus(service, &status);
    std::printf("state %u\n", status.dwCurrentState);
    HANDLE device = CreateFileA("\\\\.\\HostSvc", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::printf("device %s\n", device != INVALID_HANDLE_VALUE ? "opened" : "missing");
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    std::printf("stop %u state %u\n", stopped ? 0u : GetLastError(), status.dwCurrentState);
    std::printf("stop again %u\n", ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0u : GetLastError());
    device = CreateFileA("\\\\.\\HostSvc", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::printf("device %s\n", device != INVALID_HANDLE_VALUE ? "opened" : "missing");
    std::printf("deleted %u\n", DeleteService(service) ? 0u : GetLastError());
    CloseServiceHandle(service);
    std::printf("reopened %u\n", OpenServiceA(manager, "HostSvc", SERVICE_ALL_ACCESS) ? 0u : GetLastError());
    std::printf("closed %u\n", CloseServiceHandle(service) ? 0u : GetLastError());
    CloseServiceHandle(manager);
    return 0;
}

// A program's service: this program again, run by the service manager as
// a client process with "service-main".
int ServiceProgram(const char* self)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    std::string image = std::string("\"") + self + "\" service-main";
    SC_HANDLE service = CreateServiceA(manager, "HostEcho", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    if (!service) return std::printf("create error %u\n", GetLastError()), 1;
    if (!StartServiceA(service, 0, nullptr)) return std::printf("start error %u\n", GetLastError()), 1;
    SERVICE_STATUS status{};
    for (int i = 0; i < 600 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING; i++)
        Sleep(50);
    std::printf("state %u accepts %u\n", status.dwCurrentState, status.dwControlsAccepted);
    std::printf("again %u\n", StartServiceA(service, 0, nullptr) ? 0u : GetLastError());
    BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    std::printf("stop %u state %u\n", stopped ? 0u : GetLastError(), status.dwCurrentState);
    std::printf("stop again %u\n", ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0u : GetLastError());
    std::printf("deleted %u\n", DeleteService(service) ? 0u : GetLastError());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

// The same through the wide calls, with what they refuse: a name the ANSI
// code page cannot hold names no service, a database other than the
// active one, a bad manager handle.
int ServiceProgramWide(const char* self)
{
    std::printf("database %u\n", OpenSCManagerW(nullptr, u"Other", SC_MANAGER_ALL_ACCESS) ? 0u : GetLastError());
    SC_HANDLE manager = OpenSCManagerW(nullptr, u"ServicesActive", SC_MANAGER_ALL_ACCESS);
    if (!manager) return std::printf("manager error %u\n", GetLastError()), 1;
    std::string narrow = std::string("\"") + self + "\" service-main-wide";
    std::u16string image(narrow.begin(), narrow.end());
    std::printf("bad manager %u\n",
                CreateServiceW(nullptr, u"HostWide", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr)
                    ? 0u
                    : GetLastError());
    std::printf("unheld name %u\n",
                CreateServiceW(manager, u"Host\u4E2D", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr)
                    ? 0u
                    : GetLastError());
    SC_HANDLE service = CreateServiceW(manager, u"HostWide", u"Wide \u00E9cho", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) return std::printf("create error %u\n", GetLastError()), 1;
    std::printf("unheld open %u\n", OpenServiceW(manager, u"HostWide\u4E2D", SERVICE_ALL_ACCESS) ? 0u : GetLastError());
    std::printf("unknown %u\n", OpenServiceW(manager, u"NoSuchService", SERVICE_ALL_ACCESS) ? 0u : GetLastError());
    SC_HANDLE opened = OpenServiceW(manager, u"HostWide", SERVICE_ALL_ACCESS);
    if (!opened) return std::printf("open error %u\n", GetLastError()), 1;
    LPCWSTR args[] = {u"first", u"second"};
    if (!StartServiceW(opened, 2, args)) return std::printf("start error %u\n", GetLastError()), 1;
    SERVICE_STATUS status{};
    for (int i = 0; i < 600 && QueryServiceStatus(opened, &status) && status.dwCurrentState != SERVICE_RUNNING; i++)
        Sleep(50);
    // The service's main says, as its check point, that what it got came right.
    std::printf("state %u accepts %u arguments %u\n", status.dwCurrentState, status.dwControlsAccepted,
                status.dwCheckPoint);
    BOOL stopped = ControlService(opened, SERVICE_CONTROL_STOP, &status);
    std::printf("stop %u state %u\n", stopped ? 0u : GetLastError(), status.dwCurrentState);
    std::printf("deleted %u\n", DeleteService(service) ? 0u : GetLastError());
    CloseServiceHandle(opened);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

SERVICE_STATUS_HANDLE echoStatus;

void EchoControl(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP) return;
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    SetServiceStatus(echoStatus, &s);
}

void EchoMain(DWORD, LPSTR*)
{
    echoStatus = RegisterServiceCtrlHandlerA("HostEcho", EchoControl);
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(echoStatus, &s);
}

SERVICE_STATUS_HANDLE wideStatus;

void WideControl(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP) return;
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    SetServiceStatus(wideStatus, &s);
}

// What StartServiceW gave, which the service manager puts after the
// program's own words on its command line.
std::vector<std::string> wideStartWords;

// Its one argument, the service's name, wide; its check point counts the
// start's words that came right, as a sign the start's strings crossed.
void WideMain(DWORD count, LPWSTR* args)
{
    wideStatus = RegisterServiceCtrlHandlerW(u"HostWide", WideControl);
    bool named = count == 1 && std::u16string(args[0]) == u"HostWide";
    bool words = wideStartWords == std::vector<std::string>{"first", "second"};
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0,
                     named && words ? 3u : 0u, 0};
    SetServiceStatus(wideStatus, &s);
}

int ServiceMainProgram()
{
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("HostEcho"), EchoMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) return 2;
    std::string what = argv[1];
    if (!w32host::IsClient()) {
        std::printf("not a client\n");
        return 2;
    }
    if (what == "wait" && argc == 4) {
        HANDLE e = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
        DWORD r = WaitForSingleObject(e, static_cast<DWORD>(std::atoi(argv[3])));
        std::printf("%s\n", r == WAIT_OBJECT_0 ? "signalled" : r == WAIT_TIMEOUT ? "timeout" : "failed");
        return r == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (what == "set" && argc == 3) {
        HANDLE e = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[2]);
        if (!e) return std::printf("open error %u\n", GetLastError()), 1;
        return SetEvent(e) ? (std::printf("set\n"), 0) : 1;
    }
    if (what == "hold" && argc == 3) {
        HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
        std::printf("%lu\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(mine)));
        WaitForSingleObject(stop, INFINITE);
        // Still ours after the other client's attempt: unsignalled.
        std::printf("%s\n", WaitForSingleObject(mine, 0) == WAIT_TIMEOUT ? "untouched" : "touched");
        return 0;
    }
    if (what == "poke" && argc == 3) {
        auto h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::strtoul(argv[2], nullptr, 10)));
        if (SetEvent(h)) return std::printf("ok\n"), 0;
        std::printf("error %u\n", GetLastError());
        return 0;
    }
    if (what == "pend") {
        HANDLE device = OpenDevice();
        if (device == INVALID_HANDLE_VALUE) return std::printf("open error %u\n", GetLastError()), 1;
        ULONG value = 0;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device, IOCTL_HT_PEND, nullptr, 0, &value, sizeof value, &returned, nullptr);
        std::printf(ok ? "done %u\n" : "failed %u\n", ok ? value : GetLastError());
        return ok ? 0 : 1;
    }
    if (what == "overlapped") {
        HANDLE device = CreateFileA("\\\\.\\HostTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE) return std::printf("open error %u\n", GetLastError()), 1;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: the request must clear it
        ULONG value = 0;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device, IOCTL_HT_PEND, nullptr, 0, &value, sizeof value, &returned, &ov);
        if (ok || GetLastError() != ERROR_IO_PENDING) return std::printf("not pending %u\n", GetLastError()), 1;
        std::printf("pending\n");
        if (WaitForSingleObject(ov.hEvent, INFINITE) != WAIT_OBJECT_0) return 1;
        ok = GetOverlappedResult(device, &ov, &returned, FALSE);
        std::printf(ok && returned == sizeof value ? "done %u\n" : "failed %u\n", ok ? value : GetLastError());
        return ok ? 0 : 1;
    }
    if (what == "runtimes") {
        std::vector<machineinspect::InterruptRunTime> runTimes;
        if (!machineinspect::ReadInterruptRunTimes(&runTimes)) return std::printf("error %u\n", GetLastError()), 1;
        for (const machineinspect::InterruptRunTime& v : runTimes)
            if (v.vector == 0) std::printf("dpcs %llu\n", static_cast<unsigned long long>(v.dpcs));
        return 0;
    }
    if (what == "service-driver") return ServiceDriver();
    if (what == "service-program" && argc == 3) return ServiceProgram(argv[2]);
    if (what == "service-main") return ServiceMainProgram();
    if (what == "service-program-wide" && argc == 3) return ServiceProgramWide(argv[2]);
    if (what == "service-main-wide") {
        for (int i = 2; i < argc; i++) wideStartWords.push_back(argv[i]);
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"HostWide"), WideMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    if (what == "not-a-service") {
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("HostEcho"), EchoMain}, {nullptr, nullptr}};
        std::printf("dispatcher %u\n", StartServiceCtrlDispatcherA(table) ? 0u : GetLastError());
        return 0;
    }
    if (what == "echo") return Echo();
    if (what == "threads") return Threads();
    if (what == "poke-at" && argc == 3) {
        HANDLE device = OpenDevice();
        auto* mine = static_cast<volatile ULONG*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        bool shared = std::string(argv[2]) == "shared";
        ULONG_PTR address = shared ? reinterpret_cast<ULONG_PTR>(mine) : std::strtoul(argv[2], nullptr, 0);
        DWORD returned = 0;
        if (!DeviceIoControl(device, IOCTL_HT_POKE, &address, sizeof address, nullptr, 0, &returned, nullptr))
            return std::printf("refused %u\n", GetLastError()), 0;
        std::printf("poked %#x\n", shared ? static_cast<unsigned>(*mine) : 0u);
        return 0;
    }
    if (what == "ring" && (argc == 3 || argc == 4))
        return Ring(std::string(argv[2]) == "shared", argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 4096);
    if (what == "many-threads" && argc == 3) return ManyThreads(std::atoi(argv[2]));
    if (what == "transfer") {
        HANDLE device = CreateFileA("\\\\.\\HostTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        constexpr DWORD kBytes = 4u << 20;
        auto* buffer = static_cast<UCHAR*>(VirtualAlloc(nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE));
        if (device == INVALID_HANDLE_VALUE || !buffer) return std::printf("error %u\n", GetLastError()), 1;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD returned = 0;
        if (DeviceIoControl(device, IOCTL_HT_DMA, nullptr, 0, buffer, kBytes, &returned, &ov) ||
            GetLastError() != ERROR_IO_PENDING)
            return std::printf("not pending %u\n", GetLastError()), 1;
        std::printf("pending\n");
        BOOL ok = GetOverlappedResult(device, &ov, &returned, TRUE);
        std::printf(ok ? "done %#x\n" : "failed %u\n", ok ? buffer[kBytes - 1] : GetLastError());
        return ok ? 0 : 1;
    }
    if (what == "put" && argc == 7) {
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, argv[2]);
        auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
        if (!view) return std::printf("map error %u\n", GetLastError()), 1;
        std::strcpy(view + std::atoi(argv[3]), argv[4]);
        std::printf("put\n");
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, argv[5]);
        WaitForSingleObject(done, INFINITE);
        std::printf("%s\n", view + std::atoi(argv[6]));
        UnmapViewOfFile(view);
        return 0;
    }
    if (what == "get" && argc == 4) {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, argv[2]);
        auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        if (!view) return std::printf("map error %u\n", GetLastError()), 1;
        std::printf("%s\n", view + std::atoi(argv[3]));
        return 0;
    }
    if (what == "reg" && argc == 4) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\HostTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return std::printf("create failed\n"), 1;
        RegSetValueExA(key, argv[2], 0, REG_SZ, reinterpret_cast<const BYTE*>(argv[3]),
                       static_cast<DWORD>(std::strlen(argv[3]) + 1));
        char back[256] = {};
        DWORD type = 0, size = sizeof back;
        LSTATUS r = RegQueryValueExA(key, argv[2], nullptr, &type, reinterpret_cast<BYTE*>(back), &size);
        RegCloseKey(key);
        std::printf("reg %s\n", r == ERROR_SUCCESS && type == REG_SZ ? back : "failed");
        return 0;
    }
    if (what == "file" && argc == 4) {
        HANDLE f = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return std::printf("create error %u\n", GetLastError()), 1;
        DWORD written = 0;
        WriteFile(f, argv[3], static_cast<DWORD>(std::strlen(argv[3])), &written, nullptr);
        std::printf("file %u\n", GetFileSize(f, nullptr));
        CloseHandle(f);
        return 0;
    }
    if (what == "count" && argc == 4) {
        LONG n = std::atoi(argv[3]);
        HANDLE s = CreateSemaphoreA(nullptr, 0, 1000, argv[2]);
        for (LONG i = 0; i < n; i++) ReleaseSemaphore(s, 1, nullptr);
        LONG got = 0;
        while (WaitForSingleObject(s, 0) == WAIT_OBJECT_0) got++;
        std::printf("count %ld\n", static_cast<long>(got));
        return 0;
    }
    if (what == "watch" && argc == 4) return Watch(argv[2], argv[3]);
    if (what == "list" && argc == 4) return List(argv[2], argv[3]);
    if (what == "watch-many" && argc == 4) return WatchMany(argv[2], std::atoi(argv[3]));
    if (what == "make" && argc == 3) {
        HANDLE f = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return std::printf("create error %u\n", GetLastError()), 1;
        CloseHandle(f);
        return std::printf("made\n"), 0;
    }
    if (what == "move" && argc == 4) {
        if (!MoveFileA(argv[2], argv[3])) return std::printf("move error %u\n", GetLastError()), 1;
        return std::printf("moved\n"), 0;
    }
    return 2;
}

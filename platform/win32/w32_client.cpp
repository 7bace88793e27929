// The Win32 layer as a client of a machine host (platform/HOSTMODE.txt).
//
// At the first system call the process looks for a host: ZAR_MACHINE names
// the machine folder, and a host that accepts on its socket makes this
// process a client for good. Each thread then has its own connection (made
// at its first call, closed when it ends), so a thread waiting in the host
// never holds up another. The first connection creates the client's NT
// process in the host; later ones join it by the token the host gave.
//
// Buffers go by value (a request carries what the call reads, the reply
// what it wrote) unless they lie in this process's arena: memory the host
// made and mapped at the same address on both sides, from which
// VirtualAlloc allocates. Such a buffer crosses by its address, and the
// kernel works on these very pages: a driver writing into it while the
// request is pending is seen here at once.
#include "w32_client.h"
#include "w32_host.h"
#include "w32_internal.h"
#include "win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "../host/host_protocol.h"

namespace {

using hostproto::Reader;
using hostproto::Writer;

std::once_flag decided;
bool embeddedChosen = false;
bool active = false;
std::string socketPath;
std::mutex processLock;
uint32_t processToken = 0;
ULONG processId = 0;

// The arena: pieces of memory the host made, each mapped here at the host's
// address for it (or not at all), with their free and used pages. Pieces
// are only ever added, so a reader of 'arenaPieces' needs no lock.
struct ArenaPiece {
    uint8_t* base = nullptr;
    size_t size = 0;
    std::map<size_t, size_t> free;  // offset -> length, page multiples (with 'arenaLock')
    std::map<size_t, size_t> used;
};
constexpr int kArenaPieces = 16;
ArenaPiece arenaPieces[kArenaPieces];
std::atomic<int> arenaPieceCount{0};
std::mutex arenaLock;
constexpr size_t kArenaPage = 4096;

// Maps a piece the host handed over; false when this address is taken here.
bool MapArena(int fd, uint32_t address, uint32_t size)
{
    if (fd < 0) return false;
    bool mapped = false;
    std::lock_guard<std::mutex> g(arenaLock);
    int count = arenaPieceCount.load(std::memory_order_acquire);
    if (address && size && count < kArenaPieces) {
        void* at = ::mmap(reinterpret_cast<void*>(uintptr_t(address)), size, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_FIXED_NOREPLACE, fd, 0);
        if (at == reinterpret_cast<void*>(uintptr_t(address))) {
            ArenaPiece& piece = arenaPieces[count];
            piece.base = static_cast<uint8_t*>(at);
            piece.size = size;
            piece.free[0] = size;
            arenaPieceCount.store(count + 1, std::memory_order_release);
            mapped = true;
        } else if (at != MAP_FAILED) {
            ::munmap(at, size);  // somewhere else: of no use, since addresses must agree
        }
    }
    ::close(fd);
    return mapped;
}

int Connect()
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        ::close(fd);
        return -1;
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::u16string ImageName()
{
    char path[512];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name = n > 0 ? std::string(path, size_t(n)) : std::string("client");
    name = name.substr(name.rfind('/') + 1);
    return std::u16string(name.begin(), name.end());
}

// One thread's connection to the host.
struct Channel {
    int fd = -1;
    ULONG threadId = 0;
    NTSTATUS refused = STATUS_SUCCESS;  // why the host answered the last hello with no
    ~Channel()
    {
        if (fd >= 0) ::close(fd);
    }
    // Connects and says hello (for a thread made by CreateThread, with the
    // token the host gave it); false when the host does not answer.
    bool Open(uint32_t threadToken = 0)
    {
        fd = Connect();
        if (fd < 0) return false;
        // The hello of a made thread is answered only once its kernel
        // thread runs (it may be suspended): it holds no lock meanwhile.
        std::unique_lock<std::mutex> g(processLock, std::defer_lock);
        if (!threadToken) g.lock();
        Writer w;
        w.U32(hostproto::kVersion).U32(uint32_t(::getpid())).U32(processToken).U32(threadToken).Text(ImageName());
        uint16_t call;
        std::vector<uint8_t> body;
        int arenaFd = -1;
        if (!hostproto::Send(fd, hostproto::kHello, w.Body()) || !hostproto::Receive(fd, &call, &body, &arenaFd)) {
            ::close(fd);
            fd = -1;
            return false;
        }
        Reader r(body.data(), body.size());
        NTSTATUS status = NTSTATUS(r.U32());
        uint32_t token = r.U32();
        ULONG pid = r.U32();
        threadId = r.U32();
        uint32_t arenaAddress = r.U32(), arenaLength = r.U32();
        if (!r.Finished() || !NT_SUCCESS(status)) {
            if (arenaFd >= 0) ::close(arenaFd);
            ::close(fd);
            fd = -1;
            if (r.Finished()) refused = status;  // past one of the host's limits
            return false;
        }
        MapArena(arenaFd, arenaAddress, arenaLength);
        if (!threadToken) {
            processToken = token;
            processId = pid;
        }
        return true;
    }
};

thread_local Channel channel;

// Set on the thread that finishes pending requests: it learns of a lost
// host while it tells a waiter of a request that ended, after which the
// program may well have stopped its host; it is the program's other
// threads that tell.
thread_local bool hostLossIsQuiet = false;

[[noreturn]] void HostLost()
{
    if (hostLossIsQuiet)
        for (;;) ::pause();
    // The machine this process ran on is gone: nothing it holds is valid any
    // more, as when a real system stops under a program.
    std::fprintf(stderr, "win32: the machine host went away\n");
    std::_Exit(3);
}

// One round trip on the calling thread's connection; the reply's reader
// is positioned after the status, which is returned.
struct Reply {
    std::vector<uint8_t> body;
    Reader reader{nullptr, 0};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

// False when the host is gone.
bool Exchange(hostproto::Call call, const Writer& request, Reply* reply, int* receivedFd = nullptr)
{
    if (channel.fd < 0 && !channel.Open()) {
        // A thread past the host's limits fails its calls with the reason,
        // and tries again at its next call.
        if (channel.refused == STATUS_SUCCESS) return false;
        reply->body.clear();
        reply->reader = Reader(nullptr, 0);
        reply->status = channel.refused;
        channel.refused = STATUS_SUCCESS;
        return true;
    }
    uint16_t answered;
    if (!hostproto::Send(channel.fd, call, request.Body()) ||
        !hostproto::Receive(channel.fd, &answered, &reply->body, receivedFd))
        return false;
    reply->reader = Reader(reply->body.data(), reply->body.size());
    reply->status = NTSTATUS(reply->reader.U32());
    return true;
}

void Call(hostproto::Call call, const Writer& request, Reply* reply, int* receivedFd = nullptr)
{
    if (!Exchange(call, request, reply, receivedFd)) HostLost();
}

// Runs, in order, the user APCs the host delivered to this thread in the
// alertable wait whose reply 'r' is.
void RunDeliveredApcs(Reader& r)
{
    ULONG count = r.U32();
    for (ULONG i = 0; i < count && r.Ok(); i++) {
        auto routine = reinterpret_cast<PKUSER_APC_ROUTINE>(ULONG_PTR(r.U32()));
        auto context = reinterpret_cast<PVOID>(ULONG_PTR(r.U32()));
        auto arg1 = reinterpret_cast<PVOID>(ULONG_PTR(r.U32()));
        auto arg2 = reinterpret_cast<PVOID>(ULONG_PTR(r.U32()));
        if (r.Ok() && routine) routine(context, arg1, arg2);
    }
}

void WriteHandle(Writer& w, HANDLE h) { w.U32(ULONG(reinterpret_cast<ULONG_PTR>(h))); }
HANDLE ReadHandle(Reader& r) { return reinterpret_cast<HANDLE>(ULONG_PTR(r.U32())); }

void WriteAttributes(Writer& w, const OBJECT_ATTRIBUTES* oa)
{
    OBJECT_ATTRIBUTES none{};
    if (!oa) oa = &none;
    w.U32(oa->Attributes);
    WriteHandle(w, oa->RootDirectory);
    w.U32(oa->ObjectName ? 1 : 0);
    std::u16string name;
    if (oa->ObjectName && oa->ObjectName->Buffer) name.assign(oa->ObjectName->Buffer, oa->ObjectName->Length / 2);
    w.Text(name);
}

void ReadIosb(Reader& r, PIO_STATUS_BLOCK iosb)
{
    ULONG written = r.U32();
    NTSTATUS status = NTSTATUS(r.U32());
    ULONG information = r.U32();
    if (written && iosb) {
        iosb->Information = information;
        __atomic_store_n(&iosb->Status, status, __ATOMIC_RELEASE);
    }
}

// Pending requests filed for the completion thread and not yet finished:
// each still has the caller's event to set or completion routine to queue
// after the results are in place.
std::mutex awaitersLock;
std::condition_variable awaitersIdle;
int awaiters = 0;

}  // namespace

namespace w32host {

void StayEmbedded() { embeddedChosen = true; }

bool IsClient() { return w32::ClientActive(); }

bool SettleRequests(unsigned milliseconds)
{
    std::unique_lock<std::mutex> lock(awaitersLock);
    return awaitersIdle.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return awaiters == 0; });
}

}  // namespace w32host

namespace w32 {

bool ClientActive()
{
    std::call_once(decided, [] {
        const char* folder = std::getenv("ZAR_MACHINE");
        if (embeddedChosen || !folder || !*folder) return;
        socketPath = std::string(folder) + "/" + hostproto::kSocketName;
        active = channel.Open();
        if (!active && channel.refused != STATUS_SUCCESS) {
            // The host is there but takes no more processes: running
            // embedded on its folder instead would be a second machine.
            std::fprintf(stderr, "win32: the machine host of %s refused this process (status 0x%08lX)\n", folder,
                         static_cast<unsigned long>(channel.refused));
            std::_Exit(3);
        }
    });
    AttachLinkedLibraries();
    return active;
}

// First fit in the pieces mapped now ('arenaLock' held); null when none has room.
static void* ArenaTake(size_t size)
{
    int count = arenaPieceCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++) {
        ArenaPiece& piece = arenaPieces[i];
        for (auto it = piece.free.begin(); it != piece.free.end(); ++it) {
            if (it->second < size) continue;
            size_t offset = it->first, left = it->second - size;
            piece.free.erase(it);
            if (left) piece.free[offset + size] = left;
            piece.used[offset] = size;
            std::memset(piece.base + offset, 0, size);  // fresh memory reads as zeros
            return piece.base + offset;
        }
    }
    return nullptr;
}

void* ArenaAllocate(size_t size)
{
    if (!ClientActive() || !size || size > UINT32_MAX - kArenaPage) return nullptr;
    size = (size + kArenaPage - 1) / kArenaPage * kArenaPage;
    static std::atomic<bool> growthRefused{false};  // a piece could not be mapped here: ask no more
    {
        std::lock_guard<std::mutex> g(arenaLock);
        if (void* p = ArenaTake(size)) return p;
        if (arenaPieceCount.load(std::memory_order_acquire) >= kArenaPieces || growthRefused) return nullptr;
    }
    // No room: the host adds a piece, within its budget for this process.
    Writer w;
    w.U32(uint32_t(size));
    Reply r;
    int fd = -1;
    Call(hostproto::kGrowArena, w, &r, &fd);
    uint32_t address = r.reader.U32(), length = r.reader.U32();
    if (!NT_SUCCESS(r.status)) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    if (!MapArena(fd, address, length)) {  // the address is taken here
        growthRefused = true;
        return nullptr;
    }
    std::lock_guard<std::mutex> g(arenaLock);
    return ArenaTake(size);
}

bool ArenaFree(void* p)
{
    std::lock_guard<std::mutex> g(arenaLock);
    int count = arenaPieceCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++) {
        ArenaPiece& piece = arenaPieces[i];
        if (p < piece.base || p >= piece.base + piece.size) continue;
        auto used = piece.used.find(size_t(static_cast<uint8_t*>(p) - piece.base));
        if (used == piece.used.end()) return false;
        size_t offset = used->first, size = used->second;
        piece.used.erase(used);
        auto next = piece.free.lower_bound(offset);
        if (next != piece.free.end() && next->first == offset + size) {
            size += next->second;
            piece.free.erase(next);
        }
        auto previous = piece.free.lower_bound(offset);
        if (previous != piece.free.begin() && (--previous)->first + previous->second == offset) {
            previous->second += size;
        } else {
            piece.free[offset] = size;
        }
        return true;
    }
    return false;
}

bool InArena(const void* p, size_t n)
{
    auto* b = static_cast<const uint8_t*>(p);
    int count = arenaPieceCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++) {
        const ArenaPiece& piece = arenaPieces[i];
        if (b >= piece.base && n <= piece.size && size_t(b - piece.base) <= piece.size - n) return true;
    }
    return false;
}

NTSTATUS ClientUnsupported(const char* call)
{
    static std::mutex reportLock;
    static std::set<std::string> reported;
    std::lock_guard<std::mutex> g(reportLock);
    if (reported.insert(call).second)
        std::fprintf(stderr, "win32: %s is not carried to the machine host yet\n", call);
    return STATUS_NOT_IMPLEMENTED;
}

namespace client {

NTSTATUS NtClose(HANDLE handle)
{
    Writer w;
    WriteHandle(w, handle);
    Reply r;
    Call(hostproto::kClose, w, &r);
    return r.status;
}

static NTSTATUS CreateObject(hostproto::Call call, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             ULONG p1, ULONG p2)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(access);
    WriteAttributes(w, attributes);
    w.U32(p1).U32(p2);
    Reply r;
    Call(call, w, &r);
    HANDLE h = ReadHandle(r.reader);
    if (NT_SUCCESS(r.status)) *handle = h;
    return r.status;
}

static NTSTATUS OpenObject(hostproto::Call call, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    if (!handle || !attributes) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(access);
    WriteAttributes(w, attributes);
    Reply r;
    Call(call, w, &r);
    HANDLE h = ReadHandle(r.reader);
    if (NT_SUCCESS(r.status)) *handle = h;
    return r.status;
}

static NTSTATUS ObjectState(hostproto::Call call, HANDLE handle, PLONG previous)
{
    Writer w;
    WriteHandle(w, handle);
    Reply r;
    Call(call, w, &r);
    LONG p = LONG(r.reader.U32());
    if (NT_SUCCESS(r.status) && previous) *previous = p;
    return r.status;
}

NTSTATUS NtCreateEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, EVENT_TYPE type,
                       BOOLEAN initialState)
{
    return CreateObject(hostproto::kCreateEvent, handle, access, attributes, ULONG(type), initialState);
}
NTSTATUS NtOpenEvent(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return OpenObject(hostproto::kOpenEvent, handle, access, attributes);
}
NTSTATUS NtSetEvent(HANDLE handle, PLONG previousState) { return ObjectState(hostproto::kSetEvent, handle, previousState); }
NTSTATUS NtResetEvent(HANDLE handle, PLONG previousState)
{
    return ObjectState(hostproto::kResetEvent, handle, previousState);
}
NTSTATUS NtPulseEvent(HANDLE handle, PLONG previousState)
{
    return ObjectState(hostproto::kPulseEvent, handle, previousState);
}
NTSTATUS NtCreateSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, LONG initialCount,
                           LONG maximumCount)
{
    return CreateObject(hostproto::kCreateSemaphore, handle, access, attributes, ULONG(initialCount),
                        ULONG(maximumCount));
}
NTSTATUS NtOpenSemaphore(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return OpenObject(hostproto::kOpenSemaphore, handle, access, attributes);
}
NTSTATUS NtReleaseSemaphore(HANDLE handle, LONG releaseCount, PLONG previousCount)
{
    Writer w;
    WriteHandle(w, handle);
    w.U32(ULONG(releaseCount));
    Reply r;
    Call(hostproto::kReleaseSemaphore, w, &r);
    LONG p = LONG(r.reader.U32());
    if (NT_SUCCESS(r.status) && previousCount) *previousCount = p;
    return r.status;
}
NTSTATUS NtCreateMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, BOOLEAN initialOwner)
{
    return CreateObject(hostproto::kCreateMutant, handle, access, attributes, initialOwner, 0);
}
NTSTATUS NtOpenMutant(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return OpenObject(hostproto::kOpenMutant, handle, access, attributes);
}
NTSTATUS NtReleaseMutant(HANDLE handle, PLONG previousCount)
{
    return ObjectState(hostproto::kReleaseMutant, handle, previousCount);
}

NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout)
{
    if (count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    if (count && !handles) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(count);
    for (ULONG i = 0; i < count; i++) WriteHandle(w, handles[i]);
    w.U32(waitType == WaitAll).U32(alertable).U32(timeout ? 1 : 0).I64(timeout ? timeout->QuadPart : 0);
    Reply r;
    Call(hostproto::kWait, w, &r);
    RunDeliveredApcs(r.reader);
    return r.status;
}

NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    return NtWaitForMultipleObjects(1, &handle, WaitAny, alertable, timeout);
}

NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval)
{
    if (!interval) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(alertable).I64(interval->QuadPart);
    Reply r;
    Call(hostproto::kDelay, w, &r);
    RunDeliveredApcs(r.reader);
    return r.status;
}

NTSTATUS NtTestAlert()
{
    Reply r;
    Call(hostproto::kTestAlert, Writer(), &r);
    RunDeliveredApcs(r.reader);
    return r.status;
}

// Threads this process makes: the host makes the kernel thread (handle,
// id, suspension, exit code, APCs are the kernel's) and this process the
// thread that runs the routine, which joins that kernel thread by the
// host's token. Its hello is answered once the kernel thread runs, so a
// suspended thread starts when it is resumed.
NTSTATUS NtCreateUserThread(PHANDLE handle, ULONG (*routine)(PVOID), PVOID context, BOOLEAN suspended,
                            PCLIENT_ID clientId)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    if (!routine) return STATUS_INVALID_PARAMETER;
    Writer w;
    w.U32(suspended);
    Reply r;
    Call(hostproto::kCreateThread, w, &r);
    HANDLE h = ReadHandle(r.reader);
    ULONG id = r.reader.U32();
    uint32_t token = r.reader.U32();
    if (!NT_SUCCESS(r.status)) return r.status;
    auto run = [routine, context, token] {
        if (!channel.Open(token)) return;  // the process or its host ended first
        ULONG code = routine(context);
        Writer exit;
        exit.U32(code);
        // The host ends the kernel thread before it answers, so whoever
        // waited for this thread may already have stopped the host: a lost
        // answer here loses nothing.
        uint16_t answered;
        std::vector<uint8_t> body;
        if (hostproto::Send(channel.fd, hostproto::kExitThread, exit.Body()))
            hostproto::Receive(channel.fd, &answered, &body, nullptr);
    };
    try {
        std::thread(run).detach();
    } catch (const std::system_error&) {
        // No thread here: the kernel thread made for it waits until this
        // process ends, and the caller is told.
        NtClose(h);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = h;
    if (clientId) {
        clientId->UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR(processId));
        clientId->UniqueThread = reinterpret_cast<HANDLE>(ULONG_PTR(id));
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ThreadValue(hostproto::Call call, HANDLE thread, PULONG value)
{
    Writer w;
    WriteHandle(w, thread);
    Reply r;
    Call(call, w, &r);
    ULONG v = r.reader.U32();
    if (value && (NT_SUCCESS(r.status) || r.status == STATUS_PENDING)) *value = v;
    return r.status;
}

NTSTATUS NtResumeThread(HANDLE thread, PULONG suspendCount)
{
    return ThreadValue(hostproto::kResumeThread, thread, suspendCount);
}

NTSTATUS NtGetExitCodeThread(HANDLE thread, PULONG exitCode)
{
    return ThreadValue(hostproto::kGetExitCodeThread, thread, exitCode);
}

NTSTATUS NtSetThreadPriority(HANDLE thread, LONG priority)
{
    Writer w;
    WriteHandle(w, thread);
    w.U32(ULONG(priority));
    Reply r;
    Call(hostproto::kSetThreadPriority, w, &r);
    return r.status;
}

// The host queues the APC to the kernel thread; its alertable wait hands it
// back here to run (RunDeliveredApcs).
NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    if (!routine) return STATUS_INVALID_PARAMETER;
    auto value = [](const void* p) { return ULONG(reinterpret_cast<ULONG_PTR>(p)); };
    Writer w;
    WriteHandle(w, thread);
    w.U32(value(reinterpret_cast<const void*>(routine))).U32(value(context)).U32(value(arg1)).U32(value(arg2));
    Reply r;
    Call(hostproto::kQueueApc, w, &r);
    return r.status;
}

NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime)
{
    if (!systemTime) return STATUS_ACCESS_VIOLATION;
    Reply r;
    Call(hostproto::kSystemTime, Writer(), &r);
    systemTime->QuadPart = r.reader.I64();
    return r.status;
}

ULONG NtGetTickCount()
{
    Reply r;
    Call(hostproto::kTickCount, Writer(), &r);
    return r.reader.U32();
}

NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency)
{
    Reply r;
    Call(hostproto::kPerformanceCounter, Writer(), &r);
    LONGLONG c = r.reader.I64(), f = r.reader.I64();
    if (counter) counter->QuadPart = c;
    if (frequency) frequency->QuadPart = f;
    return r.status;
}

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returnLength)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    Writer w;
    w.U32(infoClass).U32(length);
    Reply r;
    Call(hostproto::kQuerySystemInformation, w, &r);
    ULONG needed = r.reader.U32();
    uint32_t n;
    const uint8_t* data = r.reader.Bytes(&n);
    if (n && info) std::memcpy(info, data, n < length ? n : length);
    if (returnLength) *returnLength = needed;
    return r.status;
}

ULONG NtGetCurrentProcessId()
{
    if (channel.fd < 0 && !channel.Open() && channel.refused == STATUS_SUCCESS) HostLost();
    return processId;
}

ULONG NtGetCurrentThreadId()
{
    if (channel.fd < 0 && !channel.Open() && channel.refused == STATUS_SUCCESS) HostLost();
    return channel.threadId;
}

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                      PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID, ULONG)
{
    if (!handle || !attributes) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(access);
    WriteAttributes(w, attributes);
    w.U32(allocationSize ? 1 : 0).I64(allocationSize ? allocationSize->QuadPart : 0);
    w.U32(fileAttributes).U32(shareAccess).U32(createDisposition).U32(createOptions);
    Reply r;
    Call(hostproto::kCreateFile, w, &r);
    HANDLE h = ReadHandle(r.reader);
    ReadIosb(r.reader, iosb);
    if (NT_SUCCESS(r.status)) *handle = h;
    return r.status;
}

// Device controls, reads and writes. A synchronous one runs in the host
// to its end. An asynchronous one (an event, an OVERLAPPED or a completion
// routine on the call) ends as the kernel would end it for an embedded
// caller: when the host's kernel finishes it at once, its results are here
// when the call returns; when the kernel leaves it pending, the call
// returns STATUS_PENDING and a thread of this process (with its own
// connection, in the same NT process) awaits its end in the host, writes
// the results into the caller's buffers and status block and only then
// sets the caller's event, so a waiter always finds them in place. A
// completion routine is then queued as a user APC to the issuing thread,
// which runs it in an alertable wait.
struct CompletionApc {
    PIO_APC_ROUTINE routine;
    PVOID context;
    PIO_STATUS_BLOCK iosb;
};

static void RunCompletion(PVOID context, PVOID, PVOID)
{
    std::unique_ptr<CompletionApc> c(static_cast<CompletionApc*>(context));
    c->routine(c->context, c->iosb, 0);
}

// The results of a request's reply (after its status and token).
static void TakeResults(Reader& r, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length)
{
    IO_STATUS_BLOCK local{};
    ReadIosb(r, iosb ? iosb : &local);
    uint32_t n;
    const uint8_t* data = r.Bytes(&n);
    if (n && buffer) std::memcpy(buffer, data, n < length ? n : length);
}

struct Asynchronous {
    HANDLE event = nullptr;
    PIO_APC_ROUTINE apcRoutine = nullptr;
    PVOID apcContext = nullptr;
    bool Is() const { return event || apcRoutine || apcContext; }
    // What the host must do at its end: only the file tells a caller that
    // has neither an event nor a completion routine.
    uint32_t Kind() const
    {
        if (!Is()) return hostproto::kSynchronous;
        return event || apcRoutine ? hostproto::kAsyncNotified : hostproto::kAsyncOnFile;
    }
    // The request ended: its event, then its completion routine, to 'thread'.
    void Ended(PIO_STATUS_BLOCK iosb, HANDLE thread) const
    {
        if (event) NtSetEvent(event, nullptr);
        if (apcRoutine) {
            auto* c = new CompletionApc{apcRoutine, apcContext, iosb};
            if (!NT_SUCCESS(NtQueueApcThread(thread, RunCompletion, c, nullptr, nullptr))) delete c;
        }
    }
};

// A request the kernel left pending, as the process's completion thread
// finishes it: results into the caller's buffers, then its event and its
// completion routine.
struct AwaitedRequest {
    PIO_STATUS_BLOCK iosb;
    PVOID buffer;
    ULONG length;
    Asynchronous async;
    HANDLE issuer;
    void Finish(Reader& r) const
    {
        TakeResults(r, iosb, buffer, length);
        if (iosb) StatusWritten(iosb);  // a wait on the file wakes with its results in place
        async.Ended(iosb, issuer);
        if (issuer) NtClose(issuer);
    }
};

// One thread of this process, with one connection, awaits every pending
// request (kAwaitAny) and finishes each as it ends. A request may end
// before its issuer has filed it: its reply then waits in 'endedEarly'.
// Never destroyed: the completion thread may still run while the process exits.
static std::mutex& awaitLock = *new std::mutex;
static std::map<uint32_t, AwaitedRequest>& awaited = *new std::map<uint32_t, AwaitedRequest>;  // with 'awaitLock'
static std::map<uint32_t, std::vector<uint8_t>>& endedEarly =
    *new std::map<uint32_t, std::vector<uint8_t>>;  // reply bodies, with 'awaitLock'
static bool completionsStarted = false;             // with 'awaitLock'

static void ServeCompletions()
{
    hostLossIsQuiet = true;
    for (;;) {
        Reply done;
        // A host gone is for the process's other calls to tell.
        if (!Exchange(hostproto::kAwaitAny, Writer(), &done)) return;
        uint32_t token = done.reader.U32();
        if (!token) {  // refused for now (past the host's limits), or the host is stopping
            ::usleep(10000);
            continue;
        }
        AwaitedRequest request;
        {
            std::lock_guard<std::mutex> g(awaitLock);
            auto it = awaited.find(token);
            if (it == awaited.end()) {
                endedEarly[token] = std::move(done.body);
                continue;
            }
            request = it->second;
            awaited.erase(it);
        }
        request.Finish(done.reader);
        std::lock_guard<std::mutex> g(awaitersLock);
        if (--awaiters == 0) awaitersIdle.notify_all();
    }
}

// Files a pending request for the completion thread (started at the first);
// false when no thread can be had, the request then not filed.
static bool FileAwaited(uint32_t token, const AwaitedRequest& request, std::vector<uint8_t>* early)
{
    std::lock_guard<std::mutex> g(awaitLock);
    auto ended = endedEarly.find(token);
    if (ended != endedEarly.end()) {
        *early = std::move(ended->second);
        endedEarly.erase(ended);
        return true;
    }
    if (!completionsStarted) {
        try {
            std::thread(ServeCompletions).detach();
        } catch (const std::system_error&) {
            return false;
        }
        completionsStarted = true;
    }
    awaited[token] = request;
    std::lock_guard<std::mutex> counted(awaitersLock);
    awaiters++;
    return true;
}

static NTSTATUS DeviceIo(hostproto::Call call, const Writer& request, const Asynchronous& async,
                         PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length)
{
    if (async.event) {
        NTSTATUS s = NtResetEvent(async.event, nullptr);
        if (!NT_SUCCESS(s)) return s;
    }
    Reply r;
    Call(call, request, &r);
    uint32_t token = r.reader.U32();
    if (async.Is() && r.status == STATUS_PENDING && token) {
        HANDLE issuer = nullptr;
        if (async.apcRoutine)
            NtDuplicateObject(NtCurrentProcess(), NtCurrentThread(), NtCurrentProcess(), &issuer, 0, 0,
                              DUPLICATE_SAME_ACCESS);
        AwaitedRequest awaitedRequest{iosb, buffer, length, async, issuer};
        std::vector<uint8_t> early;
        if (FileAwaited(token, awaitedRequest, &early)) {
            if (!early.empty()) {  // it ended already
                Reader done(early.data(), early.size());
                done.U32(), done.U32();
                awaitedRequest.Finish(done);
            }
            return STATUS_PENDING;
        }
        // No thread to await it: the caller waits it out itself.
        Writer w;
        w.U32(token);
        Reply done;
        Call(hostproto::kAwaitRequest, w, &done);
        done.reader.U32();
        awaitedRequest.Finish(done.reader);
        return STATUS_PENDING;
    }
    TakeResults(r.reader, iosb, buffer, length);
    if (async.Is() && !NT_ERROR(r.status)) async.Ended(iosb, NtCurrentThread());
    return r.status;
}

static NTSTATUS ControlFile(hostproto::Call call, HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                            PVOID apcContext, PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                            ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    Asynchronous async{event, apcRoutine, apcContext};
    bool buffered = METHOD_FROM_CTL_CODE(ioControlCode) == METHOD_BUFFERED;
    bool inShared = inputBuffer && inputLength && InArena(inputBuffer, inputLength);
    bool outShared = outputBuffer && outputLength && InArena(outputBuffer, outputLength);
    if ((!inShared && inputLength > hostproto::kMaxBody / 2) || (!outShared && outputLength > hostproto::kMaxBody / 2))
        return STATUS_INSUFFICIENT_RESOURCES;
    // Copies are made of what this process hands over: memory it cannot
    // read or write is refused here, as the kernel's probe would refuse it.
    if ((inputBuffer && !inShared && IsBadReadPtr(inputBuffer, inputLength)) ||
        (outputBuffer && !outShared && (IsBadWritePtr(outputBuffer, outputLength) ||
                                        (!buffered && IsBadReadPtr(outputBuffer, outputLength)))))
        return STATUS_ACCESS_VIOLATION;
    Writer w;
    WriteHandle(w, file);
    w.U32(ioControlCode).U32(inputBuffer ? 1 : 0).Bytes(inputBuffer, inputBuffer && !inShared ? inputLength : 0);
    w.U32(inShared ? ULONG(reinterpret_cast<ULONG_PTR>(inputBuffer)) : 0).U32(inShared ? inputLength : 0);
    // The driver may read what the caller's output buffer holds, except
    // for a buffered request, which hands it a zeroed system buffer.
    w.U32(outputBuffer ? 1 : 0).U32(outputLength);
    w.Bytes(outputBuffer, outputBuffer && !buffered && !outShared ? outputLength : 0);
    w.U32(outShared ? ULONG(reinterpret_cast<ULONG_PTR>(outputBuffer)) : 0).U32(async.Kind());
    return DeviceIo(call, w, async, iosb, outShared ? nullptr : outputBuffer, outputLength);
}

NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile(hostproto::kDeviceIoControl, file, event, apcRoutine, apcContext, iosb, ioControlCode,
                       inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength,
                         PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile(hostproto::kFsControlFile, file, event, apcRoutine, apcContext, iosb, fsControlCode,
                       inputBuffer, inputLength, outputBuffer, outputLength);
}

static NTSTATUS Transfer(hostproto::Call call, HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                         PVOID apcContext, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                         PLARGE_INTEGER byteOffset, PULONG key)
{
    Asynchronous async{event, apcRoutine, apcContext};
    bool shared = buffer && length && InArena(buffer, length);
    if (!shared && length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    bool read = call == hostproto::kReadFile;
    // A null buffer with a length is as bad as any other: the host's copy
    // must never stand in for memory this process does not have.
    if (!shared && (read ? IsBadWritePtr(buffer, length) : IsBadReadPtr(buffer, length)))
        return read ? STATUS_ACCESS_VIOLATION : STATUS_INVALID_USER_BUFFER;
    Writer w;
    WriteHandle(w, file);
    w.U32(length).Bytes(buffer, read || shared ? 0 : length);
    w.U32(byteOffset ? 1 : 0).I64(byteOffset ? byteOffset->QuadPart : 0).U32(key ? 1 : 0).U32(key ? *key : 0);
    w.U32(shared ? ULONG(reinterpret_cast<ULONG_PTR>(buffer)) : 0).U32(async.Kind());
    return DeviceIo(call, w, async, iosb, read && !shared ? buffer : nullptr, length);
}

NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(hostproto::kReadFile, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset, key);
}

NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer(hostproto::kWriteFile, file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset,
                    key);
}

// Views of sections map the section's memory file, which the host hands
// over, into this process: the same pages as the drivers' and every other
// process's views. This process keeps its own list of them.
static std::mutex viewLock;
static std::map<ULONG_PTR, SIZE_T> views;

NTSTATUS NtCreateSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         PLARGE_INTEGER maximumSize, ULONG pageProtection, ULONG allocationAttributes,
                         HANDLE fileHandle)
{
    if (fileHandle) return ClientUnsupported("NtCreateSection of a file");
    if (!section) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(access);
    WriteAttributes(w, attributes);
    w.U32(maximumSize ? 1 : 0).I64(maximumSize ? maximumSize->QuadPart : 0).U32(pageProtection).U32(allocationAttributes);
    Reply r;
    Call(hostproto::kCreateSection, w, &r);
    HANDLE h = ReadHandle(r.reader);
    if (NT_SUCCESS(r.status)) *section = h;
    return r.status;
}

NTSTATUS NtOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return OpenObject(hostproto::kOpenSection, section, access, attributes);
}

NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR, SIZE_T,
                            PLARGE_INTEGER sectionOffset, PSIZE_T viewSize, SECTION_INHERIT, ULONG, ULONG protect)
{
    if (process != NtCurrentProcess()) return ClientUnsupported("NtMapViewOfSection into another process");
    if (!baseAddress || !viewSize) return STATUS_ACCESS_VIOLATION;
    LONGLONG offset = sectionOffset ? sectionOffset->QuadPart : 0;
    Writer w;
    WriteHandle(w, section);
    w.U32(protect).I64(offset).U32(ULONG(*viewSize));
    Reply r;
    int fd = -1;
    Call(hostproto::kMapSection, w, &r, &fd);
    SIZE_T size = r.reader.U32();
    if (!NT_SUCCESS(r.status) || fd < 0) {
        if (fd >= 0) ::close(fd);
        return NT_SUCCESS(r.status) ? STATUS_UNSUCCESSFUL : r.status;
    }
    if (*baseAddress && reinterpret_cast<ULONG_PTR>(*baseAddress) % 0x10000) {
        ::close(fd);
        return STATUS_MAPPED_ALIGNMENT;
    }
    int prot = PROT_READ | (protect == PAGE_READWRITE ? PROT_WRITE : 0);
    int flags = MAP_SHARED | (*baseAddress ? MAP_FIXED_NOREPLACE : 0);
    void* at = ::mmap(*baseAddress, size, prot, flags, fd, offset);
    ::close(fd);
    if (at == MAP_FAILED) return errno == EEXIST ? NTSTATUS{STATUS_CONFLICTING_ADDRESSES} : NTSTATUS{STATUS_NO_MEMORY};
    if (*baseAddress && at != *baseAddress) {
        ::munmap(at, size);
        return STATUS_CONFLICTING_ADDRESSES;
    }
    {
        std::lock_guard<std::mutex> g(viewLock);
        views[reinterpret_cast<ULONG_PTR>(at)] = size;
    }
    *baseAddress = at;
    *viewSize = size;
    return STATUS_SUCCESS;
}

NTSTATUS NtUnmapViewOfSection(HANDLE process, PVOID baseAddress)
{
    if (process != NtCurrentProcess()) return ClientUnsupported("NtUnmapViewOfSection of another process");
    std::lock_guard<std::mutex> g(viewLock);
    auto it = views.find(reinterpret_cast<ULONG_PTR>(baseAddress));
    if (it == views.end()) return STATUS_NOT_MAPPED_VIEW;
    ::munmap(baseAddress, it->second);
    views.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS NtDuplicateObject(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, PHANDLE targetHandle,
                           ACCESS_MASK access, ULONG attributes, ULONG options)
{
    Writer w;
    WriteHandle(w, sourceProcess);
    WriteHandle(w, sourceHandle);
    WriteHandle(w, targetProcess);
    w.U32(targetHandle ? 1 : 0).U32(access).U32(attributes).U32(options);
    Reply r;
    Call(hostproto::kDuplicateObject, w, &r);
    HANDLE h = ReadHandle(r.reader);
    if (NT_SUCCESS(r.status) && targetHandle) *targetHandle = h;
    return r.status;
}

static std::u16string Counted(const UNICODE_STRING* s)
{
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / 2) : std::u16string();
}

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING className, ULONG createOptions, PULONG disposition)
{
    if (!key || !attributes) return STATUS_ACCESS_VIOLATION;
    Writer w;
    w.U32(access);
    WriteAttributes(w, attributes);
    w.U32(titleIndex).U32(className ? 1 : 0).Text(Counted(className)).U32(createOptions);
    Reply r;
    Call(hostproto::kCreateKey, w, &r);
    HANDLE h = ReadHandle(r.reader);
    ULONG d = r.reader.U32();
    if (NT_SUCCESS(r.status)) {
        *key = h;
        if (disposition) *disposition = d;
    }
    return r.status;
}

NTSTATUS NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    return OpenObject(hostproto::kOpenKey, key, access, attributes);
}

static NTSTATUS KeyCall(hostproto::Call call, HANDLE key)
{
    Writer w;
    WriteHandle(w, key);
    Reply r;
    Call(call, w, &r);
    return r.status;
}

NTSTATUS NtDeleteKey(HANDLE key) { return KeyCall(hostproto::kDeleteKey, key); }
NTSTATUS NtFlushKey(HANDLE key) { return KeyCall(hostproto::kFlushKey, key); }

static NTSTATUS KeyQuery(hostproto::Call call, HANDLE key, const UNICODE_STRING* valueName, ULONG index,
                         ULONG infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    Writer w;
    WriteHandle(w, key);
    w.Text(Counted(valueName)).U32(index).U32(infoClass).U32(length);
    Reply r;
    Call(call, w, &r);
    ULONG needed = r.reader.U32();
    uint32_t n;
    const uint8_t* data = r.reader.Bytes(&n);
    if (n && info) std::memcpy(info, data, n < length ? n : length);
    if (resultLength) *resultLength = needed;
    return r.status;
}

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength)
{
    return KeyQuery(hostproto::kQueryValueKey, key, valueName, 0, infoClass, info, length, resultLength);
}
NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength)
{
    return KeyQuery(hostproto::kEnumerateKey, key, nullptr, index, infoClass, info, length, resultLength);
}
NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength)
{
    return KeyQuery(hostproto::kEnumerateValueKey, key, nullptr, index, infoClass, info, length, resultLength);
}
NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    return KeyQuery(hostproto::kQueryKey, key, nullptr, 0, infoClass, info, length, resultLength);
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize)
{
    if (dataSize > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    if (dataSize && !data) return STATUS_ACCESS_VIOLATION;
    Writer w;
    WriteHandle(w, key);
    w.Text(Counted(valueName)).U32(titleIndex).U32(type).Bytes(data, dataSize);
    Reply r;
    Call(hostproto::kSetValueKey, w, &r);
    return r.status;
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName)
{
    Writer w;
    WriteHandle(w, key);
    w.Text(Counted(valueName)).U32(0).U32(0).Bytes(nullptr, 0);
    Reply r;
    Call(hostproto::kDeleteValueKey, w, &r);
    return r.status;
}

static NTSTATUS FileInformation(hostproto::Call call, HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                ULONG infoClass)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    bool set = call == hostproto::kSetInformationFile;
    Writer w;
    WriteHandle(w, file);
    w.U32(infoClass).U32(length).Bytes(info, set && info ? length : 0);
    if (set && length && !info) return STATUS_ACCESS_VIOLATION;
    Reply r;
    Call(call, w, &r);
    ReadIosb(r.reader, iosb);
    uint32_t n;
    const uint8_t* data = r.reader.Bytes(&n);
    if (n && info) std::memcpy(info, data, n < length ? n : length);
    return r.status;
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass)
{
    return FileInformation(hostproto::kQueryInformationFile, file, iosb, info, length, infoClass);
}
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass)
{
    return FileInformation(hostproto::kSetInformationFile, file, iosb, info, length, infoClass);
}
NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                      FS_INFORMATION_CLASS infoClass)
{
    return FileInformation(hostproto::kQueryVolumeInformationFile, file, iosb, info, length, infoClass);
}

static NTSTATUS FileCall(hostproto::Call call, HANDLE file, PIO_STATUS_BLOCK iosb)
{
    Writer w;
    WriteHandle(w, file);
    Reply r;
    Call(call, w, &r);
    ReadIosb(r.reader, iosb);
    return r.status;
}

NTSTATUS NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK iosb) { return FileCall(hostproto::kFlushBuffersFile, file, iosb); }
NTSTATUS NtCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb) { return FileCall(hostproto::kCancelIoFile, file, iosb); }

NTSTATUS NtDeleteFile(POBJECT_ATTRIBUTES attributes)
{
    if (!attributes) return STATUS_ACCESS_VIOLATION;
    Writer w;
    WriteAttributes(w, attributes);
    Reply r;
    Call(hostproto::kDeleteFile, w, &r);
    return r.status;
}

// Directory listings and change notifications go as reads do: the kernel
// writes records into the caller's buffer, an overlapped one ends through
// its event or completion routine, and a notification the kernel leaves
// pending is awaited by a thread of this process (DeviceIo).
static NTSTATUS DirectoryBufferCheck(PVOID buffer, ULONG length, bool* shared)
{
    *shared = buffer && length && InArena(buffer, length);
    if (!*shared && length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    if (!*shared && length && (!buffer || IsBadWritePtr(buffer, length))) return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

NTSTATUS NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                              PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, FILE_INFORMATION_CLASS infoClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan)
{
    bool shared;
    NTSTATUS checked = DirectoryBufferCheck(info, length, &shared);
    if (!NT_SUCCESS(checked)) return checked;
    Asynchronous async{event, apcRoutine, apcContext};
    Writer w;
    WriteHandle(w, file);
    w.U32(length).U32(infoClass).U32(returnSingleEntry).U32(fileName ? 1 : 0).Text(Counted(fileName)).U32(restartScan);
    w.U32(shared ? ULONG(reinterpret_cast<ULONG_PTR>(info)) : 0).U32(async.Kind());
    return DeviceIo(hostproto::kQueryDirectoryFile, w, async, iosb, shared ? nullptr : info, length);
}

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, ULONG completionFilter,
                                     BOOLEAN watchTree)
{
    bool shared;
    NTSTATUS checked = DirectoryBufferCheck(buffer, length, &shared);
    if (!NT_SUCCESS(checked)) return checked;
    Asynchronous async{event, apcRoutine, apcContext};
    Writer w;
    WriteHandle(w, file);
    w.U32(length).U32(completionFilter).U32(watchTree);
    w.U32(shared ? ULONG(reinterpret_cast<ULONG_PTR>(buffer)) : 0).U32(async.Kind());
    return DeviceIo(hostproto::kNotifyChangeDirectory, w, async, iosb, shared ? nullptr : buffer, length);
}

NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId,
                       const std::vector<std::u16string>& strings, const void* data, ULONG dataSize)
{
    if (strings.size() > 256 || dataSize > hostproto::kMaxBody / 2) return STATUS_INVALID_PARAMETER;
    Writer w;
    w.Text(source).U32(type).U32(category).U32(eventId).U32(ULONG(strings.size()));
    for (const auto& text : strings) w.Text(text);
    w.Bytes(data, data ? dataSize : 0);
    Reply r;
    Call(hostproto::kReportEvent, w, &r);
    return r.status;
}

}  // namespace client
}  // namespace w32

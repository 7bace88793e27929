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
#include <type_traits>
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
        hostproto::HelloCall::Request hello{hostproto::kVersion, uint32_t(::getpid()), processToken, threadToken,
                                            ImageName()};
        Writer w;
        hostproto::Encode(w, hello);
        uint16_t call;
        std::vector<uint8_t> body;
        int arenaFd = -1;
        if (!hostproto::Send(fd, hostproto::kHello, w.Body()) || !hostproto::Receive(fd, &call, &body, &arenaFd)) {
            ::close(fd);
            fd = -1;
            return false;
        }
        hostproto::HelloCall::Reply reply;
        bool whole = hostproto::Decode(body, reply);
        NTSTATUS status = NTSTATUS(reply.status);
        threadId = reply.threadId;
        if (!whole || !NT_SUCCESS(status)) {
            if (arenaFd >= 0) ::close(arenaFd);
            ::close(fd);
            fd = -1;
            if (whole) refused = status;  // past one of the host's limits
            return false;
        }
        uint32_t token = reply.processToken;
        ULONG pid = reply.processId;
        uint32_t arenaAddress = reply.arenaAddress, arenaLength = reply.arenaSize;
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

// One round trip of a call of the host's table on the calling thread's
// connection: the reply's record, and the body its byte strings point into.
// A reply shorter than its record (the host failed the call for want of
// memory) leaves the fields it lacks at zero.
template <typename Call>
struct Answer {
    std::vector<uint8_t> body;
    typename Call::Reply reply;
    NTSTATUS Status() const { return NTSTATUS(reply.status); }
};

// False when the host is gone.
template <typename Call>
bool Exchange(const typename Call::Request& request, Answer<Call>* answer, int* receivedFd = nullptr)
{
    answer->reply = {};
    if (channel.fd < 0 && !channel.Open()) {
        // A thread past the host's limits fails its calls with the reason,
        // and tries again at its next call.
        if (channel.refused == STATUS_SUCCESS) return false;
        answer->body.clear();
        answer->reply.status = ULONG(channel.refused);
        channel.refused = STATUS_SUCCESS;
        return true;
    }
    Writer w;
    hostproto::Encode(w, request);
    uint16_t answered;
    if (!hostproto::Send(channel.fd, Call::kId, w.Body()) ||
        !hostproto::Receive(channel.fd, &answered, &answer->body, receivedFd))
        return false;
    Reader r(answer->body.data(), answer->body.size());
    hostproto::Decode(r, answer->reply);
    return true;
}

template <typename Call>
Answer<Call> Ask(const typename Call::Request& request, int* receivedFd = nullptr)
{
    Answer<Call> answer;
    if (!Exchange<Call>(request, &answer, receivedFd)) HostLost();
    return answer;
}

// Runs, in order, the user APCs the host delivered to this thread in the
// alertable wait that answered.
void RunDeliveredApcs(const hostproto::Apcs& apcs)
{
    for (const auto& apc : apcs) {
        auto routine = reinterpret_cast<PKUSER_APC_ROUTINE>(ULONG_PTR(apc.routine));
        if (routine)
            routine(reinterpret_cast<PVOID>(ULONG_PTR(apc.context)), reinterpret_cast<PVOID>(ULONG_PTR(apc.arg1)),
                    reinterpret_cast<PVOID>(ULONG_PTR(apc.arg2)));
    }
}

uint32_t Value(const void* p) { return uint32_t(reinterpret_cast<ULONG_PTR>(p)); }
HANDLE HandleOf(uint32_t value) { return reinterpret_cast<HANDLE>(ULONG_PTR(value)); }

hostproto::Attributes WireAttributes(const OBJECT_ATTRIBUTES* oa)
{
    hostproto::Attributes a;
    if (!oa) return a;
    a.attributes = oa->Attributes;
    a.root = Value(oa->RootDirectory);
    a.hasName = oa->ObjectName ? 1 : 0;
    if (oa->ObjectName && oa->ObjectName->Buffer) a.name.assign(oa->ObjectName->Buffer, oa->ObjectName->Length / 2);
    return a;
}

void TakeStatusBlock(const hostproto::StatusBlock& block, PIO_STATUS_BLOCK iosb)
{
    if (block.written && iosb) {
        iosb->Information = block.information;
        __atomic_store_n(&iosb->Status, NTSTATUS(block.status), __ATOMIC_RELEASE);
    }
}

// Copies what the host wrote into the caller's buffer.
void TakeBytes(const hostproto::ByteSpan& bytes, PVOID buffer, ULONG length)
{
    if (bytes.size && buffer) std::memcpy(buffer, bytes.data, bytes.size < length ? bytes.size : length);
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
    int fd = -1;
    auto grown = Ask<hostproto::GrowArenaCall>({uint32_t(size)}, &fd);
    uint32_t address = grown.reply.address, length = grown.reply.size;
    if (!NT_SUCCESS(grown.Status())) {
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


// A create or open of a named object: the handle is the caller's on success.
template <typename Answered>
NTSTATUS TakeHandle(const Answered& answered, PHANDLE handle)
{
    if (NT_SUCCESS(answered.Status())) *handle = HandleOf(answered.reply.handle);
    return answered.Status();
}

NTSTATUS NtWaitForMultipleObjects(ULONG count, const HANDLE* handles, WAIT_TYPE waitType, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout)
{
    if (count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    if (count && !handles) return STATUS_ACCESS_VIOLATION;
    hostproto::WaitCall::Request q;
    q.handles.resize(count);
    for (ULONG i = 0; i < count; i++) q.handles[i] = Value(handles[i]);
    q.waitAll = waitType == WaitAll;
    q.alertable = alertable;
    q.hasTimeout = timeout ? 1 : 0;
    q.timeout = timeout ? timeout->QuadPart : 0;
    auto a = Ask<hostproto::WaitCall>(q);
    RunDeliveredApcs(a.reply.apcs);
    return a.Status();
}

NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    return NtWaitForMultipleObjects(1, &handle, WaitAny, alertable, timeout);
}

NTSTATUS NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval)
{
    if (!interval) return STATUS_ACCESS_VIOLATION;
    auto a = Ask<hostproto::DelayCall>({alertable, interval->QuadPart});
    RunDeliveredApcs(a.reply.apcs);
    return a.Status();
}

NTSTATUS NtTestAlert()
{
    auto a = Ask<hostproto::TestAlertCall>({});
    RunDeliveredApcs(a.reply.apcs);
    return a.Status();
}

// Threads this process makes: the host makes the kernel thread (handle,
// id, suspension, exit code, APCs are the kernel's) and this process the
// thread that runs the routine, which joins that kernel thread by the
// host's token. Its hello is answered once the kernel thread runs, so a
// suspended thread starts when it is resumed.
NTSTATUS NtCreateUserThread(PHANDLE handle, PUSER_THREAD_ROUTINE routine, PVOID context, BOOLEAN suspended,
                            PCLIENT_ID clientId)
{
    if (!handle) return STATUS_ACCESS_VIOLATION;
    if (!routine) return STATUS_INVALID_PARAMETER;
    auto a = Ask<hostproto::CreateThreadCall>({suspended});
    if (!NT_SUCCESS(a.Status())) return a.Status();
    HANDLE h = HandleOf(a.reply.handle);
    ULONG id = a.reply.threadId;
    uint32_t token = a.reply.threadToken;
    auto run = [routine, context, token] {
        if (!channel.Open(token)) return;  // the process or its host ended first
        ULONG code = routine(context);
        Writer exit;
        hostproto::Encode(exit, hostproto::ExitThreadCall::Request{code});
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




// The host queues the APC to the kernel thread; its alertable wait hands it
// back here to run (RunDeliveredApcs).
NTSTATUS NtQueueApcThread(HANDLE thread, PKUSER_APC_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2)
{
    if (!routine) return STATUS_INVALID_PARAMETER;
    return Ask<hostproto::QueueApcCall>(
               {Value(thread), Value(reinterpret_cast<const void*>(routine)), Value(context), Value(arg1), Value(arg2)})
        .Status();
}

NTSTATUS NtQuerySystemTime(PLARGE_INTEGER systemTime)
{
    if (!systemTime) return STATUS_ACCESS_VIOLATION;
    auto a = Ask<hostproto::SystemTimeCall>({});
    systemTime->QuadPart = a.reply.systemTime;
    return a.Status();
}

ULONG NtGetTickCount() { return Ask<hostproto::TickCountCall>({}).reply.ticks; }

NTSTATUS NtQueryPerformanceCounter(PLARGE_INTEGER counter, PLARGE_INTEGER frequency)
{
    auto a = Ask<hostproto::PerformanceCounterCall>({});
    if (counter) counter->QuadPart = a.reply.counter;
    if (frequency) frequency->QuadPart = a.reply.frequency;
    return a.Status();
}

NTSTATUS NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returnLength)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    auto a = Ask<hostproto::QuerySystemInformationCall>({ULONG(infoClass), length});
    TakeBytes(a.reply.info, info, length);
    if (returnLength) *returnLength = a.reply.resultLength;
    return a.Status();
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
    auto a = Ask<hostproto::CreateFileCall>({access, WireAttributes(attributes), allocationSize ? 1u : 0u,
                                             allocationSize ? allocationSize->QuadPart : 0, fileAttributes,
                                             shareAccess, createDisposition, createOptions});
    TakeStatusBlock(a.reply.iosb, iosb);
    return TakeHandle(a, handle);
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

// The results of a request's reply (every request's reply has the same
// fields: the table's HOST_IO_REPLY).
template <typename Reply>
static void TakeResults(const Reply& reply, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length)
{
    TakeStatusBlock(reply.iosb, iosb);
    TakeBytes(reply.output, buffer, length);
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
    template <typename Reply>
    void Finish(const Reply& reply) const
    {
        TakeResults(reply, iosb, buffer, length);
        if (iosb) StatusWritten(iosb);  // a wait on the file wakes with its results in place
        async.Ended(iosb, issuer);
        if (issuer) NtClose(issuer);
    }
};

using AwaitAnyAnswer = Answer<hostproto::AwaitAnyCall>;

// One thread of this process, with one connection, awaits every pending
// request (AwaitAny) and finishes each as it ends. A request may end
// before its issuer has filed it: its answer then waits in 'endedEarly'.
// Never destroyed: the completion thread may still run while the process exits.
static std::mutex& awaitLock = *new std::mutex;
static std::map<uint32_t, AwaitedRequest>& awaited = *new std::map<uint32_t, AwaitedRequest>;  // with 'awaitLock'
static std::map<uint32_t, AwaitAnyAnswer>& endedEarly = *new std::map<uint32_t, AwaitAnyAnswer>;  // with 'awaitLock'
static bool completionsStarted = false;                                                         // with 'awaitLock'

static void ServeCompletions()
{
    hostLossIsQuiet = true;
    for (;;) {
        AwaitAnyAnswer done;
        // A host gone is for the process's other calls to tell.
        if (!Exchange<hostproto::AwaitAnyCall>({}, &done)) return;
        uint32_t token = done.reply.token;
        if (!token) {  // refused for now (past the host's limits), or the host is stopping
            ::usleep(10000);
            continue;
        }
        AwaitedRequest request;
        {
            std::lock_guard<std::mutex> g(awaitLock);
            auto it = awaited.find(token);
            if (it == awaited.end()) {
                endedEarly.emplace(token, std::move(done));
                continue;
            }
            request = it->second;
            awaited.erase(it);
        }
        request.Finish(done.reply);
        std::lock_guard<std::mutex> g(awaitersLock);
        if (--awaiters == 0) awaitersIdle.notify_all();
    }
}

// Files a pending request for the completion thread (started at the first);
// false when no thread can be had, the request then not filed. A request
// that ended already comes back in *early.
static bool FileAwaited(uint32_t token, const AwaitedRequest& request, std::unique_ptr<AwaitAnyAnswer>* early)
{
    std::lock_guard<std::mutex> g(awaitLock);
    auto ended = endedEarly.find(token);
    if (ended != endedEarly.end()) {
        *early = std::make_unique<AwaitAnyAnswer>(std::move(ended->second));
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

template <typename Call>
static NTSTATUS DeviceIo(const typename Call::Request& request, const Asynchronous& async, PIO_STATUS_BLOCK iosb,
                         PVOID buffer, ULONG length)
{
    if (async.event) {
        NTSTATUS s = NtResetEvent(async.event, nullptr);
        if (!NT_SUCCESS(s)) return s;
    }
    auto a = Ask<Call>(request);
    uint32_t token = a.reply.token;
    if (async.Is() && a.Status() == STATUS_PENDING && token) {
        HANDLE issuer = nullptr;
        if (async.apcRoutine)
            NtDuplicateObject(NtCurrentProcess(), NtCurrentThread(), NtCurrentProcess(), &issuer, 0, 0,
                              DUPLICATE_SAME_ACCESS);
        AwaitedRequest awaitedRequest{iosb, buffer, length, async, issuer};
        std::unique_ptr<AwaitAnyAnswer> early;
        if (FileAwaited(token, awaitedRequest, &early)) {
            if (early) awaitedRequest.Finish(early->reply);  // it ended already
            return STATUS_PENDING;
        }
        // No thread to await it: the caller waits it out itself.
        auto done = Ask<hostproto::AwaitRequestCall>({token});
        awaitedRequest.Finish(done.reply);
        return STATUS_PENDING;
    }
    TakeResults(a.reply, iosb, buffer, length);
    if (async.Is() && !NT_ERROR(a.Status())) async.Ended(iosb, NtCurrentThread());
    return a.Status();
}

template <typename Call>
static NTSTATUS ControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                            PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer, ULONG inputLength,
                            PVOID outputBuffer, ULONG outputLength)
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
    typename Call::Request q;
    q.file = Value(file);
    q.code = ioControlCode;
    q.hasInput = inputBuffer ? 1 : 0;
    q.input = hostproto::ByteSpan(inputBuffer, inputBuffer && !inShared ? inputLength : 0);
    q.inputShared = inShared ? Value(inputBuffer) : 0;
    q.inputSharedLength = inShared ? inputLength : 0;
    q.hasOutput = outputBuffer ? 1 : 0;
    q.outputLength = outputLength;
    // The driver may read what the caller's output buffer holds, except
    // for a buffered request, which hands it a zeroed system buffer.
    q.output = hostproto::ByteSpan(outputBuffer, outputBuffer && !buffered && !outShared ? outputLength : 0);
    q.outputShared = outShared ? Value(outputBuffer) : 0;
    q.async = async.Kind();
    return DeviceIo<Call>(q, async, iosb, outShared ? nullptr : outputBuffer, outputLength);
}

NTSTATUS NtDeviceIoControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK iosb, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile<hostproto::DeviceIoControlCall>(file, event, apcRoutine, apcContext, iosb, ioControlCode,
                                                       inputBuffer, inputLength, outputBuffer, outputLength);
}

NTSTATUS NtFsControlFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                         PIO_STATUS_BLOCK iosb, ULONG fsControlCode, PVOID inputBuffer, ULONG inputLength,
                         PVOID outputBuffer, ULONG outputLength)
{
    return ControlFile<hostproto::FsControlFileCall>(file, event, apcRoutine, apcContext, iosb, fsControlCode,
                                                     inputBuffer, inputLength, outputBuffer, outputLength);
}

template <typename Call>
static NTSTATUS Transfer(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                         PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    Asynchronous async{event, apcRoutine, apcContext};
    bool shared = buffer && length && InArena(buffer, length);
    if (!shared && length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    constexpr bool read = Call::kId == hostproto::kReadFile;
    // A null buffer with a length is as bad as any other: the host's copy
    // must never stand in for memory this process does not have.
    if (!shared && (read ? IsBadWritePtr(buffer, length) : IsBadReadPtr(buffer, length)))
        return read ? STATUS_ACCESS_VIOLATION : STATUS_INVALID_USER_BUFFER;
    typename Call::Request q;
    q.file = Value(file);
    q.length = length;
    q.data = hostproto::ByteSpan(buffer, read || shared ? 0 : length);
    q.hasOffset = byteOffset ? 1 : 0;
    q.offset = byteOffset ? byteOffset->QuadPart : 0;
    q.hasKey = key ? 1 : 0;
    q.key = key ? *key : 0;
    q.shared = shared ? Value(buffer) : 0;
    q.async = async.Kind();
    return DeviceIo<Call>(q, async, iosb, read && !shared ? buffer : nullptr, length);
}

NTSTATUS NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer<hostproto::ReadFileCall>(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset,
                                             key);
}

NTSTATUS NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key)
{
    return Transfer<hostproto::WriteFileCall>(file, event, apcRoutine, apcContext, iosb, buffer, length, byteOffset,
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
    return TakeHandle(Ask<hostproto::CreateSectionCall>({access, WireAttributes(attributes), maximumSize ? 1u : 0u,
                                                         maximumSize ? maximumSize->QuadPart : 0, pageProtection,
                                                         allocationAttributes}),
                      section);
}


NTSTATUS NtMapViewOfSection(HANDLE section, HANDLE process, PVOID* baseAddress, ULONG_PTR, SIZE_T,
                            PLARGE_INTEGER sectionOffset, PSIZE_T viewSize, SECTION_INHERIT, ULONG, ULONG protect)
{
    if (process != NtCurrentProcess()) return ClientUnsupported("NtMapViewOfSection into another process");
    if (!baseAddress || !viewSize) return STATUS_ACCESS_VIOLATION;
    LONGLONG offset = sectionOffset ? sectionOffset->QuadPart : 0;
    int fd = -1;
    auto a = Ask<hostproto::MapSectionCall>({Value(section), protect, offset, ULONG(*viewSize)}, &fd);
    SIZE_T size = a.reply.viewSize;
    if (!NT_SUCCESS(a.Status()) || fd < 0) {
        if (fd >= 0) ::close(fd);
        return NT_SUCCESS(a.Status()) ? STATUS_UNSUCCESSFUL : a.Status();
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
    auto a = Ask<hostproto::DuplicateObjectCall>({Value(sourceProcess), Value(sourceHandle), Value(targetProcess),
                                                  targetHandle ? 1u : 0u, access, attributes, options});
    if (NT_SUCCESS(a.Status()) && targetHandle) *targetHandle = HandleOf(a.reply.targetHandle);
    return a.Status();
}

static std::u16string Counted(const UNICODE_STRING* s)
{
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / 2) : std::u16string();
}

NTSTATUS NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING className, ULONG createOptions, PULONG disposition)
{
    if (!key || !attributes) return STATUS_ACCESS_VIOLATION;
    auto a = Ask<hostproto::CreateKeyCall>({access, WireAttributes(attributes), titleIndex, className ? 1u : 0u,
                                            Counted(className), createOptions});
    if (NT_SUCCESS(a.Status()) && disposition) *disposition = a.reply.disposition;
    return TakeHandle(a, key);
}



// A query into the caller's buffer: the bytes the kernel wrote, and the
// length the whole answer needs.
template <typename Call>
static NTSTATUS KeyQuery(const typename Call::Request& request, PVOID info, ULONG length, PULONG resultLength)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    auto a = Ask<Call>(request);
    TakeBytes(a.reply.info, info, length);
    if (resultLength) *resultLength = a.reply.resultLength;
    return a.Status();
}

NTSTATUS NtQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength)
{
    return KeyQuery<hostproto::QueryValueKeyCall>({Value(key), Counted(valueName), ULONG(infoClass), length}, info,
                                                  length, resultLength);
}
NTSTATUS NtEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength)
{
    return KeyQuery<hostproto::EnumerateKeyCall>({Value(key), index, ULONG(infoClass), length}, info, length,
                                                 resultLength);
}
NTSTATUS NtEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength)
{
    return KeyQuery<hostproto::EnumerateValueKeyCall>({Value(key), index, ULONG(infoClass), length}, info, length,
                                                      resultLength);
}
NTSTATUS NtQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength)
{
    return KeyQuery<hostproto::QueryKeyCall>({Value(key), ULONG(infoClass), length}, info, length, resultLength);
}

NTSTATUS NtSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize)
{
    if (dataSize > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    if (dataSize && !data) return STATUS_ACCESS_VIOLATION;
    return Ask<hostproto::SetValueKeyCall>(
               {Value(key), Counted(valueName), titleIndex, type, hostproto::ByteSpan(data, dataSize)})
        .Status();
}

NTSTATUS NtDeleteValueKey(HANDLE key, PUNICODE_STRING valueName)
{
    return Ask<hostproto::DeleteValueKeyCall>({Value(key), Counted(valueName)}).Status();
}

// A query of a file's or volume's information into the caller's buffer.
template <typename Call>
static NTSTATUS QueryFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, ULONG infoClass)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    auto a = Ask<Call>({Value(file), infoClass, length});
    TakeStatusBlock(a.reply.iosb, iosb);
    TakeBytes(a.reply.info, info, length);
    return a.Status();
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass)
{
    return QueryFile<hostproto::QueryInformationFileCall>(file, iosb, info, length, infoClass);
}
NTSTATUS NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                                      FS_INFORMATION_CLASS infoClass)
{
    return QueryFile<hostproto::QueryVolumeInformationFileCall>(file, iosb, info, length, infoClass);
}
NTSTATUS NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length,
                              FILE_INFORMATION_CLASS infoClass)
{
    if (length > hostproto::kMaxBody / 2) return STATUS_INSUFFICIENT_RESOURCES;
    if (length && !info) return STATUS_ACCESS_VIOLATION;
    auto a = Ask<hostproto::SetInformationFileCall>({Value(file), ULONG(infoClass), hostproto::ByteSpan(info, length)});
    TakeStatusBlock(a.reply.iosb, iosb);
    return a.Status();
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
    hostproto::QueryDirectoryFileCall::Request q{Value(file),        length,
                                                 ULONG(infoClass),   returnSingleEntry,
                                                 fileName ? 1u : 0u, Counted(fileName),
                                                 restartScan,        shared ? Value(info) : 0,
                                                 async.Kind()};
    return DeviceIo<hostproto::QueryDirectoryFileCall>(q, async, iosb, shared ? nullptr : info, length);
}

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                                     PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, ULONG completionFilter,
                                     BOOLEAN watchTree)
{
    bool shared;
    NTSTATUS checked = DirectoryBufferCheck(buffer, length, &shared);
    if (!NT_SUCCESS(checked)) return checked;
    Asynchronous async{event, apcRoutine, apcContext};
    hostproto::NotifyChangeDirectoryCall::Request q{
        Value(file), length, completionFilter, watchTree, shared ? Value(buffer) : 0, async.Kind()};
    return DeviceIo<hostproto::NotifyChangeDirectoryCall>(q, async, iosb, shared ? nullptr : buffer, length);
}



NTSTATUS NtReportEvent(const std::u16string& source, USHORT type, USHORT category, ULONG eventId,
                       const std::vector<std::u16string>& strings, const void* data, ULONG dataSize)
{
    if (strings.size() > 256 || dataSize > hostproto::kMaxBody / 2) return STATUS_INVALID_PARAMETER;
    return Ask<hostproto::ReportEventCall>(
               {source, type, category, eventId, strings, hostproto::ByteSpan(data, data ? dataSize : 0)})
        .Status();
}

// ---- Expanded calls ----
//
// The calls of the table whose client side is Expanded: each request field
// takes the parameter of its name, each reply field goes out through the
// pointer parameter of its name once the call succeeded. A parameter the
// call cannot go without (a handle to write, the attributes of an open, a
// name) that is null fails the call with STATUS_ACCESS_VIOLATION before
// anything is sent.
namespace wire {

bool In(uint32_t& field, const void* pointer)
{
    field = Value(pointer);
    return true;
}
template <typename T>
    requires(std::is_integral_v<T> || std::is_enum_v<T>)
bool In(uint32_t& field, T value)
{
    field = uint32_t(value);
    return true;
}
bool In(hostproto::Attributes& field, const OBJECT_ATTRIBUTES* attributes)
{
    if (!attributes) return false;
    field = WireAttributes(attributes);
    return true;
}
bool In(hostproto::OptionalAttributes& field, const OBJECT_ATTRIBUTES* attributes)
{
    static_cast<hostproto::Attributes&>(field) = WireAttributes(attributes);
    return true;
}
bool In(hostproto::Text& field, const UNICODE_STRING* text)
{
    if (!text) return false;
    field = Counted(text);
    return true;
}

// Whether the call can go with this pointer for a reply field: a handle
// is the call's result and must have somewhere to go; the rest are optional.
bool Wanted(HANDLE* handle) { return handle != nullptr; }
template <typename T>
bool Wanted(T*)
{
    return true;
}

void Out(NTSTATUS status, uint32_t value, HANDLE* handle)
{
    if (NT_SUCCESS(status)) *handle = HandleOf(value);
}
void Out(NTSTATUS status, uint32_t value, ULONG* out)
{
    if (out && NT_SUCCESS(status)) *out = value;
}
void Out(NTSTATUS status, uint32_t value, LONG* out)
{
    if (out && NT_SUCCESS(status)) *out = LONG(value);
}
void Out(NTSTATUS, const hostproto::StatusBlock& block, PIO_STATUS_BLOCK iosb) { TakeStatusBlock(block, iosb); }

}  // namespace wire

#define CLIENT_UNUSED(type, name) (void)name;
#define CLIENT_WANTED(type, name) &&wire::Wanted(name)
#define CLIENT_IN(type, name) &&wire::In(q.name, name)
#define CLIENT_OUT(type, name) wire::Out(a.Status(), a.reply.name, name);
#define CLIENT_ByHand(...)
#define CLIENT_Expanded(ret, name, call, requestFields, replyFields, ...)                                 \
    ret name(NT_EACH_COMMA(NT_PARAMETER, __VA_ARGS__))                                                   \
    {                                                                                                    \
        NT_EACH(CLIENT_UNUSED, __VA_ARGS__)                                                              \
        hostproto::call##Call::Request q;                                                                \
        if (!(true NT_EACH(CLIENT_WANTED, NT_LIST replyFields) NT_EACH(CLIENT_IN, NT_LIST requestFields))) \
            return STATUS_ACCESS_VIOLATION;                                                              \
        auto a = Ask<hostproto::call##Call>(q);                                                          \
        NT_EACH(CLIENT_OUT, NT_LIST replyFields)                                                         \
        return a.Status();                                                                               \
    }
#define NT_HOST_SYSCALL(client, ...) CLIENT_##client(__VA_ARGS__)
#include "../nt/nt_syscall.inc"
#undef NT_HOST_SYSCALL
#undef CLIENT_Expanded
#undef CLIENT_ByHand
#undef CLIENT_OUT
#undef CLIENT_IN
#undef CLIENT_WANTED
#undef CLIENT_UNUSED

}  // namespace client
}  // namespace w32

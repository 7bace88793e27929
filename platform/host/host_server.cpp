// The machine host's server.
//
// Threads: one accepts connections; each connection (one client thread) is
// served by its own host thread, which the kernel adopts and which runs in
// the client's NT process, so handles, waits and requests are that
// process's; one watcher notices connections that hang up. A client process
// ends when its last connection hangs up, even while its threads' requests
// are pending in a driver (SIGKILL included): the watcher terminates the NT
// process, which cancels those requests and closes its handles.
//
// Buffers cross by value (the request carries what the call reads, the
// reply what it wrote, and the kernel works on the serving thread's copies)
// or, inside the client's shared memory (its arena, mapped at the same
// address here and in the client), by reference: the kernel then works on
// the client's own pages, so a driver's later writes are the client's at once.
// A serving thread waits in short slices so that it leaves a wait whose
// client is gone.
#include "host_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host_protocol.h"
#include "kernel.h"
#include "nt_internal.h"
#include "nt_syscall.h"

namespace host {
namespace {

using hostproto::ByteSpan;
using hostproto::Reader;
using hostproto::StatusBlock;
using hostproto::Writer;

// The longest a serving thread stays in the kernel before it looks at its
// connection again, in 100 ns units.
constexpr LONGLONG kSlice = 50 * 10000;

// What the host gives its clients, at most. Past a limit the call fails with
// a Windows status and the host goes on serving everyone else. The host's
// view of every client's memory and every serving thread's stack must fit
// in one 32-bit address space beside the machine (platform/HOSTMODE.txt).
constexpr int kMaxProcesses = 64;                 // client processes attached at once
constexpr int kMaxThreadsPerProcess = 64;         // CreateThread threads of one client running
constexpr int kMaxThreads = 256;                  // of all clients
constexpr int kMaxConnectionsPerProcess = 160;    // its threads, their waits for pending requests
constexpr int kMaxConnections = 640;              // a host thread each
constexpr int kMaxPendingPerProcess = 64;         // asynchronous requests left pending
constexpr size_t kMaxPendingBytesPerProcess = 64u << 20;  // the host's copies those hold
constexpr size_t kMaxPendingBytes = 256u << 20;
// A serving thread runs the drivers as a kernel stack would; far less than
// the 8 MB a Linux thread gets by default.
constexpr size_t kServingStack = 1u << 20;
constexpr NTSTATUS kTooManyThreads = NTSTATUS(0xC0000129);  // STATUS_TOO_MANY_THREADS

// Each client process's shared memory: sealed memory files mapped here and,
// at the same address, in the client, from which its Win32 layer allocates.
// It starts with one piece and grows by more on the client's demand.
constexpr size_t kArenaFirst = 8u << 20;
constexpr size_t kArenaGrowth = 16u << 20;  // the least a later piece holds
constexpr size_t kArenaPerProcess = 256u << 20;
constexpr size_t kArenaAll = 1536u << 20;
constexpr int kArenaPieces = 16;  // the client keeps as many
constexpr size_t kArenaGranule = 1u << 20;

// One piece of a client's arena. Its memory file is sealed: nobody, the
// client included, can shrink or grow it, so the host's mapping never
// faults under a driver.
struct ArenaPiece {
    uint8_t* base = nullptr;
    size_t size = 0;
    int fd = -1;
    ~ArenaPiece();
    bool Holds(uintptr_t address, size_t length) const
    {
        auto start = reinterpret_cast<uintptr_t>(base);
        return address >= start && length <= size && address - start <= size - length;
    }
};
using Arena = std::vector<std::shared_ptr<ArenaPiece>>;

std::atomic<size_t> arenaBytes{0};  // all pieces mapped now

ArenaPiece::~ArenaPiece()
{
    if (base) {
        ::munmap(base, size);
        arenaBytes -= size;
    }
    if (fd >= 0) ::close(fd);
}

// A new sealed piece of 'size' bytes, or null (no memory file, no address
// room, or the host's budget for client memory spent).
std::shared_ptr<ArenaPiece> MakeArenaPiece(size_t size)
{
    if (arenaBytes.fetch_add(size) + size > kArenaAll) {
        arenaBytes -= size;
        return nullptr;
    }
    auto piece = std::make_shared<ArenaPiece>();
    piece->fd = ::memfd_create("client-arena", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    void* at = MAP_FAILED;
    if (piece->fd >= 0 && ::ftruncate(piece->fd, off_t(size)) == 0 &&
        ::fcntl(piece->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
        at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, piece->fd, 0);
    if (at == MAP_FAILED) {
        arenaBytes -= size;
        return nullptr;
    }
    piece->base = static_cast<uint8_t*>(at);
    piece->size = size;
    return piece;
}

// A device control, read or write of a client: the host's copies of its
// buffers and its status block, which live here until the request ends.
// One the kernel left pending on an asynchronous handle is kept under a
// token until a thread of the client awaits it (kAwaitRequest). It keeps
// the client's arena mapped, since the driver may be writing into it.
struct HeldRequest {
    HANDLE file = nullptr;
    std::vector<uint8_t> input, output;
    IO_STATUS_BLOCK iosb{};
    size_t (*back)(const HeldRequest&, NTSTATUS) = nullptr;  // the bytes of 'output' the reply carries
    ULONG code = 0, outLength = 0;
    bool outShared = false, hasOut = false, read = false;
    Arena arena;
    PKEVENT ended = nullptr;  // an asynchronous one's: the I/O manager sets it when it ends
    // The caller waits on the file: the host's event keeps the I/O manager
    // from signalling it, so the host does once the request has ended.
    PFILE_OBJECT signalsFile = nullptr;
    size_t Bytes() const { return input.capacity() + output.capacity(); }
    HeldRequest() = default;
    HeldRequest(const HeldRequest&) = delete;
    HeldRequest& operator=(const HeldRequest&) = delete;
    ~HeldRequest()
    {
        if (ended) ObfDereferenceObject(ended);
        if (signalsFile) ObfDereferenceObject(signalsFile);
    }
};


// A status block the kernel did not write keeps this marker.
constexpr NTSTATUS kUnwritten = NTSTATUS(0x7FFFFFF0);

bool Unfinished(const HeldRequest& h) { return __atomic_load_n(&h.iosb.Status, __ATOMIC_ACQUIRE) == kUnwritten; }

// The caller learns of the end by waiting on the file: signal it.
void SignalFileOfEnded(const HeldRequest& h)
{
    if (!h.signalsFile || Unfinished(h)) return;
    h.signalsFile->FinalStatus = h.iosb.Status;
    KeSetEvent(&h.signalsFile->Event, 0, FALSE);
}

// Requests whose client went while the kernel still had them: kept, with
// the memory they name, until they end (Watch lets them go).
std::mutex orphanLock;
std::vector<std::unique_ptr<HeldRequest>> orphans;

void Orphan(std::unique_ptr<HeldRequest> h)
{
    std::lock_guard<std::mutex> g(orphanLock);
    orphans.push_back(std::move(h));
}

// Lets go of the orphans that ended; how many are left.
size_t ReleaseEndedOrphans()
{
    std::lock_guard<std::mutex> g(orphanLock);
    for (auto it = orphans.begin(); it != orphans.end();) {
        if (Unfinished(**it)) {
            ++it;
            continue;
        }
        it = orphans.erase(it);
    }
    return orphans.size();
}

std::atomic<size_t> allPendingBytes{0};  // held by all clients' pending requests

struct ClientProcess {
    PEPROCESS process = nullptr;
    uint32_t token = 0;
    int connections = 0;  // not yet hung up (with 'lock')
    int threads = 0;      // CreateThread threads not ended (with 'lock')
    bool ended = false;
    mutable std::mutex arenaLock;  // guards 'arena'
    Arena arena;
    std::map<uint32_t, std::unique_ptr<HeldRequest>> held;  // pending, not awaited yet (with 'lock')
    KEVENT arrival;             // set when a request is held: its one waiter looks again
    int pending = 0;            // held or being awaited (with 'lock')
    size_t pendingBytes = 0;    // what those hold (with 'lock')
    uint32_t nextHeld = 1;
    ClientProcess() { KeInitializeEvent(&arrival, SynchronizationEvent, FALSE); }
    ~ClientProcess()
    {
        // A request the kernel may still complete keeps its memory, and
        // the arena it may be writing into, until it ends.
        for (auto& [token, request] : held)
            if (Unfinished(*request)) Orphan(std::move(request));
        allPendingBytes -= pendingBytes;
    }
    // The pieces of the arena, for a request to keep.
    Arena Pieces() const
    {
        std::lock_guard<std::mutex> g(arenaLock);
        return arena;
    }
    bool InArena(uintptr_t address, size_t length) const
    {
        std::lock_guard<std::mutex> g(arenaLock);
        for (const auto& piece : arena)
            if (piece->Holds(address, length)) return true;
        return false;
    }
};

// Shared between the list and the watcher: a connection the watcher polls
// keeps its memory and its descriptor until the watcher is done with it, so
// a new connection can never take over either under the watcher.
struct Connection {
    int fd = -1;
    std::shared_ptr<ClientProcess> owner;
    std::atomic<bool> hungUp{false};
    std::atomic<bool> done{false};  // its serving thread is finishing
    std::thread thread;
    ~Connection()
    {
        if (fd >= 0) ::close(fd);
    }
};

std::mutex lock;
int listenFd = -1;
int acceptWake[2] = {-1, -1};  // wakes the acceptor (stop)
int wakeRead = -1, wakeWrite = -1;  // wakes the watcher
std::atomic<bool> stopping{false};
bool running = false;
std::string socketPath;
std::thread acceptor, watcher;
std::vector<std::shared_ptr<Connection>> connections;
std::map<uint32_t, std::shared_ptr<ClientProcess>> processes;

// A thread a client is making (CreateThread): its kernel thread waits for
// the connection the client's new thread opens with 'token'.
struct ThreadStart {
    std::shared_ptr<ClientProcess> owner;
    uint32_t token = 0;
    Connection* connection = nullptr;
    bool started = false, finished = false, abandoned = false;
};
std::map<uint32_t, std::shared_ptr<ThreadStart>> threadStarts;
std::condition_variable threadStarted;  // with 'lock'

// User APCs a client queued, as the kernel delivers them to the serving
// thread in an alertable wait: the reply to that wait carries them to the
// client thread, which runs them.
thread_local hostproto::Apcs deliveredApcs;

void DeliverApc(PVOID context, PVOID, PVOID)
{
    std::unique_ptr<hostproto::Apc> apc(static_cast<hostproto::Apc*>(context));
    deliveredApcs.push_back(*apc);
}

// ---- What is a client's memory here ----
//
// A client's addresses mean nothing in the host, except in its arena. So
// that a pointer a client hides in a request's data (a neither-method
// structure naming a buffer) can never make a driver read or write the
// host's own memory, a probe or page lock of user memory for a client
// process succeeds only inside that process's arena or the copies the
// serving thread made for the call it runs: its buffers, and each of the
// few variables the call hands the kernel (a handle or status block to
// write). The serving thread's stack as a whole is never the client's:
// it holds the host's return addresses.

struct CallMemory {
    std::vector<std::pair<uintptr_t, size_t>> copies;
};
thread_local CallMemory callMemory;

// Marks a copy of the current call's as the client's memory (until the
// next call).
template <typename T>
void Own(const T& data)
{
    if (!data.empty())
        callMemory.copies.emplace_back(reinterpret_cast<uintptr_t>(data.data()), data.size() * sizeof(data[0]));
}

// Marks one variable the call hands the kernel as the client's.
template <typename T>
T* Mine(T* variable)
{
    callMemory.copies.emplace_back(reinterpret_cast<uintptr_t>(variable), sizeof *variable);
    return variable;
}

void BeginCall() { callMemory.copies.clear(); }

std::map<PEPROCESS, std::weak_ptr<ClientProcess>> clientsByProcess;  // with 'lock'

bool ClientMemory(PEPROCESS process, const volatile void* address, SIZE_T length)
{
    // The call's own copies first: the usual case, and it needs no lock.
    uintptr_t start = reinterpret_cast<uintptr_t>(address);
    for (const auto& [low, size] : callMemory.copies)
        if (start >= low && length <= size && start - low <= size - length) return true;
    std::shared_ptr<ClientProcess> client;
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = clientsByProcess.find(process);
        if (it == clientsByProcess.end()) return true;  // not a client: the host's own processes
        client = it->second.lock();
    }
    return client && client->InArena(start, length);
}

void Wake()
{
    char c = 1;
    (void)!::write(wakeWrite, &c, 1);
}

uint32_t NewToken()
{
    uint32_t t = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::read(fd, &t, sizeof t);
        ::close(fd);
    }
    if (!t) t = uint32_t(::getpid()) * 2654435761u ^ uint32_t(processes.size() + 1);
    return t ? t : 1;
}

// Ends a client process once: requests cancelled, handles closed (the
// drivers' cleanup and close run), the process object signalled.
void EndProcess(const std::shared_ptr<ClientProcess>& p)
{
    PEPROCESS process;
    {
        std::lock_guard<std::mutex> g(lock);
        if (p->ended) return;
        p->ended = true;
        process = p->process;
        processes.erase(p->token);
    }
    PsTerminateUserProcess(process, STATUS_SUCCESS);
    ObfDereferenceObject(process);
}

void HangUp(Connection* c)
{
    std::shared_ptr<ClientProcess> owner;
    {
        std::lock_guard<std::mutex> g(lock);
        if (c->hungUp.exchange(true)) return;
        owner = c->owner;
        if (!owner || --owner->connections > 0) return;
    }
    EndProcess(owner);
}

bool Gone(const Connection* c) { return c->hungUp || stopping; }

// ---- Argument decoding ----

HANDLE HandleOf(uint32_t value) { return reinterpret_cast<HANDLE>(ULONG_PTR(value)); }
ULONG HandleValue(HANDLE h) { return ULONG(reinterpret_cast<ULONG_PTR>(h)); }

// Handles of this process's own to the objects of 'handles', in 'held'
// (left empty when one of them is already gone).
void HoldObjects(const std::vector<HANDLE>& handles, std::vector<HANDLE>* held)
{
    for (HANDLE h : handles) {
        HANDLE mine = nullptr;
        if (!NT_SUCCESS(::NtDuplicateObject(NtCurrentProcess(), h, NtCurrentProcess(), &mine, 0, 0,
                                            DUPLICATE_SAME_ACCESS))) {
            for (HANDLE m : *held) ::NtClose(m);
            held->clear();
            return;
        }
        held->push_back(mine);
    }
}

// A wait in slices; the same status as one wait would give, or
// STATUS_THREAD_IS_TERMINATING when the client went away meanwhile.
template <typename WaitOnce>
NTSTATUS SlicedWait(const Connection* c, bool hasTimeout, LONGLONG timeout, WaitOnce once)
{
    if (hasTimeout && timeout == 0) {  // a test only
        LARGE_INTEGER t;
        t.QuadPart = 0;
        return once(Mine(&t));
    }
    LONGLONG remaining = -1;  // forever
    if (hasTimeout && timeout < 0) {
        remaining = timeout == INT64_MIN ? -1 : -timeout;
    } else if (hasTimeout) {  // an absolute system time: what is left of it
        LARGE_INTEGER now;
        ::NtQuerySystemTime(&now);
        if (timeout <= now.QuadPart) {
            LARGE_INTEGER t;
            t.QuadPart = 0;
            return once(Mine(&t));
        }
        remaining = timeout - now.QuadPart;
    }
    LARGE_INTEGER slice;
    Mine(&slice);  // once: a long wait must not grow the list
    for (;;) {
        slice.QuadPart = -(remaining >= 0 && remaining < kSlice ? remaining : kSlice);
        LARGE_INTEGER before, after;
        ::NtQuerySystemTime(&before);
        NTSTATUS s = once(&slice);
        if (s != STATUS_TIMEOUT) return s;
        if (Gone(c)) return STATUS_THREAD_IS_TERMINATING;
        ::NtQuerySystemTime(&after);
        if (remaining >= 0) {
            remaining -= std::max<LONGLONG>(after.QuadPart - before.QuadPart, -slice.QuadPart);
            if (remaining <= 0) return STATUS_TIMEOUT;
        }
    }
}

// How long a stopping host waits for a request the kernel keeps before it
// gives up on it (and keeps its memory for good).
constexpr auto kStopPatience = std::chrono::seconds(10);

// Waits for a request that the kernel left pending on an asynchronous
// handle: its completion writes the status block. A stopping host that
// waited long enough leaves it to the orphans (its memory kept) and
// answers STATUS_CANCELLED; *h is then null.
NTSTATUS AwaitRequest(const Connection* c, std::unique_ptr<HeldRequest>& h)
{
    std::chrono::steady_clock::time_point stopSeen{};
    LARGE_INTEGER slice, tick;
    slice.QuadPart = -kSlice;
    tick.QuadPart = -10000;
    Mine(&slice);
    Mine(&tick);
    while (Unfinished(*h)) {
        NTSTATUS waited = ::NtWaitForSingleObject(h->file, FALSE, &slice);
        // A client gone cancels its requests (process end); keep waiting for
        // that completion, since the status block is ours. A handle closed
        // meanwhile leaves only the status block to watch, and so does a
        // file object signalled by another of its requests.
        bool otherRequest = waited == STATUS_SUCCESS && Unfinished(*h);
        if (Gone(c) || NT_ERROR(waited) || otherRequest) ::NtDelayExecution(FALSE, &tick);
        if (stopping) {
            auto now = std::chrono::steady_clock::now();
            if (stopSeen == std::chrono::steady_clock::time_point{}) stopSeen = now;
            if (now - stopSeen > kStopPatience && Unfinished(*h)) {
                if (h->arena.empty()) h->arena = c->owner->Pieces();
                Orphan(std::move(h));
                return STATUS_CANCELLED;
            }
        }
    }
    SignalFileOfEnded(*h);
    return h->iosb.Status;
}

StatusBlock Block(const IO_STATUS_BLOCK& iosb)
{
    return StatusBlock{iosb.Status != kUnwritten, ULONG(iosb.Status), ULONG(iosb.Information)};
}

// ---- The calls ----
//
// Each call of the table (platform/nt/nt_syscall.inc) has its handler here, On<Name>:
// it gets the decoded request and fills the reply, whose status is the
// call's. A handler returns false for a request that is malformed beyond
// what its fields say (the connection then ends); a call the kernel
// refuses is an answer like any other.

// What a handler has besides its request and reply: the connection, the
// memory file the reply carries, and what the reply's byte strings point
// into until it is written (a request's copies, a query's buffer).
struct CallContext {
    Connection* c = nullptr;
    int passFd = -1;
    std::unique_ptr<HeldRequest> keep;
    std::vector<uint8_t> buffer;
    // A buffer of 'length' bytes for the kernel to write into, the client's for the call.
    uint8_t* Buffer(size_t length)
    {
        buffer.resize(length);
        Own(buffer);
        return buffer.data();
    }
};

// A client's object attributes, as the kernel takes them. The name lives in
// the request; kernel handles are never a client's to ask for.
struct KernelAttributes {
    UNICODE_STRING us{};
    OBJECT_ATTRIBUTES oa{};
    explicit KernelAttributes(hostproto::Attributes& a)
    {
        if (a.name.size() > 0x7FFF) a.name.clear();  // beyond a counted string: the kernel refuses the empty name
        Own(a.name);
        Mine(&us);
        Mine(&oa);
        us.Buffer = a.name.data();
        us.Length = us.MaximumLength = USHORT(a.name.size() * 2);
        InitializeObjectAttributes(&oa, a.hasName ? &us : nullptr, a.attributes & ~ULONG(OBJ_KERNEL_HANDLE),
                                   HandleOf(a.root), nullptr);
    }
    KernelAttributes(const KernelAttributes&) = delete;
    KernelAttributes& operator=(const KernelAttributes&) = delete;
    POBJECT_ATTRIBUTES Get() { return &oa; }
};

// A counted string over a request's text (at most a counted string's length).
struct KernelString {
    UNICODE_STRING us{};
    explicit KernelString(std::u16string& text)
    {
        Own(text);
        us.Buffer = text.data();
        us.Length = us.MaximumLength = USHORT(text.size() * 2);
    }
    PUNICODE_STRING Get() { return Mine(&us); }
};

// The reply to a device control, read or write that ended (or failed at
// once): its status, no token, status block, and the bytes the kernel wrote
// into the host's copy of the caller's buffer (which the context keeps
// until the reply is written).
template <typename Reply>
void FinishRequest(CallContext& x, Reply& a, NTSTATUS s, std::unique_ptr<HeldRequest> h, uint32_t token = 0)
{
    a.status = ULONG(s);
    a.token = token;
    a.iosb = Block(h->iosb);
    a.output = ByteSpan(h->output.data(), h->back(*h, s));
    x.keep = std::move(h);
}

template <typename Reply>
void RefuseRequest(Reply& a, NTSTATUS status = STATUS_ACCESS_VIOLATION)
{
    a.status = ULONG(status);
    a.token = 0;
    a.iosb = StatusBlock{};
    a.output = ByteSpan();
}

// A new request of the client's, or a Windows status when it has as many
// pending as it may, or they hold as much memory as they may.
std::unique_ptr<HeldRequest> NewRequest(Connection* c, size_t bytes, bool async, NTSTATUS* refused)
{
    if (async) {  // only these may stay pending
        std::lock_guard<std::mutex> g(lock);
        if (c->owner->pending >= kMaxPendingPerProcess) {
            *refused = STATUS_INSUFFICIENT_RESOURCES;
            return nullptr;
        }
        if (c->owner->pendingBytes + bytes > kMaxPendingBytesPerProcess || allPendingBytes + bytes > kMaxPendingBytes) {
            *refused = STATUS_NO_MEMORY;
            return nullptr;
        }
    }
    try {
        return std::make_unique<HeldRequest>();
    } catch (const std::bad_alloc&) {
        *refused = STATUS_NO_MEMORY;
        return nullptr;
    }
}

// Issues a request whose buffers 'h' holds: for a synchronous caller it is
// waited out here; for an asynchronous one left pending, the reply is
// STATUS_PENDING and a token, and 'h' is kept for AwaitRequest.
template <typename Reply>
void RunRequest(CallContext& x, Reply& a, std::unique_ptr<HeldRequest> h, bool async, NTSTATUS s)
{
    Connection* c = x.c;
    if (s == STATUS_PENDING && async) {
        // While the call runs its connection keeps the arena; from now on
        // the request does.
        h->arena = c->owner->Pieces();
        std::lock_guard<std::mutex> g(lock);
        ClientProcess& owner = *c->owner;
        uint32_t token = owner.nextHeld++;
        while (!token || owner.held.count(token)) token = owner.nextHeld++;
        owner.pending++;
        owner.pendingBytes += h->Bytes();
        allPendingBytes += h->Bytes();
        owner.held[token] = std::move(h);
        KeSetEvent(&owner.arrival, 0, FALSE);
        RefuseRequest(a, STATUS_PENDING);
        a.token = token;
        return;
    }
    if (s == STATUS_PENDING) s = AwaitRequest(c, h);
    if (!h) {
        RefuseRequest(a, s);
        return;
    }
    FinishRequest(x, a, s, std::move(h));
}

// An asynchronous request gets an event of its own, which the I/O manager
// sets when the request ends, so that one thread of the client awaits all
// of its requests (AwaitAny). The handle (the client's, for the call) is
// closed once the request is issued; the host keeps the event.
HANDLE AttachEndedEvent(HeldRequest& h, ULONG async)
{
    HANDLE e = nullptr;
    if (async == hostproto::kAsyncOnFile) {
        PVOID file = nullptr;
        if (NT_SUCCESS(ObReferenceObjectByHandle(h.file, 0, IoFileObjectType, KernelMode, &file, nullptr)))
            h.signalsFile = static_cast<PFILE_OBJECT>(file);
    }
    if (!async || !NT_SUCCESS(::NtCreateEvent(Mine(&e), EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE)))
        return nullptr;
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(e, EVENT_MODIFY_STATE, ExEventObjectType, KernelMode, &object, nullptr))) {
        ::NtClose(e);
        return nullptr;
    }
    h.ended = static_cast<PKEVENT>(object);
    return e;
}

void Issued(HANDLE endedEvent)
{
    if (endedEvent) ::NtClose(endedEvent);
}

// What goes back of a device control's output: everything for the methods
// that hand the driver the caller's memory, the copied-back bytes for a
// buffered one; nothing when the buffer is shared (it holds it already).
size_t ControlBack(const HeldRequest& h, NTSTATUS s)
{
    if (!h.hasOut || h.outShared || NT_ERROR(s)) return 0;
    return METHOD_FROM_CTL_CODE(h.code) == METHOD_BUFFERED ? std::min<size_t>(h.iosb.Information, h.outLength)
                                                            : h.outLength;
}

size_t TransferBack(const HeldRequest& h, NTSTATUS s)
{
    return h.read && !h.outShared && !NT_ERROR(s) ? std::min<size_t>(h.iosb.Information, h.output.size()) : 0;
}

// A directory listing or change notification: the kernel writes records
// into the caller's buffer (the host's copy, or the client's arena), and
// what it wrote goes back as a read's would.
std::unique_ptr<HeldRequest> DirectoryRequest(Connection* c, HANDLE file, uint32_t shared, uint32_t length,
                                              bool async, NTSTATUS* refused)
{
    auto h = NewRequest(c, shared ? 0 : length, async, refused);
    if (!h) return nullptr;
    h->file = file;
    h->read = true;
    h->outShared = shared != 0;
    h->back = TransferBack;
    h->output.resize(shared ? 0 : length);
    Own(h->output);
    return h;
}

PVOID DirectoryBuffer(HeldRequest& h, uint32_t shared)
{
    if (shared) return reinterpret_cast<PVOID>(uintptr_t(shared));
    return h.output.empty() ? nullptr : h.output.data();
}

ULONG RunClientThread(PVOID context);

// ---- Handlers: connections ----

// A hello comes first or never: the connection's attach answers it (Serve).
bool OnHello(CallContext&, hostproto::HelloCall::Request&, hostproto::HelloCall::Reply&) { return false; }

// A thread's end is the connection's, seen before any handler (ServeCalls).
bool OnExitThread(CallContext&, hostproto::ExitThreadCall::Request&, hostproto::ExitThreadCall::Reply&)
{
    return false;
}

// One more piece of a client's arena, when VirtualAlloc finds no room in
// what it has: at least 'wanted' bytes, within the client's and the host's
// budgets. The reply carries the piece's memory file.
bool OnGrowArena(CallContext& x, hostproto::GrowArenaCall::Request& q, hostproto::GrowArenaCall::Reply& a)
{
    ClientProcess& owner = *x.c->owner;
    size_t size = std::max<size_t>(kArenaGrowth, (size_t(q.wanted) + kArenaGranule - 1) / kArenaGranule * kArenaGranule);
    std::shared_ptr<ArenaPiece> piece;
    {
        std::lock_guard<std::mutex> g(owner.arenaLock);
        size_t have = 0;
        for (const auto& p : owner.arena) have += p->size;
        if (q.wanted && owner.arena.size() < size_t(kArenaPieces) &&
            size <= kArenaPerProcess - std::min(have, kArenaPerProcess))
            piece = MakeArenaPiece(size);
        if (piece) owner.arena.push_back(piece);
    }
    if (!piece) {
        a.status = ULONG(STATUS_NO_MEMORY);
        return true;
    }
    a.status = ULONG(STATUS_SUCCESS);
    a.address = ULONG(reinterpret_cast<uintptr_t>(piece->base));
    a.size = ULONG(piece->size);
    x.passFd = ::fcntl(piece->fd, F_DUPFD_CLOEXEC, 0);
    return true;
}

// ---- Handlers: objects and handles ----

bool OnClose(CallContext&, hostproto::CloseCall::Request& q, hostproto::CloseCall::Reply& a)
{
    a.status = ::NtClose(HandleOf(q.handle));
    return true;
}

bool OnDuplicateObject(CallContext&, hostproto::DuplicateObjectCall::Request& q,
                       hostproto::DuplicateObjectCall::Reply& a)
{
    HANDLE target = nullptr;
    a.status = ::NtDuplicateObject(HandleOf(q.sourceProcess), HandleOf(q.sourceHandle), HandleOf(q.targetProcess),
                                   q.wantsTarget ? Mine(&target) : nullptr, q.access, q.attributes, q.options);
    a.targetHandle = HandleValue(target);
    return true;
}

// ---- Handlers: synchronisation objects ----

bool OnCreateEvent(CallContext&, hostproto::CreateEventCall::Request& q, hostproto::CreateEventCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    HANDLE h = nullptr;
    a.status = ::NtCreateEvent(Mine(&h), q.access, attributes.Get(), EVENT_TYPE(q.type ? 1 : 0),
                               BOOLEAN(q.initialState != 0));
    a.handle = HandleValue(h);
    return true;
}

bool OnCreateSemaphore(CallContext&, hostproto::CreateSemaphoreCall::Request& q,
                       hostproto::CreateSemaphoreCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    HANDLE h = nullptr;
    a.status = ::NtCreateSemaphore(Mine(&h), q.access, attributes.Get(), LONG(q.initialCount), LONG(q.maximumCount));
    a.handle = HandleValue(h);
    return true;
}

bool OnCreateMutant(CallContext&, hostproto::CreateMutantCall::Request& q, hostproto::CreateMutantCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    HANDLE h = nullptr;
    a.status = ::NtCreateMutant(Mine(&h), q.access, attributes.Get(), BOOLEAN(q.initialOwner != 0));
    a.handle = HandleValue(h);
    return true;
}

// An open by name: the same for every kind of named object.
template <typename Call>
bool OpenNamed(NTSTATUS (*open)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES), typename Call::Request& q,
               typename Call::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    HANDLE h = nullptr;
    a.status = open(Mine(&h), q.access, attributes.Get());
    a.handle = HandleValue(h);
    return true;
}

bool OnOpenEvent(CallContext&, hostproto::OpenEventCall::Request& q, hostproto::OpenEventCall::Reply& a)
{
    return OpenNamed<hostproto::OpenEventCall>(::NtOpenEvent, q, a);
}

bool OnOpenSemaphore(CallContext&, hostproto::OpenSemaphoreCall::Request& q, hostproto::OpenSemaphoreCall::Reply& a)
{
    return OpenNamed<hostproto::OpenSemaphoreCall>(::NtOpenSemaphore, q, a);
}

bool OnOpenMutant(CallContext&, hostproto::OpenMutantCall::Request& q, hostproto::OpenMutantCall::Reply& a)
{
    return OpenNamed<hostproto::OpenMutantCall>(::NtOpenMutant, q, a);
}

bool OnSetEvent(CallContext&, hostproto::SetEventCall::Request& q, hostproto::SetEventCall::Reply& a)
{
    LONG previous = 0;
    a.status = ::NtSetEvent(HandleOf(q.handle), Mine(&previous));
    a.previousState = ULONG(previous);
    return true;
}

bool OnResetEvent(CallContext&, hostproto::ResetEventCall::Request& q, hostproto::ResetEventCall::Reply& a)
{
    LONG previous = 0;
    a.status = ::NtResetEvent(HandleOf(q.handle), Mine(&previous));
    a.previousState = ULONG(previous);
    return true;
}

bool OnPulseEvent(CallContext&, hostproto::PulseEventCall::Request& q, hostproto::PulseEventCall::Reply& a)
{
    LONG previous = 0;
    a.status = ::NtPulseEvent(HandleOf(q.handle), Mine(&previous));
    a.previousState = ULONG(previous);
    return true;
}

bool OnReleaseSemaphore(CallContext&, hostproto::ReleaseSemaphoreCall::Request& q,
                        hostproto::ReleaseSemaphoreCall::Reply& a)
{
    LONG previous = 0;
    a.status = ::NtReleaseSemaphore(HandleOf(q.handle), LONG(q.releaseCount), Mine(&previous));
    a.previousCount = ULONG(previous);
    return true;
}

bool OnReleaseMutant(CallContext&, hostproto::ReleaseMutantCall::Request& q, hostproto::ReleaseMutantCall::Reply& a)
{
    LONG previous = 0;
    a.status = ::NtReleaseMutant(HandleOf(q.handle), Mine(&previous));
    a.previousCount = ULONG(previous);
    return true;
}

// The user APCs the kernel delivered to this serving thread, for its client
// thread to run.
hostproto::Apcs TakeDeliveredApcs()
{
    hostproto::Apcs apcs;
    apcs.swap(deliveredApcs);
    return apcs;
}

bool OnWait(CallContext& x, hostproto::WaitCall::Request& q, hostproto::WaitCall::Reply& a)
{
    ULONG count = ULONG(q.handles.size());
    if (count > MAXIMUM_WAIT_OBJECTS) return false;
    std::vector<HANDLE> handles(count);
    Own(handles);
    for (ULONG i = 0; i < count; i++) handles[i] = HandleOf(q.handles[i]);
    // One wait holds its objects to its end, so a handle closed meanwhile
    // ends nothing: after the first slice (which checks the handles as
    // given) the slices wait on handles of the wait's own.
    std::vector<HANDLE> held;
    NTSTATUS s = SlicedWait(x.c, q.hasTimeout != 0, q.timeout, [&](PLARGE_INTEGER t) {
        NTSTATUS w = ::NtWaitForMultipleObjects(count, held.empty() ? handles.data() : held.data(),
                                                q.waitAll ? WaitAll : WaitAny, BOOLEAN(q.alertable != 0), t);
        if (w == STATUS_TIMEOUT && held.empty()) HoldObjects(handles, &held);
        return w;
    });
    for (HANDLE h : held) ::NtClose(h);
    a.status = ULONG(s);
    a.apcs = TakeDeliveredApcs();
    return true;
}

bool OnDelay(CallContext& x, hostproto::DelayCall::Request& q, hostproto::DelayCall::Reply& a)
{
    NTSTATUS s = SlicedWait(x.c, true, q.interval, [&](PLARGE_INTEGER t) {
        NTSTATUS d = ::NtDelayExecution(BOOLEAN(q.alertable != 0), t);
        return d == STATUS_SUCCESS ? STATUS_TIMEOUT : d;
    });
    a.status = ULONG(s == STATUS_TIMEOUT ? STATUS_SUCCESS : s);
    a.apcs = TakeDeliveredApcs();
    return true;
}

bool OnTestAlert(CallContext&, hostproto::TestAlertCall::Request&, hostproto::TestAlertCall::Reply& a)
{
    a.status = ::NtTestAlert();
    a.apcs = TakeDeliveredApcs();
    return true;
}

// ---- Handlers: time and the system ----

bool OnSystemTime(CallContext&, hostproto::SystemTimeCall::Request&, hostproto::SystemTimeCall::Reply& a)
{
    LARGE_INTEGER t{};
    a.status = ::NtQuerySystemTime(Mine(&t));
    a.systemTime = t.QuadPart;
    return true;
}

bool OnTickCount(CallContext&, hostproto::TickCountCall::Request&, hostproto::TickCountCall::Reply& a)
{
    a.status = STATUS_SUCCESS;
    a.ticks = ::NtGetTickCount();
    return true;
}

bool OnPerformanceCounter(CallContext&, hostproto::PerformanceCounterCall::Request&,
                          hostproto::PerformanceCounterCall::Reply& a)
{
    LARGE_INTEGER counter{}, frequency{};
    a.status = ::NtQueryPerformanceCounter(Mine(&counter), Mine(&frequency));
    a.counter = counter.QuadPart;
    a.frequency = frequency.QuadPart;
    return true;
}

bool OnQuerySystemInformation(CallContext& x, hostproto::QuerySystemInformationCall::Request& q,
                              hostproto::QuerySystemInformationCall::Reply& a)
{
    if (q.length > hostproto::kMaxBody) return false;
    uint8_t* out = x.Buffer(q.length);
    ULONG needed = 0;
    NTSTATUS s = ::NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(q.infoClass), out, q.length, Mine(&needed));
    a.status = s;
    a.resultLength = needed;
    a.info = ByteSpan(out, NT_ERROR(s) ? 0 : std::min<size_t>(needed, q.length));
    return true;
}

bool OnReportEvent(CallContext&, hostproto::ReportEventCall::Request& q, hostproto::ReportEventCall::Reply& a)
{
    if (q.strings.size() > 256) return false;
    for (const auto& text : q.strings) Own(text);
    a.status = ::NtReportEvent(q.source, USHORT(q.type), USHORT(q.category), q.eventId, q.strings, q.data.data,
                               q.data.size);
    return true;
}

// ---- Handlers: files and devices ----

bool OnCreateFile(CallContext&, hostproto::CreateFileCall::Request& q, hostproto::CreateFileCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    LARGE_INTEGER allocation;
    allocation.QuadPart = q.allocationSize;
    HANDLE h = nullptr;
    IO_STATUS_BLOCK iosb{};
    iosb.Status = kUnwritten;
    a.status = ::NtCreateFile(Mine(&h), q.access, attributes.Get(), Mine(&iosb),
                              q.hasAllocationSize ? Mine(&allocation) : nullptr, q.fileAttributes, q.shareAccess,
                              q.createDisposition, q.createOptions, nullptr, 0);
    a.handle = HandleValue(h);
    a.iosb = Block(iosb);
    return true;
}

// A device or file-system control: the kernel works on the host's copies of
// the caller's buffers, or on the client's arena for a buffer inside it.
template <typename Call>
bool ControlFile(CallContext& x, typename Call::Request& q, typename Call::Reply& a,
                 decltype(&::NtDeviceIoControlFile) control)
{
    Connection* c = x.c;
    if ((!q.outputShared && q.outputLength > hostproto::kMaxBody) || (q.output.size && q.output.size != q.outputLength) ||
        (q.inputShared && q.input.size) || (q.outputShared && q.output.size))
        return false;
    // A buffer in the client's arena is the client's own memory; any
    // other address the client names is refused.
    if ((q.inputShared && !c->owner->InArena(q.inputShared, q.inputSharedLength)) ||
        (q.outputShared && !c->owner->InArena(q.outputShared, q.outputLength))) {
        RefuseRequest(a);
        return true;
    }
    ULONG inLength = q.input.size;
    NTSTATUS refused;
    auto h = NewRequest(c, size_t(inLength) + (q.outputShared ? 0 : q.outputLength), q.async != 0, &refused);
    if (!h) {
        RefuseRequest(a, refused);
        return true;
    }
    h->file = HandleOf(q.file);
    h->code = q.code;
    h->outLength = q.outputLength;
    h->outShared = q.outputShared != 0;
    h->hasOut = q.hasOutput != 0;
    h->back = ControlBack;
    h->input.assign(q.input.data, q.input.data + inLength);
    h->output.resize(q.outputShared ? 0 : q.outputLength);
    Own(h->input);
    Own(h->output);
    if (q.output.size) std::memcpy(h->output.data(), q.output.data, q.output.size);
    PVOID inBuffer = q.inputShared ? reinterpret_cast<PVOID>(uintptr_t(q.inputShared))
                     : q.hasInput  ? h->input.data()
                                   : nullptr;
    if (q.inputShared) inLength = q.inputSharedLength;
    PVOID outBuffer = q.outputShared ? reinterpret_cast<PVOID>(uintptr_t(q.outputShared))
                      : q.hasOutput  ? h->output.data()
                                     : nullptr;
    h->iosb.Status = kUnwritten;
    HANDLE endedEvent = AttachEndedEvent(*h, q.async);
    NTSTATUS s = control(h->file, endedEvent, nullptr, nullptr, &h->iosb, q.code, inBuffer, inLength, outBuffer,
                         q.outputLength);
    Issued(endedEvent);
    RunRequest(x, a, std::move(h), q.async != 0, s);
    return true;
}

bool OnDeviceIoControl(CallContext& x, hostproto::DeviceIoControlCall::Request& q,
                       hostproto::DeviceIoControlCall::Reply& a)
{
    return ControlFile<hostproto::DeviceIoControlCall>(x, q, a, ::NtDeviceIoControlFile);
}

bool OnFsControlFile(CallContext& x, hostproto::FsControlFileCall::Request& q, hostproto::FsControlFileCall::Reply& a)
{
    return ControlFile<hostproto::FsControlFileCall>(x, q, a, ::NtFsControlFile);
}

// A read or write: on the host's copy of the caller's buffer, or on the
// client's arena for a buffer inside it.
template <typename Call>
bool Transfer(CallContext& x, typename Call::Request& q, typename Call::Reply& a, bool read)
{
    Connection* c = x.c;
    uint32_t length = q.length;
    if ((!q.shared && length > hostproto::kMaxBody) || (!read && !q.shared && q.data.size != length) ||
        ((read || q.shared) && q.data.size))
        return false;
    if (q.shared && !c->owner->InArena(q.shared, length)) {
        RefuseRequest(a);
        return true;
    }
    NTSTATUS refused;
    auto h = NewRequest(c, q.shared ? 0 : length, q.async != 0, &refused);
    if (!h) {
        RefuseRequest(a, refused);
        return true;
    }
    h->file = HandleOf(q.file);
    h->read = read;
    h->outShared = q.shared != 0;
    h->back = TransferBack;
    h->output.resize(q.shared ? 0 : length);
    Own(h->output);
    if (!read && !q.shared && length) std::memcpy(h->output.data(), q.data.data, length);
    PVOID buffer = q.shared ? reinterpret_cast<PVOID>(uintptr_t(q.shared)) : h->output.data();
    LARGE_INTEGER offset;
    offset.QuadPart = q.offset;
    ULONG key = q.key;
    h->iosb.Status = kUnwritten;
    HANDLE endedEvent = AttachEndedEvent(*h, q.async);
    auto transfer = read ? ::NtReadFile : ::NtWriteFile;
    NTSTATUS s = transfer(h->file, endedEvent, nullptr, nullptr, &h->iosb, buffer, length,
                          q.hasOffset ? &offset : nullptr, q.hasKey ? &key : nullptr);
    Issued(endedEvent);
    RunRequest(x, a, std::move(h), q.async != 0, s);
    return true;
}

bool OnReadFile(CallContext& x, hostproto::ReadFileCall::Request& q, hostproto::ReadFileCall::Reply& a)
{
    return Transfer<hostproto::ReadFileCall>(x, q, a, true);
}

bool OnWriteFile(CallContext& x, hostproto::WriteFileCall::Request& q, hostproto::WriteFileCall::Reply& a)
{
    return Transfer<hostproto::WriteFileCall>(x, q, a, false);
}

// A request left pending, awaited by a thread of its client.
bool OnAwaitRequest(CallContext& x, hostproto::AwaitRequestCall::Request& q, hostproto::AwaitRequestCall::Reply& a)
{
    Connection* c = x.c;
    std::unique_ptr<HeldRequest> h;
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = c->owner->held.find(q.token);
        if (it != c->owner->held.end()) {
            h = std::move(it->second);
            c->owner->held.erase(it);
        }
    }
    if (!h) {
        RefuseRequest(a, STATUS_INVALID_PARAMETER);
        return true;
    }
    size_t bytes = h->Bytes();
    NTSTATUS s = AwaitRequest(c, h);
    if (h) {
        FinishRequest(x, a, s, std::move(h));
    } else {
        RefuseRequest(a, s);
    }
    std::lock_guard<std::mutex> g(lock);
    c->owner->pending--;
    c->owner->pendingBytes -= bytes;
    allPendingBytes -= bytes;
    return true;
}

// The first of the process's held requests to end, with its token, as
// AwaitRequest answers for one.
bool OnAwaitAny(CallContext& x, hostproto::AwaitAnyCall::Request&, hostproto::AwaitAnyCall::Reply& a)
{
    Connection* c = x.c;
    ClientProcess& owner = *c->owner;
    for (;;) {
        std::unique_ptr<HeldRequest> ended;
        uint32_t token = 0;
        std::vector<PVOID> objects{&owner.arrival};
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto it = owner.held.begin(); it != owner.held.end(); ++it) {
                if (!Unfinished(*it->second)) {
                    token = it->first;
                    ended = std::move(it->second);
                    owner.held.erase(it);
                    break;
                }
                if (it->second->ended && objects.size() < MAXIMUM_WAIT_OBJECTS) {
                    ObfReferenceObject(it->second->ended);  // for the wait, whoever takes the request meanwhile
                    objects.push_back(it->second->ended);
                }
            }
        }
        if (ended) {
            for (size_t i = 1; i < objects.size(); i++) ObfDereferenceObject(objects[i]);
            SignalFileOfEnded(*ended);
            size_t bytes = ended->Bytes();
            NTSTATUS s = ended->iosb.Status;
            FinishRequest(x, a, s, std::move(ended), token);
            std::lock_guard<std::mutex> g(lock);
            owner.pending--;
            owner.pendingBytes -= bytes;
            allPendingBytes -= bytes;
            return true;
        }
        if (Gone(c)) {
            for (size_t i = 1; i < objects.size(); i++) ObfDereferenceObject(objects[i]);
            RefuseRequest(a, STATUS_THREAD_IS_TERMINATING);
            return true;
        }
        LARGE_INTEGER slice;
        slice.QuadPart = -kSlice;
        KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
        KeWaitForMultipleObjects(ULONG(objects.size()), objects.data(), WaitAny, Executive, KernelMode, FALSE, &slice,
                                 blocks);
        for (size_t i = 1; i < objects.size(); i++) ObfDereferenceObject(objects[i]);
    }
}

// A query of a file's or volume's information into the caller's buffer.
template <typename Call>
bool QueryFile(CallContext& x, typename Call::Request& q, typename Call::Reply& a,
               NTSTATUS (*query)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG))
{
    if (q.length > hostproto::kMaxBody) return false;
    uint8_t* info = x.Buffer(q.length);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = kUnwritten;
    NTSTATUS s = query(HandleOf(q.file), Mine(&iosb), info, q.length, q.infoClass);
    a.status = s;
    a.iosb = Block(iosb);
    a.info = ByteSpan(info, NT_ERROR(s) ? 0 : std::min<size_t>(iosb.Information, q.length));
    return true;
}

bool OnQueryInformationFile(CallContext& x, hostproto::QueryInformationFileCall::Request& q,
                            hostproto::QueryInformationFileCall::Reply& a)
{
    return QueryFile<hostproto::QueryInformationFileCall>(
        x, q, a, [](HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, ULONG infoClass) {
            return ::NtQueryInformationFile(file, iosb, info, length, FILE_INFORMATION_CLASS(infoClass));
        });
}

bool OnQueryVolumeInformationFile(CallContext& x, hostproto::QueryVolumeInformationFileCall::Request& q,
                                  hostproto::QueryVolumeInformationFileCall::Reply& a)
{
    return QueryFile<hostproto::QueryVolumeInformationFileCall>(
        x, q, a, [](HANDLE file, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length, ULONG infoClass) {
            return ::NtQueryVolumeInformationFile(file, iosb, info, length, FS_INFORMATION_CLASS(infoClass));
        });
}

bool OnSetInformationFile(CallContext& x, hostproto::SetInformationFileCall::Request& q,
                          hostproto::SetInformationFileCall::Reply& a)
{
    uint8_t* info = x.Buffer(q.info.size);
    if (q.info.size) std::memcpy(info, q.info.data, q.info.size);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = kUnwritten;
    a.status = ::NtSetInformationFile(HandleOf(q.file), Mine(&iosb), info, q.info.size,
                                      FILE_INFORMATION_CLASS(q.infoClass));
    a.iosb = Block(iosb);
    return true;
}

bool OnFlushBuffersFile(CallContext&, hostproto::FlushBuffersFileCall::Request& q,
                        hostproto::FlushBuffersFileCall::Reply& a)
{
    IO_STATUS_BLOCK iosb{};
    iosb.Status = kUnwritten;
    a.status = ::NtFlushBuffersFile(HandleOf(q.file), Mine(&iosb));
    a.iosb = Block(iosb);
    return true;
}

bool OnCancelIoFile(CallContext&, hostproto::CancelIoFileCall::Request& q, hostproto::CancelIoFileCall::Reply& a)
{
    IO_STATUS_BLOCK iosb{};
    iosb.Status = kUnwritten;
    a.status = ::NtCancelIoFile(HandleOf(q.file), Mine(&iosb));
    a.iosb = Block(iosb);
    return true;
}

bool OnDeleteFile(CallContext&, hostproto::DeleteFileCall::Request& q, hostproto::DeleteFileCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    a.status = ::NtDeleteFile(attributes.Get());
    return true;
}

bool OnQueryDirectoryFile(CallContext& x, hostproto::QueryDirectoryFileCall::Request& q,
                          hostproto::QueryDirectoryFileCall::Reply& a)
{
    Connection* c = x.c;
    if ((!q.shared && q.length > hostproto::kMaxBody) || q.fileName.size() > 0x7FFF) return false;
    if (q.shared && !c->owner->InArena(q.shared, q.length)) {
        RefuseRequest(a);
        return true;
    }
    // The kernel keeps its own copy of the pattern for as long as the request lives.
    KernelString pattern(q.fileName);
    NTSTATUS refused;
    auto h = DirectoryRequest(c, HandleOf(q.file), q.shared, q.length, q.async != 0, &refused);
    if (!h) {
        RefuseRequest(a, refused);
        return true;
    }
    h->iosb.Status = kUnwritten;
    HANDLE endedEvent = AttachEndedEvent(*h, q.async);
    NTSTATUS s = ::NtQueryDirectoryFile(h->file, endedEvent, nullptr, nullptr, &h->iosb, DirectoryBuffer(*h, q.shared),
                                        q.length, FILE_INFORMATION_CLASS(q.infoClass),
                                        BOOLEAN(q.returnSingleEntry != 0), q.hasFileName ? pattern.Get() : nullptr,
                                        BOOLEAN(q.restartScan != 0));
    Issued(endedEvent);
    RunRequest(x, a, std::move(h), q.async != 0, s);
    return true;
}

// Left pending until a change below the directory, a cancel or the handle's
// cleanup: held under a token like any other request.
bool OnNotifyChangeDirectory(CallContext& x, hostproto::NotifyChangeDirectoryCall::Request& q,
                             hostproto::NotifyChangeDirectoryCall::Reply& a)
{
    Connection* c = x.c;
    if (!q.shared && q.length > hostproto::kMaxBody) return false;
    if (q.shared && !c->owner->InArena(q.shared, q.length)) {
        RefuseRequest(a);
        return true;
    }
    NTSTATUS refused;
    auto h = DirectoryRequest(c, HandleOf(q.file), q.shared, q.length, q.async != 0, &refused);
    if (!h) {
        RefuseRequest(a, refused);
        return true;
    }
    h->iosb.Status = kUnwritten;
    HANDLE endedEvent = AttachEndedEvent(*h, q.async);
    NTSTATUS s = ::NtNotifyChangeDirectoryFile(h->file, endedEvent, nullptr, nullptr, &h->iosb,
                                               DirectoryBuffer(*h, q.shared), q.length, q.completionFilter,
                                               BOOLEAN(q.watchTree != 0));
    Issued(endedEvent);
    RunRequest(x, a, std::move(h), q.async != 0, s);
    return true;
}

// ---- Handlers: sections ----

bool OnCreateSection(CallContext&, hostproto::CreateSectionCall::Request& q, hostproto::CreateSectionCall::Reply& a)
{
    KernelAttributes attributes(q.attributes);
    LARGE_INTEGER size;
    size.QuadPart = q.maximumSize;
    HANDLE h = nullptr;
    a.status = ::NtCreateSection(Mine(&h), q.access, attributes.Get(), q.hasMaximumSize ? Mine(&size) : nullptr,
                                 q.pageProtection, q.allocationAttributes, nullptr);
    a.handle = HandleValue(h);
    return true;
}

bool OnOpenSection(CallContext&, hostproto::OpenSectionCall::Request& q, hostproto::OpenSectionCall::Reply& a)
{
    return OpenNamed<hostproto::OpenSectionCall>(::NtOpenSection, q, a);
}

// The client maps the section's memory file itself: its view and the
// drivers' and every other process's are the same pages.
bool OnMapSection(CallContext& x, hostproto::MapSectionCall::Request& q, hostproto::MapSectionCall::Reply& a)
{
    SIZE_T size = q.viewSize;
    NTSTATUS s = MmSectionFileForView(HandleOf(q.section), q.protect, q.offset, &size, &x.passFd);
    a.status = s;
    a.viewSize = ULONG(NT_SUCCESS(s) ? size : 0);
    return true;
}

// ---- Handlers: the registry ----

bool OnCreateKey(CallContext&, hostproto::CreateKeyCall::Request& q, hostproto::CreateKeyCall::Reply& a)
{
    if (q.className.size() > 0x7FFF) return false;
    KernelAttributes attributes(q.attributes);
    KernelString className(q.className);
    HANDLE h = nullptr;
    ULONG disposition = 0;
    a.status = ::NtCreateKey(Mine(&h), q.access, attributes.Get(), q.titleIndex, q.hasClass ? className.Get() : nullptr,
                             q.createOptions, Mine(&disposition));
    a.handle = HandleValue(h);
    a.disposition = disposition;
    return true;
}

bool OnOpenKey(CallContext&, hostproto::OpenKeyCall::Request& q, hostproto::OpenKeyCall::Reply& a)
{
    return OpenNamed<hostproto::OpenKeyCall>(::NtOpenKey, q, a);
}

bool OnDeleteKey(CallContext&, hostproto::DeleteKeyCall::Request& q, hostproto::DeleteKeyCall::Reply& a)
{
    a.status = ::NtDeleteKey(HandleOf(q.key));
    return true;
}

bool OnFlushKey(CallContext&, hostproto::FlushKeyCall::Request& q, hostproto::FlushKeyCall::Reply& a)
{
    a.status = ::NtFlushKey(HandleOf(q.key));
    return true;
}

// A query into the caller's buffer: what the kernel wrote goes back with
// the length it asked for.
template <typename Reply, typename Query>
bool KeyQuery(CallContext& x, Reply& a, ULONG length, Query query)
{
    if (length > hostproto::kMaxBody) return false;
    uint8_t* out = x.Buffer(length);
    ULONG needed = 0;
    NTSTATUS s = query(out, Mine(&needed));
    a.status = s;
    a.resultLength = needed;
    a.info = ByteSpan(out, NT_ERROR(s) ? 0 : std::min<size_t>(needed, length));
    return true;
}

bool OnQueryValueKey(CallContext& x, hostproto::QueryValueKeyCall::Request& q, hostproto::QueryValueKeyCall::Reply& a)
{
    if (q.valueName.size() > 0x7FFF) return false;
    KernelString name(q.valueName);
    return KeyQuery(x, a, q.length, [&](PVOID out, PULONG needed) {
        return ::NtQueryValueKey(HandleOf(q.key), name.Get(), KEY_VALUE_INFORMATION_CLASS(q.infoClass), out, q.length,
                                 needed);
    });
}

bool OnEnumerateKey(CallContext& x, hostproto::EnumerateKeyCall::Request& q, hostproto::EnumerateKeyCall::Reply& a)
{
    return KeyQuery(x, a, q.length, [&](PVOID out, PULONG needed) {
        return ::NtEnumerateKey(HandleOf(q.key), q.index, KEY_INFORMATION_CLASS(q.infoClass), out, q.length, needed);
    });
}

bool OnEnumerateValueKey(CallContext& x, hostproto::EnumerateValueKeyCall::Request& q,
                         hostproto::EnumerateValueKeyCall::Reply& a)
{
    return KeyQuery(x, a, q.length, [&](PVOID out, PULONG needed) {
        return ::NtEnumerateValueKey(HandleOf(q.key), q.index, KEY_VALUE_INFORMATION_CLASS(q.infoClass), out, q.length,
                                     needed);
    });
}

bool OnQueryKey(CallContext& x, hostproto::QueryKeyCall::Request& q, hostproto::QueryKeyCall::Reply& a)
{
    return KeyQuery(x, a, q.length, [&](PVOID out, PULONG needed) {
        return ::NtQueryKey(HandleOf(q.key), KEY_INFORMATION_CLASS(q.infoClass), out, q.length, needed);
    });
}

bool OnSetValueKey(CallContext& x, hostproto::SetValueKeyCall::Request& q, hostproto::SetValueKeyCall::Reply& a)
{
    if (q.valueName.size() > 0x7FFF) return false;
    KernelString name(q.valueName);
    uint8_t* data = x.Buffer(q.data.size);
    if (q.data.size) std::memcpy(data, q.data.data, q.data.size);
    a.status = ::NtSetValueKey(HandleOf(q.key), name.Get(), q.titleIndex, q.type, data, q.data.size);
    return true;
}

bool OnDeleteValueKey(CallContext&, hostproto::DeleteValueKeyCall::Request& q, hostproto::DeleteValueKeyCall::Reply& a)
{
    if (q.valueName.size() > 0x7FFF) return false;
    KernelString name(q.valueName);
    a.status = ::NtDeleteValueKey(HandleOf(q.key), name.Get());
    return true;
}

// ---- Handlers: drivers ----

bool OnLoadDriver(CallContext&, hostproto::LoadDriverCall::Request& q, hostproto::LoadDriverCall::Reply& a)
{
    if (q.driverServiceName.size() > 0x7FFF) return false;
    KernelString name(q.driverServiceName);
    a.status = ::NtLoadDriver(name.Get());
    return true;
}

bool OnUnloadDriver(CallContext&, hostproto::UnloadDriverCall::Request& q, hostproto::UnloadDriverCall::Reply& a)
{
    if (q.driverServiceName.size() > 0x7FFF) return false;
    KernelString name(q.driverServiceName);
    a.status = ::NtUnloadDriver(name.Get());
    return true;
}

// ---- Handlers: threads ----

bool OnCreateThread(CallContext& x, hostproto::CreateThreadCall::Request& q, hostproto::CreateThreadCall::Reply& a)
{
    Connection* c = x.c;
    auto start = std::make_shared<ThreadStart>();
    start->owner = c->owner;
    {
        std::lock_guard<std::mutex> g(lock);
        int all = 0;
        for (const auto& [token, p] : processes) all += p->threads;
        if (c->owner->threads >= kMaxThreadsPerProcess || all >= kMaxThreads) {
            a.status = ULONG(kTooManyThreads);
            return true;
        }
        c->owner->threads++;
        start->token = NewToken();
        while (threadStarts.count(start->token) || !start->token) start->token++;
        threadStarts[start->token] = start;
    }
    HANDLE h = nullptr;
    CLIENT_ID cid{};
    auto* context = new std::shared_ptr<ThreadStart>(start);
    NTSTATUS s = PsCreateUserThread(PsGetCurrentProcess(), RunClientThread, context, Mine(&h), Mine(&cid),
                                    BOOLEAN(q.suspended != 0));
    if (!NT_SUCCESS(s)) {
        delete context;
        std::lock_guard<std::mutex> g(lock);
        threadStarts.erase(start->token);
        c->owner->threads--;
    }
    a.status = s;
    a.handle = HandleValue(h);
    a.threadId = HandleValue(cid.UniqueThread);
    a.threadToken = NT_SUCCESS(s) ? start->token : 0;
    return true;
}

bool OnResumeThread(CallContext&, hostproto::ResumeThreadCall::Request& q, hostproto::ResumeThreadCall::Reply& a)
{
    ULONG count = 0;
    a.status = ::NtResumeThread(HandleOf(q.thread), Mine(&count));
    a.suspendCount = count;
    return true;
}

bool OnSuspendThread(CallContext&, hostproto::SuspendThreadCall::Request& q, hostproto::SuspendThreadCall::Reply& a)
{
    ULONG previous = 0;
    a.status = ::NtSuspendThread(HandleOf(q.thread), Mine(&previous));
    a.previousSuspendCount = previous;
    return true;
}

bool OnTerminateThread(CallContext&, hostproto::TerminateThreadCall::Request& q,
                       hostproto::TerminateThreadCall::Reply& a)
{
    a.status = ::NtTerminateThread(HandleOf(q.thread), NTSTATUS(q.exitStatus));
    return true;
}

bool OnGetExitCodeThread(CallContext&, hostproto::GetExitCodeThreadCall::Request& q,
                         hostproto::GetExitCodeThreadCall::Reply& a)
{
    ULONG code = 0;
    a.status = ::NtGetExitCodeThread(HandleOf(q.thread), Mine(&code));
    a.exitCode = code;
    return true;
}

bool OnSetThreadPriority(CallContext&, hostproto::SetThreadPriorityCall::Request& q,
                         hostproto::SetThreadPriorityCall::Reply& a)
{
    a.status = ::NtSetThreadPriority(HandleOf(q.thread), LONG(q.priority));
    return true;
}

bool OnQueueApc(CallContext&, hostproto::QueueApcCall::Request& q, hostproto::QueueApcCall::Reply& a)
{
    auto* apc = new hostproto::Apc{q.routine, q.context, q.arg1, q.arg2};
    NTSTATUS s = ::NtQueueApcThread(HandleOf(q.thread), DeliverApc, apc, nullptr, nullptr);
    if (!NT_SUCCESS(s)) delete apc;
    a.status = s;
    return true;
}

// ---- Dispatch ----

// Each call and its request and reply, as the host's trace shows them
// (ZAR_HOST_TRACE set): one line a call, once it is answered.
bool Tracing()
{
    static const bool on = [] {
        const char* v = std::getenv("ZAR_HOST_TRACE");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return on;
}

template <typename Call>
void Trace(const typename Call::Request& q, const typename Call::Reply& a)
{
    std::string request = hostproto::Describe(q), reply = hostproto::Describe(a);
    std::fprintf(stderr, "host: %lu %s(%s) -> %s\n", static_cast<unsigned long>(::NtGetCurrentThreadId()),
                 Call::kName, request.c_str(), reply.c_str());
}

// Decodes a call's request, runs its handler and writes its reply.
template <typename Call, bool (*Handler)(CallContext&, typename Call::Request&, typename Call::Reply&)>
bool RunCall(CallContext& x, Reader& r, Writer& w)
{
    typename Call::Request q;
    if (!hostproto::Decode(r, q)) return false;
    typename Call::Reply a;
    if (!Handler(x, q, a)) return false;
    if (Tracing()) Trace<Call>(q, a);
    hostproto::Encode(w, a);
    return true;
}

using CallRunner = bool (*)(CallContext&, Reader&, Writer&);

// The handlers by call number, from the table: a call without its handler
// does not build.
const CallRunner callRunners[hostproto::kCallLimit] = {
    nullptr,
#define HOST_CALL(name, request, reply) &RunCall<hostproto::name##Call, On##name>,
#include "../nt/nt_syscall.inc"
#undef HOST_CALL
};

// Runs one request; false when the body is malformed (the connection then
// ends). An unknown call number gets STATUS_INVALID_SYSTEM_SERVICE.
bool Execute(Connection* c, uint16_t call, Reader& r, Writer& w, int* passFd)
{
    if (call == hostproto::kCallNone || call >= hostproto::kCallLimit) {
        w.U32(ULONG(STATUS_INVALID_SYSTEM_SERVICE));
        return true;
    }
    CallContext x;
    x.c = c;
    bool ok = callRunners[call](x, r, w);
    *passFd = x.passFd;
    if (!ok && *passFd >= 0) {
        ::close(*passFd);
        *passFd = -1;
    }
    return ok;
}

// A new client process's first piece of shared memory. Without it (no
// memory file, no address room) the process still works, its buffers all
// crossing by value.
void MakeArena(ClientProcess* p)
{
    if (auto piece = MakeArenaPiece(kArenaFirst)) p->arena.push_back(std::move(piece));
}

// The reply to a hello, from the thread that will serve the connection.
// A process's first connection also gets its arena's memory file.
void HelloReply(const ClientProcess& owner, bool first, Writer& w, int* passFd)
{
    hostproto::HelloCall::Reply a;
    a.status = ULONG(STATUS_SUCCESS);
    a.processToken = owner.token;
    a.processId = ::NtGetCurrentProcessId();
    a.threadId = ::NtGetCurrentThreadId();
    std::shared_ptr<ArenaPiece> piece;
    if (first) {
        std::lock_guard<std::mutex> g(owner.arenaLock);
        if (!owner.arena.empty()) piece = owner.arena.front();
    }
    if (piece) {
        a.arenaAddress = ULONG(reinterpret_cast<uintptr_t>(piece->base));
        a.arenaSize = ULONG(piece->size);
        *passFd = ::fcntl(piece->fd, F_DUPFD_CLOEXEC, 0);
    }
    hostproto::Encode(w, a);
}

// A hello the host answers with a refusal: the client learns why.
void RefuseHello(int fd, NTSTATUS status)
{
    hostproto::HelloCall::Reply a;
    a.status = ULONG(status);
    Writer w;
    hostproto::Encode(w, a);
    hostproto::Send(fd, hostproto::kHello, w.Body());
}

// The first message of a connection: which process it belongs to, and for
// a thread the client made with CreateThread, which thread (*threadToken).
// False when the hello is broken or names no process; *refusal is then set
// when a limit refused it and the client is to be told.
bool Attach(Connection* c, const std::vector<uint8_t>& body, uint32_t* threadToken, bool* first, NTSTATUS* refusal)
{
    *refusal = STATUS_SUCCESS;
    hostproto::HelloCall::Request hello;
    if (!hostproto::Decode(body, hello)) return false;
    uint32_t token = hello.processToken;
    *threadToken = hello.threadToken;
    const std::u16string& image = hello.image;
    if (hello.version != hostproto::kVersion || image.size() > 260 || (*threadToken && !token)) return false;
    std::shared_ptr<ClientProcess> owner;
    *first = token == 0;
    if (token == 0) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (processes.size() >= size_t(kMaxProcesses) || connections.size() > size_t(kMaxConnections)) {
                *refusal = STATUS_INSUFFICIENT_RESOURCES;
                return false;
            }
        }
        std::string name = NtNarrow(image);
        PEPROCESS p = PsCreateUserProcess(name.empty() ? "client" : name);
        if (!p) {
            *refusal = STATUS_INSUFFICIENT_RESOURCES;
            return false;
        }
        ObfReferenceObject(p);
        owner = std::make_shared<ClientProcess>();
        owner->process = p;
        MakeArena(owner.get());
        std::lock_guard<std::mutex> g(lock);
        owner->token = NewToken();
        while (processes.count(owner->token)) owner->token++;
        processes[owner->token] = owner;
        // An ended client's entry stays (its memory is nobody's) until
        // its process object may have been reused.
        std::erase_if(clientsByProcess, [](const auto& entry) { return entry.second.expired(); });
        clientsByProcess[p] = owner;
    } else {
        std::lock_guard<std::mutex> g(lock);
        auto it = processes.find(token);
        if (it == processes.end()) return false;
        owner = it->second;
    }
    {
        std::lock_guard<std::mutex> g(lock);
        if (owner->ended) return false;
        // A thread's connection past the limits is refused, not the process.
        if (!*first && (owner->connections >= kMaxConnectionsPerProcess || connections.size() > size_t(kMaxConnections))) {
            *refusal = STATUS_INSUFFICIENT_RESOURCES;
            return false;
        }
        owner->connections++;
        c->owner = owner;
    }
    Wake();  // the watcher looks at this connection from now on
    return true;
}

// Serves an attached connection's calls until it ends or, for a client's
// own thread, until that thread exits (*exitCode then holds its code).
void ServeCalls(Connection* c, ULONG* exitCode)
{
    uint16_t call;
    std::vector<uint8_t> body;
    while (!stopping && hostproto::Receive(c->fd, &call, &body)) {
        Writer w;
        int passFd = -1;
        Reader r(body.data(), body.size());
        bool exiting = call == hostproto::kExitThread;
        bool ok;
        if (exiting) {
            hostproto::ExitThreadCall::Request q;
            ok = hostproto::Decode(r, q);
            *exitCode = q.exitCode;
            hostproto::Encode(w, hostproto::ExitThreadCall::Reply{});
        } else if (::PsThreadSafePoint() == STATUS_THREAD_TERMINATE_PENDING) {
            // A call is a safe point of the client's thread: suspended, it
            // stopped above until resumed; terminated, it ends here.
            w.U32(ULONG(STATUS_THREAD_TERMINATE_PENDING));
            ok = true;
        } else {
            BeginCall();
            try {
                ok = Execute(c, call, r, w, &passFd);
            } catch (const std::bad_alloc&) {
                // The host's memory ran short for this call: it fails alone.
                w = Writer();
                w.U32(ULONG(STATUS_NO_MEMORY));
                ok = true;
            }
        }
        // A malformed message ends the connection; the host goes on.
        bool sent = ok && hostproto::Send(c->fd, call, w.Body(), passFd);
        if (passFd >= 0) ::close(passFd);
        if (!sent || exiting) return;
        if (body.capacity() > (1u << 20)) std::vector<uint8_t>().swap(body);  // a large message's room goes back
    }
}

// A thread the client made: a kernel thread of the client's NT process
// (so its handle, id, exit code, suspension and APCs are the kernel's),
// which serves the connection the client's new thread opens with its
// token; the routine itself runs in the client. The kernel thread's exit
// code is the one the client's routine returned.
ULONG RunClientThread(PVOID context)
{
    std::shared_ptr<ThreadStart> start(std::move(*static_cast<std::shared_ptr<ThreadStart>*>(context)));
    delete static_cast<std::shared_ptr<ThreadStart>*>(context);
    Connection* c;
    {
        std::unique_lock<std::mutex> g(lock);
        while (!start->connection && !start->abandoned && !stopping && !start->owner->ended)
            threadStarted.wait_for(g, std::chrono::milliseconds(50));
        if (!start->connection) {
            start->abandoned = true;
            threadStarts.erase(start->token);
            start->owner->threads--;
            return ULONG(STATUS_THREAD_IS_TERMINATING);
        }
        start->started = true;
        c = start->connection;
    }
    ULONG exitCode = ULONG(STATUS_THREAD_IS_TERMINATING);
    if (::PsThreadSafePoint() == STATUS_THREAD_TERMINATE_PENDING) {
        // Terminated before it ever ran: the client's thread never runs its routine.
        RefuseHello(c->fd, STATUS_THREAD_IS_TERMINATING);
    } else {
        Writer w;
        int passFd = -1;
        HelloReply(*c->owner, false, w, &passFd);
        try {
            if (hostproto::Send(c->fd, hostproto::kHello, w.Body())) ServeCalls(c, &exitCode);
        } catch (const std::bad_alloc&) {
            // No room for a message: the connection ends, the host goes on.
        }
    }
    {
        std::lock_guard<std::mutex> g(lock);
        start->finished = true;
        start->owner->threads--;
    }
    threadStarted.notify_all();
    return exitCode;
}

// The connection's process, referenced: it outlives the calls this thread
// runs in it, even when the watcher ends it meanwhile. Null once it ended.
PEPROCESS ReferenceOwner(Connection* c)
{
    std::lock_guard<std::mutex> g(lock);
    if (c->owner->ended) return nullptr;
    ObfReferenceObject(c->owner->process);
    return c->owner->process;
}

void Serve(Connection* c)
{
    PEPROCESS process = nullptr;
    uint16_t call;
    std::vector<uint8_t> body;
    uint32_t threadToken = 0;
    bool first = false, attached = false;
    NTSTATUS refusal = STATUS_SUCCESS;
    try {
        attached = !stopping && hostproto::Receive(c->fd, &call, &body) && call == hostproto::kHello &&
                   Attach(c, body, &threadToken, &first, &refusal);
    } catch (const std::bad_alloc&) {
        refusal = STATUS_NO_MEMORY;
    }
    if (!attached && refusal != STATUS_SUCCESS) RefuseHello(c->fd, refusal);
    if (attached && threadToken) {
        // The kernel thread made for it serves it; this one waits until it
        // has, or until the client went before that thread ever ran.
        std::unique_lock<std::mutex> g(lock);
        auto it = threadStarts.find(threadToken);
        if (it != threadStarts.end() && it->second->owner == c->owner && !it->second->abandoned) {
            auto start = it->second;
            threadStarts.erase(it);
            start->connection = c;
            threadStarted.notify_all();
            while (!start->finished && !(start->started ? false : Gone(c)))
                threadStarted.wait_for(g, std::chrono::milliseconds(50));
            if (!start->started) start->abandoned = true;
        }
    } else if (attached && (process = ReferenceOwner(c)) != nullptr) {
        PsSetThreadProcess(KeGetCurrentThread(), process);
        Writer w;
        int passFd = -1;
        HelloReply(*c->owner, first, w, &passFd);
        bool sent = hostproto::Send(c->fd, call, w.Body(), passFd);
        if (passFd >= 0) ::close(passFd);
        ULONG exitCode;
        try {
            if (sent) ServeCalls(c, &exitCode);
        } catch (const std::bad_alloc&) {
            // No room for a message: the connection ends, the host goes on.
        }
        PsSetThreadProcess(KeGetCurrentThread(), nullptr);
        ObfDereferenceObject(process);
    }
    ::shutdown(c->fd, SHUT_RDWR);
    if (attached) {
        HangUp(c);
    } else {
        c->hungUp = true;
    }
    c->done = true;
    Wake();  // the watcher lets go of it
}

// Joins the serving threads that finished (lock held).
void Reap()
{
    for (auto it = connections.begin(); it != connections.end();) {
        if (!(*it)->done) {
            ++it;
            continue;
        }
        (*it)->thread.join();
        it = connections.erase(it);
    }
}

void Accept()
{
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {acceptWake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (stopping) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ucred peer{};
        socklen_t n = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &n) != 0 || peer.uid != ::getuid()) {
            ::close(fd);
            continue;
        }
        std::lock_guard<std::mutex> g(lock);
        Reap();
        // Far past the limits nobody is even told: no thread to tell them.
        if (connections.size() >= size_t(kMaxConnections) + 64) {
            ::close(fd);
            continue;
        }
        try {
            auto c = std::make_shared<Connection>();
            c->fd = fd;
            fd = -1;
            connections.reserve(connections.size() + 1);  // the push below cannot fail then
            Connection* raw = c.get();
            raw->thread = std::thread(Serve, raw);
            connections.push_back(std::move(c));
        } catch (const std::exception&) {
            // No memory or no thread to be had: this connection ends.
            if (fd >= 0) ::close(fd);
        }
    }
}

// Notices connections whose client went away while their serving thread is
// busy in the kernel, and ends the processes left without one.
void Watch()
{
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::shared_ptr<Connection>> watched;
        try {
            std::lock_guard<std::mutex> g(lock);
            fds.reserve(connections.size() + 1);
            watched.reserve(connections.size());
        } catch (const std::bad_alloc&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // memory short: look again soon
            continue;
        }
        fds.push_back({wakeRead, POLLIN, 0});
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto& c : connections)
                if (!c->hungUp && c->owner && fds.size() < fds.capacity()) {
                    fds.push_back({c->fd, POLLRDHUP, 0});
                    watched.push_back(c);
                }
        }
        if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        if (stopping) break;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            (void)!::read(wakeRead, buf, sizeof buf);
        }
        // An ended client's memory and socket go as soon as it is noticed.
        {
            std::lock_guard<std::mutex> g(lock);
            Reap();
        }
        ReleaseEndedOrphans();
        for (size_t i = 0; i < watched.size(); i++)
            if (fds[i + 1].revents & (POLLRDHUP | POLLHUP | POLLERR)) HangUp(watched[i].get());
    }
}

}  // namespace

namespace {

// This process's claim on a machine folder: an exclusive lock on
// <folder>/host.lock, which names the process holding it. The system lets
// go of it when the process ends, however it ends.
int claimFd = -1;
std::string claimedFolder;

}  // namespace

bool ClaimFolder(const std::string& folder, std::string* why)
{
    const std::string path = folder + "/host.lock";
    if (claimFd >= 0) {
        struct stat held, named;
        if (::fstat(claimFd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return true;
        *why = "this process already serves " + claimedFolder;
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        char text[32] = {};
        ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (error != EWOULDBLOCK) {
            *why = path + ": " + std::strerror(error);
        } else if (pid > 0) {
            *why = "the machine folder " + folder + " is served by process " + std::to_string(pid);
        } else {
            *why = "the machine folder " + folder + " is served by another process";
        }
        return false;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        *why = path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    claimFd = fd;
    claimedFolder = folder;
    return true;
}

bool StartServer(const std::string& folder, std::string* why)
{
    if (running) {
        *why = "the server already runs";
        return false;
    }
    if (!ClaimFolder(folder, why)) return false;
    // Every thread made from now on, the serving threads and the kernel
    // threads clients make included, gets a kernel-sized stack, so that
    // hundreds of them fit in the host's address space.
    pthread_attr_t defaults;
    if (pthread_getattr_default_np(&defaults) == 0) {
        size_t stack = 0;
        if (pthread_attr_getstacksize(&defaults, &stack) == 0 && (stack == 0 || stack > kServingStack) &&
            pthread_attr_setstacksize(&defaults, kServingStack) == 0)
            pthread_setattr_default_np(&defaults);
        pthread_attr_destroy(&defaults);
    }
    socketPath = folder + "/" + hostproto::kSocketName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        *why = "the socket path is too long: " + socketPath;
        return false;
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(socketPath.c_str());  // a dead host's: the claim says nobody serves the folder
    mode_t old = ::umask(0077);  // the owner's only, from its first moment
    int bound = fd < 0 ? -1 : ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old);
    int pipeFds[2];
    if (bound != 0 || ::chmod(socketPath.c_str(), 0600) != 0 || ::listen(fd, 64) != 0 ||
        ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(acceptWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = socketPath + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    MmSetUserRangeFilter(ClientMemory);
    listenFd = fd;
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    stopping = false;
    running = true;
    try {
        acceptor = std::thread(Accept);
        watcher = std::thread(Watch);
    } catch (const std::system_error& e) {
        *why = std::string("no thread to serve with: ") + e.what();
        stopping = true;
        char c = 1;
        (void)!::write(acceptWake[1], &c, 1);
        if (acceptor.joinable()) acceptor.join();
        ::close(listenFd);
        for (int pipeFd : {wakeRead, wakeWrite, acceptWake[0], acceptWake[1]}) ::close(pipeFd);
        listenFd = wakeRead = wakeWrite = acceptWake[0] = acceptWake[1] = -1;
        ::unlink(socketPath.c_str());
        running = false;
        return false;
    }
    return true;
}

void StopServer()
{
    if (!running) return;
    stopping = true;
    Wake();
    char c = 1;
    (void)!::write(acceptWake[1], &c, 1);
    acceptor.join();
    watcher.join();
    std::vector<std::shared_ptr<ClientProcess>> live;
    {
        std::lock_guard<std::mutex> g(lock);
        for (auto& c : connections) ::shutdown(c->fd, SHUT_RDWR);
        for (auto& [token, p] : processes) live.push_back(p);
    }
    // Ending the processes cancels what their serving threads wait for.
    for (auto& p : live) EndProcess(p);
    live.clear();
    for (auto& c : connections) c->thread.join();
    connections.clear();
    // Requests the kernel still has (a transfer that cannot be cancelled)
    // keep the memory they name: waited for a while, then kept for good,
    // so the machine's shutdown never runs under a mapping taken away.
    auto deadline = std::chrono::steady_clock::now() + kStopPatience;
    while (ReleaseEndedOrphans() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::lock_guard<std::mutex> g(orphanLock);
        for (auto& orphan : orphans) (void)orphan.release();
        orphans.clear();
    }
    ::close(listenFd);
    for (int fd : {wakeRead, wakeWrite, acceptWake[0], acceptWake[1]}) ::close(fd);
    acceptWake[0] = acceptWake[1] = -1;
    ::unlink(socketPath.c_str());
    listenFd = wakeRead = wakeWrite = -1;
    running = false;
}

bool ServerRunning() { return running; }

int ClientProcessCount()
{
    std::lock_guard<std::mutex> g(lock);
    return int(processes.size());
}

int ConnectionCount()
{
    std::lock_guard<std::mutex> g(lock);
    int open = 0;
    for (const auto& c : connections) open += !c->hungUp;
    return open;
}

}  // namespace host

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

using hostproto::Reader;
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
struct ClientApc {
    uint32_t routine, context, arg1, arg2;
};
thread_local std::vector<ClientApc> deliveredApcs;

void DeliverApc(PVOID context, PVOID, PVOID)
{
    std::unique_ptr<ClientApc> apc(static_cast<ClientApc*>(context));
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

Writer& WriteDeliveredApcs(Writer& w)
{
    w.U32(ULONG(deliveredApcs.size()));
    for (const auto& a : deliveredApcs) w.U32(a.routine).U32(a.context).U32(a.arg1).U32(a.arg2);
    deliveredApcs.clear();
    return w;
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

struct Attributes {
    std::u16string name;
    UNICODE_STRING us{};
    OBJECT_ATTRIBUTES oa{};
    bool hasName = false;
    POBJECT_ATTRIBUTES Get() { return &oa; }
};

void ReadAttributes(Reader& r, Attributes* a)
{
    ULONG attributes = r.U32();
    auto root = reinterpret_cast<HANDLE>(ULONG_PTR(r.U32()));
    a->hasName = r.U32() != 0;
    a->name = r.Text();
    if (a->name.size() > 0x7FFF) a->name.clear();  // beyond a counted string: the kernel refuses the empty name
    Own(a->name);
    Mine(&a->us);
    Mine(&a->oa);
    a->us.Buffer = a->name.data();
    a->us.Length = a->us.MaximumLength = USHORT(a->name.size() * 2);
    // Kernel handles are never a client's to ask for.
    InitializeObjectAttributes(&a->oa, a->hasName ? &a->us : nullptr, attributes & ~ULONG(OBJ_KERNEL_HANDLE), root,
                               nullptr);
}

HANDLE ReadHandle(Reader& r) { return reinterpret_cast<HANDLE>(ULONG_PTR(r.U32())); }
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

void WriteIosb(Writer& w, const IO_STATUS_BLOCK& iosb)
{
    w.U32(iosb.Status != kUnwritten);
    w.U32(ULONG(iosb.Status));
    w.U32(ULONG(iosb.Information));
}

// ---- The calls ----

// The reply to a device control, read or write that ended (or failed at
// once): status, no token, status block, the bytes the kernel wrote into
// the host's copy of the caller's buffer.
void FinishRequest(Writer& w, NTSTATUS s, const HeldRequest& h, uint32_t token = 0)
{
    w.U32(ULONG(s)).U32(token);
    WriteIosb(w, h.iosb);
    w.Bytes(h.output.data(), h.back(h, s));
}

void RefuseRequest(Writer& w, NTSTATUS status = STATUS_ACCESS_VIOLATION)
{
    w.U32(ULONG(status)).U32(0);
    WriteIosb(w, IO_STATUS_BLOCK{{kUnwritten}, 0});
    w.Bytes(nullptr, 0);
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
// STATUS_PENDING and a token, and 'h' is kept for kAwaitRequest.
void RunRequest(Connection* c, Writer& w, std::unique_ptr<HeldRequest> h, bool async, NTSTATUS s)
{
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
        w.U32(ULONG(STATUS_PENDING)).U32(token);
        WriteIosb(w, IO_STATUS_BLOCK{{kUnwritten}, 0});
        w.Bytes(nullptr, 0);
        return;
    }
    if (s == STATUS_PENDING) s = AwaitRequest(c, h);
    if (!h) {
        RefuseRequest(w, s);
        return;
    }
    FinishRequest(w, s, *h);
}

// An asynchronous request gets an event of its own, which the I/O manager
// sets when the request ends, so that one thread of the client awaits all
// of its requests (kAwaitAny). The handle (the client's, for the call) is
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

// The reply to kAwaitAny: the first of the process's held requests to end,
// with its token, as kAwaitRequest answers for one.
void AwaitAny(Connection* c, Writer& w)
{
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
            FinishRequest(w, ended->iosb.Status, *ended, token);
            std::lock_guard<std::mutex> g(lock);
            owner.pending--;
            owner.pendingBytes -= bytes;
            allPendingBytes -= bytes;
            return;
        }
        if (Gone(c)) {
            for (size_t i = 1; i < objects.size(); i++) ObfDereferenceObject(objects[i]);
            RefuseRequest(w, STATUS_THREAD_IS_TERMINATING);
            return;
        }
        LARGE_INTEGER slice;
        slice.QuadPart = -kSlice;
        KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
        KeWaitForMultipleObjects(ULONG(objects.size()), objects.data(), WaitAny, Executive, KernelMode, FALSE, &slice,
                                 blocks);
        for (size_t i = 1; i < objects.size(); i++) ObfDereferenceObject(objects[i]);
    }
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
void GrowArena(Connection* c, uint32_t wanted, Writer& w, int* passFd);

// Runs one request; false when the body is malformed (the connection then ends).
bool Execute(Connection* c, uint16_t call, Reader& r, Writer& w, int* passFd)
{
    auto reply = [&](NTSTATUS s) -> Writer& { return w.U32(ULONG(s)); };
    switch (call) {
    case hostproto::kClose: {
        HANDLE h = ReadHandle(r);
        if (!r.Finished()) return false;
        reply(::NtClose(h));
        return true;
    }
    case hostproto::kCreateEvent:
    case hostproto::kCreateSemaphore:
    case hostproto::kCreateMutant: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        ULONG p1 = r.U32(), p2 = r.U32();
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        NTSTATUS s = call == hostproto::kCreateEvent ? ::NtCreateEvent(Mine(&h), access, a.Get(), EVENT_TYPE(p1 ? 1 : 0), BOOLEAN(p2 != 0))
                     : call == hostproto::kCreateSemaphore ? ::NtCreateSemaphore(Mine(&h), access, a.Get(), LONG(p1), LONG(p2))
                                                           : ::NtCreateMutant(Mine(&h), access, a.Get(), BOOLEAN(p1 != 0));
        reply(s).U32(HandleValue(h));
        return true;
    }
    case hostproto::kOpenEvent:
    case hostproto::kOpenSemaphore:
    case hostproto::kOpenMutant: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        NTSTATUS s = call == hostproto::kOpenEvent       ? ::NtOpenEvent(Mine(&h), access, a.Get())
                     : call == hostproto::kOpenSemaphore ? ::NtOpenSemaphore(Mine(&h), access, a.Get())
                                                         : ::NtOpenMutant(Mine(&h), access, a.Get());
        reply(s).U32(HandleValue(h));
        return true;
    }
    case hostproto::kSetEvent:
    case hostproto::kResetEvent:
    case hostproto::kPulseEvent:
    case hostproto::kReleaseMutant: {
        HANDLE h = ReadHandle(r);
        if (!r.Finished()) return false;
        LONG previous = 0;
        NTSTATUS s = call == hostproto::kSetEvent     ? ::NtSetEvent(h, Mine(&previous))
                     : call == hostproto::kResetEvent ? ::NtResetEvent(h, Mine(&previous))
                     : call == hostproto::kPulseEvent ? ::NtPulseEvent(h, Mine(&previous))
                                                      : ::NtReleaseMutant(h, Mine(&previous));
        reply(s).U32(ULONG(previous));
        return true;
    }
    case hostproto::kReleaseSemaphore: {
        HANDLE h = ReadHandle(r);
        LONG count = LONG(r.U32());
        if (!r.Finished()) return false;
        LONG previous = 0;
        reply(::NtReleaseSemaphore(h, count, Mine(&previous))).U32(ULONG(previous));
        return true;
    }
    case hostproto::kWait: {
        ULONG count = r.U32();
        if (count > MAXIMUM_WAIT_OBJECTS) return false;
        std::vector<HANDLE> handles(count);
        Own(handles);
        for (auto& h : handles) h = ReadHandle(r);
        ULONG waitAll = r.U32(), alertable = r.U32(), hasTimeout = r.U32();
        LONGLONG timeout = r.I64();
        if (!r.Finished()) return false;
        // One wait holds its objects to its end, so a handle closed meanwhile
        // ends nothing: after the first slice (which checks the handles as
        // given) the slices wait on handles of the wait's own.
        std::vector<HANDLE> held;
        NTSTATUS s = SlicedWait(c, hasTimeout, timeout, [&](PLARGE_INTEGER t) {
            NTSTATUS w = ::NtWaitForMultipleObjects(count, held.empty() ? handles.data() : held.data(),
                                                    waitAll ? WaitAll : WaitAny, BOOLEAN(alertable != 0), t);
            if (w == STATUS_TIMEOUT && held.empty()) HoldObjects(handles, &held);
            return w;
        });
        for (HANDLE h : held) ::NtClose(h);
        WriteDeliveredApcs(reply(s));
        return true;
    }
    case hostproto::kDelay: {
        ULONG alertable = r.U32();
        LONGLONG interval = r.I64();
        if (!r.Finished()) return false;
        NTSTATUS s = SlicedWait(c, true, interval, [&](PLARGE_INTEGER t) {
            NTSTATUS d = ::NtDelayExecution(BOOLEAN(alertable != 0), t);
            return d == STATUS_SUCCESS ? STATUS_TIMEOUT : d;
        });
        WriteDeliveredApcs(reply(s == STATUS_TIMEOUT ? STATUS_SUCCESS : s));
        return true;
    }
    case hostproto::kTestAlert:
        if (!r.Finished()) return false;
        WriteDeliveredApcs(reply(::NtTestAlert()));
        return true;
    case hostproto::kSystemTime: {
        if (!r.Finished()) return false;
        LARGE_INTEGER t{};
        reply(::NtQuerySystemTime(Mine(&t))).I64(t.QuadPart);
        return true;
    }
    case hostproto::kTickCount:
        if (!r.Finished()) return false;
        reply(STATUS_SUCCESS).U32(::NtGetTickCount());
        return true;
    case hostproto::kPerformanceCounter: {
        if (!r.Finished()) return false;
        LARGE_INTEGER counter{}, frequency{};
        reply(::NtQueryPerformanceCounter(Mine(&counter), Mine(&frequency))).I64(counter.QuadPart).I64(frequency.QuadPart);
        return true;
    }
    case hostproto::kQuerySystemInformation: {
        ULONG infoClass = r.U32(), length = r.U32();
        if (!r.Finished() || length > hostproto::kMaxBody) return false;
        std::vector<uint8_t> out(length);
        Own(out);
        ULONG needed = 0;
        NTSTATUS s = ::NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(infoClass), out.data(), length, Mine(&needed));
        reply(s).U32(needed);
        w.Bytes(out.data(), NT_ERROR(s) ? 0 : std::min<size_t>(needed, length));
        return true;
    }
    case hostproto::kCreateFile: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        ULONG hasAllocation = r.U32();
        LARGE_INTEGER allocation;
        allocation.QuadPart = r.I64();
        ULONG fileAttributes = r.U32(), share = r.U32(), disposition = r.U32(), options = r.U32();
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        IO_STATUS_BLOCK iosb{};
        iosb.Status = kUnwritten;
        NTSTATUS s = ::NtCreateFile(Mine(&h), access, a.Get(), Mine(&iosb), hasAllocation ? Mine(&allocation) : nullptr, fileAttributes,
                                    share, disposition, options, nullptr, 0);
        reply(s).U32(HandleValue(h));
        WriteIosb(w, iosb);
        return true;
    }
    case hostproto::kDeviceIoControl:
    case hostproto::kFsControlFile: {
        HANDLE file = ReadHandle(r);
        ULONG code = r.U32();
        ULONG hasIn = r.U32();
        uint32_t inLength;
        const uint8_t* in = r.Bytes(&inLength);
        uint32_t inShared = r.U32(), inSharedLength = r.U32();
        ULONG hasOut = r.U32();
        uint32_t outLength = r.U32();
        uint32_t outGiven;
        const uint8_t* outContent = r.Bytes(&outGiven);
        uint32_t outShared = r.U32();
        ULONG async = r.U32();
        if (!r.Finished() || (!outShared && outLength > hostproto::kMaxBody) || (outGiven && outGiven != outLength) ||
            (inShared && inLength) || (outShared && outGiven))
            return false;
        // A buffer in the client's arena is the client's own memory; any
        // other address the client names is refused.
        if ((inShared && !c->owner->InArena(inShared, inSharedLength)) ||
            (outShared && !c->owner->InArena(outShared, outLength))) {
            RefuseRequest(w);
            return true;
        }
        NTSTATUS refused;
        auto h = NewRequest(c, size_t(inLength) + (outShared ? 0 : outLength), async != 0, &refused);
        if (!h) {
            RefuseRequest(w, refused);
            return true;
        }
        h->file = file;
        h->code = code;
        h->outLength = outLength;
        h->outShared = outShared != 0;
        h->hasOut = hasOut != 0;
        h->back = ControlBack;
        h->input.assign(in, in + inLength);
        h->output.resize(outShared ? 0 : outLength);
        Own(h->input);
        Own(h->output);
        if (outGiven) std::memcpy(h->output.data(), outContent, outGiven);
        PVOID inBuffer = inShared ? reinterpret_cast<PVOID>(uintptr_t(inShared)) : hasIn ? h->input.data() : nullptr;
        if (inShared) inLength = inSharedLength;
        PVOID outBuffer =
            outShared ? reinterpret_cast<PVOID>(uintptr_t(outShared)) : hasOut ? h->output.data() : nullptr;
        h->iosb.Status = kUnwritten;
        auto control = call == hostproto::kDeviceIoControl ? ::NtDeviceIoControlFile : ::NtFsControlFile;
        HANDLE endedEvent = AttachEndedEvent(*h, async);
        NTSTATUS s = control(file, endedEvent, nullptr, nullptr, &h->iosb, code, inBuffer, inLength, outBuffer, outLength);
        Issued(endedEvent);
        RunRequest(c, w, std::move(h), async != 0, s);
        return true;
    }
    case hostproto::kReadFile:
    case hostproto::kWriteFile: {
        bool read = call == hostproto::kReadFile;
        HANDLE file = ReadHandle(r);
        uint32_t length = r.U32();
        uint32_t given;
        const uint8_t* data = r.Bytes(&given);
        ULONG hasOffset = r.U32();
        LARGE_INTEGER offset;
        offset.QuadPart = r.I64();
        ULONG hasKey = r.U32();
        ULONG key = r.U32();
        uint32_t shared = r.U32();
        ULONG async = r.U32();
        if (!r.Finished() || (!shared && length > hostproto::kMaxBody) || (!read && !shared && given != length) ||
            ((read || shared) && given))
            return false;
        if (shared && !c->owner->InArena(shared, length)) {
            RefuseRequest(w);
            return true;
        }
        NTSTATUS refused;
        auto h = NewRequest(c, shared ? 0 : length, async != 0, &refused);
        if (!h) {
            RefuseRequest(w, refused);
            return true;
        }
        h->file = file;
        h->read = read;
        h->outShared = shared != 0;
        h->back = TransferBack;
        h->output.resize(shared ? 0 : length);
        Own(h->output);
        if (!read && !shared && length) std::memcpy(h->output.data(), data, length);
        PVOID buffer = shared ? reinterpret_cast<PVOID>(uintptr_t(shared)) : h->output.data();
        h->iosb.Status = kUnwritten;
        HANDLE endedEvent = AttachEndedEvent(*h, async);
        NTSTATUS s = read ? ::NtReadFile(file, endedEvent, nullptr, nullptr, &h->iosb, buffer, length,
                                         hasOffset ? &offset : nullptr, hasKey ? &key : nullptr)
                          : ::NtWriteFile(file, endedEvent, nullptr, nullptr, &h->iosb, buffer, length,
                                          hasOffset ? &offset : nullptr, hasKey ? &key : nullptr);
        Issued(endedEvent);
        RunRequest(c, w, std::move(h), async != 0, s);
        return true;
    }
    case hostproto::kAwaitRequest: {
        uint32_t token = r.U32();
        if (!r.Finished()) return false;
        std::unique_ptr<HeldRequest> h;
        {
            std::lock_guard<std::mutex> g(lock);
            auto it = c->owner->held.find(token);
            if (it != c->owner->held.end()) {
                h = std::move(it->second);
                c->owner->held.erase(it);
            }
        }
        if (!h) {
            RefuseRequest(w, STATUS_INVALID_PARAMETER);
            return true;
        }
        size_t bytes = h->Bytes();
        NTSTATUS s = AwaitRequest(c, h);
        if (h) {
            FinishRequest(w, s, *h);
        } else {
            RefuseRequest(w, s);
        }
        std::lock_guard<std::mutex> g(lock);
        c->owner->pending--;
        c->owner->pendingBytes -= bytes;
        allPendingBytes -= bytes;
        return true;
    }
    case hostproto::kCreateSection: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        ULONG hasSize = r.U32();
        LARGE_INTEGER size;
        size.QuadPart = r.I64();
        ULONG protect = r.U32(), allocation = r.U32();
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        reply(::NtCreateSection(Mine(&h), access, a.Get(), hasSize ? Mine(&size) : nullptr, protect, allocation, nullptr))
            .U32(HandleValue(h));
        return true;
    }
    case hostproto::kOpenSection: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        reply(::NtOpenSection(Mine(&h), access, a.Get())).U32(HandleValue(h));
        return true;
    }
    case hostproto::kMapSection: {
        // The client maps the section's memory file itself: its view and
        // the drivers' and every other process's are the same pages.
        HANDLE section = ReadHandle(r);
        ULONG protect = r.U32();
        LONGLONG offset = r.I64();
        SIZE_T size = r.U32();
        if (!r.Finished()) return false;
        NTSTATUS s = MmSectionFileForView(section, protect, offset, &size, passFd);
        reply(s).U32(ULONG(NT_SUCCESS(s) ? size : 0));
        return true;
    }
    case hostproto::kDuplicateObject: {
        HANDLE sourceProcess = ReadHandle(r), source = ReadHandle(r), targetProcess = ReadHandle(r);
        ULONG wantTarget = r.U32();
        ACCESS_MASK access = r.U32();
        ULONG attributes = r.U32(), options = r.U32();
        if (!r.Finished()) return false;
        HANDLE target = nullptr;
        reply(::NtDuplicateObject(sourceProcess, source, targetProcess, wantTarget ? Mine(&target) : nullptr, access,
                                  attributes, options))
            .U32(HandleValue(target));
        return true;
    }
    case hostproto::kCreateKey: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        ULONG titleIndex = r.U32();
        ULONG hasClass = r.U32();
        std::u16string className = r.Text();
        Own(className);
        ULONG options = r.U32();
        if (!r.Finished() || className.size() > 0x7FFF) return false;
        UNICODE_STRING us{USHORT(className.size() * 2), USHORT(className.size() * 2), className.data()};
        HANDLE h = nullptr;
        ULONG disposition = 0;
        reply(::NtCreateKey(Mine(&h), access, a.Get(), titleIndex, hasClass ? Mine(&us) : nullptr, options, Mine(&disposition)))
            .U32(HandleValue(h))
            .U32(disposition);
        return true;
    }
    case hostproto::kOpenKey: {
        ACCESS_MASK access = r.U32();
        Attributes a;
        ReadAttributes(r, &a);
        if (!r.Finished()) return false;
        HANDLE h = nullptr;
        reply(::NtOpenKey(Mine(&h), access, a.Get())).U32(HandleValue(h));
        return true;
    }
    case hostproto::kDeleteKey:
    case hostproto::kFlushKey: {
        HANDLE h = ReadHandle(r);
        if (!r.Finished()) return false;
        reply(call == hostproto::kDeleteKey ? ::NtDeleteKey(h) : ::NtFlushKey(h));
        return true;
    }
    case hostproto::kQueryValueKey:
    case hostproto::kEnumerateKey:
    case hostproto::kEnumerateValueKey:
    case hostproto::kQueryKey: {
        // A query into the caller's buffer: what the kernel wrote goes back
        // with the length it asked for.
        HANDLE h = ReadHandle(r);
        std::u16string valueName = r.Text();
        Own(valueName);
        ULONG index = r.U32(), infoClass = r.U32(), length = r.U32();
        if (!r.Finished() || valueName.size() > 0x7FFF || length > hostproto::kMaxBody) return false;
        UNICODE_STRING us{USHORT(valueName.size() * 2), USHORT(valueName.size() * 2), valueName.data()};
        std::vector<uint8_t> out(length);
        Own(out);
        ULONG needed = 0;
        NTSTATUS s = call == hostproto::kQueryValueKey
                         ? ::NtQueryValueKey(h, Mine(&us), KEY_VALUE_INFORMATION_CLASS(infoClass), out.data(), length, Mine(&needed))
                     : call == hostproto::kEnumerateKey
                         ? ::NtEnumerateKey(h, index, KEY_INFORMATION_CLASS(infoClass), out.data(), length, Mine(&needed))
                     : call == hostproto::kEnumerateValueKey
                         ? ::NtEnumerateValueKey(h, index, KEY_VALUE_INFORMATION_CLASS(infoClass), out.data(), length,
                                                 Mine(&needed))
                         : ::NtQueryKey(h, KEY_INFORMATION_CLASS(infoClass), out.data(), length, Mine(&needed));
        reply(s).U32(needed);
        w.Bytes(out.data(), NT_ERROR(s) ? 0 : std::min<size_t>(needed, length));
        return true;
    }
    case hostproto::kSetValueKey:
    case hostproto::kDeleteValueKey: {
        HANDLE h = ReadHandle(r);
        std::u16string valueName = r.Text();
        Own(valueName);
        ULONG titleIndex = r.U32(), type = r.U32();
        uint32_t n;
        const uint8_t* data = r.Bytes(&n);
        if (!r.Finished() || valueName.size() > 0x7FFF) return false;
        UNICODE_STRING us{USHORT(valueName.size() * 2), USHORT(valueName.size() * 2), valueName.data()};
        std::vector<uint8_t> copy(data, data + n);
        Own(copy);
        reply(call == hostproto::kSetValueKey ? ::NtSetValueKey(h, Mine(&us), titleIndex, type, copy.data(), n)
                                              : ::NtDeleteValueKey(h, Mine(&us)));
        return true;
    }
    case hostproto::kQueryInformationFile:
    case hostproto::kQueryVolumeInformationFile:
    case hostproto::kSetInformationFile: {
        HANDLE file = ReadHandle(r);
        ULONG infoClass = r.U32(), length = r.U32();
        uint32_t n;
        const uint8_t* given = r.Bytes(&n);
        bool set = call == hostproto::kSetInformationFile;
        if (!r.Finished() || length > hostproto::kMaxBody || (set ? n != length : n != 0)) return false;
        std::vector<uint8_t> info(length);
        Own(info);
        if (set && n) std::memcpy(info.data(), given, n);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = kUnwritten;
        NTSTATUS s = set ? ::NtSetInformationFile(file, Mine(&iosb), info.data(), length, FILE_INFORMATION_CLASS(infoClass))
                     : call == hostproto::kQueryInformationFile
                         ? ::NtQueryInformationFile(file, Mine(&iosb), info.data(), length, FILE_INFORMATION_CLASS(infoClass))
                         : ::NtQueryVolumeInformationFile(file, Mine(&iosb), info.data(), length,
                                                          FS_INFORMATION_CLASS(infoClass));
        reply(s);
        WriteIosb(w, iosb);
        w.Bytes(info.data(), set || NT_ERROR(s) ? 0 : std::min<size_t>(iosb.Information, length));
        return true;
    }
    case hostproto::kFlushBuffersFile:
    case hostproto::kCancelIoFile: {
        HANDLE file = ReadHandle(r);
        if (!r.Finished()) return false;
        IO_STATUS_BLOCK iosb{};
        iosb.Status = kUnwritten;
        reply(call == hostproto::kFlushBuffersFile ? ::NtFlushBuffersFile(file, Mine(&iosb)) : ::NtCancelIoFile(file, Mine(&iosb)));
        WriteIosb(w, iosb);
        return true;
    }
    case hostproto::kDeleteFile: {
        Attributes a;
        ReadAttributes(r, &a);
        if (!r.Finished()) return false;
        reply(::NtDeleteFile(a.Get()));
        return true;
    }
    case hostproto::kQueryDirectoryFile: {
        HANDLE file = ReadHandle(r);
        ULONG length = r.U32(), infoClass = r.U32(), single = r.U32(), hasPattern = r.U32();
        std::u16string pattern = r.Text();
        Own(pattern);
        ULONG restart = r.U32();
        uint32_t shared = r.U32();
        ULONG async = r.U32();
        if (!r.Finished() || (!shared && length > hostproto::kMaxBody) || pattern.size() > 0x7FFF) return false;
        if (shared && !c->owner->InArena(shared, length)) {
            RefuseRequest(w);
            return true;
        }
        // The kernel keeps its own copy of the pattern for as long as the request lives.
        UNICODE_STRING us{USHORT(pattern.size() * 2), USHORT(pattern.size() * 2), pattern.data()};
        NTSTATUS refused;
        auto h = DirectoryRequest(c, file, shared, length, async != 0, &refused);
        if (!h) {
            RefuseRequest(w, refused);
            return true;
        }
        h->iosb.Status = kUnwritten;
        HANDLE endedEvent = AttachEndedEvent(*h, async);
        NTSTATUS s = ::NtQueryDirectoryFile(file, endedEvent, nullptr, nullptr, &h->iosb, DirectoryBuffer(*h, shared),
                                            length, FILE_INFORMATION_CLASS(infoClass), BOOLEAN(single != 0),
                                            hasPattern ? Mine(&us) : nullptr, BOOLEAN(restart != 0));
        Issued(endedEvent);
        RunRequest(c, w, std::move(h), async != 0, s);
        return true;
    }
    case hostproto::kNotifyChangeDirectory: {
        // Left pending until a change below the directory, a cancel or the
        // handle's cleanup: held under a token like any other request.
        HANDLE file = ReadHandle(r);
        ULONG length = r.U32(), filter = r.U32(), watchTree = r.U32();
        uint32_t shared = r.U32();
        ULONG async = r.U32();
        if (!r.Finished() || (!shared && length > hostproto::kMaxBody)) return false;
        if (shared && !c->owner->InArena(shared, length)) {
            RefuseRequest(w);
            return true;
        }
        NTSTATUS refused;
        auto h = DirectoryRequest(c, file, shared, length, async != 0, &refused);
        if (!h) {
            RefuseRequest(w, refused);
            return true;
        }
        h->iosb.Status = kUnwritten;
        HANDLE endedEvent = AttachEndedEvent(*h, async);
        NTSTATUS s = ::NtNotifyChangeDirectoryFile(file, endedEvent, nullptr, nullptr, &h->iosb,
                                                   DirectoryBuffer(*h, shared), length, filter, BOOLEAN(watchTree != 0));
        Issued(endedEvent);
        RunRequest(c, w, std::move(h), async != 0, s);
        return true;
    }
    case hostproto::kReportEvent: {
        std::u16string source = r.Text();
        ULONG type = r.U32(), category = r.U32(), eventId = r.U32(), count = r.U32();
        if (count > 256) return false;
        std::vector<std::u16string> strings;
        for (ULONG i = 0; i < count && r.Ok(); i++) strings.push_back(r.Text());
        for (const auto& text : strings) Own(text);
        uint32_t n;
        const uint8_t* data = r.Bytes(&n);
        if (!r.Finished()) return false;
        reply(::NtReportEvent(source, USHORT(type), USHORT(category), eventId, strings, data, n));
        return true;
    }
    case hostproto::kCreateThread: {
        ULONG suspended = r.U32();
        if (!r.Finished()) return false;
        auto start = std::make_shared<ThreadStart>();
        start->owner = c->owner;
        {
            std::lock_guard<std::mutex> g(lock);
            int all = 0;
            for (const auto& [token, p] : processes) all += p->threads;
            if (c->owner->threads >= kMaxThreadsPerProcess || all >= kMaxThreads) {
                reply(kTooManyThreads).U32(0).U32(0).U32(0);
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
        NTSTATUS s = PsCreateUserThread(PsGetCurrentProcess(), RunClientThread, context, Mine(&h), Mine(&cid), BOOLEAN(suspended != 0));
        if (!NT_SUCCESS(s)) {
            delete context;
            std::lock_guard<std::mutex> g(lock);
            threadStarts.erase(start->token);
            c->owner->threads--;
        }
        reply(s).U32(HandleValue(h)).U32(HandleValue(cid.UniqueThread)).U32(NT_SUCCESS(s) ? start->token : 0);
        return true;
    }
    case hostproto::kResumeThread:
    case hostproto::kGetExitCodeThread: {
        HANDLE h = ReadHandle(r);
        if (!r.Finished()) return false;
        ULONG value = 0;
        reply(call == hostproto::kResumeThread ? ::NtResumeThread(h, Mine(&value)) : ::NtGetExitCodeThread(h, Mine(&value))).U32(value);
        return true;
    }
    case hostproto::kSetThreadPriority: {
        HANDLE h = ReadHandle(r);
        LONG priority = LONG(r.U32());
        if (!r.Finished()) return false;
        reply(::NtSetThreadPriority(h, priority));
        return true;
    }
    case hostproto::kQueueApc: {
        HANDLE h = ReadHandle(r);
        auto* apc = new ClientApc{r.U32(), r.U32(), r.U32(), r.U32()};
        if (!r.Finished()) {
            delete apc;
            return false;
        }
        NTSTATUS s = ::NtQueueApcThread(h, DeliverApc, apc, nullptr, nullptr);
        if (!NT_SUCCESS(s)) delete apc;
        reply(s);
        return true;
    }
    case hostproto::kAwaitAny:
        if (!r.Finished()) return false;
        AwaitAny(c, w);
        return true;
    case hostproto::kGrowArena: {
        uint32_t wanted = r.U32();
        if (!r.Finished()) return false;
        GrowArena(c, wanted, w, passFd);
        return true;
    }
    default:
        reply(STATUS_INVALID_SYSTEM_SERVICE);
        return true;
    }
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
    w.U32(ULONG(STATUS_SUCCESS)).U32(owner.token).U32(::NtGetCurrentProcessId()).U32(::NtGetCurrentThreadId());
    std::shared_ptr<ArenaPiece> piece;
    if (first) {
        std::lock_guard<std::mutex> g(owner.arenaLock);
        if (!owner.arena.empty()) piece = owner.arena.front();
    }
    w.U32(piece ? ULONG(reinterpret_cast<uintptr_t>(piece->base)) : 0).U32(piece ? ULONG(piece->size) : 0);
    if (piece) *passFd = ::fcntl(piece->fd, F_DUPFD_CLOEXEC, 0);
}

// A hello the host answers with a refusal: the client learns why.
void RefuseHello(int fd, NTSTATUS status)
{
    Writer w;
    w.U32(ULONG(status)).U32(0).U32(0).U32(0).U32(0).U32(0);
    hostproto::Send(fd, hostproto::kHello, w.Body());
}

// One more piece of a client's arena, when VirtualAlloc finds no room in
// what it has: at least 'wanted' bytes, within the client's and the host's
// budgets. The reply carries the piece's memory file.
void GrowArena(Connection* c, uint32_t wanted, Writer& w, int* passFd)
{
    ClientProcess& owner = *c->owner;
    size_t size = std::max<size_t>(kArenaGrowth, (size_t(wanted) + kArenaGranule - 1) / kArenaGranule * kArenaGranule);
    std::shared_ptr<ArenaPiece> piece;
    {
        std::lock_guard<std::mutex> g(owner.arenaLock);
        size_t have = 0;
        for (const auto& p : owner.arena) have += p->size;
        if (wanted && owner.arena.size() < size_t(kArenaPieces) && size <= kArenaPerProcess - std::min(have, kArenaPerProcess))
            piece = MakeArenaPiece(size);
        if (piece) owner.arena.push_back(piece);
    }
    if (!piece) {
        w.U32(ULONG(STATUS_NO_MEMORY)).U32(0).U32(0);
        return;
    }
    w.U32(ULONG(STATUS_SUCCESS)).U32(ULONG(reinterpret_cast<uintptr_t>(piece->base))).U32(ULONG(piece->size));
    *passFd = ::fcntl(piece->fd, F_DUPFD_CLOEXEC, 0);
}

// The first message of a connection: which process it belongs to, and for
// a thread the client made with CreateThread, which thread (*threadToken).
// False when the hello is broken or names no process; *refusal is then set
// when a limit refused it and the client is to be told.
bool Attach(Connection* c, const std::vector<uint8_t>& body, uint32_t* threadToken, bool* first, NTSTATUS* refusal)
{
    *refusal = STATUS_SUCCESS;
    Reader r(body.data(), body.size());
    uint32_t version = r.U32();
    uint32_t pid = r.U32();
    uint32_t token = r.U32();
    *threadToken = r.U32();
    std::u16string image = r.Text();
    if (!r.Finished() || version != hostproto::kVersion || image.size() > 260 || (*threadToken && !token))
        return false;
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
    (void)pid;
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
            *exitCode = r.U32();
            ok = r.Finished();
            w.U32(ULONG(STATUS_SUCCESS));
        } else {
            BeginCall();
            try {
                ok = call != hostproto::kHello && Execute(c, call, r, w, &passFd);
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
    Writer w;
    int passFd = -1;
    HelloReply(*c->owner, false, w, &passFd);
    ULONG exitCode = ULONG(STATUS_THREAD_IS_TERMINATING);
    try {
        if (hostproto::Send(c->fd, hostproto::kHello, w.Body())) ServeCalls(c, &exitCode);
    } catch (const std::bad_alloc&) {
        // No room for a message: the connection ends, the host goes on.
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

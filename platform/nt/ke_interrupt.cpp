// Interrupt objects and interrupt delivery. The HAL reports line levels per
// system vector (KiSetInterruptLine); the interrupt context runs the
// vector's chain of service routines, each at its synchronize IRQL holding
// its interrupt lock. When that lock is held elsewhere (a thread inside
// KeSynchronizeExecution, perhaps stalling) the interrupt stays pending and
// is retried when a spin lock is released, so the context never waits on a
// thread that waits on the clock.
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "kd_trace.h"
#include "ke_internal.h"
#include "nt_ex.h"

using namespace ki;

namespace {

struct Line {
    std::vector<KINTERRUPT*> chain;  // in connection order
    bool asserted = false;
    bool edgePending = false;  // latched: a rising edge not yet serviced
    bool deferred = false;     // waiting for a held interrupt lock
    bool stuck = false;        // level: asserted and no routine claims it
};

// DispatcherLock.
std::unordered_map<ULONG, Line>& Lines()
{
    static auto* lines = new std::unordered_map<ULONG, Line>;
    return *lines;
}
std::condition_variable g_disconnected;

bool Deliverable(const Line& line)
{
    if (line.chain.empty() || line.deferred) return false;
    if (line.chain.front()->Mode == Latched) return line.edgePending;
    return line.asserted && !line.stuck;
}

// Releases an interrupt lock on the way out of a synchronized routine, even
// when the routine leaves by an exception.
struct SynchronizedScope {
    PKINTERRUPT interrupt;
    KIRQL old;
    ~SynchronizedScope()
    {
        ReleaseSpinRaw(interrupt->ActualLock);
        CurrentIrql = old;
    }
};

}  // namespace

bool ki::InterruptDeliverableLocked()
{
    for (auto& [vector, line] : Lines())
        if (Deliverable(line)) return true;
    return false;
}

void ki::DeliverInterruptLocked(Guard& lock)
{
    Line* line = nullptr;
    ULONG vector = 0;
    for (auto& [v, l] : Lines()) {
        if (Deliverable(l)) {
            line = &l;
            vector = v;
            break;
        }
    }
    if (!line) return;
    bool latched = line->chain.front()->Mode == Latched;
    if (latched) line->edgePending = false;
    KINTERRUPT* chain[16];
    size_t count = std::min<size_t>(line->chain.size(), 16);
    for (size_t i = 0; i < count; i++) {
        chain[i] = line->chain[i];
        chain[i]->Busy++;
    }
    lock.unlock();

    bool claimed = false;
    PKSPIN_LOCK blockedOn = nullptr;
    const RunTimeStamp started = RunTimeNow();
    RunTimeSource = static_cast<USHORT>(vector);
    for (size_t i = 0; i < count && !claimed; i++) {
        KINTERRUPT* in = chain[i];
        CurrentIrql = in->SynchronizeIrql;
        if (!TryAcquireSpinRaw(in->ActualLock)) {
            blockedOn = in->ActualLock;
            CurrentIrql = DISPATCH_LEVEL;
            break;
        }
        claimed = in->ServiceRoutine(in, in->ServiceContext) != FALSE;
        if (KdTracing(KD_TRACE_INT)) KdTraceInterrupt(vector, reinterpret_cast<PVOID>(in->ServiceRoutine), claimed);
        ReleaseSpinRaw(in->ActualLock);
        CurrentIrql = DISPATCH_LEVEL;
    }
    RunTimeSource = 0;
    // A delivery put off for a held lock ran no routine to the end.
    if (!blockedOn || claimed) AccountInterrupt(vector, started);

    lock.lock();
    for (size_t i = 0; i < count; i++) chain[i]->Busy--;
    g_disconnected.notify_all();
    line = &Lines()[vector];
    if (blockedOn) {
        if (latched) line->edgePending = true;
        line->deferred = true;
        InterruptsDeferred.fetch_add(1, std::memory_order_seq_cst);
        // The holder may have released between the failed try and the mark.
        if (__atomic_load_n(blockedOn, __ATOMIC_SEQ_CST) == 0) {
            line->deferred = false;
            InterruptsDeferred.fetch_sub(1, std::memory_order_seq_cst);
        }
        return;
    }
    if (!latched && !claimed && line->asserted && !line->stuck) {
        // A real machine would take this interrupt forever; report it once
        // and wait for the line to change.
        line->stuck = true;
        std::fprintf(stderr, "kernel: interrupt on vector 0x%lx asserted but not claimed by any routine\n",
                     static_cast<unsigned long>(vector));
    }
}

void ki::UndeferInterrupts()
{
    Guard lock(DispatcherLock);
    for (auto& [vector, line] : Lines()) {
        if (line.deferred) {
            line.deferred = false;
            InterruptsDeferred.fetch_sub(1, std::memory_order_seq_cst);
        }
    }
    KickContextLocked();
}

void KiSetInterruptLine(ULONG systemVector, bool asserted)
{
    Guard lock(DispatcherLock);
    Line& line = Lines()[systemVector];
    if (asserted && !line.asserted) line.edgePending = true;
    if (asserted != line.asserted) line.stuck = false;
    line.asserted = asserted;
    if (Deliverable(line)) KickContextLocked();
}

NTSTATUS IoConnectInterrupt(PKINTERRUPT* interruptObject, PKSERVICE_ROUTINE routine, PVOID context,
                            PKSPIN_LOCK spinLock, ULONG vector, KIRQL irql, KIRQL synchronizeIrql,
                            KINTERRUPT_MODE mode, BOOLEAN shareVector, KAFFINITY, BOOLEAN)
{
    if (!interruptObject || !routine || synchronizeIrql < irql)
        return STATUS_INVALID_PARAMETER;
    if (CurrentIrql > PASSIVE_LEVEL) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, vector, 0);
    auto in = new KINTERRUPT{};
    in->ServiceRoutine = routine;
    in->ServiceContext = context;
    in->SpinLock = 0;
    in->ActualLock = spinLock ? spinLock : &in->SpinLock;
    in->Vector = vector;
    in->Irql = irql;
    in->SynchronizeIrql = synchronizeIrql;
    in->Mode = mode;
    in->ShareVector = shareVector;
    Guard lock(DispatcherLock);
    Line& line = Lines()[vector];
    if (!line.chain.empty()) {
        KINTERRUPT* first = line.chain.front();
        if (!shareVector || !first->ShareVector || first->Mode != mode) {
            lock.unlock();
            delete in;
            return STATUS_INVALID_PARAMETER;
        }
    }
    line.chain.push_back(in);
    line.stuck = false;
    if (Deliverable(line)) KickContextLocked();
    *interruptObject = in;
    return STATUS_SUCCESS;
}

void IoDisconnectInterrupt(PKINTERRUPT interrupt)
{
    if (OnInterruptContext || CurrentIrql > PASSIVE_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, CurrentIrql, 0, reinterpret_cast<ULONG_PTR>(interrupt), 0);
    {
        Guard lock(DispatcherLock);
        auto it = Lines().find(interrupt->Vector);
        if (it != Lines().end()) {
            auto& chain = it->second.chain;
            std::erase(chain, interrupt);
            if (chain.empty()) {
                it->second.edgePending = false;
                if (it->second.deferred) InterruptsDeferred.fetch_sub(1);
                it->second.deferred = false;
            }
        }
        // A delivery that took the object before it left the chain ends
        // before the object goes.
        g_disconnected.wait(lock, [&] { return interrupt->Busy == 0; });
    }
    delete interrupt;
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context)
{
    KIRQL old;
    KeRaiseIrql(interrupt->SynchronizeIrql, &old);
    AcquireSpinRaw(interrupt->ActualLock);
    SynchronizedScope scope{interrupt, old};
    return routine(context);
}

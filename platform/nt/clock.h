// The machine clock and the machine's processor contexts.
//
// One clock drives everything time-related: kernel waits and timers,
// KeStallExecutionProcessor, the Win32 layer's Sleep and GetTickCount, and
// every timed event of the simulated hardware (field interrupts, bus busy
// times, drive latencies).
//
// Virtual mode (tests): time moves only when every machine thread is blocked
// (in a kernel wait, a stall, a delay or RunFor, or spinning on a spin lock
// its holder keeps through a stall) and nothing is left to run in
// the interrupt/DPC context; the clock then jumps to the earliest deadline
// (an event, a wait time-out, a stall's end) and runs what is due there. So
// a 3 s time-out costs no real time, and the same test always sees the same
// order of fields and time-outs.
//
// Real mode (the command-line front): time is the host's monotonic clock
// since boot; events run when their time comes.
//
// Hardware events and interrupt service routines run on one machine context
// thread ("the interrupt context"), which also drains the DPC queue at
// DISPATCH_LEVEL after the interrupts.
#pragma once

#include <cstdint>
#include <functional>

namespace nt {

enum class ClockMode { Virtual, Real };

using ClockEventId = uint64_t;

// Nanoseconds since the machine booted.
uint64_t ClockNow();
ClockMode ClockGetMode();

// Starts the clock and the interrupt context (done by the machine at boot).
// The calling thread becomes the first machine thread, so virtual time does
// not run ahead while it sets the machine up. Stopping joins the context
// thread; events still scheduled and queued DPCs are dropped, and threads
// sleeping until a time wake as timed out.
void ClockStart(ClockMode mode);
void ClockStop();
bool ClockRunning();

// Runs 'fn' on the interrupt context at machine time 'when' (ns), at
// DISPATCH_LEVEL. Events with equal times run in the order they were
// scheduled; a time already past runs at once (time never goes back).
// Everything due at a time (events, the interrupts and DPCs they cause)
// runs before threads whose wait ends at that time resume. Safe from any
// thread and from inside an event. Returns an id for ClockCancel.
ClockEventId ClockSchedule(uint64_t when, std::function<void()> fn);
// The same for a simulated device's own event: it touches only the device
// (its state, its interrupt line, DMA to memory), never a driver's lock or
// wait, so a thread stalling in KeStallExecutionProcessor while nothing
// else can run may run it itself instead of handing over to the context.
ClockEventId ClockScheduleHardware(uint64_t when, std::function<void()> fn);
// Cancels a scheduled event; false when it already ran or was cancelled.
bool ClockCancel(ClockEventId id);

// Blocks the calling thread (counted as waiting) for 'ns' of machine time.
// In virtual mode the clock advances through everything due meanwhile.
void ClockRunFor(uint64_t ns);
// Virtual mode: blocks until no other machine thread can run and the
// interrupt context is idle, without moving time at all. Returns at once in
// real mode.
void ClockRunUntilIdle();

// Registers the calling host thread as a machine thread (counted as running
// until it waits). Kernel calls register threads lazily; a thread that ends
// unregisters itself. A host thread that blocks on something other than the
// kernel (join, a pipe) must first call ClockLeave so virtual time can move.
void ClockEnter();
void ClockLeave();

// Wakes the interrupt context because a device changed an interrupt line or
// a DPC was queued; the context then counts as running until idle again.
void ClockKickInterruptContext();

// True on the interrupt/DPC context thread.
bool ClockOnInterruptContext();

}  // namespace nt

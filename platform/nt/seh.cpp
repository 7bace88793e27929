// Structured exception handling for driver code: a per-thread chain of
// sigsetjmp frames. A SIGSEGV/SIGBUS on a thread with a frame, and
// ExRaiseStatus, jump to that thread's innermost frame; a fault on a thread
// without one goes on to whatever handled the signal before us (the
// sanitizer's report, or the default core dump), so real crashes still
// crash. The handler is installed on first use, which is after a
// sanitizer's own installation at start-up, and chains to it.
#include <csetjmp>
#include <csignal>
#include <mutex>

#include "mm_private.h"

namespace {

struct SehFrame {
    sigjmp_buf jump;
    SehFrame* previous;
    volatile NTSTATUS status;
};

// Trivially initialised, so reading it in the signal handler needs no
// thread-local constructor.
thread_local SehFrame* innermostFrame = nullptr;

struct sigaction previousSegv;
struct sigaction previousBus;
std::once_flag installed;

[[noreturn]] void UnwindTo(SehFrame* frame, NTSTATUS status)
{
    innermostFrame = frame->previous;
    frame->status = status;
    siglongjmp(frame->jump, 1);
}

void OnFault(int signal, siginfo_t* info, void* context)
{
    if (SehFrame* frame = innermostFrame) UnwindTo(frame, STATUS_ACCESS_VIOLATION);
    const struct sigaction& previous = signal == SIGBUS ? previousBus : previousSegv;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // Returning re-runs the faulting access, which now ends the process the
    // ordinary way.
    std::signal(signal, SIG_DFL);
}

void InstallFaultHandler()
{
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        sigemptyset(&action.sa_mask);
        // NODEFER: a jump out of the handler leaves the signal unblocked
        // without saving and restoring the mask on every frame.
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigaction(SIGSEGV, &action, &previousSegv);
        sigaction(SIGBUS, &action, &previousBus);
    });
}

// The accesses themselves must reach the hardware: a sanitizer's check in
// front of them would report instead of letting the page fault happen.
__attribute__((no_sanitize("address", "undefined"))) void TouchPages(const volatile void* address,
                                                                     SIZE_T length, bool write)
{
    auto p = reinterpret_cast<ULONG_PTR>(address);
    ULONG_PTR last = p + length - 1;
    for (;;) {
        auto byte = reinterpret_cast<volatile UCHAR*>(p);
        if (write)
            __atomic_fetch_or(const_cast<UCHAR*>(byte), 0, __ATOMIC_RELAXED);
        else
            (void)*byte;
        ULONG_PTR next = (p & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1)) + PAGE_SIZE;
        if (next == 0 || next > last) break;
        p = next;
    }
}

}  // namespace

NTSTATUS SehTry(const std::function<void()>& body)
{
    InstallFaultHandler();
    SehFrame frame;
    frame.previous = innermostFrame;
    frame.status = STATUS_SUCCESS;
    if (sigsetjmp(frame.jump, 0) != 0) return frame.status;
    innermostFrame = &frame;
    try {
        body();
    } catch (...) {
        innermostFrame = frame.previous;
        throw;
    }
    innermostFrame = frame.previous;
    return STATUS_SUCCESS;
}

void ExRaiseStatus(NTSTATUS status)
{
    SehFrame* frame = innermostFrame;
    if (!frame) KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(status), 0, 0, 0);
    UnwindTo(frame, status);
}

bool MiTouchRange(const volatile void* address, SIZE_T length, bool write)
{
    if (length == 0) return true;
    InstallFaultHandler();
    SehFrame frame;
    frame.previous = innermostFrame;
    if (sigsetjmp(frame.jump, 0) != 0) return false;
    innermostFrame = &frame;
    TouchPages(address, length, write);
    innermostFrame = frame.previous;
    return true;
}

// Bug checks: where a real kernel would stop the machine, this one prints
// the stop code with a backtrace and aborts, unless a handler (a test's)
// turns the stop into an exception first.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <execinfo.h>
#include <unistd.h>

#include "nt_ex.h"

namespace {

std::atomic<KeBugCheckHandler> g_handler{nullptr};

const char* StopName(ULONG code)
{
    switch (code) {
    case APC_INDEX_MISMATCH: return "APC_INDEX_MISMATCH";
    case INVALID_DATA_ACCESS_TRAP: return "INVALID_DATA_ACCESS_TRAP";
    case INVALID_PROCESS_ATTACH_ATTEMPT: return "INVALID_PROCESS_ATTACH_ATTEMPT";
    case INVALID_SOFTWARE_INTERRUPT: return "INVALID_SOFTWARE_INTERRUPT";
    case IRQL_NOT_GREATER_OR_EQUAL: return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case MAXIMUM_WAIT_OBJECTS_EXCEEDED: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED: return "SPIN_LOCK_NOT_OWNED";
    case THREAD_NOT_MUTEX_OWNER: return "THREAD_NOT_MUTEX_OWNER";
    case KMODE_EXCEPTION_NOT_HANDLED: return "KMODE_EXCEPTION_NOT_HANDLED";
    case NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case MULTIPLE_IRP_COMPLETE_REQUESTS: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case ATTEMPTED_SWITCH_FROM_DPC: return "ATTEMPTED_SWITCH_FROM_DPC";
    case DRIVER_IRQL_NOT_LESS_OR_EQUAL: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
        return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    default: return "";
    }
}

}  // namespace

KeBugCheckHandler KeSetBugCheckHandler(KeBugCheckHandler handler) { return g_handler.exchange(handler); }

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    if (KeBugCheckHandler handler = g_handler.load()) handler(KeBugCheckError{code, p1, p2, p3, p4});
    std::fprintf(stderr, "\n*** STOP: 0x%08X (0x%08lX,0x%08lX,0x%08lX,0x%08lX) %s\n", static_cast<unsigned>(code),
                 static_cast<unsigned long>(p1), static_cast<unsigned long>(p2), static_cast<unsigned long>(p3),
                 static_cast<unsigned long>(p4), StopName(code));
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    std::fflush(stderr);
    std::abort();
}

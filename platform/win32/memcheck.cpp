// IsBadReadPtr, IsBadWritePtr, IsBadCodePtr, IsBadStringPtrA. They never
// fault: the host kernel tests each page for us and reports EFAULT instead
// of a signal.
//   read   one byte of each page through process_vm_readv on ourselves (or,
//          where that call is refused, written from the page into a pipe)
//   write  an atomic add of zero to a word of each page through
//          FUTEX_WAKE_OP: a real write access that changes nothing, so a
//          concurrent writer loses nothing (unlike a read-and-write-back)
// A zero length is never bad; a null pointer with a length, or a range that
// wraps, is. The answer holds only at the moment of the call.
#include "w32_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

constexpr ULONG_PTR kPage = 4096;  // the host's page, as the kernel's

bool PipeReadable(const void* p)
{
    static std::mutex lock;
    static int fds[2] = {-1, -1};
    std::lock_guard<std::mutex> guard(lock);
    if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    if (write(fds[1], p, 1) != 1) return false;
    char sink;
    return read(fds[0], &sink, 1) == 1;
}

// This process's id without a system call each time; a child made by
// fork asks again.
pid_t cachedPid = 0;

pid_t SelfPid()
{
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { __atomic_store_n(&cachedPid, 0, __ATOMIC_RELAXED); }); });
    pid_t pid = __atomic_load_n(&cachedPid, __ATOMIC_RELAXED);
    if (!pid) __atomic_store_n(&cachedPid, pid = getpid(), __ATOMIC_RELAXED);
    return pid;
}

// One byte at each address in 'addrs' (at most IOV_MAX of them).
bool ReadableBytes(const ULONG_PTR* addrs, size_t count)
{
    static bool useVmRead = true;
    if (useVmRead) {
        iovec remote[64];
        char sink[64];
        for (size_t done = 0; done < count;) {
            size_t n = std::min<size_t>(count - done, 64);
            for (size_t i = 0; i < n; ++i) remote[i] = {reinterpret_cast<void*>(addrs[done + i]), 1};
            iovec local{sink, n};
            ssize_t got = process_vm_readv(SelfPid(), &local, 1, remote, n, 0);
            if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
                useVmRead = false;  // sandboxed host: fall back to the pipe
                break;
            }
            if (got != static_cast<ssize_t>(n)) return false;
            done += n;
        }
        if (useVmRead) return true;
    }
    for (size_t i = 0; i < count; ++i)
        if (!PipeReadable(reinterpret_cast<const void*>(addrs[i]))) return false;
    return true;
}

bool WritableWord(ULONG_PTR address)
{
    int unused = 0;
    // *uaddr2 += 0, then wake nobody on 'unused'.
    const int op = FUTEX_OP(FUTEX_OP_ADD, 0, FUTEX_OP_CMP_EQ, 0);
    long r = syscall(SYS_futex, &unused, FUTEX_WAKE_OP | FUTEX_PRIVATE_FLAG, 0, 0,
                     reinterpret_cast<int*>(address & ~static_cast<ULONG_PTR>(3)), op);
    return r >= 0;
}

// The pages of [p, p + n): false when the range is null or wraps.
bool Pages(const void* p, UINT_PTR n, ULONG_PTR* first, ULONG_PTR* last)
{
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(p);
    ULONG_PTR end;
    if (!p || __builtin_add_overflow(start, n - 1, &end)) return false;
    *first = start;
    *last = end;
    return true;
}

bool RangeReadable(const void* p, UINT_PTR n)
{
    ULONG_PTR start, end;
    if (!Pages(p, n, &start, &end)) return false;
    ULONG_PTR batch[64];
    size_t count = 0;
    for (ULONG_PTR page = start & ~(kPage - 1);; page += kPage) {
        batch[count++] = page < start ? start : page;
        bool lastPage = page >= (end & ~(kPage - 1));
        if (count == 64 || lastPage) {
            if (!ReadableBytes(batch, count)) return false;
            count = 0;
        }
        if (lastPage) return true;
    }
}

// Whether [p, p + n) lies in the live part of the calling thread's stack,
// between this frame and the stack's top: memory that is there, readable
// and writable, with no need to ask the kernel (the usual record a caller
// hands a device control lives there).
bool InLiveStack(const void* p, UINT_PTR n)
{
    thread_local ULONG_PTR bottom = 0, top = 0;
    if (!top) {
        pthread_attr_t attributes;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            bottom = reinterpret_cast<ULONG_PTR>(low);
            top = bottom + size;
        }
        pthread_attr_destroy(&attributes);
        if (!top) return false;
    }
    volatile char here = 0;
    ULONG_PTR live = reinterpret_cast<ULONG_PTR>(&here), start = reinterpret_cast<ULONG_PTR>(p);
    // On another stack (a signal's, a fiber's) nothing is known.
    if (live < bottom || live >= top) return false;
    return p && start >= live && start < top && n <= top - start;
}

}  // namespace

BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb)
{
    if (ucb == 0) return FALSE;
    if (InLiveStack(lp, ucb)) return FALSE;
    return RangeReadable(lp, ucb) ? FALSE : TRUE;
}

BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb)
{
    if (ucb == 0) return FALSE;
    if (InLiveStack(lp, ucb)) return FALSE;
    ULONG_PTR start, end;
    if (!Pages(lp, ucb, &start, &end)) return TRUE;
    for (ULONG_PTR page = start & ~(kPage - 1);; page += kPage) {
        if (!WritableWord(page < start ? start : page)) return TRUE;
        if (page >= (end & ~(kPage - 1))) return FALSE;
    }
}

BOOL IsBadCodePtr(FARPROC lpfn)
{
    return RangeReadable(reinterpret_cast<const void*>(lpfn), 1) ? FALSE : TRUE;
}

BOOL IsBadStringPtrA(LPCSTR lpsz, UINT_PTR ucchMax)
{
    if (ucchMax == 0) return FALSE;
    if (!lpsz) return TRUE;
    ULONG_PTR at = reinterpret_cast<ULONG_PTR>(lpsz);
    UINT_PTR left = ucchMax;
    for (;;) {
        // Test the page, then scan it: the bytes of a readable page can be read.
        if (!RangeReadable(reinterpret_cast<const void*>(at), 1)) return TRUE;
        ULONG_PTR pageEnd = (at & ~(kPage - 1)) + kPage;
        for (; at != pageEnd; ++at) {
            if (*reinterpret_cast<const char*>(at) == '\0' || --left == 0) return FALSE;
        }
        if (at == 0) return TRUE;  // ran off the top of the address space
    }
}

// The Win32 layer's own entry points into the kernel: the system calls with
// the seam's exact contracts, declared in w32::seam so that the layer's
// modules (which see only these) never name a kernel routine. Each call goes
// to the kernel linked into this process (embedded machine) or, when the
// process is a client of a machine host, across the host's socket
// (w32_client.cpp).
#pragma once

#include "../nt/nt_each.h"
#include "../nt/nt_user.h"

#include <string>
#include <vector>

namespace w32 {
// Every system call's answer passes here (seam.cpp). A call that answers
// STATUS_THREAD_TERMINATE_PENDING ends a thread CreateThread made right
// there (thread.cpp: its stack unwinds to its start); any other thread
// gets the status back.
void EndTerminatedThread();
inline NTSTATUS AtSafePoint(NTSTATUS status)
{
    if (status == STATUS_THREAD_TERMINATE_PENDING) EndTerminatedThread();
    return status;
}
template <typename T>
T AtSafePoint(T value)
{
    return value;
}
}  // namespace w32

namespace w32::seam {
#define NT_SYSCALL NT_DECLARE_SYSCALL
#include "../nt/nt_syscall.inc"
#undef NT_SYSCALL
}  // namespace w32::seam

using namespace w32::seam;

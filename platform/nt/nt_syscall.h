// The system-call seam: the native calls through which user mode (the Win32
// layer, platform/win32) reaches the kernel. Every call runs in the calling
// thread's process with requestor mode UserMode: handles are that process's,
// buffers are user buffers (probed), and results are written back only
// through the caller's pointers. In a client of a machine host these calls
// cross a socket to the host (see platform/HOSTMODE.txt); nothing else of
// the kernel is visible to user mode, and this header declares no kernel
// routine or object.
#pragma once

#include "nt_each.h"
#include "nt_user.h"

#include <string>
#include <vector>

// The declarations themselves come from the table of system calls, from
// which the Win32 layer also declares its own entry points with the same
// contracts (platform/win32/w32_seam.h).
#define NT_SYSCALL NT_DECLARE_SYSCALL
#include "nt_syscall.inc"
#undef NT_SYSCALL

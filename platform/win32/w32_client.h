// The Win32 layer as a client of a machine host: whether this process is
// one, and the system calls as they cross the host's socket. A process
// becomes a client at its first system call when ZAR_MACHINE names a
// machine folder whose host answers, unless it chose its own embedded
// machine first (w32host::StayEmbedded).
#pragma once

#include "../nt/nt_each.h"
#include "../nt/nt_user.h"

#include <string>
#include <vector>

namespace w32 {

bool ClientActive();
// Wakes a WaitForRequest on 'iosb' once this process wrote its status: in a
// client a request's results land after the host's file object is signalled.
void StatusWritten(PIO_STATUS_BLOCK iosb);
// Fails a call the host protocol does not carry: a message once per call
// kind and STATUS_NOT_IMPLEMENTED.
NTSTATUS ClientUnsupported(const char* call);

// This process's arena (platform/HOSTMODE.txt): memory shared with the
// host at the same address on both sides. ArenaAllocate gives zeroed pages
// (null when this process has no arena or it is full); ArenaFree is false
// for memory that is not an arena block.
void* ArenaAllocate(size_t size);
bool ArenaFree(void* p);
bool InArena(const void* p, size_t n);

// The system calls as they cross the host's socket: one for each entry of
// the table of system calls (nt_syscall.inc).
namespace client {
#define NT_SYSCALL NT_DECLARE_SYSCALL
#include "../nt/nt_syscall.inc"
#undef NT_SYSCALL
}  // namespace client

}  // namespace w32

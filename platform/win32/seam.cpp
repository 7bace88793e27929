// The seam's dispatch: each system call of the Win32 layer goes to the
// kernel linked into this process, or to the machine host this process is
// a client of (w32_client.cpp). One stub per entry of the table of system
// calls (nt_syscall.inc); each answer passes the thread's safe point.
#include "../nt/nt_syscall.h"
#include "w32_client.h"
#include "w32_seam.h"

namespace w32::seam {

#define NT_SYSCALL(ret, name, ...)                                                                            \
    ret name(NT_EACH_COMMA(NT_PARAMETER, __VA_ARGS__))                                                       \
    {                                                                                                         \
        if (w32::ClientActive()) return w32::AtSafePoint(w32::client::name(NT_EACH_COMMA(NT_ARGUMENT, __VA_ARGS__))); \
        return w32::AtSafePoint(::name(NT_EACH_COMMA(NT_ARGUMENT, __VA_ARGS__)));                             \
    }
#include "../nt/nt_syscall.inc"
#undef NT_SYSCALL

}  // namespace w32::seam

// DbgPrint: a driver's debug output. The machine has no debugger attached;
// the lines go to standard error, whole, one call a line at most.

#include <cstdarg>
#include <cstdio>

#include "nt_types.h"

ULONG DbgPrint(PCSTR format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stderr);
    return n < 0 ? 0 : ULONG(n);
}

// DbgPrint: what a driver tells the kernel debugger. The machine has no
// debugger attached; the host's standard error stands in for its console.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "kernel.h"

ULONG DbgPrint(const char* format, ...)
{
    static std::mutex lock;  // whole lines, even from several processors
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "kernel debug: %s\n", text);
    return STATUS_SUCCESS;
}

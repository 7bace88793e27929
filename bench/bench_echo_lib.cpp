// A library the ioctl_roundtrip benchmark loads, built as the system's
// libraries are (it links the one Win32 runtime): the same round trips as
// the program makes, made from inside a library, on the program's handle.
#include "bench/bench_echo.h"
#include "platform/win32/win32.h"

extern "C" __attribute__((visibility("default"))) DWORD BenchEchoCalls(HANDLE device, long calls,
                                                                        unsigned char* in, unsigned char* out)
{
    DWORD returned = 0;
    for (long i = 0; i < calls; ++i) {
        in[0] = static_cast<unsigned char>(i);
        DeviceIoControl(device, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr);
    }
    return returned;
}

// The round-trip benchmarks' side of their small driver: the device
// \\.\BenchEcho answers IOCTL_BENCH_ECHO with its input, the way a driver
// returns a request record, and fills a direct-I/O read with 0x5A. The
// driver and the machine it runs in are in bench_echo_driver.cpp; this
// header carries no kernel declaration. Also the timing loop both
// benchmarks use.
#pragma once

#include <chrono>
#include <string>

#include "platform/win32/win32.h"

inline constexpr ULONG IOCTL_BENCH_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kBenchRecord = 104;  // bytes of the disk request block

// Boots a machine in 'folder' on the real clock with the echo driver, and
// when 'serve' is set serves it as a machine host; false with the reason in
// 'why'.
bool BootEchoMachine(const std::string& folder, bool serve, std::string* why);
// Stops the host, if any, and shuts the machine down.
void ShutdownEchoMachine();

template <typename F>
double NanosecondsPerCall(long calls, F f)
{
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) f(i);
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(calls);
}

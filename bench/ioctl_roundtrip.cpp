// Round trip of a 104-byte METHOD_BUFFERED DeviceIoControl (the size of the
// disk request block) through the Win32 layer and the kernel to a driver
// that copies the record back, in the process that boots the machine: made
// by the program itself and by a library it loaded (libbench_echo_lib.so,
// which links the same Win32 runtime and uses the program's handle).
// The baseline is the copying such a request cannot avoid: 104 bytes in and
// 104 bytes out, as two memcpy calls, timed in the same process.
//
//   ioctl_roundtrip [calls]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/bench_echo.h"
#include "bench/bench_host.h"
#include "platform/win32/w32_host.h"

int main(int argc, char** argv)
{
    PrintHowRun("ioctl_roundtrip");
    const long calls = argc > 1 ? std::atol(argv[1]) : 200000;
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("ioctl-roundtrip-" + std::to_string(getpid()))).string();
    // Its Win32 calls go to its own machine, whatever ZAR_MACHINE says.
    w32host::StayEmbedded();
    std::string why;
    if (!BootEchoMachine(folder, false, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        std::filesystem::remove_all(folder);
        return 1;
    }
    HANDLE h = CreateFileA("\\\\.\\BenchEcho", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "no bench device (error %u)\n", GetLastError());
        ShutdownEchoMachine();
        std::filesystem::remove_all(folder);
        return 1;
    }

    alignas(16) unsigned char in[kBenchRecord], out[kBenchRecord], system[kBenchRecord];
    for (DWORD i = 0; i < kBenchRecord; ++i) in[i] = static_cast<unsigned char>(i);

    // Warm up, and check the record really comes back.
    DWORD returned = 0;
    for (int i = 0; i < 1000; ++i)
        DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr);
    if (returned != kBenchRecord || std::memcmp(in, out, kBenchRecord) != 0) {
        std::fprintf(stderr, "echo came back wrong (%u bytes)\n", returned);
        return 1;
    }

    const double ioctl = NanosecondsPerCall(calls, [&](long i) {
        in[0] = static_cast<unsigned char>(i);
        DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr);
    });
    using EchoCalls = DWORD (*)(HANDLE, long, unsigned char*, unsigned char*);
    HMODULE library = LoadLibraryA("bench_echo_lib.dll");
    auto echoCalls =
        library ? reinterpret_cast<EchoCalls>(reinterpret_cast<void*>(GetProcAddress(library, "BenchEchoCalls")))
                : nullptr;
    if (!echoCalls) {
        std::fprintf(stderr, "bench_echo_lib did not load (error %u)\n", GetLastError());
        return 1;
    }
    echoCalls(h, 1000, in, out);
    const double fromLibrary = NanosecondsPerCall(1, [&](long) { echoCalls(h, calls, in, out); }) / double(calls);
    const double copy = NanosecondsPerCall(calls * 10, [&](long i) {
        in[0] = static_cast<unsigned char>(i);
        std::memcpy(system, in, kBenchRecord);
        asm volatile("" : : "r"(system) : "memory");
        std::memcpy(out, system, kBenchRecord);
        asm volatile("" : : "r"(out) : "memory");
    });

    std::printf("DeviceIoControl, %u-byte METHOD_BUFFERED round trip: %.0f ns per call (%ld calls)\n",
                unsigned(kBenchRecord), ioctl, calls);
    std::printf("the same from a library the program loaded:         %.0f ns per call\n", fromLibrary);
    std::printf("baseline, memcpy of %u bytes x2:                    %.1f ns\n", kBenchRecord, copy);
    std::printf("ratio:                                               %.0fx\n", ioctl / copy);

    FreeLibrary(library);
    CloseHandle(h);
    ShutdownEchoMachine();
    std::filesystem::remove_all(folder);
    return 0;
}

// How a benchmark ran: natively or under the emulator. Figures taken under
// the emulator are not comparable with native ones, so every benchmark says
// which it was before its figures.
#pragma once

#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline void PrintHowRun(const char* benchmark)
{
    const char* emulator = std::getenv("ZAR_EMULATOR");
    // A 32-bit program on a 64-bit kernel sees the kernel's machine; an
    // emulator reports the machine it emulates.
    utsname host{};
    const bool emulatedMachine = ::uname(&host) == 0 && std::strcmp(host.machine, "x86_64") != 0;
    if (emulator && *emulator)
        std::printf("%s: run under the emulator (%s); figures are not comparable with native ones\n", benchmark,
                    emulator);
    else if (emulatedMachine)
        std::printf("%s: run on a %s machine (an emulator or a 32-bit kernel)\n", benchmark, host.machine);
    else
        std::printf("%s: run natively\n", benchmark);
}

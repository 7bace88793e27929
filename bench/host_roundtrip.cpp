// The cost of a machine host: the same requests from a client process as
// from the process that boots the machine. This program boots a machine
// with a small driver, times the requests embedded, serves the machine as a
// host and starts itself again as a client, which times them across the
// socket.
//   - a 104-byte METHOD_BUFFERED DeviceIoControl round trip: client against
//     embedded (ratio);
//   - a 1 MB direct-I/O read into the client's buffer, one of its own (it
//     crosses by value) and one from VirtualAlloc (shared with the host, it
//     crosses by reference): against a memcpy of 1 MB in the same process;
//   - throughput: the 104-byte round trip from 1, 8 and 32 client processes
//     at once, calls a second over all of them.
//
//   host_roundtrip [calls]
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_echo.h"
#include "bench/bench_host.h"
#include "platform/win32/w32_host.h"
#include "platform/win32/win32.h"

extern char** environ;

namespace {

constexpr DWORD kBlock = 1 << 20;

struct Figures {
    double ioctl = 0, read = 0, sharedRead = 0;
};

long long MonotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The requests, timed through the Win32 layer of this process.
bool Measure(long calls, Figures* f)
{
    HANDLE h = CreateFileA("\\\\.\\BenchEcho", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "no bench device (error %u)\n", GetLastError());
        return false;
    }
    unsigned char in[kBenchRecord], out[kBenchRecord];
    for (DWORD i = 0; i < kBenchRecord; ++i) in[i] = static_cast<unsigned char>(i);
    DWORD returned = 0;
    for (int i = 0; i < 100; ++i)
        DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr);
    if (returned != kBenchRecord || std::memcmp(in, out, kBenchRecord) != 0) {
        std::fprintf(stderr, "echo came back wrong (%u bytes)\n", returned);
        return false;
    }
    f->ioctl = NanosecondsPerCall(calls, [&](long i) {
        in[0] = static_cast<unsigned char>(i);
        DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr);
    });
    std::vector<unsigned char> block(kBlock);
    f->read = NanosecondsPerCall(calls / 100 + 10, [&](long) {
        DWORD got = 0;
        ReadFile(h, block.data(), kBlock, &got, nullptr);
    });
    auto* shared = static_cast<unsigned char*>(VirtualAlloc(nullptr, kBlock, MEM_COMMIT, PAGE_READWRITE));
    if (!shared) {
        std::fprintf(stderr, "no VirtualAlloc block (error %u)\n", GetLastError());
        return false;
    }
    f->sharedRead = NanosecondsPerCall(calls / 100 + 10, [&](long) {
        DWORD got = 0;
        ReadFile(h, shared, kBlock, &got, nullptr);
    });
    if (block[kBlock - 1] != 0x5A || shared[kBlock - 1] != 0x5A) {
        std::fprintf(stderr, "the read did not reach the buffer\n");
        return false;
    }
    VirtualFree(shared, 0, MEM_RELEASE);
    CloseHandle(h);
    return true;
}

// One of many clients at once: when its calls began and ended.
int Load(long calls)
{
    HANDLE h = CreateFileA("\\\\.\\BenchEcho", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!w32host::IsClient() || h == INVALID_HANDLE_VALUE) return 1;
    unsigned char in[kBenchRecord] = {}, out[kBenchRecord];
    DWORD returned = 0;
    const long long begin = MonotonicNanoseconds();
    for (long i = 0; i < calls; ++i) {
        in[0] = static_cast<unsigned char>(i);
        if (!DeviceIoControl(h, IOCTL_BENCH_ECHO, in, kBenchRecord, out, kBenchRecord, &returned, nullptr)) return 1;
    }
    std::printf("%lld %lld\n", begin, MonotonicNanoseconds());
    CloseHandle(h);
    return 0;
}

int Client(long calls)
{
    Figures f;
    if (!w32host::IsClient() || !Measure(calls, &f)) return 1;
    std::printf("%.1f %.1f %.1f\n", f.ioctl, f.read, f.sharedRead);
    return 0;
}

// Starts this program 'count' times as a client of the host of 'folder'
// ('mode' and 'calls' its arguments), all at once; their output lines.
std::vector<std::string> RunClients(const std::string& folder, const char* mode, long calls, int count)
{
    std::vector<std::string> args;
    const char* emulator = std::getenv("ZAR_EMULATOR");
    if (emulator && *emulator) args.push_back(emulator);
    char self[512];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    args.push_back(n > 0 ? std::string(self, size_t(n)) : std::string("/proc/self/exe"));
    args.push_back(mode);
    args.push_back(std::to_string(calls));
    std::vector<char*> argvChild;
    for (auto& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);
    std::vector<std::string> env{"ZAR_MACHINE=" + folder};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "ZAR_MACHINE=", 12) != 0) env.push_back(*e);
    std::vector<char*> envChild;
    for (auto& e : env) envChild.push_back(e.data());
    envChild.push_back(nullptr);
    std::vector<std::pair<pid_t, FILE*>> children;
    for (int i = 0; i < count; ++i) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) break;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        pid_t child = -1;
        bool spawned = ::posix_spawn(&child, argvChild[0], &actions, nullptr, argvChild.data(), envChild.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (!spawned) {
            ::close(out[0]);
            break;
        }
        children.emplace_back(child, ::fdopen(out[0], "r"));
    }
    std::vector<std::string> lines;
    for (auto& [child, f] : children) {
        char line[128] = {};
        if (f && std::fgets(line, sizeof line, f)) lines.push_back(line);
        if (f) std::fclose(f);
        ::waitpid(child, nullptr, 0);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--client") == 0) return Client(std::atol(argv[2]));
    if (argc > 2 && std::strcmp(argv[1], "--load") == 0) return Load(std::atol(argv[2]));
    w32host::StayEmbedded();
    PrintHowRun("host_roundtrip");
    const long calls = argc > 1 ? std::atol(argv[1]) : 20000;
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("host-roundtrip-" + std::to_string(getpid()))).string();
    std::string why;
    if (!BootEchoMachine(folder, true, &why)) {
        std::fprintf(stderr, "no machine host: %s\n", why.c_str());
        return 1;
    }
    Figures embedded;
    if (!Measure(calls, &embedded)) return 1;
    std::vector<unsigned char> from(kBlock, 1), to(kBlock);
    const double copy = NanosecondsPerCall(calls / 100 + 10, [&](long i) {
        from[0] = static_cast<unsigned char>(i);
        std::memcpy(to.data(), from.data(), kBlock);
        asm volatile("" : : "r"(to.data()) : "memory");
    });

    // The same program again, as a client of this host.
    Figures client;
    std::vector<std::string> lines = RunClients(folder, "--client", calls, 1);
    bool measured = lines.size() == 1 &&
                    std::sscanf(lines[0].c_str(), "%lf %lf %lf", &client.ioctl, &client.read, &client.sharedRead) == 3;
    // Many at once.
    const int kLoads[] = {1, 8, 32};
    double perSecond[3] = {};
    for (int i = 0; i < 3 && measured; ++i) {
        const long each = std::max(1000L, calls / kLoads[i]);
        long long first = 0, last = 0;
        lines = RunClients(folder, "--load", each, kLoads[i]);
        for (const std::string& line : lines) {
            long long begin = 0, end = 0;
            if (std::sscanf(line.c_str(), "%lld %lld", &begin, &end) != 2) continue;
            first = first && first < begin ? first : begin;
            last = std::max(last, end);
        }
        measured = int(lines.size()) == kLoads[i] && last > first;
        if (measured) perSecond[i] = double(each) * kLoads[i] * 1e9 / double(last - first);
    }
    ShutdownEchoMachine();
    std::filesystem::remove_all(folder);
    if (!measured) {
        std::fprintf(stderr, "the client did not measure\n");
        return 1;
    }
    std::printf("%u-byte METHOD_BUFFERED DeviceIoControl round trip:\n", kBenchRecord);
    std::printf("  embedded:              %10.0f ns per call\n", embedded.ioctl);
    std::printf("  from a client process: %10.0f ns per call\n", client.ioctl);
    std::printf("  ratio:                 %10.1fx\n", client.ioctl / embedded.ioctl);
    std::printf("1 MB direct-I/O read into the caller's buffer:\n");
    std::printf("  embedded:              %10.0f us\n", embedded.read / 1000);
    std::printf("  from a client process: %10.0f us\n", client.read / 1000);
    std::printf("  baseline, memcpy 1 MB: %10.0f us\n", copy / 1000);
    std::printf("  ratio, client/memcpy:  %10.1fx\n", client.read / copy);
    std::printf("1 MB direct-I/O read into a VirtualAlloc buffer (shared with the host):\n");
    std::printf("  embedded:              %10.0f us\n", embedded.sharedRead / 1000);
    std::printf("  from a client process: %10.0f us\n", client.sharedRead / 1000);
    std::printf("  ratio, client/memcpy:  %10.1fx\n", client.sharedRead / copy);
    std::printf("104-byte round trips from many client processes at once:\n");
    for (int i = 0; i < 3; ++i)
        std::printf("  %2d client%s %10.0f calls a second (%.0f ns a call)\n", kLoads[i], kLoads[i] == 1 ? ": " : "s:",
                    perSecond[i], 1e9 / perSecond[i]);
    return 0;
}

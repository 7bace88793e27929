// Benchmark: the DEBI bus as the driver drives it on the simulated board.
//
// - Programmed accesses (ZarDebiPioWrite / ZarDebiPioRead of one 16-bit
//   register, synchronised with the interrupt) per second, against a plain
//   2-byte memcpy per access in the same process.
// - DEBI DMA through IOCTL_ZAR_DEBI_IO from user mode into the board's SDRAM
//   window and back, in bytes per second of host time, against a memcpy of
//   the same bytes. The bus time the simulated board charges (virtual clock)
//   is printed beside it.
//
//   debi_throughput [accesses] [dma-repeats]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "drivers/board/zar_driver.h"
#include "platform/nt/clock.h"
#include "bench/bench_machine.h"
#include "platform/nt/machine.h"
#include "platform/win32/win32.h"
#include "sim/pci_layouts.h"
#include "bench/bench_host.h"

namespace {

constexpr ULONG kRegister = 0x5474;
constexpr ULONG kWindow = 0x9000;
constexpr ULONG kWindowBlock = 0xB404;

template <typename F>
double Seconds(F f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool DebiIo(HANDLE h, ULONG operation, ULONG mode, ULONG address, void* buffer, ULONG length, ULONG value = 0)
{
    ZAR_DEBI_REQUEST request{operation, mode, address, length, value, ULONG(reinterpret_cast<ULONG_PTR>(buffer)), 0};
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_ZAR_DEBI_IO, &request, sizeof request, &request, sizeof request, &returned,
                           nullptr) &&
           returned == sizeof request;
}

struct DmaFigures {
    double hostBytesPerSecond;
    double busBytesPerSecond;
    bool ok;
};

// 'repeats' round trips (to the board, back to the host) of 'length' bytes.
DmaFigures RunDma(HANDLE h, ULONG mode, ULONG length, int repeats)
{
    std::vector<UCHAR> out(length), in(length);
    for (ULONG i = 0; i < length; ++i) out[i] = UCHAR(i * 7 + 3);
    bool ok = true;
    uint64_t virtualStart = nt::ClockNow();
    double seconds = Seconds([&] {
        for (int r = 0; r < repeats; ++r) {
            ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kWindowBlock, nullptr, 0, 0);
            ok &= DebiIo(h, ZAR_DEBI_OP_DMA_TO_BOARD, mode, kWindow, out.data(), length);
            ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kWindowBlock, nullptr, 0, 0);
            ok &= DebiIo(h, ZAR_DEBI_OP_DMA_TO_HOST, mode, kWindow, in.data(), length);
        }
    });
    double virtualSeconds = double(nt::ClockNow() - virtualStart) / 1e9;
    ok &= in == out;
    double bytes = 2.0 * length * repeats;
    return {bytes / seconds, bytes / virtualSeconds, ok};
}

double MemcpyBytesPerSecond(ULONG length, int repeats)
{
    std::vector<UCHAR> a(length, 1), b(length);
    double seconds = Seconds([&] {
        for (int r = 0; r < 2 * repeats; ++r) {
            a[0] = UCHAR(r);
            std::memcpy(b.data(), a.data(), length);
            asm volatile("" : : "r"(b.data()) : "memory");
        }
    });
    return 2.0 * length * repeats / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("debi_throughput");
    const long accesses = argc > 1 ? std::atol(argv[1]) : 200000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 64;
    BenchMachine machine("zar-debi");
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    HANDLE h = CreateFileA("\\\\.\\KIVZAR0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (ext == nullptr || h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "board 0 did not start\n");
        return 1;
    }

    // ---- programmed accesses ----
    for (long i = 0; i < 1000; ++i) ZarDebiPioWrite(ext, kRegister, ULONG(i));  // warm up
    double writeSeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) ZarDebiPioWrite(ext, kRegister, ULONG(i));
    });
    volatile USHORT sink = 0;
    double readSeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) sink = ZarDebiPioRead(ext, kRegister);
    });
    (void)sink;
    USHORT source = 0x1234, target = 0;
    double copySeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) {
            source = USHORT(i);
            std::memcpy(&target, &source, sizeof target);
            asm volatile("" : : "r"(&target) : "memory");
        }
    });
    double writes = accesses / writeSeconds, reads = accesses / readSeconds, copies = accesses / copySeconds;
    std::printf("programmed DEBI access (16-bit register, synchronised with the interrupt), %ld each:\n", accesses);
    std::printf("  writes: %10.0f per second (%.0f ns each)\n", writes, 1e9 / writes);
    std::printf("  reads:  %10.0f per second (%.0f ns each)\n", reads, 1e9 / reads);
    std::printf("  baseline, 2-byte memcpy: %.0f per second; ratio %.0fx (write), %.0fx (read)\n", copies,
                copies / writes, copies / reads);

    // ---- DMA ----
    struct {
        const char* what;
        ULONG mode;
        ULONG length;
    } runs[] = {
        {"mode 0 (user pages, 32,752-byte chunks), 1 MB", ZAR_DEBI_DMA_USER_PAGES, 1u << 20},
        {"mode 1 (page by page), 1 MB", ZAR_DEBI_DMA_USER_PAGE_BY_PAGE, 1u << 20},
        {"mode 2 (bounce buffer), 32,752 bytes", ZAR_DEBI_DMA_BOUNCE, 32752},
    };
    std::printf("DEBI DMA through IOCTL_ZAR_DEBI_IO into the SDRAM window and back, %d round trips each:\n", repeats);
    bool ok = true;
    for (const auto& run : runs) {
        int n = run.length >= (1u << 20) ? repeats : repeats * 8;
        DmaFigures f = RunDma(h, run.mode, run.length, n);
        double copy = MemcpyBytesPerSecond(run.length, n);
        ok &= f.ok;
        std::printf("  %-46s %8.1f MB/s host time; memcpy %8.1f MB/s; ratio %.1fx; simulated bus %.1f MB/s%s\n",
                    run.what, f.hostBytesPerSecond / 1e6, copy / 1e6, copy / f.hostBytesPerSecond,
                    f.busBytesPerSecond / 1e6, f.ok ? "" : "  (DATA MISMATCH)");
    }

    CloseHandle(h);
    return ok ? 0 : 1;
}

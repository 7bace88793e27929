// Benchmark: the DEBI bus as the driver drives it on the simulated board.
//
// - Programmed accesses (one 16-bit register, synchronised with the
//   interrupt) through IOCTL_ZAR_DEBI_IO per second, against the same
//   control code's round trip with nothing to do on the board (a board-state
//   query) and a plain 2-byte memcpy per access in the same process.
// - DEBI DMA through IOCTL_ZAR_DEBI_IO from user mode into the board's SDRAM
//   window and back, in bytes per second of host time, against a memcpy of
//   the same bytes. The bus time the simulated board charges (virtual clock)
//   is printed beside it.
//
//   debi_throughput [accesses] [dma-repeats]
//
// With ZAR_MACHINE naming a running machine host it measures that machine's
// board 0 as a client process (bench_board.h).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_board.h"
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

// Pages the driver can lock wherever the benchmark runs: in a client of a
// machine host, memory from VirtualAlloc is shared with the host.
struct Pages {
    explicit Pages(ULONG length)
        : data(static_cast<UCHAR*>(VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
    }
    ~Pages()
    {
        if (data) VirtualFree(data, 0, MEM_RELEASE);
    }
    UCHAR* data;
};

// 'repeats' round trips (to the board, back to the host) of 'length' bytes.
DmaFigures RunDma(HANDLE h, ULONG mode, ULONG length, int repeats)
{
    Pages out(length), in(length);
    if (!out.data || !in.data) return {0, 0, false};
    for (ULONG i = 0; i < length; ++i) out.data[i] = UCHAR(i * 7 + 3);
    bool ok = true;
    double machineStart = MachineSeconds();
    double seconds = Seconds([&] {
        for (int r = 0; r < repeats; ++r) {
            ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kWindowBlock, nullptr, 0, 0);
            ok &= DebiIo(h, ZAR_DEBI_OP_DMA_TO_BOARD, mode, kWindow, out.data, length);
            ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kWindowBlock, nullptr, 0, 0);
            ok &= DebiIo(h, ZAR_DEBI_OP_DMA_TO_HOST, mode, kWindow, in.data, length);
        }
    });
    double virtualSeconds = MachineSeconds() - machineStart;
    ok &= std::memcmp(in.data, out.data, length) == 0;
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
    if (!machine.Start("debi_throughput")) return 1;
    HANDLE h = machine.Board();

    // ---- programmed accesses ----
    bool ok = true;
    for (long i = 0; i < 1000; ++i) ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kRegister, nullptr, 0, ULONG(i));
    double writeSeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) ok &= DebiIo(h, ZAR_DEBI_OP_PIO_WRITE, 0, kRegister, nullptr, 0, ULONG(i));
    });
    double readSeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) ok &= DebiIo(h, ZAR_DEBI_OP_PIO_READ, 0, kRegister, nullptr, 0);
    });
    double stateSeconds = Seconds([&] {
        ULONG state = 0;
        DWORD returned = 0;
        for (long i = 0; i < accesses; ++i)
            ok &= DeviceIoControl(h, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, sizeof state, &returned, nullptr) != 0;
    });
    if (!ok) {
        std::fprintf(stderr, "debi_throughput: a programmed access failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    USHORT source = 0x1234, target = 0;
    double copySeconds = Seconds([&] {
        for (long i = 0; i < accesses; ++i) {
            source = USHORT(i);
            std::memcpy(&target, &source, sizeof target);
            asm volatile("" : : "r"(&target) : "memory");
        }
    });
    double writes = accesses / writeSeconds, reads = accesses / readSeconds, copies = accesses / copySeconds;
    double states = accesses / stateSeconds;
    std::printf("programmed DEBI access through IOCTL_ZAR_DEBI_IO (16-bit register, synchronised with the "
                "interrupt), %ld each:\n",
                accesses);
    std::printf("  writes: %10.0f per second (%.0f ns each)\n", writes, 1e9 / writes);
    std::printf("  reads:  %10.0f per second (%.0f ns each)\n", reads, 1e9 / reads);
    std::printf("  the control code's own round trip (a board-state query): %.0f ns; the access on the board: "
                "%.0f / %.0f ns\n",
                1e9 / states, 1e9 / writes - 1e9 / states, 1e9 / reads - 1e9 / states);
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
    for (const auto& run : runs) {
        int n = run.length >= (1u << 20) ? repeats : repeats * 8;
        DmaFigures f = RunDma(h, run.mode, run.length, n);
        double copy = MemcpyBytesPerSecond(run.length, n);
        ok &= f.ok;
        std::printf("  %-46s %8.1f MB/s host time; memcpy %8.1f MB/s; ratio %.1fx; simulated bus %.1f MB/s%s\n",
                    run.what, f.hostBytesPerSecond / 1e6, copy / 1e6, copy / f.hostBytesPerSecond,
                    f.busBytesPerSecond / 1e6, f.ok ? "" : "  (DATA MISMATCH)");
    }

    return ok ? 0 : 1;
}

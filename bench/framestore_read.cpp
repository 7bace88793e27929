// Benchmark: reading the input frame store into a caller's image through
// IOCTL_ZAR_VIN_FRAMESTORE_READ, in each output format, against a plain
// copy of the same image bytes.
//
// The read runs on the virtual clock: each line is a simulated DEBI DMA of
// 2,880 bytes from the store's port, then converted by the driver while the
// next line's transfer runs. The host time a frame holds the simulated
// transfers (one port read a 16-bit word) as well as the conversion; the
// read without conversion (Cb Y Cr) shows how little of it the conversion
// takes. As a client of a machine host it reads that machine's board 0.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_host.h"
#include "bench/bench_board.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("framestore_read");
    const int frames = argc > 1 ? std::atoi(argv[1]) : 20;
    BenchMachine machine("zar-bench");
    if (!machine.Start("framestore_read")) return 1;
    HANDLE board = machine.Board();
    struct Format {
        const char* name;
        ULONG keyMode, format, lineBytes;
    } formats[] = {
        {"Cb Y Cr key (no conversion)", ZAR_FS_KEY_ALPHA, ZAR_FS_FORMAT_CBYCRA, 2880},
        {"BGRA, alpha from the key", ZAR_FS_KEY_ALPHA, ZAR_FS_FORMAT_BGRA, 2880},
        {"BGR", ZAR_FS_KEY_OPAQUE, ZAR_FS_FORMAT_BGR, 2160},
    };
    for (const Format& f : formats) {
        // The driver writes the image where the request points: memory from
        // VirtualAlloc, which a machine host's client shares with the host.
        const size_t imageBytes = size_t(486) * f.lineBytes;
        auto* image = static_cast<unsigned char*>(VirtualAlloc(nullptr, imageBytes, MEM_COMMIT | MEM_RESERVE,
                                                               PAGE_READWRITE));
        if (image == nullptr) return 1;
        std::vector<unsigned char> copy(imageBytes);
        ZAR_FRAMESTORE_READ r{f.keyMode, 0, f.format, 0, ULONG(reinterpret_cast<uintptr_t>(image)), 0};
        DWORD bytes = 0;
        auto start = Clock::now();
        for (int i = 0; i < frames; ++i)
            if (!DeviceIoControl(board, IOCTL_ZAR_VIN_FRAMESTORE_READ, &r, sizeof r, &r, sizeof r, &bytes, nullptr)) {
                std::printf("the read failed: error %lu\n", static_cast<unsigned long>(GetLastError()));
                return 1;
            }
        const double read = Seconds(start) / frames;
        const int copies = frames * 50;
        start = Clock::now();
        for (int i = 0; i < copies; ++i) {
            std::memcpy(copy.data(), image, imageBytes);
            image[size_t(i) % imageBytes] ^= 1;  // keeps the copies from being folded away
        }
        const double plain = Seconds(start) / copies;
        std::printf("%-28s %7.2f ms a 525-line frame; memcpy of its %zu bytes %6.3f ms", f.name, read * 1e3,
                    imageBytes, plain * 1e3);
        std::printf("; %.0fx\n", read / plain);
        VirtualFree(image, 0, MEM_RELEASE);
    }
    return 0;
}

// Benchmark: a ZarDll request against the bare DeviceIoControl of the same
// control code, in the same process.
//
// - The library's one device-request path (SendDeviceRequest without the
//   caller's overlapped record: an event of its own made, waited on when the
//   request pends, closed) with a board-state query, against that query
//   through DeviceIoControl on a synchronous handle.
// - ZarDcInitialize mode 0, the frame's firmware check (the board-state
//   query and the firmware report, under the board's named mutex), against
//   the same two codes sent bare.
// - ZarVinGetProcAmp, an export that is one control code, against that code
//   through DeviceIoControl; and the share of the export's argument check:
//   the record's read and write access test timed on its own (the same
//   code, from the library's archive), and the export refusing a read-only
//   record (the handle looked up, the access test failing).
//
//   zardll_request [calls]
//
// With ZAR_MACHINE naming a running machine host it measures as a client
// process of that host (bench_board.h).

#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "include/zardll.h"
#include "lib/api/zar_connection.h"
#include "lib/api/zar_export_frame.h"

namespace {

template <typename F>
double NanosecondsEach(long calls, F f)
{
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) f();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / double(calls);
}

}  // namespace

int main(int argc, char** argv)
{
    const long calls = argc > 1 ? std::atol(argv[1]) : 20000;
    PrintHowRun("zardll_request");
    BenchMachine machine("zardll_request");
    if (!machine.Start("zardll_request")) return 1;
    HMODULE dll = LoadLibraryA(ZARDLL_PATH);
    auto open = dll ? reinterpret_cast<decltype(&ZarDcOpen)>(
                          reinterpret_cast<void (*)()>(GetProcAddress(dll, "ZarDcOpen")))
                    : nullptr;
    auto initialize = dll ? reinterpret_cast<decltype(&ZarDcInitialize)>(
                                reinterpret_cast<void (*)()>(GetProcAddress(dll, "ZarDcInitialize")))
                          : nullptr;
    ZAR_BOARD board = nullptr;
    if (!open || !initialize || open(0, &board) != ZAR_OK) {
        std::fprintf(stderr, "zardll_request: ZarDll did not open board 0\n");
        return 1;
    }
    HANDLE bare = machine.Board();
    HANDLE overlapped = reinterpret_cast<HANDLE>(uintptr_t(board->BoardDevice));
    ULONG state = 0;
    DWORD returned = 0;
    uint32_t flex[4] = {1, 0, 0, 0};

    // Warm both paths once.
    DeviceIoControl(bare, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4, &returned, nullptr);
    SendDeviceRequest(overlapped, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4, &returned, nullptr);

    const double bareQuery = NanosecondsEach(calls, [&] {
        DeviceIoControl(bare, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4, &returned, nullptr);
    });
    const double libraryQuery = NanosecondsEach(calls, [&] {
        SendDeviceRequest(overlapped, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4, &returned, nullptr);
    });
    const long checks = calls / 4 > 0 ? calls / 4 : 1;
    const double bareCheck = NanosecondsEach(checks, [&] {
        DeviceIoControl(bare, IOCTL_ZAR_GET_BOARD_STATE, nullptr, 0, &state, 4, &returned, nullptr);
        flex[0] = 1;
        DeviceIoControl(bare, IOCTL_ZAR_FLEX_DOWNLOAD, flex, 16, flex, 16, &returned, nullptr);
    });
    const double libraryCheck = NanosecondsEach(checks, [&] { initialize(board, 0); });

    auto getProcAmp = reinterpret_cast<decltype(&ZarVinGetProcAmp)>(
        reinterpret_cast<void (*)()>(GetProcAddress(dll, "ZarVinGetProcAmp")));
    uint32_t procAmp = 0;
    auto* readOnly = static_cast<uint32_t*>(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (!getProcAmp || getProcAmp(board, &procAmp) != ZAR_OK || getProcAmp(board, readOnly) != ZAR_E_BAD_ARGUMENT) {
        std::fprintf(stderr, "zardll_request: ZarVinGetProcAmp did not answer\n");
        return 1;
    }
    const double bareProcAmp = NanosecondsEach(calls, [&] {
        DeviceIoControl(bare, IOCTL_ZAR_VIN_GET_PROC_AMP, nullptr, 0, &procAmp, 4, &returned, nullptr);
    });
    const double exportProcAmp = NanosecondsEach(calls, [&] { getProcAmp(board, &procAmp); });
    const double accessCheck = NanosecondsEach(calls, [&] { zarframe::Accessible(&procAmp, sizeof procAmp); });
    const long refusals = calls / 10 > 0 ? calls / 10 : 1;
    const double refused = NanosecondsEach(refusals, [&] { getProcAmp(board, readOnly); });

    std::printf("board-state query, %ld calls: DeviceIoControl %.0f ns, the library's request path %.0f ns "
                "(%.2fx)\n",
                calls, bareQuery, libraryQuery, libraryQuery / bareQuery);
    std::printf("firmware check, %ld calls: the two codes bare %.0f ns, ZarDcInitialize mode 0 %.0f ns (%.2fx)\n",
                checks, bareCheck, libraryCheck, libraryCheck / bareCheck);
    std::printf("one-code export, %ld calls: DeviceIoControl %.0f ns, ZarVinGetProcAmp %.0f ns (%.2fx); "
                "the record's access test %.0f ns (%.0f%% of the export); a read-only record refused in %.0f ns\n",
                calls, bareProcAmp, exportProcAmp, exportProcAmp / bareProcAmp, accessCheck,
                100.0 * accessCheck / exportProcAmp, refused);
    return 0;
}

// Benchmark: the time-code driver's per-field work with all eight of the
// board's time-code streams running, as a share of the field period.
//
// The board is set up as the media drive's driver does at its start. The
// fields are run three times, each time reading the kernel's account of the
// board's interrupt (its service routine and the DPCs it queued) a field:
//   1. no client bound to the streams: the board's per-field DPC returns at
//      once (the plain baseline);
//   2. a do-nothing client on all eight streams: the board's own exchange
//      with the time-code chip, without any client work;
//   3. TANDRELKD bound, every device started (master clock, both readers
//      capturing every field, both generators, the burn-in window tracking
//      the LTC reader, the proxy hinted, both field counters), the LTC loop
//      running: run 3 less run 2 is the time-code driver's own work.
// Runs in the process that boots its machine (the do-nothing client is a
// kernel callback of this process).

#include <cstdio>
#include <cstdlib>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "include/tandrelkd.h"
#include "include/zarkd_tandrel.h"
#include "platform/nt/machine.h"

namespace {

uint32_t Nothing(void*, uint32_t, void*, uint32_t, uint32_t) { return 1; }

// Internal requests to \Device\Zar0, as a kernel client sends them.
NTSTATUS BoardInternal(ULONG code, void* in, ULONG inLength)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Zar0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status)) return status;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, nullptr, 0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObDereferenceObject(file);
    return status;
}

bool ConnectNothing(bool connect)
{
    for (ULONG i = 0; i < TANDREL_STREAM_COUNT; ++i) {
        TANDREL_STREAM_CONNECT c{i, Nothing, nullptr};
        NTSTATUS status = connect ? BoardInternal(IOCTL_ZAR_INTERNAL_CONNECT_STREAM, &c, sizeof c)
                                  : BoardInternal(IOCTL_ZAR_INTERNAL_DISCONNECT_STREAM, &i, sizeof i);
        if (!NT_SUCCESS(status)) return false;
    }
    return true;
}

HANDLE OpenStream(const char* stream)
{
    const std::string path = std::string("\\\\.\\Zar0") + stream;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Call(HANDLE h, ULONG code, const void* in = nullptr, ULONG inLength = 0)
{
    DWORD bytes = 0;
    if (DeviceIoControl(h, code, const_cast<void*>(in), inLength, nullptr, 0, &bytes, nullptr)) return true;
    std::fprintf(stderr, "tandrel_fields: code %#lx failed: error %lu\n", static_cast<unsigned long>(code),
                 static_cast<unsigned long>(GetLastError()));
    return false;
}

void Report(const char* what, const FieldsCost& cost)
{
    std::printf("  %-44s ZarIsr %7.2f us + DPCs %7.2f us = %7.2f us a field (%.3f%% of the period)\n", what,
                cost.IsrMicroseconds(), cost.DpcMicroseconds(), cost.DriverMicroseconds(),
                100.0 * cost.DriverMicroseconds() / (kFieldPeriod * 1e6));
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("tandrel_fields");
    if (w32host::IsClient()) {
        std::fprintf(stderr, "tandrel_fields: runs in the process that boots its machine, not as a client\n");
        return 1;
    }
    BenchMachine machine("zar-bench-tandrel");
    if (!machine.Start("tandrel_fields")) return 1;
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000;
    if (!machine.SetUpBoard()) return 1;
    RunFields(200);
    const FieldsCost idle = RunFields(fields);

    if (!ConnectNothing(true)) return 1;
    RunFields(200);
    const FieldsCost exchange = RunFields(fields);
    if (!ConnectNothing(false)) return 1;

    if (!NT_SUCCESS(nt::WriteDriverServiceKey(u"TANDRELKD", 3)) || !NT_SUCCESS(nt::IoLoadDriver(u"TANDRELKD"))) {
        std::fprintf(stderr, "tandrel_fields: TANDRELKD did not load\n");
        return 1;
    }
    const char* streams[] = {"MasterClock", "LTCReader", "LTCGenerator", "VITCReader", "VITCGenerator",
                             "BurnIn", "JpegStream1", "JpegStream2", "SMPTE12MReaderProxy"};
    HANDLE h[9];
    for (int i = 0; i < 9; ++i) {
        h[i] = OpenStream(streams[i]);
        if (h[i] == INVALID_HANDLE_VALUE) return 1;
    }
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
    const ULONG s = ULONG(reinterpret_cast<uintptr_t>(semaphore));
    const LONG gain = -6;
    const ULONG vitcLines[2] = {14, 16};
    const TANDREL_TRACK_REQUEST track{ULONG(reinterpret_cast<uintptr_t>(h[1])), 0};
    const TANDREL_HINT hint{{107892, 0, 29 | TANDREL_FLAG_DROP_FRAME}, 0, 4, 0, 0, 1};
    bool ok = Call(h[2], IOCTL_TANDREL_LTC_GENERATOR_CONTROL, &gain, 4) &&
              Call(h[4], IOCTL_TANDREL_VITC_CONTROL, vitcLines, sizeof vitcLines) &&
              Call(h[5], IOCTL_TANDREL_SMPTE12M_OUTPUT_PREPARE_TO_TRACK, &track, sizeof track) &&
              Call(h[8], IOCTL_TANDREL_SMPTE12M_PROXY_SET_HINTED_SAMPLE, &hint, sizeof hint) &&
              Call(h[1], IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, &s, 4) &&
              Call(h[3], IOCTL_TANDREL_SMPTE12M_INPUT_ENABLE_CAPTURE, &s, 4);
    for (int i : {0, 1, 2, 3, 4, 5, 8}) ok = ok && Call(h[i], IOCTL_TANDREL_START);
    if (!ok) return 1;
    RunFields(200);
    const FieldsCost bound = RunFields(fields);
    TANDREL_SAMPLE read{};
    DWORD bytes = 0;
    DeviceIoControl(h[1], IOCTL_TANDREL_SMPTE12M_GET_SAMPLE, nullptr, 0, &read, sizeof read, &bytes, nullptr);
    for (HANDLE handle : h) CloseHandle(handle);
    CloseHandle(semaphore);
    if (read.Flags & TANDREL_FLAG_INVALID) {
        std::fprintf(stderr, "tandrel_fields: the LTC reader read nothing: the figure would not hold the loop\n");
        return 1;
    }

    std::printf("time-code driver, all eight streams running: %.0f fields a run, 525 lines\n", bound.fields);
    Report("no time-code client:", idle);
    Report("a do-nothing client on the eight streams:", exchange);
    Report("TANDRELKD, every device started:", bound);
    const double own = bound.DriverMicroseconds() - exchange.DriverMicroseconds();
    std::printf("  the time-code driver's own work: %.2f us a field, %.3f%% of the field period (%.2f ms)\n", own,
                100.0 * own / (kFieldPeriod * 1e6), kFieldPeriod * 1e3);
    return 0;
}

// Benchmark: the per-field cost of the time-code exchange, the burn-in
// window and a continuous scaled capture, against an idle field.
//
// A machine on the virtual clock runs the same number of fields twice with
// the field interrupt on: once idle, once with the time-code chip
// interrupting, clients on the master clock, the LTC generator and reader
// and the burn-in stream, and a continuous 360 x 243 BGRA capture running
// (the simulated bridge scaling and writing every field into host memory).
// The host time a field is the figure; the second run's extra over the
// first is what time code and capture cost a field, simulation included.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_host.h"
#include "bench/bench_machine.h"
#include "drivers/board/zar_driver.h"

namespace {

double SecondsFor(sim::Board& board, uint64_t fields)
{
    auto start = std::chrono::steady_clock::now();
    uint64_t target = board.Clock().FieldCount() + fields;
    nt::ClockRunFor(sim::FieldClock::FieldsToNs(525, fields));
    while (board.Clock().FieldCount() < target) nt::ClockRunFor(1000000);
    nt::ClockRunUntilIdle();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uint32_t Client(void*, uint32_t field, void* data, uint32_t, uint32_t out)
{
    if (out == sizeof(TANDREL_TIMECODE_RECORD)) {
        TANDREL_TIMECODE_RECORD r{};
        uint32_t frame = field / 2;
        uint8_t digits[8] = {uint8_t(frame % 30 % 10), uint8_t(frame % 30 / 10), uint8_t(frame / 30 % 60 % 10),
                             uint8_t(frame / 30 % 60 / 10), 0, 0, 1, 0};
        std::memcpy(r.Bytes, digits, 8);
        r.Status = 29;
        std::memcpy(data, &r, sizeof(r));
    }
    return 1;
}

NTSTATUS Request(PZAR_DEVICE_EXTENSION ext, ULONG code, bool internal, void* buffer, ULONG length, UCHAR minor = 0)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, ext->DeviceObject, buffer, length, buffer, length, internal, &done,
                                             &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    NTSTATUS status = IoCallDriver(ext->DeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("timecode_capture");
    uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000;
    BenchMachine machine("zar-bench");
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    sim::Board& board = machine.Board();
    ext->FpgaState = 1;  // the chip answers without the FPGAs in the simulation

    ZarSetIntMode(ext, ZAR_INT_FIELD | ZAR_INT_SHARED_LINE, TRUE);
    SecondsFor(board, 200);  // warm up
    const double idle = SecondsFor(board, fields) / double(fields);

    ZarICS2008A_Initialize(ext);  // chip reset: its interrupt on
    for (ULONG stream : {ZAR_STREAM_MASTER_CLOCK, ZAR_STREAM_LTC_READER, ZAR_STREAM_LTC_GENERATOR, ZAR_STREAM_BURN_IN}) {
        TANDREL_STREAM_CONNECT c{stream, Client, nullptr};
        if (!NT_SUCCESS(Request(ext, IOCTL_ZAR_INTERNAL_CONNECT_STREAM, true, &c, sizeof(c)))) return 1;
    }
    LONG gain = -6;
    Request(ext, IOCTL_ZAR_TANDREL_LTC_GENERATOR_SET_GAIN, false, &gain, 4, ZAR_STREAM_LTC_GENERATOR);
    ULONG show = 1;
    Request(ext, IOCTL_ZAR_TANDREL_BURNIN_SHOW_HIDE, false, &show, 4, ZAR_STREAM_BURN_IN);

    std::vector<uint8_t> preview(360 * 243 * 4);
    ZAR_HPS_CAPTURE_REQUEST r{};
    r.Kind = 1;
    r.Fields = 1;
    r.Width = 360;
    r.Height = 243;
    r.Pitch = 360 * 4;
    r.BufferSize = ULONG(preview.size());
    r.BufferAddress = ULONG(reinterpret_cast<ULONG_PTR>(preview.data()));
    r.Contrast = 64;
    r.Brightness = 128;
    r.Saturation = 64;
    if (!NT_SUCCESS(Request(ext, IOCTL_ZAR_HPS_CAPTURE, false, &r, sizeof(r)))) {
        std::fprintf(stderr, "timecode_capture: the continuous capture did not start\n");
        return 1;
    }
    SecondsFor(board, 200);
    const ULONG runsBefore = ext->TimeCode.FieldDpcRuns;
    const uint64_t capturedBefore = board.Capture().FieldsTransferred();
    const double busy = SecondsFor(board, fields) / double(fields);
    const ULONG runs = ext->TimeCode.FieldDpcRuns - runsBefore;
    const uint64_t captured = board.Capture().FieldsTransferred() - capturedBefore;

    const double period = 1001.0 / 60000.0;
    std::printf("time code and capture: %llu fields a run, 525 lines\n", (unsigned long long)fields);
    std::printf("  idle field:                                      %8.2f us\n", idle * 1e6);
    std::printf("  time-code exchange, burn-in, continuous capture: %8.2f us (ratio %.1f to the idle field)\n",
                busy * 1e6, busy / idle);
    std::printf("  %lu exchanges, %llu fields captured; extra a field %.2f us = %.3f%% of the %.2f ms period\n",
                (unsigned long)runs, (unsigned long long)captured, (busy - idle) * 1e6, 100.0 * (busy - idle) / period,
                period * 1e3);
    return 0;
}

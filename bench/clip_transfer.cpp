// Benchmark: the library's play transfer and video record threads at work
// together. A clip recorded first through the library plays from the media
// volume through JPEG unit 1 (a clip stream, its transfer thread feeding the
// board ahead of the field clock) while unit 0 records the video input into
// a second clip (the video record thread). Reported: the CPU time of each
// thread a field (its own driver requests included, which run on the
// calling thread) against the field period, beside the driver's interrupt
// work a field in the same run (the kernel's account, as jpeg_fields
// reports it).
//
//   clip_transfer [fields]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/bench_board.h"
#include "bench/bench_host.h"
#include "bench/bench_mediafs.h"
#include "include/zarfs.h"
#include "include/zarkd_jpeg.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_clip_item.h"
#include "lib/play/zar_clip_stream.h"
#include "lib/play/zar_record.h"
#include "lib/play/zar_transfer.h"
#include "sim/board.h"

namespace {

constexpr uint32_t kDrives = 2;
constexpr uint32_t kUpperSize = 60;

bool Control(CBoardConnection& c, uint32_t code, void* block, uint32_t bytes)
{
    DWORD returned = 0;
    return DeviceIoControl(c.m_hBoard, code, block, bytes, block, bytes, &returned, nullptr);
}

// Records 'fields' fields of the video input into a new media clip; the
// record end, or a result below 0.
int32_t Record(CBoardConnection& c, const char16_t* path, uint32_t fields, ZAR_RECORD_END* end)
{
    auto* item = new CClipItem(&c);
    int32_t result = item->CreateFill(path, 2 * kUpperSize, fields / 2, 0, 0);
    if (result == ZAR_OK) {
        ZAR_RECORD_REQUEST request{};
        request.target = item;
        request.out = fields;
        request.upperSize = kUpperSize;
        result = StartVideoRecord(&c, request);
    }
    item->Release();
    if (result != ZAR_OK) return result;
    HANDLE thread = c.m_workers.empty() ? nullptr : c.m_workers.back();
    if (!thread || WaitForSingleObject(thread, 120000) != WAIT_OBJECT_0) return ZAR_E_DRIVER;
    result = StopRecord(&c);
    *end = LastRecordEnd(c.m_board);
    return result != ZAR_OK ? result : end->result;
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("clip_transfer");
    const uint32_t fields = argc > 1 ? uint32_t(std::atoi(argv[1])) & ~1u : 300;
    if (fields < 60) {
        std::fprintf(stderr, "clip_transfer: at least 60 fields\n");
        return 2;
    }
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("clip_transfer-" + std::to_string(getpid()))).string();
    const sim::BoardOptions board = BoardWithDrives(folder, kDrives, 1ull << 20);  // 512 MB a drive, sparse
    sim::BuiltTopology hardware;
    std::string why;
    if (!BootBenchMachine(folder, sim::BoardsLayout(1, 4, board), {"ZARKD", "ZARFSKD"}, &hardware, &why)) {
        std::fprintf(stderr, "clip_transfer: the machine did not start: %s\n", why.c_str());
        std::filesystem::remove_all(folder);
        return 1;
    }
    int status = 1;
    {
        const bool formatted = FormatMediaVolume(kDrives);
        CBoardConnection connection(0);
        ZAR_BOARD_SHARED shared{};
        shared.Standard = 525;
        shared.SystemPrefsBatch = 8;
        shared.MediaDriveLetter = 'P';
        if (!connection.m_pShared) connection.m_pShared = &shared;
        ZAR_JPEG_COMMAND reset{};
        reset.Command = ZAR_JPEG_CMD_RESET;
        reset.Channel = 2;
        hardware.boards[0]->VideoIn().UseMovingTestPattern(30, 24);
        ZAR_RECORD_END first{};
        if (!formatted || !CreateDirectoryA("P:\\KIV\\Media\\Clips", nullptr) ||
            !Control(connection, IOCTL_ZAR_JPEG_COMMAND, &reset, sizeof reset) ||
            Record(connection, u"P:\\KIV\\Media\\Clips\\source.kiv", fields, &first) != ZAR_OK) {
            std::fprintf(stderr, "clip_transfer: the volume or the source clip could not be made\n");
        } else {
            // The source clip on a stream of index 1, cued; then unit 1 plays
            // it while unit 0 records a second clip.
            auto* item = new CClipItem(&connection);
            ZAR_CLIP_ITEM_PARAMS params{};
            auto* stream = new CClipStream(&connection);
            ZAR_CUE_STREAMS cue{};
            cue.Out = int32_t(fields);
            cue.Mode = ZAR_CUE_MODE_NORMAL;
            ZAR_JPEG_COMMAND play{};
            play.Command = ZAR_JPEG_CMD_PLAY;
            play.Channel = 1;
            play.End = fields;
            std::vector<machineinspect::InterruptRunTime> before, after;
            machineinspect::ReadInterruptRunTimes(&before);
            const double machineStart = MachineSeconds();
            ZAR_RECORD_END second{};
            const bool ok = item->Open(u"P:\\KIV\\Media\\Clips\\source.kiv", params, GENERIC_READ) == ZAR_OK &&
                            stream->InsertClip(item, 0) == ZAR_OK && stream->Cue(&connection, cue, 1) == ZAR_OK &&
                            Control(connection, IOCTL_ZAR_JPEG_COMMAND, &play, sizeof play) &&
                            Record(connection, u"P:\\KIV\\Media\\Clips\\second.kiv", fields, &second) == ZAR_OK &&
                            WaitForSingleObject(CClipStream::TransferDoneEvent(0, 1), 120000) == WAIT_OBJECT_0;
            const double machineFields = (MachineSeconds() - machineStart) / kFieldPeriod;
            machineinspect::ReadInterruptRunTimes(&after);
            item->Release();
            stream->Release();
            const ZAR_TRANSFER_END played = LastTransferEnd(0, 1);
            if (!ok || played.reason != ZAR_END_RANGE_DONE) {
                std::fprintf(stderr, "clip_transfer: the play or the second recording failed (end reason %u)\n",
                             played.reason);
            } else {
                machineinspect::InterruptRunTime driver;
                for (const auto& v : machineinspect::RunTimesBetween(before, after))
                    if (v.vector != 0 && v.interrupts > driver.interrupts) driver = v;
                const double period = kFieldPeriod * 1e6;
                const double transferUs = double(played.cpuNs) / 1e3 / fields;
                const double recordUs = double(second.cpuNs) / 1e3 / fields;
                const double driverUs =
                    driver.interrupts ? double(driver.interruptCpuNs + driver.dpcCpuNs) / 1e3 / driver.interrupts : 0;
                std::printf("clip_transfer: %u fields played from the media volume through unit 1 while unit 0 "
                            "recorded %u (%.0f field periods of machine time)\n",
                            fields, second.fieldsWritten, machineFields);
                std::printf("  play transfer thread: %7.2f us CPU a field = %5.2f%% of the %.2f ms field period\n",
                            transferUs, 100 * transferUs / period, period / 1e3);
                std::printf("  video record thread:  %7.2f us CPU a field = %5.2f%%\n", recordUs,
                            100 * recordUs / period);
                std::printf("  both:                 %7.2f us CPU a field = %5.2f%%\n", transferUs + recordUs,
                            100 * (transferUs + recordUs) / period);
                std::printf("  the driver's interrupt and DPCs in the same run: %7.2f us CPU a field = %5.2f%% "
                            "(%llu interrupts)\n",
                            driverUs, 100 * driverUs / period, static_cast<unsigned long long>(driver.interrupts));
                status = 0;
            }
        }
    }
    embedded::ShutdownMachine();
    std::filesystem::remove_all(folder);
    return status;
}

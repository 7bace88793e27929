// Benchmark: the JPEG channels in the field interrupt with both running,
// channel 0 recording (rate control, upper size 60 blocks) and channel 1
// playing back what channel 0 recorded a few fields before, as a share of
// the field period at 525 lines (16.68 ms) and against an idle field; and
// the simulated codecs' speed on those fields against bare libjpeg-turbo.
//
// A machine on the virtual clock runs the board; the driver's per-field work
// is the host time the kernel accounts to the board's interrupt: its service
// routine and the DPCs it queued (the codecs' own work runs in the board's
// field event, outside both). The library's share (fetching the descriptors, handing
// their blocks back, posting the play nodes) runs on the bench's thread
// between fields and is timed apart.
//
// The codecs' speed: host time a field with the field interrupt disabled and
// codec 0 encoding, codec 1 decoding, or neither, interleaved so that a
// change of the host's speed touches them all alike; the time above the
// field clock's own is the codec's. Bare libjpeg-turbo compresses the same
// pattern fields at the run's average scale and decompresses streams the run
// recorded.
//
// The video input carries the moving test pattern, so every field differs.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/bare_jpeg.h"
#include "drivers/board/zar_driver.h"
#include "include/zar_jpeg_tables.h"
#include "platform/win32/machine_inspect.h"
#include "bench/bench_machine.h"
#include "platform/nt/machine.h"
#include "sim/pci_layouts.h"
#include "bench/bench_host.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr ULONG kUpperSize = 60;
constexpr ULONG kPlayDelay = 8;   // fields recorded before the play starts
constexpr ULONG kStreamsKept = 60;
constexpr int kChunks = 5;

// The driver's time over a run: the kernel's account of the board's
// interrupt (its service routine and the DPCs it queued).
struct DriverTime {
    double seconds = 0;
    uint64_t interrupts = 0;
};

DriverTime ReadDriverTime()
{
    std::vector<machineinspect::InterruptRunTime> runTimes;
    machineinspect::ReadInterruptRunTimes(&runTimes);
    DriverTime t;
    for (const machineinspect::InterruptRunTime& v : runTimes)
        if (v.vector != 0 && v.interrupts > t.interrupts)
            t = {double(v.interruptNs + v.dpcNs) / 1e9, v.interrupts};
    return t;
}

struct PlayNode {
    ZAR_NODE_RECORD Head;
    ULONG Address;
    ULONG Size;
};

// The library's side: descriptors fetched and released, each recorded field
// posted as the next play node of channel 1.
class Library {
public:
    Library(PZAR_DEVICE_EXTENSION ext, sim::Board& board) : ext_(ext), board_(board) {}

    void Service()
    {
        const auto start = Clock::now();
        ZAR_JPEG_FIELD_DESCRIPTOR d;
        while (ZarJpegGetNextEntry(ext_, ZAR_JPEG_RECORD_CHANNEL, &d) == STATUS_SUCCESS) {
            ++fetched;
            if (d.Size == 0 || d.Dropped) {
                ++dropped;
            } else {
                // From the parity's record bank into the play ring, as the
                // library's disk round trip would bring it.
                bare::Stream s(size_t(d.Size) * ZAR_JPEG_BLOCK_BYTES);
                board_.Memory().Read(d.Address, sim::Sdram::RecordBankMode(d.Parity), 0, s.data(), ULONG(s.size()));
                board_.Memory().Write(playHead_, sim::Sdram::kModeRing, 0, s.data(), ULONG(s.size()));
                ULONG release[2] = {d.Parity, d.Size};
                ZarJpegReleaseSdramField(ext_, release);
                recorded_.push_back({{sizeof(PlayNode), 0, 0, 0, 0}, playHead_, d.Size});
                playHead_ = (playHead_ + d.Size) % ZAR_JPEG_RING_BLOCKS;
                blocks += d.Size;
                scale += ZarJpegQuantiserScale[d.Quantiser & 31];
                ++measured;
                if (keep && streams.size() < kStreamsKept) streams.push_back(std::move(s));
            }
        }
        PZAR_NODE_QUEUE queue = ZarPlyNodeQueue(ext_, ZAR_FX_CHANNEL_VIDEO1);
        while (!recorded_.empty() && ZarPlyQueuedCount(queue) < kPlayDelay) {
            PlayNode node = recorded_.front();
            recorded_.pop_front();
            node.Head.Field = nextPosition_++;
            ZarPlyInsertNodes(ext_, ZAR_FX_CHANNEL_VIDEO1, &node, 1);
        }
        seconds += bare::SecondsSince(start);
    }
    size_t Waiting() const { return recorded_.size(); }

    double seconds = 0;
    ULONG fetched = 0, dropped = 0, measured = 0;
    uint64_t blocks = 0, scale = 0;
    bool keep = false;
    std::vector<bare::Stream> streams;

private:
    ULONG playHead_ = 0;
    PZAR_DEVICE_EXTENSION ext_;
    sim::Board& board_;
    std::deque<PlayNode> recorded_;
    ULONG nextPosition_ = 0;
};

void RunFields(sim::Board& board, uint64_t fields, Library* library)
{
    for (uint64_t target = board.Clock().FieldCount() + fields; board.Clock().FieldCount() < target;) {
        nt::ClockRunFor(sim::FieldClock::FieldsToNs(525, 1));
        if (library) library->Service();
    }
    nt::ClockRunUntilIdle();
}

// The driver's seconds a field over a run.
double DriverSecondsAField(sim::Board& board, uint64_t fields, Library* library)
{
    const double before = ReadDriverTime().seconds;
    RunFields(board, fields, library);
    return (ReadDriverTime().seconds - before) / double(fields);
}

// Host seconds a field of one run with the bench's thread idle.
double SecondsAField(sim::Board& board, uint64_t fields)
{
    const auto start = Clock::now();
    RunFields(board, fields, nullptr);
    return bare::SecondsSince(start) / double(fields);
}

NTSTATUS Command(PZAR_DEVICE_EXTENSION ext, ULONG command, ULONG channel, ULONG start = 0, ULONG end = 0)
{
    ZAR_JPEG_COMMAND c = {};
    c.Command = command;
    c.Channel = channel;
    c.Start = start;
    c.End = end;
    if (command == ZAR_JPEG_CMD_RECORD) {
        c.RateMode = 1;
        c.UpperSize[0] = c.UpperSize[1] = kUpperSize;
        c.End = ZAR_JPEG_NO_OUT_POINT;
    }
    return ZarJpegCommand(ext, &c);
}

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("jpeg_fields");
    const uint64_t fields = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
    BenchMachine machine("zar-bench");
    if (!machine.Boot(sim::BoardsLayout(1), nt::ClockMode::Virtual)) return 1;
    PZAR_DEVICE_EXTENSION ext = machine.Extension();
    sim::Board& board = machine.Board();
    ext->Standard = ULONG(board.Options().standard);
    ZarSetLineCounts(ext);
    board.VideoIn().UseMovingTestPattern(30, 24);

    // An idle field first: the interrupt with every channel idle.
    ZarSetIntMode(ext, ZAR_INT_FIELD, TRUE);
    RunFields(board, 60, nullptr);
    const double idleField = DriverSecondsAField(board, fields, nullptr);

    // Record, and once a few fields are in, play them back on channel 1.
    Library library(ext, board);
    ZAR_CHANNEL_STATUS reset = {};
    for (ULONG channel : {ZAR_JPEG_RECORD_CHANNEL, ZAR_FX_CHANNEL_VIDEO1}) {
        reset.Channel = channel;
        ZarPlyResetPlaylist(ext, &reset);
    }
    if (!NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_RESET, 2)) || !NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_RECORD, 0))) {
        std::fprintf(stderr, "jpeg_fields: the record did not start\n");
        return 1;
    }
    while (library.Waiting() < kPlayDelay) RunFields(board, 1, &library);
    library.Service();
    if (!NT_SUCCESS(Command(ext, ZAR_JPEG_CMD_PLAY, 1, 0, 0x7FFFFFFF))) {
        std::fprintf(stderr, "jpeg_fields: the play did not start\n");
        return 1;
    }
    RunFields(board, 60, &library);  // warm up

    sim::JpegCodec& encoder = board.Jpeg().Codec(0);
    sim::JpegCodec& decoder = board.Jpeg().Codec(1);
    const uint64_t encodedBefore = encoder.FieldsEncoded(), decodedBefore = decoder.FieldsDecoded();
    const ULONG lateBefore = ext->Jpeg.Channel[1].State.DroppedFields;
    const uint64_t interruptsBefore = ReadDriverTime().interrupts;
    library.keep = true;
    library.blocks = library.scale = library.measured = library.fetched = 0;
    library.seconds = 0;
    const double busyField = DriverSecondsAField(board, fields, &library);
    const uint64_t interrupts = ReadDriverTime().interrupts - interruptsBefore;
    const uint64_t encoded = encoder.FieldsEncoded() - encodedBefore, decoded = decoder.FieldsDecoded() - decodedBefore;
    const LONG recordState = ext->Jpeg.Channel[0].State.StateWord, playState = ext->Jpeg.Channel[1].State.StateWord;
    const ULONG late = ext->Jpeg.Channel[1].State.DroppedFields - lateBefore;

    // The codecs without the driver: they stay in real time on the addresses
    // they were last given.
    ZarSetIntMode(ext, ZAR_INT_FIELD, FALSE);
    const uint16_t control = uint16_t(board.Jpeg().CodecControl() & ~3u);
    const uint16_t realtime[] = {sim::jpeg::kControlRealtime0, sim::jpeg::kControlRealtime1, 0};
    double best[3] = {1e9, 1e9, 1e9};
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        for (int k = 0; k < 3; ++k) {
            board.Regs().Write(sim::jpeg::kCodecControl, uint16_t(control | realtime[k]));
            best[k] = std::min(best[k], SecondsAField(board, fields / kChunks));
        }
    }
    const double encodeOnly = best[0], decodeOnly = best[1], idle = best[2];

    const double period = 1001.0 / 60000.0;
    const double averageBlocks = library.measured ? double(library.blocks) / library.measured : 0;
    const double averageScale = library.measured ? double(library.scale) / library.measured : 22;
    std::printf("jpeg fields: %llu fields a run, 525 lines, moving pattern\n", static_cast<unsigned long long>(fields));
    std::printf("  channel 0 recording (upper size %lu blocks): %llu fields encoded, average %.1f blocks, %lu "
                "dropped, state %ld\n",
                static_cast<unsigned long>(kUpperSize), static_cast<unsigned long long>(encoded), averageBlocks,
                static_cast<unsigned long>(library.dropped), static_cast<long>(recordState));
    std::printf("  channel 1 playing them back: %llu fields decoded, %lu late, %llu decode errors, state %ld\n",
                static_cast<unsigned long long>(decoded), static_cast<unsigned long>(late),
                static_cast<unsigned long long>(decoder.DecodeErrors()), static_cast<long>(playState));
    std::printf("  driver per field (ZarIsr + the DPCs it queued, the kernel's account), %llu interrupts:\n", static_cast<unsigned long long>(interrupts));
    std::printf("    idle field:            %7.2f us = %.4f%% of the %.2f ms field period\n", idleField * 1e6,
                100.0 * idleField / period, period * 1e3);
    std::printf("    both channels running: %7.2f us = %.4f%% of the field period (%.1fx the idle field)\n",
                busyField * 1e6, 100.0 * busyField / period, busyField / idleField);
    std::printf("  library's share (descriptors, releases, nodes): %.2f us per field\n",
                library.seconds / double(fields) * 1e6);

    // The codecs against bare libjpeg-turbo on the same fields: the pattern's
    // fields at the run's average scale, and the streams the run recorded.
    const sim::VideoFeed& feed = board.VideoIn();
    std::vector<const sim::VideoField*> inputs;
    for (uint64_t f = 1; f <= 2 * feed.FrameCount(); ++f) inputs.push_back(&feed.Field(f));
    const int quality = bare::QualityForScale(averageScale);
    double bareEncode = 0, bareDecode = 0;
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        bareEncode = std::max(bareEncode, bare::EncodeRate(inputs, quality, 1));
        bareDecode = std::max(bareDecode, bare::DecodeRate(library.streams, feed.Geometry(), 1));
    }
    auto simRate = [idle](double secondsAField) { return 1.0 / std::max(secondsAField - idle, 1e-9); };
    const double simEncode = simRate(encodeOnly), simDecode = simRate(decodeOnly);
    std::printf("  fields a second, best of %d (sim: host time a field above the field clock's own %.1f us):\n", kChunks,
                idle * 1e6);
    std::printf("    encode: sim %8.1f, bare libjpeg-turbo %8.1f (quality %d), ratio %.2f\n", simEncode, bareEncode,
                quality, simEncode / bareEncode);
    std::printf("    decode: sim %8.1f, bare libjpeg-turbo %8.1f (%zu recorded streams), ratio %.2f\n", simDecode,
                bareDecode, library.streams.size(), simDecode / bareDecode);

    return 0;
}

// Fields a second through the simulated JPEG codecs, driven by the field
// clock with their registers as a driver programmes them, against bare
// libjpeg-turbo (TurboJPEG, planar 4:2:2) compressing and decompressing the
// same field at the equivalent quality. The ratio is simulated / bare.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/bare_jpeg.h"
#include "sim/board.h"
#include "tests/support/fake_host.h"
#include "tests/support/jpeg_programme.h"
#include "bench/bench_host.h"

using namespace sim;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct SimBoard {
    simtest::FakeHost host;
    Board board;
    explicit SimBoard(int standard) : board([standard] {
        BoardOptions o;
        o.standard = standard;
        return o;
    }())
    {
        board.Attach(&host);
        board.Reset();
        for (uint16_t v : {0x4, 0xC, 0x8, 0xC}) board.Regs().Write(jpeg::kCodecControl, v);
        for (int c = 0; c < 2; ++c)
            for (auto [reg, value] : simtest::CodecProgramme(standard, c == 0)) {
                board.Regs().Write(jpeg::kPortBase[c], uint16_t(reg >> 8));
                board.Regs().Write(jpeg::kPortBase[c] + 4, uint16_t(reg));
                board.Regs().Write(jpeg::kPortBase[c] + 8, value);
            }
    }
    // Copies the field codec 0 recorded (record bank 0, block 0) to the
    // ring's block 0, where codec 1 plays from.
    void PlaceRecordedFieldInRing()
    {
        const uint32_t bytes = board.Jpeg().Codec(0).StoredBytes();
        std::vector<uint8_t> field(bytes);
        board.Memory().Read(0, Sdram::RecordBankMode(0), 0, field.data(), bytes);
        board.Memory().Write(0, Sdram::kModeRing, 0, field.data(), bytes);
    }
    // Runs 'fields' fields with the given codecs in real time: codec 0
    // records at block 0, codec 1 plays what it recorded. Fields a second.
    double Run(uint16_t realtime, int fields)
    {
        board.Regs().Write(jpeg::kSdramAddress[0], 0);
        board.Regs().Write(jpeg::kSdramAddress[1], 0);
        board.Regs().Write(jpeg::kDirection, 1);
        board.Regs().Write(jpeg::kCodecControl, uint16_t(0xC | realtime));
        host.RunUntil(board.Clock().NextFieldTime());
        host.RunUntil(board.Clock().NextFieldTime());  // something to play
        auto start = Clock::now();
        for (int i = 0; i < fields; ++i) host.RunUntil(board.Clock().NextFieldTime());
        double s = Seconds(start);
        board.Regs().Write(jpeg::kCodecControl, 0xC);
        host.RunUntil(board.Clock().NextFieldTime());
        return fields / s;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    PrintHowRun("codec_throughput");
    const int fields = argc > 1 ? std::atoi(argv[1]) : 600;
    std::printf("codec throughput, %d fields a run (real time needs 59.94 a second per codec at 525 lines)\n", fields);
    std::printf("%-8s %-7s %12s %12s %7s\n", "lines", "work", "sim f/s", "bare f/s", "ratio");
    for (int standard : {525, 625}) {
        SimBoard sim(standard);
        double simEncode = sim.Run(jpeg::kControlRealtime0, fields);
        // Decode only: codec 1 plays, from the ring's block 0, the field
        // codec 0 left in its record bank.
        sim.PlaceRecordedFieldInRing();
        const uint64_t errorsBefore = sim.board.Jpeg().Codec(1).DecodeErrors();
        double simDecode = sim.Run(jpeg::kControlRealtime1, fields);
        if (sim.board.Jpeg().Codec(1).DecodeErrors() != errorsBefore) {
            std::fprintf(stderr, "codec_throughput: codec 1 failed to decode the recorded field\n");
            return 1;
        }
        double simBoth = sim.Run(jpeg::kControlRealtime0 | jpeg::kControlRealtime1, fields);

        // Bare: the same field at the initial scale of the programme (22/64
        // of its tables, libjpeg's quality 83).
        const VideoField& in = sim.board.VideoIn().Field(1);
        std::vector<bare::Stream> streams;
        double bareEncode = bare::EncodeRate({&in}, bare::QualityForScale(22), fields, &streams);
        double bareDecode = bare::DecodeRate(streams, in.Geometry(), fields);
        const unsigned long size = streams[0].size();

        std::printf("%-8d %-7s %12.1f %12.1f %7.2f\n", standard, "encode", simEncode, bareEncode, simEncode / bareEncode);
        std::printf("%-8d %-7s %12.1f %12.1f %7.2f\n", standard, "decode", simDecode, bareDecode, simDecode / bareDecode);
        double bareBoth = 1.0 / (1.0 / bareEncode + 1.0 / bareDecode);
        std::printf("%-8d %-7s %12.1f %12.1f %7.2f\n", standard, "both", simBoth, bareBoth, simBoth / bareBoth);
        std::printf("%-8d field of %lu bytes (bare), %u bytes (codec 0)\n", standard, size,
                    sim.board.Jpeg().Codec(0).StoredBytes());
    }
    return 0;
}

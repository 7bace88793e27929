// The simulated time-code chip on a virtual clock: its register file through
// the ports, the interrupt at the programmed line and its release, the LTC
// generator's biphase-mark output checked by a decoder written here, the
// reader fed by loop-back or by frames fed in, VITC and the burn-in keyer.
#include "sim/timecode_chip.h"

#include <gtest/gtest.h>

#include "tests/support/fake_host.h"
#include "tests/support/ltc_decoder.h"
#include "sim/board.h"

using namespace sim;
using namespace sim::timecode;

namespace {

struct ChipFixture : ::testing::Test {
    simtest::FakeHost host;
    Board board{};
    TimeCodeChip& chip = board.TimeCode();
    BoardRegs& regs = board.Regs();

    void SetUp() override
    {
        board.Attach(&host);
        board.Reset();
    }
    void WriteIndirect(int first, std::initializer_list<uint8_t> bytes)
    {
        regs.Write(kIndexPort, uint16_t(first | kIndexAutoIncrement));
        for (uint8_t b : bytes) regs.Write(kDataPort, b);
    }
    uint8_t ReadIndirect(int index)
    {
        regs.Write(kIndexPort, uint16_t(index));
        return uint8_t(regs.Read(kDataPort));
    }
    void RunFields(int n)
    {
        uint64_t target = board.Clock().FieldCount() + n;
        while (board.Clock().FieldCount() < target) host.Step();
    }
};

LtcFrame Code(int h, int m, int s, int f)
{
    return {uint8_t(f % 10), uint8_t(f / 10), uint8_t(s % 10), uint8_t(s / 10),
            uint8_t(m % 10), uint8_t(m / 10), uint8_t(h % 10), uint8_t(h / 10)};
}

}  // namespace

TEST_F(ChipFixture, IndirectFileAutoIncrementsOnlyWhenAsked)
{
    WriteIndirect(8, {1, 2, 3, 4, 5, 6, 7, 8});
    for (int i = 0; i < 8; ++i) EXPECT_EQ(chip.Indirect(8 + i), i + 1);
    // A read run with auto-increment walks the registers ...
    regs.Write(kIndexPort, 8 | kIndexAutoIncrement);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(regs.Read(kDataPort), i + 1);
    // ... a plain index stays put; the index wraps at 63.
    regs.Write(kIndexPort, 10);
    EXPECT_EQ(regs.Read(kDataPort), 3);
    EXPECT_EQ(regs.Read(kDataPort), 3);
    WriteIndirect(63, {0xAA, 0xBB});
    EXPECT_EQ(chip.Indirect(63), 0xAA);
    EXPECT_EQ(chip.Indirect(0), 0xBB);
}

TEST_F(ChipFixture, InterruptFallsAtTheProgrammedLineAndReadingRegisterZeroReleasesIt)
{
    WriteIndirect(kVideoSetup, {0x15, 22});  // line 23
    regs.Write(kDirect0, kDirect0InterruptEnable);
    RunFields(1);
    uint64_t fieldStart = host.Now();
    EXPECT_FALSE(chip.InterruptAsserted());
    host.Step();  // the chip's event comes before the next field
    EXPECT_TRUE(chip.InterruptAsserted());
    EXPECT_NEAR(double(host.Now() - fieldStart), 23 * 63'555.6, 30.0);  // a line is 63.5556 us
    EXPECT_TRUE(regs.SourceAsserted(BoardIrqSource::TimeCode));
    EXPECT_TRUE(regs.Read(kDirect0) & kDirect0TimeCodeInterrupt);
    EXPECT_FALSE(regs.SourceAsserted(BoardIrqSource::TimeCode));
    EXPECT_FALSE(regs.Read(kDirect0) & kDirect0TimeCodeInterrupt);

    // Disabled: fields pass without an interrupt.
    regs.Write(kDirect0, 0);
    uint64_t before = chip.InterruptCount();
    RunFields(4);
    host.RunUntil(host.Now() + 5'000'000);
    EXPECT_EQ(chip.InterruptCount(), before);
}

TEST_F(ChipFixture, LtcGeneratorWritesABiphaseStreamThatDecodesAndLoopsBackToTheReader)
{
    WriteIndirect(kLtcGain, {0x0C});
    std::vector<LtcFrame> sent;
    for (int frame = 0; frame < 40; ++frame) {
        // Load the next code, then run to the next frame start.
        LtcFrame code = Code(1, 0, frame / 30, frame % 30);
        code[0] |= 0x50;  // user bits ride along in the high nibbles
        code[7] |= 0xA0;
        WriteIndirect(kLtcGenerator, {code[0], code[1], code[2], code[3], code[4], code[5], code[6], code[7]});
        do RunFields(1);
        while (board.Clock().Parity() != 1);
        sent.push_back(code);
        if (frame > 0) {
            // The frame sent during the frame that just ended is in the reader.
            for (int b = 0; b < 8; ++b) ASSERT_EQ(chip.Indirect(kLtcReader + b), sent[frame - 1][b]) << frame;
            EXPECT_TRUE(chip.Direct(1) & kDirect1LtcPresent);
        }
    }
    std::vector<LtcFrame> decoded = ltctest::DecodeAll(chip.TakeLtcOutput());
    ASSERT_EQ(decoded.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(decoded[i], sent[i]) << i;

    // Output off: nothing on the wire, and the reader loses the code.
    WriteIndirect(kLtcGain, {0});
    RunFields(4);
    EXPECT_TRUE(chip.TakeLtcOutput().empty());
    EXPECT_FALSE(chip.Direct(1) & kDirect1LtcPresent);
}

TEST_F(ChipFixture, ReaderDecodesFedFramesOnePerFrame)
{
    chip.SetLtcSource(TimeCodeChip::LtcSource::Fed);
    chip.FeedLtc(Code(10, 59, 59, 29));
    chip.FeedLtc(Code(11, 0, 0, 0));
    std::vector<LtcFrame> seen;
    for (int i = 0; i < 8; ++i) {
        RunFields(1);
        if (board.Clock().Parity() == 1 && (chip.Direct(1) & kDirect1LtcPresent)) {
            LtcFrame f;
            for (int b = 0; b < 8; ++b) f[b] = chip.Indirect(kLtcReader + b);
            seen.push_back(f);
        }
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], Code(10, 59, 59, 29));
    EXPECT_EQ(seen[1], Code(11, 0, 0, 0));
}

TEST_F(ChipFixture, VitcReaderFindsTheGeneratorsLineOrSearches)
{
    struct Case {
        uint8_t generator, reader;
        bool found;
    } cases[] = {
        {0x80 | 4, 0x80 | 4, true},    // same line
        {0x80 | 4, 0x80 | 31, true},   // searching
        {0x80 | 4, 0x80 | 6, false},   // another line
        {0x04, 0x80 | 31, false},      // generator off
        {0x80 | 4, 0x04, false},       // reader off
    };
    for (const Case& c : cases) {
        WriteIndirect(kVitcGenerator, {1, 2, 3, 4, 5, 6, 7, 8});
        WriteIndirect(kVitcGeneratorLines, {c.generator, c.generator});
        WriteIndirect(kVitcReaderLines, {c.reader, c.reader});
        WriteIndirect(kVitcReader, {0, 0, 0, 0, 0, 0, 0, 0});
        RunFields(1);
        EXPECT_EQ(chip.Indirect(kVitcReader + 7), c.found ? 8 : 0) << int(c.generator) << " " << int(c.reader);
        EXPECT_EQ(chip.Indirect(kVitcReader + 8), c.found ? 4 : 0xFF);
    }
}

TEST_F(ChipFixture, BurnInWindowIsKeyedIntoTheOutputPicture)
{
    VideoOutput& out = board.VideoOut();
    for (int p = 0; p < 2; ++p) out.Field(0, p).Fill(100, 128, 128);
    // "01" then six blanks, small cell, at column 10, line 20.
    WriteIndirect(kBurnInColumn, {10, 20, 0xFF, 0xFF, 0xFF, 0x01});
    RunFields(2);
    VideoField f = out.Field(0, 1);
    out.GetKeyer()(1, f);
    auto y = [&](int x, int line) { return f.Y()[line * VideoGeometry::kWidth + x]; };
    EXPECT_EQ(y(29, 19), 100);  // outside the window
    // The "1" glyph's stem (column 2 of the second cell) is lit; the box around it is black.
    EXPECT_EQ(y(30 + 12 + 2 * 2, 20 + 3 * 2), 235);
    EXPECT_EQ(y(30 + 12 * 3, 20 + 3 * 2), 16);

    // Line 0 hides it.
    WriteIndirect(kBurnInLine, {0});
    RunFields(2);
    f = out.Field(0, 1);
    out.GetKeyer()(1, f);
    EXPECT_EQ(y(30 + 12 + 2 * 2, 20 + 3 * 2), 100);
}

// One board as plugged: the host sees the board as the function raising the
// line, power-on starts the fields, and the driver's programmed DEBI
// sequence reaches the board's registers.
#include "sim/board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_host.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

struct BoardFixture : ::testing::Test {
    simtest::FakeHost host;
    Board board;
    void SetUp() override
    {
        board.Attach(&host);
        board.Reset();
    }
    void Write(uint32_t off, uint32_t v) { board.MmioWrite(0, off, v, 4); }
    uint32_t Read(uint32_t off) { return board.MmioRead(0, off, 4); }

    // The driver's programmed accesses: wait for the engine, command, data,
    // upload; for a read, wait again and take the value from the data register.
    void WaitDebiIdle()
    {
        int polls = 0;
        while (Read(kPsr) & kPsrDebiBusy) ASSERT_LT(++polls, 1000);
    }
    void DebiWrite(uint32_t address, uint16_t value)
    {
        WaitDebiIdle();
        Write(kDebiCommand, address | 0x40000);
        Write(kDebiAd, value);
        Write(kMc2, 0x00020002);
    }
    uint16_t DebiRead(uint32_t address)
    {
        WaitDebiIdle();
        Write(kDebiCommand, address | 0x50000);
        Write(kMc2, 0x00020002);
        WaitDebiIdle();
        return uint16_t(Read(kDebiAd) & 0xFFFF);
    }
};

}  // namespace

TEST_F(BoardFixture, SharedLineThroughDebiRaisesTheBoardsInterrupt)
{
    Write(kIer, kIrqSharedLine);
    DebiWrite(0xB840, 0x2);  // SCSI controller unmasked
    EXPECT_EQ(board.Regs().Peek(0xB840), 0x2);

    board.Regs().SetSourceAsserted(BoardIrqSource::Scsi, true);
    EXPECT_TRUE(host.Line(&board)) << "the host knows the plugged board, not the bridge inside it";
    EXPECT_EQ(Read(kPsr) & kPsrSharedLineHigh, 0u);
    EXPECT_EQ(DebiRead(0xBC00) & 0x1000, 0) << "SCSI request shows active low";

    board.Regs().SetSourceAsserted(BoardIrqSource::Scsi, false);
    EXPECT_EQ(Read(kPsr) & kPsrSharedLineHigh, kPsrSharedLineHigh);
    EXPECT_EQ(DebiRead(0xBC00) & 0x1000, 0x1000);
}

TEST_F(BoardFixture, BlockTransfersAreNotTakenForRegisterAccesses)
{
    board.Regs().Write(0x9000, 0x7777);
    Write(kDebiCommand, 0x9000 | (512u << 17));  // a 512-byte transfer
    Write(kDebiAd, 0x1234);
    Write(kMc2, 0x00020002);
    EXPECT_EQ(board.Regs().Peek(0x9000), 0x7777);
    EXPECT_EQ(board.DebiUnit().ImmediateCount(), 0u);
}

TEST_F(BoardFixture, PowerOnStartsFieldsAtTheBoardsStandard)
{
    BoardOptions pal;
    pal.standard = 625;
    pal.subsystemId = 0x0203;
    Board b(pal);
    simtest::FakeHost h;
    h.SetNow(1'000);
    b.Attach(&h);
    b.Reset();
    h.RunUntil(1'000 + 1'000'000'000);
    EXPECT_EQ(b.Clock().FieldCount(), 50u);
    uint32_t sub = 0;
    b.ConfigRead(0x2C, &sub, 4);
    EXPECT_EQ(sub, 0x02035A52u);

    b.PowerOff();
    h.RunUntil(3'000'000'000);
    EXPECT_EQ(b.Clock().FieldCount(), 50u);
}

TEST_F(BoardFixture, TraceShowsWhatTheHardwareSaw)
{
    std::vector<std::string> lines;
    board.SetTraceSink([&](const std::string& l) { lines.push_back(l); });
    board.SetTraceEnabled(true);
    DebiWrite(0xB840, 0x10);
    board.SetTraceEnabled(false);
    size_t whileOn = lines.size();
    DebiWrite(0xB840, 0x0);
    EXPECT_EQ(lines.size(), whileOn) << "switched off: silent";
    bool sawWrite = false;
    for (auto& l : lines) sawWrite |= l == "board-regs: write 0xb840 := 0x0010";
    EXPECT_TRUE(sawWrite);
}

// The programme is drawn when read: a field read late shows what it showed
// at its field, whatever the proc amp, the fade and the input did since.
TEST(BoardProgramme, AFieldReadLateShowsWhatItShowedAtItsField)
{
    struct Case {
        const char* name;
        uint16_t procAmp[5];
        uint16_t fade;
    };
    const Case cases[] = {
        {"gain, black level and offsets, half faded", {100, 150, 30, 10, 0xF0}, 128},
        {"neutral, no fade", {128, 128, 16, 0, 0}, 255},
        {"matte, faded out", {255, 0, 90, 40, 20}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Two boards with the same fields: one read at once, one read after
        // everything it was drawn from changed.
        simtest::FakeHost hosts[2];
        Board boards[2];
        VideoField atOnce[2], late[2];
        for (int b = 0; b < 2; ++b) {
            boards[b].Attach(&hosts[b]);
            boards[b].Reset();
            for (int i = 0; i < 5; ++i) boards[b].Regs().Write(fx::kProcAmp0 + 4 * i, c.procAmp[i]);
            boards[b].Regs().Write(fx::kMasterFade, c.fade);
            hosts[b].RunUntil(boards[b].Clock().NextFieldTime());
            hosts[b].RunUntil(boards[b].Clock().NextFieldTime());
        }
        for (int p = 0; p < 2; ++p) atOnce[p] = boards[0].Effects().Programme().Field(0, p);
        for (int i = 0; i < 5; ++i) boards[1].Regs().Write(fx::kProcAmp0 + 4 * i, 77);
        boards[1].Regs().Write(fx::kMasterFade, 3);
        boards[1].VideoIn().UseMovingTestPattern(4, 16);
        for (int p = 0; p < 2; ++p) late[p] = boards[1].Effects().Programme().Field(0, p);
        for (int p = 0; p < 2; ++p) EXPECT_TRUE(late[p] == atOnce[p]) << "parity " << p;
    }
}

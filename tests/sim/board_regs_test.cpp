// The board's register file: the status word's active-low interrupt bits
// and the shared mask 0xB840 deciding what pulls the bridge's line low.
#include "sim/board_regs.h"

#include <gtest/gtest.h>

#include "tests/support/fake_host.h"
#include "sim/saa7146.h"

using namespace sim;
using namespace sim::board_regs;
using namespace sim::saa7146;

namespace {

struct RegsFixture : ::testing::Test {
    simtest::FakeHost host;
    Saa7146 bridge;
    BoardRegs regs{bridge};
    void SetUp() override
    {
        bridge.Attach(&host);
        bridge.Reset();
        regs.Reset();
    }
    bool LineLow() { return !(bridge.MmioRead(0, kPsr, 4) & kPsrSharedLineHigh); }
};

}  // namespace

TEST_F(RegsFixture, SharedMaskDecidesWhichSourcesPullTheLineLow)
{
    struct Case {
        uint16_t mask;
        BoardIrqSource source;
        bool low;
    } cases[] = {
        {0x00, BoardIrqSource::Scsi, false},
        {kMaskScsi, BoardIrqSource::Scsi, true},
        {kMaskTimeCode, BoardIrqSource::Scsi, false},
        {kMaskTimeCode, BoardIrqSource::TimeCode, true},
        {kMaskDsp, BoardIrqSource::Dsp, true},
        {kMaskScsi | kMaskTimeCode, BoardIrqSource::Dsp, false},
        {0x13, BoardIrqSource::Dsp, true},
    };
    for (const Case& c : cases) {
        SetUp();
        regs.Write(kSharedIrqMask, c.mask);
        EXPECT_FALSE(LineLow());
        regs.SetSourceAsserted(c.source, true);
        EXPECT_EQ(LineLow(), c.low) << "mask " << c.mask;
        EXPECT_EQ((bridge.Isr() & kIrqSharedLine) != 0, c.low) << "mask " << c.mask;
        regs.SetSourceAsserted(c.source, false);
        EXPECT_FALSE(LineLow());
    }
}

TEST_F(RegsFixture, StatusBitsAreActiveLowWhateverTheMask)
{
    EXPECT_EQ(regs.Read(kStatus), kStatusScsiIrqN | kStatusTimeCodeIrqN | kStatusDspIrqN);
    regs.SetSourceAsserted(BoardIrqSource::Scsi, true);  // masked out
    EXPECT_EQ(regs.Read(kStatus) & kStatusScsiIrqN, 0);
    EXPECT_FALSE(LineLow());
    regs.Write(kStatus, 0xFFFF);  // read-only
    EXPECT_EQ(regs.Read(kStatus) & kStatusScsiIrqN, 0);

    regs.SetStatusBits(0x2000 | kStatusScsiIrqN, true);  // another unit's bit; not the IRQ bits
    EXPECT_EQ(regs.Read(kStatus), 0x2000 | kStatusTimeCodeIrqN | kStatusDspIrqN);
}

TEST_F(RegsFixture, MaskingOrUnmaskingAnAssertedSourceMovesTheLine)
{
    regs.SetSourceAsserted(BoardIrqSource::TimeCode, true);
    regs.Write(kSharedIrqMask, kMaskTimeCode);
    EXPECT_TRUE(LineLow());
    regs.Write(kSharedIrqMask, 0);
    EXPECT_FALSE(LineLow());
    EXPECT_EQ(regs.Read(kSharedIrqMask), 0);
}

TEST_F(RegsFixture, OnlyTheFallingEdgeLatchesTheBridgeStatus)
{
    bridge.MmioWrite(0, kIer, kIrqSharedLine, 4);
    regs.Write(kSharedIrqMask, kMaskScsi | kMaskDsp);
    regs.SetSourceAsserted(BoardIrqSource::Scsi, true);
    EXPECT_TRUE(host.Line(&bridge));

    // The interrupt routine acknowledges, then polls while the line stays low.
    bridge.MmioWrite(0, kIsr, kIrqSharedLine, 4);
    EXPECT_FALSE(host.Line(&bridge));
    regs.SetSourceAsserted(BoardIrqSource::Dsp, true);  // no new edge: the line was already low
    EXPECT_EQ(bridge.Isr() & kIrqSharedLine, 0u);
    EXPECT_TRUE(LineLow());

    regs.SetSourceAsserted(BoardIrqSource::Scsi, false);
    regs.SetSourceAsserted(BoardIrqSource::Dsp, false);
    EXPECT_FALSE(LineLow());
    regs.SetSourceAsserted(BoardIrqSource::Dsp, true);
    EXPECT_EQ(bridge.Isr() & kIrqSharedLine, kIrqSharedLine);
    EXPECT_TRUE(host.Line(&bridge));
}

TEST_F(RegsFixture, MappedRangesTakeTheirAccesses)
{
    uint32_t lastWrite = 0;
    regs.MapRange(0xA000, 0xA03C, [](uint32_t a) { return uint16_t(a & 0xFF); },
                  [&](uint32_t a, uint16_t v) { lastWrite = a << 16 | v; });
    regs.Write(0xA008, 0x55);
    EXPECT_EQ(lastWrite, 0xA0080055u);
    EXPECT_EQ(regs.Read(0xA014), 0x14);
    regs.Write(0x5474, 0x1234);  // unowned: plain storage
    EXPECT_EQ(regs.Read(0x5474), 0x1234);
}

// The bridge's GPIO pins as the driver programs them, and the PCI
// burst/threshold registers that user mode tunes.
#include "sim/gpio.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/support/fake_host.h"
#include "sim/board.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

struct GpioFixture : ::testing::Test {
    simtest::FakeHost host;
    Board board;
    Gpio& gpio = board.GpioUnit();
    void SetUp() override
    {
        board.Attach(&host);
        board.Reset();
    }
    void Write(uint32_t off, uint32_t v) { board.MmioWrite(0, off, v, 4); }
    uint32_t Read(uint32_t off) { return board.MmioRead(0, off, 4); }
};

}  // namespace

TEST_F(GpioFixture, ModesDriveThePinsAndReadBackWithTheirLevels)
{
    EXPECT_EQ(Read(kGpioCtrl), 0x04040404u) << "after reset: inputs, pulled high";

    Write(kGpioCtrl, 0x20500050);   // the bridge set-up's value
    EXPECT_TRUE(gpio.IsOutput(0));
    EXPECT_FALSE(gpio.IsOutput(1));
    EXPECT_TRUE(gpio.IsOutput(2));
    EXPECT_FALSE(gpio.IsOutput(3));
    EXPECT_EQ(Read(kGpioCtrl), 0x24540454u);

    gpio.SetInput(1, false);        // an input follows the board
    gpio.SetInput(2, false);        // an output does not
    EXPECT_FALSE(gpio.Level(1));
    EXPECT_TRUE(gpio.Level(2));
    EXPECT_EQ(Read(kGpioCtrl), 0x24540054u);

    Write(kGpioCtrl, 0x20000050);   // pin 2 back to input: now it sees the board
    EXPECT_FALSE(gpio.Level(2));

    Write(kMc1, 0x80000000);        // master reset: every pin an input again
    Write(kMc1, 0x80008000);
    EXPECT_FALSE(gpio.IsOutput(0));
    EXPECT_TRUE(gpio.Level(0));
}

TEST_F(GpioFixture, TheFpgaProgrammingPulseReachesAWatcher)
{
    std::vector<std::pair<int, bool>> seen;
    gpio.Watch(0, [&](int pin, bool level) { seen.push_back({pin, level}); });
    Write(kGpioCtrl, 0x20500050);
    EXPECT_TRUE(seen.empty()) << "input pulled high to output high: no edge";

    // The loader's pulse, read-modify-write on the register as read back.
    uint32_t word = Read(kGpioCtrl);
    Write(kGpioCtrl, (word & ~0xAFu) | 0x50);
    Write(kGpioCtrl, (Read(kGpioCtrl) & ~0xBFu) | 0x40);
    Write(kGpioCtrl, (Read(kGpioCtrl) & ~0xAFu) | 0x50);
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{0, false}, {0, true}}));
    EXPECT_EQ(gpio.Edges(0), 2u);
    EXPECT_EQ(Read(kGpioCtrl) & 0xFFFFFF00u, 0x24540400u) << "the other pins are untouched";
}

TEST_F(GpioFixture, BurstThresholdRegistersKeepOnlyTheirFields)
{
    struct Case {
        uint32_t offset, written, read;
    } cases[] = {
        {kPciBtV1, 0x100C0C10, 0x100C0C10},   // start-up defaults read back whole
        {kPciBtA, 0x13111311, 0x13111311},
        {kPciBtV1, 0xFFFFFFFF, kPciBtV1Fields},
        {kPciBtA, 0xFFFFFFFF, kPciBtAFields},
        {kPciBtV1, 0x03000000, 0},            // V1 has no field in bits 24-25
        {kPciBtA, 0xE0E0E0E0, 0},             // reserved bits 5-7 of every byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        Write(c.offset, c.written);
        EXPECT_EQ(Read(c.offset), c.read);
    }
    Write(kMc1, 0x80000000);
    EXPECT_EQ(Read(kPciBtV1), 0u);
}

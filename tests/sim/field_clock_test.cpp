// The field clock on a virtual clock: rate, parity in PSR bit 8, the field
// status latch and the line gated by IER.
#include "sim/field_clock.h"

#include <gtest/gtest.h>

#include "tests/support/fake_host.h"
#include "sim/saa7146.h"

using namespace sim;
using namespace sim::saa7146;

namespace {

// A bridge and its field clock on a host of their own, for tables of cases;
// the clock is powered on by the case.
struct BridgeClock {
    simtest::FakeHost host;
    Saa7146 bridge;
    FieldClock clock;
    explicit BridgeClock(int standard) : clock(bridge, standard)
    {
        bridge.Attach(&host);
        bridge.Reset();
    }
};

struct ClockFixture : ::testing::Test {
    simtest::FakeHost host;
    Saa7146 bridge;
    void PowerOn(FieldClock& clock)
    {
        bridge.Attach(&host);
        bridge.Reset();
        clock.PowerOn(&host);
    }
};

}  // namespace

TEST_F(ClockFixture, FieldRateOverManyFields)
{
    struct Case {
        int standard;
        uint64_t fields;
        uint64_t atNs;  // when the last of them falls
    } cases[] = {
        {525, 60, 1'001'000'000},       // 60 fields in 1.001 s
        {525, 6000, 100'100'000'000},   // no drift over 100 s
        {625, 50, 1'000'000'000},
        {625, 3000, 60'000'000'000},
    };
    for (const Case& c : cases) {
        BridgeClock one(c.standard);
        simtest::FakeHost& h = one.host;
        FieldClock& clock = one.clock;
        clock.PowerOn(&h);
        h.RunUntil(c.atNs - 1);
        EXPECT_EQ(clock.FieldCount(), c.fields - 1) << c.standard << "/" << c.fields;
        h.RunUntil(c.atNs);
        EXPECT_EQ(clock.FieldCount(), c.fields) << c.standard << "/" << c.fields;
    }
}

TEST_F(ClockFixture, ParityAlternatesAndShowsInvertedInPsr)
{
    FieldClock clock(bridge, 525);
    PowerOn(clock);
    EXPECT_EQ(bridge.Psr() & kPsrFieldParityInverted, kPsrFieldParityInverted) << "before field 1: even";
    for (uint64_t n = 1; n <= 9; ++n) {
        ASSERT_TRUE(host.Step());
        int parity = int(n & 1);  // the first field is odd
        EXPECT_EQ(clock.FieldCount(), n);
        EXPECT_EQ(clock.Parity(), parity);
        bool bit8 = (bridge.MmioRead(0, kPsr, 4) & kPsrFieldParityInverted) != 0;
        EXPECT_EQ(bit8, parity == 0) << "field " << n;
    }
}

TEST_F(ClockFixture, FieldStatusLatchesAlwaysLineOnlyWhenEnabled)
{
    FieldClock clock(bridge, 625);
    PowerOn(clock);
    host.RunUntil(FieldClock::FieldsToNs(625, 3));
    EXPECT_EQ(bridge.Isr(), kIrqField);
    EXPECT_TRUE(host.changes.empty()) << "disabled: no line while fields run";

    bridge.MmioWrite(0, kIsr, kIrqField, 4);
    bridge.MmioWrite(0, kIer, kIrqField, 4);
    EXPECT_FALSE(bridge.InterruptLine());
    host.Step();
    EXPECT_TRUE(host.Line(&bridge));
    EXPECT_EQ(host.changes.back().time, FieldClock::FieldsToNs(625, 4));

    // Acknowledged; the next field raises it again (level, not a pulse).
    bridge.MmioWrite(0, kIsr, kIrqField, 4);
    EXPECT_FALSE(host.Line(&bridge));
    host.Step();
    EXPECT_TRUE(host.Line(&bridge));
}

TEST_F(ClockFixture, PowerOffStopsAndPowerOnRestartsFromNow)
{
    FieldClock clock(bridge, 525);
    PowerOn(clock);
    host.RunUntil(FieldClock::FieldsToNs(525, 5));
    clock.PowerOff();
    EXPECT_EQ(host.PendingEvents(), 0u);
    host.RunUntil(5'000'000'000);
    EXPECT_EQ(clock.FieldCount(), 5u);

    clock.PowerOn(&host);
    EXPECT_EQ(clock.FieldCount(), 0u);
    EXPECT_EQ(clock.NextFieldTime(), 5'000'000'000 + FieldClock::FieldsToNs(525, 1));
    host.RunUntil(5'000'000'000 + FieldClock::FieldsToNs(525, 2));
    EXPECT_EQ(clock.FieldCount(), 2u);
}

TEST_F(ClockFixture, StandardChangeTakesEffectAfterThePendingField)
{
    FieldClock clock(bridge, 525);
    PowerOn(clock);
    host.RunUntil(FieldClock::FieldsToNs(525, 2));
    uint64_t pending = clock.NextFieldTime();
    clock.SetStandard(625);
    EXPECT_EQ(clock.NextFieldTime(), pending);
    host.Step();
    EXPECT_EQ(clock.FieldCount(), 3u);
    EXPECT_EQ(clock.NextFieldTime(), pending + 20'000'000);
    host.RunUntil(pending + 10 * 20'000'000);
    EXPECT_EQ(clock.FieldCount(), 13u);
}

TEST_F(ClockFixture, AHostThatFellBehindPassesTheMissedFieldsBy)
{
    struct Case {
        int standard;
        double reachedAtFields;  // when the host gets to field 1, in field periods
        uint64_t count;          // fields counted after it
        uint64_t missed;
    } cases[] = {
        {525, 1.5, 1, 0},  // late, but field 2 has not begun: nothing passed
        {525, 5.5, 5, 4},
        {625, 3.0, 3, 2},  // exactly at the start of field 3
        {525, 1000.2, 1000, 999},
    };
    for (const Case& c : cases) {
        BridgeClock one(c.standard);
        simtest::FakeHost& h = one.host;
        FieldClock& clock = one.clock;
        std::vector<uint64_t> heard;
        clock.AddFieldListener([&](uint64_t field, int) { heard.push_back(field); });
        clock.PowerOn(&h);
        const uint64_t period = FieldClock::FieldsToNs(c.standard, 1);
        ASSERT_TRUE(h.StepLate(uint64_t(c.reachedAtFields * double(period))));

        SCOPED_TRACE(testing::Message() << c.standard << " lines, reached at " << c.reachedAtFields);
        EXPECT_EQ(clock.FieldCount(), c.count);
        EXPECT_EQ(clock.MissedFields(), c.missed);
        EXPECT_EQ(heard, std::vector<uint64_t>{c.count}) << "units hear the field that runs, once";
        EXPECT_EQ(clock.Parity(), int(c.count & 1));
        EXPECT_EQ(one.bridge.Isr() & kIrqField, kIrqField);
        EXPECT_EQ(clock.NextFieldTime(), FieldClock::FieldsToNs(c.standard, c.count + 1)) << "back on the grid";
        h.Step();
        EXPECT_EQ(clock.FieldCount(), c.count + 1);
    }
}

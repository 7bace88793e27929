// Vari-play: the pure rules of the ring shared with the library (field
// search, dropping entries at its ends, the fixed-point step), and the
// control codes that map, show and release the block.

#include <gtest/gtest.h>

#include <memory>

#include "drivers/board/zar_driver.h"
#include "tests/drivers/board/zarkd_ioctl_machine.h"

namespace {

constexpr ULONG kOne = 1u << ZAR_VARIPLAY_FRACTION_BITS;

// A ring whose entries low..high hold fields 100 + 2 x (index - low).
std::unique_ptr<ZAR_VARIPLAY_BLOCK> Ring(ULONG low, ULONG high, ULONG head)
{
    auto b = std::make_unique<ZAR_VARIPLAY_BLOCK>();
    std::memset(b.get(), 0, sizeof(*b));
    for (ULONG i = low;; i = (i + 1) % ZAR_VARIPLAY_ENTRIES) {
        b->Entry[i].Field = 100 + 2 * ((i - low) % ZAR_VARIPLAY_ENTRIES);
        b->Entry[i].Address = i * 10;
        if (i == high) break;
    }
    b->Control.Low = low;
    b->Control.High = high;
    b->Control.Head = b->Control.PreviousHead = head;
    return b;
}

TEST(ZarkdVariPlayRules, FieldSearchLooksSixEntriesEachWayElseGivesTheNearerEnd)
{
    auto b = Ring(10, 40, 20);  // fields 100..160; head holds 120
    struct Row {
        ULONG field, fraction;
        BOOLEAN found;
        ULONG position;
    } rows[] = {
        {120, 0x123, TRUE, 20 * kOne | 0x123},           // the head
        {132, 0, TRUE, 26 * kOne},                      // six ahead
        {108, 5, TRUE, 14 * kOne | 5},                  // six behind
        {134, 0, FALSE, 40 * kOne},                     // seven ahead: out of reach; 26 from the high end, 34 from the low
        {170, 0, FALSE, 40 * kOne},                     // past the newest: the high end
        {90, 0, FALSE, 10 * kOne | 0x7FFFF},            // before the oldest: the low end
    };
    for (const Row& r : rows) {
        ULONG out = 0;
        EXPECT_EQ(ZarVariPlayFindField(b.get(), (ULONGLONG(r.field) << 19) | r.fraction, &out), r.found) << r.field;
        EXPECT_EQ(out, r.position) << r.field;
    }
    // With a loop, a distance counts the short way round.
    b->Control.Loop = 1;
    b->Control.LoopLength = 100;
    ULONG out = 0;
    EXPECT_FALSE(ZarVariPlayFindField(b.get(), ULONGLONG(195) << 19, &out));
    EXPECT_EQ(out, 10 * kOne | 0x7FFFF) << "195 is 5 from 100 round the loop, 35 from 160";
}

TEST(ZarkdVariPlayRules, EntriesAreDroppedAtTheEndsUnlessTheHeadIsThere)
{
    struct Row {
        const char* what;
        ULONG low, high, head, previous, speed;
        bool oldest, newest;
        ULONG result, newLow, newHigh;
    } rows[] = {
        {"oldest moves towards the head", 10, 40, 20, 20, 0, true, false, 1, 9, 40},
        {"oldest at the head stays", 20, 40, 20, 20, 0, true, false, 0, 20, 40},
        {"oldest at the previous head stays", 15, 40, 20, 15, 0, true, false, 0, 15, 40},
        {"index 0 wraps to 8191", 0, 40, 20, 20, 0, true, false, 1, 8191, 40},
        {"newest moves on", 10, 40, 20, 20, 0, false, true, 1, 10, 41},
        {"newest 8191 wraps to 0", 10, 8191, 20, 20, 0, false, true, 1, 10, 0},
        {"newest would become the head in reverse", 10, 19, 20, 20, ZAR_VARIPLAY_REVERSE, false, true, 0, 10, 19},
        {"the first flag wins", 10, 40, 20, 20, 0, true, true, 1, 9, 40},
        {"neither", 10, 40, 20, 20, 0, false, false, 0, 10, 40},
        {"an empty ring", ZAR_VARIPLAY_EMPTY, 40, 20, 20, 0, true, false, 0, ZAR_VARIPLAY_EMPTY, 40},
    };
    for (const Row& r : rows) {
        ZAR_VARIPLAY_CONTROL c{};
        c.Low = r.low;
        c.High = r.high;
        c.Head = r.head;
        c.PreviousHead = r.previous;
        c.Speed = r.speed;
        EXPECT_EQ(ZarVariPlayInvalidate(&c, r.oldest, r.newest), r.result) << r.what;
        EXPECT_EQ(c.Low, r.newLow) << r.what;
        EXPECT_EQ(c.High, r.newHigh) << r.what;
    }
}

TEST(ZarkdVariPlayRules, TheStepMovesByTheSpeedAndHoldsAtTheBounds)
{
    struct Row {
        const char* what;
        ULONG position, speed;
        ULONG expected, hold, oneField;
    } rows[] = {
        {"normal speed: one entry", 20 * kOne, ZAR_VARIPLAY_NORMAL_SPEED, 21 * kOne, 0, 1},
        {"half speed: half an entry", 20 * kOne, kOne / 2, 20 * kOne + kOne / 2, 0, 0},
        {"reverse", 20 * kOne, ZAR_VARIPLAY_REVERSE | kOne, 19 * kOne, 0, 1},
        {"a fraction under 16 rounds down", 20 * kOne, kOne + 10, 21 * kOne, 0, 0},
        {"a fraction near whole rounds up", 20 * kOne, 2 * kOne - 8, 22 * kOne, 0, 0},
        {"past the newest: held at it", 39 * kOne, 3 * kOne, 40 * kOne | 0x7FFFF, 1, 0},
        {"before the oldest in reverse: held at it", 11 * kOne, ZAR_VARIPLAY_REVERSE | 3 * kOne, 10 * kOne, 1, 0},
    };
    for (const Row& r : rows) {
        auto b = Ring(10, 40, 20);
        b->Control.Position = r.position;
        b->Control.Speed = r.speed;
        ZarVariPlayStep(b.get());
        EXPECT_EQ(b->Control.Position, r.expected) << r.what;
        EXPECT_EQ(b->Control.Hold, r.hold) << r.what;
        EXPECT_EQ(b->Control.OneFieldStep, r.oneField) << r.what;
    }
    // A marked entry at the bound does not hold the channel.
    auto b = Ring(10, 40, 20);
    b->Entry[40].Flags = ZAR_VARIPLAY_MARK;
    b->Control.Position = 39 * kOne;
    b->Control.Speed = 3 * kOne;
    ZarVariPlayStep(b.get());
    EXPECT_EQ(b->Control.Hold, 0u);
}

class ZarkdVariPlay : public ZarkdIoctlMachine {};

TEST_F(ZarkdVariPlay, TheBlockIsMappedOnceShownAndReleasedAtCloseOrWithTheHandle)
{
    auto block = Ring(10, 40, 20);
    ULONG init[2] = {0, ULONG(reinterpret_cast<ULONG_PTR>(block.get()))};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_UNSUCCESSFUL) << "already open";
    ULONG badChannel[2] = {2, init[1]};
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, badChannel, 8, badChannel, 8).status, STATUS_INVALID_PARAMETER);
    ULONG faulting[2] = {1, ULONG(reinterpret_cast<ULONG_PTR>(noAccess_))};
    EXPECT_NE(Send(IOCTL_ZAR_VARIPLAY_INIT, faulting, 8, faulting, 8).status, STATUS_SUCCESS);
    EXPECT_FALSE(ZarVariPlayIsMapped(ext_, 1));

    ULONG display[2] = {0, 25};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, display, 8, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(block->Control.Head, 25u);
    EXPECT_EQ(block->Control.Position, 25 * kOne);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.Display.Address, 250u);
    EXPECT_EQ(ext_->Jpeg.Channel[0].State.Display.Position, 130u);
    ULONG outside[2] = {0, 8192};
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_DISPLAY_NODE, outside, 8, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    ULONG drop[4] = {0, 1, 0, 7};
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INVALIDATE_NODE, drop, 16, drop, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(drop[3], 1u);
    EXPECT_EQ(block->Control.Low, 9u);

    ULONG channel = 0;
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_ZAR_VARIPLAY_CLOSE, &channel, 4, nullptr, 0).status, STATUS_UNSUCCESSFUL);
    // A handle that goes away takes its block with it.
    ASSERT_EQ(Send(IOCTL_ZAR_VARIPLAY_INIT, init, 8, init, 8).status, STATUS_SUCCESS);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(ZarVariPlayIsMapped(ext_, 0));
}

}  // namespace

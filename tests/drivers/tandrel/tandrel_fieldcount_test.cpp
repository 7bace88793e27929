// The field-count device over an idle JPEG channel: invalid until a base is
// set, overrides (their checks, the scaled mode), and the deck block shared
// with a deck emulator (its checks, a command bit taken once).

#include <gtest/gtest.h>

#include <cstring>

#include "tests/drivers/tandrel/tandrel_machine.h"

namespace {

constexpr ULONG kDrop = 29 | TANDREL_FLAG_DROP_FRAME;

class TandrelFieldCount : public TandrelMachine {
protected:
    void SetUp() override
    {
        TandrelMachine::SetUp();
        if (HasFatalFailure()) return;
        counter_ = Open("JpegStream1", true);
        ASSERT_NE(counter_, INVALID_HANDLE_VALUE);
    }
    HANDLE counter_ = INVALID_HANDLE_VALUE;
};

TEST_F(TandrelFieldCount, ASampleIsInvalidUntilABaseIsSet)
{
    RunFields(4);
    EXPECT_TRUE(Sample(counter_).Flags & TANDREL_FLAG_INVALID);
    TANDREL_SAMPLE wrongRate{100, 0, 25};
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_BASE, wrongRate).status, STATUS_INVALID_PARAMETER);
    TANDREL_SAMPLE base{107892, 0, kDrop};
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_BASE, base).status, STATUS_SUCCESS);
    RunFields(2);
    const TANDREL_SAMPLE s = Sample(counter_);
    EXPECT_FALSE(s.Flags & TANDREL_FLAG_INVALID);
    EXPECT_EQ(s.Frame, 107892);  // the idle channel counts no field
    TANDREL_SAMPLE got{};
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_GET_BASE, nullptr, 0, &got, sizeof got).status, STATUS_SUCCESS);
    EXPECT_EQ(got.Frame, base.Frame);
}

TEST_F(TandrelFieldCount, OverridesAreCheckedAndOwnedByTheirFirstCaller)
{
    TANDREL_OVERRIDE badRate{TANDREL_OVERRIDE_SAMPLE, {0, 0, 25}, 0, 0, 0, 100};
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, badRate).status, STATUS_INVALID_PARAMETER);
    TANDREL_OVERRIDE zero{TANDREL_OVERRIDE_DENOMINATOR, {}, 0, 0, 0, 0};
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, zero).status, STATUS_INVALID_PARAMETER);
    TANDREL_OVERRIDE hold{TANDREL_OVERRIDE_SAMPLE, {500, 0, kDrop}, 0, 0, 0, 100};
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, hold).status, STATUS_SUCCESS);
    // Its owner's close frees it for the next writer.
    Close(counter_);
    counter_ = Open("JpegStream1", true);
    RunFields(1);
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, hold).status, STATUS_SUCCESS);
    RunFields(2);
    EXPECT_EQ(Sample(counter_).Frame, 500);
}

TEST_F(TandrelFieldCount, AScaledOverrideOfOneHalfAdvancesAFieldEveryTwoFields)
{
    TANDREL_OVERRIDE scaled{TANDREL_OVERRIDE_SAMPLE | TANDREL_OVERRIDE_MODE | TANDREL_OVERRIDE_NUMERATOR |
                                TANDREL_OVERRIDE_DENOMINATOR,
                            {1000, 0, kDrop}, 3, 1, 0, 2};
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_SMPTE12M_SET_OVERRIDE, scaled).status, STATUS_SUCCESS);
    RunFields(3);
    std::vector<LONG> positions;
    for (int i = 0; i < 8; ++i) {
        const TANDREL_SAMPLE s = Sample(counter_);
        positions.push_back(s.Frame * 2 + ((s.Flags & TANDREL_FLAG_FIELD2) ? 1 : 0));
        RunFields(1);
    }
    for (size_t i = 2; i < positions.size(); ++i) EXPECT_EQ(positions[i], positions[i - 2] + 1) << i;
}

TEST_F(TandrelFieldCount, ADeckCommandBitSetsItsEventsOnceAndReadsBackClear)
{
    alignas(4) static uint8_t block[400];
    std::memset(block, 0, sizeof block);
    uint32_t size = sizeof block;
    std::memcpy(block, &size, 4);
    TANDREL_DECK_MAP map{uint32_t(reinterpret_cast<uintptr_t>(block)), 400};
    TANDREL_DECK_MAP shortMap{map.Block, 322};
    EXPECT_EQ(Control(counter_, IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, shortMap).status, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, map).status, STATUS_SUCCESS);
    EXPECT_NE(Control(counter_, IOCTL_TANDREL_DECKEM_MAP_BETA_SLAVE_DEVICE, map).status, STATUS_SUCCESS);
    uint32_t mapped = 0, rate = 0;
    std::memcpy(&mapped, block + TANDREL_DECK_MAPPED, 4);
    std::memcpy(&rate, block + TANDREL_DECK_RATE, 4);
    EXPECT_EQ(mapped, 1u);
    EXPECT_EQ(rate, 30u);  // 29.97 is written as 30
    EXPECT_EQ(block[TANDREL_DECK_MARKS] & 0x30, 0x30);

    HANDLE kind4 = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TANDREL_EVENT_REQUEST request{TANDREL_EVENT_ON_COMMAND_BIT2, Handle(kind4), 0, 0};
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_SET_EVENT, request).status, STATUS_SUCCESS);
    const uint32_t command = 0x4;
    std::memcpy(block + TANDREL_DECK_COMMAND, &command, 4);
    RunFields(2);
    uint32_t after = 0xFF;
    std::memcpy(&after, block + TANDREL_DECK_COMMAND, 4);
    EXPECT_EQ(after, 0u);
    EXPECT_EQ(WaitForSingleObject(kind4, 0), DWORD(WAIT_OBJECT_0));
    TANDREL_COMMAND_SAMPLE seen{};
    ULONG kind = TANDREL_EVENT_ON_COMMAND_BIT2;
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE, &kind, 4, &seen, sizeof seen).status,
              STATUS_SUCCESS);
    EXPECT_EQ(seen.Count, 1u);
    // Once: the event left the list when it was set.
    ResetEvent(kind4);
    std::memcpy(block + TANDREL_DECK_COMMAND, &command, 4);
    RunFields(2);
    EXPECT_EQ(WaitForSingleObject(kind4, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_DECKEM_GET_COMMAND_REFERENCED_SAMPLE, &kind, 4, &seen, sizeof seen).status,
              STATUS_SUCCESS);
    EXPECT_EQ(seen.Count, 2u);
    ASSERT_EQ(Control(counter_, IOCTL_TANDREL_DECKEM_UNMAP_BETA_SLAVE_DEVICE, map).status, STATUS_SUCCESS);
    std::memcpy(&mapped, block + TANDREL_DECK_MAPPED, 4);
    EXPECT_EQ(mapped, 0u);
    CloseHandle(kind4);
}

}  // namespace

// ZARKD's scrub list: the fields its parts reach the hardware on, with and
// without the DVE's up-stream part, a full list, and refused requests.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/drivers/board/zarkd_fx_machine.h"

namespace {

class ZarkdScrub : public ZarkdFxMachine {
protected:
    NTSTATUS Part(ULONG kind, const void* data)
    {
        ZAR_SCRUB_LIST_NODE node{kind, ULONG(reinterpret_cast<ULONG_PTR>(data))};
        return Send(IOCTL_ZAR_SCRUB_LIST_SET_NODE, &node, sizeof(node), nullptr, 0).status;
    }
    NTSTATUS Commit() { return Part(ZAR_SCRUB_COMMIT, nullptr); }
    int64_t FieldOf(uint32_t address, uint16_t value)
    {
        for (const sim::FxWrite& w : Fx().Log())
            if (w.address == address && w.value == value) return int64_t(w.field);
        return -1;
    }
};

// The DVE's up-stream part goes out at the next field, the other parts two
// fields later; without it everything goes out at the next field.
TEST_F(ZarkdScrub, PartsReachTheHardwareOnTheirFields)
{
    ext_->DvePresent = TRUE;
    for (bool upstream : {true, false}) {
        SCOPED_TRACE(upstream ? "with the DVE's up-stream part" : "without it");
        std::vector<UCHAR> dve(108, 0);
        dve[0] = upstream ? 0x3C : 0x3D;  // DVE key byte 0 -> 0x546C
        UCHAR fade = upstream ? 10 : 20;  // -> 0x5464 = 255 - level
        RunFields(1);
        Fx().ClearLog();
        if (upstream) {
            ASSERT_EQ(Part(0x10, dve.data()), STATUS_SUCCESS);
        }
        ASSERT_EQ(Part(0x8, &fade), STATUS_SUCCESS);
        ASSERT_EQ(Commit(), STATUS_SUCCESS);
        int64_t committed = int64_t(Board().Clock().FieldCount());
        RunFields(4);
        int64_t fadeField = FieldOf(0x5464, uint16_t(255 - fade));
        ASSERT_GE(fadeField, 0);
        if (upstream) {
            int64_t keyField = FieldOf(0x546C, 0x3C);
            ASSERT_GE(keyField, 0);
            EXPECT_EQ(keyField - committed, 1);
            EXPECT_EQ(fadeField - keyField, 2);
        } else {
            EXPECT_EQ(fadeField - committed, 1);
        }
        EXPECT_TRUE(ZarScrubListIsEmpty(ext_));
    }
}

TEST_F(ZarkdScrub, ANinthEntryWaitsThenFailsAndBadRequestsAreRefused)
{
    // No field comes: the eight entries stay ready. A field interrupt
    // raised before the power went is served first, so it cannot take one.
    Board().PowerOff();
    LARGE_INTEGER twoFields;
    twoFields.QuadPart = -10 * 1000 * 40;
    KeDelayExecutionThread(KernelMode, FALSE, &twoFields);
    ASSERT_TRUE(ZarScrubListIsEmpty(ext_));
    UCHAR fade = 1;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(Part(0x8, &fade), STATUS_SUCCESS) << i;
        ASSERT_EQ(Commit(), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(Part(0x8, &fade), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Commit(), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(Part(0x3, &fade), STATUS_UNSUCCESSFUL) << "two kinds at once";
    EXPECT_EQ(Part(0x4000, &fade), STATUS_UNSUCCESSFUL) << "no such part";
    EXPECT_NE(Part(0x1, noAccess_), STATUS_SUCCESS) << "data the caller cannot read";

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ZAR_SCRUB_LIST_NODE commit{ZAR_SCRUB_COMMIT, 0};
    NTSTATUS atDispatch = ZarScrubListSetNode(ext_, &commit);
    KeLowerIrql(old);
    EXPECT_EQ(atDispatch, STATUS_UNSUCCESSFUL);
}

}  // namespace

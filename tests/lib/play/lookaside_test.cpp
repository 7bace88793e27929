// The look-aside list of the last two fields loaded into board memory.
#include <gtest/gtest.h>

#include "lib/play/zar_file.h"
#include "lib/play/zar_lookaside.h"

TEST(Lookaside, TheLastTwoFieldsAreKeptAndARepeatIsAHit)
{
    struct Step {
        uint64_t key;
        uint32_t address;
        bool hit;
        uint32_t lastHit;  // when a hit
        uint32_t nextSlot;
    };
    // Slots alternate 0, 1, 0, ...: a third field replaces the first, a
    // fourth the second; a hit changes nothing but the last-hit address.
    const Step steps[] = {
        {0xA, 100, false, 0, 1},   {0xB, 200, false, 0, 0}, {0xB, 999, true, 200, 0}, {0xA, 999, true, 100, 0},
        {0xC, 300, false, 0, 1},   {0xA, 999, false, 0, 0}, {0xC, 999, true, 300, 0}, {0xB, 999, false, 0, 1},
    };
    CSdLookasideList list;
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        EXPECT_EQ(list.LookupOrInsert(s.key, s.address), s.hit) << "step " << i;
        if (s.hit) {
            EXPECT_EQ(list.LastHit(), s.lastHit) << "step " << i;
        }
        EXPECT_EQ(list.NextSlot(), s.nextSlot) << "step " << i;
    }
}

TEST(Lookaside, BothHalvesOfTheKeyMustMatch)
{
    ZAR_FIELD_LOCATION a{{1, 2}, 10, 0}, b{{2, 1}, 10, 0}, c{{1, 3}, 10, 0};
    EXPECT_EQ(CSdLookasideList::KeyOf(a), 0x100000002ull);
    CSdLookasideList list;
    EXPECT_FALSE(list.LookupOrInsert(CSdLookasideList::KeyOf(a), 5));
    EXPECT_FALSE(list.LookupOrInsert(CSdLookasideList::KeyOf(b), 6));
    EXPECT_FALSE(list.LookupOrInsert(CSdLookasideList::KeyOf(c), 7));
    EXPECT_TRUE(list.LookupOrInsert(CSdLookasideList::KeyOf(c), 8));
    EXPECT_EQ(list.LastHit(), 7u);
}

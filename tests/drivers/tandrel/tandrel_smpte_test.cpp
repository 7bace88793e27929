// SMPTE 12M counting of the time-code driver as tables: frames a day,
// adding frames and fields across midnight and drop-frame minutes, codes
// to frame counts and back, the code word both ways (clamped digits, the
// LTC polarity bit) and the change mask.

#include <gtest/gtest.h>

#include "drivers/tandrel/tandrel_driver.h"

namespace {

constexpr ULONG kDrop = 29 | TANDREL_FLAG_DROP_FRAME;

struct Tc {
    ULONG h, m, s, f;
    bool operator==(const Tc&) const = default;
};

Tc Split(LONG frame, ULONG flags)
{
    Tc t{};
    TandrelSplitFrame(frame, flags, &t.h, &t.m, &t.s, &t.f);
    return t;
}

TEST(TandrelSmpte, FramesADayByRate)
{
    EXPECT_EQ(TandrelFramesPerDay(24), 2073600);
    EXPECT_EQ(TandrelFramesPerDay(25), 2160000);
    EXPECT_EQ(TandrelFramesPerDay(30), 2592000);
    EXPECT_EQ(TandrelFramesPerDay(kDrop), 2589408);
    EXPECT_EQ(TandrelFramesPerDay(29), 2592000);  // 29.97 counted without dropping
    EXPECT_EQ(TandrelFramesPerDay(50), 0);
}

TEST(TandrelSmpte, OneFrameOnCrossesDropFrameMinutesAndMidnight)
{
    struct Case {
        Tc from;
        ULONG flags;
        LONG add;
        Tc to;
    } cases[] = {
        {{0, 0, 59, 29}, kDrop, 1, {0, 1, 0, 2}},     // frames 0 and 1 skipped
        {{0, 9, 59, 29}, kDrop, 1, {0, 10, 0, 0}},    // not at a tenth minute
        {{0, 1, 0, 2}, kDrop, -1, {0, 0, 59, 29}},
        {{23, 59, 59, 29}, kDrop, 1, {0, 0, 0, 0}},
        {{23, 59, 59, 24}, 25, 1, {0, 0, 0, 0}},
        {{0, 0, 0, 0}, 24, -1, {23, 59, 59, 23}},
        {{0, 0, 0, 0}, 30, -2592000 * 3 - 1, {23, 59, 59, 29}},  // any number of days back
        {{12, 34, 56, 7}, 29, 30, {12, 34, 57, 7}},   // 29.97 without drop counts 30 labels
    };
    for (const Case& c : cases) {
        const LONG start = TandrelJoinFrame(c.from.h, c.from.m, c.from.s, c.from.f, c.flags, nullptr);
        const LONG day = TandrelFramesPerDay(c.flags);
        EXPECT_EQ(Split(TandrelAddFrames(start, c.add, day), c.flags), c.to) << c.from.h << ":" << c.from.m;
    }
}

TEST(TandrelSmpte, CodesAndFrameCountsConvertBothWays)
{
    struct Case {
        Tc t;
        ULONG flags;
        LONG frame;
    } cases[] = {
        {{1, 0, 0, 0}, kDrop, 107892},  {{0, 1, 0, 2}, kDrop, 1800},    {{0, 10, 0, 0}, kDrop, 17982},
        {{23, 59, 59, 29}, kDrop, 2589407}, {{0, 0, 59, 29}, kDrop, 1799}, {{1, 0, 0, 0}, 25, 90000},
        {{23, 59, 59, 23}, 24, 2073599}, {{10, 0, 0, 0}, 30, 1080000},   {{0, 11, 0, 2}, kDrop, 19782},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TandrelJoinFrame(c.t.h, c.t.m, c.t.s, c.t.f, c.flags, nullptr), c.frame);
        EXPECT_EQ(Split(c.frame, c.flags), c.t) << c.frame;
    }
    // Every frame of a drop-frame day round-trips.
    for (LONG f = 0; f < 2589408; f += 997) {
        Tc t = Split(f, kDrop);
        ASSERT_EQ(TandrelJoinFrame(t.h, t.m, t.s, t.f, kDrop, nullptr), f);
    }
}

TEST(TandrelSmpte, AddingFieldsKeepsTheFieldBit)
{
    TANDREL_SAMPLE zero{0, 0, 25};
    TANDREL_SAMPLE back = TandrelAddFields(zero, -1);
    EXPECT_EQ(back.Frame, 2159999);
    EXPECT_TRUE(back.Flags & TANDREL_FLAG_FIELD2);
    TANDREL_SAMPLE on = TandrelAddFields(back, 3);
    EXPECT_EQ(on.Frame, 1);
    EXPECT_FALSE(on.Flags & TANDREL_FLAG_FIELD2);
}

TEST(TandrelSmpte, WordsDecodeWithClampsAndSkippedLabelsFlagged)
{
    struct Case {
        UCHAR word[8];
        ULONG recordFlags;
        LONG frame;
        ULONG setFlags;
    } cases[] = {
        {{0, 0x04, 0, 0, 1, 0, 0, 0}, 29, 1800, TANDREL_FLAG_DROP_FRAME | TANDREL_FLAG_NONEXISTENT},  // 00:01:00;00
        {{0, 0, 0, 0, 3, 7, 0, 0}, 25, 53 * 60 * 25, TANDREL_FLAG_CLAMPED},                           // minutes 73
        {{9, 2, 0, 0, 0, 0, 0, 0}, 25, 24, TANDREL_FLAG_CLAMPED},                                     // frame 29
        {{5, 1, 0, 0, 0, 0, 0, 0}, 29, 15, 0},                                                        // not drop
    };
    for (const Case& c : cases) {
        TANDREL_SAMPLE s = TandrelWordToSample(c.word, c.recordFlags);
        EXPECT_EQ(s.Frame, c.frame);
        EXPECT_EQ(s.Flags & c.setFlags, c.setFlags);
        EXPECT_FALSE(s.Flags & TANDREL_FLAG_INVALID);
    }
    UCHAR none[8] = {};
    EXPECT_TRUE(TandrelWordToSample(none, 29 | TANDREL_FLAG_INVALID).Flags & TANDREL_FLAG_INVALID);
    EXPECT_TRUE(TandrelWordToSample(none, 50).Flags & TANDREL_FLAG_INVALID);
}

TEST(TandrelSmpte, SamplesEncodeAndDecodeToTheSameCode)
{
    const ULONG rates[] = {24, 25, 29, kDrop, 30};
    for (ULONG flags : rates) {
        const LONG frames[] = {0, 1, 1799, 17982, 107891, 1234567, TandrelFramesPerDay(flags) - 1};
        for (LONG frame : frames) {
            TANDREL_SAMPLE s{frame, 0x87654321, flags | TANDREL_FLAG_VIDEO | TANDREL_FLAG_FIELD2 | TANDREL_FLAG_BGF1};
            UCHAR w[8];
            EXPECT_FALSE(TandrelSampleToWord(s, TRUE, w));
            TANDREL_SAMPLE back = TandrelWordToSample(w, (flags & 0xFF) | TANDREL_FLAG_VIDEO);
            EXPECT_EQ(back.Frame, frame) << flags;
            EXPECT_EQ(back.UserBits, 0x87654321u);
            EXPECT_EQ(back.Flags & ~TANDREL_FLAG_CLAMPED, s.Flags) << flags << " " << frame;
        }
    }
}

TEST(TandrelSmpte, LtcWordsHoldAnOddNumberOfOnesAndVitcWordsNoPolarityBit)
{
    for (LONG frame = 0; frame < 3000; frame += 7) {
        for (ULONG rate : {25u, 30u}) {
            TANDREL_SAMPLE s{frame, ULONG(frame * 2654435761u), rate};
            UCHAR ltc[8], vitc[8];
            TandrelSampleToWord(s, FALSE, ltc);
            TandrelSampleToWord(s, TRUE, vitc);
            int ones = 0;
            for (UCHAR b : ltc) ones += __builtin_popcount(b);
            EXPECT_EQ(ones % 2, 1);
            const int at = rate == 25 ? 7 : 3;
            EXPECT_FALSE(vitc[at] & 0x08);
        }
    }
    // A frame count past the day is brought back and says so.
    UCHAR w[8];
    EXPECT_TRUE(TandrelSampleToWord({2160000, 0, 25}, FALSE, w));
    Tc t{ULONG((w[7] & 3) * 10 + w[6]), ULONG((w[5] & 7) * 10 + w[4]), ULONG((w[3] & 7) * 10 + w[2]),
         ULONG((w[1] & 3) * 10 + w[0])};
    EXPECT_EQ(t, (Tc{0, 0, 0, 0}));
}

TEST(TandrelSmpte, ChangeMaskNamesWhatChanged)
{
    const TANDREL_SAMPLE base{100, 0, 25};
    struct Case {
        TANDREL_SAMPLE now;
        ULONG mask;
    } cases[] = {
        {{101, 0, 25}, 0x01},
        {{100, 0, 25 | TANDREL_FLAG_FIELD2}, 0x02},
        {{100, 5, 25}, 0x04},
        {{100, 0, 25 | TANDREL_FLAG_BGF2}, 0x04},
        {{100, 0, 25 | TANDREL_FLAG_CLAMPED}, 0x08},
        {{100, 0, 25 | TANDREL_FLAG_COLOUR_FRAME}, 0x10},
        {{100, 0, 25 | TANDREL_FLAG_INVALID}, 0x13},
        {{100, 0, 25}, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(TandrelChangeMask(c.now, base), c.mask) << std::hex << c.now.Flags;
}

}  // namespace

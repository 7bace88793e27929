// KivSync's SMPTE 12M text forms as tables: parsing with clamps and the
// drop-frame labels that do not exist, formatting with the day's wrap and
// the blank template, and a round trip across every rate and both drop
// modes.

#include <gtest/gtest.h>

#include <string>

#include "include/kivsync.h"
#include "win32.h"

namespace {

constexpr uint32_t kDrop = 29 | TANDREL_FLAG_DROP_FRAME;

TANDREL_SAMPLE Parse(const char* text, uint32_t rate, BOOL* ok = nullptr)
{
    TANDREL_SAMPLE s{0, 0, rate};
    BOOL result = KivSmpte12m_GetSampleFromString(nullptr, &s, text);
    if (ok != nullptr) *ok = result;
    return s;
}

std::string Format(TANDREL_SAMPLE s)
{
    char text[12] = {};
    EXPECT_TRUE(KivSmpte12m_PutSampleToString(nullptr, &s, text));
    return text;
}

TEST(KivSyncText, TextsParseToFrameCounts)
{
    struct Case {
        const char* text;
        uint32_t rate;
        int32_t frame;
        uint32_t drop;
    } cases[] = {
        {"01:00:00;00", 29, 107892, TANDREL_FLAG_DROP_FRAME},
        {"00:01:00;00", 29, 1800, TANDREL_FLAG_DROP_FRAME},
        {"00:01:00;01", 29, 1800, TANDREL_FLAG_DROP_FRAME},
        {"00:01:00;02", 29, 1800, TANDREL_FLAG_DROP_FRAME},
        {"00:10:00;00", 29, 17982, TANDREL_FLAG_DROP_FRAME},
        {"00:00:01:00", 25, 25, 0},
        {"23:59:59:24", 25, 2159999, 0},
        {"25:70:70:40", 25, 2159999, 0},  // clamped to 23:59:59:24
        {"00:00:01:00", 29, 30, 0},       // ':' at 29.97 counts 30 labels a second
        {"10:00:00:00", 30, 1080000, 0},
    };
    for (const Case& c : cases) {
        BOOL ok = FALSE;
        TANDREL_SAMPLE s = Parse(c.text, c.rate, &ok);
        EXPECT_TRUE(ok) << c.text;
        EXPECT_EQ(s.Frame, c.frame) << c.text;
        EXPECT_EQ(s.Flags & TANDREL_FLAG_DROP_FRAME, c.drop) << c.text;
        EXPECT_FALSE(s.Flags & TANDREL_FLAG_INVALID);
    }
}

TEST(KivSyncText, BadTextsAndRatesAreRefused)
{
    BOOL ok = TRUE;
    TANDREL_SAMPLE s = Parse("00:00:01:0", 25, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(s.Flags & TANDREL_FLAG_INVALID);
    Parse(" 0:00:01:00", 25, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    Parse("00:00:01:00", 27, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_FALSE(KivSmpte12m_GetSampleFromString(nullptr, nullptr, "00:00:01:00"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    char text[12];
    TANDREL_SAMPLE odd{100, 0, 27};
    EXPECT_FALSE(KivSmpte12m_PutSampleToString(nullptr, &odd, text));
    EXPECT_EQ(std::string(text), "  :  :  :  ");
}

TEST(KivSyncText, SamplesFormatWithTheirSeparator)
{
    struct Case {
        TANDREL_SAMPLE s;
        const char* text;
    } cases[] = {
        {{2160000, 0, 25}, "00:00:00:00"},
        {{1800, 0, kDrop}, "00:01:00;02"},
        {{17982, 0, kDrop}, "00:10:00;00"},
        {{-1, 0, 25}, "23:59:59:24"},
        {{0, 0, 50}, "00:00:00:00"},  // a zero count needs no rate
        {{5, 0, 25 | TANDREL_FLAG_INVALID}, "  :  :  :  "},
        {{5, 0, 25 | TANDREL_FLAG_VIDEO}, "00:00:00.05"},
        {{5, 0, kDrop | TANDREL_FLAG_VIDEO}, "00:00:00,05"},
        {{5, 0, kDrop | TANDREL_FLAG_VIDEO | TANDREL_FLAG_FIELD2}, "00:00:00;05"},
    };
    for (const Case& c : cases) EXPECT_EQ(Format(c.s), c.text) << c.s.Frame;
}

TEST(KivSyncText, EveryRateAndDropModeRoundTrips)
{
    const uint32_t rates[] = {24, 25, 29, kDrop, 30};
    for (uint32_t flags : rates) {
        const int32_t day = TandrelFramesPerDay(flags);
        for (int32_t frame = 0; frame < day; frame += 4999) {
            const std::string text = Format({frame, 0, flags});
            TANDREL_SAMPLE back = Parse(text.c_str(), flags & 0xFF);
            EXPECT_EQ(back.Frame, frame) << text << " at " << (flags & 0xFF);
            EXPECT_EQ(back.Flags & TANDREL_FLAG_DROP_FRAME, flags & TANDREL_FLAG_DROP_FRAME) << text;
        }
    }
}

}  // namespace

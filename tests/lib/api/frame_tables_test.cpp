// The shared section's tables and the library's colour, clip and gamma
// tables, entry by entry where the board or another process relies on them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "lib/api/zar_color_tables.h"
#include "lib/api/zar_shared.h"

namespace {

TEST(SharedTables, KeyGainRunsFromFourUpWithoutARepeat)
{
    std::vector<uint32_t> table(ZAR_KEY_GAIN_ENTRIES);
    zarapi::BuildKeyGainTable(table.data());
    for (uint32_t i = 0; i <= 252; ++i) ASSERT_EQ(table[i], 4 + i) << "entry " << i;
    EXPECT_EQ(table[253], 341u);
    EXPECT_EQ(table[254], 512u);
    EXPECT_EQ(table[255], 1023u);
    EXPECT_EQ(std::set<uint32_t>(table.begin(), table.end()).size(), table.size());
}

TEST(SharedTables, FaderGainsAtTheLevelsThatMatter)
{
    struct Case {
        uint32_t level;
        long gain;  // x 10,000, rounded
    } cases[] = {{0, 0}, {1, 1}, {192, 10000}, {254, 39010}, {255, 40000}};
    for (const Case& c : cases)
        EXPECT_EQ(std::lround(zarapi::FaderLevelGain(c.level) * 10000), c.gain) << "level " << c.level;
}

TEST(SharedTables, GainToLevelCoversGainFourAndPicksTheNearestLevel)
{
    std::vector<uint8_t> table(ZAR_GAIN_LEVEL_ENTRIES, 0xEE);
    zarapi::BuildGainToLevelTable(table.data());
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[10000], 192);
    EXPECT_EQ(table[39010], 254);
    EXPECT_EQ(table[40000], 255);  // gain 4.0: the entry a 40,000-byte table lacked
    // Every entry names a level whose gain is as near as any level's, within
    // one table step (the runs are cut at the midpoints of rounded gains).
    for (uint32_t k = 0; k < ZAR_GAIN_LEVEL_ENTRIES; k += 7) {
        const double wanted = k / 10000.0;
        const double error = std::fabs(zarapi::FaderLevelGain(table[k]) - wanted);
        for (uint32_t level = 0; level < 256; ++level)
            ASSERT_LE(error, std::fabs(zarapi::FaderLevelGain(level) - wanted) + 1.0e-4)
                << "entry " << k << " holds " << int(table[k]) << ", level " << level << " is nearer";
    }
    for (uint32_t k = 1; k < ZAR_GAIN_LEVEL_ENTRIES; ++k) ASSERT_GE(table[k], table[k - 1]) << "entry " << k;
}

TEST(SharedTables, ANewSectionIsZeroedAroundItsTables)
{
    std::vector<uint8_t> view(ZAR_SHARED_VIEW_SIZE, 0xCC);
    zarapi::FillNewSection(view.data());
    const ZAR_BOARD_SHARED* board9 = ZarSharedBoard(view.data(), 9);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(board9 + 1) - view.data(), long(ZAR_SHARED_KEY_GAIN_OFFSET));
    for (uint32_t i = 0; i < ZAR_SHARED_KEY_GAIN_OFFSET; ++i) ASSERT_EQ(view[i], 0) << "byte " << i;
    uint32_t first = 0;
    std::memcpy(&first, &view[ZAR_SHARED_KEY_GAIN_OFFSET], 4);
    EXPECT_EQ(first, 4u);
    EXPECT_EQ(view[ZAR_SHARED_GAIN_LEVEL_OFFSET + 40000], 255);
    for (uint32_t i = ZAR_SHARED_GAIN_LEVEL_OFFSET + ZAR_GAIN_LEVEL_ENTRIES; i < ZAR_SHARED_VIEW_SIZE; ++i)
        EXPECT_EQ(view[i], 0) << "byte " << i;
}

TEST(SharedTables, VideoFieldsOfEachStandard)
{
    struct Case {
        uint32_t standard;
        uint32_t frameLines, fieldLines, fps, microseconds, firstLine, samples, waveformStandard;
        double rate, aspect, scale;
    } cases[] = {
        {525, 486, 243, 30, 33367, 15, 858, 1, 30000.0 / 1001.0, 1.0, 1.0},
        {625, 576, 288, 25, 40000, 20, 864, 0, 25.0, 16.0 / 15.0, 0.9375},
    };
    for (const Case& c : cases) {
        ZAR_BOARD_SHARED r{};
        zarapi::WriteStandardFields(&r, c.standard);
        SCOPED_TRACE(c.standard);
        EXPECT_EQ(r.Standard, c.standard);
        EXPECT_EQ(r.FrameLines, c.frameLines);
        EXPECT_EQ(r.LastFrameLine, c.frameLines - 1);
        EXPECT_EQ(r.FieldLines, c.fieldLines);
        EXPECT_EQ(r.LastFieldLine, c.fieldLines - 1);
        EXPECT_EQ(r.FramesPerSecond, c.fps);
        EXPECT_EQ(r.FrameMicroseconds, c.microseconds);
        EXPECT_DOUBLE_EQ(r.FrameRate, c.rate);
        EXPECT_EQ(r.FirstActiveLine, c.firstLine);
        EXPECT_EQ(r.SamplesPerLine, c.samples);
        EXPECT_DOUBLE_EQ(r.PixelAspect, c.aspect);
        EXPECT_DOUBLE_EQ(r.LineScale, c.scale);
        EXPECT_EQ(r.WaveformDefaults[0], 80u);
        EXPECT_EQ(r.WaveformDefaults[5], c.waveformStandard);
        EXPECT_EQ(r.WaveformDefaults[10], 1u);
    }
}

TEST(ColorTables, SampleEntriesAreByteExact)
{
    static ZarColorTables t;
    BuildColorTables(&t);
    struct Case {
        const int32_t* table;
        int v;
        int32_t value;
    } cases[] = {
        {t.luma, -128, -297}, {t.luma, -16, 1788}, {t.luma, 0, 2087}, {t.luma, 127, 4453},
        {t.blueU, -128, -4130}, {t.blueU, -1, -31}, {t.blueU, 0, 0},      {t.blueU, 127, 4099},
        {t.redV, -128, -3268},  {t.redV, 1, 26},     {t.redV, 127, 3243},
        {t.greenU, -128, -801}, {t.greenU, 64, 401}, {t.greenV, -128, -1664}, {t.greenV, 127, 1652},
    };
    for (const Case& c : cases) EXPECT_EQ(c.table[c.v + 128], c.value) << "v " << c.v;
    struct Clip {
        int index;
        uint8_t value;
    } clips[] = {{0, 0}, {8191, 0}, {8192, 0}, {8208, 1}, {12287, 255}, {12288, 255}, {20479, 255}, {10000, 113}};
    for (const Clip& c : clips) EXPECT_EQ(t.clip[c.index], c.value) << "clip " << c.index;
}

TEST(ColorTables, GammaTableOfLumaAdjustAndItsRange)
{
    int32_t table[256];
    BuildGammaTable(0, table);  // gamma 1.0425
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[128], 62);
    EXPECT_EQ(table[255], 127);
    BuildGammaTable(20, table);  // gamma 0.6425
    EXPECT_EQ(table[64], 52);
    struct Case {
        uint32_t given, taken;
    } cases[] = {{0, 0}, {10, 10}, {20, 20}, {21, 10}, {0xFFFFFFFF, 10}};
    for (const Case& c : cases) EXPECT_EQ(LumaAdjustInRange(c.given), c.taken) << c.given;
}

}  // namespace

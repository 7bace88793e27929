// The library's colour-conversion tables: five 256-entry tables for YUV to
// RGB and a 20,480-entry clip table, built at a board's first open; and the
// input gamma table of a LumaAdjust value.
#pragma once

#include <cstdint>

struct ZarColorTables {
    // Indexed by v + 128 for v = -128..127, in 1/16 units.
    int32_t luma[256];      // 1.164383 x (v + 112) x 16
    int32_t blueU[256];     // 2.017231 x v x 16
    int32_t redV[256];      // 1.596027 x v x 16
    int32_t greenU[256];    // 0.391762 x v x 16
    int32_t greenV[256];    // 0.812967 x v x 16
    uint8_t clip[20480];    // 0 below 8,192, (i - 8,192) / 16 up to 12,287, 255 above
};
static_assert(sizeof(ZarColorTables) == 5 * 1024 + 20480);

void BuildColorTables(ZarColorTables* tables);

// LumaAdjust 0..20 (10 is no correction); a value outside that is taken as 10.
inline constexpr uint32_t kLumaAdjustNone = 10;
inline constexpr uint32_t kLumaAdjustMax = 20;
uint32_t LumaAdjustInRange(uint32_t lumaAdjust);
// 127 x (i / 255)^gamma, gamma = 0.8425 + (10 - LumaAdjust) x 0.02.
void BuildGammaTable(uint32_t lumaAdjust, int32_t* table);

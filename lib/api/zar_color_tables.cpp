// Colour and gamma tables, rounded as the board's conversions expect.

#include "zar_color_tables.h"

#include <cmath>

namespace {

// 0.499999 added, then truncated toward zero.
int32_t Rounded(double value) { return int32_t(value + 0.499999); }

}  // namespace

void BuildColorTables(ZarColorTables* t)
{
    for (int v = -128; v < 128; ++v) {
        const int i = v + 128;
        t->luma[i] = Rounded(1.164383 * (v + 112) * 16);
        t->blueU[i] = Rounded(2.017231 * v * 16);
        t->redV[i] = Rounded(1.596027 * v * 16);
        t->greenU[i] = Rounded(0.391762 * v * 16);
        t->greenV[i] = Rounded(0.812967 * v * 16);
    }
    for (int i = 0; i < 20480; ++i)
        t->clip[i] = i < 8192 ? 0 : i <= 12287 ? uint8_t((i - 8192) / 16) : 255;
}

uint32_t LumaAdjustInRange(uint32_t lumaAdjust) { return lumaAdjust <= kLumaAdjustMax ? lumaAdjust : kLumaAdjustNone; }

void BuildGammaTable(uint32_t lumaAdjust, int32_t* table)
{
    const double gamma = 0.8425 + (10.0 - double(LumaAdjustInRange(lumaAdjust))) * 2 * 0.01;
    for (int i = 0; i < 256; ++i) {
        const double value = 127.0 * std::pow(i / 255.0, gamma);
        table[i] = int32_t(value >= 0 ? value + 0.49999999999 : value - 0.49999999999);
    }
}

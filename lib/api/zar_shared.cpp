// The shared section's tables and the per-standard fields of a board record.

#include "zar_shared.h"

#include <cmath>
#include <cstring>

namespace zarapi {

double FaderLevelDb(uint32_t level)
{
    constexpr double kFloor = 90.309, kExponent = 0.3598365;
    if (level == 0) return -kFloor;
    if (level >= 255) return 20.0 * std::log10(4.0);
    return level <= 192 ? kFloor * std::pow(level / 192.0, kExponent) - kFloor
                        : kFloor - kFloor * std::pow((384.0 - level) / 192.0, kExponent);
}

double FaderLevelGain(uint32_t level)
{
    if (level == 0) return 0.0;
    if (level >= 255) return 4.0;
    return std::pow(10.0, FaderLevelDb(level) / 20.0);
}

void BuildKeyGainTable(uint32_t* table)
{
    for (uint32_t i = 0; i < ZAR_KEY_GAIN_ENTRIES; ++i) {
        uint32_t value = 1024 / (256 - i);
        if (value > 1023) value = 1023;
        if (i > 0 && value <= table[i - 1]) value = table[i - 1] + 1;
        table[i] = value;
    }
}

void BuildGainToLevelTable(uint8_t* table)
{
    constexpr long kLast = long(ZAR_GAIN_LEVEL_ENTRIES) - 1;
    table[0] = 0;
    long previousGain = 0;  // g(L - 1): the run so far ends there
    for (uint32_t level = 1; level < 256; ++level) {
        long gain = std::lround(FaderLevelGain(level) * 10000.0);
        if (gain > kLast) gain = kLast;
        if (gain <= previousGain) continue;  // no entry is nearer to this level than to the one before
        for (long k = previousGain + 1; k <= gain; ++k)
            table[k] = uint8_t((k - previousGain) < (gain - k) ? level - 1 : level);
        previousGain = gain;
    }
    // Past the loudest level's gain (none while level 255 is 4.0): the loudest level.
    for (long k = previousGain + 1; k <= kLast; ++k) table[k] = 255;
}

void FillNewSection(void* view)
{
    auto* bytes = static_cast<uint8_t*>(view);
    std::memset(bytes, 0, ZAR_SHARED_VIEW_SIZE);
    uint32_t keyGain[ZAR_KEY_GAIN_ENTRIES];
    BuildKeyGainTable(keyGain);
    std::memcpy(bytes + ZAR_SHARED_KEY_GAIN_OFFSET, keyGain, sizeof keyGain);
    BuildGainToLevelTable(bytes + ZAR_SHARED_GAIN_LEVEL_OFFSET);
}

void WriteStandardFields(ZAR_BOARD_SHARED* r, uint32_t standard)
{
    const bool pal = standard == 625;
    r->Standard = pal ? 625 : 525;
    r->FrameLines = pal ? 576 : 486;
    r->LastFrameLine = r->FrameLines - 1;
    r->FieldLines = pal ? 288 : 243;
    r->LastFieldLine = r->FieldLines - 1;
    r->FramesPerSecond = pal ? 25 : 30;
    r->FrameMicroseconds = pal ? 40000 : 33367;
    r->FrameRate = pal ? 25.0 : 30000.0 / 1001.0;
    r->FirstActiveLine = pal ? 20 : 15;
    const uint32_t window[4] = {pal ? 310u : 260u, pal ? 21u : 16u, pal ? 310u : 260u, pal ? 21u : 16u};
    std::memcpy(r->FieldWindow, window, sizeof window);
    r->FieldWindowLines = pal ? 310 : 260;
    r->FieldWindowStart = pal ? 22 : 17;
    r->SamplesPerLine = pal ? 864 : 858;
    r->PixelAspect = pal ? 16.0 / 15.0 : 1.0;
    r->LineScale = pal ? 0.9375 : 1.0;
    const uint32_t waveform[11] = {80, 0, 0, 0, 0, pal ? 0u : 1u, 0, 0, 0, 0, 1};
    std::memcpy(r->WaveformDefaults, waveform, sizeof waveform);
}

void ResetMixerSettings(ZAR_BOARD_SHARED* r)
{
    const uint32_t layer[9] = {0, 0, 0, 7, 4, 64, 8, 0, 255};
    const uint32_t mixEffects[9] = {0, 0, 0, 0, 0, 0, 1, 0, 0xC00000};
    std::memcpy(r->MixDve, layer, sizeof layer);
    std::memcpy(r->MixDownStreamKey, layer, sizeof layer);
    std::memcpy(r->MixEffects, mixEffects, sizeof mixEffects);
}

uint32_t SampleRateOfCode(uint32_t code)
{
    static const uint32_t kRates[] = {48000, 44100, 32000, 22050, 11025};
    return code < 5 ? kRates[code] : 0;
}

}  // namespace zarapi

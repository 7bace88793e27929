// The shared section's contents as the library writes them: the two lookup
// tables its first creator fills, the video fields of a board record for
// its standard, and the record's mixer defaults.
#pragma once

#include <cstdint>

#include "include/zardll.h"

namespace zarapi {

// The fader law every level of the library follows (ZarAudCalcAudioDB kind
// 0, the gain-to-level table): level 0..255 in dB, -90.309 at 0 (silence),
// 0 at 192, +12.0412 at 255.
double FaderLevelDb(uint32_t level);
// Its linear gain: 0 at level 0, 1.0 at 192, 4.0 at 255.
double FaderLevelGain(uint32_t level);

// 256 words: min(1024 / (256 - i), 1023), each raised above the one before.
void BuildKeyGainTable(uint32_t* table);
// ZAR_GAIN_LEVEL_ENTRIES bytes: entry k is the level whose gain is nearest
// to k / 10,000 (a tie goes to the higher level).
void BuildGainToLevelTable(uint8_t* table);
// Both tables into a zeroed view of the section.
void FillNewSection(void* view);

// The record's video fields for 525 or 625 lines (anything else counts as 525).
void WriteStandardFields(ZAR_BOARD_SHARED* record, uint32_t standard);
// The mix, down-stream-key and mix-effects records at their defaults.
void ResetMixerSettings(ZAR_BOARD_SHARED* record);
// The board's audio-standard code as a sample rate in Hz (0 for an unknown code).
uint32_t SampleRateOfCode(uint32_t code);

}  // namespace zarapi

// An LTC decoder for the tests, written apart from the simulated chip's: it
// measures the run lengths between transitions of a biphase-mark stream of
// half-bit levels (a short run is half a cell, a long one a whole cell),
// turns them into bits and takes every 80 bits that end in the sync word.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace ltctest {

using Frame = std::array<uint8_t, 8>;  // bits 0-63, low bit first

inline std::vector<Frame> DecodeAll(const std::vector<int8_t>& levels)
{
    std::vector<int> runs;
    for (size_t i = 0; i < levels.size();) {
        size_t j = i;
        while (j < levels.size() && levels[j] == levels[i]) ++j;
        runs.push_back(int(j - i));
        i = j;
    }
    std::vector<int> bits;
    for (size_t r = 0; r < runs.size(); ++r) {
        if (runs[r] == 2) {
            bits.push_back(0);
        } else if (runs[r] == 1 && r + 1 < runs.size() && runs[r + 1] == 1) {
            bits.push_back(1);
            ++r;
        } else {
            bits.push_back(-1);  // out of step
        }
    }
    const int sync[16] = {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1};
    std::vector<Frame> frames;
    for (size_t end = 80; end <= bits.size(); ++end) {
        bool found = true;
        for (int s = 0; s < 16 && found; ++s) found = bits[end - 16 + s] == sync[s];
        if (!found) continue;
        Frame f{};
        bool clean = true;
        for (int b = 0; b < 64; ++b) {
            int bit = bits[end - 80 + b];
            clean = clean && bit >= 0;
            f[b / 8] |= uint8_t((bit > 0) << (b % 8));
        }
        if (clean) frames.push_back(f);
    }
    return frames;
}

}  // namespace ltctest

// The interpolation kernels of the audio resampler: for 4, 8, 16 and 32
// taps, 63 rows of Q15 coefficients, row p for a point p/64 of a sample
// past the current one (row 0, the sample itself, needs no filter). Every
// row sums to about 32,768 (unity gain) and row 64 - p is row p reversed.
#pragma once

#include <cstdint>

inline constexpr uint32_t kAudioKernelPhases = 64;
inline constexpr uint32_t kAudioMaxOrder = 4;

// Taps of an order 1-4: 4, 8, 16, 32.
constexpr uint32_t AudioKernelTaps(uint32_t order) { return 2u << order; }
// Row 'phase' (1-63) of the kernel of 'order' (1-4): AudioKernelTaps(order)
// coefficients, the first for the sample taps / 2 - 1 before the current one.
// The rows of a kernel lie 32 coefficients apart.
const int16_t* AudioKernelRow(uint32_t order, uint32_t phase);

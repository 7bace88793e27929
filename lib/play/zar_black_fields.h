// The compressed black fields of an empty clip stream.
#pragma once

#include <cstdint>

inline constexpr uint32_t kBlackFieldBytes525 = 4608;  // 9 sectors
inline constexpr uint32_t kBlackFieldBytes625 = 5120;  // 10 sectors
extern const uint8_t kBlackField525[kBlackFieldBytes525];
extern const uint8_t kBlackField625[kBlackFieldBytes625];

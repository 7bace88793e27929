// The built-in pictures of an empty field (a field with no data): baseline
// JFIF images of a black field, one for the fill and one for the key of
// each standard, 4,608 bytes (9 sectors) at 525 lines and 5,120 bytes (10
// sectors) at 625 lines. They are what an empty field plays and reads as.
#pragma once

#include <cstdint>

struct EmptyFieldImage {
    const uint8_t* bytes;  // in memory a disk request may name; null when it could not be made
    uint32_t length;       // 4,608 or 5,120
    uint32_t sectors;      // 9 or 10
};

EmptyFieldImage GetEmptyFieldImage(bool key, bool is625);

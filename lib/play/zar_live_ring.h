// The live source's frame ring: a named, page-file-backed section that one
// process writes fields into and another plays them from. A 40-byte header,
// a table of the byte size of the field in each slot (0: empty), then N
// slots of S bytes at D. The writer alone moves the write count, the reader
// alone the read count, each a whole frame (two fields) at a time; slot
// sizes are written before the write count moves.
#pragma once

#include <cstdint>

struct ZAR_LIVE_RING_HEADER {
    uint32_t HeaderSize;   // 40
    uint32_t Standard;     // 525 or 625
    uint32_t Slots;        // N, a power of two
    uint32_t SlotSize;     // S, a multiple of 512
    uint32_t TableOffset;  // 40
    uint32_t DataOffset;   // D = (40 + 4N) rounded up to 512
    uint32_t WriteCount;   // fields published
    uint32_t ReadCount;    // fields consumed
    uint32_t Dropped;      // frames the writer could not publish
    uint32_t FieldOffset;  // the board's field counter less the ring's, written by the reader
};
static_assert(sizeof(ZAR_LIVE_RING_HEADER) == 40);

namespace liveRing {

inline constexpr uint32_t kHeaderBytes = 40;
inline constexpr uint32_t kMinWriterSlots = 8;
inline constexpr uint32_t kMinReaderSlots = 4;
inline constexpr uint32_t kMaxSlots = 256;
inline constexpr uint64_t kMaxBytes = 0x40000000;  // 1 GiB

constexpr bool IsPowerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }
constexpr uint32_t RoundUp512(uint64_t n) { return uint32_t((n + 511) & ~uint64_t(511)); }
constexpr uint32_t DataOffset(uint32_t slots) { return RoundUp512(kHeaderBytes + 4ull * slots); }

// Words of the header another process changes, read and written whole.
inline uint32_t Load(const uint32_t& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }
inline void Store(uint32_t& word, uint32_t value) { __atomic_store_n(&word, value, __ATOMIC_RELEASE); }

}  // namespace liveRing

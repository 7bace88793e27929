// The last two fields a clip stream's transfer thread loaded into board
// memory, keyed by where the field lies in its clip file, so that a field
// asked for again right away (a held frame, a still, a repeated field) is
// played from the board memory it already occupies.
#pragma once

#include <cstdint>

struct ZAR_FIELD_LOCATION;

struct CSdLookasideListEntry {
    uint32_t inUse = 0;
    uint32_t boardAddress = 0;
    uint64_t key = 0;
};

class CSdLookasideList {
public:
    // The key of a field: its two placement words, the first one high.
    static uint64_t KeyOf(const ZAR_FIELD_LOCATION& location);

    // True (a hit) when the field is one of the two kept: LastHit() then
    // names its board memory. Otherwise the field replaces the older entry
    // with the board address it is about to be loaded at.
    bool LookupOrInsert(uint64_t key, uint32_t boardAddress);
    uint32_t LastHit() const { return m_lastHit; }
    uint32_t NextSlot() const { return m_next; }
    const CSdLookasideListEntry& Entry(uint32_t i) const { return m_entries[i & 1]; }

private:
    CSdLookasideListEntry m_entries[2];
    uint32_t m_next = 0;
    uint32_t m_lastHit = 0;
};

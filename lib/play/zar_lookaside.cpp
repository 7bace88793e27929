// The two-entry look-aside list of fields in board memory.

#include "zar_lookaside.h"

#include "zar_file.h"

uint64_t CSdLookasideList::KeyOf(const ZAR_FIELD_LOCATION& location)
{
    return (uint64_t(location.place[0]) << 32) | location.place[1];
}

bool CSdLookasideList::LookupOrInsert(uint64_t key, uint32_t boardAddress)
{
    for (const CSdLookasideListEntry& e : m_entries) {
        if (e.inUse && e.key == key) {
            m_lastHit = e.boardAddress;
            return true;
        }
    }
    m_entries[m_next] = {1, boardAddress, key};
    // Slots alternate, so the older of the two is the one replaced.
    m_next = (m_next - 1) & 1;
    return false;
}

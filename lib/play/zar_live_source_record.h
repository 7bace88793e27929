// The live source's recording queue: every field the ring reader hands to
// the board is appended, so that a running live recording can write the
// same fields into a clip. A ring of N entries with a write counter and a
// read index; a reader that fell N entries or more behind was lapped: the
// entries it missed are counted and it goes on from the oldest entry still
// held, never taking a newer field for an older one.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/win32/win32.h"

struct ZAR_LIVE_RECORD_ENTRY {
    uint32_t field;
    uint32_t key;
    uint32_t boardAddress;
    uint32_t data;  // address of the field's bytes
    uint32_t sectors;
};
static_assert(sizeof(ZAR_LIVE_RECORD_ENTRY) == 20);

class CSysLiveSourceRecord {
public:
    CSysLiveSourceRecord() = default;
    ~CSysLiveSourceRecord();
    CSysLiveSourceRecord(const CSysLiveSourceRecord&) = delete;
    CSysLiveSourceRecord& operator=(const CSysLiveSourceRecord&) = delete;

    // Sizes the queue for N entries; -4 when it cannot be made.
    int32_t Init(uint32_t entries);
    void Append(const ZAR_LIVE_RECORD_ENTRY& entry);
    // The next entry in order; false when none waits.
    bool Take(ZAR_LIVE_RECORD_ENTRY* entry);
    // Empties the queue (a recording's end).
    void Clear();

    HANDLE Event() const { return m_event; }
    uint32_t WriteCounter() const;
    uint32_t Lapped() const;

private:
    mutable std::mutex m_lock;  // guards the entries and both counters
    std::vector<ZAR_LIVE_RECORD_ENTRY> m_entries;
    uint32_t m_write = 0;
    uint32_t m_read = 0;
    uint32_t m_lapped = 0;
    HANDLE m_event = nullptr;
};

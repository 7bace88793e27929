// The recording queue between the ring reader (appending as fields go to
// the board) and a live recording's thread (taking them in order).

#include "zar_live_source_record.h"

#include "include/zardll.h"

CSysLiveSourceRecord::~CSysLiveSourceRecord()
{
    if (m_event) CloseHandle(m_event);
}

int32_t CSysLiveSourceRecord::Init(uint32_t entries)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (entries == 0) return ZAR_E_NO_MEMORY;
    if (!m_event) m_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!m_event) return ZAR_E_NO_MEMORY;
    m_entries.assign(entries, ZAR_LIVE_RECORD_ENTRY{});
    m_write = m_read = m_lapped = 0;
    return ZAR_OK;
}

void CSysLiveSourceRecord::Append(const ZAR_LIVE_RECORD_ENTRY& entry)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_entries.empty()) return;
        m_entries[m_write % m_entries.size()] = entry;
        ++m_write;
    }
    SetEvent(m_event);
}

bool CSysLiveSourceRecord::Take(ZAR_LIVE_RECORD_ENTRY* entry)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_entries.empty() || m_read == m_write) return false;
    const uint32_t size = uint32_t(m_entries.size());
    if (m_write - m_read > size) {
        // The oldest entries were overwritten before they were taken.
        m_lapped += m_write - m_read - size;
        m_read = m_write - size;
    }
    *entry = m_entries[m_read % size];
    ++m_read;
    return true;
}

void CSysLiveSourceRecord::Clear()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_write = m_read = 0;
}

uint32_t CSysLiveSourceRecord::WriteCounter() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_write;
}

uint32_t CSysLiveSourceRecord::Lapped() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lapped;
}

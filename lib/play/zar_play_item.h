// Play-list items and streams: an item is media or an effect with a length
// in fields; a stream is a time line on which items stand at field
// positions. Both are handle objects. A stream keeps its entries sorted by
// position, holds one reference on each entry's item, and never lets two
// items share a frame: entries are compared on whole frames, so an item may
// start on either field of a frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/zarply.h"
#include "zar_handles.h"

class CBoardConnection;
class CPlayStream;

struct ZAR_ITEM_RANGE {
    uint32_t start;
    uint32_t end;
};

class CPlayItem : public CHandleObject {
public:
    explicit CPlayItem(uint32_t length = 0, std::u16string name = {}) : m_length(length), m_name(std::move(name)) {}

    virtual ZAR_ITEM_RANGE GetRange() const { return {0, m_length}; }
    virtual uint32_t GetType() const = 0;
    // A hook no item of the base uses.
    virtual int32_t SpareHook(uint32_t, uint32_t) { return -1; }
    virtual void AttachToStream(CPlayStream* stream, uint32_t position)
    {
        m_stream = stream;
        m_position = position;
    }
    virtual void GetStreamPosition(CPlayStream** stream, uint32_t* position) const
    {
        *stream = m_stream;
        *position = m_position;
    }
    virtual void DetachFromStream() { m_stream = nullptr; }
    // A new item for fields [from, to) of this one; -1 where not supported.
    virtual int32_t BuildSubRange(ZAR_ITEM_RANGE, CPlayItem** newItem)
    {
        *newItem = nullptr;
        return -1;
    }

    uint32_t Length() const { return m_length; }
    const std::u16string& Name() const { return m_name; }

protected:
    uint32_t m_length;
    std::u16string m_name;
    CPlayStream* m_stream = nullptr;
    uint32_t m_position = 0xFFFFFFFF;
};

class CPlayStream : public CHandleObject {
public:
    struct Entry {
        uint32_t position;
        CPlayItem* item;
    };
    static constexpr uint32_t kGrowth = 100;

    explicit CPlayStream(CBoardConnection* connection = nullptr) : m_connection(connection) {}
    // Detaches and releases every entry's item.
    ~CPlayStream() override;

    virtual int32_t Query(ZAR_STREAM_QUERY* query);
    virtual int32_t QueryByIndex(ZAR_STREAM_QUERY* query);
    virtual bool IsEmpty() const { return m_entries.empty(); }
    // Only bit 0 is defined: 0 or 1, else ZAR_E_BAD_ARGUMENT.
    virtual int32_t SetModeFlags(uint32_t flags);
    // Whether an item of this class may stand on this stream.
    virtual bool TakesItem(const CPlayItem&) const { return true; }

    // 0; -1 when it would share a frame with an entry; ZAR_E_ITEM_ON_STREAM
    // when the item already stands on a stream (this one or another).
    int32_t InsertItem(CPlayItem* item, uint32_t position);
    // True when the item stood on this stream and was taken off.
    bool RemoveItem(CPlayItem* item);
    // 1 when moved; 0 when the item is not on this stream or the new place
    // is taken (it then stays where it was).
    int32_t RepositionItem(CPlayItem* item, uint32_t newPosition);

    // The field after an entry's last, with the entry's parity.
    static uint32_t EntryEnd(uint32_t position, uint32_t length) { return ((position & ~1u) + (length & ~1u)) ^ (position & 1u); }

    CBoardConnection* Connection() const { return m_connection; }
    uint32_t ModeFlags() const { return m_modeFlags; }
    const std::vector<Entry>& Entries() const { return m_entries; }

protected:
    CBoardConnection* m_connection;
    uint32_t m_state = 1;
    uint32_t m_modeFlags = 0;
    std::vector<Entry> m_entries;
};

// Bodies of the item and stream exports (the exports add the module state).
int32_t PlyItemQuery(ZAR_ITEM_QUERY* query);
int32_t PlyStreamQuery(ZAR_STREAM_QUERY* query, bool byIndex);
int32_t PlyIsStreamEmpty(uint32_t stream);
int32_t PlyGetStreamModeFlags(uint32_t stream, uint32_t* flags);
int32_t PlySetStreamModeFlags(uint32_t stream, uint32_t flags);
int32_t PlySetStreamProperties(void* record);

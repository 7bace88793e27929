// Items and streams: the sorted entry array with its whole-frame rule, and
// the bodies of the generic query exports.

#include "zar_play_item.h"

#include <algorithm>

namespace {

uint32_t Frame(uint32_t field) { return field & ~1u; }

bool Accessible(void* record, size_t bytes)
{
    return record && !IsBadReadPtr(record, bytes) && !IsBadWritePtr(record, bytes);
}

}  // namespace

CPlayStream::~CPlayStream()
{
    // An item the application still holds must not point at a dead stream.
    for (Entry& e : m_entries) {
        e.item->DetachFromStream();
        e.item->Release();
    }
}

int32_t CPlayStream::SetModeFlags(uint32_t flags)
{
    if (flags > 1) return ZAR_E_BAD_ARGUMENT;
    m_modeFlags = flags;
    return ZAR_OK;
}

int32_t CPlayStream::InsertItem(CPlayItem* item, uint32_t position)
{
    CPlayStream* current = nullptr;
    uint32_t currentPosition = 0;
    item->GetStreamPosition(&current, &currentPosition);
    if (current) return ZAR_E_ITEM_ON_STREAM;
    if (!TakesItem(*item)) return -1;  // an item of a class the stream does not play
    // An item that would run past the last field of the time line has no end to order it by.
    if (uint64_t(Frame(position)) + (item->Length() & ~1u) > 0xFFFFFFFFu) return -1;

    // The first entry that ends after the new item's first frame.
    auto found = std::lower_bound(m_entries.begin(), m_entries.end(), position, [](const Entry& e, uint32_t p) {
        return Frame(EntryEnd(e.position, e.item->Length())) <= Frame(p);
    });
    if (found != m_entries.end() && Frame(EntryEnd(position, item->Length())) > Frame(found->position)) return -1;

    if (m_entries.size() == m_entries.capacity()) {
        size_t index = found - m_entries.begin();
        m_entries.reserve(m_entries.size() + kGrowth);
        found = m_entries.begin() + index;
    }
    item->Reference();
    item->AttachToStream(this, position);
    m_entries.insert(found, Entry{position, item});
    return ZAR_OK;
}

bool CPlayStream::RemoveItem(CPlayItem* item)
{
    CPlayStream* stream = nullptr;
    uint32_t position = 0;
    item->GetStreamPosition(&stream, &position);
    if (stream != this) return false;
    auto found = std::lower_bound(m_entries.begin(), m_entries.end(), position,
                                  [](const Entry& e, uint32_t p) { return e.position < p; });
    if (found == m_entries.end() || found->position != position || found->item != item) return false;
    m_entries.erase(found);
    item->DetachFromStream();
    item->Release();
    return true;
}

int32_t CPlayStream::RepositionItem(CPlayItem* item, uint32_t newPosition)
{
    CPlayStream* stream = nullptr;
    uint32_t oldPosition = 0;
    item->GetStreamPosition(&stream, &oldPosition);
    if (stream != this) return 0;
    item->Reference();  // the entry's reference goes with the removal; keep the item meanwhile
    RemoveItem(item);
    int32_t moved = 1;
    if (InsertItem(item, newPosition) != ZAR_OK) {
        InsertItem(item, oldPosition);
        moved = 0;
    }
    item->Release();
    return moved;
}

int32_t CPlayStream::Query(ZAR_STREAM_QUERY* query)
{
    if (query->Item == 0) query->Item = 0xFFFFFFFF;
    query->Count = static_cast<uint32_t>(m_entries.size());
    if (m_entries.empty()) {
        query->First = 0;
        query->End = 0;
    } else {
        query->First = m_entries.front().position;
        query->End = m_entries.back().position + m_entries.back().item->Length();
    }
    if (query->Item == 0xFFFFFFFF) return ZAR_OK;

    CHandleRef<CPlayItem> item(query->Item);
    if (!item || !TakesItem(*item.Get())) return ZAR_E_BAD_HANDLE;
    CPlayStream* stream = nullptr;
    item->GetStreamPosition(&stream, &query->Position);
    if (stream != this) return ZAR_E_BAD_HANDLE;
    ZAR_ITEM_RANGE range = item->GetRange();
    query->RangeStart = range.start;
    query->RangeEnd = range.end;
    return ZAR_OK;
}

int32_t CPlayStream::QueryByIndex(ZAR_STREAM_QUERY* query)
{
    if (query->Index >= m_entries.size()) return -1;
    query->Item = m_entries[query->Index].item->Handle();
    return Query(query);
}

int32_t PlyItemQuery(ZAR_ITEM_QUERY* query)
{
    if (!Accessible(query, sizeof *query)) return ZAR_E_BAD_ARGUMENT;
    CHandleRef<CPlayItem> item(query->Item);
    if (!item) return ZAR_E_BAD_HANDLE;
    if (query->NameBuffer != 0) {
        const std::u16string& name = item->Name();
        int bytes = WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
        auto* buffer = reinterpret_cast<char*>(static_cast<uintptr_t>(query->NameBuffer));
        if (bytes <= 0 || IsBadWritePtr(buffer, bytes)) return ZAR_E_DRIVER;
        WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, buffer, bytes, nullptr, nullptr);
    }
    query->Type = item->GetType();
    query->Frames = item->Length() / 2;
    query->References = static_cast<uint32_t>(item->References());
    return ZAR_OK;
}

int32_t PlyStreamQuery(ZAR_STREAM_QUERY* query, bool byIndex)
{
    if (!Accessible(query, sizeof *query)) return ZAR_E_BAD_ARGUMENT;
    CHandleRef<CPlayStream> stream(query->Stream);
    if (!stream) return ZAR_E_BAD_HANDLE;
    return byIndex ? stream->QueryByIndex(query) : stream->Query(query);
}

int32_t PlyIsStreamEmpty(uint32_t handle)
{
    CHandleRef<CPlayStream> stream(handle);
    return !stream || stream->IsEmpty() ? 1 : 0;
}

int32_t PlyGetStreamModeFlags(uint32_t handle, uint32_t* flags)
{
    if (!flags || IsBadWritePtr(flags, sizeof *flags)) return ZAR_E_BAD_ARGUMENT;
    CHandleRef<CPlayStream> stream(handle);
    if (!stream) return ZAR_E_BAD_HANDLE;
    *flags = stream->ModeFlags();
    return ZAR_OK;
}

int32_t PlySetStreamModeFlags(uint32_t handle, uint32_t flags)
{
    CHandleRef<CPlayStream> stream(handle);
    if (!stream) return ZAR_E_BAD_HANDLE;
    return stream->SetModeFlags(flags);
}

int32_t PlySetStreamProperties(void* record)
{
    return Accessible(record, sizeof(ZAR_STREAM_ITEM)) ? ZAR_OK : ZAR_E_BAD_ARGUMENT;
}

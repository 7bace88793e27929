// The exports of play items and streams. Each holds the library's module
// state for the call and calls its body; nothing thrown crosses this line.

#include "include/zarply.h"
#include "zar_app.h"
#include "zar_play_item.h"

namespace {

template <class Body>
int32_t Enter(int32_t withoutLibrary, Body body)
{
    if (!ZarApp()) return withoutLibrary;
    try {
        return body();
    } catch (...) {
        return ZAR_E_NO_MEMORY;
    }
}

}  // namespace

ZAR_API int32_t ZarPlyItemQuery(ZAR_ITEM_QUERY* query)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlyItemQuery(query); });
}

ZAR_API int32_t ZarPlyStreamQuery(ZAR_STREAM_QUERY* query)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlyStreamQuery(query, false); });
}

ZAR_API int32_t ZarPlyStreamQueryByIndex(ZAR_STREAM_QUERY* query)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlyStreamQuery(query, true); });
}

ZAR_API int32_t ZarPlyIsStreamEmpty(uint32_t stream)
{
    return Enter(1, [&] { return PlyIsStreamEmpty(stream); });
}

ZAR_API int32_t ZarPlyGetStreamModeFlags(uint32_t stream, uint32_t* flags)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlyGetStreamModeFlags(stream, flags); });
}

ZAR_API int32_t ZarPlySetStreamModeFlags(uint32_t stream, uint32_t flags)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlySetStreamModeFlags(stream, flags); });
}

ZAR_API int32_t ZarPlySetStreamProperties(ZAR_BOARD, void* record)
{
    return Enter(ZAR_E_BAD_HANDLE, [&] { return PlySetStreamProperties(record); });
}

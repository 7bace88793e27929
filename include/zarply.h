// The play engine's side of ZarDll as applications call it: the records of
// the item and stream queries, the result codes the play engine adds to the
// frame's, and the exports of items and streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zardll.h"

enum : int32_t {
    ZAR_E_NO_ROOM = -12,           // no room for a recorded field
    ZAR_E_FRAME_COUNT = -14,       // the frame count of a copied range differs
    ZAR_E_ITEM_ON_STREAM = -15,    // the item already stands on a stream
    ZAR_E_CLIP_EXISTS = -28,       // the media clip to create exists already
};

// ZarPlyStreamQuery / ZarPlyStreamQueryByIndex.
struct ZAR_STREAM_QUERY {
    uint32_t Stream;
    uint32_t Index;       // by-index query only
    uint32_t Item;        // in/out; 0 or all ones: no item
    uint32_t Position;    // the item's field position on the stream
    uint32_t RangeStart;
    uint32_t RangeEnd;
    uint32_t First;       // first entry's position (0 when empty)
    uint32_t End;         // last entry's position plus its length (0 when empty)
    uint32_t Count;
};
static_assert(sizeof(ZAR_STREAM_QUERY) == 36);

// ZarPlyItemQuery.
struct ZAR_ITEM_QUERY {
    uint32_t Item;
    uint32_t Type;
    uint32_t NameBuffer;  // address of a caller buffer for the name in the ANSI code page; 0: not wanted
    uint32_t Frames;
    uint32_t References;
};
static_assert(sizeof(ZAR_ITEM_QUERY) == 20);

ZAR_API int32_t ZarPlyItemQuery(ZAR_ITEM_QUERY* query);
ZAR_API int32_t ZarPlyStreamQuery(ZAR_STREAM_QUERY* query);
ZAR_API int32_t ZarPlyStreamQueryByIndex(ZAR_STREAM_QUERY* query);
// 1 when the handle is unknown, not a stream, or the stream is empty.
ZAR_API int32_t ZarPlyIsStreamEmpty(uint32_t stream);
ZAR_API int32_t ZarPlyGetStreamModeFlags(uint32_t stream, uint32_t* flags);
ZAR_API int32_t ZarPlySetStreamModeFlags(uint32_t stream, uint32_t flags);
// Checks the 12-byte record and does nothing else.
ZAR_API int32_t ZarPlySetStreamProperties(ZAR_BOARD board, void* record);

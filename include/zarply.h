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
    ZAR_E_CLIP_EXISTS = -28,       // the media clip to create exists already (or a section name in use)
    ZAR_E_FILE_WRITE = -32,        // a file could not be sized or its header written
    ZAR_E_SAMPLE_RATE = -49,       // the board's sample rate is not a whole multiple of the item's
    ZAR_E_UNIT_STOP = -100,        // a transfer could not stop its unit at start (internal)
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

// The cue request (ZarPlyCueStreams): one board's streams cued as a group.
// Handles 0 or all ones name nothing; positions are field numbers.
struct ZAR_CUE_STREAMS {
    int32_t In;
    int32_t Out;
    uint32_t Start;
    uint32_t Mode;             // ZAR_CUE_MODE_...
    uint32_t Flags;            // ZAR_CUE_FLAG_...
    uint32_t StartEvent;
    uint32_t StopEvent;        // also the key of the stream group
    uint32_t DoneEvent;
    uint32_t ClipStream[2];
    uint32_t AudioStream[8];
    uint32_t GraphicsStream[2];
    uint32_t DveStream;
    uint32_t WipeStream;
    uint32_t MixerStream[2];
    uint32_t MasterFadeStream;
    uint32_t ProcAmpStream[2];
    uint32_t AudioLevelStream[8];
    uint32_t AudioPanStream[8];
    uint32_t AudioEqStream[8];
    uint32_t PreviewBusStream;
    uint32_t M2RouteStream;
    uint32_t Unused212;
};
static_assert(sizeof(ZAR_CUE_STREAMS) == 216);
static_assert(offsetof(ZAR_CUE_STREAMS, ClipStream) == 32);
static_assert(offsetof(ZAR_CUE_STREAMS, PreviewBusStream) == 204);

enum : uint32_t {
    ZAR_CUE_MODE_NORMAL = 1,
    ZAR_CUE_MODE_FIRST_FRAME = 2,  // clip streams load their first frame on the caller's thread
    ZAR_CUE_MODE_AUDIO = 4,
    ZAR_CUE_MODE_VARI = 5,
};
enum : uint32_t {
    ZAR_CUE_FLAG_LOOP = 1,
    ZAR_CUE_FLAG_LOOPING_ITEMS = 2,
    ZAR_CUE_FLAG_SHORT_QUEUE = 8,  // a clip transfer queues 15 fields ahead instead of 30
    ZAR_CUE_FLAG_HOLD_FRAME = 64,
};

ZAR_API int32_t ZarPlyItemQuery(ZAR_ITEM_QUERY* query);
ZAR_API int32_t ZarPlyStreamQuery(ZAR_STREAM_QUERY* query);
ZAR_API int32_t ZarPlyStreamQueryByIndex(ZAR_STREAM_QUERY* query);
// 1 when the handle is unknown, not a stream, or the stream is empty.
ZAR_API int32_t ZarPlyIsStreamEmpty(uint32_t stream);
ZAR_API int32_t ZarPlyGetStreamModeFlags(uint32_t stream, uint32_t* flags);
ZAR_API int32_t ZarPlySetStreamModeFlags(uint32_t stream, uint32_t flags);
// Checks the 12-byte record and does nothing else.
ZAR_API int32_t ZarPlySetStreamProperties(ZAR_BOARD board, void* record);

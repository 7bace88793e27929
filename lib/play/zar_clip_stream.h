// A clip stream: a video time line of one board on which clip items stand
// at field positions; where no item stands the stream plays a built-in
// compressed black field. It answers per stream field (which item, which
// item field, its size, its load into board memory), shows one frame for
// stills and scrubbing, and cues its transfer thread.
//
// Each board plays at most two clip streams at once: stream index 0 through
// JPEG unit 0, index 1 through unit 1.
#pragma once

#include <cstdint>

#include "include/zarply.h"
#include "zar_clip_item.h"
#include "zar_play_item.h"

class CBoardConnection;

// Where a stream position falls.
struct ZAR_FIELD_SPOT {
    CClipItem* item;      // null: nothing stands there (black)
    uint32_t itemField;
};

// The play cursor a transfer thread walks the stream with: positions in
// [start, end), wrapping to start when looping.
struct ZAR_PLAY_CURSOR {
    uint32_t current = 0;
    uint32_t previous = 0;
    uint32_t start = 0;
    uint32_t end = 0;
    uint32_t loop = 0;
    uint32_t wraps = 0;

    void Init(uint32_t rangeStart, uint32_t rangeEnd, uint32_t position, bool looping);
    // The position to play next, then one on; at the end it wraps when
    // looping, else stays.
    uint32_t Next();
    // The range is played out: the current position is in the end's frame
    // (never when looping).
    bool Done() const;
};

class CClipStream : public CPlayStream {
public:
    static constexpr uint32_t kMaxBoards = 10;
    static constexpr DWORD kCueWaitMs = 30000;
    static constexpr uint32_t kUncompressedFieldSectors525 = 684;

    explicit CClipStream(CBoardConnection* connection) : CPlayStream(connection) {}

    // 0; -1 for an item whose file is not open for reading or that would
    // share a frame; ZAR_E_ITEM_ON_STREAM for an item on a stream already.
    int32_t InsertClip(CClipItem* item, uint32_t position);
    bool TakesItem(const CPlayItem& item) const override { return dynamic_cast<const CClipItem*>(&item) != nullptr; }
    int32_t SetModeFlags(uint32_t flags) override { return flags == 0 ? ZAR_OK : ZAR_E_BAD_ARGUMENT; }

    ZAR_FIELD_SPOT Locate(uint32_t position) const;

    // ---- per field, at a stream position ----
    int32_t GetFieldNode(uint32_t position, ZAR_FIELD_LOCATION** node) const;
    // Sectors the field loads with; an empty place: the black field's 9 or
    // 10 sectors, or 684 in 24 fps mode.
    uint32_t GetFieldSize(uint32_t position) const;
    // Loads the field into board memory at a block of the play ring.
    int32_t FieldToBoard(uint32_t position, uint32_t unit, uint32_t boardBlock) const;
    int32_t ReadField(uint32_t position, void* buffer, uint32_t bytes) const;

    // One frame into the JPEG unit (stills, scrubbing): field mode 0 both
    // fields, 1 the first, 2 the second.
    int32_t ShowFrame(CBoardConnection* connection, uint32_t position, uint32_t unit, uint32_t fieldMode,
                      uint32_t stopFirst);
    // Starts the stream's transfer as index 'index' of the cue.
    int32_t Cue(CBoardConnection* connection, const ZAR_CUE_STREAMS& cue, uint32_t index);

    uint32_t Standard() const;
    bool In24FpsMode() const;
    // The black field loaded at a block of the play ring (operation 0x301).
    bool LoadBlackField(uint32_t unit, uint32_t boardBlock) const;

    // The transfer-done event of a board and stream index: made on first
    // use, signalled; a cue resets it and the transfer's end sets it.
    static HANDLE TransferDoneEvent(uint32_t board, uint32_t index);
    // The transfer thread now running for the board and index (null if none).
    static HANDLE TransferThread(uint32_t board, uint32_t index);

private:
    uint32_t BlackSectors() const { return Standard() == 625 ? 10 : 9; }
};

// The black field of a standard in memory a disk request can name.
const uint8_t* BlackFieldBuffer(uint32_t standard, uint32_t* bytes);

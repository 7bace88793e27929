// A clip item: a view on the fill or the key channel of one clip file, with
// a source range, a speed, a field-repeat factor, a loop option and
// field-parity rules. It turns an output field (counted from the item's
// start on its stream) into a source field of the file and forwards each
// field operation to the file's fill or key operation.
#pragma once

#include <cstdint>
#include <string>

#include "zar_callback_file.h"
#include "zar_file.h"
#include "zar_play_item.h"

class CBoardConnection;
class CClipStream;
class CSysLiveSourceSync;
class CSysLiveSourceRecord;

#pragma pack(push, 1)
// The clip item parameter block (ZarPlyModifyClipItem; inside the open record).
struct ZAR_CLIP_ITEM_PARAMS {
    uint32_t Item;       // modify only
    uint32_t Set;        // ZAR_CLIP_SET_...
    uint32_t Position;   // new position on the item's clip stream (fields)
    uint32_t InFrame;
    uint16_t Phase;      // bit 15: start on the second field; low 15 bits: fraction / 32768
    uint32_t Length;     // output fields
    uint32_t OutField;
    double Speed;
    uint32_t Repeat;
    uint32_t Flags;      // ZAR_CLIP_ITEM_...
};
#pragma pack(pop)
static_assert(sizeof(ZAR_CLIP_ITEM_PARAMS) == 42);
static_assert(offsetof(ZAR_CLIP_ITEM_PARAMS, Phase) == 16);
static_assert(offsetof(ZAR_CLIP_ITEM_PARAMS, Speed) == 26);
static_assert(offsetof(ZAR_CLIP_ITEM_PARAMS, Flags) == 38);

enum : uint32_t {
    ZAR_CLIP_SET_RANGE = 1,     // in point and length
    ZAR_CLIP_SET_SPEED = 2,
    ZAR_CLIP_SET_OUT = 4,
    ZAR_CLIP_SET_REPEAT = 8,
    ZAR_CLIP_SET_POSITION = 16,
    ZAR_CLIP_SET_FLAGS = 32,
};

enum : uint32_t {
    ZAR_CLIP_ITEM_LOOP = 1,
    ZAR_CLIP_ITEM_FIXED_PARITY = 2,
    ZAR_CLIP_ITEM_SECOND_FIELD = 4,      // with FIXED_PARITY: always the odd field
    ZAR_CLIP_ITEM_NO_PARITY_FIX = 8,
    ZAR_CLIP_ITEM_OUTPUT_PARITY = 16,
    ZAR_CLIP_ITEM_HOLD_LAST = 32,
    ZAR_CLIP_ITEM_REVERSE_TO_OUT = 64,
};

// Host image formats of frame export and import.
enum : uint32_t {
    ZAR_HOST_BGRA = 0,
    ZAR_HOST_BGR = 1,
    ZAR_HOST_YUV422 = 16,
    ZAR_HOST_CBYCRA = 17,
};

inline constexpr uint32_t kBoardLineBytes = 1440;
inline constexpr uint32_t kYuvBlack = 0x10801080;  // Cb, Y, Cr, Y of studio-range black

class CClipItem : public CPlayItem {
public:
    static constexpr uint32_t kType = 100;
    static constexpr uint32_t kExportFieldBytes = 614400;

    explicit CClipItem(CBoardConnection* connection = nullptr);
    ~CClipItem() override;

    // Makes the file object of a path: a media-volume clip on the board's
    // media drive, else an ordinary-volume clip; null when it cannot.
    using FileMaker = CZarFile* (*)(CBoardConnection* connection, const std::u16string& path);
    static void SetFileMaker(FileMaker maker);

    // ---- creators ----
    int32_t CreateFill(const std::u16string& path, uint32_t sectorsPerField, uint32_t frames, uint32_t reserve,
                       uint32_t fixedSize);
    int32_t CreateKey(CClipItem& fill, uint32_t sectorsPerField, uint32_t reserve, uint32_t fixedSize);
    int32_t Open(const std::u16string& path, const ZAR_CLIP_ITEM_PARAMS& params, uint32_t access, bool key = false);
    // The same on a file object already made; the item takes over the
    // caller's reference, also on failure.
    int32_t OpenFile(CZarFile* file, const ZAR_CLIP_ITEM_PARAMS& params, uint32_t access, bool key = false);

    // The creators below refuse zero frames, or a count whose fields do not
    // fit in 32 bits, with -2: such an item would have no field to play.

    // Kind 0: black; kind 3: an opaque key picture; both of any length and
    // with an empty name. Kind 2: the board's user virtual frame, looped
    // (-2 when no name is set). Any other kind: -1.
    int32_t CreateVirtual(uint32_t kind, uint32_t sectorsPerField, uint32_t frames);
    // Fields chosen by the application's callback (-2 without one).
    int32_t CreateCallback(ZarClipFieldCallback callback, uint32_t context, uint32_t frames);
    // The writing side of a named shared-memory frame ring.
    int32_t CreateMemfile(const std::string& mappingName, const std::string& eventName, uint32_t sectorsPerField,
                          uint32_t slots, uint32_t frames);
    // The reading side of the live source's ring.
    int32_t CreateLiveSource(CSysLiveSourceSync* sync, CSysLiveSourceRecord* queue, const std::string& mappingName,
                             uint32_t frames);

    // ---- range ----
    int32_t SetRange(const ZAR_CLIP_ITEM_PARAMS& params);
    int32_t Modify(const ZAR_CLIP_ITEM_PARAMS& params);
    uint32_t MapToSourceFrame(uint32_t n) const;

    // ---- CPlayItem ----
    ZAR_ITEM_RANGE GetRange() const override { return {m_in, m_out}; }
    uint32_t GetType() const override { return kType; }
    void AttachToStream(CPlayStream* stream, uint32_t position) override;
    void DetachFromStream() override;
    int32_t BuildSubRange(ZAR_ITEM_RANGE range, CPlayItem** newItem) override;

    // ---- field operations (output field n) ----
    int32_t GetFieldNode(uint32_t n, ZAR_FIELD_LOCATION** node);
    // Sectors of the field; ZAR_E_DRIVER beyond the length (as a negative number).
    int32_t GetFieldSize(uint32_t n);
    int32_t FieldToBoard(uint32_t n, uint32_t boardBlock, uint32_t keyWord = 0);
    int32_t FieldToBoardSync(uint32_t n, uint32_t boardBlock, uint32_t value20 = 0, uint32_t value96 = 0);
    int32_t ReadField(uint32_t n, void* buffer, uint32_t bytes);
    int32_t CheckFieldWrite(uint32_t field, uint32_t sectors);
    // A recorded field from board memory into the clip (the item's channel).
    int32_t TransferField(ZAR_FIELD_TRANSFER transfer);
    int32_t CreateSideFile();
    int32_t GetFieldPlacement(uint32_t n, uint32_t* target, uint32_t* block, uint32_t* sectors);
    // The parity the file gives the source field of output field n (n's own
    // parity beyond the length).
    uint32_t GetFieldParity(uint32_t n);
    // The file's uncompressed flag of the item's channel.
    uint32_t IsUncompressed();
    bool IsCallbackClip() const { return dynamic_cast<CZarCallbackFile*>(m_file) != nullptr; }

    // One frame (two fields) of the item into the caller's image: width 720,
    // |height| lines, a negative height bottom-up. Fields that are missing
    // or empty show as black.
    int32_t ExportFrame(uint32_t frame, uint32_t format, void* image, int32_t height);

    CZarFile* File() const { return m_file; }
    CClipStream* Stream() const { return m_clipStream; }
    uint32_t Position() const { return m_position; }
    bool IsKey() const { return m_keyChannel != 0; }
    double Speed() const { return m_speed; }
    double Phase() const { return m_phase; }
    uint32_t Flags() const { return m_flags; }
    uint32_t Repeat() const { return m_repeat; }
    uint32_t RepeatOffset() const { return m_repeatOffset; }
    uint32_t LoopOffset() const { return m_loopOffset; }
    uint32_t In() const { return m_in; }
    uint32_t Out() const { return m_out; }
    void SetName(std::u16string name) { m_name = std::move(name); }

private:
    CClipItem(const CClipItem& other);  // a sub-range copy: shares the file, stands on no stream
    int32_t Attach(CZarFile* file);
    // An item of 2 x frames fields from 0 over the file just attached.
    void SetWholeRange(uint32_t frames);
    int32_t MapForward(uint32_t n) const;
    int32_t MapReverse(uint32_t n) const;
    int32_t ApplyRange(const ZAR_CLIP_ITEM_PARAMS& params, bool modify);
    bool LoopPeriodIsWhole(uint32_t* period) const;

    CBoardConnection* m_connection;
    CZarFile* m_file = nullptr;
    uint32_t m_keyChannel = 0;
    uint32_t m_in = 0;
    uint32_t m_out = 0;
    CClipStream* m_clipStream = nullptr;
    double m_speed = 1.0;
    double m_phase = 0.0;
    uint32_t m_repeat = 1;
    uint32_t m_repeatOffset = 0;
    uint32_t m_loopOffset = 0;
    uint32_t m_flags = 0;
};

// The clip file format "KIV0" (.kiv): a 16-byte header, a chain of chunks
// (info, fill format, key format, fill index, key index, fill data, key
// data), all in 512-byte sectors. One reading of the format for the whole
// library: the layout of a clip, the format chunks, the reader with its
// checks, and the info block's record with the start time code.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "zar_file.h"

namespace kiv {

inline constexpr uint32_t kSector = 512;
inline constexpr uint32_t kHeaderBytes = 16;
inline constexpr uint32_t kChunkHeaderBytes = 16;
inline constexpr uint32_t kInfoChunkOffset = 16;
inline constexpr uint32_t kInfoBlockOffset = 32;
inline constexpr uint32_t kInfoBlockBytes = 256;
inline constexpr uint32_t kInfoChunkBytes = 272;
inline constexpr uint32_t kFillFormatOffset = 288;
inline constexpr uint32_t kKeyFormatOffset = 328;
inline constexpr uint32_t kFormatChunkBytes = 40;
inline constexpr uint32_t kLibraryChunkCount = 6;
// More frames than a clip can hold (77 hours at 30 frames a second): a
// reader refuses them rather than allocate an index from a damaged count.
inline constexpr uint32_t kMaxFrames = 1u << 23;

enum ChunkType : uint32_t { kFormat = 0, kInfo = 1, kIndex = 2, kData = 3 };
enum FormatFlags : uint32_t { kProgressive = 1, kKeyStream = 2, kNtscRate = 4, kInterleaved = 8 };

// Bytes of an index body: 8 a frame, rounded up to whole sectors.
inline uint32_t IndexBytes(uint32_t frames) { return (frames * 8 + kSector - 1) / kSector * kSector; }

// Where the chunks of a clip lie.
struct Layout {
    bool keyChunks;
    uint32_t indexBytes;
    uint64_t fillIndexHeader, keyIndexHeader;
    uint64_t fillDataHeader, fillData;
    uint64_t keyDataHeader, keyData;
    uint64_t end;
};
Layout ComputeLayout(bool keyChunks, uint32_t frames, uint64_t fillSectors, uint64_t keySectors);

// Coding kinds the library takes: 0 board-compressed fields, 1 and 3-15
// fields it moves as they are.
inline bool CodingKindAccepted(uint32_t kind) { return kind == 0 || kind == 1 || (kind >= 3 && kind <= 15); }
inline bool CodingKindUncompressed(uint32_t kind) { return kind == 1 || (kind >= 3 && kind <= 15); }

struct Format {
    uint16_t width, lines, rate;
    uint32_t kind, frames, flags;
};
// A whole 40-byte format chunk of a stream (0 fill, 1 key).
void WriteFormatChunk(uint8_t* chunk, uint32_t stream, bool is625, uint32_t kind, uint32_t frames);
// The chunk's header and body checked for the stream; false when any rule fails.
bool ReadFormatChunk(const uint8_t* chunk, uint32_t stream, Format* format);
void WriteChunkHeader(uint8_t* at, uint64_t size, uint32_t type, uint32_t stream);

// What a reader found in a clip file.
struct Clip {
    uint32_t chunkCount = 0;
    bool is625 = false;
    uint32_t frames = 0;
    bool keyPresent = false;  // a key stream was recorded
    bool keyChunks = false;
    uint32_t fillKind = 0, keyKind = 0;
    uint8_t info[kInfoBlockBytes] = {};
    uint64_t fillData = 0, keyData = 0;
    uint64_t fillSectors = 0, keySectors = 0;
    std::vector<ZAR_FIELD_LOCATION> fill, key;  // one a field, placement = file offset (high, low)
};

// Reads 'bytes' at 'offset' whole; false otherwise.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, uint32_t bytes)>;
// 0, or -1 for a file that breaks a rule (it is never read past its chunks).
int32_t ReadClip(const ReadAt& read, Clip* clip);

// The 64-bit file offset of a field location.
inline uint64_t FieldOffset(const ZAR_FIELD_LOCATION& l) { return (uint64_t(l.place[0]) << 32) | l.place[1]; }

// ---- The info block's "KIVV" record ----

struct TimeCode {
    uint32_t hours, minutes, seconds, frames;
    bool dropFrame;
};
uint32_t EncodeTimeCode(const TimeCode& tc);
TimeCode DecodeTimeCode(uint32_t bcd);

inline constexpr uint32_t kRecordBytes = 116;
// The record inside a 256-byte info block, or null when there is no form.
uint8_t* FindRecord(uint8_t* block);
// The record, making the form in a block that has none (the block is
// cleared first); null when the block's KIVV chunk has another size.
uint8_t* PrepareRecord(uint8_t* block);
bool SetStartTimeCode(uint8_t* block, const TimeCode& tc);
bool GetStartTimeCode(uint8_t* block, TimeCode* tc);

}  // namespace kiv

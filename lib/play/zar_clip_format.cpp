// Reading and laying out "KIV0" clip files. The reader checks every chunk
// it passes and refuses a file whose index or data chunk is too short for
// its frames, so a damaged or hostile file is never read past its chunks.

#include "zar_clip_format.h"

#include <cstring>

namespace kiv {

namespace {

uint16_t Get16(const uint8_t* p, uint32_t at)
{
    uint16_t v;
    std::memcpy(&v, p + at, 2);
    return v;
}
uint32_t Get32(const uint8_t* p, uint32_t at)
{
    uint32_t v;
    std::memcpy(&v, p + at, 4);
    return v;
}
uint64_t Get64(const uint8_t* p, uint32_t at)
{
    uint64_t v;
    std::memcpy(&v, p + at, 8);
    return v;
}
void Put16(uint8_t* p, uint32_t at, uint16_t v) { std::memcpy(p + at, &v, 2); }
void Put32(uint8_t* p, uint32_t at, uint32_t v) { std::memcpy(p + at, &v, 4); }
void Put64(uint8_t* p, uint32_t at, uint64_t v) { std::memcpy(p + at, &v, 8); }

struct ChunkHeader {
    uint64_t size;
    uint32_t type, stream;
};

bool ReadChunkHeader(const ReadAt& read, uint64_t at, ChunkHeader* h)
{
    uint8_t raw[kChunkHeaderBytes];
    if (!read(at, raw, sizeof raw)) return false;
    *h = {Get64(raw, 0), Get32(raw, 8), Get32(raw, 12)};
    return h->size >= kChunkHeaderBytes;
}

// The index body turned into field locations; false when the fields do not
// fit the stream's data chunk.
bool BuildLocations(const std::vector<uint8_t>& index, uint32_t frames, uint64_t dataStart, uint64_t dataSectors,
                    std::vector<ZAR_FIELD_LOCATION>* out)
{
    out->resize(size_t(frames) * 2);
    uint64_t sectors = 0;
    for (uint32_t f = 0; f < frames * 2; ++f) {
        ZAR_FIELD_LOCATION& l = (*out)[f];
        const uint64_t offset = dataStart + sectors * kSector;
        l.place[0] = uint32_t(offset >> 32);
        l.place[1] = uint32_t(offset);
        l.used = Get16(index.data(), f * 4);
        l.padding = Get16(index.data(), f * 4 + 2);
        sectors += uint64_t(l.used) + l.padding;
    }
    return sectors <= dataSectors;
}

}  // namespace

Layout ComputeLayout(bool keyChunks, uint32_t frames, uint64_t fillSectors, uint64_t keySectors)
{
    Layout l{};
    l.keyChunks = keyChunks;
    l.indexBytes = IndexBytes(frames);
    const uint64_t i = l.indexBytes;
    if (keyChunks) {
        l.fillIndexHeader = 368;
        l.keyIndexHeader = 384 + i;
        l.fillDataHeader = 400 + 2 * i;
    } else {
        l.fillIndexHeader = 328;
        l.fillDataHeader = 344 + i;
    }
    l.fillData = l.fillDataHeader + kChunkHeaderBytes;
    l.end = l.fillData + fillSectors * kSector;
    if (keyChunks) {
        l.keyDataHeader = l.end;
        l.keyData = l.keyDataHeader + kChunkHeaderBytes;
        l.end = l.keyData + keySectors * kSector;
    }
    return l;
}

void WriteChunkHeader(uint8_t* at, uint64_t size, uint32_t type, uint32_t stream)
{
    Put64(at, 0, size);
    Put32(at, 8, type);
    Put32(at, 12, stream);
}

void WriteFormatChunk(uint8_t* chunk, uint32_t stream, bool is625, uint32_t kind, uint32_t frames)
{
    std::memset(chunk, 0, kFormatChunkBytes);
    WriteChunkHeader(chunk, kFormatChunkBytes, kFormat, stream);
    Put16(chunk, 16, 720);
    Put16(chunk, 18, is625 ? 576 : 486);
    Put16(chunk, 20, 8);
    Put16(chunk, 22, 4);
    Put16(chunk, 24, 3);
    Put16(chunk, 26, is625 ? 25 : 30);
    Put32(chunk, 28, kind);
    Put32(chunk, 32, frames);
    Put32(chunk, 36, (is625 ? 0u : uint32_t(kNtscRate)) | (stream ? uint32_t(kKeyStream) : 0u));
}

bool ReadFormatChunk(const uint8_t* chunk, uint32_t stream, Format* f)
{
    if (Get64(chunk, 0) != kFormatChunkBytes || Get32(chunk, 8) != kFormat || Get32(chunk, 12) != stream) return false;
    *f = {Get16(chunk, 16), Get16(chunk, 18), Get16(chunk, 26), Get32(chunk, 28), Get32(chunk, 32), Get32(chunk, 36)};
    if (bool(f->flags & kKeyStream) != (stream == 1)) return false;
    if (f->flags & (kProgressive | kInterleaved)) return false;  // the library reads neither
    if (!CodingKindAccepted(f->kind)) return false;
    if (Get16(chunk, 20) != 8 || Get16(chunk, 22) != 4 || Get16(chunk, 24) != 3) return false;
    if (f->width != 720 || (f->lines != 486 && f->lines != 576)) return false;
    if (f->rate != 30 && f->rate != 25) return false;
    if (f->rate == 30 && !(f->flags & kNtscRate)) return false;
    return true;
}

int32_t ReadClip(const ReadAt& read, Clip* clip)
{
    uint8_t header[kHeaderBytes];
    if (!read(0, header, sizeof header) || std::memcmp(header, "KIV0", 4) != 0) return ZAR_E_DRIVER;
    clip->chunkCount = Get32(header, 8);
    clip->keyChunks = clip->chunkCount > 4;

    ChunkHeader h;
    if (!ReadChunkHeader(read, kInfoChunkOffset, &h) || h.type != kInfo || h.size != kInfoChunkBytes) return ZAR_E_DRIVER;
    if (!read(kInfoBlockOffset, clip->info, kInfoBlockBytes)) return ZAR_E_DRIVER;

    uint8_t chunk[kFormatChunkBytes];
    Format fill, key{};
    if (!read(kFillFormatOffset, chunk, sizeof chunk) || !ReadFormatChunk(chunk, 0, &fill)) return ZAR_E_DRIVER;
    clip->is625 = fill.rate == 25;
    clip->frames = fill.frames;
    if (clip->frames > kMaxFrames) return ZAR_E_DRIVER;
    clip->fillKind = fill.kind;
    uint64_t at = kFillFormatOffset + kFormatChunkBytes;
    if (clip->keyChunks) {
        if (!read(kKeyFormatOffset, chunk, sizeof chunk) || !ReadFormatChunk(chunk, 1, &key)) return ZAR_E_DRIVER;
        if (key.frames != 0 && key.frames != fill.frames) return ZAR_E_DRIVER;
        clip->keyPresent = key.frames > 0;
        clip->keyKind = key.kind;
        at += kFormatChunkBytes;
    }

    const uint64_t indexNeeded = uint64_t(clip->frames) * 8;
    if (!ReadChunkHeader(read, at, &h) || h.type != kIndex || h.stream != 0) return ZAR_E_DRIVER;
    if (h.size - kChunkHeaderBytes < indexNeeded) return ZAR_E_DRIVER;
    const uint64_t fillIndex = at + kChunkHeaderBytes;
    at += h.size;
    uint64_t keyIndex = 0;
    if (clip->keyChunks) {
        if (!ReadChunkHeader(read, at, &h) || h.type != kIndex || h.stream != 1) return ZAR_E_DRIVER;
        if (clip->keyPresent && h.size - kChunkHeaderBytes < indexNeeded) return ZAR_E_DRIVER;
        keyIndex = at + kChunkHeaderBytes;
        at += h.size;
    }

    if (!ReadChunkHeader(read, at, &h) || h.type != kData || h.stream != 0) return ZAR_E_DRIVER;
    clip->fillData = at + kChunkHeaderBytes;
    clip->fillSectors = (h.size - kChunkHeaderBytes) / kSector;
    if (clip->keyPresent) {
        at = clip->fillData + clip->fillSectors * kSector;
        if (!ReadChunkHeader(read, at, &h) || h.type != kData || h.stream != 1) return ZAR_E_DRIVER;
        clip->keyData = at + kChunkHeaderBytes;
        clip->keySectors = (h.size - kChunkHeaderBytes) / kSector;
    }

    std::vector<uint8_t> index(static_cast<size_t>(indexNeeded));
    if (indexNeeded && !read(fillIndex, index.data(), uint32_t(indexNeeded))) return ZAR_E_DRIVER;
    if (!BuildLocations(index, clip->frames, clip->fillData, clip->fillSectors, &clip->fill)) return ZAR_E_DRIVER;
    if (clip->keyPresent) {
        if (!read(keyIndex, index.data(), uint32_t(indexNeeded))) return ZAR_E_DRIVER;
        if (!BuildLocations(index, clip->frames, clip->keyData, clip->keySectors, &clip->key)) return ZAR_E_DRIVER;
    }
    return ZAR_OK;
}

uint32_t EncodeTimeCode(const TimeCode& tc)
{
    auto bcd = [](uint32_t v, uint32_t tensMask) { return (((v / 10) & tensMask) << 4) | (v % 10); };
    return bcd(tc.hours, 3) << 24 | bcd(tc.minutes, 7) << 16 | bcd(tc.seconds, 7) << 8 | (tc.dropFrame ? 0x40u : 0u) |
           bcd(tc.frames, 3);
}

TimeCode DecodeTimeCode(uint32_t v)
{
    auto digits = [](uint32_t byte, uint32_t tensMask) { return ((byte >> 4) & tensMask) * 10 + (byte & 15); };
    return {digits(v >> 24, 3), digits(v >> 16, 7), digits(v >> 8, 7), digits(v, 3), (v & 0x40) != 0};
}

uint8_t* FindRecord(uint8_t* block)
{
    for (uint32_t i = 0; i < 128; ++i)
        if (std::memcmp(block + i, "ZAR KIVV", 8) == 0) return block + i + 12;
    return nullptr;
}

namespace {
bool RecordSizeRight(const uint8_t* record) { return Get32(record - 4, 0) == kRecordBytes; }
}  // namespace

uint8_t* PrepareRecord(uint8_t* block)
{
    if (uint8_t* record = FindRecord(block)) return RecordSizeRight(record) ? record : nullptr;
    std::memset(block, 0, kInfoBlockBytes);
    std::memcpy(block, "RIFF", 4);
    Put32(block, 4, 4 + 8 + kRecordBytes);
    std::memcpy(block + 8, "ZAR KIVV", 8);
    Put32(block, 16, kRecordBytes);
    uint8_t* record = block + 20;
    std::memset(record + 28, 128, 4);
    return record;
}

bool SetStartTimeCode(uint8_t* block, const TimeCode& tc)
{
    uint8_t* record = PrepareRecord(block);
    if (!record) return false;
    Put32(record, 12, EncodeTimeCode(tc));
    return true;
}

bool GetStartTimeCode(uint8_t* block, TimeCode* tc)
{
    uint8_t* record = FindRecord(block);
    if (!record || !RecordSizeRight(record)) return false;
    *tc = DecodeTimeCode(Get32(record, 12));
    return true;
}

}  // namespace kiv

// The clip file on an ordinary volume. Fields are laid out one after the
// other in the order they are recorded, each written at its place as soon
// as the board has copied it out, so no buffer is held from one field to
// the next and a play from another file can never tear a recorded frame.

#include "zar_system_file.h"

#include <algorithm>
#include <cstring>

#include "include/zardll.h"
#include "zar_connection.h"
#include "zar_empty_field.h"

namespace {

constexpr uint32_t kSector = 512;

uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }
[[noreturn]] void Fail() { throw CZarFile::ZarFileError{ZAR_E_DRIVER}; }

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

bool ReadAt(HANDLE file, uint64_t at, void* data, uint32_t bytes)
{
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(at);
    DWORD got = 0;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ReadFile(file, data, bytes, &got, nullptr) &&
           got == bytes;
}

bool WriteAt64(HANDLE file, uint64_t at, const void* data, uint32_t bytes)
{
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(at);
    DWORD written = 0;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && WriteFile(file, data, bytes, &written, nullptr) &&
           written == bytes;
}

kiv::ReadAt Reader(HANDLE file)
{
    return [file](uint64_t at, void* out, uint32_t n) { return ReadAt(file, at, out, n); };
}

// Coding kind 1 -> 0, kinds 3-15 -> 1-13, else 0: the media file entry's sub-kind.
uint32_t SubKind(uint32_t kind) { return kind >= 3 && kind <= 15 ? kind - 2 : 0; }

}  // namespace

CZarSystemFile::CZarSystemFile(std::u16string path, CBoardConnection* connection)
    : CZarFile(std::move(path)), m_connection(connection), m_board(connection ? connection->m_board : 0)
{
    if (m_connection && m_connection->m_pShared) m_standard = m_connection->m_pShared->Standard == 625 ? 625 : 525;
}

CZarSystemFile::~CZarSystemFile()
{
    if (m_file != INVALID_HANDLE_VALUE && Writable()) Finish();
    Close();
    if (m_buffer) VirtualFree(m_buffer, 0, MEM_RELEASE);
}

void CZarSystemFile::Close()
{
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    if (m_keyStore != INVALID_HANDLE_VALUE) {
        CloseHandle(m_keyStore);
        DeleteFileW(m_keyStorePath.c_str());
    }
    m_keyStore = INVALID_HANDLE_VALUE;
}

bool CZarSystemFile::WriteFile64(HANDLE file, uint64_t at, const void* data, uint32_t bytes)
{
    return WriteAt64(file, at, data, bytes);
}

bool CZarSystemFile::ReadFile64(HANDLE file, uint64_t at, void* data, uint32_t bytes)
{
    return ReadAt(file, at, data, bytes);
}

uint8_t* CZarSystemFile::Buffer()
{
    // Memory a disk request may name: a client of a machine host shares
    // VirtualAlloc's memory with it.
    if (!m_buffer) m_buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kBufferBytes, MEM_COMMIT, PAGE_READWRITE));
    return m_buffer;
}

bool CZarSystemFile::Disk(ZAR_DISK_REQUEST& request)
{
    if (!m_connection) return false;
    // Copies between host and board memory write their status only when they fail.
    request.ScsiStatus = 0;
    DWORD returned = 0;
    const BOOL ok = SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &request, sizeof request,
                                      &request, sizeof request, &returned, nullptr);
    return ok && request.ScsiStatus == 0;
}

void CZarSystemFile::Positions(uint32_t frames)
{
    m_frames = frames;
    m_indexBytes = kiv::IndexBytes(frames);
    const kiv::Layout layout = kiv::ComputeLayout(true, frames, 0, 0);
    m_channels[0].indexBody = layout.fillIndexHeader + kiv::kChunkHeaderBytes;
    m_channels[1].indexBody = layout.keyIndexHeader + kiv::kChunkHeaderBytes;
    m_channels[0].dataStart = layout.fillData;
}

int32_t CZarSystemFile::CreateFill(uint32_t s, uint32_t frames, uint32_t reserve, uint32_t fixedSize)
{
    if (m_file != INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    if (s == 0 || s > kMaxFieldSectors || frames == 0 || frames > kiv::kMaxFrames) return ZAR_E_DRIVER;
    try {
        m_file = CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file == INVALID_HANDLE_VALUE) Fail();
        m_accessMode = GENERIC_READ | GENERIC_WRITE;
        Positions(frames);
        // Everything before the fill data: the header, the info chunk, both
        // format chunks (the fill's rewritten at the finish), both index
        // chunks and the fill data chunk's header.
        const kiv::Layout layout = kiv::ComputeLayout(true, frames, 0, 0);
        std::vector<uint8_t> head(size_t(layout.fillData), 0);
        std::memcpy(head.data(), "KIV0", 4);
        Put32(&head[4], kiv::kHeaderBytes);
        Put32(&head[8], kiv::kLibraryChunkCount);
        Put32(&head[12], uint32_t(layout.fillDataHeader));
        kiv::WriteChunkHeader(&head[kiv::kInfoChunkOffset], kiv::kInfoChunkBytes, kiv::kInfo, 0);
        const bool is625 = m_standard == 625;
        kiv::WriteFormatChunk(&head[kiv::kFillFormatOffset], 0, is625, 0, 0);
        kiv::WriteFormatChunk(&head[kiv::kKeyFormatOffset], 1, is625, 0, 0);
        kiv::WriteChunkHeader(&head[layout.fillIndexHeader], m_indexBytes + 16, kiv::kIndex, 0);
        kiv::WriteChunkHeader(&head[layout.keyIndexHeader], m_indexBytes + 16, kiv::kIndex, 1);
        kiv::WriteChunkHeader(&head[layout.fillDataHeader], 16, kiv::kData, 0);
        if (!WriteFile64(m_file, 0, head.data(), uint32_t(head.size())) || !SetEndOfFile(m_file)) {
            Close();
            Fail();
        }
        Channel& fill = m_channels[0];
        fill = {};
        fill.present = fill.writing = true;
        fill.uncompressed = s == (is625 ? 810u : 684u);
        fill.indexBody = layout.fillIndexHeader + 16;
        fill.dataStart = layout.fillData;
        fill.fields.assign(size_t(frames) * 2, ZAR_FIELD_LOCATION{});
        m_channels[1].indexBody = layout.keyIndexHeader + 16;
        m_sectorsPerField = s;
        m_reserve = reserve;
        m_fixedSize = fixedSize;
        m_created = true;
        return ZAR_OK;
    } catch (const ZarFileError& e) {
        return e.code;
    }
}

int32_t CZarSystemFile::CreateKey(uint32_t s, uint32_t frames, uint32_t reserve, uint32_t fixedSize)
{
    if (s == 0 || s > kMaxFieldSectors || frames == 0) return ZAR_E_DRIVER;
    Channel& key = m_channels[1];
    try {
        if (m_file != INVALID_HANDLE_VALUE) {
            // The key of the clip this object is creating: its fields wait in
            // a store of their own until the fill data's end is known.
            if (!m_created || key.present || frames != m_frames) Fail();
            m_keyStorePath = m_path + u".key~";
            m_keyStore = CreateFileW(m_keyStorePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_keyStore == INVALID_HANDLE_VALUE) Fail();
            key.pending = true;
            key.dataStart = 0;
        } else {
            // A key added to an existing clip: its data follow the fill data.
            m_file = CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_file == INVALID_HANDLE_VALUE) Fail();
            m_accessMode = GENERIC_READ | GENERIC_WRITE;
            kiv::Clip clip;
            if (kiv::ReadClip(Reader(m_file), &clip) != ZAR_OK || !clip.keyChunks || clip.keyPresent ||
                clip.frames < frames) {
                Close();
                Fail();
            }
            m_standard = clip.is625 ? 625 : 525;
            Positions(clip.frames);
            Channel& fill = m_channels[0];
            fill.present = true;
            fill.uncompressed = kiv::CodingKindUncompressed(clip.fillKind);
            fill.dataStart = clip.fillData;
            fill.dataSectors = clip.fillSectors;
            fill.fields = std::move(clip.fill);
            fill.next = 2 * clip.frames;
            key.dataStart = clip.fillData + clip.fillSectors * kSector + kiv::kChunkHeaderBytes;
        }
        key.present = key.writing = true;
        key.uncompressed = s == (m_standard == 625 ? 810u : 684u);
        key.dataSectors = 0;
        key.next = 0;
        key.fields.assign(size_t(m_frames) * 2, ZAR_FIELD_LOCATION{});
        m_sectorsPerField = s;
        m_reserve = reserve;
        m_fixedSize = fixedSize;
        return ZAR_OK;
    } catch (const ZarFileError& e) {
        return e.code;
    }
}

int32_t CZarSystemFile::OpenForAccess(uint32_t access)
{
    if (m_file != INVALID_HANDLE_VALUE) return ZAR_OK;
    try {
        const bool write = (access & GENERIC_WRITE) != 0;
        m_file = CreateFileW(m_path.c_str(), access, write ? DWORD(0) : DWORD(FILE_SHARE_READ), nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file == INVALID_HANDLE_VALUE) Fail();
        m_accessMode = access;
        kiv::Clip clip;
        if (kiv::ReadClip(Reader(m_file), &clip) != ZAR_OK) {
            Close();
            Fail();
        }
        m_standard = clip.is625 ? 625 : 525;
        Positions(clip.frames);
        Channel& fill = m_channels[0];
        fill.present = true;
        fill.uncompressed = kiv::CodingKindUncompressed(clip.fillKind);
        fill.dataStart = clip.fillData;
        fill.dataSectors = clip.fillSectors;
        fill.fields = std::move(clip.fill);
        fill.next = 2 * clip.frames;
        if (clip.keyPresent) {
            Channel& key = m_channels[1];
            key.present = true;
            key.uncompressed = kiv::CodingKindUncompressed(clip.keyKind);
            key.dataStart = clip.keyData;
            key.dataSectors = clip.keySectors;
            key.fields = std::move(clip.key);
            key.next = 2 * clip.frames;
        }
        return ZAR_OK;
    } catch (const ZarFileError& e) {
        return e.code;
    }
}

int32_t CZarSystemFile::CheckWrite(uint32_t channel, uint32_t n, uint32_t u)
{
    Channel& c = m_channels[channel];
    if (!Writable() || !c.writing || n >= c.fields.size() || n / 2 > c.next / 2) return ZAR_E_DRIVER;
    // No field of the board is larger; the buffer that carries it is not either.
    if (u > kMaxFieldSectors) return ZAR_E_NO_ROOM;
    ZAR_FIELD_LOCATION& l = c.fields[n];
    if (n != c.next) {
        const uint32_t room = uint32_t(l.used) + l.padding;
        if (u > room) return ZAR_E_NO_ROOM;
        l.used = uint16_t(u);
        l.padding = uint16_t(room - u);
        return ZAR_OK;
    }
    const uint64_t offset = c.dataStart + c.dataSectors * kSector;
    l.place[0] = uint32_t(offset >> 32);
    l.place[1] = uint32_t(offset);
    l.used = uint16_t(u);
    l.padding = uint16_t(m_reserve && u < m_sectorsPerField ? m_sectorsPerField - u : 0);
    c.dataSectors += uint64_t(l.used) + l.padding;
    ++c.next;
    return ZAR_OK;
}

int32_t CZarSystemFile::GetNode(uint32_t channel, uint32_t field, ZAR_FIELD_LOCATION** node)
{
    if (field >= 2 * m_frames) return ZAR_E_FIELD_RANGE;
    std::vector<ZAR_FIELD_LOCATION>& fields = m_channels[channel].fields;
    *node = field < fields.size() ? &fields[field] : &m_empty;
    return ZAR_OK;
}

int32_t CZarSystemFile::TransferField(const ZAR_FIELD_TRANSFER& t)
{
    const uint32_t channel = t.key ? 1 : 0;
    Channel& c = m_channels[channel];
    if (!c.writing || t.field >= c.next) return ZAR_E_DRIVER;
    const ZAR_FIELD_LOCATION& l = c.fields[t.field];
    uint8_t* buffer = Buffer();
    if (!buffer) return ZAR_E_NO_MEMORY;
    if (l.used == 0) return ZAR_OK;
    ZAR_DISK_REQUEST r{};
    r.Operation = ZAR_DISK_OP_SDRAM_READ;
    r.BlockCount = l.used;
    r.AccessMode = t.setBuffer || !t.request ? uint32_t(t.secondBuffer ? ZAR_DISK_ACCESS_102 : ZAR_DISK_ACCESS_101)
                                             : t.request->AccessMode;
    r.OwnsScsi = 1;
    r.UserBuffer = Address(buffer);
    r.UserBufferLength = l.used * kSector;
    r.SdramAddress = t.boardSlot * kSector;
    r.JpegChannel = t.request ? t.request->JpegChannel : 0;
    if (!Disk(r)) return ZAR_E_DRIVER;
    return WriteFile64(FieldFile(channel), kiv::FieldOffset(l), buffer, l.used * kSector) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarSystemFile::WriteAt(const ZAR_FIELD_LOCATION& location, const void* buffer, uint32_t length)
{
    if (!buffer || length < kSector || length > kBufferBytes || length % kSector != 0) return ZAR_E_DRIVER;
    if (m_file == INVALID_HANDLE_VALUE || !Writable()) return ZAR_E_DRIVER;
    return WriteFile64(m_file, kiv::FieldOffset(location), buffer, length) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarSystemFile::FieldToBoard(uint32_t channel, uint32_t field, uint32_t slot, bool direct, uint32_t word20,
                                     uint32_t word96, uint32_t keyWord)
{
    ZAR_FIELD_LOCATION* l;
    if (int32_t result = GetNode(channel, field, &l); result != ZAR_OK) return result;
    ZAR_DISK_REQUEST r{};
    r.Operation = direct ? ZAR_DISK_OP_JPEG_FIELD_WRITE : ZAR_DISK_OP_SDRAM_WRITE;
    r.AccessMode = channel ? ZAR_DISK_ACCESS_2 : ZAR_DISK_ACCESS_1;
    r.OwnsScsi = direct ? word20 : 1;
    r.FieldOffset = direct ? word96 : 0;
    r.SdramAddress = slot * kSector;
    r.JpegChannel = keyWord;
    if (l->used != 0) {
        uint8_t* buffer = Buffer();
        if (!buffer) return ZAR_E_NO_MEMORY;
        if (l->used > kMaxFieldSectors || !ReadFile64(FieldFile(channel), kiv::FieldOffset(*l), buffer, l->used * kSector))
            return ZAR_E_DRIVER;
        r.BlockCount = l->used;
        r.UserBuffer = Address(buffer);
        r.UserBufferLength = l->used * kSector;
    } else {
        const EmptyFieldImage image = GetEmptyFieldImage(channel == 1, m_standard == 625);
        if (!image.bytes) return ZAR_E_NO_MEMORY;
        r.BlockCount = image.sectors;
        r.UserBuffer = Address(image.bytes);
        r.UserBufferLength = image.length;
    }
    return Disk(r) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarSystemFile::FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    return FieldToBoard(0, field, slot, false, 0, 0, keyWord);
}

int32_t CZarSystemFile::KeyFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    return FieldToBoard(1, field, slot, false, 0, 0, keyWord);
}

int32_t CZarSystemFile::FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    if (!WaitFieldSyncMutex(m_board)) return ZAR_E_DRIVER;
    const int32_t result = FieldToBoard(0, field, slot, true, value20, value96, 0);
    ReleaseFieldSyncMutex(m_board);
    return result;
}

int32_t CZarSystemFile::KeyFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    if (!WaitFieldSyncMutex(m_board)) return ZAR_E_DRIVER;
    const int32_t result = FieldToBoard(1, field, slot, true, value20, value96, 0);
    ReleaseFieldSyncMutex(m_board);
    return result;
}

int32_t CZarSystemFile::ReadField(uint32_t channel, uint32_t field, void* buffer, uint32_t bytes)
{
    ZAR_FIELD_LOCATION* l;
    if (int32_t result = GetNode(channel, field, &l); result != ZAR_OK) return result;
    if (!buffer) return ZAR_E_BAD_ARGUMENT;
    if (l->used == 0) {
        const EmptyFieldImage image = GetEmptyFieldImage(channel == 1, m_standard == 625);
        if (!image.bytes) return ZAR_E_NO_MEMORY;
        if (bytes < image.length) return ZAR_E_BAD_ARGUMENT;
        std::memcpy(buffer, image.bytes, image.length);
        return ZAR_OK;
    }
    if (uint64_t(l->used) * kSector > bytes) return ZAR_E_BAD_ARGUMENT;
    return ReadFile64(FieldFile(channel), kiv::FieldOffset(*l), buffer, l->used * kSector) ? ZAR_OK : ZAR_E_DRIVER;
}

uint32_t CZarSystemFile::FieldSize(uint32_t channel, uint32_t field)
{
    ZAR_FIELD_LOCATION* l;
    if (GetNode(channel, field, &l) != ZAR_OK || l->used == 0) return EmptyFieldSize();
    return l->used;
}

int32_t CZarSystemFile::GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors)
{
    ZAR_FIELD_LOCATION* l;
    if (GetNode(0, field, &l) != ZAR_OK) return 0;
    *target = l->place[0];
    *block = l->place[1];
    *sectors = l->used;
    return l->used != 0 ? 1 : 0;
}

int32_t CZarSystemFile::Finish()
{
    Channel& fill = m_channels[0];
    Channel& key = m_channels[1];
    if (!fill.writing && !key.writing) return ZAR_OK;
    const bool is625 = m_standard == 625;
    // Whole frames only; a clip of fixed-size fields keeps all it reserved.
    auto framesOf = [this](const Channel& c) { return m_fixedSize ? m_frames : std::min(m_frames, c.next / 2); };
    auto sectorsOf = [](const Channel& c, uint32_t frames) {
        uint64_t sectors = 0;
        for (uint32_t k = 0; k < 2 * frames; ++k) sectors += uint64_t(c.fields[k].used) + c.fields[k].padding;
        return sectors;
    };
    auto index = [this](const Channel& c, uint32_t frames) {
        std::vector<uint8_t> body(m_indexBytes, 0);
        for (uint32_t k = 0; k < 2 * frames; ++k) {
            std::memcpy(&body[4 * k], &c.fields[k].used, 2);
            std::memcpy(&body[4 * k + 2], &c.fields[k].padding, 2);
        }
        return body;
    };
    bool ok = true;
    uint8_t chunk[kiv::kFormatChunkBytes];
    uint8_t header[kiv::kChunkHeaderBytes];
    uint32_t frames = fill.present ? (fill.writing ? framesOf(fill) : m_frames) : 0;
    uint64_t end = fill.dataStart + fill.dataSectors * kSector;
    if (fill.writing) {
        const uint64_t sectors = sectorsOf(fill, frames);
        kiv::WriteFormatChunk(chunk, 0, is625, fill.uncompressed ? 1 : 0, frames);
        std::vector<uint8_t> body = index(fill, frames);
        kiv::WriteChunkHeader(header, 16 + sectors * kSector, kiv::kData, 0);
        ok = WriteFile64(m_file, kiv::kFillFormatOffset, chunk, sizeof chunk) &&
             WriteFile64(m_file, fill.indexBody, body.data(), uint32_t(body.size())) &&
             WriteFile64(m_file, fill.dataStart - kiv::kChunkHeaderBytes, header, sizeof header);
        end = fill.dataStart + sectors * kSector;
        fill.writing = false;
    }
    if (ok && key.writing) {
        // The key takes the fill's frames; key fields beyond them are left out,
        // missing ones stay empty.
        const uint32_t keyFrames = frames;
        std::vector<ZAR_FIELD_LOCATION> fields(key.fields.begin(), key.fields.begin() + 2 * keyFrames);
        for (uint32_t k = 2 * std::min(keyFrames, framesOf(key)); k < fields.size(); ++k) fields[k] = {};
        key.fields = fields;
        const uint64_t sectors = sectorsOf(key, keyFrames);
        const uint64_t start = end + kiv::kChunkHeaderBytes;
        if (key.pending) {
            // The stored key fields move behind the fill data, in order.
            uint8_t* buffer = Buffer();
            ok = buffer != nullptr;
            uint64_t from = 0;
            for (uint64_t done = 0; ok && done < sectors * kSector;) {
                const uint32_t n = uint32_t(std::min<uint64_t>(kBufferBytes, sectors * kSector - done));
                std::memset(buffer, 0, n);
                DWORD got = 0;
                LARGE_INTEGER at;
                at.QuadPart = LONGLONG(from + done);
                ok = SetFilePointerEx(m_keyStore, at, nullptr, FILE_BEGIN) &&
                     ReadFile(m_keyStore, buffer, n, &got, nullptr) && WriteFile64(m_file, start + done, buffer, n);
                done += n;
            }
        } else {
            ok = start == key.dataStart;
        }
        kiv::WriteFormatChunk(chunk, 1, is625, key.uncompressed ? 1 : 0, keyFrames);
        std::vector<uint8_t> body = index(key, keyFrames);
        kiv::WriteChunkHeader(header, 16 + sectors * kSector, kiv::kData, 1);
        ok = ok && WriteFile64(m_file, kiv::kKeyFormatOffset, chunk, sizeof chunk) &&
             WriteFile64(m_file, key.indexBody, body.data(), uint32_t(body.size())) &&
             WriteFile64(m_file, end, header, sizeof header);
        end = start + sectors * kSector;
        key.writing = false;
    }
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(end);
    ok = ok && SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN) && SetEndOfFile(m_file);
    return ok ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarSystemFile::ReadClipInfo(const std::u16string& path, ZAR_FILE_INFO* info)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    kiv::Clip clip;
    const int32_t result = kiv::ReadClip(Reader(file), &clip);
    CloseHandle(file);
    if (result != ZAR_OK) return result;
    std::memset(info, 0, sizeof *info);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        info->CreationTime = (uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
        FindClose(find);
    }
    std::memcpy(info->VideoStreamValue, &clip.fillSectors, 8);
    info->MediaKind = 1;
    info->VideoStandard = clip.is625 ? 625 : 525;
    info->FrameCount = clip.frames;
    info->VideoBodyTableBlocks = kiv::IndexBytes(clip.frames) / kSector;
    uint32_t flags = kiv::CodingKindUncompressed(clip.fillKind) ? 2 : 0;
    if (clip.keyChunks) {
        info->AlphaBodyTableBlocks = kiv::IndexBytes(clip.frames) / kSector;
        flags |= 1;
        if (kiv::CodingKindUncompressed(clip.keyKind)) flags |= 4;
    }
    if (clip.keyPresent) std::memcpy(info->AlphaStreamValue, &clip.keySectors, 8);
    info->Flags = flags;
    info->VideoSdtiType = SubKind(clip.fillKind);
    info->AlphaSdtiType = SubKind(clip.keyKind);
    std::memcpy(info->AppData, clip.info, sizeof info->AppData);
    const size_t slash = path.find_last_of(u'\\');
    const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    std::memcpy(info->Name, name.data(), std::min<size_t>(name.size(), ZARFS_NAME_CHARS - 1) * 2);
    return ZAR_OK;
}

int32_t CZarSystemFile::WriteClipInfo(const std::u16string& path, const uint8_t* block)
{
    if (!block) return ZAR_E_BAD_ARGUMENT;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    // Only the info block of a clip file: another file is left as it is.
    uint8_t head[kiv::kInfoBlockOffset];
    const bool ok = ReadAt(file, 0, head, sizeof head) && std::memcmp(head, "KIV0", 4) == 0 &&
                    WriteAt64(file, kiv::kInfoBlockOffset, block, kiv::kInfoBlockBytes);
    CloseHandle(file);
    return ok ? ZAR_OK : ZAR_E_DRIVER;
}

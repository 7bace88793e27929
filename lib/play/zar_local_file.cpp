// The clip on a media volume. Fields are placed round-robin over the
// stripe's drives, each drive's fields packed back to back from the first
// block of the clip's run; the field locations live in the body-table
// section the file system shares, so what is recorded here is what the
// file system writes back as the clip's index.

#include "zar_local_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "include/zardll.h"
#include "zar_connection.h"
#include "zar_empty_field.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint8_t kStatusPreset = 255;
constexpr uint32_t kSideHeaderBytes = 1056;
constexpr uint32_t kSidePathChars = 511;
constexpr size_t kNameRoom = 512;  // characters of a section name the file system returns, at least

uint32_t HandleWord(HANDLE h) { return uint32_t(reinterpret_cast<uintptr_t>(h)); }
uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }
uint32_t IndexSectors(uint32_t frames) { return (frames * 8 + kSector - 1) / kSector; }

[[noreturn]] void Fail(int32_t code) { throw CZarFile::ZarFileError{code}; }

// One control code on a file of the media drive, through an open of its own.
int32_t OnClip(CBoardConnection* connection, const std::u16string& path, DWORD access, uint32_t code, void* record,
               uint32_t bytes, uint32_t outBytes)
{
    HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    const uint32_t handle = HandleWord(file);
    std::memcpy(record, &handle, sizeof handle);
    DWORD returned = 0;
    const BOOL ok = SendDeviceRequest(connection->m_hFileSystem, code, record, bytes, outBytes ? record : nullptr,
                                      outBytes, &returned, nullptr);
    CloseHandle(file);
    return ok ? ZAR_OK : ZAR_E_DRIVER;
}

}  // namespace

CZarLocalFile::CZarLocalFile(std::u16string path, CBoardConnection* connection)
    : CZarFile(std::move(path)), m_connection(connection), m_board(connection ? connection->m_board : 0)
{
    m_request.Operation = ZAR_DISK_OP_READ;
    m_request.ScsiStatus = kStatusPreset;
    if (m_connection && m_connection->m_pShared && m_connection->m_pShared->Standard == 625) m_standard = 625;
}

CZarLocalFile::~CZarLocalFile()
{
    if (m_file != INVALID_HANDLE_VALUE && Writable()) Finish();
    CloseAll();
    DeleteSideFile();
}

void CZarLocalFile::CloseAll()
{
    if (m_file != INVALID_HANDLE_VALUE && m_bodyTable) {
        ZARFS_BODY_TABLE_DEREFERENCE request{HandleWord(m_file), 0};
        FileSystem(IOCTL_ZARFS_DEREFERENCE_BODY_TABLE, &request, sizeof request);
    }
    for (Channel& c : m_channels) {
        if (c.nodes) UnmapViewOfFile(c.nodes);
        if (c.section) CloseHandle(c.section);
        c.nodes = nullptr;
        c.section = nullptr;
    }
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool CZarLocalFile::FileSystem(uint32_t code, void* record, uint32_t bytes, void* out, uint32_t outBytes)
{
    if (!m_connection) return false;
    DWORD returned = 0;
    return SendDeviceRequest(m_connection->m_hFileSystem, code, record, bytes, out, outBytes, &returned, nullptr) != 0;
}

bool CZarLocalFile::Disk(ZAR_DISK_REQUEST& request)
{
    if (!m_connection) return false;
    // A copy between host and board memory runs no bus command: only a
    // failure writes its status, so it starts from success.
    const bool copyOnly = request.Operation == ZAR_DISK_OP_SDRAM_WRITE || request.Operation == ZAR_DISK_OP_SDRAM_READ ||
                          request.Operation == ZAR_DISK_OP_JPEG_FIELD_WRITE;
    request.ScsiStatus = copyOnly ? 0 : kStatusPreset;
    DWORD returned = 0;
    const BOOL ok = SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &request, sizeof request,
                                      &request, sizeof request, &returned, nullptr);
    return ok && request.ScsiStatus == 0;
}

uint32_t CZarLocalFile::Fps24Mode() const
{
    return m_connection && m_connection->m_pShared ? m_connection->m_pShared->Fps24Mode : 0;
}

void CZarLocalFile::OpenFile(DWORD access, DWORD disposition)
{
    m_file = CreateFileW(m_path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        Fail(disposition == CREATE_NEW && GetLastError() == ERROR_FILE_EXISTS ? int32_t(ZAR_E_CLIP_EXISTS)
                                                                                : int32_t(ZAR_E_DRIVER));
    m_accessMode = access;
}

void CZarLocalFile::FileInfo(ZARFS_GET_FILE_INFO* info)
{
    *info = {};
    info->Handle = HandleWord(m_file);
    if (!FileSystem(IOCTL_ZARFS_GET_FILE_INFO, info, sizeof *info, info, sizeof *info)) Fail(ZAR_E_DRIVER);
    if (info->Result != 0) Fail(int32_t(info->Result));
}

void CZarLocalFile::MapNodes(uint32_t channel, const char16_t* name)
{
    Channel& c = m_channels[channel];
    // The file system made the section; a name that opens nothing is a failure.
    c.section = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (!c.section) Fail(ZAR_E_DRIVER);
    c.nodes = static_cast<ZAR_FIELD_LOCATION*>(
        MapViewOfFile(c.section, FILE_MAP_ALL_ACCESS, 0, 0, size_t(m_fieldCount) * sizeof(ZAR_FIELD_LOCATION)));
    if (!c.nodes) Fail(ZAR_E_DRIVER);
}

int32_t CZarLocalFile::CreateFill(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize)
{
    return Create(0, sectorsPerField, frames, reserve, fixedSize);
}

int32_t CZarLocalFile::CreateKey(uint32_t sectorsPerField, uint32_t frames, uint32_t reserve, uint32_t fixedSize)
{
    return Create(1, sectorsPerField, frames, reserve, fixedSize);
}

int32_t CZarLocalFile::Create(uint32_t channel, uint32_t s, uint32_t frames, uint32_t reserve, uint32_t fixedSize)
{
    try {
        Channel& c = m_channels[channel];
        if (c.present || s == 0 || frames == 0 || frames > (1u << 23)) Fail(ZAR_E_DRIVER);
        if (m_file == INVALID_HANDLE_VALUE) {
            OpenFile(GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
            ZARFS_GET_FILE_INFO info;
            FileInfo(&info);
            m_volume = info.Volume;
            m_frameCount = frames;
        } else if (frames != m_frameCount) {
            Fail(ZAR_E_DRIVER);
        }
        if (!Writable()) Fail(ZAR_E_DRIVER);
        const uint32_t drives = std::max<uint32_t>(1, m_volume.DriveCount);
        const uint32_t uncompressed = m_standard == 625 ? kUncompressed625 : kUncompressed525;
        const uint64_t perDrive = uint64_t((2ull * frames + drives - 1) / drives) * s;
        if (perDrive > 0xFFFFFFFFull) Fail(ZAR_E_DRIVER);

        ZARFS_ALLOCATE_VIDEO_SPACE space{};
        space.Handle = HandleWord(m_file);
        space.TableBlocks = IndexSectors(frames);
        space.DataBlocks = uint32_t(perDrive);
        space.Flags = (m_standard == 625 ? ZARFS_ALLOCATE_625 : 0) | (s == uncompressed ? ZARFS_ALLOCATE_SDTI : 0) |
                      (channel ? ZARFS_ALLOCATE_ALPHA : 0);
        if (!FileSystem(IOCTL_ZARFS_ALLOCATE_VIDEO_SPACE, &space, sizeof space, &space, sizeof space)) Fail(ZAR_E_DRIVER);
        if (space.Result != 0) Fail(space.Result);
        m_volume = space.Volume;
        if (m_volume.DriveCount == 0 || m_volume.DriveCount > ZARFS_MAX_DRIVES) Fail(ZAR_E_DRIVER);
        c.first = space.DataFirstOut;
        c.blocks = space.DataBlocksOut;
        c.end = c.first + c.blocks;
        c.tableFirst = space.TableFirstOut;
        c.tableBlocks = space.TableBlocksOut;
        m_uncompressed = s == uncompressed;
        m_fieldCount = 2 * frames;
        m_sectorsPerField = s;
        m_reserve = reserve;
        m_fixedSize = fixedSize;
        m_allowOverruns = ReadAllowDataOverruns(m_board);

        if (!m_bodyTable) {
            ZARFS_BODY_TABLE_REFERENCE table{};
            table.Handle = HandleWord(m_file);
            table.FrameCount = frames;
            table.Kept = reserve ? s << 16 : 0;
            if (!FileSystem(IOCTL_ZARFS_CREATE_NEW_BODY_TABLE, &table, sizeof table)) Fail(ZAR_E_DRIVER);
            m_bodyTable = true;
        }
        ZARFS_BODY_TABLE_ADD_NODES nodes{HandleWord(m_file), c.tableFirst, c.tableBlocks, 0};
        // The section's name is the clip's path on the drive, "_A" added for the key.
        std::vector<char16_t> name(std::max<size_t>(m_path.size(), kNameRoom) + 8, 0);
        if (!FileSystem(channel ? IOCTL_ZARFS_ADD_ALPHA_NODES_TO_BODY_TABLE : IOCTL_ZARFS_ADD_VIDEO_NODES_TO_BODY_TABLE,
                        &nodes, sizeof nodes, name.data(), uint32_t((name.size() - 1) * sizeof(char16_t))))
            Fail(ZAR_E_DRIVER);
        MapNodes(channel, name.data());
        if (fixedSize) {
            // Every field has its place from the start; a field not yet
            // recorded is empty and plays as the built-in picture.
            for (uint32_t k = 0; k < m_fieldCount; ++k)
                c.nodes[k] = {{m_volume.ScsiIds[k % drives], (k / drives) * s + c.first}, 0, uint16_t(s)};
            c.next = m_fieldCount;
            c.frames = frames;
            c.totalBlocks = uint64_t(m_fieldCount) * s;
        }
        c.present = true;
        return ZAR_OK;
    } catch (const ZarFileError& e) {
        return e.code;
    }
}

int32_t CZarLocalFile::OpenForAccess(uint32_t access)
{
    if (m_file != INVALID_HANDLE_VALUE) return ZAR_OK;
    try {
        OpenFile(access, OPEN_EXISTING);
        ZARFS_GET_FILE_INFO info;
        FileInfo(&info);
        if (info.MediaKind != ZARFS_MEDIA_FRAMES) Fail(ZAR_E_DRIVER);
        m_standard = info.VideoStandard == 625 ? 625 : 525;
        m_volume = info.Volume;
        if (m_volume.DriveCount == 0 || m_volume.DriveCount > ZARFS_MAX_DRIVES) Fail(ZAR_E_DRIVER);
        m_frameCount = info.FrameCount;
        m_fieldCount = 2 * info.FrameCount;
        m_uncompressed = (info.Flags & ZARFS_FILE_VIDEO_SDTI) != 0;
        struct Part {
            uint32_t first, blocks, tableFirst, tableBlocks;
            bool present;
        } parts[2] = {
            {info.VideoDataFirst, info.VideoDataBlocks, info.VideoTableFirst, info.VideoTableBlocks, true},
            {info.AlphaDataFirst, info.AlphaDataBlocks, info.AlphaTableFirst, info.AlphaTableBlocks,
             (info.Flags & ZARFS_FILE_HAS_ALPHA) != 0},
        };
        for (uint32_t ch = 0; ch < 2; ++ch) {
            if (!parts[ch].present || m_fieldCount == 0) continue;
            Channel& c = m_channels[ch];
            c.first = parts[ch].first;
            c.blocks = parts[ch].blocks;
            c.end = c.first + c.blocks;
            c.tableFirst = parts[ch].tableFirst;
            c.tableBlocks = parts[ch].tableBlocks;
            ZARFS_BODY_TABLE_REFERENCE table{};
            table.Handle = HandleWord(m_file);
            table.Table = uint8_t(ch);
            std::vector<char16_t> name(std::max<size_t>(m_path.size(), kNameRoom) + 8, 0);
            if (!FileSystem(IOCTL_ZARFS_REFERENCE_BODY_TABLE, &table, sizeof table, name.data(),
                            uint32_t((name.size() - 1) * sizeof(char16_t))))
                Fail(ZAR_E_DRIVER);
            m_bodyTable = true;
            MapNodes(ch, name.data());
            c.next = m_fieldCount;
            c.frames = m_frameCount;
            c.present = true;
        }
        return ZAR_OK;
    } catch (const ZarFileError& e) {
        CloseAll();
        return e.code;
    }
}

int32_t CZarLocalFile::CheckWrite(uint32_t channel, uint32_t n, uint32_t s)
{
    Channel& c = m_channels[channel];
    if (!Writable() || !c.nodes || n / 2 >= m_frameCount || n / 2 > c.next / 2) return ZAR_E_DRIVER;
    ZAR_FIELD_LOCATION& node = c.nodes[n];
    if (n != c.next) {
        // Recorded again: it keeps its place, the sectors it gives up become padding.
        const uint32_t room = uint32_t(node.used) + node.padding;
        if (s > room) return ZAR_E_NO_ROOM;
        node.used = uint16_t(s);
        node.padding = uint16_t(room - s);
        m_modified = true;
        return ZAR_OK;
    }
    const uint32_t drives = m_volume.DriveCount;
    uint32_t first = c.first;
    if (n >= drives) {
        const ZAR_FIELD_LOCATION& before = c.nodes[n - drives];
        first = before.place[1] + before.used + before.padding;
    }
    const uint32_t padding = m_reserve && s < m_sectorsPerField ? m_sectorsPerField - s : 0;
    if (s > 0xFFFF || (!m_allowOverruns && s > m_sectorsPerField)) return ZAR_E_NO_ROOM;
    // Whatever the settings, a field never reaches past the clip's run.
    if (uint64_t(first) + s + padding > c.end) return ZAR_E_NO_ROOM;
    node = {{m_volume.ScsiIds[n % drives], first}, uint16_t(s), uint16_t(padding)};
    ++c.next;
    if (n & 1) {
        c.frames = std::max(c.frames, c.next / 2);
        const ZAR_FIELD_LOCATION& previous = c.nodes[n - 1];
        c.totalBlocks += uint64_t(previous.used) + previous.padding + node.used + node.padding;
    }
    m_modified = true;
    return ZAR_OK;
}

int32_t CZarLocalFile::GetNode(uint32_t channel, uint32_t field, ZAR_FIELD_LOCATION** node)
{
    if (field >= m_fieldCount) return ZAR_E_FIELD_RANGE;
    const Channel& c = m_channels[channel];
    *node = c.nodes ? &c.nodes[field] : &m_empty;
    return ZAR_OK;
}

int32_t CZarLocalFile::TransferField(const ZAR_FIELD_TRANSFER& t)
{
    ZAR_FIELD_LOCATION* node;
    if (GetNode(t.key ? 1 : 0, t.field, &node) != ZAR_OK || node->used == 0) return ZAR_E_DRIVER;
    ZAR_DISK_REQUEST own{};
    own.Operation = ZAR_DISK_OP_WRITE;
    own.OwnsScsi = 1;
    ZAR_DISK_REQUEST& r = t.request ? *t.request : own;
    r.TargetId = node->place[0];
    r.FirstBlock = node->place[1];
    r.BlockCount = node->used;
    r.SdramAddress = t.boardSlot * kSector;
    if (t.setBuffer || !t.request) r.AccessMode = t.secondBuffer ? ZAR_DISK_ACCESS_102 : ZAR_DISK_ACCESS_101;
    return Disk(r) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarLocalFile::WriteFieldFromBoard(const ZAR_FIELD_LOCATION& location, uint32_t key, uint32_t boardSlot)
{
    ZAR_DISK_REQUEST r{};
    r.Operation = ZAR_DISK_OP_WRITE;
    r.TargetId = location.place[0];
    r.FirstBlock = location.place[1];
    r.BlockCount = location.used;
    r.AccessMode = key ? ZAR_DISK_ACCESS_2 : ZAR_DISK_ACCESS_1;
    r.OwnsScsi = 1;
    r.SdramAddress = boardSlot * kSector;
    return Disk(r) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarLocalFile::WriteAt(const ZAR_FIELD_LOCATION& location, const void* buffer, uint32_t length)
{
    // Whole sectors only: a tail that is not one would be lost.
    if (!buffer || length < kSector || length > kMaxTransferBytes || length % kSector != 0) return ZAR_E_DRIVER;
    ZAR_DISK_REQUEST r{};
    r.Operation = ZAR_DISK_OP_WRITE;
    r.TargetId = location.place[0];
    r.FirstBlock = location.place[1];
    r.BlockCount = length / kSector;
    r.AccessMode = ZAR_DISK_ACCESS_STAGED;
    r.UserBuffer = Address(buffer);
    r.UserBufferLength = length;
    if (!Disk(r)) return ZAR_E_DRIVER;
    m_modified = true;
    return ZAR_OK;
}

int32_t CZarLocalFile::FieldToBoard(uint32_t channel, uint32_t field, uint32_t slot, bool direct, uint32_t word20,
                                    uint32_t word96, uint32_t keyWord)
{
    ZAR_FIELD_LOCATION* node;
    if (int32_t result = GetNode(channel, field, &node); result != ZAR_OK) return result;
    ZAR_DISK_REQUEST r{};
    r.AccessMode = channel ? ZAR_DISK_ACCESS_2 : ZAR_DISK_ACCESS_1;
    r.OwnsScsi = direct ? word20 : 1;
    r.SdramAddress = slot * kSector;
    r.JpegChannel = keyWord;
    r.FieldOffset = direct ? word96 : 0;
    if (node->used != 0) {
        r.Operation = direct ? ZAR_DISK_OP_JPEG_FIELD_READ : ZAR_DISK_OP_READ;
        r.TargetId = node->place[0];
        r.FirstBlock = node->place[1];
        r.BlockCount = node->used;
    } else {
        if (Fps24Mode() == 1) return ZAR_OK;
        const EmptyFieldImage image = GetEmptyFieldImage(channel == 1, m_standard == 625);
        if (!image.bytes) return ZAR_E_NO_MEMORY;
        r.Operation = direct ? ZAR_DISK_OP_JPEG_FIELD_WRITE : ZAR_DISK_OP_SDRAM_WRITE;
        r.BlockCount = image.sectors;
        r.UserBuffer = Address(image.bytes);
        r.UserBufferLength = image.length;
    }
    return Disk(r) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarLocalFile::FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    return FieldToBoard(0, field, slot, false, 0, 0, keyWord);
}

int32_t CZarLocalFile::KeyFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    return FieldToBoard(1, field, slot, false, 0, 0, keyWord);
}

int32_t CZarLocalFile::FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    if (!WaitFieldSyncMutex(m_board)) return ZAR_E_DRIVER;
    const int32_t result = FieldToBoard(0, field, slot, true, value20, value96, 0);
    ReleaseFieldSyncMutex(m_board);
    return result;
}

int32_t CZarLocalFile::KeyFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20, uint32_t value96)
{
    if (!WaitFieldSyncMutex(m_board)) return ZAR_E_DRIVER;
    const int32_t result = FieldToBoard(1, field, slot, true, value20, value96, 0);
    ReleaseFieldSyncMutex(m_board);
    return result;
}

int32_t CZarLocalFile::ReadField(uint32_t channel, uint32_t field, void* buffer, uint32_t bytes)
{
    ZAR_FIELD_LOCATION* node;
    if (int32_t result = GetNode(channel, field, &node); result != ZAR_OK) return result;
    if (!buffer) return ZAR_E_BAD_ARGUMENT;
    if (node->used == 0) {
        if (Fps24Mode() == 1) return ZAR_OK;
        const EmptyFieldImage image = GetEmptyFieldImage(channel == 1, m_standard == 625);
        if (!image.bytes) return ZAR_E_NO_MEMORY;
        if (bytes < image.length) return ZAR_E_BAD_ARGUMENT;
        std::memcpy(buffer, image.bytes, image.length);
        return ZAR_OK;
    }
    // The caller's buffer must hold the whole field: the board writes it all.
    if (uint64_t(node->used) * kSector > bytes) return ZAR_E_BAD_ARGUMENT;
    if (!WaitFieldSyncMutex(m_board)) return ZAR_E_DRIVER;
    ZAR_DISK_REQUEST r{};
    r.Operation = ZAR_DISK_OP_READ;
    r.TargetId = node->place[0];
    r.FirstBlock = node->place[1];
    r.BlockCount = node->used;
    r.AccessMode = ZAR_DISK_ACCESS_STAGED;
    r.UserBuffer = Address(buffer);
    r.UserBufferLength = node->used * kSector;
    const bool ok = Disk(r);
    ReleaseFieldSyncMutex(m_board);
    return ok ? ZAR_OK : ZAR_E_DRIVER;
}

uint32_t CZarLocalFile::FieldSize(uint32_t channel, uint32_t field)
{
    ZAR_FIELD_LOCATION* node;
    if (GetNode(channel, field, &node) != ZAR_OK || node->used == 0)
        return Fps24Mode() == 1 ? (m_standard == 625 ? kUncompressed625 : kUncompressed525) : EmptyFieldSize();
    return node->used;
}

int32_t CZarLocalFile::GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors)
{
    ZAR_FIELD_LOCATION* node;
    if (GetNode(0, field, &node) != ZAR_OK) return 0;
    *target = node->place[0];
    *block = node->place[1];
    *sectors = node->used;
    return node->used != 0 ? 1 : 0;
}

int32_t CZarLocalFile::CopyFields(uint32_t channel, CZarFile* source, uint32_t first, uint32_t last,
                                  volatile LONG* progress, volatile LONG* abort)
{
    if (!source || last < first || (last - first + 1) / 2 != m_frameCount) return ZAR_E_FRAME_COUNT;
    void* buffer = VirtualAlloc(nullptr, kMaxTransferBytes, MEM_COMMIT, PAGE_READWRITE);
    if (!buffer) return ZAR_E_NO_MEMORY;
    int32_t result = ZAR_OK;
    for (uint32_t k = first; k <= last && result == ZAR_OK; ++k) {
        const uint32_t n = k - first;
        if (!WaitFieldSyncMutex(m_board)) {
            result = ZAR_E_DRIVER;
            break;
        }
        const uint32_t sectors = channel ? source->GetKeyFieldSize(k) : source->GetFillFieldSize(k);
        ZAR_FIELD_LOCATION* node = nullptr;
        if (sectors * kSector > kMaxTransferBytes) result = ZAR_E_NO_ROOM;
        if (result == ZAR_OK) result = CheckWrite(channel, n, sectors);
        if (result == ZAR_OK) result = GetNode(channel, n, &node);
        if (result == ZAR_OK && uint64_t(node->place[1]) + sectors > m_channels[channel].end) result = ZAR_E_NO_ROOM;
        if (result == ZAR_OK)
            result = channel ? source->ReadKeyField(k, buffer, kMaxTransferBytes)
                             : source->ReadFillField(k, buffer, kMaxTransferBytes);
        if (result == ZAR_OK) result = WriteAt(*node, buffer, sectors * kSector);
        ReleaseFieldSyncMutex(m_board);
        if (result == ZAR_OK && progress) InterlockedIncrement(progress);
        if (result == ZAR_OK && (n & 1) && abort && *abort) break;
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return result;
}

void CZarLocalFile::Finish()
{
    ZARFS_UPDATE_VIDEO_FILE update{};
    update.Handle = HandleWord(m_file);
    const Channel& fill = m_channels[0];
    update.FrameCount = fill.present ? fill.frames : m_channels[1].frames;
    ZARFS_UPDATE_PART* parts[2] = {&update.Video, &update.Alpha};
    for (uint32_t ch = 0; ch < 2; ++ch) {
        const Channel& c = m_channels[ch];
        if (!c.present) continue;
        ZARFS_UPDATE_PART& p = *parts[ch];
        p.TableReserved = c.tableBlocks;
        p.DataReserved = c.blocks;
        const uint32_t frames = update.FrameCount;
        p.TableUsed = frames ? std::min(IndexSectors(frames), c.tableBlocks) : 0;
        // Blocks used per drive: up to the end of the furthest field.
        uint32_t end = c.first;
        if (m_fixedSize) {
            end = frames ? c.end : c.first;
        } else {
            for (uint32_t k = 0; k < 2 * frames; ++k)
                end = std::max(end, c.nodes[k].place[1] + c.nodes[k].used + c.nodes[k].padding);
        }
        p.DataUsed = std::min(end - c.first, c.blocks);
        p.ValueA = frames ? uint32_t(c.totalBlocks) : 0;
        update.Parts |= ch ? ZARFS_UPDATE_ALPHA : ZARFS_UPDATE_VIDEO;
    }
    if (update.Parts != 0) FileSystem(IOCTL_ZARFS_UPDATE_VIDEO_FILE, &update, sizeof update, &update, sizeof update);
}

// ---- clip-entry operations ----

int32_t CZarLocalFile::ReadFileEntry(CBoardConnection* connection, const std::u16string& path, ZAR_FILE_INFO* entry)
{
    static_assert(sizeof(ZAR_FILE_INFO) >= 4);
    return OnClip(connection, path, GENERIC_READ, IOCTL_ZARFS_GET_FILE_ENTRY, entry, 4, sizeof *entry);
}

int32_t CZarLocalFile::WriteAppInfo(CBoardConnection* connection, const std::u16string& path, const uint8_t* block)
{
    ZARFS_SET_APP_FILE_ENTRY_INFO record{};
    std::memcpy(record.AppData, block, sizeof record.AppData);
    return OnClip(connection, path, GENERIC_READ | GENERIC_WRITE, IOCTL_ZARFS_SET_APP_FILE_ENTRY_INFO, &record,
                  sizeof record, 0);
}

int32_t CZarLocalFile::SetSdtiType(CBoardConnection* connection, const std::u16string& path, uint32_t video,
                                   uint32_t alpha)
{
    ZARFS_SET_SDTI_TYPE record{0, video, alpha};
    return OnClip(connection, path, GENERIC_READ | GENERIC_WRITE, IOCTL_ZARFS_SET_SDTI_TYPE, &record, sizeof record, 0);
}

// ---- the side file ----

std::string CZarLocalFile::SideFilePath(uint32_t board)
{
    char windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return {};
    // Board 0 keeps the name the file system has always read; the others
    // get their own beside it, so two recording boards never share one.
    std::string path = std::string(windows) + "\\system32\\drivers\\!KIVBKUP";
    if (board > 0) path += std::to_string(board);
    return path + ".!BT";
}

int32_t CZarLocalFile::CreateSideFile(uint32_t channel)
{
    const Channel& c = m_channels[channel ? 1 : 0];
    if (m_fieldCount == 0 || !c.nodes || uint32_t(c.nodes[0].used) + c.nodes[0].padding == 0) return 0;
    DeleteSideFile();
    m_sidePath = SideFilePath(m_board);
    if (m_sidePath.empty()) return 0;
    m_sideCovered = uint32_t(c.nodes[0].used) + c.nodes[0].padding;
    const size_t table = (size_t(m_fieldCount) * 4 + kSector - 1) / kSector * kSector;
    std::vector<uint8_t> bytes(kSideHeaderBytes + table, 0);
    const size_t chars = std::min<size_t>(m_path.size(), kSidePathChars);
    std::memcpy(bytes.data(), m_path.data(), chars * 2);
    std::memcpy(&bytes[1032], &m_fieldCount, 4);
    const uint16_t covered = uint16_t(m_sideCovered), which = uint16_t(channel ? 1 : 0);
    std::memcpy(&bytes[1036], &covered, 2);
    std::memcpy(&bytes[1038], &which, 2);
    for (uint32_t k = 0; k < m_fieldCount; ++k) {
        std::memcpy(&bytes[kSideHeaderBytes + 4 * k], &c.nodes[k].used, 2);
        std::memcpy(&bytes[kSideHeaderBytes + 4 * k + 2], &c.nodes[k].padding, 2);
    }
    m_side = CreateFileA(m_sidePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_side == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    if (!WriteFile(m_side, bytes.data(), DWORD(bytes.size()), &written, nullptr) || written != bytes.size()) {
        DeleteSideFile();
        return 0;
    }
    FlushFileBuffers(m_side);
    return 1;
}

int32_t CZarLocalFile::AppendSideFile(uint32_t first, uint32_t wrap, uint32_t limit, uint32_t count)
{
    if (m_side == INVALID_HANDLE_VALUE) return ZAR_E_DRIVER;
    const uint16_t entry[2] = {0, uint16_t(m_sideCovered)};
    uint32_t field = first;
    for (uint32_t i = 0; i < count; ++i) {
        if (field >= limit) field = wrap;
        if (field >= m_fieldCount) return ZAR_E_DRIVER;
        LARGE_INTEGER at;
        at.QuadPart = kSideHeaderBytes + 4ll * field;
        DWORD written = 0;
        if (!SetFilePointerEx(m_side, at, nullptr, FILE_BEGIN) ||
            !WriteFile(m_side, entry, sizeof entry, &written, nullptr) || written != sizeof entry)
            return ZAR_E_DRIVER;
        ++field;
    }
    FlushFileBuffers(m_side);
    return ZAR_OK;
}

int32_t CZarLocalFile::SetSideFileField(uint32_t field, uint32_t used)
{
    if (m_side == INVALID_HANDLE_VALUE || field >= m_fieldCount) return ZAR_E_DRIVER;
    const uint16_t entry[2] = {uint16_t(used), uint16_t(used < m_sideCovered ? m_sideCovered - used : 0)};
    LARGE_INTEGER at;
    at.QuadPart = kSideHeaderBytes + 4ll * field;
    DWORD written = 0;
    if (!SetFilePointerEx(m_side, at, nullptr, FILE_BEGIN) || !WriteFile(m_side, entry, sizeof entry, &written, nullptr) ||
        written != sizeof entry)
        return ZAR_E_DRIVER;
    return ZAR_OK;
}

int32_t CZarLocalFile::DeleteSideFile()
{
    if (m_side == INVALID_HANDLE_VALUE) return ZAR_OK;
    CloseHandle(m_side);
    m_side = INVALID_HANDLE_VALUE;
    DeleteFileA(m_sidePath.c_str());
    return ZAR_OK;
}

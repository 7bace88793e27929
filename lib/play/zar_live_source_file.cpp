// The ring reader. The header is mapped alone first, checked, and the ring
// then mapped at exactly the size its header claims: a section smaller
// than that does not map, so no slot can lie outside it.

#include "zar_live_source_file.h"

#include <cstring>

#include "include/zardll.h"
#include "include/zarkd.h"
#include "include/zarply.h"
#include "zar_connection.h"
#include "zar_live_source_record.h"
#include "zar_live_source_sync.h"

namespace {
constexpr uint32_t kSector = 512;
constexpr int32_t kOtherStandard = -23;
}  // namespace

CSysLiveSourceVideoFile::CSysLiveSourceVideoFile(CBoardConnection* connection)
    : CZarFile(std::u16string()), m_connection(connection)
{
    m_accessMode = GENERIC_READ;
    if (m_connection && m_connection->m_pShared) m_standard = m_connection->m_pShared->Standard == 625 ? 625 : 525;
}

CSysLiveSourceVideoFile::~CSysLiveSourceVideoFile()
{
    CloseRing();
}

void CSysLiveSourceVideoFile::CloseRing()
{
    if (m_header) UnmapViewOfFile(m_header);
    m_header = nullptr;
    if (m_mapping) CloseHandle(m_mapping);
    m_mapping = nullptr;
}

int32_t CSysLiveSourceVideoFile::OpenRing(CSysLiveSourceSync* sync, CSysLiveSourceRecord* queue,
                                          const std::string& mappingName)
{
    if (m_header || !sync || mappingName.empty()) return ZAR_E_DRIVER;
    m_mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, mappingName.c_str());
    if (!m_mapping) return ZAR_E_DRIVER;
    auto fail = [this](int32_t code) {
        CloseRing();
        return code;
    };
    auto* head = static_cast<ZAR_LIVE_RING_HEADER*>(
        MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, liveRing::kHeaderBytes));
    if (!head) return fail(ZAR_E_DRIVER);
    const ZAR_LIVE_RING_HEADER h = *head;
    UnmapViewOfFile(head);
    if (h.HeaderSize < liveRing::kHeaderBytes) return fail(ZAR_E_DRIVER);
    if (h.Standard != m_standard) return fail(kOtherStandard);
    if (!liveRing::IsPowerOfTwo(h.Slots) || h.Slots < liveRing::kMinReaderSlots || h.Slots > liveRing::kMaxSlots ||
        h.SlotSize == 0 || h.SlotSize % kSector != 0 || h.TableOffset < h.HeaderSize ||
        uint64_t(h.DataOffset) < uint64_t(h.TableOffset) + 4ull * h.Slots)
        return fail(ZAR_E_DRIVER);
    const uint64_t size = uint64_t(h.DataOffset) + uint64_t(h.Slots) * h.SlotSize;
    if (size > liveRing::kMaxBytes) return fail(ZAR_E_DRIVER);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, DWORD(size)));
    if (!view) return fail(ZAR_E_DRIVER);
    m_header = reinterpret_cast<ZAR_LIVE_RING_HEADER*>(view);
    m_table = reinterpret_cast<const uint32_t*>(view + h.TableOffset);
    m_data = view + h.DataOffset;
    m_slots = h.Slots;
    m_slotSize = h.SlotSize;
    m_empty = GetEmptyFieldImage(false, m_standard == 625);
    if (!m_empty.bytes) return fail(ZAR_E_NO_MEMORY);
    m_locations.assign(m_slots + 1, ZAR_FIELD_LOCATION{});
    for (uint32_t i = 0; i <= m_slots; ++i) m_locations[i].place[0] = i;
    if (queue && queue->Init(m_slots) != ZAR_OK) return fail(ZAR_E_NO_MEMORY);
    m_sync = sync;
    m_queue = queue;
    m_cachedField = 0xFFFFFFFFu;
    return ZAR_OK;
}

uint32_t CSysLiveSourceVideoFile::SlotOf(uint32_t field)
{
    if (field != m_cachedField) {
        m_cachedSlot = m_sync->MapField(field, m_header, m_slots);
        m_cachedField = field;
    }
    return m_cachedSlot;
}

void CSysLiveSourceVideoFile::SlotData(uint32_t slot, const uint8_t** data, uint32_t* bytes)
{
    if (slot < m_slots) {
        const uint32_t size = liveRing::Load(m_table[slot]);
        if (size != 0 && size <= m_slotSize) {
            *data = m_data + size_t(slot) * m_slotSize;
            *bytes = size;
            return;
        }
        // Sent to the board, a size past the slot would read the next
        // slots or beyond the section: the field plays as empty.
        if (size > m_slotSize) ++m_oversized;
    }
    *data = m_empty.bytes;
    *bytes = m_empty.length;
}

int32_t CSysLiveSourceVideoFile::GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node)
{
    if (!m_header) return ZAR_E_DRIVER;
    const uint32_t slot = SlotOf(field);
    const uint8_t* data;
    uint32_t bytes;
    SlotData(slot, &data, &bytes);
    ZAR_FIELD_LOCATION& l = m_locations[slot < m_slots ? slot : m_slots];
    l.used = uint16_t((bytes + kSector - 1) / kSector);
    l.padding = 0;
    *node = &l;
    return ZAR_OK;
}

uint32_t CSysLiveSourceVideoFile::GetFillFieldSize(uint32_t field)
{
    if (!m_header) return uint32_t(ZAR_E_DRIVER);
    const uint8_t* data;
    uint32_t bytes;
    SlotData(SlotOf(field), &data, &bytes);
    return (bytes + kSector - 1) / kSector;
}

int32_t CSysLiveSourceVideoFile::ReadFillField(uint32_t field, void* buffer, uint32_t bytes)
{
    if (!m_header) return ZAR_E_DRIVER;
    const uint8_t* data;
    uint32_t size;
    SlotData(SlotOf(field), &data, &size);
    if (!buffer || bytes < size) return ZAR_E_BAD_ARGUMENT;
    std::memcpy(buffer, data, size);
    return ZAR_OK;
}

int32_t CSysLiveSourceVideoFile::SendField(uint32_t field, bool direct, uint32_t slot, uint32_t word20,
                                           uint32_t word96, uint32_t keyWord)
{
    if (!m_header || !m_connection) return ZAR_E_DRIVER;
    const uint8_t* data;
    uint32_t size;
    SlotData(SlotOf(field), &data, &size);
    const uint32_t sectors = (size + kSector - 1) / kSector;
    ZAR_DISK_REQUEST r{};
    r.Operation = direct ? ZAR_DISK_OP_JPEG_FIELD_WRITE : ZAR_DISK_OP_SDRAM_WRITE;
    r.AccessMode = keyWord ? ZAR_DISK_ACCESS_2 : ZAR_DISK_ACCESS_1;
    r.OwnsScsi = direct ? word20 : 1;
    r.FieldOffset = direct ? word96 : 0;
    r.BlockCount = sectors;
    r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(data));
    r.UserBufferLength = sectors * kSector;
    r.SdramAddress = slot * kSector;
    r.JpegChannel = keyWord;
    // Copies between host and board memory write their status only when they fail.
    r.ScsiStatus = 0;
    DWORD returned = 0;
    if (!SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned,
                           nullptr) ||
        r.ScsiStatus != 0)
        return ZAR_E_DRIVER;
    if (m_queue)
        m_queue->Append(ZAR_LIVE_RECORD_ENTRY{field, keyWord ? 1u : 0u, slot,
                                              uint32_t(reinterpret_cast<uintptr_t>(data)), sectors});
    return ZAR_OK;
}

int32_t CSysLiveSourceVideoFile::FillFieldToBoard(uint32_t field, uint32_t slot, uint32_t keyWord)
{
    return SendField(field, false, slot, 1, 0, keyWord);
}

int32_t CSysLiveSourceVideoFile::FillFieldToBoardSync(uint32_t field, uint32_t slot, uint32_t value20,
                                                      uint32_t value96)
{
    if (!m_connection || !WaitFieldSyncMutex(m_connection->m_board)) return ZAR_E_DRIVER;
    const int32_t result = SendField(field, true, slot, value20, value96, 0);
    ReleaseFieldSyncMutex(m_connection->m_board);
    return result;
}

// The ring writer. Fields go from board memory straight into their slot by
// a disk request; the slot's size entry is cleared first and written only
// when the field arrived, so a reader never takes a half-copied slot for a
// field.

#include "zar_live_sink_file.h"

#include <cstring>

#include "include/zardll.h"
#include "include/zarkd.h"
#include "zar_connection.h"

CSysLiveSinkVideoFile::CSysLiveSinkVideoFile(CBoardConnection* connection)
    : CZarFile(std::u16string()), m_connection(connection)
{
    m_accessMode = GENERIC_WRITE;
    if (m_connection && m_connection->m_pShared) m_standard = m_connection->m_pShared->Standard == 625 ? 625 : 525;
}

CSysLiveSinkVideoFile::~CSysLiveSinkVideoFile()
{
    CloseRing();
}

int32_t CSysLiveSinkVideoFile::OpenRing(uint32_t sectorsPerField, uint32_t slots, const std::string& mappingName,
                                        const std::string& eventName)
{
    if (m_header) return ZAR_E_DRIVER;
    if (!liveRing::IsPowerOfTwo(slots) || slots < liveRing::kMinWriterSlots || slots > liveRing::kMaxSlots ||
        mappingName.empty() || sectorsPerField == 0 || sectorsPerField > 0xFFFF)
        return ZAR_E_BAD_ARGUMENT;
    const uint32_t dataOffset = liveRing::DataOffset(slots);
    const uint64_t slotSize = uint64_t(sectorsPerField) * 512;
    const uint64_t size = dataOffset + slots * slotSize;
    if (size > liveRing::kMaxBytes) return ZAR_E_NO_MEMORY;
    m_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(size), mappingName.c_str());
    if (!m_mapping) return ZAR_E_DRIVER;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m_mapping);
        m_mapping = nullptr;
        return ZAR_E_DRIVER;
    }
    auto* view = static_cast<uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, DWORD(size)));
    m_event = view ? CreateEventA(nullptr, TRUE, FALSE, eventName.empty() ? nullptr : eventName.c_str()) : nullptr;
    if (!m_event) {
        if (view) UnmapViewOfFile(view);
        CloseHandle(m_mapping);
        m_mapping = nullptr;
        return ZAR_E_DRIVER;
    }
    std::memset(view, 0, dataOffset);
    m_header = reinterpret_cast<ZAR_LIVE_RING_HEADER*>(view);
    m_header->HeaderSize = liveRing::kHeaderBytes;
    m_header->Standard = m_standard;
    m_header->Slots = slots;
    m_header->SlotSize = uint32_t(slotSize);
    m_header->TableOffset = liveRing::kHeaderBytes;
    m_header->DataOffset = dataOffset;
    m_table = reinterpret_cast<uint32_t*>(view + liveRing::kHeaderBytes);
    m_data = view + dataOffset;
    m_slotSize = uint32_t(slotSize);
    m_slots = slots;
    m_sectors = sectorsPerField;
    m_locations.assign(slots, ZAR_FIELD_LOCATION{});
    for (uint32_t i = 0; i < slots; ++i) m_locations[i] = ZAR_FIELD_LOCATION{{i, 0}, uint16_t(sectorsPerField), 0};
    return ZAR_OK;
}

void CSysLiveSinkVideoFile::CloseRing()
{
    if (m_event) CloseHandle(m_event);
    m_event = nullptr;
    if (m_header) {
        if (m_pending && !Publish()) __atomic_add_fetch(&m_header->Dropped, 1, __ATOMIC_ACQ_REL);
        UnmapViewOfFile(m_header);
    }
    m_pending = false;
    m_header = nullptr;
    m_table = nullptr;
    m_data = nullptr;
    if (m_mapping) CloseHandle(m_mapping);
    m_mapping = nullptr;
}

uint32_t CSysLiveSinkVideoFile::IsFillUncompressed()
{
    return m_sectors == (m_standard == 625 ? 405u : 342u) ? 1 : 0;
}

int32_t CSysLiveSinkVideoFile::GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node)
{
    if (!m_header) return ZAR_E_DRIVER;
    ZAR_FIELD_LOCATION& l = m_locations[field % m_slots];
    l.used = uint16_t(m_sectors);
    l.padding = 0;
    *node = &l;
    return ZAR_OK;
}

int32_t CSysLiveSinkVideoFile::CheckFieldWrite(uint32_t field, uint32_t sectors)
{
    if (!m_header) return ZAR_E_DRIVER;
    if (sectors > m_sectors) return ZAR_E_NO_ROOM;
    ZAR_FIELD_LOCATION& l = m_locations[field % m_slots];
    l.used = uint16_t(sectors);
    l.padding = uint16_t(m_sectors - sectors);
    return ZAR_OK;
}

bool CSysLiveSinkVideoFile::Publish()
{
    if (!m_header) return false;
    const uint32_t write = m_header->WriteCount;  // only this writer moves it
    const uint32_t backlog = write - liveRing::Load(m_header->ReadCount);
    if (backlog >= m_slots - 2) return false;
    liveRing::Store(m_header->WriteCount, write + 2);
    SetEvent(m_event);
    return true;
}

bool CSysLiveSinkVideoFile::Copy(const ZAR_FIELD_TRANSFER& t, uint32_t slot)
{
    if (!m_connection) return false;
    ZAR_DISK_REQUEST r{};
    r.Operation = ZAR_DISK_OP_SDRAM_READ;
    r.BlockCount = m_sectors;
    r.AccessMode = t.secondBuffer ? ZAR_DISK_ACCESS_102 : ZAR_DISK_ACCESS_101;
    r.OwnsScsi = 1;
    r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(m_data + size_t(slot) * m_slotSize));
    r.UserBufferLength = m_sectors * 512;
    r.SdramAddress = t.boardSlot * 512;
    r.JpegChannel = t.request ? t.request->JpegChannel : 0;
    // Copies between host and board memory write their status only when they fail.
    r.ScsiStatus = 0;
    DWORD returned = 0;
    return SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r, &returned,
                             nullptr) &&
           r.ScsiStatus == 0;
}

int32_t CSysLiveSinkVideoFile::TransferField(const ZAR_FIELD_TRANSFER& t)
{
    if (!m_header) return ZAR_E_DRIVER;
    if (m_pending) {
        if (!Publish()) __atomic_add_fetch(&m_header->Dropped, 1, __ATOMIC_ACQ_REL);
        m_pending = false;
    }
    const uint32_t parity = t.field & 1;
    const uint32_t first = m_header->WriteCount % m_slots;
    const uint32_t slot = first + parity;
    liveRing::Store(m_table[slot], 0);
    const bool copied = Copy(t, slot);
    if (copied) liveRing::Store(m_table[slot], uint32_t(m_locations[t.field % m_slots].used) * 512);
    if (parity == 1) {
        if (m_table[first] != 0 && m_table[first + 1] != 0) {
            if (!Publish()) m_pending = true;
        } else {
            liveRing::Store(m_table[first], 0);
            liveRing::Store(m_table[first + 1], 0);
            __atomic_add_fetch(&m_header->Dropped, 1, __ATOMIC_ACQ_REL);
        }
    }
    return copied ? ZAR_OK : ZAR_E_DRIVER;
}

// A clip file held in memory, for the clip item, stream and transfer tests:
// F frames whose fields have the sizes the test gives (0 = an empty field).
// Each field's data is its own byte pattern. Loads into board memory go to
// the board as host-to-board requests when a connection is given, and are
// kept in a list either way.
#pragma once

#include <cstring>
#include <mutex>
#include <vector>

#include "include/zarkd.h"
#include "lib/api/zar_connection.h"
#include "lib/play/zar_file.h"

class MemoryClipFile : public CZarFile {
public:
    struct Load {
        uint32_t field, block;
    };

    MemoryClipFile(std::vector<uint16_t> sectors, CBoardConnection* connection = nullptr, std::u16string path = {})
        : CZarFile(std::move(path)), m_connection(connection)
    {
        m_accessMode = GENERIC_READ;
        uint32_t offset = 0;
        for (uint32_t k = 0; k < sectors.size(); ++k) {
            m_fields.push_back({{0, offset}, sectors[k], 0});
            offset += sectors[k];
        }
        const size_t bytes = size_t(std::max<uint32_t>(offset, 1)) * 512;
        m_data = static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
        for (uint32_t k = 0; k < m_fields.size(); ++k)
            std::memset(m_data + size_t(m_fields[k].place[1]) * 512, int(k & 0xFF), size_t(m_fields[k].used) * 512);
    }
    // Fields with the given contents (each padded to whole sectors).
    MemoryClipFile(const std::vector<std::vector<uint8_t>>& fields, CBoardConnection* connection)
        : MemoryClipFile(SectorsOf(fields), connection)
    {
        for (uint32_t k = 0; k < fields.size(); ++k) {
            uint8_t* at = m_data + size_t(m_fields[k].place[1]) * 512;
            std::memset(at, 0, size_t(m_fields[k].used) * 512);
            std::memcpy(at, fields[k].data(), fields[k].size());
        }
    }
    ~MemoryClipFile() override { VirtualFree(m_data, 0, MEM_RELEASE); }
    static std::vector<uint16_t> SectorsOf(const std::vector<std::vector<uint8_t>>& fields)
    {
        std::vector<uint16_t> sectors;
        for (const auto& f : fields) sectors.push_back(uint16_t((f.size() + 511) / 512));
        return sectors;
    }

    std::vector<Load> Loads()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_loads;
    }
    void SetAccess(uint32_t access) { m_accessMode = access; }
    uint32_t opens = 0;

    uint32_t GetFrameCount() override { return uint32_t(m_fields.size() / 2); }
    int32_t CreateFill(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_OK; }
    int32_t CreateKey(uint32_t, uint32_t, uint32_t, uint32_t) override { return ZAR_OK; }
    int32_t OpenForAccess(uint32_t access) override
    {
        ++opens;
        m_accessMode = access;
        return ZAR_OK;
    }
    int32_t CheckFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t TransferField(const ZAR_FIELD_TRANSFER&) override { return ZAR_E_DRIVER; }
    int32_t GetFillNode(uint32_t field, ZAR_FIELD_LOCATION** node) override
    {
        if (field >= m_fields.size()) return ZAR_E_FIELD_RANGE;
        *node = &m_fields[field];
        return ZAR_OK;
    }
    int32_t CheckKeyFieldWrite(uint32_t, uint32_t) override { return ZAR_E_DRIVER; }
    int32_t GetKeyNode(uint32_t field, ZAR_FIELD_LOCATION** node) override { return GetFillNode(field, node); }
    int32_t FillFieldToBoard(uint32_t field, uint32_t block, uint32_t = 0) override
    {
        if (field >= m_fields.size()) return ZAR_E_FIELD_RANGE;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_loads.push_back({field, block});
        }
        if (!m_connection) return ZAR_OK;
        const ZAR_FIELD_LOCATION& l = m_fields[field];
        ZAR_DISK_REQUEST r{};
        r.Operation = ZAR_DISK_OP_SDRAM_WRITE;
        r.TargetId = 255;
        r.BlockCount = l.used;
        r.AccessMode = 2;
        r.OwnsScsi = 1;
        r.ScsiStatus = 0;  // a board memory copy leaves the status as sent unless it failed
        r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(m_data + size_t(l.place[1]) * 512));
        r.UserBufferLength = uint32_t(l.used) * 512;
        r.SdramAddress = block * 512;
        DWORD returned = 0;
        return SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r,
                                 &returned, nullptr) && r.ScsiStatus == 0
                   ? ZAR_OK
                   : ZAR_E_DRIVER;
    }
    int32_t FillFieldToBoardSync(uint32_t field, uint32_t block, uint32_t = 0, uint32_t = 0) override
    {
        return FillFieldToBoard(field, block);
    }
    int32_t KeyFieldToBoard(uint32_t field, uint32_t block, uint32_t = 0) override { return FillFieldToBoard(field, block); }
    int32_t KeyFieldToBoardSync(uint32_t field, uint32_t block, uint32_t = 0, uint32_t = 0) override
    {
        return FillFieldToBoard(field, block);
    }
    int32_t ReadFillField(uint32_t field, void* buffer, uint32_t bytes) override
    {
        if (field >= m_fields.size()) return ZAR_E_FIELD_RANGE;
        const ZAR_FIELD_LOCATION& l = m_fields[field];
        if (l.used == 0 || bytes < uint32_t(l.used) * 512) return ZAR_E_DRIVER;
        std::memcpy(buffer, m_data + size_t(l.place[1]) * 512, size_t(l.used) * 512);
        return ZAR_OK;
    }
    int32_t ReadKeyField(uint32_t field, void* buffer, uint32_t bytes) override
    {
        return ReadFillField(field, buffer, bytes);
    }
    uint32_t GetFillFieldSize(uint32_t field) override
    {
        if (field >= m_fields.size() || m_fields[field].used == 0) return EmptyFieldSize();
        return m_fields[field].used;
    }
    uint32_t GetKeyFieldSize(uint32_t field) override { return GetFillFieldSize(field); }
    uint32_t IsFillUncompressed() override { return m_uncompressed; }
    uint32_t IsKeyUncompressed() override { return m_uncompressed; }
    int32_t GetFieldPlacement(uint32_t field, uint32_t* target, uint32_t* block, uint32_t* sectors) override
    {
        if (field >= m_fields.size()) return 0;
        *target = m_fields[field].place[0];
        *block = m_fields[field].place[1];
        *sectors = m_fields[field].used;
        return m_fields[field].used != 0;
    }

    uint32_t m_uncompressed = 0;

private:
    CBoardConnection* m_connection;
    std::vector<ZAR_FIELD_LOCATION> m_fields;
    uint8_t* m_data = nullptr;
    std::mutex m_lock;
    std::vector<Load> m_loads;
};

// Virtual clip files hand the board the pixels where they lie: a disk
// request from host memory into the board's field slot.

#include "zar_virtual_file.h"

#include <cstring>

#include "include/zardll.h"
#include "include/zarkd.h"
#include "zar_connection.h"

namespace {
constexpr uint32_t kSector = 512;
}  // namespace

CZarVirtualFile::CZarVirtualFile(CBoardConnection* connection, uint32_t frames)
    : CZarFile(std::u16string()), m_connection(connection), m_frames(frames)
{
    m_accessMode = GENERIC_READ;
    if (m_connection && m_connection->m_pShared) m_standard = m_connection->m_pShared->Standard == 625 ? 625 : 525;
}

int32_t CZarVirtualFile::SendField(bool direct, uint32_t slot, uint32_t word20, uint32_t word96, uint32_t keyWord)
{
    const uint8_t* data = nullptr;
    uint32_t bytes = 0;
    if (!m_connection || GetFieldData(&data, &bytes) != ZAR_OK || !data || bytes == 0) return ZAR_E_DRIVER;
    ZAR_DISK_REQUEST r{};
    r.Operation = direct ? ZAR_DISK_OP_JPEG_FIELD_WRITE : ZAR_DISK_OP_SDRAM_WRITE;
    r.AccessMode = keyWord ? ZAR_DISK_ACCESS_2 : ZAR_DISK_ACCESS_1;
    r.OwnsScsi = direct ? word20 : 1;
    r.FieldOffset = direct ? word96 : 0;
    r.BlockCount = bytes / kSector;
    r.UserBuffer = uint32_t(reinterpret_cast<uintptr_t>(data));
    r.UserBufferLength = bytes;
    r.SdramAddress = slot * kSector;
    r.JpegChannel = keyWord;
    // Copies between host and board memory write their status only when they fail.
    r.ScsiStatus = 0;
    DWORD returned = 0;
    const BOOL ok = SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &r, sizeof r, &r, sizeof r,
                                      &returned, nullptr);
    return ok && r.ScsiStatus == 0 ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CZarVirtualFile::FillFieldToBoard(uint32_t, uint32_t slot, uint32_t keyWord)
{
    return SendField(false, slot, 1, 0, keyWord);
}

int32_t CZarVirtualFile::FillFieldToBoardSync(uint32_t, uint32_t slot, uint32_t value20, uint32_t value96)
{
    if (!m_connection || !WaitFieldSyncMutex(m_connection->m_board)) return ZAR_E_DRIVER;
    const int32_t result = SendField(true, slot, value20, value96, 0);
    ReleaseFieldSyncMutex(m_connection->m_board);
    return result;
}

int32_t CZarVirtualFile::ReadFillField(uint32_t, void* buffer, uint32_t bytes)
{
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    if (GetFieldData(&data, &size) != ZAR_OK || !data) return ZAR_E_DRIVER;
    if (!buffer || bytes < size) return ZAR_E_BAD_ARGUMENT;
    std::memcpy(buffer, data, size);
    return ZAR_OK;
}

uint32_t CZarVirtualFile::GetFillFieldSize(uint32_t)
{
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    if (GetFieldData(&data, &size) != ZAR_OK) return uint32_t(ZAR_E_DRIVER);
    return size / kSector;
}

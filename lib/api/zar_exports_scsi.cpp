// The SCSI pass-through: the device table the library keeps in the shared
// record, and a caller's command turned into the board driver's 104-byte
// disk request.

#include <cstring>

#include "include/zardll.h"
#include "include/zarkd.h"
#include "zar_export_frame.h"

namespace {

constexpr uint32_t ZAR_SCSI_BLOCK_SIZE = 512;

// A sequential transfer started by operation 5 or 6 runs until operation 8
// ends it; per board, for the whole process.
volatile LONG g_sequential[ZAR_DLL_MAX_BOARDS] = {};

ZAR_SCSI_DEVICE_INFO DeviceEntry(const ExportCall& call, uint32_t id)
{
    ZAR_SCSI_DEVICE_INFO entry;
    std::memcpy(&entry, call.connection->m_pShared->ScsiDevices[id], sizeof entry);
    return entry;
}

bool Listed(uint32_t operation) { return operation <= ZAR_SCSI_OP_SEQ_END || operation == 100 || operation == 101; }

bool KnownRequestMode(uint32_t mode)
{
    return mode == 0 || mode == 1 || mode == 2 || mode == 101 || mode == 102 || mode == 255;
}

// The block tests of the commands that touch the drive's blocks. The
// device's last block is the last one reachable: capacity is one more.
int32_t CheckBlocks(const ExportCall& call, const ZAR_SCSI_COMMAND& command)
{
    const ZAR_SCSI_DEVICE_INFO entry = DeviceEntry(call, command.ScsiId);
    if (entry.State != ZAR_SCSI_DEVICE_READY) return ZAR_E_SCSI_DEVICE_STATE;
    const uint64_t capacity = uint64_t(entry.LastBlock) + 1;
    if (command.FirstBlock > capacity || uint64_t(command.FirstBlock) + command.BlockCount > capacity)
        return ZAR_E_BLOCK_RANGE;
    if (command.Operation == ZAR_SCSI_OP_SEQ_READ && command.EndBlock > capacity) return ZAR_E_BLOCK_RANGE;
    return ZAR_OK;
}

int32_t Check(const ExportCall& call, const ZAR_SCSI_COMMAND& command)
{
    if (command.ScsiId >= ZAR_SCSI_MAX_TARGETS) return ZAR_E_BAD_ARGUMENT;
    if (!Listed(command.Operation) || !KnownRequestMode(command.RequestMode)) return ZAR_E_BAD_ARGUMENT;
    const uint64_t bytes = uint64_t(command.BlockCount) * ZAR_SCSI_BLOCK_SIZE;
    if (command.Buffer != 0) {
        if (bytes > 0xFFFFFFFFu) return ZAR_E_BAD_ARGUMENT;
        auto* buffer = reinterpret_cast<void*>(uintptr_t(command.Buffer));
        const bool intoBuffer = command.Operation == ZAR_SCSI_OP_READ || command.Operation == ZAR_SCSI_OP_BOARD_READ ||
                                command.Operation == ZAR_SCSI_OP_MODE_SENSE;
        if (intoBuffer ? IsBadWritePtr(buffer, UINT_PTR(bytes)) : IsBadReadPtr(buffer, UINT_PTR(bytes)))
            return ZAR_E_BAD_ARGUMENT;
    }
    switch (command.Operation) {
    case ZAR_SCSI_OP_BOARD_READ:
    case ZAR_SCSI_OP_BOARD_WRITE:
        if (command.Buffer == 0 || uint64_t(command.BufferOffset) + command.BlockCount > ZAR_SCSI_BOARD_BLOCKS)
            return ZAR_E_BAD_ARGUMENT;
        return ZAR_OK;
    case ZAR_SCSI_OP_READ:
    case ZAR_SCSI_OP_WRITE:
    case ZAR_SCSI_OP_SEQ_READ:
    case ZAR_SCSI_OP_SEQ_WRITE: return CheckBlocks(call, command);
    case ZAR_SCSI_OP_SEQ_STATUS:
    case ZAR_SCSI_OP_SEQ_END: return g_sequential[call.connection->m_board] ? ZAR_OK : ZAR_E_BAD_ARGUMENT;
    default: return ZAR_OK;
    }
}

void FillRequest(const ZAR_SCSI_COMMAND& command, ZAR_DISK_REQUEST& request)
{
    std::memset(&request, 0, sizeof request);
    request.AccessMode = command.RequestMode;
    request.TargetId = command.ScsiId;
    const uint32_t bytes = command.BlockCount * ZAR_SCSI_BLOCK_SIZE;
    auto buffer = [&] {
        if (command.Buffer == 0) return;
        request.UserBuffer = command.Buffer;
        request.UserBufferLength = bytes;
    };
    switch (command.Operation) {
    case ZAR_SCSI_OP_READ:
    case ZAR_SCSI_OP_WRITE:
        request.Operation = command.Operation == ZAR_SCSI_OP_READ ? ZAR_DISK_OP_READ : ZAR_DISK_OP_WRITE;
        request.FirstBlock = command.FirstBlock;
        request.BlockCount = command.BlockCount;
        buffer();
        break;
    case ZAR_SCSI_OP_MODE_SENSE:
        request.Operation = ZAR_DISK_OP_MODE_SENSE;
        request.ModeSensePage = command.ModeSensePage;
        buffer();
        break;
    case ZAR_SCSI_OP_MODE_SELECT:
        request.Operation = ZAR_DISK_OP_MODE_SELECT;
        request.ModeSelectSavePages = command.ModeSelect[0];
        request.ModeSelectLength = command.ModeSelect[1];
        buffer();
        break;
    case ZAR_SCSI_OP_BUS_SCAN:
        request.Operation = ZAR_DISK_OP_SCAN;
        request.TargetId = 0;
        break;
    case ZAR_SCSI_OP_SEQ_READ:
    case ZAR_SCSI_OP_SEQ_WRITE:
        request.Operation = command.Operation == ZAR_SCSI_OP_SEQ_READ ? ZAR_DISK_OP_READ_SEQ : ZAR_DISK_OP_WRITE_SEQ;
        request.FirstBlock = command.FirstBlock;
        request.BlockCount = command.BlockCount;
        request.EndBlock = command.EndBlock;
        break;
    default:  // 100 / 101
        request.Operation = command.Operation == ZAR_SCSI_OP_BOARD_READ ? ZAR_DISK_OP_SDRAM_READ : ZAR_DISK_OP_SDRAM_WRITE;
        request.FirstBlock = command.FirstBlock;
        request.BlockCount = command.BlockCount;
        buffer();
        request.SdramAddress = command.BufferOffset * ZAR_SCSI_BLOCK_SIZE;
        break;
    }
}

int32_t SequentialStatus(const ExportCall& call, ZAR_SCSI_COMMAND& command, bool stop)
{
    ZAR_SCSI_SEQ_STATUS status{0, stop ? 1u : 0u, 0};
    DWORD returned = 0;
    if (!SendDeviceRequest(call.connection->m_hBoard, IOCTL_ZAR_SCSI_SEQ_STATUS, &status, sizeof status, &status,
                           sizeof status, &returned, nullptr))
        return ZAR_E_DRIVER;
    if (!stop) {
        command.Status[0] = status.CommandsDone;
        command.Status[1] = status.Finished;
        return ZAR_OK;
    }
    Sleep(500);
    InterlockedExchange(&g_sequential[call.connection->m_board], 0);
    return ZAR_OK;
}

int32_t ScsiCommand(const ExportCall& call, void* record, ZAR_DISK_REQUEST* area, OVERLAPPED* overlapped)
{
    ZAR_SCSI_COMMAND command;
    std::memcpy(&command, record, sizeof command);
    const int32_t checked = Check(call, command);
    if (checked != ZAR_OK) return checked;
    if (command.Operation == ZAR_SCSI_OP_SEQ_STATUS || command.Operation == ZAR_SCSI_OP_SEQ_END) {
        const int32_t result = SequentialStatus(call, command, command.Operation == ZAR_SCSI_OP_SEQ_END);
        if (result == ZAR_OK) std::memcpy(static_cast<uint8_t*>(record) + 20, command.Status, sizeof command.Status);
        return result;
    }
    ZAR_DISK_REQUEST local;
    ZAR_DISK_REQUEST& request = area ? *area : local;
    FillRequest(command, request);
    DWORD returned = 0;
    if (!SendDeviceRequest(call.connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &request, sizeof request, &request,
                           sizeof request, &returned, overlapped))
        return ZAR_E_DRIVER;
    if (command.Operation == ZAR_SCSI_OP_SEQ_READ || command.Operation == ZAR_SCSI_OP_SEQ_WRITE)
        InterlockedExchange(&g_sequential[call.connection->m_board], 1);
    if (command.Operation == ZAR_SCSI_OP_BUS_SCAN) call.app.ReadScsiDeviceTable(*call.connection);
    return ZAR_OK;
}

}  // namespace

int32_t DoZarScsiCommand(const ExportCall& call, void* record) { return ScsiCommand(call, record, nullptr, nullptr); }

int32_t DoZarScsiCommandEx(const ExportCall& call, void* record, void* extended)
{
    static_assert(sizeof(OVERLAPPED) + sizeof(ZAR_DISK_REQUEST) == ZAR_SCSI_EXTENDED_SIZE);
    if (!zarframe::Accessible(extended, ZAR_SCSI_EXTENDED_SIZE)) return ZAR_E_BAD_ARGUMENT;
    auto* overlapped = static_cast<OVERLAPPED*>(extended);
    auto* area = reinterpret_cast<ZAR_DISK_REQUEST*>(static_cast<uint8_t*>(extended) + sizeof(OVERLAPPED));
    return ScsiCommand(call, record, area, overlapped);
}

int32_t DoZarScsiQueryDeviceInfo(const ExportCall& call, void* record)
{
    const uint32_t id = *static_cast<const uint32_t*>(record);
    if (id >= ZAR_SCSI_MAX_TARGETS) return ZAR_E_BAD_ARGUMENT;
    std::memcpy(record, call.connection->m_pShared->ScsiDevices[id], sizeof(ZAR_SCSI_DEVICE_INFO));
    return ZAR_OK;
}

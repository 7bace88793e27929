// The play transfer thread: feeds one cued clip stream from the disks into
// the board's memory ahead of the field clock, one field entry a field, a
// bounded queue ahead of the board, holding the disks (the field-sync
// mutex, then the SCSI bus) only for short batches.
#pragma once

#include <cstdint>
#include <memory>

#include "include/zarply.h"
#include "platform/win32/win32.h"

class CBoardConnection;
class CClipStream;

// An event handle closed by whoever lets go of it last.
class CEventHandle {
public:
    explicit CEventHandle(HANDLE handle) : m_handle(handle) {}
    ~CEventHandle()
    {
        if (m_handle) CloseHandle(m_handle);
    }
    CEventHandle(const CEventHandle&) = delete;
    CEventHandle& operator=(const CEventHandle&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

struct ZAR_TRANSFER_PARAMS {
    CBoardConnection* connection;
    CClipStream* stream;
    uint32_t index;                      // 0 or 1: the JPEG unit
    ZAR_CUE_STREAMS cue;
    std::shared_ptr<CEventHandle> ready;  // null on the caller's thread (cue mode 2)
};

// Why a play transfer ended.
enum : uint32_t {
    ZAR_END_RANGE_DONE = 1,
    ZAR_END_STOPPED = 2,
    ZAR_END_BOARD_ERROR = 3,
    ZAR_END_NOT_RUNNING = 4,
    ZAR_END_DATA_OK = 5,
    ZAR_END_DATA_PROBLEM = 6,
};

// What the last transfer of a board and stream index did.
struct ZAR_TRANSFER_END {
    int32_t result;         // 0, or the failure that ended it (-1, -100)
    uint32_t reason;        // ZAR_END_...
    uint32_t position;      // the stream position reached
    uint32_t posted;        // field entries posted
    uint64_t cpuNs;         // the thread's CPU time, its own driver requests included
};

inline constexpr uint32_t kTransferRingBlocks = 7936;
inline constexpr uint32_t kTransferSlots = 256;
inline constexpr uint32_t kQueueLimit = 30;
inline constexpr uint32_t kShortQueueLimit = 15;

// Runs the transfer and frees the parameters: a thread's body (cue mode 1)
// or the caller's own run that loads the first frame (cue mode 2).
void RunPlayTransfer(ZAR_TRANSFER_PARAMS* params);
ZAR_TRANSFER_END LastTransferEnd(uint32_t board, uint32_t index);

// The stop event a cue without one of its own is stopped by.
HANDLE PlayDefaultStopEvent();

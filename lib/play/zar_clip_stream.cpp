// The clip stream: where a position falls, the per-field services with the
// built-in black field, the still-frame display and the cue.

#include "zar_clip_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "zar_black_fields.h"
#include "zar_channel_context.h"
#include "zar_connection.h"
#include "zar_transfer.h"

namespace {

uint32_t Frame(uint32_t field) { return field & ~1u; }

// Per board and stream index: the transfer-done event and the running
// transfer thread. Written only by the cue path.
struct TransferTables {
    TransferTables() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    HANDLE done[CClipStream::kMaxBoards][2] = {};
    HANDLE thread[CClipStream::kMaxBoards][2] = {};
};

TransferTables& Tables()
{
    static TransferTables* tables = new TransferTables;  // threads may outlive static destruction
    return *tables;
}

uint32_t UserAddress(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

const uint8_t* BlackFieldBuffer(uint32_t standard, uint32_t* bytes)
{
    // Disk requests name host memory a machine host can reach: VirtualAlloc's.
    struct Buffers {
        Buffers()
        {
            const uint8_t* tables[2] = {kBlackField525, kBlackField625};
            const uint32_t sizes[2] = {kBlackFieldBytes525, kBlackFieldBytes625};
            for (int i = 0; i < 2; ++i) {
                data[i] = static_cast<uint8_t*>(VirtualAlloc(nullptr, sizes[i], MEM_COMMIT, PAGE_READWRITE));
                if (data[i]) std::memcpy(data[i], tables[i], sizes[i]);
            }
        }
        uint8_t* data[2] = {};
    };
    static Buffers* buffers = new Buffers;  // kept for the process: requests may name it at exit
    uint8_t* const* const data = buffers->data;
    const int i = standard == 625 ? 1 : 0;
    *bytes = i ? kBlackFieldBytes625 : kBlackFieldBytes525;
    return data[i];
}

// ---- cursor ----

void ZAR_PLAY_CURSOR::Init(uint32_t rangeStart, uint32_t rangeEnd, uint32_t position, bool looping)
{
    start = rangeStart;
    end = rangeEnd;
    current = previous = position;
    loop = looping ? 1 : 0;
    wraps = 0;
}

uint32_t ZAR_PLAY_CURSOR::Next()
{
    const uint32_t position = current;
    previous = current;
    if (current + 1 < end) {
        ++current;
    } else if (loop) {
        current = start;
        ++wraps;
    } else {
        current = end;
    }
    return position;
}

bool ZAR_PLAY_CURSOR::Done() const { return !loop && (current >= end || Frame(current) == Frame(end)); }

// ---- entries ----

int32_t CClipStream::InsertClip(CClipItem* item, uint32_t position)
{
    if (!item || !item->File() || (item->File()->GetAccessMode() & GENERIC_READ) == 0) return -1;
    return InsertItem(item, position);
}

ZAR_FIELD_SPOT CClipStream::Locate(uint32_t position) const
{
    // The first entry whose end lies beyond the position's frame.
    auto found = std::upper_bound(m_entries.begin(), m_entries.end(), Frame(position),
                                  [](uint32_t p, const Entry& e) { return p < Frame(EntryEnd(e.position, e.item->Length())); });
    if (found == m_entries.end()) {
        if (m_entries.empty()) return {nullptr, 0};
        found = m_entries.end() - 1;  // past the last entry: only a held last frame answers
    }
    auto* item = static_cast<CClipItem*>(found->item);
    if (Frame(position) < Frame(found->position)) return {nullptr, 0};
    const uint32_t itemField = (Frame(position) - Frame(found->position)) | (position & 1);
    if (itemField >= item->Length() && !(item->Flags() & ZAR_CLIP_ITEM_HOLD_LAST)) return {nullptr, 0};
    return {item, itemField};
}

uint32_t CClipStream::Standard() const
{
    if (m_connection && m_connection->m_pShared && m_connection->m_pShared->Standard == 625) return 625;
    return 525;
}

bool CClipStream::In24FpsMode() const
{
    return m_connection && m_connection->m_pShared && m_connection->m_pShared->Fps24Mode == 1;
}

int32_t CClipStream::GetFieldNode(uint32_t position, ZAR_FIELD_LOCATION** node) const
{
    ZAR_FIELD_SPOT spot = Locate(position);
    if (!spot.item) return ZAR_E_DRIVER;
    return spot.item->GetFieldNode(spot.itemField, node);
}

uint32_t CClipStream::GetFieldSize(uint32_t position) const
{
    ZAR_FIELD_SPOT spot = Locate(position);
    if (spot.item) {
        // A held last frame answers for positions past the item's end.
        uint32_t field = spot.itemField;
        if (field >= spot.item->Length()) field = ((spot.item->Length() - 1) & ~1u) | (field & 1);
        const int32_t size = spot.item->GetFieldSize(field);
        return size > 0 ? uint32_t(size) : 0;
    }
    if (In24FpsMode()) return kUncompressedFieldSectors525;
    return BlackSectors();
}

bool CClipStream::LoadBlackField(uint32_t unit, uint32_t boardBlock) const
{
    uint32_t bytes = 0;
    const uint8_t* black = BlackFieldBuffer(Standard(), &bytes);
    if (!black || !m_connection) return false;
    ZAR_DISK_REQUEST request{};
    request.Operation = ZAR_DISK_OP_SDRAM_WRITE;
    request.TargetId = 255;
    request.BlockCount = BlackSectors();
    request.AccessMode = unit + 1;
    request.OwnsScsi = 1;
    request.ScsiStatus = 255;
    request.UserBuffer = UserAddress(black);
    request.UserBufferLength = bytes;
    request.SdramAddress = boardBlock * ZAR_JPEG_BLOCK_BYTES;
    request.JpegChannel = unit;
    DWORD returned = 0;
    return SendDeviceRequest(m_connection->m_hBoard, IOCTL_ZAR_DISK_REQUEST, &request, sizeof request, &request,
                             sizeof request, &returned, nullptr) != 0;
}

int32_t CClipStream::FieldToBoard(uint32_t position, uint32_t unit, uint32_t boardBlock) const
{
    ZAR_FIELD_SPOT spot = Locate(position);
    if (spot.item) {
        uint32_t field = spot.itemField;
        if (field >= spot.item->Length()) field = ((spot.item->Length() - 1) & ~1u) | (field & 1);
        return spot.item->FieldToBoard(field, boardBlock);
    }
    if (In24FpsMode()) return ZAR_E_DRIVER;
    return LoadBlackField(unit, boardBlock) ? ZAR_OK : ZAR_E_DRIVER;
}

int32_t CClipStream::ReadField(uint32_t position, void* buffer, uint32_t bytes) const
{
    ZAR_FIELD_SPOT spot = Locate(position);
    if (spot.item) return spot.item->ReadField(spot.itemField, buffer, bytes);
    uint32_t size = 0;
    const uint8_t* black = BlackFieldBuffer(Standard(), &size);
    if (!black || bytes < size) return ZAR_E_DRIVER;
    std::memcpy(buffer, black, size);
    return ZAR_OK;
}

// ---- still frames ----

int32_t CClipStream::ShowFrame(CBoardConnection* connection, uint32_t position, uint32_t unit, uint32_t fieldMode,
                               uint32_t stopFirst)
{
    if (unit > 1 || fieldMode > 2 || !connection) return ZAR_E_BAD_ARGUMENT;
    ZAR_CHANNEL_CONTEXT context(connection, unit);
    if (!context.QueryStatus()) return ZAR_E_DRIVER;
    uint32_t state = 0;
    context.StateWord(&state);
    if (stopFirst && state != 0 && uint32_t(state) != uint32_t(ZAR_VIDEO_HOLD)) {
        if (!context.IssueJpegCommand(ZAR_JPEG_CMD_INIT) || !context.QueryStatus()) return ZAR_E_DRIVER;
    }
    // The unit shows fields from its head of the play ring onwards.
    uint32_t head = 0;
    std::memcpy(&head, reinterpret_cast<const uint8_t*>(&context.Status()) + 4 + offsetof(ZAR_VIDEO_CHANNEL_STATE, SdramHead), 4);

    if (!IsEmpty()) {
        if (position & 1) return ZAR_E_DRIVER;
        uint32_t sectors[2] = {0, 0};
        uint32_t block = head;
        for (uint32_t p = 0; p < 2; ++p) {
            if ((p == 0 && fieldMode == 2) || (p == 1 && fieldMode == 1)) continue;
            const uint32_t field = position | p;
            if (!CZarFile::WaitFieldSyncMutex(connection->m_board)) return ZAR_E_DRIVER;
            sectors[p] = GetFieldSize(field);
            const int32_t result = FieldToBoard(field, unit, block % ZAR_JPEG_RING_BLOCKS);
            CZarFile::ReleaseFieldSyncMutex(connection->m_board);
            if (result != ZAR_OK) return result;
            block += sectors[p];
        }
        const uint32_t shown = fieldMode == 2 ? position | 1 : position;
        context.IssueJpegPlay(fieldMode, sectors[0], sectors[1], shown, stopFirst);
        return ZAR_OK;
    }
    if (In24FpsMode()) return ZAR_OK;
    if (!LoadBlackField(unit, head)) return ZAR_E_DRIVER;
    context.IssueJpegPlay(1, BlackSectors(), 0, position, stopFirst);
    return ZAR_OK;
}

// ---- cue ----

HANDLE CClipStream::TransferDoneEvent(uint32_t board, uint32_t index)
{
    if (board >= kMaxBoards || index > 1) return nullptr;
    TransferTables& t = Tables();
    EnterCriticalSection(&t.lock);
    HANDLE& event = t.done[board][index];
    if (!event) event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE result = event;
    LeaveCriticalSection(&t.lock);
    return result;
}

HANDLE CClipStream::TransferThread(uint32_t board, uint32_t index)
{
    if (board >= kMaxBoards || index > 1) return nullptr;
    return Tables().thread[board][index];
}

int32_t CClipStream::Cue(CBoardConnection* connection, const ZAR_CUE_STREAMS& cue, uint32_t index)
{
    if (!connection || index > 1 || connection->m_board >= kMaxBoards) return ZAR_E_BAD_ARGUMENT;
    HANDLE done = TransferDoneEvent(connection->m_board, index);
    if (!done) return ZAR_E_DRIVER;
    ResetEvent(done);

    auto* params = new (std::nothrow) ZAR_TRANSFER_PARAMS{connection, this, index, cue, {}};
    if (!params) {
        SetEvent(done);
        return ZAR_E_NO_MEMORY;
    }
    if (cue.Mode == ZAR_CUE_MODE_FIRST_FRAME) {
        RunPlayTransfer(params);  // loads the first frame and ends; frees the block
        return ZAR_OK;
    }
    if (cue.Mode != ZAR_CUE_MODE_NORMAL) {
        // Vari-play runs its own transfer routine, which this stream does not carry.
        delete params;
        SetEvent(done);
        return ZAR_E_BAD_ARGUMENT;
    }
    // Shared with the thread: whichever lets go last closes it.
    auto ready = std::make_shared<CEventHandle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    params->ready = ready;
    HANDLE thread = ready->Get() ? CreateThread(
                                nullptr, 0,
                                [](LPVOID p) -> DWORD {
                                    RunPlayTransfer(static_cast<ZAR_TRANSFER_PARAMS*>(p));
                                    return 0;
                                },
                                params, CREATE_SUSPENDED, nullptr)
                          : nullptr;
    if (!thread) {
        delete params;
        SetEvent(done);
        return ZAR_E_DRIVER;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    TransferTables& t = Tables();
    EnterCriticalSection(&t.lock);
    HANDLE& slot = t.thread[connection->m_board][index];
    if (slot) CloseHandle(slot);  // a thread of an earlier cue, long ended
    slot = thread;
    LeaveCriticalSection(&t.lock);
    ResumeThread(thread);
    // The thread sets the ready event once it queued the first fields, or as it ends.
    return WaitForSingleObject(ready->Get(), kCueWaitMs) == WAIT_OBJECT_0 ? ZAR_OK : ZAR_E_DRIVER;
}

// The play transfer thread.
//
// Board memory: the play ring of 7,936 blocks, used from the unit's head
// on. A field takes the next blocks of the ring in one piece (a field that
// would run over the ring's end starts again at block 0, the skipped tail
// counted with it), is recorded in slot (posted mod 256), and gives its
// blocks back once the board has consumed two more fields after it (the
// last two may still be on screen).
//
// Locks: the board's field-sync mutex first, then its SCSI bus; both are
// held only while a batch of field loads is issued and are given back
// before every wait, so the other stream, a recording and other processes
// get the disks.

#include "zar_transfer.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "include/zarfs.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "zar_app.h"
#include "zar_channel_context.h"
#include "zar_clip_stream.h"
#include "zar_connection.h"

namespace {

constexpr DWORD kIdleWaitMs = 20;
constexpr DWORD kBatchPauseMs = 5;
constexpr DWORD kEndPollMs = 10;
constexpr uint32_t kErrorWordOffset = 4 + offsetof(ZAR_VIDEO_CHANNEL_STATE, ErrorFlag);
constexpr uint32_t kHeadOffset = 4 + offsetof(ZAR_VIDEO_CHANNEL_STATE, SdramHead);
constexpr uint32_t kWrittenOffset = 1016;
constexpr uint32_t kConsumedOffset = 1024;

struct EndTable {
    EndTable() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    ZAR_TRANSFER_END ends[CClipStream::kMaxBoards][2] = {};
};

EndTable& Ends()
{
    static EndTable* table = new EndTable;
    return *table;
}

bool Signalled(HANDLE event, DWORD ms = 0) { return event && WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

bool SendBoard(CBoardConnection* c, uint32_t code, void* block = nullptr, uint32_t bytes = 0)
{
    DWORD returned = 0;
    return SendDeviceRequest(c->m_hBoard, code, block, bytes, block, bytes, &returned, nullptr) != 0;
}

void SendFileSystem(CBoardConnection* c, uint32_t code)
{
    if (c->m_hFileSystem == INVALID_HANDLE_VALUE) return;
    DWORD returned = 0;
    SendDeviceRequest(c->m_hFileSystem, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

// The board memory a transfer fills: blocks out of the ring, one slot a field.
class BoardMemoryRing {
public:
    explicit BoardMemoryRing(uint32_t head) : m_next(head % kTransferRingBlocks) {}

    // Where a field of 'sectors' would go and the blocks it takes (with a skipped tail).
    uint32_t Cost(uint32_t sectors, uint32_t* address) const
    {
        if (m_next + sectors > kTransferRingBlocks) {
            *address = 0;
            return kTransferRingBlocks - m_next + sectors;
        }
        *address = m_next;
        return sectors;
    }
    bool Fits(uint32_t sectors) const
    {
        uint32_t address;
        return Cost(sectors, &address) <= kTransferRingBlocks - m_used && m_posted - m_freed < kTransferSlots;
    }
    uint32_t Take(uint32_t sectors)
    {
        uint32_t address;
        const uint32_t cost = Cost(sectors, &address);
        m_slot[m_posted % kTransferSlots] = cost;
        ++m_posted;
        m_used += cost;
        m_next = (address + sectors) % kTransferRingBlocks;
        return address;
    }
    // Fields the board consumed give their blocks back, all but the last two.
    void GiveBack(uint32_t consumed)
    {
        while (m_freed + 2 < consumed && m_freed < m_posted) {
            m_used -= m_slot[m_freed % kTransferSlots];
            ++m_freed;
        }
    }
    uint32_t Posted() const { return m_posted; }

private:
    uint32_t m_next;
    uint32_t m_used = 0;
    uint32_t m_posted = 0;
    uint32_t m_freed = 0;
    uint32_t m_slot[kTransferSlots] = {};
};

class PlayTransfer {
public:
    explicit PlayTransfer(ZAR_TRANSFER_PARAMS& p)
        : m_p(p),
          m_c(p.connection),
          m_stream(p.stream),
          m_context(p.connection, p.index == 0 ? 20 : 30),
          m_ring(0),
          m_queueLimit((p.cue.Flags & ZAR_CUE_FLAG_SHORT_QUEUE) ? kShortQueueLimit : kQueueLimit)
    {
        const uint32_t batch = m_c->m_pShared ? m_c->m_pShared->SystemPrefsBatch : 0;
        m_batchLimit = std::clamp<uint32_t>(batch, 1, 40);
        m_stop = (p.cue.StopEvent != 0 && p.cue.StopEvent != 0xFFFFFFFF)
                     ? reinterpret_cast<HANDLE>(uintptr_t(p.cue.StopEvent))
                     : PlayDefaultStopEvent();
    }

    ZAR_TRANSFER_END Run()
    {
        ZAR_TRANSFER_END end{};
        end.result = Play(&end.reason);
        SignalReady();
        ReleaseDisks();
        end.position = m_cursor.current;
        end.posted = m_ring.Posted();
        return end;
    }

private:
    int32_t Play(uint32_t* reason)
    {
        // A unit still running from an earlier play is stopped first.
        if (!m_context.ResetChannel() || !m_context.QueryStatus()) return ZAR_E_UNIT_STOP;
        uint32_t state = 0;
        m_context.StateWord(&state);
        if (state != 0 && state != uint32_t(ZAR_VIDEO_HOLD)) {
            if (!m_context.IssueJpegCommand(ZAR_JPEG_CMD_INIT) || !m_context.QueryStatus()) return ZAR_E_UNIT_STOP;
        }
        m_ring = BoardMemoryRing(m_context.StatusWord(kHeadOffset));
        const ZAR_CUE_STREAMS& cue = m_p.cue;
        m_cursor.Init(uint32_t(cue.In), uint32_t(cue.Out), cue.Start, cue.Flags & ZAR_CUE_FLAG_LOOP);

        // The first frame, loaded at the unit's head so that it shows at once.
        if (!CZarFile::WaitFieldSyncMutex(m_c->m_board)) return ZAR_E_DRIVER;
        uint32_t first[2], sectors[2] = {0, 0};
        int32_t result = ZAR_OK;
        for (int k = 0; k < 2 && result == ZAR_OK && !m_cursor.Done(); ++k) {
            first[k] = m_cursor.current;
            sectors[k] = m_stream->GetFieldSize(first[k]);
            result = LoadAndPost();
        }
        CZarFile::ReleaseFieldSyncMutex(m_c->m_board);
        if (result != ZAR_OK) return result;
        const bool loopingItems = cue.Flags & (ZAR_CUE_FLAG_LOOPING_ITEMS | ZAR_CUE_FLAG_HOLD_FRAME);
        if (!loopingItems || m_stream->Locate(first[0]).item == m_stream->Locate(first[1]).item)
            m_context.IssueJpegPlay(0, sectors[0], sectors[1], first[0], 0);
        if (cue.Mode == ZAR_CUE_MODE_FIRST_FRAME) {
            *reason = ZAR_END_RANGE_DONE;
            return ZAR_OK;
        }

        bool seenRunning = false;
        for (;;) {
            if (m_cursor.Done()) {
                *reason = ZAR_END_RANGE_DONE;
                break;
            }
            if (Signalled(m_stop)) return Stopped(reason);
            if (!m_context.QueryStatus()) return ZAR_E_DRIVER;
            m_context.StateWord(&state);
            if (m_context.StatusWord(kErrorWordOffset) != 0 || int32_t(state) == ZAR_VIDEO_ERROR) {
                *reason = ZAR_END_BOARD_ERROR;
                break;
            }
            if (state == uint32_t(ZAR_VIDEO_PLAY)) seenRunning = true;
            else if (seenRunning) {
                *reason = ZAR_END_NOT_RUNNING;
                break;
            }
            const uint32_t written = m_context.StatusWord(kWrittenOffset);
            const uint32_t consumed = m_context.StatusWord(kConsumedOffset);
            m_ring.GiveBack(consumed);
            const uint32_t need = m_stream->GetFieldSize(m_cursor.current);
            if (!m_ring.Fits(need) || written - consumed >= m_queueLimit) {
                // Full: the cue may return; the disks go back while we wait.
                SignalReady();
                ReleaseDisks();
                if (Signalled(m_stop, kIdleWaitMs)) return Stopped(reason);
                continue;
            }
            if (!m_held) {
                if ((result = HoldDisks()) != ZAR_OK) return result;
                m_batch = 0;
            }
            if ((result = LoadAndPost()) != ZAR_OK) return result;
            if (++m_batch >= m_batchLimit) {
                ReleaseDisks();
                Sleep(kBatchPauseMs);
            }
        }
        SignalReady();
        ReleaseDisks();
        if (*reason != ZAR_END_RANGE_DONE) return ZAR_OK;
        // The range is queued: wait for the unit to start, then to play it out.
        while (!IsPlaying()) {
            if (Signalled(m_stop, kEndPollMs)) return Stopped(reason);
        }
        while (IsPlaying()) {
            uint32_t selector = 2;
            SendBoard(m_c, IOCTL_ZAR_SYNCHRONIZE_EXECUTION, &selector, sizeof selector);
            if (Signalled(m_stop, kEndPollMs)) return Stopped(reason);
        }
        return ZAR_OK;
    }

    bool IsPlaying()
    {
        uint32_t state = 0;
        return m_context.QueryStatus() && m_context.StateWord(&state) && state == uint32_t(ZAR_VIDEO_PLAY);
    }

    int32_t Stopped(uint32_t* reason)
    {
        uint32_t word = m_p.index;
        SendBoard(m_c, IOCTL_ZAR_JPEG_PLAYLIST_STOP, &word, sizeof word);
        *reason = ZAR_END_STOPPED;
        return ZAR_OK;
    }

    // The cursor's field into board memory and its entry onto the channel.
    int32_t LoadAndPost()
    {
        const uint32_t position = m_cursor.current;
        const uint32_t sectors = m_stream->GetFieldSize(position);
        if (sectors == 0) return ZAR_E_DRIVER;
        uint32_t address = 0;
        m_ring.Cost(sectors, &address);
        if (m_stream->FieldToBoard(position, m_p.index, address) != ZAR_OK) return ZAR_E_DRIVER;
        m_ring.Take(sectors);
        ZAR_JPEG_PLAY_NODE entry{};
        entry.Head.Length = sizeof entry;
        entry.Head.Pass = uint8_t(m_cursor.wraps);
        entry.Head.Field = position;
        entry.Address = address;
        entry.Size = sectors;
        if (!m_context.PostFieldEntry(&entry)) return ZAR_E_DRIVER;
        m_cursor.Next();
        return ZAR_OK;
    }

    int32_t HoldDisks()
    {
        if (!CZarFile::WaitFieldSyncMutex(m_c->m_board)) return ZAR_E_DRIVER;
        if (!SendBoard(m_c, IOCTL_ZAR_ACQUIRE_SCSI)) {
            CZarFile::ReleaseFieldSyncMutex(m_c->m_board);
            return ZAR_E_DRIVER;
        }
        m_held = true;
        return ZAR_OK;
    }

    void ReleaseDisks()
    {
        if (!m_held) return;
        SendBoard(m_c, IOCTL_ZAR_RELEASE_SCSI);
        CZarFile::ReleaseFieldSyncMutex(m_c->m_board);
        m_held = false;
    }

    void SignalReady()
    {
        if (m_readySignalled || !m_p.ready) return;
        SetEvent(m_p.ready->Get());
        m_readySignalled = true;
    }

    ZAR_TRANSFER_PARAMS& m_p;
    CBoardConnection* m_c;
    CClipStream* m_stream;
    ZAR_CHANNEL_CONTEXT m_context;
    ZAR_PLAY_CURSOR m_cursor;
    BoardMemoryRing m_ring;
    uint32_t m_queueLimit;
    uint32_t m_batchLimit = 1;
    uint32_t m_batch = 0;
    HANDLE m_stop = nullptr;
    bool m_held = false;
    bool m_readySignalled = false;
};

uint64_t ThreadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

void PostPacket(uint32_t kind, uint32_t position, uint32_t index, uint32_t board, uint32_t reason)
{
    CZarDll* app = ZarApp();
    if (!app) return;
    ZAR_EXCEPTION_PACKET packet{};
    packet.Kind = kind;
    packet.Field = position;
    packet.One = 1;
    packet.Stream = index;
    packet.Item = board;
    packet.Words[0] = reason;
    app->PostExceptionPacket(packet);
}

}  // namespace

HANDLE PlayDefaultStopEvent()
{
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

ZAR_TRANSFER_END LastTransferEnd(uint32_t board, uint32_t index)
{
    if (board >= CClipStream::kMaxBoards || index > 1) return {};
    EndTable& t = Ends();
    EnterCriticalSection(&t.lock);
    ZAR_TRANSFER_END end = t.ends[board][index];
    LeaveCriticalSection(&t.lock);
    return end;
}

void RunPlayTransfer(ZAR_TRANSFER_PARAMS* params)
{
    CBoardConnection* c = params->connection;
    CClipStream* stream = params->stream;
    const uint32_t board = c->m_board, index = params->index;
    HANDLE done = CClipStream::TransferDoneEvent(board, index);
    const uint64_t cpuStart = ThreadCpuNs();
    stream->Reference();
    SendFileSystem(c, IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND);

    ZAR_TRANSFER_END end;
    {
        PlayTransfer transfer(*params);
        end = transfer.Run();
    }
    if (params->cue.Mode != ZAR_CUE_MODE_FIRST_FRAME) {
        ZAR_CHANNEL_CONTEXT context(c, index == 0 ? 20 : 30);
        if (context.QueryStatus()) {
            const uint32_t written = context.StatusWord(kWrittenOffset);
            const uint32_t consumed = context.StatusWord(kConsumedOffset);
            if (consumed + 1 < written) PostPacket(1, end.position, index, board, end.reason);
        }
        PostPacket(0, end.position, index, board, end.reason);
    }
    end.cpuNs = ThreadCpuNs() - cpuStart;
    {
        EndTable& t = Ends();
        EnterCriticalSection(&t.lock);
        if (board < CClipStream::kMaxBoards && index < 2) t.ends[board][index] = end;
        LeaveCriticalSection(&t.lock);
    }
    delete params;
    if (done) SetEvent(done);
    stream->Release();
    SendFileSystem(c, IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME);
}

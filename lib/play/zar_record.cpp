// The video record thread and the record stop.
//
// Per field: the record channel publishes a descriptor (position, size,
// where in its parity's record bank the field lies); the thread takes it,
// asks the clip for room, moves the field from board memory to its place
// on the disks, notes it in the side file and gives the board memory back.
// The disks (field-sync mutex, then SCSI bus) are held for short batches
// only and given back before every wait.

#include "zar_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "include/zarfs.h"
#include "include/zarkd.h"
#include "include/zarkd_jpeg.h"
#include "platform/user/user.h"
#include "zar_app.h"
#include "zar_channel_context.h"
#include "zar_clip_item.h"
#include "zar_connection.h"
#include "zar_wave_item.h"
#include "include/zarkd_audio.h"

namespace {

constexpr DWORD kIdleWaitMs = 20;
constexpr DWORD kBatchPauseMs = 5;
constexpr uint32_t kLagFields = 3;       // fields the board may be ahead before the thread takes them
constexpr uint32_t kSideFileEvery = 10;
constexpr uint32_t kBankBlocks = 4096;
constexpr uint32_t kWrittenOffset = 1016;

struct RecordEnds {
    RecordEnds() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    ZAR_RECORD_END ends[10] = {};
};

RecordEnds& Ends()
{
    static RecordEnds* table = new RecordEnds;
    return *table;
}

struct RecordParams {
    CBoardConnection* connection;
    ZAR_RECORD_REQUEST request;
    HANDLE ready;
};

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

class VideoRecord {
public:
    explicit VideoRecord(RecordParams& p)
        : m_p(p), m_c(p.connection), m_item(p.request.target), m_context(p.connection, 10)
    {
        const uint32_t batch = m_c->m_pShared ? m_c->m_pShared->SystemPrefsBatch : 0;
        m_batchLimit = std::clamp<uint32_t>(batch, 1, 40);
        m_decimation = std::max<uint32_t>(1, p.request.decimation);
        m_out = p.request.out;
    }

    ZAR_RECORD_END Run()
    {
        ZAR_RECORD_END end{};
        end.result = Record();
        ReleaseDisks();
        end.fieldsTaken = m_taken;
        end.fieldsWritten = m_written;
        end.noRoom = m_noRoom;
        // A clean end needs no side file; after a failure it is what restores the body table.
        end.sideFileKept = end.result != ZAR_OK && m_sideFile;
        if (m_sideFile && !end.sideFileKept) m_item->File()->DeleteSideFile();
        if (m_p.request.statistics) {
            char text[256];
            FormatFullness(m_fullness, text, sizeof text);
            MessageBoxA(nullptr, text, "Record statistics", MB_OK);
        }
        return end;
    }

private:
    int32_t Record()
    {
        m_context.ResetChannel();
        m_sideFile = m_item->CreateSideFile() == 1;
        SetEvent(m_p.ready);
        HANDLE abort = m_c->m_hAbortEvent;
        if (m_p.request.startEvent) {
            HANDLE both[2] = {m_p.request.startEvent, abort};
            if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) return Stop(ZAR_OK);
        }
        ZAR_JPEG_COMMAND record{};
        record.Command = ZAR_JPEG_CMD_RECORD;
        record.Channel = 0;
        record.RateMode = 1;
        record.UpperSize[0] = record.UpperSize[1] = m_p.request.upperSize ? m_p.request.upperSize : 60;
        record.LoopStart = m_p.request.in;
        record.End = m_out;
        if (!SendBoard(m_c, IOCTL_ZAR_JPEG_COMMAND, &record, sizeof record)) return ZAR_E_DRIVER;

        for (;;) {
            if (abort && WaitForSingleObject(abort, 0) == WAIT_OBJECT_0) return Stop(ZAR_OK);
            if (!m_context.QueryStatus()) return Stop(ZAR_E_DRIVER);
            uint32_t state = 0;
            m_context.StateWord(&state);
            const bool recording = state == uint32_t(ZAR_VIDEO_RECORD);
            const uint32_t published = m_context.StatusWord(kWrittenOffset);
            // While the board records, it may run a few fields ahead; once it
            // has stopped, every field it published is taken, none left behind.
            if (recording ? published - m_taken <= kLagFields : published == m_taken) {
                ReleaseDisks();
                if (!recording) return ZAR_OK;
                if (abort && WaitForSingleObject(abort, kIdleWaitMs) == WAIT_OBJECT_0) return Stop(ZAR_OK);
                if (!abort) Sleep(kIdleWaitMs);
                continue;
            }
            if (int32_t result = TakeField(published); result != ZAR_OK) return Stop(result);
            if (m_batch >= m_batchLimit) {
                ReleaseDisks();
                Sleep(kBatchPauseMs);
            }
        }
    }

    int32_t Stop(int32_t result)
    {
        uint32_t word = 0;
        SendBoard(m_c, IOCTL_ZAR_JPEG_PLAYLIST_STOP, &word, sizeof word);
        // The fields the board still holds go back to it.
        if (m_context.QueryStatus()) {
            const uint32_t published = m_context.StatusWord(kWrittenOffset);
            while (m_taken != published) {
                ZAR_JPEG_FIELD_DESCRIPTOR d{};
                if (!m_context.GetNextEntry(&d)) break;
                ++m_taken;
                Release(d);
            }
        }
        return result;
    }

    void Release(const ZAR_JPEG_FIELD_DESCRIPTOR& d)
    {
        if (d.Dropped || d.Size == 0) return;
        ZAR_JPEG_RELEASE_FIELD release{d.Parity, d.Size};
        DWORD returned = 0;
        SendDeviceRequest(m_c->m_hBoard, IOCTL_ZAR_JPEG_RELEASE_SDRAM_FIELD, &release, sizeof release, nullptr, 0,
                          &returned, nullptr);
    }

    int32_t TakeField(uint32_t published)
    {
        ZAR_JPEG_FIELD_DESCRIPTOR d{};
        if (!m_context.GetNextEntry(&d)) return ZAR_E_DRIVER;
        ++m_taken;
        if (d.Dropped || d.Size == 0) return ZAR_OK;
        // How full the parity's bank is: this field and those waiting behind it.
        const uint32_t parity = d.Parity & 1;
        const uint32_t fullness = std::min(kBankBlocks, d.Size * (published - m_taken + 1));
        m_fullness.sum[parity] += fullness;
        ++m_fullness.count[parity];
        m_fullness.max[parity] = std::max(m_fullness.max[parity], fullness);

        const bool writable = (m_item->File()->GetAccessMode() & GENERIC_WRITE) != 0;
        const uint32_t frame = d.Position / 2;
        // Fields past the out point (the board may close a few after it) are not the clip's.
        const bool pastOut = m_out != 0xFFFFFFFF && d.Position >= m_out;
        if (!writable || pastOut || (frame - m_p.request.in / 2) % m_decimation != 0) {
            Release(d);
            return ZAR_OK;
        }
        if (!m_held) {
            if (int32_t result = HoldDisks(); result != ZAR_OK) {
                Release(d);
                return result;
            }
            m_batch = 0;
        }
        const uint32_t field = m_written;
        int32_t result = m_item->CheckFieldWrite(field, d.Size);
        if (result == ZAR_E_NO_ROOM) {
            ++m_noRoom;
            Release(d);
            return ZAR_OK;
        }
        if (result != ZAR_OK) {
            Release(d);
            return result;
        }
        ZAR_DISK_REQUEST write{};
        write.Operation = ZAR_DISK_OP_WRITE;
        write.TargetId = 255;
        write.AccessMode = ZAR_DISK_ACCESS_101;
        write.OwnsScsi = 1;
        write.ScsiStatus = 255;
        result = m_item->TransferField({field, 0, d.Address, parity, 1, &write});
        Release(d);
        ++m_batch;
        if (result != ZAR_OK) return result;
        ++m_written;
        // A clip whose fields have no room yet gets its side file with its first field.
        if (!m_sideFile && m_written == 1) {
            m_sideFile = m_item->CreateSideFile() == 1;
            return ZAR_OK;
        }
        if (m_sideFile) {
            m_item->File()->SetSideFileField(field, d.Size);
            if (m_written % kSideFileEvery == 0) {
                const uint32_t limit = m_out == 0xFFFFFFFF ? 0xFFFFFFFF : m_out - m_p.request.in;
                const uint32_t left = limit == 0xFFFFFFFF ? kSideFileEvery : std::min(kSideFileEvery, limit - m_written);
                m_item->File()->AppendSideFile(m_written, 0, limit, left);
            }
        }
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

    RecordParams& m_p;
    CBoardConnection* m_c;
    CClipItem* m_item;
    ZAR_CHANNEL_CONTEXT m_context;
    uint32_t m_batchLimit = 1;
    uint32_t m_batch = 0;
    uint32_t m_decimation = 1;
    uint32_t m_out;
    uint32_t m_taken = 0;
    uint32_t m_written = 0;
    uint32_t m_noRoom = 0;
    bool m_held = false;
    bool m_sideFile = false;
    ZAR_FULLNESS m_fullness;
};

DWORD WINAPI VideoRecordThread(LPVOID parameter)
{
    auto* p = static_cast<RecordParams*>(parameter);
    CBoardConnection* c = p->connection;
    timespec cpuStart{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    SendFileSystem(c, IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_SUSPEND);
    ZAR_RECORD_END end;
    {
        VideoRecord record(*p);
        end = record.Run();
    }
    if (CZarDll* app = ZarApp()) {
        ZAR_EXCEPTION_PACKET packet{};
        packet.Kind = 0;
        packet.Field = p->request.in + end.fieldsWritten;
        packet.One = 1;
        packet.Stream = 10;
        packet.Item = c->m_board;
        packet.Words[0] = uint32_t(end.result);
        packet.Words[1] = end.noRoom;
        app->PostExceptionPacket(packet);
    }
    timespec cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    end.cpuNs = uint64_t(cpuEnd.tv_sec - cpuStart.tv_sec) * 1000000000ull + uint64_t(cpuEnd.tv_nsec) -
                uint64_t(cpuStart.tv_nsec);
    if (c->m_board < 10) {
        EnterCriticalSection(&Ends().lock);
        Ends().ends[c->m_board] = end;
        LeaveCriticalSection(&Ends().lock);
    }
    SendFileSystem(c, IOCTL_ZARFS_REQUEST_BODY_TABLE_FLUSH_RESUME);
    p->request.target->Release();
    CloseHandle(p->ready);
    delete p;
    return 0;
}

}  // namespace

void FormatFullness(const ZAR_FULLNESS& f, char* text, size_t bytes)
{
    double average[2], maximum[2];
    for (int p = 0; p < 2; ++p) {
        average[p] = f.count[p] ? double(f.sum[p]) / f.count[p] * 100.0 / kBankBlocks : 0.0;
        maximum[p] = f.max[p] * 100.0 / kBankBlocks;
    }
    std::snprintf(text, bytes,
                  "Average Field-1 Buffer Fullness = %4.2g %%\n"
                  "Average Field-2 Buffer Fullness = %4.2g %%\n"
                  "Maximum Field-1 Buffer Fullness = %4.2g %%\n"
                  "Maximum Field-2 Buffer Fullness = %4.2g %%\n",
                  average[0], average[1], maximum[0], maximum[1]);
}

// Starts a record thread on 'params', which it then owns, holding a
// reference on the item it records into, and waits until the thread says
// it records; a thread that does not is stopped and the start fails.
template <class Params, class Target>
int32_t StartRecordThread(CBoardConnection* connection, Params* params, Target* target,
                          LPTHREAD_START_ROUTINE routine)
{
    if (!params) return ZAR_E_NO_MEMORY;
    HANDLE ready = nullptr;
    if (!params->ready || !DuplicateHandle(GetCurrentProcess(), params->ready, GetCurrentProcess(), &ready, 0, FALSE,
                                           DUPLICATE_SAME_ACCESS)) {
        if (params->ready) CloseHandle(params->ready);
        delete params;
        return ZAR_E_DRIVER;
    }
    target->Reference();
    HANDLE thread = CreateThread(nullptr, 0, routine, params, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        target->Release();
        CloseHandle(params->ready);
        CloseHandle(ready);
        delete params;
        return ZAR_E_DRIVER;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    connection->AddWorker(thread);
    ResumeThread(thread);
    const bool reported = WaitForSingleObject(ready, kRecordReadyWaitMs) == WAIT_OBJECT_0;
    CloseHandle(ready);
    if (reported) return ZAR_OK;
    StopRecord(connection);
    return ZAR_E_DRIVER;
}

int32_t StartVideoRecord(CBoardConnection* connection, const ZAR_RECORD_REQUEST& request)
{
    if (!connection || !request.target || !request.target->File()) return ZAR_E_BAD_ARGUMENT;
    if (connection->m_hAbortEvent) ResetEvent(connection->m_hAbortEvent);
    auto* params = new (std::nothrow) RecordParams{connection, request, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    return StartRecordThread(connection, params, request.target, VideoRecordThread);
}

int32_t StopRecord(CBoardConnection* connection)
{
    if (!connection) return ZAR_E_BAD_ARGUMENT;
    if (connection->m_hAbortEvent) SetEvent(connection->m_hAbortEvent);
    // A thread is taken out of the table only once it has ended: one still
    // running keeps its entry, and the stop says so.
    int32_t result = ZAR_OK;
    std::vector<HANDLE> running;
    for (HANDLE thread : connection->m_workers) {
        if (CZarDll::WaitForThreadEnd(thread)) continue;
        running.push_back(thread);
        result = ZAR_E_DRIVER;
    }
    connection->m_workers = running;
    return result;
}

ZAR_RECORD_END LastRecordEnd(uint32_t board)
{
    if (board >= 10) return {};
    EnterCriticalSection(&Ends().lock);
    ZAR_RECORD_END end = Ends().ends[board];
    LeaveCriticalSection(&Ends().lock);
    return end;
}

// ---- the audio record thread ----
//
// The driver copies each filled half of its record DMA buffer into the next
// of the eight buffers of the thread's ring block, numbers it and signals
// the ring's event; the thread writes the halves to the wave item in their
// order. A half already overwritten by a later lap is reported lost. The
// stop's partial half comes last, with its length.

namespace {

struct AudioParams {
    CBoardConnection* connection;
    ZAR_AUDIO_RECORD_REQUEST request;
    HANDLE ready;
};

struct AudioEnds {
    AudioEnds() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    ZAR_AUDIO_RECORD_END ends[10] = {};
};

AudioEnds& TheAudioEnds()
{
    static AudioEnds* table = new AudioEnds;
    return *table;
}

class AudioRecord {
public:
    explicit AudioRecord(AudioParams& p) : m_p(p), m_c(p.connection), m_wave(p.request.wave) {}
    ~AudioRecord()
    {
        if (m_memory) VirtualFree(m_memory, 0, MEM_RELEASE);
        if (m_event) CloseHandle(m_event);
    }

    ZAR_AUDIO_RECORD_END Run()
    {
        ZAR_AUDIO_RECORD_END end{};
        end.result = Record();
        end.halves = m_halves;
        end.lost = m_lost;
        end.bytes = m_bytes;
        return end;
    }

private:
    int32_t Record()
    {
        // The ring block and its buffers in memory the driver locks by address.
        const size_t bytes = sizeof(ZAR_AUDIO_REC_BLOCK) + size_t(ZAR_AUDIO_RING_BUFFERS) * ZAR_AUDIO_REC_HALF_SIZE;
        m_memory = static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes + 4096, MEM_COMMIT, PAGE_READWRITE));
        m_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!m_memory || !m_event) {
            SetEvent(m_p.ready);
            return Released(ZAR_E_NO_MEMORY);
        }
        m_block = reinterpret_cast<ZAR_AUDIO_REC_BLOCK*>(m_memory);
        for (uint32_t i = 0; i < ZAR_AUDIO_RING_BUFFERS; ++i)
            m_block->Buffer[i] = Address(m_memory + 4096 + size_t(i) * ZAR_AUDIO_REC_HALF_SIZE);
        m_block->Event = Address(m_event);
        DWORD returned = 0;
        if (!SendDeviceRequest(m_c->m_hBoard, IOCTL_ZAR_AUD_REC_SETUP, m_block, sizeof *m_block, nullptr, 0, &returned,
                               nullptr)) {
            SetEvent(m_p.ready);
            return Released(ZAR_E_DRIVER);
        }
        m_setUp = true;
        const uint32_t boardRate = m_c->m_pShared && m_c->m_pShared->SampleRate ? m_c->m_pShared->SampleRate : 48000;
        int32_t result = m_wave->PrepareForRecord(boardRate);
        SetEvent(m_p.ready);
        if (result != ZAR_OK) return Released(result);
        HANDLE abort = m_c->m_hAbortEvent;
        if (m_p.request.startEvent) {
            HANDLE both[2] = {m_p.request.startEvent, abort};
            if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) return Released(ZAR_OK);
        }
        ZAR_AUDIO_RECORD_COMMAND start{};
        start.Command = ZAR_AUDIO_REC_EVENTS;
        start.Parameter[0] = Address(m_wave);
        start.Parameter[1] = m_p.request.continuous;
        if (!Command(start)) return Released(ZAR_E_DRIVER);

        HANDLE both[2] = {m_event, abort};
        for (;;) {
            const DWORD waited = WaitForMultipleObjects(abort ? 2 : 1, both, FALSE, INFINITE);
            if (waited != WAIT_OBJECT_0) break;
            if ((result = TakeHalves(false)) != ZAR_OK) break;
        }
        // Stopped: the driver hands over the partial half, marked last.
        ZAR_AUDIO_RECORD_COMMAND stop{};
        Command(stop);
        if (result == ZAR_OK) result = TakeHalves(true);
        return Released(result);
    }

    // Every half numbered after the last one taken.
    int32_t TakeHalves(bool toTheEnd)
    {
        for (;;) {
            const int32_t counter = __atomic_load_n(&m_block->Counter, __ATOMIC_ACQUIRE);
            if (m_next > counter) return ZAR_OK;
            // Halves more than a lap behind are gone.
            if (counter - m_next >= int32_t(ZAR_AUDIO_RING_BUFFERS)) {
                const int32_t skip = counter - int32_t(ZAR_AUDIO_RING_BUFFERS) + 1 - m_next;
                m_lost += uint32_t(skip);
                m_next += skip;
                Post(10);
            }
            uint32_t index = ZAR_AUDIO_RING_BUFFERS;
            for (uint32_t i = 0; i < ZAR_AUDIO_RING_BUFFERS; ++i)
                if (m_block->Sequence[i] == m_next) index = i;
            if (index == ZAR_AUDIO_RING_BUFFERS) {
                ++m_lost;
                ++m_next;
                Post(10);
                continue;
            }
            const bool last = toTheEnd && m_next == m_block->LastSequence;
            const uint32_t bytes = last ? std::min(m_block->LastBytes, ZAR_AUDIO_REC_HALF_SIZE) : ZAR_AUDIO_REC_HALF_SIZE;
            const uint8_t* data = m_memory + 4096 + size_t(index) * ZAR_AUDIO_REC_HALF_SIZE;
            if (bytes != 0 && m_wave->Write(data, bytes) != ZAR_OK) {
                Post(12);
                return ZAR_E_DRIVER;
            }
            m_bytes += bytes;
            ++m_halves;
            ++m_next;
        }
    }

    bool Command(ZAR_AUDIO_RECORD_COMMAND command)
    {
        DWORD returned = 0;
        return SendDeviceRequest(m_c->m_hBoard, IOCTL_ZAR_AUD_RECORD_COMMAND, &command, sizeof command, &command,
                                 sizeof command, &returned, nullptr) != 0;
    }

    int32_t Released(int32_t result)
    {
        DWORD returned = 0;
        if (m_setUp)
            SendDeviceRequest(m_c->m_hBoard, IOCTL_ZAR_AUD_REC_RELEASE, nullptr, 0, nullptr, 0, &returned, nullptr);
        uint32_t lock[2] = {m_p.request.lockMode, 0};
        SendDeviceRequest(m_c->m_hBoard, IOCTL_ZAR_AUD_RELEASE_AUDIO_LOCK, lock, sizeof lock, lock, sizeof lock,
                          &returned, nullptr);
        const int32_t finished = m_wave->Finish();
        return result != ZAR_OK ? result : finished;
    }

    void Post(uint32_t kind)
    {
        CZarDll* app = ZarApp();
        if (!app) return;
        ZAR_EXCEPTION_PACKET packet{};
        packet.Kind = kind;
        packet.Field = uint32_t(m_next);
        packet.One = 1;
        packet.Stream = 100;
        packet.Item = m_c->m_board;
        app->PostExceptionPacket(packet);
    }

    static uint32_t Address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

    AudioParams& m_p;
    CBoardConnection* m_c;
    CWaveItem* m_wave;
    uint8_t* m_memory = nullptr;
    HANDLE m_event = nullptr;
    ZAR_AUDIO_REC_BLOCK* m_block = nullptr;
    bool m_setUp = false;
    int32_t m_next = 0;
    uint32_t m_halves = 0;
    uint32_t m_lost = 0;
    uint64_t m_bytes = 0;
};

DWORD WINAPI AudioRecordThread(LPVOID parameter)
{
    auto* p = static_cast<AudioParams*>(parameter);
    ZAR_AUDIO_RECORD_END end;
    {
        AudioRecord record(*p);
        end = record.Run();
    }
    if (p->connection->m_board < 10) {
        EnterCriticalSection(&TheAudioEnds().lock);
        TheAudioEnds().ends[p->connection->m_board] = end;
        LeaveCriticalSection(&TheAudioEnds().lock);
    }
    p->request.wave->Release();
    CloseHandle(p->ready);
    delete p;
    return 0;
}

}  // namespace

int32_t StartAudioRecord(CBoardConnection* connection, const ZAR_AUDIO_RECORD_REQUEST& request)
{
    if (!connection || !request.wave) return ZAR_E_BAD_ARGUMENT;
    if (connection->m_hAbortEvent) ResetEvent(connection->m_hAbortEvent);
    auto* params = new (std::nothrow) AudioParams{connection, request, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    return StartRecordThread(connection, params, request.wave, AudioRecordThread);
}

ZAR_AUDIO_RECORD_END LastAudioRecordEnd(uint32_t board)
{
    if (board >= 10) return {};
    EnterCriticalSection(&TheAudioEnds().lock);
    ZAR_AUDIO_RECORD_END end = TheAudioEnds().ends[board];
    LeaveCriticalSection(&TheAudioEnds().lock);
    return end;
}

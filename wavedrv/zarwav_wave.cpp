// wodMessage and widMessage: one wave-out device "Solvane Wave Out" and one
// wave-in device "Solvane Wave In". Each open device has a worker thread
// that alone touches its queue: it feeds the program's buffers to the
// kernel wave device in chunks of at most 8192 bytes, five at most in
// flight, with overlapped WriteFileEx/ReadFileEx whose completion routines
// run in its alertable waits, and returns each buffer once all its chunks
// are done, in the order they came.
//
// A header's 'reserved' word is the driver's while the header is queued:
// its chunks in flight (low 16 bits) and, in bit 31, that no more of it
// will be sent.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zarwav_resample.h"
#include "zarwav_tables.h"

namespace {

constexpr ULONG kChunkBytes = 8192;
constexpr ULONG kMaxInFlight = 40960;
constexpr DWORD_PTR kSent = 0x80000000, kChunksMask = 0xFFFF;
constexpr DWORD kOutFormats = 0xFFF;

enum ZARWAV_COMMAND : ULONG { kCmdAdd = 1, kCmdState = 2, kCmdBreakLoop = 5, kCmdClose = 6 };
enum ZARWAV_STATE_VALUE : ULONG { kStatePause = 1, kStateRestart = 2, kStateStart = 3, kStateReset = 4 };

struct ZARWAV_INSTANCE;

struct ZARWAV_CHUNK {
    OVERLAPPED Ov;  // first: the completion routine finds its chunk by it
    ZARWAV_INSTANCE* Instance;
    WAVEHDR* Header;
    ULONG Bytes;    // of the program's buffer
    std::vector<SHORT> Converted;
};

struct ZARWAV_INSTANCE {
    ZARWAV_INSTANCE* Next;
    UINT Id;
    BOOL Out;
    DWORD_PTR Callback, CallbackInstance;
    DWORD Flags;
    HANDLE Wave;
    HANDLE File;
    HANDLE Command, Answer, Thread;
    ULONG Code;
    DWORD_PTR Param;
    MMRESULT Result;
    PCMWAVEFORMAT Format;
    ULONG FrameBytes;
    ULONG BoardRate;
    WAVEHDR *Head, *Tail, *Current;
    ULONG Offset;
    ULONG InFlight;
    WAVEHDR* LoopFirst;
    ULONG LoopsLeft;
    BOOL Running;
    ZarWavConverter* Converter;
    CRITICAL_SECTION CommandLock;  // one command at a time from the program's threads
};

ZARWAV_INSTANCE* instances;

void Callback(ZARWAV_INSTANCE* w, UINT message, DWORD_PTR param)
{
    DriverCallback(w->Callback, HIWORD(w->Flags), reinterpret_cast<HDRVR>(w->Wave), message, w->CallbackInstance, param, 0);
}

ULONG RateCodeUpTo(ULONG rate) { return rate <= 22050 ? 3 : rate <= 32000 ? 2 : rate <= 44100 ? 1 : 0; }
ULONG RateCodeOf(ULONG rate) { return rate == 22050 ? 3 : rate == 32000 ? 2 : rate == 44100 ? 1 : 0; }

bool FormatAccepted(BOOL out, const WAVEFORMATEX* f)
{
    if (f->wFormatTag != WAVE_FORMAT_PCM || (f->nChannels != 1 && f->nChannels != 2)) return false;
    if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16) return false;
    if (out) return f->nSamplesPerSec >= 4000 && f->nSamplesPerSec <= 96000;
    for (ULONG r : {11025u, 22050u, 32000u, 44100u, 48000u})
        if (f->nSamplesPerSec == r) return true;
    return false;
}

// ---- the worker's side ----

void CALLBACK ChunkDone(DWORD error, DWORD bytes, LPOVERLAPPED ov)
{
    auto* chunk = reinterpret_cast<ZARWAV_CHUNK*>(ov);
    ZARWAV_INSTANCE* w = chunk->Instance;
    w->InFlight -= chunk->Bytes;
    if (chunk->Header != nullptr) {
        chunk->Header->reserved -= 1;
        if (!w->Out && error == 0) chunk->Header->dwBytesRecorded += bytes;
    }
    delete chunk;
}

void MarkSent(ZARWAV_INSTANCE* w, WAVEHDR* from, WAVEHDR* to)
{
    for (WAVEHDR* h = from; h != nullptr; h = h->lpNext) {
        h->reserved |= kSent;
        if (h == to) break;
    }
    (void)w;
}

// The current header is sent whole: on to the next, or back to the loop's
// first header while passes remain.
void NextHeader(ZARWAV_INSTANCE* w)
{
    WAVEHDR* h = w->Current;
    w->Offset = 0;
    if (w->LoopFirst != nullptr && (h->dwFlags & WHDR_ENDLOOP)) {
        if (w->LoopsLeft > 1) {
            --w->LoopsLeft;
            w->Current = w->LoopFirst;
            return;
        }
        MarkSent(w, w->LoopFirst, h);
        w->LoopFirst = nullptr;
    } else if (w->LoopFirst == nullptr) {
        h->reserved |= kSent;
    }
    w->Current = h->lpNext;
}

// A chunk of wave-out data, converted when the stream is; an end of the
// program's data flushes the converter, whose guess the next chunk mends
// through the board's substitute request.
bool Convert(ZARWAV_INSTANCE* w, ZARWAV_CHUNK* chunk, const BYTE* data, ULONG bytes, bool last)
{
    std::vector<SHORT> substitute;
    w->Converter->Convert(data, bytes / w->FrameBytes, last, chunk->Converted, substitute);
    if (substitute.empty()) return true;
    ULONG taken = 0;
    ZarWavRequest(w->File, IOCTL_ZAR_WAVE_SUBSTITUTE_DATA, substitute.data(), ULONG(substitute.size() * sizeof(SHORT)),
                  &taken, sizeof taken);
    if (taken != 0) return true;
    w->Converter->Restart();
    chunk->Converted.clear();
    w->Converter->Convert(data, bytes / w->FrameBytes, last, chunk->Converted, substitute);
    return true;
}

void Feed(ZARWAV_INSTANCE* w)
{
    while (w->Running && w->Current != nullptr && w->InFlight < kMaxInFlight) {
        WAVEHDR* h = w->Current;
        if (w->Offset == 0 && w->Out && (h->dwFlags & WHDR_BEGINLOOP) && w->LoopFirst == nullptr) {
            w->LoopFirst = h;
            w->LoopsLeft = h->dwLoops;
        }
        ULONG left = h->dwBufferLength - w->Offset;
        ULONG take = left < kChunkBytes ? left : kChunkBytes;
        take -= take % w->FrameBytes;
        if (take == 0) {
            NextHeader(w);
            continue;
        }
        auto* chunk = new ZARWAV_CHUNK{};
        chunk->Instance = w;
        chunk->Header = h;
        chunk->Bytes = take;
        BYTE* data = reinterpret_cast<BYTE*>(h->lpData) + w->Offset;
        const bool last = left - take < w->FrameBytes && (h->lpNext == nullptr) && w->LoopFirst == nullptr;
        BOOL issued;
        if (!w->Out) {
            issued = ReadFileEx(w->File, data, take, &chunk->Ov, ChunkDone);
        } else if (w->Converter != nullptr) {
            Convert(w, chunk, data, take, last);
            issued = WriteFileEx(w->File, chunk->Converted.data(), ULONG(chunk->Converted.size() * sizeof(SHORT)), &chunk->Ov,
                                 ChunkDone);
        } else {
            issued = WriteFileEx(w->File, data, take, &chunk->Ov, ChunkDone);
        }
        if (!issued) {
            // The device refused it: the data counts as gone, nothing waits for it.
            delete chunk;
        } else {
            w->InFlight += take;
            h->reserved += 1;
        }
        w->Offset += take;
        if (w->Offset + w->FrameBytes > h->dwBufferLength) NextHeader(w);
    }
}

// Sent and finished headers leave the queue from its head.
void ReturnDone(ZARWAV_INSTANCE* w)
{
    while (w->Head != nullptr && (w->Head->reserved & kSent) && (w->Head->reserved & kChunksMask) == 0) {
        WAVEHDR* h = w->Head;
        w->Head = h->lpNext;
        if (w->Head == nullptr) w->Tail = nullptr;
        h->lpNext = nullptr;
        h->reserved = 0;
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        Callback(w, w->Out ? WOM_DONE : WIM_DATA, DWORD_PTR(h));
    }
}

void Drain(ZARWAV_INSTANCE* w)
{
    CancelIo(w->File);
    for (int i = 0; w->InFlight != 0 && i < 1000; ++i) SleepEx(10, TRUE);
}

// Every queued header back to the program, done.
void ResetQueue(ZARWAV_INSTANCE* w)
{
    Drain(w);
    for (WAVEHDR* h = w->Head; h != nullptr; h = h->lpNext) h->reserved = kSent;
    w->Current = nullptr;
    w->Offset = 0;
    w->LoopFirst = nullptr;
    ReturnDone(w);
    if (w->Converter != nullptr) w->Converter->Restart();
}

// Wave-in stops: the buffer being filled comes back with what it holds;
// the others wait for the next start.
void StopCapture(ZARWAV_INSTANCE* w)
{
    Drain(w);
    bool partial = true;
    for (WAVEHDR* h = w->Head; h != nullptr; h = h->lpNext) {
        if (partial && h->dwBytesRecorded != 0) {
            h->reserved = kSent;
            continue;
        }
        partial = false;
        h->reserved = 0;
        h->dwBytesRecorded = 0;
    }
    w->Current = nullptr;
    for (WAVEHDR* h = w->Head; h != nullptr; h = h->lpNext)
        if (!(h->reserved & kSent)) {
            w->Current = h;
            break;
        }
    w->Offset = 0;
    ReturnDone(w);
}

MMRESULT Execute(ZARWAV_INSTANCE* w, ULONG code, DWORD_PTR param)
{
    switch (code) {
    case kCmdAdd: {
        auto* h = reinterpret_cast<WAVEHDR*>(param);
        h->lpNext = nullptr;
        h->reserved = 0;
        if (w->Tail != nullptr) w->Tail->lpNext = h;
        else w->Head = h;
        w->Tail = h;
        if (w->Current == nullptr) {
            w->Current = h;
            w->Offset = 0;
        }
        return MMSYSERR_NOERROR;
    }
    case kCmdState: {
        ULONG state = ULONG(param);
        ZarWavRequest(w->File, IOCTL_ZAR_WAVE_SET_STATE, &state, sizeof state, nullptr, 0);
        if (state == kStateReset) {
            w->Running = w->Out;  // a wave-out plays again at once, a wave-in waits for its start
            ResetQueue(w);
        } else if (w->Out) {
            w->Running = state != kStatePause;
        } else if (state == kStateStart) {
            w->Running = TRUE;
        } else {
            w->Running = FALSE;
            StopCapture(w);
        }
        return MMSYSERR_NOERROR;
    }
    case kCmdBreakLoop:
        if (w->LoopFirst != nullptr) w->LoopsLeft = 1;
        return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
    }
}

void Worker(DWORD_PTR context)
{
    auto* w = reinterpret_cast<ZARWAV_INSTANCE*>(context);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(w->Answer);
    for (;;) {
        DWORD wake = WaitForSingleObjectEx(w->Command, INFINITE, TRUE);
        if (wake == WAIT_OBJECT_0) {
            if (w->Code == kCmdClose && w->Head != nullptr) {
                // Buffers still queued would be lost: the program resets first.
                w->Result = WAVERR_STILLPLAYING;
                SetEvent(w->Answer);
                continue;
            }
            if (w->Code == kCmdClose) {
                w->Running = FALSE;
                ResetQueue(w);
                w->Result = MMSYSERR_NOERROR;
                SetEvent(w->Answer);
                return;
            }
            w->Result = Execute(w, w->Code, w->Param);
            SetEvent(w->Answer);
        } else if (wake != WAIT_IO_COMPLETION) {
            return;
        }
        Feed(w);
        ReturnDone(w);
    }
}

MMRESULT Command(ZARWAV_INSTANCE* w, ULONG code, DWORD_PTR param = 0)
{
    EnterCriticalSection(&w->CommandLock);
    w->Code = code;
    w->Param = param;
    SetEvent(w->Command);
    WaitForSingleObject(w->Answer, INFINITE);
    MMRESULT result = w->Result;
    LeaveCriticalSection(&w->CommandLock);
    return result;
}

// ---- messages ----

ZARWAV_INSTANCE* FindInstance(UINT id, BOOL out)
{
    for (ZARWAV_INSTANCE* w = instances; w != nullptr; w = w->Next)
        if (w->Id == id && w->Out == out) return w;
    return nullptr;
}

void CloseInstanceHandles(ZARWAV_INSTANCE* w)
{
    if (w->File != INVALID_HANDLE_VALUE) CloseHandle(w->File);
    if (w->Command != nullptr) CloseHandle(w->Command);
    if (w->Answer != nullptr) CloseHandle(w->Answer);
    if (w->Thread != nullptr) CloseHandle(w->Thread);
    delete w->Converter;
    w->File = INVALID_HANDLE_VALUE;
    w->Command = w->Answer = w->Thread = nullptr;
    w->Converter = nullptr;
}

MMRESULT Open(BOOL out, UINT id, DWORD_PTR* user, const WAVEOPENDESC* desc, DWORD flags)
{
    if (desc == nullptr || desc->lpFormat == nullptr) return MMSYSERR_INVALPARAM;
    const WAVEFORMATEX& f = *desc->lpFormat;
    if (!FormatAccepted(out, &f)) return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
    if (ZarWav.Shared->Enabled == 0) return MMSYSERR_ALLOCATED;
    EnterCriticalSection(&ZarWav.WaveLock);
    ZARWAV_INSTANCE* w = FindInstance(id, out);
    if (w != nullptr && w->File != INVALID_HANDLE_VALUE) {
        LeaveCriticalSection(&ZarWav.WaveLock);
        return MMSYSERR_ALLOCATED;
    }
    if (w == nullptr) {
        w = static_cast<ZARWAV_INSTANCE*>(HeapAlloc(ZarWav.Heap, HEAP_ZERO_MEMORY, sizeof(ZARWAV_INSTANCE)));
        if (w == nullptr) {
            LeaveCriticalSection(&ZarWav.WaveLock);
            return MMSYSERR_NOMEM;
        }
        w->Id = id;
        w->Out = out;
        w->File = INVALID_HANDLE_VALUE;
        InitializeCriticalSection(&w->CommandLock);
        w->Next = instances;
        instances = w;
    }
    const std::string name = std::string(out ? "\\\\.\\ZarWaveOut" : "\\\\.\\ZarWaveIn") + std::to_string(id);
    w->File = ZarWavOpenDevice(name.c_str(), GENERIC_READ | GENERIC_WRITE);
    const ZARWAV_SHARED_STATE& s = *ZarWav.Shared;
    ULONG code = out ? (s.ForceRate ? RateCodeOf(s.ForcedRate) : RateCodeUpTo(f.nSamplesPerSec))
                     : (f.nSamplesPerSec == 11025 ? 3 : RateCodeOf(f.nSamplesPerSec));
    // The board reads the rate code in the second word; the third carries it too.
    ULONG request[3] = {0, code, code};
    bool granted = w->File != INVALID_HANDLE_VALUE &&
                   ZarWavRequest(w->File, out ? IOCTL_ZAR_WAVE_OPEN_FOR_PLAY : IOCTL_ZAR_WAVE_OPEN_FOR_RECORD, request,
                                 sizeof request, request, sizeof request) &&
                   request[0] != 0;
    if (!granted) {
        CloseInstanceHandles(w);
        LeaveCriticalSection(&ZarWav.WaveLock);
        return MMSYSERR_ALLOCATED;
    }
    w->Callback = desc->dwCallback;
    w->CallbackInstance = desc->dwInstance;
    w->Flags = flags;
    w->Wave = desc->hWave;
    w->Head = w->Tail = w->Current = w->LoopFirst = nullptr;
    w->InFlight = w->Offset = 0;
    w->Running = out;
    std::memcpy(&w->Format, &f, sizeof w->Format);
    w->FrameBytes = ULONG(f.nChannels) * f.wBitsPerSample / 8;
    w->BoardRate = ZarWavRateOfCode(request[2]);
    PCMWAVEFORMAT board = w->Format;
    if (out && f.nSamplesPerSec != w->BoardRate) {
        board = PCMWAVEFORMAT{{WAVE_FORMAT_PCM, 2, w->BoardRate, w->BoardRate * 4, 4}, 16};
        ULONG quality = s.Quality;
        if (double(w->BoardRate) / f.nSamplesPerSec < 0.9 && quality > 0) --quality;
        w->Converter = new ZarWavConverter(f.nSamplesPerSec, w->BoardRate, f.nChannels, f.wBitsPerSample / 8, quality);
    }
    ZarWavRequest(w->File, IOCTL_ZAR_WAVE_SET_FORMAT, &board, sizeof board, nullptr, 0);
    if (!out) ZarWavSendRouting(w->File, TRUE);
    w->Command = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    w->Answer = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (w->Command == nullptr || w->Answer == nullptr || mmTaskCreate(Worker, &w->Thread, DWORD_PTR(w)) != 0) {
        CloseInstanceHandles(w);
        LeaveCriticalSection(&ZarWav.WaveLock);
        return MMSYSERR_NOMEM;
    }
    WaitForSingleObject(w->Answer, INFINITE);
    LeaveCriticalSection(&ZarWav.WaveLock);
    *user = DWORD_PTR(w);
    Callback(w, out ? WOM_OPEN : WIM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(ZARWAV_INSTANCE* w)
{
    MMRESULT r = Command(w, kCmdClose);
    if (r != MMSYSERR_NOERROR) return r;
    WaitForSingleObject(w->Thread, INFINITE);
    Callback(w, w->Out ? WOM_CLOSE : WIM_CLOSE, 0);
    EnterCriticalSection(&ZarWav.WaveLock);
    if (!w->Out) ZarWavSendRouting(w->File, FALSE);
    CloseInstanceHandles(w);
    LeaveCriticalSection(&ZarWav.WaveLock);
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(ZARWAV_INSTANCE* w, WAVEHDR* h, DWORD keep)
{
    if (h == nullptr) return MMSYSERR_INVALPARAM;
    h->dwFlags &= keep;
    if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    h->dwFlags = (h->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    if (!w->Out) h->dwBytesRecorded = 0;
    return Command(w, kCmdAdd, DWORD_PTR(h));
}

MMRESULT Position(ZARWAV_INSTANCE* w, MMTIME* t, DWORD size)
{
    if (t == nullptr || size < sizeof(MMTIME)) return MMSYSERR_ERROR;
    ULONG pos[2] = {};
    ZarWavRequest(w->File, IOCTL_ZAR_WAVE_GET_POSITION, nullptr, 0, pos, sizeof pos);
    ULONG samples = pos[0], bytes = pos[1];
    if (w->Converter != nullptr) {
        const double ratio = double(w->BoardRate) / w->Format.wf.nSamplesPerSec;
        samples = ULONG(samples / ratio + 0.5);
        bytes = samples * w->FrameBytes;
    }
    if (t->wType == TIME_BYTES) {
        t->u.cb = bytes;
    } else {
        t->wType = TIME_SAMPLES;
        t->u.sample = samples;
    }
    return MMSYSERR_NOERROR;
}

// The device to send a level change through: the open one, else the mixer's.
HANDLE LevelDevice(ZARWAV_INSTANCE* w, bool* temporary)
{
    *temporary = false;
    if (w != nullptr && w->File != INVALID_HANDLE_VALUE) return w->File;
    *temporary = true;
    return ZarWavOpenDevice("\\\\.\\ZarWaveMixer0", GENERIC_READ);
}

MMRESULT Volume(ZARWAV_INSTANCE* w, bool set, DWORD_PTR param)
{
    ZARWAV_LEVELS& wave = ZarWav.Shared->Mixer.Analog[kWave];
    if (!set) {
        if (param == 0) return MMSYSERR_INVALPARAM;
        *reinterpret_cast<DWORD*>(param) = DWORD(wave.Right * 257) << 16 | DWORD(wave.Left * 257);
        return MMSYSERR_NOERROR;
    }
    wave.Left = UCHAR((param & 0xFFFF) >> 8);
    wave.Right = UCHAR((param >> 24) & 0xFF);
    bool temporary = false;
    HANDLE device = LevelDevice(w, &temporary);
    ZarWavLevelsChanged(device);
    ZarWavAnnounce(device, 6);
    if (temporary && device != INVALID_HANDLE_VALUE) CloseHandle(device);
    return MMSYSERR_NOERROR;
}

template <typename CAPS>
MMRESULT Caps(BOOL out, DWORD_PTR param, DWORD size)
{
    if (param == 0) return MMSYSERR_INVALPARAM;
    CAPS caps{};
    caps.wMid = kZarWavMid;
    caps.wPid = kZarWavPid;
    caps.vDriverVersion = kZarWavVersion;
    const WCHAR* name = out ? kWaveOutName : kWaveInName;
    for (size_t i = 0; i < 31 && name[i] != 0; ++i) caps.szPname[i] = name[i];
    caps.dwFormats = kOutFormats;
    caps.wChannels = 2;
    if constexpr (sizeof(CAPS) == sizeof(WAVEOUTCAPSW)) caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
    std::memcpy(reinterpret_cast<void*>(param), &caps, size < sizeof caps ? size : sizeof caps);
    return MMSYSERR_NOERROR;
}

}  // namespace

// The instances go with the library: a program that leaves devices open
// gets them closed (their workers stopped) rather than left running.
void ZarWavWaveUnload()
{
    while (ZARWAV_INSTANCE* w = instances) {
        instances = w->Next;
        if (w->File != INVALID_HANDLE_VALUE) {
            EnterCriticalSection(&w->CommandLock);
            w->Code = kCmdState;
            w->Param = kStateReset;
            SetEvent(w->Command);
            WaitForSingleObject(w->Answer, INFINITE);
            w->Code = kCmdClose;
            SetEvent(w->Command);
            WaitForSingleObject(w->Answer, INFINITE);
            WaitForSingleObject(w->Thread, INFINITE);
            LeaveCriticalSection(&w->CommandLock);
            CloseInstanceHandles(w);
        }
        DeleteCriticalSection(&w->CommandLock);
        HeapFree(ZarWav.Heap, 0, w);
    }
}

DWORD ZarWavWaveMessage(BOOL out, UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    const UINT base = out ? 0 : WIDM_GETNUMDEVS - WODM_GETNUMDEVS;  // wave-in's messages are the same, moved by 47
    const UINT m = message - base;
    if (!ZarWav.Enabled || ZarWav.Shared == nullptr) return m == WODM_GETNUMDEVS ? DWORD(0) : DWORD(MMSYSERR_NOTSUPPORTED);
    const ZARWAV_SHARED_STATE& s = *ZarWav.Shared;
    const UINT count = out ? s.DeviceCount * s.OutPerMixer : s.DeviceCount;
    auto* w = reinterpret_cast<ZARWAV_INSTANCE*>(user);
    if (message == DRVM_INIT) return MMSYSERR_NOERROR;
    if (m == WODM_GETNUMDEVS) return count;
    if (id >= count) return MMSYSERR_BADDEVICEID;
    switch (m) {
    case WODM_GETDEVCAPS: return out ? Caps<WAVEOUTCAPSW>(out, param1, DWORD(param2)) : Caps<WAVEINCAPSW>(out, param1, DWORD(param2));
    case WODM_OPEN: return Open(out, id, reinterpret_cast<DWORD_PTR*>(user), reinterpret_cast<const WAVEOPENDESC*>(param1), DWORD(param2));
    }
    if (out && m == WODM_GETVOLUME) return Volume(w, false, param1);
    if (out && m == WODM_SETVOLUME) return Volume(w, true, param1);
    if (w == nullptr) return MMSYSERR_INVALHANDLE;
    switch (m) {
    case WODM_CLOSE: return Close(w);
    case WODM_WRITE: return Queue(w, reinterpret_cast<WAVEHDR*>(param1), out ? 0x1F : 0x13);
    case WODM_GETPOS: return Position(w, reinterpret_cast<MMTIME*>(param1), DWORD(param2));
    }
    if (out) {
        switch (m) {
        case WODM_PAUSE: return Command(w, kCmdState, kStatePause);
        case WODM_RESTART: return Command(w, kCmdState, kStateRestart);
        case WODM_RESET: return Command(w, kCmdState, kStateReset);
        case WODM_BREAKLOOP: return Command(w, kCmdBreakLoop);
        default: return MMSYSERR_NOTSUPPORTED;
        }
    }
    switch (message) {
    case WIDM_START: return Command(w, kCmdState, kStateStart);
    case WIDM_STOP: return Command(w, kCmdState, kStatePause);
    case WIDM_RESET: return Command(w, kCmdState, kStateReset);
    default: return MMSYSERR_NOTSUPPORTED;
    }
}

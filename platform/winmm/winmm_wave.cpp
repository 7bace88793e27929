// waveOut* and waveIn*: device numbers across the drivers, handles, header
// preparation (WinMM's own job), and every other call handed to the
// driver's wodMessage or widMessage.
#include <cstring>

#include "winmm_internal.h"

using mm::Class;

namespace {

constexpr UINT kCount[2] = {WODM_GETNUMDEVS, WIDM_GETNUMDEVS};
constexpr UINT kCaps[2] = {WODM_GETDEVCAPS, WIDM_GETDEVCAPS};
constexpr UINT kOpen[2] = {WODM_OPEN, WIDM_OPEN};
constexpr UINT kClose[2] = {WODM_CLOSE, WIDM_CLOSE};
constexpr UINT kPrepare[2] = {WODM_PREPARE, WIDM_PREPARE};
constexpr UINT kUnprepare[2] = {WODM_UNPREPARE, WIDM_UNPREPARE};
constexpr UINT kPosition[2] = {WODM_GETPOS, WIDM_GETPOS};

UINT NumDevs(Class c) { return UINT(mm::Devices(c).size()); }

MMRESULT Caps(Class c, UINT_PTR id, void* caps, UINT size)
{
    const auto& devices = mm::Devices(c);
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    if (id == WAVE_MAPPER) id = 0;
    if (id >= devices.size()) return MMSYSERR_BADDEVICEID;
    return mm::Message(devices[id], c, kCaps[c], 0, DWORD_PTR(caps), size);
}

template <typename CAPSA, typename CAPSW>
MMRESULT CapsA(Class c, UINT_PTR id, CAPSA* caps, UINT size)
{
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    CAPSW w{};
    MMRESULT r = Caps(c, id, &w, sizeof w);
    if (r != MMSYSERR_NOERROR) return r;
    CAPSA a{};
    a.wMid = w.wMid;
    a.wPid = w.wPid;
    a.vDriverVersion = w.vDriverVersion;
    mm::Narrow(w.szPname, a.szPname, 32);
    a.dwFormats = w.dwFormats;
    a.wChannels = w.wChannels;
    if constexpr (sizeof(CAPSA) == sizeof(WAVEOUTCAPSA)) a.dwSupport = w.dwSupport;
    std::memcpy(caps, &a, size < sizeof a ? size : sizeof a);
    return MMSYSERR_NOERROR;
}

MMRESULT Open(Class c, void** out, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    const auto& devices = mm::Devices(c);
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    if (!query && out == nullptr) return MMSYSERR_INVALPARAM;
    if ((flags & CALLBACK_TYPEMASK) == CALLBACK_WINDOW || (flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION ||
        (flags & CALLBACK_TYPEMASK) == CALLBACK_EVENT || (flags & CALLBACK_TYPEMASK) == CALLBACK_THREAD) {
        if (callback == 0) return MMSYSERR_INVALPARAM;
    }
    // The mapper takes the first device that accepts the format.
    UINT first = id, last = id;
    if (id == WAVE_MAPPER) first = 0, last = devices.empty() ? 0 : UINT(devices.size() - 1);
    if (devices.empty() || last >= devices.size()) return MMSYSERR_BADDEVICEID;
    MMRESULT r = MMSYSERR_BADDEVICEID;
    for (UINT n = first; n <= last; ++n) {
        mm::Handle* h = mm::NewHandle(c, devices[n], n);
        WAVEOPENDESC desc{query ? nullptr : reinterpret_cast<HANDLE>(h), const_cast<LPWAVEFORMATEX>(format), callback,
                          instance, n, 0};
        r = mm::Message(devices[n], c, kOpen[c], DWORD_PTR(&h->driverUser), DWORD_PTR(&desc), flags & ~WAVE_MAPPED);
        if (r == MMSYSERR_NOERROR && !query) {
            *out = h;
            return r;
        }
        mm::FreeHandle(h);
        if (r == MMSYSERR_NOERROR) return r;
    }
    return r;
}

MMRESULT Close(Class c, void* handle)
{
    mm::Handle* h = mm::Find(handle, c);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    MMRESULT r = mm::Message(h->device, c, kClose[c], h->driverUser, 0, 0);
    if (r == MMSYSERR_NOERROR) mm::FreeHandle(h);
    return r;
}

// Preparing is the driver's to do when it wants; otherwise WinMM marks it.
MMRESULT Prepare(Class c, void* handle, LPWAVEHDR header, UINT size, bool prepare)
{
    mm::Handle* h = mm::Find(handle, c);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (!prepare && (header->dwFlags & WHDR_INQUEUE)) return WAVERR_STILLPLAYING;
    MMRESULT r = mm::Message(h->device, c, prepare ? kPrepare[c] : kUnprepare[c], h->driverUser, DWORD_PTR(header), size);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    if (prepare) {
        if (header->lpData == nullptr) return MMSYSERR_INVALPARAM;
        header->dwFlags |= WHDR_PREPARED;
    } else {
        header->dwFlags &= ~WHDR_PREPARED;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT Send(Class c, void* handle, UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
{
    mm::Handle* h = mm::Find(handle, c);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    return mm::Message(h->device, c, msg, h->driverUser, p1, p2);
}

MMRESULT Header(Class c, void* handle, UINT msg, LPWAVEHDR header, UINT size)
{
    if (mm::Find(handle, c) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(WAVEHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    return Send(c, handle, msg, DWORD_PTR(header), size);
}

MMRESULT GetId(Class c, void* handle, UINT* id)
{
    mm::Handle* h = mm::Find(handle, c);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    if (id == nullptr) return MMSYSERR_INVALPARAM;
    *id = h->id;
    return MMSYSERR_NOERROR;
}

}  // namespace

UINT waveOutGetNumDevs() { return NumDevs(mm::kWaveOut); }
MMRESULT waveOutGetDevCapsW(UINT_PTR id, WAVEOUTCAPSW* caps, UINT size) { return Caps(mm::kWaveOut, id, caps, size); }
MMRESULT waveOutGetDevCapsA(UINT_PTR id, WAVEOUTCAPSA* caps, UINT size)
{
    return CapsA<WAVEOUTCAPSA, WAVEOUTCAPSW>(mm::kWaveOut, id, caps, size);
}
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    return Open(mm::kWaveOut, reinterpret_cast<void**>(phwo), id, format, callback, instance, flags);
}
MMRESULT waveOutClose(HWAVEOUT h) { return Close(mm::kWaveOut, h); }
MMRESULT waveOutPrepareHeader(HWAVEOUT h, LPWAVEHDR header, UINT size) { return Prepare(mm::kWaveOut, h, header, size, true); }
MMRESULT waveOutUnprepareHeader(HWAVEOUT h, LPWAVEHDR header, UINT size) { return Prepare(mm::kWaveOut, h, header, size, false); }
MMRESULT waveOutWrite(HWAVEOUT h, LPWAVEHDR header, UINT size) { return Header(mm::kWaveOut, h, WODM_WRITE, header, size); }
MMRESULT waveOutPause(HWAVEOUT h) { return Send(mm::kWaveOut, h, WODM_PAUSE); }
MMRESULT waveOutRestart(HWAVEOUT h) { return Send(mm::kWaveOut, h, WODM_RESTART); }
MMRESULT waveOutReset(HWAVEOUT h) { return Send(mm::kWaveOut, h, WODM_RESET); }
MMRESULT waveOutBreakLoop(HWAVEOUT h) { return Send(mm::kWaveOut, h, WODM_BREAKLOOP); }
MMRESULT waveOutGetPosition(HWAVEOUT h, LPMMTIME time, UINT size)
{
    if (mm::Find(h, mm::kWaveOut) != nullptr && time == nullptr) return MMSYSERR_INVALPARAM;
    return Send(mm::kWaveOut, h, kPosition[mm::kWaveOut], DWORD_PTR(time), size);
}
MMRESULT waveOutGetVolume(HWAVEOUT h, LPDWORD volume)
{
    if (volume == nullptr) return MMSYSERR_INVALPARAM;
    // A device number stands for the device itself, as Windows allows.
    if (mm::Find(h, mm::kWaveOut) == nullptr) {
        const auto& devices = mm::Devices(mm::kWaveOut);
        UINT_PTR id = UINT_PTR(h);
        if (id >= devices.size()) return MMSYSERR_INVALHANDLE;
        return mm::Message(devices[id], mm::kWaveOut, WODM_GETVOLUME, 0, DWORD_PTR(volume), 0);
    }
    return Send(mm::kWaveOut, h, WODM_GETVOLUME, DWORD_PTR(volume));
}
MMRESULT waveOutSetVolume(HWAVEOUT h, DWORD volume)
{
    if (mm::Find(h, mm::kWaveOut) == nullptr) {
        const auto& devices = mm::Devices(mm::kWaveOut);
        UINT_PTR id = UINT_PTR(h);
        if (id >= devices.size()) return MMSYSERR_INVALHANDLE;
        return mm::Message(devices[id], mm::kWaveOut, WODM_SETVOLUME, 0, volume, 0);
    }
    return Send(mm::kWaveOut, h, WODM_SETVOLUME, volume);
}
MMRESULT waveOutGetID(HWAVEOUT h, UINT* id) { return GetId(mm::kWaveOut, h, id); }
MMRESULT waveOutMessage(HWAVEOUT h, UINT msg, DWORD_PTR p1, DWORD_PTR p2) { return Send(mm::kWaveOut, h, msg, p1, p2); }

UINT waveInGetNumDevs() { return NumDevs(mm::kWaveIn); }
MMRESULT waveInGetDevCapsW(UINT_PTR id, WAVEINCAPSW* caps, UINT size) { return Caps(mm::kWaveIn, id, caps, size); }
MMRESULT waveInGetDevCapsA(UINT_PTR id, WAVEINCAPSA* caps, UINT size)
{
    return CapsA<WAVEINCAPSA, WAVEINCAPSW>(mm::kWaveIn, id, caps, size);
}
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    return Open(mm::kWaveIn, reinterpret_cast<void**>(phwi), id, format, callback, instance, flags);
}
MMRESULT waveInClose(HWAVEIN h) { return Close(mm::kWaveIn, h); }
MMRESULT waveInPrepareHeader(HWAVEIN h, LPWAVEHDR header, UINT size) { return Prepare(mm::kWaveIn, h, header, size, true); }
MMRESULT waveInUnprepareHeader(HWAVEIN h, LPWAVEHDR header, UINT size) { return Prepare(mm::kWaveIn, h, header, size, false); }
MMRESULT waveInAddBuffer(HWAVEIN h, LPWAVEHDR header, UINT size) { return Header(mm::kWaveIn, h, WIDM_ADDBUFFER, header, size); }
MMRESULT waveInStart(HWAVEIN h) { return Send(mm::kWaveIn, h, WIDM_START); }
MMRESULT waveInStop(HWAVEIN h) { return Send(mm::kWaveIn, h, WIDM_STOP); }
MMRESULT waveInReset(HWAVEIN h) { return Send(mm::kWaveIn, h, WIDM_RESET); }
MMRESULT waveInGetPosition(HWAVEIN h, LPMMTIME time, UINT size)
{
    if (mm::Find(h, mm::kWaveIn) != nullptr && time == nullptr) return MMSYSERR_INVALPARAM;
    return Send(mm::kWaveIn, h, kPosition[mm::kWaveIn], DWORD_PTR(time), size);
}
MMRESULT waveInGetID(HWAVEIN h, UINT* id) { return GetId(mm::kWaveIn, h, id); }
MMRESULT waveInMessage(HWAVEIN h, UINT msg, DWORD_PTR p1, DWORD_PTR p2) { return Send(mm::kWaveIn, h, msg, p1, p2); }

// mixer*: a mixer named by handle or by number (or through a wave device,
// which here means the mixer of the same driver), the A calls as their W
// records converted, and mixerMessage for a driver's private messages.
#include <cstring>
#include <vector>

#include "winmm_internal.h"

namespace {

struct Target {
    const mm::Device* device = nullptr;
    DWORD_PTR user = 0;
};

// The mixer an object names; MMSYSERR_INVALHANDLE or BADDEVICEID when none.
MMRESULT Resolve(HMIXEROBJ object, DWORD flags, Target* t)
{
    const auto& mixers = mm::Devices(mm::kMixer);
    DWORD kind = flags & MIXER_OBJECTF_TYPEMASK;
    if (kind == MIXER_OBJECTF_HMIXER) {
        mm::Handle* h = mm::Find(object, mm::kMixer);
        if (h == nullptr) return MMSYSERR_INVALHANDLE;
        t->device = &h->device;
        t->user = h->driverUser;
        return MMSYSERR_NOERROR;
    }
    const mm::Driver* driver = nullptr;
    UINT_PTR id = UINT_PTR(object);
    if (kind == MIXER_OBJECTF_MIXER) {
        if (id >= mixers.size()) return MMSYSERR_BADDEVICEID;
        t->device = &mixers[id];
        return MMSYSERR_NOERROR;
    }
    mm::Class c = (kind == MIXER_OBJECTF_WAVEOUT || kind == MIXER_OBJECTF_HWAVEOUT) ? mm::kWaveOut : mm::kWaveIn;
    if (kind == MIXER_OBJECTF_HWAVEOUT || kind == MIXER_OBJECTF_HWAVEIN) {
        mm::Handle* h = mm::Find(object, c);
        if (h == nullptr) return MMSYSERR_INVALHANDLE;
        driver = h->device.driver;
    } else if (kind == MIXER_OBJECTF_WAVEOUT || kind == MIXER_OBJECTF_WAVEIN) {
        const auto& waves = mm::Devices(c);
        if (id >= waves.size()) return MMSYSERR_BADDEVICEID;
        driver = waves[id].driver;
    } else {
        return MMSYSERR_INVALFLAG;
    }
    for (const mm::Device& d : mixers)
        if (d.driver == driver) {
            t->device = &d;
            return MMSYSERR_NOERROR;
        }
    return MMSYSERR_NODRIVER;
}

MMRESULT Call(HMIXEROBJ object, DWORD flags, UINT msg, DWORD_PTR p1, DWORD p2)
{
    Target t;
    MMRESULT r = Resolve(object, flags, &t);
    if (r != MMSYSERR_NOERROR) return r;
    return mm::Message(*t.device, mm::kMixer, msg, t.user, p1, p2 & ~MIXER_OBJECTF_TYPEMASK);
}

void Widen(const CHAR* from, WCHAR* to, int count)
{
    int n = MultiByteToWideChar(CP_ACP, 0, from, -1, to, count);
    if (n <= 0) to[0] = 0;
    to[count - 1] = 0;
}

template <typename FROM, typename TO>
void CopyLineNumbers(const FROM& f, TO& t)
{
    t.dwDestination = f.dwDestination;
    t.dwSource = f.dwSource;
    t.dwLineID = f.dwLineID;
    t.fdwLine = f.fdwLine;
    t.dwUser = f.dwUser;
    t.dwComponentType = f.dwComponentType;
    t.cChannels = f.cChannels;
    t.cConnections = f.cConnections;
    t.cControls = f.cControls;
    t.Target.dwType = f.Target.dwType;
    t.Target.dwDeviceID = f.Target.dwDeviceID;
    t.Target.wMid = f.Target.wMid;
    t.Target.wPid = f.Target.wPid;
    t.Target.vDriverVersion = f.Target.vDriverVersion;
}

}  // namespace

UINT mixerGetNumDevs() { return UINT(mm::Devices(mm::kMixer).size()); }

MMRESULT mixerGetDevCapsW(UINT_PTR id, MIXERCAPSW* caps, UINT size)
{
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    const auto& mixers = mm::Devices(mm::kMixer);
    const mm::Device* d = nullptr;
    if (mm::Handle* h = mm::Find(reinterpret_cast<void*>(id), mm::kMixer)) d = &h->device;
    else if (id < mixers.size()) d = &mixers[id];
    if (d == nullptr) return MMSYSERR_BADDEVICEID;
    return mm::Message(*d, mm::kMixer, MXDM_GETDEVCAPS, 0, DWORD_PTR(caps), size);
}

MMRESULT mixerGetDevCapsA(UINT_PTR id, MIXERCAPSA* caps, UINT size)
{
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    MIXERCAPSW w{};
    MMRESULT r = mixerGetDevCapsW(id, &w, sizeof w);
    if (r != MMSYSERR_NOERROR) return r;
    MIXERCAPSA a{w.wMid, w.wPid, w.vDriverVersion, {}, w.fdwSupport, w.cDestinations};
    mm::Narrow(w.szPname, a.szPname, 32);
    std::memcpy(caps, &a, size < sizeof a ? size : sizeof a);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerOpen(LPHMIXER phmx, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    const auto& mixers = mm::Devices(mm::kMixer);
    if (phmx == nullptr) return MMSYSERR_INVALPARAM;
    if (id >= mixers.size()) return MMSYSERR_BADDEVICEID;
    mm::Handle* h = mm::NewHandle(mm::kMixer, mixers[id], id);
    MIXEROPENDESC desc{reinterpret_cast<HMIXER>(h), nullptr, callback, instance, 0};
    MMRESULT r = mm::Message(mixers[id], mm::kMixer, MXDM_OPEN, DWORD_PTR(&h->driverUser), DWORD_PTR(&desc), flags);
    if (r != MMSYSERR_NOERROR) {
        mm::FreeHandle(h);
        return r;
    }
    *phmx = reinterpret_cast<HMIXER>(h);
    return r;
}

MMRESULT mixerClose(HMIXER hmx)
{
    mm::Handle* h = mm::Find(hmx, mm::kMixer);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    MMRESULT r = mm::Message(h->device, mm::kMixer, MXDM_CLOSE, h->driverUser, 0, 0);
    mm::FreeHandle(h);
    return r;
}

MMRESULT mixerGetID(HMIXEROBJ object, UINT* id, DWORD flags)
{
    Target t;
    if (id == nullptr) return MMSYSERR_INVALPARAM;
    MMRESULT r = Resolve(object, flags, &t);
    if (r != MMSYSERR_NOERROR) return r;
    const auto& mixers = mm::Devices(mm::kMixer);
    for (UINT n = 0; n < mixers.size(); ++n)
        if (mixers[n].driver == t.device->driver && mixers[n].local == t.device->local) *id = n;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoW(HMIXEROBJ object, LPMIXERLINEW line, DWORD flags)
{
    if (line == nullptr || line->cbStruct < sizeof(MIXERLINEW)) return MMSYSERR_INVALPARAM;
    return Call(object, flags, MXDM_GETLINEINFO, DWORD_PTR(line), flags);
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ object, LPMIXERLINEA line, DWORD flags)
{
    if (line == nullptr || line->cbStruct < sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
    MIXERLINEW w{};
    w.cbStruct = sizeof w;
    CopyLineNumbers(*line, w);
    Widen(line->Target.szPname, w.Target.szPname, 32);
    MMRESULT r = mixerGetLineInfoW(object, &w, flags);
    if (r != MMSYSERR_NOERROR) return r;
    CopyLineNumbers(w, *line);
    mm::Narrow(w.szShortName, line->szShortName, 16);
    mm::Narrow(w.szName, line->szName, 64);
    mm::Narrow(w.Target.szPname, line->Target.szPname, 32);
    return r;
}

MMRESULT mixerGetLineControlsW(HMIXEROBJ object, LPMIXERLINECONTROLSW controls, DWORD flags)
{
    if (controls == nullptr || controls->cbStruct < sizeof(MIXERLINECONTROLSW)) return MMSYSERR_INVALPARAM;
    if (controls->cbmxctrl < sizeof(MIXERCONTROLW) || controls->pamxctrl == nullptr) return MMSYSERR_INVALPARAM;
    return Call(object, flags, MXDM_GETLINECONTROLS, DWORD_PTR(controls), flags);
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ object, LPMIXERLINECONTROLSA controls, DWORD flags)
{
    if (controls == nullptr || controls->cbStruct < sizeof(MIXERLINECONTROLSA)) return MMSYSERR_INVALPARAM;
    if (controls->cbmxctrl < sizeof(MIXERCONTROLA) || controls->pamxctrl == nullptr) return MMSYSERR_INVALPARAM;
    DWORD count = (flags & MIXER_GETLINECONTROLSF_QUERYMASK) == MIXER_GETLINECONTROLSF_ALL ? controls->cControls : 1;
    std::vector<MIXERCONTROLW> w(count == 0 ? 1 : count);
    MIXERLINECONTROLSW lc{sizeof lc, controls->dwLineID, {controls->dwControlID}, controls->cControls, sizeof(MIXERCONTROLW), w.data()};
    MMRESULT r = mixerGetLineControlsW(object, &lc, flags);
    if (r != MMSYSERR_NOERROR) return r;
    controls->dwLineID = lc.dwLineID;
    for (DWORD i = 0; i < count; ++i) {
        MIXERCONTROLA& a = *reinterpret_cast<MIXERCONTROLA*>(reinterpret_cast<BYTE*>(controls->pamxctrl) + i * controls->cbmxctrl);
        a.cbStruct = sizeof a;
        a.dwControlID = w[i].dwControlID;
        a.dwControlType = w[i].dwControlType;
        a.fdwControl = w[i].fdwControl;
        a.cMultipleItems = w[i].cMultipleItems;
        mm::Narrow(w[i].szShortName, a.szShortName, 16);
        mm::Narrow(w[i].szName, a.szName, 64);
        std::memcpy(&a.Bounds, &w[i].Bounds, sizeof a.Bounds);
        std::memcpy(&a.Metrics, &w[i].Metrics, sizeof a.Metrics);
    }
    return r;
}

MMRESULT mixerGetControlDetailsW(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    if (details == nullptr || details->paDetails == nullptr) return MMSYSERR_INVALPARAM;
    return Call(object, flags, MXDM_GETCONTROLDETAILS, DWORD_PTR(details), flags);
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    if (details == nullptr || details->paDetails == nullptr) return MMSYSERR_INVALPARAM;
    if ((flags & MIXER_GETCONTROLDETAILSF_QUERYMASK) != MIXER_GETCONTROLDETAILSF_LISTTEXT)
        return mixerGetControlDetailsW(object, details, flags);
    if (details->cbDetails < sizeof(MIXERCONTROLDETAILS_LISTTEXTA)) return MMSYSERR_INVALPARAM;
    DWORD items = (details->cChannels == 0 ? 1 : details->cChannels) * (details->cMultipleItems == 0 ? 1 : details->cMultipleItems);
    std::vector<MIXERCONTROLDETAILS_LISTTEXTW> w(items);
    MIXERCONTROLDETAILS d = *details;
    d.cbDetails = sizeof(MIXERCONTROLDETAILS_LISTTEXTW);
    d.paDetails = w.data();
    MMRESULT r = mixerGetControlDetailsW(object, &d, flags);
    if (r != MMSYSERR_NOERROR) return r;
    for (DWORD i = 0; i < items; ++i) {
        auto& a = *reinterpret_cast<MIXERCONTROLDETAILS_LISTTEXTA*>(static_cast<BYTE*>(details->paDetails) + i * details->cbDetails);
        a.dwParam1 = w[i].dwParam1;
        a.dwParam2 = w[i].dwParam2;
        mm::Narrow(w[i].szName, a.szName, 64);
    }
    return r;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    if (details == nullptr || details->paDetails == nullptr) return MMSYSERR_INVALPARAM;
    return Call(object, flags, MXDM_SETCONTROLDETAILS, DWORD_PTR(details), flags);
}

DWORD mixerMessage(HMIXER hmx, UINT msg, DWORD_PTR p1, DWORD_PTR p2)
{
    // A handle, or a mixer's number as Windows also takes.
    if (mm::Handle* h = mm::Find(hmx, mm::kMixer)) return mm::Message(h->device, mm::kMixer, msg, h->driverUser, p1, p2);
    const auto& mixers = mm::Devices(mm::kMixer);
    UINT_PTR id = UINT_PTR(hmx);
    if (id >= mixers.size()) return MMSYSERR_INVALHANDLE;
    return mm::Message(mixers[id], mm::kMixer, msg, 0, p1, p2);
}

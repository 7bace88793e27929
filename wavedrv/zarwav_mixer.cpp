// mxdMessage: the mixer "Solvane Mixer". Line and control records are read
// off the tables; values live in the shared block; every change goes to
// the board and is announced, and the change listener passes each
// announcement (from any process) to the handles that asked for callbacks.
#include <cstring>
#include <string>

#include "zarwav_tables.h"

struct ZARWAV_MIXER_HANDLE {
    ZARWAV_MIXER_HANDLE* Next;
    DWORD_PTR Callback;
    DWORD_PTR Instance;
    HMIXER Handle;
    DWORD Flags;
    DWORD Spare;
};
static_assert(sizeof(ZARWAV_MIXER_HANDLE) == 24);

namespace {

constexpr char kMixerDevice[] = "\\\\.\\ZarWaveMixer0";
constexpr ULONG kMeterFull = 32640;

ZARWAV_SHARED_STATE& Shared() { return *ZarWav.Shared; }

void CopyName(WCHAR* to, const WCHAR* from, size_t count)
{
    size_t n = 0;
    for (; n + 1 < count && from[n] != 0; ++n) to[n] = from[n];
    for (; n < count; ++n) to[n] = 0;
}

bool SameNoCase(const WCHAR* a, const WCHAR* b)
{
    for (;; ++a, ++b) {
        WCHAR x = *a >= u'a' && *a <= u'z' ? WCHAR(*a - 32) : *a, y = *b >= u'a' && *b <= u'z' ? WCHAR(*b - 32) : *b;
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// Which host processes the mixer stays away from.
bool ExcludedProcess()
{
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name(path, n);
    for (char& c : name) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    for (const char* bad : {"ahqtb.exe", "devldr32.exe", "ctsurmix.exe"}) {
        std::string b(bad);
        if (name.size() >= b.size() && name.compare(name.size() - b.size(), b.size(), b) == 0) return true;
    }
    return false;
}

// ---- the change listener ----

const ULONG kTwin[][2] = {{6, 16}, {8, 17}, {9, 18}, {10, 19}, {11, 20}};

void Notify(ULONG message, ULONG control)
{
    EnterCriticalSection(&ZarWav.CallbackLock);
    for (ZARWAV_MIXER_HANDLE* h = ZarWav.Callbacks; h != nullptr; h = h->Next)
        DriverCallback(h->Callback, HIWORD(h->Flags), reinterpret_cast<HDRVR>(h->Handle), message, h->Instance, control, 0);
    LeaveCriticalSection(&ZarWav.CallbackLock);
}

void StopApc(ULONG_PTR) { CancelIo(ZarWav.MixerDevice); }

struct ListenerStart {
    HANDLE Ready;
};

void ListenerThread(DWORD_PTR context)
{
    auto* start = reinterpret_cast<ListenerStart*>(context);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
    ULONG answer[4] = {};
    OVERLAPPED ov{};
    ov.hEvent = ZarWav.MixerEvent;
    auto post = [&] {
        std::memset(answer, 0, sizeof answer);
        ResetEvent(ov.hEvent);
        BOOL ok = DeviceIoControl(ZarWav.MixerDevice, IOCTL_ZAR_WAVE_REQUEST_CTRL_CHANGE, nullptr, 0, answer, sizeof answer,
                                  nullptr, &ov);
        return ok || GetLastError() == ERROR_IO_PENDING;
    };
    bool posted = post();
    SetEvent(start->Ready);
    while (posted) {
        // Alertable, so unloading can cancel the wait from this thread.
        while (WaitForSingleObjectEx(ov.hEvent, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
        }
        DWORD bytes = 0;
        if (!GetOverlappedResult(ZarWav.MixerDevice, &ov, &bytes, FALSE) || ZarWav.ListenerStop) break;
        const ULONG message = answer[0], control = answer[1];
        posted = post();
        if (bytes < 8 || message == 0) continue;
        Notify(message, control);
        for (const auto& pair : kTwin) {
            if (control == pair[0]) Notify(message, pair[1]);
            if (control == pair[1]) Notify(message, pair[0]);
        }
    }
}

// Opens the mixer device and starts the listener, once; the answer is
// remembered for every later message.
MMRESULT OpenMixerDevice()
{
    if (ZarWav.MixerTried) return ZarWav.MixerError;
    ZarWav.MixerTried = TRUE;
    ZarWav.MixerDevice = ZarWavOpenDevice(kMixerDevice, GENERIC_READ);
    if (ZarWav.MixerDevice == INVALID_HANDLE_VALUE) return ZarWav.MixerError = MMSYSERR_ERROR;
    ZarWav.MixerEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (ZarWav.MixerEvent == nullptr) return ZarWav.MixerError = MMSYSERR_NOMEM;
    ListenerStart start{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (mmTaskCreate(ListenerThread, &ZarWav.Listener, DWORD_PTR(&start)) != 0) {
        CloseHandle(start.Ready);
        return ZarWav.MixerError = MMSYSERR_NOMEM;
    }
    WaitForSingleObject(start.Ready, INFINITE);
    CloseHandle(start.Ready);
    return ZarWav.MixerError = MMSYSERR_NOERROR;
}

// ---- line information ----

bool LineActive(const ZARWAV_LINE& line)
{
    if (line.Source < 0) return true;
    ZARWAV_MIXER_SETTINGS* m = &Shared().Mixer;
    if (line.Destination == 1) {
        if (!ZarWavRecordAvailable(ZarWav.MixerDevice)) return false;
        if (line.Mix == kMixGain) return true;
    }
    UCHAR* on = ZarWavMixByte(m, line);
    return on != nullptr && *on != 0;
}

void FillLine(ULONG id, MIXERLINEW* l)
{
    const ZARWAV_LINE& line = kZarWavLines[id];
    l->dwDestination = line.Destination;
    l->dwSource = line.Source < 0 ? 0 : ULONG(line.Source);
    l->dwLineID = id;
    l->fdwLine = (line.Source >= 0 ? MIXERLINE_LINEF_SOURCE : DWORD(0)) | (LineActive(line) ? MIXERLINE_LINEF_ACTIVE : DWORD(0));
    l->dwUser = 0;
    l->dwComponentType = line.ComponentType;
    l->cChannels = 2;
    l->cConnections = line.Source >= 0 ? 0 : line.Destination == 0 ? 9 : 11;
    l->cControls = line.Controls;
    CopyName(l->szShortName, line.ShortName, 16);
    CopyName(l->szName, line.Name, 64);
    l->Target.dwType = line.TargetType;
    l->Target.dwDeviceID = 0;
    l->Target.wMid = kZarWavMid;
    l->Target.wPid = kZarWavPid;
    l->Target.vDriverVersion = kZarWavVersion;
    CopyName(l->Target.szPname, line.TargetName, 32);
}

MMRESULT GetLineInfo(MIXERLINEW* l, DWORD flags)
{
    if (l == nullptr || l->cbStruct < sizeof(MIXERLINEW)) return MMSYSERR_ERROR;
    LONG found = -1;
    switch (flags & MIXER_GETLINEINFOF_QUERYMASK) {
    case MIXER_GETLINEINFOF_DESTINATION:
        if (l->dwDestination < 2) found = LONG(l->dwDestination);
        break;
    case MIXER_GETLINEINFOF_SOURCE:
        for (ULONG i = 0; i < kLineCount; ++i)
            if (kZarWavLines[i].Destination == l->dwDestination && kZarWavLines[i].Source == LONG(l->dwSource)) found = LONG(i);
        break;
    case MIXER_GETLINEINFOF_LINEID:
        if (l->dwLineID < kLineCount) found = LONG(l->dwLineID);
        break;
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
        for (ULONG i = 0; i < kLineCount && found < 0; ++i)
            if (kZarWavLines[i].ComponentType == l->dwComponentType) found = LONG(i);
        break;
    case MIXER_GETLINEINFOF_TARGETTYPE:
        if (l->Target.wMid != kZarWavMid || l->Target.vDriverVersion != kZarWavVersion) break;
        for (ULONG i = 0; i < kLineCount && found < 0; ++i) {
            const ZARWAV_LINE& line = kZarWavLines[i];
            if (line.TargetType != MIXERLINE_TARGETTYPE_UNDEFINED && line.TargetType == l->Target.dwType &&
                l->Target.wPid == kZarWavPid && SameNoCase(l->Target.szPname, line.TargetName))
                found = LONG(i);
        }
        break;
    default: return MMSYSERR_NOTSUPPORTED;
    }
    if (found < 0) return MIXERR_INVALLINE;
    FillLine(ULONG(found), l);
    return MMSYSERR_NOERROR;
}

void FillControl(ULONG id, MIXERCONTROLW* c)
{
    const ZARWAV_CONTROL& control = kZarWavControls[id];
    std::memset(c, 0, sizeof *c);
    c->cbStruct = sizeof *c;
    c->dwControlID = id;
    c->dwControlType = ZarWavControlType(control.Kind);
    CopyName(c->szShortName, control.ShortName, 16);
    CopyName(c->szName, control.Name, 64);
    switch (control.Kind) {
    case kVolume:
        c->Bounds.dwMinimum = 0;
        c->Bounds.dwMaximum = 65535;
        c->Metrics.cSteps = 64;
        break;
    case kPlayMixer:
    case kRecordMixer:
        c->fdwControl = MIXERCONTROL_CONTROLF_UNIFORM | MIXERCONTROL_CONTROLF_MULTIPLE;
        c->cMultipleItems = control.Kind == kPlayMixer ? 9 : 10;
        c->Bounds.dwMaximum = 1;
        break;
    case kRecordMeter:
    case kPlayMeter:
        c->Bounds.lMinimum = -32768;
        c->Bounds.lMaximum = 32767;
        break;
    default:  // the mutes and the digital switches
        c->fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
        c->Bounds.dwMaximum = 1;
        if (control.Kind != kDigitalSwitch) c->Metrics.cSteps = 0;
        break;
    }
}

MMRESULT GetLineControls(MIXERLINECONTROLSW* lc, DWORD flags)
{
    if (lc == nullptr || lc->cbStruct < sizeof(MIXERLINECONTROLSW) || lc->cbmxctrl < sizeof(MIXERCONTROLW) ||
        lc->pamxctrl == nullptr)
        return MMSYSERR_ERROR;
    auto at = [&](ULONG i) { return reinterpret_cast<MIXERCONTROLW*>(reinterpret_cast<BYTE*>(lc->pamxctrl) + i * lc->cbmxctrl); };
    switch (flags & MIXER_GETLINECONTROLSF_QUERYMASK) {
    case MIXER_GETLINECONTROLSF_ALL: {
        if (lc->dwLineID >= kLineCount) return MIXERR_INVALLINE;
        const ZARWAV_LINE& line = kZarWavLines[lc->dwLineID];
        if (lc->cControls != line.Controls) return MMSYSERR_INVALPARAM;
        for (ULONG i = 0; i < line.Controls; ++i) FillControl(line.FirstControl + i, at(i));
        return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ONEBYID:
        if (lc->dwControlID >= kControlCount) return MIXERR_INVALCONTROL;
        FillControl(lc->dwControlID, at(0));
        lc->dwLineID = kZarWavControls[lc->dwControlID].Line;
        return MMSYSERR_NOERROR;
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
        if (lc->dwLineID >= kLineCount) return MIXERR_INVALLINE;
        const ZARWAV_LINE& line = kZarWavLines[lc->dwLineID];
        for (ULONG i = 0; i < line.Controls; ++i)
            if (ZarWavControlType(kZarWavControls[line.FirstControl + i].Kind) == lc->dwControlType) {
                FillControl(line.FirstControl + i, at(0));
                return MMSYSERR_NOERROR;
            }
        return MIXERR_INVALCONTROL;
    }
    default: return MMSYSERR_NOTSUPPORTED;
    }
}

// ---- control values ----

ZARWAV_LEVELS* LevelsOf(const ZARWAV_CONTROL& c)
{
    ZARWAV_MIXER_SETTINGS& m = Shared().Mixer;
    switch (c.Level) {
    case kLevelMaster: return &m.Master;
    case kLevelAnalog: return &m.Analog[c.Index];
    case kLevelGain: return &m.Gain;
    default: return nullptr;
    }
}

ULONG ItemCount(const ZARWAV_CONTROL& c) { return c.Kind == kPlayMixer ? 9 : c.Kind == kRecordMixer ? 10 : 0; }

const ULONG* Items(const ZARWAV_CONTROL& c) { return c.Kind == kPlayMixer ? kPlayMixItems : kRecordMixItems; }

LONG Meter(ULONG code, ULONG length, bool oneChannel, ULONG channel)
{
    ULONG answer[20] = {};
    if (!ZarWavRequest(ZarWav.MixerDevice, code, answer, length, answer, length)) return 0;
    auto level = [](ULONG v) { return LONG(v >= kMeterFull ? 32768 : v); };
    LONG left = level(answer[0]), right = level(answer[2]);
    if (oneChannel) return left > right ? left : right;
    return channel == 0 ? left : right;
}

MMRESULT GetDetails(MIXERCONTROLDETAILS* d, DWORD flags)
{
    if (d == nullptr || d->cbStruct < sizeof(MIXERCONTROLDETAILS) || d->dwControlID >= kControlCount) return MIXERR_INVALVALUE;
    const ZARWAV_CONTROL& c = kZarWavControls[d->dwControlID];
    if ((d->cChannels != 1 && d->cChannels != 2) || d->cMultipleItems != ItemCount(c) || d->paDetails == nullptr)
        return MIXERR_INVALVALUE;
    const ULONG items = ItemCount(c) ? ItemCount(c) : 1;
    const ULONG values = d->cChannels * items;
    if ((flags & MIXER_GETCONTROLDETAILSF_QUERYMASK) == MIXER_GETCONTROLDETAILSF_LISTTEXT) {
        if (ItemCount(c) == 0) return MIXERR_INVALVALUE;
        if (d->cbDetails < sizeof(MIXERCONTROLDETAILS_LISTTEXTW)) return MMSYSERR_ERROR;
        for (ULONG i = 0; i < values; ++i) {
            auto* t = reinterpret_cast<MIXERCONTROLDETAILS_LISTTEXTW*>(static_cast<BYTE*>(d->paDetails) + i * d->cbDetails);
            ULONG line = Items(c)[i % items];
            t->dwParam1 = line;
            t->dwParam2 = 0;
            CopyName(t->szName, kZarWavLines[line].Name, 64);
        }
        return MMSYSERR_NOERROR;
    }
    if (d->cbDetails < sizeof(DWORD)) return MMSYSERR_ERROR;
    auto value = [&](ULONG i) -> DWORD& { return *reinterpret_cast<DWORD*>(static_cast<BYTE*>(d->paDetails) + i * d->cbDetails); };
    ZARWAV_MIXER_SETTINGS& m = Shared().Mixer;
    switch (c.Kind) {
    case kVolume: {
        const ZARWAV_LEVELS* l = LevelsOf(c);
        if (d->cChannels == 1) value(0) = ((l->Left + l->Right) / 2) * 257;
        else value(0) = l->Left * 257, value(1) = l->Right * 257;
        break;
    }
    case kMasterMute:
        for (ULONG i = 0; i < values; ++i) value(i) = m.Master.Play == 0;
        break;
    case kRecordMute:
        for (ULONG i = 0; i < values; ++i) value(i) = m.Gain.Record == 0;
        break;
    case kPlayMixer:
    case kRecordMixer:
        for (ULONG i = 0; i < values; ++i) value(i) = *ZarWavMixByte(&m, kZarWavLines[Items(c)[i % items]]) != 0;
        break;
    case kRecordMeter:
    case kPlayMeter: {
        const bool record = c.Kind == kRecordMeter;
        const bool reads = !record || (ZarWavRecordAvailable(ZarWav.MixerDevice) && m.Gain.Record);
        for (ULONG ch = 0; ch < d->cChannels; ++ch)
            value(ch) = reads ? DWORD(record ? Meter(IOCTL_ZAR_AUD_GET_REC_VU_LEVEL, 16, d->cChannels == 1, ch)
                                             : Meter(IOCTL_ZAR_AUD_GET_PLAY_VU_LEVEL, 80, d->cChannels == 1, ch))
                              : 0;
        break;
    }
    case kDigitalSwitch:
        for (ULONG i = 0; i < values; ++i) value(i) = 0;
        break;
    }
    return MMSYSERR_NOERROR;
}

// New mix values: a digital source newly on takes the mix alone (record)
// or alone among the digital ones (play); an analog source newly on in the
// record mix ends a digital one.
void StoreMix(const ZARWAV_CONTROL& c, const DWORD* wanted)
{
    ZARWAV_MIXER_SETTINGS& m = Shared().Mixer;
    const ULONG items = ItemCount(c);
    const bool record = c.Kind == kRecordMixer;
    UCHAR* on[10];
    bool was[10], digital[10];
    for (ULONG i = 0; i < items; ++i) {
        const ZARWAV_LINE& line = kZarWavLines[Items(c)[i]];
        on[i] = ZarWavMixByte(&m, line);
        was[i] = *on[i] != 0;
        digital[i] = line.Mix == kMixDigital;
    }
    LONG newDigital = -1;
    bool newAnalog = false;
    for (ULONG i = 0; i < items; ++i) {
        if (!wanted[i] || was[i]) continue;
        if (digital[i] && newDigital < 0) newDigital = LONG(i);
        if (!digital[i]) newAnalog = true;
    }
    for (ULONG i = 0; i < items; ++i) {
        bool value = wanted[i] != 0;
        if (newDigital >= 0 && digital[i]) value = LONG(i) == newDigital;
        if (newDigital >= 0 && record && !digital[i]) value = false;
        if (newDigital < 0 && newAnalog && record && digital[i]) value = false;
        *on[i] = value ? 1 : 0;
    }
}

MMRESULT SetDetails(MIXERCONTROLDETAILS* d)
{
    if (d == nullptr || d->cbStruct < sizeof(MIXERCONTROLDETAILS) || d->dwControlID >= kControlCount) return MIXERR_INVALVALUE;
    const ZARWAV_CONTROL& c = kZarWavControls[d->dwControlID];
    if ((d->cChannels != 1 && d->cChannels != 2) || d->cMultipleItems != ItemCount(c) || d->paDetails == nullptr)
        return MIXERR_INVALVALUE;
    if (d->cbDetails < sizeof(DWORD)) return MMSYSERR_ERROR;
    auto value = [&](ULONG i) { return *reinterpret_cast<const DWORD*>(static_cast<BYTE*>(d->paDetails) + i * d->cbDetails); };
    ZARWAV_MIXER_SETTINGS& m = Shared().Mixer;
    HANDLE device = ZarWav.MixerDevice;
    switch (c.Kind) {
    case kVolume: {
        ZARWAV_LEVELS* l = LevelsOf(c);
        l->Left = UCHAR(value(0) >> 8);
        l->Right = UCHAR(value(d->cChannels == 2 ? 1 : 0) >> 8);
        ZarWavLevelsChanged(device);
        break;
    }
    case kMasterMute:
        m.Master.Play = value(0) ? 0 : 1;
        ZarWavLevelsChanged(device);
        break;
    case kRecordMute:
        m.Gain.Record = value(0) ? 0 : 1;
        ZarWavLevelsChanged(device);
        break;
    case kPlayMixer:
    case kRecordMixer: {
        DWORD wanted[10] = {};
        for (ULONG i = 0; i < ItemCount(c); ++i) wanted[i] = value(i);
        StoreMix(c, wanted);
        ZarWavClearForbiddenDigital(&Shared());
        const BOOL record = c.Kind == kRecordMixer;
        if (ZarWavRecordAvailable(device) == record) ZarWavSendRouting(device, record);
        break;
    }
    default: return MMSYSERR_NOERROR;  // meters and the digital switches hold nothing
    }
    ZarWavAnnounce(device, d->dwControlID);
    return MMSYSERR_NOERROR;
}

// ---- private messages ----

MMRESULT GetSettings(ZARWAV_SETTINGS* s)
{
    if (s == nullptr || s->cbStruct != sizeof(ZARWAV_SETTINGS)) return MMSYSERR_ERROR;
    s->Enabled = Shared().Enabled;
    s->ForceSampleRate = Shared().ForceRate;
    s->SampleRate = Shared().ForcedRate;
    s->InterpQuality = Shared().Quality;
    return MMSYSERR_NOERROR;
}

MMRESULT SetSettings(const ZARWAV_SETTINGS* s)
{
    if (s == nullptr || s->cbStruct != sizeof(ZARWAV_SETTINGS)) return MMSYSERR_ERROR;
    Shared().Enabled = s->Enabled;
    Shared().ForceRate = s->ForceSampleRate;
    Shared().ForcedRate = s->SampleRate;
    Shared().Quality = s->InterpQuality;
    ULONG prefs[5] = {0, s->Enabled, s->ForceSampleRate, s->SampleRate, s->InterpQuality};
    ZarWavRequest(ZarWav.MixerDevice, IOCTL_ZAR_WAVE_SAVE_USER_PREFS, prefs, sizeof prefs, nullptr, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT ResetLevels(const ZARWAV_RESET_LEVELS* r)
{
    if (r == nullptr || r->cbStruct != sizeof(ZARWAV_RESET_LEVELS)) return MMSYSERR_ERROR;
    if (r->Reset == 0) return MMSYSERR_NOERROR;
    ZARWAV_MIXER_SETTINGS& m = Shared().Mixer;
    m.Master.Left = m.Master.Right = 255;
    for (ZARWAV_LEVELS& g : m.Group) g.Left = g.Right = 128;
    for (ZARWAV_LEVELS& a : m.Analog) a.Left = a.Right = 128;
    for (ZARWAV_LEVELS& dl : m.Digital) dl.Left = dl.Right = 128;
    m.Gain.Left = m.Gain.Right = 0;
    ZarWavLevelsChanged(ZarWav.MixerDevice);
    for (ULONG control : {9u, 0u, 6u, 8u, 10u, 11u, 21u}) {
        ZarWavAnnounce(ZarWav.MixerDevice, control);
        Sleep(0);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT Open(DWORD_PTR* user, const MIXEROPENDESC* desc, DWORD flags)
{
    if (user == nullptr || desc == nullptr) return MMSYSERR_INVALPARAM;
    auto* h = static_cast<ZARWAV_MIXER_HANDLE*>(HeapAlloc(ZarWav.Heap, HEAP_ZERO_MEMORY, sizeof(ZARWAV_MIXER_HANDLE)));
    if (h == nullptr) return MMSYSERR_NOMEM;
    *h = {nullptr, desc->dwCallback, desc->dwInstance, desc->hmx, flags, 0};
    DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind == CALLBACK_WINDOW || kind == CALLBACK_TASK || kind == CALLBACK_FUNCTION) {
        EnterCriticalSection(&ZarWav.CallbackLock);
        h->Next = ZarWav.Callbacks;
        ZarWav.Callbacks = h;
        LeaveCriticalSection(&ZarWav.CallbackLock);
    }
    *user = DWORD_PTR(h);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(DWORD_PTR user)
{
    auto* h = reinterpret_cast<ZARWAV_MIXER_HANDLE*>(user);
    if (h == nullptr) return MMSYSERR_INVALHANDLE;
    EnterCriticalSection(&ZarWav.CallbackLock);
    for (ZARWAV_MIXER_HANDLE** p = &ZarWav.Callbacks; *p != nullptr; p = &(*p)->Next)
        if (*p == h) {
            *p = h->Next;
            break;
        }
    LeaveCriticalSection(&ZarWav.CallbackLock);
    HeapFree(ZarWav.Heap, 0, h);
    return MMSYSERR_NOERROR;
}

}  // namespace

DWORD ZarWavMixerMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    if (!ZarWav.CallbackLockReady) {
        InitializeCriticalSection(&ZarWav.CallbackLock);
        ZarWav.CallbackLockReady = TRUE;
        ZarWav.Excluded = ExcludedProcess();
    }
    if (ZarWav.Excluded || !ZarWav.Enabled || ZarWav.Shared == nullptr)
        return message == MXDM_GETNUMDEVS ? DWORD(0) : DWORD(MMSYSERR_NOTSUPPORTED);
    if (message != MXDM_GETNUMDEVS && message != MXDM_GETDEVCAPS && message != DRVM_INIT) {
        MMRESULT r = OpenMixerDevice();
        if (r != MMSYSERR_NOERROR) return r;
    }
    if (message != MXDM_GETNUMDEVS && message != DRVM_INIT && id >= Shared().DeviceCount) return MMSYSERR_BADDEVICEID;
    switch (message) {
    case MXDM_GETNUMDEVS: return Shared().DeviceCount;
    case MXDM_GETDEVCAPS: {
        if (param1 == 0 || param2 < sizeof(MIXERCAPSW)) return MMSYSERR_ERROR;
        auto* caps = reinterpret_cast<MIXERCAPSW*>(param1);
        caps->wMid = kZarWavMid;
        caps->wPid = kZarWavPid;
        caps->vDriverVersion = kZarWavVersion;
        CopyName(caps->szPname, kMixerName, 32);
        caps->fdwSupport = 0;
        caps->cDestinations = 2;
        return MMSYSERR_NOERROR;
    }
    case MXDM_OPEN: return Open(reinterpret_cast<DWORD_PTR*>(user), reinterpret_cast<const MIXEROPENDESC*>(param1), DWORD(param2));
    case MXDM_CLOSE: return Close(user);
    case MXDM_GETLINEINFO: return GetLineInfo(reinterpret_cast<MIXERLINEW*>(param1), DWORD(param2));
    case MXDM_GETLINECONTROLS: return GetLineControls(reinterpret_cast<MIXERLINECONTROLSW*>(param1), DWORD(param2));
    case MXDM_GETCONTROLDETAILS: return GetDetails(reinterpret_cast<MIXERCONTROLDETAILS*>(param1), DWORD(param2));
    case MXDM_SETCONTROLDETAILS: return SetDetails(reinterpret_cast<MIXERCONTROLDETAILS*>(param1));
    case DRVM_INIT: return MMSYSERR_NOERROR;
    case ZARWAV_MXDM_GET_SETTINGS: return GetSettings(reinterpret_cast<ZARWAV_SETTINGS*>(param1));
    case ZARWAV_MXDM_SET_SETTINGS: return SetSettings(reinterpret_cast<const ZARWAV_SETTINGS*>(param1));
    case ZARWAV_MXDM_RESET_LEVELS: return ResetLevels(reinterpret_cast<const ZARWAV_RESET_LEVELS*>(param1));
    default: return MMSYSERR_NOTSUPPORTED;
    }
}

void ZarWavMixerUnload(BOOL wait)
{
    if (ZarWav.Listener != nullptr) {
        ZarWav.ListenerStop = TRUE;
        QueueUserAPC(StopApc, ZarWav.Listener, 0);
        // Only outside the loader's lock: a thread ending needs it.
        if (wait) WaitForSingleObject(ZarWav.Listener, INFINITE);
        CloseHandle(ZarWav.Listener);
        ZarWav.Listener = nullptr;
    }
    if (!wait) return;  // the listener may still use them
    if (ZarWav.MixerDevice != nullptr && ZarWav.MixerDevice != INVALID_HANDLE_VALUE) CloseHandle(ZarWav.MixerDevice);
    if (ZarWav.MixerEvent != nullptr) CloseHandle(ZarWav.MixerEvent);
    ZarWav.MixerDevice = nullptr;
    ZarWav.MixerEvent = nullptr;
    ZarWav.MixerTried = FALSE;
    ZarWav.ListenerStop = FALSE;
}

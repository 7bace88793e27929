// The multimedia calls a Windows program makes to play, record and mix
// sound: waveOut*, waveIn*, mixer*, over the installable drivers listed in
// the machine's registry (see mmddk.h for the drivers' side). The records
// keep their 32-bit layouts, since they cross into the drivers as they are.
// Text of the A functions is the ANSI code page; drivers answer in UTF-16.
#pragma once

#include "win32.h"

// The same names as the window layer's, for the callbacks' parameters.
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
struct HWND__;
using HWND = HWND__*;

using MMRESULT = UINT;
using MMVERSION = UINT;
struct HWAVEOUT__;
using HWAVEOUT = HWAVEOUT__*;
using LPHWAVEOUT = HWAVEOUT*;
struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;
struct HMIXER__;
using HMIXER = HMIXER__*;
using LPHMIXER = HMIXER*;
using HMIXEROBJ = void*;
struct HDRVR__;
using HDRVR = HDRVR__*;

enum : MMRESULT {
    MMSYSERR_NOERROR = 0,
    MMSYSERR_ERROR = 1,
    MMSYSERR_BADDEVICEID = 2,
    MMSYSERR_NOTENABLED = 3,
    MMSYSERR_ALLOCATED = 4,
    MMSYSERR_INVALHANDLE = 5,
    MMSYSERR_NODRIVER = 6,
    MMSYSERR_NOMEM = 7,
    MMSYSERR_NOTSUPPORTED = 8,
    MMSYSERR_BADERRNUM = 9,
    MMSYSERR_INVALFLAG = 10,
    MMSYSERR_INVALPARAM = 11,
    MMSYSERR_HANDLEBUSY = 12,
    WAVERR_BADFORMAT = 32,
    WAVERR_STILLPLAYING = 33,
    WAVERR_UNPREPARED = 34,
    WAVERR_SYNC = 35,
    MIXERR_INVALLINE = 1024,
    MIXERR_INVALCONTROL = 1025,
    MIXERR_INVALVALUE = 1026,
};

// Callback kinds in the open flags; the driver is told them as DCB_* (the
// high word).
enum : DWORD {
    CALLBACK_TYPEMASK = 0x00070000,
    CALLBACK_NULL = 0x00000000,
    CALLBACK_WINDOW = 0x00010000,
    CALLBACK_TASK = 0x00020000,
    CALLBACK_THREAD = 0x00020000,
    CALLBACK_FUNCTION = 0x00030000,
    CALLBACK_EVENT = 0x00050000,
    WAVE_FORMAT_QUERY = 0x0001,
    WAVE_ALLOWSYNC = 0x0002,
    WAVE_MAPPED = 0x0004,
};
inline constexpr UINT WAVE_MAPPER = UINT(-1);

// Messages a program's callback receives.
enum : UINT {
    MM_WOM_OPEN = 0x3BB,
    MM_WOM_CLOSE = 0x3BC,
    MM_WOM_DONE = 0x3BD,
    MM_WIM_OPEN = 0x3BE,
    MM_WIM_CLOSE = 0x3BF,
    MM_WIM_DATA = 0x3C0,
    MM_MIXM_LINE_CHANGE = 0x3D0,
    MM_MIXM_CONTROL_CHANGE = 0x3D1,
    WOM_OPEN = MM_WOM_OPEN,
    WOM_CLOSE = MM_WOM_CLOSE,
    WOM_DONE = MM_WOM_DONE,
    WIM_OPEN = MM_WIM_OPEN,
    WIM_CLOSE = MM_WIM_CLOSE,
    WIM_DATA = MM_WIM_DATA,
};
using LPWAVECALLBACK = void (*)(HANDLE hDevice, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
struct WAVEFORMAT {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
};
struct PCMWAVEFORMAT {
    WAVEFORMAT wf;
    WORD wBitsPerSample;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(PCMWAVEFORMAT) == 16);
using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;
enum : WORD { WAVE_FORMAT_PCM = 1 };

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};
static_assert(sizeof(WAVEHDR) == 32);
using LPWAVEHDR = WAVEHDR*;
// A header of 'bytes' at 'data', every other field 0: ready to prepare.
inline WAVEHDR MakeHeader(void* data, DWORD bytes)
{
    WAVEHDR h{};
    h.lpData = static_cast<LPSTR>(data);
    h.dwBufferLength = bytes;
    return h;
}
enum : DWORD {
    WHDR_DONE = 0x01,
    WHDR_PREPARED = 0x02,
    WHDR_BEGINLOOP = 0x04,
    WHDR_ENDLOOP = 0x08,
    WHDR_INQUEUE = 0x10,
};

struct WAVEOUTCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[32];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};
static_assert(sizeof(WAVEOUTCAPSA) == 52);
struct WAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[32];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};
static_assert(sizeof(WAVEOUTCAPSW) == 84);
struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[32];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};
static_assert(sizeof(WAVEINCAPSA) == 48);
struct WAVEINCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[32];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};
static_assert(sizeof(WAVEINCAPSW) == 80);
enum : DWORD {
    WAVECAPS_PITCH = 0x01,
    WAVECAPS_PLAYBACKRATE = 0x02,
    WAVECAPS_VOLUME = 0x04,
    WAVECAPS_LRVOLUME = 0x08,
    WAVECAPS_SYNC = 0x10,
};

struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy, pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};
static_assert(sizeof(MMTIME) == 12);
using LPMMTIME = MMTIME*;
enum : UINT { TIME_MS = 1, TIME_SAMPLES = 2, TIME_BYTES = 4, TIME_SMPTE = 8, TIME_MIDI = 16, TIME_TICKS = 32 };

UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, WAVEOUTCAPSA* pwoc, UINT cbwoc);
MMRESULT waveOutGetDevCapsW(UINT_PTR uDeviceID, WAVEOUTCAPSW* pwoc, UINT cbwoc);
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutBreakLoop(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT waveOutGetID(HWAVEOUT hwo, UINT* puDeviceID);
MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, WAVEINCAPSA* pwic, UINT cbwic);
MMRESULT waveInGetDevCapsW(UINT_PTR uDeviceID, WAVEINCAPSW* pwic, UINT cbwic);
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt);
MMRESULT waveInGetID(HWAVEIN hwi, UINT* puDeviceID);
MMRESULT waveInMessage(HWAVEIN hwi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

// ---- Mixer ----

enum : DWORD {
    MIXER_OBJECTF_HANDLE = 0x80000000,
    MIXER_OBJECTF_MIXER = 0x00000000,
    MIXER_OBJECTF_HMIXER = 0x80000000,
    MIXER_OBJECTF_WAVEOUT = 0x10000000,
    MIXER_OBJECTF_HWAVEOUT = 0x90000000,
    MIXER_OBJECTF_WAVEIN = 0x20000000,
    MIXER_OBJECTF_HWAVEIN = 0xA0000000,
    MIXER_OBJECTF_TYPEMASK = 0xF0000000,
    MIXER_GETLINEINFOF_DESTINATION = 0,
    MIXER_GETLINEINFOF_SOURCE = 1,
    MIXER_GETLINEINFOF_LINEID = 2,
    MIXER_GETLINEINFOF_COMPONENTTYPE = 3,
    MIXER_GETLINEINFOF_TARGETTYPE = 4,
    MIXER_GETLINEINFOF_QUERYMASK = 0xF,
    MIXER_GETLINECONTROLSF_ALL = 0,
    MIXER_GETLINECONTROLSF_ONEBYID = 1,
    MIXER_GETLINECONTROLSF_ONEBYTYPE = 2,
    MIXER_GETLINECONTROLSF_QUERYMASK = 0xF,
    MIXER_GETCONTROLDETAILSF_VALUE = 0,
    MIXER_GETCONTROLDETAILSF_LISTTEXT = 1,
    MIXER_GETCONTROLDETAILSF_QUERYMASK = 0xF,
    MIXER_SETCONTROLDETAILSF_VALUE = 0,
    MIXER_SETCONTROLDETAILSF_CUSTOM = 1,
    MIXER_SETCONTROLDETAILSF_QUERYMASK = 0xF,
};

struct MIXERCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[32];
    DWORD fdwSupport;
    DWORD cDestinations;
};
static_assert(sizeof(MIXERCAPSA) == 48);
struct MIXERCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[32];
    DWORD fdwSupport;
    DWORD cDestinations;
};
static_assert(sizeof(MIXERCAPSW) == 80);

enum : DWORD {
    MIXERLINE_LINEF_ACTIVE = 0x00000001,
    MIXERLINE_LINEF_DISCONNECTED = 0x00008000,
    MIXERLINE_LINEF_SOURCE = 0x80000000,
    MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0,
    MIXERLINE_COMPONENTTYPE_DST_DIGITAL = 1,
    MIXERLINE_COMPONENTTYPE_DST_LINE = 2,
    MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 4,
    MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7,
    MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000,
    MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001,
    MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002,
    MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003,
    MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005,
    MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008,
    MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009,
    MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A,
    MIXERLINE_TARGETTYPE_UNDEFINED = 0,
    MIXERLINE_TARGETTYPE_WAVEOUT = 1,
    MIXERLINE_TARGETTYPE_WAVEIN = 2,
};

template <typename CHARTYPE>
struct MIXERLINE_T {
    DWORD cbStruct;
    DWORD dwDestination;
    DWORD dwSource;
    DWORD dwLineID;
    DWORD fdwLine;
    DWORD_PTR dwUser;
    DWORD dwComponentType;
    DWORD cChannels;
    DWORD cConnections;
    DWORD cControls;
    CHARTYPE szShortName[16];
    CHARTYPE szName[64];
    struct {
        DWORD dwType;
        DWORD dwDeviceID;
        WORD wMid;
        WORD wPid;
        MMVERSION vDriverVersion;
        CHARTYPE szPname[32];
    } Target;
};
using MIXERLINEA = MIXERLINE_T<CHAR>;
using MIXERLINEW = MIXERLINE_T<WCHAR>;
static_assert(sizeof(MIXERLINEA) == 168);
static_assert(sizeof(MIXERLINEW) == 280);
using LPMIXERLINEA = MIXERLINEA*;
using LPMIXERLINEW = MIXERLINEW*;

enum : DWORD {
    MIXERCONTROL_CONTROLF_UNIFORM = 0x00000001,
    MIXERCONTROL_CONTROLF_MULTIPLE = 0x00000002,
    MIXERCONTROL_CONTROLF_DISABLED = 0x80000000,
    MIXERCONTROL_CT_CLASS_MASK = 0xF0000000,
    MIXERCONTROL_CT_CLASS_METER = 0x10000000,
    MIXERCONTROL_CT_CLASS_SWITCH = 0x20000000,
    MIXERCONTROL_CT_CLASS_FADER = 0x50000000,
    MIXERCONTROL_CT_CLASS_LIST = 0x70000000,
    MIXERCONTROL_CT_UNITS_MASK = 0x00FF0000,
    MIXERCONTROL_CT_UNITS_BOOLEAN = 0x00010000,
    MIXERCONTROL_CT_UNITS_SIGNED = 0x00020000,
    MIXERCONTROL_CT_UNITS_UNSIGNED = 0x00030000,
    MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10020001,
    MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002,
    MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001,
    MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001,
    MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001,
};

template <typename CHARTYPE>
struct MIXERCONTROL_T {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD dwControlType;
    DWORD fdwControl;
    DWORD cMultipleItems;
    CHARTYPE szShortName[16];
    CHARTYPE szName[64];
    union {
        struct {
            LONG lMinimum;
            LONG lMaximum;
        };
        struct {
            DWORD dwMinimum;
            DWORD dwMaximum;
        };
        DWORD dwReserved[6];
    } Bounds;
    union {
        DWORD cSteps;
        DWORD cbCustomData;
        DWORD dwReserved[6];
    } Metrics;
};
using MIXERCONTROLA = MIXERCONTROL_T<CHAR>;
using MIXERCONTROLW = MIXERCONTROL_T<WCHAR>;
static_assert(sizeof(MIXERCONTROLA) == 148);
static_assert(sizeof(MIXERCONTROLW) == 228);
using LPMIXERCONTROLA = MIXERCONTROLA*;
using LPMIXERCONTROLW = MIXERCONTROLW*;

template <typename CONTROL>
struct MIXERLINECONTROLS_T {
    DWORD cbStruct;
    DWORD dwLineID;
    union {
        DWORD dwControlID;
        DWORD dwControlType;
    };
    DWORD cControls;
    DWORD cbmxctrl;
    CONTROL* pamxctrl;
};
using MIXERLINECONTROLSA = MIXERLINECONTROLS_T<MIXERCONTROLA>;
using MIXERLINECONTROLSW = MIXERLINECONTROLS_T<MIXERCONTROLW>;
static_assert(sizeof(MIXERLINECONTROLSW) == 24);
using LPMIXERLINECONTROLSA = MIXERLINECONTROLSA*;
using LPMIXERLINECONTROLSW = MIXERLINECONTROLSW*;

struct MIXERCONTROLDETAILS {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD cChannels;
    union {
        HANDLE hwndOwner;
        DWORD cMultipleItems;
    };
    DWORD cbDetails;
    LPVOID paDetails;
};
static_assert(sizeof(MIXERCONTROLDETAILS) == 24);
using LPMIXERCONTROLDETAILS = MIXERCONTROLDETAILS*;
struct MIXERCONTROLDETAILS_LISTTEXTA {
    DWORD dwParam1;
    DWORD dwParam2;
    CHAR szName[64];
};
struct MIXERCONTROLDETAILS_LISTTEXTW {
    DWORD dwParam1;
    DWORD dwParam2;
    WCHAR szName[64];
};
static_assert(sizeof(MIXERCONTROLDETAILS_LISTTEXTW) == 136);
struct MIXERCONTROLDETAILS_BOOLEAN {
    LONG fValue;
};
struct MIXERCONTROLDETAILS_SIGNED {
    LONG lValue;
};
struct MIXERCONTROLDETAILS_UNSIGNED {
    DWORD dwValue;
};

UINT mixerGetNumDevs();
MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, MIXERCAPSA* pmxcaps, UINT cbmxcaps);
MMRESULT mixerGetDevCapsW(UINT_PTR uMxId, MIXERCAPSW* pmxcaps, UINT cbmxcaps);
MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT mixerClose(HMIXER hmx);
MMRESULT mixerGetID(HMIXEROBJ hmxobj, UINT* puMxId, DWORD fdwId);
MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo);
MMRESULT mixerGetLineInfoW(HMIXEROBJ hmxobj, LPMIXERLINEW pmxl, DWORD fdwInfo);
MMRESULT mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc, DWORD fdwControls);
MMRESULT mixerGetLineControlsW(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSW pmxlc, DWORD fdwControls);
MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails);
MMRESULT mixerGetControlDetailsW(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails);
MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails);
// Any message straight to the mixer's driver (a driver's private messages).
DWORD mixerMessage(HMIXER hmx, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

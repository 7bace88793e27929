// ZARWAV, the user-mode wave driver: what its modules share. One process
// state (ZarWav); the block every process that loads the driver maps
// ("ZarWaveMemFileMap"); the board's records the driver sends through the
// kernel wave service's devices.
//
// Locks: ZarWav.WaveLock guards the wave instance list and their device
// handles; ZarWav.CallbackLock guards the mixer handles that want callbacks.
// The shared block has no lock: every update is a single byte or word.
#pragma once

#include <cstddef>

#include "include/zarkd.h"
#include "include/zarwav.h"
#include "mmddk.h"

// ---- records shared with the board ----

// One path's levels: left, right, on in the play mix, on in the record mix.
struct ZARWAV_LEVELS {
    UCHAR Left, Right, Play, Record;
};

enum ZARWAV_ANALOG : ULONG { kUnbalanced = 0, kBalanced, kAuxiliary, kCd, kWave, kAnalogCount };
enum ZARWAV_DIGITAL : ULONG { kDigitalWave = 0, kSdi, kDv, kAes, kSpdif, kDigitalCount };

// Kept by the board driver as its Mixer value.
struct ZARWAV_MIXER_SETTINGS {
    ULONG Version;                       // 4
    ZARWAV_LEVELS Group[4];              // wave-out groups: Left, Right, Play = on
    ZARWAV_LEVELS Master;                // Play = on
    ZARWAV_LEVELS Analog[kAnalogCount];  // Unbalanced, Balanced, Auxiliary, CD, Wave
    ZARWAV_LEVELS Gain;                  // Left, Right; Record = recording enabled
    ZARWAV_LEVELS Digital[kDigitalCount];  // digital wave (record only), SDI, DV, AES, S/PDIF
};
static_assert(sizeof(ZARWAV_MIXER_SETTINGS) == 68);
static_assert(offsetof(ZARWAV_MIXER_SETTINGS, Gain) + 3 == 47);
static_assert(offsetof(ZARWAV_MIXER_SETTINGS, Digital) + 3 == 51);
static_assert(offsetof(ZARWAV_MIXER_SETTINGS, Digital[kSpdif]) + 2 == 66);

inline constexpr ULONG kZarWavLayoutVersion = 4;

struct ZARWAV_SHARED_STATE {
    UCHAR Version;        // 4
    UCHAR Minor;          // at least 1
    UCHAR Spare[2];
    ULONG DeviceCount;    // mixers and wave-in devices
    ULONG OutPerMixer;    // wave-out devices per mixer
    ULONG Enabled;        // wave devices offered
    ULONG DigitalPresent; // the digital I/O option answers
    ULONG DigitalMask;    // bit 16 SDI, 17 DV, 20 AES, 21 S/PDIF
    ULONG ForceRate;
    ULONG ForcedRate;
    ULONG Quality;
    ZARWAV_MIXER_SETTINGS Mixer;
    UCHAR Atten5[256];    // 5-bit attenuation register of each level
    UCHAR Atten6[256];    // 6-bit
    UCHAR Gain4[256];     // 4-bit gain
    ULONG Multiplier[256];
    UCHAR Decibels[256];  // attenuation in dB of the 5-bit register of each level
};
static_assert(sizeof(ZARWAV_SHARED_STATE) == 2152);
static_assert(offsetof(ZARWAV_SHARED_STATE, Mixer) == 36);
static_assert(offsetof(ZARWAV_SHARED_STATE, Multiplier) == 872);
static_assert(offsetof(ZARWAV_SHARED_STATE, Decibels) == 1896);

inline constexpr ULONG kDigitalMaskBase = 0xDFF7;
inline constexpr ULONG kDigitalBit[kDigitalCount] = {0, 1u << 16, 1u << 17, 1u << 20, 1u << 21};

// The board's audio-codec register block.
#pragma pack(push, 1)
struct ZAR_AUDIO_CODEC {
    USHORT Word[9];
    ULONG Mask;
};
#pragma pack(pop)
static_assert(sizeof(ZAR_AUDIO_CODEC) == 22);
enum ZARWAV_CODEC_WORD : ULONG { kWordMaster = 0, kWordGain, kWordUnbalanced, kWordBalanced, kWordAuxiliary, kWordCd, kWordWave, kWordOutput };

// ---- process state ----

struct ZARWAV_MIXER_HANDLE;

struct ZARWAV_PROCESS {
    HMODULE Module;
    HANDLE Heap;
    BOOL Attached;       // the attach succeeded
    BOOL Enabled;        // DRV_LOAD saw the attach succeed
    BOOL JustInstalled;
    BOOL WaveLockReady;
    CRITICAL_SECTION WaveLock;
    PVOID Security;      // null-DACL descriptor of the mapping
    HANDLE Mapping;
    ZARWAV_SHARED_STATE* Shared;
    // The mixer device, opened once at the first mixer message that needs it.
    BOOL Excluded;       // a host process the mixer keeps away from
    BOOL MixerTried;
    MMRESULT MixerError;
    HANDLE MixerDevice;
    HANDLE MixerEvent;
    HANDLE Listener;
    BOOL ListenerStop;
    BOOL CallbackLockReady;
    CRITICAL_SECTION CallbackLock;
    ZARWAV_MIXER_HANDLE* Callbacks;
};
extern ZARWAV_PROCESS ZarWav;

// ---- modules ----

// zarwav_entry.cpp
BOOL ZarWavAttach(HMODULE module);
// 'processExit': the process ends (its threads can be waited for, no
// loader lock held); else a FreeLibrary, after WinMM's DRV_FREE stopped them.
void ZarWavDetach(BOOL processExit);
LRESULT ZarWavDriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2);

// zarwav_device.cpp: one request on a wave device, waited for.
HANDLE ZarWavOpenDevice(const char* name, DWORD access);
BOOL ZarWavRequest(HANDLE device, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                   ULONG* returned = nullptr);

// zarwav_install.cpp
LRESULT ZarWavInstall();
LRESULT ZarWavRemove();
// The pending operations list without pairs whose source is 'source' (no
// case); 'length' in bytes, updated. Exposed for its own test.
ULONG ZarWavDropPendingRename(WCHAR* list, ULONG length, const WCHAR* source);

// zarwav_config.cpp: dialog 101.
LRESULT ZarWavConfigure(HWND parent);

// zarwav_codec.cpp: level tables, the codec block and routing.
void ZarWavBuildTables(ZARWAV_SHARED_STATE* s);
void ZarWavDefaultSettings(ZARWAV_MIXER_SETTINGS* m);
BOOL ZarWavRecordAvailable(HANDLE device);
// The active destination's mix holds a digital source.
BOOL ZarWavDigitalActive(const ZARWAV_SHARED_STATE* s, BOOL record);
void ZarWavBuildCodec(const ZARWAV_SHARED_STATE* s, BOOL record, ZAR_AUDIO_CODEC* codec, ULONG words);
void ZarWavSendCodec(HANDLE device, BOOL record, ULONG words);
void ZarWavSendRouting(HANDLE device, BOOL record);
// After a level change: the routing when a digital source plays, else the codec.
void ZarWavLevelsChanged(HANDLE device);
void ZarWavAnnounce(HANDLE device, ULONG control);
void ZarWavClearForbiddenDigital(ZARWAV_SHARED_STATE* s);

// zarwav_mixer.cpp
DWORD ZarWavMixerMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);
// Stops the change listener and closes the mixer device. 'wait' only
// outside the loader's lock (DRV_FREE): at detach the thread is told to
// stop and left to end.
void ZarWavMixerUnload(BOOL wait);
// zarwav_lines.cpp: the line states of the system volume control.
void ZarWavWriteLineStates(BOOL digitalPresent);

// zarwav_wave.cpp
DWORD ZarWavWaveMessage(BOOL out, UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);
// Closes the wave devices a program left open (their workers stopped).
void ZarWavWaveUnload();

// Board rate codes.
inline ULONG ZarWavRateOfCode(ULONG code)
{
    constexpr ULONG rates[4] = {48000, 44100, 32000, 22050};
    return rates[code & 3];
}

// The library's entry and DriverProc: the board probed, the shared block
// made or joined, the board programmed by the process that made it, and
// the settings saved back at detach.
#include <cstring>

#include "include/zario.h"
#include "zarwav.h"

ZARWAV_PROCESS ZarWav;

namespace {

constexpr char kMixerDevice[] = "\\\\.\\ZarWaveMixer0";
constexpr char kMappingName[] = "ZarWaveMemFileMap";

// The board runs its firmware: the answer's second word is not 0.
BOOL ProbeBoard(HANDLE device)
{
    ULONG io[4] = {1, 0, 0, 0};
    return ZarWavRequest(device, IOCTL_ZAR_FLEX_DOWNLOAD, io, sizeof io, io, sizeof io) && io[1] != 0;
}

// The digital I/O option's capability mask.
void QueryDigitalOption(ZARWAV_SHARED_STATE* s)
{
    s->DigitalMask = kDigitalMaskBase;
    HANDLE io = CreateFileA("\\\\.\\ZARIO0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (io == INVALID_HANDLE_VALUE) return;
    ULONG state = 0;
    DWORD bytes = 0;
    if (DeviceIoControl(io, IOCTL_ZARIO_GET_BOARD_STATE, nullptr, 0, &state, sizeof state, &bytes, nullptr) &&
        state == ZARIO_BOARD_PRESENT) {
        s->DigitalPresent = 1;
        ULONG caps[3] = {};
        if (DeviceIoControl(io, IOCTL_ZARIO_GET_CAPABILITIES, caps, sizeof caps, caps, sizeof caps, &bytes, nullptr)) {
            if (caps[0] != 0) s->DigitalMask |= 0xFADFF7;
            if (caps[1] != 0) s->DigitalMask |= 0xF5DFF7;
        }
    }
    CloseHandle(io);
}

void LoadSettings(HANDLE device, ZARWAV_SHARED_STATE* s)
{
    ZARWAV_SETTINGS prefs{sizeof prefs, 1, 0, 48000, 3};
    if (ZarWavRequest(device, IOCTL_ZAR_WAVE_LOAD_USER_PREFS, &prefs, sizeof prefs, &prefs, sizeof prefs)) {
        s->Enabled = prefs.Enabled;
        s->ForceRate = prefs.ForceSampleRate;
        s->ForcedRate = prefs.SampleRate;
        s->Quality = prefs.InterpQuality;
    } else {
        s->Enabled = 1, s->ForceRate = 0, s->ForcedRate = 48000, s->Quality = 3;
    }
    ULONG got = 0;
    ZARWAV_MIXER_SETTINGS m{};
    if (!ZarWavRequest(device, IOCTL_ZAR_WAVE_LOAD_MIXER_SETTINGS, nullptr, 0, &m, sizeof m, &got) || got != sizeof m ||
        m.Version != kZarWavLayoutVersion) {
        ZarWavDefaultSettings(&m);
        ZarWavRequest(device, IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS, &m, sizeof m, nullptr, 0);
    }
    s->Mixer = m;
}

ULONG RateCode(ULONG rate) { return rate == 22050 ? 3 : rate == 32000 ? 2 : rate == 44100 ? 1 : 0; }

// The board as the mixer's settings want it.
void ProgramBoard(HANDLE device, ZARWAV_SHARED_STATE* s)
{
    if (s->ForceRate) {
        ULONG code = RateCode(s->ForcedRate);
        ZarWavRequest(device, IOCTL_ZAR_SET_AUDIO_STANDARDS, &code, sizeof code, nullptr, 0);
    }
    for (ULONG track = 0; track < 8; ++track) {
        UCHAR block[84] = {};
        block[0] = (track & 1) ? 255 : 0;  // odd tracks right, even left
        block[1] = 192;
        ULONG control[3] = {track, ULONG(reinterpret_cast<ULONG_PTR>(block)), 3};
        ZarWavRequest(device, IOCTL_ZAR_AUD_SET_TRACK_CONTROL, control, sizeof control, nullptr, 0);
    }
    // The board takes all eight multipliers and a mask; each wave-out device
    // owns the pair of tracks 2k, 2k+1.
    for (ULONG k = 0; k < s->OutPerMixer * s->DeviceCount && k < 4; ++k) {
        ULONG mult[9] = {};
        const ZARWAV_LEVELS& g = s->Mixer.Group[k];
        mult[2 * k] = g.Play ? s->Multiplier[g.Left] : 0;
        mult[2 * k + 1] = g.Play ? s->Multiplier[g.Right] : 0;
        mult[8] = 3u << (2 * k);
        ZarWavRequest(device, IOCTL_ZAR_AUD_SET_TRACK_LEVEL_MULT, mult, sizeof mult, nullptr, 0);
    }
    ZAR_AUDIO_CODEC codec{};
    ZarWavBuildCodec(s, FALSE, &codec, 0x7F);
    codec.Word[kWordOutput] = 5;
    codec.Mask |= 0x40;
    ZarWavRequest(device, IOCTL_ZAR_AUD_SET_CODEC, &codec, sizeof codec, nullptr, 0);
    ZarWavSendRouting(device, FALSE);
}

void Unmap()
{
    if (ZarWav.Shared != nullptr) UnmapViewOfFile(ZarWav.Shared);
    if (ZarWav.Mapping != nullptr) CloseHandle(ZarWav.Mapping);
    ZarWav.Shared = nullptr;
    ZarWav.Mapping = nullptr;
}

}  // namespace

BOOL ZarWavAttach(HMODULE module)
{
    ZarWav.Module = module;
    ZarWav.Heap = GetProcessHeap();
    DisableThreadLibraryCalls(module);
    HANDLE device = ZarWavOpenDevice(kMixerDevice, GENERIC_READ);
    if (device == INVALID_HANDLE_VALUE) return FALSE;
    if (!ProbeBoard(device)) {
        CloseHandle(device);
        return FALSE;
    }
    // Any process may open the block, whoever made it.
    ZarWav.Security = HeapAlloc(ZarWav.Heap, HEAP_ZERO_MEMORY, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (ZarWav.Security == nullptr || !InitializeSecurityDescriptor(ZarWav.Security, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(ZarWav.Security, TRUE, nullptr, FALSE)) {
        CloseHandle(device);
        return FALSE;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, ZarWav.Security, FALSE};
    ZarWav.Mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(ZARWAV_SHARED_STATE), kMappingName);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (ZarWav.Mapping != nullptr)
        ZarWav.Shared = static_cast<ZARWAV_SHARED_STATE*>(MapViewOfFile(ZarWav.Mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    BOOL ok = ZarWav.Shared != nullptr;
    ZARWAV_SHARED_STATE* s = ZarWav.Shared;
    if (ok && existed) {
        ok = s->Version == kZarWavLayoutVersion && s->Minor >= 1;
    } else if (ok) {
        std::memset(s, 0, sizeof *s);
        s->DeviceCount = 1;
        s->OutPerMixer = 1;
        ZarWavBuildTables(s);
        LoadSettings(device, s);
        QueryDigitalOption(s);
        ZarWavClearForbiddenDigital(s);
        ProgramBoard(device, s);
        // Published last: a process joining meanwhile sees an unfinished block
        // refused rather than half made.
        s->Minor = 1;
        s->Version = kZarWavLayoutVersion;
    }
    if (ok) ZarWavWriteLineStates(s->DigitalPresent);
    CloseHandle(device);
    if (!ok) {
        Unmap();
        HeapFree(ZarWav.Heap, 0, ZarWav.Security);
        ZarWav.Security = nullptr;
        return FALSE;
    }
    ZarWav.Attached = TRUE;
    return TRUE;
}

void ZarWavDetach(BOOL processExit)
{
    if (!ZarWav.Attached) return;
    // A program that ends with devices open: its workers and the listener
    // stop before its connection to the machine goes.
    if (processExit) ZarWavWaveUnload();
    ZarWavMixerUnload(processExit);
    HANDLE device = ZarWavOpenDevice(kMixerDevice, GENERIC_READ);
    if (device != INVALID_HANDLE_VALUE) {
        ZarWavRequest(device, IOCTL_ZAR_WAVE_SAVE_MIXER_SETTINGS, &ZarWav.Shared->Mixer, sizeof(ZARWAV_MIXER_SETTINGS),
                      nullptr, 0);
        CloseHandle(device);
    }
    Unmap();
    HeapFree(ZarWav.Heap, 0, ZarWav.Security);
    ZarWav.Security = nullptr;
    if (ZarWav.WaveLockReady) DeleteCriticalSection(&ZarWav.WaveLock);
    ZarWav.WaveLockReady = FALSE;
    ZarWav.Attached = FALSE;
    ZarWav.Enabled = FALSE;
}

LRESULT ZarWavDriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
        ZarWav.Enabled = ZarWav.Attached;
        if (!ZarWav.WaveLockReady) InitializeCriticalSection(&ZarWav.WaveLock);
        ZarWav.WaveLockReady = TRUE;
        return 1;
    case DRV_FREE:
        // The last user lets go, outside the loader's lock: the threads can
        // be waited for here, not at detach.
        ZarWavWaveUnload();
        ZarWavMixerUnload(TRUE);
        return 1;
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_QUERYCONFIGURE:
    case DRV_PNPINSTALL: return 1;
    case DRV_CONFIGURE:
        // Right after an install the system restarts instead.
        if (ZarWav.JustInstalled) {
            ZarWav.JustInstalled = FALSE;
            return DRVCNF_RESTART;
        }
        return ZarWavConfigure(reinterpret_cast<HWND>(param1));
    case DRV_INSTALL:
        ZarWav.JustInstalled = TRUE;
        return ZarWavInstall();
    case DRV_REMOVE: return ZarWavRemove();
    default: return DefDriverProc(id, driver, message, param1, param2);
    }
}

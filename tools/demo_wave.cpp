// The demo's wave-driver section. WinMM finds ZARWAV.dll in the machine's
// driver list (written here when missing) and loads it from the build's
// library folder; everything after that is what any Windows program does.

#include "demo_wave.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "include/zarwav.h"
#include "mmddk.h"
#include "script.h"
#include "snapshot.h"
#include "wave_file.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kRate = 48000;
constexpr double kLeftHz = 1002, kRightHz = 2004;  // the audio section's two tones
constexpr double kAmplitude = 4096;                 // -18 dBFS: the mix's gain brings it back unclipped
constexpr DWORD kPlayFrames = 4800, kPlayBuffers = 20;  // two seconds
constexpr DWORD kRecFrames = 2400, kRecBuffers = 8;

std::string LibraryFolder()
{
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    return (fs::path(std::string(path, size_t(n))).parent_path().parent_path() / "lib").string();
}

// The driver list names ZARWAV.dll for wave and mixer devices.
void ListDriver()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMmDriversKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    for (const char* value : {"wave", "mixer"}) {
        char name[64] = {};
        DWORD type = 0, size = sizeof name;
        if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS) continue;
        RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>("ZARWAV.dll"), 11);
        std::printf("  driver list: %s = ZARWAV.dll\n", value);
    }
    RegCloseKey(key);
}

void ShowMixer(HMIXER mixer)
{
    MIXERCAPSA caps{};
    mixerGetDevCapsA(0, &caps, sizeof caps);
    std::printf("  mixer \"%s\" (maker %u, product %u, version %u.%u), %lu destinations:\n", caps.szPname, caps.wMid,
                caps.wPid, caps.vDriverVersion >> 8, caps.vDriverVersion & 0xFF, static_cast<unsigned long>(caps.cDestinations));
    auto object = reinterpret_cast<HMIXEROBJ>(mixer);
    for (DWORD id = 0; id < 22; ++id) {
        MIXERLINEA line{};
        line.cbStruct = sizeof line;
        line.dwLineID = id;
        if (mixerGetLineInfoA(object, &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_LINEID) != MMSYSERR_NOERROR) break;
        std::vector<MIXERCONTROLA> controls(line.cControls);
        MIXERLINECONTROLSA lc{sizeof lc, id, {0}, line.cControls, sizeof(MIXERCONTROLA), controls.data()};
        mixerGetLineControlsA(object, &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL);
        std::string names;
        for (const MIXERCONTROLA& c : controls) names += std::string(names.empty() ? "" : ", ") + c.szName;
        const bool source = line.fdwLine & MIXERLINE_LINEF_SOURCE;
        std::printf("    %s%2lu %-16s %-6s%s: %s\n", source ? "  " : "", static_cast<unsigned long>(id), line.szName,
                    line.szShortName, (line.fdwLine & MIXERLINE_LINEF_ACTIVE) ? " (on)" : "", names.c_str());
    }
}

bool SetRecordSource(HMIXER mixer, DWORD item)
{
    std::vector<DWORD> items(10, 0);
    items[item] = 1;
    MIXERCONTROLDETAILS d{sizeof d, 4, 1, {}, sizeof(DWORD), items.data()};
    d.cMultipleItems = 10;
    return mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER) == MMSYSERR_NOERROR;
}

struct Measure {
    double hz = 0, dbfs = -120;
};
Measure MeasureChannel(const std::vector<int16_t>& frames, int channel, size_t from, size_t to)
{
    Measure m;
    double power = 0;
    size_t crossings = 0;
    for (size_t n = from + 1; n < to; ++n) {
        const int16_t a = frames[2 * (n - 1) + channel], b = frames[2 * n + channel];
        power += double(b) * b;
        if ((a < 0) != (b < 0)) ++crossings;
    }
    const size_t count = to > from + 1 ? to - from - 1 : 1;
    m.hz = crossings / 2.0 / (double(count) / kRate);
    if (power > 0) m.dbfs = 10 * std::log10(power / count / (32768.0 * 32768.0)) + 3.01;
    return m;
}

// Plays the two tones and records the loop-back meanwhile; the frames recorded.
std::vector<int16_t> PlayAndRecord()
{
    std::vector<int16_t> recorded;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    MMRESULT r = waveInOpen(&in, 0, &f, DWORD_PTR(event), 0, CALLBACK_EVENT);
    if (r == MMSYSERR_NOERROR) r = waveOutOpen(&out, 0, &f, DWORD_PTR(event), 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        std::printf("  the wave devices did not open (%u)\n", r);
        if (in != nullptr) waveInClose(in);
        CloseHandle(event);
        return recorded;
    }
    std::vector<std::vector<int16_t>> recData(kRecBuffers, std::vector<int16_t>(2 * kRecFrames));
    std::vector<WAVEHDR> rec(kRecBuffers);
    for (DWORD i = 0; i < kRecBuffers; ++i) {
        rec[i] = MakeHeader(reinterpret_cast<LPSTR>(recData[i].data()), 4 * kRecFrames);
        waveInPrepareHeader(in, &rec[i], sizeof(WAVEHDR));
        waveInAddBuffer(in, &rec[i], sizeof(WAVEHDR));
    }
    std::vector<std::vector<int16_t>> playData(kPlayBuffers, std::vector<int16_t>(2 * kPlayFrames));
    std::vector<WAVEHDR> play(kPlayBuffers);
    for (DWORD b = 0; b < kPlayBuffers; ++b) {
        for (DWORD n = 0; n < kPlayFrames; ++n) {
            const double t = double(b * kPlayFrames + n) / kRate;
            playData[b][2 * n] = int16_t(std::lround(kAmplitude * std::sin(2 * M_PI * kLeftHz * t)));
            playData[b][2 * n + 1] = int16_t(std::lround(kAmplitude * std::sin(2 * M_PI * kRightHz * t)));
        }
        play[b] = MakeHeader(reinterpret_cast<LPSTR>(playData[b].data()), 4 * kPlayFrames);
        waveOutPrepareHeader(out, &play[b], sizeof(WAVEHDR));
    }
    waveInStart(in);
    for (WAVEHDR& h : play) waveOutWrite(out, &h, sizeof h);
    for (DWORD next = 0; recorded.size() < size_t(2) * kRate * 2;) {
        WAVEHDR& h = rec[next % kRecBuffers];
        for (int i = 0; i < 100 && !(h.dwFlags & WHDR_DONE); ++i) WaitForSingleObject(event, 1000);
        if (!(h.dwFlags & WHDR_DONE)) break;
        const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
        recorded.insert(recorded.end(), s, s + h.dwBytesRecorded / 2);
        h.dwFlags &= ~WHDR_DONE;
        waveInAddBuffer(in, &h, sizeof h);
        ++next;
    }
    for (WAVEHDR& h : play)
        for (int i = 0; i < 100 && !(h.dwFlags & WHDR_DONE); ++i) WaitForSingleObject(event, 1000);
    MMTIME position{};
    position.wType = TIME_BYTES;
    waveOutGetPosition(out, &position, sizeof position);
    std::printf("  played %lu bytes through waveOutWrite (the driver's position: %lu bytes)\n",
                static_cast<unsigned long>(kPlayBuffers * kPlayFrames * 4), static_cast<unsigned long>(position.u.cb));
    waveInReset(in);
    waveOutReset(out);
    for (WAVEHDR& h : rec) waveInUnprepareHeader(in, &h, sizeof h);
    for (WAVEHDR& h : play) waveOutUnprepareHeader(out, &h, sizeof h);
    waveInClose(in);
    waveOutClose(out);
    CloseHandle(event);
    return recorded;
}

// DRV_CONFIGURE as the control panel sends it; the dialog's picture taken
// and the dialog closed with OK.
void ShowConfigureDialog(const fs::path& output)
{
    HDRVR driver = OpenDriver(u"ZARWAV.dll", nullptr, 0);
    if (driver == nullptr) return;
    const std::string picture = (output / "zarwav-dialog-101.png").string();
    bool written = false;
    user::script::SetIdleSteps({[&](HWND modal) {
        written = user::WriteWindowPng(modal, picture);
        user::script::Click(GetDlgItem(modal, IDOK));
    }});
    SendDriverMessage(driver, DRV_CONFIGURE, 0, 0);
    user::script::ClearIdleSteps();
    CloseDriver(driver, 0, 0);
    if (written) std::printf("  the configuration dialog 101: output/zarwav-dialog-101.png\n");
}

}  // namespace

void ShowWaveDriver(const DemoWaveContext& context)
{
    std::printf("\n== Wave driver: the board's sound through WinMM ==\n");
    if (std::getenv("ZAR_DLL_PATH") == nullptr) ::setenv("ZAR_DLL_PATH", LibraryFolder().c_str(), 1);
    ListDriver();
    mmReloadDrivers();
    WAVEOUTCAPSA outCaps{};
    WAVEINCAPSA inCaps{};
    if (waveOutGetNumDevs() == 0 || mixerGetNumDevs() == 0) {
        std::printf("  WinMM lists no devices of the board (the wave driver did not load)\n");
        return;
    }
    waveOutGetDevCapsA(0, &outCaps, sizeof outCaps);
    waveInGetDevCapsA(0, &inCaps, sizeof inCaps);
    std::printf("  WinMM lists \"%s\", \"%s\" and one mixer\n", outCaps.szPname, inCaps.szPname);
    HMIXER mixer = nullptr;
    if (mixerOpen(&mixer, 0, 0, 0, 0) != MMSYSERR_NOERROR) return;
    ShowMixer(mixer);
    SetRecordSource(mixer, 5);  // Digital - Wave: the play mix looped back
    std::printf("  record source: Digital - Wave; playing 1,002 Hz left and 2,004 Hz right at -18 dBFS for two seconds\n");
    std::vector<int16_t> recorded = PlayAndRecord();
    mixerClose(mixer);
    const fs::path output = fs::path(context.machineFolder) / "output";
    std::error_code ec;
    fs::create_directories(output, ec);
    if (!recorded.empty()) {
        std::string error;
        const std::string file = (output / "wave-driver-loopback.wav").string();
        if (wavefile::Write(file, recorded.data(), uint32_t(recorded.size() / 2), 2, kRate, &error))
            std::printf("  recorded %lu frames with waveIn: output/wave-driver-loopback.wav\n",
                        static_cast<unsigned long>(recorded.size() / 2));
        else
            std::printf("  the recording was not written: %s\n", error.c_str());
        size_t start = 0;
        while (start < recorded.size() / 2 && std::abs(recorded[2 * start]) < 200) ++start;
        const size_t end = std::min(recorded.size() / 2, start + kRate);
        if (end > start + kRate / 4) {
            for (int channel = 0; channel < 2; ++channel) {
                Measure m = MeasureChannel(recorded, channel, start + 100, end);
                std::printf("    %s: %.0f Hz at %.1f dBFS\n", channel == 0 ? "left " : "right", m.hz, m.dbfs);
            }
        } else {
            std::printf("    no tone came back\n");
        }
    }
    ShowConfigureDialog(output);
    mmReloadDrivers();  // the driver saves its mixer settings to the board as it goes
}

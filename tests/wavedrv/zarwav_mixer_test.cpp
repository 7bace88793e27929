// The mixer "Solvane Mixer" as a Windows program sees it through WinMM:
// capabilities, lines and controls, values kept in the shared block, the
// mix rules, the private messages, change callbacks, and what persists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/zarwav.h"
#include "tests/wavedrv/zarwav_machine.h"
#include "wavedrv/zarwav.h"

namespace {

class ZarWavMixer : public ZarWavMachine {
protected:
    bool DigitalOption() const override { return true; }

    void SetUp() override
    {
        ZarWavMachine::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(mixerGetNumDevs(), 1u);
        ASSERT_EQ(mixerOpen(&mixer_, 0, 0, 0, 0), MMSYSERR_NOERROR);
    }
    void TearDown() override
    {
        if (mixer_ != nullptr) mixerClose(mixer_);
        ZarWavMachine::TearDown();
    }
    HMIXEROBJ Object() const { return reinterpret_cast<HMIXEROBJ>(mixer_); }

    MMRESULT Get(DWORD control, DWORD channels, std::vector<DWORD>& values, DWORD items = 0)
    {
        values.assign(channels * (items ? items : 1), 0xDEAD);
        MIXERCONTROLDETAILS d{sizeof d, control, channels, {}, sizeof(DWORD), values.data()};
        d.cMultipleItems = items;
        return mixerGetControlDetailsA(Object(), &d, MIXER_OBJECTF_HMIXER);
    }
    MMRESULT Set(DWORD control, std::vector<DWORD> values, DWORD channels, DWORD items = 0)
    {
        MIXERCONTROLDETAILS d{sizeof d, control, channels, {}, sizeof(DWORD), values.data()};
        d.cMultipleItems = items;
        return mixerSetControlDetails(Object(), &d, MIXER_OBJECTF_HMIXER);
    }

    HMIXER mixer_ = nullptr;
};

TEST_F(ZarWavMixer, ReportsItsCapabilitiesAndTheSharedBlock)
{
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.wMid, 191);
    EXPECT_EQ(caps.wPid, 514);
    EXPECT_EQ(caps.vDriverVersion, 0x0102u);
    EXPECT_STREQ(caps.szPname, "Solvane Mixer");
    EXPECT_EQ(caps.cDestinations, 2u);
    EXPECT_EQ(caps.fdwSupport, 0u);

    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "ZarWaveMemFileMap");
    ASSERT_NE(mapping, nullptr);
    auto* s = static_cast<const ZARWAV_SHARED_STATE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Version, 4);
    EXPECT_EQ(s->Minor, 1);
    EXPECT_EQ(s->DeviceCount, 1u);
    EXPECT_EQ(s->OutPerMixer, 1u);
    EXPECT_EQ(s->DigitalPresent, 1u);
    EXPECT_EQ(s->DigitalMask & 0x330000u, 0x330000u) << "the option offers SDI, DV, AES and S/PDIF";
    EXPECT_EQ(s->Mixer.Version, 4u);
    // The level tables at their ends and a middle value.
    EXPECT_EQ(s->Atten5[0], 31);
    EXPECT_EQ(s->Atten5[6], 26);
    EXPECT_EQ(s->Atten5[255], 0);
    EXPECT_EQ(s->Atten6[0], 51);
    EXPECT_EQ(s->Atten6[2], 41);
    EXPECT_EQ(s->Atten6[255], 0);
    EXPECT_EQ(s->Gain4[255], 15);
    EXPECT_EQ(s->Gain4[8], 0);
    EXPECT_EQ(s->Gain4[9], 1);
    EXPECT_EQ(s->Multiplier[128], 128u * 512);
    UnmapViewOfFile(s);
    CloseHandle(mapping);
}

TEST_F(ZarWavMixer, ListsTwentyTwoLinesAndTwentySevenControls)
{
    struct Row {
        DWORD id, destination, source;
        const char* shortName;
        const char* name;
        DWORD component, controls, connections;
    } rows[] = {
        {0, 0, 0, "Play", "Play Control", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 3, 9},
        {1, 1, 0, "Rec", "Record Control", MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 3, 11},
        {2, 0, 0, "Wave", "Wave", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 2, 0},
        {6, 0, 4, "Aux", "Auxilary", MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY, 1, 0},
        {10, 0, 8, "SPDIF", "Digital - SPDIF", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 1, 0},
        {11, 1, 0, "Wave", "Wave", MIXERLINE_COMPONENTTYPE_SRC_ANALOG, 1, 0},
        {16, 1, 5, "Gain", "Analog Gain", MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED, 1, 0},
        {17, 1, 6, "DigWave", "Digital - Wave", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 1, 0},
        {21, 1, 10, "SPDIF", "Digital - SPDIF", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 1, 0},
    };
    DWORD total = 0;
    for (DWORD id = 0; id < 22; ++id) {
        MIXERLINEA l{};
        l.cbStruct = sizeof l;
        l.dwLineID = id;
        ASSERT_EQ(mixerGetLineInfoA(Object(), &l, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_LINEID), MMSYSERR_NOERROR);
        total += l.cControls;
        EXPECT_EQ(l.cChannels, 2u);
        EXPECT_EQ((l.fdwLine & MIXERLINE_LINEF_SOURCE) != 0, id >= 2) << id;
        for (const Row& r : rows) {
            if (r.id != id) continue;
            EXPECT_EQ(l.dwDestination, r.destination) << id;
            EXPECT_EQ(l.dwSource, r.source) << id;
            EXPECT_STREQ(l.szShortName, r.shortName);
            EXPECT_STREQ(l.szName, r.name);
            EXPECT_EQ(l.dwComponentType, r.component) << id;
            EXPECT_EQ(l.cControls, r.controls) << id;
            EXPECT_EQ(l.cConnections, r.connections) << id;
            // The same line by destination and source.
            MIXERLINEA bySource{};
            bySource.cbStruct = sizeof bySource;
            bySource.dwDestination = r.destination;
            bySource.dwSource = r.source;
            DWORD how = id < 2 ? MIXER_GETLINEINFOF_DESTINATION : MIXER_GETLINEINFOF_SOURCE;
            ASSERT_EQ(mixerGetLineInfoA(Object(), &bySource, MIXER_OBJECTF_HMIXER | how), MMSYSERR_NOERROR);
            EXPECT_EQ(bySource.dwLineID, id);
        }
    }
    EXPECT_EQ(total, 27u);

    // By target: the wave-out line, named without regard to case.
    MIXERLINEA t{};
    t.cbStruct = sizeof t;
    t.Target.dwType = MIXERLINE_TARGETTYPE_WAVEOUT;
    t.Target.wMid = 191;
    t.Target.wPid = 514;
    t.Target.vDriverVersion = 0x0102;
    std::strcpy(t.Target.szPname, "SOLVANE WAVE OUT");
    ASSERT_EQ(mixerGetLineInfoA(Object(), &t, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_TARGETTYPE), MMSYSERR_NOERROR);
    EXPECT_EQ(t.dwLineID, 2u);
    t.Target.wMid = 1;
    EXPECT_EQ(mixerGetLineInfoA(Object(), &t, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_TARGETTYPE), MIXERR_INVALLINE);

    MIXERCONTROLA controls[3] = {};
    MIXERLINECONTROLSA lc{sizeof lc, 0, {0}, 3, sizeof(MIXERCONTROLA), controls};
    ASSERT_EQ(mixerGetLineControlsA(Object(), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
    EXPECT_STREQ(controls[0].szName, "Master Volume");
    EXPECT_EQ(controls[0].dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
    EXPECT_EQ(controls[0].Bounds.dwMaximum, 65535u);
    EXPECT_EQ(controls[0].Metrics.cSteps, 64u);
    EXPECT_EQ(controls[2].dwControlType, MIXERCONTROL_CONTROLTYPE_MIXER);
    EXPECT_EQ(controls[2].cMultipleItems, 9u);
    lc.cControls = 2;
    EXPECT_EQ(mixerGetLineControlsA(Object(), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL), MMSYSERR_INVALPARAM);
    lc.dwControlID = 5;
    ASSERT_EQ(mixerGetLineControlsA(Object(), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYID), MMSYSERR_NOERROR);
    EXPECT_STREQ(controls[0].szName, "Record VU Meter");
    EXPECT_EQ(controls[0].Bounds.lMinimum, -32768);
    EXPECT_EQ(lc.dwLineID, 1u);
    lc.dwControlID = 27;
    EXPECT_EQ(mixerGetLineControlsA(Object(), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYID), MIXERR_INVALCONTROL);
    lc.dwLineID = 3;
    lc.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
    EXPECT_EQ(mixerGetLineControlsA(Object(), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE), MIXERR_INVALCONTROL);
}

TEST_F(ZarWavMixer, VolumesReadAsLevelTimes257AndOneChannelAsTheirMean)
{
    ASSERT_EQ(Set(8, {100 << 8, 200 << 8}, 2), MMSYSERR_NOERROR);  // CD Audio Volume
    std::vector<DWORD> v;
    ASSERT_EQ(Get(8, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{100 * 257, 200 * 257}));
    ASSERT_EQ(Get(8, 1, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v[0], 150u * 257);
    // The record line's CD volume is the same pair of bytes.
    ASSERT_EQ(Get(17, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{100 * 257, 200 * 257}));
    // One channel sets both.
    ASSERT_EQ(Set(0, {0x4000}, 1), MMSYSERR_NOERROR);
    ASSERT_EQ(Get(0, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{0x40 * 257, 0x40 * 257}));
    // Mutes read the "on" byte inverted.
    ASSERT_EQ(Set(1, {1}, 1), MMSYSERR_NOERROR);
    ASSERT_EQ(Get(1, 1, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v[0], 1u);

    struct Bad {
        DWORD control, channels, items;
        MMRESULT expected;
    } bad[] = {{27, 1, 0, MIXERR_INVALVALUE}, {8, 3, 0, MIXERR_INVALVALUE}, {2, 1, 0, MIXERR_INVALVALUE},
               {2, 1, 8, MIXERR_INVALVALUE}};
    for (const Bad& b : bad) EXPECT_EQ(Get(b.control, b.channels, v, b.items), b.expected) << b.control;
}

TEST_F(ZarWavMixer, RecordSourcesAreAnalogOrExactlyOneDigitalSource)
{
    // Items: Wave, CD, UnBal, Bal, Aux, DigWave, SDI, DV, AES, S/PDIF.
    std::vector<DWORD> v;
    ASSERT_EQ(Set(4, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 10), MMSYSERR_NOERROR);
    ASSERT_EQ(Get(4, 1, v, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(Set(4, {1, 1, 0, 0, 0, 0, 0, 0, 1, 0}, 1, 10), MMSYSERR_NOERROR);  // AES added
    ASSERT_EQ(Get(4, 1, v, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{0, 0, 0, 0, 0, 0, 0, 0, 1, 0})) << "only Digital - AES is left";
    ASSERT_EQ(Set(4, {0, 1, 0, 0, 0, 0, 0, 0, 1, 0}, 1, 10), MMSYSERR_NOERROR);  // CD added back
    ASSERT_EQ(Get(4, 1, v, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{0, 1, 0, 0, 0, 0, 0, 0, 0, 0})) << "an analog source ends the digital one";

    // The play mix keeps at most one digital source beside the analog ones.
    ASSERT_EQ(Set(2, {1, 0, 0, 0, 0, 1, 0, 0, 0}, 1, 9), MMSYSERR_NOERROR);
    ASSERT_EQ(Set(2, {1, 0, 0, 0, 0, 1, 1, 0, 0}, 1, 9), MMSYSERR_NOERROR);
    ASSERT_EQ(Get(2, 1, v, 9), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{1, 0, 0, 0, 0, 0, 1, 0, 0}));

    // The names of the items come with their line IDs.
    std::vector<MIXERCONTROLDETAILS_LISTTEXTA> texts(10);
    MIXERCONTROLDETAILS d{sizeof d, 4, 1, {}, sizeof(MIXERCONTROLDETAILS_LISTTEXTA), texts.data()};
    d.cMultipleItems = 10;
    ASSERT_EQ(mixerGetControlDetailsA(Object(), &d, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_LISTTEXT), MMSYSERR_NOERROR);
    EXPECT_EQ(texts[5].dwParam1, 17u);
    EXPECT_STREQ(texts[5].szName, "Digital - Wave");
    EXPECT_STREQ(texts[4].szName, "Auxilary");
}

struct Heard {
    HANDLE event;
    std::vector<DWORD> controls;
};
void CALLBACK OnChange(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR control, DWORD_PTR)
{
    auto* h = reinterpret_cast<Heard*>(instance);
    if (message == MM_MIXM_CONTROL_CHANGE) h->controls.push_back(DWORD(control));
    SetEvent(h->event);
}

TEST_F(ZarWavMixer, AChangeReachesEveryHandleThatAskedAndTheWaveVolumeTwin)
{
    Heard heard{CreateEventA(nullptr, FALSE, FALSE, nullptr), {}};
    HMIXER listening = nullptr;
    ASSERT_EQ(mixerOpen(&listening, 0, DWORD_PTR(&OnChange), DWORD_PTR(&heard), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(Set(6, {0x8000, 0x8000}, 2), MMSYSERR_NOERROR);  // Wave Volume, play line
    while (heard.controls.size() < 2) ASSERT_EQ(WaitForSingleObject(heard.event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(heard.controls, (std::vector<DWORD>{6, 16}));

    // Another announcer on the board's wave front (as another process's
    // mixer is) reaches this one too.
    HANDLE other = CreateFileA("\\\\.\\ZarWaveMixer0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ULONG change[4] = {MM_MIXM_CONTROL_CHANGE, 21, 0, 0};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(other, IOCTL_ZAR_WAVE_CTRL_CHANGE, change, sizeof change, nullptr, 0, &bytes, nullptr));
    while (heard.controls.size() < 3) ASSERT_EQ(WaitForSingleObject(heard.event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(heard.controls.back(), 21u);
    CloseHandle(other);
    mixerClose(listening);
    CloseHandle(heard.event);
}

TEST_F(ZarWavMixer, PrivateMessagesReadAndSaveTheSettingsAndResetTheLevels)
{
    ZARWAV_SETTINGS s{sizeof s, 0, 0, 0, 0};
    ASSERT_EQ(mixerMessage(mixer_, ZARWAV_MXDM_GET_SETTINGS, DWORD_PTR(&s), 0), MMSYSERR_NOERROR);
    EXPECT_EQ(s.Enabled, 1u);
    EXPECT_EQ(s.ForceSampleRate, 0u);
    EXPECT_EQ(s.SampleRate, 48000u);
    EXPECT_EQ(s.InterpQuality, 3u);
    ZARWAV_SETTINGS wrong{19, 0, 0, 0, 0};
    EXPECT_EQ(mixerMessage(mixer_, ZARWAV_MXDM_GET_SETTINGS, DWORD_PTR(&wrong), 0), MMSYSERR_ERROR);
    ZARWAV_SETTINGS next{sizeof next, 1, 1, 44100, 2};
    ASSERT_EQ(mixerMessage(mixer_, ZARWAV_MXDM_SET_SETTINGS, DWORD_PTR(&next), 0), MMSYSERR_NOERROR);
    // Saved by the board driver under its wave parameters.
    ULONG rate = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"SampleRate");
    table[0].EntryContext = &rate;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"ZARWAV\\Parameters", table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);

    ASSERT_EQ(Set(0, {0x1000, 0x1000}, 2), MMSYSERR_NOERROR);
    ZARWAV_RESET_LEVELS reset{sizeof reset, 1};
    ASSERT_EQ(mixerMessage(mixer_, ZARWAV_MXDM_RESET_LEVELS, DWORD_PTR(&reset), 0), MMSYSERR_NOERROR);
    std::vector<DWORD> v;
    ASSERT_EQ(Get(0, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{255 * 257, 255 * 257}));
    ASSERT_EQ(Get(21, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{0, 0}));
    reset.cbStruct = 9;
    EXPECT_EQ(mixerMessage(mixer_, ZARWAV_MXDM_RESET_LEVELS, DWORD_PTR(&reset), 0), MMSYSERR_ERROR);
    EXPECT_EQ(mixerMessage(mixer_, 0x4043, 0, 0), MMSYSERR_NOTSUPPORTED);
}

TEST_F(ZarWavMixer, LevelsAndLineStatesOutliveTheLibrary)
{
    ASSERT_EQ(Set(9, {0x3000, 0x5000}, 2), MMSYSERR_NOERROR);  // Unbalanced Volume
    mixerClose(mixer_);
    mixer_ = nullptr;
    mmReloadDrivers();  // the last process lets go: the block is gone, the board keeps the levels
    ASSERT_EQ(mixerOpen(&mixer_, 0, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<DWORD> v;
    ASSERT_EQ(Get(9, 2, v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, (std::vector<DWORD>{0x30 * 257, 0x50 * 257}));

    struct Dest {
        const char* subkey;
        DWORD bytes;
    } dests[] = {{"Play", 1320}, {"Rec", 1584}};
    for (const Dest& d : dests) {
        std::string path = std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\Solvane Mixer\\") + d.subkey;
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << d.subkey;
        std::vector<BYTE> value(4096);
        DWORD type = 0, size = DWORD(value.size());
        ASSERT_EQ(RegQueryValueExA(key, "LineStates", nullptr, &type, value.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_BINARY);
        EXPECT_EQ(size, d.bytes) << d.subkey;
        RegCloseKey(key);
        if (std::string(d.subkey) == "Rec") {
            // "Wave" (record 1) and "Digital - Wave" (record 7) are hidden; with the option the others show.
            auto state = [&](int i) { DWORD s; std::memcpy(&s, &value[132 * i], 4); return s; };
            EXPECT_EQ(state(0), 0u);
            EXPECT_EQ(state(1), 4u);
            EXPECT_EQ(state(6), 0u);
            EXPECT_EQ(state(7), 4u);
            EXPECT_EQ(state(9), 0u);
            EXPECT_EQ(value[132 * 7 + 4], 'D');
        }
    }
}

// Without the option the digital lines are hidden and cannot be chosen.
class ZarWavMixerPlain : public ZarWavMachine {};

TEST_F(ZarWavMixerPlain, DigitalSourcesNeedTheOption)
{
    HMIXER mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<DWORD> v{0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    MIXERCONTROLDETAILS d{sizeof d, 4, 1, {}, sizeof(DWORD), v.data()};
    d.cMultipleItems = 10;
    ASSERT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    ASSERT_EQ(mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    EXPECT_EQ(v[8], 0u) << "AES is not offered";
    // Digital - Wave needs no option.
    v.assign(10, 0);
    v[5] = 1;
    ASSERT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    ASSERT_EQ(mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer), &d, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    EXPECT_EQ(v[5], 1u);
    mixerClose(mixer);
}

// A board whose firmware does not answer keeps the library from loading.
class ZarWavSilentBoard : public ZarWavMachine {
protected:
    bool BoardAnswers() const override { return false; }
};

TEST_F(ZarWavSilentBoard, LeavesWinMMWithoutDevices)
{
    EXPECT_EQ(mixerGetNumDevs(), 0u);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    EXPECT_EQ(LoadLibraryA("ZARWAV.dll"), nullptr);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "ZarWaveMemFileMap"), nullptr);
}

}  // namespace

// The mixer's lines and controls.
#include "zarwav_tables.h"

const ZARWAV_LINE kZarWavLines[kLineCount] = {
    {0, -1, u"Play", u"Play Control", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, MIXERLINE_TARGETTYPE_UNDEFINED, u"", 0, 3, kMixNone, 0},
    {1, -1, u"Rec", u"Record Control", MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_TARGETTYPE_WAVEIN, kWaveInName, 3, 3, kMixNone, 0},
    {0, 0, u"Wave", u"Wave", MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, MIXERLINE_TARGETTYPE_WAVEOUT, kWaveOutName, 6, 2, kMixAnalog, kWave},
    {0, 1, u"CD", u"CD Audio", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, 0, u"", 8, 1, kMixAnalog, kCd},
    {0, 2, u"UnBal", u"Unbalanced", MIXERLINE_COMPONENTTYPE_SRC_LINE, 0, u"", 9, 1, kMixAnalog, kUnbalanced},
    {0, 3, u"Bal", u"Balanced", MIXERLINE_COMPONENTTYPE_SRC_LINE, 0, u"", 10, 1, kMixAnalog, kBalanced},
    {0, 4, u"Aux", u"Auxilary", MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY, 0, u"", 11, 1, kMixAnalog, kAuxiliary},
    {0, 5, u"SDI", u"Digital - SDI", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 12, 1, kMixDigital, kSdi},
    {0, 6, u"DV", u"Digital - DV", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 13, 1, kMixDigital, kDv},
    {0, 7, u"AES", u"Digital - AES", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 14, 1, kMixDigital, kAes},
    {0, 8, u"SPDIF", u"Digital - SPDIF", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 15, 1, kMixDigital, kSpdif},
    {1, 0, u"Wave", u"Wave", MIXERLINE_COMPONENTTYPE_SRC_ANALOG, 0, u"", 16, 1, kMixAnalog, kWave},
    {1, 1, u"CD", u"CD Audio", MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, 0, u"", 17, 1, kMixAnalog, kCd},
    {1, 2, u"UnBal", u"Unbalanced", MIXERLINE_COMPONENTTYPE_SRC_LINE, 0, u"", 18, 1, kMixAnalog, kUnbalanced},
    {1, 3, u"Bal", u"Balanced", MIXERLINE_COMPONENTTYPE_SRC_LINE, 0, u"", 19, 1, kMixAnalog, kBalanced},
    {1, 4, u"Aux", u"Auxilary", MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY, 0, u"", 20, 1, kMixAnalog, kAuxiliary},
    {1, 5, u"Gain", u"Analog Gain", MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED, 0, u"", 21, 1, kMixGain, 0},
    {1, 6, u"DigWave", u"Digital - Wave", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 22, 1, kMixDigital, kDigitalWave},
    {1, 7, u"SDI", u"Digital - SDI", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 23, 1, kMixDigital, kSdi},
    {1, 8, u"DV", u"Digital - DV", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 24, 1, kMixDigital, kDv},
    {1, 9, u"AES", u"Digital - AES", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 25, 1, kMixDigital, kAes},
    {1, 10, u"SPDIF", u"Digital - SPDIF", MIXERLINE_COMPONENTTYPE_SRC_DIGITAL, 0, u"", 26, 1, kMixDigital, kSpdif},
};

const ZARWAV_CONTROL kZarWavControls[kControlCount] = {
    {0, u"Master Vol", u"Master Volume", kVolume, kLevelMaster, 0},
    {0, u"Master Mute", u"Master Mute", kMasterMute, kLevelNone, 0},
    {0, u"Output Mixer", u"Output Mixer", kPlayMixer, kLevelNone, 0},
    {1, u"Record Mute", u"Record Mute", kRecordMute, kLevelNone, 0},
    {1, u"Record Sources", u"Record Sources", kRecordMixer, kLevelNone, 0},
    {1, u"Record VU", u"Record VU Meter", kRecordMeter, kLevelNone, 0},
    {2, u"Wave Vol", u"Wave Volume", kVolume, kLevelAnalog, kWave},
    {2, u"Wave VU", u"Wave VU Meter", kPlayMeter, kLevelNone, 0},
    {3, u"CD Vol", u"CD Audio Volume", kVolume, kLevelAnalog, kCd},
    {4, u"UnBal Vol", u"Unbalanced Volume", kVolume, kLevelAnalog, kUnbalanced},
    {5, u"Bal Vol", u"Balanced Volume", kVolume, kLevelAnalog, kBalanced},
    {6, u"Aux Vol", u"Auxiliary Volume", kVolume, kLevelAnalog, kAuxiliary},
    {7, u"SDI Ctrl", u"SDI Control", kDigitalSwitch, kLevelNone, 0},
    {8, u"DV Ctrl", u"DV Control", kDigitalSwitch, kLevelNone, 0},
    {9, u"AES Ctrl", u"AES Control", kDigitalSwitch, kLevelNone, 0},
    {10, u"SPDIF Ctrl", u"S/PDIF Control", kDigitalSwitch, kLevelNone, 0},
    {11, u"Wave Vol", u"Wave Volume", kVolume, kLevelAnalog, kWave},
    {12, u"CD Vol", u"CD Audio Volume", kVolume, kLevelAnalog, kCd},
    {13, u"UnBal Vol", u"Unbalanced Volume", kVolume, kLevelAnalog, kUnbalanced},
    {14, u"Bal Vol", u"Balanced Volume", kVolume, kLevelAnalog, kBalanced},
    {15, u"Aux Vol", u"Auxiliary Volume", kVolume, kLevelAnalog, kAuxiliary},
    {16, u"Analog Gain", u"Analog Gain", kVolume, kLevelGain, 0},
    {17, u"DigWave Ctrl", u"DigWave Control", kDigitalSwitch, kLevelNone, 0},
    {18, u"SDI Ctrl", u"SDI Control", kDigitalSwitch, kLevelNone, 0},
    {19, u"DV Ctrl", u"DV Control", kDigitalSwitch, kLevelNone, 0},
    {20, u"AES Ctrl", u"AES Control", kDigitalSwitch, kLevelNone, 0},
    {21, u"SPDIF Ctrl", u"S/PDIF Control", kDigitalSwitch, kLevelNone, 0},
};

const ULONG kPlayMixItems[9] = {2, 3, 4, 5, 6, 7, 8, 9, 10};
const ULONG kRecordMixItems[10] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21};

DWORD ZarWavControlType(ZARWAV_CONTROL_KIND kind)
{
    switch (kind) {
    case kVolume: return MIXERCONTROL_CONTROLTYPE_VOLUME;
    case kPlayMixer:
    case kRecordMixer: return MIXERCONTROL_CONTROLTYPE_MIXER;
    case kRecordMeter:
    case kPlayMeter: return MIXERCONTROL_CONTROLTYPE_PEAKMETER;
    default: return MIXERCONTROL_CONTROLTYPE_MUTE;
    }
}

UCHAR* ZarWavMixByte(ZARWAV_MIXER_SETTINGS* m, const ZARWAV_LINE& line)
{
    const bool record = line.Destination == 1;
    switch (line.Mix) {
    case kMixAnalog: return record ? &m->Analog[line.Index].Record : &m->Analog[line.Index].Play;
    case kMixDigital: return record ? &m->Digital[line.Index].Record : &m->Digital[line.Index].Play;
    default: return nullptr;
    }
}

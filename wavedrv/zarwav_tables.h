// The mixer "Solvane Mixer" as data: its 22 lines and 27 controls, and
// where each keeps its value in the shared block. The mixer's code walks
// these tables; nothing else describes the lines again.
#pragma once

#include "zarwav.h"

inline constexpr ULONG kLineCount = 22;
inline constexpr ULONG kControlCount = 27;
inline constexpr WORD kZarWavMid = 191, kZarWavPid = 514;
inline constexpr MMVERSION kZarWavVersion = 0x0102;
inline constexpr WCHAR kWaveOutName[] = u"Solvane Wave Out";
inline constexpr WCHAR kWaveInName[] = u"Solvane Wave In";
inline constexpr WCHAR kMixerName[] = u"Solvane Mixer";

// Where a line's "on" byte lives: a source of the play or record mix.
enum ZARWAV_MIX_REF : ULONG { kMixNone, kMixAnalog, kMixDigital, kMixGain };

struct ZARWAV_LINE {
    ULONG Destination;
    LONG Source;  // -1: the line is a destination
    const WCHAR* ShortName;
    const WCHAR* Name;
    DWORD ComponentType;
    DWORD TargetType;
    const WCHAR* TargetName;
    ULONG FirstControl, Controls;
    ZARWAV_MIX_REF Mix;
    ULONG Index;  // ZARWAV_ANALOG or ZARWAV_DIGITAL
};

enum ZARWAV_CONTROL_KIND : ULONG { kVolume, kMasterMute, kRecordMute, kPlayMixer, kRecordMixer, kRecordMeter, kPlayMeter, kDigitalSwitch };
// Which levels a volume moves.
enum ZARWAV_LEVEL_REF : ULONG { kLevelNone, kLevelMaster, kLevelAnalog, kLevelGain };

struct ZARWAV_CONTROL {
    ULONG Line;
    const WCHAR* ShortName;
    const WCHAR* Name;
    ZARWAV_CONTROL_KIND Kind;
    ZARWAV_LEVEL_REF Level;
    ULONG Index;  // ZARWAV_ANALOG for kLevelAnalog
};

extern const ZARWAV_LINE kZarWavLines[kLineCount];
extern const ZARWAV_CONTROL kZarWavControls[kControlCount];
// The items of the two mixer controls: line IDs.
extern const ULONG kPlayMixItems[9];
extern const ULONG kRecordMixItems[10];

DWORD ZarWavControlType(ZARWAV_CONTROL_KIND kind);
// The line's "on" byte in its destination's mix, or null.
UCHAR* ZarWavMixByte(ZARWAV_MIXER_SETTINGS* m, const ZARWAV_LINE& line);

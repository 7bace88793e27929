// The wave driver ZARWAV as other parts of the system reach it: its private
// mixer messages, sent with mixerMessage to the mixer "Solvane Mixer", and
// their records.
#pragma once

#include <cstdint>

inline constexpr char kZarWavMixerName[] = "Solvane Mixer";

enum ZARWAV_MXDM_MESSAGE : uint32_t {
    ZARWAV_MXDM_GET_SETTINGS = 0x4040,   // param1: ZARWAV_SETTINGS*
    ZARWAV_MXDM_SET_SETTINGS = 0x4041,   // param1: const ZARWAV_SETTINGS*; saved by the board driver too
    ZARWAV_MXDM_RESET_LEVELS = 0x4042,   // param1: ZARWAV_RESET_LEVELS*
};

// The wave devices' preferences; the board driver keeps them as its
// Enabled, ForceSampleRate, SampleRate and InterpQuality values.
struct ZARWAV_SETTINGS {
    uint32_t cbStruct;         // 20
    uint32_t Enabled;          // wave devices offered
    uint32_t ForceSampleRate;  // play at SampleRate whatever the program's rate
    uint32_t SampleRate;       // Hz
    uint32_t InterpQuality;    // 0 (copy) to 3 (16-tap filter)
};
static_assert(sizeof(ZARWAV_SETTINGS) == 20);

struct ZARWAV_RESET_LEVELS {
    uint32_t cbStruct;  // 8
    uint32_t Reset;     // 0 does nothing
};
static_assert(sizeof(ZARWAV_RESET_LEVELS) == 8);

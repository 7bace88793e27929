// The demo's wave-driver section: the board's sound as a Windows program
// has it, through WinMM and the wave driver ZARWAV: the mixer's lines and
// controls listed, two tones played with waveOutWrite while the loop-back
// is recorded with waveIn, the recording written as a WAVE file and
// measured, and the driver's configuration dialog written as a picture.
#pragma once

#include <string>

struct DemoWaveContext {
    std::string machineFolder;  // pictures and sound go to <machineFolder>/output
};

void ShowWaveDriver(const DemoWaveContext& context);

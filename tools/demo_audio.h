// The demo's audio section: tones played on two tracks through the board's
// audio DMA with a level ramp, the loop-back recorded and written as a WAVE
// file, the meters and the recording's frequency and level shown.
#pragma once

#include <string>

struct DemoAudioContext {
    unsigned long board = 0;    // opened as \\.\KIVZAR<board>
    std::string machineFolder;  // the WAVE file goes to <machineFolder>/output
};

void ShowAudio(const DemoAudioContext& context);

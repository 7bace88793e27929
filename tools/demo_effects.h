// The demo's effects section: a picture loaded into graphics store A
// through the BRS DMA, keyed over a matte by the downstream key, then faded;
// a DVE move and a fade from play-list nodes; each step's programme output
// written as a picture.
#pragma once

#include <string>

namespace sim {
class Board;
}

struct DemoEffectsContext {
    unsigned long board = 0;         // opened as \\.\KIVZAR<board>
    sim::Board* hardware = nullptr;  // that board's simulation: its programme output and effect-unit register log only
    std::string machineFolder;       // the pictures go to <machineFolder>/output
};

void ShowEffects(const DemoEffectsContext& context);

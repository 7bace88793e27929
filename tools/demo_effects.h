// The demo's effects section: a picture loaded into graphics store A
// through the BRS DMA, keyed over a matte by the downstream key, then faded,
// each step's programme output written as a picture.
#pragma once

#include <string>

namespace sim {
class Board;
}

struct DemoEffectsContext {
    unsigned long board = 0;         // opened as \\.\KIVZAR<board>
    sim::Board* hardware = nullptr;  // that board's simulation: its programme output only
    std::string machineFolder;       // the pictures go to <machineFolder>/output
};

void ShowEffects(const DemoEffectsContext& context);

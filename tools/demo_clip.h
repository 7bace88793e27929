// The demo's clip section: a few seconds of moving video recorded through
// JPEG codec 0 onto the first drive and played back from it, all through
// the board's user-mode control codes, with the played pictures compared
// to the source and a few of them written as picture files.
#pragma once

#include <string>

namespace sim {
class Board;
}

struct DemoClipContext {
    unsigned long board = 0;        // opened as \\.\KIVZAR<board>
    sim::Board* hardware = nullptr; // that board's simulation: its video input and output only
    std::string machineFolder;      // the pictures go to <machineFolder>/output
};

// Prints the section; every wait is bounded and a failure ends the section
// with its reason.
void ShowClip(const DemoClipContext& context);

// The demo's time-code and capture section: the LTC generator looped into
// the LTC reader through the time-code driver's devices and shown in the
// burn-in window, and a ring of scaled captures paced with a play of the
// clip section's clip, written as one picture.
#pragma once

#include <string>

namespace sim {
class Board;
}

struct DemoTimeCodeContext {
    unsigned long board = 0;         // opened as \\.\KIVZAR<board>
    sim::Board* hardware = nullptr;  // that board's simulation: its output picture only; none in a client
    std::string machineFolder;       // the pictures go to <machineFolder>/output
};

void ShowTimeCode(const DemoTimeCodeContext& context);

// The demo's clip section: a few seconds of moving video recorded through
// JPEG codec 0 into a media file on board 0's media drive and played back
// from it, through the board's and the file system's user-mode control
// codes, with the played pictures compared to the source, a few of them
// written as picture files, and the file listed and read back as a clip
// file on the drive letter.
#pragma once

#include <cstdint>
#include <functional>
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

// The clip the section recorded, played once more from the drive for
// another section that rides on a play: the clip's first and last play
// positions (false when none was recorded), and the play, with 'eachTurn'
// called every few milliseconds while it runs; false when there was no
// clip or it did not play (the reason printed).
bool RecordedClipPositions(uint32_t* first, uint32_t* last);
bool PlayRecordedClip(const DemoClipContext& context, std::function<void()> eachTurn);

// The demo's section for the library's still capture, preview and volume
// upkeep on board 0: a still of the input through ZarDll written as a PNG,
// the preview shown in a window for a second and its picture written, and
// the media volume optimised (the clip section's copy deleted first) with
// its progress printed.
#pragma once

#include <string>

struct DemoMediaContext {
    unsigned long board = 0;
    std::string machineFolder;  // the pictures go to <machineFolder>/output
};

void ShowStillPreviewAndUpkeep(const DemoMediaContext& context);

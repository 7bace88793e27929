// The demo's frame-store section: the board's input frame store read back
// through its control code and written as a picture.
#pragma once

#include <string>

struct DemoFrameStoreContext {
    unsigned long board = 0;    // opened as \\.\KIVZAR<board>
    std::string machineFolder;  // the picture goes to <machineFolder>/output
};

void ShowFrameStore(const DemoFrameStoreContext& context);

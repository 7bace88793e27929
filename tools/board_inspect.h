// A debugger's look at the board driver of a machine booted in this
// process: a copy of what the driver keeps of each board, taken from its
// records as a kernel debugger would read them. Only tools that boot their
// own machine use it (the demo's report); user-mode code, and every client
// of a machine host, reaches a board through \\.\KIVZARn alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "include/zarkd.h"

namespace inspect {

struct BoardView {
    uint32_t board = 0;
    std::u16string deviceName;  // the board's device object
    ZAR_HARDWARE_INFO hardware{};
    // The parameters the driver took from its service key and the EEPROM.
    uint32_t eventLogLevel = 0, standard = 0, activeLinesPerField = 0, coreMode = 0;
    bool dvePresent = false;
    uint32_t dveWticDmaSizeWords = 0, blackAdjust = 0;
    std::optional<uint32_t> dmaTweakV, dmaTweakA;  // empty: not set
    bool disableAudioFifoResets = false, audioUnderflowLogging = false, sensitiveTiming = false,
         shortBlankingWait = false;
    uint32_t eeprom625Support = 0, eeprom24FpsSupport = 0;
    // What the board is doing.
    uint32_t boardRevision = 0;
    bool boardReady = false;
    bool interruptConnected = false;
    uint32_t fieldCounter = 0, fieldParity = 0, interruptCount = 0, spuriousInterruptCount = 0;
    uint32_t videoSource = 0, videoQuality = 0;
    bool videoLocked = false;
};

// False when the board driver has no device for 'board'.
bool ReadBoard(uint32_t board, BoardView* view);

}  // namespace inspect

// The bridge's four general-purpose pins, programmed through GPIO_CTRL
// (0xE0): the FPGAs' programming line, the frame store's strobe and the
// board lines the driver pulses.
//
// What this unit assumes where the driver's side leaves the hardware open:
// - Byte i of GPIO_CTRL is pin i, as the bridge documents it: bits 4-6 the
//   pin's mode (0 input, 1-3 input with an interrupt on the rising, falling
//   or either edge, 4 output low, 5 output high; 6 and 7 hand internal
//   signals out that this board does not use, taken as inputs), bit 2 reads
//   the level on the pin. The other bits read 0.
// - An input pin shows the level the board drives onto it (SetInput); a pin
//   nobody drives is pulled high. The edge interrupts of input pins are not
//   modelled: the driver never enables them.
// - After a reset every pin is an input.
// - Units that watch a pin (the FPGAs' programming line) hear every change of
//   its level, from a driver write or from the board.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "trace.h"

namespace sim {

class Saa7146;

namespace gpio {
inline constexpr int kPins = 4;
inline constexpr uint32_t kModeShift = 4;
inline constexpr uint32_t kModeMask = 0x70;
inline constexpr uint32_t kLevelBit = 0x04;
inline constexpr uint32_t kModeOutputLow = 4;
inline constexpr uint32_t kModeOutputHigh = 5;
}  // namespace gpio

class Gpio {
public:
    explicit Gpio(Saa7146& bridge);

    // Power-on: every pin an input, nothing driven from outside.
    void Reset();

    bool Level(int pin) const { return s_.level[pin & 3]; }
    bool IsOutput(int pin) const;
    uint32_t Mode(int pin) const { return s_.mode[pin & 3]; }
    // What the board drives onto a pin; reaches the pin while it is an input.
    void SetInput(int pin, bool high);

    using Watcher = std::function<void(int pin, bool level)>;
    void Watch(int pin, Watcher watcher);

    // Level changes of a pin since power-on (a pulse is two).
    uint32_t Edges(int pin) const { return s_.edges[pin & 3]; }

    Trace& GetTrace() { return trace_; }

private:
    struct State {
        std::array<uint32_t, gpio::kPins> mode{};
        std::array<bool, gpio::kPins> level{true, true, true, true};
        std::array<bool, gpio::kPins> input{true, true, true, true};  // what the board drives
        std::array<uint32_t, gpio::kPins> edges{};
    };

    void OnWrite(uint32_t written);
    void Update();  // levels from modes and inputs, then the register as read

    Saa7146& bridge_;
    State s_;
    std::array<std::vector<Watcher>, gpio::kPins> watchers_;
    Trace trace_{"gpio"};
};

}  // namespace sim

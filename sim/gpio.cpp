#include "gpio.h"

#include "saa7146.h"

namespace sim {

using namespace gpio;

Gpio::Gpio(Saa7146& bridge) : bridge_(bridge)
{
    bridge_.OnRegisterWrite(saa7146::kGpioCtrl, [this](uint32_t written) { OnWrite(written); });
    // A bridge reset clears GPIO_CTRL: every pin falls back to input.
    bridge_.OnRegistersReset([this] {
        s_.mode = {};
        Update();
    });
    Update();
}

void Gpio::Reset()
{
    std::lock_guard lock(bridge_.Lock());
    s_.mode = {};
    s_.input = {true, true, true, true};
    s_.edges = {};
    trace_("reset");
    Update();
}

bool Gpio::IsOutput(int pin) const
{
    uint32_t mode = s_.mode[pin & 3];
    return mode == kModeOutputLow || mode == kModeOutputHigh;
}

void Gpio::SetInput(int pin, bool high)
{
    std::lock_guard lock(bridge_.Lock());
    s_.input[pin & 3] = high;
    Update();
}

void Gpio::Watch(int pin, Watcher watcher)
{
    std::lock_guard lock(bridge_.Lock());
    watchers_[pin & 3].push_back(std::move(watcher));
}

void Gpio::OnWrite(uint32_t written)
{
    for (int pin = 0; pin < kPins; ++pin) s_.mode[pin] = ((written >> (8 * pin)) & kModeMask) >> kModeShift;
    Update();
}

void Gpio::Update()
{
    uint32_t readBack = 0;
    for (int pin = 0; pin < kPins; ++pin) {
        uint32_t mode = s_.mode[pin];
        bool level = mode == kModeOutputHigh ? true : mode == kModeOutputLow ? false : s_.input[pin];
        readBack |= ((mode << kModeShift) | (level ? kLevelBit : 0)) << (8 * pin);
        if (level != s_.level[pin]) {
            s_.level[pin] = level;
            ++s_.edges[pin];
            trace_("pin %d %s", pin, level ? "high" : "low");
            for (auto& watcher : watchers_[pin]) watcher(pin, level);
        }
    }
    bridge_.SetActive(saa7146::kGpioCtrl, readBack);
}

}  // namespace sim

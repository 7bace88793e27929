// Per-unit trace of the simulated board: one line per state change a driver
// test may want to see ("saa7146: ISR latch 0x100 -> 0x100"). Off by default;
// a test switches it on and may catch the lines with its own sink.
#pragma once

#include <functional>
#include <string>

namespace sim {

class Trace {
public:
    using Sink = std::function<void(const std::string& line)>;

    explicit Trace(std::string unit) : unit_(std::move(unit)) {}

    void Enable(bool on) { enabled_ = on; }
    bool Enabled() const { return enabled_; }
    // Lines go to stderr unless a sink is set; the unit name leads each line.
    void SetSink(Sink sink) { sink_ = std::move(sink); }
    const std::string& Unit() const { return unit_; }

    void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    std::string unit_;
    bool enabled_ = false;
    Sink sink_;
};

}  // namespace sim

// A host for unit tests of the simulated board: its own virtual clock and
// event list, and a record of every interrupt-line change it was told of.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform/hw/hw.h"

namespace simtest {

class FakeHost : public hw::Host {
public:
    struct LineChange {
        uint64_t time;
        hw::PciFunction* fn;
        bool asserted;
    };

    void SetInterruptLine(hw::PciFunction* fn, bool asserted) override
    {
        lines_[fn] = asserted;
        changes.push_back({now_, fn, asserted});
    }
    bool DmaRead(uint32_t, void*, uint32_t) override { return false; }
    bool DmaWrite(uint32_t, const void*, uint32_t) override { return false; }

    uint64_t Now() override { return now_; }
    uint64_t Schedule(uint64_t when, std::function<void()> fn) override
    {
        uint64_t id = ++lastId_;
        events_.emplace(std::make_pair(when, id), std::move(fn));
        return id;
    }
    bool Cancel(uint64_t id) override
    {
        for (auto it = events_.begin(); it != events_.end(); ++it)
            if (it->first.second == id) {
                events_.erase(it);
                return true;
            }
        return false;
    }

    // Runs every event due up to 'until' in time order, then stops the clock there.
    void RunUntil(uint64_t until)
    {
        while (!events_.empty() && events_.begin()->first.first <= until) {
            auto it = events_.begin();
            now_ = it->first.first;
            auto fn = std::move(it->second);
            events_.erase(it);
            fn();
        }
        now_ = until;
    }
    // Runs exactly the next due event (the clock jumps to it).
    bool Step()
    {
        if (events_.empty()) return false;
        auto it = events_.begin();
        now_ = it->first.first;
        auto fn = std::move(it->second);
        events_.erase(it);
        fn();
        return true;
    }
    // Runs the next due event only at 'at', as a host that fell behind
    // the real clock would.
    bool StepLate(uint64_t at)
    {
        if (events_.empty()) return false;
        auto it = events_.begin();
        now_ = std::max(at, it->first.first);
        auto fn = std::move(it->second);
        events_.erase(it);
        fn();
        return true;
    }
    void SetNow(uint64_t t) { now_ = t; }
    size_t PendingEvents() const { return events_.size(); }

    bool Line(hw::PciFunction* fn) const
    {
        auto it = lines_.find(fn);
        return it != lines_.end() && it->second;
    }

    std::vector<LineChange> changes;

private:
    uint64_t now_ = 0;
    uint64_t lastId_ = 0;
    std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> events_;
    std::map<hw::PciFunction*, bool> lines_;
};

}  // namespace simtest

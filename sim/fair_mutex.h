// A recursive lock that hands itself over in the order it was asked for.
//
// The bridge's register window is such a lock. The board's own work (a
// field's codec run, a DMA burst) takes it again the moment it let it go; with
// an ordinary mutex a processor access waiting for it could be passed over
// for seconds while the board catches up on the real clock, and with it the
// interrupt lock that access holds. A real bus access waits at most for the
// transaction in progress, which is what arrival order gives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sim {

class FairRecursiveMutex {
public:
    void lock()
    {
        const std::thread::id me = std::this_thread::get_id();
        std::unique_lock guard(state_);
        if (owner_ == me) {
            ++depth_;
            return;
        }
        const uint64_t ticket = nextTicket_++;
        if (ticket != serving_) {
            ++waiters_;
            turn_.wait(guard, [&] { return serving_ == ticket; });
            --waiters_;
        }
        owner_ = me;
        depth_ = 1;
    }

    bool try_lock()
    {
        const std::thread::id me = std::this_thread::get_id();
        std::lock_guard guard(state_);
        if (owner_ == me) {
            ++depth_;
            return true;
        }
        if (nextTicket_ != serving_) return false;  // held, or others queue for it
        ++nextTicket_;
        owner_ = me;
        depth_ = 1;
        return true;
    }

    void unlock()
    {
        std::lock_guard guard(state_);
        if (--depth_ != 0) return;
        owner_ = std::thread::id();
        ++serving_;
        if (waiters_ != 0) turn_.notify_all();
    }

    // Whether some thread has taken its place in line and waits: what a
    // test waits for before it lets go, as no sleep can promise it.
    bool HasWaiters()
    {
        std::lock_guard guard(state_);
        return waiters_ != 0;
    }

private:
    std::mutex state_;
    std::condition_variable turn_;
    std::thread::id owner_;
    uint32_t depth_ = 0;
    uint64_t nextTicket_ = 0;  // the next arrival's place
    uint64_t serving_ = 0;     // the place that holds the lock, or may take it
    uint32_t waiters_ = 0;
};

}  // namespace sim

// The register window's lock: recursive, and handed over in the order it was
// asked for, so a thread that takes it again at once cannot pass a waiter.
#include "sim/fair_mutex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using sim::FairRecursiveMutex;

TEST(FairRecursiveMutex, AWaiterGoesBeforeTheHolderTakesItAgain)
{
    FairRecursiveMutex lock;
    std::string order;

    lock.lock();
    order += 'A';
    std::thread other([&] {
        lock.lock();
        order += 'B';
        lock.unlock();
    });
    while (!lock.HasWaiters()) std::this_thread::yield();  // in line behind us

    lock.unlock();
    // Taking it again waits for the waiter: the try fails while the waiter
    // holds it or is next in line, and succeeds only once it had its turn.
    if (lock.try_lock()) {
        EXPECT_EQ(order, "AB") << "taken back past the waiter";
    } else {
        lock.lock();
    }
    order += 'A';
    lock.unlock();
    other.join();
    EXPECT_EQ(order, "ABA");
}

TEST(FairRecursiveMutex, IsHeldUntilTheOutermostUnlock)
{
    FairRecursiveMutex lock;
    auto freeForOthers = [&] {
        bool taken = false;
        std::thread([&] {
            taken = lock.try_lock();
            if (taken) lock.unlock();
        }).join();
        return taken;
    };
    lock.lock();
    ASSERT_TRUE(lock.try_lock());  // again, by its holder
    lock.unlock();
    EXPECT_FALSE(freeForOthers());
    lock.unlock();
    EXPECT_TRUE(freeForOthers());
}

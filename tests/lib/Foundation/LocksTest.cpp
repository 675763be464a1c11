#include <gtest/gtest.h>
#include <thread>
#include "Foundation/Locks.h"

namespace {

TEST(Locks, PoolGrowsTo16Then32Then64) {
    // The pool is process-wide; start from an empty one and leave it empty.
    CloseMutexPool();
    EXPECT_EQ(MutexPoolCapacity(), 0u);
    for (int i = 1; i <= 33; ++i) {
        NewPooledMutex();
        size_t expected = i <= 16 ? 16 : i <= 32 ? 32 : 64;
        EXPECT_EQ(MutexPoolCapacity(), expected) << i << " mutexes";
    }
    EXPECT_EQ(MutexPoolCount(), 33u);
    CloseMutexPool();
    EXPECT_EQ(MutexPoolCount(), 0u);
}

TEST(Locks, LockIsReentrantAndExcludesOtherThreads) {
    TSafeCriticalSection lock;
    lock.Enter();
    lock.Enter();
    bool entered = false;
    std::thread other([&] {
        lock.Enter();
        entered = true;
        lock.Leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered);
    lock.Leave();
    lock.Leave();
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_FALSE(lock.Abandoned());
}

TEST(Locks, EnterAfterTheOwnerDiedSucceedsAndFlagsAbandoned) {
    TSafeCriticalSection lock;
    std::thread owner([&] { lock.Enter(); });
    owner.join();
    lock.Enter();
    EXPECT_TRUE(lock.Abandoned());
    lock.Leave();
}

}  // namespace

#include <gtest/gtest.h>
#include <thread>
#include "Foundation/Clock.h"
#include "Foundation/Locks.h"
#include "Foundation/SystemInfo.h"

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

TEST(SystemInfo, StartUpReadTheVersion) {
    EXPECT_EQ(OSVersion().PlatformId, 2u);
    EXPECT_GE(OSVersion().Major, 5u);
    EXPECT_FALSE(IsWow64());  // the tests are 64-bit programs
}

TSystemTime Local(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute, uint16_t ms = 0) {
    TSystemTime t;
    t.Year = year, t.Month = month, t.Day = day, t.Hour = hour, t.Minute = minute, t.Second = 30, t.Milliseconds = ms;
    return t;
}

// Day of week is an output only; compare the rest.
void ExpectSameTime(TSystemTime a, const TSystemTime& b) {
    a.DayOfWeek = b.DayOfWeek;
    EXPECT_EQ(a, b) << a.Year << "-" << a.Month << "-" << a.Day << " " << a.Hour << ":" << a.Minute;
}

TEST(Clock, LocalTimesRoundTripOnBothSidesOfADaylightSavingChange) {
    for (const TSystemTime& t : {Local(2024, 1, 15, 12, 0, 250), Local(2024, 7, 15, 12, 0), Local(2024, 3, 30, 23, 59),
                                 Local(2024, 3, 31, 4, 0), Local(2024, 10, 26, 23, 0), Local(2024, 10, 27, 4, 0),
                                 Local(1999, 12, 31, 23, 59, 999)})
        ExpectSameTime(FileTimeToLocal(LocalToFileTime(t)), t);
}

TEST(Clock, DayOfWeekAndClockSources) {
    EXPECT_EQ(FileTimeToLocal(LocalToFileTime(Local(2024, 7, 15, 12, 0))).DayOfWeek, 1);  // a Monday
    uint32_t before = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(TickCount() - before, 15u);
    TSystemTime now = LocalNow();
    EXPECT_GE(now.Year, 2024);
    EXPECT_LE(now.Month, 12);
}

}  // namespace

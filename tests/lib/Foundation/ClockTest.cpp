#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include "Foundation/Clock.h"

namespace {

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

// The zone's rule for the date itself applies, not today's bias. Needs a
// zone set per process, which only POSIX gives the test.
#if !defined(_WIN32)
namespace {

class ClockInBerlin : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        FSaved = old ? old : "";
        FHadZone = old != nullptr;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (FHadZone) setenv("TZ", FSaved.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::string FSaved;
    bool FHadZone = false;
};

// 2024-07-15 10:00 UTC and 2024-01-15 11:00 UTC as file times.
constexpr TFileTime Summer = 133655112000000000ULL;
constexpr TFileTime Winter = 133497900000000000ULL;

TEST_F(ClockInBerlin, SummerAndWinterDatesUseTheirOwnOffsets) {
    EXPECT_EQ(FileTimeToLocal(Summer).Hour, 12);
    EXPECT_EQ(FileTimeToLocal(Winter).Hour, 12);
    EXPECT_EQ(LocalToFileTime(FileTimeToLocal(Summer)), Summer);
    EXPECT_EQ(LocalToFileTime(FileTimeToLocal(Winter)), Winter);
}

}  // namespace
#endif

#include "Foundation/Clock.h"
#include <sys/time.h>
#include <ctime>

namespace {
// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t EpochDifference = 11644473600LL;
constexpr int64_t TicksPerSecond = 10000000LL;
}  // namespace

TSystemTime FileTimeToLocal(TFileTime fileTime) {
    time_t seconds = (time_t)((int64_t)(fileTime / TicksPerSecond) - EpochDifference);
    struct tm local {};
    localtime_r(&seconds, &local);
    TSystemTime t;
    t.Year = (uint16_t)(local.tm_year + 1900);
    t.Month = (uint16_t)(local.tm_mon + 1);
    t.DayOfWeek = (uint16_t)local.tm_wday;
    t.Day = (uint16_t)local.tm_mday;
    t.Hour = (uint16_t)local.tm_hour;
    t.Minute = (uint16_t)local.tm_min;
    t.Second = (uint16_t)local.tm_sec;
    t.Milliseconds = (uint16_t)((fileTime % TicksPerSecond) / 10000);
    return t;
}

TFileTime LocalToFileTime(const TSystemTime& t) {
    struct tm local {};
    local.tm_year = t.Year - 1900;
    local.tm_mon = t.Month - 1;
    local.tm_mday = t.Day;
    local.tm_hour = t.Hour;
    local.tm_min = t.Minute;
    local.tm_sec = t.Second;
    local.tm_isdst = -1;
    time_t seconds = mktime(&local);
    return (TFileTime)((int64_t)seconds + EpochDifference) * TicksPerSecond + (TFileTime)t.Milliseconds * 10000;
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000);
}

TFileTime FileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (TFileTime)((int64_t)now.tv_sec + EpochDifference) * TicksPerSecond + (TFileTime)now.tv_nsec / 100;
}

TSystemTime LocalNow() { return FileTimeToLocal(FileTimeNow()); }

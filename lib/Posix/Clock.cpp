#include "Foundation/Clock.h"
#include <ctime>
#include "Posix/FileTimes.h"

TSystemTime FileTimeToLocal(TFileTime fileTime) {
    time_t seconds = ToTimespec(fileTime).tv_sec;
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
    return ToFileTime(timespec{mktime(&local), 0}) + (TFileTime)t.Milliseconds * 10000;
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000);
}

TFileTime FileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return ToFileTime(now);
}

TSystemTime LocalNow() { return FileTimeToLocal(FileTimeNow()); }

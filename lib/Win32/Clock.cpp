#include <windows.h>
#include <mmsystem.h>
#include "Foundation/Clock.h"

static FILETIME ToFileTime(TFileTime value) { return {(DWORD)value, (DWORD)(value >> 32)}; }
static TFileTime FromFileTime(const FILETIME& value) {
    return ((TFileTime)value.dwHighDateTime << 32) | value.dwLowDateTime;
}

static TSystemTime FromSystemTime(const SYSTEMTIME& s) {
    return {s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds};
}
static SYSTEMTIME ToSystemTime(const TSystemTime& t) {
    return {t.Year, t.Month, t.DayOfWeek, t.Day, t.Hour, t.Minute, t.Second, t.Milliseconds};
}

// The time-zone-specific calls apply the rule of the date being converted;
// FileTimeToLocalFileTime would apply today's daylight-saving bias.
TSystemTime FileTimeToLocal(TFileTime fileTime) {
    FILETIME ft = ToFileTime(fileTime);
    SYSTEMTIME utc{}, local{};
    ::FileTimeToSystemTime(&ft, &utc);
    ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    return FromSystemTime(local);
}

TFileTime LocalToFileTime(const TSystemTime& localTime) {
    SYSTEMTIME local = ToSystemTime(localTime), utc{};
    FILETIME ft{};
    ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc);
    ::SystemTimeToFileTime(&utc, &ft);
    return FromFileTime(ft);
}

uint32_t TickCount() { return ::timeGetTime(); }

TSystemTime LocalNow() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return FromSystemTime(now);
}

TFileTime FileTimeNow() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return FromFileTime(now);
}

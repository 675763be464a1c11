// File times (100 ns ticks since 1601) and the system's times (since 1970).
#pragma once
#include <ctime>
#include "Foundation/Types.h"

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t EpochDifference = 11644473600LL;
constexpr int64_t TicksPerSecond = 10000000LL;

inline TFileTime ToFileTime(const timespec& t) {
    return (TFileTime)((int64_t)t.tv_sec + EpochDifference) * TicksPerSecond + (TFileTime)t.tv_nsec / 100;
}

inline timespec ToTimespec(TFileTime t) {
    return {(time_t)((int64_t)(t / TicksPerSecond) - EpochDifference), (long)(t % TicksPerSecond) * 100};
}

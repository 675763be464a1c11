// Time sources and the conversion between file times and local calendar
// time. The conversion follows the time zone's rules for the date itself,
// so a summer date reads as summer time whatever the season now.
#pragma once
#include "Foundation/Types.h"

TSystemTime FileTimeToLocal(TFileTime fileTime);
TFileTime LocalToFileTime(const TSystemTime& localTime);
// Milliseconds from an arbitrary start; wraps after 49.7 days.
uint32_t TickCount();
TSystemTime LocalNow();
TFileTime FileTimeNow();

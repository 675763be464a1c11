// Facts about the operating system, read once at start-up.
#pragma once
#include "Foundation/Types.h"

struct TOSVersion {
    uint32_t PlatformId = 0;  // 2: the NT family
    uint32_t Major = 0;
    uint32_t Minor = 0;
    uint32_t Build = 0;
    AnsiString ServicePack;  // at most 128 characters
};

void ReadSystemInfo();
const TOSVersion& OSVersion();
// True only for a 32-bit process on a 64-bit Windows.
bool IsWow64();

// Platform side of ReadSystemInfo.
TOSVersion QueryOSVersion();
bool QueryWow64();

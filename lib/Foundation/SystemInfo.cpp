#include "Foundation/SystemInfo.h"

namespace {
TOSVersion Version;
bool Wow64 = false;
}  // namespace

void ReadSystemInfo() {
    Version = QueryOSVersion();
    if (Version.ServicePack.size() > 128) Version.ServicePack.resize(128);
    Wow64 = QueryWow64();
}

const TOSVersion& OSVersion() { return Version; }
bool IsWow64() { return Wow64; }

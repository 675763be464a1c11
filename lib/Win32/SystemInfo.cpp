#include <windows.h>
#include "Foundation/SystemInfo.h"

TOSVersion QueryOSVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // the 148-byte record
    TOSVersion v;
    if (!::GetVersionExA(&info)) return v;
    v.PlatformId = info.dwPlatformId;
    v.Major = info.dwMajorVersion;
    v.Minor = info.dwMinorVersion;
    v.Build = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (info.dwBuildNumber & 0xFFFF) : info.dwBuildNumber;
    v.ServicePack = info.szCSDVersion;
    return v;
}

bool QueryWow64() {
    using TIsWow64Process = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process =
        (TIsWow64Process)(void*)::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

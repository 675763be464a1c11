// POSIX stands in for a current NT system: the portable code takes the
// modern paths, and the kernel's own name and release go in the text.
#include "Foundation/SystemInfo.h"
#include <sys/utsname.h>

TOSVersion QueryOSVersion() {
    TOSVersion v;
    v.PlatformId = 2;
    v.Major = 10;
    v.Minor = 0;
    utsname name{};
    if (uname(&name) == 0) v.ServicePack = AnsiString(name.sysname) + " " + name.release;
    return v;
}

bool QueryWow64() { return false; }

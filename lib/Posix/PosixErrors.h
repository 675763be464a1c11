// errno as the Windows error code the same failure gives there.
#pragma once
#include <cerrno>
#include <string>
#include "Foundation/SysError.h"
#include "Foundation/Types.h"

// A missing entry is "file not found" only when the folder it should be in
// exists, else "path not found".
uint32_t MapErrno(int error, const std::string& path = std::string());

// Sets the last error from errno; false, as the failed call answers.
inline bool FailErrno(const std::string& path = std::string()) {
    SetLastErrorCode(MapErrno(errno, path));
    return false;
}

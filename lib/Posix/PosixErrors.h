// errno as the Windows error code the same failure gives there.
#pragma once
#include <string>
#include "Foundation/Types.h"

// A missing entry is "file not found" only when the folder it should be in
// exists, else "path not found".
uint32_t MapErrno(int error, const std::string& path = std::string());
